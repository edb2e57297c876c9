// The exported boundary, through the built shared library as a caller
// sees it: exactly five exports, the initial state, clamping, ownership.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "pixmill.h"
#include "test_support.h"

namespace {

template <typename F>
F Symbol(void* handle, const char* name) {
  return reinterpret_cast<F>(dlsym(handle, name));
}

TEST(BoundaryTest, ExportsExactlyTheFiveFunctions) {
  pmtest::TempDir dir;
  ASSERT_EQ(pmtest::Run(std::string("nm -D --defined-only '") + PIXMILL_LIBRARY_PATH + "' > '" + dir.File("nm") + "'"), 0);
  const std::vector<uint8_t> listing = pmtest::ReadBytes(dir.File("nm"));
  std::istringstream in(std::string(listing.begin(), listing.end()));
  std::vector<std::string> names;
  for (std::string addr, type, name; in >> addr >> type >> name;) names.push_back(name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Pixmill_Create", "Pixmill_Delete", "Pixmill_LastErrorMessage",
                                             "Pixmill_Save", "Pixmill_SetQuality"}));
}

TEST(BoundaryTest, FreshStateClampingTextsAndOwnership) {
  // RTLD_LOCAL and a fresh load: the library's state starts as on a first
  // load in a new process.
  void* handle = dlopen(PIXMILL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  auto create = Symbol<pmMetaImg* (*)(const char*)>(handle, "Pixmill_Create");
  auto save = Symbol<int32_t (*)(const char*, const pmMetaImg*, int32_t)>(handle, "Pixmill_Save");
  auto destroy = Symbol<void (*)(pmMetaImg*)>(handle, "Pixmill_Delete");
  auto set_quality = Symbol<int32_t (*)(int32_t)>(handle, "Pixmill_SetQuality");
  auto last_error = Symbol<char* (*)()>(handle, "Pixmill_LastErrorMessage");
  auto text = [&] {
    char* t = last_error();
    std::string s = t != nullptr ? t : "(null)";
    std::free(t);  // the caller owns each copy
    return s;
  };
  EXPECT_EQ(text(), "No Error");
  for (const auto& [set, was] : {std::pair{-5, 75}, {250, 0}, {100, 100}, {42, 100}, {75, 42}}) {
    EXPECT_EQ(set_quality(set), was) << set;
  }
  char* a = last_error();
  char* b = last_error();
  ASSERT_TRUE(a != nullptr && b != nullptr);
  EXPECT_TRUE(a != b && std::string(a) == b);  // a new block on every call
  std::free(a);
  std::free(b);
  destroy(nullptr);                // ignored
  EXPECT_EQ(text(), "No Error");  // neither Delete nor SetQuality touch the text

  pmtest::TempDir dir;
  const std::string missing = dir.File("missing.png");
  EXPECT_EQ(create(missing.c_str()), nullptr);
  EXPECT_EQ(text(), "Cannot open '" + missing + "': No such file or directory");
  EXPECT_EQ(create(nullptr), nullptr);
  EXPECT_NE(text(), "No Error");
  pmMetaImg* img = create(PIXMILL_SOURCE_DIR "/samples/sample.png");
  ASSERT_NE(img, nullptr) << text();
  EXPECT_EQ(text(), "No Error");
  EXPECT_EQ(create(missing.c_str()), nullptr);
  EXPECT_EQ(save(dir.File("a.bmp").c_str(), img, PIXMILL_FORMAT_BMP), 0);
  EXPECT_EQ(text(), "No Error");  // a success after a failure

  // Unknown codes fail and leave the text and the directory alone; null
  // arguments fail with a text and touch no file.
  EXPECT_EQ(create(missing.c_str()), nullptr);
  const std::string before = text();
  EXPECT_EQ(save(dir.File("b.png").c_str(), img, 5), -1);
  EXPECT_EQ(save(dir.File("b.png").c_str(), img, -1), -1);
  EXPECT_EQ(text(), before);
  EXPECT_EQ(save(dir.File("b.png").c_str(), nullptr, PIXMILL_FORMAT_PNG), -1);
  EXPECT_EQ(text(), "Cannot save: no image record was given");
  EXPECT_EQ(save(nullptr, img, PIXMILL_FORMAT_PNG), -1);
  EXPECT_EQ(text(), "Cannot save: no file name was given");
  EXPECT_EQ(pmtest::ListDir(dir.path()), std::vector<std::string>{"a.bmp"});
  destroy(img);
  dlclose(handle);
}

}  // namespace
