// The project's own fixtures, one tests/data/MANIFEST.tsv row each, every
// row in a child process whose resident memory may grow by 100 MiB at most
// (a header that declares a huge image must fail before memory is touched);
// and hostile copies of them and of the corpus.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <memory>
#include <sstream>

#include "loader.h"
#include "my_global.h"
#include "saver.h"
#include "test_support.h"

namespace {

// A manifest row, shown in test output by its file.
struct Row : std::map<std::string, std::string> {
  friend void PrintTo(const Row& row, std::ostream* os) { *os << row.at("file"); }
};
const std::string kData = PIXMILL_SOURCE_DIR "/tests/data/";

long StatusKib(const char* field) {
  std::ifstream status("/proc/self/status");
  const std::string key = std::string(field) + ":";
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(key, 0) == 0) return std::strtol(line.c_str() + key.size(), nullptr, 10);
  }
  return -1;
}

std::vector<uint8_t> Pixels(const std::string& same_as, const std::string& path) {
  if (same_as == "pillow") {
    const auto refs = pmtest::Decode({path});
    return refs.empty() ? std::vector<uint8_t>{} : refs.begin()->second.rgb;
  }
  Record other(sttc_LoadImage((kData + same_as).c_str()));
  return other ? pmtest::RecordRgb(*other) : std::vector<uint8_t>{};
}

// What is wrong with the row's load; empty when nothing is.
std::string Check(const Row& row) {
  const std::string path = kData + row.at("file");
  std::ofstream("/proc/self/clear_refs") << "5";  // resets VmHWM to the current resident size
  const long before = StatusKib("VmRSS");
  Record img(sttc_LoadImage(path.c_str()));
  const long growth = StatusKib("VmHWM") - before;
  const std::string text = myGlobal::GetError();
  if (!pmtest::kSanitized && growth > 100 * 1024) return "resident memory grew by " + std::to_string(growth) + " KiB";
  // The text, or one of its " || " alternatives (those of a 32-bit build).
  std::string want = " || " + row.at("text") + " || ";
  for (size_t at; (at = want.find("{}")) != std::string::npos;) want.replace(at, 2, path);
  if (!row.at("text").empty()) {
    return img ? "loaded" : want.find(" || " + text + " || ") != std::string::npos ? "" : "text '" + text + "'";
  }
  if (!img) return "refused: " + text;
  std::istringstream record(row.at("record"));  // the shape, then the palette's first alphas
  std::string shape;
  record >> shape;
  if (pmtest::Outcome(img.get(), text) != shape) return "loaded as " + pmtest::Outcome(img.get(), text);
  int i = 0;
  for (int alpha; record >> alpha; ++i) {
    if (img->p_palette[i].alpha != alpha) return "alpha of entry " + std::to_string(i);
  }
  if (img->orientation != std::stoi(row.at("orientation"))) return "orientation " + std::to_string(img->orientation);
  const std::vector<uint8_t> icc = row.at("profile").empty() ? std::vector<uint8_t>{} : pmtest::ReadBytes(kData + row.at("profile"));
  if (img->icc_profile != icc) return "profile of " + std::to_string(img->icc_profile.size()) + " bytes";
  if (!row.at("same_as").empty() && pmtest::RecordRgb(*img) != Pixels(row.at("same_as"), path)) return "pixels differ";
  return "";
}

class FixtureTest : public ::testing::TestWithParam<Row> {};

TEST_P(FixtureTest, LoadsAsItsManifestRowSays) {
  const Row& row = GetParam();
  EXPECT_EQ(pmtest::InChild([&] {
              const std::string why = Check(row);
              if (!why.empty()) std::fprintf(stderr, "%s: %s\n", row.at("file").c_str(), why.c_str());
              return why.empty() ? 0 : 1;
            }),
            0)
      << row.at("file");
}

std::vector<Row> Rows() {
  std::vector<Row> rows;
  for (auto& cells : pmtest::ReadTsv(kData + "MANIFEST.tsv")) rows.push_back(Row{std::move(cells)});
  return rows;
}

