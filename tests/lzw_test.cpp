// The LZW coder behind the TIFF and GIF encoders: its TIFF strips and its
// GIF image data are byte for byte what libtiff's and giflib's own coders
// write, at every length around the table's resets, and decode to the input.
#include <gif_lib.h>
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstring>
#include <random>
#include <vector>

#include "platform/codec.h"
#include "platform/imaging.h"
#include "test_support.h"

namespace {

using pm::Bitmap;
using pm::Color;
using pm::MemoryStream;

enum class Pattern { kNoise, kRuns, kSawtooth };

std::vector<uint8_t> Symbols(size_t n, int alphabet, Pattern pattern, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> s(n);
  for (size_t i = 0; i < n; ++i) {
    switch (pattern) {
      case Pattern::kNoise:
        s[i] = static_cast<uint8_t>(rng() % static_cast<uint32_t>(alphabet));
        break;
      case Pattern::kRuns:  // runs of 1 to 300 of one symbol
        s[i] = i > 0 && rng() % 150 != 0 ? s[i - 1] : static_cast<uint8_t>(rng() % static_cast<uint32_t>(alphabet));
        break;
      case Pattern::kSawtooth:
        s[i] = static_cast<uint8_t>((i / 3) % static_cast<size_t>(alphabet));
        break;
    }
  }
  return s;
}

// An 8-bit palette bitmap (not the grey ramp: no predictor) of the symbols,
// `width` a row.
Bitmap IndexBitmap(const std::vector<uint8_t>& symbols, int width, int alphabet) {
  const int height = static_cast<int>((symbols.size() + static_cast<size_t>(width) - 1) / static_cast<size_t>(width));
  Bitmap bitmap(width, height, pm::kFormat8bppIndexed);
  std::vector<Color> palette;
  for (int i = 0; i < alphabet; ++i) {
    palette.push_back(Color{static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), 7, 255});
  }
  bitmap.SetPalette(palette);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const size_t i = static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x);
      bitmap.Row(y)[x] = i < symbols.size() ? symbols[i] : 0;
    }
  }
  return bitmap;
}

std::vector<uint8_t> Indices(const Bitmap& bitmap) {
  std::vector<uint8_t> v;
  for (int y = 0; y < bitmap.Height(); ++y) v.insert(v.end(), bitmap.Row(y), bitmap.Row(y) + bitmap.Width());
  return v;
}

int VectorWrite(GifFileType* gif, const GifByteType* data, int n) {
  auto* out = static_cast<std::vector<uint8_t>*>(gif->UserData);
  out->insert(out->end(), data, data + n);
  return n;
}

// The same file written through giflib's own coder.
std::vector<uint8_t> GiflibReference(const Bitmap& bitmap) {
  const std::vector<Color> palette = bitmap.Palette();
  int bits = 1;
  while ((1 << bits) < static_cast<int>(palette.size())) ++bits;
  std::vector<GifColorType> colours(size_t{1} << bits, GifColorType{0, 0, 0});
  for (size_t i = 0; i < palette.size(); ++i) colours[i] = GifColorType{palette[i].r, palette[i].g, palette[i].b};
  std::vector<uint8_t> out;
  int err = 0;
  GifFileType* gif = EGifOpen(&out, VectorWrite, &err);
  ColorMapObject* map = GifMakeMapObject(1 << bits, colours.data());
  EGifSetGifVersion(gif, false);
  EXPECT_EQ(EGifPutScreenDesc(gif, bitmap.Width(), bitmap.Height(), bits, 0, map), GIF_OK);
  EXPECT_EQ(EGifPutImageDesc(gif, 0, 0, bitmap.Width(), bitmap.Height(), false, nullptr), GIF_OK);
  std::vector<uint8_t> row(static_cast<size_t>(bitmap.Width()));
  for (int y = 0; y < bitmap.Height(); ++y) {
    std::memcpy(row.data(), bitmap.Row(y), row.size());
    EXPECT_EQ(EGifPutLine(gif, row.data(), bitmap.Width()), GIF_OK);
  }
  EXPECT_EQ(EGifCloseFile(gif, &err), GIF_OK);
  GifFreeMapObject(map);
  return out;
}

