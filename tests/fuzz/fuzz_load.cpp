// Fuzz target: decode arbitrary bytes and, when a small record comes back
// that the saver accepts, encode it (in memory) in one of the five
// containers, chosen by the input's last byte. Built with
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

// Declared sizes are capped so that each input stays small and fast (the
// limits themselves have tests of their own): a large record costs its
// zero-filled pages, twice. The encoders run on small records only, one
// container an input, since encoding took most of an execution's time while
// the decoders are what the fuzzer explores; over a run every encoder sees
// every shape.
const bool kLimited = [] {
  pm::SetRecordByteLimit(size_t{1} << 20);
  return true;
}();
constexpr size_t kEncodeBytes = 4 * 1024;

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
  if (pm::SizeOfRecord(img->width, img->height, img->bit, img->channel).block > kEncodeBytes) return 0;
  pm::MemoryStream out;
  try {
    EncodeImage(img.get(), size == 0 ? 0 : data[size - 1] % 5, out);
  } catch (const std::exception&) {
    // Encoders refuse some geometries (JPEG above 65500 pixels a side).
  }
  return 0;
}
