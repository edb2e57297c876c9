// The loader's classification of pixel formats, alpha and transparency, the
// PNG reader's handling of split and damaged data, and its failure texts.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <map>
#include <memory>
#include <utility>

#include "loader.h"
#include "my_global.h"
#include "test_support.h"

namespace {

TEST(LoaderTest, RefusesOtherPixelFormatsWithTheirDecimalCode) {
  int32_t channel = 0, width = 0, height = 0, bit = 0;
  EXPECT_EQ(sttc_GetParams(pm::Bitmap::Header(7, 9, pm::kFormat32bppArgb), &channel, &width, &height, &bit), -1);
  EXPECT_EQ(myGlobal::GetError(), "PixelFormat(2498570) is Not Supported!");
  EXPECT_EQ(width, 7);
  EXPECT_EQ(height, 9);
  EXPECT_EQ(sttc_GetParams(pm::Bitmap::Header(1, 1, pm::kFormat4bppIndexed), &channel, &width, &height, &bit), -1);
  EXPECT_EQ(myGlobal::GetError(), "PixelFormat(197634) is Not Supported!");
  ASSERT_EQ(sttc_GetParams(pm::Bitmap::Header(1, 1, pm::kFormat48bppRgb), &channel, &width, &height, &bit), 0);
  EXPECT_EQ(channel * 100 + bit, 316);
}

TEST(LoaderTest, OpaqueAlphaIsDroppedAndAGreyKeyBecomesTheTransparentEntry) {
  // A TIFF that declares an alpha sample but stores one sample a pixel once
  // made the decoder read alpha past every row; it loads as its grey pixel.
  std::unique_ptr<pmMetaImg> grey(sttc_LoadImage(PIXMILL_SOURCE_DIR "/tests/data/fuzz/fuzz-tiff-alpha-without-sample.tif"));
  ASSERT_NE(grey, nullptr) << myGlobal::GetError();
  EXPECT_EQ(grey->width * 1000 + grey->height * 100 + grey->bit * grey->channel, 1108);
  pmtest::TempDir dir;
  // 16-bit RGBA whose alpha is 0xFFFF loads as 48-bit RGB.
  pmtest::WriteBytes(dir.File("a.png"), pmtest::Png(1, 1, 16, 6, {0, 1, 2, 3, 4, 5, 6, 0xFF, 0xFF}));
  std::unique_ptr<pmMetaImg> deep(sttc_LoadImage(dir.File("a.png").c_str()));
  ASSERT_NE(deep, nullptr) << myGlobal::GetError();
  EXPECT_EQ(deep->channel * 100 + deep->bit, 316);
  // 8-bit grey+alpha, opaque: the grey samples on the ramp.
  pmtest::WriteBytes(dir.File("ga.png"), pmtest::Png(2, 1, 8, 4, {0, 10, 255, 20, 255}));
  std::unique_ptr<pmMetaImg> ga(sttc_LoadImage(dir.File("ga.png").c_str()));
  ASSERT_NE(ga, nullptr) << myGlobal::GetError();
  EXPECT_EQ(pmtest::RecordRgb(*ga), (std::vector<uint8_t>{10, 10, 10, 20, 20, 20}));
  // 1-bit grey whose tRNS key is white: entry 1 is transparent, entry 0 not.
  pmtest::WriteBytes(dir.File("k.png"), pmtest::Png(8, 1, 1, 0, {0, 0xA0}, pmtest::PngChunk("tRNS", {0, 1})));
  std::unique_ptr<pmMetaImg> key(sttc_LoadImage(dir.File("k.png").c_str()));
  ASSERT_NE(key, nullptr) << myGlobal::GetError();
  EXPECT_EQ(key->p_palette[0].alpha * 1000 + key->p_palette[1].alpha, 255000);
}

// Orientation and profile as tests/data/meta holds them (README there), and
// damaged variants of each container's file: damaged metadata is left out,
// and the picture loads as the intact file does.
TEST(LoaderTest, OrientationAndProfileAreReadAndDamagedOnesLeftOut) {
  const std::string dir = PIXMILL_SOURCE_DIR "/tests/data/meta/";
  const std::vector<uint8_t> icc = pmtest::ReadBytes(dir + "adobergb.icc"), none;
  const struct {
    const char* file;
    int orientation;
    bool profile;
  } kRows[] = {  // each container's intact file first
      {"orient6.jpg", 6, true},      {"exif-ifd-outside.jpg", 1, true},       {"icc-out-of-sequence.jpg", 6, false},
      {"orient6.png", 6, true},      {"exif-twice-disagreeing.png", 1, true}, {"icc-over-16mib.png", 6, false},
      {"icc-truncated.png", 6, false}, {"orient6.tif", 6, true},              {"orientation-9.tif", 1, true},
      {"icc-outside.tif", 6, false}, {"profile-v5.bmp", 1, true},             {"profile-outside.bmp", 1, false},
      {"png-inside.bmp", 6, true}};
  std::map<std::string, std::vector<uint8_t>> intact;  // pixels by extension
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.file);
    std::unique_ptr<pmMetaImg> img(sttc_LoadImage((dir + row.file).c_str()));
    ASSERT_NE(img, nullptr) << myGlobal::GetError();
    EXPECT_EQ(img->orientation, row.orientation);
    EXPECT_EQ(img->icc_profile, row.profile ? icc : none);
    const std::string ext = std::strrchr(row.file, '.');
    if (intact.count(ext) == 0) intact[ext] = pmtest::RecordRgb(*img);
    EXPECT_EQ(pmtest::RecordRgb(*img), intact[ext]);
  }
}

