/* The converter's batch form: the outputs are planned and checked before
 * anything is written, then worker processes take the files one at a time
 * from a shared counter and report each outcome to the parent through a
 * pipe of their own. */
#define _GNU_SOURCE
#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "convert.h"

typedef struct {
  const char* in;
  char* out;
  char* text; /* the failure's text, NULL while none */
  int done;
} Job;

/* One worker's report of one file: its index and the length of the text
 * that follows (0 for a success). */
typedef struct {
  uint32_t index;
  uint32_t length;
} Report;

typedef struct {
  pid_t pid;
  int fd;
  char* buf; /* bytes read and not yet parsed */
  size_t used, capacity;
} Worker;

static double Now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void OutOfMemory(void) {
  fputs("pixmill-convert: Out of memory\n", stderr);
  exit(kStatusFailed);
}

static char* OutputPath(const char* dir, const char* in, int32_t code) {
  const char* base = strrchr(in, '/');
  base = base != NULL ? base + 1 : in;
  const char* ext = Extension(base);
  const size_t stem = ext != NULL ? (size_t)(ext - 1 - base) : strlen(base);
  char* path = NULL;
  if (stem > INT_MAX || asprintf(&path, "%s/%.*s.%s", dir, (int)stem, base, ExtensionOf(code)) < 0) OutOfMemory();
  return path;
}

static int ByOutput(const void* a, const void* b) {
  return strcmp((*(Job* const*)a)->out, (*(Job* const*)b)->out);
}

/* A file's identity, for telling whether an output is one of the inputs. */
typedef struct {
  dev_t dev;
  ino_t ino;
  size_t job;
} FileId;

static int ById(const void* a, const void* b) {
  const FileId* x = a;
  const FileId* y = b;
  if (x->dev != y->dev) return x->dev < y->dev ? -1 : 1;
  return x->ino < y->ino ? -1 : x->ino > y->ino;
}

/* Refuses a plan in which two inputs would be written to one name, or an
 * output would replace one of the inputs (which a worker may not have read
 * yet). Returns the exit status: kStatusOk when the plan holds. */
static int CheckPlan(Job* jobs, size_t count) {
  Job** sorted = calloc(count, sizeof *sorted);
  FileId* ids = calloc(count, sizeof *ids);
  if (sorted == NULL || ids == NULL) OutOfMemory();
  for (size_t i = 0; i < count; ++i) sorted[i] = &jobs[i];
  qsort(sorted, count, sizeof *sorted, ByOutput);
  int status = kStatusOk;
  for (size_t i = 1; i < count && status == kStatusOk; ++i) {
    if (strcmp(sorted[i - 1]->out, sorted[i]->out) == 0) {
      status = UsageError("'%s' and '%s' would both be written to '%s'", sorted[i - 1]->in, sorted[i]->in, sorted[i]->out);
    }
  }
  size_t known = 0;
  struct stat st;
  for (size_t i = 0; i < count; ++i) {
    if (stat(jobs[i].in, &st) == 0) ids[known++] = (FileId){st.st_dev, st.st_ino, i};
  }
  qsort(ids, known, sizeof *ids, ById);
  for (size_t i = 0; i < count && status == kStatusOk; ++i) {
    if (stat(jobs[i].out, &st) != 0) continue;
    const FileId key = {st.st_dev, st.st_ino, 0};
    const FileId* same = bsearch(&key, ids, known, sizeof *ids, ById);
    if (same != NULL) status = UsageError("'%s' would replace the input '%s'", jobs[i].out, jobs[same->job].in);
  }
  free(ids);
  free(sorted);
  return status;
}

/* mkdir -p: returns 0, or -1 with errno set. */
static int MakeFolders(const char* dir) {
  char* path = strdup(dir);
  if (path == NULL) OutOfMemory();
  const size_t length = strlen(path);
  int rc = 0;
  for (size_t i = 1; i <= length && rc == 0; ++i) {
    if (path[i] != '/' && path[i] != '\0') continue;
    const char c = path[i];
    path[i] = '\0';
    if (mkdir(path, 0777) != 0 && errno != EEXIST) rc = -1;
    path[i] = c;
  }
  free(path);
  struct stat st;
  if (rc == 0 && stat(dir, &st) != 0) rc = -1;
  if (rc == 0 && !S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    rc = -1;
  }
  return rc;
}

static int WriteAll(int fd, const void* data, size_t size) {
  const char* p = data;
  while (size > 0) {
    const ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    p += n;
    size -= (size_t)n;
  }
  return 0;
}

/* A worker's life: files from the shared counter until none is left. */
static _Noreturn void RunWorker(Job* jobs, size_t count, int32_t code, atomic_size_t* next, int fd) {
  for (size_t i; (i = atomic_fetch_add(next, 1)) < count;) {
    char* text = ConvertFile(jobs[i].in, jobs[i].out, code);
    const size_t length = text != NULL ? strlen(text) : 0;
    const Report report = {(uint32_t)i, (uint32_t)(length > UINT32_MAX ? UINT32_MAX : length)};
    const int failed = WriteAll(fd, &report, sizeof report) != 0 || WriteAll(fd, text, report.length) != 0;
    free(text);
    if (failed) _exit(kStatusFailed);
  }
  _exit(kStatusOk);
}

/* Takes the complete reports out of a worker's buffer. Returns the number
 * of files they finish. */
