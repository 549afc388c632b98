"""The stages of a build in order: source → frames → placement → palette →
encoding → files.

Nothing is written until every frame has been built and checked; the output
file and a palette file, when one is made, are placed together by `writing`.
"""

from __future__ import annotations

import base64
import os
from typing import Any, Dict, List, Optional, Sequence, Set, Tuple

import numpy as np

from .. import orvfile, status, writing
from ..errors import OrvToolError, UsageError
from ..formats import palettes, sidecar
from ..inputs import InputImage, apply_color_key
from ..inputs import folder_pngs as inputs_folder_pngs
from ..loading import find_palette
from ..matching import SHADOW_COLOR, ColorMatcher, Inexact
from ..model import Animation, Frame
from . import placement, sources
from .encoding import Fields, encode_frame
from .options import BuildOptions, BuildReport, Plan
from .palette import PaletteChoice, choose_palette, stored_palette_path
from .sources import Source, SourceFrame

DEFAULT_SPEED = 100


def _refuse_plain_options(options: BuildOptions, source: str, placing: bool) -> None:
    names = ("speed",) if not placing else ("anchor", "offset", "origin", "speed")
    for name in names:
        if getattr(options, name) is not None:
            raise UsageError(f"--{name} is for plain PNG frames; {source} has its own")
    if options.shadow or options.background:
        raise UsageError(f"--shadow and --background are for plain PNG frames; {source} has its own")


def _fill_unknown(source: Source, notes: List[str]) -> None:
    """Frames the record does not know take the fields of the frame before
    them (of the first known frame, for the first), as plain frames."""
    if source.record is None:
        return
    known = [f.entry for f in source.frames if f.entry is not None]
    if not known:
        raise OrvToolError(f"{source.where}: the record knows none of its frames")
    previous: Dict[str, Any] = known[0]
    for k, frame in enumerate(source.frames):
        if frame.entry is not None:
            previous = frame.entry
            continue
        model = {key: v for key, v in previous.items() if key not in ("explicit_rows", "height_word", "indices")}
        model.update(image=frame.name, is_shadow=0, runs="maximal", added=True)
        frame.entry = model
        notes.append(f"{frame.name} is not in {_record_name(source)}: added as frame {k}")


def _record_name(source: Source) -> str:
    return sidecar.SIDECAR_NAME if os.path.isdir(source.where) else "meta.orvtool"


def _transparency(source: Source, options: BuildOptions, notes: List[str]) -> None:
    """Images that do not say which pixels are transparent: keyed with
    --transparent, else named in a note."""
    blind = [f for f in source.frames if f.rgba is not None and not f.has_alpha and f.layer is None]
    if options.transparent is not None:
        images = [InputImage(f.name, f.rgba) for f in source.frames if f.rgba is not None]
        keyed = apply_color_key(images, options.transparent)
        notes.append(f"--transparent: {status.count(keyed, 'pixel')} made transparent")
    elif blind:
        names = ", ".join(f.name for f in blind[:5]) + (f" and {len(blind) - 5} more" if len(blind) > 5 else "")
        notes.append(
            f"{names}: no alpha and no transparent colour, so every pixel is covered; "
            "name the background colour with --transparent COLOR"
        )


def _palette(source: Source, options: BuildOptions, output: str, notes: List[str]) -> PaletteChoice:
    record = source.record
    if record is None:
        if options.palette is None:
            raise UsageError("plain frames need --palette: the palette to match against, or to write with --quantize")
        shadow = options.shadow
        rgbas = [] if shadow else [f.rgba for f in source.frames if f.rgba is not None]
        return choose_palette(options, rgbas, None, set(), options.palette, output, notes)
    pal_doc = record["palette"]
    fallback = None
    if isinstance(pal_doc.get("colors"), list) and pal_doc["colors"]:
        fallback = palettes.Palette([tuple(c) for c in pal_doc["colors"]], int(pal_doc.get("model", 0)))
    drawn = [f for f in source.frames if f.rgba is not None]
    plain = [f for f in drawn if f.entry is not None and not f.entry["is_shadow"]]
    layer_indices: Set[int] = set()
    for f in plain:
        if f.layer is not None:
            layer_indices.update(int(v) for v in np.unique(f.layer[0][f.layer[1]]))
    shared = options.palette or (pal_doc.get("resolved") if options.project_root else None)
    if fallback is None and options.palette is None and options.quantize is None:
        if plain:
            raise OrvToolError(f"{source.where}: the record's palette has no 'colors': name a palette with --palette")
        return PaletteChoice(palettes.Palette([SHADOW_COLOR]))  # shadow frames use no colour
    rgbas = [f.rgba for f in plain if f.rgba is not None]
    return choose_palette(options, rgbas, fallback, layer_indices, shared, output, notes)


