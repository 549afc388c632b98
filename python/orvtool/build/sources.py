"""Sources: an export folder, a sprite sheet or plain images, read into frames
on their canvas, each with what the record knows of it.

The record is orvtool's own description of the animation (an export
folder's `animation.json`, a sheet's `meta.orvtool`): it supplies what an
image cannot say, for the frames it knows, matched by name (the frame's
image file, the sheet frame's name). Frames the record does not know are
marked for `plan` to build as plain frames; frames it knows that the source
no longer has are left out.
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass, field
from typing import Callable, Dict, Iterable, List, Literal, Optional, Sequence, Tuple

import numpy as np

from orvtool.build.inputs import InputImage, exported_offsets, png_offsets, read_images
from orvtool.formats import sheets, sidecar
from orvtool.formats.reading import charge_image, open_image
from orvtool.model import limits
from orvtool.model.arrays import Layer, Rgba
from orvtool.model.errors import OrvToolError
from orvtool.model.records import AnimationRecord, FrameEntry, Row
from orvtool.report.status import Finding

ADDED_FRAME = re.compile(r"^frame_\w+\.png$", re.IGNORECASE)  # not frame_NNN.index.png

# What a build reads: an export folder (its sidecar beside its frames), a
# folder of plain PNG frames, a sprite sheet's JSON, or image files (each
# PNG a frame; a GIF, APNG or WebP all of its frames).
SourceKind = Literal["export", "folder", "sheet", "images"]


def is_export_folder(path: str) -> bool:
    return os.path.isfile(os.path.join(path, sidecar.SIDECAR_NAME))


def source_kind(paths: Sequence[str]) -> SourceKind:
    """The kind of source that `paths` name, decided once, from the paths
    alone: one folder is an export folder or a folder of frames, one JSON
    file a sheet, anything else image files."""
    if len(paths) == 1 and os.path.isdir(paths[0]):
        return "export" if is_export_folder(paths[0]) else "folder"
    if len(paths) == 1 and paths[0].lower().endswith(".json"):
        return "sheet"
    return "images"


@dataclass
class SourceFrame:
    name: str  # for messages: the file, and the frame within it
    rgba: Optional[Rgba]  # None: no pixels, the record's rows are kept
    entry: Optional[FrameEntry] = None  # what the record knows of the frame
    layer: Optional[Layer] = None  # palette indices and coverage, where the source has them
    placed: Optional[Tuple[int, int]] = None  # offsets the source gives: the editor's word
    corner: Optional[Tuple[int, int]] = None  # top-left on a source canvas that has no origin
    canvas: Optional[Tuple[int, int]] = None  # that canvas's size
    own_offsets: Optional[Tuple[int, int]] = None  # offsets a plain image file gives (oFFs)
    placed_by: Optional[str] = None  # what gave `placed`: a sheet's "pivot", "anchor" or "slice", or "preview"
    has_alpha: bool = True
    added: bool = False  # not in the record: `entry` is the fields of the frame before it
    duration: Optional[int] = None  # milliseconds, where the source gives the frame a time of its own
    encoded: Optional[Tuple[int, int]] = None  # the size of its pixels, let go once its record was made
    file: str = ""  # the file that holds it among other frames (a sprite sheet), which `name` names too
    number: Optional[int] = None  # its frame in that file

    @property
    def known(self) -> Optional[FrameEntry]:
        """The record's entry for this frame, when the record knows it."""
        return None if self.added else self.entry

    @property
    def size(self) -> Tuple[int, int]:
        """The frame's width and height: its pixels' (also once they are let
        go), else the record's."""
        if self.rgba is not None:
            return self.rgba.shape[1], self.rgba.shape[0]
        if self.encoded is not None:
            return self.encoded
        return self.entry.size if self.entry is not None else (0, 0)

    def let_go(self) -> None:
        """Drops the pixels, once the frame's record is made: a build holds
        each frame's image until it is encoded, not to the end."""
        if self.rgba is not None:
            self.encoded, self.rgba, self.layer = self.size, None, None

    @property
    def keeps_rectangle(self) -> bool:
        """A frame the record knows, at the record's size: it keeps the
        record's offsets, height word and explicit rows (unless its source
        places it)."""
        return self.known is not None and self.size == self.known.size


