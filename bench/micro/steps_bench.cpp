// Each step of a five-way conversion of one image, next to the bare codec
// library (or a plain copy, where no library is involved) doing the same
// work, so that any cost of ours over the codecs shows. The image is
// PIXMILL_BENCH_IMAGE, by default the bench photo; the JPEG decode reads
// PIXMILL_BENCH_JPEG. Both must be 24-bit images.
#include <benchmark/benchmark.h>
#include <gif_lib.h>
#include <libdeflate.h>
#include <jpeglib.h>
#include <libimagequant.h>
#include <png.h>
#include <spng.h>
#include <tiffio.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "loader.h"
#include "packing.h"
#include "platform/codec.h"
#include "platform/lzw.h"
#include "platform/png_filter.h"
#include "platform/quantize.h"
#include "saver.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::string& path) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!f) throw std::runtime_error("cannot open " + path);
  Bytes out;
  uint8_t buf[1 << 16];
  size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) out.insert(out.end(), buf, buf + n);
  return out;
}

std::string EnvOr(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : fallback;
}

// Everything the steps start from, made once.
struct Inputs {
  Bytes png, jpeg, tiff, gif, bmp;
  std::unique_ptr<pmMetaImg> record;
  pm::Bitmap bitmap{1, 1, pm::kFormat24bppRgb};
  std::string tiff_path;

  Inputs() {
    png = ReadFile(EnvOr("PIXMILL_BENCH_IMAGE", PIXMILL_SOURCE_DIR "/../shared/bench/photo-24.png"));
    jpeg = ReadFile(EnvOr("PIXMILL_BENCH_JPEG", PIXMILL_SOURCE_DIR "/../shared/bench/photo-24.jpg"));
    // The bare libraries' decoders below size their rows for 8-bit RGB
    // (colour type 2, byte 25 of the file).
    if (png.size() < 33 || png[25] != 2 || png[24] != 8) throw std::runtime_error("the bench image must be an 8-bit RGB PNG");
    bitmap = pm::DecodeMemory(png.data(), png.size());
    record.reset(LoadImageFromMemory(png.data(), png.size(), "photo"));
    tiff = Encoded(2);
    gif = Encoded(3);
    bmp = Encoded(4);
    // libtiff's bare reads and writes go through a file in memory-backed /dev/shm.
    tiff_path = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + std::string("/pixmill-bench.tif");
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(tiff_path.c_str(), "wb"), std::fclose);
    std::fwrite(tiff.data(), 1, tiff.size(), f.get());
  }
  Bytes Encoded(int code) const {
    pm::MemoryStream s;
    EncodeImage(record.get(), code, s);
    return Bytes(s.Data(), s.Data() + s.Size());
  }
  int W() const { return bitmap.Width(); }
  int H() const { return bitmap.Height(); }
  size_t Stride() const { return bitmap.Stride(); }
};

const Inputs& In() {
  static const Inputs inputs;
  return inputs;
}

void Report(benchmark::State& state, size_t bytes) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// --- Decoding -----------------------------------------------------------

// The bench PNG's image data: its IDAT chunks joined (a zlib stream).
Bytes IdatOf(const Bytes& png) {
  Bytes idat;
  for (size_t at = 8; at + 12 <= png.size();) {
    const size_t n = size_t{png[at]} << 24 | size_t{png[at + 1]} << 16 | size_t{png[at + 2]} << 8 | png[at + 3];
    if (std::memcmp(&png[at + 4], "IDAT", 4) == 0) idat.insert(idat.end(), &png[at + 8], &png[at + 8 + n]);
    at += 12 + n;
  }
  return idat;
}

void DecodeOurs(benchmark::State& state, const Bytes& file) {
  for (auto _ : state) {
    pm::Bitmap b = pm::DecodeMemory(file.data(), file.size());
    benchmark::DoNotOptimize(b.Row(0));
  }
  Report(state, file.size());
}
void BM_DecodePng_Pixmill(benchmark::State& s) { DecodeOurs(s, In().png); }
void BM_DecodeJpeg_Pixmill(benchmark::State& s) { DecodeOurs(s, In().jpeg); }
void BM_DecodeTiff_Pixmill(benchmark::State& s) { DecodeOurs(s, In().tiff); }
void BM_DecodeGif_Pixmill(benchmark::State& s) { DecodeOurs(s, In().gif); }
void BM_DecodeBmp_Pixmill(benchmark::State& s) { DecodeOurs(s, In().bmp); }

