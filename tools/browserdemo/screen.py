#!/usr/bin/env python3
"""screen.py OUT.png: saves the whole X display ($DISPLAY) as a PNG.

The browser and the program's own dialogs (the update dialog, the folder
browser) are separate windows, so only the screen shows them together. The
screen is taken again until two pictures agree (a dialog that is still
drawing itself, a folder tree still expanding), for at most a few seconds:
a blinking caret never agrees, and then the last picture is kept.

Needs nothing but libX11, which Wine and the browser need anyway.
"""
import ctypes
import ctypes.util
import struct
import sys
import time
import zlib

SETTLE_SECONDS = 4.0
SETTLE_PAUSE = 0.2


class XImage(ctypes.Structure):
    # The leading fields of Xlib's XImage, up to the colour masks.
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                ("format", ctypes.c_int), ("data", ctypes.POINTER(ctypes.c_char)),
                ("byte_order", ctypes.c_int), ("bitmap_unit", ctypes.c_int),
                ("bitmap_bit_order", ctypes.c_int), ("bitmap_pad", ctypes.c_int),
                ("depth", ctypes.c_int), ("bytes_per_line", ctypes.c_int),
                ("bits_per_pixel", ctypes.c_int), ("red_mask", ctypes.c_ulong),
                ("green_mask", ctypes.c_ulong), ("blue_mask", ctypes.c_ulong)]


def open_x():
    name = ctypes.util.find_library("X11")
    if not name:
        sys.exit("screen.py: libX11 not found")
    x = ctypes.CDLL(name)
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XDefaultRootWindow.restype = ctypes.c_ulong
    x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    x.XDefaultScreen.argtypes = [ctypes.c_void_p]
    x.XDisplayWidth.argtypes = [ctypes.c_void_p, ctypes.c_int]
    x.XDisplayHeight.argtypes = [ctypes.c_void_p, ctypes.c_int]
    x.XGetImage.restype = ctypes.POINTER(XImage)
    x.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                            ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
    x.XDestroyImage.argtypes = [ctypes.POINTER(XImage)]
    x.XCloseDisplay.argtypes = [ctypes.c_void_p]
    return x


def grab(x, display):
    """The screen as (width, height, RGB bytes)."""
    screen = x.XDefaultScreen(display)
    width, height = x.XDisplayWidth(display, screen), x.XDisplayHeight(display, screen)
    all_planes, z_pixmap = 0xFFFFFFFF, 2
    image = x.XGetImage(display, x.XDefaultRootWindow(display), 0, 0, width, height, all_planes, z_pixmap)
    if not image:
        sys.exit("screen.py: the display gave no picture")
    try:
        img = image.contents
        if img.bits_per_pixel != 32 or img.red_mask != 0xFF0000 or img.blue_mask != 0xFF:
            sys.exit("screen.py: a %d-bit display with masks %x/%x/%x is not handled"
                     % (img.bits_per_pixel, img.red_mask, img.green_mask, img.blue_mask))
        stride = img.bytes_per_line
        raw = ctypes.string_at(img.data, stride * height)
    finally:
        x.XDestroyImage(image)
    # Pixels are B, G, R, unused in memory (least significant byte first).
    rows = bytearray()
    for y in range(height):
        row = raw[y * stride:y * stride + width * 4]
        rgb = bytearray(width * 3)
        rgb[0::3], rgb[1::3], rgb[2::3] = row[2::4], row[1::4], row[0::4]
        rows += b"\0" + rgb
    return width, height, bytes(rows)


def png(width, height, filtered_rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(filtered_rows, 6)) + chunk(b"IEND", b""))


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    x = open_x()
    display = x.XOpenDisplay(None)
    if not display:
        sys.exit("screen.py: cannot open the display")
    try:
        picture = grab(x, display)
        end = time.monotonic() + SETTLE_SECONDS
        while time.monotonic() < end:
            time.sleep(SETTLE_PAUSE)
            again = grab(x, display)
            if again == picture:
                break
            picture = again
    finally:
        x.XCloseDisplay(display)
    with open(sys.argv[1], "wb") as f:
        f.write(png(*picture))


if __name__ == "__main__":
    main()
