"""The stages of a build in order: source → frames → placement → palette →
encoding → files.

Nothing is written until every frame has been built and checked; the output
file and a palette file, when one is made, are placed together by `writing`.
"""

from __future__ import annotations

import os
from dataclasses import replace
from typing import Dict, List, Optional, Sequence, Set, Tuple, Union

import numpy as np

from orvtool.build import placement, sources
from orvtool.build.encoding import encode_frame
from orvtool.build.inputs import InputImage, apply_color_key
from orvtool.build.inputs import folder_pngs as inputs_folder_pngs
from orvtool.build.matching import SHADOW_COLOR, ColorMatcher, Inexact, quantize_palette
from orvtool.build.options import BuildOptions, BuildReport, Plan
from orvtool.build.palette import PaletteChoice, choose_palette, stored_palette_path
from orvtool.build.sources import Source, SourceFrame, is_export_folder
from orvtool.core import orvfile, writing
from orvtool.core.native import NotReadBack
from orvtool.formats import palettes, sheets, sidecar
from orvtool.formats.folders import walk
from orvtool.load.loading import find_palette
from orvtool.model import limits
from orvtool.model.arrays import Rgba
from orvtool.model.errors import OrvToolError, UsageError
from orvtool.model.records import Animation, Color, Frame, FrameEntry
from orvtool.report import status
from orvtool.report.status import Finding

DEFAULT_SPEED = 100
# The record's fields as the core's encoder names them, and as the export's
# record does.
RECORD_KEYS = {"path_length": "location_size", "frame_count": "frame_count_field", "has_header": "header"}


def _refuse_plain_options(options: BuildOptions, source: str, placing: bool) -> None:
    for name in ("anchor", "offset", "origin") if placing else ():
        if getattr(options, name) is not None:
            raise UsageError(f"--{name} is for plain PNG frames; {source} has its own")
    if options.shadow or options.background:
        raise UsageError(f"--shadow and --background are for plain PNG frames; {source} has its own")


def _fill_unknown(source: Source, notes: List[Finding]) -> None:
    """Frames the record does not know take the fields of the frame before
    them (of the first known frame, for the first), as plain frames."""
    if source.record is None:
        return
    known = [f.entry for f in source.frames if f.entry is not None]
    if not known:
        raise OrvToolError("the record knows none of its frames", where=source.where, category="source_empty")
    previous: FrameEntry = known[0]
    for k, frame in enumerate(source.frames):
        if frame.entry is not None:
            previous = frame.entry
            continue
        frame.entry = replace(previous, image=frame.name, indices=None, is_shadow=0, height_word=None, explicit_rows=())
        frame.added = True
        notes.append(Finding("frame_added", f"{frame.name} is not in {_record_name(source)}: added as frame {k}"))


def _record_name(source: Source) -> str:
    return sidecar.SIDECAR_NAME if source.kind == "export" else "meta.orvtool"


def _transparency(source: Source, options: BuildOptions, notes: List[Finding]) -> None:
    """Images that do not say which pixels are transparent: keyed with
    --transparent, else named in a note."""
    blind = [f for f in source.frames if f.rgba is not None and not f.has_alpha and f.layer is None]
    if options.transparent is not None:
        images = [InputImage(f.name, f.rgba) for f in source.frames if f.rgba is not None]
        keyed = apply_color_key(images, options.transparent)
        notes.append(Finding("colour_keyed", f"--transparent: {status.count(keyed, 'pixel')} made transparent"))
    elif blind:
        names = ", ".join(f.name for f in blind[:5]) + (f" and {len(blind) - 5} more" if len(blind) > 5 else "")
        notes.append(
            Finding(
                "no_transparency",
                f"{names}: no alpha and no transparent colour, so every pixel is covered; "
                "name the background colour with --transparent COLOR",
            )
        )


