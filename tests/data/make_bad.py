#!/usr/bin/env python3
"""Writes the small broken files in bad/. Each must be refused with a text."""
import struct
import zlib


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def png(width, height, depth, ctype, idat):
    ihdr = struct.pack(">IIBBBBB", width, height, depth, ctype, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr) + png_chunk(b"IDAT", idat) + png_chunk(b"IEND", b"")


def bmp(width, height, bpp, compression, pixels, palette=b""):
    offset = 14 + 40 + len(palette)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bpp, compression, len(pixels), 3780, 3780,
                       len(palette) // 4, 0)
    return b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset) + info + palette + pixels


def gif(screen_w, screen_h, left, top, w, h):
    head = b"GIF89a" + struct.pack("<HHBBB", screen_w, screen_h, 0x80, 0, 0) + b"\x00\x00\x00\xff\xff\xff"
    desc = b"," + struct.pack("<HHHHB", left, top, w, h, 0)
    return head + desc + b"\x02\x02\x44\x01\x00;"


def tiff_header_only(width, height):
    entries = [(256, 4, 1, width), (257, 4, 1, height), (258, 3, 1, 8), (259, 3, 1, 1), (262, 3, 1, 1),
               (273, 4, 1, 200), (277, 3, 1, 1), (278, 4, 1, height), (279, 4, 1, width * height)]
    ifd = struct.pack("<H", len(entries))
    for tag, typ, count, value in entries:
        ifd += struct.pack("<HHII", tag, typ, count, value)
    return b"II*\x00" + struct.pack("<I", 8) + ifd + struct.pack("<I", 0)


good_png = png(4, 4, 8, 0, zlib.compress(b"\x00\x10\x20\x30\x40" * 4))
files = {
    "truncated.png": good_png[:40],
    "crc-error.png": good_png[:-20] + bytes([good_png[-20] ^ 0xFF]) + good_png[-19:],
    "huge-declared.png": png(65535, 65535, 8, 2, zlib.compress(b"\x00" * 100)),
    "huge-declared.gif": gif(65535, 65535, 0, 0, 65535, 65535),
    "frame-outside-screen.gif": gif(4, 4, 2, 2, 4, 4),
    "huge-declared.bmp": bmp(65535, 65535, 24, 0, b"\x00" * 64),
    "truncated.bmp": bmp(16, 16, 24, 0, b"\x00" * 100),
    "rle-past-image.bmp": bmp(4, 2, 8, 1, b"\x04\x01\x00\x00\x04\x01\x00\x00\x04\x01\x00\x01", bytes(4 * 256)),
    "rle-delta-past-image.bmp": bmp(4, 2, 8, 1, b"\x00\x02\x00\x09\x00\x01", bytes(4 * 256)),
    "huge-declared.tif": tiff_header_only(65535, 65535),
    "truncated.jpg": b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00\xff\xc0\x00\x11\x08",
    "huge-declared.jpg": b"\xff\xd8\xff\xc0\x00\x0b\x08\xff\xdc\xff\xdc\x01\x01\x11\x00\xff\xd9",
    "not-an-image.dat": b"hello, world\n",
    "empty.png": b"",
}
for name, data in files.items():
    with open("bad/" + name, "wb") as f:
        f.write(data)
