"""The load report of animation files, for orvtool"""

import os
from abc import ABCMeta, abstractmethod
from collections.abc import Iterable
from typing import Any

from numpy.typing import NDArray

_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]
_Data = bytes | bytearray | memoryview

__version__: str
CATEGORIES: tuple[str, ...]

def load_report(
    path: _Path,
    io_pal: _Path | None = None,
    *,
    records: bool = True,
    images: bool = False,
    frame_table: bool = False,
    frame_lines: bool = False,
    max_records: int | None = None,
    trailing: int = 0,
) -> dict[str, Any]:
    """Loads an animation file as pyorv.OrvF.load does (io_pal names the palette file, else it is searched
    for), through one open and only as far as its frame records reach, and returns what the load found, as
    a dict. With max_records, a file whose head and size allow more frame records is refused before any is
    read: its report holds its head and one too_many_frames finding. The bytes after the last record are
    counted (trailing_bytes), and read into trailing only when trailing is at least their number. With images=True also the
    rendered frames, with frame_table=True also the frames as columns (a dict of lists, one item per frame): width, height,
    x_offset, y_offset, is_shadow, frame_size, unk1, unk2 as the records hold them, and the statistics of
    their runs counted by the core: rows, runs, empty_runs, covered_pixels (the colour counts added up),
    longest_run, most_runs_in_a_row, non_maximal_rows (rows past the height or not the maximal encoding of
    their pixels), palette_pixels (pixels a frame other than a shadow frame covers inside its width and
    height) and past_palette (those whose index is not below the palette file's entry count); with
    frame_lines=True also the line of each frame in the table that orvtool info prints. With either, also
    frame_totals: the statistics of all frames (a dict: rows, runs, empty_runs, covered_pixels,
    non_maximal_rows, palette_pixels and past_palette added up, longest_run and most_runs_in_a_row the
    largest of any frame, 0 without frames)."""

_Frames = list[tuple[NDArray[Any], int, int]]

def load_frames(
    path: _Path, io_pal: _Path | None = None, *, report: bool = False
) -> _Frames | None | tuple[_Frames | None, dict[str, Any]]:
    """Loads an animation file exactly as pyorv.OrvF.load does, its error lines included, and returns a list
    of (pixels, offset_x, offset_y) per frame, pixels a read-only (height, width, 4) uint8 array that holds
    its own storage (a kept array keeps no other frame alive); None when OrvF.load would return None. With
    report=True nothing is printed and the result is (that list or None, the load report as load_report
    gives it without records). The load runs without the interpreter lock; its error lines are written
    whole, one at a time."""

def place_file(path: _Path, data: _Data, *, follow_links: bool = True) -> dict[str, Any]:
    """Saves data (a bytes-like object) as the whole content of the file at path, by the rule pyorv saves by: a new
    file renamed over the target where that is indistinguishable from a plain write, else the target truncated and
    written in place; what a plain open refuses is refused. Returns a dict: result ('placed', 'open_failed',
    'write_failed'), method ('replace', 'in_place', or None when the open failed) and error (the system's error number
    for a failure when it gave one, else None). A failed replacement leaves the old file as it was. With
    follow_links=False no symbolic link on the path is followed, the file's own name included: a link there gives the
    result 'link_refused' and nothing is written."""

def place_files(items: Iterable[tuple[_Path, _Data] | tuple[_Path, _Data, bool]]) -> list[dict[str, Any]]:
    """Saves several files that belong together, each as place_file does; items are (path, data) tuples, or (path,
    data, follow_links) as place_file takes them. Every target is opened before any is written, so a target that cannot be opened leaves all of them as they were; then they are
    written in order, stopping at the first that fails. Returns one dict per item, as place_file does, whose result
    may also be 'not_written' (nothing was written to that file)."""

class FrameRecords(metaclass=ABCMeta):
    @abstractmethod
    def _no_python_constructor(self) -> None:
        """Made by the module only: calling the class raises TypeError."""
    def __len__(self) -> int: ...
    def __getitem__(self, index: int) -> dict[str, Any]:
        """The record of one frame as a dict, made when asked for (negative indices count from the end)."""

class FrameImages(metaclass=ABCMeta):
    @abstractmethod
    def _no_python_constructor(self) -> None:
        """Made by the module only: calling the class raises TypeError."""
    def __len__(self) -> int: ...
    def __getitem__(self, index: int) -> dict[str, Any]:
        """One rendered image as a dict (index, width, height, offset_x, offset_y, pixels)."""

class FrameStream(metaclass=ABCMeta):
    @abstractmethod
    def _no_python_constructor(self) -> None:
        """Made by the module only: calling the class raises TypeError."""
    def __len__(self) -> int: ...
    def render(self, index: int) -> dict[str, Any] | None:
        """The image of one frame as a dict (index, width, height, offset_x, offset_y, pixels), or None when
        the palette holds no colour."""
    def report(self, *, records: bool = False) -> dict[str, Any]:
        """The load report, with the findings of the frames rendered so far."""
    def frame_box(self, index: int) -> tuple[int, int, int, int]:
        """(x_offset, y_offset, width, height) of one frame's record."""
    def extent(self) -> tuple[int, int, int, int] | None:
        """(left, top, right, bottom): the union of the rectangles of the frames that hold pixels, relative to
        the origin; None when none does."""

def find_palette(animation_path: _Path, location: _Path) -> tuple[str | None, list[str]]:
    """The palette search of a load: the file that `location` names from the folder of `animation_path` or the first
    folder above it where it exists (None if none), and the candidates tried."""

def open_frames(
    path: _Path, io_pal: _Path | None = None, *, data: _Data | None = None, max_records: int | None = None
) -> FrameStream:
    """Reads an animation file and its palette without rendering, through one open and only as far as its
    frame records reach; the stream renders one frame at a time. With data (a bytes-like object) the file's
    bytes are taken from it (only those the records take are kept) and path only serves the palette search.
    With max_records, a file whose head and size allow more frame records is refused before any is read,
    as load_report refuses it (a stream of no frames)."""

def encode_animation(
    head: dict[str, Any], frames: Iterable[dict[str, Any]], *, check: bool = False
) -> tuple[bytes, tuple[str, int | None, str] | None]:
    """The bytes of an animation file, every field written as given: head is a dict (has_header, reserved (4 bytes),
    flag, speed, path_length, path_field (bytes), frame_count, trailing (bytes)); each frame a dict (frame_size,
    height_word, width, x_offset, y_offset, unk1, unk2, rows), rows a list of (block_count, [(offset, color_count,
    indices bytes), ...]). The indices of runs in a frame whose height word has bit 15 set are not written. Nothing is
    counted or checked against what it counts, unless check=True: then the bytes are read back by the file reader (the
    palette search aside). Returns (bytes, difference): difference is None when the records read back as given, else
    (field, frame or None, detail) naming the record's field (speed, has_header, path_length, frame_count, rows,
    block_count)."""

def export_frame(frames: FrameRecords, index: int, entries: int) -> dict[str, Any]:
    """What an export writes of frame `index` of a load report's frames, as a dict: the frame's fields (width, height,
    is_shadow, x_offset, y_offset, frame_size, unk1, unk2, height_word); its index layer (layer: width * height
    pairs of index and coverage bytes), the pixels it covers (covered) and those of them whose index is `entries` or
    more (beyond, 0 in a shadow frame); counts over its runs (rows, runs, empty_runs, longest_run,
    most_runs_in_a_row, covered_pixels); and the rows that are not the maximal encoding of their pixels or lie past
    the height (explicit_rows: row number to (block_count, [(offset, color_count, indices), ...]))."""
