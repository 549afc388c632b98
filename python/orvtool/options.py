"""Options that several commands share, declared once, and the checks of
option values (a value out of range is a usage error, exit status 2)."""

from __future__ import annotations

import argparse
from typing import Callable, Tuple

from . import batch

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


def add_output_options(p: argparse.ArgumentParser) -> None:
    """--quiet, --verbose and --debug, which every command takes."""
    group = p.add_mutually_exclusive_group()
    group.add_argument("-q", "--quiet", action="store_true", help="print errors only")
    group.add_argument(
        "-v",
        "--verbose",
        action="count",
        default=0,
        help="also print the details behind each note; twice (-vv), as --debug",
    )
    p.add_argument("--debug", action="store_true", help="show the traceback of an internal error")
    p.add_argument(
        "--strict", action="store_true", help="warnings count as failures: a file with one fails the run (status 1)"
    )


def add_force(p: argparse.ArgumentParser, help: str) -> None:
    p.add_argument("-f", "--force", action="store_true", help=help)


def add_palette(p: argparse.ArgumentParser, help: str, metavar: str = "FILE") -> None:
    p.add_argument(
        "--palette",
        metavar=metavar,
        help=help + " (any palette format: .pal, .gpl, JASC .pal, .act, .json, swatch or indexed .png)",
    )


def add_batch_options(p: argparse.ArgumentParser) -> None:
    """Many animation files in, worked on in parallel."""
    p.add_argument("paths", nargs="+", metavar="PATH", help="animation files, or folders to search")
    add_palette(p, "use this palette file instead of the one the animation names")
    p.add_argument(
        "--pattern", default=batch.DEFAULT_PATTERN, help="file names to take from folders (default %(default)s)"
    )
    p.add_argument(
        "-j",
        "--jobs",
        type=positive_int,
        default=batch.default_jobs(),
        help="files worked on in parallel processes (default: the number of cores, %(default)s)",
    )
    p.add_argument("--no-progress", dest="progress", action="store_false", help="no progress bar on a terminal")


def add_report(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--report",
        metavar="FILE",
        help="write one JSON object per source to FILE as each is done (JSON Lines, `-` for standard output, "
        "which then carries nothing else): outputs written, status and findings",
    )
