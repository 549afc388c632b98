"""`orvtool export`: animations to PNG frames, index layers and a sidecar."""

from __future__ import annotations

import argparse
import os
from typing import TYPE_CHECKING, Dict, List, Optional, Tuple

from orvtool.commands import options
from orvtool.commands.options import Option
from orvtool.model.errors import UsageError
from orvtool.report import results, status
from orvtool.run import batch
from orvtool.run.batch import Job, Outcome

if TYPE_CHECKING:
    from orvtool.export.exporting import ExportOptions, ExportReport

DESCRIPTION = (
    "Export each animation to a folder: one RGBA PNG and one index layer per frame and "
    "animation.json, enough to rebuild the file exactly. A single file is exported into OUTPUT; "
    "files found in folders keep their place below OUTPUT, one folder per animation."
)


PARTS = ("frames", "sheet", "gif", "apng")


def _parts(text: str) -> List[str]:
    parts = [p.strip() for p in text.split(",") if p.strip()]
    unknown = [p for p in parts if p not in PARTS]
    if not parts or unknown:
        raise argparse.ArgumentTypeError(
            f"parts are {', '.join(PARTS)}, comma-separated, not {(unknown or [text])[0]!r}"
        )
    return parts


ARGUMENTS = (
    *options.BATCH_OPTIONS,
    Option(("-o", "--output"), "output folder", required=True, metavar="OUTPUT", fills="root"),
    Option(
        ("--sheet",),
        "also write sheet.png and sheet.json (TexturePacker layout, with orvtool's record of the animation "
        "in meta.orvtool so that `orvtool build sheet.json` gives the animation back)",
        action="store_true",
        fills="sheet",
    ),
    Option(
        ("--sheet-layout",),
        "frames packed on shelves, or in a grid filled row by row or column by column (default %(default)s)",
        choices=("packed", "rows", "columns"),
        default="packed",
        fills="sheet_layout",
    ),
    Option(
        ("--sheet-columns",),
        "grid columns of the rows and columns layouts",
        type=options.positive_int,
        metavar="N",
        fills="sheet_columns",
    ),
    Option(
        ("--json",),
        "sheet.json frames as an object keyed by name or a list (default %(default)s)",
        dest="sheet_json",
        choices=("hash", "array"),
        default="hash",
        fills="sheet_json",
    ),
    Option(("--gif",), "also write preview.gif, all frames placed on one canvas", action="store_true", fills="gif"),
    Option(("--apng",), "also write preview.apng, with full alpha", action="store_true", fills="apng"),
    Option(
        ("--only",),
        "write only these parts, comma-separated, leaving the rest of an existing export as it is: "
        "frames (images, index layers, animation.json), sheet, gif, apng",
        type=_parts,
        metavar="PARTS",
        fills="only",
    ),
    Option(
        ("--fps",),
        "preview frames per second, 0.01 to 100 (default %(default)s)",
        type=options.fps,
        default=10.0,
        fills="fps",
    ),
    Option(
        ("--matte",),
        "GIF: blend partly transparent pixels onto this colour (#rrggbb or a name) instead of cutting alpha at 128",
        type=options.color,
        metavar="COLOR",
        fills="matte",
    ),
    Option(
        ("--scale",),
        "previews: enlarge by N whole pixels (default %(default)s)",
        type=options.int_range(1, 16),
        default=1,
        metavar="N",
        fills="scale",
    ),
    Option(
        ("--padding",),
        "pixels between frames on the sheet (default %(default)s)",
        type=options.int_range(0, 1024),
        default=1,
        fills="padding",
    ),
    options.REPORT,
    options.force(
        "replace an existing export: the files it wrote that this one does not are removed (with --only: "
        "the parts named)"
    ),
    Option(
        ("--skip-existing",),
        "leave an export whose files are all there and newer than the animation and its palette (a re-run "
        "after an interruption does the rest); with --force, the others are replaced",
        action="store_true",
        fills="skip_existing",
    ),
    Option(
        ("--salvage",),
        "a file cut short: export the frames read before the cut, announced as the file's frames (the file "
        "still counts as failed: exit status 1)",
        action="store_true",
        fills="salvage",
    ),
)


def add_arguments(p: argparse.ArgumentParser) -> None:
    options.add_options(p, ARGUMENTS)


def export_folder(job: Job, output: str, single: bool) -> str:
    """One file exports into the output folder itself; files found in folders
    keep their place below it, one folder per animation."""
    return output if single else os.path.join(output, os.path.splitext(job.rel)[0])


