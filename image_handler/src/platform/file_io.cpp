// Whole-file reads and writes. A save never leaves a half-written file under
// the target's name: the bytes go to a temporary file beside it, which is
// renamed over the target (and synced first when it replaces a file).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <string>

#include "platform/codec.h"

namespace pm {

namespace {

// Closes a descriptor on every path.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

std::string sttc_ErrnoText(int err) { return std::strerror(err); }

[[noreturn]] void sttc_FailOpen(const std::string& path, int err) {
  throw Error("Cannot open '" + path + "': " + sttc_ErrnoText(err));
}

[[noreturn]] void sttc_FailWrite(const std::string& path, int err) {
  throw Error("Cannot write '" + path + "': " + sttc_ErrnoText(err));
}

struct FileBytes {
  Block data;
  size_t size = 0;
};

FileBytes sttc_ReadAll(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) sttc_FailOpen(path, errno);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) sttc_FailOpen(path, errno);
  if (S_ISDIR(st.st_mode)) sttc_FailOpen(path, EISDIR);

  FileBytes out;
  size_t capacity = S_ISREG(st.st_mode) && st.st_size > 0 ? static_cast<size_t>(st.st_size) : 65536;
  if (S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > static_cast<uint64_t>(PTRDIFF_MAX)) {
    sttc_FailOpen(path, EFBIG);
  }
  out.data.reset(static_cast<uint8_t*>(std::malloc(capacity)));
  if (!out.data) throw Error("Out of memory reading '" + path + "': cannot allocate " + std::to_string(capacity) + " bytes");
  for (;;) {
    if (out.size == capacity) {
      // The file grew while being read, or is not a regular file.
      const size_t grown = CheckedMul(capacity, 2);
      void* p = std::realloc(out.data.get(), grown);
      if (p == nullptr) throw Error("Out of memory reading '" + path + "'");
      out.data.release();
      out.data.reset(static_cast<uint8_t*>(p));
      capacity = grown;
    }
    const ssize_t n = ::read(fd.get(), out.data.get() + out.size, capacity - out.size);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Error("Cannot read '" + path + "': " + sttc_ErrnoText(errno));
    }
    if (n == 0) break;
    out.size += static_cast<size_t>(n);
  }
  return out;
}

// Follows symbolic links so that the file a link points to is replaced, not
// the link.
std::string sttc_ResolveLinks(std::string path) {
  for (int depth = 0; depth < 40; ++depth) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 256) + 1, '\0');
    const ssize_t n = ::readlink(path.c_str(), &target[0], target.size());
    if (n < 0) return path;
    target.resize(static_cast<size_t>(n));
    if (!target.empty() && target[0] == '/') {
      path = target;
    } else {
      const size_t slash = path.rfind('/');
      path = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + target;
    }
  }
  sttc_FailWrite(path, ELOOP);
}

std::string sttc_DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::atomic<unsigned> g_temp_counter{0};

// Removes the temporary file unless the rename took it over.
class TempFile {
 public:
  explicit TempFile(std::string path) : path_(std::move(path)) {}
  ~TempFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }
  void Keep() { path_.clear(); }

 private:
  std::string path_;
};

bool sttc_WriteFully(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const size_t chunk = size < (size_t{1} << 30) ? size : (size_t{1} << 30);
    const ssize_t n = ::write(fd, data, chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

Bitmap DecodeFile(const char* path) {
  const std::string name = path != nullptr ? path : "";
  FileBytes file = sttc_ReadAll(name);
  return DecodeMemory(file.data.get(), file.size, name);
}

void WriteAllBytes(const char* path_in, const uint8_t* data, size_t size) {
  const std::string shown = path_in != nullptr ? path_in : "";
  if (shown.empty()) sttc_FailWrite(shown, ENOENT);
  const std::string path = sttc_ResolveLinks(shown);

  struct stat existing;
  bool replace = false;
  if (::stat(path.c_str(), &existing) == 0) {
    if (S_ISDIR(existing.st_mode)) sttc_FailWrite(shown, EISDIR);
    if (!S_ISREG(existing.st_mode)) sttc_FailWrite(shown, EINVAL);
    replace = true;
  } else if (errno != ENOENT) {
    sttc_FailWrite(shown, errno);
  }

  const std::string dir = sttc_DirectoryOf(path);
  const size_t slash = path.rfind('/');
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);

  // 0666 through open() gives a new file the usual permissions (less the
  // umask) without reading the umask, which is not thread-safe.
  int raw_fd = -1;
  std::string temp_path;
  for (int attempt = 0; attempt < 100 && raw_fd < 0; ++attempt) {
    temp_path = dir + "/." + base + ".pixmill-" + std::to_string(::getpid()) + "-" +
                std::to_string(g_temp_counter.fetch_add(1));
    raw_fd = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (raw_fd < 0 && errno != EEXIST) sttc_FailWrite(shown, errno);
  }
  if (raw_fd < 0) sttc_FailWrite(shown, EEXIST);
  TempFile temp(temp_path);
  Fd fd(raw_fd);

  if (replace && ::fchmod(fd.get(), existing.st_mode & 07777) != 0) sttc_FailWrite(shown, errno);
  if (!sttc_WriteFully(fd.get(), data, size)) sttc_FailWrite(shown, errno);
  // A replaced file's old bytes must survive a crash until the new ones are
  // on the disk, so they are synced before the rename. A new file puts
  // nothing at risk and is left to the kernel's writeback like any other
  // program's output, which spares a wait for the disk on every save.
  if (replace && ::fsync(fd.get()) != 0) sttc_FailWrite(shown, errno);
  if (::close(fd.release()) != 0) sttc_FailWrite(shown, errno);
  if (::rename(temp.path().c_str(), path.c_str()) != 0) sttc_FailWrite(shown, errno);
  temp.Keep();
}

}  // namespace pm
