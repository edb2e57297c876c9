// BMP, our own reader and writer. The reader checks the headers before it
// allocates anything and bounds every write of the RLE decoders.
#include <cstring>

#include "platform/codec.h"

namespace pm {

namespace {

constexpr uint32_t kBiRgb = 0, kBiRle8 = 1, kBiRle4 = 2, kBiBitfields = 3, kBiJpeg = 4, kBiPng = 5,
                   kBiAlphaBitfields = 6;

struct BmpInfo {
  uint32_t header_size = 0;
  int64_t width = 0, height = 0;
  bool top_down = false;
  uint32_t planes = 0, bpp = 0, compression = 0, colours_used = 0;
  uint32_t masks[4] = {0, 0, 0, 0};  // red, green, blue, alpha
  bool os2 = false;
  size_t palette_offset = 0;
  size_t palette_entry = 4;
};

// One channel of a bitfield pixel: where its bits are and how to scale them.
struct Field {
  uint32_t mask = 0;
  int shift = 0;
  uint32_t max = 0;
};

Field MakeField(uint32_t mask) {
  Field f;
  f.mask = mask;
  if (mask == 0) return f;
  while (((mask >> f.shift) & 1u) == 0) ++f.shift;
  f.max = mask >> f.shift;
  return f;
}

bool Contiguous(uint32_t mask) {
  if (mask == 0) return true;
  while ((mask & 1u) == 0) mask >>= 1;
  return (mask & (mask + 1)) == 0;
}

inline uint8_t Scale(const Field& f, uint32_t px) {
  if (f.mask == 0) return 0;
  const uint32_t v = (px & f.mask) >> f.shift;
  if (f.max == 255) return static_cast<uint8_t>(v);
  return static_cast<uint8_t>(static_cast<uint64_t>(v) * 255 / f.max);
}

// RLE8 and RLE4 into a zeroed 8-bit bitmap, bottom row first. Runs past the
// end of a row are cut there (real encoders write them); pixels or deltas
// past the last row are refused: that is where BMP decoders overflow. Data
// that ends without an end-of-bitmap code is accepted once it has reached
// the top row (some encoders leave the code out), and refused as truncated
// before that: a few bytes must not stand for a huge blank image.
void DecodeRle(const uint8_t* p, size_t n, bool four_bit, Bitmap& bitmap) {
  const int64_t w = bitmap.Width();
  const int64_t h = bitmap.Height();
  int64_t x = 0, y = 0;  // y counts from the bottom row
  size_t i = 0;
  auto row = [&]() { return bitmap.Row(static_cast<int32_t>(h - 1 - y)); };
  // Pixels of a run that still fit the row.
  auto fit = [&](int64_t count) -> int64_t {
    if (y >= h) throw Error("BMP RLE data runs past the image");
    return x >= w ? 0 : (x + count > w ? w - x : count);
  };
  while (i + 1 < n) {
    const uint8_t count = p[i], value = p[i + 1];
    i += 2;
    if (count > 0) {
      // Only pixels inside the row form a pointer: x may lie past its end.
      const int64_t n_fit = fit(count);
      uint8_t* d = n_fit > 0 ? row() + x : nullptr;
      for (int64_t k = 0; k < n_fit; ++k) d[k] = four_bit ? ((k & 1) ? (value & 0x0F) : (value >> 4)) : value;
      x += count;
      continue;
    }
    if (value == 0) {  // end of line
      x = 0;
      ++y;
    } else if (value == 1) {  // end of bitmap
      return;
    } else if (value == 2) {  // delta
      if (i + 1 >= n) break;
      x += p[i];
      y += p[i + 1];
      i += 2;
      if (x > w || y > h) throw Error("BMP RLE delta moves past the image");
    } else {  // literal run of `value` pixels, padded to a 16-bit boundary
      const size_t bytes = four_bit ? (value + 1u) / 2 : value;
      if (bytes > n - i) break;
      const int64_t n_fit = fit(value);
      uint8_t* d = n_fit > 0 ? row() + x : nullptr;
      for (int64_t k = 0; k < n_fit; ++k) {
        const uint8_t b = p[i + (four_bit ? k / 2 : k)];
        d[k] = four_bit ? ((k & 1) ? (b & 0x0F) : (b >> 4)) : b;
      }
      x += value;
      i += (bytes + 1) & ~static_cast<size_t>(1);
    }
  }
  if (y < h - 1) throw Error("BMP RLE data ends at row " + std::to_string(y + 1) + " of " + std::to_string(h));
}

BmpInfo ReadInfo(const uint8_t* data, size_t size) {
  if (size < 26) throw Error("BMP header is truncated");
  BmpInfo info;
  info.header_size = LoadLe32(data + 14);
  const uint32_t hs = info.header_size;
  const bool known = hs == 12 || hs == 16 || hs == 40 || hs == 52 || hs == 56 || hs == 64 || hs == 108 || hs == 124;
  if (!known) throw Error("BMP header size " + std::to_string(hs) + " is not a known one");
  if (size < 14 + static_cast<size_t>(hs)) throw Error("BMP header is truncated");
  const uint8_t* h = data + 14;
  if (hs == 12) {
    info.os2 = true;
    info.width = LoadLe16(h + 4);
    info.height = LoadLe16(h + 6);
    info.planes = LoadLe16(h + 8);
    info.bpp = LoadLe16(h + 10);
    info.palette_entry = 3;
  } else {
    info.os2 = hs == 16 || hs == 64;
    info.width = static_cast<int32_t>(LoadLe32(h + 4));
    info.height = static_cast<int32_t>(LoadLe32(h + 8));
    info.planes = LoadLe16(h + 12);
    info.bpp = LoadLe16(h + 14);
    if (hs >= 20) info.compression = LoadLe32(h + 16);
    if (hs >= 36) info.colours_used = LoadLe32(h + 32);
    if (info.os2 && info.compression >= 3) {
      throw Error(std::string("OS/2 BMP ") + (info.compression == 3 ? "Huffman" : "RLE24") +
                     " compression is not supported");
    }
    if (hs >= 52) {
      for (int k = 0; k < 3; ++k) info.masks[k] = LoadLe32(h + 40 + 4 * k);
    }
    if (hs >= 56) info.masks[3] = LoadLe32(h + 52);
  }
  info.palette_offset = 14 + hs;
  if (hs == 40 && (info.compression == kBiBitfields || info.compression == kBiAlphaBitfields)) {
    const int n = info.compression == kBiAlphaBitfields ? 4 : 3;
    if (size < info.palette_offset + 4u * n) throw Error("BMP header is truncated");
    for (int k = 0; k < n; ++k) info.masks[k] = LoadLe32(data + info.palette_offset + 4 * k);
    info.palette_offset += 4u * n;
  }
  if (info.height < 0) {
    info.top_down = true;
    info.height = -info.height;
  }
  return info;
}

// The profile a BITMAPV5HEADER embeds ('MBED'): its offset counts from the
// header's start, and it must lie whole in the file.
std::vector<uint8_t> EmbeddedProfile(const BmpInfo& info, const uint8_t* data, size_t size) {
  constexpr uint32_t kProfileEmbedded = 0x4D424544;
  const uint8_t* h = data + 14;
  if (info.header_size != 124 || LoadLe32(h + 56) != kProfileEmbedded) return {};
  const uint64_t start = 14 + uint64_t{LoadLe32(h + 112)}, length = LoadLe32(h + 116);
  if (start > size || length > size - start || !PlausibleIcc(data + start, static_cast<size_t>(length))) return {};
  std::vector<uint8_t> icc(static_cast<size_t>(length));
  std::memcpy(icc.data(), data + start, icc.size());
  return icc;
}

// Refuses a depth and compression the decoder does not read (embedded JPEG
// and PNG streams are read by their own decoders before this).
void CheckSupported(const BmpInfo& info) {
  const uint32_t bpp = info.bpp, comp = info.compression;
  const bool ok = ((bpp == 1 || bpp == 2 || bpp == 4 || bpp == 8 || bpp == 24) && comp == kBiRgb) ||
                  (bpp == 8 && comp == kBiRle8) || (bpp == 4 && comp == kBiRle4) ||
                  ((bpp == 16 || bpp == 32) && (comp == kBiRgb || comp == kBiBitfields || comp == kBiAlphaBitfields)) ||
                  (bpp == 64 && comp == kBiRgb);
  if (!ok) {
    throw Error("BMP with " + std::to_string(bpp) + " bits a pixel and compression " + std::to_string(comp) +
                " is not supported");
  }
}

// The colour table of an indexed image: at most 256 entries, all inside the
// file.
std::vector<Color> ReadPalette(const BmpInfo& info, const uint8_t* data, size_t size) {
  std::vector<Color> palette;
  if (info.bpp > 8) return palette;
  const uint64_t max_entries = 1ull << info.bpp;
  uint64_t entries = info.colours_used == 0 ? max_entries : info.colours_used;
  if (entries > 256) throw Error("BMP palette of " + std::to_string(entries) + " entries is too large");
  if (entries > max_entries) entries = max_entries;
  if (info.palette_offset + entries * info.palette_entry > size) throw Error("file ends inside the palette");
  for (uint64_t i = 0; i < entries; ++i) {
    const uint8_t* e = data + info.palette_offset + i * info.palette_entry;
    palette.push_back(Color{e[2], e[1], e[0], 255});
  }
  return palette;
}

// The stored rows of an uncompressed image, by their place in the picture.
struct StoredRows {
  const uint8_t* pixels;
  size_t stride;
  int32_t height;
  bool top_down;
  const uint8_t* Row(int32_t y) const {  // y counts from the top of the picture
    return pixels + static_cast<size_t>(top_down ? y : height - 1 - y) * stride;
  }
};

// 1-, 2-, 4- and 8-bit rows, as 1-bit or 8-bit indices.
Bitmap DecodeIndexed(const BmpInfo& info, const StoredRows& rows, int32_t w, int32_t h) {
  const uint32_t bpp = info.bpp;
  if (bpp == 1) {
    Bitmap bitmap(w, h, kFormat1bppIndexed);
    const size_t n = (static_cast<size_t>(w) + 7) / 8;
    for (int32_t y = 0; y < h; ++y) std::memcpy(bitmap.Row(y), rows.Row(y), n);
    return bitmap;
  }
  Bitmap bitmap(w, h, kFormat8bppIndexed);
  const unsigned per_byte = 8 / bpp;
  const unsigned mask = (1u << bpp) - 1;
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* s = rows.Row(y);
    uint8_t* d = bitmap.Row(y);
    if (bpp == 8) {
      std::memcpy(d, s, static_cast<size_t>(w));
      continue;
    }
    for (int32_t x = 0; x < w; ++x) {
      const unsigned shift = 8 - bpp * (1 + static_cast<unsigned>(x) % per_byte);
      d[x] = static_cast<uint8_t>((s[static_cast<unsigned>(x) / per_byte] >> shift) & mask);
    }
  }
  return bitmap;
}

// 16- and 32-bit pixels through their colour masks: those of the header, or
// the defaults of BI_RGB.
Bitmap DecodeMasked(const BmpInfo& info, const StoredRows& rows, int32_t w, int32_t h) {
  const uint32_t bpp = info.bpp, comp = info.compression;
  uint32_t masks[4] = {info.masks[0], info.masks[1], info.masks[2], 0};
  if (comp == kBiRgb) {
    if (bpp == 16) {
      masks[0] = 0x7C00;
      masks[1] = 0x03E0;
      masks[2] = 0x001F;
    } else {
      masks[0] = 0x00FF0000;
      masks[1] = 0x0000FF00;
      masks[2] = 0x000000FF;
    }
  } else if (comp == kBiAlphaBitfields || info.header_size >= 56) {
    masks[3] = info.masks[3];
  }
  if (bpp == 16) {
    for (uint32_t& m : masks) m &= 0xFFFF;
  }
  for (uint32_t m : masks) {
    if (!Contiguous(m)) throw Error("BMP colour masks are not contiguous");
  }
  if ((masks[0] & masks[1]) || (masks[0] & masks[2]) || (masks[1] & masks[2]) ||
      (masks[3] & (masks[0] | masks[1] | masks[2]))) {
    throw Error("BMP colour masks overlap");
  }
  const Field fr = MakeField(masks[0]), fg = MakeField(masks[1]), fb = MakeField(masks[2]),
              fa = MakeField(masks[3]);
  const bool has_alpha = masks[3] != 0;
  Bitmap bitmap(w, h, has_alpha ? kFormat32bppArgb : kFormat24bppRgb);
  const size_t out_bytes = has_alpha ? 4 : 3;
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* s = rows.Row(y);
    uint8_t* d = bitmap.Row(y);
    for (int32_t x = 0; x < w; ++x) {
      const uint32_t px = bpp == 16 ? LoadLe16(s + 2 * x) : LoadLe32(s + 4 * x);
      uint8_t* o = d + out_bytes * static_cast<size_t>(x);
      o[0] = Scale(fb, px);
      o[1] = Scale(fg, px);
      o[2] = Scale(fr, px);
      if (has_alpha) o[3] = Scale(fa, px);
    }
  }
  if (has_alpha && AllOpaque8(bitmap, 4 * static_cast<size_t>(w), 3, 4)) DropAlpha8(bitmap, false);
  return bitmap;
}

