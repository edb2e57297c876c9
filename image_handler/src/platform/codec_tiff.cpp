// TIFF through libtiff, reading from and writing to memory. Bilevel, grey,
// palette and 16-bit RGB images are read as stored (strips or tiles, any
// compression libtiff has); 8-bit RGB and YCbCr go through libtiff's RGBA
// interface, which handles subsampling, JPEG and planar layouts.
#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/codec.h"
#include "platform/lzw.h"
#include "platform/quantize.h"

namespace pm {

namespace {

struct TiffIo {
  // Reading.
  const uint8_t* data = nullptr;
  size_t size = 0;
  // Writing.
  MemoryStream* out = nullptr;
  size_t pos = 0;
  // The first error's text. A fixed buffer: the handlers run with libtiff's
  // C frames on the stack, where nothing may allocate or throw.
  char message[512] = {0};
  bool failed() const { return message[0] != '\0'; }
};

tmsize_t TiffRead(thandle_t h, void* buf, tmsize_t n) {
  auto* io = static_cast<TiffIo*>(h);
  if (io->out != nullptr || n < 0 || io->pos >= io->size) return 0;
  size_t want = static_cast<size_t>(n);
  if (want > io->size - io->pos) want = io->size - io->pos;
  std::memcpy(buf, io->data + io->pos, want);
  io->pos += want;
  return static_cast<tmsize_t>(want);
}

tmsize_t TiffWrite(thandle_t h, void* buf, tmsize_t n) {
  auto* io = static_cast<TiffIo*>(h);
  if (io->out == nullptr || n < 0) return -1;
  try {
    io->out->Seek(io->pos);
    io->out->Write(buf, static_cast<size_t>(n));
  } catch (const std::exception& e) {
    if (!io->failed()) std::snprintf(io->message, sizeof io->message, "%s", e.what());
    return -1;
  }
  io->pos += static_cast<size_t>(n);
  return n;
}

toff_t TiffSeek(thandle_t h, toff_t off, int whence) {
  auto* io = static_cast<TiffIo*>(h);
  const size_t end = io->out != nullptr ? io->out->Size() : io->size;
  uint64_t base = 0;
  if (whence == SEEK_CUR) base = io->pos;
  if (whence == SEEK_END) base = end;
  const uint64_t target = base + off;
  if (target < base || target > static_cast<uint64_t>(PTRDIFF_MAX)) return static_cast<toff_t>(-1);
  io->pos = static_cast<size_t>(target);
  return target;
}

int TiffClose(thandle_t) { return 0; }
toff_t TiffSize(thandle_t h) {
  auto* io = static_cast<TiffIo*>(h);
  return io->out != nullptr ? io->out->Size() : io->size;
}

int TiffErrorHandler(TIFF*, void* user, const char*, const char* fmt, va_list ap) {
  auto* io = static_cast<TiffIo*>(user);
  if (io == nullptr || io->failed()) return 1;
  std::vsnprintf(io->message, sizeof io->message, fmt, ap);
  // An orientation out of range is metadata libtiff leaves out before it
  // reads on: no damage to the picture.
  if (std::strstr(io->message, "for \"Orientation\" tag") != nullptr) io->message[0] = '\0';
  return 1;
}

// Warnings about unknown tags or IFD loops past the first page do not matter
// here, but the fax decoders report damaged lines only as warnings.
int TiffWarningHandler(TIFF* tif, void* user, const char* module, const char* fmt, va_list ap) {
  if (module != nullptr && std::strncmp(module, "Fax", 3) == 0) return TiffErrorHandler(tif, user, module, fmt, ap);
  return 1;
}

void CheckSampleBytes(size_t bytes, const char* what) {
  if (bytes > MaxSampleBytes()) {
    throw Error(std::string("Image too large: ") + std::to_string(bytes) + " bytes of stored " + what + " exceed the " +
                   std::to_string(MaxSampleBytes()) + " this image may take");
  }
}

class TiffHolder {
 public:
  TiffHolder(TiffIo* io, const char* mode) {
    TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
    if (opts == nullptr) throw Error("Out of memory: cannot start the TIFF codec");
    TIFFOpenOptionsSetErrorHandlerExtR(opts, TiffErrorHandler, io);
    TIFFOpenOptionsSetWarningHandlerExtR(opts, TiffWarningHandler, io);
    TIFFOpenOptionsSetMaxSingleMemAlloc(opts, static_cast<tmsize_t>(MaxSampleBytes()));
    // The name is libtiff's label in its own texts, which the handlers drop.
    // No map procedures: libtiff reads through TiffRead. Handing it the
    // file in memory as a mapping made loads no faster.
    tif_ = TIFFClientOpenExt("image", mode, io, TiffRead, TiffWrite, TiffSeek, TiffClose, TiffSize, nullptr, nullptr,
                             opts);
    TIFFOpenOptionsFree(opts);
  }
  ~TiffHolder() {
    if (tif_ != nullptr) TIFFClose(tif_);
  }
  TiffHolder(const TiffHolder&) = delete;
  TiffHolder& operator=(const TiffHolder&) = delete;
  TIFF* get() const { return tif_; }
  TIFF* release() {
    TIFF* t = tif_;
    tif_ = nullptr;
    return t;
  }

