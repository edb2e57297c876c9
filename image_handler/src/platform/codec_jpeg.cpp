// JPEG through libjpeg-turbo. Like libpng it reports errors by longjmp: the
// setjmp lives in C-style functions without destructible objects, and the
// C++ callers own the codec structures.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <csetjmp>
#include <cstring>
#include <memory>
#include <optional>

#include <jpeglib.h>
#include <jerror.h>

#include "platform/codec.h"

namespace pm {

namespace {

struct JpegErrorMgr {
  jpeg_error_mgr pub;
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX + 64];
};

void JpegErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<JpegErrorMgr*>(cinfo->err);
  if (err->message[0] == '\0') (*cinfo->err->format_message)(cinfo, err->message);
  longjmp(err->jump, 1);
}

// Warnings that mean the data is damaged end the decode like errors:
// libjpeg would otherwise fill in grey blocks and report success.
void JpegEmitMessage(j_common_ptr cinfo, int msg_level) {
  if (msg_level >= 0) return;  // trace messages
  switch (cinfo->err->msg_code) {
    case JWRN_JFIF_MAJOR:
    case JWRN_ADOBE_XFORM:
    case JWRN_BOGUS_ICC:
      return;  // harmless header quirks
    default: JpegErrorExit(cinfo);
  }
}

void JpegProgress(j_common_ptr cinfo) {
  if (!cinfo->is_decompressor) return;
  auto* dinfo = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (dinfo->input_scan_number > MaxJpegScans()) {
    auto* err = reinterpret_cast<JpegErrorMgr*>(cinfo->err);
    std::snprintf(err->message, sizeof err->message, "more than %d progressive scans", MaxJpegScans());
    longjmp(err->jump, 1);
  }
}

void InitErrors(JpegErrorMgr* err) {
  jpeg_std_error(&err->pub);
  err->pub.error_exit = JpegErrorExit;
  err->pub.emit_message = JpegEmitMessage;
  err->message[0] = '\0';
}

// Owns a codec struct of either direction, its error manager, the progress
// monitor (decoding) and libjpeg's output buffer (encoding).
template <typename Cinfo>
class JpegHolder {
 public:
  JpegHolder() {
    InitErrors(&err_);
    std::memset(&cinfo_, 0, sizeof cinfo_);
    cinfo_.err = &err_.pub;
  }
  ~JpegHolder() {
    if (created_) jpeg_destroy(reinterpret_cast<j_common_ptr>(&cinfo_));
    if (buffer_ != first_.get()) std::free(buffer_);
  }
  JpegHolder(const JpegHolder&) = delete;
  JpegHolder& operator=(const JpegHolder&) = delete;
  Cinfo* cinfo() { return &cinfo_; }
  JpegErrorMgr* err() { return &err_; }
  jpeg_progress_mgr* progress() { return &progress_; }
  void set_created() { created_ = true; }
  unsigned char** buffer() { return &buffer_; }
  unsigned long* buffer_size() { return &buffer_size_; }
  // The output buffer libjpeg starts with (and leaves alone); it moves to a
  // buffer of its own, which the holder frees, only when this one fills.
  void SetFirstBuffer(Block block, size_t size) {
    first_ = std::move(block);
    buffer_ = first_.get();
    buffer_size_ = static_cast<unsigned long>(size);
  }

 private:
  Cinfo cinfo_;
  JpegErrorMgr err_;
  jpeg_progress_mgr progress_{};
  bool created_ = false;
  Block first_;
  unsigned char* buffer_ = nullptr;
  unsigned long buffer_size_ = 0;
};
using JpegDecompressHolder = JpegHolder<jpeg_decompress_struct>;
using JpegCompressHolder = JpegHolder<jpeg_compress_struct>;

struct JpegHeader {
  JDIMENSION width = 0, height = 0;
  J_COLOR_SPACE colour = JCS_UNKNOWN;
  int components = 0;
  // The ICC profile libjpeg joined from the APP2 markers (malloc'ed; the
  // caller frees it), or null.
  JOCTET* icc = nullptr;
  unsigned int icc_size = 0;
};

constexpr size_t kExifPrefix = 6;  // "Exif\0\0" before the TIFF structure

