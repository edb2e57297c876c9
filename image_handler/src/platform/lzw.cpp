#include "platform/lzw.h"

#include <algorithm>
#include <cstring>

#include "platform/codec.h"
#include "platform/quantize.h"

namespace pm {

namespace {

constexpr uint32_t kMaxCodeBits = 12;
// libtiff clears when the next entry would be 4094, giflib at 4095.
constexpr uint32_t kTiffTableFull = 4094;
constexpr uint32_t kGifTableFull = 4095;
constexpr int64_t kTiffCheckGap = 10000;
// Bounded chunks keep the worst-case output reservation small.
constexpr size_t kChunk = size_t{1} << 20;

// The bit writers. TIFF keeps its pending bits at the top of `acc`, GIF at
// the bottom; fewer than 8 are pending between calls. Each call stores 8
// bytes and keeps the whole ones, so there is no branch on how many bytes a
// code completes: the caller needs 8 bytes of room past the output.
inline void Store64(uint8_t* op, uint64_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  std::memcpy(op, &v, 8);
#else
  v = __builtin_bswap64(v);
  std::memcpy(op, &v, 8);
#endif
}

template <LzwStyle kStyle>
inline uint8_t* PutCode(uint8_t* op, uint64_t& acc, uint32_t& bits, uint32_t code, uint32_t width) {
  if constexpr (kStyle == LzwStyle::kTiff) {
    acc |= (static_cast<uint64_t>(code) << (63 - bits - width)) << 1;
    bits += width;
    Store64(op, __builtin_bswap64(acc));
    op += bits >> 3;
    acc <<= bits & ~7u;
  } else {
    acc |= static_cast<uint64_t>(code) << bits;
    bits += width;
    Store64(op, acc);
    op += bits >> 3;
    acc >>= bits & ~7u;
  }
  bits &= 7;
  return op;
}

// Writes `n` codes of one width, four to a store: at most 7 pending bits
// and four codes of up to 12 bits fit the 64-bit accumulator.
template <LzwStyle kStyle>
uint8_t* PutCodes(uint8_t* op, uint64_t& acc, uint32_t& bits, const uint16_t* codes, size_t n, uint32_t width) {
  size_t k = 0;
  for (; k + 4 <= n; k += 4) {
    if constexpr (kStyle == LzwStyle::kTiff) {
      for (size_t j = 0; j < 4; ++j) {
        bits += width;
        acc |= static_cast<uint64_t>(codes[k + j]) << (64 - bits);
      }
      Store64(op, __builtin_bswap64(acc));
      op += bits >> 3;
      acc <<= bits & ~7u;
    } else {
      for (size_t j = 0; j < 4; ++j) {
        acc |= static_cast<uint64_t>(codes[k + j]) << bits;
        bits += width;
      }
      Store64(op, acc);
      op += bits >> 3;
      acc >>= bits & ~7u;
    }
    bits &= 7;
  }
  for (; k < n; ++k) op = PutCode<kStyle>(op, acc, bits, codes[k], width);
  return op;
}

// libtiff's measure of compression: symbols per code bit, 24.8 fixed point.
inline int64_t TiffRatio(int64_t in_count, int64_t out_bits) {
  if (in_count > 0x7fffff) {
    const int64_t r = out_bits >> 8;
    return r == 0 ? 0x7fffffff : in_count / r;
  }
  return out_bits == 0 ? 0x7fffffff : (in_count << 8) / out_bits;
}

// The slot of prefix + symbol. The prefix is the previous step's result, so
// its part is one shift; the symbol's part, a multiplicative hash, is
// computed beside the lookup chain instead of on it. Both parts are under
// 2^bits (codes have 12 bits), so no mask is needed.
inline uint32_t Hash(uint32_t prefix, uint32_t symbol, uint32_t bits) {
  return (prefix << (bits - kMaxCodeBits)) ^ ((symbol * 0x9E3779B1u) >> (32 - bits));
}

}  // namespace

uint32_t RunSymbolsFor(const uint8_t* rows, size_t pitch, int width, int height, size_t colours) {
  if (colours <= 16) return static_cast<uint32_t>(colours);
  if (colours > LzwEncoder::kMaxRunSymbols || !MostlyRepeats(rows, pitch, width, height)) return 0;
  return static_cast<uint32_t>(colours);
}

LzwEncoder::LzwEncoder(LzwStyle style, int symbol_bits, uint32_t run_symbols, GifImageData* twin)
    : style_(style),
      twin_(style == LzwStyle::kTiff && symbol_bits == 8 ? twin : nullptr),
      symbol_bits_(static_cast<uint32_t>(std::clamp(symbol_bits, 2, 8))),
      symbol_mask_((1u << symbol_bits_) - 1),
      clear_code_(1u << symbol_bits_),
      width_(symbol_bits_ + 1),
      next_code_(clear_code_ + 2),
      table_(kTableSize, 0),
      pending_(size_t{1} << kMaxCodeBits) {
  const uint32_t symbols = std::min({run_symbols, kMaxRunSymbols, symbol_mask_ + 1});
  if (symbols > 0) {
    run_code_.assign(symbols * kRunStride, 0);
    run_longest_.assign(symbols, 1);
    run_symbol_.assign(size_t{1} << kMaxCodeBits, 0);
    run_length_.assign(size_t{1} << kMaxCodeBits, 0);
    for (uint32_t s = 0; s < symbols; ++s) {  // each symbol is its own run of one
      run_code_[s * kRunStride + 1] = static_cast<uint16_t>(s);
      run_symbol_[s] = static_cast<uint16_t>(s + 1);
      run_length_[s] = 1;
    }
  }
}

void LzwEncoder::ResetTable() {
  std::memset(table_.data(), 0, table_.size() * sizeof(uint32_t));
  width_ = symbol_bits_ + 1;
  next_code_ = clear_code_ + 2;
  std::fill(run_longest_.begin(), run_longest_.end(), 1);
}

// Keeps the run tables up to date with a new entry `code` for prefix + symbol.
void LzwEncoder::NoteEntry(uint32_t code, uint32_t prefix, uint32_t symbol) {
  if (run_symbol_[prefix] != symbol + 1) {
    run_symbol_[code] = 0;
    return;
  }
  // Only the symbol's longest run can be new when extended by the symbol.
  const uint32_t length = run_length_[prefix] + 1u;
  run_symbol_[code] = static_cast<uint16_t>(symbol + 1);
  run_length_[code] = static_cast<uint16_t>(length);
  run_code_[symbol * kRunStride + length] = static_cast<uint16_t>(code);
  run_longest_[symbol] = static_cast<uint16_t>(length);
}

void LzwEncoder::TwinCodes(const uint16_t* codes, size_t n, uint32_t entry) {
  GifImageData& t = *twin_;
  uint8_t* const start = t.bytes.Reserve(n * 2 + 8);
  uint8_t* op = start;
  while (n > 0) {
    // A GIF code is as wide as the entries made before it need: the codes
    // made at entries up to 1 << width have that width.
    size_t run = n;
    if (t.width < kMaxCodeBits) run = std::min<size_t>(n, (1u << t.width) - entry + 1);
    op = PutCodes<LzwStyle::kGif>(op, t.acc, t.bits, codes, run, t.width);
    codes += run;
    n -= run;
    entry += static_cast<uint32_t>(run);
    if (t.width < kMaxCodeBits && entry > 1u << t.width) ++t.width;
  }
  t.bytes.Commit(static_cast<size_t>(op - start));
}

void LzwEncoder::TwinClear() {
  GifImageData& t = *twin_;
  uint8_t* const start = t.bytes.Reserve(10);
  t.bytes.Commit(static_cast<size_t>(PutCode<LzwStyle::kGif>(start, t.acc, t.bits, clear_code_, t.width) - start));
  t.width = symbol_bits_ + 1;
}

void FinishGifImageData(GifImageData& gif) {
  uint8_t* const start = gif.bytes.Reserve(10);
  // 257: 8-bit symbols' end-of-information code.
  uint8_t* op = PutCode<LzwStyle::kGif>(start, gif.acc, gif.bits, 257, gif.width);
  if (gif.bits > 0) *op++ = static_cast<uint8_t>(gif.acc);
  gif.bytes.Commit(static_cast<size_t>(op - start));
  gif.acc = 0;
  gif.bits = 0;
}

uint32_t TiffStripRows(size_t row_bytes) {
  return std::max<uint32_t>(1, static_cast<uint32_t>(65536 / std::max<size_t>(1, row_bytes)));
}

bool GifFollowsTiffStrips(const Bitmap& bitmap) {
  if (bitmap.Format() != kFormat8bppIndexed) return false;
  const std::vector<Color> palette = bitmap.Palette();
  return palette.size() > 128 && !IsGreyRamp(palette);
}

void CodeGifAsTiffStrips(const uint8_t* base, size_t pitch, int width, int height, Bitmap* spends, GifImageData& gif) {
  const auto w = static_cast<size_t>(width);
  const uint32_t strip_rows = TiffStripRows(w);
  // The TIFF's strip is coded too, though not kept: libtiff's ratio check,
  // which decides the clears, counts its bits.
  LzwBytes strip;
  for (uint32_t row = 0; row < static_cast<uint32_t>(height); row += strip_rows) {
    const uint32_t rows = std::min(strip_rows, static_cast<uint32_t>(height) - row);
    // No run matching: for more than 128 colours RunSymbolsFor picks none.
    LzwEncoder lzw(LzwStyle::kTiff, 8, 0, &gif);
    strip.clear();
    for (uint32_t r = 0; r < rows; ++r) lzw.Add(base + static_cast<size_t>(row + r) * pitch, w, strip);
    lzw.Finish(strip);
    if (spends != nullptr) spends->Spend(0, static_cast<int32_t>(row + rows));
  }
  FinishGifImageData(gif);
}

SaveMemo::SaveMemo() = default;
SaveMemo::~SaveMemo() = default;

bool SaveMemo::HasGifData() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return gif_ != nullptr;
}

