// The Python converters: batch_convert.py (worker processes through the
// ctypes binding) on a folder with a broken file, and dask_convert.py on a
// local cluster of two workers over the corpus, whose outputs (written by
// the workers or sent back to the client) and failures must be those of
// batch_convert.py in one process, byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "pixmill.h"
#include "test_support.h"

namespace {

// Runs an example script on a folder; its status, and its summary (without
// the time) and FAILED lines, sorted. Empty folders left for failed files are removed from `out`.
std::pair<int, std::string> Convert(const std::string& args, const std::string& in, const std::string& out) {
  pmtest::TempDir logs;
  const int status = pmtest::Run(std::string(PIXMILL_PYTHON) + " " PIXMILL_SOURCE_DIR "/examples/" + args +
                                 " --library " PIXMILL_LIBRARY_PATH " '" + in + "' '" + out + "' >'" + logs.File("log") +
                                 "' 2>&1; status=$?; find '" + out + "' -type d -empty -delete; exit $status");
  std::istringstream log(pmtest::ReadText(logs.File("log")));
  std::vector<std::string> failed;
  for (std::string line; std::getline(log, line);) {
    if (line.rfind("FAILED ", 0) == 0) failed.push_back(line);
    if (line.find(" files converted, ") != std::string::npos) failed.push_back(line.substr(0, line.find(", in ")));
  }
  std::sort(failed.begin(), failed.end());
  std::string text;
  for (const std::string& line : failed) text += line + "\n";
  return {status, text};
}

class BatchExampleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (pmtest::kSanitized) GTEST_SKIP() << "Python cannot load a sanitizer build of the library";
    if (sizeof(void*) != 8) GTEST_SKIP() << "the system's Python cannot load a 32-bit library";
  }
  pmtest::TempDir dir_;
};

TEST_F(BatchExampleTest, ConvertsAFolderAndListsTheFailures) {
  const std::string in = dir_.File("in");
  const pmtest::Bytes sample = pmtest::ReadBytes(PIXMILL_SOURCE_DIR "/samples/sample.png");
  ASSERT_EQ(pmtest::Run("mkdir -p '" + in + "/sub'"), 0);
  pmtest::WriteBytes(in + "/sample.png", sample);
  pmtest::WriteBytes(in + "/sub/again.png", sample);
  pmtest::WriteBytes(in + "/broken.png", pmtest::Bytes(sample.begin(), sample.begin() + 100));
  pmtest::WriteBytes(in + "/notes.txt", {'n', 'o'});  // not an image: passed over
  Record img(Pixmill_Create((in + "/sample.png").c_str()));
  ASSERT_EQ(Pixmill_Save(dir_.File("want.bmp").c_str(), img.get(), PIXMILL_FORMAT_BMP), 0);
  for (const std::string workers : {"1", "2"}) {
    const std::string out = dir_.File("out" + workers);
    EXPECT_EQ(Convert("batch_convert.py --format bmp --workers " + workers, in, out),
              std::make_pair(1, "2 files converted, 1 failed\nFAILED " + in + "/broken.png: '" + in +
                                    "/broken.png': PNG data is damaged (file ends before the image data)\n"))
        << workers;
    EXPECT_EQ(pmtest::Run("cd '" + out + "' && test \"$(find . -type f | sort)\" = \"$(printf './sample.bmp\\n./sub/again.bmp')\" && cmp sample.bmp '" +
                          dir_.File("want.bmp") + "' && cmp sub/again.bmp sample.bmp"),
              0);
  }
}

TEST_F(BatchExampleTest, DaskOverTheCorpusGivesTheSingleProcessFilesAndFailures) {
  std::error_code ec;
  const std::string corpus = std::filesystem::canonical(pmtest::CorpusDir(), ec);
  if (ec) GTEST_SKIP() << "no corpus at " << pmtest::CorpusDir();
  if (pmtest::Run(PIXMILL_PYTHON " -c 'import distributed' 2>/dev/null") != 0) {
    GTEST_SKIP() << "Dask's distributed package (python3-distributed) is not installed";
  }
  const auto want = Convert("batch_convert.py --format png --workers 1", corpus, dir_.File("single"));
  EXPECT_EQ(want.first, 1);
  for (const std::string extra : {"", " --return-bytes"}) {
    EXPECT_EQ(Convert("dask_convert.py --format png --workers 2" + extra, corpus, dir_.File("dask")), want) << extra;
    EXPECT_EQ(pmtest::Run("diff -r '" + dir_.File("single") + "' '" + dir_.File("dask") + "' && rm -rf '" + dir_.File("dask") + "'"), 0)
        << extra;
  }
}

}  // namespace
