"""`orvtool build --watch`: build once, then again each time a source changes.

The changes come from `watchfiles`, which uses the platform's notifications
(inotify, FSEvents, ReadDirectoryChangesW) and polls where they cannot be had.
They arrive in batches; `Debouncer` turns batches into builds: a build starts
once no change has come for `QUIET` seconds, so that one save of several files
(an editor writing an image and then its JSON, or a whole folder of frames)
gives one build. It is fed the time with each batch and holds no clock of its
own, so that what it decides follows from what it is fed alone.

A build runs the command's own route (`commands.build`), so it says what a
single build says; a failed one writes nothing, and the output of the last
good one stays as it was. After the first build, a build replaces the outputs
that the watch itself writes, unless the output was there before the watch
began without --force.
"""

from __future__ import annotations

import argparse
import itertools
import os
import sys
import threading
import time
import traceback
from dataclasses import dataclass, field
from typing import Callable, Iterable, Iterator, List, Optional, Sequence, Set, TextIO, Tuple

from orvtool.model.errors import OrvToolError, UsageError
from orvtool.report import status
from orvtool.report.status import PROG

# Seconds without a change before a build starts.
QUIET = 0.3
# How often the watch wakes without a change, in milliseconds: the clock that
# lets a pending build start.
TICK_MS = 100
# Beside a sprite sheet's JSON, the files that count as its sources (the
# images it names lie there, as sheet packers write them).
SHEET_FILES = (".json", ".png", ".gif", ".apng", ".webp")
NAMES_SHOWN = 3  # changed files named in a build's line


@dataclass
class Debouncer:
    """Batches of changed paths in, sets of paths to build for out."""

    quiet: float = QUIET
    pending: Set[str] = field(default_factory=set)
    last: Optional[float] = None  # when the last change came

    def feed(self, now: float, changed: Iterable[str]) -> Optional[Set[str]]:
        """One batch (empty when the watch woke without a change) at the time
        `now`; the paths to build for when the build is due, else None."""
        changed = set(changed)
        if changed:
            self.pending |= changed
            self.last = now
            return None
        if self.pending and self.last is not None and now - self.last >= self.quiet:
            due, self.pending, self.last = self.pending, set(), None
            return due
        return None


@dataclass(frozen=True)
class Sources:
    """What a build reads: whole folders, and files looked for by path (a
    file is watched through its folder, since editors often save by writing a
    new file over the old one). Paths under `outputs` are never sources."""

    folders: Tuple[str, ...]
    files: Tuple[str, ...]
    outputs: Tuple[str, ...]
    beside: Tuple[str, ...] = ()  # folders whose sheet files (SHEET_FILES) count

    def roots(self) -> List[str]:
        """The folders to watch, each once, none below another."""
        wanted = sorted({*self.folders, *(os.path.dirname(f) or os.curdir for f in self.files), *self.beside})
        wanted = [os.path.abspath(w) for w in wanted]
        return [w for w in wanted if not any(w != o and _under(w, o) for o in wanted)]

    def wants(self, path: str) -> bool:
        path = os.path.abspath(path)
        if any(_under(path, o) for o in self.outputs):
            return False
        if os.path.basename(path).startswith(".") or path.endswith(("~", ".tmp", ".part")):
            return False  # an editor's or our own temporary file: its rename is what counts
        if path in self.files or any(_under(path, f) for f in self.folders):
            return True
        folder = os.path.dirname(path)
        return folder in self.beside and path.lower().endswith(SHEET_FILES)


def _under(path: str, folder: str) -> bool:
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


def sources_of(args: argparse.Namespace) -> Sources:
    """The sources of the build that `args` asks for."""
    folders, files, beside = [], [], []
    for path in args.paths:
        full = os.path.abspath(path)
        if os.path.isdir(full):
            folders.append(full)
        else:
            files.append(full)
            if full.lower().endswith(".json"):
                beside.append(os.path.dirname(full))
    outputs = [os.path.abspath(args.output)]
    palette = getattr(args, "palette", None)
    if palette:
        full = os.path.abspath(palette)
        # A palette the build writes or grows is an output; one it only
        # matches against is a source.
        if args.quantize is not None or args.add_colors or not os.path.exists(full):
            outputs += [full, os.path.splitext(full)[0] + ".pal"]
        else:
            files.append(full)
    return Sources(tuple(folders), tuple(files), tuple(outputs), tuple(beside))


