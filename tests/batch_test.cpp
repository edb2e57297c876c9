// The batch example: a folder of images converted by worker processes
// through the ctypes binding, with a broken file among them.
#include <gtest/gtest.h>

#include <memory>

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

}  // namespace
