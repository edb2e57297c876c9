#!/usr/bin/python3
"""Makes photographs from a quarter to four times the bench photo's pixels
out of the photo itself, then times each step of roundtrip's five-way
conversion on each and reports the time per megapixel.

usage: scaling.py --step-times PATH [--runs N] [--out FILE] PHOTO WORKDIR

The images (written to WORKDIR as PNG):
  quarter  the photo downscaled to half its width and height (Lanczos)
  crop     its middle half of the pixels, as they stand
  photo    the photo itself
  double   the photo upscaled to twice its pixels (Lanczos)
  quad     2 x 2 photos: the photo, its mirror image, its left half upscaled
           twice, and the photo upside down with its channels rotated
None holds an exact copy of another's rows or pixel runs, so that no
compressor gains from repeats that real photographs would not have.
"""
import argparse
import os
import subprocess

from PIL import Image


def make_images(photo, workdir):
    src = Image.open(photo).convert("RGB")
    w, h = src.size
    cw, ch = int(w / 2 ** 0.5), int(h / 2 ** 0.5)
    left, top = (w - cw) // 2, (h - ch) // 2
    images = {
        "quarter": src.resize((w // 2, h // 2), Image.LANCZOS),
        "crop": src.crop((left, top, left + cw, top + ch)),
        "photo": src,
        "double": src.resize((int(w * 2 ** 0.5), int(h * 2 ** 0.5)), Image.LANCZOS),
    }
    quad = Image.new("RGB", (2 * w, 2 * h))
    quad.paste(src, (0, 0))
    quad.paste(src.transpose(Image.FLIP_LEFT_RIGHT), (w, 0))
    quad.paste(src.crop((0, 0, w // 2, h // 2)).resize((w, h), Image.LANCZOS), (0, h))
    r, g, b = src.transpose(Image.FLIP_TOP_BOTTOM).split()
    quad.paste(Image.merge("RGB", (g, b, r)), (w, h))
    images["quad"] = quad
    paths = []
    os.makedirs(workdir, exist_ok=True)
    for name, img in images.items():
        path = os.path.join(workdir, name + ".png")
        if not os.path.exists(path):
            img.save(path, compress_level=1)
        paths.append(path)
    return paths


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--step-times", required=True)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--out")
    ap.add_argument("photo")
    ap.add_argument("workdir")
    args = ap.parse_args()
    paths = make_images(args.photo, args.workdir)
    run_dir = os.path.join(args.workdir, "run")
    os.makedirs(run_dir, exist_ok=True)
    lines = subprocess.run([os.path.abspath(args.step_times), str(args.runs)] + [os.path.abspath(p) for p in paths],
                           cwd=run_dir, capture_output=True, text=True, check=True).stdout.splitlines()
    steps = ["load", "jpeg", "png", "tiff", "gif", "bmp", "total"]
    rows = []
    for line in lines[1:]:
        fields = line.split()
        name = os.path.splitext(os.path.basename(fields[0]))[0]
        mp = float(fields[1])
        times = [float(t) for t in fields[2:]]
        rows.append((name, mp, times))
    base = next(r for r in rows if r[0] == "photo")
    base_per_mp = base[2][-1] / base[1]
    table = [f"Best of {args.runs} runs a step, milliseconds a megapixel (roundtrip's steps through the exports, "
             "files written to disk).", "",
             "| image | megapixels | " + " | ".join(steps) + " | total s | per megapixel vs photo |",
             "|---|---|" + "---|" * len(steps) + "---|---|"]
    for name, mp, times in rows:
        per = [t / mp for t in times]
        table.append(f"| {name} | {mp:.1f} | " + " | ".join(f"{p:.1f}" for p in per) +
                     f" | {times[-1] / 1000:.2f} | {per[-1] / base_per_mp:.2f}x |")
    text = "\n".join(table) + "\n"
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
