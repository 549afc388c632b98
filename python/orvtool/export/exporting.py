"""Exporting one animation to a folder of images.

An export has parts:

* frames: per frame an RGBA PNG of the rendered frame (with the frame's
  offsets in a PNG oFFs chunk as well) and its index layer, then the
  animation.json sidecar (see `formats.sidecar`);
* sheet: a sprite sheet and its description (see `formats.sheets`);
* gif, apng: animated previews (see `preview`).

Every output is checked before anything is written. Existing files are only
replaced with `force`; a forced export of the frames replaces the export
whole, removing the files an earlier export wrote that this one does not.
`only` writes the parts it names and leaves the others as they are, which
adds a sheet or a preview to an existing export. `skip_existing` leaves an
export whose files are all there and newer than the animation and its
palette. An export interrupted (Ctrl-C) removes the files it wrote.

A file that fails by the severity table (see `status`) is not exported,
except a file cut short with `salvage`: the frames read are exported, and
the sidecar announces as many, so that a build gives a whole file.
"""

from __future__ import annotations

import contextlib
import io
import json
import os
import re
import struct
import zlib
from dataclasses import dataclass, field, replace
from typing import Callable, Dict, Iterator, List, Optional, Sequence, Set, Tuple

import numpy as np
from PIL import Image, PngImagePlugin

from orvtool.core import native, writing
from orvtool.core.version import __version__
from orvtool.formats import palettes, preview, sidecar
from orvtool.formats.images import PNG_SAVE, to_numpy
from orvtool.formats.sheets import build_sheet, check_sheet_size
from orvtool.load.loading import LoadedAnimation, LoadError, load_animation, result_of
from orvtool.model import limits
from orvtool.model.arrays import Layer, Rgba
from orvtool.model.errors import FileFailed, OrvToolError
from orvtool.model.records import AnimationRecord, Color, FrameEntry, Header, PaletteEntry, Row, Run
from orvtool.report import status

SHEET_IMAGE = "sheet.png"
SHEET_JSON = "sheet.json"
SHEET_INDEX = "sheet.index.png"
GIF_NAME = "preview.gif"
APNG_NAME = "preview.apng"
PARTS = ("frames", "sheet", "gif", "apng")
PART_FILES = {"sheet": [SHEET_IMAGE, SHEET_INDEX, SHEET_JSON], "gif": [GIF_NAME], "apng": [APNG_NAME]}


_FRAME_FILE = re.compile(r"frame_[0-9]+(\.index)?\.png")


def export_file_name(name: str) -> bool:
    """Whether an export may write a file of this name into its folder."""
    names = {sidecar.SIDECAR_NAME, *(n for part in PART_FILES.values() for n in part)}
    return name in names or _FRAME_FILE.fullmatch(name) is not None


@dataclass
class ExportOptions:
    sheet: bool = False
    gif: bool = False
    apng: bool = False
    fps: float = 10.0
    force: bool = False
    palette: Optional[str] = None  # palette file to use instead of the stored one
    padding: int = 1  # pixels between sheet frames
    sheet_layout: str = "packed"  # packed, rows or columns
    sheet_columns: Optional[int] = None  # grid columns of the rows and columns layouts
    sheet_json: str = "hash"  # hash or array
    only: Optional[Sequence[str]] = None  # write these parts alone (see PARTS)
    matte: Optional[Tuple[int, int, int]] = None  # GIF: blend partial alpha onto this colour
    scale: int = 1  # previews: pixels per animation pixel
    skip_existing: bool = False  # leave an export that is complete and newer than its sources
    salvage: bool = False  # a file cut short: export the frames read
    root: Optional[str] = None  # the output folder given; no file is written through a link out of it

    def parts(self) -> List[str]:
        if self.only:
            unknown = [p for p in self.only if p not in PARTS]
            if unknown:
                raise OrvToolError(
                    f"unknown export part '{unknown[0]}' (parts: {', '.join(PARTS)})", category="option_invalid"
                )
            return [p for p in PARTS if p in self.only]
        flags = {"sheet": self.sheet, "gif": self.gif, "apng": self.apng}
        return ["frames"] + [p for p in PARTS[1:] if flags[p]]