def _fields(frame: SourceFrame, options: BuildOptions, size: Tuple[int, int], area_rule: bool) -> Fields:
    entry = frame.entry
    if entry is None:
        return Fields(options.shadow, 0, 0, 1, None)
    frame_size = entry["frame_size"]
    if area_rule and (entry.get("added") or size != (entry["width"], entry["height"])):
        frame_size = size[0] * size[1]
    return Fields(entry["is_shadow"] != 0, frame_size, entry["unk1"], entry["unk2"], _height_word(entry))


def _height_word(entry: Dict[str, Any]) -> Optional[int]:
    """The record's raw height word (checked whole: a JSON 0.0 is 0)."""
    word = entry.get("height_word")
    return None if word is None else int(word)


def _kept_frame(frame: SourceFrame, source: Source) -> Frame:
    """A frame without pixels: the record's rows as they were."""
    entry = frame.entry
    assert entry is not None
    return sidecar.frame_of(entry, source.rows_of(entry))


def _placement_notes(source: Source, rules: List[Tuple[int, str, Tuple[int, int]]], options: BuildOptions) -> List[str]:
    notes: List[str] = []
    moved = [i for i, rule, at in rules if rule == "source" and _differs(source.frames[i], at)]
    if moved and source.record is not None:
        one = len(moved) == 1
        if os.path.isdir(source.where):
            how = "of its image (oFFs)" if one else "of their images (oFFs)"
        else:
            how = "the sheet gives it" if one else "the sheet gives them"
        notes.append(
            f"{status.count(len(moved), 'frame')} {'takes' if one else 'take'} the offsets {how}, not the record's: "
            f"{'frame' if one else 'frames'} {', '.join(str(i) for i in moved)}"
        )
    resized = [(i, at) for i, rule, at in rules if rule == "resized"]
    if resized:
        anchor = placement.resize_anchor(options)
        listed = ", ".join(f"frame {i} at offsets {x}, {y}" for i, (x, y) in resized[:5])
        more = f" and {len(resized) - 5} more" if len(resized) > 5 else ""
        notes.append(
            f"{len(resized)} of {status.count(len(rules), 'frame')} changed size and were built from their images alone, "
            f"each keeping its {anchor} point: {listed}{more}"
        )
    if source.record is None and os.path.isfile(source.where):
        for kind in ("pivot", "slice", "anchor"):
            count = sum(1 for i, rule, _ in rules if rule == "source" and source.frames[i].placed_by == kind)
            if count:
                notes.append(f"{status.count(count, 'frame')} placed by {'its' if count == 1 else 'their'} {kind}")
        by_origin = sum(1 for _, rule, _ in rules if rule == "origin")
        if by_origin and source.where.lower().endswith(".json"):
            notes.append(placement.origin_note(by_origin, options))
    return notes


def _differs(frame: SourceFrame, at: Tuple[int, int]) -> bool:
    return (
        frame.entry is not None
        and not frame.entry.get("added")
        and at != (frame.entry["x_offset"], frame.entry["y_offset"])
    )


