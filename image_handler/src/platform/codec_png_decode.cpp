// PNG decoding: libpng reads the chunks; the image data of the common
// layouts is inflated in one call by libdeflate and unfiltered here, the
// rest read by libpng. libpng reports errors by longjmp, so every libpng call
// sits in a C-style function that owns the setjmp and holds no object with a
// destructor; the C++ callers own the libpng structures through an RAII
// holder.
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/codec.h"
#include "platform/png_filter.h"

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

void RgbaToBgra(const uint8_t* __restrict src, size_t width, uint8_t* __restrict dst) {
  for (size_t x = 0; x < 4 * width; x += 4) {
    dst[x] = src[x + 2];
    dst[x + 1] = src[x + 1];
    dst[x + 2] = src[x];
    dst[x + 3] = src[x + 3];
  }
}

void GreyAlphaToBgra(const uint8_t* __restrict src, size_t width, uint8_t* __restrict dst) {
  for (size_t x = 0; x < width; ++x) {
    dst[4 * x] = dst[4 * x + 1] = dst[4 * x + 2] = src[2 * x];
    dst[4 * x + 3] = src[2 * x + 1];
  }
}

// Whether a chunk lies whole in the file from `at` with a matching CRC;
// its data's length in *length.
bool WholeChunk(const uint8_t* data, size_t size, size_t at, uint32_t* length) {
  if (at > size || size - at < 12) return false;
  *length = LoadBe32(data + at);
  if (*length > PNG_UINT_31_MAX || *length > size - at - 12) return false;
  return Crc32(0, data + at + 4, *length + size_t{4}) == LoadBe32(data + at + 8 + *length);
}

