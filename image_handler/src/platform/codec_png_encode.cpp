// PNG encoding: our own chunk writer (signature, IHDR, iCCP, eXIf, PLTE,
// tRNS, IDAT, IEND) with the row filters, so that the compressor can be
// chosen by image.
#include <algorithm>
#include <cstring>
#include <utility>

#include <png.h>  // the colour type constants; libpng itself writes nothing here

#include "platform/codec.h"
#include "platform/png_filter.h"
#include "platform/quantize.h"

namespace pm {

namespace {

struct PngPlan {
  uint32_t width = 0, height = 0;
  uint8_t bit_depth = 8;
  uint8_t color_type = PNG_COLOR_TYPE_RGB;
  size_t bpp = 3;          // bytes a pixel as the filters count them (1 below 8 bits)
  size_t row_bytes = 0;    // unfiltered bytes a row
  std::vector<Color> palette;
  bool adaptive = true;  // libpng's adaptive row filters, else none
  Deflater deflater = Deflater::kLibdeflate;
  int level = 1;
  bool choose = false;  // the compressor is chosen from a sample of the rows
  size_t slow_percent = 2;  // how much smaller the slowest coder's sample must be
  bool fast_first = false;  // level 1 where it does nearly as well as `level`
  bool small = false;   // under 2 MiB of rows (or 64 rows): the tighter settings
  // The rows to filter, `stride` apart: the bitmap's own (blue, green, red
  // with `bgr`), or the indices of a 24-bit image's exact colours.
  const uint8_t* base = nullptr;
  size_t stride = 0;
  bool bgr = false;
  IndexedImage exact;
  Bitmap* spends = nullptr;  // the bitmap, when `base` is its rows
};

void WriteChunk(MemoryStream& out, const char type[4], const uint8_t* data, uint32_t size) {
  uint8_t head[8];
  StoreBe32(head, size);
  std::memcpy(head + 4, type, 4);
  out.Write(head, sizeof head);
  if (size != 0) out.Write(data, size);
  uint8_t crc[4];
  StoreBe32(crc, Crc32(Crc32(0, head + 4, 4), data, size));
  out.Write(crc, sizeof crc);
}

// One row filtered with `type` against the raw row above, after its filter
// type byte.
void FilterRow(int type, const uint8_t* cur, const uint8_t* prev, size_t n, size_t bpp, uint8_t* out) {
  out[0] = static_cast<uint8_t>(type);
  FilterBytes<true>(type, cur, prev, n, bpp, out + 1);
}

// The sum of the bytes' magnitudes read as signed, min(v, 256 - v), each
// capped at 16: past that a byte costs the compressor about the same
// whatever its size, and an uncapped sum lets a few large bytes outweigh
// many small ones (smooth photographs compress a few per cent smaller).
uint64_t FilterCost(const uint8_t* p, size_t n) {
  constexpr uint8_t kCap = 16;
  // Summed in 16-bit lanes over stretches short enough that they cannot
  // wrap, which the compiler vectorises with one widening a byte instead of
  // three.
  constexpr size_t kStretch = 65535 / kCap;
  uint64_t sum = 0;
  for (size_t start = 0; start < n; start += kStretch) {
    const size_t end = std::min(n, start + kStretch);
    uint16_t part = 0;
    for (size_t i = start; i < end; ++i) {
      const uint8_t negated = static_cast<uint8_t>(-p[i]);
      part = static_cast<uint16_t>(part + std::min(std::min(p[i], negated), kCap));
    }
    sum += part;
  }
  return sum;
}

// The adaptive choice: the filter whose output has the least cost (the
// first on a tie). Each
// candidate goes into whichever of `out` and `scratch` does not hold the
// best so far, so the winner is not filtered a second time.
// Built plainly and for AVX2 (twice the lanes for the filters and the
// sums).
[[gnu::always_inline]] inline void FilterAdaptiveBody(const uint8_t* cur, const uint8_t* prev, size_t n, size_t bpp,
                                                      uint8_t* out, uint8_t* scratch) {
  const uint8_t* best = nullptr;
  uint64_t best_cost = UINT64_MAX;
  uint8_t* into = out;
  for (int type = 0; type < 5; ++type) {
    FilterRow(type, cur, prev, n, bpp, into);
    const uint64_t cost = FilterCost(into + 1, n);
    if (cost < best_cost) {
      best_cost = cost;
      best = into;
      into = into == out ? scratch : out;
    }
  }
  if (best != out) std::memcpy(out, best, n + 1);
}

void FilterAdaptivePlain(const uint8_t* cur, const uint8_t* prev, size_t n, size_t bpp, uint8_t* out,
                         uint8_t* scratch) {
  FilterAdaptiveBody(cur, prev, n, bpp, out, scratch);
}
#if PM_AVX2_BUILDS
PM_AVX2 void FilterAdaptiveAvx2(const uint8_t* cur, const uint8_t* prev, size_t n, size_t bpp, uint8_t* out,
                                uint8_t* scratch) {
  FilterAdaptiveBody(cur, prev, n, bpp, out, scratch);
}
#endif

// Filters the plan's rows, any span of them at a time, each with its
// filter byte in front.
class RowFilter {
 public:
  explicit RowFilter(const PngPlan& plan)
      : plan_(plan),
        n_(plan.row_bytes),
        line_(CheckedAdd(n_, 1)),
        // Two RGB rows (this one and the one above), a zero row above the
        // first, and adaptive's scratch.
        rows_(AllocBlock(CheckedAdd(CheckedMul(n_, 3), line_), true)) {}

