// Bitmaps, their palettes and row locks, and the size arithmetic every
// allocation in the platform layer goes through.
#include <atomic>
#include <cstring>
#include <limits>
#include <new>

#include <sys/mman.h>

#include "meta_img.h"
#include "platform/codec.h"

namespace pm {

size_t CheckedMul(size_t a, size_t b) {
  if (a != 0 && b > std::numeric_limits<size_t>::max() / a) throw Error("Image too large: size arithmetic overflows");
  return a * b;
}

size_t CheckedAdd(size_t a, size_t b) {
  if (b > std::numeric_limits<size_t>::max() - a) throw Error("Image too large: size arithmetic overflows");
  return a + b;
}

size_t RowStride(int32_t width, int bits_per_pixel) {
  if (width < 0 || bits_per_pixel <= 0) throw Error("Invalid bitmap geometry");
  size_t bits = CheckedMul(static_cast<size_t>(width), static_cast<size_t>(bits_per_pixel));
  size_t bytes = CheckedAdd(bits, 7) / 8;
  return CheckedAdd(bytes, 3) & ~static_cast<size_t>(3);
}

size_t MaxBitmapBytes() {
  // A record plane holds at most INT32_MAX bytes; a decoded bitmap may be
  // larger than the record it becomes (row padding, an alpha channel that is
  // dropped), so allow twice that, within what the address space can hold.
  const uint64_t limit = 2ull * std::numeric_limits<int32_t>::max() + 2;
  const uint64_t addressable = std::numeric_limits<ptrdiff_t>::max();
  return static_cast<size_t>(limit < addressable ? limit : addressable);
}

Block AllocBlock(size_t bytes, bool zeroed) {
  if (bytes == 0) bytes = 1;
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

static std::atomic<size_t> g_record_byte_limit{0};

size_t MaxRecordBytes() {
  const size_t record = static_cast<size_t>(std::numeric_limits<int32_t>::max());
  const size_t set = g_record_byte_limit.load(std::memory_order_relaxed);
  return set != 0 && set < record ? set : record;
}

void SetRecordByteLimit(size_t bytes) { g_record_byte_limit.store(bytes, std::memory_order_relaxed); }

// Bytes of the record block a bitmap of this format becomes, by the
// record's own size rule: indexed images one plane (1-bit ones too, which
// the record sizes at one byte a pixel), RGB three planes (an opaque alpha
// is dropped), 16-bit RGB three 16-bit planes. Formats the record cannot
// hold are refused by the loader and never get pixels here.
static uint64_t RecordBytes(int32_t width, int32_t height, PixelFormat format) {
  switch (format) {
    case kFormat1bppIndexed: return RecordBlockBytes(width, height, 1, 1);
    case kFormat4bppIndexed:
    case kFormat8bppIndexed: return RecordBlockBytes(width, height, 8, 1);
    case kFormat24bppRgb:
    case kFormat32bppArgb: return RecordBlockBytes(width, height, 8, 3);
    case kFormat48bppRgb:
    case kFormat64bppArgb: return RecordBlockBytes(width, height, 16, 3);
    default: return RecordBlockBytes(width, height, 8, 1) * static_cast<uint64_t>(BitsPerPixel(format) / 8);
  }
}

void CheckBitmapSize(int32_t width, int32_t height, PixelFormat format) {
  if (width <= 0 || height <= 0) {
    throw Error("Invalid bitmap size: " + std::to_string(width) + " x " + std::to_string(height) + " pixels");
  }
  const int bpp = BitsPerPixel(format);
  if (bpp == 0) throw Error("Invalid bitmap pixel format " + std::to_string(static_cast<int32_t>(format)));
  // The record's rule comes first: it is the one every caller can rely on.
  const uint64_t record = RecordBytes(width, height, format);
  if (record > MaxRecordBytes()) {
    throw Error("Image too large: " + std::to_string(width) + " x " + std::to_string(height) + " pixels need " +
                std::to_string(record) + " bytes of image planes, more than the " + std::to_string(MaxRecordBytes()) +
                " an image record holds");
  }
  const uint64_t bytes = static_cast<uint64_t>(RowStride(width, bpp)) * static_cast<uint64_t>(height);
  if (bytes > MaxBitmapBytes()) {
    throw Error("Image too large: " + std::to_string(width) + " x " + std::to_string(height) + " pixels at " +
                std::to_string(bpp) + " bits a pixel");
  }
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

bool AllOpaque8(const Bitmap& bitmap, size_t row_bytes, size_t offset, size_t step) {
  for (int32_t y = 0; y < bitmap.Height(); ++y) {
    const uint8_t* row = bitmap.Row(y);
    for (size_t i = offset; i < row_bytes; i += step) {
      if (row[i] != 255) return false;
    }
  }
  return true;
}

void DropAlpha8(Bitmap& bitmap, bool to_grey) {
  const size_t w = static_cast<size_t>(bitmap.Width());
  const size_t src_stride = bitmap.Stride();
  const size_t dst_stride = RowStride(bitmap.Width(), to_grey ? 8 : 24);
  uint8_t* base = bitmap.Row(0);
  // Rows only move towards the start of the block, and within a row every
  // pixel moves towards the row start, so a forward pass never reads a byte
  // it has already overwritten.
  for (int32_t y = 0; y < bitmap.Height(); ++y) {
    const uint8_t* s = base + static_cast<size_t>(y) * src_stride;
    uint8_t* d = base + static_cast<size_t>(y) * dst_stride;
    if (to_grey) {
      for (size_t x = 0; x < w; ++x) d[x] = s[4 * x];
    } else {
      for (size_t x = 0; x < w; ++x) {
        d[3 * x] = s[4 * x];
        d[3 * x + 1] = s[4 * x + 1];
        d[3 * x + 2] = s[4 * x + 2];
      }
    }
  }
  bitmap.Narrow(to_grey ? kFormat8bppIndexed : kFormat24bppRgb);
}

bool AllOpaque16(const Bitmap& bitmap) {
  const size_t w = static_cast<size_t>(bitmap.Width());
  for (int32_t y = 0; y < bitmap.Height(); ++y) {
    const uint8_t* row = bitmap.Row(y);
    for (size_t x = 0; x < w; ++x) {
      if (row[8 * x + 6] != 0xFF || row[8 * x + 7] != 0xFF) return false;
    }
  }
  return true;
}

void DropAlpha16(Bitmap& bitmap) {
  const size_t w = static_cast<size_t>(bitmap.Width());
  const size_t src_stride = bitmap.Stride();
  const size_t dst_stride = RowStride(bitmap.Width(), 48);
  uint8_t* base = bitmap.Row(0);
  for (int32_t y = 0; y < bitmap.Height(); ++y) {
    const uint8_t* s = base + static_cast<size_t>(y) * src_stride;
    uint8_t* d = base + static_cast<size_t>(y) * dst_stride;
    for (size_t x = 0; x < w; ++x) std::memmove(d + 6 * x, s + 8 * x, 6);
  }
  bitmap.Narrow(kFormat48bppRgb);
}

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
  }
  if (size != 0) std::memcpy(data_ + pos_, data, size);
  pos_ = end;
  if (end > size_) size_ = end;
}


}  // namespace pm
