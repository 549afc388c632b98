"""Helpers for the build tests: records and pixels of files as pyorv loads them, crafted inputs."""

import struct
import zlib

import numpy as np
from PIL import Image

import pyorv


def loaded(path):
    """Everything pyorv reads from a file, as plain values."""
    f = pyorv.OrvF()
    f.load(str(path))
    data = f.data()
    frames = []
    for fr in data.frames:
        rows = [
            (row.block_count, [(b.offset, b.color_count, tuple(b.colors)) for b in row.blocks]) for row in fr.pixel_sets
        ]
        frames.append(
            dict(
                width=fr.width,
                height=fr.height,
                is_shadow=fr.is_shadow,
                x_offset=fr.x_offset,
                y_offset=fr.y_offset,
                frame_size=fr.frame_size,
                unk1=fr.unk1,
                unk2=fr.unk2,
                rows=rows,
            )
        )
    return dict(
        speed=data.info.speed,
        frame_count=data.info.frame_count,
        has_background=data.has_background,
        location=data.palette.location(),
        location_size=data.palette.location_size(),
        frames=frames,
    )


def grid(frame):
    """A loaded frame's pixels: a list of rows of index (0 in shadow frames)
    or None where no run covers the pixel, walking the runs independently of
    the package's code."""
    out = []
    for _, runs in frame["rows"][: frame["height"]]:
        row: list[int | None] = [None] * frame["width"]
        x = 0
        for offset, count, colors in runs:
            x += offset
            if count == 0:
                continue
            for k in range(count if frame["is_shadow"] else len(colors)):
                if x >= frame["width"]:
                    break
                row[x] = 0 if frame["is_shadow"] else colors[k]
                x += 1
        out.append(row)
    return out


def rendered(path):
    """The images pyorv renders for a file, as (h, w, 4) arrays; None when the
    palette was not found."""
    f = pyorv.OrvF()
    if f.load(str(path)) is None:
        return None
    return [np.frombuffer(im.pixels, np.uint8).reshape(im.height, im.width, 4) for im in f.get_frame_buffer()]


def read_rgba(path):
    with Image.open(path) as im:
        return np.array(im.convert("RGBA"))


def write_rgba(path, array):
    Image.fromarray(np.ascontiguousarray(array, dtype=np.uint8), "RGBA").save(path)


def nearest(palette, color):
    """The lowest index among the palette entries nearest to `color` by
    squared RGBA distance."""
    best, best_d = None, None
    for i, c in enumerate(palette):
        d = sum((int(a) - int(b)) ** 2 for a, b in zip(c, color, strict=True))
        if best_d is None or d < best_d:
            best, best_d = i, d
    return best


def png_header(width, height):
    """A PNG that announces width x height RGBA pixels and holds almost none."""

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    ihdr = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(b"\0" * 5)) + chunk(b"IEND", b"")


def gif(screen, places):
    """An animated GIF of 1 x 1 frames at `places` on a logical screen of `screen` pixels."""
    w, h = screen
    out = b"GIF89a" + struct.pack("<HHBBB", w, h, 0x80, 0, 0) + b"\0\0\0\xff\xff\xff"
    for k, (x, y) in enumerate(places):
        out += b"\x21\xf9\x04\x00" + struct.pack("<H", 10 + k) + b"\0\0"
        out += b"\x2c" + struct.pack("<HHHHB", x, y, 1, 1, 0) + b"\x02\x02\x44\x01\x00"
    return out + b"\x3b"


def blank_png(path, width, height, mode="1"):
    """A PNG of width x height pixels of zeros (mode "1", "LA" or "RGBA"),
    compressed a band of rows at a time: an image far too large to hold costs
    a few hundred kilobytes to write."""
    depth, color, channels = {"1": (1, 0, 1), "LA": (8, 4, 2), "RGBA": (8, 6, 4)}[mode]
    row = 1 + -(-width * depth * channels // 8)  # a filter byte and the row's bytes

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    packer = zlib.compressobj(1)
    band = bytes(row * 256)
    data = b"".join(packer.compress(band[: row * min(256, height - y)]) for y in range(0, height, 256))
    ihdr = struct.pack(">IIBBBBB", width, height, depth, color, 0, 0, 0)
    with open(path, "wb") as fh:
        fh.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", data + packer.flush()))
        fh.write(chunk(b"IEND", b""))