 private:
  TIFF* tif_ = nullptr;
};

[[noreturn]] void TiffDamaged(const TiffIo& io, const char* fallback) {
  ThrowDamaged("TIFF", io.failed() ? io.message : fallback);
}

struct TiffShape {
  uint32_t width = 0, height = 0;
  uint16_t bps = 1, spp = 1, photometric = PHOTOMETRIC_MINISWHITE, planar = PLANARCONFIG_CONTIG;
  uint16_t sample_format = SAMPLEFORMAT_UINT;
  uint16_t extra_count = 0;
  bool alpha = false;  // the first extra sample is alpha
};

// Reads one plane of the whole image as stored, `row_bytes` a row.
Block ReadPlane(TIFF* tif, const TiffShape& s, uint16_t plane, size_t row_bytes, const TiffIo& io) {
  const size_t h = s.height;
  CheckSampleBytes(CheckedMul(row_bytes, h), "samples");
  Block dst = AllocBlock(CheckedMul(row_bytes, h), false);
  if (TIFFIsTiled(tif)) {
    uint32_t tw = 0, th = 0;
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &th);
    const tmsize_t tile_bytes = TIFFTileSize(tif);
    const tmsize_t tile_row = TIFFTileRowSize(tif);
    if (tw == 0 || th == 0 || tile_bytes <= 0 || tile_row <= 0) TiffDamaged(io, "bad tile size");
    CheckSampleBytes(static_cast<size_t>(tile_bytes), "tile samples");
    const size_t bits_per_pixel = static_cast<size_t>(s.bps) * (s.planar == PLANARCONFIG_CONTIG ? s.spp : 1);
    Block tile = AllocBlock(static_cast<size_t>(tile_bytes), false);
    for (uint32_t ty = 0; ty < s.height; ty += th) {
      for (uint32_t tx = 0; tx < s.width; tx += tw) {
        if (TIFFReadTile(tif, tile.get(), tx, ty, 0, plane) < 0) TiffDamaged(io, "cannot read a tile");
        const size_t col = static_cast<size_t>(tx) * bits_per_pixel / 8;
        const size_t n = std::min(static_cast<size_t>(tile_row), row_bytes - col);
        for (uint32_t r = 0; r < th && ty + r < s.height; ++r) {
          std::memcpy(dst.get() + (ty + r) * row_bytes + col, tile.get() + r * static_cast<size_t>(tile_row), n);
        }
      }
      if (th > s.height - ty) break;
    }
    return dst;
  }
  uint32_t rps = 0;
  if (TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rps) == 0 || rps == 0 || rps > s.height) rps = s.height;
  for (uint32_t row = 0; row < s.height; row += rps) {
    const uint32_t rows = std::min(rps, s.height - row);
    const tmsize_t want = static_cast<tmsize_t>(rows * row_bytes);
    const tmsize_t got = TIFFReadEncodedStrip(tif, TIFFComputeStrip(tif, row, plane), dst.get() + row * row_bytes, want);
    if (got < want) TiffDamaged(io, "strip data ends early");
    if (rps > s.height - row) break;
  }
  return dst;
}