@dataclass
class ExportReport:
    folder: str
    frames: int
    written: List[str] = field(default_factory=list)
    removed: List[str] = field(default_factory=list)  # files of an earlier export that this one replaced
    notes: List[status.Finding] = field(default_factory=list)
    skipped: bool = False  # complete and newer than its sources: left as it was
    findings: List[status.Finding] = field(default_factory=list)  # the load's

    @property
    def categories(self) -> List[str]:
        """The categories of the load's findings."""
        return [f.category for f in self.findings]


def frame_png(pixels: bytes, width: int, height: int, x: int, y: int, index: int) -> bytes:
    """An RGBA PNG with the offsets in a text chunk and in an oFFs chunk (image
    position in pixels, which GIMP offers to apply as the layer offset)."""
    info = PngImagePlugin.PngInfo()
    info.add_text("orvtool-frame", json.dumps({"index": index, "x_offset": x, "y_offset": y}))
    buf = io.BytesIO()
    Image.frombytes("RGBA", (width, height), pixels).save(buf, format="PNG", pnginfo=info, **PNG_SAVE)
    data = buf.getvalue()
    body = b"oFFs" + struct.pack(">iiB", x, y, 0)
    offs = struct.pack(">I", len(body) - 4) + body + struct.pack(">I", zlib.crc32(body))
    ihdr_end = 8 + 8 + 13 + 4  # signature, IHDR length and type, IHDR data, CRC
    return data[:ihdr_end] + offs + data[ihdr_end:]


def _png_bytes(image: Image.Image) -> bytes:
    out = io.BytesIO()
    image.save(out, format="PNG", **PNG_SAVE)
    return out.getvalue()


def _palette_file(anim: LoadedAnimation, notes: List[status.Finding]) -> Tuple[int, List[Color]]:
    """The palette as stored in its file, for the sidecar."""
    if anim.palette.resolved and os.path.isfile(anim.palette.resolved):
        try:
            pal = palettes.read_palette(anim.palette.resolved)
            return pal.model, pal.colors
        except (OrvToolError, OSError) as exc:
            notes.append(
                status.Finding(
                    "palette_kept_as_loaded",
                    f"palette {anim.palette.resolved}: {exc}; the sidecar keeps the colours as loaded",
                )
            )
    return 0, anim.palette_colors


def _up_to_date(folder: str, names: Sequence[str], sources: Sequence[Optional[str]]) -> bool:
    """Every file is there, none is empty (what a crash of the system can
    leave of a new file, see `writing`) and none is older than a source."""
    try:
        newest_source = max(os.stat(s).st_mtime_ns for s in sources if s)
        made = [os.stat(os.path.join(folder, n)) for n in names]
    except (OSError, ValueError):
        return False
    return bool(made) and all(st.st_size > 0 and st.st_mtime_ns >= newest_source for st in made)


@dataclass
class ExportPlan:
    """An export worked out before anything is written: the load, each
    frame's records read once, the files of every part, and the images
    sized and the targets checked."""

    path: str
    folder: str
    options: ExportOptions
    parts: List[str]
    anim: LoadedAnimation
    images: Sequence[native.Image]
    names: List[Tuple[str, str]]  # (image, index layer) file names per frame
    views: List[native.ExportFrame]
    record: AnimationRecord  # what the sidecar says, the frames' stats beside it
    stats: List[sidecar.FrameStats]
    salvaged: bool  # a file cut short, its frames read exported
    trimmed: List[str]  # what salvaging changed in the frame cut short
    report: ExportReport
    every: List[str] = field(default_factory=list)  # the files to write, in order
    stale: List[str] = field(default_factory=list)  # an earlier export's files that this one removes
    pages: Optional[preview.Pages] = None
    followed: Set[str] = field(default_factory=set)  # targets --force writes through a link out of the folder
    top: str = ""  # the folder the targets were checked to stay in, as the check resolved it

    def inside(self, name: str) -> Optional[str]:
        """The folder that the target `name` was checked to stay in, for its
        writer; None for a link out that --force lets it follow."""
        return None if name in self.followed else self.top

    @property
    def sizes(self) -> List[Tuple[int, int]]:
        return [(v.width, v.height) for v in self.views]

    @property
    def offsets(self) -> List[Tuple[int, int]]:
        return [(v.x_offset, v.y_offset) for v in self.views]

    def pixels(self, i: int) -> Rgba:
        return to_numpy(self.images[i])


