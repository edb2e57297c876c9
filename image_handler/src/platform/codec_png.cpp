// PNG through libpng. libpng reports errors by longjmp, so every libpng call
// sits in a C-style function that owns the setjmp and holds no object with a
// destructor; the C++ callers own the libpng structures through RAII holders.
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>

#include "platform/codec.h"

namespace pm {

namespace {

struct PngJob {
  // Input.
  const uint8_t* data = nullptr;
  size_t size = 0;
  size_t pos = 0;
  // Output stream when encoding.
  MemoryStream* out = nullptr;
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

void PngWrite(png_structp png, png_bytep src, size_t n) {
  auto* job = static_cast<PngJob*>(png_get_io_ptr(png));
  try {
    job->out->Write(src, n);
  } catch (const std::exception& e) {
    // No exception may unwind through libpng's C frames.
    std::snprintf(job->message, sizeof job->message, "%s", e.what());
    png_longjmp(png, 1);
  }
}

void PngFlush(png_structp) {}

// Owns a libpng struct of either direction and its info struct.
template <bool kWrite>
class PngHolder {
 public:
  explicit PngHolder(PngJob* job) {
    png_ = kWrite ? png_create_write_struct(PNG_LIBPNG_VER_STRING, job, PngError, PngWarning)
                  : png_create_read_struct(PNG_LIBPNG_VER_STRING, job, PngError, PngWarning);
    if (png_ != nullptr) info_ = png_create_info_struct(png_);
    if (png_ == nullptr || info_ == nullptr) {
      // No destructor runs for a constructor that throws.
      Destroy();
      throw Error(kWrite ? "Out of memory: cannot start the PNG encoder" : "Out of memory: cannot start the PNG decoder");
    }
  }
  ~PngHolder() { Destroy(); }
  PngHolder(const PngHolder&) = delete;
  PngHolder& operator=(const PngHolder&) = delete;
  png_structp png() const { return png_; }
  png_infop info() const { return info_; }

