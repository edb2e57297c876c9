// Whole-buffer zlib streams for the PNG codec, from libdeflate or our
// run-length coder. libdeflate makes a stream of a photograph's rows
// several times faster than zlib at the same size. On noisy grey rows and
// smooth colour ones string matches do not pay, and runs alone (matches at
// distance one) are both smaller and faster than any libdeflate level but
// the slowest.
#include <libdeflate.h>

#include <memory>

#include "platform/codec.h"

namespace pm {

namespace {

// libdeflate's compressor and decompressor, freed by their own functions.
struct FreeCompressor {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
struct FreeDecompressor {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

}  // namespace

size_t Deflate(const uint8_t* data, size_t size, Deflater deflater, int level, MemoryStream& out) {
  if (deflater == Deflater::kRuns) {
    const size_t start = out.Tell();
    RunsDeflater runs(out);
    runs.Add(data, size, true);
    return out.Tell() - start;
  }
  const std::unique_ptr<libdeflate_compressor, FreeCompressor> c(libdeflate_alloc_compressor(level));
  if (c == nullptr) throw Error("Out of memory: cannot start the deflate compressor");
  const size_t bound = libdeflate_zlib_compress_bound(c.get(), size);
  const size_t n = libdeflate_zlib_compress(c.get(), data, size, out.Reserve(bound), bound);
  if (n == 0) throw Error("PNG encoder failed: the compressed data does not fit its bound");
  out.Commit(n);
  return n;
}

bool Inflate(const uint8_t* data, size_t size, uint8_t* out, size_t out_size) {
  const std::unique_ptr<libdeflate_decompressor, FreeDecompressor> d(libdeflate_alloc_decompressor());
  if (d == nullptr) throw Error("Out of memory: cannot start the inflater");
  size_t in_used = 0, written = 0;
  return libdeflate_zlib_decompress_ex(d.get(), data, size, out, out_size, &in_used, &written) == LIBDEFLATE_SUCCESS &&
         in_used == size && written == out_size;
}

bool InflateAtMost(const uint8_t* data, size_t size, size_t cap, std::vector<uint8_t>& out) {
  const std::unique_ptr<libdeflate_decompressor, FreeDecompressor> d(libdeflate_alloc_decompressor());
  if (d == nullptr) throw Error("Out of memory: cannot start the inflater");
  // A large block is address space: only the pages written become resident.
  const Block buffer = AllocBlock(cap, false);
  size_t in_used = 0, written = 0;
  if (libdeflate_zlib_decompress_ex(d.get(), data, size, buffer.get(), cap, &in_used, &written) != LIBDEFLATE_SUCCESS ||
      in_used != size) {
    return false;
  }
  out.assign(buffer.get(), buffer.get() + written);
  return true;
}

uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t size) {
  // A null buffer would restart the sum, as in zlib.
  return size == 0 ? crc : libdeflate_crc32(crc, data, size);
}

}  // namespace pm
