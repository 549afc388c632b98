"""Threads benchmark: orvtool's loads on two threads against one.

orvtool's own loads (`orvtool.load_frames`, `orvtool.inspect`, the Pillow
plugin's frames) let go of the interpreter lock while the core reads and
renders, so that two threads load two files at once. This times the same
loads of one generated animation (the load benchmark's sprites, a few
megapixels) done one after the other on one thread, then shared between two
threads, each the best of a few runs, and prints how much faster two threads
are. The target, at least 1.6 times, holds on two idle cores: the machine's
load shows in every figure. The exit status is 1 when it is missed.

    ./dev bench threads         # or: python bench/bench_threads.py [--loads N]
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Callable

sys.path.insert(0, str(Path(__file__).resolve().parent))

from bench_load import build  # noqa: E402

import orvtool  # noqa: E402

TARGET = 1.6


def timed(loads: int, threads: int, load: Callable[[], object]) -> float:
    """Seconds for `loads` loads shared between `threads` threads."""

    def run(n: int) -> None:
        for _ in range(n):
            load()

    share = [loads // threads + (1 if i < loads % threads else 0) for i in range(threads)]
    workers = [threading.Thread(target=run, args=(n,)) for n in share]
    start = time.perf_counter()
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    return time.perf_counter() - start


def main(argv: list | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--loads", type=int, default=40, help="loads per measurement")
    parser.add_argument("--pixels", type=int, default=4_000_000, help="pixels of the animation")
    parser.add_argument("--runs", type=int, default=3, help="runs per figure, the best kept")
    args = parser.parse_args(argv)

    data, palette, _, frames = build(1234, args.pixels)
    with tempfile.TemporaryDirectory(prefix="orvtool-bench-") as folder:
        path = Path(folder) / "bench.orv"
        path.write_bytes(data)
        (Path(folder) / "bench.pal").write_bytes(palette)
        loads = {
            "load_frames": lambda: orvtool.load_frames(path),
            "inspect": lambda: orvtool.inspect(path),
        }
        print(f"animation: {len(frames)} frames, {args.pixels} pixels; {os.cpu_count()} cores; best of {args.runs}")
        print(f"{'load':<14}{'1 thread, s':>12}{'2 threads, s':>14}{'speed-up':>10}  at least {TARGET}")
        all_met = True
        for name, load in loads.items():
            load()
            one = min(timed(args.loads, 1, load) for _ in range(args.runs))
            two = min(timed(args.loads, 2, load) for _ in range(args.runs))
            met = one / two >= TARGET
            all_met &= met
            print(f"{name:<14}{one:>12.3f}{two:>14.3f}{one / two:>10.2f}  {'yes' if met else 'NO'}")
    return 0 if all_met else 1


if __name__ == "__main__":
    sys.exit(main())
