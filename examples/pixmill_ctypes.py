"""Convert an image with Pixmill from Python through ctypes.

Usage: python3 pixmill_ctypes.py LIBRARY INPUT OUTPUT.png
"""
import ctypes
import sys

lib = ctypes.CDLL(sys.argv[1])  # e.g. /usr/local/lib/libPixmill_x64.so
lib.Pixmill_Create.restype = ctypes.c_void_p
lib.Pixmill_Create.argtypes = [ctypes.c_char_p]
lib.Pixmill_Save.restype = ctypes.c_int32
lib.Pixmill_Save.argtypes = [ctypes.c_char_p, ctypes.c_void_p, ctypes.c_int32]
lib.Pixmill_Delete.argtypes = [ctypes.c_void_p]
lib.Pixmill_LastErrorMessage.restype = ctypes.c_void_p  # a malloc'ed text, freed below
libc = ctypes.CDLL(None)
libc.free.argtypes = [ctypes.c_void_p]


def last_error():
    p = lib.Pixmill_LastErrorMessage()
    text = ctypes.string_at(p).decode("utf-8", "replace")
    libc.free(p)
    return text


img = lib.Pixmill_Create(sys.argv[2].encode())
if not img:
    sys.exit("cannot load: " + last_error())
PNG = 1
status = lib.Pixmill_Save(sys.argv[3].encode(), img, PNG)
lib.Pixmill_Delete(img)
if status != 0:
    sys.exit("cannot save: " + last_error())
print(last_error())  # "No Error"
