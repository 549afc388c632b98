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
the frames (`quantize_palette`), and an existing one can take the colours
it lacks in entries that nothing uses (`grow_palette`, `entries_in_use`).
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Dict, Iterable, Iterator, List, Optional, Sequence, Set, Tuple

import numpy as np
from numpy.typing import NDArray
from PIL import Image

from orvtool.formats.folders import walk
from orvtool.model.arrays import Indices, Layer, Mask, Rgba
from orvtool.model.errors import OrvToolError
from orvtool.model.records import Color
from orvtool.report.status import count

# Colours packed four bytes into one number (r, g, b, a in memory order), and
# how many pixels have each.
Packed = NDArray[np.uint32]
Counts = NDArray[np.intp]

SHADOW_COLOR: Color = (0, 0, 0, 255)
FILL_COLOR: Color = (0, 0, 0, 255)  # what the module gives indices beyond a short palette


class ColorMatcher:
    """Palette lookups: the colour that an index shows, and the index for a
    colour (exact, else nearest by squared RGBA distance, lowest index first)."""

    CHUNK = 4096  # distinct colours compared with the palette at a time

    def __init__(self, colors: Sequence[Color]):
        if not 1 <= len(colors) <= 256:
            raise OrvToolError(f"a palette holds 1 to 256 colours, this one {len(colors)}", category="palette_unusable")
        self.colors = np.array(colors, dtype=np.int32).reshape(-1, 4)
        table = list(colors) + [FILL_COLOR] * (256 - len(colors))
        self.table = np.array(table, dtype=np.uint8)  # colour shown by each index 0..255

    def match(self, pixels: NDArray[np.uint8]) -> Tuple[NDArray[np.uint8], NDArray[np.int64]]:
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

    indices: Indices
    covered: Mask
    nearest: Mask  # took a colour the palette does not hold


