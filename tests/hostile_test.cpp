// Hostile input: damaged copies of every corpus file, headers that declare
// huge images over little data, and files built to make a decoder loop or
// allocate without end. Each must fail (or load) cleanly with a text, and
// the huge ones within a small, fixed amount of resident memory.
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>

#include "loader.h"
#include "my_global.h"
#include "saver.h"
#include "test_support.h"

namespace {

using pmtest::Bytes;
using Record = std::unique_ptr<pmMetaImg>;

// Loads bytes; on failure checks that the text says why, naming the file.
// Returns whether a record came back.
bool LoadsCleanly(const Bytes& bytes, const std::string& name) {
  myGlobal::SetError("sentinel");
  Record img(LoadImageFromMemory(bytes.data(), bytes.size(), name.c_str()));
  const std::string text = myGlobal::GetError();
  if (!img) {
    // The pixel-format refusal has a fixed text without the file's name.
    const bool format = text.rfind("PixelFormat(", 0) == 0 && text.find(") is Not Supported!") != std::string::npos;
    EXPECT_TRUE(format || (text != "No Error" && text != "sentinel" && text.find(name) != std::string::npos))
        << name << ": " << text;
    return false;
  }
  EXPECT_EQ(text, "No Error") << name;
  // Small records also go through every encoder.
  const int32_t bpp = img->channel * img->bit;
  if ((bpp == 1 || bpp == 8 || bpp == 24) && pm::SizeOfRecord(img->width, img->height, img->bit, img->channel).block <= 65536) {
    for (int code = 0; code <= 4; ++code) {
      pm::MemoryStream out;
      EncodeImage(img.get(), code, out);
    }
  }
  return true;
}

// The corpus and the metadata fixtures (whose Exif and profile parsers a cut
// or a flipped byte reaches), cut short and with bytes changed.
TEST(HostileTest, TruncatedAndBitFlippedCorpusFilesFailCleanly) {
  std::vector<std::string> paths;
  for (const std::string& name : pmtest::ListDir(PIXMILL_SOURCE_DIR "/tests/data/meta")) {
    if (name.find(".md") == std::string::npos) paths.push_back(PIXMILL_SOURCE_DIR "/tests/data/meta/" + name);
  }
  const size_t fixtures = paths.size();
  std::ifstream manifest(pmtest::CorpusDir() + "/MANIFEST.tsv");
  std::string line;
  const bool corpus = static_cast<bool>(std::getline(manifest, line));
  while (std::getline(manifest, line)) paths.push_back(pmtest::CorpusDir() + "/" + line.substr(0, line.find('\t')));
  std::mt19937 rng(20261207);
  size_t files = 0, variants = 0, loaded = 0;
  for (const std::string& rel : paths) {
    const Bytes original = pmtest::ReadBytes(rel);
    if (original.size() < 8) continue;
    ++files;
    // Cut at 16 points spread over the file, the header's end included.
    for (int k = 1; k <= 16; ++k) {
      const size_t cut = original.size() * k / 17;
      loaded += LoadsCleanly(Bytes(original.begin(), original.begin() + static_cast<ptrdiff_t>(cut)), rel + "@" + std::to_string(cut));
      ++variants;
    }
    // Four copies with 1 to 16 random bytes changed.
    for (int k = 0; k < 4; ++k) {
      Bytes damaged = original;
      const int flips = 1 + static_cast<int>(rng() % 16);
      for (int f = 0; f < flips; ++f) damaged[rng() % damaged.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
      loaded += LoadsCleanly(damaged, rel + "#" + std::to_string(k));
      ++variants;
    }
  }
  std::printf("hostile: %zu files (%zu metadata fixtures), %zu damaged copies, %zu still loaded\n", files, fixtures,
              variants, loaded);
  if (!corpus) GTEST_SKIP() << "no corpus at " << pmtest::CorpusDir() << " (set PIXMILL_CORPUS): fixtures only";
}

// --- Huge declared sizes -----------------------------------------------------

Bytes HugePng(uint32_t w, uint32_t h, uint8_t depth, uint8_t colour_type) {
  return pmtest::Png(w, h, depth, colour_type, Bytes(100000, 0));  // a few rows' worth of zeros
}

// A GIF screen with a 2-entry global table, and a frame covering it whose
// data is a few codes.
Bytes GifHeader(uint16_t w, uint16_t h) { return Bytes().str("GIF89a").le16(w).le16(h).add({0x80, 0, 0, 0, 0, 0, 255, 255, 255}); }
Bytes HugeGif(uint16_t w, uint16_t h) {
  return GifHeader(w, h).str(",").le32(0).le16(w).le16(h).add({0, 2, 2, 0x44, 0x01, 0, ';'});
}

// RLE8 runs that cover a few rows, then data that ends without an
// end-of-bitmap code; or 64 bytes of zeros.
Bytes HugeBmp(int32_t w, int32_t h, uint16_t bpp, uint32_t compression) {
  Bytes pixels(64, 0);
  if (compression == 1) {
    pixels.clear();
    for (int i = 0; i < 32; ++i) pixels.add({0xFF, 0x07});
  }
  return pmtest::Bmp(w, h, bpp, compression, pixels);
}

// A little-endian TIFF with one IFD of (tag, type, count, value) entries.
Bytes Tiff(const std::vector<std::array<uint32_t, 4>>& entries) {
  Bytes out = Bytes().str(std::string("II*\0", 4)).le32(8).le16(static_cast<uint32_t>(entries.size()));
  for (const auto& e : entries) {
    out.le16(e[0]).le16(e[1]).le32(e[2]);
    if (e[1] == 3 && e[2] == 1) {
      out.le16(e[3]).le16(0);
    } else {
      out.le32(e[3]);
    }
  }
  out.le32(0).resize(out.size() + 64, 0);
  return out;
}

Bytes HugeTiff(uint32_t w, uint32_t h, uint16_t bits, uint32_t rows_per_strip) {
  return Tiff({{256, 4, 1, w}, {257, 4, 1, h}, {258, 3, 1, bits}, {259, 3, 1, 1}, {262, 3, 1, 1},
               {273, 4, 1, 200}, {277, 3, 1, 1}, {278, 4, 1, rows_per_strip}, {279, 4, 1, 64}});
}

Bytes HugeJpeg(uint16_t w, uint16_t h, int components) {
  const uint16_t len = static_cast<uint16_t>(8 + 3 * components);
  Bytes out = {0xFF, 0xD8, 0xFF, 0xC0, uint8_t(len >> 8), uint8_t(len), 8, uint8_t(h >> 8), uint8_t(h), uint8_t(w >> 8),
               uint8_t(w), uint8_t(components)};
  for (int c = 0; c < components; ++c) out.add({uint8_t(c + 1), 0x11, 0});
  return out.add({0xFF, 0xD9});
}

long StatusKib(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string key = std::string(field) + ":";
  while (std::getline(status, line)) {
    if (line.rfind(key, 0) == 0) return std::strtol(line.c_str() + key.size(), nullptr, 10);
  }
  return -1;
}

// Loads in a child process, whose peak resident size is first reset so that
// earlier tests do not count: 0 when the load failed with a text naming the
// file within `limit_kib` more resident memory (any amount under a
// sanitizer's shadow), else what went wrong.
int FailsWithin(const Bytes& bytes, const std::string& name, long limit_kib) {
  return pmtest::InChild([&] {
    std::ofstream("/proc/self/clear_refs") << "5";  // resets VmHWM to the current resident size
    const long before = StatusKib("VmRSS");
    Record img(LoadImageFromMemory(bytes.data(), bytes.size(), name.c_str()));
    const long growth = StatusKib("VmHWM") - before;
    std::fprintf(stderr, "  %-24s %7ld KiB  %s\n", name.c_str(), growth, myGlobal::GetError().c_str());
    if (img != nullptr || myGlobal::GetError().find(name) == std::string::npos) return 1;
    return pmtest::kSanitized || (growth >= 0 && growth < limit_kib) ? 0 : 2;
  });
}

TEST(HostileTest, HugeDeclaredImagesFailWithoutTouchingMemoryForAbsentRows) {
  struct Case {
    const char* name;
    Bytes bytes;
  };
  const std::vector<Case> cases = {
      {"png-65535-rgb", HugePng(65535, 65535, 8, 2)},     {"png-65535-grey", HugePng(65535, 65535, 8, 0)},
      {"png-65535-1bit", HugePng(65535, 65535, 1, 0)},    {"png-46340-grey", HugePng(46340, 46340, 8, 0)},
      {"gif-65535", HugeGif(65535, 65535)},               {"gif-46340", HugeGif(46340, 46340)},
      {"bmp-65535-24", HugeBmp(65535, 65535, 24, 0)},     {"bmp-46340-8", HugeBmp(46340, 46340, 8, 0)},
      {"bmp-46340-rle8", HugeBmp(46340, -46340, 8, 1)},   {"bmp-46340-rle8-up", HugeBmp(46340, 46340, 8, 1)},
      {"tiff-65535-8", HugeTiff(65535, 65535, 8, 65535)}, {"tiff-65535-1", HugeTiff(65535, 65535, 1, 1)},
      {"tiff-46340-8", HugeTiff(46340, 46340, 8, 1)},     {"jpeg-65500-rgb", HugeJpeg(65500, 65500, 3)},
      {"jpeg-46000-grey", HugeJpeg(46000, 46000, 1)},     {"jpeg-26000-rgb", HugeJpeg(26000, 26000, 3)},
      // A tiny image whose text chunk declares 1.9 GB; a TIFF whose record
      // would be small but whose stored samples (hundreds a pixel) take 34 GB.
      {"png-huge-itxt", pmtest::ReadBytes(std::string(PIXMILL_SOURCE_DIR) + "/tests/data/bad/fuzz-png-huge-itxt.png")},
      {"tiff-huge-samples",
       pmtest::ReadBytes(std::string(PIXMILL_SOURCE_DIR) + "/tests/data/bad/fuzz-tiff-huge-samples.tif")},
  };
  // 1: loaded, or failed without naming the file; 2: took too much memory.
  for (const Case& c : cases) EXPECT_EQ(FailsWithin(c.bytes, c.name, 100 * 1024), 0) << c.name;
}

// --- Files built to make a decoder work without end -------------------------

// A progressive grey JPEG whose script sends every coefficient (DC and each
// AC one alone) at 11 bit planes, one scan each: 704 scans, every one of
// them valid, so that only a cap on the number of scans stops the decode.
Bytes ManyScanJpeg(int w, int h) {
  std::vector<jpeg_scan_info> script;
  for (int k = 0; k < 64; ++k) {
    for (int al = 10; al >= 0; --al) script.push_back({1, {0}, k, k, al == 10 ? 0 : al + 1, al});
  }
  jpeg_compress_struct cinfo;
  jpeg_error_mgr err;
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_compress(&cinfo);
  unsigned char* mem = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &mem, &size);
  cinfo.image_width = static_cast<JDIMENSION>(w);
  cinfo.image_height = static_cast<JDIMENSION>(h);
  cinfo.input_components = 1;
  cinfo.in_color_space = JCS_GRAYSCALE;
  jpeg_set_defaults(&cinfo);
  cinfo.scan_info = script.data();
  cinfo.num_scans = static_cast<int>(script.size());
  jpeg_start_compress(&cinfo, TRUE);
  std::vector<uint8_t> row(static_cast<size_t>(w));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) row[static_cast<size_t>(x)] = static_cast<uint8_t>(x * y);
    JSAMPROW p = row.data();
    jpeg_write_scanlines(&cinfo, &p, 1);
  }
  jpeg_finish_compress(&cinfo);
  Bytes out(mem, mem + size);
  jpeg_destroy_compress(&cinfo);
  std::free(mem);
  return out;
}

