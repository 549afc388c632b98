"""Results as data: one JSON object per source, the same shape whatever
happened to it, for `info --json`/`--jsonl` and the `--report` of export and
build.

Every object carries `schema` (SCHEMA, raised when a key changes meaning or
goes away), the source's `path`, its `status` (the label of its worst
finding: ok, problems or failed), `failure` (why it failed, or null) and its
`findings`, each with its category and severity from `status.FINDINGS`, its
message, the frame, row and index it concerns, and `caused_by`: the category
of the finding it follows from (a palette that is not found cannot be
opened and gives no colours), or null for a finding of its own. Root
findings come first; counting the findings whose `caused_by` is null counts
what went wrong.

The writers stream: a file's object is written when it is done (in the order
of the files), and the frames of `info`, which may be millions, are written
from the columns the core counted, one template per frame. The bytes are
those of `json.dump` with the same indentation (`json.dumps(objects,
indent=1)` for `--json`, `json.dumps(object)` per line for `--jsonl`).
"""

from __future__ import annotations

import itertools
import json
from dataclasses import dataclass, field, replace
from typing import (
    IO,
    TYPE_CHECKING,
    Dict,
    Iterable,
    Iterator,
    List,
    Mapping,
    Optional,
    Protocol,
    Sequence,
    Set,
    Tuple,
    Union,
)

from orvtool.model.findings import Finding
from orvtool.report import status

if TYPE_CHECKING:
    # What the results read of the values they are given (types only: a
    # command's start defines no class it does not use).

    class FrameTableColumns(Protocol):
        """The frames of a load as columns (the core's `FrameTable`): one
        sequence per name of `FrameColumns.COLUMNS`, and `non_maximal_rows`."""

        @property
        def non_maximal_rows(self) -> Sequence[int]: ...

    class _Job(Protocol):
        @property
        def source(self) -> str: ...

    class Outcome(Protocol):
        """What `outcome_entry` reads of a batch's outcome (see `run.batch.Outcome`)."""

        @property
        def job(self) -> _Job: ...
        @property
        def ok(self) -> bool: ...
        @property
        def value(self) -> object: ...
        @property
        def failure(self) -> Optional[Finding]: ...
        @property
        def notes(self) -> Sequence[Finding]: ...
        @property
        def skipped(self) -> bool: ...


SCHEMA = 1

# Findings after which every other finding of the file follows from them,
# the first present first.
_FILE_ROOTS = (status.NOT_AN_ANIMATION, "file_open_failed", "head_cut_short")
# A palette not found (or unusable) cannot be opened and gives no colours.
_PALETTE_ROOTS = (status.PALETTE_UNUSABLE, "palette_not_found", "palette_search_failed")
_PALETTE_FAILURES = ("palette_open_failed", "palette_count_invalid")
_FOLLOW_PALETTE = ("palette_open_failed", "palette_count_invalid", "no_palette_data", "palette_short")


def cause(category: str, present: Iterable[str]) -> Optional[str]:
    """The category of the finding that `category` follows from among those
    `present` in one file, None when it is a root of its own."""
    present = set(present)
    for root in _FILE_ROOTS:
        if root in present:
            return None if category == root else root
    if category in _FOLLOW_PALETTE:
        for root in _PALETTE_ROOTS:
            if root in present and root != category:
                return root
    if category == "no_palette_data":
        for root in _PALETTE_FAILURES:
            if root in present:
                return root
    if category == "no_frames" and "frames_cut_short" in present:  # cut before its first frame
        return "frames_cut_short"
    return None


def finding(
    category: str,
    message: str,
    frame: Optional[int] = None,
    row: Optional[int] = None,
    index: Optional[int] = None,
) -> Finding:
    """One finding, its severity from the table."""
    return Finding(category, message, frame=frame, row=row, index=index)


