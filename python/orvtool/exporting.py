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
from dataclasses import dataclass, field
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import NDArray
from PIL import Image, PngImagePlugin

from . import __version__, native, preview, status, writing
from .errors import FileFailed, OrvToolError
from .formats import palettes, sidecar
from .formats.sheets import build_sheet, check_sheet_size
from .images import PNG_SAVE, to_numpy
from .loading import LoadedAnimation, LoadError, load_animation, row_of
from .model import Color, Row, Run

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
                raise OrvToolError(f"unknown export part '{unknown[0]}' (parts: {', '.join(PARTS)})")
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
    findings: List[Dict[str, Any]] = field(default_factory=list)  # the load's, as data

    @property
    def categories(self) -> List[str]:
        """The categories of the load's findings."""
        return [f["category"] for f in self.findings]


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


def export_animation(path: str, folder: str, options: ExportOptions) -> ExportReport:
    """Exports one file. Raises OrvToolError for a file that fails, and
    FileFailed (with the report) after salvaging a file cut short."""
    parts = options.parts()
    anim = load_animation(path, options.palette)
    failing = status.failing(anim.counts)
    salvaged = bool(failing) and options.salvage and set(failing) == {"frames_cut_short"}
    found = [f.as_dict() for f in anim.findings]
    if failing and not salvaged:
        hint = ""
        if set(failing) == {"frames_cut_short"}:
            hint = f" (--salvage exports the {status.count(len(anim.frames), 'frame')} read)"
        raise LoadError(f"{anim.failure()}{hint}", {"status": anim.label, "counts": anim.counts, "findings": found})
    images = anim.require_images(salvage=salvaged)
    names = sidecar.frame_file_names(len(anim.frames))
    report = ExportReport(folder, len(anim.frames), findings=found)
    if anim.trailing:
        report.notes.append(
            status.Finding(
                "trailing_bytes",
                f"{status.count(len(anim.trailing), 'byte')} after the last frame, which the game ignores, "
                "kept in the sidecar",
            )
        )

    # Each frame's records are read once, here: its fields, its index layer
    # and what the sidecar says of its runs.
    views = _frame_views(anim)
    summaries = [_summary(v) for v in views]
    trimmed = [t for i, s in enumerate(summaries) for t in _trim_cut_runs(i, s)] if salvaged else []
    if anim.palette_entries is not None:
        beyond = sum(v.beyond for v in views)
        if beyond:
            covered = sum(v.covered for v in views if not v.is_shadow)
            filler = status.filler_note(str(anim.palette.resolved), anim.palette_entries, beyond, covered)
            report.notes.append(status.Finding("index_past_palette_file", filler))
    sizes = [(v.width, v.height) for v in views]
    solid = [w > 0 and h > 0 for w, h in sizes]
    offsets = [(v.x_offset, v.y_offset) for v in views]

    targets: Dict[str, List[str]] = {}
    if "frames" in parts:
        targets["frames"] = [n for (image, index), has in zip(names, solid, strict=True) if has for n in (image, index)]
        targets["frames"].append(sidecar.SIDECAR_NAME)
    for part in parts:
        if part != "frames":
            targets[part] = list(PART_FILES[part])
    every = [name for part in parts for name in targets[part]]
    if options.skip_existing and _up_to_date(folder, every, [path, anim.palette.resolved, options.palette]):
        report.skipped = True
        if salvaged:  # still a file cut short
            raise FileFailed(f"{anim.failure()}; its salvaged export is complete", report)
        return report
    # Every image is sized before anything is written: a sheet or a preview
    # past the pixel budget leaves no export behind.
    held = sum(w * h for w, h in sizes)  # the frames' images, held throughout

    def pixels(i: int) -> NDArray[Any]:
        return to_numpy(images[i])

    if "sheet" in parts:
        check_sheet_size(sizes, offsets, options.sheet_layout, options.sheet_columns, options.padding, True, held)
    pages = preview.make_pages(pixels, offsets, sizes, anim.has_background, options.scale, anim.head.speed)
    if "gif" in parts or "apng" in parts:
        pages.check("apng" in parts, held)
    outside = [(t, writing.outside_link(os.path.join(folder, t), options.root or folder)) for t in every]
    for name, real in outside:
        if real is not None and not options.force:
            raise writing.link_refusal(os.path.join(folder, name), real)
        if real is not None:
            report.notes.append(writing.link_note(os.path.join(folder, name), real))
    if not options.force:
        existing = [t for t in every if os.path.lexists(os.path.join(folder, t))]
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
    stale: List[str] = []
    if options.force and "frames" in parts:
        earlier = sidecar.written_names(folder) if os.path.isdir(folder) else []
        was_export = os.path.isfile(os.path.join(folder, sidecar.SIDECAR_NAME))
        if was_export and not options.only:  # the whole export is replaced, parts not asked for included
            earlier += [n for part in PART_FILES for n in PART_FILES[part] if part not in parts]
        stale = sorted({n for n in earlier if n not in every and os.path.isfile(os.path.join(folder, n))})
    made = _missing_folders(folder)
    with _removed_when_interrupted(folder, report, made):
        try:
            os.makedirs(folder, exist_ok=True)
        except OSError as exc:
            raise OrvToolError(f"cannot create output folder {folder}: {exc.strerror or exc}") from None
        for name in every:
            writing.check(os.path.join(folder, name))

        def put(name: str, data: bytes) -> None:
            report.written.append(name)  # first: an interrupt right after placing it removes it
            writing.place_checked(os.path.join(folder, name), data)  # every name was checked above

        record: Optional[Dict[str, Any]] = None
        if "frames" in parts:
            for i, view in enumerate(views):
                if not solid[i]:
                    continue
                image_name, index_name = names[i]
                put(image_name, frame_png(images[i].pixels, *sizes[i], *offsets[i], i))
                put(index_name, sidecar.encode_grey_alpha(view.layer, *sizes[i]))
            doc = sidecar.build_sidecar(anim, names, summaries, _palette_file(anim, report.notes))
            if salvaged:  # the frames read, announced as the file's: a build gives a whole file
                doc["frame_count_field"] = len(anim.frames) - (1 if anim.has_background else 0)
            put(sidecar.SIDECAR_NAME, sidecar.encode_sidecar(doc))
            record = doc
            for name in stale:
                writing.remove(os.path.join(folder, name))
                report.removed.append(name)
        if "sheet" in parts:
            if record is None:  # the sidecar document, for the sheet's meta, when the frames are not written
                record = sidecar.build_sidecar(anim, names, summaries, _palette_file(anim, []))
            atlas, index_sheet, sheet_doc = build_sheet(
                [n for n, _ in names],
                pixels,
                sizes,
                offsets,
                SHEET_IMAGE,
                __version__,
                options.padding,
                layout=options.sheet_layout,
                columns=options.sheet_columns,
                form=options.sheet_json,
                record=record,
                layers=lambda i: _layer_arrays(views[i]),
                index_name=SHEET_INDEX,
            )
            put(SHEET_IMAGE, _png_bytes(atlas))
            if index_sheet is not None:
                put(SHEET_INDEX, _png_bytes(index_sheet))
            put(SHEET_JSON, (json.dumps(sheet_doc, indent=1) + "\n").encode("utf-8"))
            grid = sheet_doc["meta"].get("grid")
            if grid:
                report.notes.append(
                    status.Finding(
                        "grid_origin",
                        f"sheet cells are {grid['cell']['w']}x{grid['cell']['h']}, the origin at x "
                        f"{grid['origin']['x']}, y {grid['origin']['y']} in each cell: after an editor's grid import "
                        f"and export, build with --origin {grid['origin']['x']} {grid['origin']['y']}",
                    )
                )
            del atlas
        if ("gif" in parts or "apng" in parts) and not len(pages):
            report.notes.append(status.Finding("no_preview", "no frames: no preview written"))
            parts = [p for p in parts if p not in ("gif", "apng")]
        if "gif" in parts:
            report.written.append(GIF_NAME)
            writing.place(
                os.path.join(folder, GIF_NAME), lambda fh: preview.write_gif(fh, pages, options.fps, options.matte)
            )
        if "apng" in parts:
            report.written.append(APNG_NAME)
            writing.place(os.path.join(folder, APNG_NAME), lambda fh: preview.write_apng(fh, pages, options.fps))
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
    if salvaged:
        note = f"{status.count(len(anim.frames), 'frame')} read before the cut exported (--salvage)"
        note += "".join(f"; {t}" for t in trimmed)
        raise FileFailed(f"{anim.failure()}; {note}", report)
    return report


