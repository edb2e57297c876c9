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
    // mremap moves the pages without copying them, but only within one
    // mapping: where the huge-page advice split the buffer into several
    // (where the kernel did not place it on a 2 MiB boundary) it fails, and
    // the bytes are copied into a fresh mapping instead.
    void* p = data_ == nullptr ? MAP_FAILED : ::mremap(data_, capacity_, grown, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) {
      p = ::mmap(nullptr, grown, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p == MAP_FAILED) throw Error("Out of memory: cannot grow the output buffer to " + std::to_string(grown) + " bytes");
      if (data_ != nullptr) {
        std::memcpy(p, data_, size_);
        ::munmap(data_, capacity_);
      }
    }
    data_ = static_cast<uint8_t*>(p);
    capacity_ = grown;
    AdviseHugePages(data_, capacity_);
  }
  if (size != 0) std::memcpy(data_ + pos_, data, size);
  pos_ = end;
  if (end > size_) size_ = end;
}

}  // namespace pm
