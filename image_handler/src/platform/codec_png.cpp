// PNG: decoded through libpng (the image data of the common layouts
// inflated in one call by libdeflate), encoded by our own chunk writer. libpng
// reports errors by longjmp, so every libpng call sits in a C-style function
// that owns the setjmp and holds no object with a destructor; the C++
// callers own the libpng structures through an RAII holder.
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/codec.h"
#include "platform/quantize.h"

namespace pm {

namespace {

struct PngJob {
  // Input.
  const uint8_t* data = nullptr;
  size_t size = 0;
  size_t pos = 0;
  // First error text.
  char message[256] = {0};
};

void PngError(png_structp png, png_const_charp msg) {
  auto* job = static_cast<PngJob*>(png_get_error_ptr(png));
  if (job->message[0] == '\0') std::snprintf(job->message, sizeof job->message, "%s", msg);
  png_longjmp(png, 1);
}

void PngWarning(png_structp, png_const_charp) {
  // Warnings (damaged ancillary chunks, benign errors) do not stop a decode.
}

void PngRead(png_structp png, png_bytep dst, size_t n) {
  auto* job = static_cast<PngJob*>(png_get_io_ptr(png));
  if (n > job->size - job->pos) png_error(png, "file ends before the image data");
  std::memcpy(dst, job->data + job->pos, n);
  job->pos += n;
}

// Owns a libpng read struct and its info struct.
class PngHolder {
 public:
  explicit PngHolder(PngJob* job) {
    png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, job, PngError, PngWarning);
    if (png_ != nullptr) info_ = png_create_info_struct(png_);
    if (png_ == nullptr || info_ == nullptr) {
      // No destructor runs for a constructor that throws.
      png_destroy_read_struct(&png_, &info_, nullptr);
      throw Error("Out of memory: cannot start the PNG decoder");
    }
  }
  ~PngHolder() { png_destroy_read_struct(&png_, &info_, nullptr); }
  PngHolder(const PngHolder&) = delete;
  PngHolder& operator=(const PngHolder&) = delete;
  png_structp png() const { return png_; }
  png_infop info() const { return info_; }

 private:
  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
};

struct PngHeader {
  png_uint_32 width = 0, height = 0;
  int bit_depth = 0, color_type = 0, interlace = 0;
  Color palette[256];
  int num_palette = 0;
  png_byte trans_alpha[256];
  int num_trans = 0;
  png_uint_16 trans_grey = 0;
  bool has_trans_grey = false;
};

// Reads the chunks before the image data. Returns false with job->message set.
bool PngReadHeader(png_structp png, png_infop info, PngJob* job, PngHeader* h) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_read_fn(png, job, PngRead);
  // Our own size checks decide what is too large, not libpng's defaults.
  png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
  png_set_crc_action(png, PNG_CRC_DEFAULT, PNG_CRC_WARN_DISCARD);
  // Text, profile and Exif chunks play no part in a record. libpng would
  // allocate (and clear) a buffer of each one's declared length before
  // reading it, so a 2 GB length in a 1 KB file would cost 2 GB; skipped
  // chunks are read through a small buffer instead. Other ancillary chunks
  // can never be longer than the file.
  static const png_byte kSkipped[] = {'t', 'E', 'X', 't', 0, 'z', 'T', 'X', 't', 0, 'i', 'T', 'X', 't', 0,
                                      'i', 'C', 'C', 'P', 0, 's', 'P', 'L', 'T', 0, 'e', 'X', 'I', 'f', 0};
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, kSkipped, static_cast<int>(sizeof kSkipped / 5));
  png_set_chunk_malloc_max(png, job->size < 65536 ? 65536 : job->size);
  png_read_info(png, info);
  png_get_IHDR(png, info, &h->width, &h->height, &h->bit_depth, &h->color_type, &h->interlace, nullptr, nullptr);
  png_colorp plte = nullptr;
  if (png_get_PLTE(png, info, &plte, &h->num_palette) != 0 && plte != nullptr) {
    if (h->num_palette > 256) h->num_palette = 256;
    for (int i = 0; i < h->num_palette; ++i) h->palette[i] = Color{plte[i].red, plte[i].green, plte[i].blue, 255};
  } else {
    h->num_palette = 0;
  }
  png_bytep trans = nullptr;
  png_color_16p trans_color = nullptr;
  if (png_get_tRNS(png, info, &trans, &h->num_trans, &trans_color) != 0) {
    if (h->color_type == PNG_COLOR_TYPE_PALETTE && trans != nullptr) {
      if (h->num_trans > 256) h->num_trans = 256;
      std::memcpy(h->trans_alpha, trans, static_cast<size_t>(h->num_trans));
    } else if (h->color_type == PNG_COLOR_TYPE_GRAY && trans_color != nullptr) {
      h->has_trans_grey = true;
      h->trans_grey = trans_color->gray;
    }
    if (h->color_type != PNG_COLOR_TYPE_PALETTE) h->num_trans = 0;
  }
  return true;
}

