// Every file in tests/data/bad is refused cleanly with a text naming it.
#include <gtest/gtest.h>

#include <memory>

#include "loader.h"
#include "my_global.h"
#include "test_support.h"

namespace {

class BadFileTest : public ::testing::TestWithParam<std::string> {};

TEST_P(BadFileTest, IsRefusedWithAText) {
  const std::string path = std::string(PIXMILL_SOURCE_DIR) + "/tests/data/bad/" + GetParam();
  myGlobal::SetError("No Error");
  std::unique_ptr<pmMetaImg> img(sttc_LoadImage(path.c_str()));
  EXPECT_EQ(img, nullptr);
  const std::string text = myGlobal::GetError();
  EXPECT_NE(text, "No Error");
  EXPECT_NE(text.find(path), std::string::npos) << text;
}

std::vector<std::string> BadFiles() {
  std::vector<std::string> names = pmtest::ListDir(std::string(PIXMILL_SOURCE_DIR) + "/tests/data/bad");
  std::sort(names.begin(), names.end());
  return names;
}

INSTANTIATE_TEST_SUITE_P(Data, BadFileTest, ::testing::ValuesIn(BadFiles()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string n = info.param;
                           for (char& c : n) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return n;
                         });

}  // namespace