struct PngSource {
  const Bytes* file;
  size_t pos;
};
void PngReadMem(png_structp png, png_bytep dst, size_t n) {
  auto* src = static_cast<PngSource*>(png_get_io_ptr(png));
  if (n > src->file->size() - src->pos) png_error(png, "short");
  std::memcpy(dst, src->file->data() + src->pos, n);
  src->pos += n;
}

void BM_DecodePng_libpng(benchmark::State& state) {
  const Inputs& in = In();
  Bytes out(in.Stride() * static_cast<size_t>(in.H()));
  std::vector<png_bytep> rows(static_cast<size_t>(in.H()));
  for (int y = 0; y < in.H(); ++y) rows[static_cast<size_t>(y)] = out.data() + in.Stride() * static_cast<size_t>(y);
  for (auto _ : state) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    PngSource src{&in.png, 0};
    png_set_read_fn(png, &src, PngReadMem);
    png_read_info(png, info);
    png_set_bgr(png);
    png_read_image(png, rows.data());
    png_destroy_read_struct(&png, &info, nullptr);
    benchmark::DoNotOptimize(out.data());
  }
  Report(state, in.png.size());
}

// libspng's decode to 8-bit RGB rows.
void BM_DecodePng_libspng(benchmark::State& state) {
  const Inputs& in = In();
  Bytes out(3 * static_cast<size_t>(in.W()) * static_cast<size_t>(in.H()));
  for (auto _ : state) {
    spng_ctx* ctx = spng_ctx_new(0);
    spng_set_png_buffer(ctx, in.png.data(), in.png.size());
    if (spng_decode_image(ctx, out.data(), out.size(), SPNG_FMT_RGB8, 0) != 0) state.SkipWithError("libspng failed");
    spng_ctx_free(ctx);
    benchmark::DoNotOptimize(out.data());
  }
  Report(state, in.png.size());
}

// The floor of a PNG decode: libdeflate inflating the image data alone, and
// then the rows unfiltered in place by the library's own filter code.
void InflateRows(benchmark::State& state, bool unfilter) {
  const Inputs& in = In();
  const Bytes idat = IdatOf(in.png);
  const size_t row = 3 * static_cast<size_t>(in.W()) + 1;
  Bytes out(row * static_cast<size_t>(in.H()));
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  const Bytes zeros(row);
  for (auto _ : state) {
    if (libdeflate_zlib_decompress(d, idat.data(), idat.size(), out.data(), out.size(), nullptr) != 0) {
      state.SkipWithError("inflate failed");
    }
    // As the decoder does: two consecutive Paeth rows together.
    for (size_t y = 0; unfilter && y < static_cast<size_t>(in.H()); ++y) {
      uint8_t* cur = &out[y * row + 1];
      const uint8_t* prev = y == 0 ? zeros.data() : cur - row;
      if (cur[-1] == 4 && y + 1 < static_cast<size_t>(in.H()) && cur[row - 1] == 4 &&
          pm::UnfilterPaethPair(cur, cur + row, prev, row - 1, 3)) {
        ++y;
        continue;
      }
      pm::FilterBytes<false>(cur[-1], cur, prev, row - 1, 3, cur);
    }
    benchmark::DoNotOptimize(out.data());
  }
  libdeflate_free_decompressor(d);
  Report(state, in.png.size());
}
void BM_DecodePng_libdeflateInflateOnly(benchmark::State& s) { InflateRows(s, false); }
void BM_DecodePng_libdeflateAndUnfilter(benchmark::State& s) { InflateRows(s, true); }

void BM_DecodeJpeg_libjpeg(benchmark::State& state) {
  const Inputs& in = In();
  Bytes out;
  for (auto _ : state) {
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, in.jpeg.data(), in.jpeg.size());
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&cinfo);
    const size_t stride = (static_cast<size_t>(cinfo.output_width) * 3 + 3) & ~size_t{3};
    out.resize(stride * cinfo.output_height);
    while (cinfo.output_scanline < cinfo.output_height) {
      JSAMPROW row = out.data() + stride * cinfo.output_scanline;
      jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    benchmark::DoNotOptimize(out.data());
  }
  Report(state, in.jpeg.size());
}

