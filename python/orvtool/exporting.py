"""Exporting one animation to a folder of images.

The folder receives, per frame, an RGBA PNG of the rendered frame (with the
frame's offsets in a PNG oFFs chunk as well) and its index layer, then the
animation.json sidecar (see `sidecar`), and on request a sprite sheet and
animated previews. Existing files are only replaced with `force`.
"""

from __future__ import annotations

import io
import json
import os
import struct
import zlib
from dataclasses import dataclass, field
from typing import List, Optional, Tuple

from PIL import Image, PngImagePlugin

from . import __version__, preview
from .errors import OrvToolError
from .formats import palettes, sidecar
from .formats.sheets import build_sheet
from .images import to_numpy
from .loading import LoadedAnimation, load_animation
from .model import Color

SHEET_IMAGE = "sheet.png"
SHEET_JSON = "sheet.json"
GIF_NAME = "preview.gif"
APNG_NAME = "preview.apng"


@dataclass
class ExportOptions:
    sheet: bool = False
    gif: bool = False
    apng: bool = False
    fps: float = 10.0
    force: bool = False
    palette: Optional[str] = None  # palette file to use instead of the stored one
    padding: int = 1  # pixels between sheet frames


@dataclass
class ExportReport:
    folder: str
    frames: int
    written: List[str] = field(default_factory=list)
    notes: List[str] = field(default_factory=list)


def _write_frame_png(path: str, pixels: bytes, width: int, height: int, x: int, y: int, index: int) -> None:
    """An RGBA PNG with the offsets in a text chunk and in an oFFs chunk (image
    position in pixels, which GIMP offers to apply as the layer offset)."""
    info = PngImagePlugin.PngInfo()
    info.add_text("orvtool-frame", json.dumps({"index": index, "x_offset": x, "y_offset": y}))
    buf = io.BytesIO()
    Image.frombytes("RGBA", (width, height), pixels).save(buf, format="PNG", pnginfo=info)
    data = buf.getvalue()
    body = b"oFFs" + struct.pack(">iiB", x, y, 0)
    offs = struct.pack(">I", len(body) - 4) + body + struct.pack(">I", zlib.crc32(body))
    ihdr_end = 8 + 8 + 13 + 4  # signature, IHDR length and type, IHDR data, CRC
    with open(path, "wb") as fh:
        fh.write(data[:ihdr_end] + offs + data[ihdr_end:])


def _palette_file(anim: LoadedAnimation, notes: List[str]) -> Tuple[int, List[Color]]:
    """The palette as stored in its file, for the sidecar."""
    if anim.palette.resolved and os.path.isfile(anim.palette.resolved):
        try:
            pal = palettes.read_pal(anim.palette.resolved)
            return pal.model, pal.colors
        except (OrvToolError, OSError) as exc:
            notes.append(f"palette {anim.palette.resolved}: {exc}; the sidecar keeps the colours as loaded")
    return 0, anim.palette_colors


def export_animation(path: str, folder: str, options: ExportOptions) -> ExportReport:
    anim = load_animation(path, options.palette)
    images = anim.require_images()
    names = sidecar.frame_file_names(len(anim.frames))
    report = ExportReport(folder, len(anim.frames))
    if anim.trailing:
        report.notes.append(f"{len(anim.trailing)} bytes after the last frame, which the game ignores, kept in the sidecar")

    layers = [sidecar.index_layer(frame) for frame in anim.frames]
    explicit = [sidecar.explicit_rows(frame, *layer) for frame, layer in zip(anim.frames, layers)]
    solid = [frame.width > 0 and frame.rows_drawn > 0 for frame in anim.frames]

    targets = [name for (image, index), has in zip(names, solid) if has for name in (image, index)]
    targets.append(sidecar.SIDECAR_NAME)
    if options.sheet:
        targets += [SHEET_IMAGE, SHEET_JSON]
    if options.gif:
        targets.append(GIF_NAME)
    if options.apng:
        targets.append(APNG_NAME)
    if not options.force:
        existing = [t for t in targets if os.path.lexists(os.path.join(folder, t))]
        if existing:
            more = f" and {len(existing) - 1} more" if len(existing) > 1 else ""
            raise OrvToolError(
                f"{os.path.join(folder, existing[0])}{more} already exist; nothing written (use --force to replace)"
            )
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as exc:
        raise OrvToolError(f"cannot create output folder {folder}: {exc.strerror or exc}") from None

    def out(name: str) -> str:
        report.written.append(name)
        return os.path.join(folder, name)

    pixels = [to_numpy(image) for image in images]
    offsets = [(frame.x_offset, frame.y_offset) for frame in anim.frames]
    try:
        for i, frame in enumerate(anim.frames):
            if not solid[i]:
                continue
            image_name, index_name = names[i]
            _write_frame_png(
                out(image_name), pixels[i].tobytes(), frame.width, frame.rows_drawn, frame.x_offset, frame.y_offset, i
            )
            sidecar.write_index_layer(out(index_name), *layers[i])
        doc = sidecar.build_sidecar(anim, names, explicit, _palette_file(anim, report.notes))
        sidecar.write_sidecar(out(sidecar.SIDECAR_NAME), doc)

        if options.sheet:
            atlas, sheet_doc = build_sheet(
                [n for n, _ in names], pixels, offsets, SHEET_IMAGE, __version__, options.padding
            )
            atlas.save(out(SHEET_IMAGE), format="PNG")
            with open(out(SHEET_JSON), "w", encoding="utf-8") as fh:
                json.dump(sheet_doc, fh, indent=1)
                fh.write("\n")
        if options.gif or options.apng:
            _, pages = preview.place_frames(pixels, offsets)
            if options.gif:
                preview.write_gif(out(GIF_NAME), pages, options.fps)
            if options.apng:
                preview.write_apng(out(APNG_NAME), pages, options.fps)
    except OSError as exc:
        name = exc.filename or folder
        raise OrvToolError(f"cannot write {name}: {exc.strerror or exc}") from None
    return report
