// Hostile input: damaged copies of every fixture and corpus file. Each must
// fail with a text naming it, or load and save cleanly. (Files that declare
// huge images or make a decoder loop are fixtures: fixture_test.cpp.)
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>

#include "loader.h"
#include "my_global.h"
#include "saver.h"
#include "test_support.h"

namespace {

using pmtest::Bytes;

// Loads bytes; on failure checks that the text says why, naming the file.
// Returns whether a record came back.
bool LoadsCleanly(const Bytes& bytes, const std::string& name) {
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
  for (const auto& row : pmtest::ReadTsv(PIXMILL_SOURCE_DIR "/tests/data/MANIFEST.tsv")) {
    paths.push_back(PIXMILL_SOURCE_DIR "/tests/data/" + row.at("file"));
  }
  const size_t fixtures = paths.size();
  for (const auto& row : pmtest::ReadTsv(pmtest::CorpusDir() + "/MANIFEST.tsv")) paths.push_back(pmtest::CorpusDir() + "/" + row.at("path"));
  std::mt19937 rng(20261207);
  size_t files = 0, variants = 0, loaded = 0;
  for (const std::string& rel : paths) {
    const Bytes original = std::filesystem::is_regular_file(rel) ? pmtest::ReadBytes(rel) : Bytes{};
    if (original.size() < 8) continue;
    ++files;
    // Cut at 16 points spread over the file, the header's end included.
    for (int k = 1; k <= 16; ++k) {
      const size_t cut = original.size() * k / 17;
      loaded += LoadsCleanly(Bytes(original.begin(), original.begin() + static_cast<ptrdiff_t>(cut)), rel + "@" + std::to_string(cut));
      ++variants;
    }
    // Four copies with 1 to 16 random bytes changed.
    for (int k = 0; k < 4; ++k) {
      Bytes damaged = original;
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
