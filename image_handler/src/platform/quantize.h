// Colour reduction of 24-bit rows to at most 256 palette entries.
#pragma once

#include <vector>

#include "platform/imaging.h"

namespace pm {

struct IndexedImage {
  std::vector<Color> palette;  // at most 256 entries, alpha 255
  Block indices;               // one byte a pixel
  size_t pitch = 0;            // bytes between rows of `indices`
};

// A blue, green, red pixel as one number, red in the high byte.
inline uint32_t ColourKey(const uint8_t* bgr) {
  return static_cast<uint32_t>(bgr[2]) << 16 | static_cast<uint32_t>(bgr[1]) << 8 | bgr[0];
}

// Rows of blue, green, red at `stride`: when they hold at most 256
// distinct colours, those colours in order of first appearance and every
// pixel's index into them (exact_colours.cpp); false, with `out` holding no
// indices, otherwise.
bool ExactColours(const uint8_t* base, size_t stride, int width, int height, IndexedImage* out);

// Whether exact colours are all grey and more than a graphic's few: a grey
// photograph in a colour file (a JPEG of a black and white picture). The
// PNG and TIFF writers store such an image as grey (when it carries no
// colour profile, which would be an RGB one), whose rows take the row
// filters and the predictor that palette indices cannot: a fifth smaller
// than as a palette.
bool ManyGreys(const IndexedImage& image);
// Replaces the indices, in place, by the grey level of their entry.
void IndicesToGrey(IndexedImage& image, int width, int height);
// Whether in a sample of the rows of indices (`pitch` apart) at least three
// pixels in four repeat the one before: a graphic or a scan, not a
// photograph, whose compressors and coders take other settings.
bool MostlyRepeats(const uint8_t* rows, size_t pitch, int width, int height);

// Rows of blue, green, red at `stride`. Images of at most 256 distinct
// colours get exactly those colours (lossless); others get a palette fitted
// by variance-based median cut refined with k-means, each pixel mapped to its
// nearest entry. With `spends`, the bitmap the rows are, the rows are spent
// (Bitmap::Spend) as they are mapped, so that the indices take over their
// pages; all of them are spent when it returns.
IndexedImage QuantizeBgr(const uint8_t* base, size_t stride, int width, int height, Bitmap* spends = nullptr);

}  // namespace pm