enum class PngLayout {
  kPacked1,    // 1-bit rows as stored
  kIndex8,     // palette indices unpacked to bytes
  kGrey8,      // grey scaled to 8 bits
  kBgr8,       // 24-bit blue, green, red
  kBgra8,      // grey+alpha or RGBA as blue, green, red, alpha
  kBgr16,      // 16-bit words blue, green, red (native byte order)
  kBgra16,     // 16-bit words with alpha
};

// Sets the transforms for `layout` and reads every row (all passes of an
// interlaced image) into the bitmap's rows. Returns false with job->message.
bool PngReadRows(png_structp png, png_infop info, PngLayout layout, int color_type, int bit_depth, uint8_t* base,
                 size_t stride, png_uint_32 height) {
  if (setjmp(png_jmpbuf(png))) return false;
  switch (layout) {
    case PngLayout::kPacked1: break;
    case PngLayout::kIndex8: png_set_packing(png); break;
    case PngLayout::kGrey8:
      if (bit_depth < 8) png_set_expand_gray_1_2_4_to_8(png);
      break;
    case PngLayout::kBgr8: png_set_bgr(png); break;
    case PngLayout::kBgra8:
    case PngLayout::kBgra16:
      if (color_type == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
      png_set_bgr(png);
      if (layout == PngLayout::kBgra16) png_set_swap(png);
      break;
    case PngLayout::kBgr16:
      png_set_bgr(png);
      png_set_swap(png);
      break;
  }
  const int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  for (int pass = 0; pass < passes; ++pass) {
    for (png_uint_32 y = 0; y < height; ++y) png_read_row(png, base + static_cast<size_t>(y) * stride, nullptr);
  }
  png_read_end(png, nullptr);
  return true;
}

// Reverses one row's filter in place; `prev` is the row above, unfiltered
// (zeros above the first).
bool Unfilter(uint8_t filter, uint8_t* __restrict cur, const uint8_t* __restrict prev, size_t n, size_t bpp) {
  switch (filter) {
    case 0: return true;
    case 1:
      for (size_t i = bpp; i < n; ++i) cur[i] = static_cast<uint8_t>(cur[i] + cur[i - bpp]);
      return true;
    case 2:
      for (size_t i = 0; i < n; ++i) cur[i] = static_cast<uint8_t>(cur[i] + prev[i]);
      return true;
    case 3:
      for (size_t i = 0; i < bpp && i < n; ++i) cur[i] = static_cast<uint8_t>(cur[i] + (prev[i] >> 1));
      for (size_t i = bpp; i < n; ++i) cur[i] = static_cast<uint8_t>(cur[i] + ((cur[i - bpp] + prev[i]) >> 1));
      return true;
    case 4:
      for (size_t i = 0; i < bpp && i < n; ++i) cur[i] = static_cast<uint8_t>(cur[i] + prev[i]);
      for (size_t i = bpp; i < n; ++i) {
        const int a = cur[i - bpp], b = prev[i], c = prev[i - bpp];
        const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
        const int pred = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
        cur[i] = static_cast<uint8_t>(cur[i] + pred);
      }
      return true;
    default: return false;
  }
}

// The image data of a non-interlaced PNG of 1- or 8-bit indices or grey, or
// of 8-bit RGB, inflated by libdeflate in one call (several times faster
// than zlib's inflate under libpng) and unfiltered here. `pos` is where
// libpng stopped: at the data of the first IDAT chunk. Returns false on
// anything unusual (a CRC error, a stream that is damaged, short or too
// long, a zlib window under 32 KiB, a bad filter, a critical chunk after
// the data): libpng then decodes the rows and reports as it always has.
bool ReadRowsFast(const PngJob& job, const PngHeader& h, Bitmap& bitmap) {
  const bool rgb = h.color_type == PNG_COLOR_TYPE_RGB;
  const bool one_plane = h.color_type == PNG_COLOR_TYPE_GRAY || h.color_type == PNG_COLOR_TYPE_PALETTE;
  if (h.interlace != PNG_INTERLACE_NONE || !((h.bit_depth == 8 && (rgb || one_plane)) || (h.bit_depth == 1 && one_plane))) {
    return false;
  }
  const uint8_t* const data = job.data;
  if (job.pos < 8 || job.pos > job.size || std::memcmp(data + job.pos - 4, "IDAT", 4) != 0) return false;
  // Each chunk must lie whole in the file with a matching CRC; the IDAT
  // run is followed by ancillary chunks and IEND only.
  auto chunk = [&](size_t at, uint32_t* length) {
    if (job.size - at < 12) return false;
    *length = LoadBe32(data + at);
    if (*length > PNG_UINT_31_MAX || *length > job.size - at - 12) return false;
    return Crc32(0, data + at + 4, *length + size_t{4}) == LoadBe32(data + at + 8 + *length);
  };
  size_t at = job.pos - 8, idat_bytes = 0, idat_chunks = 0;
  uint32_t length = 0;
  for (; chunk(at, &length) && std::memcmp(data + at + 4, "IDAT", 4) == 0; at += 12 + size_t{length}) {
    idat_bytes += length;
    ++idat_chunks;
  }
  const size_t idat_end = at;
  for (;; at += 12 + size_t{length}) {
    if (!chunk(at, &length)) return false;
    const uint8_t* type = data + at + 4;
    if (std::memcmp(type, "IEND", 4) == 0) break;
    // libpng stops at a critical chunk here, or at a name that is not
    // four letters.
    for (int k = 0; k < 4; ++k) {
      if (((type[k] | 0x20) < 'a' || (type[k] | 0x20) > 'z')) return false;
    }
    if ((type[0] & 0x20) == 0) return false;
  }
  if (idat_bytes < 2) return false;

  const size_t channels = rgb ? 3 : 1;
  const size_t row_bytes = h.bit_depth == 1 ? (size_t{h.width} + 7) / 8 : CheckedMul(h.width, channels);
  const size_t line = CheckedAdd(row_bytes, 1);
  // A deflate stream expands at most 1032 times: a header that declares
  // more rows than its data can hold is left to libpng, which reads the
  // rows there are and reports the rest, without this block.
  const uint64_t inflated = uint64_t{line} * h.height;
  if (inflated / 1032 > idat_bytes || inflated > SIZE_MAX) return false;
  const Block rows = AllocBlock(static_cast<size_t>(inflated), false);
  Block joined;
  const uint8_t* stream = data + job.pos;
  if (idat_chunks > 1) {
    joined = AllocBlock(idat_bytes, false);
    size_t n = 0;
    for (size_t p = job.pos - 8; p < idat_end; p += 12 + size_t{length}) {
      length = LoadBe32(data + p);
      std::memcpy(joined.get() + n, data + p + 8, length);
      n += length;
    }
    stream = joined.get();
  }
  if ((stream[0] >> 4) != 7) return false;
  if (!Inflate(stream, idat_bytes, rows.get(), static_cast<size_t>(inflated))) return false;
  joined.reset();

  const std::vector<uint8_t> zeros(row_bytes, 0);
  const uint8_t* prev = zeros.data();
  uint8_t* const base = bitmap.Row(0);
  const size_t stride = bitmap.Stride();
  for (size_t y = 0; y < h.height; ++y) {
    uint8_t* cur = rows.get() + y * line + 1;
    if (!Unfilter(cur[-1], cur, prev, row_bytes, channels)) return false;
    uint8_t* __restrict dst = base + y * stride;
    if (rgb) {
      for (size_t x = 0; x < h.width; ++x) {
        dst[3 * x] = cur[3 * x + 2];
        dst[3 * x + 1] = cur[3 * x + 1];
        dst[3 * x + 2] = cur[3 * x];
      }
    } else {
      std::memcpy(dst, cur, row_bytes);
    }
    prev = cur;
  }
  return true;
}

}  // namespace

