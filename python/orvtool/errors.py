"""The exceptions that orvtool raises for bad input and failed output."""

from __future__ import annotations


class OrvToolError(Exception):
    """A problem with one input or output file; the message names no file,
    the caller puts the file's name in front of it."""


class UsageError(OrvToolError):
    """Options that cannot work together or values out of range: the command
    line is wrong, whatever the files hold."""


class FileFailed(OrvToolError):
    """A file that fails (a finding of severity error) after its task made
    something to show: `result` is what was read of it."""

    def __init__(self, message: str, result: object) -> None:
        super().__init__(message)
        self.detail = result
        self.result = result