std::vector<Color> ColourMap(TIFF* tif, int entries, const TiffIo& io) {
  uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
  if (TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b) == 0 || r == nullptr || g == nullptr || b == nullptr) {
    TiffDamaged(io, "palette image without a colour map");
  }
  // Some writers store 8-bit values in the 16-bit map.
  bool eight_bit = true;
  for (int i = 0; i < entries; ++i) {
    if (r[i] > 255 || g[i] > 255 || b[i] > 255) eight_bit = false;
  }
  const int shift = eight_bit ? 0 : 8;
  std::vector<Color> palette(static_cast<size_t>(entries));
  for (int i = 0; i < entries; ++i) {
    palette[i] = Color{static_cast<uint8_t>(r[i] >> shift), static_cast<uint8_t>(g[i] >> shift),
                       static_cast<uint8_t>(b[i] >> shift), 255};
  }
  return palette;
}

inline unsigned Sample(const uint8_t* row, size_t index, unsigned bps) {
  if (bps == 8) return row[index];
  if (bps == 16) {
    uint16_t v;
    std::memcpy(&v, row + 2 * index, 2);
    return v;
  }
  const size_t bit = index * bps;
  return (row[bit >> 3] >> (8 - bps - (bit & 7))) & ((1u << bps) - 1);
}

// Bilevel, grey and palette images of at most 8 bits a sample.
Bitmap DecodeIndexed(TIFF* tif, const TiffShape& s, const TiffIo& io) {
  const auto w = static_cast<int32_t>(s.width);
  const auto h = static_cast<int32_t>(s.height);
  const bool contig = s.planar == PLANARCONFIG_CONTIG;
  const size_t samples = contig ? s.spp : 1;
  const size_t row_bytes = (CheckedMul(CheckedMul(s.width, s.bps), samples) + 7) / 8;
  const bool palette_image = s.photometric == PHOTOMETRIC_PALETTE;

  if (s.bps == 1 && samples == 1) {
    Bitmap bitmap(w, h, kFormat1bppIndexed);  // checks the size before the read allocates
    Block raw = ReadPlane(tif, s, 0, row_bytes, io);
    for (int32_t y = 0; y < h; ++y) std::memcpy(bitmap.Row(y), raw.get() + y * row_bytes, row_bytes);
    if (palette_image) {
      bitmap.SetPalette(ColourMap(tif, 2, io));
    } else if (s.photometric == PHOTOMETRIC_MINISWHITE) {
      bitmap.SetPalette({Color{255, 255, 255, 255}, Color{0, 0, 0, 255}});
    }
    return bitmap;
  }

  Bitmap bitmap(w, h, kFormat8bppIndexed);
  Block raw = ReadPlane(tif, s, 0, row_bytes, io);
  const unsigned max = (1u << s.bps) - 1;
  const bool invert = s.photometric == PHOTOMETRIC_MINISWHITE;
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* src = raw.get() + y * row_bytes;
    uint8_t* dst = bitmap.Row(y);
    for (int32_t x = 0; x < w; ++x) {
      const unsigned v = Sample(src, static_cast<size_t>(x) * samples, s.bps);
      if (palette_image) {
        dst[x] = static_cast<uint8_t>(v);
      } else {
        const unsigned grey = v * 255 / max;
        dst[x] = static_cast<uint8_t>(invert ? 255 - grey : grey);
      }
    }
  }
  // Grey with an alpha sample: opaque everywhere loads as plain grey.
  if (s.alpha && !palette_image) {
    Block alpha_plane;
    const uint8_t* alpha_base = raw.get();
    size_t alpha_stride = row_bytes, alpha_index = 1, alpha_step = samples;
    if (!contig) {
      alpha_plane = ReadPlane(tif, s, 1, row_bytes, io);
      alpha_base = alpha_plane.get();
      alpha_index = 0;
      alpha_step = 1;
    }
    for (int32_t y = 0; y < h; ++y) {
      for (int32_t x = 0; x < w; ++x) {
        if (Sample(alpha_base + y * alpha_stride, alpha_index + x * alpha_step, s.bps) != max) {
          return Bitmap::Header(w, h, kFormat32bppArgb);
        }
      }
    }
  }
  if (palette_image) bitmap.SetPalette(ColourMap(tif, 1 << s.bps, io));
  return bitmap;
}

