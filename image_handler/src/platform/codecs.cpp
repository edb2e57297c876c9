// The decode and encode entry points: the one table that maps a file's
// signature, or an output container, to its codec.
#include <cstring>
#include <utility>

#include "platform/codec.h"

namespace pm {

namespace {

bool IsPng(const uint8_t* d, size_t n) { return n >= sizeof kPngSignature && std::memcmp(d, kPngSignature, sizeof kPngSignature) == 0; }
bool IsJpeg(const uint8_t* d, size_t n) { return n >= 3 && d[0] == 0xFF && d[1] == 0xD8 && d[2] == 0xFF; }
bool IsTiff(const uint8_t* d, size_t n) {
  if (n < 4) return false;
  const bool ii = d[0] == 'I' && d[1] == 'I' && (d[2] == 42 || d[2] == 43) && d[3] == 0;
  const bool mm = d[0] == 'M' && d[1] == 'M' && d[2] == 0 && (d[3] == 42 || d[3] == 43);
  return ii || mm;
}
bool IsGif(const uint8_t* d, size_t n) {
  return n >= 6 && (std::memcmp(d, "GIF87a", 6) == 0 || std::memcmp(d, "GIF89a", 6) == 0);
}
bool IsBmp(const uint8_t* d, size_t n) { return n >= 2 && d[0] == 'B' && d[1] == 'M'; }

// One entry a container: how its files begin, its decoder and encoder, the
// MIME type the saver finds its encoder by, and, for a container whose file
// can go out without being made whole in memory first, its file writer.
struct Codec {
  Container container;
  const char* mime_type;
  bool (*matches)(const uint8_t* data, size_t size);
  Bitmap (*decode)(const uint8_t* data, size_t size);
  void (*encode)(Bitmap& bitmap, int quality, SaveMemo* memo, MemoryStream& out);
  void (*write_file)(const char* path, Bitmap& bitmap) = nullptr;
};

const Codec kCodecs[] = {
    {Container::kPng, "image/png", IsPng, DecodePng, [](Bitmap& b, int, SaveMemo*, MemoryStream& o) { EncodePng(b, o); }},
    {Container::kJpeg, "image/jpeg", IsJpeg, DecodeJpeg,
     [](Bitmap& b, int q, SaveMemo*, MemoryStream& o) { EncodeJpeg(b, q, o); }},
    {Container::kTiff, "image/tiff", IsTiff, DecodeTiff, [](Bitmap& b, int, SaveMemo* m, MemoryStream& o) { EncodeTiff(b, m, o); }},
    {Container::kGif, "image/gif", IsGif, DecodeGif, [](Bitmap& b, int, SaveMemo* m, MemoryStream& o) { EncodeGif(b, m, o); }},
    {Container::kBmp, "image/bmp", IsBmp, DecodeBmp, [](Bitmap& b, int, SaveMemo*, MemoryStream& o) { EncodeBmp(b, o); },
     WriteBmpFile},
};

const Codec& CodecFor(Container container) {
  for (const Codec& c : kCodecs) {
    if (c.container == container) return c;
  }
  throw Error("Unknown output container");
}

}  // namespace

Bitmap DecodeMemory(const uint8_t* data, size_t size) {
  if (size == 0) throw Error("file is empty");
  for (const Codec& c : kCodecs) {
    if (c.matches(data, size)) return c.decode(data, size);
  }
  throw Error("is not a PNG, JPEG, TIFF, GIF or BMP file", Error::Kind::kNotAnImage);
}

Bitmap DecodeFile(const char* path) {
  const FileBytes file = ReadAllBytes(path);
  return DecodeMemory(file.data.get(), file.size);
}

const std::vector<EncoderInfo>& GetImageEncoders() {
  static const std::vector<EncoderInfo> kEncoders = [] {
    std::vector<EncoderInfo> list;
    for (const Codec& c : kCodecs) list.push_back({c.mime_type, c.container});
    return list;
  }();
  return kEncoders;
}

void Encode(Bitmap& bitmap, Container container, int quality, MemoryStream& out, SaveMemo* memo) {
  CodecFor(container).encode(bitmap, quality, memo, out);
}

void SaveFile(const char* path, Bitmap&& bitmap, Container container, int quality, SaveMemo* memo) {
  const Codec& codec = CodecFor(container);
  if (codec.write_file != nullptr) return codec.write_file(path, bitmap);
  MemoryStream stream;
  {
    // The bitmap goes before the file is written, so that the file's pages
    // can take its memory.
    Bitmap spent = std::move(bitmap);
    codec.encode(spent, quality, memo, stream);
  }
  WriteAllBytes(path, stream.Data(), stream.Size());
}

}  // namespace pm
