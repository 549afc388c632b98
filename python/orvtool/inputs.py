"""The images a build reads, whatever made them.

* a PNG frame, with the position that its oFFs chunk gives (the offsets that
  export writes there, and that GIMP writes as the layer offset);
* every frame of an animated GIF, APNG or WebP, each as the full canvas
  that the format composes;
* a folder of plain PNGs, in name order;
* a colour key (`--transparent`), for images without alpha.

Every image comes back as an RGBA (h, w, 4) uint8 array with a name for
messages: the file, and the frame within it where a file holds several.
"""

from __future__ import annotations

import json
import os
import struct
from dataclasses import dataclass
from typing import Any, List, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import NDArray
from PIL import Image, ImageSequence

from .errors import OrvToolError
from .formats.sheets import has_alpha

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
EXPORT_TEXT_KEY = "orvtool-frame"
OFFS_PIXELS = 0  # oFFs unit: pixels (1 is micrometres, which says nothing about pixels)


@dataclass
class InputImage:
    name: str  # the file, and " frame N" for a frame of a multi-frame image
    rgba: NDArray[Any]
    offsets: Optional[Tuple[int, int]] = None  # the position the file itself gives
    exported: Optional[Tuple[int, int]] = None  # the offsets export wrote into it, when it says
    has_alpha: bool = True  # False: the file does not say which pixels are transparent


def png_offsets(path: str) -> Optional[Tuple[int, int]]:
    """The (x, y) of a PNG's oFFs chunk in pixels; None when the file is not
    a PNG, has no oFFs chunk before its image data, or gives micrometres."""
    try:
        with open(path, "rb") as fh:
            if fh.read(8) != PNG_SIGNATURE:
                return None
            while True:
                head = fh.read(8)
                if len(head) < 8:
                    return None
                length, kind = struct.unpack(">I4s", head)
                if kind in (b"IDAT", b"IEND"):
                    return None
                if kind == b"oFFs":
                    body = fh.read(length)
                    if length != 9 or len(body) != 9:
                        return None
                    x, y, unit = struct.unpack(">iiB", body)
                    return (x, y) if unit == OFFS_PIXELS else None
                fh.seek(length + 4, os.SEEK_CUR)  # data and CRC
    except OSError:
        return None


def exported_offsets(path: str) -> Optional[Tuple[int, int]]:
    """The offsets that export recorded in a frame PNG's "orvtool-frame"
    text: an oFFs chunk that differs from them was moved in an editor."""
    try:
        with Image.open(path) as im:
            text = im.info.get(EXPORT_TEXT_KEY)
        record: Any = json.loads(text) if isinstance(text, str) else None
        return int(record["x_offset"]), int(record["y_offset"])
    except (OSError, ValueError, TypeError, KeyError):
        return None


def _rgba(im: Image.Image) -> NDArray[Any]:
    rgba = im.convert("RGBA") if im.mode != "RGBA" else im
    w, h = rgba.size
    return np.array(rgba, dtype=np.uint8).reshape(h, w, 4)


def read_images(path: str) -> List[InputImage]:
    """The frames of one image file: one for a still image, every frame of
    an animated GIF, APNG or WebP."""
    try:
        with Image.open(path) as im:
            count = getattr(im, "n_frames", 1)
            if count <= 1:
                return [InputImage(path, _rgba(im), png_offsets(path), has_alpha=has_alpha(im))]
            return [
                InputImage(f"{path} frame {k}", _rgba(page), has_alpha=has_alpha(page))
                for k, page in enumerate(ImageSequence.Iterator(im))
            ]
    except FileNotFoundError:
        raise OrvToolError(f"{path} is missing") from None
    except OSError as exc:
        raise OrvToolError(f"cannot read image {path}: {exc}") from None


def folder_pngs(folder: str) -> List[str]:
    """The PNG files of a folder in name order, index layers left out."""
    try:
        names = sorted(os.listdir(folder))
    except OSError as exc:
        raise OrvToolError(f"cannot read folder {folder}: {exc.strerror or exc}") from None
    return [
        os.path.join(folder, n)
        for n in names
        if n.lower().endswith(".png")
        and not n.lower().endswith(".index.png")
        and os.path.isfile(os.path.join(folder, n))
    ]


def apply_color_key(images: Sequence[InputImage], key: Tuple[int, int, int]) -> int:
    """Makes every pixel of colour `key` fully transparent; returns how many."""
    total = 0
    for image in images:
        hit = np.all(image.rgba[:, :, :3] == np.array(key, np.uint8), axis=2) & (image.rgba[:, :, 3] != 0)
        image.rgba[hit] = 0
        total += int(hit.sum())
    return total
