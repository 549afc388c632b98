"""The limits of what orvtool reads, and the checks that hold values to them.

Every input is bounded before it costs time or memory: a file by its size,
a JSON document by its size and nesting, an image by its pixels, a number by
the range its field can take. Each refusal is one line naming the file and,
inside a document, the frame and the key.

| limit | value |
|---|---|
| a sheet, sidecar or JSON palette document | 64 MiB, nested at most 64 deep |
| a palette file | what its format holds: a binary palette's first 1028 bytes are read, Adobe 772 bytes, text 16 MiB, a swatch as an image |
| an image file | 256 MiB |
| pixels one command holds | 1 GiB of RGBA (2^28 pixels), as the module renders per animation |
| frame records of one animation file | 2,097,152, as many as its head announces and its size can hold, checked before any is read |
"""

from __future__ import annotations

import math
import os
import stat
import struct
from typing import Callable, Union

from .errors import OrvToolError, TooManyFrames

MiB = 1 << 20
JSON_BYTES = 64 * MiB
JSON_DEPTH = 64
IMAGE_BYTES = 256 * MiB
TEXT_PALETTE_BYTES = 16 * MiB
PIXEL_BUDGET_BYTES = 1 << 30  # RGBA bytes, the module's own image budget per animation
PIXEL_BUDGET = PIXEL_BUDGET_BYTES // 4
# What each frame's part of a preview or a sheet costs beside its pixels (a
# page's image, a sheet entry's description), as pixels of the budget: 16 KiB
# measured at most, so that tens of thousands of empty frames count too.
FRAME_OVERHEAD_PIXELS = 4096
# Frame records read from one file: each costs orvtool a few hundred bytes as
# it is reported on, so that this many take well under a gigabyte.
FRAME_RECORDS = 1 << 21
FRAME_RECORD_BYTES = 14  # the smallest frame record: its fields, no rows

U8 = (0, 0xFF)
U16 = (0, 0xFFFF)
U32 = (0, 0xFFFFFFFF)
I16 = (-0x8000, 0x7FFF)
I32 = (-0x80000000, 0x7FFFFFFF)


def _shown(value: object) -> str:
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


def number(value: object, lo: float, hi: float, where: str) -> float:
    """`value` as a finite number from `lo` to `hi`; else an OrvToolError
    naming `where` (the file, the frame and the key)."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise OrvToolError(f"{where} is {_shown(value)}, not a number", category="sidecar_invalid")
    if isinstance(value, float) and not math.isfinite(value):
        raise OrvToolError(f"{where} is {_shown(value)}, not a finite number", category="sidecar_invalid")
    if not lo <= value <= hi:
        raise OrvToolError(f"{where} is {_shown(value)}, outside {lo:g}..{hi:g}", category="sidecar_invalid")
    return value


def finite_int(value: object, lo: int, hi: int, where: str) -> int:
    """`value` as a whole number from `lo` to `hi` (a float with no fraction
    is taken); else an OrvToolError naming `where`."""
    got = number(value, lo, hi, where)
    if isinstance(got, float) and not got.is_integer():
        raise OrvToolError(f"{where} is {_shown(value)}, not a whole number", category="sidecar_invalid")
    return int(got)


def pixels_fit(width: int, height: int, where: str, frames: int = 1, held: int = 0) -> int:
    """The pixels held after `frames` images of `width` x `height` join the
    `held` ones; refuses past the pixel budget."""
    total = held + max(width, 0) * max(height, 0) * max(frames, 0)
    if total > PIXEL_BUDGET:
        many = f"{frames} images of " if frames != 1 else ""
        raise OrvToolError(
            f"{where}: {many}{width}x{height} pixels take more than the {PIXEL_BUDGET_BYTES >> 20} MiB "
            "of images orvtool holds at once",
            category="over_limit",
        )
    return total


class PixelBudget:
    """The pixels one command holds, counted as its inputs are read."""

    def __init__(self) -> None:
        self.held = 0

    def take(self, width: int, height: int, where: str, frames: int = 1) -> None:
        self.held = pixels_fit(width, height, where, frames, self.held)


def frame_records(path: Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]) -> int:
    """The frame records that reading the animation file `path` would begin
    (those its head announces, as far as the bytes after the head can hold
    them), exactly when they are more than FRAME_RECORDS, else a bound at
    most FRAME_RECORDS found from the size alone. 0 for what the loader
    reads no frame of (a file that is missing, not a regular file, or cut
    short in its head)."""
    try:
        st = os.stat(path)
    except (OSError, ValueError):
        return 0
    if not stat.S_ISREG(st.st_mode):
        return 0
    if st.st_size <= FRAME_RECORDS * FRAME_RECORD_BYTES:  # whatever the head says, without opening the file
        return -(-st.st_size // FRAME_RECORD_BYTES)
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_NOCTTY", 0))
    except (OSError, ValueError):
        return 0
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            return 0

        def read(at: int, count: int) -> bytes:
            os.lseek(fd, at, os.SEEK_SET)
            return os.read(fd, count)

        return _records(st.st_size, read)
    except OSError:
        return 0
    finally:
        os.close(fd)


def frame_records_in(data: Union[bytes, bytearray, memoryview]) -> int:
    """frame_records for an animation file's bytes held in memory."""
    view = memoryview(data).cast("B")
    return _records(len(view), lambda at, count: bytes(view[at : at + count]))


def _records(size: int, read: Callable[[int, int], bytes]) -> int:
    if size <= FRAME_RECORDS * FRAME_RECORD_BYTES:  # whatever the head says
        return -(-size // FRAME_RECORD_BYTES)
    start = read(0, 17)
    header = 9 if start[:4] == b"FVRO" else 0
    background = header > 0 and len(start) > 8 and start[8] != 0
    fields = start[header : header + 8]
    if len(fields) < 8:
        return 0
    path_length = int(struct.unpack_from("<I", fields, 4)[0])
    head_end = header + 8 + path_length + 4
    count_field = read(head_end - 4, 4)
    if len(count_field) < 4:
        return 0
    announced = (int(struct.unpack("<I", count_field)[0]) + (1 if background else 0)) & 0xFFFFFFFF
    wanted = announced if announced < 0x80000000 else 0  # the count is taken as signed
    return min(wanted, -(-(size - head_end) // FRAME_RECORD_BYTES))


def check_frame_records(
    path: Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"],
    data: Union[bytes, bytearray, memoryview, None] = None,
) -> None:
    """Refuses, before any record is read, an animation file (its bytes from
    `data` when given) that would give more frame records than orvtool
    reads (FRAME_RECORDS)."""
    records = frame_records(path) if data is None else frame_records_in(data)
    if records > FRAME_RECORDS:
        raise TooManyFrames(
            os.fsdecode(path),
            f"its head and size allow {records:,} frame records, more than the {FRAME_RECORDS:,} orvtool reads "
            "from one file",
            records,
        )