// 16-bit RGB, contiguous or planar, as blue, green, red words.
Bitmap DecodeRgb16(TIFF* tif, const TiffShape& s, const TiffIo& io) {
  const auto w = static_cast<int32_t>(s.width);
  const auto h = static_cast<int32_t>(s.height);
  Bitmap bitmap(w, h, kFormat48bppRgb);
  const bool contig = s.planar == PLANARCONFIG_CONTIG;
  const size_t samples = contig ? s.spp : 1;
  const size_t row_bytes = CheckedMul(CheckedMul(s.width, 2), samples);
  Block planes[4];
  const int plane_count = contig ? 1 : (s.alpha ? 4 : 3);
  for (int p = 0; p < plane_count; ++p) planes[p] = ReadPlane(tif, s, static_cast<uint16_t>(p), row_bytes, io);
  auto sample = [&](int channel, int32_t y, int32_t x) -> uint16_t {
    uint16_t v;
    const uint8_t* base = contig ? planes[0].get() : planes[channel].get();
    const size_t index = contig ? static_cast<size_t>(x) * samples + channel : static_cast<size_t>(x);
    std::memcpy(&v, base + y * row_bytes + 2 * index, 2);
    return v;
  };
  if (s.alpha) {
    for (int32_t y = 0; y < h; ++y) {
      for (int32_t x = 0; x < w; ++x) {
        if (sample(3, y, x) != 0xFFFF) return Bitmap::Header(w, h, kFormat64bppArgb);
      }
    }
  }
  for (int32_t y = 0; y < h; ++y) {
    auto* dst = bitmap.Row(y);
    for (int32_t x = 0; x < w; ++x) {
      const uint16_t bgr[3] = {sample(2, y, x), sample(1, y, x), sample(0, y, x)};
      std::memcpy(dst + 6 * static_cast<size_t>(x), bgr, 6);
    }
  }
  return bitmap;
}

class RgbaImageHolder {
 public:
  RgbaImageHolder() { std::memset(&img_, 0, sizeof img_); }
  ~RgbaImageHolder() {
    if (begun_) TIFFRGBAImageEnd(&img_);
  }
  RgbaImageHolder(const RgbaImageHolder&) = delete;
  RgbaImageHolder& operator=(const RgbaImageHolder&) = delete;
  TIFFRGBAImage* get() { return &img_; }
  void set_begun() { begun_ = true; }

 private:
  TIFFRGBAImage img_;
  bool begun_ = false;
};

// 8-bit RGB and YCbCr through libtiff's RGBA interface, rows as stored.
Bitmap DecodeRgba(TIFF* tif, const TiffShape& s, TiffIo& io) {
  const auto w = static_cast<int32_t>(s.width);
  const auto h = static_cast<int32_t>(s.height);
  char emsg[1024] = {0};
  if (TIFFRGBAImageOK(tif, emsg) == 0) {
    throw Error(std::string("TIFF layout is not supported (") + emsg + ")");
  }
  Bitmap bitmap(w, h, kFormat32bppArgb);  // stride 4 * width: the raster libtiff wants
  RgbaImageHolder img;
  if (TIFFRGBAImageBegin(img.get(), tif, 1, emsg) == 0) ThrowDamaged("TIFF", emsg);
  img.set_begun();
  img.get()->req_orientation = img.get()->orientation;  // pixels as stored
  if (TIFFRGBAImageGet(img.get(), reinterpret_cast<uint32_t*>(bitmap.Row(0)), s.width, s.height) == 0) {
    TiffDamaged(io, "cannot decode the image");
  }
  // The raster holds R, G, B, A bytes; the bitmap wants B, G, R, A.
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = bitmap.Row(y);
    for (int32_t x = 0; x < w; ++x) std::swap(row[4 * x], row[4 * x + 2]);
  }
  if (AllOpaque8(bitmap, 4 * static_cast<size_t>(w), 3, 4)) DropAlpha8(bitmap, false);
  return bitmap;
}

}  // namespace

