"""The images a build reads, whatever made them.

* a PNG frame, with the position that its oFFs chunk gives (the offsets that
  export writes there, and that GIMP writes as the layer offset);
* every frame of an animated GIF, APNG or WebP, each as the full canvas
  that the format composes; of orvtool's own GIF or APNG preview, each frame
  cut to the rectangle the preview's record gives it, and placed there;
* a folder of plain PNGs, in name order;
* a colour key (`--transparent`), for images without alpha.

Every image comes back as an RGBA (h, w, 4) uint8 array with a name for
messages: the file, and the frame within it where a file holds several.
"""

from __future__ import annotations

import io
import json
import os
import struct
from dataclasses import dataclass
from typing import List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np
from PIL import Image, ImageSequence

from orvtool.formats.jsonfile import parse_json
from orvtool.formats.preview import PREVIEW_KEY
from orvtool.formats.reading import IMAGE_UNREADABLE, ReadError, decoding, open_image, open_input, read_input
from orvtool.formats.sheets import has_alpha
from orvtool.model import limits
from orvtool.model.arrays import Rgba
from orvtool.model.errors import OrvToolError

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
EXPORT_TEXT_KEY = "orvtool-frame"
MAX_CHUNKS = 4096  # chunks looked through for oFFs before the image data
OFFS_PIXELS = 0  # oFFs unit: pixels (1 is micrometres, which says nothing about pixels)


@dataclass
class InputImage:
    name: str  # the file, and " frame N" for a frame of a multi-frame image
    rgba: Rgba
    offsets: Optional[Tuple[int, int]] = None  # the position the file itself gives
    # A frame of an animated GIF cut to the area its frames cover: (left, top)
    # of that area on the logical screen, and the screen's width and height.
    canvas: Optional[Tuple[int, int, int, int]] = None
    has_alpha: bool = True  # False: the file does not say which pixels are transparent
    duration: Optional[int] = None  # milliseconds: a frame of an animated image
    placed: Optional[Tuple[int, int]] = None  # offsets orvtool's preview record gives the frame
    speed: Optional[int] = None  # the animation's speed, as orvtool's preview records it


@dataclass(frozen=True)
class PreviewRecord:
    """What orvtool's preview says of the animation it shows (see `preview`)."""

    origin: Tuple[int, int]  # on the unscaled canvas, from its top-left
    scale: int
    speed: Optional[int]
    delay: int  # milliseconds a page lasts
    background: bool
    frames: Tuple[Tuple[int, int, int, int], ...]  # offsets, width and height of the frame each page shows


def preview_record(info: Mapping[Union[str, Tuple[int, int]], object]) -> Optional[PreviewRecord]:
    """The record of orvtool's GIF (comment) or APNG (text) preview; None
    when the image has none, or one that is not whole."""
    text = info.get(PREVIEW_KEY)
    comment = info.get("comment")
    try:
        if text is None and isinstance(comment, bytes) and len(comment) < limits.IMAGE_BYTES:
            text = json.dumps(parse_json(comment.decode("utf-8"), "comment").get(PREVIEW_KEY))
        doc: object = parse_json(text, PREVIEW_KEY) if isinstance(text, str) else None
        if not isinstance(doc, dict):
            return None
        origin = tuple(limits.finite_int(v, *limits.I32, "origin") for v in doc["origin"])
        frames = tuple(
            tuple(
                limits.finite_int(v, *r, "frames")
                for v, r in zip(f, (limits.I16, limits.I16, limits.U16, limits.U16), strict=True)
            )
            for f in doc["frames"]
        )
        speed = doc.get("speed")
        record = PreviewRecord(
            (origin[0], origin[1]),
            limits.finite_int(doc["scale"], 1, 0xFFFF, "scale"),
            None if speed is None else limits.finite_int(speed, 0, 0xFFFFFFFF, "speed"),
            limits.finite_int(doc["delay"], 1, 0xFFFFFF, "delay"),
            doc["background"] is True,
            frames,  # type: ignore[arg-type]
        )
    except (ValueError, TypeError, KeyError, IndexError, AttributeError, OrvToolError):
        return None
    return record if len(origin) == 2 else None