def with_causes(findings: Sequence[Finding]) -> List[Finding]:
    """The findings with `caused_by`, the roots first (each group in its order)."""
    present = {f.category for f in findings}
    marked = [replace(f, caused_by=cause(f.category, present)) for f in findings]
    return [f for f in marked if f.caused_by is None] + [f for f in marked if f.caused_by is not None]


# A JSON object as `json.dumps` takes it (its values of any JSON shape).
JSONObject = Dict[str, object]


def as_dicts(findings: Sequence[Finding], path: str = "") -> List[Dict[str, Union[str, int, None]]]:
    """The findings of the object of `path` as JSON objects, with `caused_by`, the roots first."""
    return [f.as_dict(path) for f in with_causes(findings)]


@dataclass(frozen=True)
class LoadResult:
    """What a load that failed found: its status, counts and findings (what
    a `LoadError` carries)."""

    status: str
    counts: Mapping[str, int]
    findings: Sequence[Finding]

    @property
    def categories(self) -> List[str]:
        """The categories of its findings, each once."""
        return list(self.counts)


def failure_category(detail: Union["Description", LoadResult, None] = None, categories: Sequence[str] = ()) -> str:
    """The category of a failure: the root finding of what was found (a
    load's detail), else the category its error carried."""
    if detail is not None:
        for f in with_causes(detail.findings):
            if f.severity == status.ERROR_SEVERITY:
                return f.category
    return categories[0] if categories else status.REFUSED


# --- info ------------------------------------------------------------------------------

# The keys of an `info` object, in their order; `frames` last.
INFO_KEYS = (
    "schema",
    "path",
    "status",
    "failure",
    "size",
    "form",
    "has_background",
    "background_flag",
    "speed",
    "frame_count",
    "frame_count_field",
    "palette",
    "runs",
    "trailing_bytes",
    "counts",
    "findings",
    "frames",
)


class FrameColumns:
    """The frames of one file as the core's columns, written as one object
    per frame by `write_frames` (a list of dicts for millions of frames would
    take gigabytes). `COLUMNS` are the columns in the order of the keys,
    before `maximal` and `non_maximal_rows`."""

    COLUMNS = (
        "width",
        "height",
        "x_offset",
        "y_offset",
        "is_shadow",
        "frame_size",
        "unk1",
        "unk2",
        "rows",
        "runs",
        "empty_runs",
        "longest_run",
        "most_runs_in_a_row",
        "covered_pixels",
    )
    KEYS = ("index", *COLUMNS, "maximal", "non_maximal_rows")
    BOOLEANS = ("is_shadow", "maximal")

    def __init__(self, table: FrameTableColumns) -> None:
        self.columns: List[Sequence[Union[int, bool]]] = [getattr(table, name) for name in self.COLUMNS]
        self.non_maximal: Sequence[int] = table.non_maximal_rows

    def __len__(self) -> int:
        return len(self.non_maximal)

    def rows(self) -> Iterator[Tuple[Union[int, str], ...]]:
        """Each frame's values in the order of KEYS, booleans as JSON text."""
        shadow = self.COLUMNS.index("is_shadow")
        columns: List[Sequence[Union[int, str]]] = list(self.columns)
        columns[shadow] = [_JSON_BOOL[bool(v)] for v in columns[shadow]]
        maximal = [_JSON_BOOL[not n] for n in self.non_maximal]
        return zip(range(len(self)), *columns, maximal, self.non_maximal, strict=True)


_JSON_BOOL = {False: "false", True: "true"}


def _frame_template(indent: Optional[int], level: int) -> str:
    """The text of one frame object, with a %-field per key."""
    fields = [f'"{k}": %{"s" if k in FrameColumns.BOOLEANS else "d"}' for k in FrameColumns.KEYS]
    if indent is None:
        return "{" + ", ".join(fields) + "}"
    inner = "\n" + " " * (indent * (level + 1))
    return "{" + inner + ("," + inner).join(fields) + "\n" + " " * (indent * level) + "}"