def export_animation(path: str, folder: str, options: ExportOptions) -> ExportReport:
    """Exports one file. Raises OrvToolError for a file that fails, and
    FileFailed (with the report) after salvaging a file cut short."""
    plan = plan_export(path, folder, options)
    report = plan.report
    if options.skip_existing and _up_to_date(folder, plan.every, [path, plan.anim.palette.resolved, options.palette]):
        report.skipped = True
        if plan.salvaged:  # still a file cut short
            raise FileFailed(f"{plan.anim.failure()}; its salvaged export is complete", report, "frames_cut_short")
        return report
    _check_targets(plan)
    write_export(plan)
    if plan.salvaged:
        note = f"{status.count(len(plan.anim.frames), 'frame')} read before the cut exported (--salvage)"
        note += "".join(f"; {t}" for t in plan.trimmed)
        raise FileFailed(f"{plan.anim.failure()}; {note}", report, "frames_cut_short")
    return report


def plan_export(path: str, folder: str, options: ExportOptions) -> ExportPlan:
    """Loads the file and reads each frame's records once: its fields, its
    index layer and what the sidecar says of its runs. Raises LoadError for
    a file that fails (one cut short is salvaged when asked)."""
    parts = options.parts()
    anim = load_animation(path, options.palette, trailing=True)  # kept in the sidecar
    failing = status.failing(anim.counts)
    salvaged = bool(failing) and options.salvage and set(failing) == {"frames_cut_short"}
    found = list(anim.findings)
    if failing and not salvaged:
        hint = ""
        if set(failing) == {"frames_cut_short"}:
            hint = f" (--salvage exports the {status.count(len(anim.frames), 'frame')} read)"
        raise LoadError(f"{anim.failure()}{hint}", result_of(found, anim.counts))
    images = anim.require_images(salvage=salvaged)
    report = ExportReport(folder, len(anim.frames), findings=found)
    if anim.trailing:
        report.notes.append(
            status.Finding(
                "trailing_bytes",
                f"{status.count(len(anim.trailing), 'byte')} after the last frame, which the game ignores, "
                "kept in the sidecar",
            )
        )
    elif anim.trailing_bytes:
        report.notes.append(
            status.Finding(
                "trailing_not_kept",
                f"{status.count(anim.trailing_bytes, 'byte')} after the last frame, which the game ignores, are "
                f"more than the {limits.TRAILING_BYTES >> 20} MiB an export keeps: not read, and a build of the "
                "export does not carry them",
            )
        )
    views = _frame_views(anim)
    names = sidecar.frame_file_names(len(anim.frames))
    frames = [_frame_entry(v, n) for v, n in zip(views, names, strict=True)]
    stats = [_frame_stats(v) for v in views]
    trimmed: List[str] = []
    if salvaged:
        for i, (entry, counted) in enumerate(zip(frames, stats, strict=True)):
            frames[i], stats[i] = _trim_cut_runs(i, entry, counted, trimmed)
    record = _record(anim, frames)
    if anim.palette_entries is not None:
        beyond = sum(v.beyond for v in views)
        if beyond:
            covered = sum(v.covered for v in views if not v.is_shadow)
            filler = status.filler_note(str(anim.palette.resolved), anim.palette_entries, beyond, covered)
            report.notes.append(status.Finding("index_past_palette_file", filler))
    plan = ExportPlan(
        path, folder, options, parts, anim, images, names, views, record, stats, salvaged, trimmed, report
    )
    for part in parts:
        if part != "frames":
            plan.every += PART_FILES[part]
            continue
        plan.every += [
            n for (image, index), v in zip(names, views, strict=True) if v.width and v.height for n in (image, index)
        ]
        plan.every.append(sidecar.SIDECAR_NAME)
    return plan


