#!/usr/bin/python3
"""Times roundtrip against ImageMagick, GraphicsMagick, Pillow and libvips
doing the same job: one decode, then PNG, BMP, TIFF, JPEG (quality 75) and
GIF written from it in one process.

usage: compare.py --roundtrip PATH --vips-peer PATH [--runs N] [--out DIR] IMAGE...

Every program runs in a fresh directory of its own. After one warm-up run of
each, the programs take turns (the order rotates every round) for N counted
rounds; the tables give medians of wall and CPU time, peak resident memory
from /usr/bin/time -v, each output's size, the PSNR of the JPEG and GIF
against the source (ImageMagick's compare) and whether the PNG, BMP and
TIFF hold exactly the source's pixels. One Markdown table per image is
printed and written to the output folder. libjpeg-turbo's own cjpeg at
quality 75 (4:2:0) is listed under each table as the JPEG reference.
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
CONVERT = "/usr/bin/convert"
COMPARE = "/usr/bin/compare"
OUTPUTS = ("png", "bmp", "tif", "jpg", "gif")
LOSSLESS = ("png", "bmp", "tif")


def peers(roundtrip, vips_peer):
    """Name, command (the input appended) and the stem of the files it writes."""
    chain = ["-write", "out.png", "-write", "out.bmp", "-write", "out.tif", "-quality", "75", "-write", "out.jpg"]
    return [
        ("roundtrip", [roundtrip], "output"),
        ("ImageMagick", [CONVERT, "{in}"] + chain + ["out.gif"], "out"),
        ("GraphicsMagick", ["gm", "convert", "{in}"] + chain + ["out.gif"], "out"),
        ("Pillow", ["/usr/bin/python3", os.path.join(HERE, "peers", "pillow_peer.py")], "out"),
        ("libvips", [vips_peer], "out"),
    ]


def command_for(cmd, src):
    if "{in}" in cmd:
        return [src if a == "{in}" else a for a in cmd]
    return cmd + [src]


def run_once(cmd, src, workdir):
    """Runs one conversion in an emptied workdir: (wall s, cpu s, peak KiB)."""
    shutil.rmtree(workdir, ignore_errors=True)
    os.makedirs(workdir)
    stats = os.path.join(workdir, "..", os.path.basename(workdir) + ".time")
    full = ["/usr/bin/time", "-v", "-o", stats] + command_for(cmd, src)
    start = time.perf_counter()
    proc = subprocess.run(full, cwd=workdir, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    wall = time.perf_counter() - start
    text = open(stats).read()
    os.remove(stats)
    if proc.returncode != 0:
        raise RuntimeError(f"{' '.join(full)} failed ({proc.returncode}): {proc.stderr.strip()}")

    def field(label):
        return float(re.search(re.escape(label) + r":\s*([0-9.]+)", text).group(1))

    cpu = field("User time (seconds)") + field("System time (seconds)")
    return wall, cpu, int(field("Maximum resident set size (kbytes)"))


def psnr(src, out):
    """ImageMagick's PSNR of out against src, in dB ("inf" when identical)."""
    proc = subprocess.run([COMPARE, "-metric", "PSNR", src, out, "null:"], capture_output=True, text=True)
    value = proc.stderr.strip().split()[0] if proc.stderr.strip() else "?"
    if value in ("inf", "0") and proc.returncode == 0:
        return "inf"
    try:
        return f"{float(value):.2f}"
    except ValueError:
        return "?"


def rgb(path):
    with Image.open(path) as img:
        return np.asarray(img.convert("RGB"))


def identical(src_pixels, out):
    try:
        pixels = rgb(out)
    except Exception:  # noqa: BLE001 - a file Pillow cannot read is not identical
        return False
    return pixels.shape == src_pixels.shape and bool((pixels == src_pixels).all())


