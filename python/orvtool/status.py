"""Exit statuses, the one table of severities, what a run says on its way,
and the one wrapper that turns a command's errors into statuses.

Every finding about a file, whether the core's load reported it (by its
category) or orvtool found it, has one severity here; the severity gives the
file's label (the `status` that `info` and the viewer show), the exit status
and whether the file counts among the failures of a batch. Every command
decides through `severity`, `label` and `exit_status`; `markdown_table` prints
the table for the documentation (`python -m orvtool.status`).

Standard output carries results ("wrote ..." lines, info's text and JSON);
standard error carries errors, notes and, with --verbose, details. --quiet
keeps errors only.
"""

from __future__ import annotations

import os
import re
import signal
import sys
from dataclasses import dataclass
from typing import TYPE_CHECKING, Callable, Dict, Iterable, List, NamedTuple, Optional, Sequence, TextIO, TypeVar

from .errors import OrvToolError, UsageError

if TYPE_CHECKING:  # the command line starts without the native module
    from .native import Category

PROG = "orvtool"

SUCCESS = 0
ERROR = 1  # some input or output failed
USAGE = 2  # the command line is wrong (argparse uses it as well)
INTERRUPTED = 128 + signal.SIGINT
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
    PALETTE_UNUSABLE: Rule(ERROR_SEVERITY, "a palette file (`--palette`) that cannot be read"),
    "output_exists": Rule(ERROR_SEVERITY, "an output exists, without `--force` (or `--skip-existing`)"),
    OUTPUT_REFUSED: Rule(
        ERROR_SEVERITY,
        "an output that cannot be written: a plain open refuses it (a folder, a loop of links, a FIFO), "
        "or writing it fails",
    ),
    SALVAGED: Rule(ERROR_SEVERITY, "`export --salvage` wrote the frames read from a file cut short"),
    "internal_error": Rule(ERROR_SEVERITY, "a fault of orvtool, or a worker process that died"),
    OUTPUT_LINK_OUTSIDE: Rule(
        ERROR_SEVERITY, "an output that a symbolic link leads out of its folder, without `--force`"
    ),
    WRITTEN_THROUGH_LINK: Rule(NOTE, "`--force` wrote through a symbolic link out of the output folder"),
    ALREADY_EXPORTED: Rule(NOTE, "`--skip-existing`: the export is complete and newer than its source"),
    "alpha_lost": Rule(NOTE, "colours lose their alpha in a palette conversion"),
    "nearest_colour": Rule(NOTE, "pixels took the nearest palette colour in a build"),
    "frame_resized": Rule(NOTE, "frames changed size in a build"),
    "stored_palette_not_found": Rule(WARNING, "a built file names a palette not found from its folder"),
    REFUSED: Rule(ERROR_SEVERITY, "an input orvtool cannot use or an output it cannot write, as its message says"),
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
}

FINDINGS: Dict[str, Rule] = dict([*LOAD_FINDINGS.items(), *OWN_FINDINGS.items()])


@dataclass(frozen=True)
class Finding:
    """One finding: its category (a name of FINDINGS, which gives its
    severity), what was found, and the file and frame it concerns. Its text
    is made once, when it is said (`line`); `str()` gives the detail alone."""

    category: str
    detail: str
    where: str = ""
    frame: Optional[int] = None

    @property
    def severity(self) -> str:
        return severity(self.category)

    def __str__(self) -> str:
        return self.detail

    def line(self, where: str = "") -> Optional[str]:
        """The line that says it, naming `where` (else its own file), or None
        when the level keeps it back (--quiet keeps errors only)."""
        sev = self.severity
        if sev != ERROR_SEVERITY and level < NORMAL:
            return None
        at = [p for p in (where or self.where, f"frame {self.frame}" if self.frame is not None else "") if p]
        label = "" if sev == ERROR_SEVERITY else f"{sev}: "
        return f"{PROG}: {': '.join(at)}: {label}{self.detail}" if at else f"{PROG}: {label}{self.detail}"


# Statuses of a whole run, beside those of its files.
RUN_STATUSES = (
    (USAGE, "the command line is wrong (an option value out of range, options that do not go together)"),
    (INTERRUPTED, "interrupted (Ctrl-C): the files begun are finished or removed, no partial file is left"),
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


def located(message: str, frame: Optional[int], row: Optional[int]) -> str:
    """A load's message, led by the frame and row it concerns where it does not name them."""
    where = []
    for name, value in (("frame", frame), ("row", row)):
        if value is not None and not re.search(rf"\b{name} {value}\b", message, re.IGNORECASE):
            where.append(f"{name} {value}")
    return f"{', '.join(where)}: {message}" if where else message


def say(findings: Iterable[Finding], where: str = "", stream: Optional[TextIO] = None) -> None:
    """Each finding once, on its line (see `Finding.line`), to standard error."""
    for finding in unique(findings):
        line = finding.line(where)
        if line:
            print(line, file=stream or sys.stderr)


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
    except KeyboardInterrupt as exc:
        print(f"{PROG}: {exc or 'interrupted'}", file=sys.stderr)
        return INTERRUPTED
    except Exception as exc:  # MemoryError and RecursionError among them
        if debug:
            import traceback

            traceback.print_exc()
        print(f"{PROG}: {internal_error(exc)}", file=sys.stderr)
        return ERROR


def main(argv: Optional[Sequence[str]] = None) -> int:
    """`python -m orvtool.status`: the table in Markdown."""
    import argparse

    parser = argparse.ArgumentParser(
        prog="python -m orvtool.status",
        description="Print the table of findings (their severity, the file's label, the exit status, whether a "
        "batch counts the file among its failures) and the statuses of a whole run, in Markdown.",
    )
    parser.parse_args(argv)
    return run_command(lambda: print(markdown_table()) or SUCCESS)


if __name__ == "__main__":
    sys.exit(main())
