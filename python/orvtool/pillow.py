"""Animation files for Pillow: after `register()`, `PIL.Image.open("walk.orv")`
opens an animation as an animated RGBA image, as Pillow's own animated
formats (GIF, APNG) open.

Every frame is placed on the animation's canvas, the union of the frame
rectangles, so that `ImageSequence`, `seek` and `save(..., save_all=True)`
work as with any animated image. Opening reads the file's head and frame
records only: the canvas size and `n_frames` come from the records, so
Pillow's check against decompression bombs runs before any pixel is drawn,
and each frame is drawn when it is first used after a `seek`. After
`thumbnail` (or any change of the current image), `seek` gives the next frame
whole, at the canvas size, as GIF does. `info` holds, for the current frame:

- ``duration``: the time of one frame in milliseconds, as orvtool's own
  previews show it (100 ms, 10 frames per second); ``loop``: 0 (for ever), so
  that a GIF or APNG saved with ``save_all=True`` plays as the previews do;
- ``origin``: the animation's origin on the canvas, ``(x, y)``;
- ``frame_box``: the frame's own rectangle on the canvas, ``(left, top,
  right, bottom)``;
- ``offsets``: the frame's offsets as stored, ``(x_offset, y_offset)``, the
  position of its top-left pixel relative to the origin;
- ``speed``: the animation's speed field;
- ``background``: True in the background form, whose frame 0 is the
  background (each frame is still given on its own);
- ``palette_file``: the palette file the colours come from.

The plain form of the file has no magic number: `Image.open` claims a file
by the background form's leading ``FVRO``, or by an ``.orv`` name when its
first bytes read as a plain head. Anything else is declined with
SyntaxError, as Pillow's own plugins decline, so that other formats open as
before. A nameless plain-form stream (a `BytesIO`) carries neither, and
Pillow gives a plugin nothing else to go by: open it with `open`, which
takes any animation and a palette for that one image. A claimed file that
cannot be read or drawn raises OSError, as Pillow's own plugins do for a
damaged file: `orvtool.LoadFailed` (an OSError) with the load's report where
the load fails by the table of severities, `orvtool.TooManyFrames` (one of
them) for a file of more frame records than orvtool reads, which is refused
before any is read; an image too large raises Pillow's own
DecompressionBombError. Streams are read from memory. Read-only: files are
written by `orvtool build`.
"""

from __future__ import annotations

import contextlib
import contextvars
import os
from typing import IO, TYPE_CHECKING, NamedTuple, Optional, Union

from PIL import Image, ImageFile

if TYPE_CHECKING:
    from PIL._imaging import PixelAccess

    from orvtool.core import native

FORMAT = "ORV"
MAGIC = b"FVRO"
EXTENSION = ".orv"
# The frame time of orvtool's previews (`orvtool export --fps`, 10 by default).
FRAME_MS = 100
# The longest palette path that a plain head is taken to hold.
_PLAIN_PATH_LENGTH = 4096
# The most bytes read from a stream that has no file behind it.
_STREAM_BYTES = 256 << 20

PathArg = Union[str, "os.PathLike[str]"]

_palette: Optional[str] = None


class _Choice(NamedTuple):
    palette: Optional[str]  # the palette of the image being opened; None: register's or the search
    any_form: bool  # claimed whatever its name (opened through `open`)


_choice: contextvars.ContextVar[Optional[_Choice]] = contextvars.ContextVar("orvtool_pillow_choice", default=None)


def register(palette: Optional[PathArg] = None) -> None:
    """Lets Pillow open animation files. `palette` names the palette (in any
    format orvtool reads) of every file opened from now on, until the next
    call; without it each file's palette is found as the module finds it,
    from the file's name. For one image's own palette, use `open`."""
    global _palette
    _palette = os.fspath(palette) if palette is not None else None
    Image.register_open(FORMAT, OrvImageFile, _accept)
    Image.register_extension(FORMAT, EXTENSION)
    Image.register_mime(FORMAT, "image/x-orv")


def open(fp: Union[PathArg, IO[bytes]], palette: Optional[PathArg] = None) -> ImageFile.ImageFile:  # noqa: A001
    """Opens an animation file, or a stream of one (a nameless plain-form
    stream too), as `PIL.Image.open` would after `register`. `palette` names
    the palette for this image alone (in any format orvtool reads); without
    it, `register`'s palette, else the one the file names, searched for from
    the file's name. The same check against decompression bombs applies."""
    chosen = os.fspath(palette) if palette is not None else None
    token = _choice.set(_Choice(chosen, True))
    try:
        im = OrvImageFile(fp)
    finally:
        _choice.reset(token)
    try:
        Image._decompression_bomb_check(im.size)
    except BaseException:
        im.close()
        raise
    return im