// The orientation (eXIf) and profile (iCCP) among the chunks before the
// image data. libpng skips both (it would allocate each one's declared
// length first); here each counts only when it lies whole in the file with
// a matching CRC and appears once, and the profile inflates to a plausible
// one of at most kMaxIccBytes.
Metadata ReadPngMetadata(const uint8_t* data, size_t size) {
  Metadata meta;
  int exifs = 0, profiles = 0;
  for (size_t at = 8; size >= 12 && at <= size - 12;) {
    const uint32_t length = LoadBe32(data + at);
    if (length > size - 12 - at) break;
    const uint8_t* type = data + at + 4;
    const uint8_t* body = type + 4;
    if (std::memcmp(type, "IDAT", 4) == 0 || std::memcmp(type, "IEND", 4) == 0) break;
    const bool exif = std::memcmp(type, "eXIf", 4) == 0, iccp = std::memcmp(type, "iCCP", 4) == 0;
    if ((exif || iccp) && Crc32(0, type, length + size_t{4}) == LoadBe32(body + length)) {
      if (exif && ++exifs == 1) meta.orientation = ExifOrientation(body, length);
      // A name of 1 to 79 bytes, its terminator, compression method 0.
      const auto* name_end = static_cast<const uint8_t*>(std::memchr(body, 0, std::min<size_t>(length, 80)));
      if (iccp && ++profiles == 1 && name_end != nullptr && name_end > body && name_end + 1 < body + length &&
          name_end[1] == 0 &&
          !InflateAtMost(name_end + 2, static_cast<size_t>(body + length - name_end - 2), kMaxIccBytes, meta.icc)) {
        meta.icc.clear();
      }
    }
    at += 12 + size_t{length};
  }
  if (exifs != 1) meta.orientation = 1;
  if (profiles != 1 || !PlausibleIcc(meta.icc.data(), meta.icc.size())) meta.icc.clear();
  return meta;
}

