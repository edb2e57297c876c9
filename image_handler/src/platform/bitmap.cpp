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

void AdviseHugePages(void* p, size_t bytes) {
  // Only whole 2 MiB spans inside the block are marked, so memory beyond
  // it is never affected.
  if (p == nullptr || bytes < 2 * kHugePage) return;
  const auto begin = reinterpret_cast<uintptr_t>(p);
  const uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t last = (begin + bytes) & ~(kHugePage - 1);
  if (last > first) (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

void AdviseMappingHugePages(void* mapping, size_t bytes) {
  // The whole mapping is marked, so that it stays one mapping (advice over
  // part of it would split it, and mremap cannot move a split one).
  if (bytes >= 2 * kHugePage) (void)::madvise(mapping, bytes, MADV_HUGEPAGE);
}

void BlockDeleter::operator()(uint8_t* p) const {
  if (mapped != 0) {
    ::munmap(p, mapped);
  } else {
    std::free(p);
  }
}

Block AllocBlock(size_t bytes, bool zeroed) {
  if (bytes == 0) bytes = 1;
  constexpr size_t kMapped = size_t{1} << 20;
  if (bytes >= kMapped) {
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw Error("Out of memory: cannot allocate " + std::to_string(bytes) + " bytes");
    AdviseMappingHugePages(p, bytes);
    return Block(static_cast<uint8_t*>(p), BlockDeleter{bytes});
  }
  void* p = zeroed ? std::calloc(bytes, 1) : std::malloc(bytes);
  if (p == nullptr) throw Error("Out of memory: cannot allocate " + std::to_string(bytes) + " bytes");
  return Block(static_cast<uint8_t*>(p));
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
