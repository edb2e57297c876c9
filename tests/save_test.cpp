// Saving: every shape into every container, read back through the loader
// and through outside decoders, the encoder table, and the failure paths.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>

#include "loader.h"
#include "my_global.h"
#include "pixmill.h"
#include "saver.h"
#include "test_support.h"

namespace {


TEST(SaveTest, EveryEncoderIsListedAndEncodesOnlyOnceTheRowsAreUnlocked) {
  for (const char* mime : {"image/jpeg", "image/png", "image/tiff", "image/gif", "image/bmp"}) {
    EXPECT_NE(sttc_GetEncoderInfo(mime), nullptr) << mime;
  }
  EXPECT_EQ(sttc_GetEncoderInfo("image/webp"), nullptr);
  pm::Bitmap bmp(2, 2, pm::kFormat24bppRgb);
  bmp.LockBits();
  pm::MemoryStream out;
  EXPECT_THROW(pm::Encode(bmp, pm::Container::kPng, 75, out), pm::Error);
  bmp.UnlockBits();
  pm::Encode(bmp, pm::Container::kPng, 75, out);
  EXPECT_GT(out.Size(), 0u);
}

const char* const kContainers[] = {"JPEG", "PNG", "TIFF", "GIF", "BMP"};

TEST(SaveTest, EveryShapeIntoEveryContainerReadsBackHereAndOutside) {
  // The small shapes go into every container, at quality 75 and 10; the
  // large images, which take the PNG writer's other compressor and filter
  // paths (chosen by shape and size, for grey from a sample) and the TIFF
  // predictor over many strips, into PNG and TIFF.
  // Every file loads back to its pixels (JPEG and the gradient's quantised
  // GIF within a PSNR floor, measured at 29.7 dB for the gradient at quality
  // 75), and JPEG, PNG and TIFF to its orientation (each of 2 to 8) and a
  // real profile; pngcheck, Pillow and ImageMagick check them all.
  using pmtest::Image;
  pmtest::TempDir dir;
  std::vector<Record> images;
  for (pmtest::Shape shape : {pmtest::kGradient, pmtest::kFewColours, pmtest::kPalette, pmtest::kGrey, pmtest::kBilevel,
                              pmtest::kColouredBilevel}) {
    images.push_back(Image(shape, 37 - 3 * shape, 23 - 2 * shape));
  }
  const size_t small = images.size();
  images.push_back(Image(pmtest::kNoise, 1200, 700));
  images.push_back(Image(pmtest::kFewColours, 1200, 700));  // large, few colours: a palette image
  images.push_back(Image(pmtest::kBilevel, 4100, 4100));
  // Large grey: noise (the run-length coder), a ramp and a repeating
  // pattern (the string matchers).
  std::minstd_rand noise(11);
  for (int kind = 0; kind < 3; ++kind) {
    images.push_back(pmtest::MakeRecord(2000, 1500, 8, 1));
    for (size_t i = 0; i < 2000u * 1500; ++i) {
      const size_t x = i % 2000, y = i / 2000;
      images.back()->p_buf[i] = static_cast<uint8_t>(kind == 0 ? y / 8 + x / 16 + noise() % 5 : kind == 1 ? x / 8 : x * x % 97 + y % 13 * 11);
    }
  }
  const std::vector<uint8_t> icc = pmtest::ReadBytes(PIXMILL_SOURCE_DIR "/tests/data/meta/adobergb.icc");
  std::vector<pmtest::Saved> saved;
  for (size_t k = 0; k < images.size(); ++k) {
    pmMetaImg& img = *images[k];
    img.orientation = 2 + static_cast<int>(k % 7);
    img.icc_profile = icc;
    const std::vector<uint8_t> want = pmtest::RecordRgb(img);
    for (int code = k < small ? 0 : 1; code <= (k < small ? 4 : img.bit == 1 ? 1 : 2); ++code) {
      SCOPED_TRACE(std::to_string(k) + " as " + kContainers[code]);
      const std::string path = dir.File(std::to_string(k) + "." + std::to_string(code));
      Record back = pmtest::ExpectSavesAs(img, code, path);
      ASSERT_NE(back, nullptr);
      EXPECT_EQ(pmtest::Signature(path), kContainers[code]);
      if (k < small) {  // quality changes the JPEG alone
        const int32_t before = Pixmill_SetQuality(10);
        ASSERT_EQ(Pixmill_Save(dir.File("q10").c_str(), &img, code), 0);
        Pixmill_SetQuality(before);
        const pmtest::Bytes q10 = pmtest::ReadBytes(dir.File("q10")), q75 = pmtest::ReadBytes(path);
        EXPECT_TRUE(code == 0 ? q10.size() < q75.size() : q10 == q75);
      }
      // Only the gradient has more than 256 colours; the noise-like shapes
      // have no JPEG floor. The palette's entry 5 is transparent in the GIF.
      const double floor = code == 0 ? (k == 0 || k == 3 ? 28.0 : 0.01) : code == 3 && k == 0 ? 30.0 : 0;
      EXPECT_TRUE(floor == 0 || pmtest::Psnr(pmtest::RecordRgb(*back), want) > floor) << "PSNR";
      EXPECT_TRUE(k != pmtest::kPalette - 1 || code != 3 || back->p_palette[5].alpha * 1000 + back->p_palette[9].alpha == 255);
      saved.push_back({path, want, floor, back->orientation, back->icc_profile});
    }
  }
  const std::string missing = pmtest::CheckOutside(saved);
  if (!missing.empty()) GTEST_SKIP() << "not installed, files not checked by:" << missing;
}

// Records no container takes, unknown codes and an encoder's failure touch
// no file. (Save targets: fault_test.cpp.)
TEST(SaveTest, RefusalsAndFailuresTouchNoFile) {
  pmtest::TempDir dir;
  Record deep = pmtest::MakeRecord(2, 2, 16, 3);
  for (int code = -1; code <= 5; ++code) {
    EXPECT_EQ(Pixmill_Save(dir.File("deep").c_str(), deep.get(), code), -1);
    EXPECT_EQ(myGlobal::GetError(), "Not Supported!");
  }
  // An encoder failure (JPEG holds at most 65500 pixels a side) leaves an
  // existing file byte for byte as it was, and no temporary file behind.
  const std::vector<uint8_t> old = {'o', 'l', 'd'};
  pmtest::WriteBytes(dir.File("keep.jpg"), old);
  for (const auto& [w, h] : {std::pair{70000, 1}, {1, 70000}}) {
    Record wide = pmtest::MakeRecord(w, h, 8, 1);
    std::memset(wide->p_buf, 0, 70000);
    EXPECT_EQ(Pixmill_Save(dir.File("keep.jpg").c_str(), wide.get(), PIXMILL_FORMAT_JPEG), -1);
    EXPECT_NE(myGlobal::GetError().find("pixels (at most 65500 a side)"), std::string::npos) << myGlobal::GetError();
  }
  EXPECT_EQ(pmtest::ReadBytes(dir.File("keep.jpg")), old);
  EXPECT_EQ(pmtest::ListDir(dir.path()), std::vector<std::string>{"keep.jpg"});
}

}  // namespace
