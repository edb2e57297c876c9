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

using Record = std::unique_ptr<pmMetaImg>;

Record Sized(int32_t w, int32_t h, int32_t bit, int32_t channel) { return Record(pmtest::MakeRecord(w, h, bit, channel)); }

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

// A test image of one shape: 24-bit gradient or few colours, 8-bit palette
// (with two entries of partial alpha) or grey ramp, 1-bit black and white
// or two colours.
enum Shape { kGradient, kFewColours, kPalette, kGrey, kBilevel, kColouredBilevel };
Record Make(Shape shape) {
  const int w[] = {37, 41, 33, 30, 33, 10}, h[] = {23, 19, 17, 9, 7, 3};
  const int W = w[shape], H = h[shape];
  Record img = Sized(W, H, shape >= kBilevel ? 1 : 8, shape <= kFewColours ? 3 : 1);
  const size_t n = static_cast<size_t>(W) * H;
  for (size_t i = 0; i < n; ++i) {
    const size_t x = i % W, y = i / W;
    if (shape == kGradient) {
      img->pp_plane[0][i] = static_cast<uint8_t>(x * 255 / (W - 1));
      img->pp_plane[1][i] = static_cast<uint8_t>(y * 255 / (H - 1));
      img->pp_plane[2][i] = static_cast<uint8_t>((x + y) * 4);
    } else if (shape == kFewColours) {
      img->pp_plane[0][i] = static_cast<uint8_t>((i % 7) * 30);
      img->pp_plane[1][i] = static_cast<uint8_t>((i % 5) * 50);
      img->pp_plane[2][i] = static_cast<uint8_t>((i / 13 % 3) * 90);
    } else if (shape <= kGrey) {
      img->pp_plane[0][i] = static_cast<uint8_t>(i * 7);
    } else if (i < (static_cast<size_t>(W) + 7) / 8 * H) {
      img->p_buf[i] = static_cast<uint8_t>(0xA5 ^ (i * 29));
    }
  }
  if (shape == kPalette) {
    for (int k = 0; k < 256; ++k) img->p_palette[k] = PM_METAIMG_PALETTE{uint8_t(k), uint8_t(255 - k), uint8_t(k * 3), 255};
    img->p_palette[5].alpha = 0;
    img->p_palette[9].alpha = 128;
  } else if (shape == kColouredBilevel) {
    img->p_palette[0] = PM_METAIMG_PALETTE{200, 10, 10, 255};
    img->p_palette[1] = PM_METAIMG_PALETTE{10, 10, 200, 255};
  }
  return img;
}

double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  double se = 0;
  for (size_t i = 0; i < a.size(); ++i) se += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
  return se == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * a.size() / se);
}

const char* const kContainers[] = {"JPEG", "PNG", "TIFF", "GIF", "BMP"};

