// Exif orientation and ICC profiles: the few bytes of a picture's metadata
// that travel with it, read defensively (a damaged block is ignored, never
// a reason to refuse the picture) and written in their smallest form.
#include <cstring>

#include "platform/codec.h"

namespace pm {

namespace {

uint16_t Get16(const uint8_t* p, bool big) { return big ? LoadBe16(p) : LoadLe16(p); }
uint32_t Get32(const uint8_t* p, bool big) { return big ? LoadBe32(p) : LoadLe32(p); }

constexpr uint16_t kOrientationTag = 0x0112;
constexpr uint16_t kTypeShort = 3;

}  // namespace

int ExifOrientation(const uint8_t* data, size_t size) {
  if (data == nullptr || size < 8) return 1;
  const bool big = data[0] == 'M' && data[1] == 'M';
  if (!big && !(data[0] == 'I' && data[1] == 'I')) return 1;
  if (Get16(data + 2, big) != 42) return 1;
  const uint32_t ifd = Get32(data + 4, big);
  if (ifd < 8 || ifd > size - 2) return 1;
  const uint32_t count = Get16(data + ifd, big);
  // Every entry must lie inside the block: 12 bytes each after the count.
  if (count > (size - ifd - 2) / 12) return 1;
  int found = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = data + ifd + 2 + size_t{12} * i;
    if (Get16(e, big) != kOrientationTag) continue;
    const int v = Get16(e + 8, big);
    if (Get16(e + 2, big) != kTypeShort || Get32(e + 4, big) != 1 || v < 1 || v > 8) return 1;
    if (found != 0 && found != v) return 1;
    found = v;
  }
  return found != 0 ? found : 1;
}

std::vector<uint8_t> ExifBlock(int orientation) {
  // Big-endian header, one IFD of one entry, no next IFD.
  std::vector<uint8_t> b = {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, kOrientationTag >> 8, kOrientationTag & 0xFF,
                            0, kTypeShort, 0, 0, 0, 1, 0, static_cast<uint8_t>(orientation), 0, 0, 0, 0, 0, 0};
  return b;
}

bool PlausibleIcc(const uint8_t* data, size_t size) {
  return data != nullptr && size >= 132 && size <= kMaxIccBytes && LoadBe32(data) == size &&
         std::memcmp(data + 36, "acsp", 4) == 0;
}

}  // namespace pm