TEST(HostileTest, EndlessScansStripsAndExtensionsAreBounded) {
  // A progressive JPEG of more scans than the decoder takes.
  EXPECT_FALSE(LoadsCleanly(ManyScanJpeg(64, 48), "many-scans.jpg"));
  EXPECT_NE(myGlobal::GetError().find("more than 500 progressive scans"), std::string::npos) << myGlobal::GetError();

  // TIFFs: two billion strips declared; a strip far past the end of the
  // file; a strip table far larger than the file.
  EXPECT_FALSE(LoadsCleanly(HugeTiff(16, 0x7FFFFFFF, 8, 1), "two-billion-strips.tif"));
  EXPECT_FALSE(LoadsCleanly(Tiff({{256, 4, 1, 64}, {257, 4, 1, 64}, {258, 3, 1, 8}, {259, 3, 1, 1}, {262, 3, 1, 1},
                                  {273, 4, 1, 0xFFFFFF00u}, {277, 3, 1, 1}, {278, 4, 1, 64}, {279, 4, 1, 4096}}),
                            "strip-past-the-end.tif"));
  EXPECT_FALSE(LoadsCleanly(Tiff({{256, 4, 1, 64}, {257, 4, 1, 0x1000000}, {258, 3, 1, 8}, {259, 3, 1, 1},
                                  {262, 3, 1, 1}, {273, 4, 0x1000000, 200}, {277, 3, 1, 1}, {278, 4, 1, 1},
                                  {279, 4, 0x1000000, 200}}),
                            "huge-strip-table.tif"));

  // GIFs: a hundred thousand comment extensions before a valid frame load;
  // an application extension whose sub-blocks never end does not.
  Record dot(pmtest::MakeRecord(2, 2, 8, 1));
  std::memset(dot->p_buf, 1, 4);
  pm::MemoryStream small;
  EncodeImage(dot.get(), 3, small);
  Bytes comments(small.Data(), small.Data() + small.Size());
  const size_t table = (comments[10] & 0x80) != 0 ? 3u << ((comments[10] & 7) + 1) : 0;
  Bytes many;
  for (int i = 0; i < 100000; ++i) many.insert(many.end(), {0x21, 0xFE, 0x01, 'x', 0x00});
  comments.insert(comments.begin() + static_cast<ptrdiff_t>(13 + table), many.begin(), many.end());
  EXPECT_TRUE(LoadsCleanly(comments, "many-comments.gif"));
  Bytes endless = GifHeader(2, 2).add({0x21, 0xFF, 0x0B}).str("NETSCAPE2.0");
  for (int i = 0; i < 300000; ++i) endless.insert(endless.end(), {0x01, 'x'});
  EXPECT_FALSE(LoadsCleanly(endless, "endless-extension.gif"));

  // BMP RLE8 whose runs and deltas go on past the last row.
  Bytes deltas;
  for (int i = 0; i < 10000; ++i) deltas.add({0x00, 0x02, 0x00, 0x10});  // delta: 16 rows up
  const Bytes rle = pmtest::Bmp(16, 16, 8, 1, deltas);
  EXPECT_FALSE(LoadsCleanly(rle, "rle-deltas-past-image.bmp"));
}

}  // namespace