def _palette(source: Source, options: BuildOptions, output: str, notes: List[Finding]) -> PaletteChoice:
    record = source.record
    if record is None:
        if options.palette is None:
            raise UsageError("plain frames need --palette: the palette to match against, or to write with --quantize")
        shadow = options.shadow
        rgbas = [] if shadow else [f.rgba for f in source.frames if f.rgba is not None]
        return choose_palette(options, rgbas, None, set(), options.palette, output, notes)
    pal = record.palette
    fallback = palettes.Palette(list(pal.colors), pal.model) if pal.colors else None
    drawn = [f for f in source.frames if f.rgba is not None]
    plain = [f for f in drawn if f.entry is not None and not f.entry.is_shadow]
    layer_indices: Set[int] = set()
    for f in plain:
        if f.layer is not None:
            layer_indices.update(int(v) for v in np.unique(f.layer[0][f.layer[1]]))
    shared = options.palette or (pal.resolved if options.project_root else None)
    if fallback is None and options.palette is None and options.quantize is None:
        if plain:
            raise OrvToolError(
                "the record's palette has no 'colors': name a palette with --palette",
                where=source.where,
                category="palette_missing",
            )
        return PaletteChoice(palettes.Palette([SHADOW_COLOR]))  # shadow frames use no colour
    rgbas = [f.rgba for f in plain if f.rgba is not None]
    return choose_palette(options, rgbas, fallback, layer_indices, shared, output, notes)


def _fields(frame: SourceFrame, options: BuildOptions, area_rule: bool) -> FrameEntry:
    """The record's fields of a frame besides its rows and placement: the
    entry's, its frame size the area when the rule says so; a new frame's."""
    entry = frame.entry
    if entry is None:
        return FrameEntry(0, 0, 0, 0, int(options.shadow), frame_size=0, unk1=0, unk2=1)
    if area_rule and not frame.keeps_rectangle:
        return replace(entry, frame_size=frame.size[0] * frame.size[1])
    return entry


def _kept_frame(frame: SourceFrame, source: Source) -> Frame:
    """A frame without pixels: the record's rows as they were."""
    entry = frame.entry
    assert entry is not None
    return sidecar.frame_of(entry, source.rows_of(entry))


def _placement_notes(
    source: Source, rules: List[Tuple[int, str, Tuple[int, int]]], options: BuildOptions
) -> List[Finding]:
    notes: List[Finding] = []
    moved = [i for i, rule, at in rules if rule == "source" and _differs(source.frames[i], at)]
    if moved and source.record is not None:
        one = len(moved) == 1
        if source.kind == "export":
            how = "of its image (oFFs)" if one else "of their images (oFFs)"
        else:
            how = "the sheet gives it" if one else "the sheet gives them"
        notes.append(
            Finding(
                "frame_moved",
                f"{status.count(len(moved), 'frame')} {'takes' if one else 'take'} the offsets {how}, not the "
                f"record's: {'frame' if one else 'frames'} {', '.join(str(i) for i in moved)}",
            )
        )
    resized = [(i, at) for i, rule, at in rules if rule == "resized"]
    if resized:
        anchor = placement.resize_anchor(options)
        notes.append(
            Finding(
                "frame_resized",
                f"{len(resized)} of {status.count(len(rules), 'frame')} changed size and were built from their images "
                f"alone, each keeping its {anchor} point: {_listed(resized)}",
            )
        )
    regrown = [
        (i, at)
        for i, rule, at in rules
        if rule == "source" and (known := source.frames[i].known) is not None and source.frames[i].size != known.size
    ]
    if regrown:
        notes.append(
            Finding(
                "frame_resized",
                f"{len(regrown)} of {status.count(len(rules), 'frame')} changed size and were placed where "
                f"{'the sheet' if source.kind == 'sheet' else 'their images'} put them: {_listed(regrown)}",
            )
        )
    if source.record is None and source.kind == "sheet":
        for kind in ("pivot", "slice", "anchor"):
            count = sum(1 for i, rule, _ in rules if rule == "source" and source.frames[i].placed_by == kind)
            if count:
                its = "its" if count == 1 else "their"
                notes.append(Finding("frame_placed", f"{status.count(count, 'frame')} placed by {its} {kind}"))
        by_origin = sum(1 for _, rule, _ in rules if rule == "origin")
        if by_origin:
            notes.append(Finding("frame_placed", placement.origin_note(by_origin, options)))
    notes += _preview_notes(source, rules, options)
    return notes


