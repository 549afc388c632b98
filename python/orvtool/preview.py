"""Animated previews: every frame on one canvas, placed by its offsets.

A frame's offsets give the position of its top-left pixel relative to the
animation's origin. The canvas is the union of all frame rectangles, so the
origin sits at (-left, -top) of the canvas and every frame keeps its place
relative to the others. Frames without pixels (width or height 0) leave
their canvas empty.
"""

from __future__ import annotations

from typing import List, Sequence, Tuple

import numpy as np
from PIL import Image

from .model import Canvas, union_canvas

GIF_ALPHA_THRESHOLD = 128  # a GIF pixel is either transparent or opaque


def place_frames(frames: Sequence[np.ndarray], offsets: Sequence[Tuple[int, int]]) -> Tuple[Canvas, List[np.ndarray]]:
    """Each (h, w, 4) frame on its own copy of the union canvas."""
    canvas = union_canvas([(x, y, f.shape[1], f.shape[0]) for f, (x, y) in zip(frames, offsets)])
    out = []
    for frame, (x, y) in zip(frames, offsets):
        page = np.zeros((canvas.height, canvas.width, 4), dtype=np.uint8)
        h, w = frame.shape[:2]
        if h and w:
            px, py = x - canvas.left, y - canvas.top
            page[py : py + h, px : px + w] = frame
        out.append(page)
    return canvas, out


def frame_duration_ms(fps: float) -> int:
    if not fps > 0:
        raise ValueError(f"frames per second must be above 0, not {fps}")
    return max(1, round(1000.0 / fps))


def _gif_pages(pages: Sequence[np.ndarray]) -> List[Image.Image]:
    """Palette images sharing one exact palette when the pages hold at most
    255 opaque colours (always so for a 256-colour animation without
    translucent overlaps); Pillow's quantiser otherwise."""
    stack = np.stack(pages)
    opaque = stack[..., 3] >= GIF_ALPHA_THRESHOLD
    keys = (
        stack[..., 0].astype(np.uint32) << 16 | stack[..., 1].astype(np.uint32) << 8 | stack[..., 2].astype(np.uint32)
    )
    colors = np.unique(keys[opaque])
    if len(colors) > 255:
        return [Image.fromarray(p).convert("RGBA") for p in pages]
    transparent = len(colors)
    index = np.where(opaque, np.searchsorted(colors, keys), transparent).astype(np.uint8)
    flat = []
    for key in colors.tolist():
        flat += [(key >> 16) & 255, (key >> 8) & 255, key & 255]
    flat += [0, 0, 0] * (256 - len(colors))
    images = []
    for page in index:
        im = Image.frombytes("P", (page.shape[1], page.shape[0]), page.tobytes())
        im.putpalette(flat)
        im.info["transparency"] = transparent
        images.append(im)
    return images


def write_gif(path: str, pages: Sequence[np.ndarray], fps: float) -> None:
    """An endlessly looping GIF; alpha becomes on or off at 128. Pillow merges
    consecutive identical pages into one with their delays added."""
    images = _gif_pages(pages)
    first = images[0]
    extra = {"transparency": first.info["transparency"]} if first.mode == "P" else {}
    first.save(
        path,
        format="GIF",
        save_all=True,
        append_images=images[1:],
        duration=frame_duration_ms(fps),
        loop=0,
        disposal=2,
        optimize=False,
        **extra,
    )


def write_apng(path: str, pages: Sequence[np.ndarray], fps: float) -> None:
    """An endlessly looping animated PNG with full alpha; each page replaces
    the one before."""
    images = [Image.frombytes("RGBA", (p.shape[1], p.shape[0]), p.tobytes()) for p in pages]
    images[0].save(
        path,
        format="PNG",
        save_all=True,
        append_images=images[1:],
        duration=frame_duration_ms(fps),
        loop=0,
        disposal=0,  # leave the page; the next one is drawn with blend 0, replacing it
        blend=0,
    )
