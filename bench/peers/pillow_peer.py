"""The Pillow peer in the comparison: opens IN once, saves it five times with
Pillow's defaults (JPEG at quality 75). Pillow cannot write a palette or an
RGBA image as JPEG, so that one save goes through an RGB copy, as a user
would do."""
import sys

from PIL import Image

img = Image.open(sys.argv[1])
img.load()
img.save("out.png")
img.save("out.bmp")
img.save("out.tif")
(img.convert("RGB") if img.mode in ("P", "RGBA") else img).save("out.jpg", quality=75)
img.save("out.gif")
