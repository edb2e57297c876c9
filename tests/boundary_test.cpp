// The exported boundary, through the built shared library as a caller
// sees it: exactly five exports, the initial state, clamping, ownership.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <string>

#include "pixmill.h"
#include "test_support.h"

namespace {

struct Library {
  Library() {
    // RTLD_LOCAL and a fresh load: the library's state starts as on a first
    // load in a new process.
    handle = dlopen(PIXMILL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return;
    create = reinterpret_cast<decltype(create)>(dlsym(handle, "Pixmill_Create"));
    save = reinterpret_cast<decltype(save)>(dlsym(handle, "Pixmill_Save"));
    destroy = reinterpret_cast<decltype(destroy)>(dlsym(handle, "Pixmill_Delete"));
    set_quality = reinterpret_cast<decltype(set_quality)>(dlsym(handle, "Pixmill_SetQuality"));
    last_error = reinterpret_cast<decltype(last_error)>(dlsym(handle, "Pixmill_LastErrorMessage"));
  }
  ~Library() {
    if (handle != nullptr) dlclose(handle);
  }
  std::string Text() const {
    char* t = last_error();
    std::string s = t != nullptr ? t : "(null)";
    std::free(t);  // the caller owns each copy
    return s;
  }
  void* handle = nullptr;
  pmMetaImg* (*create)(const char*) = nullptr;
  int32_t (*save)(const char*, const pmMetaImg*, int32_t) = nullptr;
  void (*destroy)(pmMetaImg*) = nullptr;
  int32_t (*set_quality)(int32_t) = nullptr;
  char* (*last_error)() = nullptr;
};

TEST(BoundaryTest, ExportsExactlyTheFiveFunctions) {
  const std::string cmd = std::string("nm -D --defined-only '") + PIXMILL_LIBRARY_PATH + "' > nm.out";
  pmtest::TempDir dir;
  ASSERT_EQ(pmtest::Run("cd '" + dir.path() + "' && " + cmd), 0);
  const std::vector<uint8_t> listing = pmtest::ReadBytes(dir.File("nm.out"));
  std::istringstream in(std::string(listing.begin(), listing.end()));
  std::set<std::string> names;
  std::string addr, type, name;
  while (in >> addr >> type >> name) names.insert(name);
  const std::set<std::string> expected = {"Pixmill_Create", "Pixmill_Save", "Pixmill_Delete", "Pixmill_SetQuality",
                                          "Pixmill_LastErrorMessage"};
  EXPECT_EQ(names, expected);
}

TEST(BoundaryTest, FreshStateQualityClampingAndErrorTextOwnership) {
  Library lib;
  ASSERT_NE(lib.handle, nullptr) << dlerror();
  EXPECT_EQ(lib.Text(), "No Error");
  EXPECT_EQ(lib.set_quality(-5), 75);
  EXPECT_EQ(lib.set_quality(250), 0);
  EXPECT_EQ(lib.set_quality(100), 100);
  EXPECT_EQ(lib.set_quality(42), 100);
  EXPECT_EQ(lib.set_quality(75), 42);

  char* a = lib.last_error();
  char* b = lib.last_error();
  ASSERT_TRUE(a != nullptr && b != nullptr);
  EXPECT_NE(a, b);  // a new block on every call
  EXPECT_STREQ(a, b);
  std::free(a);
  std::free(b);

  lib.destroy(nullptr);  // ignored
  EXPECT_EQ(lib.Text(), "No Error");  // neither Delete nor SetQuality touch the text
}

TEST(BoundaryTest, FailedLoadThenSuccessfulSaveReportsNoErrorAgain) {
  Library lib;
  ASSERT_NE(lib.handle, nullptr) << dlerror();
  pmtest::TempDir dir;
  EXPECT_EQ(lib.create(dir.File("missing.png").c_str()), nullptr);
  EXPECT_EQ(lib.Text(), "Cannot open '" + dir.File("missing.png") + "': No such file or directory");
  EXPECT_EQ(lib.create(nullptr), nullptr);
  EXPECT_NE(lib.Text(), "No Error");

  pmMetaImg* img = lib.create(PIXMILL_SOURCE_DIR "/samples/sample.png");
  ASSERT_NE(img, nullptr) << lib.Text();
  EXPECT_EQ(lib.Text(), "No Error");
  EXPECT_EQ(lib.create(dir.File("missing.png").c_str()), nullptr);
  EXPECT_EQ(lib.save(dir.File("a.bmp").c_str(), img, PIXMILL_FORMAT_BMP), 0);
  EXPECT_EQ(lib.Text(), "No Error");

  // Unknown codes fail and leave the text and the directory alone.
  EXPECT_EQ(lib.create(dir.File("missing.png").c_str()), nullptr);
  const std::string before = lib.Text();
  EXPECT_EQ(lib.save(dir.File("b.png").c_str(), img, 5), -1);
  EXPECT_EQ(lib.save(dir.File("b.png").c_str(), img, -1), -1);
  EXPECT_EQ(lib.Text(), before);
  EXPECT_FALSE(pmtest::Exists(dir.File("b.png")));

  // Null arguments fail with a text and touch no file.
  EXPECT_EQ(lib.save(dir.File("c.png").c_str(), nullptr, PIXMILL_FORMAT_PNG), -1);
  EXPECT_NE(lib.Text().find("no image record"), std::string::npos);
  EXPECT_EQ(lib.save(nullptr, img, PIXMILL_FORMAT_PNG), -1);
  EXPECT_NE(lib.Text().find("no file name"), std::string::npos);
  EXPECT_FALSE(pmtest::Exists(dir.File("c.png")));
  lib.destroy(img);
}

}  // namespace
