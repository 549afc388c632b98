"""Options that several commands share, declared once."""

from __future__ import annotations

import argparse

from . import batch


def positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, not {value}")
    return value


def positive_float(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be above 0, not {text}")
    return value


def add_force(p: argparse.ArgumentParser, help: str) -> None:
    p.add_argument("-f", "--force", action="store_true", help=help)


def add_batch_options(p: argparse.ArgumentParser) -> None:
    """Many animation files in, worked on in parallel."""
    p.add_argument("paths", nargs="+", metavar="PATH", help="animation files, or folders to search")
    p.add_argument("--palette", metavar="FILE", help="use this palette file instead of the one the animation names")
    p.add_argument("--pattern", default=batch.DEFAULT_PATTERN, help="file names to take from folders (default %(default)s)")
    p.add_argument(
        "-j", "--jobs", type=positive_int, default=batch.default_jobs(),
        help="files worked on in parallel processes (default: the number of cores, %(default)s)",
    )
    p.add_argument("--no-progress", dest="progress", action="store_false", help="no progress bar on a terminal")