TEST(SaveTest, EveryShapeIntoEveryContainerReadsBackHereAndOutside) {
  // The small shapes go into every container, at quality 75 and 10; the
  // large images, which take the PNG writer's other compressor and filter
  // paths (chosen by shape and size, for grey from a sample), into PNG.
  // Every file loads back to its pixels (JPEG and the gradient's quantised
  // GIF within a PSNR floor); Pillow decodes them all, and pngcheck and
  // ImageMagick check every PNG.
  pmtest::TempDir dir;
  std::vector<Record> images;
  for (Shape shape : {kGradient, kFewColours, kPalette, kGrey, kBilevel, kColouredBilevel}) images.push_back(Make(shape));
  const size_t small = images.size();
  images.push_back(pmtest::Noise(1200, 700, 7));  // large 24-bit photograph-like
  Record smooth = Sized(1200, 700, 8, 3);         // large, few colours: a palette image
  for (size_t i = 0; i < 1200u * 700 * 3; ++i) smooth->p_buf[i] = static_cast<uint8_t>(i % 1200 / 200 * 40 + i / 2520000 * 7);
  images.push_back(std::move(smooth));
  Record text = Sized(4100, 4100, 1, 1);  // large 1-bit
  for (size_t i = 0; i < 513u * 4100; ++i) text->p_buf[i] = static_cast<uint8_t>(0xA5 ^ (i * 29));
  images.push_back(std::move(text));
  // Large grey: noise (the run-length coder), a ramp and a repeating
  // pattern (the string matchers).
  std::minstd_rand noise(11);
  for (int kind = 0; kind < 3; ++kind) {
    Record grey = Sized(2000, 1500, 8, 1);
    for (size_t i = 0; i < 2000u * 1500; ++i) {
      const size_t x = i % 2000, y = i / 2000;
      grey->p_buf[i] = static_cast<uint8_t>(kind == 0 ? y / 8 + x / 16 + noise() % 5 : kind == 1 ? x / 8 : x * x % 97 + y % 13 * 11);
    }
    images.push_back(std::move(grey));
  }
  std::vector<std::string> files, pngs;
  std::vector<std::vector<uint8_t>> sources, png_rgb;
  std::vector<double> floors;  // 0: lossless
  for (size_t k = 0; k < images.size(); ++k) {
    const pmMetaImg& img = *images[k];
    // Only the gradient has more than 256 colours. JPEG PSNR floors measured
    // at quality 75 (gradient 29.7 dB, grey ramp 29.9 dB); none for the
    // noise-like shapes.
    const bool gif_lossless = k != kGradient;
    const double jpeg_floor = k == kGradient || k == kGrey ? 28.0 : 0.01;
    const std::vector<uint8_t> want = pmtest::RecordRgb(img);
    for (int code = k < small ? 0 : 1; code <= (k < small ? 4 : 1); ++code) {
      SCOPED_TRACE(std::to_string(k) + " as " + kContainers[code]);
      const std::string path = dir.File(std::to_string(k) + "." + std::to_string(code) + (code == 1 ? ".png" : ".out"));
      ASSERT_EQ(Pixmill_Save(path.c_str(), &img, code), 0) << myGlobal::GetError();
      EXPECT_EQ(myGlobal::GetError(), "No Error");
      EXPECT_EQ(pmtest::Signature(path), kContainers[code]);
      if (k < small) {  // quality changes the JPEG alone
        const int32_t before = Pixmill_SetQuality(10);
        ASSERT_EQ(Pixmill_Save(dir.File("q10").c_str(), &img, code), 0);
        Pixmill_SetQuality(before);
        const pmtest::Bytes q10 = pmtest::ReadBytes(dir.File("q10")), q75 = pmtest::ReadBytes(path);
        EXPECT_TRUE(code == 0 ? q10.size() < q75.size() : q10 == q75);
      }

      Record back(sttc_LoadImage(path.c_str()));
      ASSERT_NE(back, nullptr) << myGlobal::GetError();
      EXPECT_EQ(back->width, img.width);
      EXPECT_EQ(back->height, img.height);
      const std::vector<uint8_t> got = pmtest::RecordRgb(*back);
      const double floor = code == 0 ? jpeg_floor : code == 3 && !gif_lossless ? 30.0 : 0;
      if (floor == 0) {
        EXPECT_EQ(got, want);
        if (img.channel == 1 && code != 3) {  // a GIF always loads as 8-bit
          EXPECT_EQ(back->channel * back->bit, img.channel * img.bit);
        }
        // Palette alpha reaches PNG whole, GIF as its one transparent index.
        if (k == kPalette && (code == 1 || code == 3)) {
          EXPECT_EQ(back->p_palette[5].alpha, 0);
          EXPECT_EQ(back->p_palette[9].alpha, code == 1 ? 128 : 255);
        }
      } else {
        EXPECT_GT(Psnr(got, want), floor);
      }
      if (code == 1) {
        pngs.push_back(path);
        png_rgb.push_back(want);
      } else {
        files.push_back(path);
        sources.push_back(want);
        floors.push_back(floor);
      }
    }
  }
  const std::string missing = pmtest::CheckPngsOutside(pngs, png_rgb);
  if (pmtest::PillowAvailable()) {
    const auto refs = pmtest::PillowDecode(files);
    for (size_t i = 0; i < files.size(); ++i) {
      auto ref = refs.find(i);
      ASSERT_NE(ref, refs.end()) << "Pillow cannot open " << files[i];
      if (floors[i] == 0) {
        EXPECT_EQ(ref->second.rgb, sources[i]) << files[i];
      } else {
        EXPECT_GT(Psnr(ref->second.rgb, sources[i]), floors[i]) << files[i];
      }
    }
  }
  if (!missing.empty()) GTEST_SKIP() << "not installed, files not checked by:" << missing;
}

