"""Building animation files from images: the way back from an export.

Two sources:

* an export folder (`animation.json`, frame PNGs, index layers), edited or
  not. Every header and frame field comes from the sidecar; the pixels come
  from the frame PNGs. An unedited folder gives back the same records, and the
  same bytes, as the file it was exported from.
* plain PNG frames without a sidecar, placed by an anchor or fixed offsets.

Pixels become palette indices by the rules of `matching`; `exact` refuses
any pixel that needs the nearest entry.

A frame whose PNG has the size that the sidecar gives keeps its explicit rows
(runs that are not the maximal encoding of their pixels) wherever the row's
pixels are unchanged, and its raw height word; every other row is encoded
maximally. A frame whose PNG has another size is rebuilt from the PNG alone:
its index layer counts only if it has the PNG's new size too.

Nothing is written until every frame has been built and checked; the output
file and a palette file, when one is made, are placed together by `writing`.
The palette an animation names is always in the game's binary format: a
palette in another format is read for matching and its colours are written
beside it as a binary palette.
"""

from __future__ import annotations

import base64
import os
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np
from PIL import Image

from . import writing
from .errors import OrvToolError, UsageError
from .formats import orv, palettes, sidecar
from .images import read_frame_png
from .loading import find_palette
from .matching import SHADOW_COLOR, ColorMatcher, FramePixels, Inexact, quantize_palette, resolve_pixels
from .model import Animation, Frame, Row

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
    details: List[str] = field(default_factory=list)  # behind the notes, frame by frame


@dataclass
class Plan:
    """Everything a build writes, made before anything is written."""

    animation: Animation
    palette: Optional[palettes.Palette] = None  # written to palette_target when set
    palette_target: Optional[str] = None
    notes: List[str] = field(default_factory=list)
    details: List[str] = field(default_factory=list)


# --- rows ------------------------------------------------------------------------


def encode_rows(
    pixels: FramePixels,
    shadow: bool,
    frame_no: int,
    explicit: Optional[Dict[int, Row]] = None,
) -> List[Row]:
    """The rows of a frame: an explicit row wherever it draws exactly the
    row's pixels, maximal runs elsewhere. Refuses a row of more than 255 runs."""
    h, w = pixels.covered.shape
    explicit = explicit or {}
    rows: List[Row] = []
    cover = pixels.covered.astype(np.uint8)
    scratch_i = np.zeros(w, np.uint8)
    scratch_c = np.zeros(w, bool)
    for y in range(h):
        if y in explicit:
            scratch_i[:] = 0
            scratch_c[:] = False
            sidecar.place_runs(explicit[y].runs, shadow, scratch_i, scratch_c)
            same = np.array_equal(scratch_c, pixels.covered[y]) and (
                shadow or np.array_equal(np.where(scratch_c, scratch_i, 0), np.where(scratch_c, pixels.indices[y], 0))
            )
            if same:
                rows.append(explicit[y])
                continue
        runs = orv.runs_from_mask(pixels.indices[y].tobytes(), cover[y].tobytes(), shadow=shadow)
        orv.check_row_runs(frame_no, y, runs)
        rows.append(Row(runs))
    rows += [explicit[y] for y in sorted(explicit) if y >= h]
    return rows


# --- palette and its stored path -----------------------------------------------


def _game_palette_name(path: str) -> None:
    """Refuses a palette to be written that the game would not read."""
    if os.path.splitext(path)[1].lower() != orv.PALETTE_EXTENSION:
        raise OrvToolError(
            f"palette {path}: the palette an animation names is written in the game's binary format, "
            f"so its name must end in {orv.PALETTE_EXTENSION} (other formats: convert it afterwards with "
            f"orvtool palette)"
        )


def _binary_copy_for(source: str, pal: palettes.Palette, force: bool, notes: List[str]) -> Tuple[Optional[palettes.Palette], str]:
    """For a palette in another format: (palette to write or None, the binary
    palette beside it, same name ending in .pal, that the animation names)."""
    game = os.path.splitext(source)[0] + orv.PALETTE_EXTENSION
    if os.path.exists(game) and os.path.samefile(game, source):
        raise OrvToolError(
            f"palette {source} is a {palettes.format_for(source, reading=True)} file, which the game cannot read, "
            f"and its binary copy would have its name: convert it with orvtool palette to a file of its own"
        )
    if os.path.exists(game):
        try:
            same = palettes.is_game_palette(game) and palettes.read_pal(game).colors == pal.colors
        except (OrvToolError, OSError):
            same = False
        if same:
            notes.append(f"matched against {source}; the animation names {game}, which holds the same colours")
            return None, game
        if not force:
            raise OrvToolError(
                f"palette {source} is not in the game's format and its binary copy {game} already exists "
                f"with other colours; not replaced (use --force)"
            )
    notes.append(f"matched against {source}; its colours go to {game} in the game's format, which the animation names")
    return palettes.Palette(list(pal.colors), pal.model), game