// The image data of a non-interlaced PNG of 1- or 8-bit indices or grey, or
// of 8-bit RGB, inflated by libdeflate in one call (several times faster
// than zlib's inflate under libpng) and unfiltered here. `pos` is where
// libpng stopped: at the data of the first IDAT chunk. Returns false on
// anything unusual (a CRC error, a stream that is damaged, short or too
// long, a zlib window under 32 KiB, a bad filter, a critical chunk after
// the data): libpng then decodes the rows and reports as it always has.
bool InflateAndUnfilter(const PngJob& job, const PngHeader& h, Bitmap& bitmap) {
  const int type = h.color_type;
  const bool one_plane = type == PNG_COLOR_TYPE_GRAY || type == PNG_COLOR_TYPE_PALETTE;
  const bool eight_bit = one_plane || type == PNG_COLOR_TYPE_RGB || type == PNG_COLOR_TYPE_RGB_ALPHA ||
                         type == PNG_COLOR_TYPE_GRAY_ALPHA;
  if (h.interlace != PNG_INTERLACE_NONE || !((h.bit_depth == 8 && eight_bit) || (h.bit_depth == 1 && one_plane))) {
    return false;
  }
  const uint8_t* const data = job.data;
  if (job.pos < 8 || job.pos > job.size || std::memcmp(data + job.pos - 4, "IDAT", 4) != 0) return false;
  // Each chunk must lie whole in the file with a matching CRC; the IDAT
  // run is followed by ancillary chunks and IEND only.
  size_t at = job.pos - 8, idat_bytes = 0, idat_chunks = 0;
  uint32_t length = 0;
  for (; WholeChunk(data, job.size, at, &length) && std::memcmp(data + at + 4, "IDAT", 4) == 0; at += 12 + size_t{length}) {
    idat_bytes += length;
    ++idat_chunks;
  }
  const size_t idat_end = at;
  for (;; at += 12 + size_t{length}) {
    if (!WholeChunk(data, job.size, at, &length)) return false;
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

  const size_t channels = type == PNG_COLOR_TYPE_RGB         ? 3
                          : type == PNG_COLOR_TYPE_RGB_ALPHA  ? 4
                          : type == PNG_COLOR_TYPE_GRAY_ALPHA ? 2
                                                              : 1;
  const size_t row_bytes = h.bit_depth == 1 ? (size_t{h.width} + 7) / 8 : CheckedMul(h.width, channels);
  const size_t line = CheckedAdd(row_bytes, 1);
  // A deflate stream expands at most 1032 times: a header that declares
  // more rows than its data can hold is left to libpng, which reads the
  // rows there are and reports the rest, without this block.
  const uint64_t inflated = uint64_t{line} * h.height;
  if (inflated / 1032 > idat_bytes || inflated > SIZE_MAX) return false;
  Block rows = AllocBlock(static_cast<size_t>(inflated), false);
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

  // Where the bitmap's rows are no wider than the inflated ones (each of
  // those has its filter byte), they are laid out in the inflated block
  // itself, row y at y * stride, which only overwrites rows already
  // unfiltered: the bitmap then takes that block instead of filling fresh
  // memory of its own. A row that changes its bytes on the way (RGB to
  // BGR) goes through `row_copy`, which then holds the unfiltered row the
  // next one is unfiltered against; a row copied as it is stays usable
  // where it lands.
  const size_t stride = bitmap.Stride();
  const bool in_place = stride <= line;  // never grey with alpha, which widens to BGRA
  std::vector<uint8_t> row_copy(in_place && channels > 1 ? row_bytes : 0);
  const std::vector<uint8_t> zeros(row_bytes, 0);
  const uint8_t* prev = zeros.data();
  uint8_t* const base = in_place ? rows.get() : bitmap.Row(0);
  // Returns where row y's unfiltered bytes are now.
  const auto emit = [&](size_t y, const uint8_t* cur) {
    uint8_t* dst = base + y * stride;
    if (in_place && channels == 1) {
      std::memmove(dst, cur, row_bytes);
      std::memset(dst + row_bytes, 0, stride - row_bytes);
      return static_cast<const uint8_t*>(dst);
    }
    if (in_place) {
      std::memcpy(row_copy.data(), cur, row_bytes);
      cur = row_copy.data();
    }
    switch (channels) {  // as libpng's transforms give them
      case 3: SwapRedBlue(cur, h.width, dst); break;
      case 4: RgbaToBgra(cur, h.width, dst); break;
      case 2: GreyAlphaToBgra(cur, h.width, dst); break;
      default: std::memcpy(dst, cur, row_bytes);
    }
    if (in_place) std::memset(dst + row_bytes, 0, stride - row_bytes);
    return cur;
  };
  for (size_t y = 0; y < h.height; ++y) {
    uint8_t* cur = rows.get() + y * line + 1;
    // cur[line - 1] is the next row's filter type.
    if (cur[-1] == 4 && y + 1 < h.height && cur[line - 1] == 4 &&
        UnfilterPaethPair(cur, cur + line, prev, row_bytes, channels)) {
      emit(y, cur);
      prev = emit(y + 1, cur + line);
      ++y;
      continue;
    }
    if (!FilterBytes<false>(cur[-1], cur, prev, row_bytes, channels, cur)) return false;
    prev = emit(y, cur);
  }
  if (in_place) bitmap.AdoptRows(std::move(rows));
  return true;
}

// The orientation (eXIf) and profile (iCCP) among the chunks before the
// image data. libpng skips both (it would allocate each one's declared
// length first); here each counts only when it appears once, the chunks up
// to it whole with matching CRCs, and the profile inflates to a plausible
// one of at most kMaxIccBytes.
Metadata ReadPngMetadata(const uint8_t* data, size_t size) {
  Metadata meta;
  int exifs = 0, profiles = 0;
  uint32_t length = 0;
  for (size_t at = 8; WholeChunk(data, size, at, &length); at += 12 + size_t{length}) {
    const uint8_t* type = data + at + 4;
    const uint8_t* body = type + 4;
    if (std::memcmp(type, "IDAT", 4) == 0 || std::memcmp(type, "IEND", 4) == 0) break;
    if (std::memcmp(type, "eXIf", 4) == 0 && ++exifs == 1) meta.orientation = ExifOrientation(body, length);
    if (std::memcmp(type, "iCCP", 4) != 0 || ++profiles != 1) continue;
    // A name of 1 to 79 bytes, its terminator, compression method 0.
    const auto* name_end = static_cast<const uint8_t*>(std::memchr(body, 0, std::min<size_t>(length, 80)));
    if (name_end == nullptr || name_end == body || name_end + 1 >= body + length || name_end[1] != 0 ||
        !InflateAtMost(name_end + 2, static_cast<size_t>(body + length - name_end - 2), kMaxIccBytes, meta.icc)) {
      meta.icc.clear();
    }
  }
  if (exifs != 1) meta.orientation = 1;
  if (profiles != 1 || !PlausibleIcc(meta.icc.data(), meta.icc.size())) meta.icc.clear();
  return meta;
}

}  // namespace

Bitmap DecodePng(const uint8_t* data, size_t size) {
  PngJob job;
  job.data = data;
  job.size = size;
  PngHolder holder(&job);
  PngHeader h;
  if (!PngReadHeader(holder.png(), holder.info(), &job, &h)) ThrowDamaged("PNG", job.message);
  // Until PngReadRows sets its own, libpng's jump buffer points into
  // PngReadHeader's finished frame: no libpng call may come between them.

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
  if (!InflateAndUnfilter(job, h, bitmap) && !PngReadRows(holder.png(), holder.info(), layout, h.color_type, h.bit_depth,
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

}  // namespace pm
