"""`orvtool info`: describe animation files."""

from __future__ import annotations

import argparse
import sys
from typing import Any, List, Optional, Tuple

from .. import batch, options, status
from ..batch import Job
from ..errors import FileFailed

DESCRIPTION = "Describe animation files: form, speed, frames, runs and palette."


def add_arguments(p: argparse.ArgumentParser) -> None:
    options.add_batch_options(p)
    p.add_argument("--json", action="store_true", help="print a JSON list with one object per file")


def info_task(job: Job, palette: Optional[str], as_json: bool = True) -> Tuple[Any, List[str]]:
    """Runs in a worker process. A file that fails by the severity table is
    described all the same (what was read of it), and counted as failed. The
    description is the JSON-ready dict, or its text."""
    from ..summary import describe, format_text

    info = describe(job.source, palette, frame_lines=not as_json)
    value = info if as_json else format_text(info)
    if info["failure"]:
        raise FileFailed(info["failure"], value)
    notes = []
    if info["palette"]["short"]:
        notes.append(info["palette"]["short"])
    return value, notes


def run(args: argparse.Namespace) -> int:
    jobs, missing = batch.discover_reported(args.paths, args.pattern)
    outcomes = batch.run(info_task, jobs, (args.palette, args.json), args.jobs, args.progress, batch.report_outcome)
    if args.json:
        import json

        docs = [
            o.value if o.ok else {"path": o.job.source, "status": status.FAILED, "error": o.error, **(o.value or {})}
            for o in missing + outcomes
        ]
        json.dump(docs, sys.stdout, indent=1)
        sys.stdout.write("\n")
    else:
        texts = [o.value for o in outcomes if o.ok or o.shown]
        if texts:
            print("\n\n".join(texts))
    return batch.summarize(missing + outcomes, "described")
