// The encoders' output buffer: an anonymous mapping of its own.
#include <algorithm>
#include <cstring>

#include <sys/mman.h>

#include "platform/imaging.h"

namespace pm {

MemoryStream::~MemoryStream() {
  if (data_ != nullptr) ::munmap(data_, capacity_);
}

void MemoryStream::Write(const void* data, size_t size) {
  const size_t end = CheckedAdd(pos_, size);
  if (end > capacity_) {
    // 64 KiB first, then whole huge pages: a small file stays small, and a
    // large one never fills small pages that would keep its first huge
    // page from forming.
    constexpr size_t kFirst = 65536, kHuge = size_t{2} << 20;
    size_t grown = capacity_ == 0 ? kFirst : std::max(capacity_, kHuge);
    while (grown < end) grown = CheckedMul(grown, 2);
    // Fresh pages read as zeros; untouched ones cost no resident memory.
    size_t mapped = 0;
    void* p = MapHuge(grown, &mapped);
    if (p == nullptr) throw Error("Out of memory: cannot grow the output buffer to " + std::to_string(grown) + " bytes");
    if (capacity_ < kHuge) {
      // The few small pages so far are copied onto huge ones.
      if (data_ != nullptr) {
        std::memcpy(p, data_, size_);
        ::munmap(data_, capacity_);
      }
    } else if (::mremap(data_, capacity_, capacity_, MREMAP_MAYMOVE | MREMAP_FIXED, p) == MAP_FAILED) {
      // Whole huge pages are moved to the new mapping's start, not copied.
      // A move needs the old range to be one mapping; where the kernel kept
      // earlier moves apart from the rest, the bytes are copied instead.
      std::memcpy(p, data_, size_);
      ::munmap(data_, capacity_);
    }
    data_ = static_cast<uint8_t*>(p);
    capacity_ = mapped;
  }
  if (size != 0) std::memcpy(data_ + pos_, data, size);
  pos_ = end;
  if (end > size_) size_ = end;
}

}  // namespace pm
