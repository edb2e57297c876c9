// Bitmaps: their geometry, pixel block, palette and row lock.
#include <cstdint>
#include <cstdlib>

#include <sys/mman.h>

#include "platform/codec.h"

namespace pm {

size_t RowStride(int32_t width, int bits_per_pixel) {
  if (width < 0 || bits_per_pixel <= 0) throw Error("Invalid bitmap geometry");
  size_t bits = CheckedMul(static_cast<size_t>(width), static_cast<size_t>(bits_per_pixel));
  size_t bytes = CheckedAdd(bits, 7) / 8;
  return CheckedAdd(bytes, 3) & ~static_cast<size_t>(3);
}

// Each first touch of a 4 KiB page is a fault, and faults are dear on
// virtual machines; a block of tens of megabytes written once takes
// thousands. Transparent huge pages (where the kernel grants them on
// request) fault once per 2 MiB. The advice is only advice: where it is
// refused, the pages stay small.
constexpr uintptr_t kHugePage = uintptr_t{2} << 20;

static void AdviseMappingHugePages(void* mapping, size_t bytes) {
  // The whole mapping is marked, so that it stays one mapping (advice over
  // part of it would split it, and mremap cannot move a split one).
  if (bytes >= kHugePage) (void)::madvise(mapping, bytes, MADV_HUGEPAGE);
}

void BlockDeleter::operator()(uint8_t* p) const {
  if (mapped != 0) {
    ::munmap(p, mapped);
  } else {
    std::free(p);
  }
}

// A large mapping whose start and length are whole huge pages: the kernel
// grants huge pages only to aligned 2 MiB spans, and an unaligned mapping of
// ten megabytes leaves on average 2 MiB at its ends to small pages, several
// hundred faults each time it is written afresh. The length is rounded up,
// which costs address space only until the tail is written. Mappings
// under a quarter of a huge page stay plain.
void* MapHuge(size_t bytes, size_t* mapped) {
  if (bytes < kHugePage / 4) {  // too small for a huge page: a plain mapping
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    *mapped = bytes;
    return p;
  }
  const size_t length = CheckedAdd(bytes, kHugePage - 1) & ~(kHugePage - 1);
  const size_t over = CheckedAdd(length, kHugePage);
  void* raw = ::mmap(nullptr, over, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto begin = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t start = (begin + kHugePage - 1) & ~(kHugePage - 1);
  // The spare head and tail (kHugePage bytes between them) go back.
  if (start > begin) ::munmap(raw, start - begin);
  if (begin + over > start + length) ::munmap(reinterpret_cast<void*>(start + length), begin + over - start - length);
  AdviseMappingHugePages(reinterpret_cast<void*>(start), length);
  *mapped = length;
  return reinterpret_cast<void*>(start);
}

Block AllocBlock(size_t bytes, bool zeroed) {
  if (bytes == 0) bytes = 1;
  constexpr size_t kMapped = kHugePage / 4;
  if (bytes >= kMapped) {
    size_t mapped = 0;
    void* p = MapHuge(bytes, &mapped);
    if (p == nullptr) throw Error("Out of memory: cannot allocate " + std::to_string(bytes) + " bytes");
    return Block(static_cast<uint8_t*>(p), BlockDeleter{mapped});
  }
  void* p = zeroed ? std::calloc(bytes, 1) : std::malloc(bytes);
  if (p == nullptr) throw Error("Out of memory: cannot allocate " + std::to_string(bytes) + " bytes");
  return Block(static_cast<uint8_t*>(p));
}

void* MallocHuge(size_t bytes) {
  if (bytes < kHugePage / 4) return std::malloc(bytes == 0 ? 1 : bytes);
  if (bytes > SIZE_MAX - kHugePage) return nullptr;
  const size_t length = (bytes + kHugePage - 1) & ~(kHugePage - 1);
  void* p = nullptr;
  if (::posix_memalign(&p, kHugePage, length) != 0) return nullptr;
  (void)::madvise(p, length, MADV_HUGEPAGE);
  return p;
}

static size_t PaletteCapacity(PixelFormat format) {
  switch (format) {
    case kFormat1bppIndexed: return 2;
    case kFormat4bppIndexed: return 16;
    case kFormat8bppIndexed: return 256;
    default: return 0;
  }
}

std::vector<Color> GreyRamp() {
  std::vector<Color> ramp(256);
  for (int i = 0; i < 256; ++i) {
    const auto v = static_cast<uint8_t>(i);
    ramp[i] = Color{v, v, v, 255};
  }
  return ramp;
}

bool IsGreyRamp(const std::vector<Color>& palette) {
  if (palette.size() != 256) return false;
  for (int i = 0; i < 256; ++i) {
    const Color& c = palette[i];
    if (c.r != i || c.g != i || c.b != i || c.a != 255) return false;
  }
  return true;
}

Bitmap Bitmap::Header(int32_t width, int32_t height, PixelFormat format) {
  Bitmap b;
  b.width_ = width;
  b.height_ = height;
  b.format_ = format;
  b.capacity_ = PaletteCapacity(format);
  return b;
}

Bitmap::Bitmap(int32_t width, int32_t height, PixelFormat format)
    : width_(width), height_(height), format_(format), capacity_(PaletteCapacity(format)) {
  CheckBitmapSize(width, height, format);
  stride_ = RowStride(width, BitsPerPixel(format));
  bits_ = AllocBlock(CheckedMul(stride_, static_cast<size_t>(height)), true);
  if (format == kFormat1bppIndexed) {
    palette_ = {Color{0, 0, 0, 255}, Color{255, 255, 255, 255}};
  } else if (format == kFormat8bppIndexed) {
    palette_ = GreyRamp();
  } else if (format == kFormat4bppIndexed) {
    palette_.resize(16);
    for (int i = 0; i < 16; ++i) {
      const auto v = static_cast<uint8_t>(i * 17);
      palette_[i] = Color{v, v, v, 255};
    }
  }
}

void Bitmap::SetPalette(const std::vector<Color>& palette) {
  if (palette.size() > capacity_) {
    throw Error("Palette of " + std::to_string(palette.size()) + " entries does not fit a " +
                std::to_string(BitsPerPixel(format_)) + "-bit bitmap (at most " + std::to_string(capacity_) + ")");
  }
  palette_ = palette;
}

uint8_t* Bitmap::LockBits() {
  if (!bits_) throw Error("Bitmap holds no pixel data");
  if (locked_) throw Error("Bitmap is already locked");
  locked_ = true;
  return bits_.get();
}

void Bitmap::UnlockBits() {
  if (!locked_) throw Error("Bitmap is not locked");
  locked_ = false;
}

void Bitmap::Narrow(PixelFormat format) {
  format_ = format;
  stride_ = RowStride(width_, BitsPerPixel(format));
  capacity_ = PaletteCapacity(format);
  palette_.clear();
  if (format == kFormat8bppIndexed) palette_ = GreyRamp();
}

}  // namespace pm
