"""Sprite sheets: one atlas image and its JSON description, both ways.

Writing: the TexturePacker layout that game engines read, as a "hash"
(frames keyed by name) or an "array" (frames in a list, each with its
`filename`), frames always in frame order. Every frame is described on the
animation's one canvas (the union of its frame rectangles, see
`model.union_canvas`): `sourceSize` is the canvas, `spriteSourceSize` the
frame's rectangle on it, and `pivot` the animation's origin on the canvas,
normalised, the same for every frame. The raw offsets are kept under
"offset", and `meta.orvtool` carries the export's record of the animation
(the sidecar document), which pixels alone cannot hold: shadow frames, rows
of runs that are not the plain encoding, `frame_size`. An index sheet
(`meta.orvtoolIndices`), laid out as the atlas, holds each covered pixel's
palette index, as the export folder's index layers do.

`packed` places each frame trimmed on shelves, tallest first. `rows` (left
to right, N to a row) and `columns` (top to bottom) draw each frame
untrimmed, at its place in a cell the size of the canvas, so that an
editor's grid import keeps placement: the origin lies at the same point of
every cell (`meta.grid`).

Reading (`read_sheet`): the sheets that Aseprite (`--format json-hash` and
`json-array`) and TexturePacker (hash, array, PixiJS, Phaser 3's
`textures[].frames[]`) write, checked by `checks.check_sheet`. A frame's
pixels are its `frame` rectangle on its atlas, less Aseprite's inner
padding, turned back a quarter turn anticlockwise when `rotated`; its
rectangle on the source canvas is `spriteSourceSize` within `sourceSize`;
the origin on that canvas is the frame's `pivot` or `anchor` (normalised),
else a pivot of a slice in `meta.slices` (Aseprite; pixels relative to the
slice's bounds, a key applying from its frame on), else the caller's choice.
Aseprite's `meta.frameTags` and TexturePacker's `animations` name tags.
"""

from __future__ import annotations

import math
import os
import re
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple, Union, overload

import numpy as np
from numpy.typing import NDArray
from PIL import Image, ImageFile

from orvtool.formats.jsonfile import read_json
from orvtool.formats.reading import decoding, open_image_kept
from orvtool.formats.schema import SheetEntry, Where, parse_sheet, whole
from orvtool.formats.sidecar import parse_record
from orvtool.model import limits
from orvtool.model.errors import OrvToolError
from orvtool.model.limits import FRAME_OVERHEAD_PIXELS, I32, PIXEL_BUDGET, PIXEL_BUDGET_BYTES, Budget, pixels_fit
from orvtool.model.records import AnimationRecord, Canvas, union_canvas
from orvtool.report.status import Finding