Bitmap DecodePixels(const BmpInfo& info, const uint8_t* data, size_t size) {
  if (info.planes != 1) throw Error("BMP plane count " + std::to_string(info.planes) + " is not 1");
  if (info.width <= 0 || info.height <= 0 || info.width > INT32_MAX || info.height > INT32_MAX) {
    throw Error("BMP image size " + std::to_string(info.width) + " x " + std::to_string(info.height) + " is invalid");
  }
  const uint32_t pixel_offset = LoadLe32(data + 10);
  const auto w = static_cast<int32_t>(info.width);
  const auto h = static_cast<int32_t>(info.height);
  const uint32_t bpp = info.bpp, comp = info.compression;

  // Embedded streams decode through their own codec.
  if ((comp == kBiJpeg || comp == kBiPng) && !info.os2) {
    if (pixel_offset >= size) throw Error("file ends before the pixel data");
    const uint8_t* stream = data + pixel_offset;
    const size_t n = size - pixel_offset;
    return comp == kBiJpeg ? DecodeJpeg(stream, n) : DecodePng(stream, n);
  }
  CheckSupported(info);
  if (bpp == 64) return Bitmap::Header(w, h, kFormat64bppArgb);
  if ((comp == kBiRle8 || comp == kBiRle4) && info.top_down) throw Error("top-down BMP cannot be RLE compressed");

  const std::vector<Color> palette = ReadPalette(info, data, size);
  if (pixel_offset >= size) throw Error("file ends before the pixel data");
  const uint8_t* pixels = data + pixel_offset;
  const size_t available = size - pixel_offset;

  if (comp == kBiRle8 || comp == kBiRle4) {
    Bitmap bitmap(w, h, kFormat8bppIndexed);
    DecodeRle(pixels, available, comp == kBiRle4, bitmap);
    bitmap.SetPalette(palette);
    return bitmap;
  }

  // Refuse an image too large to hold before blaming the file's length.
  CheckBitmapSize(w, h, bpp == 1 ? kFormat1bppIndexed : (bpp <= 8 ? kFormat8bppIndexed : kFormat24bppRgb));
  const size_t src_stride = CheckedMul((CheckedMul(static_cast<size_t>(w), bpp) + 31) / 32, 4);
  if (CheckedMul(src_stride, static_cast<size_t>(h - 1)) + (CheckedMul(static_cast<size_t>(w), bpp) + 7) / 8 > available) {
    throw Error("file ends before the end of the pixel data");
  }
  const StoredRows rows{pixels, src_stride, h, info.top_down};

  if (bpp <= 8) {
    Bitmap bitmap = DecodeIndexed(info, rows, w, h);
    bitmap.SetPalette(palette);
    return bitmap;
  }
  if (bpp == 24) {
    Bitmap bitmap(w, h, kFormat24bppRgb);
    for (int32_t y = 0; y < h; ++y) std::memcpy(bitmap.Row(y), rows.Row(y), 3 * static_cast<size_t>(w));
    return bitmap;
  }
  return DecodeMasked(info, rows, w, h);
}

}  // namespace