def _check_targets(plan: ExportPlan) -> None:
    """Every image sized and every target checked before anything is written:
    a sheet or a preview past the pixel budget, a link out of the output
    folder or a file that would be replaced without --force leaves no export
    behind. Finds the files of an earlier export that this one replaces."""
    options, folder, sizes = plan.options, plan.folder, plan.sizes
    held = sum(w * h for w, h in sizes)  # the frames' images, held throughout
    if "sheet" in plan.parts:
        check_sheet_size(sizes, plan.offsets, options.sheet_layout, options.sheet_columns, options.padding, True, held)
    plan.pages = preview.make_pages(
        plan.pixels, plan.offsets, sizes, plan.anim.has_background, options.scale, plan.anim.head.speed
    )
    if "gif" in plan.parts or "apng" in plan.parts:
        plan.pages.check("apng" in plan.parts, held)
    plan.top = os.path.realpath(options.root or folder)
    for name in plan.every:
        real = writing.outside_link(os.path.join(folder, name), options.root or folder)
        if real is not None and not options.force:
            raise writing.link_refusal(os.path.join(folder, name), real)
        if real is not None:
            plan.report.notes.append(writing.link_note(os.path.join(folder, name), real))
            plan.followed.add(name)
    if not options.force:
        existing = [t for t in plan.every if os.path.lexists(os.path.join(folder, t))]
        if existing:
            first = os.path.join(folder, existing[0])
            which = (
                f"{first} and {len(existing) - 1} more already exist"
                if len(existing) > 1
                else f"{first} already exists"
            )
            hint = "--force to replace" + (
                "" if options.skip_existing else ", --skip-existing to leave finished exports"
            )
            raise OrvToolError(f"{which}; nothing written (use {hint})", category="output_exists")
    if options.force and "frames" in plan.parts:
        earlier = sidecar.written_names(folder) if os.path.isdir(folder) else []
        was_export = os.path.isfile(os.path.join(folder, sidecar.SIDECAR_NAME))
        if was_export and not options.only:  # the whole export is replaced, parts not asked for included
            earlier += [n for part in PART_FILES for n in PART_FILES[part] if part not in plan.parts]
        plan.stale = sorted({n for n in earlier if n not in plan.every and os.path.isfile(os.path.join(folder, n))})


def write_export(plan: ExportPlan) -> None:
    """Writes the parts of a checked plan, removing what an interrupt leaves."""
    folder, report = plan.folder, plan.report
    made = _missing_folders(folder)
    with _removed_when_interrupted(folder, report, made):
        try:
            writing.make_folders(folder)
        except OSError as exc:
            raise OrvToolError(
                f"cannot create output folder {folder}: {exc.strerror or exc}", category="output_refused"
            ) from None
        for name in plan.every:
            writing.check(os.path.join(folder, name))

        def put(name: str, data: bytes) -> None:
            report.written.append(name)  # first: an interrupt right after placing it removes it
            writing.place_checked(os.path.join(folder, name), data, plan.inside(name))  # every name checked above

        record = _write_frames(plan, put) if "frames" in plan.parts else None
        if "sheet" in plan.parts:
            _write_sheet(plan, put, record)
        _write_previews(plan)


def _write_frames(plan: ExportPlan, put: Callable[[str, bytes], None]) -> Dict[str, object]:
    """Each frame's image and index layer, then the sidecar; returns the sidecar."""
    anim, sizes, offsets = plan.anim, plan.sizes, plan.offsets
    for i, view in enumerate(plan.views):
        if not (view.width and view.height):
            continue
        image_name, index_name = plan.names[i]
        put(image_name, frame_png(plan.images[i].pixels, *sizes[i], *offsets[i], i))
        put(index_name, sidecar.encode_grey_alpha(view.layer, *sizes[i]))
    record = _with_palette_file(plan.record, anim, plan.report.notes)
    if plan.salvaged:  # the frames read, announced as the file's: a build gives a whole file
        record = replace(record, frame_count_field=record.count_field_for(len(record.frames)))
    doc = sidecar.sidecar_document(record, plan.stats, _source(anim))
    put(sidecar.SIDECAR_NAME, sidecar.encode_sidecar(doc))
    for name in plan.stale:
        writing.remove(os.path.join(plan.folder, name))
        plan.report.removed.append(name)
    return doc


