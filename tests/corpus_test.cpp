// Conformance over the third-party corpus: every file loads or is refused as
// its manifest row says, and every file that loads holds the pixels that an
// independent decoder (Pillow) gives for it.
#include <gtest/gtest.h>

#include <algorithm>

#include "loader.h"
#include "my_global.h"
#include "pixmill.h"
#include "test_support.h"

namespace {

using Row = std::map<std::string, std::string>;

// Layouts that Pillow 9.4 decodes wrongly, so it is no reference for them:
// its BMP RLE reader drops the last pixel of odd RLE4 literal runs, skips two
// bytes after every delta and aligns literal runs to the file offset (these
// are compared with ImageMagick instead, which reads them right); its
// 16-bit planar RGB TIFF reader interleaves the planes wrongly (its decode
// differs from its own decode of the contiguous copy of the same image).
bool Has(const Row& row, const char* container, const char* a, const char* b) {
  const std::string& s = row.at("file_shape");
  return row.at("container") == container && s.find(a) != std::string::npos && s.find(b) != std::string::npos;
}
bool IsBmpRle(const Row& row) { return Has(row, "BMP", "RLE4", "") || Has(row, "BMP", "RLE8", ""); }
bool PillowMisreadsTiff(const Row& row) { return Has(row, "TIFF", "bps=16", "planar"); }

// Rows where this library's outcome differs from the manifest and from
// Pillow for a stated reason (path: outcome, reason). Each run prints them,
// so that they stay visible.
const std::map<std::string, std::pair<std::string, std::string>> kDeviations = {
    {"png/pillow/unknown_compression_method.png",
     {"24bpp", "the manifest calls it RGBA with alpha, but its alpha is 255 at every pixel (only its iCCP chunk is "
               "damaged, and that chunk is ancillary), so by the manifest's own rule it loads as 24-bit"}},
    {"gif/pillow/issue_2811.gif",
     {"refuse-bad", "its LZW minimum code size is 11, which GIF does not allow (at most 8) and giflib refuses"}},
    {"tiff/pillow/g4_orientation_2.tif", {"pixels", "Pillow mirrors it by its Orientation tag; the library keeps pixels as stored"}},
};

class CorpusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rows_ = pmtest::ReadTsv(dir_ + "/MANIFEST.tsv");
    if (rows_.empty()) GTEST_SKIP() << "no corpus at " << dir_ << " (set PIXMILL_CORPUS)";
  }
  const std::string dir_ = pmtest::CorpusDir();
  std::vector<Row> rows_;
};

TEST_F(CorpusTest, EveryFileLoadsOrIsRefusedAsTheManifestSays) {
  std::vector<std::string> files, rle;  // the BMP RLE files, which ImageMagick reads right
  for (const Row& r : rows_) {
    files.push_back(dir_ + "/" + r.at("path"));
    rle.push_back(IsBmpRle(r) ? files.back() : "");
  }
  const bool pillow = pmtest::PillowAvailable();
  const auto refs = pillow ? pmtest::Decode(files) : std::map<size_t, pmtest::Reference>{};
  const auto magick = pillow ? pmtest::Decode(rle, true) : std::map<size_t, pmtest::Reference>{};
  size_t loaded = 0, compared = 0;
  for (size_t i = 0; i < rows_.size(); ++i) {
    const Row& row = rows_[i];
    myGlobal::SetError("sentinel");
    Record img(sttc_LoadImage(files[i].c_str()));
    const std::string text = myGlobal::GetError();
    const std::string outcome = pmtest::Outcome(img.get(), text);
    SCOPED_TRACE(row.at("path") + " -> " + outcome + " (" + text + ")");
    // expect, or one of expect_alt's; a palette file whose palette happens
    // to be the grey ramp is still a palette file, which the record cannot
    // tell apart.
    const std::string accepted = "|" + row.at("expect") + "|" + row.at("expect_alt") + "|";
    const auto deviation = kDeviations.find(row.at("path"));
    if (deviation != kDeviations.end()) std::printf("corpus: %s: %s\n", row.at("path").c_str(), deviation->second.second.c_str());
    EXPECT_TRUE(accepted.find("|" + outcome + "|") != std::string::npos ||
                (deviation != kDeviations.end() && outcome == deviation->second.first) ||
                (outcome == "8bpp-grey" && accepted.find("|8bpp-palette|") != std::string::npos))
        << "expected " << row.at("expect");
    if (img == nullptr) {
      EXPECT_TRUE(text != "No Error" && text != "sentinel") << "a failed load must say why";
      continue;
    }
    EXPECT_EQ(text, "No Error");
    ++loaded;
    const std::vector<uint8_t> plane = pmtest::PlaneBytes(*img);
    EXPECT_TRUE(std::equal(plane.begin(), plane.end(), img->p_buf)) << "bits past a 1-bit row's width are set";
    // Both sides use the same libjpeg-turbo and libtiff for lossy data, so
    // every decode must match exactly. Pillow places a GIF's first frame
    // differently (it crops to the frame on some files) and reads old-style
    // JPEG in TIFF its own way; compare where both report the same size.
    const auto ref = (IsBmpRle(row) ? magick : refs).find(i);
    if (ref == (IsBmpRle(row) ? magick : refs).end() || ref->second.width != img->width || ref->second.height != img->height) continue;
    if (PillowMisreadsTiff(row) || (deviation != kDeviations.end() && deviation->second.first == "pixels")) continue;
    ++compared;
    EXPECT_TRUE(pmtest::RecordRgb(*img) == ref->second.rgb) << "pixels differ from " << (IsBmpRle(row) ? "ImageMagick" : "Pillow");
  }
  std::printf("corpus: %zu files, %zu loaded, %zu compared with Pillow or (BMP RLE) ImageMagick\n", rows_.size(), loaded, compared);
  if (!pillow) std::printf("corpus: Pillow not found, pixel comparison skipped\n");
}

// Every corpus file that loads with a savable shape saves in all five
// containers and loads back as the shared save check says; pngcheck, Pillow
// and ImageMagick read every PNG.
TEST_F(CorpusTest, EveryLoadableFileSavesInAllFiveContainersAndLoadsBack) {
  pmtest::TempDir out;
  size_t saved = 0, with_metadata = 0;
  std::vector<pmtest::Saved> pngs;
  for (const Row& row : rows_) {
    Record img(sttc_LoadImage((dir_ + "/" + row.at("path")).c_str()));
    if (!img) continue;
    SCOPED_TRACE(row.at("path"));
    if (img->bit == 16) continue;  // no container takes it (the save test checks the refusal)
    for (int code = 0; code <= 4; ++code) {
      const std::string path = out.File(std::to_string(saved) + "." + std::to_string(code));
      pmtest::ExpectSavesAs(*img, code, path);
      if (code == PIXMILL_FORMAT_PNG) pngs.push_back({path, code, pmtest::RecordRgb(*img), 0, img->orientation, img->icc_profile});
    }
    with_metadata += img->orientation != 1 || !img->icc_profile.empty();
    ++saved;
  }
  std::printf("corpus: %zu files saved five ways and loaded back (%zu with an orientation or a profile)\n", saved,
              with_metadata);
  EXPECT_GT(saved, 0u);
  const std::string missing = pmtest::CheckOutside(pngs);
  if (!missing.empty()) GTEST_SKIP() << "not installed, PNGs not checked by:" << missing;
}

}  // namespace