// Orientation 2 to 8 and a real profile, from each container that carries
// them into JPEG, PNG and TIFF, as this library and Pillow read them back;
// GIF and BMP carry neither. The pixels stay as they were.
TEST(SaveTest, OrientationAndProfileTravelIntoJpegPngAndTiff) {
  const std::string dir = PIXMILL_SOURCE_DIR "/tests/data/meta/";
  const std::vector<uint8_t> icc = pmtest::ReadBytes(dir + "adobergb.icc"), none;
  pmtest::TempDir out;
  std::vector<std::string> files;
  std::vector<int> orientations;
  std::vector<std::vector<uint8_t>> lossless;  // the pixels where Pillow reads them as stored
  for (const char* source : {"orient6.jpg", "orient6.png", "orient6.tif", "profile-v5.bmp"}) {
    Record img(sttc_LoadImage((dir + source).c_str()));
    ASSERT_NE(img, nullptr) << myGlobal::GetError();
    const std::vector<uint8_t> rgb = pmtest::RecordRgb(*img);
    for (int o = 2; o <= 8; ++o) {
      img->orientation = o;
      for (int code = 0; code <= 4; ++code) {
        SCOPED_TRACE(std::string(source) + " orientation " + std::to_string(o) + " as " + kContainers[code]);
        const std::string path = out.File(std::to_string(files.size()) + "." + std::to_string(code));
        ASSERT_EQ(Pixmill_Save(path.c_str(), img.get(), code), 0) << myGlobal::GetError();
        Record back(sttc_LoadImage(path.c_str()));
        ASSERT_NE(back, nullptr) << myGlobal::GetError();
        const bool carries = code <= PIXMILL_FORMAT_TIFF;
        EXPECT_EQ(back->orientation, carries ? o : 1);
        EXPECT_EQ(back->icc_profile, carries ? icc : none);
        if (code != PIXMILL_FORMAT_JPEG) {
          EXPECT_EQ(pmtest::RecordRgb(*back), rgb);  // at most 256 colours: GIF too
        }
        if (!carries) continue;
        files.push_back(path);
        orientations.push_back(o);
        // Pillow turns TIFF pixels by their orientation as it reads them.
        lossless.push_back(code == PIXMILL_FORMAT_PNG ? rgb : none);
      }
    }
  }
  if (!pmtest::PillowAvailable()) GTEST_SKIP() << "Pillow is not installed: the files were not read outside";
  const auto refs = pmtest::PillowDecode(files);
  for (size_t i = 0; i < files.size(); ++i) {
    const auto ref = refs.find(i);
    ASSERT_NE(ref, refs.end()) << "Pillow cannot open " << files[i];
    EXPECT_EQ(ref->second.orientation, orientations[i]) << files[i];
    EXPECT_EQ(ref->second.icc, icc) << files[i];
    if (!lossless[i].empty()) {
      EXPECT_EQ(ref->second.rgb, lossless[i]) << files[i];
    }
  }
}