void BM_DecodeTiff_libtiff(benchmark::State& state) {
  const Inputs& in = In();
  Bytes out(in.Stride() * static_cast<size_t>(in.H()));
  for (auto _ : state) {
    TIFF* tif = TIFFOpen(in.tiff_path.c_str(), "rm");
    const tstrip_t strips = TIFFNumberOfStrips(tif);
    const tmsize_t strip_size = TIFFStripSize(tif);
    Bytes strip(static_cast<size_t>(strip_size));
    for (tstrip_t s = 0; s < strips; ++s) TIFFReadEncodedStrip(tif, s, strip.data(), strip_size);
    TIFFClose(tif);
    benchmark::DoNotOptimize(strip.data());
  }
  Report(state, in.tiff.size());
}

struct GifSource {
  const Bytes* file;
  size_t pos;
};
int GifReadMem(GifFileType* gif, GifByteType* dst, int n) {
  auto* src = static_cast<GifSource*>(gif->UserData);
  const size_t take = std::min(static_cast<size_t>(n), src->file->size() - src->pos);
  std::memcpy(dst, src->file->data() + src->pos, take);
  src->pos += take;
  return static_cast<int>(take);
}

void BM_DecodeGif_giflib(benchmark::State& state) {
  const Inputs& in = In();
  for (auto _ : state) {
    GifSource src{&in.gif, 0};
    int err = 0;
    GifFileType* gif = DGifOpen(&src, GifReadMem, &err);
    DGifSlurp(gif);
    benchmark::DoNotOptimize(gif->SavedImages);
    DGifCloseFile(gif, &err);
  }
  Report(state, in.gif.size());
}

// BMP has no library: the least a decoder does is copy the file's rows.
void BM_DecodeBmp_copy(benchmark::State& state) {
  const Inputs& in = In();
  Bytes out(in.bmp.size());
  for (auto _ : state) {
    std::memcpy(out.data(), in.bmp.data(), in.bmp.size());
    benchmark::DoNotOptimize(out.data());
  }
  Report(state, in.bmp.size());
}

// The same copy into a block mapped for it, as a decoder's bitmap or an
// encoder's file is: the pages are faulted in and cleared by the kernel.
void BM_DecodeBmp_copyFresh(benchmark::State& state) {
  const Inputs& in = In();
  for (auto _ : state) {
    pm::Block out = pm::AllocBlock(in.bmp.size(), false);
    std::memcpy(out.get(), in.bmp.data(), in.bmp.size());
    benchmark::DoNotOptimize(out.get());
  }
  Report(state, in.bmp.size());
}

// --- Our own passes over the pixels, against one plain copy ---------------

void BM_SplitIntoPlanes_Pixmill(benchmark::State& state) {
  const Inputs& in = In();
  pm::Bitmap b = pm::DecodeMemory(in.png.data(), in.png.size());
  std::unique_ptr<pmMetaImg> rec(sttc_CreateMetaImg());
  rec->Resize(in.W(), in.H(), 8, 3);
  for (auto _ : state) {
    sttc_SetPix(b.LockBits(), rec.get());
    b.UnlockBits();
    benchmark::DoNotOptimize(rec->p_buf);
  }
  Report(state, in.Stride() * static_cast<size_t>(in.H()));
}

void BM_PackIntoRows_Pixmill(benchmark::State& state) {
  const Inputs& in = In();
  pm::Bitmap b = sttc_CreateBitmap(in.W(), in.H(), 24);
  for (auto _ : state) {
    sttc_SetOutputPixels_08_24(b.LockBits(), In().record.get());
    b.UnlockBits();
    benchmark::DoNotOptimize(b.Row(0));
  }
  Report(state, in.Stride() * static_cast<size_t>(in.H()));
}

void BM_PixelCopy_memcpy(benchmark::State& state) {
  const Inputs& in = In();
  const size_t bytes = in.Stride() * static_cast<size_t>(in.H());
  Bytes src(bytes, 1), dst(bytes);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), bytes);
    benchmark::DoNotOptimize(dst.data());
  }
  Report(state, bytes);
}