Bitmap DecodePng(const uint8_t* data, size_t size) {
  PngJob job;
  job.data = data;
  job.size = size;
  PngHolder holder(&job);
  PngHeader h;
  if (!PngReadHeader(holder.png(), holder.info(), &job, &h)) ThrowDamaged("PNG", job.message);

  if (h.width > static_cast<png_uint_32>(INT32_MAX) || h.height > static_cast<png_uint_32>(INT32_MAX)) {
    throw Error("PNG image size is out of range");
  }
  const auto w = static_cast<int32_t>(h.width);
  const auto ht = static_cast<int32_t>(h.height);

  PixelFormat format = kFormatUndefined;
  PngLayout layout = PngLayout::kBgr8;
  switch (h.color_type) {
    case PNG_COLOR_TYPE_PALETTE:
      format = h.bit_depth == 1 ? kFormat1bppIndexed : kFormat8bppIndexed;
      layout = h.bit_depth == 1 ? PngLayout::kPacked1 : PngLayout::kIndex8;
      break;
    case PNG_COLOR_TYPE_GRAY:
      if (h.bit_depth == 16) return Bitmap::Header(w, ht, kFormat16bppGrayScale);
      format = h.bit_depth == 1 ? kFormat1bppIndexed : kFormat8bppIndexed;
      layout = h.bit_depth == 1 ? PngLayout::kPacked1 : PngLayout::kGrey8;
      break;
    case PNG_COLOR_TYPE_RGB:
      format = h.bit_depth == 16 ? kFormat48bppRgb : kFormat24bppRgb;
      layout = h.bit_depth == 16 ? PngLayout::kBgr16 : PngLayout::kBgr8;
      break;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
    case PNG_COLOR_TYPE_RGB_ALPHA:
      format = h.bit_depth == 16 ? kFormat64bppArgb : kFormat32bppArgb;
      layout = h.bit_depth == 16 ? PngLayout::kBgra16 : PngLayout::kBgra8;
      break;
    default: throw Error("PNG colour type " + std::to_string(h.color_type) + " is invalid");
  }

  Bitmap bitmap(w, ht, format);
  if (!ReadRowsFast(job, h, bitmap) && !PngReadRows(holder.png(), holder.info(), layout, h.color_type, h.bit_depth,
                                                     bitmap.Row(0), bitmap.Stride(), h.height)) {
    ThrowDamaged("PNG", job.message);
  }

  if (h.color_type == PNG_COLOR_TYPE_PALETTE) {
    std::vector<Color> palette(h.palette, h.palette + h.num_palette);
    for (int i = 0; i < h.num_trans && i < h.num_palette; ++i) palette[i].a = h.trans_alpha[i];
    const size_t capacity = format == kFormat1bppIndexed ? 2 : 256;
    if (palette.size() > capacity) palette.resize(capacity);
    bitmap.SetPalette(palette);
  } else if (h.color_type == PNG_COLOR_TYPE_GRAY) {
    std::vector<Color> palette;
    int scaled_key = -1;
    if (h.has_trans_grey && h.trans_grey < (1u << h.bit_depth)) {
      scaled_key = static_cast<int>(h.trans_grey * 255u / ((1u << h.bit_depth) - 1));
    }
    if (format == kFormat1bppIndexed) {
      palette = {Color{0, 0, 0, 255}, Color{255, 255, 255, 255}};
      if (scaled_key >= 0) palette[scaled_key == 0 ? 0 : 1].a = 0;
    } else {
      palette = GreyRamp();
      if (scaled_key >= 0) palette[static_cast<size_t>(scaled_key)].a = 0;
    }
    bitmap.SetPalette(palette);
  } else if (layout == PngLayout::kBgra8) {
    if (AllOpaque8(bitmap, 4 * static_cast<size_t>(w), 3, 4)) {
      DropAlpha8(bitmap, h.color_type == PNG_COLOR_TYPE_GRAY_ALPHA);
    }
  } else if (layout == PngLayout::kBgra16) {
    if (AllOpaque16(bitmap)) {
      if (h.color_type == PNG_COLOR_TYPE_GRAY_ALPHA) return Bitmap::Header(w, ht, kFormat16bppGrayScale);
      DropAlpha16(bitmap);
    }
  }
  bitmap.Meta() = ReadPngMetadata(data, size);
  return bitmap;
}