@dataclass
class Source:
    where: str  # the file or folder named in messages
    frames: List[SourceFrame]
    record: Optional[AnimationRecord] = None  # orvtool's record of the animation
    reorder: bool = False  # the frames are not the record's, in its order
    rows_of: Callable[[FrameEntry], List[Row]] = lambda entry: []
    notes: List[Finding] = field(default_factory=list)
    tags: Dict[str, Sequence[int]] = field(default_factory=dict)
    speed: Optional[int] = None  # the speed the source records (orvtool's preview), where it has no record
    planned: bool = False  # its frames as planned are charged to the budget already (see `charge_frames`)
    kind: SourceKind = "images"  # set by the reader that made it


# --- the budget ----------------------------------------------------------------------


def planned_bytes(rgba: Optional[Rgba], layer: Optional[Layer], size: Tuple[int, int]) -> int:
    """What a frame as planned holds beside its pixels as read (see `limits`):
    its objects, its pixels matched, in the record and in the file, and the
    runs of its rows, counted from its coverage (a run for each covered span
    of a row, and the runs that spans and gaps longer than 255 take)."""
    w, h = size if rgba is None else (rgba.shape[1], rgba.shape[0])
    runs = h * (w // 255 + 2)
    if rgba is not None and rgba.size:
        covered = rgba[:, :, 3] != 0
        if layer is not None and layer[1].shape == covered.shape:
            covered |= layer[1]
        runs += int(np.count_nonzero(covered[:, 0])) + int(np.count_nonzero(covered[:, 1:] & ~covered[:, :-1]))
    return limits.FRAME_BYTES + w * h * limits.PLANNED_PIXEL_BYTES + runs * limits.RUN_BYTES


def charge_frames(
    budget: limits.Budget,
    where: str,
    count: int,
    frames: Iterable[Tuple[object, Optional[Rgba], Optional[Layer], Tuple[int, int]]],
) -> None:
    """Charges `budget` with the `count` frames a build plans, before any is
    made: first their objects, from their number alone; then, as `frames`
    gives (key, pixels, index layer, size without pixels) for each, what they
    hold, a frame planned N times (the same key) counting N times, its runs
    counted once a key."""
    budget.charge(count * limits.FRAME_BYTES, where, f"its {count:,} frames as planned")
    made: Dict[object, int] = {}
    total = 0
    for key, rgba, layer, size in frames:
        if key not in made:
            made[key] = planned_bytes(rgba, layer, size) - limits.FRAME_BYTES
        total += made[key]
    budget.charge(total, where, f"the records, runs and file bytes of its {count:,} frames as planned")


# --- export folders ------------------------------------------------------------------


def _index_layer(
    folder: str, entry: FrameEntry, size: Tuple[int, int], same_size: bool, budget: limits.Budget
) -> Optional[Layer]:
    name = entry.indices
    path = os.path.join(folder, name) if name else ""
    if not name or not os.path.exists(path):
        return None
    try:
        with open_image(path) as im:
            layer_size = im.size
            if layer_size == size:
                charge_image(budget, path, im, kept=limits.LAYER_BYTES)
    except OrvToolError as exc:
        raise OrvToolError(f"index layer: {exc.text}", category=exc.category) from None
    if layer_size == size:
        return sidecar.read_index_layer(path, *size)
    if same_size:
        raise OrvToolError(
            f"{path}: the index layer is {layer_size[0]}x{layer_size[1]}, the sidecar and the frame image "
            f"say {size[0]}x{size[1]}",
            category="sidecar_invalid",
        )
    return None  # the frame was resized: only its image counts


def _added_names(folder: str, entries: Sequence[FrameEntry]) -> List[str]:
    listed = {e.image for e in entries} | {e.indices for e in entries}
    try:
        return sorted(n for n in os.listdir(folder) if ADDED_FRAME.match(n) and n not in listed)
    except OSError as exc:
        raise OrvToolError(f"cannot read folder {folder}: {exc.strerror or exc}", category="input_unreadable") from None


def _export_frame(folder: str, name: str, entry: Optional[FrameEntry], budget: limits.Budget) -> SourceFrame:
    path = os.path.join(folder, name)
    images = read_images(path, budget)
    image = images[0]
    rgba = image.rgba
    h, w = rgba.shape[:2]
    frame = SourceFrame(name, rgba, entry, has_alpha=image.has_alpha)
    offs = png_offsets(path)
    if entry is None:
        frame.own_offsets = offs
        return frame
    same_size = (w, h) == entry.size
    frame.layer = _index_layer(folder, entry, (w, h), same_size, budget)
    if offs is not None and offs != (exported_offsets(path) or entry.offsets):
        frame.placed = offs  # moved in an editor
    return frame


def read_export(folder: str, budget: Optional[limits.Budget] = None) -> Source:
    """An export folder's frames, what their images hold charged to `budget`."""
    path = os.path.join(folder, sidecar.SIDECAR_NAME)
    record, notes = sidecar.read_record(folder)
    entries = record.frames
    added = _added_names(folder, entries)
    order: List[Tuple[str, Optional[FrameEntry]]] = [(e.image or "", e) for e in entries]
    for name in added:  # in name order among the listed images
        at = next((k for k, (n, e) in enumerate(order) if e and e.image and e.image > name), len(order))
        order.insert(at, (name, None))
    if added and not entries:
        raise OrvToolError(f"{path} lists no frame for the added {added[0]} to follow", category="sidecar_invalid")
    frames: List[SourceFrame] = []
    budget = budget or limits.Budget()
    for name, entry in order:
        if entry is not None and entry.image is None:
            frames.append(SourceFrame(f"frame {len(frames)}", None, entry))
        else:
            frames.append(_export_frame(folder, name, entry, budget))
    no_alpha = [f.name for f in frames if not f.has_alpha and f.layer is not None]
    if no_alpha:
        notes.append(
            Finding(
                "coverage_from_layers",
                f"{', '.join(no_alpha)}: saved without alpha; coverage taken from the index layers",
            )
        )
    return Source(folder, frames, record, bool(added), lambda e: sidecar.frame_rows(folder, e), notes, kind="export")


# --- sprite sheets -------------------------------------------------------------------


def _record_names(record: AnimationRecord) -> Dict[str, int]:
    """The record's frames by the names an export gives them in a sheet."""
    names = sidecar.frame_file_names(len(record.frames))
    return {(e.image or names[k][0]): k for k, e in enumerate(record.frames)}


def _trim(frame: SourceFrame, keep: Optional[Tuple[int, int, int, int]]) -> None:
    """Cuts a sheet frame to its visible or covered pixels and the rectangle
    `keep` (x, y, w, h within the frame), moving its corner with it."""
    assert frame.rgba is not None
    covered = frame.rgba[:, :, 3] != 0
    if frame.layer is not None:
        covered = covered | frame.layer[1]
    ys, xs = np.nonzero(covered)
    boxes = [(int(xs.min()), int(ys.min()), int(xs.max()) + 1, int(ys.max()) + 1)] if len(xs) else []
    h, w = covered.shape
    if keep is not None and keep[2] > 0 and keep[3] > 0:
        x, y, kw, kh = keep
        boxes.append((max(x, 0), max(y, 0), min(x + kw, w), min(y + kh, h)))
    if not boxes:
        left = top = right = bottom = 0
    else:
        left, top = min(b[0] for b in boxes), min(b[1] for b in boxes)
        right, bottom = max(b[2] for b in boxes), max(b[3] for b in boxes)
    right, bottom = max(right, left), max(bottom, top)
    frame.rgba = np.ascontiguousarray(frame.rgba[top:bottom, left:right])
    if frame.layer is not None:
        frame.layer = (frame.layer[0][top:bottom, left:right], frame.layer[1][top:bottom, left:right])
    if frame.corner is not None:
        frame.corner = (frame.corner[0] + left, frame.corner[1] + top)


def _sheet_frame(path: str, i: int, sf: sheets.SheetFrame, entry: Optional[FrameEntry], cells: bool) -> SourceFrame:
    layer = sf.layer
    size = sf.rgba.shape[1::-1]
    if entry is not None and size not in (entry.size, sf.source):
        layer = None  # the rectangle changed: the index sheet there holds what was around the old one
    frame = SourceFrame(
        f"{path}: frame {i} ('{sf.name}')", sf.rgba, entry, layer, has_alpha=sf.has_alpha, file=path, number=i
    )
    frame.corner, frame.canvas, frame.placed_by = sf.rect, sf.source, sf.origin_from
    frame.duration = sf.duration
    keep = None
    if entry is not None and sf.origin is not None:
        ox, oy = round(sf.origin[0]), round(sf.origin[1])
        keep = (entry.x_offset + ox - sf.rect[0], entry.y_offset + oy - sf.rect[1], entry.width, entry.height)
    if entry is not None or cells:
        _trim(frame, keep)
    if sf.origin is not None:
        assert frame.corner is not None
        frame.placed = (frame.corner[0] - round(sf.origin[0]), frame.corner[1] - round(sf.origin[1]))
    if entry is not None and entry.image is None and frame.rgba is not None and not frame.rgba[:, :, 3].any():
        frame.rgba = None  # a frame without pixels keeps the record's rows
    return frame


def read_sheet(
    path: str,
    tag: Optional[str] = None,
    cells: bool = False,
    image: Optional[str] = None,
    budget: Optional[limits.Budget] = None,
) -> Source:
    """The frames of a sheet (of one tag), matched with its record. A frame
    the record knows is cut to its record's rectangle and what it draws
    outside it; with `cells` (the frames are what is drawn in cells around an
    origin) every frame is cut to what it draws. `image` names the atlas.
    What the sheet holds is charged to `budget`."""
    budget = budget or limits.Budget()
    return sheet_source(sheets.read_sheet(path, image, budget), tag, cells, budget)


def sheet_source(
    sheet: sheets.Sheet, tag: Optional[str] = None, cells: bool = False, budget: Optional[limits.Budget] = None
) -> Source:
    """The frames of a sheet already read (of one tag), as `read_sheet` gives
    them: a sheet is read once, whatever number of tags is built from it.
    The frames as planned are charged to `budget` before they are made."""
    path = sheet.path
    notes = list(sheet.notes)
    record = sheet.record
    known = _record_names(record) if record is not None else {}
    chosen: Sequence[int] = range(len(sheet.frames))
    if tag is not None:
        if tag not in sheet.tags:
            raise OrvToolError(
                f"no tag '{tag}' ({tag_summary(sorted(sheet.tags))})", where=path, category="option_invalid"
            )
        if tag in sheet.unclear:
            raise OrvToolError(
                f"tag '{tag}': its frames cannot be told: {sheet.unclear[tag]}", where=path, category="sheet_invalid"
            )
        chosen = sheet.tags[tag]
    if budget is not None:
        frames_of = sheet.frames
        charge_frames(budget, path, len(chosen), ((i, frames_of[i].rgba, frames_of[i].layer, (0, 0)) for i in chosen))
    if tag is None and sheet.tags:
        notes.append(
            Finding(
                "tags_built_whole",
                f"{path} names {tag_summary(sorted(sheet.tags))}: built whole, every frame in one animation "
                "(--tag NAME builds one, --each-tag one file per tag)",
            )
        )
    frames: List[SourceFrame] = []
    used: List[Optional[int]] = []
    for i in chosen:
        sf = sheet.frames[i]
        k = known.get(sf.name)
        used.append(k)
        frames.append(
            _sheet_frame(path, i, sf, record.frames[k] if record is not None and k is not None else None, cells)
        )
    reorder = record is not None and used != list(range(len(record.frames)))
    source = Source(path, frames, record, reorder, lambda e: sidecar.frame_rows("", e), notes, kind="sheet")
    source.tags, source.planned = sheet.tags, budget is not None
    return source


SHOWN_TAGS = 8  # tag names a message lists before it counts the rest


def tag_summary(tags: Sequence[str]) -> str:
    """Tags as a message names them: "tags a, b" or, of many, the first few
    and how many more."""
    if not tags:
        return "tags: none"
    more = f" and {len(tags) - SHOWN_TAGS} more" if len(tags) > SHOWN_TAGS else ""
    return f"tags {', '.join(tags[:SHOWN_TAGS])}{more}"


# --- plain images --------------------------------------------------------------------


def plain_frames(images: Sequence[InputImage]) -> Source:
    frames = []
    for image in images:
        h, w = image.rgba.shape[:2]
        frame = SourceFrame(image.name, image.rgba, has_alpha=image.has_alpha, duration=image.duration)
        frame.own_offsets, frame.corner, frame.canvas = image.offsets, (0, 0), (w, h)
        if image.placed is not None:
            frame.placed, frame.placed_by = image.placed, "preview"
        if image.canvas is not None:  # a part of a larger canvas, placed as on it
            left, top, cw, ch = image.canvas
            frame.corner, frame.canvas = (left, top), (cw, ch)
        frames.append(frame)
    speeds = {image.speed for image in images}
    source = Source(images[0].name if images else "", frames)
    source.speed = speeds.pop() if len(speeds) == 1 else None
    return source


def read_plain(paths: Sequence[str], budget: Optional[limits.Budget] = None) -> Source:
    """Image files' frames, in order, what they hold charged to `budget`."""
    if not paths:
        raise OrvToolError("no frame images given", category="source_empty")
    budget = budget or limits.Budget()
    return plain_frames([im for p in paths for im in read_images(p, budget)])
