"""Palette conversions between the game's binary palette file and the formats
that image editors read.

| format | extension | alpha | entries |
|---|---|---|---|
| binary palette | .pal | kept | 1 to 256, model field kept |
| swatch image | .png | kept | 16 x 16 cells, entry i at column i % 16, row i // 16; an indexed PNG gives its own palette (PLTE, alpha from tRNS) |
| GIMP palette | .gpl | not in the format: kept in each colour's name, which orvtool reads back and GIMP shows | any |
| JASC-PAL (Paint Shop Pro) | .pal | dropped: every colour reads back opaque | any |
| Adobe colour table | .act | the first fully transparent entry is its transparent index, other alpha is dropped | up to 256 |
| JSON | .json | kept | any, model kept |

A JASC-PAL file and a binary palette share the extension .pal: reading tells
them apart by content, writing .pal means the binary palette unless
`fmt="jasc"` is given.
"""

from __future__ import annotations

import io
import json
import os
import re
import struct
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional

import numpy as np
from PIL import Image, PngImagePlugin

from orvtool.core import writing
from orvtool.core.orvfile import encode_palette
from orvtool.formats.jsonfile import parse_json
from orvtool.formats.reading import ReadError, open_image, open_input, read_input
from orvtool.formats.schema import Where, check_json_palette
from orvtool.model import limits
from orvtool.model.errors import OrvToolError
from orvtool.model.records import Color
from orvtool.report import status
from orvtool.report.status import Finding

FORMATS = ("pal", "png", "gpl", "jasc", "act", "json")
PAL_BYTES = 4 + 4 * 256  # what a binary palette's loader reads at most
ACT_BYTES = 772
EXTENSIONS = {".pal": "pal", ".png": "png", ".gpl": "gpl", ".act": "act", ".json": "json"}
JSON_FORMAT = "orvtool-palette"
SWATCH_KEY = "orvtool-palette"
SWATCH_CELL = 256  # pixels a side of a swatch's cell, at most
BINARY_COLORS = 256  # what a binary palette, a swatch and an Adobe table hold


@dataclass
class Palette:
    colors: List[Color]
    model: int = 0  # the binary palette's model field
    notes: List[Finding] = field(default_factory=list)  # what a conversion lost


def format_for(path: str, fmt: Optional[str] = None, reading: bool = False) -> str:
    if fmt:
        if fmt not in FORMATS:
            raise OrvToolError(
                f"unknown palette format '{fmt}' (one of {', '.join(FORMATS)})", category="option_invalid"
            )
        return fmt
    ext = os.path.splitext(path)[1].lower()
    if ext not in EXTENSIONS:
        raise OrvToolError(
            f"cannot tell the palette format from '{ext or path}': name it with --from/--to", category="option_invalid"
        )
    found = EXTENSIONS[ext]
    if reading and found == "pal":
        with open_input(path) as fh:
            if fh.read(8) == b"JASC-PAL":
                return "jasc"
    return found


def check_colors(colors: List[Color]) -> None:
    for i, c in enumerate(colors):
        if not isinstance(c, tuple) or len(c) != 4 or any(not isinstance(v, int) or not 0 <= v <= 255 for v in c):
            raise OrvToolError(f"colour {i} is not four values from 0 to 255: {c!r}", category="palette_unusable")


def _losing(lost: int, total: int) -> str:
    return f"{lost} of {status.count(total, 'colour')} {'loses its' if lost == 1 else 'lose their'} alpha"


def _opaque_note(pal: Palette, fmt_name: str, kept: str = "") -> None:
    lost = sum(1 for c in pal.colors if c[3] != 255)
    if lost:
        pal.notes.append(Finding("alpha_lost", f"{fmt_name} has no alpha: {_losing(lost, len(pal.colors))}{kept}"))


# --- binary palette -------------------------------------------------------


def read_pal(path: str) -> Palette:
    with open_input(path) as fh:
        data = fh.read(PAL_BYTES)
    if len(data) < 4:
        raise OrvToolError(f"not a palette file: only {status.count(len(data), 'byte')}", category="palette_unusable")
    count, model = struct.unpack_from("<HH", data)
    if not 1 <= count <= 256:
        raise OrvToolError(f"not a palette file: entry count {count} (1 to 256 expected)", category="palette_unusable")
    if len(data) < 4 + 4 * count:
        raise OrvToolError(
            f"palette file cut short: {status.count(count, 'entry', 'entries')} {'needs' if count == 1 else 'need'} {4 + 4 * count} bytes, "
            f"it has {len(data)}",
            category="palette_unusable",
        )
    colors = [(data[p], data[p + 1], data[p + 2], data[p + 3]) for p in range(4, 4 + 4 * count, 4)]
    return Palette(colors, model)


