// Every size limit of the platform layer, and the checked arithmetic that
// applies them. What each one bounds, and why:
//
// - The record: at most INT32_MAX bytes of planes, since its sizes are
//   32-bit, by the record's own size rule; or a lower limit set for the
//   process (the fuzzers keep each input small with it). A decoder checks
//   this from the header, so a file that declares a huge image fails before
//   any row is read or allocated.
// - A bitmap's own pixel block: twice the record's limit, since a decoded
//   bitmap may be larger than the record it becomes (row padding, an alpha
//   channel that is dropped), and never more than the address space holds.
// - TIFF stored samples: four times the record's limit. Extra samples and
//   tiles make the stored data larger than the record, but only by a small
//   factor; beyond that a header declares sizes no real file has.
// - JPEG: progressive and multi-scan files keep every coefficient of the
//   image (two bytes a sample, more with padding to blocks), so libjpeg may
//   use 16 MiB plus three bytes a sample of the declared image, within the
//   bitmap limit; and at most 500 progressive scans, since each scan is a
//   pass over the whole coefficient buffer.
#include <atomic>
#include <climits>
#include <limits>

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

static std::atomic<size_t> g_record_byte_limit{0};

size_t MaxRecordBytes() {
  const size_t record = static_cast<size_t>(std::numeric_limits<int32_t>::max());
  const size_t set = g_record_byte_limit.load(std::memory_order_relaxed);
  return set != 0 && set < record ? set : record;
}

void SetRecordByteLimit(size_t bytes) { g_record_byte_limit.store(bytes, std::memory_order_relaxed); }

size_t MaxBitmapBytes() {
  const uint64_t limit = 2ull * std::numeric_limits<int32_t>::max() + 2;
  const uint64_t addressable = std::numeric_limits<ptrdiff_t>::max();
  return static_cast<size_t>(limit < addressable ? limit : addressable);
}

size_t MaxSampleBytes() {
  // Saturates at the bitmap limit: four times the record's wraps a 32-bit size_t.
  const size_t record = MaxRecordBytes();
  const size_t cap = MaxBitmapBytes();
  return record <= cap / 4 ? record * 4 : cap;
}

long JpegMemoryLimit(uint64_t samples) {
  const uint64_t cap = MaxBitmapBytes() < static_cast<size_t>(LONG_MAX) ? MaxBitmapBytes() : LONG_MAX;
  constexpr uint64_t kBase = 16u << 20;
  if (samples >= (cap - kBase) / 3) return static_cast<long>(cap);
  return static_cast<long>(kBase + 3 * samples);
}

int MaxJpegScans() { return 500; }

RecordSize SizeOfRecord(int32_t width, int32_t height, int32_t bit, int32_t channel) {
  RecordSize size;
  if (width < 0 || height < 0 || bit <= 0 || bit > 16 || channel < 1 || channel > 4) return size;
  // At most 2 * (2^31)^2 * 4 + 3 < 2^64: no overflow here.
  size.plane = ((static_cast<uint64_t>(bit) + 7) >> 3) * static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  size.block = (size.plane * static_cast<uint64_t>(channel) + 3) & ~static_cast<uint64_t>(3);
  size.fits = size.block <= MaxRecordBytes();
  return size;
}

// Bytes of planes a bitmap of this format becomes: indexed images one plane
// (1-bit ones too), RGB three planes (an opaque alpha is dropped), 16-bit RGB
// three 16-bit planes. Formats the record cannot hold are refused by the
// loader and never get pixels here.
static uint64_t RecordBlockOf(int32_t width, int32_t height, PixelFormat format) {
  switch (format) {
    case kFormat1bppIndexed: return SizeOfRecord(width, height, 1, 1).block;
    case kFormat4bppIndexed:
    case kFormat8bppIndexed: return SizeOfRecord(width, height, 8, 1).block;
    case kFormat24bppRgb:
    case kFormat32bppArgb: return SizeOfRecord(width, height, 8, 3).block;
    case kFormat48bppRgb:
    case kFormat64bppArgb: return SizeOfRecord(width, height, 16, 3).block;
    default: return SizeOfRecord(width, height, 8, 1).block * static_cast<uint64_t>(BitsPerPixel(format) / 8);
  }
}

void CheckBitmapSize(int32_t width, int32_t height, PixelFormat format) {
  if (width <= 0 || height <= 0) {
    throw Error("Invalid bitmap size: " + std::to_string(width) + " x " + std::to_string(height) + " pixels");
  }
  const int bpp = BitsPerPixel(format);
  if (bpp == 0) throw Error("Invalid bitmap pixel format " + std::to_string(static_cast<int32_t>(format)));
  // The record's rule comes first: it is the one every caller can rely on.
  const uint64_t record = RecordBlockOf(width, height, format);
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

}  // namespace pm
