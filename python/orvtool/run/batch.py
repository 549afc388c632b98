"""Running one task over many files: discovery, worker processes, progress.

A failing file never stops the batch: its task returns an error message,
which the caller reports. A worker process that dies (for example inside the
native module) fails only the files it was given: the files whose results are
missing are tried again one at a time, each in a process of its own.

Ctrl-C ends a batch promptly: the tasks running are interrupted (a task
removes what it wrote of its file), the files not yet begun are left, and
`Interrupted` says how far the batch got. Worker processes ignore the
signal between tasks, so that none dies with a traceback while it waits.
SIGTERM does the same (see `interrupts`): a worker takes it as Ctrl-C, and
an interrupted batch passes the interrupt on to its workers, which a signal
sent to this process alone does not reach.

Worker processes end with the process that started them, however it ends
(SIGKILL included): on Linux the system sends them SIGTERM when it goes
(PR_SET_PDEATHSIG), elsewhere a thread of theirs watches for it; a worker
that finds itself orphaned finishes or removes the file it is writing and
exits, so that none is left holding the run's standard output, standard
error or report file. The report file (and any file registered with
`keep_from_workers`) is written by this process alone: workers close their
copies.

Worker processes are started only when they pay for themselves: a batch
begins in this process, and once it has worked for PROBE_SECONDS the time its
files took so far gives the time of the rest; only when running the rest in
parallel would save more than starting the workers costs are they started,
for the files that are left. Those files go to the workers in chunks, so
that a cheap task does not spend its time on one message per file. Files
worked on in this process are not protected from a crash of the process.
"""

from __future__ import annotations

import contextlib
import fnmatch
import math
import os
import re
import signal
import sys
import threading
import time
from typing import (
    TYPE_CHECKING,
    Callable,
    Dict,
    List,
    NamedTuple,
    Optional,
    ParamSpec,
    Protocol,
    Sequence,
    TextIO,
    Tuple,
    Union,
)

from orvtool.formats.folders import walk
from orvtool.model.errors import FileFailed, OrvToolError
from orvtool.model.findings import Finding
from orvtool.report import results, status
from orvtool.report.status import PROG
from orvtool.run import interrupts

if TYPE_CHECKING:
    from concurrent.futures import Future, ProcessPoolExecutor
    from types import FrameType

    from typing_extensions import TypeVarTuple, Unpack

    # The arguments a task takes after its job.
    Args = TypeVarTuple("Args")

    # A task gives (value, notes) or (value, notes, the categories of its findings);
    # a value may name them itself (`categories`).
    TaskResult = Union[Tuple[object, Sequence[Finding]], Tuple[object, Sequence[Finding], Sequence[str]]]
    # A task: `task(job, *args)`.
    Task = Callable[["Job", Unpack[Args]], TaskResult]

    class Say(Protocol):
        """Prints a line (to standard error unless a stream is given) without
        breaking the progress bar."""

        def __call__(self, line: str, stream: Optional[TextIO] = None) -> None: ...

    class _Bar(Protocol):
        """What a batch reports its progress to (tqdm's bar, or none)."""

        def update(self, n: int = 1, /) -> object: ...
        def close(self) -> None: ...
        def write(self, s: str, /, file: TextIO) -> None: ...

    # A handler of a signal, as `signal.signal` takes and gives it.
    Handler = Union[Callable[[int, Optional[FrameType]], object], int, None]
    _P = ParamSpec("_P")

DEFAULT_PATTERN = "*.orv"
# Seconds of work in this process before the batch decides on workers: the
# pace of the files done so far gives the time of the rest.
PROBE_SECONDS = 0.03
# Seconds that starting workers costs, with a margin: the pool's modules
# (concurrent.futures, multiprocessing) once, 5 to 20 ms measured; and per
# worker a fork (the task's modules are imported by then), about 4 ms
# measured to its first result, and its stop, 1 to 2 ms.
POOL_START_SECONDS = 0.03
WORKER_START_SECONDS = 0.01
# Chunks per worker the files left are cut into: few enough to keep the
# messages cheap, enough that the workers end together; and a chunk holds
# no more than about CHUNK_SECONDS of work, so that files are reported as
# they finish.
CHUNKS_PER_WORKER = 8
CHUNK_SECONDS = 0.25


