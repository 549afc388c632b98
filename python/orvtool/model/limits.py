"""The limits of what orvtool reads, and the checks that hold values to them.

Every input is bounded before it costs time or memory: a file by its size,
a JSON document by its size and nesting, an image by its pixels, a number by
the range its field can take. Each refusal is one line naming the file and,
inside a document, the frame and the key.

| limit | value |
|---|---|
| a sheet, sidecar or JSON palette document | 64 MiB, nested at most 64 deep |
| a palette file | what its format holds: a binary palette's first 1028 bytes are read, Adobe 772 bytes, text 16 MiB, a swatch as an image |
| an image file | 256 MiB, at most 2^28 pixels |
| what one command holds at once (`Budget`) | 1 GiB, each stage charging what it will hold before it makes it |
| frame records of one animation file | 2,097,152, as many as its head announces and its size can hold, checked by the core on the file's one open before any is read |

The budget is made once per command (per animation of a tree, in the
process that builds it) and handed to every stage, which charges it with
what it is about to hold, from what the inputs announce: an image's pixels
from its header before it is decoded, times the bytes a pixel takes in the
arrays made of it; each frame of a build as planned (a frame that a tag names
N times counts N times), its records and the file's bytes. What would pass
the budget is refused in one line naming the input and the limit, with the
category `over_budget`, before anything is written. The factors are the
`*_BYTES` figures below, measured on the arrays and objects they count.

The viewer (`orvtool view`) holds what it serves within these:

| viewer limit | value |
|---|---|
| loaded animations kept | 256 MiB, counted by the bytes each holds (the file's bytes its records keep, pixels, PNG files, answers made), the longest unused dropped first |
| answers over 64 KiB being written at once | 256 MiB, one shared by identical requests counted once, one alone always; past it, 503 with Retry-After; of each, 256 KiB held by the system unsent |
| answers made at once (loads, renders, PNG and document encodings) | 2; a request waits up to 30 s for its turn, then 503 with Retry-After |
| a request | 10 s to come whole, and its answer 30 s from its first byte to its last; the connection is closed at either deadline |
| connections, event streams | 64 at once (more are closed unanswered), 16 of them streams (more get 503) |
| what one animation shows | 65,536 frames; 4096 x 4096 pixels a frame and 2^26 pixels an animation drawn, the frames past them listed |
"""

from __future__ import annotations

import math
from contextlib import contextmanager
from typing import Iterator

from orvtool.model.errors import OrvToolError

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
# --- the budget of one command ------------------------------------------------------
BUDGET_BYTES = 1 << 30  # what one command holds at once, as the module renders per animation
OVER_BUDGET = "over_budget"  # the category of a refusal past it
RGBA_BYTES = 4  # a pixel held as RGBA
LAYER_BYTES = 2  # a pixel of an index layer: its index and its coverage
# Decoding an image holds Pillow's image of it: a byte a pixel for the modes
# "1", "L" and "P", two for 16-bit grey, four for every other mode (RGB and
# LA included, which Pillow keeps in four bytes a pixel).
DECODED_BYTES = {"1": 1, "L": 1, "P": 1, "I;16": 2, "I;16B": 2, "I;16L": 2, "I;16N": 2}
WIDE_DECODED_BYTES = 4
# Turning decoded pixels into an RGBA array holds, at the peak, Pillow's
# RGBA image, the bytes it gives numpy (twice while they are joined) and the
# array: 16 bytes a pixel beside the decoded image, 4 of which stay.
CONVERT_BYTES = 16
# The outside-pixels check and an atlas's alpha are made a band of rows at a
# time, of at most this many bytes of RGBA.
BAND_BYTES = 16 * MiB
# A frame of a build as planned: beside its pixels, the objects that carry
# it through the stages (its source, entry, record and report), measured
# under 1 KiB and counted at 2 KiB.
FRAME_BYTES = 2 * 1024
# A pixel of a frame as planned: its colour in the record's runs, in the
# file's bytes and in their reading back (measured at 3 bytes) and a byte of
# margin; the arrays a frame is matched in (3 bytes a pixel) are made and
# let go one frame at a time.
PLANNED_PIXEL_BYTES = 4
# A run of a frame's rows (and each row), as the record's Python objects,
# the encoder's record and the file's reading back hold it: measured at 75
# bytes.
RUN_BYTES = 96


def budget_table() -> str:
    """What a build charges to its budget, as the limits page states it (in Markdown)."""
    rows = [
        ("the budget of one command (of each animation of a tree)", f"{BUDGET_BYTES >> 20} MiB"),
        ("a decoded image, a pixel", "1 byte (modes 1, L, P), 2 (16-bit grey), 4 (any other)"),
        ("an image made RGBA, a pixel kept", f"{RGBA_BYTES} bytes"),
        ("making it RGBA, a pixel, for a moment", f"{CONVERT_BYTES} bytes beside the decoded image"),
        ("an index layer, a pixel", f"{LAYER_BYTES} bytes"),
        ("a sheet's atlas", "its rows the frames reach, decoded (all of them, with alpha)"),
        ("looking for pixels outside a sheet's frames", f"bands of {BAND_BYTES >> 20} MiB of RGBA"),
        ("a frame as planned (each time a tag names it)", f"{FRAME_BYTES:,} bytes"),
        (
            "a pixel of a frame as planned",
            f"{PLANNED_PIXEL_BYTES} bytes (its runs, the file's bytes, their reading back)",
        ),
        ("a run (and a row) of a frame as planned", f"{RUN_BYTES} bytes"),
    ]
    lines = ["| what a build holds | charged |", "|---|---|"] + [f"| {a} | {b} |" for a, b in rows]
    return "\n".join(lines)


