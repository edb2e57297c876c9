// Fuzz target: the PNG writer's run-length deflate coder (and ISA-L's,
// where the build has it) on arbitrary bytes, and (in pieces, through one
// reused buffer as the PNG writer's bands) on runs whose lengths and bytes
// the input gives; each stream must inflate back to what went in.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/codec.h"

namespace {

// Codes the bytes in pieces of `piece` bytes (all at once when 0).
template <typename Coder, typename... Level>
void RoundTrip(const uint8_t* data, size_t size, size_t piece, Level... level) {
  pm::MemoryStream z;
  Coder coder(z, level...);
  if (piece == 0) piece = size;
  std::vector<uint8_t> buffer(piece);
  size_t at = 0;
  do {
    const size_t n = std::min(piece, size - at);
    std::copy_n(data + at, n, buffer.data());
    coder.Add(buffer.data(), n, at + n == size);
    at += n;
  } while (at < size);
  std::vector<uint8_t> back(size + 1);
  if (!pm::Inflate(z.Data(), z.Size(), back.data(), size) || !std::equal(data, data + size, back.begin())) {
    std::abort();
  }
}

void BothCoders(const uint8_t* data, size_t size, size_t piece) {
  RoundTrip<pm::RunsDeflater>(data, size, piece);
  if (pm::IsalBuilt()) RoundTrip<pm::IsalDeflater>(data, size, piece, 3);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BothCoders(data, size, 0);
  // Runs of 1 to 260 (past the longest match) from the first 1 KiB, in
  // pieces whose length the first byte gives, so that runs cross them.
  std::vector<uint8_t> runs;
  for (size_t i = 0; i < size && i < 1024; ++i) runs.insert(runs.end(), size_t{1} + (data[i] & 7) * 37, data[i] >> 3);
  BothCoders(runs.data(), runs.size(), size > 0 ? size_t{4096} + data[0] * 257 : 0);
  return 0;
}
