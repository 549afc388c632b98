"""The exceptions that orvtool raises for bad input and failed output."""

from __future__ import annotations

import re

# Control characters, which a name read from a document may hold: shown
# escaped, so that every message stays one line.
_CONTROL = re.compile(r"[\x00-\x1f\x7f]")


def one_line(text: str) -> str:
    """`text` with its line breaks and other control characters escaped."""
    return _CONTROL.sub(lambda m: repr(m.group())[1:-1], text)


class OrvToolError(Exception):
    """A problem with one input or output file, as a finding: its category
    (a name of `status`'s table), the file it concerns (`where`, when the
    raiser knows it better than the caller) and what went wrong (`detail`,
    which names no file). `str()` gives both, the file first."""

    def __init__(self, detail: str, where: str = "", category: str = "refused") -> None:
        super().__init__(detail)
        self.where = where
        self.category = category

    @property
    def detail(self) -> str:
        return one_line(str(self.args[0]) if self.args else "")

    def __str__(self) -> str:
        return f"{one_line(self.where)}: {self.detail}" if self.where else self.detail


class UsageError(OrvToolError):
    """Options that cannot work together or values out of range: the command
    line is wrong, whatever the files hold."""


class FileFailed(OrvToolError):
    """A file that fails (a finding of severity error) after its task made
    something to show: `result` is what was read of it."""

    def __init__(self, message: str, result: object) -> None:
        super().__init__(message)
        self.result = result
