// Dropping an alpha channel that is opaque everywhere, in place, so that an
// RGBA or grey+alpha file loads as the record's RGB or grey image.
#include <cstring>

#include "platform/codec.h"

namespace pm {

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

}  // namespace pm