def cjpeg_reference(src, workdir):
    """Size and PSNR of libjpeg-turbo's cjpeg at quality 75, 4:2:0."""
    os.makedirs(workdir, exist_ok=True)
    ppm = os.path.join(workdir, "src.ppm")
    jpg = os.path.join(workdir, "cjpeg.jpg")
    with Image.open(src) as img:
        grey = img.mode in ("1", "L") or (img.mode == "P" and _grey_palette(img))
        img.convert("L" if grey else "RGB").save(ppm)
    with open(jpg, "wb") as f:
        subprocess.run(["cjpeg", "-quality", "75", "-sample", "2x2", ppm], stdout=f, check=True)
    return os.path.getsize(jpg), psnr(src, jpg)


def _grey_palette(img):
    pal = img.getpalette()[:768]
    return all(pal[i] == pal[i + 1] == pal[i + 2] for i in range(0, len(pal), 3))


def mib(kib):
    return f"{kib / 1024:.0f}"


def bench_image(src, programs, runs, scratch):
    name = os.path.basename(src)
    dirs = {p[0]: os.path.join(scratch, p[0]) for p in programs}
    samples = {p[0]: [] for p in programs}
    for p in programs:  # warm-up: caches, page cache, lazy binding
        run_once(p[1], src, dirs[p[0]])
    for r in range(runs):
        order = programs[r % len(programs):] + programs[:r % len(programs)]
        for p in order:
            samples[p[0]].append(run_once(p[1], src, dirs[p[0]]))
    src_pixels = rgb(src)
    rows = []
    base_wall = statistics.median(s[0] for s in samples["roundtrip"])
    for prog, _, stem in programs:
        walls = [s[0] for s in samples[prog]]
        cpus = [s[1] for s in samples[prog]]
        peak = max(s[2] for s in samples[prog])
        files = {ext: os.path.join(dirs[prog], f"{stem}.{ext}") for ext in OUTPUTS}
        sizes = [f"{os.path.getsize(files[e]):,}" if os.path.exists(files[e]) else "-" for e in OUTPUTS]
        same = "".join(
            ("Y" if identical(src_pixels, files[e]) else "n") if os.path.exists(files[e]) else "-" for e in LOSSLESS)
        wall = statistics.median(walls)
        rows.append([prog, f"{wall:.3f}", f"{statistics.median(cpus):.3f}", f"{wall / base_wall:.2f}", mib(peak)] +
                    sizes + [psnr(src, files["jpg"]), psnr(src, files["gif"]), same])
    ref_size, ref_psnr = cjpeg_reference(src, os.path.join(scratch, "cjpeg"))
    head = ["program", "wall s", "CPU s", "x roundtrip", "peak MiB", "PNG bytes", "BMP bytes", "TIFF bytes",
            "JPEG bytes", "GIF bytes", "JPEG dB", "GIF dB", "PNG/BMP/TIFF identical"]
    lines = [f"### {name}", "", "| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    lines += ["", f"Medians of {runs} runs. libjpeg-turbo cjpeg -quality 75 -sample 2x2: "
              f"{ref_size:,} bytes, {ref_psnr} dB.", ""]
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--roundtrip", required=True)
    ap.add_argument("--vips-peer", required=True)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--out", default=os.path.join(HERE, "results"))
    ap.add_argument("images", nargs="+")
    args = ap.parse_args()
    programs = peers(os.path.abspath(args.roundtrip), os.path.abspath(args.vips_peer))
    os.makedirs(args.out, exist_ok=True)
    versions = subprocess.run([CONVERT, "-version"], capture_output=True, text=True).stdout.splitlines()[0]
    header = (f"Machine: {os.cpu_count()} cores, {time.strftime('%Y-%m-%d')}. {versions}; "
              f"{subprocess.run(['gm', '-version'], capture_output=True, text=True).stdout.splitlines()[0]}; "
              f"Pillow {Image.__version__}; libvips "
              f"{subprocess.run(['pkg-config', '--modversion', 'vips'], capture_output=True, text=True).stdout.strip()}.")
    print(header + "\n")
    with tempfile.TemporaryDirectory(prefix="pixmill-bench-") as scratch:
        for src in args.images:
            table = bench_image(os.path.abspath(src), programs, args.runs, scratch)
            stem = os.path.splitext(os.path.basename(src))[0] + "-" + os.path.splitext(src)[1][1:]
            with open(os.path.join(args.out, stem + ".md"), "w") as f:
                f.write(header + "\n\n" + table)
            print(table, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
