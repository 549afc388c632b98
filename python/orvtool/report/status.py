"""Exit statuses, the one table of severities, what a run says on its way,
and the one wrapper that turns a command's errors into statuses.

Every finding about a file, whether the core's load reported it (by its
category) or orvtool found it, has one severity here; the severity gives the
file's label (the `status` that `info` and the viewer show), the exit status
and whether the file counts among the failures of a batch. Every command
decides through `severity`, `label` and `exit_status`; `markdown_table` prints
the table for the documentation (`python -m orvtool.report.status`).

Standard output carries results ("wrote ..." lines, info's text and JSON);
standard error carries errors, notes and, with --verbose, details. --quiet
keeps errors only.
"""

from __future__ import annotations

import os
import signal
import sys
from contextlib import contextmanager
from contextvars import ContextVar
from dataclasses import dataclass
from typing import TYPE_CHECKING, Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence, TextIO, TypeVar

# The one finding type, and how its text is made, as the modules that say findings import them from here.
from orvtool.model import findings as _findings
from orvtool.model.findings import Finding as Finding
from orvtool.model.findings import located as located
from orvtool.model.findings import one_line as one_line

if TYPE_CHECKING:  # the command line starts without the native module
    from orvtool.core.native import Category

PROG = "orvtool"

SUCCESS = 0
ERROR = 1  # some input or output failed
USAGE = 2  # the command line is wrong (argparse uses it as well)
INTERRUPTED = 128 + signal.SIGINT
TERMINATED = 128 + signal.SIGTERM  # ended as by Ctrl-C (see interrupts)
BROKEN_PIPE = 128 + signal.SIGPIPE  # the reader of standard output went away

# --- severities ------------------------------------------------------------------------

NOTE, WARNING, ERROR_SEVERITY = "note", "warning", "error"
SEVERITIES = (NOTE, WARNING, ERROR_SEVERITY)  # from the least to the worst
OK, PROBLEMS, FAILED = "ok", "problems", "failed"


class Consequence(NamedTuple):
    label: str  # the file's status in info and the viewer
    exit_status: int
    counted: bool  # listed in a batch's summary of failures


CONSEQUENCES: Dict[str, Consequence] = {
    NOTE: Consequence(OK, SUCCESS, False),
    WARNING: Consequence(PROBLEMS, SUCCESS, False),
    ERROR_SEVERITY: Consequence(FAILED, ERROR, True),
}


class Rule(NamedTuple):
    """A row of the table: the severity of a category of findings, and what it means."""

    severity: str
    meaning: str


# The categories of the core's reports (every name of _native.CATEGORIES).
LOAD_FINDINGS: Dict["Category", Rule] = {
    "palette_open_failed": Rule(ERROR_SEVERITY, "the palette file cannot be opened"),
    "palette_count_invalid": Rule(ERROR_SEVERITY, "the palette file's colour count is invalid"),
    "palette_short": Rule(WARNING, "the palette file holds fewer entries than its count says"),
    "palette_write_open_failed": Rule(ERROR_SEVERITY, "a palette file cannot be opened for writing"),
    "palette_write_failed": Rule(ERROR_SEVERITY, "a palette file cannot be written"),
    "palette_save_skipped": Rule(WARNING, "an empty palette was not saved over an existing file"),
    "color_lookup_out_of_bounds": Rule(ERROR_SEVERITY, "a colour index past the palette was looked up"),
    "file_open_failed": Rule(ERROR_SEVERITY, "the animation file cannot be opened"),
    "head_cut_short": Rule(ERROR_SEVERITY, "not an animation: the file ends inside its header or head"),
    "frames_cut_short": Rule(
        ERROR_SEVERITY,
        "the file ends inside a frame record (`info` shows the frames read, `export --salvage` exports them)",
    ),
    "trailing_bytes": Rule(WARNING, "bytes after the last frame record, which the game ignores"),
    "palette_not_found": Rule(ERROR_SEVERITY, "the palette the animation names is not found"),
    "palette_search_failed": Rule(ERROR_SEVERITY, "the file system failed the palette search"),
    "index_past_palette_file": Rule(WARNING, "pixels use indices past a short palette file: drawn in its filler"),
    "no_frames": Rule(ERROR_SEVERITY, "nothing to render"),
    "file_write_open_failed": Rule(ERROR_SEVERITY, "an animation file cannot be opened for writing"),
    "file_write_failed": Rule(ERROR_SEVERITY, "an animation file cannot be written"),
    "no_palette_data": Rule(ERROR_SEVERITY, "no palette colours to render with"),
    "row_missing": Rule(WARNING, "a row past the rows a frame holds is left empty"),
    "color_index_out_of_range": Rule(WARNING, "a colour index past 255 is drawn transparent"),
    "frame_too_large": Rule(ERROR_SEVERITY, "a frame whose image cannot be sized"),
    "frame_over_budget": Rule(ERROR_SEVERITY, "a frame past the rendering's memory budget"),
    "too_many_frames": Rule(
        ERROR_SEVERITY, "an animation whose head and size allow more frame records than orvtool reads (2,097,152)"
    ),
}

