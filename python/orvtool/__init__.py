"""Tools for Quarro animation files, built on pyorv.

numpy and Pillow are imported on first use only, so that the writer
(`orvtool.core.orvfile`) stays light to import.
"""

import os
from typing import TYPE_CHECKING, List, NamedTuple, Optional, Union

from orvtool.load.public import LoadReport, PaletteInfo, inspect
from orvtool.model.errors import FileFailed, LoadFailed, OrvToolError, TooManyFrames, UsageError
from orvtool.model.findings import Finding

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray
    from PIL import Image

    from orvtool.formats.images import Rendered

__all__ = [
    "FrameArray",
    "Finding",
    "FileFailed",
    "LoadFailed",
    "OrvToolError",
    "TooManyFrames",
    "UsageError",
    "LoadReport",
    "PaletteInfo",
    "inspect",
    "load_frames",
    "to_numpy",
    "to_pil",
    "__version__",
]


def __getattr__(name: str) -> str:
    # The version is read from the installed metadata when asked for.
    if name == "__version__":
        from orvtool.core.version import installed_version

        return installed_version()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


class FrameArray(NamedTuple):
    """One rendered frame: its pixels as a read-only (height, width, 4) uint8
    array of R, G, B, A, which owns its storage (no copy of the rendered
    image), and the frame's placement offsets."""

    pixels: "NDArray[np.uint8]"
    offset_x: int
    offset_y: int


def load_frames(
    path: Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"],
    io_pal: Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"] = "",
    *,
    strict: bool = False,
) -> Optional[List[FrameArray]]:
    """Loads an animation file as `pyorv.OrvF().load(path, io_pal=io_pal)`
    does (same palette search, same diagnostics) and returns its frames as
    arrays, or None when that load returns None. Each array holds its own
    frame's pixels only: keeping one frame keeps no other alive.

    With `strict=True` nothing is printed; a load that fails (None, or a
    finding of severity error such as a file cut short) raises `LoadFailed`,
    whose `report` says what the load found (see `inspect`)."""
    from orvtool.core import native

    if strict:
        from orvtool.load.public import report_of

        frames, native_report = native.load_frames_reported(path, io_pal or None)
        given = os.fsdecode(io_pal) if io_pal else None
        report = report_of(native_report, os.fsdecode(path), given)
        if frames is None or report.failed:
            raise LoadFailed(report)
        return [FrameArray(*frame) for frame in frames]
    frames = native.load_frames(path, io_pal or None)
    if frames is None:
        return None
    return [FrameArray(*frame) for frame in frames]


def to_numpy(image: "Rendered") -> "NDArray[np.uint8]":
    """The pixels of a rendered frame (`pyorv.OrvFrameBufferObject`) as a new,
    writable (height, width, 4) uint8 array of R, G, B, A."""
    from orvtool.formats.images import to_numpy as convert

    return convert(image)


def to_pil(image: "Rendered") -> "Image.Image":
    """A rendered frame as an RGBA Pillow image (a copy)."""
    from orvtool.formats.images import to_pil as convert

    return convert(image)
