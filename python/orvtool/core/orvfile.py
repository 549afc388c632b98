"""The record model and its encoders under one name, for scripts and tests
that make animation and palette files byte for byte.

An animation is encoded by the core, through `native` (the gateway to
`orvtool._native`): the records are handed over with every count resolved
here, so that what is written is exactly what the records say, odd and
broken files included (see `model`: every count and the raw height word can
be set apart from what they count).
"""

import struct
from typing import TYPE_CHECKING, Dict, Iterator, List, Optional, Sequence, Tuple

from orvtool.model.records import Animation, Color, Frame, Row, Run
from orvtool.model.runs import MAGIC, frame_from_indices, runs_from_indices, runs_from_mask

if TYPE_CHECKING:
    from orvtool.core.native import FrameFields, HeadFields

__all__ = [
    "MAGIC",
    "Animation",
    "Color",
    "Frame",
    "Row",
    "Run",
    "encode_animation",
    "encode_frame",
    "encode_palette",
    "frame_from_indices",
    "runs_from_indices",
    "runs_from_mask",
    "frame_record",
    "head_record",
]


def height_word(frame: Frame) -> int:
    """The height word a frame stores: its raw word when set, else its height
    with bit 15 for a shadow frame (whose height keeps its low 8 bits)."""
    if frame.height_word is not None:
        return frame.height_word
    height = frame.rows_drawn
    return 0x8000 | (height % 256) if frame.is_shadow else height


def frame_record(frame: Frame) -> "FrameFields":
    """A frame as the core's encoder takes it; a row repeated in the frame is
    one record."""
    from orvtool.core.native import FrameFields

    made: Dict[int, Tuple[int, List[Tuple[int, int, bytes]]]] = {}
    rows = []
    for row in frame.rows:
        record = made.get(id(row))
        if record is None:
            record = made[id(row)] = (row.count, [(r.offset, r.color_count, bytes(r.indices)) for r in row.runs])
        rows.append(record)
    return FrameFields(
        frame_size=frame.frame_size,
        height_word=height_word(frame),
        width=frame.width,
        x_offset=frame.x_offset,
        y_offset=frame.y_offset,
        unk1=frame.unk1,
        unk2=frame.unk2,
        rows=rows,
    )


def head_record(anim: Animation) -> "HeadFields":
    """The fields before and after the frames, as the core's encoder takes them."""
    from orvtool.core.native import HeadFields

    path_field = anim.raw_path_field
    if path_field is None:
        path_field = bytes(anim.palette_path) + b"\0"
    count = anim.frame_count
    if count is None:
        count = len(anim.frames) - (1 if anim.has_background else 0)
    return HeadFields(
        has_header=anim.has_background,
        reserved=bytes(anim.reserved),
        flag=anim.background_flag,
        speed=anim.speed,
        path_length=len(path_field) if anim.path_length is None else anim.path_length,
        path_field=bytes(path_field),
        frame_count=count & 0xFFFFFFFF,
        trailing=bytes(anim.trailing),
    )


def encode_animation(anim: Animation, check: bool = False) -> bytes:
    """The bytes of the file that `anim` describes; with `check`, only bytes
    that the core's reader reads back to the same records (else ValueError
    names the field)."""
    from orvtool.core.native import encode_animation as encode

    def records() -> Iterator["FrameFields"]:
        """One frame's record at a time; a frame repeated is made once."""
        last: Optional[Tuple[Frame, "FrameFields"]] = None
        for frame in anim.frames:
            if last is None or last[0] is not frame:
                last = (frame, frame_record(frame))
            yield last[1]

    return encode(head_record(anim), records(), check)


def encode_frame(frame: Frame) -> bytes:
    """The bytes of one frame record."""
    from orvtool.core.native import encode_animation as encode

    head = head_record(Animation(raw_path_field=b"", frame_count=0))
    return encode(head, [frame_record(frame)])[len(encode(head, [])) :]


def encode_palette(colors: Sequence[Color], count: Optional[int] = None, model: int = 0) -> bytes:
    """The game's binary palette: entry count u16, model u16, then r, g, b, a
    per entry; `count` overrides the stored entry count."""
    n = len(colors) if count is None else count
    out = bytearray(struct.pack("<HH", n & 0xFFFF, model & 0xFFFF))
    for r, g, b, a in colors:
        out += bytes((r, g, b, a))
    return bytes(out)