void SaveMemo::PutGifData(std::unique_ptr<GifImageData> data) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (gif_ == nullptr) gif_ = std::move(data);
}

std::unique_ptr<GifImageData> SaveMemo::TakeGifData() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return std::move(gif_);
}

void SaveMemo::Clear() { TakeGifData(); }

void LzwEncoder::Add(const uint8_t* data, size_t size, LzwBytes& out) {
  while (size > 0) {
    const size_t n = std::min(size, kChunk);
    if (style_ == LzwStyle::kTiff) {
      if (TracksRuns()) {
        AddChunk<LzwStyle::kTiff, true>(data, n, out);
      } else {
        AddChunk<LzwStyle::kTiff, false>(data, n, out);
      }
    } else if (TracksRuns()) {
      AddChunk<LzwStyle::kGif, true>(data, n, out);
    } else {
      AddChunk<LzwStyle::kGif, false>(data, n, out);
    }
    data += n;
    size -= n;
  }
}

template <LzwStyle kStyle, bool kRuns>
void LzwEncoder::AddChunk(const uint8_t* data, size_t size, LzwBytes& out) {
  // Each symbol emits at most one code (two bytes at 12 bits), plus a clear
  // code every few thousand codes and the opening one, and the writer's 8
  // bytes of room.
  const size_t start = out.size();
  out.resize(start + (size + size / 1024 + 4) * 2 + 8);
  uint8_t* const origin = out.data() + start;
  uint8_t* op = origin;
  uint64_t acc = acc_;
  uint32_t bits = acc_bits_;
  uint32_t width = width_;
  uint32_t next = next_code_;
  // TIFF symbols are whole bytes.
  const uint32_t mask = kStyle == LzwStyle::kTiff ? 0xFF : symbol_mask_;
  uint32_t* const table = table_.data();
  size_t i = 0;

  // TIFF only: the symbols read and code bits written since the last clear
  // follow from the position in the data and in the output, so the loop
  // keeps no counters for them: in_base + (symbols taken in this call) and
  // out_bits + written().
  auto written = [&]() { return static_cast<int64_t>(8 * static_cast<size_t>(op - origin) + bits); };
  int64_t in_base = in_count_;
  int64_t out_bits = out_bits_ - static_cast<int64_t>(bits);
  if (!started_) {
    op = PutCode<kStyle>(op, acc, bits, clear_code_, width);
    if (twin_ != nullptr) TwinClear();
    started_ = true;
  }
  uint32_t prefix = prefix_;
  if (prefix == kNoPrefix) prefix = data[i++] & mask;
  auto next_check = [&]() {  // the `i` at which libtiff's ratio check is due
    const int64_t at = checkpoint_ - in_base;
    return at < 0 ? size_t{0} : static_cast<size_t>(at);
  };
  size_t check_at = next_check();

  // The common step stores the pending code either way and counts it only
  // when the string is new, so the bit writer stays out of the loop that
  // chains one table lookup to the next. Whether the string extends is left
  // to a branch: where the processor guesses it, the next lookup starts
  // before this slot is read, which a select made of masks cannot do.
  // What happens once every few hundred codes (a wider code, a full table,
  // libtiff's ratio check) is tested against one limit on `next`.
  auto limit = [](uint32_t w) {
    if constexpr (kStyle == LzwStyle::kTiff) {
      return std::min<uint32_t>(kTiffTableFull, 1u << w);
    } else {
      return w < kMaxCodeBits ? 1u << w : kGifTableFull;
    }
  };
  uint32_t next_limit = limit(width);
  // The codes of a stretch of one width wait here and are written together
  // before anything that changes the width or reads the output's length.
  uint16_t* const pending = pending_.data();
  size_t count = 0;
  auto flush = [&]() {
    if constexpr (kStyle == LzwStyle::kTiff) {
      if (twin_ != nullptr) TwinCodes(pending, count, next - static_cast<uint32_t>(count));
    }
    op = PutCodes<kStyle>(op, acc, bits, pending, count, width);
    count = 0;
  };
  for (; i < size; ++i) {
    if constexpr (kRuns) {
      const uint32_t s = data[i] & mask;
      if (run_symbol_[prefix] == s + 1) {
        // The string so far is s repeated k times, and s comes next: the
        // table takes it on to the longest run of s, so count up to one
        // symbol more than that needs.
        const uint32_t k = run_length_[prefix];
        const uint32_t longest = run_longest_[s];
        const size_t want = std::min<size_t>(size - i, longest - k + 1);
        const size_t r = 1 + CountRun(data + i + 1, want - 1, static_cast<uint8_t>(s));
        if (r <= longest - k) {
          prefix = run_code_[s * kRunStride + k + r];
          i += r - 1;
          continue;
        }
        // Longer than any run in the table: the string becomes the longest,
        // and the step below adds it with one more s as a new entry.
        prefix = run_code_[s * kRunStride + longest];
        i += longest - k;
      }
    }
    const uint32_t symbol = data[i] & mask;
    const uint32_t key = prefix << 8 | symbol;
    uint32_t h = Hash(prefix, symbol, kTableBits);
    uint32_t slot = table[h];
    if (__builtin_expect((slot != 0) & ((slot >> kMaxCodeBits) != key), 0)) {
      do {
        h = (h + 1) & (kTableSize - 1);
        slot = table[h];
      } while (slot != 0 && (slot >> kMaxCodeBits) != key);
    }
    const bool miss = slot == 0;  // the string is new
    if constexpr (kStyle == LzwStyle::kGif) {
      if (__builtin_expect(miss & (next >= next_limit), 0)) {
        flush();
        op = PutCode<kStyle>(op, acc, bits, prefix, width);
        // The width grows when the next entry no longer fits; a full table
        // is cleared instead of taking the entry.
        if (width < kMaxCodeBits && next >= 1u << width) ++width;
        next_limit = limit(width);
        if (next >= kGifTableFull) {
          op = PutCode<kStyle>(op, acc, bits, clear_code_, width);
          ResetTable();
          width = width_;
          next = next_code_;
          next_limit = limit(width);
          prefix = symbol;
          continue;
        }
        table[h] = key << kMaxCodeBits | next;
        if constexpr (kRuns) NoteEntry(next, prefix, symbol);
        ++next;
        prefix = symbol;
        continue;
      }
    }
    pending[count] = static_cast<uint16_t>(prefix);
    count += miss;
    if constexpr (kRuns) {
      if (miss) NoteEntry(next, prefix, symbol);
    }
    table[h] = miss ? key << kMaxCodeBits | next : slot;
    next += miss;
    prefix = miss ? symbol : slot & ((1u << kMaxCodeBits) - 1);
    if constexpr (kStyle == LzwStyle::kTiff) {
      if (__builtin_expect((next >= next_limit) | (miss & (i + 1 >= check_at)), 0)) {
        flush();
        const int64_t in_now = in_base + static_cast<int64_t>(i) + 1;
        bool clear = false;
        if (next == kTiffTableFull) {
          clear = true;
        } else if (next >= 1u << width) {
          ++width;  // one code before it must: libtiff's decoder expects it
        } else {
          // Every 10000 symbols the ratio of symbols to code bits is
          // checked; when it has not improved, the table is cleared.
          checkpoint_ = in_now + kTiffCheckGap;
          const int64_t ratio = TiffRatio(in_now, out_bits + written());
          if (ratio <= ratio_) {
            clear = true;
          } else {
            ratio_ = ratio;
          }
        }
        if (clear) {
          ratio_ = 0;
          // Both counts restart; the clear code's own bits are counted.
          in_base = -static_cast<int64_t>(i) - 1;
          out_bits = -written();
          op = PutCode<kStyle>(op, acc, bits, clear_code_, width);
          if (twin_ != nullptr) TwinClear();
          ResetTable();
          width = width_;
          next = next_code_;
        }
        check_at = next_check();
        next_limit = limit(width);
      }
    }
  }

  flush();
  prefix_ = prefix;
  in_count_ = in_base + static_cast<int64_t>(size);
  out_bits_ = out_bits + written();
  acc_ = acc;
  acc_bits_ = bits;
  width_ = width;
  next_code_ = next;
  out.resize(static_cast<size_t>(op - out.data()));
}