APP_NAME = "orvtool"
LAYOUTS = ("packed", "rows", "columns")
JSON_FORMS = ("hash", "array")
RECORD_KEY = "orvtool"
INDEX_KEY = "orvtoolIndices"


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
    """Places rectangles in a grid of cells as large as the largest one (the
    canvas, when every rectangle is the canvas), in input order: `rows` fills each row left to right, `columns` fills each
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


@dataclass
class SheetLayout:
    """Where each frame goes on the atlas, and how it is described."""

    positions: List[Tuple[int, int]]  # top-left of each frame's described rectangle on the atlas
    size: Tuple[int, int]
    grid: bool  # frames drawn untrimmed in canvas-sized cells


def _layout(
    sizes: Sequence[Tuple[int, int]], canvas: Canvas, layout: str, columns: Optional[int], padding: int
) -> SheetLayout:
    if layout == "packed":
        positions, w, h = pack_shelves(sizes, padding)
        return SheetLayout(positions, (w, h), False)
    cells = [(canvas.width, canvas.height)] * len(sizes)
    positions, w, h = pack_grid(cells, layout, columns, padding)
    return SheetLayout(positions, (w, h), True)


def check_sheet_size(
    sizes: Sequence[Tuple[int, int]],
    offsets: Sequence[Tuple[int, int]],
    layout: str = "packed",
    columns: Optional[int] = None,
    padding: int = 1,
    indices: bool = False,
    held: int = 0,
) -> Tuple[int, int]:
    """The atlas's (width, height); refuses, before anything is drawn, a
    sheet whose atlas (with its index sheet, 2 bytes a pixel, when
    `indices`), the PNG files made of them (counted at their pixels' size,
    which zlib's output keeps near) and the descriptions of its frames would
    take more than the pixel budget beside the `held` pixels."""
    canvas = union_canvas([(x, y, w, h) for (w, h), (x, y) in zip(sizes, offsets, strict=True)])
    w, h = _layout(sizes, canvas, layout, columns, padding).size
    held += len(sizes) * FRAME_OVERHEAD_PIXELS
    if held + w * h > PIXEL_BUDGET and len(sizes) * FRAME_OVERHEAD_PIXELS > w * h:
        raise OrvToolError(
            f"the sheet: {len(sizes)} frames, each described at a cost of {FRAME_OVERHEAD_PIXELS} pixels, take "
            f"more than the {PIXEL_BUDGET_BYTES >> 20} MiB of images orvtool holds at once",
            category=limits.OVER_BUDGET,
        )
    index = (w * h + 1) // 2 if indices else 0
    pixels_fit(w, h, "the sheet", held=held + index + w * h + index)  # the images, and their PNG files
    return w, h


def grid_origin(canvas: Canvas) -> Tuple[int, int]:
    """The origin's position in a grid cell, from its top-left pixel."""
    return -canvas.left, -canvas.top


def _describe(
    canvas: Canvas, grid: bool, at: Tuple[int, int], rect: Tuple[int, int, int, int], offsets: Tuple[int, int]
) -> Dict[str, Any]:
    """A frame's entry: its rectangle on the atlas at `at` (the whole cell in
    a grid), its `rect` on the canvas, the origin as pivot."""
    sx, sy, w, h = (0, 0, canvas.width, canvas.height) if grid else rect
    return {
        "frame": {"x": at[0], "y": at[1], "w": w, "h": h},
        "rotated": False,
        "trimmed": (w, h) != (canvas.width, canvas.height),
        "spriteSourceSize": {"x": sx, "y": sy, "w": w, "h": h},
        "sourceSize": {"w": canvas.width, "h": canvas.height},
        "pivot": {"x": -canvas.left / canvas.width, "y": -canvas.top / canvas.height},
        "offset": {"x": offsets[0], "y": offsets[1]},
    }


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
    layers: Optional[Callable[[int], Tuple[NDArray[Any], NDArray[Any]]]] = None,
    index_name: Optional[str] = None,
) -> Tuple[Image.Image, Optional[Image.Image], Dict[str, Any]]:
    """The atlas image, the index sheet (when `layers(i)` gives each frame's
    (indices, covered)) and the TexturePacker document, frames in the order
    given: `frames(i)` gives the RGBA pixels of frame i, `sizes` the (width,
    height) of each; `record` goes to `meta.orvtool`."""
    if layout not in LAYOUTS:
        raise OrvToolError(f"unknown sheet layout '{layout}' (one of {', '.join(LAYOUTS)})", category="option_invalid")
    if form not in JSON_FORMS:
        raise OrvToolError(
            f"unknown sheet JSON form '{form}' (one of {', '.join(JSON_FORMS)})", category="option_invalid"
        )
    canvas = union_canvas([(x, y, w, h) for (w, h), (x, y) in zip(sizes, offsets, strict=True)])
    placed = _layout(sizes, canvas, layout, columns, padding)
    sheet_w, sheet_h = placed.size
    pixels_fit(sheet_w, sheet_h, "the sheet", held=(sheet_w * sheet_h + 1) // 2 if layers is not None else 0)
    atlas = np.zeros((sheet_h, sheet_w, 4), dtype=np.uint8)
    index = np.zeros((sheet_h, sheet_w, 2), dtype=np.uint8) if layers is not None else None
    described: List[Tuple[str, Dict[str, Any]]] = []
    for i, (name, (w, h), (px, py), (ox, oy)) in enumerate(zip(names, sizes, placed.positions, offsets, strict=True)):
        sx, sy = ox - canvas.left, oy - canvas.top
        dx, dy = (px + sx, py + sy) if placed.grid else (px, py)
        if w and h:
            atlas[dy : dy + h, dx : dx + w] = frames(i)
            if index is not None and layers is not None:
                indices, covered = layers(i)
                index[dy : dy + h, dx : dx + w, 0] = np.where(covered, indices, 0)
                index[dy : dy + h, dx : dx + w, 1] = np.where(covered, 255, 0)
        described.append((name, _describe(canvas, placed.grid, (px, py), (sx, sy, w, h), (ox, oy))))
    meta: Dict[str, Any] = {
        "app": APP_NAME,
        "version": version,
        "image": image_name,
        "format": "RGBA8888",
        "size": {"w": sheet_w, "h": sheet_h},
        "scale": "1",
    }
    if placed.grid:
        gx, gy = grid_origin(canvas)
        meta["grid"] = {"cell": {"w": canvas.width, "h": canvas.height}, "origin": {"x": gx, "y": gy}}
    if index is not None and index_name:
        meta[INDEX_KEY] = index_name
    if record is not None:
        meta[RECORD_KEY] = record
    frames_doc: Any
    if form == "hash":
        frames_doc = dict(described)
    else:
        frames_doc = [{"filename": name, **entry} for name, entry in described]
    # The images share the arrays' memory: the sheet is never held twice.
    index_image = Image.frombuffer("LA", (sheet_w, sheet_h), index, "raw", "LA", 0, 1) if index is not None else None
    return (
        Image.frombuffer("RGBA", (sheet_w, sheet_h), atlas, "raw", "RGBA", 0, 1),
        index_image,
        {"frames": frames_doc, "meta": meta},
    )


# --- reading -------------------------------------------------------------------------


@dataclass
class SheetFrame:
    name: str
    rgba: NDArray[Any]  # (h, w, 4)
    rect: Tuple[int, int]  # the frame's top-left on its source canvas
    source: Tuple[int, int]  # the source canvas's width and height
    origin: Optional[Tuple[float, float]]  # on the source canvas, when the sheet gives one
    origin_from: Optional[str]  # "pivot", "anchor" or "slice"
    layer: Optional[Tuple[NDArray[Any], NDArray[Any]]] = None  # from the index sheet
    has_alpha: bool = True
    duration: Optional[int] = None  # milliseconds, when the sheet gives one (Aseprite)


@dataclass
class Sheet:
    path: str
    frames: List[SheetFrame]
    record: Optional[AnimationRecord]  # meta.orvtool, when the sheet carries one
    tags: Dict[str, Sequence[int]] = field(default_factory=dict)  # tag name: frame numbers in order
    unclear: Dict[str, str] = field(default_factory=dict)  # tags whose frames cannot be told: why
    notes: List[Finding] = field(default_factory=list)
    app: str = ""


def _slice_pivots(where: Where, meta: Dict[str, Any]) -> List[Tuple[int, int, int]]:
    """(first frame, origin x, origin y) of the first slice that has a pivot,
    its keys in frame order."""
    slices = meta.get("slices")
    for sl in slices if isinstance(slices, list) else []:
        if not isinstance(sl, dict) or not isinstance(sl.get("keys"), list):
            continue
        keys = [k for k in sl.get("keys") or [] if isinstance(k, dict) and isinstance(k.get("pivot"), dict)]
        out = []
        for key in keys:
            at = where.at(f"slice '{sl.get('name', '')}'")
            bx, by = (whole(at, key.get("bounds"), k, I32, what="bounds") for k in ("x", "y"))
            px, py = (whole(at, key["pivot"], k, I32, what="pivot") for k in ("x", "y"))
            first = whole(at, key, "frame", I32, what="key") if "frame" in key else 0
            out.append((first, bx + px, by + py))
        if out:
            return sorted(out)
    return []


# Aseprite names a frame "{title} {frame}" (and an extension, when it writes
# one): in an atlas of several sprites, a tag's `from` and `to` count the
# frames of its own sprite.
SPRITE_FRAME = re.compile(r"^(?P<title>.+?) (?P<frame>\d+)(?:\.[A-Za-z0-9]+)?$")


class TagFrames(Sequence[int]):
    """A frame tag's frames in the order its direction plays them, each made
    when it is asked for: a tag costs the same whatever its length, so that
    many tags over many frames cost their number, not tags x frames. With
    `atlas`, the tag counts a sprite's own frames, which `atlas` maps to
    frames of the atlas."""

    def __init__(self, first: int, last: int, direction: str = "forward", atlas: Optional[Dict[int, int]] = None):
        self.first, self.last, self.atlas = first, last, atlas
        self.reverse = direction in ("reverse", "pingpong_reverse")
        self.pingpong = direction in ("pingpong", "pingpong_reverse")
        self.span = max(last - first + 1, 0)

    def __len__(self) -> int:
        return self.span + (max(self.span - 2, 0) if self.pingpong else 0)

    def _at(self, k: int) -> int:
        j = k if k < self.span else 2 * self.span - 2 - k  # back again, without the ends
        n = self.last - j if self.reverse else self.first + j
        return n if self.atlas is None else self.atlas[n]

    @overload
    def __getitem__(self, k: int) -> int: ...
    @overload
    def __getitem__(self, k: slice) -> List[int]: ...
    def __getitem__(self, k: Union[int, slice]) -> Union[int, List[int]]:
        if isinstance(k, slice):
            return [self._at(i) for i in range(*k.indices(len(self)))]
        if k < 0:
            k += len(self)
        if not 0 <= k < len(self):
            raise IndexError("tag frame out of range")
        return self._at(k)

    def __iter__(self) -> Iterator[int]:
        return (self._at(k) for k in range(len(self)))

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Sequence) and not isinstance(other, (str, bytes)):
            return len(self) == len(other) and all(a == b for a, b in zip(self, other, strict=True))
        return NotImplemented

    def __hash__(self) -> int:
        return hash((self.first, self.last, self.reverse, self.pingpong, id(self.atlas)))

    def __repr__(self) -> str:
        return f"TagFrames({list(self) if len(self) <= 16 else f'{len(self)} frames'})"