def _preview_notes(
    source: Source, rules: List[Tuple[int, str, Tuple[int, int]]], options: BuildOptions
) -> List[Finding]:
    """How the frames of animated images were placed: by the record of
    orvtool's preview, else by an anchor or --origin, as an animated image
    says nothing of the origin."""
    notes: List[Finding] = []
    by_record = sum(1 for i, rule, _ in rules if rule == "source" and source.frames[i].placed_by == "preview")
    if by_record:
        notes.append(
            Finding(
                "preview_placement",
                f"{status.count(by_record, 'frame')} placed as orvtool's preview records them: offsets and sizes",
            )
        )
    if source.kind == "sheet":
        return notes  # a sheet's frames: said by frame_placed
    animated = sum(1 for i, rule, _ in rules if rule == "origin" and source.frames[i].duration is not None)
    if animated:
        said = placement.origin_note(animated, options)
        if options.origin is None:
            said += (
                " (an animated image does not say where the origin is: --origin X Y names it, in pixels from the "
                "image's top-left)"
            )
        notes.append(Finding("preview_placement", said))
    return notes


def _listed(placed: List[Tuple[int, Tuple[int, int]]]) -> str:
    """The first frames of a note with their offsets, and how many more."""
    listed = ", ".join(f"frame {i} at offsets {x}, {y}" for i, (x, y) in placed[:5])
    return listed + (f" and {len(placed) - 5} more" if len(placed) > 5 else "")


def _differs(frame: SourceFrame, at: Tuple[int, int]) -> bool:
    return frame.known is not None and at != frame.known.offsets


def _frames(source: Source, options: BuildOptions, matcher: ColorMatcher, plan: Plan) -> List[Frame]:
    inexact = Inexact()
    known = [f.known for f in source.frames if f.known is not None]
    area_rule = bool(known) and all(e.frame_size == e.width * e.height for e in known)
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
            if rule == "source" and frame.known is not None and _differs(frame, at):
                plan.details.append(
                    f"frame {i}: offsets {at[0]}, {at[1]} from {frame.name} "
                    f"(the record has {frame.known.x_offset}, {frame.known.y_offset})"
                )
            fields = _fields(frame, options, area_rule)
            frames.append(encode_frame(i, frame, fields, at, matcher, inexact, plan.details, after_shadow))
            frame.let_go()  # its record holds it now
        after_shadow = after_shadow or bool(frames[-1].is_shadow)
    inexact.check(options.exact)
    plan.notes += _placement_notes(source, rules, options)
    nearest = inexact.note(len(source.frames))
    if nearest:
        plan.notes.append(Finding("nearest_colour", nearest))
    return frames


def _record_animation(
    source: Source, frames: List[Frame], choice: PaletteChoice, options: BuildOptions, output: str
) -> Animation:
    record = source.record
    assert record is not None
    header = record.header
    count = record.frame_count_field
    if source.reorder:  # frames were taken out, added or moved
        count = record.count_field_for(len(frames))
    anim = Animation(
        frames=frames,
        speed=record.speed if options.speed is None else options.speed,
        has_background=header is not None,
        background_flag=header.flag if header else 1,
        reserved=header.reserved if header else b"\0\0\0\0",
        raw_path_field=record.palette.path_field,
        path_length=record.palette.location_size,
        frame_count=count,
        trailing=record.trailing,
    )
    game = choice.names
    stored_from = game or options.palette or (record.palette.resolved if options.project_root else None)
    if options.project_root and not stored_from:
        raise OrvToolError(
            "--project-root: the record names no palette file found at export; name it with --palette",
            category="palette_missing",
        )
    if stored_from and not game and os.path.exists(stored_from) and not palettes.is_game_palette(stored_from):
        raise OrvToolError(
            f"the export's palette {stored_from} is not in the game's format: name a binary palette with --palette",
            category="palette_unusable",
        )
    if stored_from:
        root = options.project_root or os.path.dirname(os.path.abspath(output))
        anim.raw_path_field = None
        anim.path_length = None
        anim.palette_path = stored_palette_path(stored_from, root)
    return anim


def _plain_animation(
    frames: List[Frame], choice: PaletteChoice, options: BuildOptions, output: str, recorded: Optional[int]
) -> Animation:
    speed = options.speed if options.speed is not None else recorded if recorded is not None else DEFAULT_SPEED
    if not 0 <= speed <= 0xFFFFFFFF:
        raise OrvToolError(f"--speed {speed} is not a 32-bit value", category="option_invalid")
    root = options.project_root or os.path.dirname(os.path.abspath(output))
    assert options.palette is not None
    return Animation(
        frames=frames,
        speed=speed,
        palette_path=stored_palette_path(choice.names or options.palette, root),
        has_background=options.background,
    )