def _accept(prefix: bytes) -> bool:
    """The background form's magic, or first bytes that read as a plain head:
    the speed, then a palette path's length and the path, up to its zero
    byte, without control characters."""
    if prefix[:4] == MAGIC:
        return True
    if len(prefix) < 8:
        return False
    length = int.from_bytes(prefix[4:8], "little")
    if length > _PLAIN_PATH_LENGTH:
        return False
    path = prefix[8 : 8 + length].split(b"\0", 1)[0]
    return all(b >= 0x20 for b in path)


class OrvImageFile(ImageFile.ImageFile):
    format = FORMAT
    format_description = "Quarro animation"
    _close_exclusive_fp_after_loading = False

    def _open(self) -> None:
        from orvtool.core import native
        from orvtool.load.loading import _readable_palette

        assert self.fp is not None
        choice = _choice.get() or _Choice(None, False)
        name = _file_name(self.fp, getattr(self, "filename", None))
        head = self.fp.read(4)
        if head != MAGIC and not choice.any_form and not (name or "").lower().endswith(EXTENSION):
            raise SyntaxError("not an animation file")
        palette = choice.palette if choice.palette is not None else _palette
        if name is None and palette is None:
            raise OSError("an animation read from a stream without a name needs a palette: open(fp, palette=...)")
        on_disk = name is not None and os.path.isfile(name)
        data = None if on_disk else _stream_bytes(self.fp)
        # The loader searches for the palette from the folder of the name it gets.
        where = os.path.abspath(name) if name is not None else os.path.abspath("stream.orv")
        chosen = _readable_palette(palette) if palette else contextlib.nullcontext((None, None, None))
        with chosen as (io_pal, _converted, unusable):
            if unusable is not None:
                raise OSError(f"palette {palette} could not be used ({unusable})")
            self._stream = native.open_frames(where, io_pal, data=data)
        report = self._stream.report()
        _check(report)
        self._count = len(self._stream)
        self._findings = report.diagnostics_total
        self._speed = report.speed or 0
        extent = self._stream.extent()
        if not self._count or extent is None:
            raise OSError("the animation has no pixels to show")
        left, top, right, bottom = extent
        self._origin = (-left, -top)
        self._canvas = (right - left, bottom - top)
        self._mode = "RGBA"
        self._size = self._canvas
        self.info["background"] = report.has_background
        self.info["palette_file"] = report.palette.path
        self.n_frames = self._count
        self.is_animated = self.n_frames > 1
        self.tile = []
        self._frame = -1
        self._drawn: Optional[int] = None
        self.seek(0)

    def seek(self, frame: int) -> None:
        if not self._seek_check(frame):
            return
        self._frame = frame
        x, y, width, height = self._stream.frame_box(frame)
        ox, oy = self._origin
        self.info["origin"] = self._origin
        self.info["frame_box"] = (x + ox, y + oy, x + ox + width, y + oy + height)
        self.info["offsets"] = (x, y)
        self.info["speed"] = self._speed
        self.info["duration"] = FRAME_MS
        self.info["loop"] = 0
        # The next use draws the frame whole, at the canvas size, whatever
        # thumbnail() or draft() made of the last one.
        self._mode = "RGBA"
        self._size = self._canvas
        self._drawn = None
        self.im = None  # type: ignore[assignment]

    def tell(self) -> int:
        return self._frame

    def load(self) -> Optional[PixelAccess]:
        if self._drawn != self._frame:
            self.im = self._draw(self._frame).im
            self._drawn = self._frame
        return Image.Image.load(self)

    def _draw(self, frame: int) -> Image.Image:
        image = self._stream.render(frame)
        report = self._stream.report()
        if report.diagnostics_total != self._findings:
            self._findings = report.diagnostics_total
            _check(report)
        if image is None:
            raise OSError("the palette holds no colours")
        x, y, width, height = self._stream.frame_box(frame)
        canvas = Image.new("RGBA", self._canvas, (0, 0, 0, 0))
        if image.width and image.height:
            ox, oy = self._origin
            canvas.paste(Image.frombytes("RGBA", (image.width, image.height), image.pixels), (x + ox, y + oy))
        elif width and height:
            raise OSError(f"frame {frame} could not be drawn")
        return canvas


def _check(report: "native.LoadReport") -> None:
    """LoadFailed (an OSError) with the load's report, when it fails by the
    table of severities."""
    from orvtool.load.public import LoadFailed, report_of

    public = report_of(report, report.path)
    if public.failed:
        raise LoadFailed(public)


def _stream_bytes(fp: IO[bytes]) -> bytes:
    fp.seek(0)
    data = fp.read(_STREAM_BYTES + 1)
    if len(data) > _STREAM_BYTES:
        raise OSError(f"the stream holds more than {_STREAM_BYTES >> 20} MiB, more than an animation file")
    return data


def _file_name(fp: IO[bytes], filename: object) -> Optional[str]:
    for name in (filename, getattr(fp, "name", None)):
        if isinstance(name, (str, bytes)) and name:
            return os.fsdecode(name)
    return None