// --- Encoding -----------------------------------------------------------

void EncodeOurs(benchmark::State& state, pm::Container c) {
  const Inputs& in = In();
  size_t size = 0;
  for (auto _ : state) {
    // The encoders spend the bitmap they code: each run codes a fresh copy.
    state.PauseTiming();
    pm::Bitmap bitmap(in.W(), in.H(), in.bitmap.Format());
    std::memcpy(bitmap.Row(0), in.bitmap.Row(0), in.Stride() * static_cast<size_t>(in.H()));
    bitmap.Meta() = in.bitmap.Meta();
    state.ResumeTiming();
    pm::MemoryStream out;
    pm::Encode(bitmap, c, 75, out);
    size = out.Size();
  }
  state.counters["bytes"] = static_cast<double>(size);
}
void BM_EncodeJpeg_Pixmill(benchmark::State& s) { EncodeOurs(s, pm::Container::kJpeg); }
void BM_EncodePng_Pixmill(benchmark::State& s) { EncodeOurs(s, pm::Container::kPng); }
void BM_EncodeTiff_Pixmill(benchmark::State& s) { EncodeOurs(s, pm::Container::kTiff); }
void BM_EncodeGif_Pixmill(benchmark::State& s) { EncodeOurs(s, pm::Container::kGif); }
void BM_EncodeBmp_Pixmill(benchmark::State& s) { EncodeOurs(s, pm::Container::kBmp); }

void PngWriteMem(png_structp png, png_bytep src, size_t n) {
  auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
  out->insert(out->end(), src, src + n);
}
void PngFlushNone(png_structp) {}

// libpng at zlib level `range(0)` with its default filters.
void BM_EncodePng_libpng(benchmark::State& state) {
  const Inputs& in = In();
  Bytes out;
  for (auto _ : state) {
    out.clear();
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &out, PngWriteMem, PngFlushNone);
    png_set_compression_level(png, static_cast<int>(state.range(0)));
    png_set_IHDR(png, info, static_cast<png_uint_32>(in.W()), static_cast<png_uint_32>(in.H()), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    png_write_info(png, info);
    png_set_bgr(png);
    for (int y = 0; y < in.H(); ++y) png_write_row(png, in.bitmap.Row(y));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
  }
  state.counters["bytes"] = static_cast<double>(out.size());
}

// The PNG writer's run-length route (grey photographs, smooth colour ones):
// our coder against zlib's Z_RLE strategy on the same rows, each Paeth
// filtered (run with PIXMILL_BENCH_IMAGE set to such a picture).
const Bytes& PaethRows() {
  static const Bytes rows = [] {
    const Inputs& in = In();
    const size_t n = 3 * static_cast<size_t>(in.W()), line = n + 1;
    Bytes out(line * static_cast<size_t>(in.H())), cur(n), prev(n, 0);
    for (int y = 0; y < in.H(); ++y) {
      pm::SwapRedBlue(in.bitmap.Row(y), static_cast<size_t>(in.W()), cur.data());
      uint8_t* o = &out[static_cast<size_t>(y) * line];
      o[0] = 4;
      pm::FilterBytes<true>(4, cur.data(), prev.data(), n, 3, o + 1);
      std::swap(cur, prev);
    }
    return out;
  }();
  return rows;
}

void BM_EncodeRuns_Pixmill(benchmark::State& state) {
  const Bytes& rows = PaethRows();
  size_t size = 0;
  for (auto _ : state) {
    pm::MemoryStream out;
    size = pm::Deflate(rows.data(), rows.size(), pm::Deflater::kRuns, 0, out);
  }
  state.counters["bytes"] = static_cast<double>(size);
}

void BM_EncodeRuns_zlib(benchmark::State& state) {
  const Bytes& rows = PaethRows();
  Bytes out(compressBound(static_cast<uLong>(rows.size())));
  size_t size = 0;
  for (auto _ : state) {
    z_stream z{};
    deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15, 9, Z_RLE);
    z.next_in = const_cast<uint8_t*>(rows.data());
    z.avail_in = static_cast<uInt>(rows.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    size = z.total_out;
    deflateEnd(&z);
  }
  state.counters["bytes"] = static_cast<double>(size);
}

