"""orvtool on large inputs: when worker processes start, the memory a
preview export of a long animation takes, and the maximality of rows read
from their runs alone."""

import os
import random
import subprocess
import sys

import numpy as np
import pytest

from hostile import SANITIZED
from orvtool.core.orvfile import Animation, Frame, Row, Run, encode_animation, encode_palette, runs_from_mask
from orvtool.model.findings import Finding
from orvtool.run import batch
from orvtool.run.batch import Job
from record_counts import index_layer, is_maximal

PARENT = os.getpid()


class Ticks:
    """A clock that only the jobs run in this process move on."""

    now = 0.0

    def __call__(self):
        return self.now


CLOCK = Ticks()


def pid_task(job, pause):
    """Returns the process that ran the job, after `pause` seconds of its
    clock; job "crash" ends a worker."""
    if job.source == "crash" and os.getpid() != PARENT:
        os._exit(3)
    CLOCK.now += pause
    return os.getpid(), []


@pytest.mark.parametrize(
    "count, pause, pooled",
    [
        (200, 0.0, False),  # cheap files: the whole batch stays in this process
        (20, 0.002, False),  # a few hundredths of a second of work: workers would cost more
        (40, 0.005, True),  # a fifth of a second (info of 1,000 small files): worth two workers
        (60, 0.04, True),  # seconds of work: the files left go to workers
    ],
)
def test_workers_start_only_when_they_pay(count, pause, pooled):
    jobs = [Job(f"f{i}", f"f{i}") for i in range(count)]
    if pooled:
        jobs[-3] = Job("crash", "crash")  # a worker that dies fails only that file
    # The files' cost comes from the clock the jobs move, never from how
    # busy the machine is.
    outcomes = batch.run(pid_task, jobs, (pause,), workers=2, progress=False, costs=batch.CostModel(clock=CLOCK))
    assert [o.job for o in outcomes] == jobs
    pids = {o.value for o in outcomes if o.ok}
    assert (pids != {PARENT}) == pooled
    failed = [o for o in outcomes if not o.ok]
    if pooled:
        assert [(o.job.source, o.failure) for o in failed] == [
            ("crash", Finding("internal_error", "the worker process died while reading this file"))
        ]
        assert outcomes[0].value == PARENT  # the batch began here
    else:
        assert not failed


PEAK_CHILD = """\
import resource, subprocess, sys
subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
"""


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's shadow memory and quarantine are not the export's footprint")
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
    colours = [(0, 0, 0, 0)] + [(int(r), int(g), int(b), 255) for r, g, b in rng.integers(0, 256, (255, 3))]
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


@pytest.mark.parametrize("shadow", [False, True])
def test_maximal_rows_are_found_from_their_runs_as_from_their_pixels(shadow):
    """Against the definition: the runs equal the maximal encoding of the
    pixels they draw, block count included."""
    rng = random.Random(11 if shadow else 12)
    seen = set()
    for _ in range(4000):
        runs = []
        for _ in range(rng.randint(0, 4)):
            offset = rng.choice((0, 0, 1, 2, 254, 255, 255))
            n = rng.choice((0, 1, 2, 3, 254, 255, 255))
            if shadow:
                run = Run(offset, b"\x00" * n if rng.random() < 0.05 else b"", n)
            else:
                run = Run(offset, bytes(rng.randrange(256) for _ in range(n)), n + (rng.random() < 0.05))
            runs.append(run)
        count = len(runs) + (rng.random() < 0.05)
        frame = Frame(width=rng.choice((1, 3, 255, 256, 300, 600, 1200)), rows=[Row(runs, count)], is_shadow=shadow)
        indices, covered = index_layer(frame)
        drawn = runs_from_mask(indices[0].tobytes(), covered[0].astype(np.uint8).tobytes(), shadow=shadow)
        expected = count == len(runs) and runs == drawn
        assert is_maximal(frame.rows[0], frame.width, shadow) == expected, (frame.width, runs, count)
        seen.add(expected)
    assert seen == {True, False}
