"""The export's lossless layer: index images and the animation.json sidecar.

An export folder restores an animation file byte for byte:

* every header value is in the sidecar, the palette path field as raw bytes;
* each frame's covered pixels and their palette indices are in its index
  layer, an 8-bit grey + alpha PNG: grey = index (0 in shadow frames),
  alpha = 255 where a run covers the pixel, 0 elsewhere;
* each frame says whether its rows are the maximal encoding of its index
  layer (the encoding of `runs.runs_from_indices`: runs and gaps of at most
  255, longer gaps carried by empty runs). Rows that are not, such as a run
  split in two, a zero-length run or a run reaching past the right edge,
  are listed in full under "explicit_rows".

`parse_record` turns the sidecar into the typed record (`model`), refusing
a field that is missing or holds a value the format cannot store, naming
it; the builder makes the frames' rows from it and the index layers.
"""

from __future__ import annotations

import base64
import binascii
import io
import json
import os
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import NDArray
from PIL import Image

from orvtool.formats.images import INDEX_PNG_SAVE
from orvtool.formats.jsonfile import read_json
from orvtool.formats.reading import open_image
from orvtool.formats.schema import Where, check_json_palette, shown, unknown_keys, whole, whole_value
from orvtool.model.errors import OrvToolError
from orvtool.model.limits import I16, U8, U16, U32, Budget
from orvtool.model.records import AnimationRecord, Frame, FrameEntry, Header, PaletteEntry, Row, Run
from orvtool.model.runs import runs_from_mask
from orvtool.report.status import Finding

SIDECAR_NAME = "animation.json"
SIDECAR_FORMAT = "orvtool-animation"
SIDECAR_VERSION = 1


def place_runs(runs: Sequence[Run], shadow: bool, indices: NDArray[Any], covered: NDArray[Any]) -> None:
    """Draws one row's runs into a row of
    `indices` and `covered` as the renderer places them: an empty run only
    moves the cursor, pixels past the right edge are dropped."""
    w = len(covered)
    x = 0
    for run in runs:
        x += run.offset
        count, colors = run.color_count, run.indices
        if count == 0 or x >= w:
            continue
        n = min(count if shadow else len(colors), w - x)
        covered[x : x + n] = True
        if not shadow:
            indices[x : x + n] = np.frombuffer(bytes(colors[:n]), dtype=np.uint8, count=n)
        x += n


def _row_runs(indices: NDArray[Any], covered: NDArray[Any], shadow: bool) -> List[Run]:
    """The maximal runs of one row (see `runs.runs_from_indices`)."""
    return runs_from_mask(indices.astype(np.uint8).tobytes(), covered.astype(np.uint8).tobytes(), shadow=shadow)


class FrameStats(NamedTuple):
    """The counts over one frame's runs that the sidecar records (as the
    core counts them); a build does not read them."""

    rows: int
    runs: int
    empty_runs: int
    longest_run: int
    most_runs_in_a_row: int
    covered_pixels: int
    maximal: bool
    non_maximal_rows: int


def frame_file_names(count: int) -> List[Tuple[str, str]]:
    """(image, index layer) file names for `count` frames."""
    digits = max(3, len(str(max(count - 1, 0))))
    return [(f"frame_{i:0{digits}d}.png", f"frame_{i:0{digits}d}.index.png") for i in range(count)]


def encode_grey_alpha(pairs: bytes, width: int, height: int) -> bytes:
    """The index layer PNG of `pairs`: per pixel, row by row, the index and
    the coverage byte (255 or 0)."""
    out = io.BytesIO()
    Image.frombytes("LA", (width, height), pairs).save(out, format="PNG", **INDEX_PNG_SAVE)
    return out.getvalue()


def read_index_layer(path: str, width: int, height: int) -> Tuple[NDArray[Any], NDArray[Any]]:
    with open_image(path) as im:
        if im.mode != "LA":
            raise OrvToolError(
                f"index layer {path} is a {im.mode} image, not 8-bit grey with alpha", category="sidecar_invalid"
            )
        if im.size != (width, height):
            raise OrvToolError(
                f"index layer {path} is {im.size[0]}x{im.size[1]}, the sidecar says {width}x{height}",
                category="sidecar_invalid",
            )
        la = np.asarray(im, dtype=np.uint8).reshape(height, width, 2)
    covered = la[:, :, 1] != 0
    return np.where(covered, la[:, :, 0], 0).astype(np.uint8), covered


