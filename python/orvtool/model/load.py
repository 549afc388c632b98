"""What loading one animation file found, as data: the public load report
(`orvtool.inspect` returns one, `LoadFailed` carries one).

Each finding is an `orvtool.model.findings.Finding` with its category and its
severity by orvtool's one table of severities; the frames read against those
the file announces; and the palette as the file stores it and as the load
resolved it.
"""

from __future__ import annotations

from typing import Dict, List, NamedTuple, Optional

from orvtool.model.findings import Finding

FAILED = "failed"  # the status of a load that fails (see `orvtool.report.status`)
ERROR = "error"  # the severity that fails a load
TOO_MANY_FRAMES = "too_many_frames"


class PaletteInfo(NamedTuple):
    """The palette of a load: as the file stores it and as it was resolved."""

    stored: str  # the location the file stores ("" when the head was not read whole)
    given: Optional[str]  # the palette the caller named; None when it was searched for
    resolved: Optional[str]  # the palette file the load read; None when none was found
    tried: List[str]  # the places the search looked, in order (none with a palette given)
    entries: Optional[int]  # the colours the palette file holds; None when it was not read
    problem: Optional[str]  # why no palette was loaded; None when one was


class LoadReport(NamedTuple):
    """What one load found. `status` is "ok", "problems" (warnings only) or
    "failed" (a finding of severity error)."""

    path: str
    status: str
    findings: List[Finding]  # the first few hundred of each category, in order
    counts: Dict[str, int]  # every finding counted, by category
    frames_read: int  # frame records read whole
    frames_announced: int  # frame records the head announces (the background frame included)
    palette: PaletteInfo

    @property
    def failed(self) -> bool:
        return self.status == FAILED

    @property
    def failure(self) -> Optional[str]:
        """Why the load fails, None when it does not: a file cut short first,
        then the first finding of severity error."""
        failing = [f for f in self.findings if f.severity == ERROR]
        if not failing:
            return None
        cut = [f for f in failing if f.category == "frames_cut_short"]
        return (cut or failing)[0].text


def refused_report(path: str, detail: str, records: int, given: Optional[str] = None) -> LoadReport:
    """The report of a file refused before any of its frame records is read
    (see `TooManyFrames`): its one finding, no frame read, and as announced
    the records its head and size allow."""
    finding = Finding(TOO_MANY_FRAMES, detail)
    return LoadReport(
        path=path,
        status=FAILED,
        findings=[finding],
        counts={finding.category: 1},
        frames_read=0,
        frames_announced=records,
        palette=PaletteInfo(stored="", given=given, resolved=None, tried=[], entries=None, problem=None),
    )
