"""Animation files for Pillow: after `register()`, `PIL.Image.open("walk.orv")`
opens an animation as an animated RGBA image.

Every frame is placed on the animation's canvas, the union of the frame
rectangles, so that `ImageSequence`, `seek` and `save(..., save_all=True)`
work as with any animated image. `info` holds, for the current frame:

- ``origin``: the animation's origin on the canvas, ``(x, y)``;
- ``frame_box``: the frame's own rectangle on the canvas, ``(left, top,
  right, bottom)``;
- ``offsets``: the frame's offsets as stored, ``(x_offset, y_offset)``, the
  position of its top-left pixel relative to the origin;
- ``speed``: the animation's speed field;
- ``background``: True in the background form, whose frame 0 is the
  background (each frame is still given on its own).

The plain form of the file has no magic number: a file is claimed only by an
``.orv`` name or by the background form's leading ``FVRO``. Anything else is
declined with SyntaxError, as Pillow's own plugins decline, so that other
formats open as before. A claimed file that cannot be rendered raises OSError
with the loader's reason. Read-only: files are written by `orvtool build`.
"""

from __future__ import annotations

import os
import tempfile
from typing import IO, Any, List, Optional, Tuple, Union

from PIL import Image, ImageFile

FORMAT = "ORV"
MAGIC = b"FVRO"
EXTENSION = ".orv"

_palette: Optional[str] = None


def register(palette: Union[str, "os.PathLike[str]", None] = None) -> None:
    """Lets Pillow open animation files. `palette` names the palette (in any
    format orvtool reads) for every file opened from now on; without it each
    file's palette is found as the module finds it, from the file's name. A
    file object without a name can only be opened with `palette`."""
    global _palette
    _palette = os.fspath(palette) if palette is not None else None
    Image.register_open(FORMAT, OrvImageFile, _accept)
    Image.register_extension(FORMAT, EXTENSION)
    Image.register_mime(FORMAT, "image/x-orv")


def _accept(prefix: bytes) -> bool:
    # Called for every file that Pillow opens with the first bytes read; the
    # plain form is recognised by name in OrvImageFile._open instead.
    return True


Box = Tuple[int, int, int, int]


class OrvImageFile(ImageFile.ImageFile):
    format = FORMAT
    format_description = "Quarro animation"
    _close_exclusive_fp_after_loading = False

    def _open(self) -> None:
        assert self.fp is not None
        name = _file_name(self.fp, getattr(self, "filename", None))
        head = self.fp.read(4)
        if head != MAGIC and not (name or "").lower().endswith(EXTENSION):
            raise SyntaxError("not an animation file")
        self._frames, self._boxes, self._speed, background = _load(self.fp, name)
        solid = [b for b in self._boxes if b[2] > b[0] and b[3] > b[1]]
        if not solid:
            raise OSError("the animation has no pixels to show")
        left, top = min(b[0] for b in solid), min(b[1] for b in solid)
        right, bottom = max(b[2] for b in solid), max(b[3] for b in solid)
        self._origin = (-left, -top)
        self._mode = "RGBA"
        self._size = (right - left, bottom - top)
        self.info["background"] = background
        self.n_frames = len(self._frames)
        self.is_animated = self.n_frames > 1
        self._frame = -1
        self.seek(0)

    def seek(self, frame: int) -> None:
        if not self._seek_check(frame):
            return
        self._frame = frame
        image = self._frames[frame]
        left, top, right, bottom = self._boxes[frame]
        ox, oy = self._origin
        self.info["origin"] = self._origin
        self.info["frame_box"] = (left + ox, top + oy, right + ox, bottom + oy)
        self.info["offsets"] = (left, top)
        self.info["speed"] = self._speed
        canvas = Image.new("RGBA", self.size, (0, 0, 0, 0))
        if right > left and bottom > top:
            canvas.paste(image, (left + ox, top + oy))
        self.im = canvas.im
        self.tile = []

    def tell(self) -> int:
        return self._frame

    def load(self) -> Any:
        # The frame is decoded by seek(); there is nothing left to read.
        return Image.Image.load(self)


def _file_name(fp: IO[bytes], filename: Any) -> Optional[str]:
    for name in (filename, getattr(fp, "name", None)):
        if isinstance(name, (str, bytes)) and name:
            return os.fsdecode(name)
    return None


def _load(fp: IO[bytes], name: Optional[str]) -> Tuple[List[Image.Image], List[Box], int, bool]:
    """The frames as RGBA images, their rectangles relative to the origin,
    the speed and whether the file has the background form."""
    from .errors import OrvToolError
    from .loading import load_animation

    try:
        if name is not None and os.path.isfile(name):
            loaded = load_animation(name, _palette)
        elif _palette is None:
            raise OSError("an animation read from a file object without a name needs a palette: register(palette=...)")
        else:
            fp.seek(0)
            with tempfile.TemporaryDirectory(prefix="orvtool-pillow-") as folder:
                copy = os.path.join(folder, "animation.orv")
                with open(copy, "wb") as out:
                    out.write(fp.read())
                loaded = load_animation(copy, _palette)
        images = loaded.require_images()
    except OrvToolError as exc:
        raise OSError(str(exc)) from exc
    frames = [Image.frombytes("RGBA", (i.width, i.height), i.pixels) for i in images]
    boxes = [(i.offset_x, i.offset_y, i.offset_x + i.width, i.offset_y + i.height) for i in images]
    return frames, boxes, loaded.head.speed, loaded.has_background
