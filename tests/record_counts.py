"""How many runs, rows and pixels the records of a frame hold, counted over
the record model in plain Python: the reference that the core's own counts
(the load report's frame table and totals, the export's view of a frame) are
checked against."""

from typing import Any, Dict, Sequence, Tuple

import numpy as np
from numpy.typing import NDArray

from orvtool.formats.sidecar import place_runs
from orvtool.model.records import Frame, Row


def is_maximal(row: Row, width: int, shadow: bool) -> bool:
    """Whether a drawn row's runs are the maximal encoding of the pixels they
    draw (what `runs.runs_from_indices` gives for them), read from the
    runs alone: no run past the right edge, runs of 1 to 255 pixels that
    follow one another without a gap only where the one before holds 255,
    empty runs only as gaps of 255 before a run whose own gap is not 0, and a
    block count that is the number of runs."""
    if row.count != len(row.runs):
        return False
    x = 0
    carried = 0  # pixels of gap carried by empty runs so far
    previous = None  # pixels of the run before, None at the start of the row
    for run in row.runs:
        n = run.color_count
        if (run.indices != b"") if shadow else (run.length != len(run.indices)):
            return False
        if n == 0:
            if run.offset != 255:
                return False
            carried += 255
            continue
        if n > 255 or (carried and run.offset == 0):
            return False
        gap = carried + run.offset
        if gap == 0 and previous is not None and previous != 255:
            return False
        x += gap + n
        if x > width:
            return False
        carried = 0
        previous = n
    return carried == 0


def explicit_rows(frame: Frame) -> Dict[int, Row]:
    """The rows whose runs are not the maximal encoding of their pixels."""
    shadow = frame.is_shadow != 0
    drawn = frame.rows_drawn
    return {y: row for y, row in enumerate(frame.rows) if y >= drawn or not is_maximal(row, frame.width, shadow)}


def run_statistics(frame: Frame, explicit: Dict[int, Row]) -> Dict[str, Any]:
    runs = [run for row in frame.rows for run in row.runs]
    return {
        "rows": len(frame.rows),
        "runs": len(runs),
        "empty_runs": sum(1 for run in runs if run.color_count == 0),
        "longest_run": max((run.color_count for run in runs), default=0),
        "most_runs_in_a_row": max((len(row.runs) for row in frame.rows), default=0),
        "covered_pixels": sum(run.color_count for run in runs),
        "maximal": not explicit,
        "non_maximal_rows": len(explicit),
    }


def filler_pixels(
    frames: Sequence[Frame], layers: Sequence[Tuple[NDArray[Any], NDArray[Any]]], entries: int
) -> Tuple[int, int]:
    """(covered pixels whose index lies beyond a palette of `entries` colours,
    all covered pixels) over the frames that draw palette colours. The module
    draws the former with its filler, opaque black."""
    beyond = covered = 0
    for frame, (indices, mask) in zip(frames, layers, strict=True):
        if frame.is_shadow:
            continue
        covered += int(mask.sum())
        beyond += int((mask & (indices >= entries)).sum())
    return beyond, covered


def index_layer(frame: Frame) -> Tuple[NDArray[Any], NDArray[Any]]:
    """The palette index and the coverage of every pixel of a frame, as the
    renderer places its runs: (indices uint8 (h, w), covered bool (h, w))."""
    h, w = frame.rows_drawn, frame.width
    indices = np.zeros((h, w), dtype=np.uint8)
    covered = np.zeros((h, w), dtype=bool)
    shadow = frame.is_shadow != 0
    for y, row in enumerate(frame.rows[:h]):
        place_runs(row.runs, shadow, indices[y], covered[y])
    return indices, covered