def sidecar_document(record: AnimationRecord, stats: Sequence[FrameStats], source: Tuple[str, int]) -> Dict[str, Any]:
    """The sidecar document of a record: what `parse_record` reads back,
    with each frame's `stats` and the `source` file's (name, size)."""
    frames = []
    for frame, counted in zip(record.frames, stats, strict=True):
        entry: Dict[str, Any] = {
            "image": frame.image,
            "indices": frame.indices,
            "width": frame.width,
            "height": frame.height,
            "x_offset": frame.x_offset,
            "y_offset": frame.y_offset,
            "is_shadow": frame.is_shadow,
            "height_word": frame.height_word,
            "frame_size": frame.frame_size,
            "unk1": frame.unk1,
            "unk2": frame.unk2,
            "runs": "explicit" if frame.explicit_rows else "maximal",
        }
        if frame.explicit_rows:
            entry["explicit_rows"] = {
                str(y): {
                    "block_count": row.count,
                    "runs": [[run.offset, run.color_count, list(run.indices)] for run in row.runs],
                }
                for y, row in frame.explicit_rows
            }
        entry["stats"] = counted._asdict()
        frames.append(entry)
    pal = record.palette
    palette: Dict[str, Any] = {
        "location": os.fsdecode(pal.path_field.split(b"\0", 1)[0]),
        "location_size": pal.location_size,
        "path_field": pal.path_field.hex(),
        "resolved": pal.resolved,
    }
    if pal.colors is not None:
        palette["model"] = pal.model
        palette["colors"] = [list(c) for c in pal.colors]
    header = record.header
    return {
        "format": SIDECAR_FORMAT,
        "version": SIDECAR_VERSION,
        "source": {"name": source[0], "size": source[1]},
        "form": "background" if header is not None else "plain",
        "has_background": record.has_background,
        "header": {"reserved": header.reserved.hex(), "flag": header.flag} if header is not None else None,
        "speed": record.speed,
        "frame_count": len(record.frames),
        "frame_count_field": record.frame_count_field,
        "palette": palette,
        "frames": frames,
        "trailing": base64.b64encode(record.trailing).decode("ascii"),
    }


def dumps(doc: Any) -> str:
    """JSON with one value per line (indented by one space a level), except
    that arrays of numbers, booleans and nulls (colours, runs) stay on one
    line. Strings are written as they are, whatever brackets they hold."""
    out: List[str] = []
    _write_json(doc, "\n", out)
    return "".join(out)


_SCALARS = (int, float, bool, type(None))  # exactly these types: a subclass takes the general path
_ascii = json.encoder.encode_basestring_ascii


def _scalar(value: Any) -> str:
    kind = type(value)
    if kind is str:
        return str(_ascii(value))
    if kind is int:
        return int.__repr__(value)
    return json.dumps(value)


def _write_json(value: Any, newline: str, out: List[str]) -> None:
    # Parts without strings or nesting are encoded whole by the json module's
    # C encoder and then laid out: in its output `, "` only separates keys
    # and `], [` only separates arrays.
    inner = newline + " "
    kind = type(value)
    if kind is dict:
        if not value:
            out.append("{}")
        elif all(type(k) is str for k in value) and all(type(v) in _SCALARS for v in value.values()):
            out.append("{" + inner + json.dumps(value)[1:-1].replace(', "', "," + inner + '"') + newline + "}")
        else:
            lead = "{"
            for key, item in value.items():
                out.append(f"{lead}{inner}{_ascii(key if isinstance(key, str) else json.dumps(key))}: ")
                if type(item) in _SCALARS or type(item) is str:
                    out.append(_scalar(item))
                else:
                    _write_json(item, inner, out)
                lead = ","
            out.append(newline + "}")
    elif kind is list or kind is tuple:
        if all(type(item) in _SCALARS for item in value):
            out.append(json.dumps(value))  # flat (or empty): one line
            return
        if all(type(item) is list or type(item) is tuple for item in value):
            text = json.dumps(value)
            # One bracket an item and no string or object: arrays of scalars.
            if text.count("[") == len(value) + 1 and '"' not in text and "{" not in text:
                out.append("[" + inner + text[1:-1].replace("], [", "]," + inner + "[") + newline + "]")
                return
        lead = "["
        for item in value:
            out.append(lead + inner)
            _write_json(item, inner, out)
            lead = ","
        out.append(newline + "]")
    elif isinstance(value, (dict, list, tuple)):  # a subclass: as json lays it out, item by item
        _write_json(dict(value) if isinstance(value, dict) else list(value), newline, out)
    else:
        out.append(_scalar(value))