class CostModel(NamedTuple):
    """What the decision to start workers weighs: the clock that times the
    files done in this process, how long it probes, and what starting the
    pool and each worker costs, in seconds."""

    clock: Callable[[], float] = time.perf_counter
    probe: float = PROBE_SECONDS
    pool_start: float = POOL_START_SECONDS
    worker_start: float = WORKER_START_SECONDS


MEASURED = CostModel()  # this machine's clock, and the costs measured above


class Job(NamedTuple):
    source: str  # the input file
    rel: str  # where it lies below the folder it was found in (its name for a file given directly)


class Outcome(NamedTuple):
    """What a task made of one file: done (`ok`), with its value and notes,
    or failed, with the finding it failed by (`failure`: its category, the
    file it names where that is not the job's, the frame and the detail;
    text is made of it where it is shown)."""

    job: Job
    ok: bool
    value: object = None
    failure: Optional[Finding] = None  # why it failed
    notes: Sequence[Finding] = ()
    shown: bool = False  # failed, with what was read of the file in value
    skipped: bool = False  # its outputs are complete and newer than it: left as they are
    categories: Sequence[str] = ()  # the categories of its findings (see status.FINDINGS)

    def severity(self, strict: bool = False) -> str:
        """The worst severity of its findings, the finding it failed by among
        them (with `strict`, a warning counts as an error)."""
        worst = status.worst([*self.categories, *((self.failure.category,) if self.failure is not None else ())])
        return status.ERROR_SEVERITY if strict and worst == status.WARNING else worst

    def counted(self, strict: bool = False) -> bool:
        """Whether it counts among a batch's failures, by the table's consequences."""
        return status.CONSEQUENCES[self.severity(strict)].counted


def failed(job: Job, finding: Finding, value: object = None) -> Outcome:
    """The outcome of a file that failed by `finding`."""
    return Outcome(job, False, value, failure=finding, categories=(finding.category,))


class Interrupted(KeyboardInterrupt):
    """Ctrl-C during a batch; the message says how far it got."""


def discover(paths: Sequence[str], pattern: str = DEFAULT_PATTERN) -> Tuple[List[Job], List[Outcome]]:
    """The files to work on: files named directly, and every file below a
    named folder whose name matches `pattern` (case-insensitive), in sorted
    order. Paths that do not exist become failed outcomes."""
    jobs: List[Job] = []
    missing: List[Outcome] = []
    several = len(paths) > 1
    # A file name holds no separator: normcase, which fnmatch applies to the
    # name, leaves its lower case as it is.
    matches = re.compile(fnmatch.translate(os.path.normcase(pattern.lower()))).match
    for path in paths:
        if os.path.isdir(path):
            base = os.path.basename(os.path.normpath(path)) if several else ""
            for root, dirs, files in walk(path):
                dirs.sort()
                # What leads the names of the folder's files, worked out once
                # for them: os.path.join(root, name) and where the file lies
                # below `path`, with `base` in front.
                folder = os.path.join(root, "")
                below = os.path.relpath(root, path)
                rel = base if below == os.curdir else os.path.join(base, below)
                lead = os.path.join(rel, "") if rel else ""
                for name in sorted(files):
                    if matches(name.lower()):
                        jobs.append(Job(folder + name, lead + name))
        elif os.path.exists(path):
            jobs.append(Job(path, os.path.basename(path)))
        else:
            job = Job(path, os.path.basename(path))
            missing.append(failed(job, Finding(status.NO_SUCH_FILE, "no such file or folder")))
    return jobs, missing


# The signals that interrupt a batch, as Ctrl-C does.
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)
# Seconds between a worker's looks at its parent, where the system does not
# signal its end (not Linux).
PARENT_WATCH_SECONDS = 0.5
PR_SET_PDEATHSIG = 1  # Linux's prctl option: a signal for the parent's end
PARENT_DEATH_SIGNAL = sys.platform.startswith("linux")  # the system signals a worker its parent's end


# In a worker process: its parent, and whether an interrupt came (while it
# waited between tasks, or in a task that is cleaning up after it).
_worker = False
_parent: Optional[int] = None
_stopping = False


def _worker_start(parent: Optional[int] = None, closed: Tuple[int, ...] = ()) -> None:
    global _worker, _parent
    _worker = True
    _parent = parent
    for signum in STOP_SIGNALS:
        signal.signal(signum, _interrupted_between_tasks)
    for fd in closed:
        with contextlib.suppress(OSError):
            os.close(fd)
    if parent is not None:
        _end_with_parent()