Bitmap DecodeBmp(const uint8_t* data, size_t size) {
  const BmpInfo info = ReadInfo(data, size);
  Bitmap bitmap = DecodePixels(info, data, size);
  std::vector<uint8_t> icc = EmbeddedProfile(info, data, size);
  if (!icc.empty()) bitmap.Meta().icc = std::move(icc);
  return bitmap;
}

// ---------------------------------------------------------------------------
// Encoding: file header, BITMAPINFOHEADER, colour table for indexed images,
// rows bottom-up padded to 4 bytes. Alpha is dropped.

namespace {

// The file header, BITMAPINFOHEADER and colour table of `bitmap`'s file.
struct BmpHead {
  uint8_t bytes[14 + 40 + 4 * 256] = {};
  size_t size = 0;    // of `bytes`
  size_t stride = 0;  // of a row, the bitmap's own
};

BmpHead MakeHead(const Bitmap& bitmap) {
  int bpp = 0;
  size_t entries = 0;
  switch (bitmap.Format()) {
    case kFormat1bppIndexed: bpp = 1; entries = 2; break;
    case kFormat8bppIndexed: bpp = 8; entries = 256; break;
    case kFormat24bppRgb: bpp = 24; break;
    default:
      ThrowUnsupported("BMP", bitmap.Format());
  }
  BmpHead head;
  // The bitmap's rows are already BMP rows: same bit layout, 4-byte padding.
  head.stride = bitmap.Stride();
  const size_t image = CheckedMul(head.stride, static_cast<size_t>(bitmap.Height()));
  head.size = 14 + 40 + 4 * entries;
  const size_t total = CheckedAdd(head.size, image);
  if (total > 0xFFFFFFFFu) throw Error("BMP cannot hold an image of " + std::to_string(total) + " bytes");

  uint8_t* const header = head.bytes;
  header[0] = 'B';
  header[1] = 'M';
  StoreLe32(header + 2, static_cast<uint32_t>(total));
  StoreLe32(header + 10, static_cast<uint32_t>(head.size));
  uint8_t* ih = header + 14;
  StoreLe32(ih, 40);
  StoreLe32(ih + 4, static_cast<uint32_t>(bitmap.Width()));
  StoreLe32(ih + 8, static_cast<uint32_t>(bitmap.Height()));
  StoreLe16(ih + 12, 1);
  StoreLe16(ih + 14, static_cast<uint32_t>(bpp));
  StoreLe32(ih + 16, kBiRgb);
  StoreLe32(ih + 20, static_cast<uint32_t>(image));
  const auto pixels_per_metre = static_cast<uint32_t>(kOutputDpi / 0.0254 + 0.5);
  StoreLe32(ih + 24, pixels_per_metre);
  StoreLe32(ih + 28, pixels_per_metre);
  StoreLe32(ih + 32, static_cast<uint32_t>(entries));

  if (entries > 0) {
    const std::vector<Color> palette = bitmap.Palette();
    uint8_t* const table = header + 14 + 40;
    for (size_t i = 0; i < entries && i < palette.size(); ++i) {
      table[4 * i] = palette[i].b;
      table[4 * i + 1] = palette[i].g;
      table[4 * i + 2] = palette[i].r;
    }
  }
  return head;
}

}  // namespace

