// Fuzz target: decode arbitrary bytes and, when a record comes back that the
// saver accepts, encode it in all five containers (in memory). Built with
// PIXMILL_FUZZ_PREFIX, it first puts a container's signature in front, so
// that the fuzzer spends its time inside that one decoder.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "loader.h"
#include "my_global.h"
#include "saver.h"

namespace {

#ifdef PIXMILL_FUZZ_PREFIX
const char kPrefix[] = PIXMILL_FUZZ_PREFIX;
const size_t kPrefixSize = sizeof kPrefix - 1;
#else
const char kPrefix[] = "";
const size_t kPrefixSize = 0;
#endif

// Declared sizes are capped so that each input stays small and fast; the
// limits themselves have tests of their own. Records above kEncodeBytes are
// decoded only: encoding a photograph five times costs the fuzzer a second.
const bool kLimited = [] {
  pm::SetRecordByteLimit(size_t{4} << 20);
  return true;
}();
constexpr size_t kEncodeBytes = 16 * 1024;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)kLimited;
  std::vector<uint8_t> bytes(kPrefix, kPrefix + kPrefixSize);
  bytes.insert(bytes.end(), data, data + size);
  std::unique_ptr<pmMetaImg> img(LoadImageFromMemory(bytes.data(), bytes.size(), "fuzz"));
  if (!img) {
    // A refusal must say why.
    if (myGlobal::GetError() == "No Error" || myGlobal::GetError().empty()) __builtin_trap();
    return 0;
  }
  const int32_t bpp = img->channel * img->bit;
  if (bpp != 1 && bpp != 8 && bpp != 24) return 0;
  if (static_cast<size_t>(RecordBlockSize(img->width, img->height, img->bit, img->channel)) > kEncodeBytes) return 0;
  for (int32_t code = 0; code <= 4; ++code) {
    pm::MemoryStream out;
    try {
      EncodeImage(img.get(), code, out);
    } catch (const std::exception&) {
      // Encoders refuse some geometries (JPEG above 65500 pixels a side).
    }
  }
  return 0;
}
