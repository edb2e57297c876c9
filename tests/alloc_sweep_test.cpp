// Allocation-failure sweep: for a load and a save of one small file of each
// container, the first allocation fails, then the second, and so on until
// the call runs without a failure: each fails with a text or succeeds
// rightly, leaks nothing and leaves the record (and the old file) alone.
// It replaces malloc and its kin, so the codecs' allocations fail too, and
// is built only without sanitizers, which replace them themselves.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "loader.h"
#include "my_global.h"
#include "pixmill.h"
#include "test_support.h"

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {

// The allocator's state. The test is single-threaded and so are the codecs.
long g_countdown = 0;    // > 0: the allocation that brings it to 0 fails
bool g_failed = false;   // an allocation was made to fail
bool g_tracking = false;  // blocks allocated now are recorded until freed

// Blocks allocated while tracking and not yet freed, in a table that needs
// no allocation of its own (a step makes a few hundred at most).
void* g_live[size_t{1} << 16];
size_t g_live_count = 0;

void* Track(void* p) {
  if (!g_tracking || p == nullptr) return p;
  // Past the table's end the count cannot return to 0: the step fails.
  if (g_live_count < std::size(g_live)) g_live[g_live_count] = p;
  ++g_live_count;
  return p;
}

void Untrack(void* p) {
  for (size_t i = 0; p != nullptr && g_live_count <= std::size(g_live) && i < g_live_count; ++i) {
    if (g_live[i] == p) {
      g_live[i] = g_live[--g_live_count];
      return;
    }
  }
}

bool FailNow() {
  if (g_countdown > 0 && --g_countdown == 0) {
    g_failed = true;
    errno = ENOMEM;
    return true;
  }
  return false;
}

}  // namespace

extern "C" {
void* malloc(size_t n) { return FailNow() ? nullptr : Track(__libc_malloc(n)); }
void* calloc(size_t n, size_t size) { return FailNow() ? nullptr : Track(__libc_calloc(n, size)); }
void* memalign(size_t align, size_t n) { return FailNow() ? nullptr : Track(__libc_memalign(align, n)); }
void* realloc(void* old, size_t n) {
  if (old != nullptr && n == 0) {
    Untrack(old);
    return __libc_realloc(old, 0);
  }
  if (FailNow()) return nullptr;
  void* p = __libc_realloc(old, n);
  if (p != nullptr) {
    Untrack(old);
    Track(p);
  }
  return p;
}
void free(void* p) {
  Untrack(p);
  __libc_free(p);
}
void* aligned_alloc(size_t align, size_t n) { return memalign(align, n); }
int posix_memalign(void** out, size_t align, size_t n) {
  void* p = memalign(align, n);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}
}

namespace {

// The record's planes and palette, as bytes.
std::vector<uint8_t> Take(const pmMetaImg& img) {
  std::vector<uint8_t> bytes = pmtest::PlaneBytes(img);
  const auto* palette = reinterpret_cast<const uint8_t*>(img.p_palette);
  bytes.insert(bytes.end(), palette, palette + 4 * static_cast<size_t>(img.palette_num));
  return bytes;
}

// How one step of a sweep ended, as the exit status of the child it ran in,
// and how many steps ended each way.
enum Step { kDone = 0, kFailedRight, kWrong, kLeaked, kFaultInLibtiff, kFault, kSteps };
using Tally = std::array<int, kSteps>;

// A crash in a step ends its child with a status that says whether the
// faulting instruction lies in libtiff, which dereferences null after some
// failed allocations of its own (the README's Save section says so).
void OnFault(int, siginfo_t*, void* context) {
  const void* pc = reinterpret_cast<const void*>(static_cast<const ucontext_t*>(context)->uc_mcontext.gregs[REG_RIP]);
  Dl_info info;
  const bool in_libtiff = ::dladdr(pc, &info) != 0 && info.dli_fname != nullptr && std::strstr(info.dli_fname, "libtiff") != nullptr;
  ::_exit(in_libtiff ? kFaultInLibtiff : kFault);
}

// Runs act with the nth allocation failing, for n = 1, 2, ... until a run
// has no failure to inject. Each run is a child process, so that a crash
// is counted rather than ending the suite. Only act runs with failures
// armed and its blocks tracked; check (which frees what act made) judges
// its result.
template <typename Act, typename Check>
Tally Sweep(const Act& act, const Check& check) {
  // Texts up to this length then need no new storage, so that the last
  // text does not count as a leak.
  myGlobal::SetError(std::string(4096, 'x'));
  // The first exception a process throws sets up the unwinder's caches for
  // good; that happens here, untracked.
  g_countdown = 1;
  check(act());
  g_countdown = 0;
  Tally tally{};
  for (int n = 1; n < 100000; ++n) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      struct sigaction sa = {};
      sa.sa_sigaction = OnFault;
      sa.sa_flags = SA_SIGINFO;
      ::sigaction(SIGSEGV, &sa, nullptr);
      ::sigaction(SIGBUS, &sa, nullptr);
      g_failed = false;
      g_tracking = true;
      g_countdown = n;
      auto result = act();
      g_countdown = 0;
      g_tracking = false;
      pmtest::ExitChild(!check(result) ? kWrong : g_live_count != 0 ? kLeaked : g_failed ? kFailedRight : kDone);
    }
    int status = 0;
    const int step = pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) < kSteps
                         ? WEXITSTATUS(status) : kFault;
    if (step == kDone) return tally;
    ++tally[step];
    if (step != kFailedRight && step != kFaultInLibtiff) std::fprintf(stderr, "step %d with allocation %d failing\n", step, n);
  }
  ++tally[kFault];
  return tally;
}

