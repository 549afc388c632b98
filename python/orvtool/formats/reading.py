"""The one way orvtool opens a file it reads.

A name that leads to a FIFO, a device or a folder is refused at once, without
blocking: on POSIX the file is opened with O_NONBLOCK and its type checked on
the open descriptor; on Windows, which has no O_NONBLOCK, the type is checked
before the open. Every read is bounded: a file larger than what its kind can
hold is refused before it is read. Images go to Pillow as the opened file,
what reading them holds charged to the command's budget from the header,
before any pixel is decoded.

Whatever an image's bytes make Pillow's decoders raise, when it is opened or
later when its pixels are decoded, is one finding of `image_unreadable`
(`decoding`): a file cut short, damaged or in no format Pillow reads says so
in one line that names it.
"""

from __future__ import annotations

import contextlib
import io
import os
import re
import stat
import struct
import warnings
import zlib
from typing import BinaryIO, Iterator, Optional

from PIL import Image, UnidentifiedImageError

from orvtool.model import limits
from orvtool.model.errors import OrvToolError

# Pillow's own bomb check agrees with the budget: a larger image is refused
# when it is opened.
Image.MAX_IMAGE_PIXELS = limits.PIXEL_BUDGET

_KINDS = (
    (stat.S_ISDIR, "a folder"),
    (stat.S_ISFIFO, "a FIFO"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
    (stat.S_ISSOCK, "a socket"),
)


IMAGE_UNREADABLE = "image_unreadable"
OUT_OF_MEMORY = "out_of_memory"


class ReadError(OrvToolError):
    """A file that cannot be read or is past its limits. The message names
    the file; `reason` says the same without it, for callers that put the
    file's name in front themselves."""

    def __init__(self, message: str, reason: str, category: str = "input_unreadable") -> None:
        super().__init__(message, category=category)
        self.reason = reason


def _not_regular(path: str, mode: int) -> ReadError:
    kind = next((name for test, name in _KINDS if test(mode)), "not a regular file")
    return ReadError(f"{path} is {kind}, not a file", f"is {kind}, not a file", category="input_unreadable")


def _cannot(path: str, exc: OSError) -> ReadError:
    reason = f"cannot read: {exc.strerror or exc}"
    if isinstance(exc, FileNotFoundError):
        return ReadError(f"{path} is missing", reason, category="source_missing")
    return ReadError(f"cannot read {path}: {exc.strerror or exc}", reason, category="input_unreadable")


def _too_large(path: str, what: str, limit: int) -> ReadError:
    reason = f"larger than a {what} can be ({limit} bytes)"
    return ReadError(f"{path} is {reason}", f"is {reason}", category="over_limit")


def open_input(path: str, limit: Optional[int] = None, what: str = "file") -> BinaryIO:
    """The regular file at `path`, opened for binary reading without ever
    blocking on it; refused when it is larger than `limit` bytes."""
    try:
        if os.name == "nt":
            st = os.stat(path)
            if not stat.S_ISREG(st.st_mode):
                raise _not_regular(path, st.st_mode)
            fd = os.open(path, os.O_RDONLY | getattr(os, "O_BINARY", 0))
        else:
            fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
        try:
            st = os.fstat(fd)
            if not stat.S_ISREG(st.st_mode):
                raise _not_regular(path, st.st_mode)
            if limit is not None and st.st_size > limit:
                raise _too_large(path, what, limit)
            return os.fdopen(fd, "rb")
        except BaseException:
            os.close(fd)
            raise
    except (OSError, ValueError) as exc:  # ValueError: a zero byte in the name
        if isinstance(exc, OSError):
            raise _cannot(path, exc) from None
        raise ReadError(f"cannot read {path!r}: {exc}", f"cannot read: {exc}", category="input_unreadable") from None


def read_input(path: str, limit: int, what: str = "file") -> bytes:
    """The whole of the regular file at `path`, at most `limit` bytes."""
    with open_input(path, limit, what) as stream:
        try:
            # As much as the file holds (and a byte more, to see it grow):
            # a buffer of `limit` bytes would be taken for a small file too.
            size = os.fstat(stream.fileno()).st_size
            data = stream.read(min(size, limit) + 1)
            if len(data) > size:  # it grew since: read on, up to the limit
                data += stream.read(limit + 1 - len(data))
        except OSError as exc:
            raise _cannot(path, exc) from None
    if len(data) > limit:  # it grew after the check
        raise _too_large(path, what, limit)
    return data


# What Pillow's decoders raise on bytes they cannot follow: their own errors
# (OSError, SyntaxError, ValueError), and what reading past the end of the
# data or unpacking a field cut short raises inside them.
DECODER_ERRORS = (OSError, SyntaxError, ValueError, EOFError, IndexError, struct.error, zlib.error, MemoryError)
# A Python object's repr in a decoder's message ("<_io.BytesIO object at 0x...>").
_REPR = re.compile(r"\s*<[^<>]* at 0x[0-9a-fA-F]+>")
_BOMB = f"its pixels take more than the {limits.PIXEL_BUDGET_BYTES >> 20} MiB of images orvtool holds"


def image_fault(path: str, exc: BaseException) -> ReadError:
    """The finding for what a decoder raised on the image file `path`."""
    if isinstance(exc, (Image.DecompressionBombError, Image.DecompressionBombWarning)):
        return ReadError(f"{path}: {_BOMB}", _BOMB, limits.OVER_BUDGET)
    if isinstance(exc, MemoryError):
        reason = "decoding it takes more memory than there is"
        return ReadError(f"{path}: {reason}", reason, OUT_OF_MEMORY)
    if isinstance(exc, UnidentifiedImageError):
        reason = "not an image Pillow reads"
    elif isinstance(exc, (EOFError, IndexError, struct.error)):
        reason = "cut short or damaged: its data ends inside a record"
    else:
        text = _REPR.sub("", str(exc)).strip() or type(exc).__name__
        reason = f"damaged compressed data ({text})" if isinstance(exc, zlib.error) else text
    return ReadError(f"cannot read image {path}: {reason}", f"cannot read image: {reason}", IMAGE_UNREADABLE)


@contextlib.contextmanager
def decoding(path: str) -> Iterator[None]:
    """Pillow's work on the image file `path`: what its bytes make a decoder
    raise becomes one finding naming it (`image_fault`); orvtool's own
    errors pass as they are."""
    try:
        yield
    except OrvToolError:
        raise
    except (Image.DecompressionBombError, Image.DecompressionBombWarning, *DECODER_ERRORS) as exc:
        raise image_fault(path, exc) from None


@contextlib.contextmanager
def _held(im: Image.Image, path: str) -> Iterator[Image.Image]:
    with decoding(path), im:
        yield im


def open_image(
    path: str,
    budget: Optional[limits.Budget] = None,
    frames: bool = False,
    data: Optional[bytes] = None,
    kept: Optional[int] = limits.RGBA_BYTES,
) -> "contextlib.AbstractContextManager[Image.Image]":
    """The image at `path` (whose bytes are `data` when the caller has read
    them), opened but not decoded, with what reading it holds charged to
    `budget` from its header, before any pixel is decoded: `kept` bytes a
    pixel of every frame (of the first, unless `frames`), which stay charged,
    and for a moment one frame decoded and made an RGBA array. With `kept`
    None the decoded image itself is kept and not converted. Without a
    budget, only its pixels as RGBA are held to the limit (the caller reads
    its header, or checks its size before decoding it). For a `with`
    statement, which closes it and makes what decoding it raises a finding
    (`decoding`)."""
    return _held(open_image_kept(path, budget, frames, data, kept), path)


def open_image_kept(
    path: str,
    budget: Optional[limits.Budget] = None,
    frames: bool = False,
    data: Optional[bytes] = None,
    kept: Optional[int] = limits.RGBA_BYTES,
) -> Image.Image:
    """As `open_image`, the image itself, for a caller that keeps it open
    past one statement, closes it, and decodes it within `decoding(path)`."""
    if data is None:
        data = read_input(path, limits.IMAGE_BYTES, "image file")
    with decoding(path):
        with warnings.catch_warnings():
            warnings.simplefilter("error", Image.DecompressionBombWarning)
            im = Image.open(io.BytesIO(data))
    try:
        with decoding(path):  # counting a GIF's frames reads it through
            count = int(getattr(im, "n_frames", 1)) if frames else 1
        if budget is None:
            limits.Budget().pixels(
                im.size[0], im.size[1], path, frames=count, what=f"its {im.size[0]}x{im.size[1]} pixels as RGBA"
            )
        else:
            charge_image(budget, path, im, count, kept)
    except BaseException:
        im.close()
        raise
    return im


def charge_image(
    budget: limits.Budget, path: str, im: Image.Image, frames: int = 1, kept: Optional[int] = limits.RGBA_BYTES
) -> None:
    """Charges `budget` with reading `frames` frames of an opened image (see
    `open_image`); refused, naming the file and the limit, past it."""
    w, h = im.size
    decoded = limits.decoded_bytes(im.mode)
    keep = w * h * frames * (decoded if kept is None else kept)
    peak = 0 if kept is None else w * h * (decoded + limits.CONVERT_BYTES)
    many = f"{frames:,} frames of " if frames != 1 else ""
    made = "" if kept is None else " and made RGBA"
    what = f"its {many}{w}x{h} pixels, decoded ({decoded} {'byte' if decoded == 1 else 'bytes'} a pixel){made},"
    budget.fits(keep + peak, path, what)
    budget.charge(keep, path, what)
