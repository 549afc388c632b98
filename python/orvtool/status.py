"""Exit statuses, what a run says on its way, and the one wrapper that turns
a command's errors into statuses.

Standard output carries results ("wrote ..." lines, info's text and JSON);
standard error carries errors, notes and, with --verbose, details. --quiet
keeps errors only.
"""

from __future__ import annotations

import os
import signal
import sys
import traceback
from typing import Callable, Optional, TextIO

from .errors import OrvToolError, UsageError

PROG = "orvtool"

SUCCESS = 0
ERROR = 1  # some input or output failed
USAGE = 2  # the command line is wrong (argparse uses it as well)
INTERRUPTED = 128 + signal.SIGINT
BROKEN_PIPE = 128 + signal.SIGPIPE  # the reader of standard output went away

QUIET, NORMAL, VERBOSE = 0, 1, 2
level = NORMAL


def set_level(quiet: bool = False, verbose: bool = False) -> None:
    global level
    level = QUIET if quiet else VERBOSE if verbose else NORMAL


def say_error(where: str, message: str, stream: Optional[TextIO] = None) -> None:
    """The one line that names a file and what went wrong with it."""
    print(f"{PROG}: {where}: {message}", file=stream or sys.stderr)


def note_line(where: str, text: str) -> Optional[str]:
    """A note about a file, unless --quiet."""
    return f"{PROG}: {where}: note: {text}" if level >= NORMAL else None


def detail_line(where: str, text: str) -> Optional[str]:
    """A detail behind a note, with --verbose only."""
    return f"{PROG}: {where}: {text}" if level >= VERBOSE else None


def result_line(text: str) -> Optional[str]:
    """A line on standard output saying what was done, unless --quiet."""
    return text if level >= NORMAL else None


def _quiet_stdout() -> None:
    """After the reader of standard output went away: later writes, and the
    flush when the interpreter ends, go nowhere, so that leaving does not fail
    again. What the old stream still buffers is dropped with it."""
    sys.stdout = open(os.devnull, "w", encoding="utf-8")  # noqa: SIM115 - lives until exit


def internal_error(exc: BaseException) -> str:
    """What an unexpected failure says: what it was, and whom to tell."""
    if isinstance(exc, MemoryError):
        what = "out of memory"
    elif isinstance(exc, RecursionError):
        what = "input nested too deeply"
    else:
        text = str(exc).splitlines()[0][:200] if str(exc) else ""
        what = f"{type(exc).__name__}: {text}" if text else type(exc).__name__
    return f"internal error: {what} (please report; --debug shows the traceback)"


def run_command(command: Callable[[], int], debug: bool = False) -> int:
    """Runs a command and returns its exit status; an error that escapes it
    becomes one line on standard error and the matching status. A closed
    pipe on standard output ends the run quietly, as it ends other tools.
    Anything unexpected is one line as well, its traceback shown only when
    `debug`."""
    try:
        code = int(command())
        sys.stdout.flush()
        return code
    except BrokenPipeError:
        _quiet_stdout()
        return BROKEN_PIPE
    except UsageError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return USAGE
    except OrvToolError as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return ERROR
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return INTERRUPTED
    except Exception as exc:  # MemoryError and RecursionError among them
        if debug:
            traceback.print_exc()
        print(f"{PROG}: {internal_error(exc)}", file=sys.stderr)
        return ERROR
