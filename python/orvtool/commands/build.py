"""`orvtool build`: an animation file from an export folder or PNG frames."""

from __future__ import annotations

import argparse
import os
from dataclasses import replace
from typing import List, NamedTuple, Optional, Sequence, Tuple, Union

from orvtool import build as builder
from orvtool.commands import options
from orvtool.commands.options import Option
from orvtool.model import limits
from orvtool.model.errors import OrvToolError, UsageError
from orvtool.report import results, status
from orvtool.report.status import say_error
from orvtool.run import batch
from orvtool.run.batch import Job, Outcome

DESCRIPTION = (
    "Build an animation file from an export folder (edited or not), a sprite sheet, or plain image frames. "
    "Each pixel keeps the index of its index layer while it still shows that index's colour; a fully "
    "transparent pixel is uncovered; any other takes the palette entry of its exact colour (the lowest "
    "index among equal ones), else the nearest by squared RGBA distance (dr^2 + dg^2 + db^2 + da^2). "
    "Shadow frames cover every pixel that is not fully transparent. An unedited export folder gives back "
    "the file it came from. A tree of export folders builds into a tree of animation files. Nothing is "
    "written for an animation whose build fails."
)


def anchor_name(text: str) -> str:
    """Anchors are spelt "center"; "centre" is taken as well."""
    return text.lower().replace("centre", "center")


COORDINATE = options.int_range(-0x8000, 0x7FFF)  # a signed 16-bit word of the file

ARGUMENTS = (
    Option(
        ("paths",),
        "an export folder, a tree of export folders, a folder of PNG frames, a sprite sheet's JSON "
        "(Aseprite or TexturePacker, hash or array), or image files in order (PNG; GIF, APNG and WebP give "
        "all their frames)",
        nargs="+",
        metavar="SOURCE",
    ),
    Option(("-o", "--output"), "animation file to write (a folder for a tree)", required=True, metavar="FILE"),
    options.palette(
        "palette to match against if it exists, else the palette to write (the export's colours, or "
        "--quantize's), which must end in .pal; the file names it by its path relative to --project-root. "
        "A palette in another format is matched against and its colours written beside it as NAME.pal, "
        "the game's binary format, which the file names. Required for plain frames",
        metavar="P",
    ),
    Option(
        ("--project-root",),
        "store the palette path relative to DIR (default: the output's folder); without it and "
        "--palette an export folder keeps its stored path. --add-colors looks for the animations that "
        "use the palette below DIR",
        metavar="DIR",
        fills="project_root",
    ),
    Option(("--exact",), "refuse colours that the palette does not hold exactly", action="store_true", fills="exact"),
    Option(
        ("--add-colors",),
        "put colours that the palette lacks into entries that nothing uses: any entry of a palette this "
        "build writes; of an existing palette, only entries that no animation below --project-root draws with",
        action="store_true",
        fills="add_colors",
    ),
    Option(
        ("--quantize",),
        "make a new palette of at most N (1 to 256) colours from the frames with Pillow, alpha included, "
        "and write it to --palette",
        type=options.int_range(1, 256),
        metavar="N",
        fills="quantize",
    ),
    Option(
        ("--anchor",),
        "plain frames: the origin of the animation on each frame; sheets without a pivot: on the source "
        f"canvas (default {builder.DEFAULT_ANCHOR})",
        type=anchor_name,
        choices=tuple(sorted(builder.ANCHORS)),
        fills="anchor",
    ),
    Option(
        ("--origin",),
        "frames whose source gives no origin (plain images, sheets without a pivot): the origin in pixels "
        "from the top-left of the source canvas, or of the cell of a grid sheet (export prints it)",
        type=COORDINATE,
        nargs=2,
        metavar=("X", "Y"),
        fills="origin",
    ),
    Option(
        ("--tag",),
        "a sprite sheet: build the frames of one Aseprite frame tag or TexturePacker animation, in its order",
        metavar="NAME",
        fills="tag",
    ),
    Option(
        ("--image",),
        "a sprite sheet: its atlas image (default: the one its JSON names, else the JSON's name ending in "
        ".png beside it)",
        metavar="PATH",
        fills="image",
    ),
    Option(
        ("--each-tag",),
        "a sprite sheet: build one file per tag, NAME.orv in the folder -o names; every tag is planned before "
        "one is written, and all share one palette (with --quantize, made from the frames of every tag)",
        action="store_true",
    ),
    Option(
        ("--resize-anchor",),
        "the point a resized frame keeps when its source gives no placement at all (an export folder's PNG "
        "without a moved oFFs chunk; default bottom-center)",
        type=anchor_name,
        choices=tuple(builder.RESIZE_ANCHORS),
        fills="resize_anchor",
    ),
    Option(
        ("--offset",),
        "plain frames: the offsets of every frame",
        type=COORDINATE,
        nargs=2,
        metavar=("X", "Y"),
        fills="offset",
    ),
    Option(
        ("--speed",),
        "the animation's speed value, on every route (default: the record's or orvtool's preview's, else "
        "100); the file holds one speed, which only the game interprets, so frame durations are not converted",
        type=options.int_range(0, 0xFFFFFFFF),
        fills="speed",
    ),
    Option(("--shadow",), "plain frames: make shadow frames", action="store_true", fills="shadow"),
    Option(("--background",), "plain frames: write the background form", action="store_true", fills="background"),
    Option(
        ("--transparent",),
        "colour key for images without alpha: pixels of this colour (#rrggbb, a name or rgb(r, g, b)) are left out",
        type=options.color,
        metavar="COLOR",
        fills="transparent",
    ),
    options.jobs("a tree: animations built in parallel processes (default: the number of cores, %(default)s)"),
    options.NO_PROGRESS,
    options.force("replace FILE (and a palette to write) if it exists"),
    Option(
        ("--skip-existing",),
        "leave an output newer than every file of its source (the files of an export folder or of a sheet's "
        "folder, the images, --palette); a re-run after an interruption does the rest; with --force, the others "
        "are replaced",
        action="store_true",
    ),
    options.REPORT,
    Option(
        ("--watch",),
        "build, then build again each time a source file changes (one build for one save of several "
        "files), until Ctrl-C; a failed build leaves the last good output as it was",
        action="store_true",
    ),
)


