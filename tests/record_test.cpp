// The image record: geometry, default palettes and the size limits.
#include <gtest/gtest.h>

#include <climits>
#include <memory>

#include "meta_img.h"

namespace {

std::unique_ptr<pmMetaImg> Empty() { return std::unique_ptr<pmMetaImg>(sttc_CreateMetaImg()); }

TEST(RecordTest, NewRecordIsEmpty) {
  auto img = Empty();
  ASSERT_NE(img, nullptr);
  EXPECT_EQ(img->p_buf, nullptr);
  EXPECT_EQ(img->pp_plane, nullptr);
  EXPECT_EQ(img->p_palette, nullptr);
  EXPECT_EQ(img->width | img->height | img->bit | img->channel | img->palette_num, 0);
}

TEST(RecordTest, ThreePlanesAreLaidOutBackToBackWithoutPalette) {
  auto img = Empty();
  ASSERT_EQ(img->Resize(3, 2, 8, 3), 0);
  EXPECT_EQ(RecordBlockSize(3, 2, 8, 3), 20);  // 18 rounded up to 20
  EXPECT_EQ(img->pp_plane[0], img->p_buf);
  EXPECT_EQ(img->pp_plane[1], img->p_buf + 6);
  EXPECT_EQ(img->pp_plane[2], img->p_buf + 12);
  EXPECT_EQ(img->p_palette, nullptr);
  EXPECT_EQ(img->palette_num, 0);
}

TEST(RecordTest, OnePlaneGetsARampPalette) {
  auto img = Empty();
  ASSERT_EQ(img->Resize(10, 10, 1, 1), 0);
  EXPECT_EQ(RecordBlockSize(10, 10, 1, 1), 100);  // one byte a sample even at 1 bit
  ASSERT_EQ(img->palette_num, 2);
  EXPECT_EQ(img->p_palette[0].red, 0);
  EXPECT_EQ(img->p_palette[1].blue, 255);
  EXPECT_EQ(img->p_palette[1].alpha, 255);

  ASSERT_EQ(img->Resize(7, 3, 8, 1), 0);
  ASSERT_EQ(img->palette_num, 256);
  for (int i = 0; i < 256; ++i) {
    const PM_METAIMG_PALETTE& p = img->p_palette[i];
    ASSERT_TRUE(p.red == i && p.green == i && p.blue == i && p.alpha == 255) << i;
  }
  // Resizing to three planes drops the palette.
  ASSERT_EQ(img->Resize(7, 3, 8, 3), 0);
  EXPECT_EQ(img->p_palette, nullptr);
  EXPECT_EQ(img->palette_num, 0);
}

TEST(RecordTest, ZeroSizeGivesPlanesAtTheBlockStart) {
  auto img = Empty();
  ASSERT_EQ(img->Resize(0, 5, 8, 3), 0);
  EXPECT_EQ(RecordBlockSize(0, 5, 8, 3), 0);
  EXPECT_NE(img->p_buf, nullptr);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(img->pp_plane[i], img->p_buf);
}

TEST(RecordTest, SizesThatWouldWrapAreRefusedBeforeAllocating) {
  // 46340^2 bytes is the largest square 8-bit plane under INT32_MAX.
  EXPECT_EQ(RecordBlockSize(46340, 46340, 8, 1), 2147395600);
  EXPECT_EQ(RecordBlockSize(46341, 46341, 8, 1), -1);
  EXPECT_EQ(RecordBlockSize(65536, 65536, 8, 1), -1);  // wraps to 0 in 32 bits
  EXPECT_EQ(RecordBlockSize(65536, 65536, 1, 1), -1);
  EXPECT_EQ(RecordBlockSize(INT_MAX, 1, 8, 1), -1);  // rounding up to 4 passes INT32_MAX
  EXPECT_EQ(RecordBlockSize(INT_MAX - 3, 1, 8, 1), INT_MAX - 3);
  EXPECT_EQ(RecordBlockSize(INT_MAX, INT_MAX, 8, 3), -1);
  EXPECT_EQ(RecordBlockSize(30000, 30000, 8, 3), -1);  // 2.7e9: fits 32 bits unsigned only
  EXPECT_EQ(RecordBlockSize(20000, 20000, 16, 3), -1);
  EXPECT_EQ(RecordBlockSize(-1, 10, 8, 1), -1);
  EXPECT_EQ(RecordBlockSize(10, -1, 8, 1), -1);

  auto img = Empty();
  ASSERT_EQ(img->Resize(4, 4, 8, 3), 0);
  EXPECT_EQ(img->Resize(65536, 65536, 8, 3), -1);
  EXPECT_EQ(img->p_buf, nullptr);  // safe to destroy, holds nothing
  EXPECT_EQ(img->pp_plane, nullptr);
  EXPECT_EQ(img->Resize(INT_MAX, INT_MAX, 8, 1), -1);
  EXPECT_EQ(img->Resize(8, 8, 16, 1), -1);  // a 16-bit palette is never made
  EXPECT_EQ(img->p_palette, nullptr);
}

}  // namespace