# Aseprite names a frame "{title} {frame}" (and an extension, when it writes
# one): in an atlas of several sprites, a tag's `from` and `to` count the
# frames of its own sprite.
SPRITE_FRAME = re.compile(r"^(?P<title>.+?) (?P<frame>\d+)(?:\.[A-Za-z0-9]+)?$")


class _Sprites:
    """The sprites of an Aseprite atlas by title: each one's frame numbers and
    where those frames are in the atlas, with the runs of numbers each sprite
    has and of atlas frames each title names, so that a tag is told in a time
    that does not grow with its length. Empty when a name does not follow the
    "{title} {frame}" form, or the atlas holds one sprite."""

    def __init__(self, names: List[str]):
        self.frames: Dict[str, Dict[int, int]] = {}
        self.titles: List[str] = []
        for i, name in enumerate(names):
            found = SPRITE_FRAME.match(name)
            if found is None:
                self.frames = {}
                return
            self.titles.append(found["title"])
            self.frames.setdefault(found["title"], {}).setdefault(int(found["frame"]), i)
        if len(self.frames) < 2:
            self.frames = {}
            return
        # For atlas frame i: the last atlas frame of the run of i's title.
        self.title_end = list(range(len(names)))
        for i in range(len(names) - 2, -1, -1):
            if self.titles[i] == self.titles[i + 1]:
                self.title_end[i] = self.title_end[i + 1]
        # For each sprite's frame number n: the first and last of its run of numbers.
        self.runs: Dict[str, Tuple[Dict[int, int], Dict[int, int]]] = {}
        for title, frames in self.frames.items():
            start: Dict[int, int] = {}
            end: Dict[int, int] = {}
            for n in sorted(frames):
                start[n] = start.get(n - 1, n)
            for n in sorted(frames, reverse=True):
                end[n] = end.get(n + 1, n)
            self.runs[title] = (start, end)

    def __bool__(self) -> bool:
        return bool(self.frames)

    def sprite_of(self, tag: str) -> Optional[str]:
        """The sprite a tag belongs to, by its name: the longest title that the
        name is, or starts with before a separator ("backpacker-walkRight")."""
        for cut in range(len(tag), 0, -1):
            if (cut == len(tag) or not tag[cut].isalnum()) and tag[:cut] in self.frames:
                return tag[:cut]
        return None

    def missing(self, sprite: str, first: int, last: int, reverse: bool) -> Optional[int]:
        """The first frame number of first..last, in the order played, that the
        sprite lacks; None when it has them all."""
        frames = self.frames[sprite]
        start, end = self.runs[sprite]
        if first > last:
            return None
        if reverse:
            gap = last if last not in frames else start[last] - 1
            return gap if gap >= first else None
        gap = first if first not in frames else end[first] + 1
        return gap if gap <= last else None

    def all_named(self, sprite: str, first: int, last: int) -> bool:
        """Whether atlas frames first..last are all named for the sprite."""
        return first > last or (self.titles[first] == sprite and self.title_end[first] >= last)