def add_arguments(p: argparse.ArgumentParser) -> None:
    options.add_options(p, ARGUMENTS)


class Kept(NamedTuple):
    """An output left as it was by --skip-existing."""

    output: str
    skipped: bool = True


def source_files(paths: Sequence[str], palette: Optional[str]) -> List[str]:
    """The files a build reads: those of a folder (an export folder's frames,
    index layers and sidecar; not the folders in it), of a sheet's folder,
    the images named, and the palette named."""
    files: List[str] = []
    for path in paths:
        folder = path if os.path.isdir(path) else os.path.dirname(path) if path.lower().endswith(".json") else None
        if folder is None:
            files.append(path)
            continue
        with os.scandir(folder or os.curdir) as entries:
            files += [e.path for e in entries if e.is_file()]
    if palette and os.path.exists(palette):
        files.append(palette)
    return files


def up_to_date(output: str, paths: Sequence[str], palette: Optional[str]) -> bool:
    """The output is there, not empty and newer than every file of its source."""
    try:
        made = os.stat(output)
        newest = max((os.stat(f).st_mtime_ns for f in source_files(paths, palette)), default=None)
    except OSError:
        return False
    return newest is not None and made.st_size > 0 and made.st_mtime_ns >= newest


def build_task(
    job: Job, out_tree: str, opts: builder.BuildOptions, skip: bool = False
) -> Tuple[Union[Kept, builder.BuildReport], List[status.Finding]]:
    """Runs in a worker process: one export folder of a tree."""
    output = os.path.join(out_tree, job.rel + ".orv")
    if skip and up_to_date(output, [job.source], opts.palette):
        return Kept(output), []
    report = builder.build_source([job.source], output, opts, limits.Budget())  # one budget an animation
    return report, report.notes


def entry(outcome: Outcome) -> results.RunEntry:
    """The --report object of one source."""
    value = outcome.value
    if isinstance(value, Kept):
        return results.outcome_entry(
            outcome, [], [("already_built", f"{value.output} is newer than every file of its source")]
        )
    outputs: List[str] = []
    if outcome.ok and isinstance(value, builder.BuildReport):
        outputs = [value.output] + ([value.palette_written] if value.palette_written else [])
    return results.outcome_entry(outcome, outputs)


def run_tree(tree: str, args: argparse.Namespace, opts: builder.BuildOptions, env: status.Environment) -> int:
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

    def report(outcome: Outcome, say: batch.Say) -> None:
        batch.report_outcome(outcome, say, env)
        if isinstance(outcome.value, Kept):
            line = status.detail_line(outcome.job.source, f"skipped: {outcome.value.output} is newer than it", env)
            if line:
                say(line)
        elif outcome.ok and not results_file.to_stdout and isinstance(outcome.value, builder.BuildReport):
            r = outcome.value
            line = status.result_line(f"wrote {r.output}: {status.count(r.frames, 'frame')}", env)
            if line:
                say(line, env.out)

    with results.Report(args.report) as results_file:
        emit = (lambda o: results_file.write(entry(o))) if results_file.active else None
        outcomes = batch.run(
            build_task,
            jobs,
            (args.output, opts, args.skip_existing),
            workers,
            args.progress,
            report,
            emit=emit,
            env=env,
        )
    if not outcomes:
        status.run_line(f"{tree}: no export folders found", env=env)
        return status.ERROR
    return batch.summarize(outcomes, "built", args.strict, env)