def _palette_for_build(
    options: BuildOptions, images: Sequence[np.ndarray], fallback: Optional[palettes.Palette], notes: List[str]
) -> Tuple[palettes.Palette, Optional[palettes.Palette], Optional[str]]:
    """(palette to match against, palette to write or None, the binary palette
    file the animation names or None to keep the stored name). Every check
    comes before the work."""
    target = options.palette
    if options.quantize is not None:
        if target is None:
            raise UsageError("--quantize needs --palette, the palette file to write")
        _game_palette_name(target)
        if os.path.lexists(target) and not options.force:
            raise OrvToolError(f"palette {target} already exists; not replaced (use --force)")
        writing.check(target)
        made = palettes.Palette(quantize_palette(images, options.quantize))
        notes.append(f"made a palette of {len(made.colors)} colours")
        return made, made, target
    if target is not None and os.path.exists(target):
        pal = palettes.read_palette(target)
        if not 1 <= len(pal.colors) <= 256:
            raise OrvToolError(f"palette {target} holds {len(pal.colors)} colours, 1 to 256 can be used")
        if palettes.is_game_palette(target):
            return pal, None, target
        to_write, game = _binary_copy_for(target, pal, options.force, notes)
        return pal, to_write, game
    if fallback is None:
        if target is None:
            raise OrvToolError("no palette: name one with --palette")
        raise OrvToolError(f"palette {target} not found (only --quantize makes a new one)")
    if target is not None:
        _game_palette_name(target)
        writing.check(target)
        return fallback, fallback, target
    return fallback, None, None


