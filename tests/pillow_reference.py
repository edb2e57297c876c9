#!/usr/bin/env python3
"""Independent decodes for the tests: Pillow's view of image files.

Usage: pillow_reference.py OUTDIR FILE... (or @LIST, a file of paths)

For every FILE that Pillow decodes, writes OUTDIR/<n>.ref (n = position in
the argument list): a line "W H MODE" and then the first frame's pixels as
8-bit RGB, row by row, top row first. 16-bit samples are reduced to their
high byte. Files Pillow cannot decode get no .ref file.
"""
import os
import resource
import sys

from PIL import Image, ImageFile

ImageFile.LOAD_TRUNCATED_IMAGES = False
# Pillow's own decompression-bomb limit stays; an address-space cap keeps a
# hostile file from taking the machine down with it.
resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))


def rgb_of(im):
    if im.mode in ("I;16", "I;16B", "I;16L", "I"):
        return None  # deep grey: not a shape the library loads
    if im.mode == "RGBA" or im.mode == "LA":
        im = im.convert("RGBA").convert("RGB")
    elif im.mode == "P":
        im = im.convert("RGBA").convert("RGB")
    elif im.mode != "RGB":
        im = im.convert("RGB")
    return im


def main():
    outdir = sys.argv[1]
    os.makedirs(outdir, exist_ok=True)
    files = []
    for arg in sys.argv[2:]:
        if arg.startswith("@"):
            with open(arg[1:]) as f:
                files.extend(line.rstrip("\n") for line in f if line.strip())
        else:
            files.append(arg)
    for n, path in enumerate(files):
        try:
            with Image.open(path) as im:
                im.seek(0)
                im.load()
                mode = im.mode
                rgb = rgb_of(im)
                if rgb is None:
                    continue
                data = rgb.tobytes()
                w, h = rgb.size
        except (Exception, MemoryError):  # noqa: BLE001 - any refusal means "no reference"
            continue
        with open(os.path.join(outdir, "%d.ref" % n), "wb") as f:
            f.write(b"%d %d %s\n" % (w, h, mode.encode()))
            f.write(data)


if __name__ == "__main__":
    main()
