// The imaging platform layer: decoded and blank bitmaps, their palettes and
// row locks, the five containers' decoders and encoders, and whole-file I/O.
// The loader and the saver see the codec libraries only through this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace pm {

// Pixel format codes. The three the library carries end to end, the 48-bit
// one it loads but cannot save, and the natural formats of files it refuses.
enum PixelFormat : int32_t {
  kFormatUndefined = 0,                // no equivalent (float, Lab, LogLuv, ...)
  kFormat1bppIndexed = 0x30101,        // 196865
  kFormat4bppIndexed = 0x30402,        // 197634
  kFormat8bppIndexed = 0x30803,        // 198659
  kFormat16bppGrayScale = 0x101004,    // 1052676
  kFormat24bppRgb = 0x21808,           // 137224
  kFormat32bppArgb = 0x26200A,         // 2498570
  kFormat32bppCMYK = 0x200F,           // 8207
  kFormat48bppRgb = 0x10300C,          // 1060876
  kFormat64bppArgb = 0x34400D,         // 3424269
};

// Bits per pixel of a format code (0 for kFormatUndefined).
inline int BitsPerPixel(PixelFormat format) { return (static_cast<int32_t>(format) >> 8) & 0xFF; }

struct Color {
  uint8_t r, g, b, a;
  bool operator==(const Color& o) const { return r == o.r && g == o.g && b == o.b && a == o.a; }
};

// A failure of the platform layer. Its text is the cause alone; the kind
// says how the loader or saver puts the file's name to it (WithName).
class Error : public std::runtime_error {
 public:
  enum class Kind {
    kData,        // 'F': cause (damaged or refused content, sizes, memory)
    kNotAnImage,  // 'F' cause
    kOpen,        // Cannot open 'F': cause
    kRead,        // Cannot read 'F': cause
    kReadMemory,  // Out of memory reading 'F'[: cause]
    kWrite,       // Cannot write 'F': cause
  };
  explicit Error(const std::string& cause, Kind kind = Kind::kData) : std::runtime_error(cause), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// The error's text for the user: its cause with the file's name, placed as
// its kind says.
std::string WithName(const Error& error, const std::string& name);

// Size arithmetic that refuses instead of wrapping.
size_t CheckedMul(size_t a, size_t b);
size_t CheckedAdd(size_t a, size_t b);

// Bytes of one locked row: bits rounded up to bytes, then to a multiple of 4.
// Refuses (Error) when the result does not fit in size_t.
size_t RowStride(int32_t width, int bits_per_pixel);

// The limits (limits.cpp says what each bounds and why). CheckBitmapSize
// refuses (Error "Image too large: ...") a size <= 0, or a bitmap whose
// pixels the record's planes (MaxRecordBytes() in all) or a bitmap block
// (MaxBitmapBytes()) cannot hold, without allocating anything; decoders call
// it from the header. SetRecordByteLimit lowers the record's limit for the
// whole process (0 restores it).
size_t MaxRecordBytes();
void SetRecordByteLimit(size_t bytes);

// The record's size rule, the one every layer applies: the bytes of one
// plane (a byte a sample up to 8 bits, 1-bit records too, two up to 16) and
// of the whole block (the planes, rounded up to 4), in 64 bits, which cannot
// wrap. `fits` is false when the geometry is invalid (a negative size, bits
// outside 1 ... 16, channels outside 1 ... 4; `block` is then UINT64_MAX) or
// the block exceeds MaxRecordBytes().
struct RecordSize {
  uint64_t plane = 0;
  uint64_t block = UINT64_MAX;
  bool fits = false;
};
RecordSize SizeOfRecord(int32_t width, int32_t height, int32_t bit, int32_t channel);
size_t MaxBitmapBytes();
void CheckBitmapSize(int32_t width, int32_t height, PixelFormat format);

// Memory (memory.cpp, which says why): an owned block of bytes, from malloc
// or, for large ones (kHugePage / 4 and up), an anonymous mapping of its own
// on whole huge pages, which reads as zeros, costs no resident memory until
// written and goes back to the system when released. AllocBlock zero-fills
// small blocks when asked, and refuses (Error) when there is no room.
constexpr size_t kHugePage = size_t{2} << 20;
struct BlockDeleter {
  size_t mapped = 0;  // the mapping's bytes; 0 for malloc's blocks
  bool borrowed = false;  // someone else's bytes: nothing to free
  void operator()(uint8_t* p) const;
};
using Block = std::unique_ptr<uint8_t, BlockDeleter>;
Block AllocBlock(size_t bytes, bool zeroed);
// Makes `block` (empty, or from AllocBlock or GrowBlock) a mapping of at
// least `bytes` holding its first `used` bytes: the mapping's pages move to
// the new one where the kernel allows, and are copied otherwise. False,
// with `block` as it was, when there is no room.
bool GrowBlock(Block& block, size_t used, size_t bytes);
// Gives the whole huge pages among bytes [begin, end) of a mapped block back
// to the system: bytes no one will read again. They read as zeros after.
// Blocks from malloc keep theirs.
void ReleasePages(Block& block, size_t begin, size_t end);
// A block free() releases; a large one starts on a huge page and is advised
// whole. Null when there is no room.
void* MallocHuge(size_t bytes);

// What a picture carries besides its pixels that changes how it looks: the
// turn or flip that shows it upright (the Exif orientation, 1 to 8, 1 for
// none) and its ICC colour profile (empty for none). Pixels are never turned.
struct Metadata {
  int orientation = 1;
  std::vector<uint8_t> icc;
};

class Bitmap {
 public:
  // A blank bitmap. Indexed formats get a 2- (1-bit) or 256-entry (8-bit)
  // palette: black and white, or the grey ramp. Refuses sizes <= 0 and
  // blocks above MaxBitmapBytes().
  Bitmap(int32_t width, int32_t height, PixelFormat format);

