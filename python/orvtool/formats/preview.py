"""Animated previews: every frame on one canvas, placed by its offsets.

A frame's offsets give the position of its top-left pixel relative to the
animation's origin. The canvas is the union of all frame rectangles (see
`model.union_canvas`), so every frame keeps its place relative to the others.
Frames without pixels (width or height 0) leave their page empty. In the
background form the first frame is the background: every other frame is
shown over it, and the background alone only when it is the only frame.

Pages are made one at a time and kept as palette images (an animation shows
at most 256 colours), so memory stays near the size of the indices rather
than an RGBA canvas per frame; only pages of more colours than a palette
holds (partial alpha over a background) are kept whole. GIF has no partial alpha:
a pixel is opaque from alpha 128 on, or, with a matte colour, every pixel
that is not fully transparent is blended onto the matte and shown opaque.

Both previews carry their record (`PREVIEW_KEY`: a GIF comment, an APNG text
chunk, both of which Pillow keeps): the origin's position on the canvas, the
scale, the animation's speed, each page's time and the rectangle (offsets,
width, height) of the frame each page shows, so that a build of the preview
gives every frame its place back (`inputs.read_images`).
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import BinaryIO, Callable, Iterator, List, Optional, Sequence, Tuple, Union

import numpy as np
from numpy.typing import NDArray
from PIL import Image, PngImagePlugin

from orvtool.model.arrays import Rgba
from orvtool.model.errors import OrvToolError
from orvtool.model.limits import FRAME_OVERHEAD_PIXELS, OVER_BUDGET, PIXEL_BUDGET, PIXEL_BUDGET_BYTES
from orvtool.model.records import Canvas, union_canvas

GIF_ALPHA_THRESHOLD = 128  # without a matte, a GIF pixel is opaque from this alpha on
MAX_GIF_DELAY_CS = 0xFFFF
PREVIEW_KEY = "orvtool-preview"  # the record's GIF comment is an object of this one key; the APNG text's keyword

# The RGBA pixels of frame i, (h, w, 4) uint8.
PixelsOf = Callable[[int], Rgba]
Packed = NDArray[np.uint32]  # one uint32 per RGBA pixel


@dataclass
class Pages:
    """The preview pages of an animation, made on demand."""

    canvas: Canvas
    frames: PixelsOf
    offsets: Sequence[Tuple[int, int]]
    sizes: Sequence[Tuple[int, int]]  # (width, height) per frame
    background: bool = False  # frame 0 is drawn under every other frame
    scale: int = 1
    speed: Optional[int] = None  # the animation's, for the record

    def record(self, delay_ms: int) -> str:
        """The preview's record, as JSON: see the module's description."""
        doc = {
            "origin": [-self.canvas.left, -self.canvas.top],
            "scale": self.scale,
            "speed": self.speed,
            "delay": delay_ms,
            "background": self.background,
            "frames": [[*self.offsets[i], *self.sizes[i]] for i in self.order],
        }
        return json.dumps(doc, separators=(",", ":"))

    def origin(self) -> Tuple[int, int]:
        """The origin's position from the preview's top-left pixel, in its pixels."""
        return -self.canvas.left * self.scale, -self.canvas.top * self.scale

    @property
    def order(self) -> List[int]:
        n = len(self.sizes)
        return list(range(1, n)) if self.background and n > 1 else list(range(n))

    def _place(self, page: Rgba, i: int, over: bool) -> None:
        w, h = self.sizes[i]
        if not (w and h):
            return
        x, y = self.offsets[i][0] - self.canvas.left, self.offsets[i][1] - self.canvas.top
        src = self.frames(i)
        if not over:
            page[y : y + h, x : x + w] = src
            return
        dst = page[y : y + h, x : x + w].astype(np.float32)
        s = src.astype(np.float32)
        sa = s[..., 3:4] / 255.0
        da = dst[..., 3:4] / 255.0
        out_a = sa + da * (1.0 - sa)
        rgb = s[..., :3] * sa + dst[..., :3] * da * (1.0 - sa)
        safe = np.where(out_a > 0, out_a, 1.0)
        page[y : y + h, x : x + w, :3] = np.clip(np.rint(rgb / safe), 0, 255).astype(np.uint8)
        page[y : y + h, x : x + w, 3] = np.clip(np.rint(out_a[..., 0] * 255.0), 0, 255).astype(np.uint8)

    def __iter__(self) -> Iterator[Rgba]:
        """Each page as an RGBA (height, width, 4) array, not yet scaled."""
        under: Optional[Rgba] = None
        if self.background and len(self.sizes) > 1:
            under = np.zeros((self.canvas.height, self.canvas.width, 4), np.uint8)
            self._place(under, 0, over=False)
        for i in self.order:
            page: Rgba
            if under is None:
                page = np.zeros((self.canvas.height, self.canvas.width, 4), np.uint8)
                self._place(page, i, over=False)
            else:
                page = under.copy()
                self._place(page, i, over=True)
            yield page

    def __len__(self) -> int:
        return len(self.order)

    def held_pixels(self, rgba_pages: bool = False) -> int:
        """The most that writing these pages holds at once, in RGBA pixels
        (4 bytes): every page, scaled, kept as palette indices (a byte a
        pixel; as RGBA with `rgba_pages`, what an APNG of more than 256
        colours keeps) with its image's own cost, and the page being made,
        unscaled RGBA with its conversions (under 5 RGBA pixels a canvas
        pixel)."""
        area = self.canvas.width * self.canvas.height
        kept = area * self.scale * self.scale * (len(self) + 2)
        pages = len(self) * FRAME_OVERHEAD_PIXELS
        return (kept if rgba_pages else -(-kept // 4)) + area * 5 + pages

    def check(self, rgba_pages: bool = False, held: int = 0) -> None:
        """Refuses, before any page is made, pages that would take more than
        the pixel budget beside the `held` pixels."""
        if held + self.held_pixels(rgba_pages) > PIXEL_BUDGET:
            c, s = self.canvas, self.scale
            at = f" at scale {s}" if s != 1 else ""
            pages = "1 page" if len(self) == 1 else f"{len(self)} pages"
            raise OrvToolError(
                f"the preview's {pages} of {c.width * s}x{c.height * s} pixels (the frames' canvas{at}, each page "
                f"counted at least {FRAME_OVERHEAD_PIXELS} pixels) "
                f"{'takes' if len(self) == 1 else 'take'} more than the {PIXEL_BUDGET_BYTES >> 20} MiB of images "
                "orvtool holds at once",
                category=OVER_BUDGET,
            )


def make_pages(
    frames: PixelsOf,
    offsets: Sequence[Tuple[int, int]],
    sizes: Sequence[Tuple[int, int]],
    background: bool = False,
    scale: int = 1,
    speed: Optional[int] = None,
) -> Pages:
    canvas = union_canvas([(x, y, w, h) for (x, y), (w, h) in zip(offsets, sizes, strict=True)])
    return Pages(canvas, frames, offsets, sizes, background, scale, speed)


def _scaled(a: NDArray[np.uint8], scale: int) -> NDArray[np.uint8]:
    return a if scale == 1 else a.repeat(scale, axis=0).repeat(scale, axis=1)


def gif_delay_ms(fps: float) -> int:
    """A GIF frame lasts whole hundredths of a second, at least one."""
    if not fps > 0:
        raise ValueError(f"frames per second must be above 0, not {fps}")
    return min(MAX_GIF_DELAY_CS, max(1, round(100.0 / fps))) * 10


def frame_duration_ms(fps: float) -> int:
    if not fps > 0:
        raise ValueError(f"frames per second must be above 0, not {fps}")
    return max(1, round(1000.0 / fps))


def _pack(pixels: Rgba) -> Packed:
    """One uint32 per RGBA pixel."""
    return np.ascontiguousarray(pixels).view(np.uint32)[..., 0]


def _gif_pixels(page: Rgba, matte: Optional[Tuple[int, int, int]]) -> Rgba:
    """The page as a GIF shows it: opaque colours with alpha 255, the rest
    (0, 0, 0, 0)."""
    alpha = page[..., 3:4].astype(np.uint16)
    if matte is None:
        opaque = page[..., 3] >= GIF_ALPHA_THRESHOLD
        rgb = page[..., :3]
    else:
        opaque = page[..., 3] > 0
        m = np.array(matte, np.uint16)
        rgb = ((page[..., :3] * alpha + m * (255 - alpha) + 127) // 255).astype(np.uint8)
    out = np.zeros(page.shape, np.uint8)
    out[opaque, :3] = rgb[opaque]
    out[opaque, 3] = 255
    return out


def _colour_table(pages: Iterator[Rgba], limit: int) -> Optional[Packed]:
    """The sorted packed colours of every page, None when more than `limit`."""
    seen: Packed = np.zeros(0, np.uint32)
    for page in pages:
        seen = np.union1d(seen, np.unique(_pack(page)))
        if len(seen) > limit:
            return None
    return seen


def _indexed(pages: Iterator[Rgba], table: Packed, scale: int, alpha: bool) -> Iterator[Image.Image]:
    """Palette images over one shared table of packed colours."""
    rgba = table.view(np.uint8).reshape(-1, 4)
    flat = rgba[:, :3].reshape(-1).tolist() + [0, 0, 0] * (256 - len(table))
    clear = np.flatnonzero(rgba[:, 3] == 0)
    for page in pages:
        index = np.searchsorted(table, _pack(page)).astype(np.uint8)
        index = _scaled(index, scale)
        im = Image.frombytes("P", (index.shape[1], index.shape[0]), index.tobytes())
        im.putpalette(flat)
        if alpha:
            im.info["transparency"] = bytes(rgba[:, 3].tolist())
        elif len(clear):
            im.info["transparency"] = int(clear[0])
        yield im


CLEAR_INDEX = 255  # a page with a palette of its own: its transparent entry


def _own_palette(page: Rgba, scale: int) -> Image.Image:
    """A page of more colours than one GIF palette holds, quantized on its own
    to 255 colours plus a transparent entry."""
    opaque = page[..., 3] != 0
    quantized = Image.fromarray(np.ascontiguousarray(page[..., :3]), "RGB").quantize(
        colors=CLEAR_INDEX, method=Image.Quantize.MEDIANCUT
    )
    index = np.asarray(quantized).copy()
    index[~opaque] = CLEAR_INDEX
    flat = (quantized.getpalette() or [])[: 3 * CLEAR_INDEX]
    flat += [0] * (768 - len(flat))
    index = _scaled(index, scale)
    im = Image.frombytes("P", (index.shape[1], index.shape[0]), index.tobytes())
    im.putpalette(flat)
    im.info["transparency"] = CLEAR_INDEX
    return im


def _gif_images(pages: Pages, matte: Optional[Tuple[int, int, int]]) -> Tuple[Iterator[Image.Image], Optional[int]]:
    table = _colour_table((_gif_pixels(p, matte) for p in pages), 256)
    if table is None:  # more colours than a GIF holds: each page gets a palette of its own
        return (_own_palette(_gif_pixels(p, matte), pages.scale) for p in pages), CLEAR_INDEX
    rgba = table.view(np.uint8).reshape(-1, 4)
    clear = np.flatnonzero(rgba[:, 3] == 0)
    return _indexed((_gif_pixels(p, matte) for p in pages), table, pages.scale, False), (
        int(clear[0]) if len(clear) else None
    )


def _disposals(images: Sequence[Image.Image], transparent: Optional[int]) -> Union[int, List[int]]:
    """Each page is cleared after it is shown (2), except a page before an
    empty one, which restores what was there before it (3): the same empty
    canvas. Pillow compares a page after a cleared one with an empty page, and
    writes an empty page as a second file header; after a restored one it
    compares with the page before, which an empty page differs from."""
    empty = [transparent is not None and bool((np.asarray(im) == transparent).all()) for im in images]
    disposals = [3 if i + 1 < len(images) and empty[i + 1] and not empty[i] else 2 for i in range(len(images))]
    # One value for all where it is the same: Pillow writes pages it merges
    # into one as a single image, which takes no list.
    return disposals if 3 in disposals else 2


def write_gif(fh: BinaryIO, pages: Pages, fps: float, matte: Optional[Tuple[int, int, int]] = None) -> None:
    """An endlessly looping GIF to a binary stream. Pillow merges consecutive
    identical pages into one with their delays added."""
    made, transparent = _gif_images(pages, matte)
    images = list(made)  # palette images: about the size of the indices
    extra = {"transparency": transparent} if transparent is not None else {}
    delay = gif_delay_ms(fps)
    comment = json.dumps({PREVIEW_KEY: json.loads(pages.record(delay))}, separators=(",", ":"))
    images[0].save(
        fh,
        format="GIF",
        save_all=True,
        append_images=images[1:],
        duration=delay,
        loop=0,
        disposal=_disposals(images, transparent),
        optimize=False,
        comment=comment.encode("utf-8"),
        **extra,
    )


def write_apng(fh: BinaryIO, pages: Pages, fps: float) -> None:
    """An endlessly looping animated PNG with full alpha to a binary stream;
    each page replaces the one before."""
    table = _colour_table(iter(pages), 256)
    if table is not None:
        images = list(_indexed(iter(pages), table, pages.scale, True))
    else:
        images = [Image.fromarray(_scaled(p, pages.scale), "RGBA") for p in pages]
    text = PngImagePlugin.PngInfo()
    text.add_text(PREVIEW_KEY, pages.record(frame_duration_ms(fps)))
    images[0].save(
        fh,
        format="PNG",
        save_all=True,
        append_images=images[1:],
        duration=frame_duration_ms(fps),
        loop=0,
        disposal=0,  # leave the page; the next one is drawn with blend 0, replacing it
        blend=0,
        pnginfo=text,
    )