def encode_sidecar(doc: Dict[str, Any]) -> bytes:
    return (dumps(doc) + "\n").encode("utf-8")


def read_sidecar(folder: str) -> Dict[str, Any]:
    path = os.path.join(folder, SIDECAR_NAME)
    doc = read_json(path)
    if not isinstance(doc, dict) or doc.get("format") != SIDECAR_FORMAT:
        raise OrvToolError(f"{path} is not an orvtool animation sidecar", category="sidecar_invalid")
    if doc.get("version") != SIDECAR_VERSION:
        raise OrvToolError(
            f"{path} has sidecar version {doc.get('version')}, this orvtool reads {SIDECAR_VERSION}",
            category="sidecar_invalid",
        )
    return doc


# --- reading: the record an export or a sheet carries ------------------------

FRAME_FIELDS = {
    "width": U16,
    "height": U16,
    "x_offset": I16,
    "y_offset": I16,
    "is_shadow": U8,
    "frame_size": U32,
    "unk1": U8,
    "unk2": U8,
}
# The keys of a frame entry that are read, or written by export and safely
# ignored ("runs" and "stats" describe the rows, which the index layer and
# "explicit_rows" give).
FRAME_KEYS = (*FRAME_FIELDS, "image", "indices", "height_word", "runs", "explicit_rows", "stats")


def _hex(where: Where, obj: Dict[str, Any], key: str, size: Optional[int] = None) -> bytes:
    try:
        data = bytes.fromhex(obj[key])
    except (KeyError, TypeError, ValueError):
        raise where.fail(f"'{key}' is not hex bytes") from None
    if size is not None and len(data) != size:
        raise where.fail(f"'{key}' is not {size} hex bytes")
    return data


def _explicit_rows(where: Where, entry: Dict[str, Any], shadow: bool) -> Tuple[Tuple[int, Row], ...]:
    rows = entry.get("explicit_rows", {})
    if not isinstance(rows, dict):
        raise where.fail("'explicit_rows' is not an object of rows by number")
    out: Dict[int, Row] = {}
    for y, row in rows.items():
        at = f"'explicit_rows' row {shown(y)}"
        if not (y.isascii() and y.isdigit()) or int(y) > U16[1]:
            raise where.fail(f"{at}: not a row number")
        if not isinstance(row, dict) or not isinstance(row.get("runs"), list):
            raise where.fail(f"{at}: has no 'runs' list")
        block_count = whole_value(where, row.get("block_count"), f"{at}: 'block_count'", U8)
        runs = []
        for k, run in enumerate(row["runs"]):
            if not (isinstance(run, list) and len(run) == 3 and isinstance(run[2], list)):
                raise where.fail(f"{at}, run {k}: is not [offset, colour count, [indices]]")
            offset = whole_value(where, run[0], f"{at}, run {k}: the offset", U8)
            count = whole_value(where, run[1], f"{at}, run {k}: the colour count", U8)
            indices = bytes(whole_value(where, v, f"{at}, run {k}: an index", U8) for v in run[2])
            runs.append(
                Run(offset=offset, length=count) if shadow else Run(offset=offset, indices=indices, length=count)
            )
        out[int(y)] = Row(runs=runs, block_count=block_count)
    return tuple(sorted(out.items()))


def _frame_entry(where: Where, entry: Any) -> FrameEntry:
    if not isinstance(entry, dict):
        raise where.fail("is not an object")
    fields = {key: whole(where, entry, key, bounds) for key, bounds in FRAME_FIELDS.items()}
    if "image" not in entry:
        raise where.fail("'image' is missing")
    names = {}
    for key in ("image", "indices"):
        if entry.get(key) is not None and not isinstance(entry[key], str):
            raise where.fail(f"'{key}' is not a file name")
        names[key] = entry.get(key) or None
    word = None if entry.get("height_word") is None else whole(where, entry, "height_word", U16)
    explicit = _explicit_rows(where, entry, fields["is_shadow"] != 0)
    return FrameEntry(
        **fields, height_word=word, image=names["image"], indices=names["indices"], explicit_rows=explicit
    )


def _palette_entry(where: Where, pal: Any) -> PaletteEntry:
    if not isinstance(pal, dict):
        raise where.fail("'palette' is missing")
    at = where.at("the palette")
    colors = None
    if pal.get("colors") is not None:
        check_json_palette(pal, at, (0, 0xFFFF))
        colors = tuple((c[0], c[1], c[2], c[3]) for c in pal["colors"])
    resolved = pal.get("resolved")
    return PaletteEntry(
        location_size=whole(at, pal, "location_size", U32),
        path_field=_hex(at, pal, "path_field"),
        resolved=resolved if isinstance(resolved, str) and resolved else None,
        colors=colors,
        model=whole(at, pal, "model", U16) if "model" in pal else 0,
    )


