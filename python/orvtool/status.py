"""Exit statuses, and the one wrapper that turns a command's errors into them."""

from __future__ import annotations

import sys
from typing import Callable

from .errors import OrvToolError, UsageError

PROG = "orvtool"

SUCCESS = 0
ERROR = 1  # some input or output failed
USAGE = 2  # the command line is wrong (argparse uses it as well)
INTERRUPTED = 130  # 128 + SIGINT


def say_error(where: str, message: str) -> None:
    """The one line that names a file and what went wrong with it."""
    print(f"{PROG}: {where}: {message}", file=sys.stderr)


def run_command(command: Callable[[], int]) -> int:
    """Runs a command and returns its exit status; an error that escapes it
    becomes one line on standard error and the matching status."""
    try:
        return int(command())
    except UsageError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return USAGE
    except OrvToolError as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return ERROR
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return INTERRUPTED
