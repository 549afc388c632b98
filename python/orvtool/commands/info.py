"""`orvtool info`: describe animation files."""

from __future__ import annotations

import argparse
import contextlib
import os
from dataclasses import replace
from typing import List, Optional, Tuple, Union

from orvtool.commands import options
from orvtool.model.errors import FileFailed
from orvtool.model.findings import Finding
from orvtool.report import results, status
from orvtool.run import batch
from orvtool.run.batch import Job, Outcome

DESCRIPTION = "Describe animation files: form, speed, frames, runs and palette."


def add_arguments(p: argparse.ArgumentParser) -> None:
    options.add_batch_options(p)
    form = p.add_mutually_exclusive_group()
    form.add_argument(
        "--json", action="store_true", help="print a JSON list with one object per file (see the JSON reference)"
    )
    form.add_argument("--jsonl", action="store_true", help="print one JSON object per file and line, as each is done")


def info_task(
    job: Job, palette: Optional[str], as_json: bool = True
) -> Tuple[Union[results.Description, str], List[Finding], List[str]]:
    """Runs in a worker process. A file that fails by the severity table is
    described all the same (what was read of it), and counted as failed. The
    description is the `Description`, or its text."""
    from orvtool.load.summary import describe, format_text

    info = describe(job.source, palette, frame_lines=not as_json)
    value: Union[results.Description, str] = info if as_json else format_text(info)
    if info.failure:
        raise FileFailed(info.failure, value, results.failure_category(info))
    notes: List[Finding] = []
    if info.palette.short:
        notes.append(Finding("index_past_palette_file", info.palette.short))
    return value, notes, info.categories


def _read(value: object) -> Union[results.Description, results.LoadResult, None]:
    """What was read of a file, of an outcome's value."""
    return value if isinstance(value, (results.Description, results.LoadResult)) else None


def entry(outcome: Outcome) -> results.InfoEntry:
    """The JSON object of one file, whatever happened to it."""
    path = outcome.job.source
    why = outcome.failure
    if outcome.ok or outcome.shown:
        return results.info_entry(path, _read(outcome.value), None if why is None else why.about(path))
    why = why or Finding(status.REFUSED, "failed")
    read = _read(outcome.value)
    own = []
    if not (read is not None and read.findings):
        found = outcome.categories or [why.category]
        own = [replace(why, category=c) for c in found]
    obj = results.info_entry(path, read, why.about(path), own)
    with contextlib.suppress(OSError):
        if obj.size is None and os.path.isfile(path):
            obj = replace(obj, size=os.stat(path).st_size)
    return obj


def run(args: argparse.Namespace, env: Optional[status.Environment] = None) -> int:
    env = env or status.current()
    jobs, missing = batch.discover_reported(args.paths, args.pattern, env)
    as_json = args.json or args.jsonl
    writer = results.Writer(env.out, lines=args.jsonl) if as_json else None
    emit = (lambda o: writer.write(entry(o))) if writer else None
    for outcome in missing:
        if emit:
            emit(outcome)
    outcomes = batch.run(
        info_task,
        jobs,
        (args.palette, as_json),
        args.jobs,
        args.progress,
        lambda outcome, say: batch.report_outcome(outcome, say, env),
        emit=emit,
        env=env,
    )
    if writer:
        writer.close()
    else:
        texts = [o.value for o in outcomes if (o.ok or o.shown) and isinstance(o.value, str)]
        if texts:
            print("\n\n".join(texts), file=env.out)
    return batch.summarize(missing + outcomes, "described", args.strict, env)