TEST(LoaderTest, PngDataInSeveralChunksLoadsAndDamageIsReadAsLibpngReadsIt) {
  // 6 x 4 RGB rows, unfiltered but for a Sub row, compressed whole and split
  // over three IDAT chunks, with an ancillary chunk after them. Variants
  // that the loader's own inflate leaves to libpng must come out as libpng
  // reads them: a bad CRC on an ancillary chunk, or an unknown critical one
  // after the data, is passed over; a bad CRC on image data, a bad filter
  // and missing rows are refused.
  pmtest::Bytes rows;
  std::vector<uint8_t> want;
  for (int y = 0; y < 4; ++y) {
    rows.push_back(y == 2 ? 1 : 0);
    for (int i = 0; i < 18; ++i) {
      want.push_back(static_cast<uint8_t>(i * 7 + y * 40));
      rows.push_back(static_cast<uint8_t>(y == 2 && i >= 3 ? 7 * 3 : want.back()));
    }
  }
  auto file = [&](const pmtest::Bytes& raw, int damage) {
    pmtest::Bytes z(compressBound(static_cast<uLong>(raw.size())));
    uLongf n = z.size();
    compress(z.data(), &n, raw.data(), static_cast<uLong>(raw.size()));
    pmtest::Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<pmtest::Bytes> chunks = {pmtest::PngChunk("IHDR", pmtest::Bytes().be32(6).be32(4).add({8, 2, 0, 0, 0}))};
    for (uLongf a = 0, k = 0; k < 3; a += n / 3, ++k) {
      chunks.push_back(pmtest::PngChunk("IDAT", pmtest::Bytes(z.begin() + a, z.begin() + (k == 2 ? n : a + n / 3))));
    }
    chunks.push_back(pmtest::PngChunk(damage == 3 ? "ABCD" : "tIME", {7, 234, 12, 8, 12, 0, 0}));
    if (damage == 1) chunks[2].back() ^= 1;  // the second IDAT's CRC
    if (damage == 2) chunks[4].back() ^= 1;  // the ancillary chunk's CRC: libpng drops the chunk
    chunks.push_back(pmtest::PngChunk("IEND", {}));
    for (const pmtest::Bytes& c : chunks) png.insert(png.end(), c.begin(), c.end());
    return png;
  };
  pmtest::TempDir dir;
  pmtest::Bytes bad_filter = rows, short_rows(rows.begin(), rows.end() - 19);
  bad_filter[19] = 5;
  const std::pair<pmtest::Bytes, bool> cases[] = {{file(rows, 0), true},        {file(rows, 2), true},
                                                  {file(rows, 1), false},       {file(rows, 3), true},
                                                  {file(bad_filter, 0), false}, {file(short_rows, 0), false}};
  for (size_t i = 0; i < std::size(cases); ++i) {
    const std::string path = dir.File(std::to_string(i) + ".png");
    pmtest::WriteBytes(path, cases[i].first);
    std::unique_ptr<pmMetaImg> img(sttc_LoadImage(path.c_str()));
    EXPECT_EQ(img != nullptr, cases[i].second) << i << ": " << myGlobal::GetError();
    if (img != nullptr) {
      EXPECT_EQ(pmtest::RecordRgb(*img), want) << i;
    } else {
      EXPECT_NE(myGlobal::GetError().find(path), std::string::npos) << myGlobal::GetError();
    }
  }
}