def encode_pal(pal: Palette) -> bytes:
    if not 1 <= len(pal.colors) <= 256:
        raise OrvToolError(
            f"a binary palette holds 1 to 256 colours, not {len(pal.colors)}", category="palette_unusable"
        )
    return encode_palette(pal.colors, model=pal.model)


# --- swatch image, or an indexed PNG's own palette -------------------------


def encode_png(pal: Palette, cell: int = 1) -> bytes:
    if len(pal.colors) > 256:
        raise OrvToolError(f"a 16 x 16 swatch holds 256 colours, not {len(pal.colors)}", category="palette_unusable")
    grid = np.zeros((256, 4), dtype=np.uint8)
    if pal.colors:
        grid[: len(pal.colors)] = np.array(pal.colors, dtype=np.uint8)
    cells = grid.reshape(16, 16, 4).repeat(cell, axis=0).repeat(cell, axis=1)
    info = PngImagePlugin.PngInfo()
    info.add_text(SWATCH_KEY, json.dumps({"entries": len(pal.colors), "model": pal.model}))
    out = io.BytesIO()
    Image.frombytes("RGBA", (16 * cell, 16 * cell), cells.tobytes()).save(out, format="PNG", pnginfo=info)
    return out.getvalue()


def _indexed_palette(im: Image.Image) -> Palette:
    """The palette of an indexed image: its PLTE entries, alpha from tRNS."""
    flat = im.getpalette() or []
    count = len(flat) // 3
    if not 1 <= count <= 256:
        raise OrvToolError(
            f"an indexed image with {status.count(count, 'palette entry', 'palette entries')}",
            category="palette_unusable",
        )
    alpha = [255] * count
    trns = im.info.get("transparency")
    if isinstance(trns, int) and 0 <= trns < count:
        alpha[trns] = 0
    elif isinstance(trns, (bytes, bytearray)):
        for i, a in enumerate(trns[:count]):
            alpha[i] = a
    return Palette([(flat[3 * i], flat[3 * i + 1], flat[3 * i + 2], alpha[i]) for i in range(count)])


def read_png(path: str) -> Palette:
    """An indexed PNG gives its own palette; any other PNG must be a swatch of
    16 x 16 cells, each one colour, of at most SWATCH_CELL pixels a side (the
    largest that `encode_png` makes), refused before it is decoded."""
    with open_image(path) as im:
        if im.mode == "P":
            return _indexed_palette(im)
        w, h = im.size
        if w != h or w % 16 or w == 0:
            raise OrvToolError(
                f"not a palette image: an indexed PNG or a swatch of 16 x 16 cells (a square whose side is "
                f"a multiple of 16), not a {w}x{h} {im.mode} image",
                category="palette_unusable",
            )
        if w > 16 * SWATCH_CELL:
            raise OrvToolError(
                f"not a swatch: {w}x{h} pixels, cells of {w // 16} pixels (a swatch's cells are at most "
                f"{SWATCH_CELL} pixels a side)",
                category="palette_unusable",
            )
        meta = im.info.get(SWATCH_KEY)
        rgba = np.asarray(im.convert("RGBA"), dtype=np.uint8)
    cell = w // 16
    cells = rgba[::cell, ::cell]
    for row in range(16):  # a row of cells at a time: nothing the size of the image is made
        band = rgba[row * cell : (row + 1) * cell].reshape(cell, 16, cell, 4)
        uneven = np.any(band != cells[row][None, :, None, :], axis=(0, 2, 3))
        if uneven.any():
            column = int(np.argmax(uneven))
            raise OrvToolError(
                f"not a swatch: the cell at column {column}, row {row} ({cell} x {cell} pixels) is not one colour",
                category="palette_unusable",
            )
    entries, model = 256, 0
    if meta:
        try:
            info: Any = json.loads(meta) if len(meta) < 4096 else None
            entries = limits.finite_int(info["entries"], 0, 256, "entries")
            model = limits.finite_int(info.get("model", 0), *limits.U16, "model")
        except (ValueError, KeyError, TypeError, AttributeError, RecursionError, OrvToolError):
            entries, model = 256, 0
    flat = cells.reshape(256, 4)
    return Palette([tuple(int(v) for v in c) for c in flat[: max(0, min(entries, 256))]], model)  # type: ignore[misc]


