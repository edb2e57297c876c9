"""Which converters keep a photograph's orientation and colour profile.

Usage: python3 bench/metadata_peers.py PIXMILL_CONVERT [OUT.md]

Makes a 2048 x 1536 crop of the bench photo with Exif orientation 6 and a
non-sRGB profile (compatibleWithAdobeRGB1998.icc, Debian's icc-profiles-free)
as JPEG, PNG and TIFF, converts each into JPEG, PNG and TIFF with
pixmill-convert, ImageMagick, libvips and Pillow (opened and saved, nothing
more), and reads every output with Pillow: "o" where the orientation is 6,
"p" where the profile is the same bytes, "-" where neither survived.
"""
import os
import subprocess
import sys
import tempfile

from PIL import Image

PROFILE = "/usr/share/color/icc/compatibleWithAdobeRGB1998.icc"
HERE = os.path.dirname(os.path.abspath(__file__))
KINDS = ("jpg", "png", "tif")


def pillow_save(src, dst):
    with Image.open(src) as im:
        im.save(dst)


def main(argv):
    convert = argv[0]
    tools = {
        "pixmill-convert": lambda s, d: subprocess.run([convert, s, d], check=True),
        "ImageMagick": lambda s, d: subprocess.run(["/usr/bin/convert", s, d], check=True),
        "libvips": lambda s, d: subprocess.run(["vips", "copy", s, d], check=True),
        "Pillow": pillow_save,
    }
    icc = open(PROFILE, "rb").read()
    work = tempfile.mkdtemp()
    exif = Image.Exif()
    exif[0x0112] = 6
    with Image.open(os.path.join(HERE, "..", "..", "shared", "bench", "photo-24.jpg")) as photo:
        crop = photo.crop((0, 0, 2048, 1536))
    crop.save(os.path.join(work, "in.jpg"), quality=92, exif=exif.tobytes(), icc_profile=icc)
    crop.save(os.path.join(work, "in.png"), exif=exif.tobytes(), icc_profile=icc)
    crop.save(os.path.join(work, "in.tif"), tiffinfo={274: 6}, icc_profile=icc, compression="tiff_lzw")
    lines = ["| converter | " + " | ".join("%s to %s" % (s, d) for s in KINDS for d in KINDS) + " |",
             "|---" * (1 + len(KINDS) ** 2) + "|"]
    for name, run in tools.items():
        cells = []
        for s in KINDS:
            for d in KINDS:
                out = os.path.join(work, "%s-%s.%s" % (name, s, d))
                run(os.path.join(work, "in." + s), out)
                with Image.open(out) as im:
                    kept = ("o" if im.getexif().get(0x0112) == 6 else "") + ("p" if im.info.get("icc_profile") == icc else "")
                cells.append(kept or "-")
        lines.append("| %s | %s |" % (name, " | ".join(cells)))
    text = "\n".join(lines) + "\n"
    print(text, end="")
    if len(argv) > 1:
        with open(argv[1], "w") as f:
            f.write("# Orientation (o) and profile (p) kept, read back by Pillow\n\n"
                    "`python3 bench/metadata_peers.py PIXMILL_CONVERT`\n\n" + text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
