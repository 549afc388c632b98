"""The load report: what loading one animation file found, as data.

`inspect` loads a file as `orvtool info` does and says what the load found
without printing anything: each finding with its category, its severity by
orvtool's one table of severities, its message and the frame, row and colour
index it concerns; the frames read against those the file announces; and the
palette as the file stores it and as the load resolved it. `load_frames(...,
strict=True)` raises `LoadFailed` (see `orvtool.model.errors`), which carries the
same report, where a plain load would return None or load a file that fails.
The findings are `orvtool.model.findings.Finding` values, the one type of finding
of every route.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Optional, Union

from orvtool.model.errors import LoadFailed, TooManyFrames
from orvtool.model.findings import Finding
from orvtool.model.load import LoadReport, PaletteInfo, refused_report
from orvtool.report import results, status

if TYPE_CHECKING:
    from orvtool.core.native import LoadReport as NativeReport

__all__ = [
    "Finding",
    "LoadFailed",
    "LoadReport",
    "PaletteInfo",
    "TooManyFrames",
    "inspect",
    "report_of",
    "refused_report",
]

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def report_of(
    native_report: "NativeReport",
    path: str,
    given: Optional[str] = None,
    unusable: Optional[str] = None,
) -> LoadReport:
    """The public report of the private module's (`unusable`: why a palette
    given in another format could not be read)."""
    from orvtool.load.loading import palette_text  # in orvtool's words, as info says them

    findings = [
        Finding(d.category, palette_text(d, native_report.palette, path), frame=d.frame, row=d.row, index=d.index)
        for d in native_report.diagnostics
    ]
    counts = dict(native_report.counts)
    if unusable is not None:
        problem = f"palette {os.path.realpath(given or '')} could not be used ({unusable})"
        findings.insert(0, Finding(status.PALETTE_UNUSABLE, problem))
        counts = {status.PALETTE_UNUSABLE: 1, **counts}
    pal = native_report.palette
    stored = native_report.location if native_report.path_length is not None else b""
    palette = PaletteInfo(
        stored=os.fsdecode(stored),
        given=given,
        resolved=None if unusable is not None else pal.path,
        tried=list(pal.tried),
        entries=pal.entry_count if unusable is None else None,
        problem=unusable if unusable is not None else pal.problem,
    )
    # Only the last record begun can be cut short.
    frames = native_report.frames
    frames_read = len(frames) - (1 if len(frames) and not frames[-1].whole else 0)
    return LoadReport(
        path=path,
        status=status.label(counts),
        findings=results.with_causes(findings),
        counts=counts,
        frames_read=frames_read,
        frames_announced=native_report.frames_wanted,
        palette=palette,
    )


def inspect(path: PathArg, palette: Optional[PathArg] = None) -> LoadReport:
    """Loads the animation file at `path` as `orvtool info` does and returns
    what the load found, printing nothing. `palette` names the palette file
    (in any format orvtool reads); without it, the palette the file names is
    searched for from the file's folder, the path made absolute first.
    A file whose head and size allow more frame records than orvtool reads
    is refused before any is read: its report holds the one finding
    `too_many_frames` (`load_frames` and the Pillow plugin raise
    `TooManyFrames`, which carries the same report)."""
    from orvtool.core import native
    from orvtool.load.loading import _readable_palette

    text = os.fsdecode(path)
    name = os.path.abspath(text)
    given = os.fsdecode(palette) if palette is not None else None
    try:
        if given is None:
            return report_of(native.load_report(name, None, records=False), text)
        with _readable_palette(given) as (io_pal, _converted, unusable):
            report = native.load_report(name, io_pal, records=False)
        return report_of(report, text, given, unusable)
    except TooManyFrames as refused:  # said as what the load found
        return refused.report._replace(path=text, palette=refused.report.palette._replace(given=given))