def _tag_frames(tag: Dict[str, Any], sprites: _Sprites) -> Tuple[Sequence[int], str]:
    """A frame tag's frames in the atlas, in the order its direction plays
    them; or no frames and why they cannot be told. Where the sprite lacks a
    frame the tag counts but the atlas's own frames from..to are all the
    sprite's (frames named "{tag} {tagframe}"), those are the tag's."""
    first, last = int(tag["from"]), int(tag["to"])
    direction = tag.get("direction", "forward")
    order = TagFrames(first, last, direction)
    if not sprites:
        return order, ""
    sprite = sprites.sprite_of(tag["name"])
    if sprite is None:
        titles = sorted(sprites.frames)
        listed = ", ".join(titles[:5]) + (f" and {len(titles) - 5} more" if len(titles) > 5 else "")
        return [], (
            f"the atlas holds {len(titles)} sprites ({listed}), whose frames a tag counts from 0 each, and the "
            "tag's name does not say whose it is"
        )
    missing = sprites.missing(sprite, first, last, order.reverse)
    if missing is not None and sprites.all_named(sprite, first, last):
        return order, ""
    if missing is not None:
        return [], f"frame {missing} of sprite '{sprite}' is not in the atlas"
    return TagFrames(first, last, direction, sprites.frames[sprite]), ""


