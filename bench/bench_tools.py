"""Tools benchmark: orvtool's commands on a whole tree of animations.

Builds (once, cached under build/bench-tools) a seeded tree of animation files
of the sizes the examples have: sprite frames of a few dozen pixels a side, a
dozen or so frames per file, a few shadow frames, one shared palette. Then it
times, as a user runs them (fresh processes, wall clock, default options):

  info            orvtool info TREE
  info --jsonl    the same as JSON Lines
  export          orvtool export TREE -o OUT (frames, index layers, sidecars)
  export+sheet+gif  the same with --sheet --gif
  build           orvtool build OUT -o TREE2 (the frames-only export back to files)
  viewer          orvtool view TREE: the page (/, app.js, style.css), /api/tree
                  and the entries of the first page with their thumbnails, as the
                  page asks for them (the server's start not counted)
  viewer filter   the page's list of 20,000 animations filtered down to 8 and
                  laid out, in headless Chromium (left out without it)

and `info --json` of one file of 2,000,000 empty frames beside its plain `info`
(the JSON is streamed: the target is the ratio of the two), each in files per second beside its floor, measured in the same run in this
process (`info` and the floors as the best of a few runs, the slower commands
once):

  module load     pyorv loading every file (the palette included)
  PNG encode      Pillow encoding every frame as an RGBA PNG (with the settings
                  the export uses)

It ends with each target and whether it is met; the exit status is 1 when one
is missed. The machine's load shows in every figure: compare ratios, not times.

    ./dev bench tools           # or: python bench/bench_tools.py [--files N]
"""

from __future__ import annotations

import argparse
import dataclasses
import io
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path
from urllib.parse import quote

import numpy as np
from PIL import Image

import orvtool
import pyorv
from orvtool.core.orvfile import (
    Animation,
    Frame,
    Row,
    encode_animation,
    encode_palette,
    frame_from_indices,
    runs_from_mask,
)
from orvtool.formats import images as orvtool_images

# The floor encodes with the settings the export uses.
PNG_SAVE = getattr(orvtool_images, "PNG_SAVE", {})
GENERATOR_VERSION = 1  # bump when the generated tree changes
ROOT = Path(__file__).resolve().parent.parent
FIRST_PAGE = 40  # tree entries the viewer's first page asks for (its rows and the look-ahead margin)
POOL = 160  # distinct frames the animations are drawn from

# --------------------------------------------------------------------------
# Data