def resolve_pixels(
    rgba: Rgba,
    matcher: Optional[ColorMatcher],
    layer: Optional[Layer],
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
    for rows in bands(h, w):
        # Views of the frame's arrays: what is set in them is set in the frame's.
        part, cover, index, near = rgba[rows], covered[rows], indices[rows], nearest[rows]
        keep = np.zeros(cover.shape, bool)
        if layer is not None:
            layer_indices, layer_covered = layer[0][rows], layer[1][rows]
            keep = layer_covered & np.all(part == matcher.table[layer_indices], axis=2)
            index[keep] = layer_indices[keep]
            cover |= keep
        todo = cover & ~keep
        found, dist = matcher.match(part[todo])
        index[todo] = found
        near[todo] = dist > 0
    return FramePixels(indices, covered, nearest)


BAND_PIXELS = 1 << 20  # pixels of a frame worked on at a time, which bounds the work arrays


def bands(height: int, width: int) -> Iterator[slice[int, int, int]]:
    """The rows of a frame in bands of about BAND_PIXELS pixels."""
    step = max(1, BAND_PIXELS // max(width, 1))
    for y in range(0, height, step):
        yield slice(y, min(y + step, height))


def quantize_palette(images: Sequence[Rgba], count: int) -> List[Color]:
    """A palette of at most `count` colours for the visible (alpha > 0) pixels
    of `images`, in ascending (r, g, b, a) order: their own colours when there
    are no more than `count` of them. Else the candidates below, of which the
    one whose pixels move the least on average (RGBA distance to the nearest
    entry) is taken, the first of equals:

    * the colours that cover the most pixels, exactly, in half of the entries,
      and Pillow's quantizer over the pixels of the other colours in the other
      half (`_quantized`), any entry it leaves free going to the next most
      covering colour: exact where a few colours cover most of the picture;
    * Pillow's quantizer alone over every pixel (the fast octree; median cut
      too where every pixel is opaque), which spreads the entries where
      colours are many and even."""
    if not 1 <= count <= 256:
        raise OrvToolError(f"--quantize takes 1 to 256 colours, not {count}", category="option_invalid")
    visible = [im.reshape(-1, 4)[im.reshape(-1, 4)[:, 3] != 0] for im in images]
    pixels = np.ascontiguousarray(np.concatenate(visible) if visible else np.zeros((0, 4), np.uint8))
    if len(pixels) == 0:
        return [SHADOW_COLOR]
    packed = pixels.view(np.uint32).ravel()
    colors, counts = np.unique(packed, return_counts=True)
    if len(colors) > count:
        candidates = [_covering_first(pixels, packed, colors, counts, count)]
        opaque = bool((pixels[:, 3] == 255).all())
        for method in (Image.Quantize.FASTOCTREE, Image.Quantize.MEDIANCUT) if opaque else (Image.Quantize.FASTOCTREE,):
            candidates.append(np.unique(_quantized(pixels, count, method).view(np.uint32).ravel()))
        found, weights = _measured(pixels, colors, counts)
        colors = min(candidates, key=lambda c: mean_distance(found, weights, c.view(np.uint8).reshape(-1, 4)))
    rows = np.unique(colors.view(np.uint8).reshape(-1, 4), axis=0)
    return [tuple(int(v) for v in c) for c in rows]  # type: ignore[misc]


def _covering_first(pixels: NDArray[np.uint8], packed: Packed, colors: Packed, counts: Counts, count: int) -> Packed:
    """The most covering colours exactly in half the entries, Pillow's choice
    for the other pixels in the rest (packed colours)."""
    ranked = colors[np.argsort(-counts, kind="stable")]
    spare = max(1, count // 2)
    exact = ranked[: count - spare]
    rest = pixels[~np.isin(packed, exact)]
    opaque = bool((rest[:, 3] == 255).all())
    used = _quantized(rest, spare, Image.Quantize.MEDIANCUT if opaque else Image.Quantize.FASTOCTREE)
    chosen = np.union1d(exact, np.ascontiguousarray(used).view(np.uint32).ravel())
    have = set(chosen.tolist())
    more = [c for c in ranked[count - spare :].tolist() if c not in have]
    return np.union1d(chosen, np.array(more[: max(0, count - len(chosen))], np.uint32))


MEASURED_AT_ONCE = 4096  # colours measured against the palette in one step
MEASURED_PIXELS = 1 << 16  # pictures of more colours are measured on a sample of this many pixels


def _measured(pixels: NDArray[np.uint8], colors: Packed, counts: Counts) -> Tuple[NDArray[np.uint8], Counts]:
    """The colours (n, 4) that candidate palettes are measured on, and how
    many pixels each stands for: every colour, or, of a picture of more
    colours than MEASURED_PIXELS, those of a fixed sample of its pixels."""
    if len(colors) > MEASURED_PIXELS:
        sample = pixels[np.random.default_rng(0).choice(len(pixels), MEASURED_PIXELS, replace=False)]
        colors, counts = np.unique(np.ascontiguousarray(sample).view(np.uint32).ravel(), return_counts=True)
    return colors.view(np.uint8).reshape(-1, 4), counts


def mean_distance(colors: NDArray[np.uint8], counts: Counts, palette: NDArray[np.uint8]) -> float:
    """The mean RGBA distance from each pixel to its nearest palette entry, of
    pixels given as their distinct `colors` (n, 4) and how many have each."""
    entries = palette.astype(np.int32)
    total = 0.0
    for at in range(0, len(colors), MEASURED_AT_ONCE):
        part = colors[at : at + MEASURED_AT_ONCE].astype(np.int32)
        nearest = ((part[:, None, :] - entries[None, :, :]) ** 2).sum(axis=2).min(axis=1)
        total += float((np.sqrt(nearest) * counts[at : at + MEASURED_AT_ONCE]).sum())
    return total / max(1, int(counts.sum()))


def _quantized(pixels: NDArray[np.uint8], count: int, method: Image.Quantize) -> NDArray[np.uint8]:
    """At most `count` RGBA colours for `pixels` by Pillow's `method`: alpha
    included, except where every pixel is opaque (as median cut needs)."""
    opaque = bool((pixels[:, 3] == 255).all())
    mode = "RGB" if opaque else "RGBA"
    strip = Image.frombytes(mode, (len(pixels), 1), np.ascontiguousarray(pixels[:, : len(mode)]).tobytes())
    quantized = strip.quantize(colors=count, method=method)
    table = np.array(quantized.getpalette(mode) or [], np.uint8).reshape(-1, len(mode))
    used = table[np.unique(np.asarray(quantized))]
    if opaque:
        used = np.hstack([used, np.full((len(used), 1), 255, np.uint8)])
    return np.ascontiguousarray(used)


class Inexact:
    """Pixels that took the nearest palette colour, over all frames: one note
    for the file, and a detail line per frame."""

    def __init__(self) -> None:
        self.pixels = 0
        self.frames: List[int] = []
        self.found: List[Packed] = []  # the distinct colours of each frame that took the nearest entry
        self.farthest = 0.0  # the largest RGBA distance a pixel moved
        self.first: Optional[str] = None

    def add(self, frame_no: int, rgba: Rgba, px: FramePixels, matcher: ColorMatcher, details: List[str]) -> None:
        n = int(px.nearest.sum())
        if not n:
            return
        h, w = px.nearest.shape
        found: List[Packed] = []
        for rows in bands(h, w):
            near = px.nearest[rows]
            if not near.any():
                continue
            part = rgba[rows][near]
            found.append(np.unique(np.ascontiguousarray(part).view(np.uint32)))
            moved = part.astype(np.int32) - matcher.table[px.indices[rows][near]].astype(np.int32)
            self.farthest = max(self.farthest, float(np.sqrt((moved**2).sum(axis=1).max())))
        colors = np.unique(np.concatenate(found))
        self.found.append(colors)
        if self.first is None:
            at = int(np.argmax(px.nearest))
            y, x = at // w, at % w
            c = tuple(int(v) for v in rgba[y, x])
            i = int(px.indices[y, x])
            shown = tuple(int(v) for v in matcher.table[i])
            self.first = f"frame {frame_no} at x {x}, y {y} is {c}, the nearest entry {i} is {shown}"
        self.pixels += n
        self.frames.append(frame_no)
        details.append(
            f"frame {frame_no}: {count(n, 'pixel')} in {count(len(colors), 'colour')} took the nearest palette colour"
        )

    def note(self, frame_count: int) -> Optional[str]:
        if not self.pixels:
            return None
        return (
            f"{count(self.pixels, 'pixel')} in {count(len(np.unique(np.concatenate(self.found))), 'colour')} "
            f"took the nearest palette colour, in {len(self.frames)} of {count(frame_count, 'frame')}, "
            f"moved by at most {self.farthest:.1f} in RGBA distance "
            "(--verbose lists them; --add-colors puts missing colours into unused palette entries)"
        )

    def check(self, exact: bool) -> None:
        if exact and self.pixels:
            frames = ", ".join(str(f) for f in self.frames)
            raise OrvToolError(
                f"--exact: {count(self.pixels, 'pixel')} ({'frame' if len(self.frames) == 1 else 'frames'} {frames}) "
                f"{'has a colour' if self.pixels == 1 else 'have colours'} that the palette does not hold; {self.first}",
                category="option_invalid",
            )


# --- colours added to a palette ------------------------------------------------------


def visible_colors(images: Iterable[Rgba]) -> Set[Color]:
    """The colours of the visible (alpha > 0) pixels of `images`."""
    out: Set[Color] = set()
    for im in images:
        flat = im.reshape(-1, 4)
        for row in np.unique(flat[flat[:, 3] != 0], axis=0):
            out.add(tuple(int(v) for v in row))  # type: ignore[arg-type]
    return out


def missing_colors(seen: Set[Color], colors: Sequence[Color]) -> List[Color]:
    """The colours of `seen` that no palette entry holds exactly, in
    ascending (r, g, b, a) order."""
    have = {tuple(c) for c in colors}
    return sorted(c for c in seen if c not in have)


def exact_indices(seen: Set[Color], colors: Sequence[Color]) -> Set[int]:
    """The entries that colours of `seen` take by exact match (the lowest
    index among equal entries)."""
    first: Dict[Tuple[int, ...], int] = {}
    for i, c in enumerate(colors):
        first.setdefault(tuple(c), i)
    return {first[c] for c in seen if c in first}


def grow_palette(
    colors: Sequence[Color], new: Sequence[Color], used: Set[int]
) -> Tuple[List[Color], List[Tuple[int, Color]]]:
    """The palette with each colour of `new` in an entry outside `used`:
    entries past the palette's end first (up to 256, the gap filled with
    opaque black as the module fills a short palette), then unused entries
    of the palette. Returns the palette and the (entry, colour) pairs added;
    refuses when there are too few free entries."""
    free = [i for i in range(len(colors), 256) if i not in used] + [i for i in range(len(colors)) if i not in used]
    if len(new) > len(free):
        raise OrvToolError(
            f"--add-colors: {count(len(new), 'colour')} to add, the palette has "
            f"{count(len(free), 'entry', 'entries')} that nothing uses; "
            f"the first colour that does not fit is {new[len(free)]}",
            category="palette_unusable",
        )
    out = list(colors)
    added = []
    for i, color in zip(free, new, strict=False):  # more free entries than colours: the first ones
        while len(out) <= i:
            out.append(FILL_COLOR)
        out[i] = color
        added.append((i, color))
    return out, added


def entries_in_use(project_root: str, palette: str, leave_out: Sequence[str] = ()) -> Tuple[Set[int], List[str]]:
    """The palette entries that the animations below `project_root` whose
    stored palette path leads to `palette` draw with, and those animations.
    Files in `leave_out` (the output a build replaces) are not counted."""
    from orvtool.core import native

    target = os.path.realpath(palette)
    skip = {os.path.realpath(p) for p in leave_out}
    used: Set[int] = set()
    users: List[str] = []
    for root, dirs, files in walk(project_root):
        dirs.sort()
        for name in sorted(files):
            if not name.lower().endswith(".orv"):
                continue
            path = os.path.join(root, name)
            if os.path.realpath(path) in skip:
                continue
            # Read, with the palette the loader finds for it, but not rendered.
            try:
                report = native.open_frames(os.path.abspath(path)).report(records=True)
            except OrvToolError:
                continue  # more frame records than orvtool reads: names no palette it can be shown with

            found = report.palette.path if report.opened else None
            if found is None or os.path.realpath(found) != target:
                continue  # an unreadable file names no palette
            users.append(path)
            for frame in report.frames:
                if frame.is_shadow:
                    continue
                for _, runs in frame.rows or []:
                    for _, _, indices in runs:
                        used.update(indices)
    return used, users
