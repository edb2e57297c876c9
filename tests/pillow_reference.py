#!/usr/bin/env python3
"""Independent decodes for the tests: Pillow's view of image files.

Usage: pillow_reference.py OUTDIR LIST [magick]
(LIST: a file of paths, one a line; with magick, ImageMagick decodes each
file's first frame to PPM and Pillow reads that)

For every file that Pillow decodes, writes OUTDIR/<n>.ref (n = its line in
LIST, from 0): a line "W H FORMAT ORIENTATION ICC_BYTES", the ICC profile, and
then the first frame's pixels as 8-bit RGB, row by row, top row first. 16-bit samples are reduced to their high
byte. Files Pillow cannot decode, and deep grey (not a shape the library
loads), get no .ref file.
"""
import io
import os
import re
import resource
import subprocess
import sys

from PIL import Image, ImageFile

ImageFile.LOAD_TRUNCATED_IMAGES = False
# Pillow's own decompression-bomb limit stays; an address-space cap keeps a
# hostile file from taking the machine down with it.
resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))

outdir = sys.argv[1]
with open(sys.argv[2]) as f:
    files = f.read().splitlines()  # a blank line stands for a file not to decode
if sys.argv[3:] == ["magick"]:
    # One convert for all: it writes the first frames one after another.
    wanted = [n for n, path in enumerate(files) if path]
    ppm = subprocess.run(["convert"] + [files[n] + "[0]" for n in wanted] + ["-depth", "8", "ppm:-"],
                         capture_output=True).stdout
    at = 0
    for n in wanted:
        head = re.compile(rb"P6\s+(\d+)\s+(\d+)\s+255\s").match(ppm, at)
        end = head.end() + 3 * int(head[1]) * int(head[2]) if head else at
        files[n], at = io.BytesIO(ppm[at:end]), end
for n, path in enumerate(files):
    if not path:
        continue
    try:
        with Image.open(path) as im:
            im.seek(0)
            im.load()
            if im.mode in ("I;16", "I;16B", "I;16L", "I"):
                continue
            # Through RGBA so that palette and alpha images drop their alpha.
            rgb = (im.convert("RGBA") if im.mode in ("RGBA", "LA", "P") else im).convert("RGB")
            icc = im.info.get("icc_profile") or b""
            header = b"%d %d %s %d %d\n" % (rgb.size[0], rgb.size[1], (im.format or "-").encode(),
                                             im.getexif().get(0x0112, 1), len(icc))
            data = icc + rgb.tobytes()
    except (Exception, MemoryError):  # noqa: BLE001 - any refusal means "no reference"
        continue
    with open(os.path.join(outdir, "%d.ref" % n), "wb") as f:
        f.write(header + data)