def decoded_bytes(mode: str) -> int:
    """The bytes a pixel of a decoded Pillow image of `mode` takes."""
    return DECODED_BYTES.get(mode, WIDE_DECODED_BYTES)


def _mib(count: int) -> str:
    mib = count / MiB
    return f"{mib:,.0f} MiB" if mib >= 10 else f"{mib:.1f} MiB"


class Budget:
    """What one command holds at once, in bytes, against one limit. Made once
    per command before any work and handed to every stage: each charges
    (`charge`, `pixels`) what it is about to hold, before it makes it, and
    releases (`release`, `holding`) what it lets go. A charge past the limit
    is refused in one line naming the input and the limit."""

    def __init__(self, limit: int = BUDGET_BYTES) -> None:
        self.limit = limit
        self.held = 0

    def refusal(self, where: str, what: str, count: int) -> OrvToolError:
        beside = f" beside the {_mib(self.held)} already held" if self.held >= MiB else ""
        return OrvToolError(
            f"{what} take {_mib(count)}{beside}: more than the {self.limit >> 20} MiB orvtool holds for one command",
            where=where,
            category=OVER_BUDGET,
        )

    def charge(self, count: int, where: str, what: str) -> int:
        """Takes `count` bytes, or refuses them (naming `where` and `what`,
        a plural: "its pixels") when they would pass the limit."""
        count = max(count, 0)
        if self.held + count > self.limit:
            raise self.refusal(where, what, count)
        self.held += count
        return count

    def fits(self, count: int, where: str, what: str) -> None:
        """Refuses `count` bytes more, held for a moment and let go (a
        conversion's peak), when they would pass the limit; takes nothing."""
        if self.held + max(count, 0) > self.limit:
            raise self.refusal(where, what, count)

    def release(self, count: int) -> None:
        self.held = max(self.held - max(count, 0), 0)

    @contextmanager
    def holding(self, count: int, where: str, what: str) -> Iterator[int]:
        """`count` bytes taken for the time of a `with` block."""
        taken = self.charge(count, where, what)
        try:
            yield taken
        finally:
            self.release(taken)

    def pixels(
        self, width: int, height: int, where: str, per_pixel: int = RGBA_BYTES, frames: int = 1, what: str = ""
    ) -> int:
        """Takes `frames` images of `width` x `height` pixels at `per_pixel`
        bytes each; returns the bytes taken."""
        w, h, n = max(width, 0), max(height, 0), max(frames, 0)
        many = f"{n:,} images of " if n != 1 else ""
        return self.charge(w * h * n * per_pixel, where, what or f"{many}{w}x{h} pixels")


def pixels_fit(width: int, height: int, where: str, frames: int = 1, held: int = 0) -> int:
    """The pixels held after `frames` images of `width` x `height` join the
    `held` ones; refuses past the RGBA pixels an export's sheet or preview
    holds (PIXEL_BUDGET), as `over_budget`."""
    total = held + max(width, 0) * max(height, 0) * max(frames, 0)
    if total > PIXEL_BUDGET:
        many = f"{frames} images of " if frames != 1 else ""
        raise OrvToolError(
            f"{where}: {many}{width}x{height} pixels take more than the {PIXEL_BUDGET_BYTES >> 20} MiB "
            "of images orvtool holds at once",
            category=OVER_BUDGET,
        )
    return total


# Frame records read from one file: each costs orvtool a few hundred bytes as
# it is reported on, so that this many take well under a gigabyte.
FRAME_RECORDS = 1 << 21
# Bytes after an animation's last frame record that an export keeps in its
# sidecar (base64), so that a build gives the file back byte for byte; more
# are counted, never read, and said (`trailing_not_kept`).
TRAILING_BYTES = 16 * MiB

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


# --- the viewer: the second table above -------------------------------------------

VIEW_CACHE_BYTES = 256 * MiB
VIEW_ANSWER_BYTES = 256 * MiB
VIEW_ANSWER_CHUNK = 64 << 10  # answers are written in chunks of this; one longer counts
VIEW_SEND_BUFFER = 256 << 10
VIEW_BUILDS = 2
VIEW_BUILD_WAIT = 30.0  # seconds
VIEW_REQUEST_SECONDS = 10.0
VIEW_ANSWER_SECONDS = 30.0
VIEW_CONNECTIONS = 64
VIEW_STREAMS = 16
VIEW_FRAMES = 1 << 16
VIEW_FRAME_PIXELS = 1 << 24
VIEW_ANIMATION_PIXELS = 1 << 26
