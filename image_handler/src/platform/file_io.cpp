// Whole-file reads and writes. A save changes only what a plain write may
// change. A regular file is replaced whole: the bytes go to a file beside it
// that gets the target's name only when complete. Targets a rename cannot
// serve (devices, pipes, files with other hard links, files in a directory
// the caller may not write) are written in place.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
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

std::string ErrnoText(int err) { return std::strerror(err); }

[[noreturn]] void FailOpen(int err) { throw Error(ErrnoText(err), Error::Kind::kOpen); }

[[noreturn]] void FailWrite(int err) { throw Error(ErrnoText(err), Error::Kind::kWrite); }

}  // namespace

FileBytes ReadAllBytes(const char* path) {
  Fd fd(::open(path != nullptr ? path : "", O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) FailOpen(errno);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) FailOpen(errno);
  if (S_ISDIR(st.st_mode)) FailOpen(EISDIR);

  FileBytes out;
  if (S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > static_cast<uint64_t>(PTRDIFF_MAX)) {
    FailOpen(EFBIG);
  }
  // One byte over the size, so that the read that finds the end does not
  // first grow (and copy) the buffer.
  size_t capacity = S_ISREG(st.st_mode) && st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 65536;
  if (!GrowBlock(out.data, 0, capacity)) {
    throw Error("cannot allocate " + std::to_string(capacity) + " bytes", Error::Kind::kReadMemory);
  }
  for (;;) {
    if (out.size == capacity) {
      // The file grew while being read, or is not a regular file.
      const size_t grown = CheckedMul(capacity, 2);
      if (!GrowBlock(out.data, out.size, grown)) throw Error("", Error::Kind::kReadMemory);
      capacity = grown;
    }
    const ssize_t n = ::read(fd.get(), out.data.get() + out.size, capacity - out.size);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Error(ErrnoText(errno), Error::Kind::kRead);
    }
    if (n == 0) break;
    out.size += static_cast<size_t>(n);
  }
  return out;
}