# --- GIMP -----------------------------------------------------------------

_GPL_ALPHA = re.compile(r"\balpha=([0-9]{1,3})\b")
_ASCII_NUMBER = re.compile(r"[+-]?[0-9]+")


def encode_gpl(pal: Palette, name: str) -> bytes:
    lines = ["GIMP Palette", f"Name: {name}", "Columns: 16", "#"]
    for i, (r, g, b, a) in enumerate(pal.colors):
        lines.append(f"{r:3d} {g:3d} {b:3d}\tIndex {i} alpha={a}")
    _opaque_note(pal, "GIMP .gpl", " in GIMP; they are kept in the colour names, which orvtool reads back")
    return ("\n".join(lines) + "\n").encode("utf-8")


def _numbers(values: List[str]) -> List[int]:
    """Whole numbers written in ASCII digits, with an optional sign (int()
    alone would take other scripts' digits and underscores)."""
    if not all(_ASCII_NUMBER.fullmatch(v) for v in values):
        raise ValueError(values)
    return [int(v) for v in values]


def _too_many(limit: int) -> OrvToolError:
    return OrvToolError(
        f"more than {status.count(limit, 'colour')}: the palette to make holds 1 to {limit}",
        category="palette_unusable",
    )


def read_gpl(path: str, max_colors: Optional[int] = None) -> Palette:
    lines = read_input(path, limits.TEXT_PALETTE_BYTES, "palette file").decode("utf-8", "replace").splitlines()
    if not lines or lines[0].strip() != "GIMP Palette":
        raise OrvToolError("not a GIMP palette (no 'GIMP Palette' line)", category="palette_unusable")
    colors: List[Color] = []
    for number, line in enumerate(lines[1:], start=2):
        text = line.strip()
        if not text or text.startswith("#") or re.match(r"^(Name|Columns):", text):
            continue
        if max_colors is not None and len(colors) == max_colors:
            raise _too_many(max_colors)
        parts = text.split(None, 3)
        try:
            r, g, b = _numbers(parts[:3])  # fewer than three do not unpack: ValueError too
        except ValueError:
            raise OrvToolError(
                f"line {number}: expected 'red green blue [name]', got {text!r}", category="palette_unusable"
            ) from None
        name = parts[3] if len(parts) > 3 else ""
        m = _GPL_ALPHA.search(name)
        colors.append((r, g, b, int(m.group(1)) if m else 255))
    check_colors(colors)
    return Palette(colors)


# --- JASC-PAL -------------------------------------------------------------


def encode_jasc(pal: Palette) -> bytes:
    lines = ["JASC-PAL", "0100", str(len(pal.colors))]
    lines += [f"{r} {g} {b}" for r, g, b, _ in pal.colors]
    _opaque_note(pal, "JASC-PAL")
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


def read_jasc(path: str, max_colors: Optional[int] = None) -> Palette:
    text = read_input(path, limits.TEXT_PALETTE_BYTES, "palette file").decode("ascii", "replace")
    lines = [line.strip() for line in text.splitlines()]
    if len(lines) < 3 or lines[0] != "JASC-PAL":
        raise OrvToolError("not a JASC-PAL file", category="palette_unusable")
    try:
        (count,) = _numbers([lines[2]])
        if max_colors is not None and count > max_colors:
            raise _too_many(max_colors)
        rows = [_numbers(line.split()) for line in lines[3 : 3 + count]]
    except ValueError:
        raise OrvToolError("JASC-PAL entries must be numbers", category="palette_unusable") from None
    if len(rows) != count or any(len(row) not in (3, 4) for row in rows):
        raise OrvToolError(
            f"JASC-PAL file announces {status.count(count, 'colour')} of 'red green blue' and holds other lines",
            category="palette_unusable",
        )
    colors: List[Color] = [(row[0], row[1], row[2], row[3] if len(row) == 4 else 255) for row in rows]
    check_colors(colors)
    return Palette(colors)


# --- Adobe colour table ---------------------------------------------------


