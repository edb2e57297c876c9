// The LZW coder behind the TIFF and GIF encoders, at every length around the
// code-width changes and the table's resets: its GIF image data is byte for
// byte what giflib's own coder writes, and its TIFF strips (with and without
// the predictor, over several strips) decode through libtiff to the input.
#include <gif_lib.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "platform/codec.h"

namespace {

using pm::Bitmap;

// An 8-bit palette bitmap (not the grey ramp: no predictor) of `n` symbols
// below `alphabet`, `width` a row: noise (about one table entry a symbol),
// runs of 1 to 300 of one symbol, or a sawtooth.
Bitmap Symbols(size_t n, int alphabet, int pattern, uint32_t seed, int width) {
  std::mt19937 rng(seed);
  const int height = static_cast<int>((n + static_cast<size_t>(width) - 1) / static_cast<size_t>(width));
  Bitmap bitmap(width, height, pm::kFormat8bppIndexed);
  std::vector<pm::Color> palette;
  for (int i = 0; i < alphabet; ++i) palette.push_back(pm::Color{uint8_t(i), uint8_t(255 - i), 7, 255});
  bitmap.SetPalette(palette);
  uint8_t last = 0;
  for (size_t i = 0; i < static_cast<size_t>(width) * static_cast<size_t>(height); ++i) {
    const auto fresh = static_cast<uint8_t>(rng() % static_cast<uint32_t>(alphabet));
    const uint8_t s = pattern == 0 ? fresh : pattern == 1 ? (i > 0 && rng() % 150 != 0 ? last : fresh)
                                                          : static_cast<uint8_t>((i / 3) % static_cast<size_t>(alphabet));
    bitmap.Row(static_cast<int>(i / static_cast<size_t>(width)))[i % static_cast<size_t>(width)] = i < n ? s : 0;
    last = s;
  }
  return bitmap;
}

std::vector<uint8_t> Rows(const Bitmap& bitmap, size_t row_bytes) {
  std::vector<uint8_t> v;
  for (int y = 0; y < bitmap.Height(); ++y) v.insert(v.end(), bitmap.Row(y), bitmap.Row(y) + row_bytes);
  return v;
}

int VectorWrite(GifFileType* gif, const GifByteType* data, int n) {
  static_cast<std::vector<uint8_t>*>(gif->UserData)->insert(static_cast<std::vector<uint8_t>*>(gif->UserData)->end(),
                                                            data, data + n);
  return n;
}

// The same file written through giflib's own coder: the bitmap as a frame
// at (left, top) of a screen of the given size (its own by default) whose
// background is entry `background`.
std::vector<uint8_t> GiflibReference(const Bitmap& bitmap, int left = 0, int top = 0, int screen_w = 0,
                                     int screen_h = 0, int background = 0) {
  const std::vector<pm::Color> palette = bitmap.Palette();
  int bits = 1;
  while ((1 << bits) < static_cast<int>(palette.size())) ++bits;
  std::vector<GifColorType> colours(size_t{1} << bits, GifColorType{0, 0, 0});
  for (size_t i = 0; i < palette.size(); ++i) colours[i] = GifColorType{palette[i].r, palette[i].g, palette[i].b};
  std::vector<uint8_t> out;
  int err = 0;
  GifFileType* gif = EGifOpen(&out, VectorWrite, &err);
  ColorMapObject* map = GifMakeMapObject(1 << bits, colours.data());
  EGifSetGifVersion(gif, false);
  EXPECT_EQ(EGifPutScreenDesc(gif, screen_w > 0 ? screen_w : bitmap.Width(), screen_h > 0 ? screen_h : bitmap.Height(),
                              bits, background, map),
            GIF_OK);
  EXPECT_EQ(EGifPutImageDesc(gif, left, top, bitmap.Width(), bitmap.Height(), false, nullptr), GIF_OK);
  std::vector<uint8_t> row(static_cast<size_t>(bitmap.Width()));
  for (int y = 0; y < bitmap.Height(); ++y) {
    std::memcpy(row.data(), bitmap.Row(y), row.size());
    EXPECT_EQ(EGifPutLine(gif, row.data(), bitmap.Width()), GIF_OK);
  }
  EXPECT_EQ(EGifCloseFile(gif, &err), GIF_OK);
  GifFreeMapObject(map);
  return out;
}

struct Case {
  size_t length;
  int alphabet, pattern;
};

// Every pattern at lengths around the buffers' sizes; noise at every length
// to 300 and where the data ends on, just before and just after each change
// of code width and the table's reset (elsewhere over 16 symbols).
std::vector<Case> Cases() {
  std::vector<Case> cases;
  for (int alphabet : {2, 16, 256}) {
    for (int pattern : {0, 1, 2}) {
      for (size_t n : {1, 2, 3, 4, 17, 255, 256, 257, 1000, 5000, 20000, 70000}) cases.push_back({n, alphabet, pattern});
    }
    for (size_t n = 1; n <= 300; ++n) cases.push_back({n, alphabet, 0});
  }
  for (const auto& [from, to, step, alphabet] : {std::array<size_t, 4>{740, 800, 1, 256}, {1760, 1830, 1, 256},
                                                 {3780, 3900, 1, 256}, {4000, 5200, 7, 16}}) {
    for (size_t n = from; n <= to; n += step) cases.push_back({n, static_cast<int>(alphabet), 0});
  }
  return cases;
}

TEST(LzwTest, GifDataIsGiflibsByteForByteAndTiffStripsDecodeThroughLibtiff) {
  uint32_t seed = 1;
  for (const Case& c : Cases()) {
    const std::string what = std::to_string(c.length) + " symbols of " + std::to_string(c.alphabet);
    // One row for TIFF (the strip holds exactly the symbols), rows of at
    // most 1000 for GIF.
    const Bitmap line = Symbols(c.length, c.alphabet, c.pattern, seed++, static_cast<int>(c.length));
    pm::MemoryStream tiff;
    pm::EncodeTiff(line, tiff);
    ASSERT_EQ(Rows(pm::DecodeTiff(tiff.Data(), tiff.Size()), c.length), Rows(line, c.length)) << what;
    const Bitmap rows = Symbols(c.length, c.alphabet, c.pattern, seed++, static_cast<int>(std::min<size_t>(c.length, 1000)));
    pm::MemoryStream gif;
    pm::EncodeGif(rows, gif);
    ASSERT_EQ(std::vector<uint8_t>(gif.Data(), gif.Data() + gif.Size()), GiflibReference(rows)) << what;
    const size_t width = static_cast<size_t>(rows.Width());
    ASSERT_EQ(Rows(pm::DecodeGif(gif.Data(), gif.Size()), width), Rows(rows, width)) << what;
  }
  // A frame inside a larger screen: the screen around it shows the
  // background entry, on every side.
  Bitmap frame = Symbols(6, 2, 2, 0, 3);  // 3 x 2 of entries 0 0 0 1 1 1
  const std::vector<uint8_t> file = GiflibReference(frame, 1, 1, 5, 4, 1);
  EXPECT_EQ(Rows(pm::DecodeGif(file.data(), file.size()), 5),
            (std::vector<uint8_t>{1, 1, 1, 1, 1, 1, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}));
}

}  // namespace