def _frame_texts(frames: FrameColumns, indent: Optional[int], level: int) -> Iterator[str]:
    template = _frame_template(indent, level)
    for values in frames.rows():
        yield template % values


def _write_frames(out: IO[str], frames: FrameColumns, indent: Optional[int], level: int) -> None:
    """The frames list at nesting `level` (that of its items), as json.dump writes it."""
    if not len(frames):
        out.write("[]")
        return
    if indent is None:
        start, between, end = "[", ", ", "]"
    else:
        pad = " " * (indent * level)
        start, between, end = "[\n" + pad, ",\n" + pad, "\n" + " " * (indent * (level - 1)) + "]"
    out.write(start)
    texts = _frame_texts(frames, indent, level)
    lead = ""
    while True:
        chunk = list(itertools.islice(texts, 4096))
        if not chunk:
            break
        out.write(lead + between.join(chunk))
        lead = between
    out.write(end)


@dataclass(frozen=True)
class PaletteSummary:
    """The palette of one file as `info` describes it."""

    location: str  # as the file stores it
    location_size: int  # the size of the field that stores it
    from_option: bool  # named with --palette
    resolved: Optional[str]  # the palette file read; None when none was found
    usable: bool  # whether its colours rendered the frames
    problem: Optional[str]  # why they did not
    entries: Optional[int]  # the colours it holds
    short: Optional[str]  # the note on pixels past its colours

    def to_json(self) -> JSONObject:
        return {
            "location": self.location,
            "location_size": self.location_size,
            "from_option": self.from_option,
            "resolved": self.resolved,
            "usable": self.usable,
            "problem": self.problem,
            "entries": self.entries,
            "short": self.short,
        }


@dataclass(frozen=True)
class RunTotals:
    """The statistics of the runs of all frames of one file."""

    runs: int
    empty_runs: int
    covered_pixels: int
    longest_run: int
    most_runs_in_a_row: int
    non_maximal_rows: int

    def to_json(self) -> JSONObject:
        return {
            "runs": self.runs,
            "empty_runs": self.empty_runs,
            "covered_pixels": self.covered_pixels,
            "longest_run": self.longest_run,
            "most_runs_in_a_row": self.most_runs_in_a_row,
            "non_maximal_rows": self.non_maximal_rows,
        }


@dataclass(frozen=True)
class Description:
    """Everything `info` says of one file it read (see `load.summary.describe`):
    its frames as columns (`frames`, for the JSON form) or as the lines of
    the text form (`frame_lines`)."""

    path: str
    size: int
    form: str  # "background" or "plain"
    has_background: bool
    background_flag: Optional[int]
    speed: int
    frame_count: int
    frame_count_field: int
    palette: PaletteSummary
    runs: RunTotals
    trailing_bytes: int
    status: str
    failure: Optional[str]
    counts: Mapping[str, int]
    findings: Sequence[Finding]  # with their causes, the roots first
    frames: Optional[FrameColumns] = None
    frame_lines: Sequence[str] = ()

    @property
    def categories(self) -> List[str]:
        """The categories of its findings, each once."""
        return list(self.counts)


@dataclass(frozen=True)
class InfoEntry:
    """The `info` object of one source, whatever happened to it: the fields
    in the order of INFO_KEYS (what was not read of it None), `frames` last."""

    path: str
    status: str
    failure: Optional[str]
    size: Optional[int] = None
    form: Optional[str] = None
    has_background: Optional[bool] = None
    background_flag: Optional[int] = None
    speed: Optional[int] = None
    frame_count: Optional[int] = None
    frame_count_field: Optional[int] = None
    palette: Optional[PaletteSummary] = None
    runs: Optional[RunTotals] = None
    trailing_bytes: Optional[int] = None
    counts: Mapping[str, int] = field(default_factory=dict)
    findings: Sequence[Finding] = ()
    frames: Optional[FrameColumns] = None

    def to_json(self) -> JSONObject:
        """The object as `write_object` writes it (its frames, when any, as columns)."""
        return {
            "schema": SCHEMA,
            "path": self.path,
            "status": self.status,
            "failure": self.failure,
            "size": self.size,
            "form": self.form,
            "has_background": self.has_background,
            "background_flag": self.background_flag,
            "speed": self.speed,
            "frame_count": self.frame_count,
            "frame_count_field": self.frame_count_field,
            "palette": None if self.palette is None else self.palette.to_json(),
            "runs": None if self.runs is None else self.runs.to_json(),
            "trailing_bytes": self.trailing_bytes,
            "counts": dict(self.counts),
            "findings": as_dicts(self.findings, self.path),
            "frames": self.frames if self.frames is not None else [],
        }