def changes(
    sources: Sources, stop: threading.Event, force_polling: Optional[bool] = None
) -> Iterator[Tuple[float, Set[str]]]:
    """(time, changed source paths) batches, an empty one at least every
    TICK_MS; the notifications of the platform where they work, else polling."""
    import watchfiles

    def wanted(_change: "watchfiles.Change", path: str) -> bool:
        return sources.wants(path)

    stream = watchfiles.watch(
        *sources.roots(),
        watch_filter=wanted,
        debounce=TICK_MS,
        step=20,
        rust_timeout=TICK_MS,
        yield_on_timeout=True,
        stop_event=stop,
        force_polling=force_polling,
        poll_delay_ms=200,
    )
    for batch in stream:
        yield time.monotonic(), {path for _, path in batch}


def describe(changed: Sequence[str], roots: Sequence[str] = ()) -> str:
    """The changed files, named from the folder watched that holds them."""

    def name(path: str) -> str:
        root = next((r for r in roots if _under(path, r)), os.path.dirname(path))
        return os.path.relpath(path, root)

    names = sorted(name(p) for p in changed)
    shown = ", ".join(names[:NAMES_SHOWN])
    more = len(names) - NAMES_SHOWN
    return shown + (f" and {more} more" if more > 0 else "")


class Rebuild:
    """The builds of one watch: `rebuild(reason)` builds with `build(args)`
    and says how it went in one line to `out`. A command line that is wrong
    ends the watch at its first build (UsageError: status 2); any other
    failure of a build, whatever it raises, is said and the watch goes on
    (a source half saved now may be whole at the next save)."""

    def __init__(self, args: argparse.Namespace, build: Callable[[argparse.Namespace], int], out: TextIO) -> None:
        self.args, self.build, self.out = args, build, out
        self.count = 0
        # Replace only what this watch writes: an output there before without
        # -f is refused by every build, as by one.
        self.replace = args.force or not os.path.lexists(args.output)

    def __call__(self, reason: str) -> int:
        self.count += 1
        try:
            code = self.build(self.args)
        except OrvToolError as exc:  # a source gone for a moment, say: the next save may bring it back
            if self.count == 1 and isinstance(exc, UsageError):
                raise
            status.say_error(self.args.output, str(exc))
            code = status.ERROR
        except Exception as exc:  # a fault in one build: said, and the watch goes on
            if getattr(self.args, "debug", False):
                traceback.print_exc()
            status.say_error(self.args.output, status.internal_error(exc))
            code = status.ERROR
        self.args.force = self.replace
        outcome = "built" if code == 0 else "failed; what failed keeps the output of its last good build"
        print(f"{PROG}: build {self.count} ({reason}): {outcome}", file=self.out, flush=True)
        return code


def watch(
    args: argparse.Namespace,
    build: Callable[[argparse.Namespace], int],
    out: TextIO = sys.stderr,
    stop: Optional[threading.Event] = None,
    force_polling: Optional[bool] = None,
) -> int:
    """Builds with `build(args)`, then again after each change of a source,
    until interrupted (KeyboardInterrupt goes to the caller: status 130, or
    143 after SIGTERM) or `stop` is set. Returns the status of the last build."""
    stop = stop or threading.Event()
    sources = sources_of(args)
    once = Rebuild(args, build, out)
    try:
        # Watching begins before the first build: a save made meanwhile counts.
        try:
            batches = started(changes(sources, stop, force_polling))
        except OSError as exc:  # no notifications to be had (too many watches, say): poll
            if force_polling:
                raise
            print(status.one_line(f"{PROG}: watching by polling: {exc}"), file=out, flush=True)
            batches = started(changes(sources, stop, True))
        code = once("start")
        print(status.one_line(f"{PROG}: watching {', '.join(sources.roots())} (Ctrl-C to stop)"), file=out, flush=True)
        return follow(batches, once, code, sources.roots())
    except KeyboardInterrupt as exc:
        raise KeyboardInterrupt(str(exc) or f"stopped watching after {status.count(once.count, 'build')}") from None


def started(batches: Iterator[Tuple[float, Set[str]]]) -> Iterator[Tuple[float, Set[str]]]:
    """The batches, their watch set up already (the first one taken and put back)."""
    first = next(batches, None)
    return itertools.chain([first] if first is not None else [], batches)


def follow(
    batches: Iterable[Tuple[float, Set[str]]], once: Callable[[str], int], code: int, roots: Sequence[str] = ()
) -> int:
    """A build by `once` for each set of changes the batches settle into."""
    debouncer = Debouncer()
    for now, changed in batches:
        due = debouncer.feed(now, changed)
        if due:
            code = once(describe(sorted(due), roots) + " changed")
    return code