def _header(where: Where, doc: Dict[str, Any]) -> Optional[Header]:
    if "header" not in doc:
        raise where.fail("'header' is missing")
    if doc["header"] is None:
        return None
    at = where.at("the header")
    return Header(reserved=_hex(at, doc["header"], "reserved", 4), flag=whole(at, doc["header"], "flag", U8))


def parse_record(doc: Any, where: Where) -> Tuple[AnimationRecord, List[Finding]]:
    """The record of an animation.json (or of a sheet's meta.orvtool), every
    number converted once; a field missing, of the wrong kind or past what
    the format can store is refused naming it, as is a count field that
    would make a reader take other frames than those listed. Also returns
    the notes (keys not read)."""
    if not isinstance(doc, dict):
        raise where.fail("is not an object")
    speed = whole(where, doc, "speed", U32)
    count = whole(where, doc, "frame_count_field", U32)
    palette = _palette_entry(where, doc.get("palette"))
    header = _header(where, doc)
    try:
        trailing = base64.b64decode(doc.get("trailing", ""), validate=True)
    except (TypeError, ValueError, binascii.Error):
        raise where.fail("'trailing' is not base64") from None
    frames = doc.get("frames")
    if not isinstance(frames, list):
        raise where.fail("'frames' is missing" if "frames" not in doc else "'frames' is not a list")
    budget = Budget()  # the frames' images as RGBA, before any is read
    entries = []
    for i, item in enumerate(frames):
        entry = _frame_entry(where.at(f"frame {i}"), item)
        budget.pixels(entry.width, entry.height, where.path, what=f"frame {i}: its {entry.width}x{entry.height} pixels")
        entries.append(entry)
    taken = AnimationRecord.frames_taken(count, header)
    if taken != len(entries):
        background = " and the background frame" if header is not None and header.flag else ""
        raise where.fail(
            f"'frame_count_field' {count} makes a reader take {taken} frame records (the count{background}), "
            f"{len(entries)} are listed"
        )
    notes = unknown_keys({}, FRAME_KEYS, [(str(i), e) for i, e in enumerate(frames)], f"{where.path}: frames")
    return AnimationRecord(header, speed, count, palette, tuple(entries), trailing), notes


def read_record(folder: str) -> Tuple[AnimationRecord, List[Finding]]:
    """The record of the export in `folder`, and its notes."""
    return parse_record(read_sidecar(folder), Where(os.path.join(folder, SIDECAR_NAME), category="sidecar_invalid"))


def frame_rows(folder: str, entry: FrameEntry) -> List[Row]:
    """The rows of one frame as the export describes them: maximal runs of its
    index layer (when `folder` and the entry name one), with the explicit rows
    in their place."""
    width, height = entry.size
    shadow = entry.is_shadow != 0
    explicit = entry.explicit()
    if folder and entry.indices:
        indices, covered = read_index_layer(os.path.join(folder, entry.indices), width, height)
    else:
        indices = np.zeros((height, width), dtype=np.uint8)
        covered = np.zeros((height, width), dtype=bool)
    rows = []
    for y in range(max(height, max(explicit, default=-1) + 1)):
        if y in explicit:
            rows.append(explicit[y])
        else:
            rows.append(Row(_row_runs(indices[y], covered[y], shadow)))
    return rows


def frame_of(entry: FrameEntry, rows: List[Row]) -> Frame:
    """The frame record an entry describes, with these rows."""
    return Frame(
        width=entry.width,
        rows=rows,
        x_offset=entry.x_offset,
        y_offset=entry.y_offset,
        is_shadow=entry.is_shadow != 0,
        frame_size=entry.frame_size,
        unk1=entry.unk1,
        unk2=entry.unk2,
        height=entry.height,
        height_word=entry.height_word,
    )


def written_names(folder: str) -> List[str]:
    """The frame files that the export in `folder` lists in its sidecar, plain
    names only; none when there is no readable sidecar."""
    try:
        doc = read_sidecar(folder)
    except OrvToolError:
        return []
    names: List[str] = []
    for entry in doc.get("frames") or []:
        if not isinstance(entry, dict):
            continue
        for key in ("image", "indices"):
            name = entry.get(key)
            if isinstance(name, str) and name and name == os.path.basename(name) and name not in (".", ".."):
                names.append(name)
    return names
