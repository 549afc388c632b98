"""The one record model of an animation: animation, frame, row, run.

Loading fills it from a file, the export's sidecar and index layers describe
it, the builder makes it from images, and the core encodes it (`orvfile`)
byte for byte. Every count the file stores can be set apart from the records
it counts, so that odd and broken files can be described as well.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Dict, List, Optional, Sequence, Tuple

# One palette colour: red, green, blue, alpha, each 0..255.
Color = Tuple[int, int, int, int]

FRAME_FIXED_BYTES = 14  # frame_size, height word, width, offsets, unk1, unk2


@dataclass(slots=True)
class Run:
    """One run: `offset` pixels skipped, then `indices` (normal frames) or
    `length` pixels of shadow (shadow frames, where indices are not stored).
    `length` is the colour count as stored; it defaults to len(indices)."""

    offset: int = 0
    indices: bytes = b""
    length: Optional[int] = None

    def __post_init__(self) -> None:
        if self.length is None:
            self.length = len(self.indices)

    @property
    def color_count(self) -> int:
        return len(self.indices) if self.length is None else self.length


@dataclass(slots=True)
class Row:
    runs: List[Run] = field(default_factory=list)
    block_count: Optional[int] = None  # as stored; defaults to len(runs)

    @property
    def count(self) -> int:
        return len(self.runs) if self.block_count is None else self.block_count


@dataclass(slots=True)
class Frame:
    width: int = 0
    rows: List[Row] = field(default_factory=list)
    x_offset: int = 0
    y_offset: int = 0
    is_shadow: int = 0  # 0 or 1 (a bool is accepted)
    frame_size: int = 0
    unk1: int = 0
    unk2: int = 1
    height: Optional[int] = None  # defaults to len(rows)
    height_word: Optional[int] = None  # the raw word; overrides height and is_shadow when set

    @property
    def rows_drawn(self) -> int:
        """The number of rows the frame's height gives."""
        return len(self.rows) if self.height is None else self.height


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
    trailing: bytes = b""  # written after the last frame record; readers ignore it

    @property
    def stored_location(self) -> bytes:
        """The palette location the file stores: the path bytes before the first zero."""
        if self.raw_path_field is None:
            return bytes(self.palette_path)
        return self.raw_path_field.split(b"\0", 1)[0]


# --- the canvas of all frames ------------------------------------------------


@dataclass
class Canvas:
    """The union of all frame rectangles: a frame's offsets give the position
    of its top-left pixel relative to the animation's origin."""

    left: int  # origin-relative x of the canvas's left edge
    top: int
    width: int
    height: int


def union_canvas(rects: Sequence[Tuple[int, int, int, int]]) -> Canvas:
    """The union of (x_offset, y_offset, width, height) rectangles; 1 x 1 at
    the origin when no rectangle has pixels."""
    solid = [r for r in rects if r[2] > 0 and r[3] > 0]
    if not solid:
        return Canvas(0, 0, 1, 1)
    left = min(x for x, _, _, _ in solid)
    top = min(y for _, y, _, _ in solid)
    right = max(x + w for x, _, w, _ in solid)
    bottom = max(y + h for _, y, _, h in solid)
    return Canvas(left, top, right - left, bottom - top)


# --- the record of an animation ---------------------------------------------
#
# What orvtool's own documents (an export's animation.json, a sheet's
# meta.orvtool) say of an animation beyond its pixels, as its parser returns
# it: every number converted and range-checked once, nothing left as JSON.


@dataclass(frozen=True)
class FrameEntry:
    """What the record says of one frame: the fields of its frame record, the
    files of an export that hold its pixels, and the rows that are not the
    maximal encoding of those pixels (by row number)."""

    width: int
    height: int  # the rows drawn
    x_offset: int
    y_offset: int
    is_shadow: int
    frame_size: int
    unk1: int
    unk2: int
    height_word: Optional[int] = None  # the raw word, when the record keeps it
    image: Optional[str] = None  # None: a frame without pixels, whose rows the record holds
    indices: Optional[str] = None
    explicit_rows: Tuple[Tuple[int, Row], ...] = ()

    @property
    def size(self) -> Tuple[int, int]:
        return self.width, self.height

    @property
    def offsets(self) -> Tuple[int, int]:
        return self.x_offset, self.y_offset

    def explicit(self) -> Dict[int, Row]:
        return dict(self.explicit_rows)


@dataclass(frozen=True)
class Header:
    """The background form's header."""

    reserved: bytes  # 4 bytes
    flag: int


@dataclass(frozen=True)
class PaletteEntry:
    """The palette as the record describes it: the path field as stored, and
    the palette file's colours when the export could read them."""

    location_size: int
    path_field: bytes
    resolved: Optional[str] = None  # the file the export's load found
    colors: Optional[Tuple[Color, ...]] = None
    model: int = 0


@dataclass(frozen=True)
class AnimationRecord:
    header: Optional[Header]  # None: the plain form
    speed: int
    frame_count_field: int
    palette: PaletteEntry
    frames: Tuple[FrameEntry, ...]
    trailing: bytes = b""

    @property
    def has_background(self) -> bool:
        """A background flag: the first frame is the background frame, which
        the count field does not count."""
        return self.header is not None and self.header.flag != 0

    @staticmethod
    def frames_taken(count_field: int, header: Optional[Header]) -> int:
        """The frame records a reader takes for this count field: one more
        with a background flag, none when the sum reads as negative."""
        wanted = (count_field + (1 if header is not None and header.flag else 0)) & 0xFFFFFFFF
        return wanted if wanted < 0x80000000 else 0

    def count_field_for(self, frames: int) -> int:
        """The count field that makes a reader take `frames` records."""
        return (frames - (1 if self.has_background else 0)) & 0xFFFFFFFF
