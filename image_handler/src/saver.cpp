#include "saver.h"

#include <cstring>
#include <new>
#include <string>

#include "failure.h"
#include "my_global.h"
#include "packing.h"

pm::Bitmap sttc_CreateBitmap(int32_t width, int32_t height, int32_t color_format) {
  if (color_format == 1) return pm::Bitmap(width, height, pm::kFormat1bppIndexed);
  if (color_format == 8) return pm::Bitmap(width, height, pm::kFormat8bppIndexed);
  return pm::Bitmap(width, height, pm::kFormat24bppRgb);
}

const pm::EncoderInfo* sttc_GetEncoderInfo(const char* mineType) {
  for (const pm::EncoderInfo& info : pm::GetImageEncoders()) {
    if (std::strcmp(info.mime_type, mineType) == 0) return &info;
  }
  return nullptr;
}

namespace {

// The bitmap the encoders read: the record's plane itself where its rows
// are already a bitmap's (8 bits, a width that is a multiple of 4, so no
// padding), which saves a copy of the picture and the fresh memory it
// would take; otherwise rows packed from the record.
pm::Bitmap OutputBitmap(const pmMetaImg* p_meta_img) {
  const int32_t bits_per_pixel = p_meta_img->channel * p_meta_img->bit;
  if (bits_per_pixel == 8 && p_meta_img->width > 0 && p_meta_img->width % 4 == 0) {
    return pm::Bitmap::View(p_meta_img->width, p_meta_img->height, pm::kFormat8bppIndexed, p_meta_img->pp_plane[0]);
  }
  pm::Bitmap bmp = sttc_CreateBitmap(p_meta_img->width, p_meta_img->height, bits_per_pixel);
  uint8_t* scan0 = bmp.LockBits();
  if (bits_per_pixel == 1) {
    sttc_SetOutputPixels_01(scan0, p_meta_img);
  } else {
    sttc_SetOutputPixels_08_24(scan0, p_meta_img);
  }
  bmp.UnlockBits();
  return bmp;
}

// The bitmap a save encodes, with the record's palette and metadata.
pm::Bitmap SavedBitmap(const pmMetaImg* p_meta_img) {
  pm::Bitmap bmp = OutputBitmap(p_meta_img);
  sttc_MakePalette(p_meta_img, bmp);
  bmp.Meta().orientation = p_meta_img->orientation;
  bmp.Meta().icc = p_meta_img->icc_profile;
  return bmp;
}

// The format codes are the containers' own numbers; JPEG's encoder is
// found by its MIME type, which the list always holds (a test checks it).
pm::Container ContainerOf(int32_t img_format_id) {
  return img_format_id == 0 ? sttc_GetEncoderInfo("image/jpeg")->container : static_cast<pm::Container>(img_format_id);
}

}  // namespace

void EncodeImage(const pmMetaImg* p_meta_img, int32_t img_format_id, pm::MemoryStream& stream) {
  pm::Bitmap bmp = SavedBitmap(p_meta_img);
  pm::Encode(bmp, ContainerOf(img_format_id), static_cast<int>(myGlobal::q_value.load()), stream,
             &p_meta_img->save_memo);
}

int32_t sttc_SaveImage_Core(const char* img_filename, const pmMetaImg* p_meta_img, int32_t img_format_id) {
  // Unknown codes (negative ones too) fail without touching the error text.
  if (static_cast<uint32_t>(img_format_id) > 4) return -1;
  // A text that cannot be built throws on to Pixmill_Save's catch-all.
  const bool saved = RunNamed("saving", img_filename, [&] {
    // The file is encoded in memory first (a BMP's rows are the bitmap's
    // own), so that a failing encoder never touches the target.
    const int quality = static_cast<int>(myGlobal::q_value.load());
    pm::SaveFile(img_filename, SavedBitmap(p_meta_img), ContainerOf(img_format_id), quality, &p_meta_img->save_memo);
    myGlobal::SetError("No Error");
  });
  return saved ? 0 : -1;
}
