// Conformance over the third-party corpus: every file loads or is refused as
// its manifest row says, and every file that loads holds the pixels that an
// independent decoder (Pillow) gives for it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "loader.h"
#include "my_global.h"
#include "pixmill.h"
#include "test_support.h"

namespace {

struct Row {
  std::string path, container, file_shape, expect;
  std::vector<std::string> accepted;  // expect and expect_alt's |-separated outcomes
};

std::vector<Row> ReadManifest(const std::string& dir) {
  std::vector<Row> rows;
  for (auto& cells : pmtest::ReadTsv(dir + "/MANIFEST.tsv")) {
    Row r{cells["path"], cells["container"], cells["file_shape"], cells["expect"], {cells["expect"]}};
    for (size_t at = 0; at < cells["expect_alt"].size();) {
      const size_t bar = std::min(cells["expect_alt"].find('|', at), cells["expect_alt"].size());
      r.accepted.push_back(cells["expect_alt"].substr(at, bar - at));
      at = bar + 1;
    }
    rows.push_back(r);
  }
  return rows;
}

using Record = std::unique_ptr<pmMetaImg>;

// Layouts that Pillow 9.4 decodes wrongly, so it is no reference for them:
// its BMP RLE reader drops the last pixel of odd RLE4 literal runs, skips two
// bytes after every delta and aligns literal runs to the file offset (these
// are compared with ImageMagick instead, which reads them right); its
// 16-bit planar RGB TIFF reader interleaves the planes wrongly (its decode
// differs from its own decode of the contiguous copy of the same image).
bool IsBmpRle(const Row& row) {
  const std::string& s = row.file_shape;
  return row.container == "BMP" && (s.find("RLE4") != std::string::npos || s.find("RLE8") != std::string::npos);
}
bool PillowMisreads(const Row& row) {
  const std::string& s = row.file_shape;
  return IsBmpRle(row) ||
         (row.container == "TIFF" && s.find("bps=16") != std::string::npos && s.find("planar") != std::string::npos);
}

// Rows where this library's outcome differs from the manifest and from
// Pillow for a stated reason. Each run prints them, so that they stay visible.
struct Deviation {
  const char* path;
  const char* outcome;  // what the library gives
  const char* reason;
};
const Deviation kDeviations[] = {
    {"png/pillow/unknown_compression_method.png", "24bpp",
     "the manifest calls it RGBA with alpha, but its alpha is 255 at every pixel (only its iCCP chunk is damaged, "
     "and that chunk is ancillary), so by the manifest's own rule it loads as 24-bit"},
    {"gif/pillow/issue_2811.gif", "refuse-bad",
     "its LZW minimum code size is 11, which GIF does not allow (at most 8) and giflib refuses"},
    {"tiff/pillow/g4_orientation_2.tif", "pixels",
     "Pillow mirrors it by its Orientation tag; the library keeps pixels as stored"},
};

const Deviation* FindDeviation(const std::string& path) {
  for (const Deviation& d : kDeviations) {
    if (path == d.path) return &d;
  }
  return nullptr;
}

// Plane bytes of a record: for 1-bit rows only the bits inside the width
// count, since the bytes past a row's last pixel are not image data.
std::vector<uint8_t> PlaneBytes(const pmMetaImg& img) {
  const size_t w = static_cast<size_t>(img.width), h = static_cast<size_t>(img.height);
  if (img.bit != 1) return std::vector<uint8_t>(img.p_buf, img.p_buf + w * h * img.channel * (img.bit / 8));
  const size_t row_bytes = (w + 7) / 8;
  std::vector<uint8_t> out(img.p_buf, img.p_buf + row_bytes * h);
  const uint8_t last_mask = static_cast<uint8_t>(0xFF << ((8 - w % 8) % 8));
  for (size_t r = 0; r < h; ++r) out[r * row_bytes + row_bytes - 1] &= last_mask;
  return out;
}

class CorpusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = pmtest::CorpusDir();
    rows_ = ReadManifest(dir_);
    if (rows_.empty()) GTEST_SKIP() << "no corpus at " << dir_ << " (set PIXMILL_CORPUS)";
  }
  std::string dir_;
  std::vector<Row> rows_;
};

