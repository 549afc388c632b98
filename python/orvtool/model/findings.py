"""One finding: something orvtool or the core found about one file, as data.

Every route carries what it found as `Finding` values, from the load of a
file to the edge: the load report of `orvtool.inspect`, the objects of
`info --json` and `--report`, the outcomes of a batch, the viewer's
documents. A finding holds its category (a name of the table in
`orvtool.report.status`, which gives its severity), the file it concerns (`where`),
the frame, row and colour index it concerns, what was found (`detail`, which
names neither the file nor the frame) and, in a report, the category of the
finding it follows from (`caused_by`). Text is made from these fields only
where it is shown: `text` and `about` give the words, `status` makes the
lines of the terminal (escaping control characters with `one_line`), and
`results` writes the JSON objects (`as_dict`).

This module imports nothing of orvtool's at its start, so that anything may
import it (the command line starts without the native module).
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import Callable, Dict, Literal, NamedTuple, Optional, Protocol, Sequence, Tuple, Union

# Control characters (C0, DEL and C1), which a name or a text read from a
# file may hold: shown escaped, so that every line stays one line and a
# terminal takes none of them as a command.
_CONTROL = re.compile(r"[\x00-\x1f\x7f-\x9f]")


def one_line(text: str) -> str:
    """`text` with its line breaks and other control characters escaped as
    Python writes them (``\\n``, ``\\x1b``); any other text unchanged."""
    return _CONTROL.sub(lambda m: repr(m.group())[1:-1], text)


def located(message: str, frame: Optional[int], row: Optional[int]) -> str:
    """A message led by the frame and row it concerns, where it does not name them."""
    where = []
    for name, value in (("frame", frame), ("row", row)):
        if value is not None and not re.search(rf"\b{name} {value}\b", message, re.IGNORECASE):
            where.append(f"{name} {value}")
    return f"{', '.join(where)}: {message}" if where else message


class Named(NamedTuple):
    """A path that a message names, which each place that shows the message
    shows in its own way: a file, a folder, or a palette location as stored
    (which the search takes from the animation's folder)."""

    path: str
    kind: Literal["file", "folder", "location"] = "file"


# A message as its text and the paths it names, in order.
Piece = Union[str, Named]
Show = Callable[[Named], str]


def as_is(named: Named) -> str:
    """A path shown as the command line shows it: as the loader had it."""
    return named.path


def said(pieces: Sequence[Piece], show: Show = as_is) -> str:
    """The text of a message, each path it names shown by `show`."""
    return "".join(p if isinstance(p, str) else show(p) for p in pieces)


@dataclass(frozen=True)
class Finding:
    """One finding: `category` to branch on (a name of the table of
    severities, which gives `severity`: "error", "warning" or "note"), what
    was found (`detail`, also as `message`), the file it concerns (`where`,
    empty where the file is the one the finding is listed under), the frame,
    row and colour index (or entry count) it concerns, each None where it
    does not apply, and `caused_by`: the category of the finding of the same
    file that this one follows from (None for a root). `text` gives the
    detail led by the frame and row; `str()` the detail alone."""

    category: str
    detail: str = ""
    where: str = ""
    frame: Optional[int] = None
    row: Optional[int] = None
    index: Optional[int] = None
    caused_by: Optional[str] = None
    #: The detail as its text and the paths it names (`Named`), for a place
    #: that shows paths its own way (the viewer, by `said`); empty when the
    #: detail is given as text alone.
    pieces: Tuple[Piece, ...] = field(default=(), compare=False, repr=False)

    @property
    def severity(self) -> str:
        return _table.severity(self.category)

    @property
    def message(self) -> str:
        """The detail (the name the load report has always given it)."""
        return self.detail

    @property
    def text(self) -> str:
        """The detail, led by the frame and row it concerns where it does not name them."""
        return located(self.detail, self.frame, self.row)

    def about(self, path: str = "", *, frame: bool = True) -> str:
        """What it says in a place that names `path` already: its own file
        first where that is another, then (with `frame`) the frame and row,
        then the detail."""
        text = self.text if frame else self.detail
        return f"{self.where}: {text}" if self.where and self.where != path else text

    def said(self, show: Show) -> str:
        """The detail, each path it names shown by `show`."""
        return said(self.pieces, show) if self.pieces else self.detail

    def line(self, where: str = "") -> Optional[str]:
        """The line that says it, naming `where` (else its own file), or None
        when the level of output keeps it back (see `status.finding_line`)."""
        return _table.line(self, where)

    def as_dict(self, path: str = "") -> Dict[str, Union[str, int, None]]:
        """The finding as a JSON object of `info --json` and `--report` (whose
        object names `path`): its own file leads the message where it is
        another."""
        return {
            "category": self.category,
            "severity": self.severity,
            "message": self.about(path, frame=False),
            "frame": self.frame,
            "row": self.row,
            "index": self.index,
            "caused_by": self.caused_by,
        }

    def _asdict(self) -> Dict[str, Union[str, int, None]]:
        """`as_dict`, by the name it had when findings were named tuples."""
        return self.as_dict()

    def __str__(self) -> str:
        return self.detail


class Table(Protocol):
    """What the table of severities (`orvtool.report.status`) answers of a
    finding; it gives itself here when it is imported, so that this module,
    below it, imports nothing of it."""

    def severity(self, category: str) -> str: ...

    def line(self, finding: Finding, where: str) -> Optional[str]: ...


class _Unset:
    """The table before it is given: importing the package gives it."""

    def severity(self, category: str) -> str:
        raise RuntimeError("the table of severities is not loaded (import orvtool)")

    def line(self, finding: Finding, where: str) -> Optional[str]:
        raise RuntimeError("the table of severities is not loaded (import orvtool)")


_table: Table = _Unset()


def use_table(table: Table) -> None:
    """Called by the table of severities as it is imported."""
    global _table
    _table = table
