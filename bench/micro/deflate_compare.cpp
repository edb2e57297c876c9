// Compares deflate compressors on the PNG rows of images: zlib (also its
// run-length strategy), libdeflate and ISA-L at several levels, each with
// the row filters that suit it (Paeth on every row, libpng's adaptive
// minimum-sum choice, or none for palette indices). Prints one line per
// image, compressor, level and filter: the zlib stream's bytes and the best
// of three times on one core.
//
//   deflate_compare IMAGE...
#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/codec.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The image's PNG rows unfiltered (RGB order for colour, packed bits for
// 1-bit), and the bytes a pixel for the filters.
struct Rows {
  std::vector<Bytes> rows;
  size_t bpp = 1;
  bool indexed = false;
};

Rows RowsOf(const pm::Bitmap& b) {
  Rows r;
  const size_t w = static_cast<size_t>(b.Width());
  for (int32_t y = 0; y < b.Height(); ++y) {
    const uint8_t* s = b.Row(y);
    if (b.Format() == pm::kFormat24bppRgb) {
      Bytes row(3 * w);
      for (size_t x = 0; x < w; ++x) {
        row[3 * x] = s[3 * x + 2];
        row[3 * x + 1] = s[3 * x + 1];
        row[3 * x + 2] = s[3 * x];
      }
      r.rows.push_back(row);
      r.bpp = 3;
    } else if (b.Format() == pm::kFormat1bppIndexed) {
      r.rows.emplace_back(s, s + (w + 7) / 8);
    } else {
      r.rows.emplace_back(s, s + w);
      r.indexed = !pm::IsGreyRamp(b.Palette());
    }
  }
  return r;
}

uint8_t PaethPredict(int a, int b, int c) {
  const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  return static_cast<uint8_t>(pa <= pb && pa <= pc ? a : (pb <= pc ? b : c));
}

// Filters row (prior: the row above, zeros for the first) with `type`.
void Filter(int type, const Bytes& row, const Bytes& prior, size_t bpp, uint8_t* out) {
  out[0] = static_cast<uint8_t>(type);
  for (size_t i = 0; i < row.size(); ++i) {
    const int a = i >= bpp ? row[i - bpp] : 0, b = prior[i], c = i >= bpp ? prior[i - bpp] : 0;
    const int pred = type == 0 ? 0 : type == 1 ? a : type == 2 ? b : type == 3 ? (a + b) / 2 : PaethPredict(a, b, c);
    out[i + 1] = static_cast<uint8_t>(row[i] - pred);
  }
}

// The filtered stream: `mode` 'p' Paeth on every row, 'a' libpng's adaptive
// choice (the filter whose output has the least sum of absolute signed
// bytes), 'n' no filter.
Bytes Filtered(const Rows& r, char mode) {
  Bytes out, prior(r.rows.empty() ? 0 : r.rows[0].size(), 0), trial;
  for (const Bytes& row : r.rows) {
    trial.resize(row.size() + 1);
    Bytes best;
    if (mode == 'a') {
      uint64_t best_sum = UINT64_MAX;
      for (int type = 0; type <= 4; ++type) {
        Filter(type, row, prior, r.bpp, trial.data());
        uint64_t sum = 0;
        for (size_t i = 1; i < trial.size(); ++i) sum += trial[i] < 128 ? trial[i] : 256 - trial[i];
        if (sum < best_sum) best_sum = sum, best = trial;
      }
    } else {
      Filter(mode == 'p' ? 4 : 0, row, prior, r.bpp, trial.data());
      best = trial;
    }
    out.insert(out.end(), best.begin(), best.end());
    prior = row;
  }
  return out;
}

// zlib as libpng drives it: Z_FILTERED for filtered rows (it changes what
// the lazy levels 4 and up choose), the default strategy otherwise.
bool g_filtered = false;