def run_tags(
    sheet: str, args: argparse.Namespace, opts: builder.BuildOptions, budget: limits.Budget, env: status.Environment
) -> int:
    """One file per tag of a sheet, into the folder -o names."""
    if builder.source_kind(args.paths) != "sheet" or opts.tag is not None:
        raise UsageError("--each-tag takes one sprite sheet's JSON, without --tag")
    try:
        built = builder.build_tags(sheet, args.output, opts, budget)
    except UsageError:
        raise  # the command line is wrong: status 2
    except OrvToolError as exc:
        print(status.failure_line(sheet, exc.finding), file=env.err)
        with results.Report(args.report) as results_file:
            results_file.write(entry(batch.failed(Job(sheet, sheet), exc.finding)))
        return status.ERROR
    failed = 0
    with results.Report(args.report) as results_file:
        for tag, result in built:
            job = Job(sheet, tag)
            if isinstance(result, OrvToolError):
                failed += 1
                finding = replace(result.finding, detail=f"tag '{tag}': {result.detail}")
                print(status.failure_line(sheet, finding), file=env.err)
                results_file.write(entry(batch.failed(job, finding)))
                continue
            status.say(result.notes, result.output, env=env)
            found = status.unique(note.category for note in result.notes)
            outcome = Outcome(job, True, result, notes=result.notes, categories=found)
            results_file.write(entry(outcome))
            if args.strict and batch.warned(outcome):
                failed += 1
                say_error(result.output, batch.strict_error(outcome), env=env)
            line = status.result_line(f"wrote {result.output}: {result.frames} frames", env)
            if line and not results_file.to_stdout:
                print(line, file=env.out)
    if failed:
        status.run_line(f"{failed} of {len(built)} tags failed", env=env)
        return status.ERROR
    return 0


def run(args: argparse.Namespace, env: Optional[status.Environment] = None) -> int:
    env = env or status.current()
    if args.watch:
        from orvtool.run import watching

        return watching.watch(args, lambda again: build_once(again, env))
    return build_once(args, env)


def build_once(args: argparse.Namespace, env: Optional[status.Environment] = None) -> int:
    env = env or status.current()
    opts = options.parse_into(builder.BuildOptions, args, ARGUMENTS)
    source = args.paths[0]
    budget = limits.Budget()  # what the command holds at once, charged by every stage
    if args.each_tag:
        return run_tags(source, args, opts, budget, env)
    kind = builder.source_kind(args.paths)
    if kind == "folder" and builder.export_folders(source):
        return run_tree(source, args, opts, env)
    if kind == "images":
        source = args.output
    with results.Report(args.report) as results_file:
        return _run_one(source, args, opts, results_file, budget, env)


def _run_one(
    source: str,
    args: argparse.Namespace,
    opts: builder.BuildOptions,
    results_file: results.Report,
    budget: limits.Budget,
    env: status.Environment,
) -> int:
    """One animation from one source (a folder, a sheet or images)."""
    job = Job(source, source)
    if args.skip_existing and up_to_date(args.output, args.paths, opts.palette):
        results_file.write(entry(Outcome(job, True, Kept(args.output), skipped=True)))
        status.say(
            [status.Finding("already_built", "skipped: newer than every file of its source")], args.output, env=env
        )
        return 0
    try:
        report = builder.build_source(args.paths, args.output, opts, budget)
    except UsageError:
        raise  # the command line is wrong, whatever the files hold: status 2
    except OrvToolError as exc:
        # Named by the file it concerns, which the raiser knows best; a
        # frame's refusal by the source, naming the frame's own file after it.
        path = exc.where if exc.where and exc.frame is None else source
        print(status.failure_line(path, exc.finding), file=env.err)
        results_file.write(entry(batch.failed(Job(path, source), exc.finding)))
        return status.ERROR
    found = status.unique(note.category for note in report.notes)
    outcome = Outcome(job, True, report, notes=report.notes, categories=found)
    results_file.write(entry(outcome))
    status.say(report.notes, args.output, env=env)
    for detail in status.unique(report.details):
        line = status.detail_line(args.output, detail, env)
        if line:
            print(line, file=env.err)
    extra = f", palette {report.palette_written}" if report.palette_written else ""
    line = status.result_line(f"wrote {report.output}: {status.count(report.frames, 'frame')}{extra}", env)
    if line and not results_file.to_stdout:
        print(line, file=env.out)
    if args.strict and batch.warned(outcome):
        say_error(args.output, batch.strict_error(outcome), env=env)
        return status.ERROR
    return 0