def _write_sheet(plan: ExportPlan, put: Callable[[str, bytes], None], record: Optional[Dict[str, object]]) -> None:
    """The sheet, its index sheet and its JSON; `record`, the sidecar
    written, is made for the sheet's meta when the frames are not written."""
    options = plan.options
    if record is None:
        record = sidecar.sidecar_document(
            _with_palette_file(plan.record, plan.anim, []), plan.stats, _source(plan.anim)
        )
    atlas, index_sheet, sheet_doc = build_sheet(
        [n for n, _ in plan.names],
        plan.pixels,
        plan.sizes,
        plan.offsets,
        SHEET_IMAGE,
        __version__,
        options.padding,
        layout=options.sheet_layout,
        columns=options.sheet_columns,
        form=options.sheet_json,
        record=record,
        layers=lambda i: _layer_arrays(plan.views[i]),
        index_name=SHEET_INDEX,
    )
    put(SHEET_IMAGE, _png_bytes(atlas))
    del atlas
    if index_sheet is not None:
        put(SHEET_INDEX, _png_bytes(index_sheet))
    put(SHEET_JSON, (json.dumps(sheet_doc, indent=1) + "\n").encode("utf-8"))
    grid = sheet_doc["meta"].get("grid")
    if grid:
        cell, (x, y) = grid["cell"], (grid["origin"]["x"], grid["origin"]["y"])
        plan.report.notes.append(
            status.Finding(
                "grid_origin",
                f"sheet cells are {cell['w']}x{cell['h']}, the origin at x {x}, y {y} in each cell: after an "
                f"editor's grid import and export, build with --origin {x} {y}",
            )
        )


def _write_previews(plan: ExportPlan) -> None:
    """The GIF and APNG previews asked for, written as they are made."""
    pages, options, report = plan.pages, plan.options, plan.report
    assert pages is not None  # made when the targets were checked
    parts = [p for p in plan.parts if p in ("gif", "apng")]  # a file that loads has frames: pages to show
    if "gif" in parts:
        report.written.append(GIF_NAME)
        writing.place(
            os.path.join(plan.folder, GIF_NAME),
            lambda fh: preview.write_gif(fh, pages, options.fps, options.matte),
            plan.inside(GIF_NAME),
        )
    if "apng" in parts:
        report.written.append(APNG_NAME)
        writing.place(
            os.path.join(plan.folder, APNG_NAME),
            lambda fh: preview.write_apng(fh, pages, options.fps),
            plan.inside(APNG_NAME),
        )
    previews = [name for part, name in (("gif", GIF_NAME), ("apng", APNG_NAME)) if part in parts]
    if previews:
        ox, oy = pages.origin()
        report.notes.append(
            status.Finding(
                "preview_origin",
                f"{' and '.join(previews)}: the origin is at x {ox}, y {oy} of the canvas (a build of the preview "
                f"places its frames by the record it carries; of another tool's edit of it, use --origin {ox} {oy})",
            )
        )


def _layer_arrays(view: native.ExportFrame) -> Layer:
    """A frame's index layer, as the core made it for the frame's PNG, as
    (indices, covered) arrays."""
    pairs = np.frombuffer(view.layer, dtype=np.uint8).reshape(view.height, view.width, 2)
    return pairs[:, :, 0], pairs[:, :, 1] != 0


def _frame_views(anim: LoadedAnimation) -> List[native.ExportFrame]:
    """Every frame as the export writes it, read once from the load's records."""
    if anim.records is None:
        raise OrvToolError("the load kept no frame records", category="internal_error")
    entries = 256 if anim.palette_entries is None else anim.palette_entries
    return [native.export_frame(anim.records, i, entries) for i in range(len(anim.records))]


