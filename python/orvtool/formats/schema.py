"""The shape of every JSON document a build reads, checked in one place.

The checkers of a sprite sheet's description (`check_sheet`) and of a JSON
palette (`check_json_palette`), and the conversions every parser uses
(`whole`, `fraction`); the export's record is parsed by `sidecar.parse_record`. Each refuses a key that the build needs when it is
missing or of the wrong type, naming the file, the frame and the key, and
says which keys it does not know. The tables below are the schema: a key's
kind, and for numbers the range the file format can hold.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence, Tuple

from orvtool.model.errors import OrvToolError
from orvtool.model.limits import I32, U16
from orvtool.report.status import Finding


class Where:
    """The file, and the part of it, that a refusal names, and the category
    of a refusal of its shape (a sheet's, a sidecar's, a palette's)."""

    def __init__(self, path: str, part: str = "", category: str = "sheet_invalid"):
        self.path = path
        self.part = part
        self.category = category

    def at(self, part: str) -> "Where":
        return Where(self.path, part, self.category)

    def fail(self, message: str, category: Optional[str] = None) -> OrvToolError:
        """The refusal, of this document's category unless another is given."""
        return OrvToolError(": ".join([p for p in (self.part, message) if p]), self.path, category or self.category)


def whole(where: Where, obj: Any, key: str, limits: Optional[Tuple[int, int]] = None, what: str = "") -> int:
    """obj[key] as a whole number (a JSON number without a fraction: 48.0 is 48)."""
    name = f"'{what}.{key}'" if what else f"'{key}'"
    if not isinstance(obj, dict) or key not in obj:
        raise where.fail(f"{name} is missing")
    return whole_value(where, obj[key], name, limits)


def whole_value(where: Where, value: Any, name: str, limits: Optional[Tuple[int, int]] = None) -> int:
    """A JSON value as a whole number within `limits`, refused naming `name`."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise where.fail(f"{name} is {shown(value)}, not a number")
    # A JSON integer may be far beyond any float: it is never made one.
    if isinstance(value, float) and (not math.isfinite(value) or not value.is_integer()):
        raise where.fail(f"{name} is {shown(value)}, not a whole number")
    number = int(value)
    if limits is not None and not limits[0] <= number <= limits[1]:
        raise where.fail(f"{name} is {shown(number)}, not a number from {limits[0]} to {limits[1]}")
    return number


def shown(value: Any) -> str:
    """A value as a message shows it: numbers of any size cut short."""
    if isinstance(value, int) and not isinstance(value, bool) and abs(value) >= 10**30:
        return f"a number of {len(str(abs(value)))} digits" if abs(value) < 10**4000 else "a number too large"
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def fraction(where: Where, obj: Any, key: str, what: str) -> float:
    value = obj.get(key) if isinstance(obj, dict) else None
    # A JSON integer may be far beyond any float.
    if isinstance(value, bool) or not isinstance(value, (int, float)) or abs(value) > 1e15 or value != value:
        raise where.fail(f"'{what}.{key}' is {shown(value)}, not a number")
    return float(value)


def unknown_keys(names: Dict[str, List[str]], known: Sequence[str], entries: Any, label: str) -> List[Finding]:
    """One note naming the keys of `entries` (name, dict) that are not in `known`."""
    for name, entry in entries:
        if isinstance(entry, dict):
            for key in entry:
                if key not in known:
                    names.setdefault(key, []).append(name)
    if not names:
        return []
    listed = ", ".join(f"'{k}' ({len(v)} frames, first '{v[0]}')" for k, v in sorted(names.items()))
    return [Finding("keys_not_read", f"{label}: keys not read: {listed}")]


# --- sprite sheets ---------------------------------------------------------------------

# The frame-level keys of the sheet formats read: Aseprite (json-hash, json-array),
# TexturePacker (JSON hash and array, PixiJS, Phaser 3) and orvtool's own.
SHEET_FRAME_KEYS = (
    "filename",
    "frame",
    "rotated",
    "trimmed",
    "spriteSourceSize",
    "sourceSize",
    "pivot",
    "anchor",
    "duration",
    "offset",
    "borders",
    "vertices",
    "verticesUV",
    "triangles",
)
RECT = ("x", "y", "w", "h")
SIZE = ("w", "h")
POINT = ("x", "y")


def sheet_entries(doc: Any, where: Where) -> List[Tuple[str, Any, int]]:
    """(name, frame entry, texture) of every frame of a sheet description, in
    its order: `frames` as an object (hash) or a list (array), or Phaser 3's
    `textures[].frames[]` (texture is the index into `textures`, else 0)."""
    if isinstance(doc, dict) and isinstance(doc.get("textures"), list) and "frames" not in doc:
        out: List[Tuple[str, Any, int]] = []
        for t, texture in enumerate(doc["textures"]):
            frames = texture.get("frames") if isinstance(texture, dict) else None
            if not isinstance(frames, list):
                raise where.at(f"texture {t}").fail("'frames' is not a list")
            out += [(_entry_name(e, len(out) + k), e, t) for k, e in enumerate(frames)]
        return out
    if not isinstance(doc, dict) or not isinstance(doc.get("frames"), (dict, list)):
        raise where.fail("is not a sprite sheet description: no 'frames' object or list, no 'textures' list")
    if isinstance(doc["frames"], dict):
        return [(str(name), entry, 0) for name, entry in doc["frames"].items()]
    return [(_entry_name(e, i), e, 0) for i, e in enumerate(doc["frames"])]


def _entry_name(entry: Any, i: int) -> str:
    name = entry.get("filename") if isinstance(entry, dict) else None
    return name if isinstance(name, str) else str(i)


# Positions on a sheet or canvas are 32-bit, sizes 16-bit (a frame's own
# limit), a normalised pivot within a few canvases of the frame.
BOX_RANGES = {"x": I32, "y": I32, "w": U16, "h": U16}
PIVOT_RANGE = (-16.0, 16.0)
DURATION = (0, 0xFFFFFFFF)  # milliseconds


@dataclass(frozen=True)
class Box:
    x: int
    y: int
    w: int
    h: int


@dataclass(frozen=True)
class SheetEntry:
    """One frame of a sprite sheet as its description gives it, every number
    converted: its rectangle on its atlas image (`texture`), how it lies
    there, its rectangle on the source canvas and that canvas's size, the
    origin it names (normalised, by `pivot` or `anchor`) and its duration."""

    name: str
    texture: int
    frame: Box
    rotated: bool = False
    sprite: Optional[Box] = None  # spriteSourceSize
    source: Optional[Tuple[int, int]] = None  # sourceSize
    pivot: Optional[Tuple[float, float]] = None
    pivot_key: Optional[str] = None  # "pivot" or "anchor"
    duration: Optional[int] = None  # milliseconds


def _box(where: Where, entry: Dict[str, Any], key: str, fields: Sequence[str]) -> Tuple[int, ...]:
    box = entry.get(key)
    if not isinstance(box, dict):
        raise where.fail(f"'{key}' is missing" if key not in entry else f"'{key}' is not an object")
    return tuple(whole(where, box, f, BOX_RANGES[f], what=key) for f in fields)


def _point(where: Where, entry: Dict[str, Any], key: str) -> Tuple[float, float]:
    box = entry.get(key)
    if not isinstance(box, dict):
        raise where.fail(f"'{key}' is not an object")
    values = []
    for f in POINT:
        value = fraction(where, box, f, key)
        if not PIVOT_RANGE[0] <= value <= PIVOT_RANGE[1]:
            raise where.fail(f"'{key}.{f}' is {shown(value)}, not within {PIVOT_RANGE[0]:g} to {PIVOT_RANGE[1]:g}")
        values.append(value)
    return values[0], values[1]


def parse_sheet_frame(where: Where, name: str, texture: int, entry: Any) -> SheetEntry:
    """A frame entry: `frame` always; `spriteSourceSize` and `sourceSize` when
    it is trimmed; the optional keys of the right type when present."""
    if not isinstance(entry, dict):
        raise where.fail("is not an object")
    frame = Box(*_box(where, entry, "frame", RECT))
    for key in ("trimmed", "rotated"):
        if key in entry and not isinstance(entry[key], bool):
            raise where.fail(f"'{key}' is {entry[key]!r}, not true or false")
    trimmed, rotated = entry.get("trimmed") is True, entry.get("rotated") is True
    sprite = Box(*_box(where, entry, "spriteSourceSize", RECT)) if "spriteSourceSize" in entry or trimmed else None
    size = _box(where, entry, "sourceSize", SIZE) if "sourceSize" in entry or trimmed else None
    source = (size[0], size[1]) if size else None
    pivot_key = next((k for k in ("pivot", "anchor") if k in entry), None)
    for key in ("pivot", "anchor"):
        if key in entry:
            _point(where, entry, key)
    pivot = _point(where, entry, pivot_key) if pivot_key else None
    duration = whole(where, entry, "duration", DURATION) if "duration" in entry else None
    if sprite is None and source is not None:
        drawn = (frame.h, frame.w) if rotated else (frame.w, frame.h)
        if drawn != source:  # trimmed, whatever 'trimmed' says
            raise where.fail(
                f"'spriteSourceSize' is missing, and the {drawn[0]}x{drawn[1]} frame is not its "
                f"{source[0]}x{source[1]} 'sourceSize'"
            )
    return SheetEntry(name, texture, frame, rotated, sprite, source, pivot, pivot_key, duration)


def _one_tag(names: Dict[str, str], name: str, at: str, where: Where) -> None:
    """Refuses a tag name given twice: the second would replace the first."""
    if name in names:
        raise where.fail(f"{at}: the tag '{name}' is named twice (first at {names[name]})")
    names[name] = at


def parse_sheet(doc: Any, where: Where) -> Tuple[List[SheetEntry], List[Finding]]:
    """The frames of a sheet description, refused where they lack what a
    build needs, and the notes (keys not read)."""
    entries = sheet_entries(doc, where)
    parsed = [
        parse_sheet_frame(where.at(f"frame {i} ('{name}')"), name, texture, entry)
        for i, (name, entry, texture) in enumerate(entries)
    ]
    meta = doc.get("meta") if isinstance(doc, dict) else None
    if meta is not None and not isinstance(meta, dict):
        raise where.fail("'meta' is not an object")
    tags = (meta or {}).get("frameTags")
    if tags is not None and not isinstance(tags, list):
        raise where.fail(f"'meta.frameTags' is {shown(tags)}, not a list of tags")
    names: Dict[str, str] = {}
    for i, tag in enumerate(tags or []):
        at = where.at(f"meta.frameTags[{i}]")
        if not isinstance(tag, dict) or not isinstance(tag.get("name"), str):
            raise at.fail("has no 'name'")
        whole(at, tag, "from", (0, len(entries) - 1))
        whole(at, tag, "to", (0, len(entries) - 1))
        _one_tag(names, tag["name"], f"meta.frameTags[{i}]", where)
    animations = doc.get("animations") if isinstance(doc, dict) else None
    if animations is not None and not (
        isinstance(animations, dict)
        and all(isinstance(v, list) and all(isinstance(n, str) for n in v) for v in animations.values())
    ):
        raise where.fail("'animations' is not an object of frame name lists")
    for name in animations or {}:
        _one_tag(names, name, f"animations['{name}']", where)
    return parsed, unknown_keys({}, SHEET_FRAME_KEYS, [(n, e) for n, e, _ in entries], f"{where.path}: frames")


# --- JSON palettes ----------------------------------------------------------------------


def check_json_palette(doc: Any, where: Where, entries: Tuple[int, int] = (1, 256)) -> None:
    """A JSON palette (orvtool's, or the colours of a sidecar's palette file,
    which may hold 0 to 65535 `entries`): a 'colors' list of [r, g, b, a] of
    0..255, a 16-bit 'model'."""
    if not isinstance(doc, dict) or not isinstance(doc.get("colors"), list):
        raise where.fail("a JSON palette is an object with a 'colors' list of [r, g, b, a]")
    colors = doc["colors"]
    if not entries[0] <= len(colors) <= entries[1]:
        raise where.fail(f"'colors' holds {len(colors)} colours, {entries[0]} to {entries[1]} can be used")
    for i, c in enumerate(colors):
        if not (isinstance(c, list) and len(c) == 4 and all(type(v) is int and 0 <= v <= 255 for v in c)):
            raise where.fail(f"colour {i} is {c!r}, not [r, g, b, a] of 0..255")
    if "model" in doc:
        whole(where, doc, "model", U16)
