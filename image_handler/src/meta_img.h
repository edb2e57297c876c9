// The library's in-memory image: one sample plane per channel in one block,
// and a palette for one-plane images.
#pragma once

#include <cstdint>
#include <vector>

#include "pixmill.h"
#include "platform/imaging.h"

struct PM_METAIMG_PALETTE {
  uint8_t red;
  uint8_t green;
  uint8_t blue;
  uint8_t alpha;
};

struct pmMetaImg {
 public:
  virtual ~pmMetaImg();

  // Gives the record storage for the geometry (samples uninitialised) and,
  // for one channel, the default palette: a ramp from black to white of
  // 1 << bit entries. Earlier storage and palette are released first.
  // Returns 0, or -1 when the geometry is invalid, its block would exceed
  // what the size rule (pm::SizeOfRecord) allows, or an allocation fails; the record then holds no
  // storage and must not be used for pixels.
  int32_t Resize(int32_t width, int32_t height, int32_t bit, int32_t channel);

  uint8_t* p_buf = nullptr;
  uint8_t** pp_plane = nullptr;
  int32_t width = 0;
  int32_t height = 0;
  int32_t bit = 0;
  int32_t channel = 0;
  PM_METAIMG_PALETTE* p_palette = nullptr;
  int32_t palette_num = 0;
  // What the source file said about showing it, carried to every output that
  // can hold it: the Exif orientation (1 to 8; 1 for none) and the ICC
  // profile (empty for none).
  int32_t orientation = 1;
  std::vector<uint8_t> icc_profile;
  // What one save leaves for the next (a palette picture's GIF data, coded
  // with its TIFF). The pixels do not change between saves; Resize clears it.
  mutable pm::SaveMemo save_memo;

 private:
  void Release();
};

// A new, empty record (every pointer null, every number 0), or null.
pmMetaImg* sttc_CreateMetaImg();
