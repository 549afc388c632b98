"""`orvtool build`: an animation file from an export folder or PNG frames."""

from __future__ import annotations

import argparse
import os
import sys

from .. import building, options
from ..errors import OrvToolError
from ..status import PROG, say_error

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
    p.add_argument(
        "--palette", metavar="P",
        help="palette to match against if it exists, else the palette to write (the export's colours, or "
        "--quantize's); its path relative to --project-root is stored in the file. Required for PNG frames",
    )
    p.add_argument(
        "--project-root", metavar="DIR",
        help="store the palette path relative to DIR (default: the output's folder); without it and "
        "--palette an export folder keeps its stored path",
    )
    p.add_argument("--exact", action="store_true", help="refuse colours that the palette does not hold exactly")
    p.add_argument(
        "--quantize", type=options.positive_int, metavar="N",
        help="make a new palette of at most N (1 to 256) colours from the frames with Pillow, alpha included, "
        "and write it to --palette",
    )
    p.add_argument(
        "--anchor", choices=sorted(building.ANCHORS),
        help="PNG frames: the origin of the animation on each frame (default bottom-center)",
    )
    p.add_argument("--offset", type=int, nargs=2, metavar=("X", "Y"), help="PNG frames: the offsets of every frame")
    p.add_argument("--speed", type=int, help="PNG frames: the animation's speed value (default 100)")
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
                raise OrvToolError(f"{folders[0]} is a folder: build takes one export folder or PNG frames")
            source = args.output
            report = building.build_from_frames(args.paths, args.output, opts)
    except OrvToolError as exc:
        say_error(source, str(exc))
        return 1
    for note in report.notes:
        print(f"{PROG}: {args.output}: note: {note}", file=sys.stderr)
    extra = f", palette {report.palette_written}" if report.palette_written else ""
    print(f"wrote {report.output}: {report.frames} frames{extra}")
    return 0
