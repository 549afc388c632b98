"""Building animation files from images: the way back from an export.

Two sources:

* an export folder (`animation.json`, frame PNGs, index layers), edited or
  not. Every header and frame field comes from the sidecar; the pixels come
  from the frame PNGs. An unedited folder gives back the same records, and the
  same bytes, as the file it was exported from.
* plain PNG frames without a sidecar, placed by an anchor or fixed offsets.

Each pixel of a frame PNG becomes a palette index by these rules, in order:

1. where the frame's index layer covers the pixel and the PNG still shows
   the colour of that index, the index is kept (so equal colours at different
   indices, and covered pixels of a fully transparent colour, survive);
2. a fully transparent pixel (alpha 0) is left uncovered;
3. otherwise the palette entry of exactly that colour, the lowest index among
   equal entries; failing that, the nearest entry by squared RGBA distance
   (dr^2 + dg^2 + db^2 + da^2, alpha counting like a colour channel), again
   the lowest index among equally near ones. `exact` refuses any pixel that
   needs the nearest entry.

In a shadow frame every pixel that is not fully transparent is covered; its
runs hold no indices. For the index layer check a palette of fewer than 256
colours is completed with opaque black, as the module completes it when
loading; matching by colour only considers the palette's own entries.

A frame whose PNG has the size that the sidecar gives keeps its explicit rows
(runs that are not the maximal encoding of their pixels) wherever the row's
pixels are unchanged, and its raw height word; every other row is encoded
maximally. A frame whose PNG has another size is rebuilt from the PNG alone:
its index layer counts only if it has the PNG's new size too.

Nothing is written until every frame has been built and checked; the output
file (and a palette file, when one is made) is written to a temporary file
beside its target and renamed over it.
"""

from __future__ import annotations

import base64
import binascii
import os
import tempfile
from dataclasses import dataclass, field
from pathlib import PurePath
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np
from PIL import Image

from . import orvfile, palettes, sidecar
from .loading import OrvToolError, find_palette

Color = Tuple[int, int, int, int]

MAX_RUNS = 255
MAX_WIDTH = 0xFFFF
MAX_HEIGHT = 0x7FFF  # a larger height would set the shadow bit
MAX_SHADOW_HEIGHT = 0xFF  # a shadow frame stores its height in 8 bits
SHADOW_COLOR = (0, 0, 0, 255)
FILL_COLOR = (0, 0, 0, 255)  # what the module gives indices beyond a short palette