// libjpeg-turbo at quality 75 with its defaults (4:2:0).
void BM_EncodeJpeg_libjpeg(benchmark::State& state) {
  const Inputs& in = In();
  unsigned long size = 0;
  for (auto _ : state) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* mem = nullptr;
    size = 0;
    jpeg_mem_dest(&cinfo, &mem, &size);
    cinfo.image_width = static_cast<JDIMENSION>(in.W());
    cinfo.image_height = static_cast<JDIMENSION>(in.H());
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 75, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
      JSAMPROW row = const_cast<uint8_t*>(in.bitmap.Row(static_cast<int32_t>(cinfo.next_scanline)));
      jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::free(mem);
  }
  state.counters["bytes"] = static_cast<double>(size);
}

// libtiff, LZW with the horizontal predictor, 8 KiB strips, into /dev/shm.
void BM_EncodeTiff_libtiff(benchmark::State& state) {
  const Inputs& in = In();
  const std::string path = in.tiff_path + ".out";
  Bytes rgb(static_cast<size_t>(in.W()) * 3);
  for (auto _ : state) {
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(in.W()));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(in.H()));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
    for (int y = 0; y < in.H(); ++y) {
      const uint8_t* src = in.bitmap.Row(y);
      for (size_t x = 0; x < static_cast<size_t>(in.W()); ++x) {  // TIFF holds red, green, blue
        rgb[3 * x] = src[3 * x + 2];
        rgb[3 * x + 1] = src[3 * x + 1];
        rgb[3 * x + 2] = src[3 * x];
      }
      TIFFWriteScanline(tif, rgb.data(), static_cast<uint32_t>(y), 0);
    }
    TIFFClose(tif);
  }
  FILE* f = std::fopen(path.c_str(), "rb");
  std::fseek(f, 0, SEEK_END);
  state.counters["bytes"] = static_cast<double>(std::ftell(f));
  std::fclose(f);
  std::remove(path.c_str());
}

// Colour reduction alone: ours, and libimagequant (what libvips uses) with
// its defaults and dithering off, as ours does not dither.
void BM_Quantize_Pixmill(benchmark::State& state) {
  const Inputs& in = In();
  for (auto _ : state) {
    pm::IndexedImage q = pm::QuantizeBgr(in.bitmap.Row(0), in.Stride(), in.W(), in.H());
    benchmark::DoNotOptimize(q.indices.get());
  }
}

void BM_Quantize_libimagequant(benchmark::State& state) {
  const Inputs& in = In();
  const size_t w = static_cast<size_t>(in.W()), h = static_cast<size_t>(in.H());
  Bytes rgba(w * h * 4), indices(w * h);
  for (size_t y = 0; y < h; ++y) {
    const uint8_t* src = in.bitmap.Row(static_cast<int32_t>(y));
    for (size_t x = 0; x < w; ++x) {
      uint8_t* p = &rgba[(y * w + x) * 4];
      p[0] = src[3 * x + 2], p[1] = src[3 * x + 1], p[2] = src[3 * x], p[3] = 255;
    }
  }
  for (auto _ : state) {
    liq_attr* attr = liq_attr_create();
    liq_image* image = liq_image_create_rgba(attr, rgba.data(), in.W(), in.H(), 0);
    liq_result* result = nullptr;
    const bool ok = liq_image_quantize(image, attr, &result) == LIQ_OK;
    if (ok) {
      liq_set_dithering_level(result, 0);
      liq_write_remapped_image(result, image, indices.data(), indices.size());
      benchmark::DoNotOptimize(indices.data());
      liq_result_destroy(result);
    }
    liq_image_destroy(image);
    liq_attr_destroy(attr);
    if (!ok) {
      state.SkipWithError("libimagequant failed");
      break;
    }
  }
}

int GifWriteMem(GifFileType* gif, const GifByteType* src, int n) {
  auto* out = static_cast<Bytes*>(gif->UserData);
  out->insert(out->end(), src, src + n);
  return n;
}