bool JpegReadHeader(JpegDecompressHolder* h, const uint8_t* data, size_t size, JpegHeader* out) {
  jpeg_decompress_struct* cinfo = h->cinfo();
  if (setjmp(h->err()->jump)) return false;
  jpeg_create_decompress(cinfo);
  h->set_created();
  h->progress()->progress_monitor = JpegProgress;
  cinfo->progress = h->progress();
  // Bounds the coefficient buffers of progressive and multi-scan files.
  cinfo->mem->max_memory_to_use = JpegMemoryLimit(UINT64_MAX);
  jpeg_mem_src(cinfo, data, static_cast<unsigned long>(size));
  // Exif (APP1) and ICC (APP2) markers are kept for the metadata; each is at
  // most 64 KiB and lies inside the file.
  jpeg_save_markers(cinfo, JPEG_APP0 + 1, 0xFFFF);
  jpeg_save_markers(cinfo, JPEG_APP0 + 2, 0xFFFF);
  jpeg_read_header(cinfo, TRUE);
  out->width = cinfo->image_width;
  out->height = cinfo->image_height;
  out->colour = cinfo->jpeg_color_space;
  out->components = cinfo->num_components;
  // Chunks out of sequence, missing or repeated are a warning (ignored) and
  // no profile.
  if (!jpeg_read_icc_profile(cinfo, &out->icc, &out->icc_size)) out->icc = nullptr;
  return true;
}

// The orientation in the first Exif APP1 marker, 1 without one.
int JpegOrientation(jpeg_decompress_struct* cinfo) {
  for (jpeg_saved_marker_ptr m = cinfo->marker_list; m != nullptr; m = m->next) {
    if (m->marker == JPEG_APP0 + 1 && m->data_length >= kExifPrefix && std::memcmp(m->data, "Exif\0\0", kExifPrefix) == 0) {
      return ExifOrientation(m->data + kExifPrefix, m->data_length - kExifPrefix);
    }
  }
  return 1;
}

bool JpegReadRows(JpegDecompressHolder* h, J_COLOR_SPACE out_space, uint8_t* base, size_t stride) {
  jpeg_decompress_struct* cinfo = h->cinfo();
  if (setjmp(h->err()->jump)) return false;
  cinfo->out_color_space = out_space;
  cinfo->dct_method = JDCT_ISLOW;
  jpeg_start_decompress(cinfo);
  while (cinfo->output_scanline < cinfo->output_height) {
    JSAMPROW row = base + static_cast<size_t>(cinfo->output_scanline) * stride;
    jpeg_read_scanlines(cinfo, &row, 1);
  }
  jpeg_finish_decompress(cinfo);
  return true;
}

}  // namespace

Bitmap DecodeJpeg(const uint8_t* data, size_t size) {
  JpegDecompressHolder holder;
  JpegHeader h;
  const bool read = JpegReadHeader(&holder, data, size, &h);
  const std::unique_ptr<JOCTET, decltype(&std::free)> icc(h.icc, &std::free);
  if (!read) ThrowDamaged("JPEG", holder.err()->message);
  if (h.width == 0 || h.height == 0 || h.width > INT32_MAX || h.height > INT32_MAX) {
    throw Error("JPEG image size is out of range");
  }
  const auto w = static_cast<int32_t>(h.width);
  const auto ht = static_cast<int32_t>(h.height);

  PixelFormat format;
  J_COLOR_SPACE out_space;
  switch (h.colour) {
    case JCS_GRAYSCALE:
      format = kFormat8bppIndexed;
      out_space = JCS_GRAYSCALE;
      break;
    case JCS_YCbCr:
    case JCS_RGB:
      format = kFormat24bppRgb;
      out_space = JCS_EXT_BGR;
      break;
    case JCS_CMYK:
    case JCS_YCCK: return Bitmap::Header(w, ht, kFormat32bppCMYK);
    default: throw Error("JPEG colour space with " + std::to_string(h.components) + " components is not supported");
  }

  Bitmap bitmap(w, ht, format);
  bitmap.Meta().orientation = JpegOrientation(holder.cinfo());
  if (PlausibleIcc(icc.get(), h.icc_size)) bitmap.Meta().icc.assign(icc.get(), icc.get() + h.icc_size);
  const uint64_t samples = static_cast<uint64_t>(w) * static_cast<uint64_t>(ht) * (format == kFormat24bppRgb ? 3 : 1);
  holder.cinfo()->mem->max_memory_to_use = JpegMemoryLimit(samples);
  if (!JpegReadRows(&holder, out_space, bitmap.Row(0), bitmap.Stride())) {
    ThrowDamaged("JPEG", holder.err()->message);
  }
  return bitmap;
}