def make_plan(source: Source, options: BuildOptions, output: str, budget: Optional[limits.Budget] = None) -> Plan:
    """The records (and palette) that a source builds; its frames as planned
    charged to `budget` before any is matched."""
    placement.check_anchors(options)
    if not source.frames:
        raise OrvToolError("no frames", where=source.where, category="source_empty")
    if not source.planned:
        sources.charge_frames(
            budget or limits.Budget(),
            source.where,
            len(source.frames),
            ((id(f.rgba) if f.rgba is not None else k, f.rgba, f.layer, f.size) for k, f in enumerate(source.frames)),
        )
        source.planned = True
    plan = Plan(Animation(), notes=list(source.notes))
    _fill_unknown(source, plan.notes)
    _transparency(source, options, plan.notes)
    choice = _palette(source, options, output, plan.notes)
    matcher = ColorMatcher(choice.match.colors)
    frames = _frames(source, options, matcher, plan)
    if source.record is not None:
        plan.animation = _record_animation(source, frames, choice, options, output)
    else:
        plan.animation = _plain_animation(frames, choice, options, output, source.speed)
    plan.palette = choice.write
    plan.palette_target = choice.names if choice.write else None
    plan.notes += _speed_notes(source, options, plan.animation.speed)
    return plan


def _speed_notes(source: Source, options: BuildOptions, speed: int) -> List[Finding]:
    """The file holds one speed, which only the game interprets: frame times
    are not converted into it. Said where the source's frame durations differ,
    or where the source has times or is a sheet but no speed of its own."""
    durations = sorted({f.duration for f in source.frames if f.duration is not None})
    which = (
        "--speed"
        if options.speed is not None
        else "the record's"
        if source.record
        else "the preview's"
        if source.speed is not None
        else "the default"
    )
    if len(durations) > 1:
        return [
            Finding(
                "speed_written",
                f"frame durations differ ({durations[0]} to {durations[-1]} ms) and are not stored: the file holds "
                f"one speed, {speed} ({which}{'' if options.speed is not None else '; --speed sets it'})",
            )
        ]
    timed = bool(durations) or source.kind == "sheet"
    if source.record is not None or source.speed is not None or options.speed is not None or not timed:
        return []
    if durations:
        given = f"the source's frame times (frames of {durations[0]} ms) are not stored"
    else:
        given = "the sheet gives no speed"
    return [
        Finding(
            "speed_written", f"speed {speed} written (the default; --speed sets it): {given}, the file holds one speed"
        )
    ]


# --- what a source is ----------------------------------------------------------------


def export_folders(tree: str) -> List[str]:
    """The export folders below `tree` (itself included), in name order. An
    export folder may hold others: `hero.orv` exports to `hero/`, and the
    files of a folder `hero/` beside it to folders below that."""
    found: List[str] = []
    for root, dirs, _ in walk(tree):
        dirs.sort()
        if is_export_folder(root):
            found.append(root)
    return found


def read_source(paths: Sequence[str], options: BuildOptions, budget: Optional[limits.Budget] = None) -> Source:
    """An export folder, a folder of plain PNGs, a sprite sheet's JSON, or
    image files; what they hold charged to `budget`."""
    budget = budget or limits.Budget()
    kind = sources.source_kind(paths)
    if options.tag is not None and kind != "sheet":
        raise UsageError("--tag is for sprite sheets")
    if options.image is not None and kind != "sheet":
        raise UsageError("--image is for a sprite sheet's JSON")
    if kind == "export":
        _refuse_plain_options(options, "an export folder", True)
        return sources.read_export(paths[0], budget)
    if kind == "folder":
        return _read_folder(paths[0], budget)
    folders = [p for p in paths if os.path.isdir(p)]
    if folders:
        raise UsageError(
            f"{folders[0]} is a folder: build takes one export folder or PNG frames, or one folder or sheet"
        )
    if kind == "images" and options.palette is None:
        raise UsageError("plain frames need --palette: the palette to match against, or to write with --quantize")
    if kind == "sheet":
        source = sources.read_sheet(paths[0], options.tag, options.origin is not None, options.image, budget)
        if source.record is not None:
            _refuse_plain_options(options, "a sheet with orvtool's record", False)
        return source
    return sources.read_plain(paths, budget)


