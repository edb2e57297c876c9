// Moving a record's palette and planes into an output bitmap's locked rows.
#pragma once

#include <cstdint>

#include "meta_img.h"
#include "platform/imaging.h"

// Copies the record's palette into the bitmap's (a copy set back whole).
void sttc_MakePalette(const pmMetaImg* p_meta_img, pm::Bitmap& bmp);

// One or three 8-bit planes into 8- or 24-bit rows (blue, green, red) at
// pBuf, top row first, rows padded to 4 bytes. Always 0.
int32_t sttc_SetOutputPixels_08_24(uint8_t* pBuf, const pmMetaImg* p_meta_img);

// One 1-bit plane (bottom row first) into 1-bit rows, top row first. Always 0.
int32_t sttc_SetOutputPixels_01(uint8_t* pBuf, const pmMetaImg* p_meta_img);