# The core's refusal of a file of more frame records than orvtool reads.
TOO_MANY_FRAMES = "too_many_frames"

# orvtool's own findings.
NO_SUCH_FILE = "no_such_file"
NOT_AN_ANIMATION = "not_an_animation"
PALETTE_UNUSABLE = "palette_unusable"
SALVAGED = "salvaged"
REFUSED = "refused"
ALREADY_EXPORTED = "already_exported"
OUTPUT_REFUSED = "output_refused"
OUTPUT_LINK_OUTSIDE = "output_link_outside"
WRITTEN_THROUGH_LINK = "written_through_link"
OWN_FINDINGS: Dict[str, Rule] = {
    NO_SUCH_FILE: Rule(ERROR_SEVERITY, "a path named on the command line does not exist"),
    NOT_AN_ANIMATION: Rule(ERROR_SEVERITY, "an image (PNG, GIF, JPEG, BMP, WebP ...) or other file, not an animation"),
    PALETTE_UNUSABLE: Rule(
        ERROR_SEVERITY,
        "a palette file (`--palette`, a palette to convert) that cannot be read, or whose colours the format asked "
        "for cannot hold",
    ),
    "output_exists": Rule(ERROR_SEVERITY, "an output exists, without `--force` (or `--skip-existing`)"),
    OUTPUT_REFUSED: Rule(
        ERROR_SEVERITY,
        "an output that cannot be written: a plain open refuses it (a folder, a loop of links, a FIFO), "
        "or writing it fails",
    ),
    SALVAGED: Rule(ERROR_SEVERITY, "`export --salvage` wrote the frames read from a file cut short"),
    "internal_error": Rule(ERROR_SEVERITY, "a fault of orvtool, or a worker process that died"),
    "over_budget": Rule(
        ERROR_SEVERITY,
        "an input whose work would hold more than the 1 GiB orvtool holds for one command (an image's decoded "
        "pixels, frames as planned), refused before anything is written",
    ),
    OUTPUT_LINK_OUTSIDE: Rule(
        ERROR_SEVERITY,
        "an output that a symbolic link leads out of its folder, without `--force`; or a link that appeared on "
        "its way after it was checked, which is never followed",
    ),
    WRITTEN_THROUGH_LINK: Rule(NOTE, "`--force` wrote through a symbolic link out of the output folder"),
    ALREADY_EXPORTED: Rule(NOTE, "`--skip-existing`: the export is complete and newer than its source"),
    "trailing_not_kept": Rule(
        WARNING, "bytes after the last frame record past the 16 MiB an export keeps: a build does not carry them"
    ),
    "alpha_lost": Rule(NOTE, "colours lose their alpha in a palette conversion"),
    "nearest_colour": Rule(NOTE, "pixels took the nearest palette colour in a build"),
    "frame_resized": Rule(NOTE, "frames changed size in a build"),
    "stored_palette_not_found": Rule(WARNING, "a built file names a palette not found from its folder"),
    REFUSED: Rule(
        ERROR_SEVERITY, "an input or output refused without a category of its own (none of orvtool's refusals)"
    ),
    "keys_not_read": Rule(NOTE, "keys of a sheet or animation.json that orvtool does not read"),
    "frames_in_name_order": Rule(NOTE, "a folder without animation.json: its PNG files built as frames in name order"),
    "tags_built_whole": Rule(NOTE, "a sheet that names tags built whole, every frame in one animation"),
    "frame_added": Rule(NOTE, "an image the record does not know, built as a new frame"),
    "frame_moved": Rule(NOTE, "frames placed by their image's offsets or the sheet, not the record's"),
    "frame_placed": Rule(NOTE, "frames without a record placed by a pivot, an anchor or --origin"),
    "coverage_from_layers": Rule(NOTE, "images without alpha whose coverage comes from their index layers"),
    "no_transparency": Rule(NOTE, "images without alpha or a transparent colour: every pixel is covered"),
    "colour_keyed": Rule(NOTE, "`--transparent` made pixels of a colour transparent"),
    "palette_converted": Rule(NOTE, "a build matched against a palette in another format, written in the game's"),
    "palette_made": Rule(NOTE, "`--quantize` made a palette"),
    "colour_added": Rule(NOTE, "`--add-colors` put colours into unused palette entries"),
    "already_built": Rule(NOTE, "`build --skip-existing`: the output is newer than every file of its source"),
    "palette_kept_as_loaded": Rule(NOTE, "a palette file that export cannot read again: the sidecar keeps the colours"),
    "grid_origin": Rule(NOTE, "where the origin lies in each cell of a grid sheet, for `build --origin`"),
    "speed_written": Rule(NOTE, "the speed a build wrote where the source's frame times differ or are not a speed"),
    "sheet_image_beside": Rule(NOTE, "a sheet's image not named, or not where named, read beside its JSON"),
    "pixels_outside_frames": Rule(NOTE, "visible pixels of a sheet image outside every frame, which no frame takes"),
    "preview_origin": Rule(NOTE, "where the origin lies on a preview's canvas, for `build --origin`"),
    "preview_placement": Rule(
        NOTE, "frames of an animated image placed by orvtool's preview record, else by an anchor or `--origin`"
    ),
    "image_unreadable": Rule(
        ERROR_SEVERITY, "an image file that does not decode: cut short, damaged, or in no format Pillow reads"
    ),
    "document_invalid": Rule(ERROR_SEVERITY, "a JSON document (sheet, animation.json, palette) that does not parse"),
    "out_of_memory": Rule(ERROR_SEVERITY, "an input whose reading ran out of memory before a limit refused it"),
}

