// GIF through giflib: the first frame on its logical screen, and an encoder
// that writes 1- and 8-bit bitmaps with their palette and 24-bit bitmaps
// through an exact colour table or a quantised one.
#include <gif_lib.h>

#include <algorithm>
#include <cstring>

#include "platform/codec.h"
#include "platform/lzw.h"
#include "platform/quantize.h"

namespace pm {

namespace {

struct GifInput {
  const uint8_t* data;
  size_t size;
  size_t pos;
};

int GifRead(GifFileType* gif, GifByteType* dst, int n) {
  auto* in = static_cast<GifInput*>(gif->UserData);
  if (n <= 0) return 0;
  size_t want = static_cast<size_t>(n);
  if (want > in->size - in->pos) want = in->size - in->pos;
  std::memcpy(dst, in->data + in->pos, want);
  in->pos += want;
  return static_cast<int>(want);
}

class GifReadHolder {
 public:
  explicit GifReadHolder(GifInput* in) {
    int err = 0;
    gif_ = DGifOpen(in, GifRead, &err);
    if (gif_ == nullptr) ThrowDamaged("GIF", GifErrorString(err));
  }
  ~GifReadHolder() {
    int err = 0;
    DGifCloseFile(gif_, &err);
  }
  GifReadHolder(const GifReadHolder&) = delete;
  GifReadHolder& operator=(const GifReadHolder&) = delete;
  GifFileType* get() const { return gif_; }

 private:
  GifFileType* gif_;
};

[[noreturn]] void GifDamaged(GifFileType* gif) {
  const char* text = GifErrorString(gif->Error);
  ThrowDamaged("GIF", text != nullptr ? text : "unknown error");
}

}  // namespace

Bitmap DecodeGif(const uint8_t* data, size_t size) {
  GifInput in{data, size, 0};
  GifReadHolder holder(&in);
  GifFileType* gif = holder.get();
  if (gif->SWidth <= 0 || gif->SHeight <= 0) throw Error("GIF screen size is zero");

  int transparent = -1;
  for (;;) {
    GifRecordType type;
    if (DGifGetRecordType(gif, &type) == GIF_ERROR) GifDamaged(gif);
    if (type == TERMINATE_RECORD_TYPE) throw Error("GIF holds no image");
    if (type == EXTENSION_RECORD_TYPE) {
      int code = 0;
      GifByteType* block = nullptr;
      if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) GifDamaged(gif);
      if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr && block[0] >= 4) {
        // The last control block before the frame applies to it.
        transparent = (block[1] & 0x01) != 0 ? block[4] : -1;
      }
      while (block != nullptr) {
        if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) GifDamaged(gif);
      }
      continue;
    }
    if (type != IMAGE_DESC_RECORD_TYPE) continue;
    break;
  }
  if (DGifGetImageDesc(gif) == GIF_ERROR) GifDamaged(gif);

  const GifImageDesc& d = gif->Image;
  const int64_t right = static_cast<int64_t>(d.Left) + d.Width;
  const int64_t bottom = static_cast<int64_t>(d.Top) + d.Height;
  if (d.Width <= 0 || d.Height <= 0 || d.Left < 0 || d.Top < 0 || right > gif->SWidth || bottom > gif->SHeight) {
    throw Error("GIF frame " + std::to_string(d.Width) + " x " + std::to_string(d.Height) + " at (" +
                   std::to_string(d.Left) + ", " + std::to_string(d.Top) + ") lies outside its " +
                   std::to_string(gif->SWidth) + " x " + std::to_string(gif->SHeight) + " screen");
  }
  const ColorMapObject* map = d.ColorMap != nullptr ? d.ColorMap : gif->SColorMap;
  if (map == nullptr || map->ColorCount <= 0 || map->Colors == nullptr) throw Error("GIF has no colour table");

  Bitmap bitmap(gif->SWidth, gif->SHeight, kFormat8bppIndexed);
  const size_t stride = bitmap.Stride();
  uint8_t* base = bitmap.Row(0);
  if (d.Interlace) {
    static const int kStart[4] = {0, 4, 2, 1};
    static const int kStep[4] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass) {
      for (int y = kStart[pass]; y < d.Height; y += kStep[pass]) {
        if (DGifGetLine(gif, base + static_cast<size_t>(d.Top + y) * stride + d.Left, d.Width) == GIF_ERROR) {
          GifDamaged(gif);
        }
      }
    }
  } else {
    for (int y = 0; y < d.Height; ++y) {
      if (DGifGetLine(gif, base + static_cast<size_t>(d.Top + y) * stride + d.Left, d.Width) == GIF_ERROR) {
        GifDamaged(gif);
      }
    }
  }

  // The screen outside the frame shows the transparent colour, or else the
  // background colour. Filled only now that the frame's rows have arrived.
  const auto fill = static_cast<uint8_t>(transparent >= 0 ? transparent : gif->SBackGroundColor);
  const size_t w = static_cast<size_t>(gif->SWidth);
  for (int y = 0; y < gif->SHeight; ++y) {
    uint8_t* row = base + static_cast<size_t>(y) * stride;
    if (y < d.Top || y >= bottom) {
      std::memset(row, fill, w);
    } else {
      std::memset(row, fill, static_cast<size_t>(d.Left));
      std::memset(row + right, fill, w - static_cast<size_t>(right));
    }
  }

  const int count = map->ColorCount > 256 ? 256 : map->ColorCount;
  std::vector<Color> palette(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) palette[i] = Color{map->Colors[i].Red, map->Colors[i].Green, map->Colors[i].Blue, 255};
  if (transparent >= 0) {
    if (static_cast<size_t>(transparent) >= palette.size()) palette.resize(static_cast<size_t>(transparent) + 1, Color{0, 0, 0, 255});
    palette[static_cast<size_t>(transparent)].a = 0;
  }
  bitmap.SetPalette(palette);
  return bitmap;
}