def _frames(source: Source, options: BuildOptions, matcher: ColorMatcher, plan: Plan) -> List[Frame]:
    inexact = Inexact()
    known = [f.entry for f in source.frames if f.entry is not None and not f.entry.get("added")]
    area_rule = bool(known) and all(e["frame_size"] == e["width"] * e["height"] for e in known)
    frames: List[Frame] = []
    rules: List[Tuple[int, str, Tuple[int, int]]] = []
    after_shadow = False
    for i, frame in enumerate(source.frames):
        if frame.rgba is None:
            frames.append(_kept_frame(frame, source))
        else:
            size = (frame.rgba.shape[1], frame.rgba.shape[0])
            at, rule = placement.offsets(frame, options, size)
            rules.append((i, rule, at))
            if rule == "source" and _differs(frame, at):
                entry = frame.entry or {}
                plan.details.append(
                    f"frame {i}: offsets {at[0]}, {at[1]} from {frame.name} "
                    f"(the record has {entry.get('x_offset')}, {entry.get('y_offset')})"
                )
            fields = _fields(frame, options, size, area_rule)
            frames.append(encode_frame(i, frame, fields, at, matcher, inexact, plan.details, after_shadow))
        after_shadow = after_shadow or bool(frames[-1].is_shadow)
    inexact.check(options.exact)
    plan.notes += _placement_notes(source, rules, options)
    nearest = inexact.note(len(source.frames))
    if nearest:
        plan.notes.append(nearest)
    return frames


def _record_animation(
    source: Source, frames: List[Frame], choice: PaletteChoice, options: BuildOptions, output: str
) -> Animation:
    doc = source.record
    assert doc is not None
    header = doc["header"]
    count: Optional[int] = doc["frame_count_field"]
    if source.reorder:  # frames were taken out, added or moved
        count = len(frames) - (1 if header and header["flag"] else 0)
    pal_doc = doc["palette"]
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
        anim.palette_path = stored_palette_path(stored_from, root)
    return anim


def _plain_animation(frames: List[Frame], choice: PaletteChoice, options: BuildOptions, output: str) -> Animation:
    speed = DEFAULT_SPEED if options.speed is None else options.speed
    if not 0 <= speed <= 0xFFFFFFFF:
        raise OrvToolError(f"--speed {speed} is not a 32-bit value")
    root = options.project_root or os.path.dirname(os.path.abspath(output))
    assert options.palette is not None
    return Animation(
        frames=frames,
        speed=speed,
        palette_path=stored_palette_path(choice.names or options.palette, root),
        has_background=options.background,
    )


def make_plan(source: Source, options: BuildOptions, output: str) -> Plan:
    """The records (and palette) that a source builds."""
    placement.check_anchors(options)
    if not source.frames:
        raise OrvToolError(f"{source.where}: no frames")
    plan = Plan(Animation(), notes=list(source.notes))
    _fill_unknown(source, plan.notes)
    _transparency(source, options, plan.notes)
    choice = _palette(source, options, output, plan.notes)
    matcher = ColorMatcher(choice.match.colors)
    frames = _frames(source, options, matcher, plan)
    if source.record is not None:
        plan.animation = _record_animation(source, frames, choice, options, output)
    else:
        plan.animation = _plain_animation(frames, choice, options, output)
    plan.palette = choice.write
    plan.palette_target = choice.names if choice.write else None
    return plan


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


def read_source(paths: Sequence[str], options: BuildOptions) -> Source:
    """An export folder, a folder of plain PNGs, a sprite sheet's JSON, or image files."""
    if options.tag is not None and not (len(paths) == 1 and paths[0].lower().endswith(".json")):
        raise UsageError("--tag is for sprite sheets")
    if len(paths) == 1 and os.path.isdir(paths[0]):
        folder = paths[0]
        if is_export_folder(folder):
            _refuse_plain_options(options, "an export folder", True)
            return sources.read_export(folder)
        pngs = inputs_folder_pngs(folder)
        if not pngs:
            raise OrvToolError(f"{folder} holds no {sidecar.SIDECAR_NAME}, no export folders and no PNG frames")
        source = sources.read_plain(pngs)
        source.notes.insert(0, f"no {sidecar.SIDECAR_NAME}: built from its {len(pngs)} PNG files in name order")
        return source
    folders = [p for p in paths if os.path.isdir(p)]
    if folders:
        raise UsageError(
            f"{folders[0]} is a folder: build takes one export folder or PNG frames, or one folder or sheet"
        )
    sheet = len(paths) == 1 and paths[0].lower().endswith(".json")
    if not sheet and options.palette is None:
        raise UsageError("plain frames need --palette: the palette to match against, or to write with --quantize")
    if sheet:
        source = sources.read_sheet(paths[0], options.tag, options.origin is not None)
        if source.record is not None:
            _refuse_plain_options(options, "a sheet with orvtool's record", False)
        return source
    return sources.read_plain(paths)


