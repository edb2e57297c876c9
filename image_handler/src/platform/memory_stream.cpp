// The encoders' output buffer: an anonymous mapping of its own.
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
    size_t grown = capacity_ < 65536 ? 65536 : capacity_;
    while (grown < end) grown = CheckedMul(grown, 2);
    // Fresh pages read as zeros; untouched ones cost no resident memory.
    void* p = data_ == nullptr ? ::mmap(nullptr, grown, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                               : ::mremap(data_, capacity_, grown, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) throw Error("Out of memory: cannot grow the output buffer to " + std::to_string(grown) + " bytes");
    data_ = static_cast<uint8_t*>(p);
    capacity_ = grown;
    AdviseMappingHugePages(data_, capacity_);
  }
  if (size != 0) std::memcpy(data_ + pos_, data, size);
  pos_ = end;
  if (end > size_) size_ = end;
}

}  // namespace pm
