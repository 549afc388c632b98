"""`orvtool build`: an animation file from an export folder or PNG frames."""

from __future__ import annotations

import argparse
import os
import sys

from .. import building, options
from ..errors import OrvToolError, UsageError
from .. import status
from ..status import say_error

DESCRIPTION = (
    "Build an animation file from an export folder (edited or not) or from plain PNG frames. "
    "Each pixel keeps the index of its index layer while it still shows that index's colour; a fully "
    "transparent pixel is uncovered; any other takes the palette entry of its exact colour (the lowest "
    "index among equal ones), else the nearest by squared RGBA distance (dr^2 + dg^2 + db^2 + da^2). "
    "Shadow frames cover every pixel that is not fully transparent. An unedited export folder gives back "
    "the file it came from. Nothing is written on any error."
)


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("paths", nargs="+", metavar="SOURCE", help="an export folder, or PNG frames in order")
    p.add_argument("-o", "--output", required=True, metavar="FILE", help="animation file to write")
    options.add_palette(
        p,
        "palette to match against if it exists, else the palette to write (the export's colours, or "
        "--quantize's), which must end in .pal; the file names it by its path relative to --project-root. "
        "A palette in another format is matched against and its colours written beside it as NAME.pal, "
        "the game's binary format, which the file names. Required for PNG frames",
        metavar="P",
    )
    p.add_argument(
        "--project-root", metavar="DIR",
        help="store the palette path relative to DIR (default: the output's folder); without it and "
        "--palette an export folder keeps its stored path",
    )
    p.add_argument("--exact", action="store_true", help="refuse colours that the palette does not hold exactly")
    p.add_argument(
        "--quantize", type=options.int_range(1, 256), metavar="N",
        help="make a new palette of at most N (1 to 256) colours from the frames with Pillow, alpha included, "
        "and write it to --palette",
    )
    p.add_argument(
        "--anchor", choices=sorted(building.ANCHORS),
        help="PNG frames: the origin of the animation on each frame (default bottom-center)",
    )
    p.add_argument(
        "--offset", type=options.int_range(-0x8000, 0x7FFF), nargs=2, metavar=("X", "Y"),
        help="PNG frames: the offsets of every frame",
    )
    p.add_argument(
        "--speed", type=options.int_range(0, 0xFFFFFFFF), help="PNG frames: the animation's speed value (default 100)"
    )
    p.add_argument("--shadow", action="store_true", help="PNG frames: make shadow frames")
    p.add_argument("--background", action="store_true", help="PNG frames: write the background form")
    options.add_force(p, "replace FILE (and a palette to write) if it exists")


def run(args: argparse.Namespace) -> int:
    opts = building.BuildOptions(
        palette=args.palette,
        project_root=args.project_root,
        exact=args.exact,
        quantize=args.quantize,
        force=args.force,
        anchor=args.anchor,
        offset=tuple(args.offset) if args.offset else None,
        speed=args.speed,
        shadow=args.shadow,
        background=args.background,
    )
    source = args.paths[0]
    try:
        if len(args.paths) == 1 and os.path.isdir(source):
            report = building.build_from_export(source, args.output, opts)
        else:
            folders = [p for p in args.paths if os.path.isdir(p)]
            if folders:
                raise UsageError(f"{folders[0]} is a folder: build takes one export folder or PNG frames")
            source = args.output
            report = building.build_from_frames(args.paths, args.output, opts)
    except UsageError:
        raise  # the command line is wrong, whatever the files hold: status 2
    except OrvToolError as exc:
        say_error(source, str(exc))
        return status.ERROR
    for note in report.notes:
        line = status.note_line(args.output, note)
        if line:
            print(line, file=sys.stderr)
    for detail in report.details:
        line = status.detail_line(args.output, detail)
        if line:
            print(line, file=sys.stderr)
    extra = f", palette {report.palette_written}" if report.palette_written else ""
    line = status.result_line(f"wrote {report.output}: {report.frames} frames{extra}")
    if line:
        print(line)
    return 0
