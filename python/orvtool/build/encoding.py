"""Pixels to palette indices and rows of runs, one frame at a time.

A frame's rows keep the record's explicit rows (runs that are not the
maximal encoding of their pixels) wherever the row's pixels are unchanged;
every other row is encoded maximally. Every limit of the file's fields is
checked here, naming the frame and row.
"""

from __future__ import annotations

from typing import Dict, List, Optional, Tuple

import numpy as np

from orvtool.build.matching import ColorMatcher, FramePixels, Inexact, resolve_pixels
from orvtool.build.sources import SourceFrame
from orvtool.formats import sidecar
from orvtool.model.arrays import Layer, Rgba
from orvtool.model.errors import OrvToolError
from orvtool.model.records import Frame, FrameEntry, Row
from orvtool.model.runs import check_frame_size, check_offset, check_row_runs, runs_from_mask


def encode_rows(
    pixels: FramePixels,
    shadow: bool,
    frame_no: int,
    explicit: Optional[Dict[int, Row]] = None,
) -> List[Row]:
    """The rows of a frame: an explicit row wherever it draws exactly the
    row's pixels, maximal runs elsewhere. Refuses a row of more than 255 runs."""
    h, w = pixels.covered.shape
    explicit = explicit or {}
    rows: List[Row] = []
    cover = pixels.covered.astype(np.uint8)
    scratch_i = np.zeros(w, np.uint8)
    scratch_c = np.zeros(w, bool)
    for y in range(h):
        if y in explicit:
            scratch_i[:] = 0
            scratch_c[:] = False
            sidecar.place_runs(explicit[y].runs, shadow, scratch_i, scratch_c)
            same = np.array_equal(scratch_c, pixels.covered[y]) and (
                shadow or np.array_equal(np.where(scratch_c, scratch_i, 0), np.where(scratch_c, pixels.indices[y], 0))
            )
            if same:
                rows.append(explicit[y])
                continue
        runs = runs_from_mask(pixels.indices[y].tobytes(), cover[y].tobytes(), shadow=shadow)
        check_row_runs(frame_no, y, runs)
        rows.append(Row(runs))
    rows += [explicit[y] for y in sorted(explicit) if y >= h]
    return rows


def alpha_from_layer(rgba: Rgba, layer: Layer, matcher: ColorMatcher) -> Rgba:
    """An image saved without alpha, covered where its index layer covers: a
    covered pixel that still shows its index's colour takes that colour's
    alpha (0 included), any other covered pixel is opaque."""
    indices, covered = layer
    shown = matcher.table[indices]
    same = np.all(rgba[:, :, :3] == shown[:, :, :3], axis=2)
    out = rgba.copy()
    out[:, :, 3] = np.where(covered, np.where(same, shown[:, :, 3], 255), 0)
    out[~covered] = 0
    return out


def encode_frame(
    i: int,
    frame: SourceFrame,
    fields: FrameEntry,
    at: Tuple[int, int],
    matcher: ColorMatcher,
    inexact: Inexact,
    details: List[str],
    after_shadow: bool,
) -> Frame:
    """One frame record from its pixels: indices by the rules of `matching`,
    rows by `encode_rows`; the record's other fields from `fields`."""
    assert frame.rgba is not None
    rgba = frame.rgba if frame.has_alpha or frame.layer is None else alpha_from_layer(frame.rgba, frame.layer, matcher)
    height, width = rgba.shape[:2]
    keeps = frame.keeps_rectangle
    shadow = fields.is_shadow != 0
    word = fields.height_word if keeps else None
    if word is not None and bool(word & 0x8000) != shadow:
        word = None  # the shadow flag was changed in the record
    try:
        check_offset(i, "x offset", at[0])
        check_offset(i, "y offset", at[1])
        check_frame_size(i, width, height, shadow, after_shadow and word is None)
        px = resolve_pixels(rgba, matcher, frame.layer, shadow)
        inexact.add(i, rgba, px, matcher, details)
        explicit = frame.known.explicit() if keeps and frame.known is not None else None
        rows = encode_rows(px, shadow, i, explicit)
    except OrvToolError as exc:
        # Named by the file that holds the frame: a frame of a sprite sheet
        # by the sheet and its frame there, any other by its own image.
        if frame.file:
            raise OrvToolError(exc.detail, frame.file, exc.category, frame=frame.number, row=exc.row) from None
        raise OrvToolError(exc.detail, frame.name, exc.category, frame=exc.frame, row=exc.row) from None
    return Frame(
        width=width,
        rows=rows,
        x_offset=at[0],
        y_offset=at[1],
        is_shadow=shadow,
        frame_size=fields.frame_size,
        unk1=fields.unk1,
        unk2=fields.unk2,
        height=height,
        height_word=word,
    )