TEST(LoaderTest, FailuresNameTheFileAndTheCause) {
  pmtest::TempDir dir;
  EXPECT_EQ(sttc_LoadImage(dir.path().c_str()), nullptr);
  EXPECT_EQ(myGlobal::GetError(), "Cannot open '" + dir.path() + "': Is a directory");
  for (const std::vector<uint8_t>& bytes : {std::vector<uint8_t>{}, {'a'}, {'a', 'b', 'c'}}) {
    pmtest::WriteBytes(dir.File("x.dat"), bytes);
    EXPECT_EQ(sttc_LoadImage(dir.File("x.dat").c_str()), nullptr);
    EXPECT_EQ(myGlobal::GetError(), "'" + dir.File("x.dat") +
                                        (bytes.empty() ? "': file is empty" : "' is not a PNG, JPEG, TIFF, GIF or BMP file"));
  }

  // BMP headers with no pixel data, declaring more than a record holds:
  // refused for their size before anything is allocated. A 1-bit record
  // takes a byte a pixel, so 50000 x 50000 is too large at 1 bit too.
  for (const auto& c : {std::make_pair(24, "70000 x 70000 pixels need 14700000000"),
                        std::make_pair(1, "50000 x 50000 pixels need 2500000000")}) {
    const int32_t side = c.first == 24 ? 70000 : 50000;
    pmtest::WriteBytes(dir.File("big.bmp"), pmtest::Bmp(side, side, static_cast<uint16_t>(c.first), 0, {0}));
    EXPECT_EQ(sttc_LoadImage(dir.File("big.bmp").c_str()), nullptr);
    EXPECT_EQ(myGlobal::GetError(), "'" + dir.File("big.bmp") + "': Image too large: " + c.second +
                                        " bytes of image planes, more than the 2147483647 an image record holds");
  }

  // Every broken file kept in tests/data/bad, made by hand or found by
  // fuzzing, is refused with a text naming it.
  const std::string bad = std::string(PIXMILL_SOURCE_DIR) + "/tests/data/bad/";
  for (const std::string& name : pmtest::ListDir(bad)) {
    myGlobal::SetError("No Error");
    EXPECT_EQ(std::unique_ptr<pmMetaImg>(sttc_LoadImage((bad + name).c_str())), nullptr) << name;
    const std::string text = myGlobal::GetError();
    EXPECT_NE(text, "No Error") << name;
    EXPECT_NE(text.find(bad + name), std::string::npos) << text;
  }

  std::unique_ptr<pmMetaImg> ok(sttc_LoadImage(PIXMILL_SOURCE_DIR "/samples/sample.png"));
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(myGlobal::GetError(), "No Error");
}

}  // namespace
