"""Sprite sheets: one atlas image and its JSON description, both ways.

Writing: the TexturePacker layout that game engines read, as a "hash"
(frames keyed by name) or an "array" (frames in a list, each with its
`filename`), frames always in frame order. Each frame is described as a
trimmed sprite of the animation's union canvas (see `model.union_canvas`):
`sourceSize` is the canvas, `spriteSourceSize` the frame's place on it, and
`pivot` the animation's origin on the canvas, normalised, the same for every
frame. An engine that draws every frame at one point with that pivot
reproduces the game's placement. The raw offsets are kept too, under
"offset", and `meta.orvtool` may carry the export's own record of the
animation (the sidecar document), which a sheet of pixels alone cannot hold:
shadow frames, rows of runs that are not the plain encoding, `frame_size`.

Frames are placed on the atlas `packed` (shelves, tallest first), in `rows`
(left to right, N to a row) or in `columns` (top to bottom, N columns), in
cells as large as the largest frame.

Reading (`read_sheet`): the sheets that Aseprite (`--format json-hash` and
`json-array`) and TexturePacker (hash and array) write. A frame's pixels are
its `frame` rectangle on the atlas, turned back a quarter turn
anticlockwise when `rotated` (TexturePacker turns such sprites clockwise);
its offsets are its `spriteSourceSize` position relative to an origin on the
`sourceSize` canvas: the frame's `pivot` (normalised, TexturePacker), else a
pivot of a slice in `meta.slices` (Aseprite; pixels relative to the slice's
bounds, a key applying from its frame on), else the given anchor.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import NDArray
from PIL import Image

from .. import limits
from ..errors import OrvToolError
from ..model import union_canvas
from ..reading import open_image
from .jsonfile import read_json

APP_NAME = "orvtool"
LAYOUTS = ("packed", "rows", "columns")
JSON_FORMS = ("hash", "array")
RECORD_KEY = "orvtool"


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


def pack_grid(
    sizes: Sequence[Tuple[int, int]], layout: str, columns: Optional[int] = None, padding: int = 1
) -> Tuple[List[Tuple[int, int]], int, int]:
    """Places rectangles in a grid of cells as large as the largest one, in
    input order: `rows` fills each row left to right, `columns` fills each
    column top to bottom. `columns` is the number of grid columns (default:
    about a square)."""
    n = len(sizes)
    cell_w = max((w for w, _ in sizes), default=0)
    cell_h = max((h for _, h in sizes), default=0)
    cols = columns or max(1, int(math.ceil(math.sqrt(n))))
    cols = max(1, min(cols, n)) if n else 1
    rows = max(1, -(-n // cols))
    positions = []
    for i in range(n):
        col, row = (i % cols, i // cols) if layout == "rows" else (i // rows, i % rows)
        positions.append((col * (cell_w + padding), row * (cell_h + padding)))
    width = cols * cell_w + (cols - 1) * padding
    height = rows * cell_h + (rows - 1) * padding
    return positions, max(width, 1), max(height, 1)


def build_sheet(
    names: Sequence[str],
    frames: Callable[[int], NDArray[Any]],
    sizes: Sequence[Tuple[int, int]],
    offsets: Sequence[Tuple[int, int]],
    image_name: str,
    version: str,
    padding: int = 1,
    layout: str = "packed",
    columns: Optional[int] = None,
    form: str = "hash",
    record: Optional[Dict[str, Any]] = None,
) -> Tuple[Image.Image, Dict[str, Any]]:
    """The atlas image and its TexturePacker document, frames in the order
    given: `frames(i)` gives the RGBA pixels of frame i, `sizes` the (width,
    height) of each; `record` goes to `meta.orvtool`."""
    if layout not in LAYOUTS:
        raise OrvToolError(f"unknown sheet layout '{layout}' (one of {', '.join(LAYOUTS)})")
    if form not in JSON_FORMS:
        raise OrvToolError(f"unknown sheet JSON form '{form}' (one of {', '.join(JSON_FORMS)})")
    if layout == "packed":
        positions, sheet_w, sheet_h = pack_shelves(sizes, padding)
    else:
        positions, sheet_w, sheet_h = pack_grid(sizes, layout, columns, padding)
    atlas = np.zeros((sheet_h, sheet_w, 4), dtype=np.uint8)
    canvas = union_canvas([(x, y, w, h) for (w, h), (x, y) in zip(sizes, offsets, strict=True)])
    pivot = {"x": -canvas.left / canvas.width, "y": -canvas.top / canvas.height}
    described: List[Tuple[str, Dict[str, Any]]] = []
    for i, (name, (w, h), (px, py), (ox, oy)) in enumerate(zip(names, sizes, positions, offsets, strict=True)):
        if w and h:
            atlas[py : py + h, px : px + w] = frames(i)
        described.append(
            (
                name,
                {
                    "frame": {"x": px, "y": py, "w": w, "h": h},
                    "rotated": False,
                    "trimmed": (w, h) != (canvas.width, canvas.height),
                    "spriteSourceSize": {"x": ox - canvas.left, "y": oy - canvas.top, "w": w, "h": h},
                    "sourceSize": {"w": canvas.width, "h": canvas.height},
                    "pivot": dict(pivot),
                    "offset": {"x": ox, "y": oy},
                },
            )
        )
    meta: Dict[str, Any] = {
        "app": APP_NAME,
        "version": version,
        "image": image_name,
        "format": "RGBA8888",
        "size": {"w": sheet_w, "h": sheet_h},
        "scale": "1",
    }
    if record is not None:
        meta[RECORD_KEY] = record
    frames_doc: Any
    if form == "hash":
        frames_doc = dict(described)
    else:
        frames_doc = [{"filename": name, **entry} for name, entry in described]
    return Image.frombytes("RGBA", (sheet_w, sheet_h), atlas.tobytes()), {"frames": frames_doc, "meta": meta}


# --- reading -------------------------------------------------------------------------


@dataclass
class SheetFrame:
    name: str
    rgba: NDArray[Any]  # (h, w, 4)
    x_offset: int
    y_offset: int
    origin_from: str  # "pivot", "slice" or "anchor"


@dataclass
class Sheet:
    path: str
    frames: List[SheetFrame]
    record: Optional[Dict[str, Any]]  # meta.orvtool, when the sheet carries one


class _Where:
    """Names the sheet file and the frame in every refusal."""

    def __init__(self, path: str):
        self.path = path
        self.frame = ""

    def fail(self, message: str) -> OrvToolError:
        return OrvToolError(f"{self.path}: {self.frame}{message}")


# Positions on the sheet and the canvas are 32-bit, sizes 16-bit (a frame's
# own limit), a normalised pivot within a few canvases of the frame.
_RANGES = {"x": limits.I32, "y": limits.I32, "w": limits.U16, "h": limits.U16, "frame": limits.I32}
PIVOT_RANGE = (-16.0, 16.0)


def _number(where: _Where, obj: Any, key: str, what: str, integer: bool = True) -> Any:
    missing = f"'{what}' has no {'whole ' if integer else ''}number '{key}'"
    if not isinstance(obj, dict) or key not in obj:
        raise where.fail(missing)
    try:
        if integer:
            return limits.finite_int(obj[key], *_RANGES.get(key, limits.I32), f"'{what}.{key}'")
        return float(limits.number(obj[key], *PIVOT_RANGE, f"'{what}.{key}'"))
    except OrvToolError as exc:
        raise where.fail(f"{missing}: {exc}") from None


def _rect(where: _Where, entry: Dict[str, Any], key: str, with_xy: bool = True) -> Tuple[int, int, int, int]:
    obj = entry.get(key)
    if not isinstance(obj, dict):
        raise where.fail(f"has no '{key}'")
    x = _number(where, obj, "x", key) if with_xy else 0
    y = _number(where, obj, "y", key) if with_xy else 0
    w, h = _number(where, obj, "w", key), _number(where, obj, "h", key)
    if w < 0 or h < 0:
        raise where.fail(f"'{key}' is {w}x{h}")
    return x, y, w, h


def _slice_pivots(where: _Where, meta: Dict[str, Any]) -> List[Tuple[int, int, int]]:
    """(first frame, origin x, origin y) of the first slice that has a pivot,
    its keys in frame order."""
    slices = meta.get("slices")
    for sl in slices if isinstance(slices, list) else []:
        if not isinstance(sl, dict) or not isinstance(sl.get("keys"), list):
            continue
        keys = [k for k in sl["keys"] if isinstance(k, dict) and isinstance(k.get("pivot"), dict)]
        if not keys:
            continue
        out = []
        for key in keys:
            where.frame = f"slice '{sl.get('name', '')}': "
            bx, by, _, _ = _rect(where, key, "bounds")
            px, py = _number(where, key["pivot"], "x", "pivot"), _number(where, key["pivot"], "y", "pivot")
            first = _number(where, key, "frame", "key") if "frame" in key else 0
            out.append((first, bx + px, by + py))
        where.frame = ""
        return sorted(out)
    return []


def read_sheet(path: str, anchor: Callable[[int, int], Tuple[int, int]]) -> Sheet:
    """The frames of a sprite sheet in the order of its JSON, placed (see the
    module's description). `anchor(w, h)` gives the offsets of a w x h
    source canvas's top-left corner when the sheet has no pivot."""
    where = _Where(path)
    doc = read_json(path)
    if not isinstance(doc, dict) or not isinstance(doc.get("frames"), (dict, list)):
        raise where.fail("is not a sprite sheet description: no 'frames' object or list")
    meta: Dict[str, Any] = doc["meta"] if isinstance(doc.get("meta"), dict) else {}
    image_name = meta.get("image")
    if not isinstance(image_name, str) or not image_name:
        raise where.fail("names no sheet image ('meta.image')")
    image_path = os.path.join(os.path.dirname(path), image_name)
    budget = limits.PixelBudget()
    try:
        with open_image(image_path, budget) as im:
            atlas = np.asarray(im.convert("RGBA"), dtype=np.uint8)
    except OrvToolError as exc:
        raise where.fail(f"its sheet image: {exc}") from None
    except (OSError, ValueError, SyntaxError, EOFError) as exc:
        raise where.fail(f"cannot read its sheet image {image_path}: {exc}") from None
    atlas_h, atlas_w = atlas.shape[:2]
    if isinstance(doc["frames"], dict):
        entries = list(doc["frames"].items())
    else:
        entries = [
            (e.get("filename", str(i)) if isinstance(e, dict) else str(i), e) for i, e in enumerate(doc["frames"])
        ]
    slices = _slice_pivots(where, meta)
    frames: List[SheetFrame] = []
    for i, (name, entry) in enumerate(entries):
        where.frame = f"frame {i} ('{name}'): "
        if not isinstance(entry, dict):
            raise where.fail("is not an object")
        fx, fy, fw, fh = _rect(where, entry, "frame")
        sx, sy, sw, sh = _rect(where, entry, "spriteSourceSize") if "spriteSourceSize" in entry else (0, 0, fw, fh)
        _, _, cw, ch = _rect(where, entry, "sourceSize", with_xy=False) if "sourceSize" in entry else (0, 0, sw, sh)
        rotated = entry.get("rotated") is True
        region_w, region_h = (sh, sw) if rotated else (sw, sh)
        if not rotated and (fw, fh) != (sw, sh):
            raise where.fail(f"'frame' is {fw}x{fh}, 'spriteSourceSize' {sw}x{sh}")
        if fx < 0 or fy < 0 or fx + region_w > atlas_w or fy + region_h > atlas_h:
            raise where.fail(
                f"its {region_w}x{region_h} rectangle at x {fx}, y {fy} reaches past the {atlas_w}x{atlas_h} sheet image"
            )
        budget.take(region_w, region_h, f"{path}: {where.frame}its rectangle")
        rgba = atlas[fy : fy + region_h, fx : fx + region_w]
        if rotated:
            rgba = np.rot90(rgba, k=1)
        if isinstance(entry.get("pivot"), dict):
            px = _number(where, entry["pivot"], "x", "pivot", integer=False)
            py = _number(where, entry["pivot"], "y", "pivot", integer=False)
            ox, oy, origin_from = int(round(px * cw)), int(round(py * ch)), "pivot"
        elif slices:
            keys = [k for k in slices if k[0] <= i] or slices[:1]
            _, ox, oy = keys[-1]
            origin_from = "slice"
        else:
            ax, ay = anchor(cw, ch)
            ox, oy, origin_from = -ax, -ay, "anchor"
        frames.append(SheetFrame(str(name), np.ascontiguousarray(rgba), sx - ox, sy - oy, origin_from))
    record = meta.get(RECORD_KEY) if isinstance(meta.get(RECORD_KEY), dict) else None
    return Sheet(path, frames, record)