// ---------------------------------------------------------------------------
// Encoding.

namespace {

int GifWrite(GifFileType* gif, const GifByteType* src, int n) {
  auto* out = static_cast<MemoryStream*>(gif->UserData);
  try {
    out->Write(src, static_cast<size_t>(n));
  } catch (const std::exception&) {
    return 0;  // giflib reports a write failure
  }
  return n;
}

class GifWriteHolder {
 public:
  explicit GifWriteHolder(MemoryStream* out) {
    int err = 0;
    gif_ = EGifOpen(out, GifWrite, &err);
    if (gif_ == nullptr) throw Error(std::string("GIF encoder failed: ") + GifErrorString(err));
  }
  ~GifWriteHolder() {
    if (gif_ != nullptr) {
      int err = 0;
      EGifCloseFile(gif_, &err);
    }
  }
  GifWriteHolder(const GifWriteHolder&) = delete;
  GifWriteHolder& operator=(const GifWriteHolder&) = delete;
  GifFileType* get() const { return gif_; }
  // Closing writes the trailer; its failure is the encoder's failure.
  void Close() {
    int err = 0;
    GifFileType* gif = gif_;
    gif_ = nullptr;
    if (EGifCloseFile(gif, &err) == GIF_ERROR) throw Error(std::string("GIF encoder failed: ") + GifErrorString(err));
  }

 private:
  GifFileType* gif_;
};

class GifMapHolder {
 public:
  GifMapHolder(int count, const GifColorType* colours) : map_(GifMakeMapObject(count, colours)) {
    if (map_ == nullptr) throw Error("Out of memory: cannot build the GIF colour table");
  }
  ~GifMapHolder() { GifFreeMapObject(map_); }
  GifMapHolder(const GifMapHolder&) = delete;
  GifMapHolder& operator=(const GifMapHolder&) = delete;
  ColorMapObject* get() const { return map_; }

