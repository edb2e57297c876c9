// Whole-buffer zlib streams for the PNG codec, from libdeflate, ISA-L or
// our run-length coder. libdeflate makes a stream of a photograph's rows
// several times faster than zlib at the same size. On noisy grey rows and
// smooth colour ones string matches do not pay, and runs alone (matches at
// distance one) are both smaller and faster than any libdeflate level but
// the slowest. ISA-L's igzip (x86-64 and a few other 64-bit targets) is
// twice as fast again as libdeflate's fastest level, a per cent or two
// larger on noisy photographs.
#include <libdeflate.h>
#if PIXMILL_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#endif

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

}  // namespace

bool IsalBuilt() { return PIXMILL_HAVE_ISAL != 0; }

#if PIXMILL_HAVE_ISAL
struct IsalDeflater::State {
  isal_zstream z;
  std::unique_ptr<uint8_t[]> level_buf;
};

IsalDeflater::IsalDeflater(MemoryStream& out, int level) : out_(out), state_(new State()) {
  static constexpr uint32_t kLevelBuf[] = {ISAL_DEF_LVL0_DEFAULT, ISAL_DEF_LVL1_DEFAULT, ISAL_DEF_LVL2_DEFAULT,
                                           ISAL_DEF_LVL3_DEFAULT};
  level = std::clamp(level, 1, 3);
  state_->level_buf.reset(new uint8_t[kLevelBuf[level]]);
  isal_zstream& z = state_->z;
  isal_deflate_init(&z);
  z.level = static_cast<uint32_t>(level);
  z.level_buf = state_->level_buf.get();
  z.level_buf_size = kLevelBuf[level];
  z.gzip_flag = IGZIP_ZLIB;
  z.flush = NO_FLUSH;
  // igzip's init leaves the input and output fields as they were.
  z.next_in = nullptr;
  z.avail_in = 0;
}

// Each piece goes in at most 1 GiB at a time (igzip's counts are 32-bit),
// into room for it as stored blocks (an eighth over, and the stream's head
// and tail); the last one until the stream ends.
void IsalDeflater::Add(const uint8_t* data, size_t size, bool last) {
  constexpr size_t kPiece = size_t{1} << 30;
  isal_zstream& z = state_->z;
  size_t fed = 0;
  for (;;) {
    if (z.avail_in == 0 && fed < size) {
      const size_t piece = std::min(kPiece, size - fed);
      z.next_in = const_cast<uint8_t*>(data + fed);  // igzip only reads it
      z.avail_in = static_cast<uint32_t>(piece);
      fed += piece;
    }
    z.end_of_stream = last && fed == size ? 1 : 0;
    if (z.avail_in == 0 && !z.end_of_stream) return;
    const size_t room = CheckedAdd(z.avail_in + size_t{z.avail_in} / 8, 1024);
    z.next_out = out_.Reserve(room);
    z.avail_out = static_cast<uint32_t>(room);
    if (isal_deflate(&z) != COMP_OK) throw Error("PNG encoder failed: the compressor refused its input");
    out_.Commit(room - z.avail_out);
    if (z.internal_state.state == ZSTATE_END) return;
  }
}
#else
struct IsalDeflater::State {};
IsalDeflater::IsalDeflater(MemoryStream& out, int /*level*/) : out_(out) {
  throw Error("PNG encoder failed: this build has no ISA-L");
}
void IsalDeflater::Add(const uint8_t*, size_t, bool) {}
#endif
IsalDeflater::~IsalDeflater() = default;

size_t Deflate(const uint8_t* data, size_t size, Deflater deflater, int level, MemoryStream& out) {
  const size_t start = out.Tell();
  if (deflater == Deflater::kRuns) {
    RunsDeflater(out).Add(data, size, true);
    return out.Tell() - start;
  }
  if (deflater == Deflater::kIsal) {
    IsalDeflater(out, level).Add(data, size, true);
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