// ---------------------------------------------------------------------------
// Encoding: our own chunk writer (signature, IHDR, PLTE, tRNS, IDAT, IEND)
// with the row filters, so that the compressor can be chosen by image.

namespace {

struct PngPlan {
  uint32_t width = 0, height = 0;
  uint8_t bit_depth = 8;
  uint8_t color_type = 2;  // 0 grey, 2 RGB, 3 palette
  size_t bpp = 3;          // bytes a pixel as the filters count them (1 below 8 bits)
  size_t row_bytes = 0;    // unfiltered bytes a row
  std::vector<Color> palette;
  bool adaptive = true;  // libpng's adaptive row filters, else none
  Deflater deflater = Deflater::kLibdeflate;
  int level = 1;
  bool choose = false;  // the compressor is chosen from a sample of the rows
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

uint8_t PaethPredictor(uint8_t a, uint8_t b, uint8_t c) {
  const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
  return pa <= pb && pa <= pc ? a : (pb <= pc ? b : c);
}

// One row filtered with PNG filter `type` (0 none, 1 Sub, 2 Up, 3 Average,
// 4 Paeth) against the unfiltered row above (zeros above the first).
void FilterRow(int type, const uint8_t* cur, const uint8_t* prev, size_t n, size_t bpp, uint8_t* out) {
  out[0] = static_cast<uint8_t>(type);
  ++out;
  const size_t lead = std::min(bpp, n);
  switch (type) {
    case 0: std::memcpy(out, cur, n); break;
    case 1:
      std::memcpy(out, cur, lead);
      for (size_t i = bpp; i < n; ++i) out[i] = static_cast<uint8_t>(cur[i] - cur[i - bpp]);
      break;
    case 2:
      for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(cur[i] - prev[i]);
      break;
    case 3:
      for (size_t i = 0; i < lead; ++i) out[i] = static_cast<uint8_t>(cur[i] - (prev[i] >> 1));
      for (size_t i = bpp; i < n; ++i) out[i] = static_cast<uint8_t>(cur[i] - ((cur[i - bpp] + prev[i]) >> 1));
      break;
    default:
      for (size_t i = 0; i < lead; ++i) out[i] = static_cast<uint8_t>(cur[i] - prev[i]);
      for (size_t i = bpp; i < n; ++i) {
        out[i] = static_cast<uint8_t>(cur[i] - PaethPredictor(cur[i - bpp], prev[i], prev[i - bpp]));
      }
      break;
  }
}

// The adaptive choice libpng makes: the filter whose output bytes, read as
// signed, have the least sum of magnitudes.
int ChooseFilter(const uint8_t* cur, const uint8_t* prev, size_t n, size_t bpp, uint8_t* scratch) {
  int best = 0;
  uint64_t best_sum = UINT64_MAX;
  for (int type = 0; type < 5; ++type) {
    FilterRow(type, cur, prev, n, bpp, scratch);
    uint64_t sum = 0;
    for (size_t i = 1; i <= n; ++i) sum += static_cast<uint64_t>(std::abs(static_cast<int8_t>(scratch[i])));
    if (sum < best_sum) {
      best_sum = sum;
      best = type;
    }
  }
  return best;
}

// The filtered image data: every row with its filter byte. The unfiltered
// rows are at `base`, `stride` apart, in blue, green, red order with `bgr`.
Block FilterRows(const uint8_t* base, size_t stride, bool bgr, const PngPlan& plan) {
  const size_t n = plan.row_bytes;
  const size_t line = CheckedAdd(n, 1);
  Block filtered = AllocBlock(CheckedMul(line, plan.height), false);
  // Two RGB rows (this one and the one above), a zero row above the first,
  // and adaptive's scratch.
  Block rows = AllocBlock(CheckedAdd(CheckedMul(n, 3), line), true);
  uint8_t* zero = rows.get() + 2 * n;
  uint8_t* scratch = zero + n;
  const uint8_t* prev = zero;
  for (uint32_t y = 0; y < plan.height; ++y) {
    const uint8_t* cur = base + static_cast<size_t>(y) * stride;
    if (bgr) {
      uint8_t* rgb = rows.get() + (y & 1) * n;
      for (size_t i = 0; i < n; i += 3) {
        rgb[i] = cur[i + 2];
        rgb[i + 1] = cur[i + 1];
        rgb[i + 2] = cur[i];
      }
      cur = rgb;
    }
    uint8_t* out = filtered.get() + static_cast<size_t>(y) * line;
    FilterRow(plan.adaptive ? ChooseFilter(cur, prev, n, plan.bpp, scratch) : 0, cur, prev, n, plan.bpp, out);
    prev = cur;
  }
  return filtered;
}

struct Compressor {
  Deflater deflater;
  int level;
};

// The compressor for 8-bit grey, from a sample of the filtered rows (eight
// bands of about 32 KiB spread over the image, or all of a small one): the
// cheapest of the candidates whose sample comes within 1 % of the smallest.
// Noisy photographs take the run-length coder, scans and graphics the
// string matchers.
Compressor ChooseGreyCompressor(const uint8_t* filtered, size_t line, uint32_t height, bool small) {
  constexpr uint32_t kBands = 8;
  const uint32_t band_rows = static_cast<uint32_t>(std::max<size_t>(4, (32 * 1024) / line));
  std::vector<uint8_t> sample;
  if (height / kBands <= band_rows) {
    sample.assign(filtered, filtered + line * height);
  } else {
    sample.reserve(kBands * band_rows * line);
    for (uint32_t band = 0; band < kBands; ++band) {
      const uint8_t* start = filtered + static_cast<size_t>(band) * (height / kBands) * line;
      sample.insert(sample.end(), start, start + band_rows * line);
    }
  }
  // In order of cost.
  const Compressor candidates[] = {
      {Deflater::kLibdeflate, 1}, {Deflater::kZlibRle, 0}, {Deflater::kLibdeflate, small ? 7 : 6}};
  size_t sizes[3];
  size_t best = SIZE_MAX;
  for (int i = 0; i < 3; ++i) {
    sizes[i] = Deflate(sample.data(), sample.size(), candidates[i].deflater, candidates[i].level).size;
    best = std::min(best, sizes[i]);
  }
  int pick = 0;
  while (sizes[pick] > best + best / 100) ++pick;
  return candidates[pick];
}

}  // namespace

// The profile (iCCP, before PLTE) and the orientation (eXIf), when there
// are any.
void WriteMetadata(const Metadata& meta, MemoryStream& out) {
  if (!meta.icc.empty()) {
    static const char kName[] = "ICC profile";  // with its terminator, then compression method 0
    const Compressed z = Deflate(meta.icc.data(), meta.icc.size(), Deflater::kLibdeflate, 9);
    std::vector<uint8_t> body(kName, kName + sizeof kName);
    body.push_back(0);
    body.insert(body.end(), z.data.get(), z.data.get() + z.size);
    WriteChunk(out, "iCCP", body.data(), static_cast<uint32_t>(body.size()));
  }
  if (meta.orientation != 1) {
    const std::vector<uint8_t> exif = ExifBlock(meta.orientation);
    WriteChunk(out, "eXIf", exif.data(), static_cast<uint32_t>(exif.size()));
  }
}

void EncodePng(const Bitmap& bitmap, MemoryStream& out) {
  PngPlan plan;
  plan.width = static_cast<uint32_t>(bitmap.Width());
  plan.height = static_cast<uint32_t>(bitmap.Height());
  const std::vector<Color> palette = bitmap.Palette();
  const uint8_t* base = bitmap.Row(0);
  size_t stride = bitmap.Stride();
  bool bgr = false;
  IndexedImage exact;
  switch (bitmap.Format()) {
    case kFormat24bppRgb:
      // A 24-bit image of at most 256 colours (a graphic, a chart) is written
      // as a palette image of the same pixels: a third of the data.
      if (ExactColours(base, stride, bitmap.Width(), bitmap.Height(), &exact)) {
        plan.color_type = 3;
        plan.palette = exact.palette;
        base = exact.indices.get();
        stride = exact.pitch;
      } else {
        bgr = true;
      }
      break;
    case kFormat8bppIndexed:
      if (IsGreyRamp(palette)) {
        plan.color_type = 0;
        break;
      }
      [[fallthrough]];
    case kFormat1bppIndexed:
      plan.color_type = 3;
      plan.palette = palette;
      break;
    default: ThrowUnsupported("PNG", bitmap.Format());
  }
  plan.bit_depth = bitmap.Format() == kFormat1bppIndexed ? 1 : 8;
  plan.bpp = bgr ? 3 : 1;
  plan.row_bytes = plan.bit_depth == 1 ? (static_cast<size_t>(plan.width) + 7) / 8 : plan.bpp * plan.width;

  // The compressor and filters, chosen by figures (bench/results/deflate.md).
  // Palette indices are not magnitudes, so row filters only add noise.
  // Small images take the slower, tighter settings outright, but for 1-bit
  // rows, which the slower levels shrink little. Large 8-bit indices gain
  // almost nothing from level 6 over 5, and levels below 5 lose several
  // per cent.
  const bool small = CheckedMul(plan.row_bytes, plan.height) <= (size_t{2} << 20) || plan.height < 64;
  if (plan.color_type == 3) {
    plan.adaptive = false;
    plan.level = plan.bit_depth == 1 ? 6 : small ? 7 : 5;
  } else {
    plan.level = small ? 7 : 1;
    plan.choose = plan.color_type == 0;
  }

  Compressed idat;
  {
    const Block filtered = FilterRows(base, stride, bgr, plan);
    const size_t line = plan.row_bytes + 1;
    if (plan.choose) {
      const Compressor c = ChooseGreyCompressor(filtered.get(), line, plan.height, small);
      plan.deflater = c.deflater;
      plan.level = c.level;
    }
    idat = Deflate(filtered.get(), line * plan.height, plan.deflater, plan.level);
  }

  out.Write(kPngSignature, sizeof kPngSignature);
  uint8_t ihdr[13] = {};
  StoreBe32(ihdr, plan.width);
  StoreBe32(ihdr + 4, plan.height);
  ihdr[8] = plan.bit_depth;
  ihdr[9] = plan.color_type;  // compression, filter method and interlace: 0
  WriteChunk(out, "IHDR", ihdr, sizeof ihdr);
  WriteMetadata(bitmap.Meta(), out);
  if (plan.color_type == 3) {
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
  // A chunk holds at most 2^31 - 1 bytes.
  constexpr size_t kIdatBytes = size_t{1} << 30;
  for (size_t pos = 0; pos < idat.size; pos += kIdatBytes) {
    WriteChunk(out, "IDAT", idat.data.get() + pos, static_cast<uint32_t>(std::min(kIdatBytes, idat.size - pos)));
  }
  WriteChunk(out, "IEND", nullptr, 0);
}

}  // namespace pm
