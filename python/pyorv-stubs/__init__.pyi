"""Quarro animation graphics parser for Python"""

from abc import ABCMeta, abstractmethod
from collections.abc import Iterable
from typing import SupportsIndex, SupportsInt, overload

__version__: str

_Int = SupportsInt | SupportsIndex
_Text = str | bytes | bytearray

class OrvInfo(metaclass=ABCMeta):
    """Header values of an animation. Read through `OrvData.info`, a view:
    writes change the animation."""

    @abstractmethod
    def _no_python_constructor(self) -> None:
        """Made by pyorv only: calling the class raises TypeError."""

    @property
    def speed(self) -> int:
        """The speed value as the file stores it (unsigned 32-bit), read and
        written unchanged."""
    @speed.setter
    def speed(self, value: _Int, /) -> None: ...
    @property
    def frame_count(self) -> int:
        """Frames held, the background frame included (unsigned 32-bit). The
        saver writes at most this many of the frames held."""
    @frame_count.setter
    def frame_count(self, value: _Int, /) -> None: ...

class OrvData(metaclass=ABCMeta):
    """One animation: header values, frames, palette. Shared with the `OrvF`
    that loaded it; `f.data() is f.data()`."""

    @abstractmethod
    def _no_python_constructor(self) -> None:
        """Made by pyorv only: calling the class raises TypeError."""

    @property
    def info(self) -> OrvInfo:
        """The header values, a view that stays valid across later loads."""
    @property
    def frames(self) -> list[OrvFrame]:
        """The frames in file order. A new list on every read; its items refer
        to the frames in place, and a frame read before a later load keeps
        what it was read from. Read it again after a load."""
    @property
    def palette(self) -> PalF:
        """The animation's palette, shared; never None."""
    @property
    def has_background(self) -> bool:
        """True when the file holds a background frame beyond its frame count
        field. Accepts True, False, None (false) and numbers (their truth)."""
    @has_background.setter
    def has_background(self, value: bool | None | SupportsInt, /) -> None: ...

class OrvFrame(metaclass=ABCMeta):
    """One frame: size, placement, flags and rows of runs. A view into its
    animation: writes change the frame in place."""

    @abstractmethod
    def _no_python_constructor(self) -> None:
        """Made by pyorv only: calling the class raises TypeError."""

    @property
    def frame_size(self) -> int:
        """A per-frame value the file carries (unsigned 32-bit), read and
        written unchanged; nothing computes or checks it."""
    @frame_size.setter
    def frame_size(self, value: _Int, /) -> None: ...
    @property
    def height(self) -> int:
        """The number of rows (unsigned 16-bit)."""
    @height.setter
    def height(self, value: _Int, /) -> None: ...
    @property
    def is_shadow(self) -> int:
        """1 for a shadow frame (runs without indices, drawn in one colour),
        0 otherwise; any nonzero value counts as a shadow."""
    @is_shadow.setter
    def is_shadow(self, value: _Int, /) -> None: ...
    @property
    def width(self) -> int:
        """The width in pixels (unsigned 16-bit)."""
    @width.setter
    def width(self, value: _Int, /) -> None: ...
    @property
    def y_offset(self) -> int:
        """Vertical placement (signed 16-bit), carried to the rendered image."""
    @y_offset.setter
    def y_offset(self, value: _Int, /) -> None: ...
    @property
    def x_offset(self) -> int:
        """Horizontal placement (signed 16-bit), carried to the rendered image."""
    @x_offset.setter
    def x_offset(self, value: _Int, /) -> None: ...
    @property
    def unk1(self) -> int:
        """A byte the file carries and nothing interprets; saved as 0."""
    @unk1.setter
    def unk1(self, value: _Int, /) -> None: ...
    @property
    def unk2(self) -> int:
        """A byte the file carries and nothing interprets; saved as 1."""
    @unk2.setter
    def unk2(self, value: _Int, /) -> None: ...
    @property
    def pixel_sets(self) -> list[OrvPixelSet]:
        """The rows, top first; a new list of views on every read."""

class OrvPixelSet(metaclass=ABCMeta):
    """One row of a frame: its runs, left to right."""

    @abstractmethod
    def _no_python_constructor(self) -> None:
        """Made by pyorv only: calling the class raises TypeError."""

    @property
    def block_count(self) -> int:
        """The number of runs the file states for the row (unsigned 8-bit)."""
    @block_count.setter
    def block_count(self, value: _Int, /) -> None: ...
    @property
    def blocks(self) -> list[OrvPixelBlock]:
        """The runs, left to right; a new list of views on every read."""