def _tags(doc: Dict[str, Any], names: List[str], where: Where) -> Tuple[Dict[str, Sequence[int]], Dict[str, str]]:
    """Aseprite's frame tags (with their direction) and TexturePacker's
    animations; and the tags whose frames cannot be told, with why."""
    tags: Dict[str, Sequence[int]] = {}
    unclear: Dict[str, str] = {}
    sprites = _Sprites(names)
    for tag in (doc.get("meta") or {}).get("frameTags") or []:
        tags[tag["name"]], why = _tag_frames(tag, sprites)
        if why:
            unclear[tag["name"]] = why
    by_name = {n: i for i, n in reversed(list(enumerate(names)))}
    for name, frames in (doc.get("animations") or {}).items():
        missing = [f for f in frames if f not in by_name]
        if missing:
            raise where.fail(f"animation '{name}' names frame '{missing[0]}', which the sheet does not have")
        tags[name] = [by_name[f] for f in frames]
    return tags, unclear


class _Atlas:
    """One atlas image, decoded once and kept in its own mode (a byte a pixel
    for a paletted or grey image): each frame's rectangle is cut from it and
    made RGBA on its own, so that the atlas is never held as RGBA."""

    def __init__(self, image: Image.Image, alpha: bool):
        self.image = image
        self.alpha = alpha
        self.size: Tuple[int, int] = image.size

    def pixels(self, x: int, y: int, w: int, h: int, mode: str = "RGBA") -> NDArray[Any]:
        """The (h, w, channels) pixels of a rectangle within the atlas, as `mode`."""
        part = self.image.crop((x, y, x + w, y + h))
        made = part if part.mode == mode else part.convert(mode)
        return np.array(made, dtype=np.uint8).reshape(h, w, len(mode))

    def visible(self, top: int, bottom: int) -> NDArray[Any]:
        """Which pixels of the rows top..bottom are not fully transparent."""
        visible: NDArray[Any] = self.pixels(0, top, self.size[0], bottom - top)[:, :, 3] != 0
        return visible


class _Atlases:
    """The atlas images of a sheet, read once each, and whether they have alpha.
    An image the document does not name, or names where it is not (written on
    another machine), is looked for beside the JSON (see `_image_path`)."""

    def __init__(
        self, path: str, doc: Dict[str, Any], where: Where, image: Optional[str] = None, budget: Optional[Budget] = None
    ):
        self.path = path
        self.folder = os.path.dirname(path)
        self.where = where
        textures = doc.get("textures") if "frames" not in doc else None
        meta = doc.get("meta") if isinstance(doc.get("meta"), dict) else {}
        sources = textures if isinstance(textures, list) else [meta]
        self.names = [t.get("image") if isinstance(t, dict) else None for t in sources]
        if image is not None and len(self.names) > 1:
            raise where.fail(f"--image: the sheet has {len(self.names)} images, each named by its texture")
        self.image = image
        self.read: Dict[int, _Atlas] = {}
        self.budget = budget or Budget()  # the atlases and every frame's rectangle
        self.notes: List[Finding] = []

    def _image_path(self, texture: int) -> str:
        """--image; else the image the document names, relative to the JSON;
        else, when it names none, the JSON's own name ending in .png, and when
        the one it names is not there, that name's last part, beside the JSON."""
        if self.image is not None:
            return self.image
        name = self.names[texture]
        what = f"texture {texture}: 'image'" if len(self.names) > 1 or texture else "'meta.image'"
        if isinstance(name, str) and name:
            path = os.path.join(self.folder, name)
            beside = os.path.join(self.folder, re.split(r"[/\\]", name)[-1])
            if os.path.lexists(path) or not os.path.lexists(beside):
                return path
            said = f"{what} names {name}, which is not there: read {os.path.basename(beside)} beside the JSON"
        else:
            beside = os.path.splitext(self.path)[0] + ".png"
            if not os.path.lexists(beside):
                raise self.where.fail(f"names no sheet image ({what}), and {beside} is missing: name it with --image")
            said = f"{what} is missing: read {os.path.basename(beside)} beside the JSON (--image names another)"
        self.notes.append(Finding("sheet_image_beside", said))
        return beside

    def get(self, texture: int, entries: Sequence[SheetEntry]) -> _Atlas:
        if texture not in self.read:
            path = self._image_path(texture)
            self.read[texture] = read_atlas(path, self.where, self.budget, _rows_needed(entries, texture))
        return self.read[texture]


