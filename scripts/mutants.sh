#!/usr/bin/env bash
# Mutation check (not run in CI): applies each of a fixed list of
# single-token changes to the library's sources in turn, builds, runs the
# whole suite (stopping at the first failing test) and counts the changes
# some test notices. A change is found by its text, wherever it sits under
# image_handler/src, so the same list measures trees whose files were split
# or renamed. The sources are restored after each change, also on ^C.
#
#   scripts/mutants.sh [BUILD-DIR]      (default build-mutants)
#   scripts/mutants.sh --matrix [DIR]   runs every test on each change and
#                                       names all the tests that notice it
#   scripts/mutants.sh --check          only checks that every change applies
set -euo pipefail
cd "$(dirname "$0")/.."
check_only=0
matrix=0
build=build-mutants
if [ "${1:-}" = "--check" ]; then check_only=1; shift; fi
if [ "${1:-}" = "--matrix" ]; then matrix=1; shift; fi
build="${1:-build-mutants}"

# One change a line: the text, a tab, its replacement ("#" starts a
# comment line). Each text must occur exactly once in the sources.
mutants="$(cat <<'EOF'
((static_cast<uint64_t>(bit) + 7) >> 3)	((static_cast<uint64_t>(bit) + 6) >> 3)
if (!size.fits || (new_channel == 1 && new_bit > 8)) return -1;	if (!size.fits) return -1;
static_cast<uint8_t>((i * 255) / (n - 1));	static_cast<uint8_t>((i * 255) / n);
    palette_num = n;	    palette_num = n - 1;
    blue[x] = row[3 * x + kBlueByte];	    blue[x] = row[3 * x + kGreenByte];