TEST_F(CorpusTest, EveryFileLoadsOrIsRefusedAsTheManifestSays) {
  std::vector<std::string> files;
  for (const Row& r : rows_) files.push_back(dir_ + "/" + r.path);
  const bool pillow = pmtest::PillowAvailable();
  const std::map<size_t, pmtest::Reference> refs = pillow ? pmtest::PillowDecode(files) : std::map<size_t, pmtest::Reference>{};
  size_t loaded = 0, compared = 0, compared_magick = 0;
  for (size_t i = 0; i < rows_.size(); ++i) {
    const Row& row = rows_[i];
    myGlobal::SetError("sentinel");
    Record img(sttc_LoadImage(files[i].c_str()));
    const std::string text = myGlobal::GetError();
    const std::string outcome = pmtest::Outcome(img.get(), text);
    SCOPED_TRACE(row.path + " -> " + outcome + " (" + text + ")");
    auto accepted = [&](const std::string& o) {
      return std::find(row.accepted.begin(), row.accepted.end(), o) != row.accepted.end();
    };
    // A palette file whose palette happens to be the grey ramp is still a
    // palette file; the record cannot tell the two apart.
    const Deviation* deviation = FindDeviation(row.path);
    if (deviation != nullptr) std::printf("corpus: %s: %s\n", row.path.c_str(), deviation->reason);
    const bool deviates = deviation != nullptr && outcome == deviation->outcome;
    EXPECT_TRUE(accepted(outcome) || deviates || (outcome == "8bpp-grey" && accepted("8bpp-palette")))
        << "expected " << row.expect;
    if (img == nullptr) {
      EXPECT_NE(text, "No Error");
      EXPECT_NE(text, "sentinel") << "a failed load must say why";
      continue;
    }
    EXPECT_EQ(text, "No Error");
    ++loaded;
    const std::vector<uint8_t> plane = PlaneBytes(*img);
    EXPECT_TRUE(std::equal(plane.begin(), plane.end(), img->p_buf)) << "bits past a 1-bit row's width are set";
    const std::vector<pmtest::Reference> magick = IsBmpRle(row) ? pmtest::MagickDecode({files[i]}) : std::vector<pmtest::Reference>{};
    if (!magick.empty()) {
      ++compared_magick;
      EXPECT_EQ(pmtest::RecordRgb(*img), magick[0].rgb) << "pixels differ from ImageMagick's";
    }
    auto ref = refs.find(i);
    if (ref == refs.end()) continue;
    // Pillow places a GIF's first frame differently (it crops to the frame
    // on some files) and reads old-style JPEG in TIFF its own way; compare
    // where both report the same size.
    if (ref->second.width != img->width || ref->second.height != img->height) continue;
    if (PillowMisreads(row) || (deviation != nullptr && std::string(deviation->outcome) == "pixels")) continue;
    const std::vector<uint8_t> mine = pmtest::RecordRgb(*img);
    ++compared;
    // Both sides use the same libjpeg-turbo and libtiff for lossy data, so
    // every decode must match exactly.
    size_t differing = 0;
    for (size_t k = 0; k < mine.size(); ++k) differing += mine[k] != ref->second.rgb[k];
    EXPECT_EQ(differing, 0u) << "bytes differing from Pillow (mode " << ref->second.mode << ")";
  }
  RecordProperty("loaded", static_cast<int>(loaded));
  RecordProperty("compared_with_pillow", static_cast<int>(compared));
  std::printf("corpus: %zu files, %zu loaded, %zu compared with Pillow, %zu BMP RLE files with ImageMagick\n",
              rows_.size(), loaded, compared, compared_magick);
  if (!pillow) std::printf("corpus: Pillow not found, pixel comparison skipped\n");
}

bool FewerThan257Colours(const pmMetaImg& img) {
  if (img.channel != 3) return true;
  std::vector<uint32_t> seen;
  const size_t n = static_cast<size_t>(img.width) * img.height;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t c = uint32_t(img.pp_plane[0][i]) << 16 | uint32_t(img.pp_plane[1][i]) << 8 | img.pp_plane[2][i];
    if (std::find(seen.begin(), seen.end(), c) == seen.end()) {
      seen.push_back(c);
      if (seen.size() > 256) return false;
    }
  }
  return true;
}

