// A run-length deflate encoder: the only matches are runs of the byte
// before (distance one), as with zlib's Z_RLE strategy, coded in dynamic
// Huffman blocks (or stored ones where those are smaller). Runs are found
// eight bytes at a time and the bits go out 32 at a time, and each block
// codes its short runs as literals where that is smaller: on noisy
// filtered rows it gives zlib's sizes in about half zlib's time, on smooth
// ones a tenth less than zlib.
#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>

#include "platform/codec.h"

namespace pm {

namespace {

constexpr size_t kBlockSymbols = size_t{1} << 15;  // symbols a block, as zlib's largest buffer
constexpr uint32_t kMinMatch = 3, kMaxMatch = 258;
constexpr int kLitLenCodes = 286, kCodeLenCodes = 19;
constexpr int kMaxBits = 15, kMaxCodeLenBits = 7;
constexpr uint32_t kEndOfBlock = 256;
constexpr uint16_t kMatchFlag = 0x8000;  // a token: a literal byte, or this | run length
constexpr size_t kStoredMax = 65535;

// The length symbol (257 to 285) of each run length, its extra bits and
// their value.
struct LengthCode {
  uint16_t symbol;
  uint8_t extra_bits;
  uint8_t extra;
};

// The first length of each length symbol, and its extra bits.
constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

std::array<LengthCode, kMaxMatch + 1> MakeLengthCodes() {
  std::array<LengthCode, kMaxMatch + 1> codes{};
  for (int c = 0; c < 29; ++c) {
    const uint32_t end = c == 28 ? kMaxMatch + 1 : kLengthBase[c + 1];
    for (uint32_t len = kLengthBase[c]; len < end && len <= kMaxMatch; ++len) {
      codes[len] = {static_cast<uint16_t>(257 + c), kLengthExtra[c], static_cast<uint8_t>(len - kLengthBase[c])};
    }
  }
  return codes;
}

const std::array<LengthCode, kMaxMatch + 1>& LengthCodes() {
  static const std::array<LengthCode, kMaxMatch + 1> codes = MakeLengthCodes();
  return codes;
}

// Bits out least significant first; at most 32 a call, stored four whole
// bytes at a time.
class BitWriter {
 public:
  // `acc` and `count` carry bits not yet written from an earlier writer.
  BitWriter(uint8_t* out, uint64_t acc, uint32_t count) : out_(out), acc_(acc), count_(count) {}
  void Put(uint32_t bits, uint32_t count) {
    acc_ |= static_cast<uint64_t>(bits) << count_;
    count_ += count;
    if (count_ >= 32) {
      StoreLe32(out_, static_cast<uint32_t>(acc_));
      out_ += 4;
      acc_ >>= 32;
      count_ -= 32;
    }
  }
  // Pads to a whole byte and writes out what is pending.
  void Align() {
    while (count_ > 0) {
      *out_++ = static_cast<uint8_t>(acc_);
      acc_ >>= 8;
      count_ = count_ >= 8 ? count_ - 8 : 0;
    }
    acc_ = 0;
  }
  void PutBytes(const uint8_t* data, size_t size) {
    if (size == 0) return;  // an empty input may come without a buffer
    std::memcpy(out_, data, size);
    out_ += size;
  }
  uint8_t* Position() const { return out_; }
  uint64_t Pending() const { return acc_; }
  uint32_t PendingBits() const { return count_; }

