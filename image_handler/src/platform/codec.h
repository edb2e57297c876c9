// Internal to the platform layer: one decoder and one encoder per container,
// and the helpers they share.
#pragma once

#include <cstring>
#include <memory>
#include <string>

#include "platform/imaging.h"

namespace pm {

Bitmap DecodePng(const uint8_t* data, size_t size);
Bitmap DecodeJpeg(const uint8_t* data, size_t size);
Bitmap DecodeTiff(const uint8_t* data, size_t size);
Bitmap DecodeGif(const uint8_t* data, size_t size);
Bitmap DecodeBmp(const uint8_t* data, size_t size);

void EncodePng(Bitmap& bitmap, MemoryStream& out);
void EncodeJpeg(Bitmap& bitmap, int quality, MemoryStream& out);
void EncodeTiff(Bitmap& bitmap, SaveMemo* memo, MemoryStream& out);
void EncodeGif(Bitmap& bitmap, SaveMemo* memo, MemoryStream& out);
void EncodeBmp(Bitmap& bitmap, MemoryStream& out);
void WriteBmpFile(const char* path, Bitmap& bitmap);

// The texts of the codecs' two common refusals (error.cpp):
// "CONTAINER data is damaged (CAUSE)" and "CONTAINER encoder: pixel format N
// is not supported".
[[noreturn]] void ThrowDamaged(const char* container, const std::string& cause);
[[noreturn]] void ThrowUnsupported(const char* container, PixelFormat format);

// Byte order in the containers' headers.
inline uint16_t LoadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t LoadLe32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline uint16_t LoadBe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t LoadBe32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
inline void StoreLe16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void StoreLe32(uint8_t* p, uint32_t v) {
  StoreLe16(p, v);
  StoreLe16(p + 2, v >> 16);
}
inline void StoreBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// How many of the first `n` bytes at `p` are `s`, eight at a time: the
// LZW coder's runs and the run-length deflate coder's matches.
inline size_t CountRun(const uint8_t* p, size_t n, uint8_t s) {
  size_t r = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  const uint64_t all = 0x0101010101010101ull * s;
  for (; r + 8 <= n; r += 8) {
    uint64_t v;
    std::memcpy(&v, p + r, 8);
    if (v != all) return r + static_cast<size_t>(__builtin_ctzll(v ^ all)) / 8;
  }
#endif
  while (r < n && p[r] == s) ++r;
  return r;
}

// The eight bytes every PNG file starts with.
inline constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// The resolution every output declares.
constexpr double kOutputDpi = 96.0;

// Limits of single codecs (limits.cpp): bytes of stored TIFF samples;
// libjpeg's memory for an image of `samples` samples (pass the largest
// value while the size is not yet known); progressive JPEG scans.
size_t MaxSampleBytes();
long JpegMemoryLimit(uint64_t samples);
int MaxJpegScans();

// Whole-buffer zlib streams (deflate.cpp): libdeflate at its levels 1 to
// 12, our run-length coder (no level), or ISA-L's igzip at its levels 1 to
// 3 where the build has it (IsalBuilt). The CRC-32 of PNG chunks (start
// from 0).
enum class Deflater { kLibdeflate, kRuns, kIsal };
bool IsalBuilt();
// Writes the stream at `out`'s position, where the stream now ends; returns
// its bytes.
size_t Deflate(const uint8_t* data, size_t size, Deflater deflater, int level, MemoryStream& out);
// Our run-length coder (deflate_runs.cpp): matches at distance one only.
// It takes the data in pieces (the last one marked), runs going on across
// them, and writes the stream to `out` as it goes. Each piece ends a block,
// so pieces should be tens of KiB or more.
class RunsDeflater {
 public:
  explicit RunsDeflater(MemoryStream& out);
  void Add(const uint8_t* data, size_t size, bool last);

 private:
  MemoryStream& out_;
  std::vector<uint16_t> tokens_;
  std::vector<uint32_t> short_runs_;  // a block's short runs by byte and length
  uint64_t pending_ = 0;  // bits not yet written out, and how many
  uint32_t pending_bits_ = 0;
  uint32_t adler_ = 1;
  uint8_t last_ = 0;  // the byte before the next piece, when there is one
  bool has_last_ = false;
  bool done_ = false;
};
// ISA-L's igzip fed in pieces in the same way (deflate.cpp), its blocks
// running on across them; made only where IsalBuilt().
class IsalDeflater {
 public:
  IsalDeflater(MemoryStream& out, int level);
  ~IsalDeflater();
  IsalDeflater(const IsalDeflater&) = delete;
  IsalDeflater& operator=(const IsalDeflater&) = delete;
  void Add(const uint8_t* data, size_t size, bool last);

 private:
  struct State;
  MemoryStream& out_;
  std::unique_ptr<State> state_;
};
uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t size);
// Inflates a whole zlib stream with libdeflate: true only when the stream
// is sound, takes all of `size` and fills exactly `out_size` bytes.
bool Inflate(const uint8_t* data, size_t size, uint8_t* out, size_t out_size);
// The same for a stream of unknown length: true, with `out` its bytes, when
// it is sound, takes all of `size` and inflates to at most `cap` bytes.
bool InflateAtMost(const uint8_t* data, size_t size, size_t cap, std::vector<uint8_t>& out);

// The whole contents of a file (file_io.cpp).
struct FileBytes {
  Block data;
  size_t size = 0;
};
FileBytes ReadAllBytes(const char* path);

// Orientation and colour profile in the containers' own forms
// (metadata.cpp). A profile larger than kMaxIccBytes is ignored.
constexpr size_t kMaxIccBytes = size_t{16} << 20;
// The orientation (1 to 8) in the first IFD of an Exif block (a TIFF
// structure: byte order, 42, IFDs); 1 when it has none, or is damaged,
// truncated, out of range or given twice with different values.
int ExifOrientation(const uint8_t* data, size_t size);
// The smallest Exif block that holds `orientation`.
std::vector<uint8_t> ExifBlock(int orientation);
// Whether the bytes are an ICC profile as far as its header tells: at least
// the 128-byte header and a tag count, the length it declares, 'acsp' at
// offset 36, at most kMaxIccBytes.
bool PlausibleIcc(const uint8_t* data, size_t size);

// The 256-entry grey ramp with full alpha.
std::vector<Color> GreyRamp();
// True when `palette` is exactly the 256-entry grey ramp with full alpha.
bool IsGreyRamp(const std::vector<Color>& palette);

// Turns rows of 1-bit pixels (most significant bit first) into one byte a
// pixel, `zero` or `one`: eight pixels a table lookup.
class BitUnpacker {
 public:
  BitUnpacker(uint8_t zero, uint8_t one);
  void Row(const uint8_t* src, size_t width, uint8_t* dst) const;

 private:
  uint64_t spread_[256];  // each byte's eight pixels, first in the lowest address
};

// Whether every alpha byte (every `step` bytes from `offset`) of the rows is
// 255, for 8-bit samples.
bool AllOpaque8(const Bitmap& bitmap, size_t row_bytes, size_t offset, size_t step);

// Drops the alpha of BGRA rows in place, leaving BGR rows at the 24-bit
// stride (or, with `to_grey`, one byte a pixel taken from the blue one).
void DropAlpha8(Bitmap& bitmap, bool to_grey);
// The same for 16-bit samples (BGRA words to BGR words, kFormat48bppRgb).
bool AllOpaque16(const Bitmap& bitmap);
void DropAlpha16(Bitmap& bitmap);

}  // namespace pm
