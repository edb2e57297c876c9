#include "meta_img.h"

#include <cstdlib>
#include <limits>
#include <new>

#include "platform/imaging.h"

int64_t RecordPlaneSize(int32_t width, int32_t height, int32_t bit) {
  if (width < 0 || height < 0 || bit <= 0 || bit > 16) return -1;
  const int64_t bytes_per_sample = (static_cast<int64_t>(bit) + 7) >> 3;
  // width * height fits in 62 bits, times 2 in 63: no overflow here.
  const int64_t plane = bytes_per_sample * static_cast<int64_t>(width) * height;
  return plane > std::numeric_limits<int32_t>::max() ? -1 : plane;
}

uint64_t RecordBlockBytes(int32_t width, int32_t height, int32_t bit, int32_t channel) {
  if (width < 0 || height < 0 || bit <= 0 || bit > 16 || channel < 1 || channel > 4) {
    return std::numeric_limits<uint64_t>::max();
  }
  // At most 2 * (2^31)^2 * 4 + 3 < 2^64: no overflow here.
  const uint64_t plane = ((static_cast<uint64_t>(bit) + 7) >> 3) * static_cast<uint64_t>(width) *
                         static_cast<uint64_t>(height);
  return (plane * static_cast<uint64_t>(channel) + 3) & ~static_cast<uint64_t>(3);
}

int64_t RecordBlockSize(int32_t width, int32_t height, int32_t bit, int32_t channel) {
  if (RecordPlaneSize(width, height, bit) < 0) return -1;
  const uint64_t block = RecordBlockBytes(width, height, bit, channel);
  return block > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) ? -1 : static_cast<int64_t>(block);
}

pmMetaImg* sttc_CreateMetaImg() { return new (std::nothrow) pmMetaImg(); }

pmMetaImg::~pmMetaImg() {
  Release();
  delete[] p_palette;
}

void pmMetaImg::Release() {
  delete[] pp_plane;
  pp_plane = nullptr;
  std::free(p_buf);
  p_buf = nullptr;
}

int32_t pmMetaImg::Resize(int32_t new_width, int32_t new_height, int32_t new_bit, int32_t new_channel) {
  width = new_width;
  height = new_height;
  bit = new_bit;
  channel = new_channel;
  Release();
  delete[] p_palette;
  p_palette = nullptr;
  palette_num = 0;

  const int64_t plane = RecordPlaneSize(new_width, new_height, new_bit);
  const int64_t block = RecordBlockSize(new_width, new_height, new_bit, new_channel);
  // A palette must fit its index: one-plane records are 1- or 8-bit.
  if (block < 0 || (new_channel == 1 && new_bit > 8)) return -1;

  // A one-byte block keeps "no storage" distinct for an empty geometry; the
  // block is still free()'d.
  p_buf = static_cast<uint8_t*>(pm::MallocHuge(static_cast<size_t>(block)));
  pp_plane = new (std::nothrow) uint8_t*[static_cast<size_t>(new_channel)];
  if (p_buf == nullptr || pp_plane == nullptr) {
    Release();
    return -1;
  }
  for (int32_t i = 0; i < new_channel; ++i) pp_plane[i] = p_buf + static_cast<size_t>(i) * static_cast<size_t>(plane);

  if (new_channel == 1) {
    const int32_t n = 1 << new_bit;
    p_palette = new (std::nothrow) PM_METAIMG_PALETTE[static_cast<size_t>(n)];
    if (p_palette == nullptr) {
      Release();
      return -1;
    }
    palette_num = n;
    for (int32_t i = 0; i < n; ++i) {
      const auto v = static_cast<uint8_t>((i * 255) / (n - 1));
      p_palette[i] = PM_METAIMG_PALETTE{v, v, v, 255};
    }
  }
  return 0;
}
