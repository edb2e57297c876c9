// The save path at targets a plain write treats specially, under a write
// that fails half way and when the saving process is killed. A failed save
// returns -1 with a text naming the path and the cause, and leaves the target
// as it was and no temporary file or descriptor.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "my_global.h"
#include "pixmill.h"
#include "test_support.h"

namespace {

// One save target. `setup` runs in a fresh folder that holds `expected`, the
// save's own bytes; `check` runs there after the save and must succeed.
struct Target {
  const char* setup;
  const char* target;  // relative to the folder, unless absolute
  int32_t code;
  int as;              // 0 the caller; 1 the unprivileged user 65534 (root
                       // writes anywhere, so refusals would pass without
                       // meaning); 2 the caller, when root (skipped otherwise)
  const char* text;    // "" for a success, else the whole text ({}: the path)
  const char* check;
  const char* stdout_to = "";  // a file the save's standard output is redirected to
  rlim_t fsize = 0;            // a file size limit: write() fails part way, as on a full disk
};

const Target kTargets[] = {
    // A new file in a folder the caller may not write; a writable file there
    // is written in place; the caller's own write-protected file is refused,
    // as open(path, "w") refuses it.
    {"mkdir ro && echo old > ro/keep.gif && chmod 666 ro/keep.gif && chmod 555 ro", "ro/new.png", 1, 1,
     "Cannot write '{}': Permission denied", "test \"$(ls -A ro)\" = keep.gif"},
    {"mkdir ro && echo old > ro/keep.gif && chmod 666 ro/keep.gif && chmod 555 ro && stat -c %i ro/keep.gif > inode",
     "ro/keep.gif", 3, 1, "", "test $(stat -c %i ro/keep.gif) = $(cat inode) && cmp ro/keep.gif expected"},
    {"mkdir mine && echo old > mine/locked.png && chmod 444 mine/locked.png && (chown -R 65534:65534 mine || true)",
     "mine/locked.png", 1, 1, "Cannot write '{}': Permission denied", "grep -qx old mine/locked.png && test \"$(ls -A mine)\" = locked.png"},
    // Devices, pipes and standard output redirected to a file are written in place.
    {"true", "/dev/null", 1, 0, "", "true"},
    {"mkfifo pipe && (cat pipe > piped &)", "pipe", 1, 0, "",
     "for i in 1 2 3 4 5 6 7 8 9 10; do cmp -s piped expected && exit 0; sleep 0.2; done; exit 1"},
    {"echo old > out.png && stat -c %i out.png > inode", "/dev/stdout", 1, 0, "",
     "cmp out.png expected && test $(stat -c %i out.png) = $(cat inode)", "out.png"},
    // Hard links share the new bytes; a replaced file keeps its mode, and
    // another user's file its owner, group and set-group-ID bit.
    {"echo old > a.bmp && ln a.bmp b.bmp", "a.bmp", 4, 0, "", "test $(stat -c %i a.bmp) = $(stat -c %i b.bmp) && cmp b.bmp expected"},
    {"head -c 100000 /dev/zero > x.jpg && chmod 640 x.jpg", "x.jpg", 1, 0, "", "test $(stat -c %a x.jpg) = 640 && cmp x.jpg expected"},
    {"echo old > other.tif && chown 65534:65534 other.tif && chmod 2640 other.tif && stat -c %i other.tif > inode",
     "other.tif", 2, 2, "", "test $(stat -c %u:%g:%a other.tif) = 65534:65534:2640 && test $(stat -c %i other.tif) != $(cat inode) && cmp other.tif expected"},
    // A link stays a link: the file it names is replaced, or made.
    {"echo old > x.bmp && ln -s x.bmp link.png", "link.png", 4, 0, "", "test -L link.png && cmp x.bmp expected"},
    {"ln -s target.tif dangling", "dangling", 2, 0, "", "test -L dangling && cmp target.tif expected"},
    // Refusals and a write that fails half way leave the folder as it was.
    {"true", "no/such/dir/out.png", 1, 0, "Cannot write '{}': No such file or directory", "test \"$(ls)\" = expected"},
    {"mkdir sub", "sub", 1, 0, "Cannot write '{}': Is a directory", "test -z \"$(ls sub)\""},
    {"head -c 1000 /dev/zero > out.bmp && cp out.bmp old", "out.bmp", 4, 0, "Cannot write '{}': File too large",
     "cmp out.bmp old", "", 8192},
};

TEST(FaultTest, SaveTargetsBehaveAsAPlainWriteWould) {
  Record img = pmtest::Image(pmtest::kNoise, 64, 64);  // 12 KB as BMP
  for (const Target& t : kTargets) {
    if (t.as == 2 && ::geteuid() != 0) continue;  // giving a file another owner needs root
    pmtest::TempDir dir;
    SCOPED_TRACE(t.setup + std::string(" -> ") + t.target);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(Pixmill_Save(dir.File("expected").c_str(), img.get(), t.code), 0);
    ASSERT_EQ(pmtest::Run("cd '" + dir.path() + "' && " + t.setup), 0);
    const std::string path = t.target[0] == '/' ? t.target : dir.File(t.target);
    EXPECT_EQ(pmtest::InChild([&] {
                if (t.as == 1 && ::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 10;
                const struct rlimit limit = {t.fsize, t.fsize};
                if (t.fsize != 0 && (::signal(SIGXFSZ, SIG_IGN) == SIG_ERR || ::setrlimit(RLIMIT_FSIZE, &limit) != 0)) return 11;
                const int fd = *t.stdout_to != 0 ? ::open(dir.File(t.stdout_to).c_str(), O_WRONLY) : 1;
                if (fd < 0 || ::dup2(fd, 1) != 1) return 12;
                const size_t fds = pmtest::ListDir("/proc/self/fd").size();
                const int32_t rc = Pixmill_Save(path.c_str(), img.get(), t.code);
                std::string want = t.text;
                if (want.find("{}") != std::string::npos) want.replace(want.find("{}"), 2, path);
                if (rc != (want.empty() ? 0 : -1) || (!want.empty() && myGlobal::GetError() != want)) {
                  return std::fprintf(stderr, "%d '%s'\n", rc, myGlobal::GetError().c_str()), 1;
                }
                return pmtest::ListDir("/proc/self/fd").size() == fds ? 0 : 2;  // no descriptor left open
              }),
              0);
    EXPECT_EQ(pmtest::Run("cd '" + dir.path() + "' && " + t.check + " && ! ls -A | grep -q '^\\.'"), 0) << t.check;
  }
}

TEST(FaultTest, KilledSavesLeaveTheTargetOldOrWhole) {
  // A child saves a large image over and over and is killed at a point that
  // moves with each round; the directory then holds the target alone, with
  // the old bytes or a whole new file. The one instant a kill can leave
  // anything else is between linking the finished file to its hidden name
  // and renaming it over the target: what is left is then that whole file.
  pmtest::TempDir dir;
  Record img = pmtest::Image(pmtest::kNoise, 1500, 1500);
  const std::string target = dir.File("out.bmp"), whole = dir.File("whole.bmp");
  ASSERT_EQ(Pixmill_Save(whole.c_str(), img.get(), PIXMILL_FORMAT_BMP), 0);
  const std::vector<uint8_t> complete = pmtest::ReadBytes(whole);
  ASSERT_EQ(::unlink(whole.c_str()), 0);
  const std::vector<uint8_t> old(1000, 'o');
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    if (round % 2 == 0) {
      ::unlink(target.c_str());
    } else {
      pmtest::WriteBytes(target, old);
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      for (;;) Pixmill_Save(target.c_str(), img.get(), PIXMILL_FORMAT_BMP);
    }
    ::usleep(static_cast<useconds_t>(3000 + 2500 * round));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    std::vector<std::string> left = pmtest::ListDir(dir.path());
    if (!left.empty() && left.front().rfind(".out.bmp.pixmill-", 0) == 0) {
      EXPECT_EQ(pmtest::ReadBytes(dir.File(left.front())), complete) << left.front();
      ::unlink(dir.File(left.front()).c_str());
      left.erase(left.begin());
    }
    EXPECT_TRUE(left.empty() || left == std::vector<std::string>{"out.bmp"}) << left.size() << " files";
    if (!left.empty()) {
      const std::vector<uint8_t> now = pmtest::ReadBytes(target);
      EXPECT_TRUE(now == complete || now == old) << now.size() << " bytes";
    }
  }
}

}  // namespace