// Every corpus file that loads with a savable shape saves in all five
// containers; PNG, TIFF and BMP load back to the same planes and palette
// (alpha only through PNG, the one of them that holds it; 24-bit images of
// at most 256 colours as palette PNGs and TIFFs of the same pixels), GIF to
// the same pixels when the image has at most 256 colours, JPEG to the same
// size.
TEST_F(CorpusTest, EveryLoadableFileSavesInAllFiveContainersAndLoadsBack) {
  pmtest::TempDir out;
  size_t saved = 0, refused_shape = 0, with_metadata = 0;
  std::vector<std::string> pngs;
  std::vector<std::vector<uint8_t>> png_rgb;
  for (const Row& row : rows_) {
    Record img(sttc_LoadImage((dir_ + "/" + row.path).c_str()));
    if (!img) continue;
    SCOPED_TRACE(row.path + " (" + std::to_string(img->channel * img->bit) + " bpp)");
    const int32_t bpp = img->channel * img->bit;
    if (bpp != 1 && bpp != 8 && bpp != 24) {
      EXPECT_EQ(Pixmill_Save(out.File("deep").c_str(), img.get(), PIXMILL_FORMAT_PNG), -1);
      EXPECT_EQ(myGlobal::GetError(), "Not Supported!");
      EXPECT_FALSE(pmtest::Exists(out.File("deep")));
      ++refused_shape;
      continue;
    }
    const std::vector<uint8_t> planes = PlaneBytes(*img), rgb = pmtest::RecordRgb(*img);
    const bool gif_exact = FewerThan257Colours(*img);
    for (int code = 0; code <= 4; ++code) {
      SCOPED_TRACE("container " + std::to_string(code));
      // Every PNG is kept for the outside checks at the end.
      const std::string path =
          out.File(code == PIXMILL_FORMAT_PNG ? std::to_string(saved) + ".png" : "out." + std::to_string(code));
      ASSERT_EQ(Pixmill_Save(path.c_str(), img.get(), code), 0) << myGlobal::GetError();
      if (code == PIXMILL_FORMAT_PNG) {
        pngs.push_back(path);
        png_rgb.push_back(rgb);
      }
      Record back(sttc_LoadImage(path.c_str()));
      ASSERT_TRUE(back) << myGlobal::GetError();
      ASSERT_EQ(back->width, img->width);
      ASSERT_EQ(back->height, img->height);
      // JPEG, PNG and TIFF carry the orientation and the profile.
      const bool carries = code <= PIXMILL_FORMAT_TIFF;
      EXPECT_EQ(back->orientation, carries ? img->orientation : 1);
      EXPECT_TRUE(back->icc_profile == (carries ? img->icc_profile : std::vector<uint8_t>{}));
      with_metadata += code == 0 && (img->orientation != 1 || !img->icc_profile.empty());
      if (code == PIXMILL_FORMAT_JPEG) continue;
      const bool palette_file = code == PIXMILL_FORMAT_PNG || code == PIXMILL_FORMAT_TIFF;
      if (code == PIXMILL_FORMAT_GIF || (palette_file && bpp == 24 && gif_exact)) {
        // A PNG or TIFF of a 24-bit image with at most 256 colours is a
        // palette one.
        if (gif_exact) {
          EXPECT_EQ(pmtest::RecordRgb(*back), rgb);
        }
        if (palette_file) {
          EXPECT_EQ(back->channel * back->bit, 8);
        }
        continue;
      }
      ASSERT_EQ(back->channel * back->bit, bpp);
      EXPECT_EQ(PlaneBytes(*back), planes);
      ASSERT_EQ(back->palette_num, img->palette_num);
      for (int32_t k = 0; k < img->palette_num; ++k) {
        const PM_METAIMG_PALETTE a = img->p_palette[k], b = back->p_palette[k];
        EXPECT_TRUE(a.red == b.red && a.green == b.green && a.blue == b.blue) << "palette entry " << k;
        if (code == PIXMILL_FORMAT_PNG) {
          EXPECT_EQ(a.alpha, b.alpha) << "palette entry " << k;
        }
      }
    }
    ++saved;
  }
  std::printf("corpus: %zu files saved five ways and loaded back (%zu with an orientation or a profile), %zu refused "
              "for their shape\n", saved, with_metadata, refused_shape);
  EXPECT_GT(saved, 0u);
  const std::string missing = pmtest::CheckPngsOutside(pngs, png_rgb);
  if (!missing.empty()) GTEST_SKIP() << "not installed, PNGs not checked by:" << missing;
}

}  // namespace