def _by_record(
    path: str, pages: List[Tuple[Rgba, int]], corner: Tuple[int, int], record: PreviewRecord
) -> Optional[List[InputImage]]:
    """The frames of orvtool's preview, each cut to its rectangle and placed
    by it. A run of equal pages is one image of their times together (Pillow
    writes it so). None when the pages do not make the frames the record
    lists, or when they are drawn over a background."""
    counts = [max(1, round(duration / record.delay)) for _, duration in pages]
    if record.background or sum(counts) != len(record.frames):
        return None
    s = record.scale
    out: List[InputImage] = []
    for (rgba, _), count in zip(pages, counts, strict=True):
        for _ in range(count):
            x, y, w, h = record.frames[len(out)]
            left, top = (x + record.origin[0]) * s - corner[0], (y + record.origin[1]) * s - corner[1]
            cut = np.zeros((h * s, w * s, 4), np.uint8)
            ph, pw = rgba.shape[:2]
            x0, y0, x1, y1 = max(left, 0), max(top, 0), min(left + w * s, pw), min(top + h * s, ph)
            if x1 > x0 and y1 > y0:
                cut[y0 - top : y1 - top, x0 - left : x1 - left] = rgba[y0:y1, x0:x1]
            image = InputImage(f"{path} frame {len(out)}", np.ascontiguousarray(cut[::s, ::s]), duration=record.delay)
            image.placed, image.speed = (x, y), record.speed
            out.append(image)
    return out


def png_offsets(path: str) -> Optional[Tuple[int, int]]:
    """The (x, y) of a PNG's oFFs chunk in pixels; None when the file is not
    a PNG, has no oFFs chunk before its image data, or gives micrometres."""
    try:
        with open_input(path) as fh:
            if fh.read(8) != PNG_SIGNATURE:
                return None
            for _ in range(MAX_CHUNKS):
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
            return None
    except (OSError, OrvToolError):
        return None


def exported_offsets(path: str) -> Optional[Tuple[int, int]]:
    """The offsets that export recorded in a frame PNG's "orvtool-frame"
    text: an oFFs chunk that differs from them was moved in an editor."""
    try:
        with open_image(path) as im:
            text = im.info.get(EXPORT_TEXT_KEY)
        record: object = parse_json(text, EXPORT_TEXT_KEY) if isinstance(text, str) and len(text) < 4096 else None
        if not isinstance(record, dict):
            return None
        return tuple(limits.finite_int(record[k], *limits.I16, k) for k in ("x_offset", "y_offset"))  # type: ignore[return-value]
    except (OSError, ValueError, TypeError, KeyError, OrvToolError):
        return None


def _rgba(im: Image.Image) -> Rgba:
    rgba = im.convert("RGBA") if im.mode != "RGBA" else im
    w, h = rgba.size
    return np.array(rgba, dtype=np.uint8).reshape(h, w, 4)


def _gif_blocks(data: bytes) -> Optional[Tuple[Tuple[int, int], List[Tuple[int, int, int, int, int]], bool]]:
    """`gif_frames`, and whether the blocks run to the end of the data
    without the GIF's trailer (a file cut short)."""
    if data[:6] not in (b"GIF87a", b"GIF89a") or len(data) < 13:
        return None
    screen = struct.unpack_from("<HH", data, 6)
    at = 13 + (3 << ((data[10] & 7) + 1) if data[10] & 0x80 else 0)
    frames: List[Tuple[int, int, int, int, int]] = []

    def sub_blocks(p: int) -> int:
        while p < len(data) and data[p]:
            p += data[p] + 1
        return p + 1

    while at < len(data):
        kind = data[at]
        if kind == 0x3B:
            return screen, frames, False
        if kind == 0x21:
            at = sub_blocks(at + 2)
        elif kind == 0x2C and at + 10 <= len(data):
            left, top, w, h = struct.unpack_from("<HHHH", data, at + 1)
            frames.append((at, left, top, w, h))
            flags = data[at + 9]
            at = sub_blocks(at + 10 + (3 << ((flags & 7) + 1) if flags & 0x80 else 0) + 1)
        else:
            return screen, frames, kind == 0x2C  # an image descriptor cut short, else a block of no kind
    return screen, frames, True


