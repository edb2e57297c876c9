// PNG's row filters, both ways, for the decoder and the encoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace pm {

// The Paeth predictor as selects, in lanes of type T. Selects let the
// compiler make conditional moves in the decoder's serial chain (int),
// where on photographs the choice is a coin toss that a branch would
// mispredict, and vectorise the encoder's loop (int16_t: eight lanes to a
// register).
template <typename T>
inline T PaethPredictor(T a, T b, T c) {
  T pa = static_cast<T>(b - c), pb = static_cast<T>(a - c), pc = static_cast<T>(pa + pb);
  pa = pa < 0 ? static_cast<T>(-pa) : pa;
  pb = pb < 0 ? static_cast<T>(-pb) : pb;
  pc = pc < 0 ? static_cast<T>(-pc) : pc;
  const T b_or_c = pb <= pc ? b : c;
  const T least = pb <= pc ? pb : pc;
  return pa <= least ? a : b_or_c;
}

// Paeth filtering (raw to filtered), its rows apart so that it vectorises.
inline void PaethFilter(const uint8_t* __restrict in, const uint8_t* __restrict prev, size_t n, size_t bpp,
                        uint8_t* __restrict out) {
  const size_t lead = bpp < n ? bpp : n;
  for (size_t i = 0; i < lead; ++i) out[i] = static_cast<uint8_t>(in[i] - prev[i]);
  for (size_t i = bpp; i < n; ++i) {
    out[i] = static_cast<uint8_t>(in[i] - PaethPredictor<int16_t>(in[i - bpp], prev[i], prev[i - bpp]));
  }
}

// Applies PNG filter `type` (0 none, 1 Sub, 2 Up, 3 Average, 4 Paeth) to the
// `n` bytes of a row: kFilter subtracts each byte's prediction (raw to
// filtered; `out` apart from `in`), otherwise it is added back (filtered to
// raw; `out` may be `in`).
// `prev` is the row above, raw (zeros above the first); `bpp` the bytes a
// pixel as the filters count them. False for an unknown type.
template <bool kFilter>
bool FilterBytes(int type, const uint8_t* in, const uint8_t* __restrict prev, size_t n, size_t bpp, uint8_t* out) {
  // The raw bytes to the left: the input when filtering, the output (already
  // restored) when not.
  const uint8_t* left = kFilter ? in : out;
  const auto apply = [](uint8_t v, int prediction) {
    return static_cast<uint8_t>(kFilter ? v - prediction : v + prediction);
  };
  const size_t lead = bpp < n ? bpp : n;
  switch (type) {
    case 0:
      if (out != in) std::memcpy(out, in, n);  // unfiltering in place: nothing to do
      return true;
    case 1:
      if (out != in) std::memcpy(out, in, lead);
      for (size_t i = bpp; i < n; ++i) out[i] = apply(in[i], left[i - bpp]);
      return true;
    case 2:
      for (size_t i = 0; i < n; ++i) out[i] = apply(in[i], prev[i]);
      return true;
    case 3:
      for (size_t i = 0; i < lead; ++i) out[i] = apply(in[i], prev[i] >> 1);
      for (size_t i = bpp; i < n; ++i) out[i] = apply(in[i], (left[i - bpp] + prev[i]) >> 1);
      return true;
    case 4:
      if constexpr (kFilter) {
        PaethFilter(in, prev, n, bpp, out);
        return true;
      }
      for (size_t i = 0; i < lead; ++i) out[i] = apply(in[i], prev[i]);
      for (size_t i = bpp; i < n; ++i) out[i] = apply(in[i], PaethPredictor<int>(left[i - bpp], prev[i], prev[i - bpp]));
      return true;
    default: return false;
  }
}

// Unfilters two consecutive Paeth rows at once, the second one pixel behind
// the first. Each byte waits on the one to its left, so a row is one chain
// of dependent steps; two rows give the processor two chains to overlap,
// which halves the time on photographs. `n` is at least two pixels.
template <size_t kBpp>
void UnfilterPaethPair(uint8_t* first, uint8_t* second, const uint8_t* __restrict prev, size_t n) {
  const auto next = [](uint8_t* row, const uint8_t* up, size_t i) {
    row[i] = static_cast<uint8_t>(row[i] + PaethPredictor<int>(row[i - kBpp], up[i], up[i - kBpp]));
  };
  for (size_t i = 0; i < kBpp; ++i) first[i] = static_cast<uint8_t>(first[i] + prev[i]);
  for (size_t i = 0; i < kBpp; ++i) second[i] = static_cast<uint8_t>(second[i] + first[i]);
  for (size_t i = kBpp; i < 2 * kBpp; ++i) next(first, prev, i);
  for (size_t i = 2 * kBpp; i < n; ++i) {
    next(first, prev, i);
    next(second, first, i - kBpp);
  }
  for (size_t i = n - kBpp; i < n; ++i) next(second, first, i);
}

// The pair above for `bpp` of 1 to 4 and rows of two pixels or more; false
// (nothing done) otherwise.
inline bool UnfilterPaethPair(uint8_t* first, uint8_t* second, const uint8_t* prev, size_t n, size_t bpp) {
  if (n < 2 * bpp) return false;
  switch (bpp) {
    case 1: UnfilterPaethPair<1>(first, second, prev, n); return true;
    case 2: UnfilterPaethPair<2>(first, second, prev, n); return true;
    case 3: UnfilterPaethPair<3>(first, second, prev, n); return true;
    case 4: UnfilterPaethPair<4>(first, second, prev, n); return true;
    default: return false;
  }
}

}  // namespace pm
