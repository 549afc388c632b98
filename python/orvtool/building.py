"""Building animation files from images: the way back from an export.

Sources:

* an export folder (`animation.json`, frame PNGs, index layers), edited or
  not. Every header and frame field comes from the sidecar; the pixels come
  from the frame PNGs. An unedited folder gives back the same records, and the
  same bytes, as the file it was exported from. Frame PNGs that the sidecar
  does not list (`frame_048.png` added in an editor) join in name order.
* a sprite sheet (`formats.sheets`); when its `meta.orvtool` holds the
  export's record, that record stands in for the sidecar.
* plain images without a sidecar (PNG frames, a folder of PNGs, animated GIF,
  APNG and WebP), placed by `--offset`, `--anchor`, or the oFFs chunk of a PNG.

Placement through edits: a frame image whose oFFs chunk (or sheet position)
gives offsets other than the sidecar's takes them. A frame whose size changed
and that gives no new offsets keeps the point of its old rectangle named by
the resize anchor (bottom-center by default: the feet of a figure stay where
they were). Where every frame of the record has `frame_size` = width x
height, a resized or added frame follows that rule.

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
import re
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Sequence, Set, Tuple

import numpy as np
from numpy.typing import NDArray

from . import limits, status, writing
from .errors import OrvToolError, UsageError
from .formats import orv, palettes, sheets, sidecar
from .images import read_frame_png
from .inputs import InputImage, apply_color_key, exported_offsets, png_offsets, read_images
from .inputs import folder_pngs as inputs_folder_pngs
from .loading import find_palette
from .matching import (
    SHADOW_COLOR,
    ColorMatcher,
    FramePixels,
    Inexact,
    entries_in_use,
    exact_indices,
    grow_palette,
    missing_colors,
    quantize_palette,
    resolve_pixels,
    visible_colors,
)
from .model import Animation, Frame, Row
from .reading import open_image

# Offsets of a w x h frame for each anchor: the position of its top-left pixel
# relative to the animation's origin.
ANCHORS: Dict[str, Callable[[int, int], Tuple[int, int]]] = {
    "bottom-center": lambda w, h: (-(w // 2), -h),
    "bottom-left": lambda w, h: (0, -h),
    "bottom-right": lambda w, h: (-w, -h),
    "center": lambda w, h: (-(w // 2), -(h // 2)),
    "top-center": lambda w, h: (-(w // 2), 0),
    "top-left": lambda w, h: (0, 0),
}
DEFAULT_ANCHOR = "bottom-center"

# The point of a w x h frame that stays in place when the frame is resized
# (spelt as ANCHORS are).
RESIZE_ANCHORS: Dict[str, Callable[[int, int], Tuple[int, int]]] = {
    "top-left": lambda w, h: (0, 0),
    "center": lambda w, h: (w // 2, h // 2),
    "bottom-center": lambda w, h: (w // 2, h),
}
DEFAULT_RESIZE_ANCHOR = "bottom-center"
ADDED_FRAME = re.compile(r"^frame_\w+\.png$", re.IGNORECASE)  # not frame_NNN.index.png
DEFAULT_SPEED = 100


@dataclass
class BuildOptions:
    palette: Optional[str] = None  # palette file to match against, or to write
    project_root: Optional[str] = None  # the stored palette path is relative to it
    exact: bool = False  # refuse colours that the palette does not hold
    quantize: Optional[int] = None  # make a palette of at most this many colours
    force: bool = False  # replace an existing output (and a palette to write)
    add_colors: bool = False  # put colours the palette lacks into entries nothing uses
    resize_anchor: Optional[str] = None  # the point a resized frame keeps
    transparent: Optional[Tuple[int, int, int]] = None  # colour key for images without alpha
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


@dataclass
class PaletteChoice:
    match: palettes.Palette  # the palette pixels are matched against
    write: Optional[palettes.Palette] = None  # written to `names` when set
    names: Optional[str] = None  # the binary palette the animation names; None keeps the stored name


def _game_palette_name(path: str) -> None:
    """Refuses a palette to be written that the game would not read."""
    if os.path.splitext(path)[1].lower() != orv.PALETTE_EXTENSION:
        raise OrvToolError(
            f"palette {path}: the palette an animation names is written in the game's binary format, "
            f"so its name must end in {orv.PALETTE_EXTENSION} (other formats: convert it afterwards with "
            f"orvtool palette)"
        )


def _binary_copy_for(
    source: str, pal: palettes.Palette, force: bool, notes: List[str]
) -> Tuple[Optional[palettes.Palette], str]:
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
    options: BuildOptions, images: Sequence[NDArray[Any]], fallback: Optional[palettes.Palette], notes: List[str]
) -> PaletteChoice:
    """Every check comes before the work."""
    target = options.palette
    if options.quantize is not None:
        if target is None:
            raise UsageError("--quantize needs --palette, the palette file to write")
        _game_palette_name(target)
        if os.path.lexists(target) and not options.force:
            raise OrvToolError(f"palette {target} already exists; not replaced (use --force)")
        writing.check(target)
        made = palettes.Palette(quantize_palette(images, options.quantize))
        notes.append(f"made a palette of {status.count(len(made.colors), 'colour')}")
        return PaletteChoice(made, made, target)
    if target is not None and os.path.exists(target):
        try:
            pal = palettes.read_palette(target)
        except OrvToolError as exc:
            raise OrvToolError(f"palette {target}: {exc}") from None
        if not 1 <= len(pal.colors) <= 256:
            raise OrvToolError(
                f"palette {target} holds {status.count(len(pal.colors), 'colour')}, 1 to 256 can be used"
            )
        if palettes.is_game_palette(target):
            return PaletteChoice(pal, None, target)
        to_write, game = _binary_copy_for(target, pal, options.force, notes)
        return PaletteChoice(pal, to_write, game)
    if fallback is None:
        if target is None:
            raise OrvToolError("no palette: name one with --palette")
        raise OrvToolError(f"palette {target} not found (only --quantize makes a new one)")
    if target is not None:
        _game_palette_name(target)
        writing.check(target)
        return PaletteChoice(fallback, fallback, target)
    return PaletteChoice(fallback)


def _add_colors(
    options: BuildOptions,
    choice: PaletteChoice,
    images: Sequence[NDArray[Any]],
    layer_indices: Set[int],
    shared: Optional[str],
    output: str,
    notes: List[str],
) -> PaletteChoice:
    """The palette with the colours of `images` that it lacks put into
    entries that nothing uses. A palette this build writes may take any entry
    its own pixels do not use; a palette read from `shared` also keeps every
    entry that an animation below --project-root naming it draws with."""
    base = choice.match
    target = choice.names
    others: Set[int] = set()
    if choice.write is None:
        if shared is None or not options.project_root:
            raise OrvToolError(
                f"--add-colors: palette {shared or 'of the sidecar'} is not written by this build and other "
                "animations may use it: name --project-root so that the entries no animation uses can be found"
            )
        if os.path.exists(shared):
            if not palettes.is_game_palette(shared):
                raise OrvToolError(f"--add-colors: palette {shared} is not in the game's format")
            base = palettes.read_pal(shared)  # as it is now, with what other builds added
        others, users = entries_in_use(options.project_root, shared, [output])
        target = shared
        notes.append(f"--add-colors: {len(users)} other animations below {options.project_root} use {shared}")
    seen = visible_colors(images)
    new = missing_colors(seen, base.colors)
    if not new:
        notes.append("--add-colors: the palette holds every colour already")
        return PaletteChoice(base, None, choice.names) if choice.write is None else choice
    used = exact_indices(seen, base.colors) | layer_indices | others
    colors, added = grow_palette(base.colors, new, used)
    grown = palettes.Palette(colors, base.model)
    for i, color in added:
        notes.append(f"added colour {color} to palette {target} as entry {i}")
    return PaletteChoice(grown, grown, target)


def _choose_palette(
    options: BuildOptions,
    images: Sequence[NDArray[Any]],
    fallback: Optional[palettes.Palette],
    layer_indices: Set[int],
    shared: Optional[str],
    output: str,
    notes: List[str],
) -> PaletteChoice:
    choice = _palette_for_build(options, images, fallback, notes)
    if options.add_colors:
        if options.quantize is not None:
            raise OrvToolError("--add-colors and --quantize: a palette made by --quantize holds every colour it can")
        if options.exact:
            raise OrvToolError("--add-colors and --exact: choose one")
        choice = _add_colors(options, choice, images, layer_indices, shared, output, notes)
    return choice


# --- from a record: an export folder's sidecar, or a sheet's meta.orvtool ---------------------


def _resize_anchor(options: BuildOptions) -> str:
    name = (options.resize_anchor or DEFAULT_RESIZE_ANCHOR).replace("centre", "center")
    if name not in RESIZE_ANCHORS:
        raise OrvToolError(f"unknown resize anchor '{name}' (one of {', '.join(RESIZE_ANCHORS)})")
    return name


def _refuse_plain_options(options: BuildOptions, source: str) -> None:
    for name in ("anchor", "offset", "speed"):
        if getattr(options, name) is not None:
            raise UsageError(f"--{name} is for plain PNG frames; {source} has its own")
    if options.shadow or options.background:
        raise UsageError(f"--shadow and --background are for plain PNG frames; {source} has its own")


def _sidecar_palette(doc: Dict[str, Any], where: str) -> Optional[palettes.Palette]:
    pal_doc = doc["palette"]
    if not isinstance(pal_doc.get("colors"), list):
        return None
    colors = [tuple(c) if isinstance(c, list) else c for c in pal_doc["colors"]]
    try:
        palettes.check_colors(colors)
    except OrvToolError as exc:
        raise OrvToolError(f"{where}: the palette's colours: {exc}") from None
    return palettes.Palette(colors, int(pal_doc.get("model", 0)) & 0xFFFF)


def plan_from_record(
    doc: Dict[str, Any],
    images: Dict[int, InputImage],
    layers: Dict[int, Tuple[NDArray[Any], NDArray[Any]]],
    options: BuildOptions,
    output: str,
    where: str,
    read_rows: Any = None,
) -> Plan:
    """The records that a checked sidecar document builds with the frame
    images given (by frame number; a frame without one keeps its rows, from
    `read_rows(entry)`). Entries marked "added" are frames the record did not
    have. `layers` are the index layers of frames whose image kept its size."""
    notes: List[str] = []
    details: List[str] = []  # per frame, shown with --verbose
    resized: List[Tuple[int, int, int]] = []  # frame, offsets a resized frame took
    moved_by_image: List[int] = []
    entries = doc["frames"]
    anchor = _resize_anchor(options)
    known = [e for e in entries if not e.get("added")]
    area_rule = bool(known) and all(e["frame_size"] == e["width"] * e["height"] for e in known)
    if options.transparent is not None:
        keyed = apply_color_key(list(images.values()), options.transparent)
        notes.append(f"--transparent: {status.count(keyed, 'pixel')} made transparent")

    pal_doc = doc["palette"]
    fallback = _sidecar_palette(doc, where)
    shadow_only = all(e["is_shadow"] for i, e in enumerate(entries) if i in images)
    plain_images = [images[i].rgba for i in images if not entries[i]["is_shadow"]]
    layer_indices: Set[int] = set()
    for i, (idx, cov) in layers.items():
        if not entries[i]["is_shadow"]:
            layer_indices.update(int(v) for v in np.unique(idx[cov]))
    shared = options.palette or (pal_doc.get("resolved") if options.project_root else None)
    if fallback is None and options.palette is None and options.quantize is None:
        if not shadow_only:
            raise OrvToolError(f"{where}: the palette has no 'colors': name a palette with --palette")
        choice = PaletteChoice(palettes.Palette([SHADOW_COLOR]))  # shadow frames use no colour
    else:
        choice = _choose_palette(options, plain_images, fallback, layer_indices, shared, output, notes)
    matcher = ColorMatcher(choice.match.colors)

    inexact = Inexact()
    frames: List[Frame] = []
    after_shadow = False
    for i, entry in enumerate(entries):
        shadow = entry["is_shadow"] != 0
        x, y, frame_size = entry["x_offset"], entry["y_offset"], entry["frame_size"]
        if i not in images:
            rows = read_rows(entry)
            width, height, word = entry["width"], entry["height"], entry.get("height_word")
        else:
            image = images[i]
            rgba = image.rgba
            height, width = rgba.shape[:2]
            same_size = (width, height) == (entry["width"], entry["height"])
            word = entry.get("height_word") if same_size else None
            if word is not None and bool(word & 0x8000) != shadow:
                word = None  # the shadow flag was changed in the sidecar
            moved = image.offsets is not None and image.offsets != (image.exported or (x, y))
            if image.offsets is not None and (moved or entry.get("added")):
                x, y = image.offsets
                if not entry.get("added"):
                    moved_by_image.append(i)
                    details.append(
                        f"frame {i}: offsets {x}, {y} from {image.name} "
                        f"(the record has {entry['x_offset']}, {entry['y_offset']})"
                    )
            elif not same_size:
                point = RESIZE_ANCHORS[anchor]
                (ox, oy), (nx, ny) = point(entry["width"], entry["height"]), point(width, height)
                x, y = x + ox - nx, y + oy - ny
                if not entry.get("added"):
                    resized.append((i, x, y))
                    details.append(
                        f"frame {i}: {entry['width']}x{entry['height']} in the record, {width}x{height} in "
                        f"{image.name}: built from the image, its {anchor} point kept (offsets {x}, {y})"
                    )
            if not same_size and area_rule:
                frame_size = width * height
            try:
                orv.check_offset(i, "x offset", x)
                orv.check_offset(i, "y offset", y)
                orv.check_frame_size(i, width, height, shadow, after_shadow and word is None)
                px = resolve_pixels(rgba, matcher, layers.get(i), shadow)
                inexact.add(i, rgba, px, matcher, details)
                explicit = sidecar.explicit_row_records(entry) if same_size else None
                rows = encode_rows(px, shadow, i, explicit)
            except OrvToolError as exc:
                raise OrvToolError(f"{image.name}: {exc}") from None
        frames.append(
            Frame(
                width=width,
                rows=rows,
                x_offset=x,
                y_offset=y,
                is_shadow=shadow,
                frame_size=frame_size,
                unk1=entry["unk1"],
                unk2=entry["unk2"],
                height=height,
                height_word=word,
            )
        )
        after_shadow = after_shadow or shadow
    inexact.check(options.exact)
    if resized:
        listed = ", ".join(f"frame {i} at offsets {x}, {y}" for i, x, y in resized[:5])
        more = f" and {len(resized) - 5} more" if len(resized) > 5 else ""
        notes.append(
            f"{len(resized)} of {status.count(len(entries), 'frame')} changed size and were built from their images alone, "
            f"each keeping its {anchor} point: {listed}{more}"
        )
    if moved_by_image:
        notes.append(
            f"{status.count(len(moved_by_image), 'frame')} "
            f"{'takes the offsets of its image' if len(moved_by_image) == 1 else 'take the offsets of their images'} "
            f"(oFFs), not the record's: {'frame' if len(moved_by_image) == 1 else 'frames'} "
            f"{', '.join(str(i) for i in moved_by_image)}"
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
    game = choice.names
    stored_from = game or options.palette or (pal_doc.get("resolved") if options.project_root else None)
    if options.project_root and not stored_from:
        raise OrvToolError("--project-root: the record names no palette file found at export; name it with --palette")
    if stored_from and not game and os.path.exists(stored_from) and not palettes.is_game_palette(stored_from):
        raise OrvToolError(
            f"the export's palette {stored_from} is not in the game's format: name a binary palette with --palette"
        )
    if stored_from:
        root = options.project_root or os.path.dirname(os.path.abspath(output))
        anim.raw_path_field = None
        anim.path_length = None
        anim.palette_path = orv.stored_palette_path(stored_from, root)
    return Plan(anim, choice.write, choice.names if choice.write else None, notes, details)


def _index_layer_for(
    folder: str, entry: Dict[str, Any], frame_no: int, size: Tuple[int, int], same_size: bool
) -> Optional[Tuple[NDArray[Any], NDArray[Any]]]:
    name = entry.get("indices")
    if not name:
        return None
    path = os.path.join(folder, name)
    if not os.path.exists(path):
        return None
    try:
        with open_image(path) as im:
            layer_size = im.size
    except OrvToolError as exc:
        raise OrvToolError(f"frame {frame_no}: index layer: {exc}") from None
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


def _added_frames(folder: str, entries: List[Dict[str, Any]], notes: List[str]) -> List[Dict[str, Any]]:
    """The sidecar's entries with the frame PNGs it does not list put in
    among them by name, each a copy of the frame before it (placement and
    fields) marked "added"."""
    listed = {e.get("image") for e in entries} | {e.get("indices") for e in entries}
    try:
        names = sorted(n for n in os.listdir(folder) if ADDED_FRAME.match(n) and n not in listed)
    except OSError as exc:
        raise OrvToolError(f"cannot read folder {folder}: {exc.strerror or exc}") from None
    if not names:
        return entries
    if not entries:
        raise OrvToolError(f"{sidecar.SIDECAR_NAME} lists no frame for the added {names[0]} to follow")
    out = list(entries)
    for name in names:
        at = len(out)
        for k, e in enumerate(out):
            if e.get("image") and e["image"] > name:
                at = k
                break
        model = dict(out[at - 1] if at else out[0])
        for key in ("explicit_rows", "height_word", "indices"):
            model.pop(key, None)
        model.update(image=name, is_shadow=0, runs="maximal", added=True)
        out.insert(at, model)
    for k, e in enumerate(out):
        if e.get("added"):
            notes.append(f"{e['image']} is not in {sidecar.SIDECAR_NAME}: added as frame {k}")
    return out


def plan_from_export(folder: str, options: BuildOptions, output: str) -> Plan:
    """The records (and palette) that an export folder, edited or not, builds."""
    _refuse_plain_options(options, "an export folder")
    doc = sidecar.read_sidecar(folder)
    sidecar.check_sidecar(doc)
    notes: List[str] = []
    doc = dict(doc, frames=_added_frames(folder, doc["frames"], notes))
    entries = doc["frames"]
    images: Dict[int, InputImage] = {}
    layers: Dict[int, Tuple[NDArray[Any], NDArray[Any]]] = {}
    budget = limits.PixelBudget()
    for i, entry in enumerate(entries):
        if entry["image"] is None:
            continue
        path = os.path.join(folder, entry["image"])
        rgba = read_frame_png(path, budget)
        images[i] = InputImage(entry["image"], rgba, png_offsets(path), exported_offsets(path))
        h, w = rgba.shape[:2]
        layer = _index_layer_for(folder, entry, i, (w, h), (w, h) == (entry["width"], entry["height"]))
        if layer is not None:
            layers[i] = layer
    plan = plan_from_record(
        doc, images, layers, options, output, sidecar.SIDECAR_NAME, lambda entry: sidecar.frame_rows(folder, entry)
    )
    plan.notes[:0] = notes
    return plan


# --- from a sprite sheet -------------------------------------------------------------


def plan_from_sheet(path: str, options: BuildOptions, output: str) -> Plan:
    """The records that a sprite sheet builds: through the export's record
    in its meta when it has one for as many frames, else as plain frames."""
    anchor = options.anchor or DEFAULT_ANCHOR
    if anchor not in ANCHORS:
        raise OrvToolError(f"unknown anchor '{anchor}' (one of {', '.join(ANCHORS)})")
    sheet = sheets.read_sheet(path, ANCHORS[anchor])
    images = [
        InputImage(f"{path} frame {i} ('{f.name}')", f.rgba, (f.x_offset, f.y_offset))
        for i, f in enumerate(sheet.frames)
    ]
    record = sheet.record
    notes: List[str] = []
    if record is not None:
        try:
            sidecar.check_sidecar(record)
        except OrvToolError as exc:
            raise OrvToolError(f"{path}: meta.{sheets.RECORD_KEY}: {exc}") from None
        if len(record["frames"]) == len(images):
            _refuse_plain_options(options, "a sheet with orvtool's record")
            by_frame: Dict[int, InputImage] = {}
            for i, (entry, image) in enumerate(zip(record["frames"], images, strict=True)):
                if entry["image"] is None and image.rgba.size == 0:
                    continue  # a frame without pixels keeps its rows
                by_frame[i] = image
            # a frame without pixels has no index layer: its rows are the record's explicit ones
            return plan_from_record(
                record,
                by_frame,
                {},
                options,
                output,
                f"{path}: meta.{sheets.RECORD_KEY}",
                lambda entry: sidecar.frame_rows("", dict(entry, indices=None)),
            )
        notes.append(
            f"meta.{sheets.RECORD_KEY} describes {status.count(len(record['frames']), 'frame')}, the sheet has {len(images)}: "
            "built as plain frames"
        )
    plain = BuildOptions(**{**options.__dict__, "anchor": None})
    plan = plan_from_images(images, plain, output)
    for kind in ("pivot", "slice", "anchor"):
        placed = sum(f.origin_from == kind for f in sheet.frames)
        if placed:
            notes.append(f"{status.count(placed, 'frame')} placed by {'its' if placed == 1 else 'their'} {kind}")
    plan.notes[:0] = notes
    return plan


# --- from plain images -------------------------------------------------------------


def plan_from_images(images: Sequence[InputImage], options: BuildOptions, output: str) -> Plan:
    """The records (and palette) that plain frame images build, in the order
    given. A frame's offsets: --offset, else --anchor, else the position its
    file gives (a PNG's oFFs chunk, a sheet's pivot), else bottom-center."""
    if not images:
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
    if options.transparent is not None:
        keyed = apply_color_key(images, options.transparent)
        notes.append(f"--transparent: {status.count(keyed, 'pixel')} made transparent")
    rgbas = [im.rgba for im in images]
    choice = _choose_palette(options, [] if options.shadow else rgbas, None, set(), options.palette, output, notes)
    matcher = ColorMatcher(choice.match.colors)
    inexact = Inexact()
    frames = []
    for i, image in enumerate(images):
        rgba = image.rgba
        h, w = rgba.shape[:2]
        try:
            orv.check_frame_size(i, w, h, options.shadow, False)
            if options.offset is not None:
                x, y = options.offset
            elif options.anchor is None and image.offsets is not None:
                x, y = image.offsets
            elif image.canvas is not None:  # a part of a larger canvas, placed as on it
                left, top, cw, ch = image.canvas
                x, y = ANCHORS[anchor](cw, ch)
                x, y = x + left, y + top
            else:
                x, y = ANCHORS[anchor](w, h)
            orv.check_offset(i, "x offset", x)
            orv.check_offset(i, "y offset", y)
            px = resolve_pixels(rgba, matcher, None, options.shadow)
            inexact.add(i, rgba, px, matcher, details)
            rows = encode_rows(px, options.shadow, i)
        except OrvToolError as exc:
            raise OrvToolError(f"{image.name}: {exc}") from None
        frames.append(Frame(width=w, rows=rows, x_offset=x, y_offset=y, is_shadow=options.shadow, unk1=0, unk2=1))
    inexact.check(options.exact)
    nearest = inexact.note(len(images))
    if nearest:
        notes.append(nearest)
    root = options.project_root or os.path.dirname(os.path.abspath(output))
    anim = Animation(
        frames=frames,
        speed=speed,
        palette_path=orv.stored_palette_path(choice.names or options.palette, root),
        has_background=options.background,
    )
    return Plan(anim, choice.write, choice.names if choice.write else None, notes, details)


def plan_from_frames(paths: Sequence[str], options: BuildOptions, output: str) -> Plan:
    """The records that image files build: every frame of each, in the order given."""
    if not paths:
        raise OrvToolError("no frame images given")
    if options.palette is None:
        raise UsageError("plain frames need --palette: the palette to match against, or to write with --quantize")
    budget = limits.PixelBudget()
    return plan_from_images([im for p in paths for im in read_images(p, budget)], options, output)


# --- writing -------------------------------------------------------------------------


def write_plan(plan: Plan, output: str, force: bool = False) -> BuildReport:
    """Places the palette (when the plan makes one) and the animation
    together: if the animation cannot be placed, the palette is restored."""
    _refuse_folder(output)
    if os.path.lexists(output) and not force:
        raise OrvToolError(f"{output} already exists; not replaced (use --force)")
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
    found, _ = find_palette(output, stored)
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
    _refuse_folder(output)
    if os.path.lexists(output) and not options.force:
        raise OrvToolError(f"{output} already exists; not replaced (use --force)")
    writing.check(output)


def _refuse_folder(output: str) -> None:
    if os.path.isdir(output):
        raise OrvToolError(
            f"{output} is a folder: -o names the animation file to write (a tree of export folders builds into a "
            "folder)"
        )


def build_from_sheet(path: str, output: str, options: Optional[BuildOptions] = None) -> BuildReport:
    options = options or BuildOptions()
    _refuse_existing(output, options)
    return write_plan(plan_from_sheet(path, options, output), output, options.force)


# --- what a source is ----------------------------------------------------------------


def is_export_folder(path: str) -> bool:
    return os.path.isfile(os.path.join(path, sidecar.SIDECAR_NAME))


def export_folders(tree: str) -> List[str]:
    """The export folders below `tree` (itself included), in name order; the
    folders below an export folder are not searched."""
    found: List[str] = []
    for root, dirs, _ in os.walk(tree):
        dirs.sort()
        if is_export_folder(root):
            found.append(root)
            dirs[:] = []
    return found


def plan_source(paths: Sequence[str], options: BuildOptions, output: str) -> Plan:
    """The plan for one animation's sources: an export folder, a folder of
    plain PNGs, a sprite sheet's JSON, or image files."""
    if len(paths) == 1 and os.path.isdir(paths[0]):
        folder = paths[0]
        if is_export_folder(folder):
            return plan_from_export(folder, options, output)
        pngs = inputs_folder_pngs(folder)
        if not pngs:
            raise OrvToolError(f"{folder} holds no {sidecar.SIDECAR_NAME}, no export folders and no PNG frames")
        plan = plan_from_frames(pngs, options, output)
        plan.notes.insert(0, f"no {sidecar.SIDECAR_NAME}: built from its {len(pngs)} PNG files in name order")
        return plan
    folders = [p for p in paths if os.path.isdir(p)]
    if folders:
        raise UsageError(
            f"{folders[0]} is a folder: build takes one export folder or PNG frames, or one folder or sheet"
        )
    if len(paths) == 1 and paths[0].lower().endswith(".json"):
        return plan_from_sheet(paths[0], options, output)
    return plan_from_frames(paths, options, output)


def build_source(paths: Sequence[str], output: str, options: Optional[BuildOptions] = None) -> BuildReport:
    options = options or BuildOptions()
    _refuse_existing(output, options)
    return write_plan(plan_source(paths, options, output), output, options.force)