p_pix_buf + (h - 1 - r) * stride, row_bytes);	p_pix_buf + r * stride, row_bytes);
std::memcpy(p_meta_img->pp_plane[channel - 1 - k]	std::memcpy(p_meta_img->pp_plane[k]
case pm::kFormat48bppRgb: *channel = 3; *bit = 16;	case pm::kFormat48bppRgb: *channel = 3; *bit = 8;
    row[3 * x + kRedByte] = red[x];	    row[3 * x + kRedByte] = blue[x];
std::memcpy(pBuf + (h - 1 - r) * stride,	std::memcpy(pBuf + r * stride,
if (static_cast<uint32_t>(img_format_id) > 4) return -1;	if (static_cast<uint32_t>(img_format_id) > 5) return -1;
(qality > 100 ? 100 : qality)	(qality > 100 ? 99 : qality)
bits_per_pixel != 8 && bits_per_pixel != 24)	bits_per_pixel != 8 && bits_per_pixel != 24 && bits_per_pixel != 48)
if (a != 0 && b > std::numeric_limits<size_t>::max() / a)	if (a != 0 && b > std::numeric_limits<size_t>::max())
return CheckedAdd(bytes, 3) & ~static_cast<size_t>(3);	return CheckedAdd(bytes, 0) & ~static_cast<size_t>(3);
if (record > MaxRecordBytes()) {	if (record > 2 * MaxRecordBytes()) {
  if (end > size_) size_ = end;	  size_ = end;
  if (palette.size() > capacity_) {	  if (palette.size() >= capacity_) {
for (size_t x = 0; x < w; ++x) d[x] = s[4 * x];	for (size_t x = 0; x < w; ++x) d[x] = s[4 * x + 1];
if (row[8 * x + 6] != 0xFF || row[8 * x + 7] != 0xFF) return false;	if (row[8 * x + 5] != 0xFF || row[8 * x + 7] != 0xFF) return false;
      i += (bytes + 1) & ~static_cast<size_t>(1);	      i += bytes;
(k & 1) ? (value & 0x0F) : (value >> 4)	(k & 1) ? (value >> 4) : (value & 0x0F)
  if (y < h - 1) 	  if (y < 0) 
palette.push_back(Color{e[2], e[1], e[0], 255});	palette.push_back(Color{e[0], e[1], e[2], 255});
8 - bpp * (1 + static_cast<unsigned>(x) % per_byte);	8 - bpp * (static_cast<unsigned>(x) % per_byte);
      masks[0] = 0x7C00;	      masks[0] = 0xFC00;
for (int32_t y = bitmap.Height() - 1; y >= 0; --y) out.Write(	for (int32_t y = bitmap.Height() - 1; y > 0; --y) out.Write(
      table[4 * i] = palette[i].b;	      table[4 * i] = palette[i].r;
palette[scaled_key == 0 ? 0 : 1].a = 0;	palette[scaled_key == 0 ? 1 : 0].a = 0;
if (trns[i] != 255) num_trans = i + 1;	if (trns[i] != 255) num_trans = i;
for (int i = 0; i < h.num_trans && i < h.num_palette; ++i)	for (int i = 0; i + 1 < h.num_trans && i < h.num_palette; ++i)
    if (y < d.Top || y >= bottom) {	    if (y < d.Top || y > bottom) {
if (transparent < 0 && palette[i].a == 0)	if (transparent < 0 && palette[i].a == 255)
static const int kStart[4] = {0, 4, 2, 1};	static const int kStart[4] = {0, 2, 4, 1};
t.palette[1] == black) t.photometric = PHOTOMETRIC_MINISWHITE;	t.palette[1] == black) t.photometric = PHOTOMETRIC_MINISBLACK;
if (r[i] > 255 || g[i] > 255 || b[i] > 255) eight_bit = false;	if (r[i] > 255 || g[i] > 255) eight_bit = false;
dst[x] = static_cast<uint8_t>(invert ? 255 - grey : grey);	dst[x] = static_cast<uint8_t>(invert ? grey : grey);
if (width < kMaxCodeBits && next >= 1u << width) ++width;	if (width < kMaxCodeBits && next > 1u << width) ++width;
        if (next >= kGifTableFull) {	        if (next > kGifTableFull) {
return w < kMaxCodeBits ? 1u << w : kGifTableFull;	return w < kMaxCodeBits ? (1u << w) - 1 : kGifTableFull;
if (palette.size() == 256) {	if (palette.size() == 255) {
if (acc >= w / 2) break;	if (acc > w / 2) break;
st_mode & 07777	st_mode & 0777
(d[2] == 42 || d[2] == 43) && d[3] == 0;	d[2] == 42 && d[3] == 0;
  if (size == 0) 	  if (size == 1) 
if (plan.width > JPEG_MAX_DIMENSION || plan.height > JPEG_MAX_DIMENSION)	if (plan.width > JPEG_MAX_DIMENSION)
if (h.width == 0 || h.height == 0 || h.width > INT32_MAX	if (h.width == 0 || h.width > INT32_MAX
# The shared pieces the library's files were reorganised around: PNG's
# filters, the record's size rule, block growth, byte order, pixel order,
# texts and the codec table.
return pa <= pb && pa <= pc ? a : (pb <= pc ? b : c);	return pa <= pb && pa < pc ? a : (pb <= pc ? b : c);
(left[i - bpp] + prev[i]) >> 1	(left[i - bpp] + prev[i] + 1) >> 1
apply(in[i], prev[i] >> 1)	apply(in[i], prev[i])
size.plane * static_cast<uint64_t>(channel) + 3)	size.plane * static_cast<uint64_t>(channel) + 0)
std::memcpy(p, block.get(), used);	std::memcpy(p, block.get(), used / 2);
uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];	uint32_t{p[0]} << 24 | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 8 | p[3];
static_cast<uint16_t>(p[0] | p[1] << 8); }	static_cast<uint16_t>(p[0] | p[1] << 7); }
StoreLe16(p + 2, v >> 16);	StoreLe16(p + 2, v >> 8);
dst[3 * x] = src[3 * x + kRedByte];	dst[3 * x] = src[3 * x + kBlueByte];
" data is damaged ("	" data is corrupt ("
{Container::kGif, "image/gif",	{Container::kGif, "image/gifs",
d[0] == 'B' && d[1] == 'M'; }	d[0] == 'B' && d[1] == 'A'; }
EOF
)"

python3 - "$check_only" "$build" "$matrix" <<PYEOF
import os, pathlib, re, signal, subprocess, sys
check_only, build, matrix = sys.argv[1] == "1", sys.argv[2], sys.argv[3] == "1"
mutants = [line.split("\t") for line in """$mutants""".splitlines() if line.strip() and not line.startswith("#")]
sources = [p for p in pathlib.Path("image_handler/src").rglob("*") if p.suffix in (".cpp", ".h")]
texts = {p: p.read_text() for p in sources}

def locate(old):
    hits = [(p, t.count(old)) for p, t in texts.items() if old in t]
    return hits[0][0] if len(hits) == 1 and hits[0][1] == 1 else None

bad = [old for old, _ in mutants if locate(old) is None]
for old in bad:
    print(f"does not apply (absent or not unique): {old}")
print(f"{len(mutants)} changes, {len(mutants) - len(bad)} apply")
if check_only or bad:
    sys.exit(1 if bad else 0)

subprocess.run(["cmake", "-S", ".", "-B", build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DPIXMILL_SANITIZE=OFF"],
               check=True, stdout=subprocess.DEVNULL)
subprocess.run(["cmake", "--build", build, f"-j{os.cpu_count()}"], check=True, stdout=subprocess.DEVNULL)
killed, survived, broken = 0, [], []
current = None
def restore(*_):
    if current is not None:
        current.write_text(texts[current])
    sys.exit(130)
signal.signal(signal.SIGINT, restore)
signal.signal(signal.SIGTERM, restore)
for n, (old, new) in enumerate(mutants, 1):
    current = locate(old)
    current.write_text(texts[current].replace(old, new))
    try:
        built = subprocess.run(["cmake", "--build", build, f"-j{os.cpu_count()}"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
        if not built:
            broken.append(old)
            verdict = "does not build"
        else:
            run = subprocess.run(["ctest"] + ([] if matrix else ["--stop-on-failure"]) +
                                 [f"-j{os.cpu_count()}", "--timeout", "300"],
                                 cwd=build, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            if run.returncode != 0:
                killed += 1
                failed = re.findall(r"Test +#\d+: (\S+) [^\n]*?(?:Failed|Exception|Timeout|Subprocess)", run.stdout)
                verdict = "killed by " + ((" ".join(failed) if matrix else failed[0]) if failed else "?")
            else:
                survived.append(old)
                verdict = "SURVIVED"
    finally:
        current.write_text(texts[current])
        current = None
    print(f"{n:3} {old}\n      {verdict}", flush=True)
subprocess.run(["cmake", "--build", build, f"-j{os.cpu_count()}"], stdout=subprocess.DEVNULL)
print(f"killed {killed} of {len(mutants) - len(broken)} that build ({len(broken)} do not build)")
PYEOF