# What a refused input or option is, in place of `refused` (orvtool's own findings too).
SOURCE_MISSING = "source_missing"
INPUT_UNREADABLE = "input_unreadable"
IMAGE_UNREADABLE = "image_unreadable"
DOCUMENT_INVALID = "document_invalid"
SIDECAR_INVALID = "sidecar_invalid"
SHEET_INVALID = "sheet_invalid"
SOURCE_EMPTY = "source_empty"
PALETTE_MISSING = "palette_missing"
OPTION_INVALID = "option_invalid"
OVER_LIMIT = "over_limit"
FRAME_OUT_OF_RANGE = "frame_out_of_range"
OWN_FINDINGS.update(
    {
        SOURCE_MISSING: Rule(
            ERROR_SEVERITY,
            "a file that a command or a source names is missing (a frame image, a "
            "sheet's image, an index layer, animation.json)",
        ),
        INPUT_UNREADABLE: Rule(
            ERROR_SEVERITY,
            "an input that cannot be read: a folder, a FIFO or a device where a file is named, or a "
            "read the system refuses",
        ),
        IMAGE_UNREADABLE: Rule(ERROR_SEVERITY, "an image that does not decode or is cut short"),
        DOCUMENT_INVALID: Rule(ERROR_SEVERITY, "a JSON document (a sidecar, a sheet, a palette) that does not parse"),
        SIDECAR_INVALID: Rule(
            ERROR_SEVERITY,
            "a record that orvtool writes (animation.json, an index layer) not as orvtool writes it: another "
            "version, a key missing, of another type or out of range, an index layer of another mode or size",
        ),
        SHEET_INVALID: Rule(
            ERROR_SEVERITY,
            "a sprite sheet's JSON or JSON palette of no shape orvtool reads, or a tag whose frames cannot be told",
        ),
        SOURCE_EMPTY: Rule(ERROR_SEVERITY, "a source with no frames to build: no images, or a record that knows none"),
        PALETTE_MISSING: Rule(
            ERROR_SEVERITY, "a build without a palette to use: none named, not found, or not in the game's format"
        ),
        OPTION_INVALID: Rule(
            ERROR_SEVERITY,
            "an option whose value does not fit its input (a tag the sheet does not name, an unknown "
            "part or format, `--exact` against colours the palette lacks, options that exclude each other)",
        ),
        OVER_LIMIT: Rule(
            ERROR_SEVERITY,
            "an input past one of orvtool's limits: its bytes, its nesting, or the pixels it would "
            "hold (see the limits)",
        ),
        FRAME_OUT_OF_RANGE: Rule(
            ERROR_SEVERITY,
            "a frame the file format cannot hold: too wide or tall, an offset out of range, more "
            "runs in a row than a row holds, or fields that would not read back as built",
        ),
    }
)

FINDINGS: Dict[str, Rule] = dict([*LOAD_FINDINGS.items(), *OWN_FINDINGS.items()])