// ---------------------------------------------------------------------------
// Encoding.

namespace {

struct JpegWritePlan {
  JDIMENSION width = 0, height = 0;
  int components = 3;
  J_COLOR_SPACE in_space = JCS_EXT_BGR;
  int quality = 75;
  // The rows, written as they are or, for indexed bitmaps, expanded through
  // the palette.
  const uint8_t* base = nullptr;
  size_t stride = 0;
  bool one_bit = false;
  bool indexed = false;
  // Each index's pixel as four input bytes (blue, green, red, unused), so
  // that a colour pixel is one load and one store.
  uint32_t pixels[256] = {};
  uint8_t* scratch = nullptr;
  const BitUnpacker* unpack = nullptr;  // grey 1-bit rows: the two samples
  // Markers after the header: an Exif APP1 (with its prefix) and the ICC
  // profile, each written when not empty.
  const uint8_t* exif = nullptr;
  size_t exif_size = 0;
  const uint8_t* icc = nullptr;
  size_t icc_size = 0;
};

// The palette as input pixels for every index a row can hold; indices past
// the palette are black.
void FillPixels(const std::vector<Color>& palette, uint32_t* pixels) {
  for (size_t i = 0; i < 256; ++i) {
    const Color c = i < palette.size() ? palette[i] : Color{0, 0, 0, 255};
    const uint8_t bgrx[4] = {c.b, c.g, c.r, 0};
    std::memcpy(&pixels[i], bgrx, 4);
  }
}

// One row through the palette, one loop a layout so that the inner loops
// are plain lookups.
void ExpandRow(const JpegWritePlan* p, JDIMENSION y, uint8_t* __restrict dst) {
  const uint8_t* __restrict src = p->base + static_cast<size_t>(y) * p->stride;
  const JDIMENSION w = p->width;
  if (p->unpack != nullptr) {
    p->unpack->Row(src, w, dst);
  } else if (p->one_bit) {
    for (JDIMENSION x = 0; x < w; ++x) std::memcpy(dst + 4 * x, &p->pixels[(src[x >> 3] >> (7 - (x & 7))) & 1u], 4);
  } else {
    for (JDIMENSION x = 0; x < w; ++x) std::memcpy(dst + 4 * x, &p->pixels[src[x]], 4);
  }
}

bool JpegWriteAll(JpegCompressHolder* h, const JpegWritePlan* p) {
  jpeg_compress_struct* cinfo = h->cinfo();
  if (setjmp(h->err()->jump)) return false;
  jpeg_create_compress(cinfo);
  h->set_created();
  jpeg_mem_dest(cinfo, h->buffer(), h->buffer_size());
  cinfo->image_width = p->width;
  cinfo->image_height = p->height;
  cinfo->input_components = p->components;
  cinfo->in_color_space = p->in_space;
  jpeg_set_defaults(cinfo);
  jpeg_set_quality(cinfo, p->quality, TRUE);
  // jpeg_set_defaults gives colour images 4:2:0 chroma subsampling.
  cinfo->dct_method = JDCT_ISLOW;
  jpeg_start_compress(cinfo, TRUE);
  if (p->exif_size > 0) jpeg_write_marker(cinfo, JPEG_APP0 + 1, p->exif, static_cast<unsigned int>(p->exif_size));
  if (p->icc_size > 0) jpeg_write_icc_profile(cinfo, p->icc, static_cast<unsigned int>(p->icc_size));
  while (cinfo->next_scanline < cinfo->image_height) {
    JSAMPROW row;
    if (p->indexed) {
      ExpandRow(p, cinfo->next_scanline, p->scratch);
      row = p->scratch;
    } else {
      row = const_cast<JSAMPROW>(p->base + static_cast<size_t>(cinfo->next_scanline) * p->stride);
    }
    jpeg_write_scanlines(cinfo, &row, 1);
  }
  jpeg_finish_compress(cinfo);
  return true;
}

bool IsGreyPalette(const std::vector<Color>& palette) {
  for (const Color& c : palette) {
    if (c.r != c.g || c.g != c.b) return false;
  }
  return true;
}

}  // namespace