  Bitmap(Bitmap&&) noexcept = default;
  Bitmap& operator=(Bitmap&&) noexcept = default;
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;

  int32_t Width() const { return width_; }
  int32_t Height() const { return height_; }
  PixelFormat Format() const { return format_; }
  size_t Stride() const { return stride_; }

  // A copy of the palette (empty for formats without one).
  std::vector<Color> Palette() const { return palette_; }
  // Replaces the palette. Refuses more entries than the format holds.
  void SetPalette(const std::vector<Color>& palette);

  // The rows, top row first, Stride() bytes apart, in the bitmap's own format
  // (24-bit pixels blue, green, red; 1-bit rows first pixel in the MSB),
  // for the loader or saver to copy; until UnlockBits they are theirs alone.
  uint8_t* LockBits();
  void UnlockBits();

  // Row access for the codecs. Refused (Error) while the rows are locked:
  // a bitmap is encoded only once the saver has finished packing it.
  uint8_t* Row(int32_t y) {
    if (locked_) throw Error("Bitmap is locked");
    return bits_.get() + static_cast<size_t>(y) * stride_;
  }
  const uint8_t* Row(int32_t y) const {
    if (locked_) throw Error("Bitmap is locked");
    return bits_.get() + static_cast<size_t>(y) * stride_;
  }

  // Rows [first, end) will not be read again (the encoders take the bitmap
  // as spent): once a span from the top or up to the bottom covers whole
  // huge pages, they go back to the system, so that a large file can grow
  // in memory while the rows it is made from shrink. Spent rows read as
  // zeros; other spans are kept.
  void Spend(int32_t first, int32_t end);
  // Changes the format of a decoded bitmap to one with fewer bits per pixel
  // in place (used after dropping an alpha channel that is opaque
  // everywhere). The rows keep their start addresses' order; the caller has
  // already packed them at the new stride.
  void Narrow(PixelFormat format);

  // For a decoder that has laid the rows out at Stride() in a block of its
  // own (at least Stride() * Height() bytes, padding zeroed, from AllocBlock):
  // the bitmap takes that block as its rows and frees its own, untouched one.
  void AdoptRows(Block rows);
  // A bitmap with a size and format but no pixels, made by decoders for
  // formats they report but do not decode.
  static Bitmap Header(int32_t width, int32_t height, PixelFormat format);
  // A bitmap over rows that belong to the caller, top row first, laid out
  // as the format's own (RowStride apart), which must outlive it. Nothing
  // is copied; the encoders only read the rows, and spending them gives
  // nothing back. For the saver, whose 8-bit records already hold rows so.
  static Bitmap View(int32_t width, int32_t height, PixelFormat format, const uint8_t* rows);
  // False for a header-only bitmap.
  bool HasPixels() const { return static_cast<bool>(bits_); }

  // Set by the decoders from the file, read by the encoders.
  Metadata& Meta() { return meta_; }
  const Metadata& Meta() const { return meta_; }

