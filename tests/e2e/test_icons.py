"""--make-ico and --make-icns run as the real program, their files read back
with icotool, icns2png and Pillow."""
import io
import os
import re
import subprocess

import pytest
from PIL import Image

from publish_env import lines, run_publish, texts


def icon_image(path, size, mode="RGBA"):
    """An image of four uniform quadrants: opaque red, half-transparent
    green, fully transparent (with colour) and opaque white."""
    w, h = size
    image = Image.new("RGBA", size, (0, 0, 0, 0))
    quads = [(255, 0, 0, 255), (10, 200, 30, 128), (200, 100, 50, 0), (255, 255, 255, 255)]
    for i, colour in enumerate(quads):
        x0, y0 = (i % 2) * w // 2, (i // 2) * h // 2
        image.paste(colour, (x0, y0, x0 + w // 2, y0 + h // 2))
    # A strip of many colours and alphas along the top keeps the PNG
    # encoder at 8-bit RGBA (a few colours would give a palette image).
    for x in range(w):
        for y in range(max(1, h // 16)):
            image.putpixel((x, y), (x % 256, (x * 7) % 256, y % 256, 64 + x % 192))
    if mode != "RGBA":
        image = image.convert(mode)
    image.save(str(path))
    return path


def quadrant_centres(png):
    image = Image.open(io.BytesIO(png)).convert("RGBA")
    assert image.size == (512, 512)
    return [image.getpixel((x, y)) for y in (128, 384) for x in (128, 384)]


@pytest.mark.parametrize("size", [(1024, 1024), (600, 400)])
def test_make_ico(tmp_path, size):
    icon_image(tmp_path / "icon.png", size)
    r = run_publish(["--make-ico", "icon.png", "icon.ico"], tmp_path)
    assert r.returncode == 0, lines(r)
    assert "Converting 'icon.png' to Windows icon 'icon.ico'..." in texts(r, "- ")
    data = (tmp_path / "icon.ico").read_bytes()

    listing = subprocess.run(["icotool", "-l", str(tmp_path / "icon.ico")], check=True,
                             capture_output=True, text=True).stdout.splitlines()
    assert listing == ["--icon --index=1 --width=512 --height=512 --bit-depth=32 --palette-size=0"]
    subprocess.run(["icotool", "-x", "-o", str(tmp_path / "out.png"), str(tmp_path / "icon.ico")],
                   check=True, capture_output=True)
    png = (tmp_path / "out.png").read_bytes()
    assert png == data[22:]
    # Straight alpha: opaque and half-transparent colours survive scaling,
    # fully transparent pixels come out empty.
    assert quadrant_centres(png) == [(255, 0, 0, 255), (10, 200, 30, 128),
                                     (0, 0, 0, 0), (255, 255, 255, 255)]


@pytest.mark.parametrize("size", [(1024, 1024), (600, 400)])
def test_make_icns(tmp_path, size):
    icon_image(tmp_path / "icon.png", size)
    r = run_publish(["--make-icns", "icon.png", "icon.icns"], tmp_path)
    assert r.returncode == 0, lines(r)
    assert "Converting 'icon.png' to macOS icon 'icon.icns'..." in texts(r, "- ")
    data = (tmp_path / "icon.icns").read_bytes()
    assert data[:4] == b"icns" and int.from_bytes(data[4:8], "big") == len(data)

    listing = subprocess.run(["icns2png", "-l", str(tmp_path / "icon.icns")], check=True,
                             capture_output=True, text=True).stdout
    entries = re.findall(r"'(\w{4})'.*?(\d+)x(\d+)", listing)
    assert entries == [("ic09", "512", "512")], listing
    subprocess.run(["icns2png", "-x", "-o", str(tmp_path), str(tmp_path / "icon.icns")],
                   check=True, capture_output=True)
    extracted = [n for n in os.listdir(str(tmp_path)) if n.startswith("icon_512x512")]
    assert len(extracted) == 1, os.listdir(str(tmp_path))
    assert quadrant_centres((tmp_path / extracted[0]).read_bytes())[0] == (255, 0, 0, 255)
    assert quadrant_centres(data[16:]) == [(255, 0, 0, 255), (10, 200, 30, 128),
                                           (0, 0, 0, 0), (255, 255, 255, 255)]


def test_other_formats_load(tmp_path):
    # A grey JPEG comes out grey and opaque; a palette GIF keeps its colours.
    Image.new("L", (300, 300), 90).save(str(tmp_path / "grey.jpg"), quality=100)
    icon_image(tmp_path / "pal.gif", (64, 64), mode="P")
    for name in ["grey.jpg", "pal.gif"]:
        r = run_publish(["--make-ico", name, name + ".ico"], tmp_path)
        assert r.returncode == 0, lines(r)
    grey = Image.open(io.BytesIO((tmp_path / "grey.jpg.ico").read_bytes()[22:])).convert("RGBA")
    r, g, b, a = grey.getpixel((256, 256))
    assert r == g == b and abs(r - 90) <= 2 and a == 255
    pal = quadrant_centres((tmp_path / "pal.gif.ico").read_bytes()[22:])
    assert pal[0] == (255, 0, 0, 255) and pal[3] == (255, 255, 255, 255)


@pytest.mark.parametrize("option,out", [("--make-ico", "x.ico"), ("--make-icns", "x.icns")])
@pytest.mark.parametrize("image", ["missing.png", "corrupt.png", "text.png"])
def test_bad_image_fails_without_file(tmp_path, option, out, image):
    good = icon_image(tmp_path / "good.png", (64, 64)).read_bytes()
    (tmp_path / "corrupt.png").write_bytes(good[:len(good) // 2])
    (tmp_path / "text.png").write_text("not an image\n")
    r = run_publish([option, image, out], tmp_path)
    assert r.returncode == 1
    errors = texts(r, "! ")
    assert "Failed to load image '%s'" % image in errors
    assert not (tmp_path / out).exists()


def test_make_ico_needs_two_arguments(tmp_path):
    icon_image(tmp_path / "icon.png", (64, 64))
    r = run_publish(["--make-ico", "icon.png"], tmp_path)
    assert r.returncode == 1
    assert any(t.startswith("USAGE: ") for t in texts(r, "! "))
    assert sorted(os.listdir(str(tmp_path))) == ["icon.png", "logs"]


@pytest.mark.parametrize("out, line", [
    ("no/such/dir.ico", "Can't write 'no/such/dir.ico': the directory 'no/such' does not exist"),
    ("a-directory", "Opening 'a-directory' for write failed: "),
])
def test_unwritable_output_fails(tmp_path, out, line):
    icon_image(tmp_path / "icon.png", (64, 64))
    (tmp_path / "a-directory").mkdir()
    r = run_publish(["--make-ico", "icon.png", out], tmp_path)
    assert r.returncode == 1
    assert any(t.startswith(line) for t in texts(r, "! ")), texts(r, "! ")
    assert "Icon creation failed!" in texts(r, "! ")


@pytest.mark.parametrize("data, size_line", [
    # A JPEG whose Huffman counts add up to more than 256, named as a PNG.
    (bytes.fromhex("ffd8ffc4001f10ffd9"), None),
    # 101 bytes of GIF declaring 20617 x 18254 pixels.
    (b"GIF89a" + (20617).to_bytes(2, "little") + (18254).to_bytes(2, "little")
     + b"\x00\x00\x00" + b"," + b"\x00" * 8 + b"\x00\x02" + b"\x00" * 77,
     "Image 'icon.png' is 20617 x 18254 pixels, more than 16384 on a side or 64000000 in all"),
], ids=["crafted-jpeg", "huge-gif"])
def test_hostile_icon_fails_with_the_usual_line(tmp_path, data, size_line):
    assert len(data) in (9, 101)
    (tmp_path / "icon.png").write_bytes(data)
    r = run_publish(["--make-ico", "icon.png", "x.ico"], tmp_path)
    assert r.returncode == 1
    errors = texts(r, "! ")
    assert "Failed to load image 'icon.png'" in errors
    if size_line:
        assert errors[errors.index("Failed to load image 'icon.png'") - 1] == size_line
    assert not (tmp_path / "x.ico").exists()