  size_t Line() const { return line_; }

  // Rows first to first + count - 1 into `out`, `Line()` bytes each.
  void Filter(uint32_t first, uint32_t count, uint8_t* out) {
    uint8_t* const zero = rows_.get() + 2 * n_;
    uint8_t* const scratch = zero + n_;
    const uint8_t* prev = first == 0 ? zero : Raw(first - 1);
    for (uint32_t y = first; y < first + count; ++y) {
      const uint8_t* cur = Raw(y);
      uint8_t* row = out + static_cast<size_t>(y - first) * line_;
      if (plan_.adaptive) {
        PM_BUILD_CALL(FilterAdaptive, cur, prev, n_, plan_.bpp, row, scratch);
      } else {
        FilterRow(0, cur, prev, n_, plan_.bpp, row);
      }
      prev = cur;
    }
  }

 private:
  // Row y as the filters see it: blue, green, red rows go to one of the
  // two RGB rows by its parity, so the row above stays in the other.
  const uint8_t* Raw(uint32_t y) {
    const uint8_t* row = plan_.base + static_cast<size_t>(y) * plan_.stride;
    if (!plan_.bgr) return row;
    uint8_t* rgb = rows_.get() + (y & 1) * n_;
    SwapRedBlue(row, n_ / 3, rgb);
    return rgb;
  }

