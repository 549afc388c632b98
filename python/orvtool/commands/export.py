"""`orvtool export`: animations to PNG frames, index layers and a sidecar."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, Callable, List, Tuple

from .. import batch, options
from ..batch import Job, Outcome

DESCRIPTION = (
    "Export each animation to a folder: one RGBA PNG and one index layer per frame and "
    "animation.json, enough to rebuild the file exactly. A single file is exported into OUTPUT; "
    "files found in folders keep their place below OUTPUT, one folder per animation."
)


def add_arguments(p: argparse.ArgumentParser) -> None:
    options.add_batch_options(p)
    p.add_argument("-o", "--output", required=True, metavar="OUTPUT", help="output folder")
    p.add_argument("--sheet", action="store_true", help="also write sheet.png and sheet.json (TexturePacker hash layout)")
    p.add_argument("--gif", action="store_true", help="also write preview.gif, all frames placed on one canvas")
    p.add_argument("--apng", action="store_true", help="also write preview.apng, with full alpha")
    p.add_argument("--fps", type=options.positive_float, default=10.0, help="preview frames per second (default %(default)s)")
    p.add_argument("--padding", type=int, default=1, help="pixels between frames on the sheet (default %(default)s)")
    options.add_force(p, "replace files that already exist")


def export_folder(job: Job, output: str, single: bool) -> str:
    """One file exports into the output folder itself; files found in folders
    keep their place below it, one folder per animation."""
    return output if single else os.path.join(output, os.path.splitext(job.rel)[0])


def export_task(job: Job, output: str, single: bool, opts: Any) -> Tuple[Any, List[str]]:
    """Runs in a worker process."""
    from ..exporting import export_animation

    report = export_animation(job.source, export_folder(job, output, single), opts)
    return report, report.notes


def run(args: argparse.Namespace) -> int:
    from ..exporting import ExportOptions, ExportReport

    jobs, missing = batch.discover_reported(args.paths, args.pattern)
    opts = ExportOptions(
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
        batch.report_outcome(outcome, say)
        if outcome.ok:
            r: ExportReport = outcome.value
            say(f"wrote {r.folder}{os.sep}: {r.frames} frames, {len(r.written)} files", sys.stdout)

    outcomes = batch.run(export_task, jobs, (args.output, single, opts), args.jobs, args.progress, report)
    return batch.summarize(missing + outcomes, "exported")
