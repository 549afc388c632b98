"""Colours to palette indices: exact, else nearest by squared RGBA distance.

Each pixel of an RGBA frame becomes a palette index by these rules, in order:

1. where the frame's index layer covers the pixel and the image still shows
   the colour of that index, the index is kept (so equal colours at different
   indices, and covered pixels of a fully transparent colour, survive);
2. a fully transparent pixel (alpha 0) is left uncovered;
3. otherwise the palette entry of exactly that colour, the lowest index among
   equal entries; failing that, the nearest entry by squared RGBA distance
   (dr^2 + dg^2 + db^2 + da^2, alpha counting like a colour channel), again
   the lowest index among equally near ones.

In a shadow frame every pixel that is not fully transparent is covered. For
the index layer check a palette of fewer than 256 colours is completed with
opaque black, as the module completes it when loading; matching by colour
only considers the palette's own entries. A new palette can be made from
the frames (`quantize_palette`).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import List, Optional, Sequence, Tuple

import numpy as np
from PIL import Image

from .errors import OrvToolError
from .model import Color, Frame

SHADOW_COLOR: Color = (0, 0, 0, 255)
FILL_COLOR: Color = (0, 0, 0, 255)  # what the module gives indices beyond a short palette


class ColorMatcher:
    """Palette lookups: the colour that an index shows, and the index for a
    colour (exact, else nearest by squared RGBA distance, lowest index first)."""

    CHUNK = 4096  # distinct colours compared with the palette at a time

    def __init__(self, colors: Sequence[Color]):
        if not 1 <= len(colors) <= 256:
            raise OrvToolError(f"a palette holds 1 to 256 colours, this one {len(colors)}")
        self.colors = np.array(colors, dtype=np.int32).reshape(-1, 4)
        table = list(colors) + [FILL_COLOR] * (256 - len(colors))
        self.table = np.array(table, dtype=np.uint8)  # colour shown by each index 0..255

    def match(self, pixels: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
        """(index uint8, squared distance) for each (r, g, b, a) row of `pixels`."""
        if len(pixels) == 0:
            return np.zeros(0, np.uint8), np.zeros(0, np.int64)
        packed = np.ascontiguousarray(pixels, dtype=np.uint8).view(np.uint32).ravel()
        unique, inverse = np.unique(packed, return_inverse=True)
        colors = unique.view(np.uint8).reshape(-1, 4).astype(np.int32)
        best = np.empty(len(colors), np.uint8)
        dist = np.empty(len(colors), np.int64)
        for start in range(0, len(colors), self.CHUNK):
            part = colors[start : start + self.CHUNK]
            d = ((part[:, None, :] - self.colors[None, :, :]) ** 2).sum(axis=2)
            i = d.argmin(axis=1)  # the first, lowest index among equals
            best[start : start + len(part)] = i
            dist[start : start + len(part)] = d[np.arange(len(part)), i]
        return best[inverse.ravel()], dist[inverse.ravel()]


@dataclass
class FramePixels:
    """Where a frame's pixels lie and which index each shows."""

    indices: np.ndarray  # uint8 (h, w)
    covered: np.ndarray  # bool (h, w)
    nearest: np.ndarray  # bool (h, w): took a colour the palette does not hold


def resolve_pixels(
    rgba: np.ndarray,
    matcher: Optional[ColorMatcher],
    layer: Optional[Tuple[np.ndarray, np.ndarray]],
    shadow: bool,
) -> FramePixels:
    """The index and coverage of every pixel of an RGBA frame (see the rules
    above)."""
    h, w = rgba.shape[:2]
    covered = rgba[:, :, 3] != 0
    indices = np.zeros((h, w), np.uint8)
    nearest = np.zeros((h, w), bool)
    if shadow:
        return FramePixels(indices, covered, nearest)
    assert matcher is not None
    keep = np.zeros((h, w), bool)
    if layer is not None:
        layer_indices, layer_covered = layer
        keep = layer_covered & np.all(rgba == matcher.table[layer_indices], axis=2)
        indices[keep] = layer_indices[keep]
        covered |= keep
    todo = covered & ~keep
    found, dist = matcher.match(rgba[todo])
    indices[todo] = found
    nearest[todo] = dist > 0
    return FramePixels(indices, covered, nearest)


