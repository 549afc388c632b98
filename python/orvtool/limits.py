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
| frame records of one animation file | 2,097,152, as many as its head announces and its size can hold, checked by the core on the file's one open before any is read |
"""

from __future__ import annotations

import math

from .errors import OrvToolError

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
        raise OrvToolError(f"{where} is {_shown(value)}, not a number")
    if isinstance(value, float) and not math.isfinite(value):
        raise OrvToolError(f"{where} is {_shown(value)}, not a finite number")
    if not lo <= value <= hi:
        raise OrvToolError(f"{where} is {_shown(value)}, outside {lo:g}..{hi:g}")
    return value


def finite_int(value: object, lo: int, hi: int, where: str) -> int:
    """`value` as a whole number from `lo` to `hi` (a float with no fraction
    is taken); else an OrvToolError naming `where`."""
    got = number(value, lo, hi, where)
    if isinstance(got, float) and not got.is_integer():
        raise OrvToolError(f"{where} is {_shown(value)}, not a whole number")
    return int(got)


def pixels_fit(width: int, height: int, where: str, frames: int = 1, held: int = 0) -> int:
    """The pixels held after `frames` images of `width` x `height` join the
    `held` ones; refuses past the pixel budget."""
    total = held + max(width, 0) * max(height, 0) * max(frames, 0)
    if total > PIXEL_BUDGET:
        many = f"{frames} images of " if frames != 1 else ""
        raise OrvToolError(
            f"{where}: {many}{width}x{height} pixels take more than the {PIXEL_BUDGET_BYTES >> 20} MiB "
            "of images orvtool holds at once"
        )
    return total


class PixelBudget:
    """The pixels one command holds, counted as its inputs are read."""

    def __init__(self) -> None:
        self.held = 0

    def take(self, width: int, height: int, where: str, frames: int = 1) -> None:
        self.held = pixels_fit(width, height, where, frames, self.held)
