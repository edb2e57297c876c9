// The exported boundary, through the built shared library as a caller
// sees it: exactly five exports, the initial state, clamping, ownership;
// and the image record: what Resize allocates and lays out, its default
// palettes, and the sizes it refuses.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "pixmill.h"
#include "platform/imaging.h"
#include "test_support.h"

namespace {

template <typename F>
F Symbol(void* handle, const char* name) {
  return reinterpret_cast<F>(dlsym(handle, name));
}

TEST(BoundaryTest, ExportsExactlyTheFiveFunctions) {
  EXPECT_EQ(pmtest::Run("test \"$(nm -D --defined-only '" PIXMILL_LIBRARY_PATH "' | awk '{print $3}' | sort | xargs)\" = "
                        "'Pixmill_Create Pixmill_Delete Pixmill_LastErrorMessage Pixmill_Save Pixmill_SetQuality'"), 0);
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

TEST(RecordTest, ResizeAllocatesBackToBackPlanesAndARampPaletteForOnePlane) {
  Record img(sttc_CreateMetaImg());
  ASSERT_NE(img, nullptr);
  EXPECT_TRUE(img->p_buf == nullptr && img->pp_plane == nullptr && img->p_palette == nullptr);
  EXPECT_EQ(img->width | img->height | img->bit | img->channel | img->palette_num, 0);
  struct Shape {
    int32_t w, h, bit, channel;
    size_t plane;  // bytes: one a sample even at 1 bit, two at 16
    int32_t palette;
  };
  // Resizing one record through every shape also drops and remakes its palette.
  for (const Shape& s : {Shape{10, 10, 1, 1, 100, 2}, Shape{3, 2, 8, 3, 6, 0}, Shape{7, 3, 8, 1, 21, 256},
                         Shape{5, 3, 16, 3, 30, 0}, Shape{0, 5, 8, 3, 0, 0}}) {
    SCOPED_TRACE(std::to_string(s.w) + "x" + std::to_string(s.h) + "x" + std::to_string(s.bit * s.channel));
    ASSERT_EQ(img->Resize(s.w, s.h, s.bit, s.channel), 0);
    ASSERT_NE(img->p_buf, nullptr);
    EXPECT_EQ(pm::SizeOfRecord(s.w, s.h, s.bit, s.channel).plane, s.plane);
    EXPECT_GE(malloc_usable_size(img->p_buf), s.plane * s.channel);
    for (int32_t i = 0; i < s.channel; ++i) EXPECT_EQ(img->pp_plane[i], img->p_buf + i * s.plane);
    // Every byte of every plane can be written (the sanitizer build checks).
    if (s.plane > 0) std::memset(img->pp_plane[s.channel - 1], 0x5A, s.plane);
    ASSERT_EQ(img->palette_num, s.palette);
    EXPECT_EQ(img->p_palette == nullptr, s.palette == 0);
    for (int32_t i = 0; i < s.palette; ++i) {
      const PM_METAIMG_PALETTE& p = img->p_palette[i];
      const int v = i * 255 / (s.palette - 1);
      ASSERT_TRUE(p.red == v && p.green == v && p.blue == v && p.alpha == 255) << i;
    }
  }
}

TEST(RecordTest, SizesThatWouldWrapAreRefusedBeforeAllocating) {
  // 46340^2 bytes is the largest square 8-bit plane under INT32_MAX; the
  // platform layer refuses a bitmap one pixel wider and higher by that rule.
  EXPECT_EQ(pm::SizeOfRecord(46340, 46340, 8, 1).block, 2147395600u);
  EXPECT_TRUE(pm::SizeOfRecord(INT_MAX - 3, 1, 8, 1).fits);
  EXPECT_FALSE(pm::SizeOfRecord(INT_MAX, 1, 8, 1).fits);  // rounding up to 4 passes INT32_MAX
  EXPECT_THROW(pm::CheckBitmapSize(46341, 46341, pm::kFormat8bppIndexed), pm::Error);
  EXPECT_THROW(pm::CheckedMul(SIZE_MAX / 2 + 1, 2), pm::Error);
  Record img(sttc_CreateMetaImg());
  struct Shape {
    int32_t w, h, bit, channel;
  };
  for (const Shape& s : {Shape{46341, 46341, 8, 1}, Shape{65536, 65536, 8, 1} /* wraps to 0 in 32 bits */,
                         Shape{65536, 65536, 1, 1}, Shape{INT_MAX, 1, 8, 1} /* rounding up to 4 passes INT32_MAX */,
                         Shape{INT_MAX, INT_MAX, 8, 3}, Shape{30000, 30000, 8, 3} /* fits 32 bits unsigned only */,
                         Shape{20000, 20000, 16, 3}, Shape{-1, 10, 8, 1}, Shape{10, -1, 8, 1},
                         Shape{8, 8, 16, 1} /* a 16-bit palette is never made */}) {
    ASSERT_EQ(img->Resize(4, 4, 8, 1), 0);
    EXPECT_EQ(img->Resize(s.w, s.h, s.bit, s.channel), -1) << s.w << "x" << s.h << "x" << s.bit * s.channel;
    // Safe to destroy or resize again: it holds nothing.
    EXPECT_TRUE(img->p_buf == nullptr && img->pp_plane == nullptr && img->p_palette == nullptr);
    EXPECT_EQ(img->palette_num, 0);
  }
}

}  // namespace