void EncodeBmp(Bitmap& bitmap, MemoryStream& out) {
  const BmpHead head = MakeHead(bitmap);
  // The file's size is known: one block for it, never grown.
  out.Reserve(head.size + head.stride * static_cast<size_t>(bitmap.Height()));
  out.Write(head.bytes, head.size);
  // Bottom row first: the spent rows are given back from the end.
  for (int32_t y = bitmap.Height() - 1; y >= 0; --y) {
    out.Write(bitmap.Row(y), head.stride);
    bitmap.Spend(y, bitmap.Height());
  }
}

// The file is the head and the rows bottom up: the kernel copies them from
// the bitmap into the file, so no copy of the file is made here, and the
// memory such a copy would take (fresh pages, dear to fault in) stays free
// for the file's own pages. Rows under 1 KiB would take a call for every
// 256 KiB or less, so narrow pictures are copied into memory first.
void WriteBmpFile(const char* path, Bitmap& bitmap) {
  if (bitmap.Stride() < 1024) {
    MemoryStream out;
    EncodeBmp(bitmap, out);
    return WriteAllBytes(path, out.Data(), out.Size());
  }
  const BmpHead head = MakeHead(bitmap);
  struct Source {
    const BmpHead& head;
    const Bitmap& bitmap;
  } const source{head, bitmap};
  auto at = [](const void* context, size_t i) {
    const auto& s = *static_cast<const Source*>(context);
    if (i == 0) return Piece{s.head.bytes, s.head.size};
    return Piece{s.bitmap.Row(s.bitmap.Height() - static_cast<int32_t>(i)), s.head.stride};
  };
  WriteAllPieces(path, Pieces{static_cast<size_t>(bitmap.Height()) + 1, at, &source});
}

}  // namespace pm