// giflib's LZW over an image already reduced to 256 colours.
void BM_GifLzw_giflib(benchmark::State& state) {
  const Inputs& in = In();
  const pm::IndexedImage q = pm::QuantizeBgr(in.bitmap.Row(0), in.Stride(), in.W(), in.H());
  std::vector<GifColorType> colours(256);
  for (size_t i = 0; i < q.palette.size(); ++i) colours[i] = {q.palette[i].r, q.palette[i].g, q.palette[i].b};
  Bytes out;
  for (auto _ : state) {
    out.clear();
    int err = 0;
    GifFileType* gif = EGifOpen(&out, GifWriteMem, &err);
    ColorMapObject* map = GifMakeMapObject(256, colours.data());
    EGifPutScreenDesc(gif, in.W(), in.H(), 8, 0, map);
    EGifPutImageDesc(gif, 0, 0, in.W(), in.H(), false, nullptr);
    for (int y = 0; y < in.H(); ++y) EGifPutLine(gif, q.indices.get() + q.pitch * static_cast<size_t>(y), in.W());
    EGifCloseFile(gif, &err);
    GifFreeMapObject(map);
  }
  state.counters["bytes"] = static_cast<double>(out.size());
}

// Our LZW coder over the same indices: giflib's codes, counted before the
// 255-byte sub-block framing that giflib adds.
void BM_GifLzw_Pixmill(benchmark::State& state) {
  const Inputs& in = In();
  const pm::IndexedImage q = pm::QuantizeBgr(in.bitmap.Row(0), in.Stride(), in.W(), in.H());
  pm::LzwBytes out;
  for (auto _ : state) {
    out.clear();
    pm::LzwEncoder lzw(pm::LzwStyle::kGif, 8);
    for (int y = 0; y < in.H(); ++y) lzw.Add(q.indices.get() + q.pitch * static_cast<size_t>(y), static_cast<size_t>(in.W()), out);
    lzw.Finish(out);
  }
  state.counters["bytes"] = static_cast<double>(out.size());
}

// The scan (doc-1.png, or PIXMILL_BENCH_SCAN): one byte a pixel, 0 or 1,
// as the GIF writer codes it.
struct Scan {
  Bytes indices;
  int w = 0, h = 0;
  Scan() {
    const Bytes png = ReadFile(EnvOr("PIXMILL_BENCH_SCAN", PIXMILL_SOURCE_DIR "/../shared/bench/doc-1.png"));
    const pm::Bitmap b = pm::DecodeMemory(png.data(), png.size());
    if (b.Format() != pm::kFormat1bppIndexed) throw std::runtime_error("the scan must be 1-bit");
    w = b.Width();
    h = b.Height();
    indices.resize(static_cast<size_t>(w) * static_cast<size_t>(h));
    const pm::BitUnpacker unpack(0, 1);
    for (int y = 0; y < h; ++y) unpack.Row(b.Row(y), static_cast<size_t>(w), &indices[static_cast<size_t>(y) * w]);
  }
};

const Scan& ScanIn() {
  static const Scan scan;
  return scan;
}

// Both LZW coders on the black-and-white scan (2-bit codes; long runs).
void BM_GifLzwScan_giflib(benchmark::State& state) {
  const Scan& in = ScanIn();
  GifColorType colours[2] = {{0, 0, 0}, {255, 255, 255}};
  Bytes out;
  for (auto _ : state) {
    out.clear();
    int err = 0;
    GifFileType* gif = EGifOpen(&out, GifWriteMem, &err);
    ColorMapObject* map = GifMakeMapObject(2, colours);
    EGifPutScreenDesc(gif, in.w, in.h, 1, 0, map);
    EGifPutImageDesc(gif, 0, 0, in.w, in.h, false, nullptr);
    Bytes row(static_cast<size_t>(in.w));  // giflib masks the row in place
    for (int y = 0; y < in.h; ++y) {
      std::memcpy(row.data(), &in.indices[static_cast<size_t>(y) * in.w], row.size());
      EGifPutLine(gif, row.data(), in.w);
    }
    EGifCloseFile(gif, &err);
    GifFreeMapObject(map);
  }
  state.counters["bytes"] = static_cast<double>(out.size());
}

