// LZW coding for the two containers that use it. TIFF packs codes from the
// most significant bit and widens them one code early; GIF packs them from
// the least significant bit and widens them when the table needs it. Both
// follow the code sequence of the reference encoders (libtiff, giflib), so
// that every decoder that reads their files reads these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "platform/imaging.h"

namespace pm {

enum class LzwStyle { kTiff, kGif };

// The coder's output: a vector that leaves what it grows by unset. The
// coder takes room for a chunk's worst case (twice its symbols) and keeps
// only what it wrote, so zeroing that room was pure cost on every row.
template <typename T>
struct UnsetAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UnsetAllocator<U>;
  };
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};
using LzwBytes = std::vector<uint8_t, UnsetAllocator<uint8_t>>;

// The run_symbols for indices of `colours` colours, `width` a row and
// `pitch` apart: all of them up to 16 colours (scans, charts), and up to
// kMaxRunSymbols when the rows are mostly repeats (graphics); otherwise
// none.
uint32_t RunSymbolsFor(const uint8_t* rows, size_t pitch, int width, int height, size_t colours);

// A GIF image's data coded beside TIFF strips of the same 8-bit indices:
// the strips' code sequence packed GIF's way, one clear code where each
// strip starts and one end code at the close. TIFF clears its table at
// 4094 entries and when its ratio check says so; a GIF decoder takes a
// clear code anywhere, so one LZW pass serves both files.
struct GifImageData {
  MemoryStream bytes;  // grows by moving its pages, not copying them
  uint64_t acc = 0;  // bits not yet written out, as the GIF writer keeps them
  uint32_t bits = 0;
  uint32_t width = 9;  // of the next code
};
// Appends the end-of-information code and the last bits.
void FinishGifImageData(GifImageData& gif);
// The rows of a TIFF strip of `row_bytes` bytes a row: about 64 KiB a strip
// keeps the encoder's buffers small.
uint32_t TiffStripRows(size_t row_bytes);
// Whether a bitmap's GIF image data follows its TIFF strips' codes: 8-bit
// palette images that are not grey (a grey TIFF codes differences) and use
// all 8 bits of a GIF code.
bool GifFollowsTiffStrips(const Bitmap& bitmap);
// Codes into `gif` (new) the image data of such a bitmap's indices, `pitch`
// apart, as its TIFF strips are coded (without a TIFF to write). `spends`
// is spent as they go.
void CodeGifAsTiffStrips(const uint8_t* base, size_t pitch, int width, int height, Bitmap* spends, GifImageData& gif);

class LzwEncoder {
 public:
  // symbol_bits: 8 for TIFF; the GIF minimum code size (2 to 8). Symbols
  // are masked to symbol_bits, as giflib does. Runs of each symbol below
  // run_symbols (at most kMaxRunSymbols) are matched in one step, which pays
  // where they are long (flat areas, graphics, scans) and costs a sixth to
  // a third more time on noisy data.
  // `twin`, for TIFF's 8-bit symbols only, also takes the codes GIF's way
  // (see GifImageData); a new encoder for each strip adds to the same one.
  LzwEncoder(LzwStyle style, int symbol_bits, uint32_t run_symbols = 0, GifImageData* twin = nullptr);
  static constexpr uint32_t kMaxRunSymbols = 64;

  // Appends the codes of `size` more symbols to `out`, starting with a clear
  // code on the first call.
  void Add(const uint8_t* data, size_t size, LzwBytes& out);
  // Appends the pending string, the end-of-information code and the last
  // bits, padded to a byte. The encoder is spent afterwards.
  void Finish(LzwBytes& out);

 private:
  template <LzwStyle kStyle, bool kRuns>
  void AddChunk(const uint8_t* data, size_t size, LzwBytes& out);
  void ResetTable();
  void NoteEntry(uint32_t code, uint32_t prefix, uint32_t symbol);
  // The twin's codes: `n` codes, the first made when the table's next entry
  // was `entry` (its width follows from that), and its clear code.
  void TwinCodes(const uint16_t* codes, size_t n, uint32_t entry);
  void TwinClear();

  static constexpr uint32_t kNoPrefix = 0xffffffff;
  static constexpr uint32_t kTableBits = 15;
  static constexpr uint32_t kTableSize = 1u << kTableBits;

  LzwStyle style_;
  GifImageData* twin_;
  uint32_t symbol_bits_;
  uint32_t symbol_mask_;
  uint32_t clear_code_;
  uint32_t width_;               // bits of the next code
  uint32_t next_code_;           // the next table entry to assign
  uint32_t prefix_ = kNoPrefix;  // the code of the string matched so far
  bool started_ = false;
  // TIFF: libtiff also clears the table when the compression stops
  // improving, checked every 10000 symbols; these follow that test.
  int64_t in_count_ = 0;
  int64_t out_bits_ = 0;
  int64_t checkpoint_ = 10000;
  int64_t ratio_ = 0;
  uint64_t acc_ = 0;  // bits not yet written out
  uint32_t acc_bits_ = 0;
  // Open addressing on (prefix << 8 | symbol): each slot holds that key in
  // its top 20 bits and the entry's code in the low 12; 0 is empty (no
  // entry has code 0). Under 4096 entries in 32768 slots: a probe past
  // the first slot is a branch the processor mispredicts, so the table is
  // kept under an eighth full, which still fits the L2 cache.
  std::vector<uint32_t> table_;
  // Codes not yet written (AddChunk writes them out whenever the width
  // may change): each adds an entry, so there are fewer than 4096.
  std::vector<uint16_t> pending_;
  // Graphics and scans are mostly runs of one index, and TIFF's predicted
  // rows of flat areas runs of 0. The entries
  // that are such runs (s, ss, sss, ...) are kept by symbol and length, so
  // that a run is matched with one look at the data instead of one lookup
  // a symbol. A symbol's runs are in the table for every length from 1 to
  // its longest.
  bool TracksRuns() const { return !run_longest_.empty(); }
  std::vector<uint16_t> run_code_;     // [symbol * kRunStride + length]
  std::vector<uint16_t> run_longest_;  // [symbol]
  std::vector<uint16_t> run_symbol_;   // [code]: symbol + 1 when a run, else 0
  std::vector<uint16_t> run_length_;   // [code]
  static constexpr uint32_t kRunStride = 4097;
};

}  // namespace pm