def _orphaned() -> bool:
    """In a worker: whether the process that started it has ended."""
    if _parent is None:
        return False
    if os.name == "posix":
        return os.getppid() != _parent
    import multiprocessing

    parent = multiprocessing.parent_process()
    return parent is not None and not parent.is_alive()


def _end_with_parent() -> None:
    """Has the system signal this worker when its parent ends (Linux), or a
    thread watch for it; a parent gone already ends it now."""
    if PARENT_DEATH_SIGNAL:
        import ctypes

        try:
            libc = ctypes.CDLL(None, use_errno=True)
            asked = libc.prctl(PR_SET_PDEATHSIG, ctypes.c_ulong(signal.SIGTERM), ctypes.c_ulong(0), 0, 0) == 0
        except (OSError, AttributeError):
            asked = False
        if asked:
            if _orphaned():  # gone before the request: nothing will signal it
                os._exit(128 + signal.SIGTERM)
            return
    threading.Thread(target=_watch_parent, name="orvtool-parent", daemon=True).start()


def _watch_parent() -> None:
    """A worker's thread: once its parent has ended, SIGTERM to itself (on
    Windows the process simply ends there)."""
    while not _orphaned():
        time.sleep(PARENT_WATCH_SECONDS)
    os.kill(os.getpid(), signal.SIGTERM)


def _interrupted_between_tasks(signum: int, frame: Optional[FrameType]) -> None:
    global _stopping
    _stopping = True
    if _orphaned():  # nothing begun, and nobody to take a result
        os._exit(128 + signum)


def _interrupted_in_task(signum: int, frame: Optional[FrameType]) -> None:
    """Interrupts a task once: the signals that follow (Ctrl-C reaches the
    worker, and its parent passes it on) leave its cleaning up alone."""
    global _stopping
    if not _stopping:
        _stopping = True
        raise KeyboardInterrupt


def run_one(task: Task[Unpack[Args]], job: Job, args: Tuple[Unpack[Args]]) -> Outcome:
    if not _worker:
        return _run_task(task, job, args)
    # A worker is interrupted only inside a task, which cleans up after itself;
    # after that it begins no other.
    global _stopping
    for signum in STOP_SIGNALS:
        signal.signal(signum, _interrupted_in_task)
    try:
        if _stopping:
            raise KeyboardInterrupt
        return _run_task(task, job, args)
    except KeyboardInterrupt:
        _stopping = True
        if _orphaned():  # the task has cleaned up; nobody takes its outcome
            os._exit(128 + signal.SIGTERM)
        raise
    finally:
        for signum in STOP_SIGNALS:
            signal.signal(signum, _interrupted_between_tasks)


def _run_task(task: Task[Unpack[Args]], job: Job, args: Tuple[Unpack[Args]]) -> Outcome:
    try:
        made = task(job, *args)
        value, notes = made[0], made[1]
        found = [note.category for note in notes]
        found += made[2] if len(made) == 3 else getattr(value, "categories", ())
        skipped = bool(getattr(value, "skipped", False))
        return Outcome(job, True, value, notes=status.unique(notes), skipped=skipped, categories=status.unique(found))
    except FileFailed as exc:
        value = exc.result
        found = list(value.get("counts", ())) if isinstance(value, dict) else list(getattr(value, "categories", ()))
        return Outcome(job, False, value, exc.finding, shown=True, categories=found or [exc.category])
    except OrvToolError as exc:
        # An error may carry what was found about the file (see loading.LoadError).
        return failed(job, exc.finding, getattr(exc, "result", None))
    except Exception as exc:  # a bug must not end the batch; it is reported with the file
        return failed(job, Finding("internal_error", status.internal_error(exc)))


def default_jobs() -> int:
    return os.cpu_count() or 1