 private:
  uint8_t* out_;
  uint64_t acc_ = 0;
  uint32_t count_ = 0;
};

// Code lengths of at most `max_bits` for the `n` symbols' counts: a
// Huffman code, with (a copy of) the counts halved and the code built again
// while it is too deep. At least two symbols get a length (a complete code,
// which every inflater takes).
void CodeLengths(const uint32_t* counts, int n, int max_bits, uint8_t* lengths) {
  uint32_t freq[kLitLenCodes];
  std::copy(counts, counts + n, freq);
  int used = 0;
  for (int i = 0; i < n; ++i) used += freq[i] != 0;
  for (int i = 0; used < 2; ++i) {
    if (freq[i] == 0) {
      freq[i] = 1;
      ++used;
    }
  }
  // Leaves first, then inner nodes; the two smallest are merged each time
  // from the sorted leaves and the (already sorted) inner nodes.
  uint32_t weight[2 * kLitLenCodes];
  int parent[2 * kLitLenCodes];
  int symbol[kLitLenCodes];
  while (true) {
    int leaves = 0;
    for (int i = 0; i < n; ++i) {
      if (freq[i] != 0) symbol[leaves++] = i;
    }
    std::sort(symbol, symbol + leaves, [&](int a, int b) { return freq[a] != freq[b] ? freq[a] < freq[b] : a < b; });
    for (int k = 0; k < leaves; ++k) weight[k] = freq[symbol[k]];
    int next_leaf = 0, next_inner = leaves, inner_end = leaves;
    auto take = [&]() {
      if (next_leaf < leaves && (next_inner == inner_end || weight[next_leaf] <= weight[next_inner])) return next_leaf++;
      return next_inner++;
    };
    for (int merged = 0; merged < leaves - 1; ++merged) {
      const int a = take(), b = take();
      weight[inner_end] = weight[a] + weight[b];
      parent[a] = parent[b] = inner_end;
      ++inner_end;
    }
    // Depths from the root (the last node) down.
    int depth[2 * kLitLenCodes];
    depth[inner_end - 1] = 0;
    int deepest = 0;
    for (int k = inner_end - 2; k >= 0; --k) {
      depth[k] = depth[parent[k]] + 1;
      if (k < leaves) deepest = std::max(deepest, depth[k]);
    }
    if (deepest <= max_bits) {
      std::fill(lengths, lengths + n, 0);
      for (int k = 0; k < leaves; ++k) lengths[symbol[k]] = static_cast<uint8_t>(depth[k]);
      return;
    }
    for (int i = 0; i < n; ++i) {
      if (freq[i] != 0) freq[i] = std::max<uint32_t>(1, freq[i] / 2);
    }
  }
}

// Canonical codes for the lengths, bit-reversed for the least significant
// first writer.
void CanonicalCodes(const uint8_t* lengths, int n, uint16_t* codes) {
  uint16_t count[kMaxBits + 1] = {};
  for (int i = 0; i < n; ++i) ++count[lengths[i]];
  count[0] = 0;
  uint16_t next[kMaxBits + 1] = {};
  uint32_t code = 0;
  for (int bits = 1; bits <= kMaxBits; ++bits) {
    code = (code + count[bits - 1]) << 1;
    next[bits] = static_cast<uint16_t>(code);
  }
  for (int i = 0; i < n; ++i) {
    const int len = lengths[i];
    if (len == 0) continue;
    uint32_t c = next[len]++, reversed = 0;
    for (int b = 0; b < len; ++b, c >>= 1) reversed = (reversed << 1) | (c & 1);
    codes[i] = static_cast<uint16_t>(reversed);
  }
}

// One block's dynamic header: the literal/length and distance code lengths,
// themselves run-length coded (16: repeat the last 3-6 times, 17: 3-10
// zeros, 18: 11-138 zeros) with their own Huffman code.
struct Header {
  int hlit = 257, hclen = 4;
  uint8_t cl_lengths[kCodeLenCodes] = {};
  uint16_t cl_codes[kCodeLenCodes] = {};
  uint8_t ops[kLitLenCodes + 2];  // code length symbols
  uint8_t extra[kLitLenCodes + 2];
  int op_count = 0;
  uint64_t bits = 0;  // the header's size
};

constexpr uint8_t kCodeLenOrder[kCodeLenCodes] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
constexpr int kDistCodes = 2;  // distance one's code and a second, for a complete code
constexpr uint8_t kDistLengths[kDistCodes] = {1, 1};

Header MakeHeader(const uint8_t* ll_lengths) {
  Header h;
  h.hlit = kLitLenCodes;
  while (h.hlit > 257 && ll_lengths[h.hlit - 1] == 0) --h.hlit;
  uint8_t all[kLitLenCodes + kDistCodes];
  std::memcpy(all, ll_lengths, static_cast<size_t>(h.hlit));
  std::memcpy(all + h.hlit, kDistLengths, kDistCodes);
  const int total = h.hlit + kDistCodes;
  uint32_t freq[kCodeLenCodes] = {};
  auto op = [&](int code, int extra) {
    h.ops[h.op_count] = static_cast<uint8_t>(code);
    h.extra[h.op_count++] = static_cast<uint8_t>(extra);
    ++freq[code];
  };
  for (int i = 0; i < total;) {
    const uint8_t v = all[i];
    int run = 1;
    while (i + run < total && all[i + run] == v) ++run;
    if (v == 0 && run >= 3) {
      run = std::min(run, 138);
      if (run >= 11) {
        op(18, run - 11);
      } else {
        op(17, run - 3);
      }
      i += run;
      continue;
    }
    op(v, 0);
    int rest = v == 0 ? 0 : run - 1;
    i += 1;
    while (rest >= 3) {
      const int k = std::min(rest, 6);
      op(16, k - 3);
      rest -= k;
      i += k;
    }
  }
  CodeLengths(freq, kCodeLenCodes, kMaxCodeLenBits, h.cl_lengths);
  CanonicalCodes(h.cl_lengths, kCodeLenCodes, h.cl_codes);
  h.hclen = kCodeLenCodes;
  while (h.hclen > 4 && h.cl_lengths[kCodeLenOrder[h.hclen - 1]] == 0) --h.hclen;
  h.bits = 5 + 5 + 4 + 3 * static_cast<uint64_t>(h.hclen);
  for (int k = 0; k < h.op_count; ++k) {
    const int c = h.ops[k];
    h.bits += h.cl_lengths[c] + (c == 16 ? 2 : c == 17 ? 3 : c == 18 ? 7 : 0);
  }
  return h;
}

void WriteHeader(const Header& h, BitWriter& w) {
  w.Put(static_cast<uint32_t>(h.hlit - 257), 5);
  w.Put(kDistCodes - 1, 5);
  w.Put(static_cast<uint32_t>(h.hclen - 4), 4);
  for (int k = 0; k < h.hclen; ++k) w.Put(h.cl_lengths[kCodeLenOrder[k]], 3);
  for (int k = 0; k < h.op_count; ++k) {
    const int c = h.ops[k];
    w.Put(h.cl_codes[c], h.cl_lengths[c]);
    if (c >= 16) w.Put(h.extra[k], c == 16 ? 2 : c == 17 ? 3 : 7);
  }
}

// The shortest run a block may code as a run (a length and distance one),
// tried in turn. On smooth filtered rows most bytes are 0 and a 0 literal
// costs one or two bits, so a run of a few of them is smaller as literals
// than as a length and distance; on noisy rows literals cost six or more
// and every run of three pays. Each block takes the one that codes it in
// the fewest bits.
constexpr uint32_t kMinRuns[] = {kMinMatch, 6, 10};
// Runs below the last of them are counted by byte and length.
constexpr uint32_t kShortRun = kMinRuns[std::size(kMinRuns) - 1];

// One way to code a block: the shortest run coded as a run, the
// literal/length code lengths, their header and the block's size in bits.
struct BlockCode {
  uint32_t min_run = kMinMatch;
  uint8_t lengths[kLitLenCodes] = {};
  Header header;
  uint64_t bits = UINT64_MAX;
};

// The code of a block whose symbol counts are `freq`, and its size.
void SizeBlockCode(uint32_t* freq, BlockCode& code) {
  freq[kEndOfBlock] = 1;
  CodeLengths(freq, kLitLenCodes, kMaxBits, code.lengths);
  code.header = MakeHeader(code.lengths);
  code.bits = 3 + code.header.bits;
  for (int sym = 0; sym < kLitLenCodes; ++sym) {
    const uint32_t per = code.lengths[sym] + (sym > 256 ? kLengthExtra[sym - 257] + kDistLengths[0] : 0);
    code.bits += uint64_t{freq[sym]} * per;
  }
}

// The cheapest code for the block of `tokens` over the shortest runs of
// kMinRuns; `short_runs` counts its runs shorter than kShortRun by their
// byte and length (byte * kShortRun + length).
BlockCode ChooseBlockCode(const uint16_t* tokens, size_t count, const uint32_t* short_runs) {
  const std::array<LengthCode, kMaxMatch + 1>& lengths = LengthCodes();
  uint32_t freq[kLitLenCodes] = {};
  for (size_t k = 0; k < count; ++k) {
    const uint16_t t = tokens[k];
    ++freq[t & kMatchFlag ? lengths[t & ~kMatchFlag].symbol : t];
  }
  BlockCode best, trial;
  for (const uint32_t min_run : kMinRuns) {
    uint32_t trial_freq[kLitLenCodes];
    std::copy(freq, freq + kLitLenCodes, trial_freq);
    for (uint32_t byte = 0; byte < 256; ++byte) {
      for (uint32_t run = kMinMatch; run < min_run; ++run) {
        const uint32_t n = short_runs[byte * kShortRun + run];
        trial_freq[byte] += n * run;
        trial_freq[lengths[run].symbol] -= n;
      }
    }
    trial.min_run = min_run;
    SizeBlockCode(trial_freq, trial);
    if (trial.bits < best.bits) best = trial;
  }
  return best;
}

// Writes the block of `tokens` (covering `data`, `size` bytes) as a
// dynamic block or as stored ones, whichever is smaller.
// `before` is the byte before the block, which a run at its start repeats.
void WriteBlock(const uint16_t* tokens, size_t count, const uint32_t* short_runs, const uint8_t* data, size_t size,
                uint8_t before, bool last, BitWriter& w) {
  const std::array<LengthCode, kMaxMatch + 1>& lengths = LengthCodes();
  const BlockCode code = ChooseBlockCode(tokens, count, short_runs);
  const uint64_t chunks = size == 0 ? 1 : (size + kStoredMax - 1) / kStoredMax;
  const uint64_t stored = chunks * (3 + 7 + 32) + 8 * static_cast<uint64_t>(size);
  if (stored < code.bits) {
    size_t done = 0;
    for (uint64_t c = 0; c < chunks; ++c) {
      const size_t n = std::min(kStoredMax, size - done);
      w.Put(last && done + n == size ? 1 : 0, 3);  // BFINAL, BTYPE 00
      w.Align();
      uint8_t len[4];
      StoreLe16(len, static_cast<uint32_t>(n));
      StoreLe16(len + 2, static_cast<uint32_t>(~n));
      w.PutBytes(len, 4);
      w.PutBytes(data + done, n);
      done += n;
    }
    return;
  }
  const uint8_t* ll_lengths = code.lengths;
  uint16_t ll_codes[kLitLenCodes] = {};
  CanonicalCodes(ll_lengths, kLitLenCodes, ll_codes);
  w.Put(last ? 5 : 4, 3);  // BFINAL, BTYPE 10
  WriteHeader(code.header, w);
  uint8_t byte = before;  // the byte a run repeats: the last literal's
  for (size_t k = 0; k < count; ++k) {
    const uint16_t t = tokens[k];
    if (!(t & kMatchFlag)) {
      w.Put(ll_codes[t], ll_lengths[t]);
      byte = static_cast<uint8_t>(t);
      continue;
    }
    const uint32_t run = t & ~kMatchFlag;
    if (run < code.min_run) {
      for (uint32_t j = 0; j < run; ++j) w.Put(ll_codes[byte], ll_lengths[byte]);
    } else {
      const LengthCode& lc = lengths[run];
      w.Put(ll_codes[lc.symbol], ll_lengths[lc.symbol]);
      w.Put(lc.extra, lc.extra_bits);
      w.Put(0, kDistLengths[0]);  // distance code 0: distance one
    }
  }
  w.Put(ll_codes[kEndOfBlock], ll_lengths[kEndOfBlock]);
}

// The most one piece of `size` bytes adds to the stream.
size_t PieceBound(size_t size) {
  // A block is never larger than its bytes stored (at most 5 bytes more a
  // chunk of 64 KiB); then the checksum, the bits a piece before left
  // (under 4 bytes) and a margin.
  const size_t blocks = size / kBlockSymbols + 1;
  return CheckedAdd(CheckedAdd(size, CheckedMul(5, size / kStoredMax + blocks)), CheckedMul(2, blocks) + 4 + 4 + 8);
}

}  // namespace

RunsDeflater::RunsDeflater(MemoryStream& out) : out_(out) {
  uint8_t* const head = out_.Reserve(2);
  head[0] = 0x78;  // deflate, 32 KiB window
  head[1] = 0x01;  // fastest, no dictionary; the pair is a multiple of 31
  out_.Commit(2);
}

void RunsDeflater::Add(const uint8_t* data, size_t size, bool last) {
  if (done_) throw Error("PNG encoder failed: data after the last block");
  tokens_.resize(std::max<size_t>(1, std::min(kBlockSymbols, size)));
  short_runs_.resize(256 * kShortRun);
  BitWriter w(out_.Reserve(PieceBound(size)), pending_, pending_bits_);
  uint8_t* const start = w.Position();
  size_t i = 0;
  do {
    const size_t block_start = i;
    size_t count = 0;
    std::fill(short_runs_.begin(), short_runs_.end(), 0);
    while (count < kBlockSymbols && i < size) {
      // A run may go on from the piece before.
      if (i > 0 || has_last_) {
        const uint8_t before = i > 0 ? data[i - 1] : last_;
        const size_t run = CountRun(data + i, std::min<size_t>(size - i, kMaxMatch), before);
        if (run >= kMinMatch) {
          tokens_[count++] = static_cast<uint16_t>(kMatchFlag | run);
          if (run < kShortRun) ++short_runs_[before * kShortRun + run];
          i += run;
          continue;
        }
      }
      tokens_[count++] = data[i++];
    }
    const uint8_t before = block_start > 0 ? data[block_start - 1] : last_;
    WriteBlock(tokens_.data(), count, short_runs_.data(), data + block_start, i - block_start, before,
               last && i == size, w);
  } while (i < size);
  if (size > 0) {
    adler_ = libdeflate_adler32(adler_, data, size);
    last_ = data[size - 1];
    has_last_ = true;
  }
  if (last) {
    w.Align();
    StoreBe32(w.Position(), adler_);
    out_.Commit(static_cast<size_t>(w.Position() + 4 - start));
    done_ = true;
    return;
  }
  out_.Commit(static_cast<size_t>(w.Position() - start));
  pending_ = w.Pending();
  pending_bits_ = w.PendingBits();
}

}  // namespace pm