def quantize_palette(images: Sequence[np.ndarray], count: int) -> List[Color]:
    """A palette of at most `count` colours for the visible (alpha > 0) pixels
    of `images`: their own colours when there are no more than `count` of them,
    in ascending (r, g, b, a) order, else Pillow's octree quantizer over all
    pixels, alpha included."""
    if not 1 <= count <= 256:
        raise OrvToolError(f"--quantize takes 1 to 256 colours, not {count}")
    visible = [im.reshape(-1, 4)[im.reshape(-1, 4)[:, 3] != 0] for im in images]
    pixels = np.concatenate(visible) if visible else np.zeros((0, 4), np.uint8)
    if len(pixels) == 0:
        return [SHADOW_COLOR]
    rows = np.unique(pixels, axis=0)
    if len(rows) <= count:
        return [tuple(int(v) for v in c) for c in rows]  # type: ignore[misc]
    strip = Image.frombytes("RGBA", (len(pixels), 1), np.ascontiguousarray(pixels).tobytes())
    quantized = strip.quantize(colors=count, method=Image.Quantize.FASTOCTREE)
    table = quantized.getpalette("RGBA") or []
    used = np.unique(np.asarray(quantized))
    colors: List[Color] = []
    for i in used:
        c = tuple(table[4 * int(i) : 4 * int(i) + 4])
        if len(c) == 4 and c not in colors:
            colors.append(c)  # type: ignore[arg-type]
    return colors or [SHADOW_COLOR]


class Inexact:
    """Pixels that took the nearest palette colour, over all frames: one note
    for the file, and a detail line per frame."""

    def __init__(self) -> None:
        self.pixels = 0
        self.frames: List[int] = []
        self.colors: set = set()
        self.first: Optional[str] = None

    def add(self, frame_no: int, rgba: np.ndarray, px: FramePixels, matcher: ColorMatcher, details: List[str]) -> None:
        n = int(px.nearest.sum())
        if not n:
            return
        ys, xs = np.nonzero(px.nearest)
        colors = np.unique(np.ascontiguousarray(rgba[px.nearest]).view(np.uint32))
        self.colors.update(colors.tolist())
        if self.first is None:
            y, x = int(ys[0]), int(xs[0])
            c = tuple(int(v) for v in rgba[y, x])
            i = int(px.indices[y, x])
            shown = tuple(int(v) for v in matcher.table[i])
            self.first = f"frame {frame_no} at x {x}, y {y} is {c}, the nearest entry {i} is {shown}"
        self.pixels += n
        self.frames.append(frame_no)
        details.append(f"frame {frame_no}: {n} pixels in {len(colors)} colours took the nearest palette colour")

    def note(self, frame_count: int) -> Optional[str]:
        if not self.pixels:
            return None
        return (
            f"{self.pixels} pixels in {len(self.colors)} colours took the nearest palette colour, in "
            f"{len(self.frames)} of {frame_count} frames (--verbose lists them)"
        )

    def check(self, exact: bool) -> None:
        if exact and self.pixels:
            frames = ", ".join(str(f) for f in self.frames)
            raise OrvToolError(
                f"--exact: {self.pixels} pixels (frames {frames}) have colours that the palette does not "
                f"hold; {self.first}"
            )


def filler_pixels(
    frames: Sequence[Frame], layers: Sequence[Tuple[np.ndarray, np.ndarray]], entries: int
) -> Tuple[int, int]:
    """(covered pixels whose index lies beyond a palette of `entries` colours,
    all covered pixels) over the frames that draw palette colours. The module
    draws the former with its filler, opaque black."""
    beyond = covered = 0
    for frame, (indices, mask) in zip(frames, layers):
        if frame.is_shadow:
            continue
        covered += int(mask.sum())
        beyond += int((mask & (indices >= entries)).sum())
    return beyond, covered


def filler_note(palette: str, entries: int, beyond: int, covered: int) -> str:
    return (
        f"palette {palette} holds {entries} colours: {beyond} of {covered} covered pixels use indices "
        f"beyond it and are drawn as opaque black"
    )