def encode_act(pal: Palette) -> bytes:
    """The table, with the first fully transparent entry as its transparent
    index; what it cannot hold is noted."""
    if len(pal.colors) > 256:
        raise OrvToolError(
            f"an Adobe colour table holds 256 colours, not {len(pal.colors)}", category="palette_unusable"
        )
    table = bytearray(768)
    for i, (r, g, b, _) in enumerate(pal.colors):
        table[3 * i : 3 * i + 3] = bytes((r, g, b))
    clear = [i for i, c in enumerate(pal.colors) if c[3] == 0]
    partial = [i for i, c in enumerate(pal.colors) if c[3] not in (0, 255)]
    transparent = clear[0] if clear else 0xFFFF
    table += struct.pack(">HH", len(pal.colors), transparent)
    lost = len(partial) + max(0, len(clear) - 1)
    if lost:
        pal.notes.append(
            Finding(
                "alpha_lost",
                f"Adobe .act holds one transparent entry and no other alpha: {_losing(lost, len(pal.colors))}",
            )
        )
    return bytes(table)


def read_act(path: str) -> Palette:
    data = read_input(path, ACT_BYTES, "colour table")
    if len(data) not in (768, 772):
        raise OrvToolError(f"an Adobe colour table is 768 or 772 bytes, not {len(data)}", category="palette_unusable")
    count, transparent = 256, 0xFFFF
    if len(data) == 772:
        count, transparent = struct.unpack_from(">HH", data, 768)
        if not 1 <= count <= 256:
            raise OrvToolError(f"Adobe colour table with a colour count of {count}", category="palette_unusable")
    colors: List[Color] = [
        (data[3 * i], data[3 * i + 1], data[3 * i + 2], 0 if i == transparent else 255) for i in range(count)
    ]
    return Palette(colors)


# --- JSON -----------------------------------------------------------------


def encode_json(pal: Palette) -> bytes:
    doc = {"format": JSON_FORMAT, "version": 1, "model": pal.model, "colors": [list(c) for c in pal.colors]}
    return (json.dumps(doc, indent=None, separators=(",", ":")) + "\n").encode("utf-8")


def read_json(path: str) -> Palette:
    doc = parse_json(read_input(path, limits.TEXT_PALETTE_BYTES, "palette file"), path)
    check_json_palette(doc, Where("", category="palette_unusable"))
    colors: List[Color] = [tuple(c) for c in doc["colors"]]
    model = doc.get("model", 0)
    return Palette(colors, model)


READERS: Dict[str, Callable[[str], Palette]] = {
    "pal": read_pal,
    "png": read_png,
    "gpl": read_gpl,
    "jasc": read_jasc,
    "act": read_act,
    "json": read_json,
}
# The readers of text formats that hold any number of colours.
LONG_READERS: Dict[str, Callable[[str, Optional[int]], Palette]] = {"gpl": read_gpl, "jasc": read_jasc}


def read_palette(path: str, fmt: Optional[str] = None, max_colors: Optional[int] = None) -> Palette:
    """The palette in `path`; with `max_colors`, one of more colours is
    refused as soon as they are found (for a palette to make that holds no
    more, such as a binary palette)."""
    try:
        kind = format_for(path, fmt, reading=True)
        if max_colors is not None and kind in LONG_READERS:
            return LONG_READERS[kind](path, max_colors)
        return READERS[kind](path)
    except ReadError as exc:  # its callers name the file
        raise OrvToolError(exc.reason, category=exc.category) from None
    except OSError as exc:
        raise OrvToolError(f"cannot read: {exc.strerror or exc}", category="input_unreadable") from None


def encode_as(pal: Palette, kind: str, name: str = "palette", cell: int = 1) -> bytes:
    """The file of `pal` in format `kind`; `name` is the palette's name where
    the format has one (GIMP). What the format cannot hold is described in
    `pal.notes`."""
    if kind == "png":
        return encode_png(pal, cell)
    if kind == "gpl":
        return encode_gpl(pal, name)
    return {"pal": encode_pal, "jasc": encode_jasc, "act": encode_act, "json": encode_json}[kind](pal)


def write_palette(
    pal: Palette, path: str, fmt: Optional[str] = None, cell: int = 1, inside: Optional[str] = None
) -> None:
    """Writes `pal` in the format that `fmt` or the file's extension names;
    `inside` is the real path of the folder the target was checked to stay
    in (see `writing.place_bytes`)."""
    kind = format_for(path, fmt)
    data = encode_as(pal, kind, os.path.splitext(os.path.basename(path))[0], cell)
    writing.place_bytes(path, data, inside)


def is_game_palette(path: str) -> bool:
    """Whether `path` is handed to the module as it is: a binary palette, or a
    file whose extension names no other format."""
    try:
        return format_for(path, reading=True) == "pal"
    except OrvToolError:
        return True
