"""`orvtool build`: an animation file from an export folder or PNG frames."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, Callable, List, Tuple

from .. import batch, builder, options, status
from ..batch import Job, Outcome
from ..errors import OrvToolError, UsageError
from ..status import PROG, say_error

DESCRIPTION = (
    "Build an animation file from an export folder (edited or not), a sprite sheet, or plain image frames. "
    "Each pixel keeps the index of its index layer while it still shows that index's colour; a fully "
    "transparent pixel is uncovered; any other takes the palette entry of its exact colour (the lowest "
    "index among equal ones), else the nearest by squared RGBA distance (dr^2 + dg^2 + db^2 + da^2). "
    "Shadow frames cover every pixel that is not fully transparent. An unedited export folder gives back "
    "the file it came from. A tree of export folders builds into a tree of animation files. Nothing is "
    "written for an animation whose build fails."
)


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "paths",
        nargs="+",
        metavar="SOURCE",
        help="an export folder, a tree of export folders, a folder of PNG frames, a sprite sheet's JSON "
        "(Aseprite or TexturePacker, hash or array), or image files in order (PNG; GIF, APNG and WebP give "
        "all their frames)",
    )
    p.add_argument(
        "-o", "--output", required=True, metavar="FILE", help="animation file to write (a folder for a tree)"
    )
    options.add_palette(
        p,
        "palette to match against if it exists, else the palette to write (the export's colours, or "
        "--quantize's), which must end in .pal; the file names it by its path relative to --project-root. "
        "A palette in another format is matched against and its colours written beside it as NAME.pal, "
        "the game's binary format, which the file names. Required for plain frames",
        metavar="P",
    )
    p.add_argument(
        "--project-root",
        metavar="DIR",
        help="store the palette path relative to DIR (default: the output's folder); without it and "
        "--palette an export folder keeps its stored path. --add-colors looks for the animations that "
        "use the palette below DIR",
    )
    p.add_argument("--exact", action="store_true", help="refuse colours that the palette does not hold exactly")
    p.add_argument(
        "--add-colors",
        action="store_true",
        help="put colours that the palette lacks into entries that nothing uses: any entry of a palette this "
        "build writes; of an existing palette, only entries that no animation below --project-root draws with",
    )
    p.add_argument(
        "--quantize",
        type=options.int_range(1, 256),
        metavar="N",
        help="make a new palette of at most N (1 to 256) colours from the frames with Pillow, alpha included, "
        "and write it to --palette",
    )
    p.add_argument(
        "--anchor",
        type=anchor_name,
        choices=sorted(builder.ANCHORS),
        help="plain frames: the origin of the animation on each frame; sheets without a pivot: on the source "
        f"canvas (default {builder.DEFAULT_ANCHOR})",
    )
    p.add_argument(
        "--origin",
        type=options.int_range(-0x8000, 0x7FFF),
        nargs=2,
        metavar=("X", "Y"),
        help="frames whose source gives no origin (plain images, sheets without a pivot): the origin in pixels "
        "from the top-left of the source canvas, or of the cell of a grid sheet (export prints it)",
    )
    p.add_argument(
        "--tag",
        metavar="NAME",
        help="a sprite sheet: build the frames of one Aseprite frame tag or TexturePacker animation, in its order",
    )
    p.add_argument(
        "--image",
        metavar="PATH",
        help="a sprite sheet: its atlas image (default: the one its JSON names, else the JSON's name ending in "
        ".png beside it)",
    )
    p.add_argument(
        "--each-tag",
        action="store_true",
        help="a sprite sheet: build one file per tag, NAME.orv in the folder -o names",
    )
    p.add_argument(
        "--resize-anchor",
        type=anchor_name,
        choices=list(builder.RESIZE_ANCHORS),
        help="the point a resized frame keeps when its source gives no placement at all (an export folder's PNG "
        "without a moved oFFs chunk; default bottom-center)",
    )
    p.add_argument(
        "--offset",
        type=options.int_range(-0x8000, 0x7FFF),
        nargs=2,
        metavar=("X", "Y"),
        help="plain frames: the offsets of every frame",
    )
    p.add_argument(
        "--speed",
        type=options.int_range(0, 0xFFFFFFFF),
        help="the animation's speed value, on every route (default: the record's, else 100); the file holds one "
        "speed, which only the game interprets, so frame durations are not converted",
    )
    p.add_argument("--shadow", action="store_true", help="plain frames: make shadow frames")
    p.add_argument("--background", action="store_true", help="plain frames: write the background form")
    p.add_argument(
        "--transparent",
        type=options.color,
        metavar="COLOR",
        help="colour key for images without alpha: pixels of this colour (#rrggbb, a name or rgb(r, g, b)) "
        "are left out",
    )
    p.add_argument(
        "-j",
        "--jobs",
        type=options.positive_int,
        default=batch.default_jobs(),
        help="a tree: animations built in parallel processes (default: the number of cores, %(default)s)",
    )
    p.add_argument("--no-progress", dest="progress", action="store_false", help="no progress bar on a terminal")
    options.add_force(p, "replace FILE (and a palette to write) if it exists")


def anchor_name(text: str) -> str:
    """Anchors are spelt "center"; "centre" is taken as well."""
    return text.lower().replace("centre", "center")


def build_task(job: Job, out_tree: str, opts: builder.BuildOptions) -> Tuple[Any, List[status.Finding]]:
    """Runs in a worker process: one export folder of a tree."""
    output = os.path.join(out_tree, job.rel + ".orv")
    report = builder.build_from_export(job.source, output, opts)
    return report, report.notes


def run_tree(tree: str, args: argparse.Namespace, opts: builder.BuildOptions) -> int:
    """Every export folder below `tree`. Animations that would each write the
    same palette file are refused; palettes grown by --add-colors are grown
    one animation at a time, each seeing the colours the one before added."""
    if opts.quantize is not None:
        raise UsageError("--quantize makes a palette for one animation: build the folders of a tree one at a time")
    if opts.palette is not None and not os.path.exists(opts.palette):
        raise UsageError(f"--palette {opts.palette} does not exist: a tree is built against an existing palette")
    workers = 1 if opts.add_colors else args.jobs
    folders = builder.export_folders(tree)
    jobs = [Job(f, os.path.relpath(f, tree)) for f in folders]

    def report(outcome: Outcome, say: Callable[..., None]) -> None:
        batch.report_outcome(outcome, say)
        if outcome.ok:
            r: builder.BuildReport = outcome.value
            line = status.result_line(f"wrote {r.output}: {status.count(r.frames, 'frame')}")
            if line:
                say(line, sys.stdout)

    outcomes = batch.run(build_task, jobs, (args.output, opts), workers, args.progress, report)
    if not outcomes:
        print(f"{PROG}: {tree}: no export folders found", file=sys.stderr)
        return status.ERROR
    return batch.summarize(outcomes, "built")


def run_tags(sheet: str, args: argparse.Namespace, opts: builder.BuildOptions) -> int:
    """One file per tag of a sheet, into the folder -o names."""
    if len(args.paths) != 1 or not sheet.lower().endswith(".json") or opts.tag is not None:
        raise UsageError("--each-tag takes one sprite sheet's JSON, without --tag")
    try:
        results = builder.build_tags(sheet, args.output, opts)
    except UsageError:
        raise  # the command line is wrong: status 2
    except OrvToolError as exc:
        say_error(sheet, str(exc))
        return status.ERROR
    failed = 0
    for tag, result in results:
        if isinstance(result, OrvToolError):
            failed += 1
            say_error(sheet, f"tag '{tag}': {result}")
            continue
        status.say(result.notes, result.output)
        line = status.result_line(f"wrote {result.output}: {result.frames} frames")
        if line:
            print(line)
    if failed:
        print(f"{PROG}: {failed} of {len(results)} tags failed", file=sys.stderr)
        return status.ERROR
    return 0


def run(args: argparse.Namespace) -> int:
    opts = builder.BuildOptions(
        palette=args.palette,
        project_root=args.project_root,
        exact=args.exact,
        quantize=args.quantize,
        force=args.force,
        add_colors=args.add_colors,
        resize_anchor=args.resize_anchor,
        transparent=args.transparent,
        anchor=args.anchor,
        origin=tuple(args.origin) if args.origin else None,
        tag=args.tag,
        image=args.image,
        offset=tuple(args.offset) if args.offset else None,
        speed=args.speed,
        shadow=args.shadow,
        background=args.background,
    )
    source = args.paths[0]
    if args.each_tag:
        return run_tags(source, args, opts)
    single_dir = len(args.paths) == 1 and os.path.isdir(source)
    if single_dir and not builder.is_export_folder(source) and builder.export_folders(source):
        return run_tree(source, args, opts)
    if not (single_dir or (len(args.paths) == 1 and source.lower().endswith(".json"))):
        source = args.output
    try:
        report = builder.build_source(args.paths, args.output, opts)
    except UsageError:
        raise  # the command line is wrong, whatever the files hold: status 2
    except OrvToolError as exc:
        say_error(exc.where or source, exc.detail)
        return status.ERROR
    status.say(report.notes, args.output)
    for detail in status.unique(report.details):
        line = status.detail_line(args.output, detail)
        if line:
            print(line, file=sys.stderr)
    extra = f", palette {report.palette_written}" if report.palette_written else ""
    line = status.result_line(f"wrote {report.output}: {status.count(report.frames, 'frame')}{extra}")
    if line:
        print(line)
    return 0
