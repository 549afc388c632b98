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

`read_export` turns a folder back into records (`model`); encoding them
gives the original file. `checks.check_sidecar` refuses a sidecar that lacks
a field or holds a value the format cannot store, naming it.
"""

from __future__ import annotations

import base64
import io
import json
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import NDArray
from PIL import Image

from .. import limits
from ..errors import OrvToolError
from ..images import INDEX_PNG_SAVE
from ..model import Animation, Frame, Row, Run
from ..reading import open_image
from ..runs import runs_from_mask
from .jsonfile import read_json

if TYPE_CHECKING:
    from ..loading import LoadedAnimation

SIDECAR_NAME = "animation.json"
SIDECAR_FORMAT = "orvtool-animation"
SIDECAR_VERSION = 1


def index_layer(frame: Frame) -> Tuple[NDArray[Any], NDArray[Any]]:
    """The palette index and the coverage of every pixel of a frame, as the
    renderer places its runs: (indices uint8 (h, w), covered bool (h, w))."""
    h, w = frame.rows_drawn, frame.width
    indices = np.zeros((h, w), dtype=np.uint8)
    covered = np.zeros((h, w), dtype=bool)
    shadow = frame.is_shadow != 0
    for y, row in enumerate(frame.rows[:h]):
        place_runs(row.runs, shadow, indices[y], covered[y])
    return indices, covered


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


@dataclass
class FrameSummary:
    """What the sidecar records of one frame: its fields, the rows listed in
    full, and the counts over its runs (as the core counts them)."""

    width: int
    height: int  # the rows drawn
    x_offset: int
    y_offset: int
    is_shadow: int
    height_word: Optional[int]
    frame_size: int
    unk1: int
    unk2: int
    explicit: Dict[int, Row]
    stats: Dict[str, Any]


def frame_file_names(count: int) -> List[Tuple[str, str]]:
    """(image, index layer) file names for `count` frames."""
    digits = max(3, len(str(max(count - 1, 0))))
    return [(f"frame_{i:0{digits}d}.png", f"frame_{i:0{digits}d}.index.png") for i in range(count)]


def encode_index_layer(indices: NDArray[Any], covered: NDArray[Any]) -> bytes:
    h, w = indices.shape
    alpha = np.where(covered, 255, 0).astype(np.uint8)
    return encode_grey_alpha(np.dstack([indices, alpha]).tobytes(), w, h)


def encode_grey_alpha(pairs: bytes, width: int, height: int) -> bytes:
    """The index layer PNG of `pairs`: per pixel, row by row, the index and
    the coverage byte (255 or 0)."""
    out = io.BytesIO()
    Image.frombytes("LA", (width, height), pairs).save(out, format="PNG", **INDEX_PNG_SAVE)
    return out.getvalue()


def read_index_layer(path: str, width: int, height: int) -> Tuple[NDArray[Any], NDArray[Any]]:
    with open_image(path) as im:
        if im.mode != "LA":
            raise OrvToolError(f"index layer {path} is a {im.mode} image, not 8-bit grey with alpha")
        if im.size != (width, height):
            raise OrvToolError(f"index layer {path} is {im.size[0]}x{im.size[1]}, the sidecar says {width}x{height}")
        la = np.asarray(im, dtype=np.uint8).reshape(height, width, 2)
    covered = la[:, :, 1] != 0
    return np.where(covered, la[:, :, 0], 0).astype(np.uint8), covered


def build_sidecar(
    anim: "LoadedAnimation",
    names: List[Tuple[str, str]],
    summaries: Sequence[FrameSummary],
    palette_file: Optional[Tuple[int, List[Tuple[int, int, int, int]]]],
) -> Dict[str, Any]:
    """The sidecar document, from the summary of each frame (the export's
    view of its records). `palette_file` is (model, entries) of the palette
    file as stored, when it could be read."""
    head = anim.head
    frames = []
    for i, frame in enumerate(summaries):
        has_pixels = frame.width > 0 and frame.height > 0
        entry: Dict[str, Any] = {
            "image": names[i][0] if has_pixels else None,
            "indices": names[i][1] if has_pixels else None,
            "width": frame.width,
            "height": frame.height,
            "x_offset": frame.x_offset,
            "y_offset": frame.y_offset,
            "is_shadow": frame.is_shadow,
            "height_word": frame.height_word,
            "frame_size": frame.frame_size,
            "unk1": frame.unk1,
            "unk2": frame.unk2,
            "runs": "explicit" if frame.explicit else "maximal",
        }
        if frame.explicit:
            entry["explicit_rows"] = {
                str(y): {
                    "block_count": row.count,
                    "runs": [[run.offset, run.color_count, list(run.indices)] for run in row.runs],
                }
                for y, row in sorted(frame.explicit.items())
            }
        entry["stats"] = frame.stats
        frames.append(entry)

    palette: Dict[str, Any] = {
        "location": os.fsdecode(head.location),
        "location_size": head.path_length,
        "path_field": head.path_field.hex(),
        "resolved": anim.palette.resolved,
    }
    if palette_file is not None:
        model, entries = palette_file
        palette["model"] = model
        palette["colors"] = [list(c) for c in entries]
    doc: Dict[str, Any] = {
        "format": SIDECAR_FORMAT,
        "version": SIDECAR_VERSION,
        "source": {"name": os.path.basename(anim.path), "size": anim.file_size},
        "form": "background" if head.has_header else "plain",
        "has_background": anim.has_background,
        "header": {"reserved": head.reserved.hex(), "flag": head.flag} if head.has_header else None,
        "speed": head.speed,
        "frame_count": anim.frame_count,
        "frame_count_field": head.frame_count_field,
        "palette": palette,
        "frames": frames,
        "trailing": base64.b64encode(anim.trailing).decode("ascii"),
    }
    return doc


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
        raise OrvToolError(f"{path} is not an orvtool animation sidecar")
    if doc.get("version") != SIDECAR_VERSION:
        raise OrvToolError(f"{path} has sidecar version {doc.get('version')}, this orvtool reads {SIDECAR_VERSION}")
    return doc


def frame_rows(folder: str, entry: Dict[str, Any]) -> List[Row]:
    """The rows of one frame as the export describes them: maximal runs of its
    index layer, with the explicit rows in their place."""
    width, height = entry["width"], entry["height"]
    shadow = entry["is_shadow"] != 0
    explicit = explicit_row_records(entry)
    if entry.get("indices"):
        indices, covered = read_index_layer(os.path.join(folder, entry["indices"]), width, height)
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


def explicit_row_records(entry: Dict[str, Any]) -> Dict[int, Row]:
    """A frame's explicit rows as records, by row number; a value the file
    cannot hold is an OrvToolError naming the row and the key."""
    shadow = entry["is_shadow"] != 0
    out: Dict[int, Row] = {}
    for y, row in entry.get("explicit_rows", {}).items():
        at = f"'explicit_rows' row {y!r:.20}"
        number = limits.finite_int(int(y) if isinstance(y, str) and y.isdigit() else y, *limits.U16, at)
        runs = []
        for k, (off, cnt, colors) in enumerate(row["runs"]):
            off = limits.finite_int(off, *limits.U8, f"{at}, run {k}: the offset")
            cnt = limits.finite_int(cnt, *limits.U8, f"{at}, run {k}: the colour count")
            runs.append(Run(offset=off, length=cnt) if shadow else Run(offset=off, indices=bytes(colors), length=cnt))
        out[number] = Row(
            runs=runs, block_count=limits.finite_int(row["block_count"], *limits.U8, f"{at}: 'block_count'")
        )
    return out


def frame_of(entry: Dict[str, Any], rows: List[Row]) -> Frame:
    """The frame record a sidecar entry describes, with these rows."""
    return Frame(
        width=entry["width"],
        rows=rows,
        x_offset=entry["x_offset"],
        y_offset=entry["y_offset"],
        is_shadow=entry["is_shadow"] != 0,
        frame_size=entry["frame_size"],
        unk1=entry["unk1"],
        unk2=entry["unk2"],
        height=entry["height"],
        # Checked whole: a JSON 0.0 is 0.
        height_word=None if entry.get("height_word") is None else int(entry["height_word"]),
    )


def read_export(folder: str) -> Animation:
    """The animation records that an export folder describes, ready for
    `orvfile.encode_animation`."""
    doc = read_sidecar(folder)
    frames = [frame_of(entry, frame_rows(folder, entry)) for entry in doc["frames"]]
    header = doc.get("header")
    return Animation(
        frames=frames,
        speed=doc["speed"],
        has_background=header is not None,
        background_flag=header["flag"] if header else 1,
        reserved=bytes.fromhex(header["reserved"]) if header else b"\0\0\0\0",
        raw_path_field=bytes.fromhex(doc["palette"]["path_field"]),
        path_length=doc["palette"]["location_size"],
        frame_count=doc["frame_count_field"],
        trailing=base64.b64decode(doc.get("trailing", "")),
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