def run(
    task: Task[Unpack[Args]],
    jobs: Sequence[Job],
    args: Tuple[Unpack[Args]],
    workers: Optional[int] = None,
    progress: bool = True,
    report: Optional[Callable[[Outcome, Say], None]] = None,
    emit: Optional[Callable[[Outcome], None]] = None,
    costs: CostModel = MEASURED,
    env: Optional[status.Environment] = None,
) -> List[Outcome]:
    """Runs `task(job, *args)` for every job, in this process and, when they
    pay, in `workers` processes for the files left (see above). `report` is
    called in this process with each outcome as it arrives and a function
    that prints a line (to standard error unless a stream is given) without
    breaking the progress bar; `emit` with each outcome in job order, as soon
    as those before it have come (for results streamed in order), after
    which its value is let go. `costs` decides when workers pay. The
    outcomes come back in job order. `env` says where and how much is
    printed (the command's in progress when None)."""
    env = env or status.current()
    workers = workers or default_jobs()
    bar: _Bar = _NoBar()
    if progress and len(jobs) > 1 and env.is_terminal:
        from tqdm import tqdm  # when a bar is shown: a batch without one starts sooner

        bar = tqdm(total=len(jobs), unit="file", file=env.err, leave=False)

    def say(line: str, stream: Optional[TextIO] = None) -> None:
        out = stream or env.err
        bar.write(line, file=out)
        out.flush()  # a file says it is finished when it is

    results: Dict[int, Outcome] = {}
    notes = _NotesOnce()
    emitted = 0

    def done(i: int, outcome: Outcome) -> None:
        nonlocal emitted
        results[i] = outcome
        bar.update(1)
        if report:
            report(notes.first_time(outcome), say)
        while emit is not None and emitted in results:
            emit(results[emitted])
            results[emitted] = results[emitted]._replace(value=None)  # written: a tree's values need not add up
            emitted += 1

    try:
        start = costs.clock()
        begun = 0
        with _ReportsWhole() as whole:
            while begun < len(jobs) and not (workers > 1 and _workers_pay(costs, start, begun, len(jobs), workers)):
                outcome = run_one(task, jobs[begun], args)
                whole.report(done, begun, outcome)
                begun += 1
        if begun < len(jobs):
            used = min(workers, len(jobs) - begun)
            pace = max(costs.clock() - start, 1e-3) / max(begun, 1)
            size = min(math.ceil((len(jobs) - begun) / (used * CHUNKS_PER_WORKER)), math.ceil(CHUNK_SECONDS / pace))
            _run_pool(task, jobs, begun, args, used, max(1, size), done)
    except KeyboardInterrupt:
        finished = sum(1 for o in results.values() if o.ok)
        raise Interrupted(f"interrupted after {finished} of {status.count(len(jobs), 'file')}") from None
    finally:
        bar.close()
    for line in notes.repeats(env):
        say(line)
    return [results[i] for i in range(len(jobs))]


class _NoBar:
    """What a batch without a progress bar reports its progress to."""

    def update(self, n: int = 1, /) -> None:
        pass

    def close(self) -> None:
        pass

    @staticmethod
    def write(line: str, /, file: TextIO) -> None:
        file.write(line + "\n")


class _NotesOnce:
    """A note is said once in a batch: when later files have the same note (a
    finding's detail names no file, so that files that share it say it
    alike), a closing line counts them and names the first few (--verbose:
    all)."""

    SHOWN = 3  # files named in the closing line

    def __init__(self) -> None:
        self.seen: Dict[str, List[str]] = {}  # note -> the files it was said for
        self.severity: Dict[str, str] = {}  # note -> its severity

    def first_time(self, outcome: Outcome) -> Outcome:
        fresh = []
        for note in outcome.notes:
            files = self.seen.setdefault(str(note), [])
            self.severity[str(note)] = note.severity
            if not files or files[-1] != outcome.job.source:
                files.append(outcome.job.source)
            if files[0] == outcome.job.source:
                fresh.append(note)
        return outcome if len(fresh) == len(outcome.notes) else outcome._replace(notes=fresh)

    def repeats(self, env: status.Environment) -> List[str]:
        lines = []
        for key, files in self.seen.items():
            if len(files) > 1 and env.verbosity >= status.NORMAL:
                more = files[1:]
                named = more if env.verbosity >= status.VERBOSE else more[: self.SHOWN]
                shown = ", ".join(named)
                if len(named) < len(more):
                    shown += (
                        f" and {len(more) - len(named)} more ({status.count(len(more), 'file')}; --verbose names all)"
                    )
                lines.append(status.one_line(f"{PROG}: {shown}: {self.severity[key]}: the same as for {files[0]}"))
        return lines


