// PNG's row filters, both ways, for the decoder and the encoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace pm {

inline uint8_t PaethPredictor(uint8_t a, uint8_t b, uint8_t c) {
  const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
  return pa <= pb && pa <= pc ? a : (pb <= pc ? b : c);
}

// Applies PNG filter `type` (0 none, 1 Sub, 2 Up, 3 Average, 4 Paeth) to the
// `n` bytes of a row: kFilter subtracts each byte's prediction (raw to
// filtered), otherwise it is added back (filtered to raw; `out` may be `in`).
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
      for (size_t i = 0; i < lead; ++i) out[i] = apply(in[i], prev[i]);
      for (size_t i = bpp; i < n; ++i) out[i] = apply(in[i], PaethPredictor(left[i - bpp], prev[i], prev[i - bpp]));
      return true;
    default: return false;
  }
}

}  // namespace pm
