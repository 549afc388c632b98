"""Rows of runs from pixels, and the limits of the animation file's fields.

The file itself is encoded by the core (`orvfile.encode_animation`); this
module makes the runs it stores and says what its fields can hold.

Animation file layout (little-endian, unaligned)::

    [background form only] "FVRO", 4 reserved bytes, 1 flag byte
    speed u32, path length N u32, N path bytes, frame count u32
    per frame: frame_size u32, height word u16 (bit 15: shadow), width u16,
               y_offset i16, x_offset i16, unk1 u8, unk2 u8, then rows
    per row:   block count u8, then runs
    per run:   offset u8, colour count u8, then that many indices
               (none in a shadow frame)
"""

from __future__ import annotations

from typing import List, Optional, Sequence

from orvtool.model.errors import OrvToolError
from orvtool.model.records import Frame, Row, Run

MAGIC = b"FVRO"
PALETTE_EXTENSION = ".pal"

MAX_RUNS = 255  # runs in one row
MAX_WIDTH = 0xFFFF
MAX_HEIGHT = 0x7FFF  # a larger height would set the shadow bit
MAX_SHADOW_HEIGHT = 0xFF  # a shadow frame stores its height in 8 bits


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


def _out_of_range(frame_no: int, detail: str, row: Optional[int] = None) -> OrvToolError:
    return OrvToolError(detail, category="frame_out_of_range", frame=frame_no, row=row)


def check_frame_size(frame_no: int, width: int, height: int, shadow: bool, after_shadow: bool) -> None:
    """Refuses a frame that the file's 16-bit fields cannot hold, or that the
    loader would read back with another height."""
    if width > MAX_WIDTH:
        raise _out_of_range(frame_no, f"{width} pixels wide, a frame is at most {MAX_WIDTH} wide")
    if shadow and height > MAX_SHADOW_HEIGHT:
        raise _out_of_range(
            frame_no, f"a shadow frame of {height} rows, a shadow frame has at most {MAX_SHADOW_HEIGHT}"
        )
    if not shadow and height > MAX_HEIGHT:
        raise _out_of_range(frame_no, f"{height} rows, a frame has at most {MAX_HEIGHT}")
    if not shadow and after_shadow and height > 0xFF:
        raise _out_of_range(
            frame_no,
            f"{height} rows after a shadow frame, which the loader reads as {height % 256}: a frame after a "
            "shadow frame has at most 255 rows",
        )


def check_offset(frame_no: int, name: str, value: int) -> None:
    if not -0x8000 <= value <= 0x7FFF:
        raise _out_of_range(frame_no, f"{name} {value} is outside -32768..32767")


def check_row_runs(frame_no: int, y: int, runs: Sequence[Run]) -> None:
    if len(runs) > MAX_RUNS:
        raise _out_of_range(frame_no, f"its pixels need {len(runs)} runs, a row holds at most {MAX_RUNS}", y)