static Bitmap DecodeFirstPage(TIFF* tif, TiffIo& io);

Bitmap DecodeTiff(const uint8_t* data, size_t size) {
  TiffIo io;
  io.data = data;
  io.size = size;
  TiffHolder holder(&io, "r");
  TIFF* tif = holder.get();
  if (tif == nullptr) TiffDamaged(io, "cannot read the header");
  if (io.failed()) TiffDamaged(io, "");
  Bitmap bitmap = DecodeFirstPage(tif, io);
  if (!bitmap.HasPixels()) {
    // A refused layout is still checked for the damage a read would meet.
    const uint32_t strips = TIFFNumberOfStrips(tif);
    for (uint32_t i = 0; i < strips; ++i) {
      if (TIFFGetStrileByteCount(tif, i) == 0) ThrowDamaged("TIFF", "strip " + std::to_string(i) + " holds no data");
    }
  }
  // libtiff reports some damage (short strips, bad fax lines) and goes on.
  if (io.failed()) TiffDamaged(io, "");
  // The directory's tags were read with it; a bad value is left out.
  uint16_t orientation = 1;
  if (TIFFGetField(tif, TIFFTAG_ORIENTATION, &orientation) != 0 && orientation >= 1 && orientation <= 8) {
    bitmap.Meta().orientation = orientation;
  }
  uint32_t icc_size = 0;
  const uint8_t* icc = nullptr;
  if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &icc_size, &icc) != 0 && PlausibleIcc(icc, icc_size)) {
    bitmap.Meta().icc.assign(icc, icc + icc_size);
  }
  return bitmap;
}

static Bitmap DecodeFirstPage(TIFF* tif, TiffIo& io) {

  TiffShape s;
  if (TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &s.width) == 0 || TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &s.height) == 0) {
    TiffDamaged(io, "no image size");
  }
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &s.bps);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &s.spp);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &s.planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &s.sample_format);
  if (TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &s.photometric) == 0) {
    s.photometric = s.spp >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISWHITE;
  }
  uint16_t* extra_types = nullptr;
  if (TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &s.extra_count, &extra_types) != 0 && s.extra_count > 0 &&
      extra_types != nullptr) {
    s.alpha = extra_types[0] == EXTRASAMPLE_ASSOCALPHA || extra_types[0] == EXTRASAMPLE_UNASSALPHA;
  }
  // Alpha is the sample after the colour ones; a header that declares alpha
  // without room for it has none (reading it would run past each row).
  const unsigned colour_samples = s.photometric == PHOTOMETRIC_RGB || s.photometric == PHOTOMETRIC_YCBCR ? 3 : 1;
  if (s.spp <= colour_samples) s.alpha = false;
  if (s.width == 0 || s.height == 0 || s.width > INT32_MAX || s.height > INT32_MAX) {
    throw Error("TIFF image size " + std::to_string(s.width) + " x " + std::to_string(s.height) + " is invalid");
  }
  if (s.spp == 0 || s.bps == 0) TiffDamaged(io, "no samples");
  const auto w = static_cast<int32_t>(s.width);
  const auto h = static_cast<int32_t>(s.height);
  const bool uint_samples = s.sample_format == SAMPLEFORMAT_UINT || s.sample_format == SAMPLEFORMAT_VOID;
  if (!uint_samples) return Bitmap::Header(w, h, kFormatUndefined);

  switch (s.photometric) {
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK:
      if (s.bps > 8) return Bitmap::Header(w, h, kFormat16bppGrayScale);
      if (s.bps != 1 && s.bps != 2 && s.bps != 4 && s.bps != 8) return Bitmap::Header(w, h, kFormatUndefined);
      if (s.bps == 1 && s.spp > 1) return Bitmap::Header(w, h, kFormatUndefined);
      return DecodeIndexed(tif, s, io);
    case PHOTOMETRIC_PALETTE:
      if (s.bps != 1 && s.bps != 2 && s.bps != 4 && s.bps != 8) return Bitmap::Header(w, h, kFormatUndefined);
      if (s.planar != PLANARCONFIG_CONTIG && s.spp > 1) return Bitmap::Header(w, h, kFormatUndefined);
      if (s.bps == 1 && s.spp > 1) return Bitmap::Header(w, h, kFormatUndefined);
      return DecodeIndexed(tif, s, io);
    case PHOTOMETRIC_RGB:
      if (s.spp < 3) TiffDamaged(io, "RGB image with fewer than three samples");
      if (s.bps == 16) return DecodeRgb16(tif, s, io);
      if (s.bps == 8) return DecodeRgba(tif, s, io);
      return Bitmap::Header(w, h, kFormatUndefined);
    case PHOTOMETRIC_YCBCR:
      if (s.bps == 8) return DecodeRgba(tif, s, io);
      return Bitmap::Header(w, h, kFormatUndefined);
    case PHOTOMETRIC_SEPARATED: return Bitmap::Header(w, h, kFormat32bppCMYK);
    default: return Bitmap::Header(w, h, kFormatUndefined);
  }
}