# Statuses of a whole run, beside those of its files.
RUN_STATUSES = (
    (USAGE, "the command line is wrong (an option value out of range, options that do not go together)"),
    (INTERRUPTED, "interrupted (Ctrl-C): the files begun are finished or removed, no partial file is left"),
    (TERMINATED, "ended by SIGTERM, as by Ctrl-C: no partial file is left, `--report` holds every file finished"),
    (BROKEN_PIPE, "the reader of standard output went away"),
)


def severity(finding: str) -> str:
    """The severity of a finding; an unknown one is an error."""
    known = FINDINGS.get(finding)
    return known.severity if known is not None else ERROR_SEVERITY


def worst(findings: Iterable[str]) -> str:
    """The worst severity of the findings (a note when there are none)."""
    return max((severity(f) for f in findings), key=SEVERITIES.index, default=NOTE)


def label(findings: Iterable[str]) -> str:
    """The status of a file with these findings: ok, problems or failed."""
    return CONSEQUENCES[worst(findings)].label


def failing(findings: Iterable[str]) -> List[str]:
    """The findings that fail a file, in their order."""
    return [f for f in findings if severity(f) == ERROR_SEVERITY]


def counted(findings: Iterable[str]) -> bool:
    """Whether a file with these findings counts among a batch's failures."""
    return CONSEQUENCES[worst(findings)].counted


def exit_status(severities: Iterable[str]) -> int:
    """The exit status of a run whose files had these worst severities."""
    return max((CONSEQUENCES[s].exit_status for s in severities), default=SUCCESS)


def table_rows() -> List[Sequence[str]]:
    """The table as rows of text: finding, from, severity, label, exit status,
    counted among failures, meaning."""
    rows: List[Sequence[str]] = []
    for source, table in (("core", LOAD_FINDINGS), ("orvtool", OWN_FINDINGS)):
        for name, (sev, meaning) in table.items():
            c = CONSEQUENCES[sev]
            rows.append((name, source, sev, c.label, str(c.exit_status), "yes" if c.counted else "no", meaning))
    return rows


def markdown_table() -> str:
    """The severity table in Markdown, as the README and the docs show it."""
    head = ("finding", "from", "severity", "label", "exit", "counted", "meaning")
    lines = ["| " + " | ".join(head) + " |", "|" + "|".join("---" for _ in head) + "|"]
    lines += ["| " + " | ".join((f"`{r[0]}`", *r[1:])) + " |" for r in table_rows()]
    lines.append("")
    lines.append("A run exits with the worst status of its files; besides:")
    lines.append("")
    lines += [f"- {code}: {meaning}" for code, meaning in RUN_STATUSES]
    return "\n".join(lines)


# --- messages ----------------------------------------------------------------------------


def count(n: int, singular: str, plural: Optional[str] = None) -> str:
    """`n` and the noun in the number it takes: "1 frame", "2 frames"."""
    return f"{n} {singular if n == 1 else plural or singular + 's'}"


def filler_note(palette: str, entries: int, beyond: int, covered: int) -> str:
    """The note on pixels whose index lies beyond a short palette, which the
    module draws as opaque black."""
    return (
        f"palette {palette} holds {count(entries, 'colour')}: {beyond} of {count(covered, 'covered pixel')} "
        f"{'uses an index' if beyond == 1 else 'use indices'} beyond it and {'is' if beyond == 1 else 'are'} drawn "
        "as opaque black"
    )


U = TypeVar("U")


def unique(lines: Iterable[U]) -> List[U]:
    """The lines (or findings) without repeats, in their first order."""
    return list(dict.fromkeys(lines))


# Every line orvtool prints about files is made here, from the findings'
# fields, and escaped here once (`one_line`): names and texts taken from
# files may hold line breaks or a terminal's control sequences.


QUIET, NORMAL, VERBOSE = 0, 1, 2


def verbosity_of(quiet: bool = False, verbose: bool = False) -> int:
    return QUIET if quiet else VERBOSE if verbose else NORMAL


@dataclass(frozen=True)
class Environment:
    """Where a command prints and how much: its standard output and error
    (None: the interpreter's streams at the time of printing, so that a
    stream replaced later is the one written) and its verbosity (QUIET,
    NORMAL or VERBOSE). The command line makes one from its options and
    passes it to the command; a library caller that passes none gets
    `DEFAULT`, or the one a command in progress set (see `using`)."""

    stdout: Optional[TextIO] = None
    stderr: Optional[TextIO] = None
    verbosity: int = NORMAL

    @classmethod
    def of(cls, quiet: bool = False, verbose: bool = False) -> Environment:
        """The environment that --quiet or --verbose asks for."""
        return cls(verbosity=verbosity_of(quiet, verbose))

    @property
    def out(self) -> TextIO:
        return self.stdout or sys.stdout

    @property
    def err(self) -> TextIO:
        return self.stderr or sys.stderr

    @property
    def is_terminal(self) -> bool:
        """Standard error is a terminal (a progress bar may be drawn)."""
        try:
            return self.err.isatty()
        except (AttributeError, ValueError):  # a stream replaced by one without a terminal, or closed
            return False


