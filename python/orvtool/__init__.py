"""Tools for Quarro animation files, built on pyorv.

numpy and Pillow are imported on first use only, so that the writer
(`orvtool.orvfile`) stays light to import.
"""

from typing import TYPE_CHECKING, Any

from .version import __version__

if TYPE_CHECKING:
    from numpy.typing import NDArray
    from PIL import Image

__all__ = ["to_numpy", "to_pil", "__version__"]


def to_numpy(image: Any) -> "NDArray[Any]":
    """The pixels of a rendered frame (`pyorv.OrvFrameBufferObject`) as a new,
    writable (height, width, 4) uint8 array of R, G, B, A."""
    from .images import to_numpy as convert

    return convert(image)


def to_pil(image: Any) -> "Image.Image":
    """A rendered frame as an RGBA Pillow image (a copy)."""
    from .images import to_pil as convert

    return convert(image)
