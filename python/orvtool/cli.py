"""The `orvtool` command line."""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any, Callable, List, Optional, Sequence, Tuple

from . import __version__, batch, build, palettes
from .batch import Job, Outcome
from .export import ExportOptions, ExportReport, export_animation
from .summary import describe, format_text
from .loading import OrvToolError

PROG = "orvtool"


# --- tasks, run in worker processes ---------------------------------------


def info_task(job: Job, palette: Optional[str]) -> Tuple[Any, List[str]]:
    info = describe(job.source, palette)
    notes = []
    if info["palette"]["problem"]:
        notes.append(info["palette"]["problem"])
    return info, notes


def export_folder(job: Job, output: str, single: bool) -> str:
    """One file exports into the output folder itself; files found in folders
    keep their place below it, one folder per animation."""
    return output if single else os.path.join(output, os.path.splitext(job.rel)[0])


def export_task(job: Job, output: str, single: bool, options: ExportOptions) -> Tuple[Any, List[str]]:
    report = export_animation(job.source, export_folder(job, output, single), options)
    return report, report.notes


# --- commands -------------------------------------------------------------


def _error(path: str, message: str, say: Callable[..., None]) -> None:
    say(f"{PROG}: {path}: {message}")


def _report(outcome: Outcome, say: Callable[..., None]) -> None:
    if outcome.ok:
        for note in outcome.notes:
            say(f"{PROG}: {outcome.job.source}: note: {note}")
    else:
        _error(outcome.job.source, outcome.error or "failed", say)


def _summary(outcomes: Sequence[Outcome], verb: str) -> int:
    failed = [o for o in outcomes if not o.ok]
    if len(outcomes) > 1 and failed:
        print(f"{PROG}: {len(failed)} of {len(outcomes)} files failed:", file=sys.stderr)
        for o in failed:
            print(f"  {o.job.source}: {o.error}", file=sys.stderr)
    elif len(outcomes) > 1:
        print(f"{PROG}: {verb} {len(outcomes)} files", file=sys.stderr)
    if not outcomes:
        print(f"{PROG}: no animation files found", file=sys.stderr)
        return 1
    return 1 if failed else 0


def _discover(args: argparse.Namespace) -> Tuple[List[Job], List[Outcome]]:
    jobs, missing = batch.discover(args.paths, args.pattern)
    for outcome in missing:
        _report(outcome, lambda line: print(line, file=sys.stderr))
    return jobs, missing


def cmd_info(args: argparse.Namespace) -> int:
    jobs, missing = _discover(args)
    outcomes = batch.run(info_task, jobs, (args.palette,), args.jobs, args.progress, _report)
    if args.json:
        docs = [o.value if o.ok else {"path": o.job.source, "error": o.error} for o in missing + outcomes]
        json.dump(docs, sys.stdout, indent=1)
        sys.stdout.write("\n")
    else:
        texts = [format_text(o.value) for o in outcomes if o.ok]
        if texts:
            print("\n\n".join(texts))
    return _summary(missing + outcomes, "described")


def cmd_export(args: argparse.Namespace) -> int:
    jobs, missing = _discover(args)
    options = ExportOptions(
        sheet=args.sheet,
        gif=args.gif,
        apng=args.apng,
        fps=args.fps,
        force=args.force,
        palette=args.palette,
        padding=args.padding,
    )
    single = len(args.paths) == 1 and os.path.isfile(args.paths[0])

    def report(outcome: Outcome, say: Callable[..., None]) -> None:
        _report(outcome, say)
        if outcome.ok:
            r: ExportReport = outcome.value
            say(f"wrote {r.folder}{os.sep}: {r.frames} frames, {len(r.written)} files", sys.stdout)

    outcomes = batch.run(export_task, jobs, (args.output, single, options), args.jobs, args.progress, report)
    return _summary(missing + outcomes, "exported")


