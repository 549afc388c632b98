"""SIGTERM taken as Ctrl-C, and the one wrapper that turns a command's
errors into exit statuses (`run_command`).

A run ended by SIGTERM (a service manager stopping it, a CI step's timeout,
`kill`) ends as Ctrl-C ends it: the files begun are finished or removed, the
files finished are reported, and the run exits with 128 + SIGTERM. The
handler does at each moment what Ctrl-C does then, by calling whatever
handles SIGINT at that moment: a batch that finishes reporting a file first,
a worker process between files, or Python's own KeyboardInterrupt.
"""

from __future__ import annotations

import contextlib
import signal
import threading
from types import FrameType
from typing import Callable, Iterator, Optional

from orvtool.model.errors import OrvToolError, UsageError
from orvtool.report import status as report_status

# The signal that interrupted the run.
stopped_by = signal.SIGINT


def as_interrupt(signum: int, frame: Optional[FrameType]) -> None:
    """A signal handler: the signal does what Ctrl-C would do now."""
    global stopped_by
    stopped_by = signal.Signals(signum)
    handler = signal.getsignal(signal.SIGINT)
    if callable(handler):
        handler(signal.SIGINT, frame)
    else:  # SIGINT ignored (a background job) or left to the system: stop all the same
        raise KeyboardInterrupt


@contextlib.contextmanager
def handled(signum: int, handler: Callable[[int, Optional[FrameType]], None]) -> Iterator[None]:
    """`handler` takes `signum` while the block runs. Only the main thread
    handles signals: elsewhere the block runs as it is."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signum, handler)
    try:
        yield
    finally:
        signal.signal(signum, previous)


@contextlib.contextmanager
def terminated_as_interrupted() -> Iterator[None]:
    """SIGTERM taken as Ctrl-C while the block runs (in the main thread)."""
    global stopped_by
    stopped_by = signal.SIGINT
    with handled(signal.SIGTERM, as_interrupt):
        yield


def status() -> int:
    """The exit status of a run interrupted by `stopped_by`."""
    return 128 + int(stopped_by)


def run_command(
    command: Callable[[], int], debug: bool = False, env: Optional[report_status.Environment] = None
) -> int:
    """Runs a command and returns its exit status; an error that escapes it
    becomes one line on the standard error of `env` (the command's in
    progress when None) and the matching status. A closed pipe on standard
    output ends the run quietly, as it ends other tools. SIGTERM ends it as
    Ctrl-C does, with its own status. Anything unexpected is one line as
    well, its traceback shown only when `debug`."""
    env = env or report_status.current()
    try:
        with terminated_as_interrupted():
            code = int(command())
            env.out.flush()
            return code
    except BrokenPipeError:
        report_status._quiet_stdout()
        return report_status.BROKEN_PIPE
    except UsageError as exc:
        report_status.run_line(f"error: {exc}", env=env)
        return report_status.USAGE
    except OrvToolError as exc:
        report_status.run_line(str(exc), env=env)
        return report_status.ERROR
    except KeyboardInterrupt as exc:
        report_status.run_line(str(exc) or "interrupted", env=env)
        return status()
    except Exception as exc:  # MemoryError and RecursionError among them
        if debug:
            import traceback

            traceback.print_exc(file=env.err)
        report_status.run_line(report_status.internal_error(exc), env=env)
        return report_status.ERROR
