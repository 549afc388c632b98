"""A command's options declared as data and added to its parser by one
function; the options that several commands share, declared once; and the
checks of option values (a value out of range is a usage error, exit
status 2)."""

from __future__ import annotations

import argparse
import dataclasses
from typing import Callable, Dict, Iterable, Optional, Tuple, Type, TypeVar, Union

from orvtool.run import batch

FPS_RANGE = (0.01, 100.0)  # a GIF frame lasts whole hundredths of a second, 1 to 10000 of them


def int_range(low: int, high: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be from {low} to {high}, not {value}")
        return value

    return parse


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, not {value}")
    return value


def positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be above 0, not {text}")
    return value


def fps(text: str) -> float:
    value = positive_float(text)
    low, high = FPS_RANGE
    if not low <= value <= high:
        raise argparse.ArgumentTypeError(
            f"must be from {low:g} to {high:g} (a GIF frame lasts whole hundredths of a second), not {text}"
        )
    return value


def color(text: str) -> Tuple[int, int, int]:
    """A colour as #rrggbb, #rgb, a CSS name or rgb(r, g, b)."""
    from PIL import ImageColor

    try:
        rgb = ImageColor.getrgb(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a colour: {text!r} (try #rrggbb or a name such as white)") from None
    return int(rgb[0]), int(rgb[1]), int(rgb[2])


@dataclasses.dataclass(frozen=True)
class Option:
    """One argument of a command: its flags (or the name of a positional),
    its help, and the settings of argparse's add_argument under their own
    names. A setting left at its default here is not passed, so argparse's
    own holds (a store_true flag's False; a positional takes no
    `required`). Options that name the same `exclusive` group may not be
    given together. `fills` names the field of the command's options
    dataclass that the value fills (see `parse_into`); an option that fills
    none is read by the command itself."""

    flags: Tuple[str, ...]
    help: str
    metavar: Union[None, str, Tuple[str, ...]] = None
    type: Optional[Callable[[str], object]] = None
    choices: Optional[Tuple[str, ...]] = None
    nargs: Union[None, int, str] = None
    default: object = None
    action: Optional[str] = None
    dest: Optional[str] = None
    required: bool = False
    exclusive: str = ""
    fills: str = ""

    @property
    def name(self) -> str:
        """The attribute of the parsed namespace that holds the value, as
        argparse names it."""
        if self.dest:
            return self.dest
        long = next((f for f in self.flags if f.startswith("--")), self.flags[0])
        return long.lstrip("-").replace("-", "_")


_NOT_PASSED = ("flags", "exclusive", "fills")

T = TypeVar("T")


def parse_into(cls: Type[T], args: argparse.Namespace, declared: Iterable[Option]) -> T:
    """The options dataclass `cls` made from the parsed command line: each
    declared option that `fills` one of its fields gives that field its
    value (one of a fixed number of words as a tuple); the other fields keep their
    defaults."""
    names = {f.name for f in dataclasses.fields(cls)}  # type: ignore[arg-type]
    values: Dict[str, object] = {}
    for option in declared:
        if not option.fills:
            continue
        if option.fills not in names or option.fills in values:
            raise ValueError(f"{option.flags[0]} fills {option.fills!r}: not a field of {cls.__name__} filled once")
        value = getattr(args, option.name)
        values[option.fills] = tuple(value) if isinstance(option.nargs, int) and value is not None else value
    return cls(**values)


def add_options(p: argparse.ArgumentParser, declared: Iterable[Option]) -> None:
    """Adds the options to the parser in their order."""
    groups: Dict[str, argparse._MutuallyExclusiveGroup] = {}
    for option in declared:
        target: argparse._ActionsContainer = p
        if option.exclusive:
            if option.exclusive not in groups:
                groups[option.exclusive] = p.add_mutually_exclusive_group()
            target = groups[option.exclusive]
        settings = {
            field.name: getattr(option, field.name)
            for field in dataclasses.fields(option)
            if field.name not in _NOT_PASSED and getattr(option, field.name) != field.default
        }
        target.add_argument(*option.flags, **settings)


def palette(help: str, metavar: str = "FILE") -> Option:
    return Option(
        ("--palette",),
        help + " (any palette format: .pal, .gpl, JASC .pal, .act, .json, swatch or indexed .png)",
        metavar=metavar,
        fills="palette",
    )


def force(help: str) -> Option:
    return Option(("-f", "--force"), help, action="store_true", fills="force")


def jobs(help: str) -> Option:
    return Option(("-j", "--jobs"), help, type=positive_int, default=batch.default_jobs())


NO_PROGRESS = Option(("--no-progress",), "no progress bar on a terminal", dest="progress", action="store_false")

REPORT = Option(
    ("--report",),
    "write one JSON object per source to FILE as each is done (JSON Lines, `-` for standard output, "
    "which then carries nothing else): outputs written, status and findings",
    metavar="FILE",
)

# --quiet, --verbose and --debug, which every command takes.
OUTPUT_OPTIONS = (
    Option(("-q", "--quiet"), "print errors only", action="store_true", exclusive="level"),
    Option(
        ("-v", "--verbose"),
        "also print the details behind each note; twice (-vv), as --debug",
        action="count",
        default=0,
        exclusive="level",
    ),
    Option(("--debug",), "show the traceback of an internal error", action="store_true"),
    Option(("--strict",), "warnings count as failures: a file with one fails the run (status 1)", action="store_true"),
)

# Many animation files in, worked on in parallel.
BATCH_OPTIONS = (
    Option(("paths",), "animation files, or folders to search", nargs="+", metavar="PATH"),
    palette("use this palette file instead of the one the animation names"),
    Option(("--pattern",), "file names to take from folders (default %(default)s)", default=batch.DEFAULT_PATTERN),
    jobs("files worked on in parallel processes (default: the number of cores, %(default)s)"),
    NO_PROGRESS,
)


def add_output_options(p: argparse.ArgumentParser) -> None:
    add_options(p, OUTPUT_OPTIONS)


def add_force(p: argparse.ArgumentParser, help: str) -> None:
    add_options(p, [force(help)])


def add_batch_options(p: argparse.ArgumentParser) -> None:
    add_options(p, BATCH_OPTIONS)