class _ReportsWhole:
    """Ctrl-C interrupts a batch at once, but waits while finished files are
    reported, so that each is reported once, whole. One handler serves the
    whole loop: swapping handlers around every report cost more than
    describing some files."""

    def __init__(self) -> None:
        self._active = threading.current_thread() is threading.main_thread()
        self._reporting = False
        self._caught = False
        self._previous: Handler = None

    def _handler(self, signum: int, frame: Optional[FrameType]) -> None:
        if not self._reporting:
            raise KeyboardInterrupt
        self._caught = True

    def __enter__(self) -> "_ReportsWhole":
        if self._active:
            self._previous = signal.signal(signal.SIGINT, self._handler)
        return self

    def __exit__(self, *exc: object) -> None:
        if self._active:
            signal.signal(signal.SIGINT, self._previous)

    def report(self, call: Callable[_P, None], *args: _P.args, **kwargs: _P.kwargs) -> None:
        self._reporting = True
        try:
            call(*args, **kwargs)
        finally:
            self._reporting = False
        if self._caught:
            self._caught = False
            raise KeyboardInterrupt


def _interrupts_held() -> "contextlib.AbstractContextManager[None]":
    """The block runs to its end: an interrupt that comes meanwhile adds
    nothing to the one being handled."""
    return interrupts.handled(signal.SIGINT, _held)


def _held(signum: int, frame: Optional[FrameType]) -> None:
    """An interrupt while one is handled already (SIGTERM comes here too)."""


def _workers_pay(costs: CostModel, start: float, finished: int, total: int, workers: int) -> bool:
    """Whether the files left, at the pace of the `finished` ones, would take
    longer in this process than in `workers` processes started for them."""
    elapsed = costs.clock() - start
    if elapsed < costs.probe or not finished:
        return False
    left = total - finished
    used = min(workers, left)
    if used < 2:
        return False
    alone = elapsed / finished * left
    return alone - alone / used > costs.pool_start + costs.worker_start * used


def _stop_pool(pool: ProcessPoolExecutor, interrupted: bool) -> None:
    """Stops a pool: the chunks not begun are cancelled and, after an
    interrupt, the workers interrupted as Ctrl-C interrupts them (a signal
    sent to this process alone does not reach them); waits for them to end.
    (On Windows a signal would end them at once: there they are left to the
    console's Ctrl-C.)"""
    if interrupted and os.name == "posix":
        for pid in list(getattr(pool, "_processes", None) or ()):
            with contextlib.suppress(OSError):
                os.kill(pid, signal.SIGTERM)
    pool.shutdown(wait=True, cancel_futures=True)


def run_chunk(task: Task[Unpack[Args]], jobs: Sequence[Job], args: Tuple[Unpack[Args]]) -> List[Outcome]:
    """The outcomes of a chunk of jobs, in a worker; an interrupted chunk
    gives those of the files it finished."""
    outcomes = []
    for job in jobs:
        try:
            outcomes.append(run_one(task, job, args))
        except KeyboardInterrupt:
            break
    return outcomes


def _run_pool(
    task: Task[Unpack[Args]],
    jobs: Sequence[Job],
    first: int,
    args: Tuple[Unpack[Args]],
    workers: int,
    size: int,
    done: Callable[[int, Outcome], None],
) -> None:
    """Jobs `first` on, in chunks of `size`, in `workers` processes."""
    # Imported when workers start: a batch that needs none starts sooner.
    from concurrent.futures import ProcessPoolExecutor, as_completed
    from concurrent.futures.process import BrokenProcessPool

    lost: List[int] = []
    started = (os.getpid(), tuple(results.PARENT_ONLY))
    with ProcessPoolExecutor(max_workers=workers, initializer=_worker_start, initargs=started) as pool:
        futures: Dict[Future[List[Outcome]], range] = {
            pool.submit(run_chunk, task, jobs[i : i + size], args): range(i, min(i + size, len(jobs)))
            for i in range(first, len(jobs), size)
        }
        reported = set()

        def finish(indices: range, outcomes: List[Outcome]) -> None:
            for i, outcome in zip(indices, outcomes, strict=False):
                if i not in reported:
                    done(i, outcome)
                    reported.add(i)
            if len(outcomes) < len(indices):  # a worker was interrupted: so is the batch
                raise KeyboardInterrupt

        try:
            with _ReportsWhole() as whole:
                for future in as_completed(futures):
                    indices = futures[future]
                    try:
                        outcomes = future.result()
                    except BrokenProcessPool:
                        lost.extend(indices)
                        continue
                    whole.report(finish, indices, outcomes)
        except BaseException as exc:  # a closed pipe, an interrupt: the files not yet begun are left
            with _interrupts_held():  # a second interrupt waits for the files begun
                _stop_pool(pool, isinstance(exc, KeyboardInterrupt))
                if isinstance(exc, KeyboardInterrupt):  # the files finished meanwhile say so
                    for future, indices in futures.items():
                        if not future.cancelled() and future.exception() is None:
                            with contextlib.suppress(KeyboardInterrupt):
                                finish(indices, future.result())
            raise
    for i in sorted(lost):
        with ProcessPoolExecutor(max_workers=1, initializer=_worker_start, initargs=started) as single:
            try:
                done(i, single.submit(run_one, task, jobs[i], args).result())
            except BrokenProcessPool:
                done(i, failed(jobs[i], Finding("internal_error", "the worker process died while reading this file")))