def info_entry(
    path: str, value: Union[Description, LoadResult, None], failure: Optional[str], own: Sequence[Finding] = ()
) -> InfoEntry:
    """The `info` object of one source: `value` is what was read of it
    (a description, or a failed load's result; None when nothing was),
    `failure` why it failed, `own` orvtool's findings about it."""
    counts: Dict[str, int] = {}
    for f in own:
        counts[f.category] = counts.get(f.category, 0) + 1
    if value is not None:
        counts.update(value.counts)
    label = status.label(counts) if counts else (value.status if value is not None else status.OK)
    findings = [*own, *(value.findings if value is not None else ())]
    entry = InfoEntry(
        path=path,
        status=status.FAILED if failure is not None else label,
        failure=failure if failure is not None or not isinstance(value, Description) else value.failure,
        counts=counts,
        findings=findings,
    )
    if not isinstance(value, Description):
        return entry
    return replace(
        entry,
        size=value.size,
        form=value.form,
        has_background=value.has_background,
        background_flag=value.background_flag,
        speed=value.speed,
        frame_count=value.frame_count,
        frame_count_field=value.frame_count_field,
        palette=value.palette,
        runs=value.runs,
        trailing_bytes=value.trailing_bytes,
        frames=value.frames,
    )


def write_object(out: IO[str], obj: JSONObject, indent: Optional[int], level: int = 0) -> None:
    """`obj` as json.dump writes it at nesting `level` (its own indentation
    written by the caller), its `frames` (last, when FrameColumns) streamed."""
    frames = obj.get("frames")
    if not isinstance(frames, FrameColumns):
        text = json.dumps(obj, indent=indent)
        out.write(text if not indent else text.replace("\n", "\n" + " " * (indent * level)))
        return
    head = json.dumps({**obj, "frames": []}, indent=indent)
    if indent:
        head = head.replace("\n", "\n" + " " * (indent * level))
    tail = "[]" + ("" if not indent else "\n" + " " * (indent * level)) + "}"
    assert head.endswith(tail), "frames are the last key"
    out.write(head[: -len(tail)])
    _write_frames(out, frames, indent, level + 2)
    out.write(tail[2:])


class Writer:
    """Objects written one by one to `out`: a JSON list (`indent` 1, as
    `json.dump(objects, out, indent=1)` and a line break) or JSON Lines
    (`indent` None), flushed after each object."""

    def __init__(self, out: IO[str], lines: bool) -> None:
        self.out = out
        self.lines = lines
        self.count = 0

    def write(self, entry: "Entry") -> None:
        """One object, serialised here."""
        obj = entry.to_json()
        if self.lines:
            write_object(self.out, obj, None)
            self.out.write("\n")
        else:
            self.out.write("[\n " if not self.count else ",\n ")
            write_object(self.out, obj, 1, 1)
        self.count += 1
        self.out.flush()

    def close(self) -> None:
        if not self.lines:
            self.out.write("[]\n" if not self.count else "\n]\n")
        self.out.flush()


# --- export and build ------------------------------------------------------------------