static size_t TakeReports(Worker* w, Job* jobs, size_t count) {
  size_t taken = 0, at = 0;
  Report r;
  while (w->used - at >= sizeof r) {
    memcpy(&r, w->buf + at, sizeof r);
    if (w->used - at - sizeof r < r.length) break;
    if (r.index < count && !jobs[r.index].done) {
      Job* job = &jobs[r.index];
      job->done = 1;
      ++taken;
      if (r.length > 0 && (job->text = strndup(w->buf + at + sizeof r, r.length)) == NULL) OutOfMemory();
    }
    at += sizeof r + r.length;
  }
  memmove(w->buf, w->buf + at, w->used - at);
  w->used -= at;
  return taken;
}

/* Reads what the worker sent; returns 0 at its end of file. */
static int ReadWorker(Worker* w) {
  if (w->capacity - w->used < 4096) {
    const size_t grown = w->capacity * 2 + 4096;
    char* buf = realloc(w->buf, grown);
    if (buf == NULL) OutOfMemory();
    w->buf = buf;
    w->capacity = grown;
  }
  const ssize_t n = read(w->fd, w->buf + w->used, w->capacity - w->used);
  if (n < 0 && errno == EINTR) return 1;
  if (n <= 0) return 0;
  w->used += (size_t)n;
  return 1;
}

/* Starts the workers, gathers their reports and waits for them. Returns the
 * number of workers that ended badly. */
static int RunWorkers(Job* jobs, size_t count, int32_t code, int nworkers) {
  atomic_size_t* next = mmap(NULL, sizeof *next, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  Worker* workers = calloc((size_t)nworkers, sizeof *workers);
  struct pollfd* fds = calloc((size_t)nworkers, sizeof *fds);
  if (next == MAP_FAILED || workers == NULL || fds == NULL) OutOfMemory();
  atomic_init(next, 0);
  fflush(NULL);
  int started = 0;
  for (; started < nworkers; ++started) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) break;
    const pid_t pid = fork();
    if (pid < 0) {
      close(pipe_fds[0]);
      close(pipe_fds[1]);
      break;
    }
    if (pid == 0) {
      for (int k = 0; k < started; ++k) close(workers[k].fd);
      close(pipe_fds[0]);
      RunWorker(jobs, count, code, next, pipe_fds[1]);
    }
    close(pipe_fds[1]);
    workers[started] = (Worker){pid, pipe_fds[0], NULL, 0, 0};
  }
  if (started == 0) {
    fprintf(stderr, "pixmill-convert: cannot start a worker process: %s\n", strerror(errno));
  }

  const int progress = isatty(STDERR_FILENO);
  const double start = Now();
  double shown = 0;
  size_t done = 0;
  for (int open = started; open > 0;) {
    for (int k = 0; k < started; ++k) fds[k] = (struct pollfd){workers[k].fd, POLLIN, 0};
    if (poll(fds, (nfds_t)started, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int k = 0; k < started; ++k) {
      if (workers[k].fd < 0 || fds[k].revents == 0) continue;
      if (!ReadWorker(&workers[k])) {
        close(workers[k].fd);
        workers[k].fd = -1;
        --open;
      }
      done += TakeReports(&workers[k], jobs, count);
    }
    const double now = Now();
    if (progress && (now - shown >= 0.2 || done == count)) {
      fprintf(stderr, "\r%zu/%zu files, %.1f files/s", done, count, (double)done / (now - start > 1e-9 ? now - start : 1e-9));
      shown = now;
    }
  }
  if (progress) fputc('\n', stderr);

  int bad = 0;
  for (int k = 0; k < started; ++k) {
    int status = 0;
    while (waitpid(workers[k].pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++bad;
    if (workers[k].fd >= 0) close(workers[k].fd);
    free(workers[k].buf);
  }
  free(fds);
  free(workers);
  munmap(next, sizeof *next);
  return bad + (started == 0);
}

int ConvertBatch(const char* dir, const char* const* inputs, size_t count, int32_t code, int nworkers) {
  Job* jobs = calloc(count, sizeof *jobs);
  if (jobs == NULL) OutOfMemory();
  for (size_t i = 0; i < count; ++i) jobs[i] = (Job){inputs[i], OutputPath(dir, inputs[i], code), NULL, 0};
  int status = CheckPlan(jobs, count);
  if (status == kStatusOk && MakeFolders(dir) != 0) {
    fprintf(stderr, "pixmill-convert: cannot create the folder '%s': %s\n", dir, strerror(errno));
    status = kStatusFailed;
  }
  if (status == kStatusOk) {
    if ((size_t)nworkers > count) nworkers = (int)count;
    const double start = Now();
    const int lost = RunWorkers(jobs, count, code, nworkers);
    const double seconds = Now() - start;
    size_t failed = 0;
    for (size_t i = 0; i < count; ++i) {
      if (!jobs[i].done) {
        fprintf(stderr, "FAILED %s: not converted: %d worker process(es) ended unexpectedly\n", jobs[i].in, lost);
      } else if (jobs[i].text != NULL) {
        fprintf(stderr, "FAILED %s: %s\n", jobs[i].in, jobs[i].text);
      }
      failed += !jobs[i].done || jobs[i].text != NULL;
    }
    fprintf(stderr, "pixmill-convert: %zu files converted, %zu failed, in %.2f s (%.1f files/s, %d workers)\n",
            count - failed, failed, seconds, (double)count / (seconds > 1e-9 ? seconds : 1e-9), nworkers);
    status = failed > 0 ? kStatusFailed : kStatusOk;
  }
  for (size_t i = 0; i < count; ++i) {
    free(jobs[i].out);
    free(jobs[i].text);
  }
  free(jobs);
  return status;
}
