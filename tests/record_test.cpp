// The image record: what Resize allocates and lays out, its default
// palettes, and the sizes it refuses.
#include <gtest/gtest.h>
#include <malloc.h>

#include <climits>
#include <cstring>
#include <memory>

#include "meta_img.h"
#include "platform/imaging.h"

namespace {

std::unique_ptr<pmMetaImg> Empty() { return std::unique_ptr<pmMetaImg>(sttc_CreateMetaImg()); }

TEST(RecordTest, ResizeAllocatesBackToBackPlanesAndARampPaletteForOnePlane) {
  auto img = Empty();
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
  auto img = Empty();
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
