// The save path under failures the system injects (a write that fails half
// way, as on a full disk; a killed process) and at targets a plain write
// treats specially (write-protected files and directories, devices, pipes,
// hard links, other owners). A failed save returns -1 with a text naming
// the path and the cause, leaves an existing target as it was and leaves no
// temporary file. Exhausted memory is the allocation sweep's.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

#include "loader.h"
#include "my_global.h"
#include "pixmill.h"
#include "test_support.h"

namespace {


// A failed save's checks, for use in a child: -1, the text, the old bytes.
int FailedAsExpected(int32_t result, const std::string& want_text, const std::string& path,
                     const std::vector<uint8_t>& old) {
  const std::string text = myGlobal::GetError();
  if (result != -1) return std::fprintf(stderr, "save returned %d\n", result), 1;
  if (text != want_text) return std::fprintf(stderr, "text '%s', wanted '%s'\n", text.c_str(), want_text.c_str()), 2;
  if (!old.empty() && pmtest::ReadBytes(path) != old) return std::fprintf(stderr, "old file damaged\n"), 3;
  return 0;
}

TEST(FaultTest, WriteFailingHalfWayKeepsTheOldFileAndLeavesNoTemporary) {
  // A file size limit makes write() fail part way through, as a full disk
  // does, on any machine. A full disk's text differs only in the cause.
  pmtest::TempDir dir;
  const std::string target = dir.File("out.bmp");
  const std::vector<uint8_t> old(1000, 'o');
  pmtest::WriteBytes(target, old);
  Record img = pmtest::Image(pmtest::kNoise, 100, 100);  // 30 KB as BMP
  const int status = pmtest::InChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit = {8192, 8192};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
    // The unnamed file's space is given back: no descriptor stays open.
    const size_t open_before = pmtest::ListDir("/proc/self/fd").size();
    const int r = FailedAsExpected(Pixmill_Save(target.c_str(), img.get(), PIXMILL_FORMAT_BMP),
                                   "Cannot write '" + target + "': File too large", target, old);
    return r != 0 ? r : pmtest::ListDir("/proc/self/fd").size() == open_before ? 0 : 20;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(pmtest::ReadBytes(target), old);
  EXPECT_EQ(pmtest::ListDir(dir.path()), std::vector<std::string>{"out.bmp"});
}

ino_t Inode(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Drops to an unprivileged user in a child, since the suite may run as root
// (root writes anywhere, so permission tests would pass without meaning).
bool DropToNobody() { return ::geteuid() != 0 || (::setgid(65534) == 0 && ::setuid(65534) == 0); }

TEST(FaultTest, SavesRespectWhatAPlainWriteRespects) {
  pmtest::TempDir dir;
  const std::string ro = dir.File("ro"), mine = dir.File("mine");
  ASSERT_EQ(::mkdir(ro.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(mine.c_str(), 0755), 0);
  const std::vector<uint8_t> old(100, 'o');
  pmtest::WriteBytes(ro + "/keep.gif", old);
  pmtest::WriteBytes(mine + "/locked.png", old);
  ASSERT_EQ(::chmod((ro + "/keep.gif").c_str(), 0666), 0);
  ASSERT_EQ(::chmod((mine + "/locked.png").c_str(), 0444), 0);
  ASSERT_EQ(::chmod(ro.c_str(), 0555), 0);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(mine.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chown((mine + "/locked.png").c_str(), 65534, 65534), 0);
  }
  const ino_t keep_inode = Inode(ro + "/keep.gif");
  Record img = pmtest::Image(pmtest::kNoise, 4, 4);
  const int status = pmtest::InChild([&] {
    if (!DropToNobody()) return 10;
    // A new file in a directory the caller may not write.
    int r = FailedAsExpected(Pixmill_Save((ro + "/new.png").c_str(), img.get(), PIXMILL_FORMAT_PNG),
                             "Cannot write '" + ro + "/new.png': Permission denied", "", {});
    if (r != 0) return r;
    // The caller's own write-protected file, in a directory it may write:
    // refused, as open(path, "w") refuses it.
    r = FailedAsExpected(Pixmill_Save((mine + "/locked.png").c_str(), img.get(), PIXMILL_FORMAT_PNG),
                         "Cannot write '" + mine + "/locked.png': Permission denied", mine + "/locked.png", old);
    if (r != 0) return r;
    // A writable file in that read-only directory is written in place.
    if (Pixmill_Save((ro + "/keep.gif").c_str(), img.get(), PIXMILL_FORMAT_GIF) != 0) return 20;
    return 0;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(pmtest::ListDir(ro), std::vector<std::string>{"keep.gif"});
  EXPECT_EQ(pmtest::ListDir(mine), std::vector<std::string>{"locked.png"});
  EXPECT_EQ(Inode(ro + "/keep.gif"), keep_inode);
  EXPECT_EQ(pmtest::Signature(ro + "/keep.gif"), "GIF");
}

TEST(FaultTest, DevicesAndPipesAreWrittenInPlace) {
  pmtest::TempDir dir;
  Record img = pmtest::Image(pmtest::kNoise, 64, 64);
  EXPECT_EQ(Pixmill_Save("/dev/null", img.get(), PIXMILL_FORMAT_PNG), 0) << myGlobal::GetError();
  ASSERT_EQ(Pixmill_Save(dir.File("plain.png").c_str(), img.get(), PIXMILL_FORMAT_PNG), 0);

  // A reader in a child copies what comes down the pipe into a file.
  const std::string fifo = dir.File("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::fflush(nullptr);
  const pid_t reader = ::fork();
  if (reader == 0) {
    FILE* in = std::fopen(fifo.c_str(), "rb");
    FILE* out = std::fopen(dir.File("piped.png").c_str(), "wb");
    if (in == nullptr || out == nullptr) ::_exit(1);
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, in)) > 0;) std::fwrite(buf, 1, n, out);
    ::_exit(std::fclose(out) == 0 ? 0 : 2);
  }
  EXPECT_EQ(Pixmill_Save(fifo.c_str(), img.get(), PIXMILL_FORMAT_PNG), 0) << myGlobal::GetError();
  int status = -1;
  ASSERT_EQ(::waitpid(reader, &status, 0), reader);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(pmtest::ReadBytes(dir.File("piped.png")), pmtest::ReadBytes(dir.File("plain.png")));

  // Standard output redirected to a file: that file, the one the caller
  // holds open, gets the bytes.
  const std::string redirected = dir.File("stdout.png");
  pmtest::WriteBytes(redirected, {'o', 'l', 'd'});
  const ino_t inode = Inode(redirected);
  EXPECT_EQ(pmtest::InChild([&] {
              const int fd = ::open(redirected.c_str(), O_WRONLY);
              if (fd < 0 || ::dup2(fd, 1) != 1) return 10;
              return Pixmill_Save("/dev/stdout", img.get(), PIXMILL_FORMAT_PNG) == 0 ? 0 : 11;
            }),
            0);
  EXPECT_EQ(Inode(redirected), inode);
  EXPECT_EQ(pmtest::ReadBytes(redirected), pmtest::ReadBytes(dir.File("plain.png")));
}

TEST(FaultTest, HardLinksShareTheNewBytesAndReplacedFilesKeepTheirOwner) {
  pmtest::TempDir dir;
  Record img = pmtest::Image(pmtest::kNoise, 16, 16);
  const std::string a = dir.File("a.bmp"), b = dir.File("b.bmp");
  pmtest::WriteBytes(a, {'o', 'l', 'd'});
  ASSERT_EQ(::link(a.c_str(), b.c_str()), 0);
  ASSERT_EQ(Pixmill_Save(a.c_str(), img.get(), PIXMILL_FORMAT_BMP), 0) << myGlobal::GetError();
  EXPECT_EQ(Inode(a), Inode(b));
  EXPECT_EQ(pmtest::ReadBytes(b), pmtest::ReadBytes(a));
  EXPECT_EQ(pmtest::Signature(b), "BMP");

  if (::geteuid() != 0) GTEST_SKIP() << "giving a file another owner needs root";
  const std::string other = dir.File("other.tif");
  pmtest::WriteBytes(other, {'o', 'l', 'd'});
  ASSERT_EQ(::chown(other.c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod(other.c_str(), 02640), 0);
  const ino_t before = Inode(other);
  ASSERT_EQ(Pixmill_Save(other.c_str(), img.get(), PIXMILL_FORMAT_TIFF), 0) << myGlobal::GetError();
  struct stat st;
  ASSERT_EQ(::stat(other.c_str(), &st), 0);
  EXPECT_NE(st.st_ino, before);  // replaced whole, not written over
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
  EXPECT_EQ(st.st_mode & 07777, 02640u);  // the set-group-ID bit too
  EXPECT_EQ(pmtest::Signature(other), "TIFF");
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
    if (pmtest::Exists(target)) {
      const std::vector<uint8_t> now = pmtest::ReadBytes(target);
      EXPECT_TRUE(now == complete || now == old) << now.size() << " bytes";
    }
  }
}

}  // namespace
