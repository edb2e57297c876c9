// Writing an image record to a file in one of the five containers.
#pragma once

#include <cstdint>

#include "meta_img.h"
#include "platform/imaging.h"

// Does the work of Pixmill_Save once the record's shape is accepted.
int32_t sttc_SaveImage_Core(const char* img_filename, const pmMetaImg* p_meta_img, int32_t img_format_id);

// Encodes a record of an accepted shape (1, 8 or 24 bits a pixel) in the
// container of a code 0 to 4 into stream. Raises on failure.
void EncodeImage(const pmMetaImg* p_meta_img, int32_t img_format_id, pm::MemoryStream& stream);

// A blank bitmap for 1, 8 or (any other value) 24 bits a pixel.
pm::Bitmap sttc_CreateBitmap(int32_t width, int32_t height, int32_t color_format);

// The installed encoder with exactly this MIME type, or null.
const pm::EncoderInfo* sttc_GetEncoderInfo(const char* mineType);
