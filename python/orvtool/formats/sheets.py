"""Sprite sheets: one atlas image and its description in the TexturePacker
"hash" layout that game engines read.

Each frame is described as a trimmed sprite of the animation's union canvas
(see `model.union_canvas`): `sourceSize` is the canvas, `spriteSourceSize`
the frame's place on it, and `pivot` the animation's origin on the canvas,
normalised, the same for every frame. An engine that draws every frame at one
point with that pivot reproduces the game's placement. The raw offsets are
kept too, under "offset".
"""

from __future__ import annotations

import math
from typing import Any, Callable, Dict, List, Sequence, Tuple

import numpy as np
from PIL import Image

from ..model import union_canvas

APP_NAME = "orvtool"


def pack_shelves(sizes: Sequence[Tuple[int, int]], padding: int = 1) -> Tuple[List[Tuple[int, int]], int, int]:
    """Places rectangles (w, h) on shelves, tallest first, in rows about as
    wide as a square of the same area. Returns the positions, in input order,
    and the sheet's width and height (at least 1 x 1)."""
    area = sum((w + padding) * (h + padding) for w, h in sizes)
    widest = max((w for w, _ in sizes), default=0)
    limit = max(widest, int(math.ceil(math.sqrt(area))))
    order = sorted(range(len(sizes)), key=lambda i: (-sizes[i][1], -sizes[i][0], i))
    positions: List[Tuple[int, int]] = [(0, 0)] * len(sizes)
    x = y = shelf = sheet_w = 0
    for i in order:
        w, h = sizes[i]
        if w == 0 or h == 0:
            continue
        if x > 0 and x + w > limit:
            y += shelf + padding
            x = shelf = 0
        positions[i] = (x, y)
        sheet_w = max(sheet_w, x + w)
        shelf = max(shelf, h)
        x += w + padding
    return positions, max(sheet_w, 1), max(y + shelf, 1)


def build_sheet(
    names: Sequence[str],
    frames: Callable[[int], np.ndarray],
    sizes: Sequence[Tuple[int, int]],
    offsets: Sequence[Tuple[int, int]],
    image_name: str,
    version: str,
    padding: int = 1,
) -> Tuple[Image.Image, Dict[str, Any]]:
    """The atlas image and its TexturePacker hash document; `frames(i)` gives
    the RGBA pixels of frame i, `sizes` the (width, height) of each."""
    positions, sheet_w, sheet_h = pack_shelves(sizes, padding)
    atlas = np.zeros((sheet_h, sheet_w, 4), dtype=np.uint8)
    canvas = union_canvas([(x, y, w, h) for (w, h), (x, y) in zip(sizes, offsets)])
    pivot = {"x": -canvas.left / canvas.width, "y": -canvas.top / canvas.height}
    described: Dict[str, Any] = {}
    for i, (name, (w, h), (px, py), (ox, oy)) in enumerate(zip(names, sizes, positions, offsets)):
        if w and h:
            atlas[py : py + h, px : px + w] = frames(i)
        described[name] = {
            "frame": {"x": px, "y": py, "w": w, "h": h},
            "rotated": False,
            "trimmed": (w, h) != (canvas.width, canvas.height),
            "spriteSourceSize": {"x": ox - canvas.left, "y": oy - canvas.top, "w": w, "h": h},
            "sourceSize": {"w": canvas.width, "h": canvas.height},
            "pivot": dict(pivot),
            "offset": {"x": ox, "y": oy},
        }
    doc = {
        "frames": described,
        "meta": {
            "app": APP_NAME,
            "version": version,
            "image": image_name,
            "format": "RGBA8888",
            "size": {"w": sheet_w, "h": sheet_h},
            "scale": "1",
        },
    }
    return Image.frombytes("RGBA", (sheet_w, sheet_h), atlas.tobytes()), doc