  const PngPlan& plan_;
  size_t n_, line_;
  Block rows_;
};

struct Compressor {
  Deflater deflater;
  int level;
};

// The bands of rows the compressor is chosen from: eight of about 32 KiB
// spread over the image, or one of all of a small one.
struct Sample {
  uint32_t bands = 1, rows = 0;
  uint32_t Start(uint32_t band, uint32_t height) const { return band * (height / bands); }
};
Sample SampleOf(size_t line, uint32_t height) {
  constexpr uint32_t kBands = 8;
  const uint32_t band_rows = static_cast<uint32_t>(std::max<size_t>(4, (32 * 1024) / line));
  if (height / kBands <= band_rows) return Sample{1, height};
  return Sample{kBands, band_rows};
}

// The compressor for grey or colour rows, from their sample filtered:
// each candidate's sample size is weighed up by a percentage
// (`slow_percent` for the slowest), and the lightest wins. Grey
// photographs and smooth colour ones take the run-length coder, noisy
// colour ones the fastest string matcher, scans, screenshots and graphics
// the slowest. ISA-L, where the build has it, is twice as fast as any of
// them and, on images over 2 MiB of rows (whose sample is a small part of
// them), goes before them all when its sample is at most 5 % larger
// than the smallest: it comes out about 2 % larger against the others on
// a sample than on a whole image, so the whole image's stream stays within
// about 3 % of level 6's (noisy photographs; smooth and grey ones are a
// tenth smaller with runs and keep them).
Compressor ChooseCompressor(const uint8_t* sample, size_t size, bool small, size_t slow_percent) {
  // With the percentage each must save. The run-length coder is the
  // fastest of the three, but on noisy photographs level 1 is a per cent
  // or two smaller, and ties go to it.
  const Compressor candidates[] = {
      {Deflater::kLibdeflate, 1}, {Deflater::kRuns, 0}, {Deflater::kLibdeflate, small ? 7 : 6}};
  const size_t percent[] = {0, 1, slow_percent};
  int pick = 0;
  uint64_t pick_weight = UINT64_MAX;
  uint64_t smallest = UINT64_MAX;
  MemoryStream scratch;
  for (int i = 0; i < 3; ++i) {
    scratch.Seek(0);
    const size_t bytes = Deflate(sample, size, candidates[i].deflater, candidates[i].level, scratch);
    smallest = std::min<uint64_t>(smallest, bytes);
    const uint64_t weight = uint64_t{bytes} * (100 + percent[i]);
    if (weight < pick_weight) {
      pick = i;
      pick_weight = weight;
    }
  }
  const Compressor isal = {Deflater::kIsal, 3};
  if (IsalBuilt() && !small) {
    scratch.Seek(0);
    const uint64_t bytes = Deflate(sample, size, isal.deflater, isal.level, scratch);
    if (bytes * 100 <= smallest * 105) return isal;
  }
  return candidates[pick];
}

// The profile (iCCP, before PLTE) and the orientation (eXIf), when there
// are any.
void WriteMetadata(const Metadata& meta, MemoryStream& out) {
  if (!meta.icc.empty()) {
    static const char kName[] = "ICC profile";  // with its terminator, then compression method 0
    MemoryStream body;
    body.Write(kName, sizeof kName);
    body.Write("", 1);
    Deflate(meta.icc.data(), meta.icc.size(), Deflater::kLibdeflate, 9, body);
    WriteChunk(out, "iCCP", body.Data(), static_cast<uint32_t>(body.Size()));
  }
  if (meta.orientation != 1) {
    const std::vector<uint8_t> exif = ExifBlock(meta.orientation);
    WriteChunk(out, "eXIf", exif.data(), static_cast<uint32_t>(exif.size()));
  }
}

// The container's shape and the compressor for a bitmap. Figures behind
// the choices: bench/results/deflate.md.
PngPlan PlanPng(Bitmap& bitmap) {
  PngPlan plan;
  plan.width = static_cast<uint32_t>(bitmap.Width());
  plan.height = static_cast<uint32_t>(bitmap.Height());
  plan.base = bitmap.Row(0);
  plan.stride = bitmap.Stride();
  plan.spends = &bitmap;
  const std::vector<Color> palette = bitmap.Palette();
  switch (bitmap.Format()) {
    case kFormat24bppRgb:
      // A 24-bit image of at most 256 colours (a graphic, a chart) is written
      // as a palette image of the same pixels: a third of the data.
      if (ExactColours(plan.base, plan.stride, bitmap.Width(), bitmap.Height(), &plan.exact)) {
        plan.base = plan.exact.indices.get();
        plan.stride = plan.exact.pitch;
        plan.spends = nullptr;
        bitmap.Spend(0, bitmap.Height());
        // A grey PNG may not carry an RGB profile: with one, the palette stays.
        if (ManyGreys(plan.exact) && bitmap.Meta().icc.empty()) {
          IndicesToGrey(plan.exact, bitmap.Width(), bitmap.Height());
          plan.color_type = PNG_COLOR_TYPE_GRAY;
        } else {
          plan.color_type = PNG_COLOR_TYPE_PALETTE;
          plan.palette = plan.exact.palette;
        }
      } else {
        plan.bgr = true;
      }
      break;
    case kFormat8bppIndexed:
      if (IsGreyRamp(palette)) {
        plan.color_type = PNG_COLOR_TYPE_GRAY;
        break;
      }
      [[fallthrough]];
    case kFormat1bppIndexed:
      plan.color_type = PNG_COLOR_TYPE_PALETTE;
      plan.palette = palette;
      break;
    default: ThrowUnsupported("PNG", bitmap.Format());
  }
  plan.bit_depth = bitmap.Format() == kFormat1bppIndexed ? 1 : 8;
  plan.bpp = plan.bgr ? 3 : 1;
  plan.row_bytes = plan.bit_depth == 1 ? (static_cast<size_t>(plan.width) + 7) / 8 : plan.bpp * plan.width;

  // Palette indices are not magnitudes, so row filters only add noise.
  // 8-bit indices take level 1 where it does nearly as well (CompressRows),
  // else level 7; 1-bit rows level 6, as the slower levels shrink them
  // little. Other small images take the slower, tighter settings outright.
  plan.small = CheckedMul(plan.row_bytes, plan.height) <= (size_t{2} << 20) || plan.height < 64;
  if (plan.color_type == PNG_COLOR_TYPE_PALETTE) {
    plan.adaptive = false;
    plan.level = plan.bit_depth == 1 ? 6 : 7;
    // Graphics go straight to the slower level, which they need.
    plan.fast_first =
        plan.bit_depth == 8 && !MostlyRepeats(plan.base, plan.stride, bitmap.Width(), bitmap.Height());
  } else if (plan.color_type == PNG_COLOR_TYPE_GRAY) {
    plan.choose = true;
    plan.slow_percent = 2;
  } else {
    // Colour rows are three times the data: the slowest coder must save
    // much more to pay for its time (on photographs it saves 2 to 4 %).
    plan.level = 7;
    plan.choose = !plan.small;
    plan.slow_percent = 8;
  }
  return plan;
}

// Everything before the image data: the signature, the header, the
// metadata and the palette.
void WriteHead(const PngPlan& plan, const Metadata& meta, MemoryStream& out) {
  out.Write(kPngSignature, sizeof kPngSignature);
  uint8_t ihdr[13] = {};
  StoreBe32(ihdr, plan.width);
  StoreBe32(ihdr + 4, plan.height);
  ihdr[8] = plan.bit_depth;
  ihdr[9] = plan.color_type;  // compression, filter method and interlace: 0
  WriteChunk(out, "IHDR", ihdr, sizeof ihdr);
  WriteMetadata(meta, out);
  if (plan.color_type == PNG_COLOR_TYPE_PALETTE) {
    uint8_t plte[3 * 256];
    uint8_t trns[256];
    uint32_t num_trans = 0;
    const auto n = static_cast<uint32_t>(plan.palette.size());
    for (uint32_t i = 0; i < n; ++i) {
      plte[3 * i] = plan.palette[i].r;
      plte[3 * i + 1] = plan.palette[i].g;
      plte[3 * i + 2] = plan.palette[i].b;
      trns[i] = plan.palette[i].a;
      if (trns[i] != 255) num_trans = i + 1;  // tRNS stops after the last non-opaque entry
    }
    WriteChunk(out, "PLTE", plte, 3 * n);
    if (num_trans > 0) WriteChunk(out, "tRNS", trns, num_trans);
  }
}

// The image data: the rows filtered, then compressed (grey and colour by
// the compressor a sample of them favours, 8-bit palette images by how well
// the fastest level does) straight into the stream. The run-length coder
// takes the rows a band at a time as they are filtered, the others all of
// them at once.
void CompressRows(PngPlan& plan, MemoryStream& out) {
  RowFilter filter(plan);
  const size_t line = filter.Line();
  const size_t size = CheckedMul(line, plan.height);
  // The filter goes down the rows a band of about 1 MiB at a time: in
  // cache between the filter and the run-length coder, and each band but
  // its last row (the next band's row above) spent behind it.
  const auto band_rows = static_cast<uint32_t>(std::max<size_t>(1, (size_t{1} << 20) / line));
  auto filter_band = [&](uint32_t y, uint8_t* into) {
    const uint32_t count = std::min(band_rows, plan.height - y);
    filter.Filter(y, count, into);
    if (plan.spends != nullptr) plan.spends->Spend(0, static_cast<int32_t>(y + count - 1));
    return y + count;
  };
  Block filtered;
  if (plan.choose) {
    const Sample sample = SampleOf(line, plan.height);
    Block rows = AllocBlock(CheckedMul(line, size_t{sample.bands} * sample.rows), false);
    for (uint32_t band = 0; band < sample.bands; ++band) {
      filter.Filter(sample.Start(band, plan.height), sample.rows, rows.get() + size_t{band} * sample.rows * line);
    }
    const Compressor c =
        ChooseCompressor(rows.get(), size_t{sample.bands} * sample.rows * line, plan.small, plan.slow_percent);
    plan.deflater = c.deflater;
    plan.level = c.level;
    if (sample.bands == 1) filtered = std::move(rows);  // the whole image
  }
  // The run-length coder and igzip take the rows as they come: the whole
  // image when the sample was all of it, else a band at a time (the
  // run-length coder ends a deflate block at each, few enough to cost
  // nothing measurable; igzip's blocks run on across them).
  auto stream = [&](auto&& coder) {
    if (filtered) {
      coder.Add(filtered.get(), size, true);
      return;
    }
    Block band = AllocBlock(CheckedMul(line, std::min(band_rows, plan.height)), false);
    for (uint32_t y = 0; y < plan.height;) {
      const uint32_t next = filter_band(y, band.get());
      coder.Add(band.get(), (next - y) * line, next == plan.height);
      y = next;
    }
  };
  if (plan.deflater == Deflater::kRuns) return stream(RunsDeflater(out));
  if (plan.deflater == Deflater::kIsal) return stream(IsalDeflater(out, plan.level));
  if (!filtered) {
    filtered = AllocBlock(size, false);
    for (uint32_t y = 0; y < plan.height;) y = filter_band(y, filtered.get() + y * line);
  }
  if (plan.spends != nullptr) plan.spends->Spend(0, static_cast<int32_t>(plan.height));
  const size_t start = out.Tell();
  if (plan.fast_first) {
    // Indices that the fastest level leaves above 11/20 of their size
    // (dithered photographs) gain a few per cent at most from the slower
    // levels, at twice the time or more. Graphics gain a third.
    const size_t n = Deflate(filtered.get(), size, plan.deflater, 1, out);
    if (n / 11 > size / 20) return;
    out.Seek(start);
  }
  Deflate(filtered.get(), size, plan.deflater, plan.level, out);
}

// The image data as IDAT chunks: compressed in place behind the room for
// the first chunk's length and type, then, where it is over a chunk's
// limit (2^31 - 1 bytes), moved apart into chunks of 1 GiB, the last first.
void WriteImageData(PngPlan& plan, MemoryStream& out) {
  constexpr size_t kIdatBytes = size_t{1} << 30;
  const size_t start = out.Tell();
  out.Seek(start + 8);
  CompressRows(plan, out);
  const size_t n = out.Tell() - start - 8;
  const size_t chunks = n / kIdatBytes + (n % kIdatBytes != 0);
  out.Reserve(CheckedMul(chunks, 12));  // the other chunks' heads, every CRC
  uint8_t* const base = out.Data() + start;
  for (size_t j = chunks; j-- > 0;) {
    const size_t len = std::min(kIdatBytes, n - j * kIdatBytes);
    uint8_t* const chunk = base + j * (kIdatBytes + 12);
    if (j > 0) std::memmove(chunk + 8, base + 8 + j * kIdatBytes, len);
    StoreBe32(chunk, static_cast<uint32_t>(len));
    std::memcpy(chunk + 4, "IDAT", 4);
    StoreBe32(chunk + 8 + len, Crc32(Crc32(0, chunk + 4, 4), chunk + 8, len));
  }
  out.Seek(start);
  out.Commit(n + 12 * chunks);
}

}  // namespace

void EncodePng(Bitmap& bitmap, MemoryStream& out) {
  PngPlan plan = PlanPng(bitmap);
  WriteHead(plan, bitmap.Meta(), out);
  WriteImageData(plan, out);
  WriteChunk(out, "IEND", nullptr, 0);
}

}  // namespace pm
