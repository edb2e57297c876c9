// Fuzz target: the PNG writer's run-length deflate coder on arbitrary
// bytes, and on runs whose lengths and bytes the input gives; each stream
// must inflate back to what went in.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/codec.h"

namespace {

void RoundTrip(const uint8_t* data, size_t size) {
  const pm::Compressed z = pm::Deflate(data, size, pm::Deflater::kRuns, 0);
  std::vector<uint8_t> back(size + 1);
  if (!pm::Inflate(z.data.get(), z.size, back.data(), size) || !std::equal(data, data + size, back.begin())) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RoundTrip(data, size);
  // Runs of 1 to 260 (past the longest match) from the first 1 KiB.
  std::vector<uint8_t> runs;
  for (size_t i = 0; i < size && i < 1024; ++i) runs.insert(runs.end(), size_t{1} + (data[i] & 7) * 37, data[i] >> 3);
  RoundTrip(runs.data(), runs.size());
  return 0;
}
