"""The animation and palette file formats: encoding records byte for byte,
and the limits of the fields.

The writer writes exactly what it is given, so it can also produce the odd
and broken files that tests need: every count and the raw height word can be
overridden (see `model`).

Animation file layout (little-endian, unaligned)::

    [background form only] "FVRO", 4 reserved bytes, 1 flag byte
    speed u32, path length N u32, N path bytes, frame count u32
    per frame: frame_size u32, height word u16 (bit 15: shadow), width u16,
               y_offset i16, x_offset i16, unk1 u8, unk2 u8, then rows
    per row:   block count u8, then runs
    per run:   offset u8, colour count u8, then that many indices
               (none in a shadow frame)

Palette file: entry count u16, model u16, then r, g, b, a per entry.
"""

from __future__ import annotations

import os
import struct
from pathlib import PurePath
from typing import List, Optional, Sequence

from ..errors import OrvToolError
from ..model import Animation, Color, Frame, Row, Run

MAGIC = b"FVRO"
PALETTE_EXTENSION = ".pal"

MAX_RUNS = 255  # runs in one row
MAX_WIDTH = 0xFFFF
MAX_HEIGHT = 0x7FFF  # a larger height would set the shadow bit
MAX_SHADOW_HEIGHT = 0xFF  # a shadow frame stores its height in 8 bits
MAX_PALETTE_COLORS = 256

def _u8(v: int) -> bytes:
    return struct.pack("<B", v)


def encode_frame(frame: Frame) -> bytes:
    height = len(frame.rows) if frame.height is None else frame.height
    if frame.height_word is not None:
        word = frame.height_word
    elif frame.is_shadow:
        word = 0x8000 | (height % 256)
    else:
        word = height
    out = bytearray(
        struct.pack(
            "<IHHhhBB",
            frame.frame_size,
            word,
            frame.width,
            frame.y_offset,
            frame.x_offset,
            frame.unk1,
            frame.unk2,
        )
    )
    shadow = bool(word & 0x8000)
    for row in frame.rows:
        out += _u8(len(row.runs) if row.block_count is None else row.block_count)
        for run in row.runs:
            out += _u8(run.offset) + _u8(run.color_count)
            if not shadow:
                out += bytes(run.indices)
    return bytes(out)


def encode_animation(anim: Animation) -> bytes:
    out = bytearray()
    if anim.has_background:
        out += MAGIC + bytes(anim.reserved) + _u8(anim.background_flag)
    path_field = anim.raw_path_field
    if path_field is None:
        path_field = bytes(anim.palette_path) + b"\0"
    n = len(path_field) if anim.path_length is None else anim.path_length
    count = anim.frame_count
    if count is None:
        count = len(anim.frames) - (1 if anim.has_background else 0)
    out += struct.pack("<II", anim.speed, n) + path_field + struct.pack("<I", count & 0xFFFFFFFF)
    for frame in anim.frames:
        out += encode_frame(frame)
    out += bytes(anim.trailing)
    return bytes(out)


def encode_palette(colors: Sequence[Color], count: Optional[int] = None, model: int = 0) -> bytes:
    n = len(colors) if count is None else count
    out = bytearray(struct.pack("<HH", n & 0xFFFF, model & 0xFFFF))
    for r, g, b, a in colors:
        out += bytes((r, g, b, a))
    return bytes(out)


def _append_span(runs: List[Run], gap: int, indices: Sequence[int], start: int, end: int, shadow: bool) -> None:
    """Appends the runs for the covered pixels start..end-1 of a row, `gap`
    uncovered pixels after the previous run: a gap longer than 255 is carried
    by empty runs, and the span is cut into runs of at most 255 pixels."""
    while gap > 255:
        runs.append(Run(offset=255, indices=b"", length=0))
        gap -= 255
    while start < end:
        stop = min(end, start + 255)
        if shadow:
            runs.append(Run(offset=gap, length=stop - start))
        else:
            runs.append(Run(offset=gap, indices=bytes(indices[start:stop])))
        gap = 0
        start = stop


def runs_from_indices(indices: Sequence[Optional[int]], shadow: bool = False) -> List[Run]:
    """Encodes one row of pixels (an index per pixel, None for uncovered) as
    maximal runs: gaps and runs of at most 255, a gap longer than 255 carried
    by empty runs."""
    runs: List[Run] = []
    x = 0
    previous_end = 0
    width = len(indices)
    while x < width:
        while x < width and indices[x] is None:
            x += 1
        if x >= width:
            break
        start = x
        while x < width and indices[x] is not None:
            x += 1
        _append_span(runs, start - previous_end, indices, start, x, shadow)  # type: ignore[arg-type]
        previous_end = x
    return runs


def runs_from_mask(indices: bytes, covered: bytes, shadow: bool = False) -> List[Run]:
    """The runs of runs_from_indices for a row given as index bytes and a
    coverage mask of the same length (byte 1: covered, byte 0: not; no other
    value). Covered spans are found with bytes.find, so a row costs time per
    run rather than per pixel: the way to build large files."""
    if len(covered) != len(indices):
        raise ValueError("covered and indices differ in length")
    runs: List[Run] = []
    width = len(covered)
    previous_end = 0
    x = 0
    while x < width:
        start = covered.find(b"\x01", x)
        if start < 0:
            break
        end = covered.find(b"\x00", start)
        if end < 0:
            end = width
        _append_span(runs, start - previous_end, indices, start, end, shadow)
        previous_end = x = end
    return runs


def frame_from_indices(
    rows: Sequence[Sequence[Optional[int]]],
    width: Optional[int] = None,
    *,
    x_offset: int = 0,
    y_offset: int = 0,
    is_shadow: bool = False,
    frame_size: int = 0,
) -> Frame:
    """A frame from a grid of indices (None for uncovered pixels)."""
    w = width if width is not None else (len(rows[0]) if rows else 0)
    return Frame(
        width=w,
        rows=[Row(runs_from_indices(r, shadow=is_shadow)) for r in rows],
        x_offset=x_offset,
        y_offset=y_offset,
        is_shadow=is_shadow,
        frame_size=frame_size,
    )


# --- limits -------------------------------------------------------------------


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


def check_offset(frame_no: int, name: str, value: int) -> None:
    if not -0x8000 <= value <= 0x7FFF:
        raise OrvToolError(f"frame {frame_no}: {name} {value} is outside -32768..32767")


def check_row_runs(frame_no: int, y: int, runs: Sequence[Run]) -> None:
    if len(runs) > MAX_RUNS:
        raise OrvToolError(
            f"frame {frame_no}, row {y}: its pixels need {len(runs)} runs, a row holds at most {MAX_RUNS}"
        )


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

