#!/usr/bin/python3
"""Writes small images in every format the image loader reads into a
directory: the unit tests' fixtures and the image fuzzer's seed corpus.

Pillow writes the formats it can; PSD and HDR, which it cannot write, are
laid out by hand. Every image is 8 x 8 (one JPEG block) and filled with one
colour, so even the lossy formats decode to a known value.

    image_fixtures.py DIR
"""
import io
import struct
import sys
import zlib
from pathlib import Path

from PIL import Image

SIDE = 8
COLOUR = (200, 100, 50)


def pillow(mode, fmt, colour, **options):
    out = io.BytesIO()
    if mode == "P":
        image = Image.new("RGB", (SIDE, SIDE), colour).convert("P", palette=Image.ADAPTIVE)
    else:
        image = Image.new(mode, (SIDE, SIDE), colour)
    image.save(out, fmt, **options)
    return out.getvalue()


def psd_rgb():
    """A flat 8-bit RGB PSD with raw (uncompressed) planar channels."""
    header = b"8BPS" + struct.pack(">H6xHIIHH", 1, 3, SIDE, SIDE, 8, 3)
    sections = struct.pack(">III", 0, 0, 0)  # colour mode, resources, layers
    planes = b"".join(bytes([c]) * (SIDE * SIDE) for c in COLOUR)
    return header + sections + struct.pack(">H", 0) + planes


def hdr_rgbe():
    """A flat Radiance file: one RGBE quad per pixel, no run-length rows."""
    head = b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y %d +X %d\n" % (SIDE, SIDE)
    return head + bytes([128, 64, 32, 129]) * (SIDE * SIDE)


def png_header(width, height):
    """A PNG that stops after its IHDR chunk (CRC correct)."""
    ihdr = b"IHDR" + struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + struct.pack(">I", 13) + ihdr
            + struct.pack(">I", zlib.crc32(ihdr)))


def with_jpeg_size(jpeg, width, height):
    """The JPEG with the size in its frame header replaced."""
    sof = jpeg.index(b"\xff\xc0")
    return jpeg[:sof + 5] + struct.pack(">HH", height, width) + jpeg[sof + 9:]


def fixtures():
    grey = 120
    return {
        "rgb.png": pillow("RGB", "PNG", COLOUR),
        "palette.png": pillow("P", "PNG", COLOUR),
        "rgb.jpg": pillow("RGB", "JPEG", COLOUR, quality=100),
        "grey.jpg": pillow("L", "JPEG", grey, quality=100),
        "progressive.jpg": pillow("RGB", "JPEG", COLOUR, quality=100, progressive=True),
        "cmyk.jpg": pillow("CMYK", "JPEG", (0, 155, 205, 55), quality=100),
        "rgb.gif": pillow("P", "GIF", COLOUR),
        "rgb.bmp": pillow("RGB", "BMP", COLOUR),
        "rgba.tga": pillow("RGBA", "TGA", COLOUR + (128,)),
        "rgb.ppm": pillow("RGB", "PPM", COLOUR),
        "grey.pgm": pillow("L", "PPM", grey),
        "rgb.psd": psd_rgb(),
        "rgb.hdr": hdr_rgbe(),
        # A JPEG whose Huffman table counts add up to more than 256.
        "bad_huffman.jpg": bytes.fromhex("ffd8ffc4001f10ffd9"),
        # A binary PNM header whose height overflows an int.
        "overflow.pgm": b"P5\n8 " + b"1" * 40 + b"\n255\n" + b"x" * 64,
        # 16-bit samples, which stb_image 2.27 converts past its buffer.
        "deep.pgm": b"P5\n8 8\n65535\n" + b"\x12\x34" * 64,
        # Headers that declare more pixels than the loader decodes.
        "huge.gif": b"GIF89a" + struct.pack("<HH", 20617, 18254) + b"\x00\x00\x00",
        "huge.png": png_header(16385, 1),
        "huge.jpg": with_jpeg_size(pillow("RGB", "JPEG", COLOUR), 8000, 8001),
    }


def main():
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    for name, data in fixtures().items():
        (out / name).write_bytes(data)


if __name__ == "__main__":
    main()