struct TiffFile {
  uint16_t photometric = 0, predictor = 0, spp = 0, bps = 0;
  uint32_t rows_per_strip = 0;
  std::vector<std::vector<uint8_t>> strips;  // as stored, still coded
};

TiffFile ReadRawTiff(const std::string& path) {
  TiffFile f;
  TIFF* tif = TIFFOpen(path.c_str(), "r");
  if (tif == nullptr) return f;
  TIFFGetFieldDefaulted(tif, TIFFTAG_PHOTOMETRIC, &f.photometric);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PREDICTOR, &f.predictor);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &f.spp);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &f.bps);
  TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &f.rows_per_strip);
  for (uint32_t s = 0; s < TIFFNumberOfStrips(tif); ++s) {
    uint64_t* counts = nullptr;
    TIFFGetField(tif, TIFFTAG_STRIPBYTECOUNTS, &counts);
    std::vector<uint8_t> strip(static_cast<size_t>(counts[s]));
    TIFFReadRawStrip(tif, s, strip.data(), static_cast<tmsize_t>(strip.size()));
    f.strips.push_back(std::move(strip));
  }
  TIFFClose(tif);
  return f;
}

// The same image written through libtiff's own LZW coder, with the layout
// our encoder chose.
void WriteLibtiffReference(const Bitmap& bitmap, const TiffFile& layout, const std::string& path) {
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(tif, nullptr);
  const uint32_t w = static_cast<uint32_t>(bitmap.Width()), h = static_cast<uint32_t>(bitmap.Height());
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, layout.bps);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, layout.spp);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, layout.rows_per_strip);
  if (layout.predictor == PREDICTOR_HORIZONTAL) TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
  const size_t row_bytes = (static_cast<size_t>(w) * layout.bps * layout.spp + 7) / 8;
  std::vector<uint8_t> strip;
  for (uint32_t row = 0; row < h; row += layout.rows_per_strip) {
    const uint32_t rows = std::min(layout.rows_per_strip, h - row);
    strip.assign(rows * row_bytes, 0);
    for (uint32_t r = 0; r < rows; ++r) {
      uint8_t* dst = strip.data() + r * row_bytes;
      std::memcpy(dst, bitmap.Row(static_cast<int>(row + r)), row_bytes);
      if (layout.spp == 3) {
        for (uint32_t x = 0; x < w; ++x) std::swap(dst[3 * x], dst[3 * x + 2]);
      }
    }
    ASSERT_GE(TIFFWriteEncodedStrip(tif, TIFFComputeStrip(tif, row, 0), strip.data(),
                                    static_cast<tmsize_t>(strip.size())), 0);
  }
  TIFFClose(tif);
}

// `ours` is the bitmap encoded by our TIFF encoder; libtiff's own coder must
// give the same coded strips.
void ExpectLibtiffStrips(const Bitmap& bitmap, const MemoryStream& out, const std::string& what) {
  pmtest::TempDir dir;
  pmtest::WriteBytes(dir.File("ours.tif"), std::vector<uint8_t>(out.Data(), out.Data() + out.Size()));
  const TiffFile ours = ReadRawTiff(dir.File("ours.tif"));
  ASSERT_FALSE(ours.strips.empty()) << what;
  WriteLibtiffReference(bitmap, ours, dir.File("libtiff.tif"));
  const TiffFile reference = ReadRawTiff(dir.File("libtiff.tif"));
  ASSERT_EQ(ours.strips.size(), reference.strips.size()) << what;
  for (size_t s = 0; s < ours.strips.size(); ++s) {
    ASSERT_EQ(ours.strips[s], reference.strips[s]) << what << ", strip " << s;
  }
}

struct Case {
  size_t length;
  int alphabet;
  Pattern pattern;
};