void EncodeJpeg(Bitmap& bitmap, int quality, MemoryStream& out) {
  JpegWritePlan plan;
  plan.width = static_cast<JDIMENSION>(bitmap.Width());
  plan.height = static_cast<JDIMENSION>(bitmap.Height());
  plan.quality = quality;  // jpeg_set_quality clamps it to 1 ... 100
  plan.base = bitmap.Row(0);
  plan.stride = bitmap.Stride();
  const std::vector<Color> palette = bitmap.Palette();
  Block scratch;
  std::optional<BitUnpacker> unpack;
  switch (bitmap.Format()) {
    case kFormat24bppRgb: break;
    case kFormat8bppIndexed:
      if (IsGreyRamp(palette)) {
        plan.components = 1;
        plan.in_space = JCS_GRAYSCALE;
        break;
      }
      [[fallthrough]];
    case kFormat1bppIndexed: {
      const bool grey = bitmap.Format() == kFormat1bppIndexed && IsGreyPalette(palette);
      // Colour rows go in with a fourth, unused byte a pixel: the same
      // samples to the colour conversion, and a cheaper expansion.
      plan.components = grey ? 1 : 4;
      plan.in_space = grey ? JCS_GRAYSCALE : JCS_EXT_BGRX;
      plan.one_bit = bitmap.Format() == kFormat1bppIndexed;
      plan.indexed = true;
      FillPixels(palette, plan.pixels);
      if (grey) {  // a grey entry's samples are all its red one; missing entries are black
        auto red = [&](size_t i) { return i < palette.size() ? palette[i].r : uint8_t{0}; };
        unpack.emplace(red(0), red(1));
        plan.unpack = &*unpack;
      }
      scratch = AllocBlock(CheckedMul(static_cast<size_t>(bitmap.Width()), 4), false);
      plan.scratch = scratch.get();
      break;
    }
    default:
      ThrowUnsupported("JPEG", bitmap.Format());
  }
  if (plan.width > JPEG_MAX_DIMENSION || plan.height > JPEG_MAX_DIMENSION) {
    throw Error("JPEG cannot hold an image of " + std::to_string(plan.width) + " x " + std::to_string(plan.height) +
                " pixels (at most " + std::to_string(JPEG_MAX_DIMENSION) + " a side)");
  }
  std::vector<uint8_t> exif;
  if (bitmap.Meta().orientation != 1) {
    exif.assign({'E', 'x', 'i', 'f', 0, 0});
    const std::vector<uint8_t> block = ExifBlock(bitmap.Meta().orientation);
    exif.insert(exif.end(), block.begin(), block.end());
    plan.exif = exif.data();
    plan.exif_size = exif.size();
  }
  // 255 APP2 markers of at most 65519 profile bytes each.
  const std::vector<uint8_t>& icc = bitmap.Meta().icc;
  if (!icc.empty() && icc.size() <= size_t{255} * 65519) {
    plan.icc = icc.data();
    plan.icc_size = icc.size();
  }
  JpegCompressHolder holder;
  // libjpeg's own buffer grows by copying into fresh memory. Ours holds the
  // largest file baseline coding can make of the image (three bytes a pixel
  // over whole MCUs, and the tables): address space, of which only what is
  // written becomes resident. Where even that cannot be had, a small one.
  // Both sides are at most JPEG_MAX_DIMENSION: no overflow in 64 bits.
  const uint64_t bound = ((uint64_t{plan.width} + 15) & ~uint64_t{15}) * ((uint64_t{plan.height} + 15) & ~uint64_t{15}) * 3 + 2048;
  Block first;
  if (bound <= SIZE_MAX && bound <= ULONG_MAX && GrowBlock(first, 0, static_cast<size_t>(bound))) {
    holder.SetFirstBuffer(std::move(first), static_cast<size_t>(bound));
  } else {
    holder.SetFirstBuffer(AllocBlock(65536, false), 65536);
  }
  if (!JpegWriteAll(&holder, &plan)) throw Error(std::string("JPEG encoder failed: ") + holder.err()->message);
  out.Write(*holder.buffer(), *holder.buffer_size());
}

}  // namespace pm