TEST(SaveTest, RefusalsAndFailuresTouchNoFile) {
  pmtest::TempDir dir;
  Record deep = Sized(2, 2, 16, 3);
  for (int code = -1; code <= 5; ++code) {
    EXPECT_EQ(Pixmill_Save(dir.File("deep").c_str(), deep.get(), code), -1);
    EXPECT_EQ(myGlobal::GetError(), "Not Supported!");
  }
  Record img = Make(kGradient);
  const std::string missing = dir.File("no/such/dir/out.png");
  EXPECT_EQ(Pixmill_Save(missing.c_str(), img.get(), PIXMILL_FORMAT_PNG), -1);
  EXPECT_EQ(myGlobal::GetError(), "Cannot write '" + missing + "': No such file or directory");
  ASSERT_EQ(::mkdir(dir.File("sub").c_str(), 0755), 0);
  EXPECT_EQ(Pixmill_Save(dir.File("sub").c_str(), img.get(), PIXMILL_FORMAT_PNG), -1);
  EXPECT_NE(myGlobal::GetError().find("Is a directory"), std::string::npos);

  // An encoder failure (JPEG holds at most 65500 pixels a side) leaves an
  // existing file byte for byte as it was, and no temporary file behind.
  const std::vector<uint8_t> old = {'o', 'l', 'd'};
  pmtest::WriteBytes(dir.File("keep.jpg"), old);
  for (const auto& [w, h] : {std::pair{70000, 1}, {1, 70000}}) {
    Record wide = Sized(w, h, 8, 1);
    std::memset(wide->p_buf, 0, 70000);
    EXPECT_EQ(Pixmill_Save(dir.File("keep.jpg").c_str(), wide.get(), PIXMILL_FORMAT_JPEG), -1);
    EXPECT_NE(myGlobal::GetError().find("pixels (at most 65500 a side)"), std::string::npos) << myGlobal::GetError();
  }
  EXPECT_EQ(pmtest::ReadBytes(dir.File("keep.jpg")), old);
  EXPECT_EQ(pmtest::ListDir(dir.path()), (std::vector<std::string>{"keep.jpg", "sub"}));

  // A save over an existing file replaces it whole and keeps its mode; the
  // extension plays no part in the container.
  pmtest::WriteBytes(dir.File("x.jpg"), std::vector<uint8_t>(100000, 'x'));
  ASSERT_EQ(::chmod(dir.File("x.jpg").c_str(), 0640), 0);
  ASSERT_EQ(Pixmill_Save(dir.File("x.jpg").c_str(), img.get(), PIXMILL_FORMAT_PNG), 0);
  EXPECT_EQ(pmtest::Signature(dir.File("x.jpg")), "PNG");
  EXPECT_LT(pmtest::ReadBytes(dir.File("x.jpg")).size(), 100000u);
  struct stat st;
  ASSERT_EQ(::stat(dir.File("x.jpg").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);

  // Through a symbolic link, the file it points to is replaced.
  ASSERT_EQ(::symlink("x.jpg", dir.File("link.png").c_str()), 0);
  ASSERT_EQ(Pixmill_Save(dir.File("link.png").c_str(), img.get(), PIXMILL_FORMAT_BMP), 0);
  EXPECT_EQ(pmtest::Signature(dir.File("x.jpg")), "BMP");
  struct stat lst;
  ASSERT_EQ(::lstat(dir.File("link.png").c_str(), &lst), 0);
  EXPECT_TRUE(S_ISLNK(lst.st_mode));
  // A link whose file has gone: the save makes the file the link names.
  ASSERT_EQ(::symlink("target.tif", dir.File("dangling").c_str()), 0);
  ASSERT_EQ(Pixmill_Save(dir.File("dangling").c_str(), img.get(), PIXMILL_FORMAT_TIFF), 0) << myGlobal::GetError();
  EXPECT_EQ(pmtest::Signature(dir.File("target.tif")), "TIFF");
  ASSERT_EQ(::lstat(dir.File("dangling").c_str(), &lst), 0);
  EXPECT_TRUE(S_ISLNK(lst.st_mode));
}

}  // namespace