void BM_GifLzwScan_Pixmill(benchmark::State& state) {
  const Scan& in = ScanIn();
  pm::LzwBytes out;
  for (auto _ : state) {
    out.clear();
    pm::LzwEncoder lzw(pm::LzwStyle::kGif, 2, 2);  // the GIF writer follows both colours' runs
    for (int y = 0; y < in.h; ++y) lzw.Add(&in.indices[static_cast<size_t>(y) * in.w], static_cast<size_t>(in.w), out);
    lzw.Finish(out);
  }
  state.counters["bytes"] = static_cast<double>(out.size());
}

// BMP has no library: the least an encoder does is copy the rows out.
void BM_EncodeBmp_copy(benchmark::State& state) {
  const Inputs& in = In();
  const size_t bytes = in.Stride() * static_cast<size_t>(in.H());
  Bytes out(bytes);
  for (auto _ : state) {
    for (int y = 0; y < in.H(); ++y) {
      std::memcpy(out.data() + in.Stride() * static_cast<size_t>(in.H() - 1 - y), in.bitmap.Row(y), in.Stride());
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}

void BM_EncodeBmp_copyFresh(benchmark::State& state) {
  const Inputs& in = In();
  const size_t bytes = in.Stride() * static_cast<size_t>(in.H());
  for (auto _ : state) {
    pm::Block out = pm::AllocBlock(bytes, false);
    for (int y = 0; y < in.H(); ++y) {
      std::memcpy(out.get() + in.Stride() * static_cast<size_t>(in.H() - 1 - y), in.bitmap.Row(y), in.Stride());
    }
    benchmark::DoNotOptimize(out.get());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}

// --- The whole job in memory: one load, five encodes -------------------

void BM_FiveWayInMemory_Pixmill(benchmark::State& state) {
  const Inputs& in = In();
  for (auto _ : state) {
    std::unique_ptr<pmMetaImg> rec(LoadImageFromMemory(in.png.data(), in.png.size(), "photo"));
    for (int code = 0; code <= 4; ++code) {
      pm::MemoryStream out;
      EncodeImage(rec.get(), code, out);
    }
  }
}

}  // namespace

#define STEP(fn) BENCHMARK(fn)->Unit(benchmark::kMillisecond)->MinTime(1.0)
STEP(BM_DecodePng_Pixmill);
STEP(BM_DecodePng_libpng);
STEP(BM_DecodePng_libspng);
STEP(BM_DecodePng_libdeflateInflateOnly);
STEP(BM_DecodePng_libdeflateAndUnfilter);
STEP(BM_DecodeJpeg_Pixmill);
STEP(BM_DecodeJpeg_libjpeg);
STEP(BM_DecodeTiff_Pixmill);
STEP(BM_DecodeTiff_libtiff);
STEP(BM_DecodeGif_Pixmill);
STEP(BM_DecodeGif_giflib);
STEP(BM_DecodeBmp_Pixmill);
STEP(BM_DecodeBmp_copy);
STEP(BM_DecodeBmp_copyFresh);
STEP(BM_SplitIntoPlanes_Pixmill);
STEP(BM_PackIntoRows_Pixmill);
STEP(BM_PixelCopy_memcpy);
STEP(BM_EncodeJpeg_Pixmill);
STEP(BM_EncodeJpeg_libjpeg);
STEP(BM_EncodePng_Pixmill);
STEP(BM_EncodePng_libpng)->Arg(3)->Arg(6);
STEP(BM_EncodeRuns_Pixmill);
STEP(BM_EncodeRuns_zlib);
STEP(BM_EncodeTiff_Pixmill);
STEP(BM_EncodeTiff_libtiff);
STEP(BM_EncodeGif_Pixmill);
STEP(BM_Quantize_Pixmill);
STEP(BM_Quantize_libimagequant);
STEP(BM_GifLzw_giflib);
STEP(BM_GifLzw_Pixmill);
STEP(BM_EncodeBmp_Pixmill);
STEP(BM_EncodeBmp_copy);
STEP(BM_EncodeBmp_copyFresh);
STEP(BM_GifLzwScan_giflib);
STEP(BM_GifLzwScan_Pixmill);
STEP(BM_FiveWayInMemory_Pixmill);

BENCHMARK_MAIN();