def _read_folder(folder: str, budget: limits.Budget) -> Source:
    """A folder of plain PNG frames, in name order."""
    pngs = inputs_folder_pngs(folder)
    if not pngs:
        raise OrvToolError(
            f"{folder} holds no {sidecar.SIDECAR_NAME}, no export folders and no PNG frames",
            category="source_empty",
        )
    source = sources.read_plain(pngs, budget)
    source.kind = "folder"
    source.notes.insert(
        0,
        Finding(
            "frames_in_name_order", f"no {sidecar.SIDECAR_NAME}: built from its {len(pngs)} PNG files in name order"
        ),
    )
    return source


def plan_source(
    paths: Sequence[str], options: BuildOptions, output: str, budget: Optional[limits.Budget] = None
) -> Plan:
    """The plan of a build, what it holds charged to `budget` (one for the
    command, made before any work) stage by stage."""
    budget = budget or limits.Budget()
    return make_plan(read_source(paths, options, budget), options, output, budget)


# --- writing -------------------------------------------------------------------------


def _refuse_existing(output: str, options: BuildOptions) -> None:
    """Before the work: an output that would not be replaced."""
    _refuse_folder(output)
    outside = writing.outside_link(output, os.path.dirname(os.path.abspath(output)))
    if outside is not None and not options.force:
        raise writing.link_refusal(output, outside)
    if os.path.lexists(output) and not options.force:
        raise OrvToolError("already exists; not replaced (use --force)", where=output, category="output_exists")
    writing.check(output)


def _refuse_folder(output: str) -> None:
    if os.path.isdir(output):
        raise OrvToolError(
            f"{output} is a folder: -o names the animation file to write (a tree of export folders builds into a "
            "folder)",
            category="output_refused",
        )


def write_plan(plan: Plan, output: str, force: bool = False) -> BuildReport:
    """Places the palette (when the plan makes one) and the animation
    together: if the animation cannot be placed, the palette is restored."""
    _refuse_folder(output)
    folder = os.path.dirname(os.path.abspath(output))
    top = os.path.realpath(folder)
    outside = writing.outside_link(output, folder)
    if outside is not None and not force:
        raise writing.link_refusal(output, outside)
    if os.path.lexists(output) and not force:
        raise OrvToolError("already exists; not replaced (use --force)", where=output, category="output_exists")
    try:
        # What is written must read back: a record the reader would take
        # otherwise (a row list longer than the height, a count of frames
        # other than those given) is refused before anything is placed.
        data = orvfile.encode_animation(plan.animation, check=True)
    except NotReadBack as exc:
        back = exc.difference
        key = RECORD_KEYS.get(back.field, back.field)
        frame = f"frame {back.frame}: " if back.frame is not None else ""
        raise OrvToolError(
            f"would not read back as built: {frame}'{key}' {back.detail}", where=output, category="frame_out_of_range"
        ) from None
    files: List[Tuple[str, writing.Writer]] = []
    inside: List[Optional[str]] = []
    if plan.palette is not None and plan.palette_target is not None:
        files.append((plan.palette_target, writing.bytes_writer(palettes.encode_pal(plan.palette))))
        inside.append(None)
    files.append((output, writing.bytes_writer(data)))
    inside.append(top if outside is None else None)  # a link out only where --force let it through
    writing.place_set(files, inside)
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
            Finding(
                "stored_palette_not_found",
                f"the stored palette path '{os.fsdecode(stored)}' is not found from the file's folder or the folders "
                "above it (see --project-root)",
            )
        )
    return report


def build_source(
    paths: Sequence[str], output: str, options: Optional[BuildOptions] = None, budget: Optional[limits.Budget] = None
) -> BuildReport:
    """Builds one animation file; what the build holds is charged to `budget`
    (a new one when None)."""
    options = options or BuildOptions()
    _refuse_existing(output, options)
    return write_plan(plan_source(paths, options, output, budget), output, options.force)


def build_from_export(folder: str, output: str, options: Optional[BuildOptions] = None) -> BuildReport:
    return build_source([folder], output, options)


def build_from_frames(paths: Sequence[str], output: str, options: Optional[BuildOptions] = None) -> BuildReport:
    if not paths:
        raise OrvToolError("no frame images given", category="source_empty")
    return build_source(list(paths), output, options)


def build_from_sheet(path: str, output: str, options: Optional[BuildOptions] = None) -> BuildReport:
    return build_source([path], output, options)