def _layer_arrays(view: native.ExportFrame) -> Tuple[NDArray[Any], NDArray[Any]]:
    """A frame's index layer, as the core made it for the frame's PNG, as
    (indices, covered) arrays."""
    pairs = np.frombuffer(view.layer, dtype=np.uint8).reshape(view.height, view.width, 2)
    return pairs[:, :, 0], pairs[:, :, 1] != 0


def _frame_views(anim: LoadedAnimation) -> List[native.ExportFrame]:
    """Every frame as the export writes it, read once from the load's records."""
    if anim.records is None:
        raise OrvToolError("the load kept no frame records")
    entries = 256 if anim.palette_entries is None else anim.palette_entries
    return [native.export_frame(anim.records, i, entries) for i in range(len(anim.records))]


def _summary(view: native.ExportFrame) -> sidecar.FrameSummary:
    explicit = {y: row_of(record) for y, record in view.explicit_rows.items()}
    stats = {
        "rows": view.rows,
        "runs": view.runs,
        "empty_runs": view.empty_runs,
        "longest_run": view.longest_run,
        "most_runs_in_a_row": view.most_runs_in_a_row,
        "covered_pixels": view.covered_pixels,
        "maximal": not explicit,
        "non_maximal_rows": len(explicit),
    }
    return sidecar.FrameSummary(
        width=view.width,
        height=view.height,
        x_offset=view.x_offset,
        y_offset=view.y_offset,
        is_shadow=view.is_shadow,
        height_word=view.height_word,
        frame_size=view.frame_size,
        unk1=view.unk1,
        unk2=view.unk2,
        explicit=explicit,
        stats=stats,
    )


def _trim_cut_runs(index: int, summary: sidecar.FrameSummary) -> List[str]:
    """A frame cut inside its rows, made to read back as it was read: a run
    holding fewer indices than its count keeps the indices present (its count
    with them), or is dropped with the rest of its row when none are; a row
    holding fewer runs than its count counts the runs it holds. What was
    changed is said, one line per row."""
    said: List[str] = []
    for y, row in sorted(summary.explicit.items()):
        cut = len(said)
        runs: List[Run] = []
        for run in row.runs:
            if summary.is_shadow or len(run.indices) >= run.color_count:
                runs.append(run)
                continue
            lost = run.color_count - len(run.indices)
            summary.stats["covered_pixels"] -= lost
            if run.indices:
                kept = status.count(len(run.indices), "pixel")
                said.append(f"frame {index}, row {y}: a run cut short keeps its {kept} read of {run.color_count}")
                runs.append(Run(run.offset, run.indices))
            else:
                said.append(f"frame {index}, row {y}: a run cut before its pixels dropped")
                summary.stats["runs"] -= 1
            break
        if len(said) > cut or len(runs) != row.count:
            summary.explicit[y] = Row(runs)
    return said


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
