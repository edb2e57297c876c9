// Whole-buffer zlib streams for the PNG codec, from libdeflate or zlib.
// libdeflate makes a stream of a photograph's rows several times faster
// than zlib at the same size. On noisy 8-bit grey rows string matches do
// not pay, and zlib's run-length strategy (matches at distance one only)
// is both smaller and faster than any libdeflate level but the slowest.
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
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

class ZlibStream {
 public:
  ZlibStream() {
    if (deflateInit2(&z_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15, 9, Z_RLE) != Z_OK) {
      throw Error("Out of memory: cannot start the deflate compressor");
    }
  }
  ~ZlibStream() { deflateEnd(&z_); }
  ZlibStream(const ZlibStream&) = delete;
  ZlibStream& operator=(const ZlibStream&) = delete;
  z_stream* get() { return &z_; }

 private:
  z_stream z_{};
};

}  // namespace

Compressed Deflate(const uint8_t* data, size_t size, Deflater deflater, int level) {
  Compressed out;
  if (deflater == Deflater::kLibdeflate) {
    const std::unique_ptr<libdeflate_compressor, FreeCompressor> c(libdeflate_alloc_compressor(level));
    if (c == nullptr) throw Error("Out of memory: cannot start the deflate compressor");
    const size_t bound = libdeflate_zlib_compress_bound(c.get(), size);
    out.data = AllocBlock(bound, false);
    out.size = libdeflate_zlib_compress(c.get(), data, size, out.data.get(), bound);
    if (out.size == 0) throw Error("PNG encoder failed: the compressed data does not fit its bound");
    return out;
  }
  ZlibStream z;
  // zlib counts in 32-bit units: the data goes in pieces of at most 1 GiB.
  constexpr size_t kPiece = size_t{1} << 30;
  const size_t bound = CheckedAdd(CheckedAdd(size, size / 1000), 64 + 16 * (size / kPiece + 1));
  out.data = AllocBlock(bound, false);
  z_stream* s = z.get();
  size_t in_pos = 0;
  int rc = Z_OK;
  while (rc != Z_STREAM_END) {
    const size_t in_now = std::min(kPiece, size - in_pos);
    const size_t out_now = std::min(kPiece, bound - out.size);
    s->next_in = const_cast<Bytef*>(data + in_pos);
    s->avail_in = static_cast<uInt>(in_now);
    s->next_out = out.data.get() + out.size;
    s->avail_out = static_cast<uInt>(out_now);
    rc = deflate(s, in_pos + in_now == size ? Z_FINISH : Z_NO_FLUSH);
    in_pos += in_now - s->avail_in;
    out.size += out_now - s->avail_out;
    if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) throw Error("PNG encoder failed: zlib error " + std::to_string(rc));
    if (out_now == s->avail_out && in_now == s->avail_in && rc != Z_STREAM_END) {
      throw Error("PNG encoder failed: the compressed data does not fit its bound");
    }
  }
  return out;
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