def _tags_palette(sheet: sheets.Sheet, options: BuildOptions) -> palettes.Palette:
    """--quantize for --each-tag: one palette made from the frames of every
    tag, which all the animations share."""
    assert options.quantize is not None
    source = sources.sheet_source(sheet)
    tagged = sorted({i for frames in sheet.tags.values() for i in frames})
    images = [
        InputImage(f.name, f.rgba.copy())
        for f in (source.frames[i] for i in tagged)
        if f.rgba is not None and not (f.entry is not None and f.entry.is_shadow)
    ]
    if options.transparent is not None:
        apply_color_key(images, options.transparent)
    return palettes.Palette(quantize_palette([im.rgba for im in images], options.quantize))


BuildOrFailure = Union[BuildReport, OrvToolError]


def _own_pixels(source: Source) -> None:
    """Frames of a sheet that others built from it share: each array that
    --transparent would change in place copied, once."""
    copies: Dict[int, Rgba] = {}
    for frame in source.frames:
        if frame.rgba is not None:
            frame.rgba = copies.setdefault(id(frame.rgba), frame.rgba.copy())


def build_tags(
    path: str, folder: str, options: BuildOptions, budget: Optional[limits.Budget] = None
) -> List[Tuple[str, BuildOrFailure]]:
    """One animation file per tag of a sheet, NAME.orv in `folder`: (tag,
    report or the OrvToolError that stopped it). The sheet is read once;
    every tag is planned before anything is written, all of them charged to
    one `budget`; they share one palette (with --quantize, made from all their
    frames), written once."""
    budget = budget or limits.Budget()
    sheet = sheets.read_sheet(path, options.image, budget)
    tags = sorted(sheet.tags)
    if not tags:
        raise OrvToolError(
            f"{path} names no tags (Aseprite frameTags, TexturePacker animations)", category="option_invalid"
        )
    if options.add_colors:
        raise UsageError(
            "--each-tag and --add-colors: each animation would grow the palette on its own; grow it with one build, "
            "then build the tags against it"
        )
    planned_frames = sum(len(sheet.tags[tag]) for tag in tags if tag not in sheet.unclear)
    budget.fits(
        planned_frames * limits.FRAME_BYTES,
        path,
        f"--each-tag: its {len(tags):,} tags' {planned_frames:,} frames as planned",
    )
    if options.quantize is not None:
        options = replace(options, made_palette=_tags_palette(sheet, options))
    writing.make_folders(folder)
    planned: List[Tuple[str, str, Union[Plan, OrvToolError]]] = []
    for tag, name in tag_file_names(tags).items():
        output = os.path.join(folder, name)
        opts = replace(options, tag=tag)
        try:
            _refuse_existing(output, opts)
            source = sources.sheet_source(sheet, tag, opts.origin is not None, budget)
            if opts.transparent is not None:
                _own_pixels(source)
            if source.record is not None:
                _refuse_plain_options(opts, "a sheet with orvtool's record", False)
            planned.append((tag, output, make_plan(source, opts, output, budget)))
        except OrvToolError as exc:
            if exc.category == limits.OVER_BUDGET:
                raise  # the tags together are past the budget: no tag is written
            planned.append((tag, output, exc))
    out: List[Tuple[str, BuildOrFailure]] = []
    written: Optional[Tuple[str, List[Color]]] = None
    for tag, output, plan in planned:
        if isinstance(plan, OrvToolError):
            out.append((tag, plan))
            continue
        if plan.palette is not None and written == (plan.palette_target, plan.palette.colors):
            plan.palette = plan.palette_target = None  # written with an earlier tag
        try:
            out.append((tag, write_plan(plan, output, options.force)))
        except OrvToolError as exc:
            out.append((tag, exc))
            continue
        if plan.palette is not None and plan.palette_target is not None:
            written = (plan.palette_target, plan.palette.colors)
    return out


def tag_file_names(tags: Sequence[str]) -> Dict[str, str]:
    """A file name for each tag, NAME.orv with the characters a file name
    cannot hold made "_"; names that would fall together (on a file system
    that ignores case too) are told apart by a number: "a/b" and "a_b" give
    a_b.orv and a_b-2.orv."""
    taken: Set[str] = set()
    names: Dict[str, str] = {}
    for tag in tags:
        stem = "".join(c if c.isalnum() or c in "-_." else "_" for c in tag).strip(".") or "tag"
        name, n = stem, 1
        while name.casefold() in taken:
            n += 1
            name = f"{stem}-{n}"
        taken.add(name.casefold())
        names[tag] = name + ".orv"
    return names