// ---------------------------------------------------------------------------
// Encoding: LZW, horizontal predictor for 24-bit and grey, a colour map for
// palette images, min-is-black or min-is-white for black-and-white 1-bit.

namespace {

// Red, green, blue out of a blue, green, red row, each sample less the same
// sample of the pixel before it (the horizontal predictor).
// One pass, the swap and the differences together: two passes (SwapRedBlue,
// then the differences) made the TIFF step 4 % slower on the photo.
// Both are built plainly and for AVX2 (the swap is byte shuffles).
[[gnu::always_inline]] inline void DifferenceBgrBody(const uint8_t* __restrict src, uint32_t width,
                                                     uint8_t* __restrict dst) {
  if (width == 0) return;
  dst[0] = src[kRedByte];
  dst[1] = src[kGreenByte];
  dst[2] = src[kBlueByte];
  for (size_t x = 1; x < width; ++x) {
    const uint8_t* p = src + 3 * x;
    uint8_t* q = dst + 3 * x;
    q[0] = static_cast<uint8_t>(p[kRedByte] - p[kRedByte - 3]);
    q[1] = static_cast<uint8_t>(p[kGreenByte] - p[kGreenByte - 3]);
    q[2] = static_cast<uint8_t>(p[kBlueByte] - p[kBlueByte - 3]);
  }
}

[[gnu::always_inline]] inline void DifferenceGreyBody(const uint8_t* src, uint32_t width, uint8_t* dst) {
  if (width == 0) return;
  dst[0] = src[0];
  for (size_t x = 1; x < width; ++x) dst[x] = static_cast<uint8_t>(src[x] - src[x - 1]);
}

void DifferenceBgrPlain(const uint8_t* src, uint32_t width, uint8_t* dst) { DifferenceBgrBody(src, width, dst); }
void DifferenceGreyPlain(const uint8_t* src, uint32_t width, uint8_t* dst) { DifferenceGreyBody(src, width, dst); }
#if PM_AVX2_BUILDS
PM_AVX2 void DifferenceBgrAvx2(const uint8_t* src, uint32_t width, uint8_t* dst) { DifferenceBgrBody(src, width, dst); }
PM_AVX2 void DifferenceGreyAvx2(const uint8_t* src, uint32_t width, uint8_t* dst) {
  DifferenceGreyBody(src, width, dst);
}
#endif

}  // namespace

// libtiff's own text when it gave one, else what the encoder was doing.
[[noreturn]] static void TiffEncodeFailed(const TiffIo& io, const char* doing) {
  throw Error(std::string("TIFF encoder failed: ") + (io.failed() ? io.message : doing));
}