 private:
  Bitmap() = default;
  int32_t width_ = 0;
  int32_t height_ = 0;
  PixelFormat format_ = kFormatUndefined;
  size_t stride_ = 0;
  size_t capacity_ = 0;  // palette entries the format holds
  std::vector<Color> palette_;
  Block bits_;
  size_t spent_top_ = 0;            // bytes given back from the start
  size_t spent_bottom_ = SIZE_MAX;  // and from here to the end
  bool locked_ = false;
  Metadata meta_;
};

// 24-bit rows hold their pixels blue, green, red: where each sample sits in
// a pixel is written here alone. Split and join move `pixels` pixels
// between a row and three planes (red, green, blue); SwapRedBlue turns blue,
// green, red into red, green, blue or back. The ranges must not overlap.
constexpr int kBlueByte = 0, kGreenByte = 1, kRedByte = 2;
void SplitBgr(const uint8_t* row, size_t pixels, uint8_t* red, uint8_t* green, uint8_t* blue);
void JoinBgr(const uint8_t* red, const uint8_t* green, const uint8_t* blue, size_t pixels, uint8_t* row);
void SwapRedBlue(const uint8_t* src, size_t pixels, uint8_t* dst);

// The vector loops that gain from AVX2's byte shuffles and wider lanes are
// built twice from one body: plainly, and for AVX2 (PM_AVX2 on a function,
// x86 only). UseAvx2() says which build runs: the AVX2 one where the
// processor has it, unless ForcePlainBuilds(true), with which the tests
// check that both builds give the same bytes.
bool UseAvx2();
void ForcePlainBuilds(bool plain);
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define PM_AVX2_BUILDS 1
#define PM_AVX2 [[gnu::target("avx2"), gnu::flatten]]
// Calls NamePlain or NameAvx2 with the arguments.
#define PM_BUILD_CALL(name, ...) (UseAvx2() ? name##Avx2(__VA_ARGS__) : name##Plain(__VA_ARGS__))
#else
#define PM_AVX2_BUILDS 0
#define PM_BUILD_CALL(name, ...) name##Plain(__VA_ARGS__)
#endif

// Decoding. The container is recognised by its signature.
Bitmap DecodeFile(const char* path);
Bitmap DecodeMemory(const uint8_t* data, size_t size);

// Encoding into memory.
enum class Container { kJpeg = 0, kPng = 1, kTiff = 2, kGif = 3, kBmp = 4 };

// A growable output buffer for encoders: a block grown by GrowBlock, whose
// pages move instead of being copied, and which returns them to the system
// at once when freed (heap blocks of a few MiB would stay resident after the
// save).
class MemoryStream {
 public:
  MemoryStream() = default;
  MemoryStream(const MemoryStream&) = delete;
  MemoryStream& operator=(const MemoryStream&) = delete;
  // Writes at the current position and moves it on; grows as needed.
  void Write(const void* data, size_t size);
  // Room for `size` bytes at the current position, for a coder that writes
  // there itself; Commit(n) then takes the first n of them, and the stream
  // ends after them.
  uint8_t* Reserve(size_t size);
  void Commit(size_t size);
  uint8_t* Data() { return data_.get(); }
  const uint8_t* Data() const { return data_.get(); }
  size_t Size() const { return size_; }
  // Writes go to the current position, which may be moved back over bytes
  // already written (TIFF patches its offsets) or past the end (the gap reads
  // as zeros).
  void Seek(size_t pos) { pos_ = pos; }
  size_t Tell() const { return pos_; }

 private:
  Block data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
  size_t pos_ = 0;
};

// The installed encoders, each with its MIME type.
struct EncoderInfo {
  const char* mime_type;
  Container container;
};
const std::vector<EncoderInfo>& GetImageEncoders();

// What a save leaves for a later save of the same picture. An 8-bit palette
// picture's TIFF strips and its GIF are coded from one LZW code sequence,
// so the TIFF encoder also packs it GIF's way and leaves it here, and the
// GIF encoder takes it instead of coding the indices again. Its owner keeps
// one for every picture whose pixels do not change between saves; saves on
// several threads take turns at it.
struct GifImageData;
class SaveMemo {
 public:
  SaveMemo();
  ~SaveMemo();
  SaveMemo(const SaveMemo&) = delete;
  SaveMemo& operator=(const SaveMemo&) = delete;
  bool HasGifData();
  // Keeps `data` unless it holds some already.
  void PutGifData(std::unique_ptr<GifImageData> data);
  // What it holds (null for nothing), which it then no longer holds.
  std::unique_ptr<GifImageData> TakeGifData();
  void Clear();

 private:
  std::mutex mutex_;
  std::unique_ptr<GifImageData> gif_;
};

// Encodes into `out`; `quality` (0 ... 100) is used by JPEG only. The
// bitmap is spent: its rows may be given back as they are coded (Spend).
// `memo`, when given, must belong to this picture's pixels and palette.
void Encode(Bitmap& bitmap, Container container, int quality, MemoryStream& out, SaveMemo* memo = nullptr);

// Encodes as Encode does and writes the file as WriteAllBytes does. A BMP
// of rows of 1 KiB or more goes out straight from the bitmap's rows,
// without a copy of the file in memory: its rows are the file's.
void SaveFile(const char* path, Bitmap&& bitmap, Container container, int quality, SaveMemo* memo = nullptr);

// Writes `size` bytes to `path` as a plain write may: a regular file is
// replaced whole through a file beside it that gets the name only when
// complete; devices, pipes, hard-linked files and files in a directory the
// caller may not write are written in place. Refuses (Error of kind kWrite)
// what a plain write would refuse, before anything is created.
void WriteAllBytes(const char* path, const uint8_t* data, size_t size);
// The same for a file made of `count` pieces, written in their order:
// piece i is at(context, i). Nothing holds them all at once.
struct Piece {
  const uint8_t* data;
  size_t size;
};
struct Pieces {
  size_t count;
  Piece (*at)(const void* context, size_t i);
  const void* context;
};
void WriteAllPieces(const char* path, const Pieces& pieces);

}  // namespace pm
