"""The exceptions that orvtool raises, in one tree under `OrvToolError`.

::

    OrvToolError (Exception)          an input orvtool cannot use, an output it cannot write
    ├── UsageError                    the command line is wrong, whatever the files hold
    ├── FileFailed                    a file that fails after its task made something to show
    └── LoadFailed (also OSError)     a load that fails: `report` says what it found
        └── TooManyFrames             a file refused before its records are read

Each carries what it found as data: `findings` (`orvtool.model.findings.Finding`
values; the first is the refusal itself, with its category, file, frame and
detail), and `LoadFailed` the whole load report. `str()` gives the one line
that says it, its file first.

`LoadFailed` is also an OSError: a file that cannot be loaded is damaged or
unusable as a file, which is what Pillow's own plugins raise OSError for, and
what `PIL.Image.open` raises for an animation file (`orvtool.pillow`), so that
code written for any image format catches it. The others are not: a wrong
option or a refused output is no fault of a file.

Every one pickles with its data and copies (`copy.copy`): an exception
raised in a worker process (`multiprocessing`, `concurrent.futures`) reaches
its parent whole, report and findings included.
"""

from __future__ import annotations

from typing import Dict, Optional, Sequence, Tuple, Type, TypeVar

from orvtool.model.findings import Finding, located, one_line
from orvtool.model.load import LoadReport, refused_report

__all__ = ["OrvToolError", "UsageError", "FileFailed", "LoadFailed", "TooManyFrames", "one_line"]

E = TypeVar("E", bound=BaseException)


def _rebuilt(cls: Type[E], args: Tuple[object, ...], state: Dict[str, object]) -> E:
    """An exception as pickled: its class, its arguments and its data, put
    back without calling `__init__` (whose parameters are not its `args`)."""
    exc = cls.__new__(cls)
    exc.args = args
    exc.__dict__.update(state)
    return exc


class OrvToolError(Exception):
    """A problem with one input or output file, as a finding: its category
    (a name of `status`'s table), the file it concerns (`where`, when the
    raiser knows it better than the caller), the frame and row it concerns
    and what went wrong (`detail`, which names neither). `str()` gives them
    all, the file first, on one line."""

    def __init__(
        self,
        detail: str,
        where: str = "",
        category: str = "refused",
        *,
        frame: Optional[int] = None,
        row: Optional[int] = None,
    ) -> None:
        super().__init__(detail)
        #: The file it concerns, where the raiser names it ("" where the caller does).
        self.where = where
        #: A name of the table of findings (`orvtool.report.status`).
        self.category = category
        #: The frame it concerns, None where it concerns no one frame.
        self.frame = frame
        #: The row of that frame it concerns, None where it concerns no one row.
        self.row = row

    @property
    def detail(self) -> str:
        """What went wrong, as given (the printers escape it)."""
        return str(self.args[0]) if self.args else ""

    @property
    def finding(self) -> Finding:
        """The refusal as a finding."""
        return Finding(self.category, self.detail, self.where, self.frame, self.row)

    @property
    def findings(self) -> Sequence[Finding]:
        """What it found: the refusal first."""
        return (self.finding,)

    @property
    def text(self) -> str:
        """All it says, its file first, as given (`str()` escapes it to one line)."""
        text = located(self.detail, self.frame, self.row)
        return f"{self.where}: {text}" if self.where else text

    def __str__(self) -> str:
        return one_line(self.text)

    def __reduce__(self) -> Tuple[object, ...]:
        return (_rebuilt, (type(self), self.args, dict(self.__dict__)))


class UsageError(OrvToolError):
    """Options that cannot work together or values out of range: the command
    line is wrong, whatever the files hold (exit status 2)."""

    def __init__(self, detail: str, where: str = "", category: str = "option_invalid") -> None:
        super().__init__(detail, where, category)


class FileFailed(OrvToolError):
    """A file that fails (a finding of severity error) after its task made
    something to show: `result` is what was read of it (its findings
    among it), `category` that of the finding it fails by."""

    def __init__(self, message: str, result: object, category: str = "refused") -> None:
        super().__init__(message, category=category)
        #: What was read of the file.
        self.result = result

    @property
    def findings(self) -> Sequence[Finding]:
        found = self.result.get("findings") if isinstance(self.result, dict) else getattr(self.result, "findings", None)
        return tuple(found or ()) or (self.finding,)


class LoadFailed(OrvToolError, OSError):
    """A load that fails (`orvtool.load_frames(..., strict=True)`, the
    Pillow plugin): `report` says everything it found (see
    `orvtool.inspect`); `findings` are the report's; `category` is the
    category of why it fails."""

    def __init__(self, report: "LoadReport") -> None:
        reason = report.failure or "nothing was rendered"
        first = next((f for f in report.findings if f.text == reason), None)
        super().__init__(reason, report.path, first.category if first is not None else "refused")
        #: The load report (see `orvtool.inspect`).
        self.report = report

    @property
    def findings(self) -> Sequence[Finding]:
        return tuple(self.report.findings)

    @property
    def text(self) -> str:
        return f"{self.where}: {self.detail}"


class TooManyFrames(LoadFailed):
    """An animation file refused before any frame record is read: its head
    and size allow more frame records than orvtool reads. `report` holds its
    one finding, `too_many_frames`."""

    def __init__(self, path: str, detail: str, records: int) -> None:
        super().__init__(refused_report(path, detail, records))
