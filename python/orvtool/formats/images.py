"""Rendered frames as numpy arrays and Pillow images; frame images read as RGBA arrays."""

from __future__ import annotations

from typing import Protocol

import numpy as np
from PIL import Image

from orvtool.model.arrays import Rgba

# The PNG settings of the images orvtool writes (frames, index layers,
# sheets), chosen by measurement (see the development page): zlib level 1
# encodes sprite frames about twice as fast as the default level 6 and, with
# the filters Pillow picks for it, smaller.
PNG_SAVE = {"compress_level": 1}
# The PNG settings of the frames' index layers (grey + alpha): zlib's
# run-length strategy (Z_RLE), which after PNG's filters finds what there is
# to find in indices and coverage about a quarter faster than level 1 alone,
# and smaller on shaded sprites (a few percent larger on flat pixel art).
INDEX_PNG_SAVE = {"compress_level": 1, "compress_type": 3}


class Rendered(Protocol):
    """A rendered frame: `pyorv.OrvFrameBufferObject`, or orvtool's `native.Image`."""

    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def channels(self) -> int: ...
    @property
    def pixels(self) -> bytes: ...


def to_numpy(image: Rendered) -> Rgba:
    """The pixels of a rendered frame (`pyorv.OrvFrameBufferObject`) as a new,
    writable (height, width, 4) uint8 array of R, G, B, A."""
    width, height, channels = image.width, image.height, image.channels
    pixels = image.pixels
    if channels != 4 or len(pixels) != width * height * 4:
        raise ValueError(f"image of {width}x{height} pixels with {channels} channels holds {len(pixels)} bytes")
    return np.frombuffer(bytearray(pixels), dtype=np.uint8).reshape(height, width, 4)


def to_pil(image: Rendered) -> Image.Image:
    """A rendered frame as an RGBA Pillow image (a copy)."""
    arr = to_numpy(image)
    return Image.frombytes("RGBA", (arr.shape[1], arr.shape[0]), arr.tobytes())