def _frame_entry(view: native.ExportFrame, names: Tuple[str, str]) -> FrameEntry:
    """What the sidecar says of a frame: its record's fields, its files, and
    the rows that are not the maximal encoding of its pixels."""
    has_pixels = view.width > 0 and view.height > 0
    return FrameEntry(
        width=view.width,
        height=view.height,
        x_offset=view.x_offset,
        y_offset=view.y_offset,
        is_shadow=view.is_shadow,
        frame_size=view.frame_size,
        unk1=view.unk1,
        unk2=view.unk2,
        height_word=view.height_word,
        image=names[0] if has_pixels else None,
        indices=names[1] if has_pixels else None,
        explicit_rows=tuple(sorted((y, native.model_row(record)) for y, record in view.explicit_rows.items())),
    )


def _frame_stats(view: native.ExportFrame) -> sidecar.FrameStats:
    return sidecar.FrameStats(
        rows=view.rows,
        runs=view.runs,
        empty_runs=view.empty_runs,
        longest_run=view.longest_run,
        most_runs_in_a_row=view.most_runs_in_a_row,
        covered_pixels=view.covered_pixels,
        maximal=not view.explicit_rows,
        non_maximal_rows=len(view.explicit_rows),
    )


def _record(anim: LoadedAnimation, frames: Sequence[FrameEntry]) -> AnimationRecord:
    """The record of a load, its frames as given; the palette file's colours
    come when it is written (`_with_palette_file`)."""
    head = anim.head
    return AnimationRecord(
        header=Header(head.reserved, head.flag or 0) if head.has_header else None,
        speed=head.speed,
        frame_count_field=head.frame_count_field,
        palette=PaletteEntry(head.path_length, head.path_field, anim.palette.resolved),
        frames=tuple(frames),
        trailing=anim.trailing,
    )


def _with_palette_file(record: AnimationRecord, anim: LoadedAnimation, notes: List[status.Finding]) -> AnimationRecord:
    model, colors = _palette_file(anim, notes)
    return replace(record, palette=replace(record.palette, colors=tuple(colors), model=model))


def _source(anim: LoadedAnimation) -> Tuple[str, int]:
    return os.path.basename(anim.path), anim.file_size


def _trim_cut_runs(
    index: int, entry: FrameEntry, stats: sidecar.FrameStats, said: List[str]
) -> Tuple[FrameEntry, sidecar.FrameStats]:
    """A frame cut inside its rows, made to read back as it was read: a run
    holding fewer indices than its count keeps the indices present (its count
    with them), or is dropped with the rest of its row when none are; a row
    holding fewer runs than its count counts the runs it holds. What was
    changed is added to `said`, one line per row."""
    rows: List[Tuple[int, Row]] = []
    for y, row in entry.explicit_rows:
        cut = len(said)
        runs: List[Run] = []
        for run in row.runs:
            if entry.is_shadow or len(run.indices) >= run.color_count:
                runs.append(run)
                continue
            lost = run.color_count - len(run.indices)
            stats = stats._replace(covered_pixels=stats.covered_pixels - lost)
            if run.indices:
                kept = status.count(len(run.indices), "pixel")
                said.append(f"frame {index}, row {y}: a run cut short keeps its {kept} read of {run.color_count}")
                runs.append(Run(run.offset, run.indices))
            else:
                said.append(f"frame {index}, row {y}: a run cut before its pixels dropped")
                stats = stats._replace(runs=stats.runs - 1)
            break
        rows.append((y, Row(runs) if len(said) > cut or len(runs) != row.count else row))
    return replace(entry, explicit_rows=tuple(rows)), stats


def _missing_folders(folder: str) -> List[str]:
    """The folders that making `folder` creates, the deepest first."""
    missing = []
    while folder and not os.path.isdir(folder):
        missing.append(folder)
        parent = os.path.dirname(folder)
        folder = parent if parent != folder else ""
    return missing


@contextlib.contextmanager
def _removed_when_interrupted(folder: str, report: ExportReport, made: Sequence[str]) -> Iterator[None]:
    """An export interrupted (Ctrl-C) removes the files it wrote and the
    folders it made: no half export is left for a later run to take for a
    finished one."""
    try:
        yield
    except KeyboardInterrupt:
        for name in report.written:
            writing.remove(os.path.join(folder, name))
        for path in made:
            with contextlib.suppress(OSError):  # another file arrived meanwhile
                os.rmdir(path)
        raise