INSTANTIATE_TEST_SUITE_P(Data, FixtureTest, ::testing::ValuesIn(Rows()),
                         [](const ::testing::TestParamInfo<Row>& info) {
                           std::string name = info.param.at("file");
                           for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return name;
                         });

TEST(FixtureTest, OtherPixelFormatsAreRefusedWithTheirDecimalCode) {
  int32_t channel = 0, width = 0, height = 0, bit = 0;  // (32-bit ARGB: bad/rgba-translucent.png)
  EXPECT_EQ(sttc_GetParams(pm::Bitmap::Header(7, 9, pm::kFormat4bppIndexed), &channel, &width, &height, &bit), -1);
  EXPECT_EQ(myGlobal::GetError(), "PixelFormat(197634) is Not Supported!");
  EXPECT_EQ(width * 100 + height, 709);
  ASSERT_EQ(sttc_GetParams(pm::Bitmap::Header(1, 1, pm::kFormat48bppRgb), &channel, &width, &height, &bit), 0);
  EXPECT_EQ(channel * 100 + bit, 316);
}

// Loads bytes; on failure checks that the text says why, naming the file.
// Returns whether a record came back.
bool LoadsCleanly(const pmtest::Bytes& bytes, const std::string& name) {
  myGlobal::SetError("sentinel");
  Record img(LoadImageFromMemory(bytes.data(), bytes.size(), name.c_str()));
  const std::string text = myGlobal::GetError();
  if (!img) {
    // The pixel-format refusal has a fixed text without the file's name.
    EXPECT_TRUE(pmtest::Outcome(nullptr, text) == "refuse-format" || (text != "No Error" && text != "sentinel" && text.find(name) != std::string::npos))
        << name << ": " << text;
    return false;
  }
  EXPECT_EQ(text, "No Error") << name;
  // Small records also go through every encoder.
  const int32_t bpp = img->channel * img->bit;
  if ((bpp == 1 || bpp == 8 || bpp == 24) && pm::SizeOfRecord(img->width, img->height, img->bit, img->channel).block <= 65536) {
    for (int code = 0; code <= 4; ++code) {
      pm::MemoryStream out;
      EncodeImage(img.get(), code, out);
    }
  }
  return true;
}

// The fixtures and the corpus, cut short and with bytes changed: every copy
// is refused with a text or loads (and then saves) cleanly.
TEST(HostileTest, TruncatedAndBitFlippedFilesFailCleanly) {
  std::vector<std::string> paths;
  for (const Row& row : Rows()) paths.push_back(kData + row.at("file"));
  const size_t fixtures = paths.size();
  for (const auto& row : pmtest::ReadTsv(pmtest::CorpusDir() + "/MANIFEST.tsv")) paths.push_back(pmtest::CorpusDir() + "/" + row.at("path"));
  std::mt19937 rng(20261207);
  size_t files = 0, variants = 0, loaded = 0;
  for (const std::string& rel : paths) {
    const pmtest::Bytes original = std::filesystem::is_regular_file(rel) ? pmtest::ReadBytes(rel) : pmtest::Bytes{};
    if (original.size() < 8) continue;
    ++files;
    // Cut at 16 points spread over the file, the header's end included.
    for (int k = 1; k <= 16; ++k) {
      const size_t cut = original.size() * k / 17;
      loaded += LoadsCleanly(pmtest::Bytes(original.begin(), original.begin() + static_cast<ptrdiff_t>(cut)), rel + "@" + std::to_string(cut));
      ++variants;
    }
    // Four copies with 1 to 16 random bytes changed.
    for (int k = 0; k < 4; ++k) {
      pmtest::Bytes damaged = original;
      const int flips = 1 + static_cast<int>(rng() % 16);
      for (int f = 0; f < flips; ++f) damaged[rng() % damaged.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
      loaded += LoadsCleanly(damaged, rel + "#" + std::to_string(k));
      ++variants;
    }
  }
  std::printf("hostile: %zu files (%zu fixtures), %zu damaged copies, %zu still loaded\n", files, fixtures, variants, loaded);
  if (paths.size() == fixtures) GTEST_SKIP() << "no corpus at " << pmtest::CorpusDir() << " (set PIXMILL_CORPUS): fixtures only";
}

}  // namespace