def _outside_frames(atlases: _Atlases, entries: Sequence[SheetEntry]) -> List[Finding]:
    """A note for each atlas with alpha that has visible pixels outside every
    frame rectangle the document lists: no frame takes them. The atlas is
    looked at a band of rows at a time."""
    notes: List[Finding] = []
    for texture, atlas in sorted(atlases.read.items()):
        if not atlas.alpha:
            continue  # without alpha, every pixel is visible: the gaps too
        width, height = atlas.size
        rows = _band_rows(width, height)
        atlases.budget.fits(_band_bytes(width, height), atlases.where.path, "the bands of its image")
        bands: List[List[Tuple[int, int, int, int]]] = [[] for _ in range(-(-height // rows))]
        for e in entries:
            w, h = (e.frame.h, e.frame.w) if e.rotated else (e.frame.w, e.frame.h)  # as it lies on the atlas
            if e.texture != texture:
                continue
            top, bottom = max(e.frame.y, 0), min(max(e.frame.y + h, 0), height)
            for band in range(top // rows, -(-bottom // rows)):
                bands[band].append((max(e.frame.x, 0), top, max(e.frame.x + w, 0), bottom))
        count, first = 0, None
        for band, rects in enumerate(bands):
            y0 = band * rows
            outside = atlas.visible(y0, min(y0 + rows, height))
            for x0, top, x1, bottom in rects:
                outside[max(top - y0, 0) : max(bottom - y0, 0), x0:x1] = False
            found = int(np.count_nonzero(outside))
            if found and first is None:
                y, x = divmod(int(np.argmax(outside)), width)
                first = (x, y0 + y)
            count += found
        if count and first is not None:
            image = f"texture {texture}'s image" if len(atlases.names) > 1 else "the sheet image"
            notes.append(
                Finding(
                    "pixels_outside_frames",
                    f"{image} has {count} visible {'pixel' if count == 1 else 'pixels'} outside every frame the "
                    f"document lists (the first at x {first[0]}, y {first[1]}): no frame takes them",
                )
            )
    return notes


def has_alpha(im: Image.Image) -> bool:
    """Whether an image says which pixels are transparent: an alpha channel,
    or a transparent colour (PNG tRNS, GIF transparency)."""
    return im.mode in ("RGBA", "LA", "PA", "RGBa", "La") or "transparency" in im.info


# A budget that refuses nothing: an image opened to be charged by rows.
UNCHARGED = 1 << 62


def load_rows(im: Image.Image, rows: int) -> None:
    """Decodes the first `rows` rows of an opened image, which is then that
    tall: only where the image is a PNG that is not interlaced and is decoded
    in one piece (every row after the last one needed is never decoded);
    any other image is decoded whole."""
    tiles = list(im.tile) if isinstance(im, ImageFile.ImageFile) else []
    whole = (0, 0, im.width, im.height)
    if (
        isinstance(im, ImageFile.ImageFile)
        and rows < im.height
        and im.format == "PNG"
        and not im.info.get("interlace")
        and len(tiles) == 1
        and tiles[0][1] is not None
        and tuple(tiles[0][1]) == whole
    ):
        tile: Any = tiles[0]
        parts: Any = (tile[0], (0, 0, im.width, rows), *tuple(tile)[2:])
        im.tile = [type(tile)(*parts) if hasattr(tile, "_fields") else parts]  # a named tuple from Pillow 11 on
        im._size = (im.width, rows)
    im.load()


def _band_rows(width: int, height: int) -> int:
    """The rows of an atlas looked at together for pixels outside the frames."""
    return max(1, min(height, limits.BAND_BYTES // max(width * limits.RGBA_BYTES, 1)))


def _band_bytes(width: int, height: int) -> int:
    """What a band of an atlas holds while it is looked at: cut, made RGBA."""
    return _band_rows(width, height) * width * (limits.CONVERT_BYTES + limits.WIDE_DECODED_BYTES)


def _decoded_rows(budget: Budget, path: str, im: Image.Image, rows: int, then: int = 0) -> None:
    """Charges `budget` with `rows` rows of an image, decoded (and, for a
    moment after, `then` bytes more), and decodes them."""
    w, h = im.size
    rows = max(min(rows, h), min(h, 1))
    decoded = limits.decoded_bytes(im.mode)
    part = f"{w}x{rows} pixels of its {w}x{h}" if rows < h else f"{w}x{h} pixels"
    what = f"its {part}, decoded ({decoded} {'byte' if decoded == 1 else 'bytes'} a pixel),"
    budget.fits(w * rows * decoded + then, path, what + (" and looked at a band at a time," if then else ""))
    budget.charge(w * rows * decoded, path, what)
    load_rows(im, rows)


def read_atlas(path: str, where: Where, budget: Optional[Budget] = None, rows: Optional[int] = None) -> _Atlas:
    """A sheet image, decoded and kept in its own mode, charged to `budget`
    (its pixels as decoded) before it is decoded. Of an image without alpha
    (which has nothing outside the frames to look for), only the first `rows`
    rows are decoded, where `load_rows` can."""
    if not os.path.lexists(path):
        raise where.fail(f"its sheet image {path} is missing", "source_missing")
    try:
        im = open_image_kept(path, Budget(UNCHARGED), kept=None)  # charged as it is decoded
        try:
            alpha = has_alpha(im)
            width, height = im.size
            whole = alpha or rows is None
            then = _band_bytes(width, height) if alpha else 0  # the pixels outside the frames, looked for
            with decoding(path):
                _decoded_rows(budget or Budget(), path, im, height if whole or rows is None else rows, then)
        except BaseException:
            im.close()
            raise
        atlas = _Atlas(im, alpha)
        atlas.size = (width, height)
        return atlas
    except OrvToolError as exc:
        raise where.fail(f"its sheet image: {exc.text}", exc.category) from None


def _rows_needed(entries: Sequence[SheetEntry], texture: int) -> int:
    """The rows of an atlas that its frames reach down to."""
    return max(
        (max(e.frame.y + (e.frame.w if e.rotated else e.frame.h), 0) for e in entries if e.texture == texture),
        default=0,
    )


def _frame_box(where: Where, size: Tuple[int, int], entry: SheetEntry) -> Tuple[int, int, int, int]:
    """The rectangle (x, y, w, h) a frame takes on its atlas of `size`; refused
    when it reaches past it."""
    fx, fy, fw, fh = entry.frame.x, entry.frame.y, entry.frame.w, entry.frame.h
    region_w, region_h = (fh, fw) if entry.rotated else (fw, fh)
    atlas_w, atlas_h = size
    if fx < 0 or fy < 0 or fx + region_w > atlas_w or fy + region_h > atlas_h:
        raise where.fail(
            f"its {region_w}x{region_h} rectangle at x {fx}, y {fy} reaches past the {atlas_w}x{atlas_h} sheet image"
        )
    return fx, fy, region_w, region_h


def _cut(
    where: Where, size: Tuple[int, int], entry: SheetEntry, cut: Callable[[int, int, int, int], NDArray[Any]]
) -> Tuple[NDArray[Any], Tuple[int, int, int, int]]:
    fw, fh = entry.frame.w, entry.frame.h
    sss = entry.sprite
    sx, sy, sw, sh = (sss.x, sss.y, sss.w, sss.h) if sss else (0, 0, fw, fh)
    rgba = cut(*_frame_box(where, size, entry))
    if entry.rotated:
        rgba = np.rot90(rgba, k=1)
    h, w = rgba.shape[:2]
    if (w, h) != (sw, sh):
        pad_x, pad_y = w - sw, h - sh
        if pad_x != pad_y or pad_x < 0 or pad_x % 2:
            raise where.fail(f"'frame' is {fw}x{fh}, 'spriteSourceSize' {sw}x{sh}")
        p = pad_x // 2  # inner padding, on every side
        rgba = rgba[p : p + sh, p : p + sw]
    return rgba, (sx, sy, sw, sh)


def _origin(
    entry: SheetEntry, source: Tuple[int, int], slices: List[Tuple[int, int, int]], i: int
) -> Tuple[Optional[Tuple[float, float]], Optional[str]]:
    if entry.pivot is not None:
        px, py = entry.pivot
        return (px * source[0], py * source[1]), entry.pivot_key
    if slices:
        keys = [k for k in slices if k[0] <= i] or slices[:1]
        return (float(keys[-1][1]), float(keys[-1][2])), "slice"
    return None, None


def _index_atlas(atlases: _Atlases, meta: Dict[str, Any], where: Where, rows: int) -> Optional[_Atlas]:
    """The index sheet that `meta.orvtoolIndices` names, kept decoded (grey and
    alpha) as far down as `rows`; None when there is none, or it is not grey
    and alpha."""
    name = meta.get(INDEX_KEY)
    if not isinstance(name, str) or not os.path.isfile(os.path.join(atlases.folder, name)):
        return None
    path = os.path.join(atlases.folder, name)
    try:
        im = open_image_kept(path, Budget(UNCHARGED), kept=None)  # charged as it is decoded
        if im.mode != "LA":
            im.close()
            return None
        size = im.size
        try:
            with decoding(path):
                _decoded_rows(atlases.budget, path, im, min(rows, size[1]))
        except BaseException:
            im.close()
            raise
        atlas = _Atlas(im, True)
        atlas.size = size
        return atlas
    except OrvToolError as exc:
        raise where.fail(f"its index sheet: {exc.text}", exc.category) from None


def read_sheet(path: str, image: Optional[str] = None, budget: Optional[Budget] = None) -> Sheet:
    """The frames of a sprite sheet in the order of its JSON (see the module's
    description); `image` names its atlas image instead of the document.
    What it holds is charged to `budget`: each atlas as decoded, before it is
    decoded, and each frame's pixels."""
    where = Where(path)
    doc = read_json(path)
    entries, notes = parse_sheet(doc, where)
    meta: Dict[str, Any] = doc["meta"] if isinstance(doc.get("meta"), dict) else {}
    atlases = _Atlases(path, doc, where, image, budget)
    index_atlas = _index_atlas(
        atlases, meta, where, max((_rows_needed(entries, t) for t in range(len(atlases.names))), default=0)
    )
    slices = _slice_pivots(where, meta)
    frames: List[SheetFrame] = []
    for i, entry in enumerate(entries):
        name = entry.name
        at = where.at(f"frame {i} ('{name}')")
        atlas = atlases.get(entry.texture, entries)
        _, _, region_w, region_h = _frame_box(at, atlas.size, entry)
        atlases.budget.pixels(
            region_w,
            region_h,
            path,
            limits.RGBA_BYTES + (limits.LAYER_BYTES if index_atlas else 0),
            what=f"frame {i} ('{name}'): its {region_w}x{region_h} pixels",
        )
        with atlases.budget.holding(
            region_w * region_h * (limits.CONVERT_BYTES + limits.WIDE_DECODED_BYTES), path, f"frame {i}: its pixels"
        ):
            rgba, (sx, sy, sw, sh) = _cut(at, atlas.size, entry, atlas.pixels)
        source = entry.source or (sw, sh)
        origin, origin_from = _origin(entry, source, slices, i)
        layer = None
        if index_atlas is not None and index_atlas.size == atlas.size:
            la, _ = _cut(at, index_atlas.size, entry, lambda x, y, w, h: index_atlas.pixels(x, y, w, h, "LA"))
            layer = (np.ascontiguousarray(la[:, :, 0]), la[:, :, 1] != 0)
        frames.append(
            SheetFrame(
                name,
                np.ascontiguousarray(rgba),
                (sx, sy),
                source,
                origin,
                origin_from,
                layer,
                atlas.alpha,
                entry.duration,
            )
        )
    record = None
    if isinstance(meta.get(RECORD_KEY), dict):
        record, record_notes = parse_record(meta[RECORD_KEY], where.at(f"meta.{RECORD_KEY}"))
        notes += record_notes
    tags, unclear = _tags(doc, [f.name for f in frames], where)
    notes += atlases.notes + _outside_frames(atlases, entries)
    for atlas in [*atlases.read.values(), *([index_atlas] if index_atlas else [])]:
        atlas.image.close()
    return Sheet(path, frames, record, tags, unclear, notes, str(meta.get("app", "")))
