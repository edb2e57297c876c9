#include "packing.h"

#include <cstring>

void sttc_MakePalette(const pmMetaImg* p_meta_img, pm::Bitmap& bmp) {
  if (p_meta_img->palette_num <= 0) return;
  std::vector<pm::Color> entries = bmp.Palette();
  const auto n = static_cast<size_t>(p_meta_img->palette_num);
  // Entries past the bitmap's own palette are refused when set back.
  if (entries.size() < n) entries.resize(n, pm::Color{0, 0, 0, 255});
  for (size_t i = 0; i < n; ++i) {
    const PM_METAIMG_PALETTE& e = p_meta_img->p_palette[i];
    entries[i] = pm::Color{e.red, e.green, e.blue, e.alpha};
  }
  bmp.SetPalette(entries);
}

int32_t sttc_SetOutputPixels_08_24(uint8_t* pBuf, const pmMetaImg* p_meta_img) {
  const size_t w = static_cast<size_t>(p_meta_img->width);
  if (p_meta_img->height <= 0) return 0;
  const size_t h = static_cast<size_t>(p_meta_img->height);
  const size_t stride = pm::RowStride(p_meta_img->width, p_meta_img->bit * p_meta_img->channel);
  if (p_meta_img->channel == 1) {
    const uint8_t* plane = p_meta_img->pp_plane[0];
    for (size_t r = 0; r < h; ++r) std::memcpy(pBuf + r * stride, plane + r * w, w);
    return 0;
  }
  uint8_t* const* planes = p_meta_img->pp_plane;
  for (size_t r = 0; r < h; ++r) pm::JoinBgr(planes[0] + r * w, planes[1] + r * w, planes[2] + r * w, w, pBuf + r * stride);
  return 0;
}

int32_t sttc_SetOutputPixels_01(uint8_t* pBuf, const pmMetaImg* p_meta_img) {
  if (p_meta_img->height <= 0) return 0;
  const size_t h = static_cast<size_t>(p_meta_img->height);
  const size_t row_bytes = (static_cast<size_t>(p_meta_img->width) + 7) / 8;
  const size_t stride = pm::RowStride(p_meta_img->width, p_meta_img->bit * p_meta_img->channel);
  const uint8_t* plane = p_meta_img->pp_plane[0];
  for (size_t r = 0; r < h; ++r) std::memcpy(pBuf + (h - 1 - r) * stride, plane + r * row_bytes, row_bytes);
  return 0;
}
