#include "meta_img.h"

#include <cstdlib>
#include <new>

#include "platform/imaging.h"

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
  save_memo.Clear();

  const pm::RecordSize size = pm::SizeOfRecord(new_width, new_height, new_bit, new_channel);
  // A palette must fit its index: one-plane records are 1- or 8-bit.
  if (!size.fits || (new_channel == 1 && new_bit > 8)) return -1;
  const auto plane = static_cast<size_t>(size.plane);

  // A one-byte block keeps "no storage" distinct for an empty geometry; the
  // block is still free()'d.
  p_buf = static_cast<uint8_t*>(pm::MallocHuge(static_cast<size_t>(size.block)));
  pp_plane = new (std::nothrow) uint8_t*[static_cast<size_t>(new_channel)];
  if (p_buf == nullptr || pp_plane == nullptr) {
    Release();
    return -1;
  }
  for (int32_t i = 0; i < new_channel; ++i) pp_plane[i] = p_buf + static_cast<size_t>(i) * plane;

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
