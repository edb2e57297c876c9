// The batch example: a folder of images converted by worker processes
// through the ctypes binding, with a broken file among them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>

#include "loader.h"
#include "test_support.h"

namespace {

TEST(BatchExampleTest, ConvertsAFolderAndListsTheFailures) {
  if (pmtest::kSanitized) GTEST_SKIP() << "Python cannot load a sanitizer build of the library";
  if (sizeof(void*) != 8) GTEST_SKIP() << "the system's Python cannot load a 32-bit library";
  pmtest::TempDir dir;
  const std::string in = dir.File("in");
  const std::vector<uint8_t> sample = pmtest::ReadBytes(PIXMILL_SOURCE_DIR "/samples/sample.png");
  ASSERT_EQ(pmtest::Run("mkdir -p '" + in + "/sub'"), 0);
  pmtest::WriteBytes(in + "/sample.png", sample);
  pmtest::WriteBytes(in + "/sub/again.png", sample);
  pmtest::WriteBytes(in + "/broken.png", std::vector<uint8_t>(sample.begin(), sample.begin() + 100));
  pmtest::WriteBytes(in + "/notes.txt", {'n', 'o'});  // not an image: passed over
  std::unique_ptr<pmMetaImg> want(sttc_LoadImage((in + "/sample.png").c_str()));
  ASSERT_NE(want, nullptr);

  for (const char* workers : {"1", "2"}) {
    SCOPED_TRACE(workers);
    const std::string out = dir.File(std::string("out") + workers), log = dir.File("log");
    const int status = pmtest::Run(std::string(PIXMILL_PYTHON) + " " PIXMILL_SOURCE_DIR "/examples/batch_convert.py" +
                                   " --library " PIXMILL_LIBRARY_PATH " --format bmp --workers " + workers + " '" +
                                   in + "' '" + out + "' >'" + log + "' 2>&1");
    const std::vector<uint8_t> printed = pmtest::ReadBytes(log);
    const std::string text(printed.begin(), printed.end());
    EXPECT_EQ(status, 1) << text;
    EXPECT_NE(text.find("2 files converted, 1 failed"), std::string::npos) << text;
    EXPECT_NE(text.find("FAILED " + in + "/broken.png: '" + in + "/broken.png': "), std::string::npos) << text;
    EXPECT_EQ(pmtest::ListDir(out).size(), 2u);  // sample.bmp and sub/
    for (const char* name : {"/sample.bmp", "/sub/again.bmp"}) {
      std::unique_ptr<pmMetaImg> got(sttc_LoadImage((out + name).c_str()));
      ASSERT_NE(got, nullptr) << name;
      EXPECT_EQ(pmtest::RecordRgb(*got), pmtest::RecordRgb(*want)) << name;
    }
  }
}

// The Dask example on a local cluster of two workers over the corpus, with
// the outputs written by the workers or sent back to the client: the same
// files, byte for byte, and the same failures as the batch converter run in
// one process.
TEST(BatchExampleTest, DaskOverTheCorpusGivesTheSingleProcessFilesAndFailures) {
  if (pmtest::kSanitized) GTEST_SKIP() << "Python cannot load a sanitizer build of the library";
  if (sizeof(void*) != 8) GTEST_SKIP() << "the system's Python cannot load a 32-bit library";
  std::error_code ec;
  const std::string corpus = std::filesystem::canonical(pmtest::CorpusDir(), ec);
  if (ec) GTEST_SKIP() << "no corpus at " << pmtest::CorpusDir();
  if (pmtest::Run(PIXMILL_PYTHON " -c 'import distributed' 2>/dev/null") != 0) {
    GTEST_SKIP() << "Dask's distributed package (python3-distributed) is not installed";
  }
  pmtest::TempDir dir;
  // The FAILED lines of a run, sorted; its outputs without empty folders.
  auto run = [&](const std::string& args, const std::string& out) {
    const int status = pmtest::Run(std::string(PIXMILL_PYTHON) + " " PIXMILL_SOURCE_DIR "/examples/" + args +
                                   " --library " PIXMILL_LIBRARY_PATH " --format png '" + corpus + "' '" + dir.File(out) +
                                   "' >'" + dir.File("log") + "' 2>&1; status=$?; find '" + dir.File(out) +
                                   "' -type d -empty -delete; exit $status");
    const std::vector<uint8_t> printed = pmtest::ReadBytes(dir.File("log"));
    std::istringstream log(std::string(printed.begin(), printed.end()));
    std::vector<std::string> failed;
    for (std::string line; std::getline(log, line);) {
      if (line.rfind("FAILED ", 0) == 0) failed.push_back(line);
    }
    std::sort(failed.begin(), failed.end());
    EXPECT_EQ(status, 1) << args;
    EXPECT_FALSE(failed.empty()) << args;
    return failed;
  };
  const std::vector<std::string> want = run("batch_convert.py --workers 1", "single");
  for (const char* extra : {"", " --return-bytes"}) {
    EXPECT_EQ(run(std::string("dask_convert.py --workers 2") + extra, "dask"), want) << extra;
    EXPECT_EQ(pmtest::Run("diff -r '" + dir.File("single") + "' '" + dir.File("dask") + "'"), 0) << extra;
    pmtest::Run("rm -rf '" + dir.File("dask") + "'");
  }
}

}  // namespace
