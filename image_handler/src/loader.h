// Decoding an image file into a new image record.
#pragma once

#include <cstdint>

#include "meta_img.h"
#include "platform/imaging.h"

// A new, filled record, or null with the reason in the error text.
pmMetaImg* sttc_LoadImage(const char* img_filename);

// The same for a file's bytes already in memory; `name` appears in texts.
pmMetaImg* LoadImageFromMemory(const uint8_t* data, size_t size, const char* name);

// Classifies the decoded pixel format: 0 with `channel` and `bit` set for the
// formats the record carries, -1 (and the pixel-format text) otherwise.
// `width` and `height` are always written.
int32_t sttc_GetParams(const pm::Bitmap& bmp, int32_t* channel, int32_t* width, int32_t* height, int32_t* bit);

// Copies the decoded palette over the record's, never past palette_num.
void sttc_SetPalette(const pm::Bitmap& bmp, pmMetaImg* p_meta_img);

// Splits the locked rows at p_pix_buf (top row first, rows padded to 4
// bytes) into the record's planes. Always 0.
int32_t sttc_SetPix(const uint8_t* p_pix_buf, pmMetaImg* p_meta_img);
