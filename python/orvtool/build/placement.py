"""Where each frame goes: its offsets, the position of its top-left pixel
relative to the animation's origin.

In order, the first that applies:

1. `--offset X Y`, for plain frames;
2. the editor's word: a rectangle within a source canvas whose origin the
   source gives (a sheet's pivot, anchor or slice pivot), or a PNG's oFFs
   chunk moved in an editor;
3. for a frame the record knows whose size is unchanged, the record's offsets;
4. for a frame the record knows whose size changed and whose source gives no
   placement at all, the record's rectangle kept at the `--resize-anchor`
   point (bottom-center by default: the feet of a figure stay);
5. for a frame without an origin: `--origin X Y` (pixels from the top-left
   of its source canvas, or sheet cell), else `--anchor` on that canvas,
   else the file's own position (a PNG's oFFs chunk), else bottom-center.
"""

from __future__ import annotations

from typing import Callable, Dict, Tuple

from orvtool.build.options import BuildOptions
from orvtool.build.sources import SourceFrame
from orvtool.model.errors import OrvToolError
from orvtool.model.records import FrameEntry
from orvtool.report import status

# Offsets of a w x h frame for each anchor: the position of its top-left pixel
# relative to the animation's origin.
ANCHORS: Dict[str, Callable[[int, int], Tuple[int, int]]] = {
    "bottom-center": lambda w, h: (-(w // 2), -h),
    "bottom-left": lambda w, h: (0, -h),
    "bottom-right": lambda w, h: (-w, -h),
    "center": lambda w, h: (-(w // 2), -(h // 2)),
    "top-center": lambda w, h: (-(w // 2), 0),
    "top-left": lambda w, h: (0, 0),
}
DEFAULT_ANCHOR = "bottom-center"

# The point of a w x h frame that stays in place when the frame is resized
# (spelt as ANCHORS are).
RESIZE_ANCHORS: Dict[str, Callable[[int, int], Tuple[int, int]]] = {
    "top-left": lambda w, h: (0, 0),
    "center": lambda w, h: (w // 2, h // 2),
    "bottom-center": lambda w, h: (w // 2, h),
}
DEFAULT_RESIZE_ANCHOR = "bottom-center"


def resize_anchor(options: BuildOptions) -> str:
    """The resize anchor asked for, spelt as the table spells it ("centre" is
    taken as well)."""
    return (options.resize_anchor or DEFAULT_RESIZE_ANCHOR).replace("centre", "center")


def check_anchors(options: BuildOptions) -> None:
    if options.anchor is not None and options.anchor not in ANCHORS:
        raise OrvToolError(
            f"unknown anchor '{options.anchor}' (one of {', '.join(ANCHORS)})", category="option_invalid"
        )
    if resize_anchor(options) not in RESIZE_ANCHORS:
        raise OrvToolError(
            f"unknown resize anchor '{options.resize_anchor}' (one of {', '.join(RESIZE_ANCHORS)})",
            category="option_invalid",
        )


def _without_origin(frame: SourceFrame, options: BuildOptions, size: Tuple[int, int]) -> Tuple[int, int]:
    """Rule 5: a frame whose source gives no origin."""
    cx, cy = frame.corner or (0, 0)
    cw, ch = frame.canvas or size
    if options.origin is not None:
        return cx - options.origin[0], cy - options.origin[1]
    if options.anchor is None and frame.own_offsets is not None:
        return frame.own_offsets
    ax, ay = ANCHORS[options.anchor or DEFAULT_ANCHOR](cw, ch)
    return cx + ax, cy + ay


def resized(entry: FrameEntry, size: Tuple[int, int], anchor: str) -> Tuple[int, int]:
    """Rule 4: the record's rectangle resized about its `anchor` point."""
    point = RESIZE_ANCHORS[anchor]
    w, h, x, y = entry.width, entry.height, entry.x_offset, entry.y_offset
    (ox, oy), (nx, ny) = point(w, h), point(*size)
    return x + ox - nx, y + oy - ny


def offsets(frame: SourceFrame, options: BuildOptions, size: Tuple[int, int]) -> Tuple[Tuple[int, int], str]:
    """The offsets of a frame of `size` (width, height), and the rule that gave
    them: "offset", "source", "record", "resized" or "origin"."""
    if options.offset is not None and frame.entry is None:
        return options.offset, "offset"
    if frame.placed is not None:
        return frame.placed, "source"
    if frame.known is not None:
        if frame.keeps_rectangle:
            return frame.known.offsets, "record"
        return resized(frame.known, size, resize_anchor(options)), "resized"
    return _without_origin(frame, options, size), "origin"


def origin_note(count: int, options: BuildOptions) -> str:
    """What placed the frames whose source gives no origin."""
    if options.origin is not None:
        return f"{status.count(count, 'frame')} placed by --origin {options.origin[0]} {options.origin[1]}"
    its = "its" if count == 1 else "their"
    return (
        f"{status.count(count, 'frame')} placed by the {options.anchor or DEFAULT_ANCHOR} anchor on {its} source canvas"
    )