def plan_source(paths: Sequence[str], options: BuildOptions, output: str) -> Plan:
    return make_plan(read_source(paths, options), options, output)


# --- writing -------------------------------------------------------------------------


def _refuse_existing(output: str, options: BuildOptions) -> None:
    """Before the work: an output that would not be replaced."""
    _refuse_folder(output)
    outside = writing.outside_link(output, os.path.dirname(os.path.abspath(output)))
    if outside is not None and not options.force:
        raise writing.link_refusal(output, outside)
    if os.path.lexists(output) and not options.force:
        raise OrvToolError(f"{output} already exists; not replaced (use --force)")
    writing.check(output)


def _refuse_folder(output: str) -> None:
    if os.path.isdir(output):
        raise OrvToolError(
            f"{output} is a folder: -o names the animation file to write (a tree of export folders builds into a "
            "folder)"
        )


def write_plan(plan: Plan, output: str, force: bool = False) -> BuildReport:
    """Places the palette (when the plan makes one) and the animation
    together: if the animation cannot be placed, the palette is restored."""
    _refuse_folder(output)
    outside = writing.outside_link(output, os.path.dirname(os.path.abspath(output)))
    if outside is not None and not force:
        raise writing.link_refusal(output, outside)
    if os.path.lexists(output) and not force:
        raise OrvToolError(f"{output} already exists; not replaced (use --force)")
    try:
        # What is written must read back: a record the reader would take
        # otherwise (a row list longer than the height, a count of frames
        # other than those given) is refused before anything is placed.
        data = orvfile.encode_animation(plan.animation, check=True)
    except ValueError as exc:
        raise OrvToolError(f"{output} would not read back as built: {exc}") from None
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
    if outside is not None:
        report.notes.append(writing.link_note(output, outside))
    found, _ = find_palette(output, stored)
    if found is None:
        report.notes.append(
            f"the stored palette path '{os.fsdecode(stored)}' is not found from {os.path.dirname(os.path.abspath(output))} "
            "or the folders above it (see --project-root)"
        )
    return report


def build_source(paths: Sequence[str], output: str, options: Optional[BuildOptions] = None) -> BuildReport:
    options = options or BuildOptions()
    _refuse_existing(output, options)
    return write_plan(plan_source(paths, options, output), output, options.force)


def build_from_export(folder: str, output: str, options: Optional[BuildOptions] = None) -> BuildReport:
    return build_source([folder], output, options)


def build_from_frames(paths: Sequence[str], output: str, options: Optional[BuildOptions] = None) -> BuildReport:
    if not paths:
        raise OrvToolError("no frame images given")
    return build_source(list(paths), output, options)


def build_from_sheet(path: str, output: str, options: Optional[BuildOptions] = None) -> BuildReport:
    return build_source([path], output, options)


def sheet_tags(path: str) -> List[str]:
    """The tags a sprite sheet names, in name order."""
    return sorted(sources.read_sheet(path).tags)


def build_tags(path: str, folder: str, options: BuildOptions) -> List[Tuple[str, Any]]:
    """One animation file per tag of a sheet, NAME.orv in `folder`: (tag,
    report or the OrvToolError that stopped it)."""
    tags = sheet_tags(path)
    if not tags:
        raise OrvToolError(f"{path} names no tags (Aseprite frameTags, TexturePacker animations)")
    os.makedirs(folder, exist_ok=True)
    out: List[Tuple[str, Any]] = []
    for tag in tags:
        opts = BuildOptions(**{**options.__dict__, "tag": tag})
        try:
            out.append((tag, build_source([path], os.path.join(folder, _file_name(tag) + ".orv"), opts)))
        except OrvToolError as exc:
            out.append((tag, exc))
    return out


def _file_name(tag: str) -> str:
    return "".join(c if c.isalnum() or c in "-_." else "_" for c in tag).strip(".") or "tag"