// The text of a failed call must say something, and not that all went well.
bool FailedWithText() {
  const std::string text = myGlobal::GetError();
  return !text.empty() && text != "No Error" && text != std::string(4096, 'x');
}

using pmtest::kContainers;

TEST(AllocSweepTest, EveryAllocationFailureInALoadOrSaveIsReported) {
  pmtest::TempDir dir;
  // Noise with more than 256 colours, so that the GIF goes through the
  // quantiser; small, so that each sweep step is quick.
  Record img = pmtest::Image(pmtest::kNoise, 24, 20, 3);
  const std::vector<uint8_t> before = Take(*img);

  for (int32_t code = 0; code < 5; ++code) {
    SCOPED_TRACE(kContainers[code]);
    const std::string file = dir.File(std::string("in.") + kContainers[code]);
    ASSERT_EQ(Pixmill_Save(file.c_str(), img.get(), code), 0) << myGlobal::GetError();
    Record reference(Pixmill_Create(file.c_str()));
    ASSERT_NE(reference, nullptr) << myGlobal::GetError();
    const std::vector<uint8_t> expected = Take(*reference);

    const Tally load = Sweep([&] { return Pixmill_Create(file.c_str()); },
                                  [&](pmMetaImg* loaded) {
                                    if (loaded == nullptr) return FailedWithText();
                                    const bool same = Take(*loaded) == expected;
                                    Pixmill_Delete(loaded);
                                    return same;
                                  });

    // A failed save leaves the old file, the record and nothing else.
    const std::string target = dir.File(std::string("out.") + kContainers[code]);
    const std::vector<uint8_t> old(64, 'o'), encoded = pmtest::ReadBytes(file);
    const size_t files = static_cast<size_t>(code) + 2;  // the inputs so far and the target
    pmtest::WriteBytes(target, old);
    const Tally save = Sweep([&] { return Pixmill_Save(target.c_str(), img.get(), code); },
                                  [&](int32_t rc) {
                                    const bool kept = Take(*img) == before && pmtest::ListDir(dir.path()).size() == files;
                                    const std::vector<uint8_t> now = pmtest::ReadBytes(target);
                                    pmtest::WriteBytes(target, old);
                                    return kept && (rc == 0 ? now == encoded : FailedWithText() && now == old);
                                  });
    for (const Tally& t : {load, save}) {
      EXPECT_GT(t[kFailedRight], 0);
      EXPECT_EQ(t[kWrong] + t[kLeaked] + t[kFault], 0) << t[kWrong] << " wrong, " << t[kLeaked] << " leaking";
    }
    std::printf("%s: %d allocation failure points in a load (%d crashing libtiff), %d in a save (%d in libtiff)\n",
                kContainers[code], load[kFailedRight] + load[kFaultInLibtiff], load[kFaultInLibtiff],
                save[kFailedRight] + save[kFaultInLibtiff], save[kFaultInLibtiff]);
    ::unlink(target.c_str());
  }
}

}  // namespace