void LzwEncoder::Finish(LzwBytes& out) {
  const size_t start = out.size();
  out.resize(start + 24);
  uint8_t* op = out.data() + start;
  uint64_t acc = acc_;
  uint32_t bits = acc_bits_;
  uint32_t width = width_;
  const bool tiff = style_ == LzwStyle::kTiff;
  auto put = [&](uint32_t code) {
    op = tiff ? PutCode<LzwStyle::kTiff>(op, acc, bits, code, width)
              : PutCode<LzwStyle::kGif>(op, acc, bits, code, width);
  };
  if (!started_) {
    put(clear_code_);
    if (twin_ != nullptr) TwinClear();
  }
  if (prefix_ != kNoPrefix) {
    put(prefix_);
    if (twin_ != nullptr) {
      const auto code = static_cast<uint16_t>(prefix_);
      TwinCodes(&code, 1, next_code_);
    }
    // The decoder makes an entry for this code too: the width follows it.
    if (tiff) {
      const uint32_t next = next_code_ + 1;
      if (next == kTiffTableFull) {
        put(clear_code_);
        width = symbol_bits_ + 1;
      } else if (next > (1u << width) - 1) {
        ++width;
      }
    } else if (next_code_ >= (1u << width) && width < kMaxCodeBits) {
      ++width;
    }
  }
  put(clear_code_ + 1);
  if (bits > 0) {
    *op++ = tiff ? static_cast<uint8_t>(acc >> 56) : static_cast<uint8_t>(acc);
  }
  out.resize(static_cast<size_t>(op - out.data()));
  started_ = true;
  prefix_ = kNoPrefix;
  acc_ = 0;
  acc_bits_ = 0;
}

}  // namespace pm