namespace {

// How a bitmap is stored: samples, colour model, predictor, and the colour
// map of palette images (or of a 24-bit image's exact colours).
struct TiffLayout {
  uint16_t bps = 8, spp = 1, photometric = PHOTOMETRIC_PALETTE, predictor = PREDICTOR_NONE;
  std::vector<Color> palette;
  IndexedImage exact;  // indices stand in for the rows when it holds any
  size_t row_bytes = 0;
  uint32_t rows_per_strip = 1;
};

TiffLayout PlanTiff(const Bitmap& bitmap) {
  TiffLayout t;
  t.palette = bitmap.Palette();
  switch (bitmap.Format()) {
    case kFormat24bppRgb:
      // A 24-bit image of at most 256 colours (a graphic, a chart) is written
      // as a palette image of the same pixels: a third of the samples to code.
      if (ExactColours(bitmap.Row(0), bitmap.Stride(), bitmap.Width(), bitmap.Height(), &t.exact)) {
        t.palette = t.exact.palette;
        // An RGB profile would not fit grey samples: with one, the map stays.
        if (ManyGreys(t.exact) && bitmap.Meta().icc.empty()) {
          IndicesToGrey(t.exact, bitmap.Width(), bitmap.Height());
          t.photometric = PHOTOMETRIC_MINISBLACK;
          t.predictor = PREDICTOR_HORIZONTAL;
        }
        break;
      }
      t.spp = 3;
      t.photometric = PHOTOMETRIC_RGB;
      t.predictor = PREDICTOR_HORIZONTAL;
      break;
    case kFormat8bppIndexed:
      if (IsGreyRamp(t.palette)) {
        t.photometric = PHOTOMETRIC_MINISBLACK;
        t.predictor = PREDICTOR_HORIZONTAL;
      }
      break;
    case kFormat1bppIndexed: {
      t.bps = 1;
      const Color black{0, 0, 0, 255}, white{255, 255, 255, 255};
      if (t.palette.size() == 2 && t.palette[0] == black && t.palette[1] == white) t.photometric = PHOTOMETRIC_MINISBLACK;
      if (t.palette.size() == 2 && t.palette[0] == white && t.palette[1] == black) t.photometric = PHOTOMETRIC_MINISWHITE;
      break;
    }
    default:
      ThrowUnsupported("TIFF", bitmap.Format());
  }
  t.row_bytes = (static_cast<size_t>(bitmap.Width()) * t.bps * t.spp + 7) / 8;
  t.rows_per_strip = TiffStripRows(t.row_bytes);
  return t;
}

bool SetTags(TIFF* tif, const Bitmap& bitmap, const TiffLayout& t) {
  const auto w = static_cast<uint32_t>(bitmap.Width()), h = static_cast<uint32_t>(bitmap.Height());
  bool ok = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w) && TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h) &&
            TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, t.bps) && TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, t.spp) &&
            TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, t.photometric) &&
            TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
            TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW) &&
            TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, t.rows_per_strip) &&
            TIFFSetField(tif, TIFFTAG_ORIENTATION, static_cast<uint16_t>(bitmap.Meta().orientation)) &&
            TIFFSetField(tif, TIFFTAG_XRESOLUTION, kOutputDpi) && TIFFSetField(tif, TIFFTAG_YRESOLUTION, kOutputDpi) &&
            TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  if (ok && t.predictor != PREDICTOR_NONE) ok = TIFFSetField(tif, TIFFTAG_PREDICTOR, t.predictor);
  const std::vector<uint8_t>& icc = bitmap.Meta().icc;
  if (ok && !icc.empty()) ok = TIFFSetField(tif, TIFFTAG_ICCPROFILE, static_cast<uint32_t>(icc.size()), icc.data());
  if (ok && t.photometric == PHOTOMETRIC_PALETTE) {
    const size_t n = size_t{1} << t.bps;
    std::vector<uint16_t> map_r(n, 0), map_g(n, 0), map_b(n, 0);
    for (size_t i = 0; i < n && i < t.palette.size(); ++i) {
      map_r[i] = static_cast<uint16_t>(t.palette[i].r * 257);
      map_g[i] = static_cast<uint16_t>(t.palette[i].g * 257);
      map_b[i] = static_cast<uint16_t>(t.palette[i].b * 257);
    }
    ok = TIFFSetField(tif, TIFFTAG_COLORMAP, map_r.data(), map_g.data(), map_b.data());  // libtiff keeps a copy
  }
  return ok;
}