@dataclass(frozen=True)
class RunEntry:
    """The `--report` object of one source of export or build: the outputs
    it wrote (none when skipped or failed), its status and findings."""

    path: str
    status: str
    failure: Optional[str]
    skipped: bool
    outputs: Sequence[str]
    findings: Sequence[Finding]

    def to_json(self) -> JSONObject:
        return {
            "schema": SCHEMA,
            "path": self.path,
            "status": self.status,
            "failure": self.failure,
            "skipped": self.skipped,
            "outputs": list(self.outputs),
            "findings": as_dicts(self.findings, self.path),
        }


# What the writers take.
Entry = Union[InfoEntry, RunEntry]


def run_entry(
    path: str,
    ok: bool,
    failure: Optional[str],
    outputs: Sequence[str],
    findings: Sequence[Finding],
    skipped: bool = False,
) -> RunEntry:
    """The `--report` object of one source of export or build."""
    label = status.label(f.category for f in findings)
    return RunEntry(path, status.FAILED if not ok else label, failure, skipped, tuple(outputs), tuple(findings))


def note_findings(notes: Iterable[Finding]) -> List[Finding]:
    """Notes as the report's findings: each about the source the report's
    object names (a note names its own file in its detail)."""
    return [replace(n, where="", row=None, index=None) for n in notes]


# Files this process writes alone (a report): worker processes started while
# one is open close their copy of it (see `run.batch`).
PARENT_ONLY: Set[int] = set()


def keep_from_workers(fd: int) -> None:
    """Workers started from now on close their copy of `fd` (until `release`)."""
    PARENT_ONLY.add(fd)


def release(fd: int) -> None:
    PARENT_ONLY.discard(fd)


class Report:
    """The `--report` of export or build: JSON Lines written as each source
    is done, to a file or (`-`) to standard output. Each line is whole: an
    interrupted run leaves the lines of the sources it finished."""

    def __init__(self, target: Optional[str]) -> None:
        self.target = target
        self._file: Optional[IO[str]] = None
        self._writer: Optional[Writer] = None

    @property
    def to_stdout(self) -> bool:
        """Whether the report takes standard output (results lines are then left out)."""
        return self.target == "-"

    def __enter__(self) -> "Report":
        if self.target is not None:
            import sys

            if self.to_stdout:
                out: IO[str] = sys.stdout
            else:
                try:
                    self._file = out = open(self.target, "w", encoding="utf-8")  # noqa: SIM115 - closed on exit
                except OSError as exc:
                    from orvtool.model.errors import OrvToolError

                    raise OrvToolError(
                        f"cannot write the report {self.target}: {exc.strerror or exc}", category="output_refused"
                    ) from None
                keep_from_workers(out.fileno())  # written here alone: worker processes close their copy
            self._writer = Writer(out, lines=True)
        return self

    def __exit__(self, *exc: object) -> None:
        if self._file is not None:
            release(self._file.fileno())
            self._file.close()

    def write(self, entry: RunEntry) -> None:
        if self._writer is not None:
            self._writer.write(entry)

    @property
    def active(self) -> bool:
        return self._writer is not None


def outcome_entry(outcome: Outcome, outputs: Sequence[str], own: Sequence[Tuple[str, str]] = ()) -> RunEntry:
    """The `--report` object of a batch's outcome (see `batch.Outcome`):
    the findings of its load or the finding it failed by, the categories its
    notes name, and `own` (category, message) pairs orvtool adds."""
    value = outcome.value
    found: List[Finding] = list(getattr(value, "findings", None) or [])
    path = outcome.job.source
    failure = None
    if not outcome.ok:
        why = outcome.failure or Finding(status.REFUSED, "failed")
        failure = why.about(path)
        if not found:
            found = [why]
    have = {f.category for f in found}
    found += [f for f in note_findings(outcome.notes) if f.category not in have]
    found += [finding(c, text) for c, text in own]
    return run_entry(path, outcome.ok, failure, outputs, found, outcome.skipped)