namespace {

// Follows symbolic links so that the file a link points to is replaced, not
// the link.
// through_proc, when given, tells whether the chain passes through /proc
// (as /dev/stdout and /dev/fd/N do): such a name stands for a descriptor
// the caller holds, not for a path that could be replaced.
std::string ResolveLinks(std::string path, bool* through_proc = nullptr) {
  for (int depth = 0; depth < 40; ++depth) {
    if (through_proc != nullptr && path.compare(0, 6, "/proc/") == 0) *through_proc = true;
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
  FailWrite(ELOOP);
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::atomic<unsigned> g_temp_counter{0};

// Writes the pieces in order, up to 256 pieces and 1 GiB a call.
bool WriteFully(int fd, const Pieces& pieces) {
  constexpr int kBatch = 256;
  constexpr size_t kMost = size_t{1} << 30;
  size_t k = 0, done = 0;  // the next piece, and how much of it is written
  Piece piece = pieces.count > 0 ? pieces.at(pieces.context, 0) : Piece{nullptr, 0};
  while (k < pieces.count) {
    iovec iov[kBatch];
    int count = 0;
    size_t total = 0;
    for (size_t j = k; j < pieces.count && count < kBatch && total < kMost; ++j) {
      const Piece p = j == k ? Piece{piece.data + done, piece.size - done} : pieces.at(pieces.context, j);
      const size_t n = std::min(p.size, kMost - total);
      if (n == 0) continue;
      iov[count].iov_base = const_cast<uint8_t*>(p.data);
      iov[count++].iov_len = n;
      total += n;
    }
    if (count == 0) break;  // only empty pieces are left
    const ssize_t n = ::writev(fd, iov, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    auto left = static_cast<size_t>(n);
    while (k < pieces.count && left >= piece.size - done) {
      left -= piece.size - done;
      done = 0;
      if (++k < pieces.count) piece = pieces.at(pieces.context, k);
    }
    done += left;
  }
  return true;
}

// A file being written beside its target. Where the filesystem allows it,
// the file has no name until it is complete, so a process killed half way
// leaves nothing behind; elsewhere it has a hidden name, removed on every
// failure path. Either way it is unlinked when the object goes unless
// Publish() gave it the target's name.
class PendingFile {
 public:
  // Opens the file in the directory of `path`, the target; false with errno
  // set when the directory refuses.
  bool Open(const std::string& path) {
    const size_t slash = path.rfind('/');
    dir_ = DirectoryOf(path);
    base_ = slash == std::string::npos ? path : path.substr(slash + 1);
    // 0666 through open() gives a new file the usual permissions (less the
    // umask) without reading the umask, which is not thread-safe.
    if (ProcFdUsable()) {
      const int fd = ::open(dir_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
      if (fd >= 0) {
        fd_ = fd;
        return true;
      }
      if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
    }
    return NameAndLink(-1);
  }
  int fd() const { return fd_; }

  // Gives the complete file the target's name: linked straight to it when
  // there is no old file, otherwise through a hidden name renamed over it.
  bool Publish(const std::string& path, bool replace) {
    if (named_.empty()) {
      if (!replace && ::linkat(AT_FDCWD, FdPath(fd_).c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return true;
      }
      if (!replace && errno != EEXIST) return false;
      if (!NameAndLink(fd_)) return false;
    }
    if (::rename(named_.c_str(), path.c_str()) != 0) return false;
    named_.clear();
    return true;
  }

  ~PendingFile() {
    if (!named_.empty()) ::unlink(named_.c_str());
    if (fd_ >= 0) ::close(fd_);
  }
  PendingFile() = default;
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  // Closes the descriptor, reporting the error a delayed write may give.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  static bool ProcFdUsable() {
    static const bool usable = ::access("/proc/self/fd", X_OK) == 0;
    return usable;
  }
  static std::string FdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

  // Makes a hidden name in the directory: a new file when anonymous is -1,
  // otherwise a link to the anonymous file. Retries names taken by others.
  bool NameAndLink(int anonymous) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      // The name is held before the file gets it, so that no failure can
      // leave a name behind that the destructor does not know of.
      named_ = dir_ + "/." + base_ + ".pixmill-" + std::to_string(::getpid()) + "-" +
               std::to_string(g_temp_counter.fetch_add(1));
      if (anonymous < 0) {
        const int fd = ::open(named_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
          fd_ = fd;
          return true;
        }
      } else if (::linkat(AT_FDCWD, FdPath(anonymous).c_str(), AT_FDCWD, named_.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return true;
      }
      const int err = errno;
      named_.clear();
      if (err != EEXIST) {
        errno = err;
        return false;
      }
    }
    errno = EEXIST;
    return false;
  }

  int fd_ = -1;
  std::string dir_, base_, named_;
};

// Writes over an existing file or device through its own descriptor, as a
// plain write does: for targets a rename cannot serve.
void WriteInPlace(Fd& target, bool regular, const Pieces& pieces) {
  if (regular && ::ftruncate(target.get(), 0) != 0) FailWrite(errno);
  if (!WriteFully(target.get(), pieces)) FailWrite(errno);
  if (::close(target.release()) != 0) FailWrite(errno);
}

// Fills the pending file and gives it the target's name. A replaced file's
// old bytes must survive a crash until the new ones are on the disk, so
// they are synced first; a new file puts nothing at risk and is left to the
// kernel's writeback like any other program's output.
void Complete(PendingFile& file, const std::string& path, bool replace, const Pieces& pieces) {
  if (!WriteFully(file.fd(), pieces)) FailWrite(errno);
  if (replace && ::fsync(file.fd()) != 0) FailWrite(errno);
  if (!file.Publish(path, replace) || !file.Close()) FailWrite(errno);
}

// Makes the new file look like the one it replaces: owner and group (where
// the caller may set them), then the mode (after chown, which may clear
// set-id bits). False when the owner cannot be kept.
bool CopyIdentity(int fd, const struct stat& old) {
  struct stat now;
  if (::fstat(fd, &now) != 0) return false;
  if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) && ::fchown(fd, old.st_uid, old.st_gid) != 0) {
    return false;
  }
  return ::fchmod(fd, old.st_mode & 07777) == 0;
}

}  // namespace

void WriteAllBytes(const char* path, const uint8_t* data, size_t size) {
  const Piece whole{data, size};
  WriteAllPieces(path, Pieces{1, [](const void* context, size_t) { return *static_cast<const Piece*>(context); }, &whole});
}

void WriteAllPieces(const char* path_in, const Pieces& pieces) {
  const std::string shown = path_in != nullptr ? path_in : "";
  if (shown.empty()) FailWrite(ENOENT);

  struct stat existing;
  if (::stat(shown.c_str(), &existing) != 0) {
    if (errno != ENOENT) FailWrite(errno);
    // A new file: written whole under no name, then linked into place.
    const std::string path = ResolveLinks(shown);
    PendingFile file;
    if (!file.Open(path)) FailWrite(errno);
    return Complete(file, path, false, pieces);
  }
  if (S_ISDIR(existing.st_mode)) FailWrite(EISDIR);

  // What a plain write may not change, a save may not either: the target is
  // opened for writing first, which answers for the effective user, ACLs
  // and read-only mounts, and nothing is created when it is refused.
  Fd target(::open(shown.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
  if (target.get() < 0) FailWrite(errno);
  const bool regular = S_ISREG(existing.st_mode);
  // Devices, pipes and sockets have no file to replace; a file with other
  // names (hard links) is one file to all of them, so it is written where
  // it stands rather than split off from them; a file named through an
  // open descriptor (/dev/stdout redirected to a file) is the caller's.
  bool through_proc = false;
  const std::string path = ResolveLinks(shown, &through_proc);
  if (!regular || existing.st_nlink > 1 || through_proc) return WriteInPlace(target, regular, pieces);

  // A directory the caller may not write, or an owner the caller may not
  // give the new file: the old file is written in place instead, as a plain
  // write would, without the protection of a replacement.
  PendingFile file;
  if (!file.Open(path)) {
    if (errno != EACCES && errno != EPERM && errno != EROFS) FailWrite(errno);
    return WriteInPlace(target, true, pieces);
  }
  if (!CopyIdentity(file.fd(), existing)) return WriteInPlace(target, true, pieces);
  Complete(file, path, true, pieces);
}

}  // namespace pm
