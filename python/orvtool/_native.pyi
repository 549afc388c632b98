"""The load report of animation files, for orvtool"""

import os
from typing import Any

_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]

CATEGORIES: tuple[str, ...]

def load_report(
    path: _Path, io_pal: _Path | None = None, *, records: bool = True, images: bool = False
) -> dict[str, Any]:
    """Loads an animation file as pyorv.OrvF.load does (io_pal names the palette file, else it is searched
    for) and returns what the load found, as a dict; with images=True also the rendered frames."""

def place_file(path: _Path, data: bytes | bytearray | memoryview) -> dict[str, str | None]:
    """Saves data as the whole content of the file at path, by the rule pyorv saves by; returns the result
    ("placed", "open_failed", "write_failed") and the method ("replace", "in_place" or None)."""

class FrameStream:
    def __len__(self) -> int: ...
    def render(self, index: int) -> dict[str, Any] | None:
        """The image of one frame as a dict (index, width, height, offset_x, offset_y, pixels), or None when
        the palette holds no colour."""
    def report(self, *, records: bool = False) -> dict[str, Any]:
        """The load report, with the findings of the frames rendered so far."""

def open_frames(path: _Path, io_pal: _Path | None = None) -> FrameStream:
    """Reads an animation file and its palette without rendering; the stream renders one frame at a time."""