size_t ZlibWith(const Bytes& in, int level, int strategy, Bytes& out) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, 15, 9, strategy);
  out.resize(deflateBound(&z, in.size()));
  z.next_in = const_cast<uint8_t*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  const size_t n = z.total_out;
  deflateEnd(&z);
  return n;
}

size_t Zlib(const Bytes& in, int level, Bytes& out) {
  return ZlibWith(in, level, g_filtered ? Z_FILTERED : Z_DEFAULT_STRATEGY, out);
}

// zlib's run-length strategy: matches at distance one only (no level).
size_t ZlibRle(const Bytes& in, int, Bytes& out) { return ZlibWith(in, Z_DEFAULT_COMPRESSION, Z_RLE, out); }

size_t Libdeflate(const Bytes& in, int level, Bytes& out) {
  libdeflate_compressor* c = libdeflate_alloc_compressor(level);
  out.resize(libdeflate_zlib_compress_bound(c, in.size()));
  const size_t n = libdeflate_zlib_compress(c, in.data(), in.size(), out.data(), out.size());
  libdeflate_free_compressor(c);
  return n;
}

size_t Isal(const Bytes& in, int level, Bytes& out) {
  static const uint32_t kLevelBuf[] = {ISAL_DEF_LVL0_DEFAULT, ISAL_DEF_LVL1_DEFAULT, ISAL_DEF_LVL2_DEFAULT,
                                       ISAL_DEF_LVL3_DEFAULT};
  isal_zstream z;
  isal_deflate_init(&z);
  Bytes level_buf(kLevelBuf[level]);
  z.level = static_cast<uint32_t>(level);
  z.level_buf = level_buf.data();
  z.level_buf_size = static_cast<uint32_t>(level_buf.size());
  z.gzip_flag = IGZIP_ZLIB;
  z.end_of_stream = 1;
  z.flush = NO_FLUSH;
  out.resize(in.size() + in.size() / 8 + 1024);
  z.next_in = const_cast<uint8_t*>(in.data());
  z.avail_in = static_cast<uint32_t>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uint32_t>(out.size());
  if (isal_deflate(&z) != COMP_OK || z.internal_state.state != ZSTATE_END) return 0;
  return z.total_out;
}

}  // namespace

int main(int argc, char** argv) {
  struct Compressor {
    const char* name;
    std::function<size_t(const Bytes&, int, Bytes&)> run;
    std::vector<int> levels;
  };
  const Compressor compressors[] = {
      {"zlib", Zlib, {1, 3, 4, 6}},
      {"zlib-rle", ZlibRle, {0}},
      {"libdeflate", Libdeflate, {1, 2, 3, 4, 5, 6, 7, 9, 12}},
      {"isa-l", Isal, {1, 2, 3}}};
  std::printf("| image | compressor | level | filters | bytes | seconds |\n|---|---|---|---|---|---|\n");
  for (int i = 1; i < argc; ++i) {
    const std::string name = std::strrchr(argv[i], '/') != nullptr ? std::strrchr(argv[i], '/') + 1 : argv[i];
    const Rows rows = RowsOf(pm::DecodeFile(argv[i]));
    for (char mode : rows.indexed ? std::string("n") : std::string("pan")) {
      const Bytes filtered = Filtered(rows, mode);
      g_filtered = mode != 'n';
      Bytes out;
      for (const Compressor& c : compressors) {
        for (int level : c.levels) {
          double best = 1e9;
          size_t bytes = 0;
          for (int k = 0; k < 3; ++k) {
            const auto start = std::chrono::steady_clock::now();
            bytes = c.run(filtered, level, out);
            best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
          }
          std::printf("| %s | %s | %d | %s | %zu | %.3f |\n", name.c_str(), c.name, level,
                      mode == 'p' ? "Paeth" : mode == 'a' ? "adaptive" : "none", bytes, best);
          std::fflush(stdout);
        }
      }
    }
  }
  return 0;
}