DEFAULT = Environment()
_current: ContextVar[Environment] = ContextVar("orvtool_environment", default=DEFAULT)


def current() -> Environment:
    """The environment of the command in progress, else `DEFAULT`."""
    return _current.get()


@contextmanager
def using(env: Environment) -> Iterator[Environment]:
    """`env` is the one `current` gives until the block ends, then the one
    before it again: a command's verbosity ends with the command."""
    token = _current.set(env)
    try:
        yield env
    finally:
        _current.reset(token)


def set_level(quiet: bool = False, verbose: bool = False) -> None:
    """The verbosity of what follows in this context, for a script that
    prints as the command line would without running a command."""
    _current.set(Environment.of(quiet, verbose))


def say(
    findings: Iterable[Finding], where: str = "", stream: Optional[TextIO] = None, env: Optional[Environment] = None
) -> None:
    """Each finding once, on its line (see `finding_line`), to standard error."""
    env = env or current()
    for finding in unique(findings):
        line = finding_line(finding, where, env)
        if line:
            print(line, file=stream or env.err)


def finding_line(finding: Finding, where: str = "", env: Optional[Environment] = None) -> Optional[str]:
    """The line that says a finding, naming `where` (else its own file) and
    its frame, or None when the level keeps it back (--quiet keeps errors
    only): a note or a warning says its severity, an error does not."""
    sev = finding.severity
    if sev != ERROR_SEVERITY and (env or current()).verbosity < NORMAL:
        return None
    at = [p for p in (where or finding.where, f"frame {finding.frame}" if finding.frame is not None else "") if p]
    label = "" if sev == ERROR_SEVERITY else f"{sev}: "
    return one_line(f"{PROG}: {': '.join(at)}: {label}{finding.detail}" if at else f"{PROG}: {label}{finding.detail}")


def failure_line(path: str, finding: Finding) -> str:
    """The one line that names a file and why it failed: the finding's own
    file where that is another (a frame image of a folder, an output), the
    frame and row, the detail."""
    return one_line(f"{PROG}: {path}: {finding.about(path)}")


def say_error(where: str, message: str, stream: Optional[TextIO] = None, env: Optional[Environment] = None) -> None:
    """The one line that names a file and what went wrong with it."""
    print(one_line(f"{PROG}: {where}: {message}"), file=stream or (env or current()).err)


def detail_line(where: str, text: str, env: Optional[Environment] = None) -> Optional[str]:
    """A detail behind a note, with --verbose only."""
    return one_line(f"{PROG}: {where}: {text}") if (env or current()).verbosity >= VERBOSE else None


def result_line(text: str, env: Optional[Environment] = None) -> Optional[str]:
    """A line on standard output saying what was done, unless --quiet."""
    return one_line(text) if (env or current()).verbosity >= NORMAL else None


def run_line(text: str, stream: Optional[TextIO] = None, env: Optional[Environment] = None) -> None:
    """A line about the whole run (a summary, a refusal of the command's
    inputs) to standard error, whatever the level."""
    print(one_line(f"{PROG}: {text}"), file=stream or (env or current()).err)


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


def main(argv: Optional[Sequence[str]] = None) -> int:
    """`python -m orvtool.report.status`: the table in Markdown."""
    import argparse

    parser = argparse.ArgumentParser(
        prog="python -m orvtool.report.status",
        description="Print the table of findings (their severity, the file's label, the exit status, whether a "
        "batch counts the file among its failures) and the statuses of a whole run, in Markdown.",
    )
    parser.parse_args(argv)
    try:
        print(markdown_table())
    except BrokenPipeError:
        _quiet_stdout()
        return BROKEN_PIPE
    return SUCCESS


class _Table:
    """This table, as the findings ask it (see `findings.use_table`)."""

    def severity(self, category: str) -> str:
        return severity(category)

    def line(self, finding: Finding, where: str) -> Optional[str]:
        return finding_line(finding, where)


_findings.use_table(_Table())

if __name__ == "__main__":
    sys.exit(main())