 private:
  ColorMapObject* map_;
};

[[noreturn]] void GifEncodeFailed(GifFileType* gif) {
  const char* text = GifErrorString(gif->Error);
  throw Error(std::string("GIF encoder failed: ") + (text != nullptr ? text : "unknown error"));
}

// A frame's pixels: 8-bit indices, rows `pitch` bytes apart, which the
// writer codes (`spends`, when they are a bitmap's, is spent as they are),
// or their image data ready coded.
struct GifPixels {
  const uint8_t* base = nullptr;
  size_t pitch = 0;
  Bitmap* spends = nullptr;
  const GifImageData* coded = nullptr;
};

// Writes one frame with the given table (2^k entries).
void GifWriteImage(const std::vector<Color>& palette, int width, int height, const GifPixels& pixels,
                   MemoryStream& out) {
  int bits = 1;
  while ((1 << bits) < static_cast<int>(palette.size())) ++bits;
  const int table_size = 1 << bits;
  std::vector<GifColorType> colours(static_cast<size_t>(table_size), GifColorType{0, 0, 0});
  int transparent = -1;
  for (size_t i = 0; i < palette.size(); ++i) {
    colours[i] = GifColorType{palette[i].r, palette[i].g, palette[i].b};
    if (transparent < 0 && palette[i].a == 0) transparent = static_cast<int>(i);
  }
  GifMapHolder map(table_size, colours.data());
  GifWriteHolder holder(&out);
  GifFileType* gif = holder.get();
  EGifSetGifVersion(gif, transparent >= 0);
  if (EGifPutScreenDesc(gif, width, height, bits, 0, map.get()) == GIF_ERROR) GifEncodeFailed(gif);
  if (transparent >= 0) {
    GraphicsControlBlock gcb{};
    gcb.DisposalMode = DISPOSAL_UNSPECIFIED;
    gcb.UserInputFlag = false;
    gcb.DelayTime = 0;
    gcb.TransparentColor = transparent;
    GifByteType ext[4];
    const size_t len = EGifGCBToExtension(&gcb, ext);
    if (EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(len), ext) == GIF_ERROR) {
      GifEncodeFailed(gif);
    }
  }
  if (EGifPutImageDesc(gif, 0, 0, width, height, false, nullptr) == GIF_ERROR) GifEncodeFailed(gif);
  // The image data is coded here (or comes coded) and handed to giflib as
  // ready sub-blocks: its own coder costs twice as much. giflib has written
  // the minimum code size byte, max(2, bits), which is the coder's symbol
  // size. put_blocks hands over `data` in whole sub-blocks (the rest too
  // when `last`) and returns the bytes handed over.
  auto put_blocks = [&](const uint8_t* data, size_t size, bool last) {
    size_t done = 0;
    GifByteType block[256];
    while (size - done >= 255 || (last && size > done)) {
      const size_t n = std::min<size_t>(size - done, 255);
      block[0] = static_cast<GifByteType>(n);
      std::memcpy(block + 1, data + done, n);
      if (EGifPutCodeNext(gif, block) == GIF_ERROR) GifEncodeFailed(gif);
      done += n;
    }
    return done;
  };
  if (pixels.coded != nullptr) {
    put_blocks(pixels.coded->bytes.Data(), pixels.coded->bytes.Size(), true);
  } else {
    LzwEncoder lzw(LzwStyle::kGif, std::max(bits, 2),
                   RunSymbolsFor(pixels.base, pixels.pitch, width, height, palette.size()));
    LzwBytes coded;
    for (int y = 0; y < height; ++y) {
      lzw.Add(pixels.base + static_cast<size_t>(y) * pixels.pitch, static_cast<size_t>(width), coded);
      if (pixels.spends != nullptr) pixels.spends->Spend(0, y + 1);
      if (coded.size() >= 65536) {
        const size_t done = put_blocks(coded.data(), coded.size(), false);
        coded.erase(coded.begin(), coded.begin() + static_cast<std::ptrdiff_t>(done));
      }
    }
    lzw.Finish(coded);
    put_blocks(coded.data(), coded.size(), true);
  }
  if (EGifPutCodeNext(gif, nullptr) == GIF_ERROR) GifEncodeFailed(gif);
  holder.Close();
}

}  // namespace

void EncodeGif(Bitmap& bitmap, SaveMemo* memo, MemoryStream& out) {
  const int w = bitmap.Width();
  const int h = bitmap.Height();
  if (w > 65535 || h > 65535) {
    throw Error("GIF cannot hold an image of " + std::to_string(w) + " x " + std::to_string(h) +
                " pixels (at most 65535 a side)");
  }
  switch (bitmap.Format()) {
    case kFormat8bppIndexed: {
      std::vector<Color> palette = bitmap.Palette();
      if (palette.empty()) palette = GreyRamp();
      if (!GifFollowsTiffStrips(bitmap)) {
        GifWriteImage(palette, w, h, GifPixels{bitmap.Row(0), bitmap.Stride(), &bitmap}, out);
        return;
      }
      // A TIFF save of the same picture may have left the codes.
      std::unique_ptr<GifImageData> coded = memo != nullptr ? memo->TakeGifData() : nullptr;
      if (coded == nullptr) {
        coded = std::make_unique<GifImageData>();
        CodeGifAsTiffStrips(bitmap.Row(0), bitmap.Stride(), w, h, &bitmap, *coded);
      }
      GifPixels pixels;
      pixels.coded = coded.get();
      GifWriteImage(palette, w, h, pixels, out);
      return;
    }
    case kFormat1bppIndexed: {
      // The LZW coder takes one index byte a pixel: unpack the 1-bit rows.
      const size_t pitch = static_cast<size_t>(w);
      Block indices = AllocBlock(CheckedMul(pitch, static_cast<size_t>(h)), false);
      const BitUnpacker unpack(0, 1);
      for (int y = 0; y < h; ++y) unpack.Row(bitmap.Row(y), pitch, indices.get() + static_cast<size_t>(y) * pitch);
      std::vector<Color> palette = bitmap.Palette();
      palette.resize(2, Color{0, 0, 0, 255});
      GifWriteImage(palette, w, h, GifPixels{indices.get(), pitch}, out);
      return;
    }
    case kFormat24bppRgb: {
      // The indices are all the coder reads: the bitmap comes back spent.
      IndexedImage q = QuantizeBgr(bitmap.Row(0), bitmap.Stride(), w, h, &bitmap);
      GifWriteImage(q.palette, w, h, GifPixels{q.indices.get(), q.pitch}, out);
      return;
    }
    default:
      ThrowUnsupported("GIF", bitmap.Format());
  }
}

}  // namespace pm
