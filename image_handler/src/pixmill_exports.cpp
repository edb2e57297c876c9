// The library's boundary: five plain C functions. No exception leaves them.
#include <cstdlib>
#include <cstring>
#include <string>

#include "loader.h"
#include "meta_img.h"
#include "my_global.h"
#include "pixmill.h"
#include "saver.h"

extern "C" {

PIXMILL_API pmMetaImg* Pixmill_Create(const char* img_filename) {
  try {
    return sttc_LoadImage(img_filename);
  } catch (...) {
    myGlobal::SetOutOfMemory();
    return nullptr;
  }
}

PIXMILL_API int32_t Pixmill_Save(const char* img_filename, const pmMetaImg* p_meta_img, int32_t img_format_id) {
  try {
    if (p_meta_img == nullptr) {
      myGlobal::SetError("Cannot save: no image record was given");
      return -1;
    }
    if (img_filename == nullptr) {
      myGlobal::SetError("Cannot save: no file name was given");
      return -1;
    }
    const int64_t bits_per_pixel = static_cast<int64_t>(p_meta_img->channel) * p_meta_img->bit;
    if (bits_per_pixel != 1 && bits_per_pixel != 8 && bits_per_pixel != 24) {
      myGlobal::SetError("Not Supported!");
      return -1;
    }
    return sttc_SaveImage_Core(img_filename, p_meta_img, img_format_id);
  } catch (...) {
    myGlobal::SetOutOfMemory();
    return -1;
  }
}

PIXMILL_API void Pixmill_Delete(pmMetaImg* p_meta_img) { delete p_meta_img; }

PIXMILL_API int32_t Pixmill_SetQuality(int32_t qality) {
  const int64_t clamped = qality < 0 ? 0 : (qality > 100 ? 100 : qality);
  return static_cast<int32_t>(myGlobal::q_value.exchange(clamped));
}

PIXMILL_API char* Pixmill_LastErrorMessage(void) {
  try {
    const std::string text = myGlobal::GetError();
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
  } catch (...) {
    // The text cannot be copied when memory has run out.
    return nullptr;
  }
}

}  // extern "C"
