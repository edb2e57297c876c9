// The memory policy of the whole library, in one place: small blocks come
// from malloc; large ones are anonymous mappings that start and end on whole
// 2 MiB huge pages, grow by moving those pages (copied where the kernel will
// not move them) and go back to the system when released.
//
// Why: each first touch of a 4 KiB page is a fault, and faults are dear on
// virtual machines; a block of tens of megabytes written once takes
// thousands. Transparent huge pages (where the kernel grants them on
// request) fault once per 2 MiB, but only over aligned 2 MiB spans: an
// unaligned mapping leaves on average 2 MiB at its ends to small pages. The
// heap, for its part, keeps a released block of tens of megabytes resident
// for the next one. The advice is only advice: where it is refused, the
// pages stay small.
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

#include "platform/imaging.h"

namespace pm {

namespace {

// Blocks from here up are mappings of their own.
constexpr size_t kMapped = kHugePage / 4;

// A mapping of at least `bytes` (at least 1), whose start and length are
// whole huge pages with the advice given when it is kMapped or more; its
// length in `mapped`. Null when the system has no room. The length is
// rounded up, which costs address space only until the tail is written.
void* MapHuge(size_t bytes, size_t* mapped) {
  if (bytes == 0) bytes = 1;
  if (bytes < kMapped) {  // too small for a huge page: a plain mapping
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    *mapped = bytes;
    return p;
  }
  if (bytes > SIZE_MAX - 2 * kHugePage) return nullptr;
  const size_t length = (bytes + kHugePage - 1) & ~(kHugePage - 1);
  const size_t over = length + kHugePage;
  void* raw = ::mmap(nullptr, over, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto begin = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t start = (begin + kHugePage - 1) & ~(uintptr_t{kHugePage} - 1);
  // The spare head and tail (kHugePage bytes between them) go back.
  if (start > begin) ::munmap(raw, start - begin);
  if (begin + over > start + length) ::munmap(reinterpret_cast<void*>(start + length), begin + over - start - length);
  // The whole mapping is marked, so that it stays one mapping (advice over
  // part of it would split it, and mremap cannot move a split one).
  (void)::madvise(reinterpret_cast<void*>(start), length, MADV_HUGEPAGE);
  *mapped = length;
  return reinterpret_cast<void*>(start);
}

}  // namespace

void BlockDeleter::operator()(uint8_t* p) const {
  if (borrowed) return;
  if (mapped != 0) {
    ::munmap(p, mapped);
  } else {
    std::free(p);
  }
}

Block AllocBlock(size_t bytes, bool zeroed) {
  if (bytes == 0) bytes = 1;
  if (bytes >= kMapped) {
    Block block;
    if (!GrowBlock(block, 0, bytes)) throw Error("Out of memory: cannot allocate " + std::to_string(bytes) + " bytes");
    return block;
  }
  void* p = zeroed ? std::calloc(bytes, 1) : std::malloc(bytes);
  if (p == nullptr) throw Error("Out of memory: cannot allocate " + std::to_string(bytes) + " bytes");
  return Block(static_cast<uint8_t*>(p));
}

bool GrowBlock(Block& block, size_t used, size_t bytes) {
  size_t mapped = 0;
  void* p = MapHuge(bytes, &mapped);
  if (p == nullptr) return false;
  const size_t old = block.get_deleter().mapped;
  // Whole huge pages move to the new mapping's start. Small pages are
  // copied, and so is a range the kernel will not move (it must be one
  // mapping: one whose earlier moves it kept apart is not).
  if (block && old >= kHugePage &&
      ::mremap(block.get(), old, old, MREMAP_MAYMOVE | MREMAP_FIXED, p) != MAP_FAILED) {
    (void)block.release();  // its pages are the new mapping's now
  } else if (block) {
    std::memcpy(p, block.get(), used);
  }
  block = Block(static_cast<uint8_t*>(p), BlockDeleter{mapped});
  return true;
}

void ReleasePages(Block& block, size_t begin, size_t end) {
  const size_t mapped = block.get_deleter().mapped;
  if (mapped < kHugePage || end > mapped) return;
  begin = (begin + kHugePage - 1) & ~(kHugePage - 1);
  end &= ~(kHugePage - 1);
  if (begin < end) (void)::madvise(block.get() + begin, end - begin, MADV_DONTNEED);
}

void* MallocHuge(size_t bytes) {
  if (bytes < kMapped) return std::malloc(bytes == 0 ? 1 : bytes);
  if (bytes > SIZE_MAX - kHugePage) return nullptr;
  const size_t length = (bytes + kHugePage - 1) & ~(kHugePage - 1);
  void* p = nullptr;
  if (::posix_memalign(&p, kHugePage, length) != 0) return nullptr;
  (void)::madvise(p, length, MADV_HUGEPAGE);
  return p;
}

}  // namespace pm
