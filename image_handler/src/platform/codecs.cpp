// The decode and encode entry points: the one table that maps a file's
// signature, or an output container, to its codec.
#include <cstring>

#include "platform/codec.h"

namespace pm {

static bool IsPng(const uint8_t* d, size_t n) {
  static const uint8_t kSig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  return n >= 8 && std::memcmp(d, kSig, 8) == 0;
}
static bool IsJpeg(const uint8_t* d, size_t n) { return n >= 3 && d[0] == 0xFF && d[1] == 0xD8 && d[2] == 0xFF; }
static bool IsTiff(const uint8_t* d, size_t n) {
  if (n < 4) return false;
  const bool ii = d[0] == 'I' && d[1] == 'I' && (d[2] == 42 || d[2] == 43) && d[3] == 0;
  const bool mm = d[0] == 'M' && d[1] == 'M' && d[2] == 0 && (d[3] == 42 || d[3] == 43);
  return ii || mm;
}
static bool IsGif(const uint8_t* d, size_t n) {
  return n >= 6 && (std::memcmp(d, "GIF87a", 6) == 0 || std::memcmp(d, "GIF89a", 6) == 0);
}
static bool IsBmp(const uint8_t* d, size_t n) { return n >= 2 && d[0] == 'B' && d[1] == 'M'; }

static const Decoder kDecoders[] = {
    {IsPng, DecodePng}, {IsJpeg, DecodeJpeg}, {IsTiff, DecodeTiff}, {IsGif, DecodeGif}, {IsBmp, DecodeBmp},
};

Bitmap DecodeMemory(const uint8_t* data, size_t size) {
  if (size == 0) throw Error("file is empty");
  for (const Decoder& d : kDecoders) {
    if (d.matches(data, size)) return d.decode(data, size);
  }
  throw Error("is not a PNG, JPEG, TIFF, GIF or BMP file", Error::Kind::kNotAnImage);
}

Bitmap DecodeFile(const char* path) {
  const FileBytes file = ReadAllBytes(path);
  return DecodeMemory(file.data.get(), file.size);
}

const std::vector<EncoderInfo>& GetImageEncoders() {
  static const std::vector<EncoderInfo> kEncoders = {
      {"image/bmp", Container::kBmp},  {"image/jpeg", Container::kJpeg}, {"image/gif", Container::kGif},
      {"image/tiff", Container::kTiff}, {"image/png", Container::kPng},
  };
  return kEncoders;
}

void Encode(const Bitmap& bitmap, Container container, int quality, MemoryStream& out) {
  switch (container) {
    case Container::kJpeg: EncodeJpeg(bitmap, quality, out); return;
    case Container::kPng: EncodePng(bitmap, out); return;
    case Container::kTiff: EncodeTiff(bitmap, out); return;
    case Container::kGif: EncodeGif(bitmap, out); return;
    case Container::kBmp: EncodeBmp(bitmap, out); return;
  }
  throw Error("Unknown output container");
}

}  // namespace pm