def export_task(job: Job, output: str, single: bool, opts: ExportOptions) -> Tuple[ExportReport, List[status.Finding]]:
    """Runs in a worker process."""
    from orvtool.export.exporting import export_animation

    report = export_animation(job.source, export_folder(job, output, single), opts)
    return report, report.notes


def _shared_output(jobs: List[Job], output: str, single: bool) -> Optional[str]:
    """Why two inputs cannot both be exported: one folder for both, or the
    folder of one where the export of the other writes a file. A file and a
    folder of the same name (`hero.orv` and `hero/walk.orv`) can: the
    folder's exports go below the file's, and build maps them back."""
    from orvtool.export.exporting import export_file_name

    seen: Dict[str, Tuple[Job, str]] = {}
    for job in jobs:
        folder = export_folder(job, output, single)
        key = os.path.normcase(os.path.abspath(folder))
        if key in seen:
            return f"{job.source}: would be exported to {folder}, as {seen[key][0].source} is"
        seen[key] = (job, folder)
    for key, (job, folder) in seen.items():
        below, name = os.path.split(key)
        while name:
            owner = seen.get(below)
            if owner is not None and export_file_name(name):
                return (
                    f"{job.source}: would be exported to {folder}, where the export of {owner[0].source} writes "
                    f"its file {name}"
                )
            below, name = os.path.split(below)
    return None


def run(args: argparse.Namespace, env: Optional[status.Environment] = None) -> int:
    from orvtool.export.exporting import ExportOptions, ExportReport

    env = env or status.current()

    if args.sheet_columns is not None and args.sheet_layout == "packed":
        raise UsageError("--sheet-columns is for --sheet-layout rows or columns")
    jobs, missing = batch.discover_reported(args.paths, args.pattern, env)
    opts = options.parse_into(ExportOptions, args, ARGUMENTS)
    single = len(args.paths) == 1 and os.path.isfile(args.paths[0])
    clash = _shared_output(jobs, args.output, single)
    if clash:
        status.run_line(f"{clash}: nothing written (export them one at a time or from their folders)", env=env)
        return status.ERROR

    def report_of(outcome: Outcome) -> Optional[ExportReport]:
        """What the export of a file done, or failed with something to show, wrote."""
        value = outcome.value
        return value if (outcome.ok or outcome.shown) and isinstance(value, ExportReport) else None

    def report(outcome: Outcome, say: batch.Say) -> None:
        batch.report_outcome(outcome, say, env)
        r = report_of(outcome)
        if r is None:
            return
        if r.skipped:
            text = f"skipped: {r.folder}{os.sep} is complete and newer than it"
            skipped = status.Finding(status.ALREADY_EXPORTED, text)
            where = outcome.job.source
            line = status.finding_line(skipped, where, env) if single else status.detail_line(where, text, env)
            if line:
                say(line)
            return
        if results_file.to_stdout:  # standard output carries the report alone
            return
        removed = f", {len(r.removed)} left from an earlier export removed" if r.removed else ""
        written = f"{status.count(r.frames, 'frame')}, {status.count(len(r.written), 'file')}{removed}"
        line = status.result_line(f"wrote {r.folder}{os.sep}: {written}" + ("" if outcome.ok else " (salvaged)"), env)
        if line:
            say(line, env.out)

    def entry(outcome: Outcome) -> None:
        r = report_of(outcome)
        written = [] if r is None or r.skipped else [os.path.join(r.folder, n) for n in r.written]
        own: List[Tuple[str, str]] = []
        if r is not None and r.skipped:
            own.append((status.ALREADY_EXPORTED, f"{r.folder}{os.sep} is complete and newer than its source"))
        if outcome.shown:
            why = outcome.failure
            own.append((status.SALVAGED, why.about(outcome.job.source) if why is not None else "salvaged"))
        results_file.write(results.outcome_entry(outcome, written, own))

    with results.Report(args.report) as results_file:
        for outcome in missing:
            entry(outcome)
        try:
            outcomes = batch.run(
                export_task,
                jobs,
                (args.output, single, opts),
                args.jobs,
                args.progress,
                report,
                emit=entry if results_file.active else None,
                env=env,
            )
        except batch.Interrupted as exc:
            raise batch.Interrupted(f"{exc} (--skip-existing leaves the finished exports)") from None
    return batch.summarize(missing + outcomes, "exported", args.strict, env)