# --- reporting, shared by the commands that work on many files ------------------------


def report_outcome(outcome: Outcome, say: Say, env: Optional[status.Environment] = None) -> None:
    """A file's notes (unless --quiet), or why it failed, each on a line
    naming the file."""
    if outcome.ok:
        for note in outcome.notes:
            line = status.finding_line(note, outcome.job.source, env)
            if line:
                say(line)
    else:
        say(status.failure_line(outcome.job.source, outcome.failure or Finding(status.REFUSED, "failed")))


def discover_reported(
    paths: Sequence[str], pattern: str, env: Optional[status.Environment] = None
) -> Tuple[List[Job], List[Outcome]]:
    """`discover`, with each path that does not exist reported at once."""
    env = env or status.current()
    err = env.err
    jobs, missing = discover(paths, pattern)
    for outcome in missing:
        report_outcome(outcome, lambda line, stream=None: print(line, file=err), env)
    return jobs, missing


def warned(outcome: Outcome) -> bool:
    """A file done whose worst finding is a warning: a failure with --strict."""
    return outcome.ok and status.worst(outcome.categories) == status.WARNING


def strict_error(outcome: Outcome) -> str:
    """What --strict says of a file whose findings include warnings."""
    found = [c for c in outcome.categories if status.severity(c) == status.WARNING]
    return f"warnings with --strict: {', '.join(found)}"


def strict_failure(outcome: Outcome) -> Outcome:
    """A file done with warnings, as --strict fails it: by its first warning."""
    first = next(c for c in outcome.categories if status.severity(c) == status.WARNING)
    return outcome._replace(ok=False, failure=Finding(first, strict_error(outcome)))


def summarize(
    outcomes: Sequence[Outcome], verb: str, strict: bool = False, env: Optional[status.Environment] = None
) -> int:
    """The closing lines of a batch and its exit status, by the table's
    consequences of each file's findings: a file fails the batch when its
    worst finding is counted (an error; with `strict`, a warning too)."""
    env = env or status.current()
    if strict and any(warned(o) for o in outcomes):
        outcomes = [strict_failure(o) if warned(o) else o for o in outcomes]
        if len(outcomes) == 1:
            print(status.failure_line(outcomes[0].job.source, outcomes[0].failure or Finding("")), file=env.err)
    failed = [o for o in outcomes if o.counted(strict)]
    skipped = sum(1 for o in outcomes if o.skipped)
    left = f"skipped {skipped} already {verb} (complete and newer than their source)" if skipped else ""
    if len(outcomes) > 1 and failed:
        status.run_line(f"{len(failed)} of {len(outcomes)} files failed{'; ' + left if left else ''}:", env=env)
        for o in failed:
            print(status.one_line(f"  {o.job.source}: {_said(o)}"), file=env.err)
    elif len(outcomes) > 1 and env.verbosity >= status.NORMAL:
        line = f"{verb} {status.count(len(outcomes) - skipped, 'file')}"
        status.run_line(line + (f", {left}" if left else ""), env=env)
    if not outcomes:
        status.run_line("no animation files found", env=env)
        return status.ERROR
    return status.exit_status(o.severity(strict) for o in outcomes)


def _said(outcome: Outcome) -> str:
    return outcome.failure.about(outcome.job.source) if outcome.failure is not None else "failed"
