// Conformance over the third-party corpus: every file loads or is refused as
// its manifest row says, and every file that loads holds the pixels that an
// independent decoder (Pillow) gives for it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "loader.h"
#include "my_global.h"
#include "test_support.h"

namespace {

struct Row {
  std::string path, container, file_shape, expect;
  std::vector<std::string> accepted;
};

std::string CorpusDir() {
  const char* env = std::getenv("PIXMILL_CORPUS");
  return env != nullptr ? env : std::string(PIXMILL_SOURCE_DIR) + "/../shared/corpus";
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::string item;
  std::istringstream in(s);
  while (std::getline(in, item, sep)) out.push_back(item);
  if (!s.empty() && s.back() == sep) out.emplace_back();
  return out;
}

std::vector<Row> ReadManifest(const std::string& dir) {
  std::ifstream f(dir + "/MANIFEST.tsv");
  std::string line;
  std::vector<Row> rows;
  if (!std::getline(f, line)) return rows;
  const std::vector<std::string> head = Split(line, '\t');
  auto col = [&](const char* name) {
    for (size_t i = 0; i < head.size(); ++i) {
      if (head[i] == name) return i;
    }
    throw std::runtime_error(std::string("MANIFEST.tsv has no column ") + name);
  };
  const size_t c_path = col("path"), c_container = col("container"), c_shape = col("file_shape"), c_expect = col("expect"),
               c_alt = col("expect_alt");
  while (std::getline(f, line)) {
    const std::vector<std::string> cells = Split(line, '\t');
    if (cells.size() <= c_alt) continue;
    Row r{cells[c_path], cells[c_container], cells[c_shape], cells[c_expect], {cells[c_expect]}};
    for (const std::string& alt : Split(cells[c_alt], '|')) {
      if (!alt.empty()) r.accepted.push_back(alt);
    }
    rows.push_back(r);
  }
  return rows;
}

struct RecordDeleter {
  void operator()(pmMetaImg* p) const { delete p; }
};
using Record = std::unique_ptr<pmMetaImg, RecordDeleter>;

bool IsGreyPalette(const pmMetaImg& img) {
  for (int i = 0; i < img.palette_num; ++i) {
    const PM_METAIMG_PALETTE& p = img.p_palette[i];
    if (p.red != i || p.green != i || p.blue != i) return false;
  }
  return true;
}

std::string Outcome(const pmMetaImg* img, const std::string& text) {
  if (img == nullptr) {
    const bool format = text.rfind("PixelFormat(", 0) == 0 && text.find(") is Not Supported!") != std::string::npos;
    return format ? "refuse-format" : "refuse-bad";
  }
  if (img->channel == 1 && img->bit == 1) return "1bpp";
  if (img->channel == 1 && img->bit == 8) return IsGreyPalette(*img) ? "8bpp-grey" : "8bpp-palette";
  if (img->channel == 3 && img->bit == 8) return "24bpp";
  if (img->channel == 3 && img->bit == 16) return "48bpp";
  return "other";
}

// Layouts that Pillow 9.4 decodes wrongly, so it is no reference for them:
// its BMP RLE reader drops the last pixel of odd RLE4 literal runs, skips two
// bytes after every delta and aligns literal runs to the file offset; its
// 16-bit planar RGB TIFF reader interleaves the planes wrongly (its decode
// differs from its own decode of the contiguous copy of the same image).
// The RLE decoder has unit tests of its own.
bool PillowMisreads(const Row& row) {
  const std::string& s = row.file_shape;
  if (row.container == "BMP" && (s.find("RLE4") != std::string::npos || s.find("RLE8") != std::string::npos)) return true;
  return row.container == "TIFF" && s.find("bps=16") != std::string::npos && s.find("planar") != std::string::npos;
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

class CorpusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = CorpusDir();
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
  size_t loaded = 0, compared = 0;
  for (size_t i = 0; i < rows_.size(); ++i) {
    const Row& row = rows_[i];
    myGlobal::SetError("sentinel");
    Record img(sttc_LoadImage(files[i].c_str()));
    const std::string text = myGlobal::GetError();
    const std::string outcome = Outcome(img.get(), text);
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
  std::printf("corpus: %zu files, %zu loaded, %zu compared with Pillow\n", rows_.size(), loaded, compared);
  if (!pillow) std::printf("corpus: Pillow not found, pixel comparison skipped\n");
}

}  // namespace
