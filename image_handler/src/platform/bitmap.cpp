// Bitmaps: their geometry, pixel block, palette and row lock.
#include <atomic>
#include <cstdint>
#include <cstring>

#include "platform/codec.h"

namespace pm {

size_t RowStride(int32_t width, int bits_per_pixel) {
  if (width < 0 || bits_per_pixel <= 0) throw Error("Invalid bitmap geometry");
  size_t bits = CheckedMul(static_cast<size_t>(width), static_cast<size_t>(bits_per_pixel));
  size_t bytes = CheckedAdd(bits, 7) / 8;
  return CheckedAdd(bytes, 3) & ~static_cast<size_t>(3);
}

namespace {

// The loops run under restrict, so that the compiler can interleave a row
// in vector registers. Each is built twice from one body: plainly (the
// baseline has no byte shuffle, so the bytes move one at a time) and for
// AVX2, whose shuffles move a vector of them at once.
[[gnu::always_inline]] inline void SplitLoop(const uint8_t* __restrict row, size_t pixels, uint8_t* __restrict red,
                                             uint8_t* __restrict green, uint8_t* __restrict blue) {
  for (size_t x = 0; x < pixels; ++x) {
    blue[x] = row[3 * x + kBlueByte];
    green[x] = row[3 * x + kGreenByte];
    red[x] = row[3 * x + kRedByte];
  }
}

[[gnu::always_inline]] inline void JoinLoop(const uint8_t* __restrict red, const uint8_t* __restrict green,
                                            const uint8_t* __restrict blue, size_t pixels, uint8_t* __restrict row) {
  for (size_t x = 0; x < pixels; ++x) {
    row[3 * x + kBlueByte] = blue[x];
    row[3 * x + kGreenByte] = green[x];
    row[3 * x + kRedByte] = red[x];
  }
}

[[gnu::always_inline]] inline void SwapLoop(const uint8_t* __restrict src, size_t pixels, uint8_t* __restrict dst) {
  for (size_t x = 0; x < pixels; ++x) {
    dst[3 * x] = src[3 * x + kRedByte];
    dst[3 * x + 1] = src[3 * x + kGreenByte];
    dst[3 * x + 2] = src[3 * x + kBlueByte];
  }
}

void SplitPlain(const uint8_t* row, size_t pixels, uint8_t* red, uint8_t* green, uint8_t* blue) {
  SplitLoop(row, pixels, red, green, blue);
}
void JoinPlain(const uint8_t* red, const uint8_t* green, const uint8_t* blue, size_t pixels, uint8_t* row) {
  JoinLoop(red, green, blue, pixels, row);
}
void SwapPlain(const uint8_t* src, size_t pixels, uint8_t* dst) { SwapLoop(src, pixels, dst); }

#if PM_AVX2_BUILDS
PM_AVX2 void SplitAvx2(const uint8_t* row, size_t pixels, uint8_t* red, uint8_t* green, uint8_t* blue) {
  SplitLoop(row, pixels, red, green, blue);
}
PM_AVX2 void JoinAvx2(const uint8_t* red, const uint8_t* green, const uint8_t* blue, size_t pixels, uint8_t* row) {
  JoinLoop(red, green, blue, pixels, row);
}
PM_AVX2 void SwapAvx2(const uint8_t* src, size_t pixels, uint8_t* dst) { SwapLoop(src, pixels, dst); }
#endif

std::atomic<bool> g_plain_builds{false};

}  // namespace

bool UseAvx2() {
#if PM_AVX2_BUILDS
  static const bool has = __builtin_cpu_supports("avx2");
  return has && !g_plain_builds.load(std::memory_order_relaxed);
#else
  return false;
#endif
}

void ForcePlainBuilds(bool plain) { g_plain_builds.store(plain, std::memory_order_relaxed); }

void SplitBgr(const uint8_t* row, size_t pixels, uint8_t* red, uint8_t* green, uint8_t* blue) {
  PM_BUILD_CALL(Split, row, pixels, red, green, blue);
}

void JoinBgr(const uint8_t* red, const uint8_t* green, const uint8_t* blue, size_t pixels, uint8_t* row) {
  PM_BUILD_CALL(Join, red, green, blue, pixels, row);
}

void SwapRedBlue(const uint8_t* src, size_t pixels, uint8_t* dst) { PM_BUILD_CALL(Swap, src, pixels, dst); }

static size_t PaletteCapacity(PixelFormat format) {
  switch (format) {
    case kFormat1bppIndexed: return 2;
    case kFormat4bppIndexed: return 16;
    case kFormat8bppIndexed: return 256;
    default: return 0;
  }
}

BitUnpacker::BitUnpacker(uint8_t zero, uint8_t one) {
  for (uint32_t b = 0; b < 256; ++b) {
    uint8_t px[8];
    for (uint32_t x = 0; x < 8; ++x) px[x] = (b >> (7 - x)) & 1 ? one : zero;
    std::memcpy(&spread_[b], px, 8);
  }
}

void BitUnpacker::Row(const uint8_t* src, size_t width, uint8_t* dst) const {
  const size_t whole = width / 8;
  for (size_t i = 0; i < whole; ++i) std::memcpy(dst + 8 * i, &spread_[src[i]], 8);
  if (width % 8 != 0) std::memcpy(dst + 8 * whole, &spread_[src[whole]], width % 8);
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

Bitmap Bitmap::View(int32_t width, int32_t height, PixelFormat format, const uint8_t* rows) {
  CheckBitmapSize(width, height, format);
  Bitmap b = Header(width, height, format);
  b.stride_ = RowStride(width, BitsPerPixel(format));
  // The rows are only read through a view; the block never frees them.
  b.bits_ = Block(const_cast<uint8_t*>(rows), BlockDeleter{0, true});
  if (format == kFormat8bppIndexed) b.palette_ = GreyRamp();
  return b;
}

void Bitmap::AdoptRows(Block rows) {
  bits_ = std::move(rows);
  spent_top_ = 0;
  spent_bottom_ = SIZE_MAX;
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

void Bitmap::Spend(int32_t first, int32_t end) {
  const size_t begin = static_cast<size_t>(first) * stride_;
  const size_t stop = static_cast<size_t>(end) * stride_;
  // Calls come a row at a time: the system is asked only when at least a
  // huge page more is spent.
  if (first == 0 && stop >= spent_top_ + kHugePage) {
    ReleasePages(bits_, spent_top_, stop);
    spent_top_ = stop & ~(kHugePage - 1);
  }
  const size_t from = (begin + kHugePage - 1) & ~(kHugePage - 1);
  if (end == height_ && from < spent_bottom_) {
    ReleasePages(bits_, from, bits_.get_deleter().mapped);
    spent_bottom_ = from;
  }
}

void Bitmap::Narrow(PixelFormat format) {
  format_ = format;
  stride_ = RowStride(width_, BitsPerPixel(format));
  capacity_ = PaletteCapacity(format);
  palette_.clear();
  if (format == kFormat8bppIndexed) palette_ = GreyRamp();
}

}  // namespace pm
