"""orvtool on large inputs: when worker processes start, and the memory a
preview export of a long animation takes."""

import os
import subprocess
import sys
import time

import numpy as np
import pytest

from orvtool import batch
from orvtool.batch import Job
from orvtool.orvfile import Animation, Frame, Row, encode_animation, encode_palette, runs_from_mask

PARENT = os.getpid()


def pid_task(job, pause):
    """Returns the process that ran the job; job "crash" ends a worker."""
    if job.source == "crash" and os.getpid() != PARENT:
        os._exit(3)
    time.sleep(pause)
    return os.getpid(), []


@pytest.mark.parametrize(
    "count, pause, pooled",
    [
        (200, 0.0, False),  # cheap files: the whole batch stays in this process
        (60, 0.04, True),  # seconds of work: the files left go to workers
    ],
)
def test_workers_start_only_when_they_pay(count, pause, pooled):
    jobs = [Job(f"f{i}", f"f{i}") for i in range(count)]
    if pooled:
        jobs[-3] = Job("crash", "crash")  # a worker that dies fails only that file
    outcomes = batch.run(pid_task, jobs, (pause,), workers=2, progress=False)
    assert [o.job for o in outcomes] == jobs
    pids = {o.value for o in outcomes if o.ok}
    assert (pids != {PARENT}) == pooled
    failed = [o for o in outcomes if not o.ok]
    if pooled:
        assert [(o.job.source, o.error) for o in failed] == [
            ("crash", "the worker process died while reading this file")
        ]
        assert outcomes[0].value == PARENT  # the batch began here
    else:
        assert not failed


PEAK_CHILD = """\
import resource, subprocess, sys
subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
"""


def test_gif_export_of_a_long_animation_stays_within_its_memory(tmp_path):
    """600 fully covered 240x120 frames of 64-colour noise on a 480x120 canvas:
    the export process's own peak resident size stays below 300 MB."""
    rng = np.random.default_rng(7)
    full = bytes([1]) * 240
    frames = []
    for i in range(600):
        indices = rng.integers(1, 65, (120, 240), dtype=np.uint8)
        rows = [Row(runs_from_mask(indices[y].tobytes(), full)) for y in range(120)]
        frames.append(Frame(width=240, rows=rows, x_offset=(i * 37) % 241))
    colours = [(0, 0, 0, 0)] + [tuple(int(v) for v in rng.integers(0, 256, 3)) + (255,) for _ in range(255)]
    (tmp_path / "noise.pal").write_bytes(encode_palette(colours))
    src = tmp_path / "noise.orv"
    src.write_bytes(encode_animation(Animation(frames=frames, palette_path=b"noise.pal")))
    out = tmp_path / "out"
    # A fresh interpreter whose only child is the export: its RUSAGE_CHILDREN
    # peak is the export's own.
    command = [sys.executable, "-m", "orvtool", "export", str(src), "-o", str(out), "--gif"]
    done = subprocess.run(
        [sys.executable, "-c", PEAK_CHILD, *command], capture_output=True, text=True, check=True, timeout=600
    )
    peak = int(done.stdout.split()[-1]) * 1024
    assert (out / "preview.gif").stat().st_size > 0 and (out / "frame_599.png").exists()
    assert peak < 300_000_000, f"peak resident size {peak / 1e6:.0f} MB"