 private:
  void Destroy() {
    if (kWrite) {
      png_destroy_write_struct(&png_, &info_);
    } else {
      png_destroy_read_struct(&png_, &info_, nullptr);
    }
  }
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

}  // namespace

Bitmap DecodePng(const uint8_t* data, size_t size) {
  PngJob job;
  job.data = data;
  job.size = size;
  PngHolder<false> holder(&job);
  PngHeader h;
  if (!PngReadHeader(holder.png(), holder.info(), &job, &h)) throw Error(std::string("PNG data is damaged (") + job.message + ")");

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
  if (!PngReadRows(holder.png(), holder.info(), layout, h.color_type, h.bit_depth, bitmap.Row(0),
                        bitmap.Stride(), h.height)) {
    throw Error(std::string("PNG data is damaged (") + job.message + ")");
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
  return bitmap;
}

// ---------------------------------------------------------------------------
// Encoding.

namespace {

struct PngWritePlan {
  png_uint_32 width = 0, height = 0;
  int bit_depth = 8;
  int color_type = PNG_COLOR_TYPE_RGB;
  png_color plte[256];
  int num_plte = 0;
  png_byte trans[256];
  int num_trans = 0;
  bool bgr = false;
  const uint8_t* base = nullptr;
  size_t stride = 0;
  // Output row y is source row (y / band_rows) * band_step + y % band_rows,
  // so that a sample of bands spread over the image encodes as one image.
  png_uint_32 band_rows = 0;
  size_t band_step = 0;
  // zlib level and libpng row filters.
  int level = 3;
  int filters = PNG_ALL_FILTERS;
  int mem_level = 8;  // zlib's default
};

constexpr png_size_t kIdatBytes = 256 * 1024;

bool PngWriteAll(png_structp png, png_infop info, PngJob* job, const PngWritePlan* p) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_write_fn(png, job, PngWrite, PngFlush);
  png_set_IHDR(png, info, p->width, p->height, p->bit_depth, p->color_type, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (p->color_type == PNG_COLOR_TYPE_PALETTE) {
    png_set_PLTE(png, info, p->plte, p->num_plte);
    if (p->num_trans > 0) png_set_tRNS(png, info, p->trans, p->num_trans, nullptr);
  }
  png_set_filter(png, PNG_FILTER_TYPE_BASE, p->filters);
  png_set_compression_level(png, p->level);
  png_set_compression_mem_level(png, p->mem_level);
  // libpng writes an IDAT chunk each time its buffer fills: at the default
  // 8 KiB that is 12 bytes of chunk framing every 8 KiB.
  png_set_compression_buffer_size(png, kIdatBytes);
  png_write_info(png, info);
  if (p->bgr) png_set_bgr(png);
  for (png_uint_32 y = 0; y < p->height; ++y) {
    const size_t source_row = static_cast<size_t>(y / p->band_rows) * p->band_step + y % p->band_rows;
    png_write_row(png, const_cast<png_bytep>(p->base + source_row * p->stride));
  }
  png_write_end(png, info);
  return true;
}

void PngEncode(const PngWritePlan& plan, MemoryStream& out) {
  PngJob job;
  job.out = &out;
  PngHolder<true> holder(&job);
  if (!PngWriteAll(holder.png(), holder.info(), &job, &plan)) {
    throw Error(std::string("PNG encoder failed: ") + job.message);
  }
}

// Bytes the plan's settings give for a sample of the image: eight bands
// of about 32 KiB each, spread evenly over its height.
size_t PngSampleSize(PngWritePlan plan, int level, int filters) {
  constexpr png_uint_32 kBands = 8;
  const png_uint_32 band_rows = static_cast<png_uint_32>(std::max<size_t>(4, (32 * 1024) / plan.stride));
  plan.band_rows = band_rows;
  plan.band_step = plan.height / kBands;
  plan.height = kBands * band_rows;
  plan.level = level;
  plan.filters = filters;
  MemoryStream sample;
  PngEncode(plan, sample);
  return sample.Size();
}

// zlib's fast levels (1 to 3) suit photographs: after row filtering their
// data has few long matches, and level 3 comes close to level 6 at a
// fraction of the time. Line art, text scans, flat graphics and some grey
// photographs compress much better with lazy matching (levels 4 to 6), so
// a sample of the image decides: the cheapest level whose sample is within
// 1 % of the best one's. Small images take level 6 and libpng's adaptive
// filters outright, its defaults, since the choice would cost more than it
// saves.
//
// Trying all five row filters on every row is a large part of a fast
// encode; for continuous-tone rows (RGB and grey) Paeth alone comes close
// to its size (figures in bench/results/), where Sub with Up, faster still,
// loses more on some images.
void PngChooseSettings(PngWritePlan* plan) {
  constexpr size_t kSmallImage = 2u << 20;
  if (plan->stride * plan->height <= kSmallImage || plan->height < 64) {
    plan->level = 6;
    return;
  }
  if (plan->color_type == PNG_COLOR_TYPE_RGB || plan->color_type == PNG_COLOR_TYPE_GRAY) {
    plan->filters = PNG_FILTER_PAETH;
  }
  // zlib's largest hash table: a little smaller at the fast levels at the
  // same speed (it does nothing for small images).
  plan->mem_level = 9;
  const size_t fast = PngSampleSize(*plan, 3, plan->filters);
  plan->level = 3;
  const size_t lazy = PngSampleSize(*plan, 4, plan->filters);
  if (lazy * 101 >= fast * 100) return;
  const size_t best = PngSampleSize(*plan, 6, plan->filters);
  plan->level = lazy * 100 <= best * 101 ? 4 : 6;
}

}  // namespace

void EncodePng(const Bitmap& bitmap, MemoryStream& out) {
  PngWritePlan plan;
  plan.width = static_cast<png_uint_32>(bitmap.Width());
  plan.height = static_cast<png_uint_32>(bitmap.Height());
  plan.band_rows = plan.height;
  plan.base = bitmap.Row(0);
  plan.stride = bitmap.Stride();
  const std::vector<Color> palette = bitmap.Palette();
  switch (bitmap.Format()) {
    case kFormat24bppRgb:
      plan.color_type = PNG_COLOR_TYPE_RGB;
      plan.bgr = true;
      break;
    case kFormat8bppIndexed:
      if (IsGreyRamp(palette)) {
        plan.color_type = PNG_COLOR_TYPE_GRAY;
        break;
      }
      // Palette indices are not magnitudes, so row filters only add noise.
      plan.filters = PNG_FILTER_NONE;
      [[fallthrough]];
    case kFormat1bppIndexed: {
      plan.color_type = PNG_COLOR_TYPE_PALETTE;
      plan.bit_depth = bitmap.Format() == kFormat1bppIndexed ? 1 : 8;
      plan.num_plte = static_cast<int>(palette.size());
      for (int i = 0; i < plan.num_plte; ++i) {
        plan.plte[i] = png_color{palette[i].r, palette[i].g, palette[i].b};
        plan.trans[i] = palette[i].a;
        if (palette[i].a != 255) plan.num_trans = i + 1;  // tRNS stops after the last non-opaque entry
      }
      break;
    }
    default: throw Error("PNG encoder: pixel format " + std::to_string(static_cast<int32_t>(bitmap.Format())) + " is not supported");
  }
  PngChooseSettings(&plan);
  PngEncode(plan, out);
}

}  // namespace pm