// The strips are coded here rather than through libtiff's LZW codec, which
// copies every strip and is a third slower; the predictor's differences are
// taken while the rows are read out of the bitmap.
// `gif`, when given, also takes the codes as the bitmap's GIF image data.
void WriteStrips(TIFF* tif, Bitmap& bitmap, const TiffLayout& t, const TiffIo& io, GifImageData* gif) {
  const auto w = static_cast<uint32_t>(bitmap.Width()), h = static_cast<uint32_t>(bitmap.Height());
  std::vector<uint8_t> row_buffer(t.predictor != PREDICTOR_NONE ? t.row_bytes : 0);
  LzwBytes coded;
  // The rows coded: the exact colours' indices when there are any, else the
  // bitmap's own.
  const uint8_t* const base = t.exact.indices ? t.exact.indices.get() : bitmap.Row(0);
  const size_t pitch = t.exact.indices ? t.exact.pitch : bitmap.Stride();
  // Runs are followed in a strip after one that coded to under a quarter of
  // its size (a flat or dark picture): runs of each colour of palette rows,
  // of 0 in the predictor's. Palette rows follow them from the first strip
  // where RunSymbolsFor says so (few colours, or a graphic).
  const bool palette_rows = t.photometric == PHOTOMETRIC_PALETTE && t.bps == 8;
  const size_t run_symbols = palette_rows ? t.palette.size() : 1;
  uint32_t runs = palette_rows ? RunSymbolsFor(base, pitch, bitmap.Width(), bitmap.Height(), run_symbols) : 0;
  for (uint32_t row = 0; row < h; row += t.rows_per_strip) {
    const uint32_t rows = std::min(t.rows_per_strip, h - row);
    LzwEncoder lzw(LzwStyle::kTiff, 8, runs, gif);
    coded.clear();
    for (uint32_t r = 0; r < rows; ++r) {
      const uint8_t* src = base + static_cast<size_t>(row + r) * pitch;
      if (t.predictor != PREDICTOR_NONE) {  // 24-bit (stored as blue, green, red) and grey
        if (t.spp == 3) {
          PM_BUILD_CALL(DifferenceBgr, src, w, row_buffer.data());
        } else {
          PM_BUILD_CALL(DifferenceGrey, src, w, row_buffer.data());
        }
        src = row_buffer.data();
      }
      lzw.Add(src, t.row_bytes, coded);
    }
    lzw.Finish(coded);
    runs = coded.size() < t.row_bytes * rows / 4 ? static_cast<uint32_t>(run_symbols) : 0;
    if (TIFFWriteRawStrip(tif, TIFFComputeStrip(tif, row, 0), coded.data(), static_cast<tmsize_t>(coded.size())) < 0) {
      TiffEncodeFailed(io, "cannot write a strip");
    }
    if (!t.exact.indices) bitmap.Spend(0, static_cast<int32_t>(row + rows));
  }
}

}  // namespace

void EncodeTiff(Bitmap& bitmap, SaveMemo* memo, MemoryStream& out) {
  const TiffLayout layout = PlanTiff(bitmap);
  TiffIo io;
  io.out = &out;
  TiffHolder holder(&io, "w");
  TIFF* tif = holder.get();
  if (tif == nullptr) TiffEncodeFailed(io, "cannot start");
  if (!SetTags(tif, bitmap, layout)) TiffEncodeFailed(io, "cannot set the tags");
  std::unique_ptr<GifImageData> gif;
  if (memo != nullptr && GifFollowsTiffStrips(bitmap) && !memo->HasGifData()) gif = std::make_unique<GifImageData>();
  WriteStrips(tif, bitmap, layout, io, gif.get());
  if (TIFFWriteDirectory(tif) == 0) TiffEncodeFailed(io, "cannot write the directory");
  TIFFClose(holder.release());
  if (io.failed()) TiffEncodeFailed(io, "");
  if (gif != nullptr) {
    FinishGifImageData(*gif);
    memo->PutGifData(std::move(gif));
  }
}

}  // namespace pm
