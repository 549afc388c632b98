"""Writing animation and palette files byte for byte.

This is the package's own encoder of the two file formats (the module reads
and saves files but cannot build records from scratch). It writes exactly what
it is given, so it can also produce the odd and broken files that tests need:
every count and the raw height word can be overridden.

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

import struct
from dataclasses import dataclass, field
from typing import Iterable, List, Optional, Sequence, Tuple, Union

MAGIC = b"FVRO"

Color = Tuple[int, int, int, int]


@dataclass
class Run:
    """One run: `offset` pixels skipped, then `indices` (normal frames) or
    `length` pixels of shadow (shadow frames, where indices are not stored)."""

    offset: int = 0
    indices: bytes = b""
    length: Optional[int] = None  # colour count written; defaults to len(indices)

    @property
    def color_count(self) -> int:
        return len(self.indices) if self.length is None else self.length


@dataclass
class Row:
    runs: List[Run] = field(default_factory=list)
    block_count: Optional[int] = None  # written; defaults to len(runs)


@dataclass
class Frame:
    width: int = 0
    rows: List[Row] = field(default_factory=list)
    x_offset: int = 0
    y_offset: int = 0
    is_shadow: bool = False
    frame_size: int = 0
    unk1: int = 0
    unk2: int = 1
    height: Optional[int] = None  # defaults to len(rows)
    height_word: Optional[int] = None  # raw word, overrides height and is_shadow


@dataclass
class Animation:
    frames: List[Frame] = field(default_factory=list)
    speed: int = 0
    palette_path: bytes = b""  # stored with one zero byte after it
    has_background: bool = False
    background_flag: int = 1  # flag byte written in the background form
    reserved: bytes = b"\0\0\0\0"
    raw_path_field: Optional[bytes] = None  # the whole path field, zero byte included
    path_length: Optional[int] = None  # N written; defaults to the field's length
    frame_count: Optional[int] = None  # count field written; defaults from frames


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
    return bytes(out)


def encode_palette(colors: Sequence[Color], count: Optional[int] = None, model: int = 0) -> bytes:
    n = len(colors) if count is None else count
    out = bytearray(struct.pack("<HH", n & 0xFFFF, model & 0xFFFF))
    for r, g, b, a in colors:
        out += bytes((r, g, b, a))
    return bytes(out)


def runs_from_indices(indices: Sequence[Optional[int]], shadow: bool = False) -> List[Run]:
    """Encodes one row of pixels (an index per pixel, None for uncovered) as
    maximal runs: gaps and runs of at most 255, a gap longer than 255 carried
    by empty runs."""
    runs: List[Run] = []
    x = 0
    width = len(indices)
    while x < width:
        gap = 0
        while x < width and indices[x] is None:
            gap += 1
            x += 1
        if x >= width:
            break
        while gap > 255:
            runs.append(Run(offset=255, indices=b"", length=0))
            gap -= 255
        start = x
        while x < width and indices[x] is not None and x - start < 255:
            x += 1
        if shadow:
            runs.append(Run(offset=gap, length=x - start))
        else:
            runs.append(Run(offset=gap, indices=bytes(indices[start:x])))  # type: ignore[arg-type]
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


def write_file(path, data: Union[bytes, bytearray]) -> None:
    with open(path, "wb") as fh:
        fh.write(data)