# Offsets of a w x h frame for each anchor: the position of its top-left pixel
# relative to the animation's origin.
ANCHORS = {
    "bottom-center": lambda w, h: (-(w // 2), -h),
    "bottom-left": lambda w, h: (0, -h),
    "bottom-right": lambda w, h: (-w, -h),
    "center": lambda w, h: (-(w // 2), -(h // 2)),
    "top-center": lambda w, h: (-(w // 2), 0),
    "top-left": lambda w, h: (0, 0),
}
DEFAULT_ANCHOR = "bottom-center"
DEFAULT_SPEED = 100


@dataclass
class BuildOptions:
    palette: Optional[str] = None  # palette file to match against, or to write
    project_root: Optional[str] = None  # the stored palette path is relative to it
    exact: bool = False  # refuse colours that the palette does not hold
    quantize: Optional[int] = None  # make a palette of at most this many colours
    force: bool = False  # replace an existing output (and a palette to write)
    # plain frames only
    anchor: Optional[str] = None
    offset: Optional[Tuple[int, int]] = None
    speed: Optional[int] = None
    shadow: bool = False
    background: bool = False


@dataclass
class BuildReport:
    output: str
    frames: int
    stored_palette: bytes  # the palette location stored in the file
    palette_written: Optional[str] = None
    notes: List[str] = field(default_factory=list)


@dataclass
class Plan:
    """Everything a build writes, made before anything is written."""

    animation: orvfile.Animation
    palette: Optional[palettes.Palette] = None  # written to palette_target when set
    palette_target: Optional[str] = None
    notes: List[str] = field(default_factory=list)


# --- colours -----------------------------------------------------------------


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
    indices: np.ndarray  # uint8 (h, w)
    covered: np.ndarray  # bool (h, w)
    nearest: np.ndarray  # bool (h, w): took a colour the palette does not hold


def resolve_pixels(
    rgba: np.ndarray,
    matcher: Optional[ColorMatcher],
    layer: Optional[Tuple[np.ndarray, np.ndarray]],
    shadow: bool,
) -> FramePixels:
    """The index and coverage of every pixel of an RGBA frame (see the module
    documentation for the rules)."""
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


def read_frame_png(path: str) -> np.ndarray:
    """A frame image as an RGBA (h, w, 4) uint8 array, whatever its PNG mode."""
    try:
        with Image.open(path) as im:
            rgba = im.convert("RGBA") if im.mode != "RGBA" else im.copy()
    except FileNotFoundError:
        raise OrvToolError(f"{path} is missing") from None
    except OSError as exc:
        raise OrvToolError(f"cannot read image {path}: {exc}") from None
    w, h = rgba.size
    return np.asarray(rgba, dtype=np.uint8).reshape(h, w, 4)


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


# --- rows and limits ---------------------------------------------------------


def _runs_of(row: orvfile.Row) -> List[Tuple[int, int, bytes]]:
    return [(r.offset, r.color_count, bytes(r.indices)) for r in row.runs]


def encode_rows(
    pixels: FramePixels,
    shadow: bool,
    frame_no: int,
    explicit: Optional[Dict[int, orvfile.Row]] = None,
) -> List[orvfile.Row]:
    """The rows of a frame: an explicit row wherever it draws exactly the
    row's pixels, maximal runs elsewhere. Refuses a row of more than 255 runs."""
    h, w = pixels.covered.shape
    explicit = explicit or {}
    rows: List[orvfile.Row] = []
    cover = pixels.covered.astype(np.uint8)
    scratch_i = np.zeros(w, np.uint8)
    scratch_c = np.zeros(w, bool)
    for y in range(h):
        if y in explicit:
            scratch_i[:] = 0
            scratch_c[:] = False
            sidecar.place_runs(_runs_of(explicit[y]), shadow, scratch_i, scratch_c)
            same = np.array_equal(scratch_c, pixels.covered[y]) and (
                shadow or np.array_equal(np.where(scratch_c, scratch_i, 0), np.where(scratch_c, pixels.indices[y], 0))
            )
            if same:
                rows.append(explicit[y])
                continue
        runs = orvfile.runs_from_mask(pixels.indices[y].tobytes(), cover[y].tobytes(), shadow=shadow)
        if len(runs) > MAX_RUNS:
            raise OrvToolError(
                f"frame {frame_no}, row {y}: its pixels need {len(runs)} runs, a row holds at most {MAX_RUNS}"
            )
        rows.append(orvfile.Row(runs))
    rows += [explicit[y] for y in sorted(explicit) if y >= h]
    return rows


def check_frame_size(frame_no: int, width: int, height: int, shadow: bool, after_shadow: bool) -> None:
    """Refuses a frame that the file's 16-bit fields cannot hold, or that the
    loader would read back with another height."""
    if width > MAX_WIDTH:
        raise OrvToolError(f"frame {frame_no}: {width} pixels wide, a frame is at most {MAX_WIDTH} wide")
    if shadow and height > MAX_SHADOW_HEIGHT:
        raise OrvToolError(
            f"frame {frame_no}: a shadow frame of {height} rows, a shadow frame has at most {MAX_SHADOW_HEIGHT}"
        )
    if not shadow and height > MAX_HEIGHT:
        raise OrvToolError(f"frame {frame_no}: {height} rows, a frame has at most {MAX_HEIGHT}")
    if not shadow and after_shadow and height > 0xFF:
        raise OrvToolError(
            f"frame {frame_no}: {height} rows after a shadow frame, which the loader reads as "
            f"{height % 256}: a frame after a shadow frame has at most 255 rows"
        )


def _check_offset(frame_no: int, name: str, value: int) -> None:
    if not -0x8000 <= value <= 0x7FFF:
        raise OrvToolError(f"frame {frame_no}: {name} {value} is outside -32768..32767")


class _Inexact:
    """Pixels that took the nearest palette colour, over all frames."""

    def __init__(self) -> None:
        self.pixels = 0
        self.frames: List[int] = []
        self.first: Optional[str] = None

    def add(self, frame_no: int, rgba: np.ndarray, px: FramePixels, matcher: ColorMatcher, notes: List[str]) -> None:
        n = int(px.nearest.sum())
        if not n:
            return
        ys, xs = np.nonzero(px.nearest)
        colors = len(np.unique(rgba[px.nearest].view(np.uint32)))
        if self.first is None:
            y, x = int(ys[0]), int(xs[0])
            c = tuple(int(v) for v in rgba[y, x])
            i = int(px.indices[y, x])
            shown = tuple(int(v) for v in matcher.table[i])
            self.first = f"frame {frame_no} at x {x}, y {y} is {c}, the nearest entry {i} is {shown}"
        self.pixels += n
        self.frames.append(frame_no)
        notes.append(f"frame {frame_no}: {n} pixels in {colors} colours took the nearest palette colour")

    def check(self, exact: bool) -> None:
        if exact and self.pixels:
            frames = ", ".join(str(f) for f in self.frames)
            raise OrvToolError(
                f"--exact: {self.pixels} pixels (frames {frames}) have colours that the palette does not "
                f"hold; {self.first}"
            )


# --- palette and its stored path -----------------------------------------------


def stored_palette_path(palette: str, project_root: str) -> bytes:
    """The palette's path relative to the project root in "/" form, as the
    module's saver stores it (both paths with symbolic links resolved)."""
    p = os.path.realpath(palette)
    r = os.path.realpath(project_root)
    try:
        rel = os.path.relpath(p, r)
    except ValueError:  # another drive
        return b""
    return os.fsencode(PurePath(rel).as_posix())


def _palette_for_build(
    options: BuildOptions, images: Sequence[np.ndarray], fallback: Optional[palettes.Palette], notes: List[str]
) -> Tuple[palettes.Palette, Optional[palettes.Palette]]:
    """(palette to match against, palette to write or None)."""
    target = options.palette
    if options.quantize is not None:
        if target is None:
            raise OrvToolError("--quantize needs --palette, the palette file to write")
        if os.path.lexists(target) and not options.force:
            raise OrvToolError(f"palette {target} already exists; not replaced (use --force)")
        palettes.format_for(target)  # a format that can be written, before the work
        made = palettes.Palette(quantize_palette(images, options.quantize))
        notes.append(f"made a palette of {len(made.colors)} colours")
        return made, made
    if target is not None and os.path.exists(target):
        pal = palettes.read_palette(target)
        if not 1 <= len(pal.colors) <= 256:
            raise OrvToolError(f"palette {target} holds {len(pal.colors)} colours, 1 to 256 can be used")
        return pal, None
    if fallback is None:
        if target is None:
            raise OrvToolError("no palette: name one with --palette")
        raise OrvToolError(f"palette {target} not found (only --quantize makes a new one)")
    if target is not None:
        palettes.format_for(target)
        return fallback, fallback
    return fallback, None


# --- from an export folder -------------------------------------------------------


_U8 = (0, 0xFF)
_U16 = (0, 0xFFFF)
_U32 = (0, 0xFFFFFFFF)
_I16 = (-0x8000, 0x7FFF)
_FRAME_FIELDS = {
    "width": _U16,
    "height": _U16,
    "x_offset": _I16,
    "y_offset": _I16,
    "is_shadow": _U8,
    "frame_size": _U32,
    "unk1": _U8,
    "unk2": _U8,
}


def _need(doc: Dict[str, Any], key: str, where: str, limits: Optional[Tuple[int, int]] = None) -> Any:
    if not isinstance(doc, dict) or key not in doc:
        raise OrvToolError(f"{sidecar.SIDECAR_NAME}: {where} has no '{key}'")
    value = doc[key]
    if limits is not None:
        if isinstance(value, bool):
            value = int(value)
        if not isinstance(value, int) or not limits[0] <= value <= limits[1]:
            raise OrvToolError(
                f"{sidecar.SIDECAR_NAME}: {where}: '{key}' is {value!r}, not a number from {limits[0]} to {limits[1]}"
            )
    return value


def check_sidecar(doc: Dict[str, Any]) -> None:
    """Refuses a sidecar that lacks a field the build needs, naming it."""
    _need(doc, "speed", "the animation", _U32)
    _need(doc, "frame_count_field", "the animation", _U32)
    pal = _need(doc, "palette", "the animation")
    _need(pal, "location_size", "the palette", _U32)
    try:
        bytes.fromhex(_need(pal, "path_field", "the palette"))
    except (TypeError, ValueError):
        raise OrvToolError(f"{sidecar.SIDECAR_NAME}: the palette's 'path_field' is not hex bytes") from None
    header = _need(doc, "header", "the animation")
    if header is not None:
        _need(header, "flag", "the header", _U8)
        try:
            if len(bytes.fromhex(_need(header, "reserved", "the header"))) != 4:
                raise ValueError
        except (TypeError, ValueError):
            raise OrvToolError(f"{sidecar.SIDECAR_NAME}: the header's 'reserved' is not 4 hex bytes") from None
    try:
        base64.b64decode(doc.get("trailing", ""), validate=True)
    except (TypeError, ValueError, binascii.Error):
        raise OrvToolError(f"{sidecar.SIDECAR_NAME}: 'trailing' is not base64") from None
    frames = _need(doc, "frames", "the animation")
    if not isinstance(frames, list):
        raise OrvToolError(f"{sidecar.SIDECAR_NAME}: 'frames' is not a list")
    for i, entry in enumerate(frames):
        where = f"frame {i}"
        for key, limits in _FRAME_FIELDS.items():
            _need(entry, key, where, limits)
        image = _need(entry, "image", where)
        if image is not None and not isinstance(image, str):
            raise OrvToolError(f"{sidecar.SIDECAR_NAME}: {where}: 'image' is not a file name")
        if entry.get("height_word") is not None:
            _need(entry, "height_word", where, _U16)
        try:
            sidecar.explicit_row_records(entry)
        except (AttributeError, KeyError, TypeError, ValueError):
            raise OrvToolError(f"{sidecar.SIDECAR_NAME}: {where}: 'explicit_rows' is malformed") from None


def _index_layer_for(folder: str, entry: Dict[str, Any], frame_no: int, size: Tuple[int, int], same_size: bool):
    name = entry.get("indices")
    if not name:
        return None
    path = os.path.join(folder, name)
    if not os.path.exists(path):
        return None
    try:
        with Image.open(path) as im:
            layer_size = im.size
    except OSError as exc:
        raise OrvToolError(f"frame {frame_no}: cannot read index layer {path}: {exc}") from None
    if layer_size == size:
        return sidecar.read_index_layer(path, *size)
    if same_size:
        raise OrvToolError(
            f"frame {frame_no}: index layer {path} is {layer_size[0]}x{layer_size[1]}, "
            f"the sidecar and the frame image say {size[0]}x{size[1]}"
        )
    return None  # the frame was resized: only its image counts


def plan_from_export(folder: str, options: BuildOptions, output: str) -> Plan:
    """The records (and palette) that an export folder, edited or not, builds."""
    for name in ("anchor", "offset", "speed"):
        if getattr(options, name) is not None:
            raise OrvToolError(f"--{name} is for plain PNG frames; an export folder has its own")
    if options.shadow or options.background:
        raise OrvToolError("--shadow and --background are for plain PNG frames; an export folder has its own")
    doc = sidecar.read_sidecar(folder)
    check_sidecar(doc)
    notes: List[str] = []
    entries = doc["frames"]

    images: Dict[int, np.ndarray] = {}
    for i, entry in enumerate(entries):
        if entry["image"] is not None:
            images[i] = read_frame_png(os.path.join(folder, entry["image"]))

    pal_doc = doc["palette"]
    fallback = None
    if isinstance(pal_doc.get("colors"), list):
        colors = [tuple(c) if isinstance(c, list) else c for c in pal_doc["colors"]]
        try:
            palettes._check_colors(colors)  # type: ignore[arg-type]
        except OrvToolError as exc:
            raise OrvToolError(f"{sidecar.SIDECAR_NAME}: the palette's colours: {exc}") from None
        fallback = palettes.Palette(colors, int(pal_doc.get("model", 0)) & 0xFFFF)  # type: ignore[arg-type]
    shadow_only = all(e["is_shadow"] for i, e in enumerate(entries) if i in images)
    if fallback is None and options.palette is None and options.quantize is None:
        if not shadow_only:
            raise OrvToolError(f"{sidecar.SIDECAR_NAME}: the palette has no 'colors': name a palette with --palette")
        match_pal, to_write = palettes.Palette([SHADOW_COLOR]), None  # shadow frames use no colour
    else:
        plain_images = [images[i] for i in images if not entries[i]["is_shadow"]]
        match_pal, to_write = _palette_for_build(options, plain_images, fallback, notes)
    matcher = ColorMatcher(match_pal.colors)

    inexact = _Inexact()
    frames: List[orvfile.Frame] = []
    after_shadow = False
    for i, entry in enumerate(entries):
        shadow = entry["is_shadow"] != 0
        if i not in images:
            rows = sidecar.frame_rows(folder, entry)
            width, height, word = entry["width"], entry["height"], entry.get("height_word")
        else:
            rgba = images[i]
            height, width = rgba.shape[:2]
            same_size = (width, height) == (entry["width"], entry["height"])
            word = entry.get("height_word") if same_size else None
            if word is not None and bool(word & 0x8000) != shadow:
                word = None  # the shadow flag was changed in the sidecar
            check_frame_size(i, width, height, shadow, after_shadow and word is None)
            layer = _index_layer_for(folder, entry, i, (width, height), same_size)
            px = resolve_pixels(rgba, matcher, layer, shadow)
            inexact.add(i, rgba, px, matcher, notes)
            explicit = sidecar.explicit_row_records(entry) if same_size else None
            rows = encode_rows(px, shadow, i, explicit)
            if not same_size:
                notes.append(
                    f"frame {i}: {entry['width']}x{entry['height']} in the sidecar, {width}x{height} in "
                    f"{entry['image']}: built from the image"
                )
        frames.append(
            orvfile.Frame(
                width=width,
                rows=rows,
                x_offset=entry["x_offset"],
                y_offset=entry["y_offset"],
                is_shadow=shadow,
                frame_size=entry["frame_size"],
                unk1=entry["unk1"],
                unk2=entry["unk2"],
                height=height,
                height_word=word,
            )
        )
        after_shadow = after_shadow or shadow
    inexact.check(options.exact)

    header = doc["header"]
    count: Optional[int] = doc["frame_count_field"]
    if doc.get("frame_count") != len(entries):  # frames were taken out or added
        count = len(entries) - (1 if header and header["flag"] else 0)
    anim = orvfile.Animation(
        frames=frames,
        speed=doc["speed"],
        has_background=header is not None,
        background_flag=header["flag"] if header else 1,
        reserved=bytes.fromhex(header["reserved"]) if header else b"\0\0\0\0",
        raw_path_field=bytes.fromhex(pal_doc["path_field"]),
        path_length=pal_doc["location_size"],
        frame_count=count & 0xFFFFFFFF if count is not None else None,
        trailing=base64.b64decode(doc.get("trailing", "")),
    )
    stored_from = options.palette or (pal_doc.get("resolved") if options.project_root else None)
    if options.project_root and not stored_from:
        raise OrvToolError("--project-root: the sidecar names no palette file found at export; name it with --palette")
    if stored_from:
        root = options.project_root or os.path.dirname(os.path.abspath(output))
        anim.raw_path_field = None
        anim.path_length = None
        anim.palette_path = stored_palette_path(stored_from, root)
    return Plan(anim, to_write, options.palette if to_write else None, notes)


# --- from plain frames -------------------------------------------------------------


def plan_from_frames(paths: Sequence[str], options: BuildOptions, output: str) -> Plan:
    """The records (and palette) that plain PNG frames build, in the order given."""
    if not paths:
        raise OrvToolError("no frame images given")
    if options.palette is None:
        raise OrvToolError("plain frames need --palette: the palette to match against, or to write with --quantize")
    anchor = options.anchor or DEFAULT_ANCHOR
    if anchor not in ANCHORS:
        raise OrvToolError(f"unknown anchor '{anchor}' (one of {', '.join(ANCHORS)})")
    speed = DEFAULT_SPEED if options.speed is None else options.speed
    if not 0 <= speed <= 0xFFFFFFFF:
        raise OrvToolError(f"--speed {speed} is not a 32-bit value")
    notes: List[str] = []
    images = [read_frame_png(p) for p in paths]
    match_pal, to_write = _palette_for_build(options, [] if options.shadow else images, None, notes)
    matcher = ColorMatcher(match_pal.colors)
    inexact = _Inexact()
    frames = []
    for i, rgba in enumerate(images):
        h, w = rgba.shape[:2]
        check_frame_size(i, w, h, options.shadow, False)
        x, y = options.offset if options.offset is not None else ANCHORS[anchor](w, h)
        _check_offset(i, "x offset", x)
        _check_offset(i, "y offset", y)
        px = resolve_pixels(rgba, matcher, None, options.shadow)
        inexact.add(i, rgba, px, matcher, notes)
        frames.append(
            orvfile.Frame(
                width=w,
                rows=encode_rows(px, options.shadow, i),
                x_offset=x,
                y_offset=y,
                is_shadow=options.shadow,
                unk1=0,
                unk2=1,
            )
        )
    inexact.check(options.exact)
    root = options.project_root or os.path.dirname(os.path.abspath(output))
    anim = orvfile.Animation(
        frames=frames,
        speed=speed,
        palette_path=stored_palette_path(options.palette, root),
        has_background=options.background,
    )
    return Plan(anim, to_write, options.palette if to_write else None, notes)


# --- writing -------------------------------------------------------------------------


def _target(path: str) -> str:
    """The file that writing to `path` replaces (through a symbolic link)."""
    return os.path.realpath(path) if os.path.islink(path) else path


def _temp_beside(path: str) -> str:
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", suffix=".tmp", dir=folder)
    os.close(fd)
    try:
        mode = os.stat(path).st_mode & 0o7777  # a replaced file keeps its permissions
    except OSError:
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    os.chmod(tmp, mode)
    return tmp


def write_plan(plan: Plan, output: str, force: bool = False) -> BuildReport:
    """Writes the palette (when the plan makes one) and the animation, each to
    a temporary file renamed over its target once complete."""
    if os.path.lexists(output) and not force:
        raise OrvToolError(f"{output} already exists; not replaced (use --force)")
    if os.path.isdir(output):
        raise OrvToolError(f"{output} is a folder")
    data = orvfile.encode_animation(plan.animation)
    out_target = _target(output)
    temps: List[str] = []
    try:
        os.makedirs(os.path.dirname(os.path.abspath(out_target)), exist_ok=True)
        pal_target = None
        if plan.palette is not None and plan.palette_target is not None:
            pal_target = _target(plan.palette_target)
            os.makedirs(os.path.dirname(os.path.abspath(pal_target)), exist_ok=True)
            temps.append(_temp_beside(pal_target))
            palettes.write_palette(plan.palette, temps[-1], palettes.format_for(pal_target))
        temps.append(_temp_beside(out_target))
        with open(temps[-1], "wb") as fh:
            fh.write(data)
            fh.flush()
            os.fsync(fh.fileno())
        if pal_target is not None:
            os.replace(temps[0], pal_target)
        os.replace(temps[-1], out_target)
        temps.clear()
    except OSError as exc:
        raise OrvToolError(f"cannot write {exc.filename or output}: {exc.strerror or exc}") from None
    finally:
        for tmp in temps:
            try:
                os.unlink(tmp)
            except OSError:
                pass
    stored = plan.animation.palette_path if plan.animation.raw_path_field is None else plan.animation.raw_path_field.split(b"\0", 1)[0]
    report = BuildReport(output, len(plan.animation.frames), stored, plan.palette_target, list(plan.notes))
    if plan.palette is not None:
        report.notes += plan.palette.notes
    found, _ = find_palette(os.fsencode(os.path.abspath(output)), stored)
    if found is None:
        report.notes.append(
            f"the stored palette path '{os.fsdecode(stored)}' is not found from {os.path.dirname(os.path.abspath(output))} "
            "or the folders above it (see --project-root)"
        )
    return report


def build_from_export(folder: str, output: str, options: Optional[BuildOptions] = None) -> BuildReport:
    options = options or BuildOptions()
    _refuse_existing(output, options)
    return write_plan(plan_from_export(folder, options, output), output, options.force)


def build_from_frames(paths: Sequence[str], output: str, options: Optional[BuildOptions] = None) -> BuildReport:
    options = options or BuildOptions()
    _refuse_existing(output, options)
    return write_plan(plan_from_frames(paths, options, output), output, options.force)


def _refuse_existing(output: str, options: BuildOptions) -> None:
    """Before the work: an output that would not be replaced."""
    if os.path.lexists(output) and not options.force:
        raise OrvToolError(f"{output} already exists; not replaced (use --force)")