std::vector<Case> Cases() {
  std::vector<Case> cases;
  for (int alphabet : {2, 16, 256}) {
    for (Pattern p : {Pattern::kNoise, Pattern::kRuns, Pattern::kSawtooth}) {
      for (size_t n : {1, 2, 3, 4, 17, 255, 256, 257, 1000, 5000, 20000, 70000}) cases.push_back({n, alphabet, p});
    }
  }
  // Noise makes about one entry a symbol: these lengths end the data on,
  // just before and just after each change of code width and the table's
  // reset.
  for (int alphabet : {2, 16, 256}) {
    for (size_t n = 1; n <= 300; ++n) cases.push_back({n, alphabet, Pattern::kNoise});
  }
  for (size_t n = 740; n <= 800; ++n) cases.push_back({n, 256, Pattern::kNoise});
  for (size_t n = 1760; n <= 1830; ++n) cases.push_back({n, 256, Pattern::kNoise});
  for (size_t n = 3780; n <= 3900; ++n) cases.push_back({n, 256, Pattern::kNoise});
  // Over 16 symbols the widths change at other points.
  for (size_t n = 4000; n <= 5200; n += 7) cases.push_back({n, 16, Pattern::kNoise});
  return cases;
}

TEST(LzwTest, TiffStripsAreLibtiffsByteForByteAndDecodeToTheInput) {
  uint32_t seed = 1;
  for (const Case& c : Cases()) {
    const std::vector<uint8_t> symbols = Symbols(c.length, c.alphabet, c.pattern, seed++);
    // One row: the strip holds exactly the symbols.
    const Bitmap bitmap = IndexBitmap(symbols, static_cast<int>(c.length), c.alphabet);
    const std::string what = std::to_string(c.length) + " symbols of " + std::to_string(c.alphabet);
    MemoryStream out;
    pm::EncodeTiff(bitmap, out);
    ExpectLibtiffStrips(bitmap, out, what);
    const Bitmap back = pm::DecodeTiff(out.Data(), out.Size());
    ASSERT_EQ(Indices(back), symbols) << what;
  }
}

TEST(LzwTest, GifImageDataIsGiflibsByteForByte) {
  uint32_t seed = 1000;
  for (const Case& c : Cases()) {
    const std::vector<uint8_t> symbols = Symbols(c.length, c.alphabet, c.pattern, seed++);
    const int width = static_cast<int>(std::min<size_t>(c.length, 1000));
    const Bitmap bitmap = IndexBitmap(symbols, width, c.alphabet);
    MemoryStream out;
    pm::EncodeGif(bitmap, out);
    const std::vector<uint8_t> ours(out.Data(), out.Data() + out.Size());
    ASSERT_EQ(ours, GiflibReference(bitmap)) << c.length << " symbols of " << c.alphabet;
    const Bitmap back = pm::DecodeGif(out.Data(), out.Size());
    ASSERT_EQ(Indices(back), Indices(bitmap));
  }
}

// Colour and grey images take the predictor's differences row by row over
// several strips: the strips are libtiff's, and read back exactly.
TEST(LzwTest, PredictedTiffImagesOverSeveralStripsReadBack) {
  std::mt19937 rng(5);
  Bitmap rgb(301, 257, pm::kFormat24bppRgb);
  Bitmap grey(517, 300, pm::kFormat8bppIndexed);
  grey.SetPalette(pm::GreyRamp());
  for (int y = 0; y < 257; ++y) {
    for (int x = 0; x < 3 * 301; ++x) rgb.Row(y)[x] = static_cast<uint8_t>(x * 3 + y + (rng() % 9));
  }
  for (int y = 0; y < 300; ++y) {
    for (int x = 0; x < 517; ++x) grey.Row(y)[x] = static_cast<uint8_t>(x ^ y);
  }
  for (const Bitmap* b : {&rgb, &grey}) {
    MemoryStream out;
    pm::EncodeTiff(*b, out);
    ExpectLibtiffStrips(*b, out, b == &rgb ? "colour" : "grey");
    const Bitmap back = pm::DecodeTiff(out.Data(), out.Size());
    ASSERT_EQ(back.Format(), b->Format());
    const size_t row_bytes = static_cast<size_t>(b->Width()) * (b->Format() == pm::kFormat24bppRgb ? 3 : 1);
    for (int y = 0; y < b->Height(); ++y) {
      ASSERT_EQ(std::memcmp(back.Row(y), b->Row(y), row_bytes), 0) << "row " << y;
    }
  }
}

}  // namespace