class OrvPixelBlock(metaclass=ABCMeta):
    """One run: pixels skipped, then colour indices (none in shadow frames)."""

    @abstractmethod
    def _no_python_constructor(self) -> None:
        """Made by pyorv only: calling the class raises TypeError."""

    @property
    def offset(self) -> int:
        """Transparent pixels skipped before the run, counted from the end of
        the previous run or the row's left edge (unsigned 8-bit)."""
    @offset.setter
    def offset(self, value: _Int, /) -> None: ...
    @property
    def color_count(self) -> int:
        """The run's length in pixels (unsigned 8-bit)."""
    @color_count.setter
    def color_count(self, value: _Int, /) -> None: ...
    @property
    def colors(self) -> list[int]:
        """Copies of the run's palette indices, left to right; changing the
        list does not change the run."""

class OrvFrameBufferObject(metaclass=ABCMeta):
    """One rendered frame: R, G, B, A bytes, rows top to bottom. An owned copy."""

    @abstractmethod
    def _no_python_constructor(self) -> None:
        """Made by pyorv only: calling the class raises TypeError."""

    @property
    def pixels(self) -> bytes:
        """width * height * 4 bytes, copied anew on every read."""
    @property
    def width(self) -> int:
        """The frame's width in pixels (0 for a frame that was not rendered)."""
    @property
    def height(self) -> int:
        """The frame's height in rows (0 for a frame that was not rendered)."""
    @property
    def offset_x(self) -> int:
        """The frame's `x_offset`."""
    @property
    def offset_y(self) -> int:
        """The frame's `y_offset`."""
    @property
    def channels(self) -> int:
        """Bytes per pixel: always 4."""

class OrvFrameBuffer:
    """Renders every frame of an animation with its palette when constructed."""

    def __init__(self, arg0: OrvData, /) -> None:
        """Renders `arg0` now; the animation is not kept."""
    def get_buffer(self) -> list[OrvFrameBufferObject]:
        """Copies of the rendered images; image i is frame i."""

class PalFColor(metaclass=ABCMeta):
    """One palette colour (a copy)."""

    @abstractmethod
    def _no_python_constructor(self) -> None:
        """Made by pyorv only: calling the class raises TypeError."""

    @property
    def r(self) -> int:
        """Red, 0 to 255."""
    @property
    def g(self) -> int:
        """Green, 0 to 255."""
    @property
    def b(self) -> int:
        """Blue, 0 to 255."""
    @property
    def a(self) -> int:
        """Alpha, 0 (transparent) to 255 (opaque)."""

class PalF:
    """A palette: a table of RGBA colours, 256 after a successful load."""

    def __init__(self) -> None:
        """An empty palette: no colours, empty location, colour model 0."""
    @overload
    def location(self, arg0: _Text, /) -> None:
        """Sets where the animation says the palette lives."""
    @overload
    def location(self) -> str:
        """Where the animation says the palette lives."""
    @overload
    def location_size(self, arg0: _Int, /) -> None:
        """Sets the stored size of the location (unsigned 32-bit)."""
    @overload
    def location_size(self) -> int:
        """The stored size of the location."""
    @overload
    def color_model(self, arg0: _Int, /) -> None:
        """Sets the colour model: 1 reads entries as B, G, R, A; it is written
        into saved files."""
    @overload
    def color_model(self) -> int:
        """The colour model (0 unless set)."""
    @overload
    def colors(self, arg0: Iterable[PalFColor], /) -> None:
        """Replaces the table with copies of the given colours, in order."""
    @overload
    def colors(self) -> list[PalFColor]:
        """Copies of the table, in index order."""
    def get_color(self, arg0: _Int, /) -> PalFColor:
        """A copy of entry `arg0`; IndexError "Color index out of bounds"
        (after an ERROR line on stderr) outside the table."""
    def load(self, arg0: _Text, /) -> int:
        """Reads a palette file. Returns 1 on success, -1 when the file cannot
        be opened, -2 for a bad entry count; a failure changes nothing."""
    def save(self, arg0: _Text, /) -> None:
        """Writes the table and colour model to a palette file; an ERROR line
        on stderr if it cannot be written."""

class OrvF:
    """An animation file: load, inspect, render and save."""

    def __init__(self) -> None:
        """An empty animation."""
    def load(self, file_name: _Text, color_profile: _Int = 0, io_pal: _Text = "") -> OrvData | None:
        """Reads an animation and its palette (`io_pal`, or found from the
        path the file stores) and renders it. Returns the animation, or None
        when nothing could be rendered; problems are ERROR lines on stderr."""
    def save(self, file_name: _Text, project_root: _Text, palette_path: _Text) -> None:
        """Writes the animation to `file_name`, storing `palette_path` relative
        to `project_root`, then the palette to `palette_path`. Each file is
        replaced only once completely written."""
    def data(self) -> OrvData:
        """The animation held, shared."""
    def get_frame_buffer(self) -> list[OrvFrameBufferObject]:
        """Copies of the images that the last load rendered, with the palette
        it had then; image i is frame i (0 x 0 if refused). Empty before the
        first load that reached rendering. `OrvFrameBuffer(f.data())`
        renders the animation as it is now."""