def sprite(rng: np.random.Generator, width: int, height: int) -> tuple:
    """Indices and a coverage mask shaped like a sprite: a noisy ellipse with
    holes, shaded in bands."""
    y = (np.arange(height) + 0.5) / height * 2 - 1
    x = (np.arange(width) + 0.5) / width * 2 - 1
    inside = x[None, :] ** 2 + y[:, None] ** 2 <= 1.0
    covered = inside & ~(rng.random((height, width)) < 0.03)
    bands = np.add.outer(np.arange(height) // 4, np.arange(width) // 6) % 12
    indices = ((int(rng.integers(1, 240)) + bands + rng.integers(0, 4, (height, width))) % 255 + 1).astype(np.uint8)
    return indices, covered.astype(np.uint8)


def frame_pool(rng: np.random.Generator) -> list:
    frames = []
    for _ in range(POOL):
        w, h = int(rng.integers(24, 97)), int(rng.integers(24, 97))
        shadow = rng.random() < 0.08
        indices, covered = sprite(rng, w, h)
        rows = [Row(runs_from_mask(indices[r].tobytes(), covered[r].tobytes(), shadow=shadow)) for r in range(h)]
        frames.append(Frame(width=w, rows=rows, is_shadow=shadow))
    return frames


def make_tree(files: int, seed: int) -> Path:
    """The tree of `files` animations, built once and kept."""
    folder = ROOT / "build" / "bench-tools" / f"tree-v{GENERATOR_VERSION}-{seed}-{files}"
    stamp = folder / ".complete"
    if stamp.exists():
        return folder
    t0 = time.perf_counter()
    print(f"building {files} animations under {folder} ...", flush=True)
    shutil.rmtree(folder, ignore_errors=True)
    rng = np.random.default_rng(seed)
    pick = random.Random(seed)
    pool = frame_pool(rng)
    palette = [(0, 0, 0, 0)] + [tuple(int(v) for v in rng.integers(0, 256, 3)) + (255,) for _ in range(255)]
    (folder / "palettes").mkdir(parents=True)
    (folder / "palettes" / "bench.pal").write_bytes(encode_palette(palette))
    for n in range(files):
        count = pick.randint(6, 24)
        frames = [
            dataclasses.replace(f, x_offset=-(f.width // 2) + pick.randint(-4, 4), y_offset=-len(f.rows))
            for f in pick.sample(pool, count)
        ]
        anim = Animation(frames=frames, speed=pick.choice((60, 80, 100, 120)), palette_path=b"palettes/bench.pal")
        where = folder / "objects" / f"group{n // 50:02d}" / f"anim{n:04d}.orv"
        where.parent.mkdir(parents=True, exist_ok=True)
        where.write_bytes(encode_animation(anim))
    stamp.write_text("")
    print(f"built in {time.perf_counter() - t0:.1f} s", flush=True)
    return folder


def animation_files(tree: Path) -> list:
    return sorted(str(p) for p in tree.rglob("*.orv"))


# --------------------------------------------------------------------------
# Floors, in this process


def floor_load(paths: list) -> float:
    t0 = time.perf_counter()
    for path in paths:
        f = pyorv.OrvF()
        if f.load(path) is None:
            raise SystemExit(f"pyorv could not load {path}")
    return time.perf_counter() - t0


def floor_png(paths: list) -> tuple:
    """Seconds Pillow takes to encode every frame of every file as an RGBA PNG
    (the frames loaded untimed), and the frame count."""
    total = 0.0
    frames = 0
    for path in paths:
        for a, _, _ in orvtool.load_frames(path):
            if not a.size:
                continue
            t0 = time.perf_counter()
            buf = io.BytesIO()
            Image.frombytes("RGBA", (a.shape[1], a.shape[0]), a.tobytes()).save(buf, format="PNG", **PNG_SAVE)
            total += time.perf_counter() - t0
            frames += 1
    return total, frames


# --------------------------------------------------------------------------
# The tools, in fresh processes

ORVTOOL = [sys.executable, "-m", "orvtool"]


EMPTY_FRAMES = 2_000_000


def empty_frames_file() -> Path:
    """A file of EMPTY_FRAMES empty frame records (14 bytes each, zeros) and
    its palette, made once (sparse: a few KiB on disk)."""
    folder = ROOT / "build" / "bench-tools" / "empty-frames"
    path = folder / "empty.orv"
    if not path.exists():
        (folder / "palettes").mkdir(parents=True, exist_ok=True)
        shutil.copy(ROOT / "examples" / "palettes" / "hero.pal", folder / "palettes" / "hero.pal")
        head = struct.pack("<II", 80, 18) + b"palettes/hero.pal\0" + struct.pack("<I", EMPTY_FRAMES)
        with open(path, "wb") as fh:
            fh.write(head)
            fh.truncate(len(head) + 14 * EMPTY_FRAMES)
    return path


def timed(args: list) -> float:
    t0 = time.perf_counter()
    done = subprocess.run(ORVTOOL + args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    seconds = time.perf_counter() - t0
    if done.returncode != 0:
        raise SystemExit(f"orvtool {' '.join(args)} failed ({done.returncode}):\n{done.stderr[-2000:]}")
    return seconds


def viewer_first_page(tree: Path) -> float:
    """Seconds from the first request of the page to the last thumbnail of
    its first page, asked for one after another."""
    server = subprocess.Popen(
        ORVTOOL + ["view", str(tree), "--no-browser"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    try:
        assert server.stdout is not None
        line = server.stdout.readline()
        url = next((w for w in line.split() if w.startswith("http://")), None)
        if url is None:
            raise SystemExit(
                f"orvtool view did not give its address: {line!r} {server.stderr.read() if server.stderr else ''}"
            )

        def get(path: str) -> bytes:
            with urllib.request.urlopen(url + path, timeout=60) as answer:
                return answer.read()

        t0 = time.perf_counter()
        for name in ("", "app.js", "style.css"):
            get(name)
        tree_doc = json.loads(get("api/tree"))
        for entry in tree_doc["animations"][:FIRST_PAGE]:
            shown = json.loads(get("api/entry/" + quote(entry["path"], safe="/")))
            if shown.get("thumbnail"):
                get(shown["thumbnail"].lstrip("/"))
        return time.perf_counter() - t0
    finally:
        server.terminate()
        server.wait(10)


FILTER_ROWS = 20000  # animations in the tree whose list the viewer filters


def viewer_filter(rows: int = FILTER_ROWS) -> "float | None":
    """Seconds the viewer's page takes to filter a list of `rows` animations
    down to a few and lay the list out, in headless Chromium (Debian's); None
    without it. The files are copies of one small animation: only their names
    count here."""
    chromium = shutil.which("chromium") or "/usr/bin/chromium"
    try:
        from playwright.sync_api import sync_playwright
    except ImportError:
        return None
    if not os.access(chromium, os.X_OK):
        return None
    tree = ROOT / "build" / "bench-tools" / f"filter-{rows}"
    if not (tree / "done").exists():
        shutil.rmtree(tree, ignore_errors=True)
        data = encode_animation(Animation(frames=[frame_from_indices([[1, 2], [3, None]])]))
        for i in range(rows):
            name = f"zz{i}.orv" if i % 2500 == 7 else f"anim {i}.orv"
            path = tree / f"d{i % 5}" / f"e{i // 100 % 4}" / f"f{i // 1000 % 3}" / f"g{i % 2}" / name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(data)
        (tree / "done").write_text("")
    server = subprocess.Popen(
        ORVTOOL + ["view", str(tree), "--no-browser"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    try:
        assert server.stdout is not None
        url = next(w for w in server.stdout.readline().split() if w.startswith("http://"))
        with sync_playwright() as p:
            browser = p.chromium.launch(executable_path=chromium, headless=True)
            page = browser.new_page(viewport={"width": 1400, "height": 1000})
            page.goto(url)
            page.wait_for_function(f"() => document.getElementById('tree').dataset.count === '{rows}'", timeout=120000)
            ms = page.evaluate(
                """() => {
                    const field = document.getElementById('filter');
                    const t0 = performance.now();
                    field.value = 'zz';
                    field.dispatchEvent(new Event('input'));
                    document.getElementById('tree').getBoundingClientRect();  // laid out
                    return performance.now() - t0;
                }"""
            )
            browser.close()
        return float(ms) / 1000
    finally:
        server.terminate()
        server.wait(10)


# --------------------------------------------------------------------------


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=1000, help="animations in the tree")
    parser.add_argument("--seed", type=int, default=4321)
    parser.add_argument("--keep", action="store_true", help="keep the exports (under build/bench-tools/out)")
    args = parser.parse_args(argv)

    tree = make_tree(args.files, args.seed)
    paths = animation_files(tree)
    n = len(paths)

    load_s = min(floor_load(paths) for _ in range(3))
    png_s, frame_count = floor_png(paths)
    png_s = min(png_s, floor_png(paths)[0])

    out_root = ROOT / "build" / "bench-tools" / "out"
    shutil.rmtree(out_root, ignore_errors=True)
    out_root.mkdir(parents=True)
    work = Path(tempfile.mkdtemp(dir=out_root))
    times = {}
    try:
        # The floors are the best of their runs: so is this command, which
        # takes well under a second (the slower ones are timed once).
        times["info"] = min(timed(["info", "-q", str(tree)]) for _ in range(3))
        times["info --jsonl"] = min(timed(["info", "-q", "--jsonl", str(tree)]) for _ in range(3))
        empty = empty_frames_file()
        frames_text = min(timed(["info", "-q", str(empty)]) for _ in range(2))
        frames_json = min(timed(["info", "-q", "--json", str(empty)]) for _ in range(2))
        times["export"] = timed(["export", "-q", str(tree), "-o", str(work / "frames")])
        times["export+sheet+gif"] = timed(["export", "-q", str(tree), "-o", str(work / "all"), "--sheet", "--gif"])
        times["build"] = timed(["build", "-q", str(work / "frames"), "-o", str(work / "rebuilt")])
        times["viewer first page"] = viewer_first_page(tree)
        filtered = viewer_filter()
        if filtered is not None:
            times[f"viewer filter, {FILTER_ROWS} rows"] = filtered
    finally:
        if not args.keep:
            shutil.rmtree(out_root, ignore_errors=True)

    print()
    print(f"tree: {n} animations, {frame_count} frames; {os.cpu_count()} cores; fresh processes, wall clock")
    print(f"PNG settings of the floor: {PNG_SAVE or 'Pillow defaults'}")
    print()
    print(f"{'measurement':<34}{'seconds':>10}{'files/s':>10}")
    rows = [("floor: pyorv load", load_s), ("floor: Pillow PNG encode", png_s)] + list(times.items())
    for label, seconds in rows:
        print(f"{label:<34}{seconds:>10.2f}{n / seconds:>10.0f}")
    print()
    print(f"one file of {EMPTY_FRAMES:,} empty frames: info {frames_text:.2f} s, info --json {frames_json:.2f} s")
    print()
    targets = [
        ("info / module load", times["info"] / load_s, 3.0),
        ("info --json / info, 2M frames", frames_json / frames_text, 5.0),
        ("export (frames) / PNG encode", times["export"] / png_s, 1.5),
        ("viewer first page, seconds", times["viewer first page"], 1.0),
    ]
    if f"viewer filter, {FILTER_ROWS} rows" in times:
        targets.append((f"viewer filter {FILTER_ROWS}, seconds", times[f"viewer filter, {FILTER_ROWS} rows"], 0.1))
    print(f"{'target':<34}{'value':>10}{'at most':>10}  met")
    all_met = True
    for label, value, limit in targets:
        met = value <= limit
        all_met &= met
        print(f"{label:<34}{value:>10.2f}{limit:>10.1f}  {'yes' if met else 'NO'}")
    for label, other in (("export+sheet+gif / PNG encode", "export+sheet+gif"), ("build / PNG encode", "build")):
        print(f"{label:<34}{times[other] / png_s:>10.2f}{'-':>10}")
    return 0 if all_met else 1


if __name__ == "__main__":
    sys.exit(main())
