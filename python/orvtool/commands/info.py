"""`orvtool info`: describe animation files."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any, List, Optional, Tuple

from .. import batch, options
from ..batch import Job

DESCRIPTION = "Describe animation files: form, speed, frames, runs and palette."


def add_arguments(p: argparse.ArgumentParser) -> None:
    options.add_batch_options(p)
    p.add_argument("--json", action="store_true", help="print a JSON list with one object per file")


def info_task(job: Job, palette: Optional[str]) -> Tuple[Any, List[str]]:
    """Runs in a worker process."""
    from ..summary import describe

    info = describe(job.source, palette)
    notes = []
    if info["palette"]["problem"]:
        notes.append(info["palette"]["problem"])
    if info["palette"]["short"]:
        notes.append(info["palette"]["short"])
    return info, notes


def run(args: argparse.Namespace) -> int:
    from ..summary import format_text

    jobs, missing = batch.discover_reported(args.paths, args.pattern)
    outcomes = batch.run(info_task, jobs, (args.palette,), args.jobs, args.progress, batch.report_outcome)
    if args.json:
        docs = [
            o.value if o.ok else {"path": o.job.source, "error": o.error, **(o.value or {})} for o in missing + outcomes
        ]
        json.dump(docs, sys.stdout, indent=1)
        sys.stdout.write("\n")
    else:
        texts = [format_text(o.value) for o in outcomes if o.ok]
        if texts:
            print("\n\n".join(texts))
    return batch.summarize(missing + outcomes, "described")
