// Saving: every shape into every container, read back here and outside;
// refusals; eight threads at once (each output the save made alone); the
// LZW coder at every length around its code-width changes and resets; and
// every build of the row and plane copies.
#include <gif_lib.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <random>
#include <thread>

#include "loader.h"
#include "my_global.h"
#include "pixmill.h"
#include "platform/codec.h"
#include "platform/lzw.h"
#include "saver.h"
#include "test_support.h"

namespace {

using pm::Bitmap;

TEST(SaveTest, EveryEncoderIsListedAndEncodesOnlyOnceTheRowsAreUnlocked) {
  for (const std::string mime : {"image/jpeg", "image/png", "image/tiff", "image/gif", "image/bmp", "image/webp"}) {
    EXPECT_EQ(sttc_GetEncoderInfo(mime.c_str()) == nullptr, mime == "image/webp") << mime;
  }
  pm::Bitmap bmp(2, 2, pm::kFormat24bppRgb);
  bmp.LockBits();
  pm::MemoryStream out;
  EXPECT_THROW(pm::Encode(bmp, pm::Container::kPng, 75, out), pm::Error);
  bmp.UnlockBits();
  pm::Encode(bmp, pm::Container::kPng, 75, out);
  EXPECT_GT(out.Size(), 0u);
}

TEST(SaveTest, EveryShapeIntoEveryContainerReadsBackHereAndOutside) {
  // Small shapes into every container at quality 75 and 10; large ones
  // (the PNG writer's other compressors and filters, the TIFF predictor over
  // many strips) into PNG and TIFF; each with an orientation and a profile.
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
  // 24-bit, all grey, 256 levels first met from white down: written as grey
  // without a profile, as a palette (the levels back in that order) with one.
  const size_t grey_rgb = images.size();
  for (int copy = 0; copy < 2; ++copy) {
    images.push_back(pmtest::MakeRecord(300, 200, 8, 3));
    for (size_t i = 0; i < 300u * 200; ++i) {
      for (int c = 0; c < 3; ++c) images.back()->pp_plane[c][i] = static_cast<uint8_t>(255 - i % 300 * 255 / 299);
    }
  }
  // Large grey and colour: noise (the run-length coder), a ramp and a
  // repeating pattern (the string matchers), each colour plane shifted.
  std::minstd_rand noise(11);
  for (int channels : {1, 3}) {
    for (int kind = 0; kind < 3; ++kind) {
      // Over 2 MiB of rows either way: the compressor is chosen.
      const size_t w = channels == 1 ? 2000 : 1200, h = channels == 1 ? 1500 : 700;
      images.push_back(pmtest::MakeRecord(static_cast<int32_t>(w), static_cast<int32_t>(h), 8, channels));
      for (int c = 0; c < channels; ++c) {
        uint8_t* plane = channels == 1 ? images.back()->p_buf : images.back()->pp_plane[c];
        for (size_t i = 0; i < w * h; ++i) {
          const size_t x = i % w + 37 * c, y = i / w;
          plane[i] = static_cast<uint8_t>(kind == 0 ? y / 8 + x / 16 + noise() % 5 : kind == 1 ? x / 8 : x * x % 97 + y % 13 * 11);
        }
      }
    }
  }
  const std::vector<uint8_t> icc = pmtest::ReadBytes(PIXMILL_SOURCE_DIR "/tests/data/meta/adobergb.icc");
  std::vector<pmtest::Saved> saved;
  for (size_t k = 0; k < images.size(); ++k) {
    pmMetaImg& img = *images[k];
    img.orientation = 2 + static_cast<int>(k % 7);
    if (k != grey_rgb) img.icc_profile = icc;
    const std::vector<uint8_t> want = pmtest::RecordRgb(img);
    // Large ones as PNG, TIFF (but 1-bit) and BMP, whose rows go out in
    // several writes.
    const std::vector<int> codes = k < small      ? std::vector<int>{0, 1, 2, 3, 4}
                                   : img.bit == 1 ? std::vector<int>{1, 4}
                                                  : std::vector<int>{1, 2, 4};
    for (int code : codes) {
      SCOPED_TRACE(std::to_string(k) + " as " + pmtest::kContainers[code]);
      const std::string path = dir.File(std::to_string(k) + "." + std::to_string(code));
      Record back = pmtest::ExpectSavesAs(img, code, path);
      ASSERT_NE(back, nullptr);
      if (k < small) {  // quality changes the JPEG alone
        const int32_t before = Pixmill_SetQuality(10);
        ASSERT_EQ(Pixmill_Save(dir.File("q10").c_str(), &img, code), 0);
        Pixmill_SetQuality(before);
        const pmtest::Bytes q10 = pmtest::ReadBytes(dir.File("q10")), q75 = pmtest::ReadBytes(path);
        EXPECT_TRUE(code == 0 ? q10.size() < q75.size() : q10 == q75);
      }
      // Only the gradient has more than 256 colours; the noise-like shapes
      // have no JPEG floor, the gradient, grey and black-and-white ones do.
      // The palette's entry 5 is transparent in the GIF.
      const double floor = code == 0 ? (k == 0 || k == 3 || k == 4 ? 28.0 : 0.01) : code == 3 && k == 0 ? 30.0 : 0;
      EXPECT_TRUE(floor == 0 || pmtest::Psnr(pmtest::RecordRgb(*back), want) > floor) << "PSNR";
      EXPECT_TRUE(k != pmtest::kPalette - 1 || code != 3 || back->p_palette[5].alpha * 1000 + back->p_palette[9].alpha == 255);
      // A colour palette's JPEG is that of its pixels as a 24-bit record:
      // the same samples reach the colour conversion.
      if (code == 0 && (k == pmtest::kPalette - 1 || k == pmtest::kColouredBilevel - 1)) {
        Record rgb = pmtest::MakeRecord(img.width, img.height, 8, 3);
        for (size_t i = 0; i < want.size(); ++i) rgb->pp_plane[i % 3][i / 3] = want[i];
        rgb->orientation = img.orientation;
        rgb->icc_profile = img.icc_profile;
        ASSERT_EQ(Pixmill_Save(dir.File("rgb").c_str(), rgb.get(), 0), 0);
        EXPECT_EQ(pmtest::ReadBytes(dir.File("rgb")), pmtest::ReadBytes(path)) << "JPEG of the palette's pixels";
      }
      if ((k == grey_rgb || k == grey_rgb + 1) && code != PIXMILL_FORMAT_BMP) {  // a BMP keeps 24 bits
        EXPECT_EQ(pmtest::Outcome(back.get(), ""), k == grey_rgb ? "8bpp-grey" : "8bpp-palette");
      }
      if (code == PIXMILL_FORMAT_BMP) {  // written from the rows, coded in memory: the same bytes
        pm::MemoryStream mem;
        EncodeImage(&img, code, mem);
        EXPECT_TRUE(pmtest::Bytes(mem.Data(), mem.Data() + mem.Size()) == pmtest::ReadBytes(path));
      }
      saved.push_back({path, code, want, floor, back->orientation, back->icc_profile});
    }
    // The encoders read 8-bit planes in place: no save may change them.
    EXPECT_EQ(pmtest::RecordRgb(img), want) << k << " changed by its saves";
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

TEST(ConcurrencyTest, EightThreadsLoadAndSaveDifferentFilesAtOnce) {
  constexpr int kThreads = 8, kRounds = 6;
  pmtest::TempDir dir;
  // Each thread's source and its five saves at the thread's quality, made
  // before the threads start.
  std::vector<std::vector<pmtest::Bytes>> want(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    Record img = pmtest::Image(static_cast<pmtest::Shape>(t % 7), 40 + 7 * t, 30 + 3 * t, static_cast<uint32_t>(t));
    ASSERT_EQ(Pixmill_Save(dir.File("in" + std::to_string(t) + ".png").c_str(), img.get(), PIXMILL_FORMAT_PNG), 0);
    Record in(Pixmill_Create(dir.File("in" + std::to_string(t) + ".png").c_str()));
    Pixmill_SetQuality(50 + t);
    for (int code = 0; code <= 4; ++code) {
      ASSERT_EQ(Pixmill_Save(dir.File("want").c_str(), in.get(), code), 0);
      want[t].push_back(pmtest::ReadBytes(dir.File("want")));
    }
  }
  ::unlink(dir.File("want").c_str());

  std::vector<std::string> problems(kThreads);
  auto work = [&](int t) {
    const std::string in = dir.File("in" + std::to_string(t) + ".png");
    for (int round = 0; round < kRounds && problems[t].empty(); ++round) {
      Record img(Pixmill_Create(in.c_str()));
      if (!img) problems[t] = "load failed";
      // Quality and the error text are process-wide and must stay race-free
      // (each thread sets its quality again before each JPEG).
      for (int code = 0; img && code <= 4; ++code) {
        Pixmill_SetQuality(50 + t);
        const std::string out = dir.File("t" + std::to_string(t) + "." + std::to_string(code));
        if (Pixmill_Save(out.c_str(), img.get(), code) != 0) problems[t] = "save " + std::to_string(code) + " failed";
        char* text = Pixmill_LastErrorMessage();
        if (text == nullptr) problems[t] = "no text";
        std::free(text);
        if (code != 0 && pmtest::ReadBytes(out) != want[t][code]) problems[t] = "output " + std::to_string(code) + " differs";
      }
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t);
  for (std::thread& th : threads) th.join();
  Pixmill_SetQuality(75);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(problems[t], "") << "thread " << t;
  for (const std::string& name : pmtest::ListDir(dir.path())) EXPECT_NE(name[0], '.') << "temporary file left: " << name;
}

// An 8-bit palette bitmap of `n` symbols below `alphabet`, `width` a row:
// noise (about one table entry a symbol), runs of 1 to 300 of one symbol,
// or a sawtooth. Its palette is the grey ramp when `grey`, else one that
// is not (no TIFF predictor).
Bitmap Symbols(size_t n, int alphabet, int pattern, uint32_t seed, int width, bool grey = false) {
  std::mt19937 rng(seed);
  const int height = static_cast<int>((n + static_cast<size_t>(width) - 1) / static_cast<size_t>(width));
  Bitmap bitmap(width, height, pm::kFormat8bppIndexed);
  std::vector<pm::Color> palette;
  for (int i = 0; i < alphabet; ++i) palette.push_back(pm::Color{uint8_t(i), uint8_t(255 - i), 7, 255});
  bitmap.SetPalette(grey ? pm::GreyRamp() : palette);
  uint8_t last = 0;
  for (size_t i = 0; i < static_cast<size_t>(width) * static_cast<size_t>(height); ++i) {
    const auto fresh = static_cast<uint8_t>(rng() % static_cast<uint32_t>(alphabet));
    const uint8_t s = pattern == 0   ? fresh
                      : pattern == 1 ? (i > 0 && rng() % 150 != 0 ? last : fresh)
                      : pattern == 2 ? static_cast<uint8_t>((i / 3) % static_cast<size_t>(alphabet))
                                     : 1;
    bitmap.Row(static_cast<int>(i / static_cast<size_t>(width)))[i % static_cast<size_t>(width)] = i < n ? s : 0;
    last = s;
  }
  return bitmap;
}

std::vector<uint8_t> Rows(const Bitmap& bitmap, size_t row_bytes) {
  std::vector<uint8_t> v;
  for (int y = 0; y < bitmap.Height(); ++y) v.insert(v.end(), bitmap.Row(y), bitmap.Row(y) + row_bytes);
  return v;
}

int VectorWrite(GifFileType* gif, const GifByteType* data, int n) {
  static_cast<std::vector<uint8_t>*>(gif->UserData)->insert(static_cast<std::vector<uint8_t>*>(gif->UserData)->end(),
                                                            data, data + n);
  return n;
}

// The same file written through giflib's own coder.
std::vector<uint8_t> GiflibReference(const Bitmap& bitmap) {
  const std::vector<pm::Color> palette = bitmap.Palette();
  int bits = 1;
  while ((1 << bits) < static_cast<int>(palette.size())) ++bits;
  std::vector<GifColorType> colours(size_t{1} << bits, GifColorType{0, 0, 0});
  for (size_t i = 0; i < palette.size(); ++i) colours[i] = GifColorType{palette[i].r, palette[i].g, palette[i].b};
  std::vector<uint8_t> out;
  int err = 0;
  GifFileType* gif = EGifOpen(&out, VectorWrite, &err);
  ColorMapObject* map = GifMakeMapObject(1 << bits, colours.data());
  EGifSetGifVersion(gif, false);
  EXPECT_EQ(EGifPutScreenDesc(gif, bitmap.Width(), bitmap.Height(), bits, 0, map), GIF_OK);
  EXPECT_EQ(EGifPutImageDesc(gif, 0, 0, bitmap.Width(), bitmap.Height(), false, nullptr), GIF_OK);
  std::vector<uint8_t> row(static_cast<size_t>(bitmap.Width()));
  for (int y = 0; y < bitmap.Height(); ++y) {
    std::memcpy(row.data(), bitmap.Row(y), row.size());
    EXPECT_EQ(EGifPutLine(gif, row.data(), bitmap.Width()), GIF_OK);
  }
  EXPECT_EQ(EGifCloseFile(gif, &err), GIF_OK);
  GifFreeMapObject(map);
  return out;
}

struct Case {
  size_t length;
  int alphabet, pattern;
};

// Every pattern at lengths around the buffers' sizes; noise at every length
// to 300 and where the data ends on, just before and just after each change
// of code width and the table's reset (elsewhere over 16 symbols).
std::vector<Case> Cases() {
  std::vector<Case> cases;
  for (int alphabet : {2, 16, 40, 256}) {
    for (int pattern : {0, 1, 2}) {
      for (size_t n : {1, 2, 3, 4, 17, 255, 256, 257, 1000, 5000, 20000, 70000}) cases.push_back({n, alphabet, pattern});
    }
    for (size_t n = 1; n <= 300; ++n) cases.push_back({n, alphabet, 0});
  }
  for (const auto& [from, to, step, alphabet] : {std::array<size_t, 4>{740, 800, 1, 256}, {1760, 1830, 1, 256},
                                                 {3780, 3900, 1, 256}, {4000, 5200, 7, 16}}) {
    for (size_t n = from; n <= to; n += step) cases.push_back({n, static_cast<int>(alphabet), 0});
  }
  // One symbol throughout, until runs of every length fill the table.
  cases.push_back({8500000, 2, 3});
  return cases;
}

// One palette record saved as TIFF and as GIF from two threads at once: the
// GIF's codes left by a TIFF save are taken once, under the record's lock,
// and the bytes are those of saves one after the other.
TEST(ConcurrencyTest, TwoThreadsSaveOnePaletteRecordAsTiffAndGif) {
  pmtest::TempDir dir;
  Record img = pmtest::Image(pmtest::kPalette, 300, 200);
  std::vector<pmtest::Bytes> want;
  for (const int code : {PIXMILL_FORMAT_TIFF, PIXMILL_FORMAT_GIF}) {
    ASSERT_EQ(Pixmill_Save(dir.File("want").c_str(), img.get(), code), 0);
    want.push_back(pmtest::ReadBytes(dir.File("want")));
  }
  std::string problems[2];
  auto work = [&](int t) {
    const std::string out = dir.File("t" + std::to_string(t));
    for (int round = 0; round < 20 && problems[t].empty(); ++round) {
      if (Pixmill_Save(out.c_str(), img.get(), t == 0 ? PIXMILL_FORMAT_TIFF : PIXMILL_FORMAT_GIF) != 0 ||
          pmtest::ReadBytes(out) != want[static_cast<size_t>(t)]) {
        problems[t] = "round " + std::to_string(round);
      }
    }
  };
  std::thread tiff(work, 0), gif(work, 1);
  tiff.join();
  gif.join();
  EXPECT_EQ(problems[0], "");
  EXPECT_EQ(problems[1], "");
}

// A GIF of 8-bit palette indices other than the grey ramp's follows the
// codes of the picture's TIFF strips: decoded by giflib, and the same bytes
// whether it is coded alone or taken from a TIFF save.
TEST(LzwTest, GifDataIsGiflibsOrFollowsTheTiffAndTiffStripsDecodeThroughLibtiff) {
  uint32_t seed = 1;
  for (const Case& c : Cases()) {
    // One row for TIFF (the strip holds exactly the symbols), rows of at
    // most 1000 for GIF (several strips past 65 rows).
    // The encoders spend the bitmaps they code: what they must give is
    // taken first.
    Bitmap line = Symbols(c.length, c.alphabet, c.pattern, seed++, static_cast<int>(c.length));
    const auto symbols = Rows(line, c.length);
    pm::MemoryStream tiff;
    pm::EncodeTiff(line, nullptr, tiff);
    ASSERT_EQ(Rows(pm::DecodeTiff(tiff.Data(), tiff.Size()), c.length), symbols) << c.length << " of " << c.alphabet;
    const uint32_t rows_seed = seed++;
    for (const bool grey : {true, false}) {
      if (grey && c.alphabet != 256) continue;
      const std::string what = std::to_string(c.length) + " symbols of " + std::to_string(c.alphabet) + (grey ? " greys" : "");
      auto make = [&] {
        return Symbols(c.length, c.alphabet, c.pattern, rows_seed, static_cast<int>(std::min<size_t>(c.length, 1000)), grey);
      };
      Bitmap rows = make();
      const size_t width = static_cast<size_t>(rows.Width());
      const auto expected = Rows(rows, width);
      const bool follows = pm::GifFollowsTiffStrips(rows);
      ASSERT_EQ(follows, !grey && c.alphabet > 128) << what;
      const auto reference = follows ? std::vector<uint8_t>() : GiflibReference(rows);
      pm::MemoryStream gif;
      pm::EncodeGif(rows, nullptr, gif);
      const std::vector<uint8_t> bytes(gif.Data(), gif.Data() + gif.Size());
      if (!follows) {
        ASSERT_EQ(bytes, reference) << what;
      }
      ASSERT_EQ(Rows(pm::DecodeGif(gif.Data(), gif.Size()), width), expected) << what;
      if (!follows) continue;
      pm::SaveMemo memo;
      Bitmap for_tiff = make(), for_gif = make();
      pm::MemoryStream paired_tiff, paired_gif;
      pm::EncodeTiff(for_tiff, &memo, paired_tiff);
      ASSERT_EQ(Rows(pm::DecodeTiff(paired_tiff.Data(), paired_tiff.Size()), width), expected) << what;
      ASSERT_TRUE(memo.HasGifData()) << what;
      pm::EncodeGif(for_gif, &memo, paired_gif);
      ASSERT_FALSE(memo.HasGifData()) << what;
      ASSERT_EQ(std::vector<uint8_t>(paired_gif.Data(), paired_gif.Data() + paired_gif.Size()), bytes) << what;
    }
  }
}

}  // namespace

// Each build of the vector loops that runs here (the plain one, and the
// AVX2 one where the processor has it): the row and plane copies at every
// width around their vector lengths put each sample where the layout says,
// and the PNG and TIFF encoders (row filters, predictor) give the same
// bytes from both.
TEST(VectorBuildsTest, PlainAndAvx2CopyAndEncodeAlike) {
  std::minstd_rand rng(3);
  auto noise = [&](Bitmap b) {
    for (int y = 0; y < b.Height(); ++y) {
      for (size_t x = 0; x < b.Stride(); ++x) b.Row(y)[x] = static_cast<uint8_t>(rng() % 24);
    }
    return b;
  };
  std::vector<std::vector<uint8_t>> files[2];
  for (int build = 0; build < 2; ++build) {
    pm::ForcePlainBuilds(build == 0);
    if (build == 1 && !pm::UseAvx2()) break;
    for (size_t w = 0; w <= 131; ++w) {
      SCOPED_TRACE(std::to_string(build) + ": " + std::to_string(w) + " pixels");
      std::vector<uint8_t> row(3 * w), red(w), green(w), blue(w), back(3 * w), swapped(3 * w);
      for (uint8_t& b : row) b = static_cast<uint8_t>(rng());
      pm::SplitBgr(row.data(), w, red.data(), green.data(), blue.data());
      pm::JoinBgr(red.data(), green.data(), blue.data(), w, back.data());
      pm::SwapRedBlue(row.data(), w, swapped.data());
      for (size_t x = 0; x < w; ++x) {
        ASSERT_EQ(blue[x], row[3 * x + pm::kBlueByte]);
        ASSERT_EQ(green[x], row[3 * x + pm::kGreenByte]);
        ASSERT_EQ(red[x], row[3 * x + pm::kRedByte]);
        ASSERT_EQ(swapped[3 * x], red[x]);
        ASSERT_EQ(swapped[3 * x + 1], green[x]);
        ASSERT_EQ(swapped[3 * x + 2], blue[x]);
      }
      ASSERT_EQ(back, row);
    }
    rng.seed(9);
    for (const pm::PixelFormat format : {pm::kFormat24bppRgb, pm::kFormat8bppIndexed}) {
      for (void (*encode)(Bitmap&, pm::MemoryStream&) :
           {pm::EncodePng, +[](Bitmap& b, pm::MemoryStream& o) { pm::EncodeTiff(b, nullptr, o); }}) {
        Bitmap b = noise(Bitmap(301, 37, format));  // 8-bit: the grey ramp, so filters and predictor
        pm::MemoryStream out;
        encode(b, out);
        files[build].emplace_back(out.Data(), out.Data() + out.Size());
      }
    }
  }
  pm::ForcePlainBuilds(false);
  if (!files[1].empty()) {
    EXPECT_EQ(files[0], files[1]);
  }
}

// The run-length deflate coder (and ISA-L, where the build has it): each
// stream inflates back (libdeflate) to its input; the run-length coder's
// runs shrink to almost nothing, and its noise is stored, never grown past
// its stored size (5 bytes a block of 32 Ki symbols). The inputs
// cover runs around the shortest and longest match, several blocks,
// symbol counts in Fibonacci proportions, whose Huffman code is too deep
// for deflate's 15 bits until it is flattened, and smooth filtered rows
// (mostly 0, short runs of it), which code smaller than zlib's run-length
// strategy does by taking short runs as literals.
TEST(DeflateTest, RunLengthAndIsalStreamsInflateBackToTheirInput) {
  std::minstd_rand rng(5);
  std::vector<std::vector<uint8_t>> inputs(8);
  inputs[1] = {42};
  for (size_t run : {1, 2, 3, 4, 257, 258, 259, 260, 516, 517}) {
    inputs[2].insert(inputs[2].end(), run, static_cast<uint8_t>(run));
  }
  inputs[3].assign(1 << 20, 7);
  for (size_t i = 0; i < 300000; ++i) inputs[4].push_back(static_cast<uint8_t>(rng()));
  for (size_t i = 0; i < 200000; ++i) inputs[5].push_back(static_cast<uint8_t>(i / 40 % 3 == 0 ? 0 : i / 64 + rng() % 3));
  // Counts 1, 2, 3, 5, ... of 18 symbols (with the end-of-block code's 1,
  // a Huffman code 18 deep), shuffled, each followed by 255 so that no run
  // hides them; one block.
  std::vector<uint8_t> fibonacci;
  for (uint32_t a = 1, b = 2, s = 0; s < 18; ++s, std::swap(a, b), b += a) fibonacci.insert(fibonacci.end(), a, s);
  std::shuffle(fibonacci.begin(), fibonacci.end(), rng);
  for (uint8_t s : fibonacci) inputs[6].insert(inputs[6].end(), {s, 255});
  while (inputs[7].size() < 300000) {
    inputs[7].insert(inputs[7].end(), rng() % 12, 0);
    inputs[7].push_back(rng() % 2 == 0 ? 1 : 255);
  }
  for (size_t k = 0; k < inputs.size(); ++k) {
    SCOPED_TRACE(k);
    const std::vector<uint8_t>& in = inputs[k];
    pm::MemoryStream z;
    pm::Deflate(in.data(), in.size(), pm::Deflater::kRuns, 0, z);
    EXPECT_LE(z.Size(), in.size() + 5 * (in.size() / 32768 + 2) + 6);  // 5 bytes a stored block at most
    if (k == 3) {
      EXPECT_LT(z.Size(), in.size() / 200);
    }
    if (k == 7) {
      std::vector<uint8_t> zlib(compressBound(static_cast<uLong>(in.size())));
      z_stream zs{};
      ASSERT_EQ(deflateInit2(&zs, 9, Z_DEFLATED, 15, 9, Z_RLE), Z_OK);
      zs.next_in = const_cast<uint8_t*>(in.data());
      zs.avail_in = static_cast<uInt>(in.size());
      zs.next_out = zlib.data();
      zs.avail_out = static_cast<uInt>(zlib.size());
      ASSERT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
      EXPECT_LT(z.Size() * 100, zs.total_out * 95);
      deflateEnd(&zs);
    }
    // The same fed in pieces of 4099 bytes through one reused buffer, as
    // the PNG writer feeds its bands: runs and matches across their ends.
    auto in_pieces = [&](auto& coder) {
      std::vector<uint8_t> piece(4099);
      size_t at = 0;
      do {
        const size_t n = std::min(piece.size(), in.size() - at);
        std::copy_n(in.data() + at, n, piece.data());
        coder.Add(piece.data(), n, at + n == in.size());
        at += n;
      } while (at < in.size());
    };
    pm::MemoryStream pieces, isal_whole, isal_pieces;
    pm::RunsDeflater runs(pieces);
    in_pieces(runs);
    std::vector<const pm::MemoryStream*> streams = {&z, &pieces};
    if (pm::IsalBuilt()) {  // ISA-L's streams, whole and in pieces
      pm::Deflate(in.data(), in.size(), pm::Deflater::kIsal, 3, isal_whole);
      pm::IsalDeflater isal(isal_pieces, 3);
      in_pieces(isal);
      streams.insert(streams.end(), {&isal_whole, &isal_pieces});
    }
    for (const pm::MemoryStream* stream : streams) {
      std::vector<uint8_t> back(in.size() + 1);
      ASSERT_TRUE(pm::Inflate(stream->Data(), stream->Size(), back.data(), in.size()));
      back.pop_back();
      EXPECT_EQ(back, in);
    }
  }
}
