// The encoders' output buffer.
#include <algorithm>
#include <cstring>

#include "platform/imaging.h"

namespace pm {

uint8_t* MemoryStream::Reserve(size_t size) {
  const size_t end = CheckedAdd(pos_, size);
  if (end > capacity_) {
    // 64 KiB first, then whole huge pages: a small file stays small, and a
    // large one never fills small pages that would keep its first huge
    // page from forming.
    constexpr size_t kFirst = 65536;
    size_t grown = capacity_ == 0 ? kFirst : std::max(capacity_, kHugePage);
    while (grown < end) grown = CheckedMul(grown, 2);
    // Fresh pages read as zeros; untouched ones cost no resident memory.
    if (!GrowBlock(data_, size_, grown)) {
      throw Error("Out of memory: cannot grow the output buffer to " + std::to_string(grown) + " bytes");
    }
    capacity_ = data_.get_deleter().mapped;
  }
  return data_.get() + pos_;
}

void MemoryStream::Commit(size_t size) {
  pos_ += size;
  size_ = pos_;
}

void MemoryStream::Write(const void* data, size_t size) {
  uint8_t* const at = Reserve(size);
  if (size != 0) std::memcpy(at, data, size);
  pos_ += size;
  if (pos_ > size_) size_ = pos_;
}

}  // namespace pm
