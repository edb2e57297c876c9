// Exact palettes: the colours of a 24-bit image that has at most 256 of
// them, which the PNG, TIFF and GIF writers store as a palette image of the
// same pixels; and how much of a row of indices repeats itself.
#include <algorithm>
#include <vector>

#include "platform/quantize.h"

namespace pm {

namespace {

// Open-addressing map from a 24-bit colour to its palette index, for the
// at most 256 colours of an exact palette (so at most a quarter full).
class ColourSlots {
 public:
  // The index stored for `key`, or -1 with `*slot` set to where it would go.
  int Find(uint32_t key, size_t* slot) const {
    size_t i = (key * 2654435761u) & (kSlots - 1);
    while (keys_[i] != kEmpty) {
      if (keys_[i] == key) return values_[i];
      i = (i + 1) & (kSlots - 1);
    }
    *slot = i;
    return -1;
  }
  void Put(size_t slot, uint32_t key, uint8_t value) {
    keys_[slot] = key;
    values_[slot] = value;
  }

 private:
  static constexpr size_t kSlots = 1024;
  static constexpr uint32_t kEmpty = 0xFFFFFFFFu;  // no 24-bit colour
  std::vector<uint32_t> keys_ = std::vector<uint32_t>(kSlots, kEmpty);
  std::vector<uint8_t> values_ = std::vector<uint8_t>(kSlots, 0);
};

}  // namespace

bool ExactColours(const uint8_t* base, size_t stride, int width, int height, IndexedImage* out) {
  out->pitch = static_cast<size_t>(width);
  out->indices = AllocBlock(CheckedMul(out->pitch, static_cast<size_t>(height)), false);
  ColourSlots map;
  std::vector<Color> palette;
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = base + static_cast<size_t>(y) * stride;
    uint8_t* dst = out->indices.get() + static_cast<size_t>(y) * out->pitch;
    uint32_t last_key = 0xFFFFFFFFu;
    uint8_t last_index = 0;
    for (int x = 0; x < width; ++x) {
      const uint32_t key = ColourKey(row + 3 * x);
      if (key != last_key) {
        size_t slot = 0;
        int index = map.Find(key, &slot);
        if (index < 0) {
          if (palette.size() == 256) {
            out->indices.reset();
            return false;
          }
          palette.push_back(Color{row[3 * x + 2], row[3 * x + 1], row[3 * x], 255});
          index = static_cast<int>(palette.size() - 1);
          map.Put(slot, key, static_cast<uint8_t>(index));
        }
        last_key = key;
        last_index = static_cast<uint8_t>(index);
      }
      dst[x] = last_index;
    }
  }
  out->palette = std::move(palette);
  return true;
}

bool ManyGreys(const IndexedImage& image) {
  const std::vector<Color>& palette = image.palette;
  if (palette.size() <= 16) return false;
  for (const Color& c : palette) {
    if (c.r != c.g || c.g != c.b) return false;
  }
  return true;
}

void IndicesToGrey(IndexedImage& image, int width, int height) {
  uint8_t level[256] = {};
  for (size_t i = 0; i < image.palette.size(); ++i) level[i] = image.palette[i].r;
  for (int y = 0; y < height; ++y) {
    uint8_t* row = image.indices.get() + static_cast<size_t>(y) * image.pitch;
    for (int x = 0; x < width; ++x) row[x] = level[row[x]];
  }
}

bool MostlyRepeats(const uint8_t* rows, size_t pitch, int width, int height) {
  if (width < 2 || height < 1) return false;
  // Every 16th row, or fewer to keep to 64 of them.
  const int step = std::max(16, height / 64);
  size_t repeats = 0, pairs = 0;
  for (int y = 0; y < height; y += step) {
    const uint8_t* row = rows + static_cast<size_t>(y) * pitch;
    for (int x = 1; x < width; ++x) repeats += row[x] == row[x - 1];
    pairs += static_cast<size_t>(width - 1);
  }
  return repeats * 4 >= pairs * 3;
}

}  // namespace pm