def gif_frames(data: bytes) -> Optional[Tuple[Tuple[int, int], List[Tuple[int, int, int, int, int]]]]:
    """The logical screen (w, h) of a GIF and, for each frame, where its image
    descriptor lies and its rectangle: (at, left, top, w, h). None when the
    data is not a GIF whose blocks can be followed to the end."""
    found = _gif_blocks(data)
    if found is None:
        return None
    screen, frames, _ = found
    return (screen, frames) if frames else None


def _gif_cut(path: str, data: bytes, budget: limits.Budget) -> Optional[Tuple[bytes, Tuple[int, int, int, int]]]:
    """An animated GIF whose logical screen is only the area its frames cover:
    the data with its screen and frame positions moved, and (left, top, screen
    width, screen height) of that area. The frames' pixels are counted against
    the budget first. None when the data is not a GIF of several frames."""
    found = gif_frames(data)
    if found is None or len(found[1]) < 2:
        return None
    (sw, sh), frames = found
    left, top = min(f[1] for f in frames), min(f[2] for f in frames)
    right, bottom = max(f[1] + f[3] for f in frames), max(f[2] + f[4] for f in frames)
    w, h = right - left, bottom - top
    what = f"its {len(frames):,} frames of {w}x{h} pixels, decoded and made RGBA,"
    budget.fits(
        w * h * (len(frames) * limits.RGBA_BYTES + limits.WIDE_DECODED_BYTES + limits.CONVERT_BYTES), path, what
    )
    budget.charge(w * h * len(frames) * limits.RGBA_BYTES, path, what)
    out = bytearray(data)
    struct.pack_into("<HH", out, 6, right - left, bottom - top)
    for at, x, y, _, _ in frames:
        struct.pack_into("<HH", out, at + 1, x - left, y - top)
    return bytes(out), (left, top, sw, sh)


def read_images(path: str, budget: Optional[limits.Budget] = None) -> List[InputImage]:
    """The frames of one image file: one for a still image, every frame of
    an animated GIF, APNG or WebP; what they hold charged to `budget` before
    any is decoded. The frames of an animated GIF cover only the area that
    its frames draw."""
    budget = budget or limits.Budget()
    data = read_input(path, limits.IMAGE_BYTES, "image file")
    blocks = _gif_blocks(data)
    if blocks is not None and blocks[2]:  # Pillow would give the frames before the cut as the whole
        reason = "cut short: its data ends before the GIF's trailer"
        raise ReadError(f"cannot read image {path}: {reason}", f"cannot read image: {reason}", IMAGE_UNREADABLE)
    cut = _gif_cut(path, data, budget)
    if cut is not None:
        with decoding(path), Image.open(io.BytesIO(cut[0])) as im:
            return _animated(path, im, cut[1])
    with open_image(path, budget, frames=True, data=data) as im:
        count = getattr(im, "n_frames", 1)
        if count <= 1:
            record = preview_record(im.info)
            placed = _by_record(path, [(_rgba(im), record.delay)], (0, 0), record) if record else None
            return placed or [InputImage(path, _rgba(im), png_offsets(path), has_alpha=has_alpha(im))]
        return _animated(path, im, None)


def _animated(path: str, im: Image.Image, canvas: Optional[Tuple[int, int, int, int]]) -> List[InputImage]:
    """The frames of an animated image, each with its time; placed by the
    record of orvtool's own preview where it has one."""
    record = preview_record(im.info)
    images = [
        InputImage(
            f"{path} frame {k}",
            _rgba(page),
            canvas=canvas,
            has_alpha=has_alpha(page),
            duration=int(page.info.get("duration") or 0),
        )
        for k, page in enumerate(ImageSequence.Iterator(im))
    ]
    if record is not None:
        corner = (canvas[0], canvas[1]) if canvas else (0, 0)
        placed = _by_record(path, [(i.rgba, i.duration or 0) for i in images], corner, record)
        if placed is not None:
            return placed
    return images


def folder_pngs(folder: str) -> List[str]:
    """The PNG files of a folder in name order, index layers left out."""
    try:
        names = sorted(os.listdir(folder))
    except OSError as exc:
        raise OrvToolError(f"cannot read folder {folder}: {exc.strerror or exc}", category="input_unreadable") from None
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