def cmd_build(args: argparse.Namespace) -> int:
    options = build.BuildOptions(
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
            report = build.build_from_export(source, args.output, options)
        else:
            folders = [p for p in args.paths if os.path.isdir(p)]
            if folders:
                raise OrvToolError(f"{folders[0]} is a folder: build takes one export folder or PNG frames")
            source = args.output
            report = build.build_from_frames(args.paths, args.output, options)
    except OrvToolError as exc:
        _error(source, str(exc), lambda line: print(line, file=sys.stderr))
        return 1
    for note in report.notes:
        print(f"{PROG}: {args.output}: note: {note}", file=sys.stderr)
    extra = f", palette {report.palette_written}" if report.palette_written else ""
    print(f"wrote {report.output}: {report.frames} frames{extra}")
    return 0


def cmd_palette(args: argparse.Namespace) -> int:
    try:
        if os.path.lexists(args.output) and not args.force:
            raise OrvToolError(f"{args.output} already exists; not replaced (use --force)")
        pal = palettes.read_palette(args.file, args.source_format)
    except OrvToolError as exc:
        _error(args.file, str(exc), lambda line: print(line, file=sys.stderr))
        return 1
    try:
        palettes.write_palette(pal, args.output, args.target_format, args.cell)
    except OrvToolError as exc:
        _error(args.output, str(exc), lambda line: print(line, file=sys.stderr))
        return 1
    for note in pal.notes:
        print(f"{PROG}: {args.output}: note: {note}", file=sys.stderr)
    kind = palettes.format_for(args.output, args.target_format)
    print(f"wrote {args.output}: {len(pal.colors)} colours as {kind}")
    return 0


def cmd_view(args: argparse.Namespace) -> int:
    from .view import server

    try:
        if args.static:
            count = server.write_static(args.path, args.static, args.force)
            print(f"wrote {os.path.join(args.static, 'index.html')}: {count} animations")
            return 0
        return server.serve(args.path, args.port, not args.no_browser)
    except OrvToolError as exc:
        _error(args.static or args.path, str(exc), lambda line: print(line, file=sys.stderr))
        return 1


# --- argument parsing -----------------------------------------------------


def _positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, not {value}")
    return value


def _positive_float(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be above 0, not {text}")
    return value


def _port(text: str) -> int:
    value = int(text)
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"must be 0 to 65535, not {value}")
    return value


def _batch_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("paths", nargs="+", metavar="PATH", help="animation files, or folders to search")
    p.add_argument("--palette", metavar="FILE", help="use this palette file instead of the one the animation names")
    p.add_argument("--pattern", default=batch.DEFAULT_PATTERN, help="file names to take from folders (default %(default)s)")
    p.add_argument(
        "-j", "--jobs", type=_positive_int, default=batch.default_jobs(),
        help="files worked on in parallel processes (default: the number of cores, %(default)s)",
    )
    p.add_argument("--no-progress", dest="progress", action="store_false", help="no progress bar on a terminal")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Inspect, export, preview and build animation files; convert palettes."
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("info", help="describe animation files", description="Describe animation files: form, speed, frames, runs and palette.")
    _batch_options(p)
    p.add_argument("--json", action="store_true", help="print a JSON list with one object per file")
    p.set_defaults(func=cmd_info)

    p = sub.add_parser(
        "export",
        help="export animations to PNG frames, a sidecar and index layers",
        description="Export each animation to a folder: one RGBA PNG and one index layer per frame and "
        "animation.json, enough to rebuild the file exactly. A single file is exported into OUTPUT; "
        "files found in folders keep their place below OUTPUT, one folder per animation.",
    )
    _batch_options(p)
    p.add_argument("-o", "--output", required=True, metavar="OUTPUT", help="output folder")
    p.add_argument("--sheet", action="store_true", help="also write sheet.png and sheet.json (TexturePacker hash layout)")
    p.add_argument("--gif", action="store_true", help="also write preview.gif, all frames placed on one canvas")
    p.add_argument("--apng", action="store_true", help="also write preview.apng, with full alpha")
    p.add_argument("--fps", type=_positive_float, default=10.0, help="preview frames per second (default %(default)s)")
    p.add_argument("--padding", type=int, default=1, help="pixels between frames on the sheet (default %(default)s)")
    p.add_argument("-f", "--force", action="store_true", help="replace files that already exist")
    p.set_defaults(func=cmd_export)

    p = sub.add_parser(
        "build",
        help="build an animation from an export folder or from PNG frames",
        description="Build an animation file from an export folder (edited or not) or from plain PNG frames. "
        "Each pixel keeps the index of its index layer while it still shows that index's colour; a fully "
        "transparent pixel is uncovered; any other takes the palette entry of its exact colour (the lowest "
        "index among equal ones), else the nearest by squared RGBA distance (dr^2 + dg^2 + db^2 + da^2). "
        "Shadow frames cover every pixel that is not fully transparent. An unedited export folder gives back "
        "the file it came from. Nothing is written on any error.",
    )
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
        "--quantize", type=_positive_int, metavar="N",
        help="make a new palette of at most N (1 to 256) colours from the frames with Pillow, alpha included, "
        "and write it to --palette",
    )
    p.add_argument(
        "--anchor", choices=sorted(build.ANCHORS),
        help="PNG frames: the origin of the animation on each frame (default bottom-center)",
    )
    p.add_argument("--offset", type=int, nargs=2, metavar=("X", "Y"), help="PNG frames: the offsets of every frame")
    p.add_argument("--speed", type=int, help="PNG frames: the animation's speed value (default 100)")
    p.add_argument("--shadow", action="store_true", help="PNG frames: make shadow frames")
    p.add_argument("--background", action="store_true", help="PNG frames: write the background form")
    p.add_argument("-f", "--force", action="store_true", help="replace FILE (and a palette to write) if it exists")
    p.set_defaults(func=cmd_build)

    p = sub.add_parser(
        "palette",
        help="convert a palette between formats",
        description="Convert a palette. Formats, from the file extension or --from/--to: "
        "pal (the game's binary palette; a .pal that starts with JASC-PAL is read as jasc), "
        "png (16 x 16 swatch), gpl (GIMP), jasc (JASC-PAL), act (Adobe), json. "
        "GIMP, JASC-PAL and Adobe tables have no alpha: the conversion says when colours lose it.",
    )
    p.add_argument("file", metavar="FILE", help="palette to read")
    p.add_argument("-o", "--output", required=True, metavar="OUT", help="palette to write")
    p.add_argument("--from", dest="source_format", choices=palettes.FORMATS, help="format of FILE")
    p.add_argument("--to", dest="target_format", choices=palettes.FORMATS, help="format of OUT")
    p.add_argument("--cell", type=_positive_int, default=1, help="pixels per colour in a swatch PNG (default %(default)s)")
    p.add_argument("-f", "--force", action="store_true", help="replace OUT if it exists")
    p.set_defaults(func=cmd_palette)

    p = sub.add_parser(
        "view",
        help="browse and play the animations of a folder in the browser",
        description="Serve a page on 127.0.0.1 that shows every animation under PATH: a filterable tree "
        "with thumbnails and errors, the selected animation playing frame by frame, its frame table, "
        "palette and export command. Ctrl-C stops the server. With --static, write the page with its "
        "data inline instead, to open from file:// without a server.",
    )
    p.add_argument("path", metavar="PATH", help="folder to browse")
    p.add_argument("--port", type=_port, default=0, help="port to listen on (default: a free one)")
    p.add_argument("--no-browser", action="store_true", help="do not open the page in a browser")
    p.add_argument("--static", metavar="OUT", help="write the page to the folder OUT instead of serving it")
    p.add_argument("-f", "--force", action="store_true", help="--static: replace the page's files in OUT")
    p.set_defaults(func=cmd_view)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return int(args.func(args))
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