# --- from an export folder -------------------------------------------------------


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
            raise UsageError(f"--{name} is for plain PNG frames; an export folder has its own")
    if options.shadow or options.background:
        raise UsageError("--shadow and --background are for plain PNG frames; an export folder has its own")
    doc = sidecar.read_sidecar(folder)
    sidecar.check_sidecar(doc)
    notes: List[str] = []
    details: List[str] = []  # per frame, shown with --verbose
    resized: List[int] = []
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
            palettes.check_colors(colors)  # type: ignore[arg-type]
        except OrvToolError as exc:
            raise OrvToolError(f"{sidecar.SIDECAR_NAME}: the palette's colours: {exc}") from None
        fallback = palettes.Palette(colors, int(pal_doc.get("model", 0)) & 0xFFFF)  # type: ignore[arg-type]
    shadow_only = all(e["is_shadow"] for i, e in enumerate(entries) if i in images)
    if fallback is None and options.palette is None and options.quantize is None:
        if not shadow_only:
            raise OrvToolError(f"{sidecar.SIDECAR_NAME}: the palette has no 'colors': name a palette with --palette")
        match_pal, to_write, game = palettes.Palette([SHADOW_COLOR]), None, None  # shadow frames use no colour
    else:
        plain_images = [images[i] for i in images if not entries[i]["is_shadow"]]
        match_pal, to_write, game = _palette_for_build(options, plain_images, fallback, notes)
    matcher = ColorMatcher(match_pal.colors)

    inexact = Inexact()
    frames: List[Frame] = []
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
            orv.check_frame_size(i, width, height, shadow, after_shadow and word is None)
            layer = _index_layer_for(folder, entry, i, (width, height), same_size)
            px = resolve_pixels(rgba, matcher, layer, shadow)
            inexact.add(i, rgba, px, matcher, details)
            explicit = sidecar.explicit_row_records(entry) if same_size else None
            rows = encode_rows(px, shadow, i, explicit)
            if not same_size:
                resized.append(i)
                details.append(
                    f"frame {i}: {entry['width']}x{entry['height']} in the sidecar, {width}x{height} in "
                    f"{entry['image']}: built from the image"
                )
        frames.append(
            Frame(
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
    if resized:
        notes.append(
            f"{len(resized)} of {len(entries)} frames changed size and were built from their images alone "
            f"(frame {resized[0]} first)"
        )
    nearest = inexact.note(len(entries))
    if nearest:
        notes.append(nearest)

    header = doc["header"]
    count: Optional[int] = doc["frame_count_field"]
    if doc.get("frame_count") != len(entries):  # frames were taken out or added
        count = len(entries) - (1 if header and header["flag"] else 0)
    anim = Animation(
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
    stored_from = game or options.palette or (pal_doc.get("resolved") if options.project_root else None)
    if options.project_root and not stored_from:
        raise OrvToolError("--project-root: the sidecar names no palette file found at export; name it with --palette")
    if stored_from and not game and os.path.exists(stored_from) and not palettes.is_game_palette(stored_from):
        raise OrvToolError(
            f"the export's palette {stored_from} is not in the game's format: name a binary palette with --palette"
        )
    if stored_from:
        root = options.project_root or os.path.dirname(os.path.abspath(output))
        anim.raw_path_field = None
        anim.path_length = None
        anim.palette_path = orv.stored_palette_path(stored_from, root)
    return Plan(anim, to_write, game if to_write else None, notes, details)


# --- from plain frames -------------------------------------------------------------


def plan_from_frames(paths: Sequence[str], options: BuildOptions, output: str) -> Plan:
    """The records (and palette) that plain PNG frames build, in the order given."""
    if not paths:
        raise OrvToolError("no frame images given")
    if options.palette is None:
        raise UsageError("plain frames need --palette: the palette to match against, or to write with --quantize")
    anchor = options.anchor or DEFAULT_ANCHOR
    if anchor not in ANCHORS:
        raise OrvToolError(f"unknown anchor '{anchor}' (one of {', '.join(ANCHORS)})")
    speed = DEFAULT_SPEED if options.speed is None else options.speed
    if not 0 <= speed <= 0xFFFFFFFF:
        raise OrvToolError(f"--speed {speed} is not a 32-bit value")
    notes: List[str] = []
    details: List[str] = []  # per frame, shown with --verbose
    images = [read_frame_png(p) for p in paths]
    match_pal, to_write, game = _palette_for_build(options, [] if options.shadow else images, None, notes)
    matcher = ColorMatcher(match_pal.colors)
    inexact = Inexact()
    frames = []
    for i, rgba in enumerate(images):
        h, w = rgba.shape[:2]
        orv.check_frame_size(i, w, h, options.shadow, False)
        x, y = options.offset if options.offset is not None else ANCHORS[anchor](w, h)
        orv.check_offset(i, "x offset", x)
        orv.check_offset(i, "y offset", y)
        px = resolve_pixels(rgba, matcher, None, options.shadow)
        inexact.add(i, rgba, px, matcher, details)
        frames.append(
            Frame(
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
    nearest = inexact.note(len(images))
    if nearest:
        notes.append(nearest)
    root = options.project_root or os.path.dirname(os.path.abspath(output))
    anim = Animation(
        frames=frames,
        speed=speed,
        palette_path=orv.stored_palette_path(game or options.palette, root),
        has_background=options.background,
    )
    return Plan(anim, to_write, game if to_write else None, notes, details)


# --- writing -------------------------------------------------------------------------


def write_plan(plan: Plan, output: str, force: bool = False) -> BuildReport:
    """Places the palette (when the plan makes one) and the animation
    together: if the animation cannot be placed, the palette is restored."""
    if os.path.lexists(output) and not force:
        raise OrvToolError(f"{output} already exists; not replaced (use --force)")
    if os.path.isdir(output):
        raise OrvToolError(f"{output} is a folder")
    data = orv.encode_animation(plan.animation)
    files: List[Tuple[str, writing.Writer]] = []
    if plan.palette is not None and plan.palette_target is not None:
        files.append((plan.palette_target, writing.bytes_writer(palettes.encode_pal(plan.palette))))
    files.append((output, writing.bytes_writer(data)))
    writing.place_set(files)
    stored = plan.animation.stored_location
    report = BuildReport(
        output, len(plan.animation.frames), stored, plan.palette_target, list(plan.notes), list(plan.details)
    )
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
    if os.path.isdir(output):
        raise OrvToolError(f"{output} is a folder")
    writing.check(output)
