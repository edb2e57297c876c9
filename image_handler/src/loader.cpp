#include "loader.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "failure.h"
#include "my_global.h"

int32_t sttc_GetParams(const pm::Bitmap& bmp, int32_t* channel, int32_t* width, int32_t* height, int32_t* bit) {
  *width = bmp.Width();
  *height = bmp.Height();
  switch (bmp.Format()) {
    case pm::kFormat1bppIndexed: *channel = 1; *bit = 1; return 0;
    case pm::kFormat8bppIndexed: *channel = 1; *bit = 8; return 0;
    case pm::kFormat24bppRgb: *channel = 3; *bit = 8; return 0;
    case pm::kFormat48bppRgb: *channel = 3; *bit = 16; return 0;
    default:
      myGlobal::SetError("PixelFormat(" + std::to_string(static_cast<int32_t>(bmp.Format())) + ") is Not Supported!");
      return -1;
  }
}

void sttc_SetPalette(const pm::Bitmap& bmp, pmMetaImg* p_meta_img) {
  const std::vector<pm::Color> entries = bmp.Palette();
  const size_t n = entries.size() < static_cast<size_t>(p_meta_img->palette_num)
                       ? entries.size() : static_cast<size_t>(p_meta_img->palette_num);
  for (size_t i = 0; i < n; ++i) {
    p_meta_img->p_palette[i] = PM_METAIMG_PALETTE{entries[i].r, entries[i].g, entries[i].b, entries[i].a};
  }
}

int32_t sttc_SetPix(const uint8_t* p_pix_buf, pmMetaImg* p_meta_img) {
  const size_t w = static_cast<size_t>(p_meta_img->width);
  const size_t h = static_cast<size_t>(p_meta_img->height);
  const size_t stride = pm::RowStride(p_meta_img->width, p_meta_img->bit * p_meta_img->channel);
  const int32_t channel = p_meta_img->channel;

  if (p_meta_img->bit == 8) {
    if (channel == 1) {
      uint8_t* dst = p_meta_img->pp_plane[0];
      for (size_t r = 0; r < h; ++r) std::memcpy(dst + r * w, p_pix_buf + r * stride, w);
    } else {
      uint8_t* const* planes = p_meta_img->pp_plane;
      for (size_t r = 0; r < h; ++r) pm::SplitBgr(p_pix_buf + r * stride, w, planes[0] + r * w, planes[1] + r * w, planes[2] + r * w);
    }
  } else if (channel == 1 && p_meta_img->bit == 1) {
    // Plane rows run bottom row first. The bits past the width are cleared:
    // some decoders (libtiff's fax codecs) leave them as the buffer held
    // them, and they would reach the saved files.
    const size_t row_bytes = (w + 7) / 8;
    const auto tail_mask = static_cast<uint8_t>(0xFF00u >> (w % 8 == 0 ? 8 : w % 8));
    uint8_t* dst = p_meta_img->pp_plane[0];
    for (size_t r = 0; r < h; ++r) {
      std::memcpy(dst + r * row_bytes, p_pix_buf + (h - 1 - r) * stride, row_bytes);
      if (row_bytes > 0) dst[r * row_bytes + row_bytes - 1] &= tail_mask;
    }
  } else if (p_meta_img->bit == 16) {
    // 16-bit words, native byte order; word k of a pixel goes to plane
    // channel - 1 - k, as for 8-bit samples.
    for (size_t r = 0; r < h; ++r) {
      const uint8_t* src = p_pix_buf + r * stride;
      for (size_t x = 0; x < w; ++x) {
        for (int32_t k = 0; k < channel; ++k) {
          std::memcpy(p_meta_img->pp_plane[channel - 1 - k] + 2 * (r * w + x), src + 2 * (x * channel + k), 2);
        }
      }
    }
  }
  return 0;
}

namespace {

// Turns a decoded bitmap into a new record; null with the text set when the
// format is refused or the record cannot hold it.
pmMetaImg* RecordFromBitmap(pm::Bitmap bmp, const std::string& name) {
  int32_t channel = 0, width = 0, height = 0, bit = 0;
  if (sttc_GetParams(bmp, &channel, &width, &height, &bit) != 0) return nullptr;
  std::unique_ptr<pmMetaImg> record(sttc_CreateMetaImg());
  if (!record) throw std::bad_alloc();
  // The decoder checked the geometry against the record's size rule from
  // the header, so a failure here is the allocation's.
  if (record->Resize(width, height, bit, channel) != 0) {
    myGlobal::SetError("Out of memory while loading '" + name + "': cannot allocate " +
                       std::to_string(pm::SizeOfRecord(width, height, bit, channel).block) + " bytes for the image planes");
    return nullptr;
  }
  sttc_SetPalette(bmp, record.get());
  sttc_SetPix(bmp.LockBits(), record.get());
  bmp.UnlockBits();
  record->orientation = bmp.Meta().orientation;
  record->icc_profile = std::move(bmp.Meta().icc);
  myGlobal::SetError("No Error");
  return record.release();
}

// Runs one load. Any exception, even one thrown while a text is built, ends
// here.
template <typename Decode>
pmMetaImg* LoadWith(const char* name_in, Decode decode) {
  try {
    const std::string name = name_in != nullptr ? name_in : "";
    pmMetaImg* record = nullptr;
    if (RunNamed("loading", name, [&] { record = RecordFromBitmap(decode(), name); })) return record;
  } catch (...) {
    myGlobal::SetOutOfMemory();
  }
  return nullptr;
}

}  // namespace

pmMetaImg* sttc_LoadImage(const char* img_filename) {
  return LoadWith(img_filename, [&] { return pm::DecodeFile(img_filename); });
}

pmMetaImg* LoadImageFromMemory(const uint8_t* data, size_t size, const char* name_in) {
  return LoadWith(name_in, [&] { return pm::DecodeMemory(data, size); });
}
