"""Load benchmark: pyorv against Pillow and numpy on one large animation.

Builds (once, cached) a seeded animation of sprite-like frames, then measures
in one process, best of several runs, in millions of pixels per second:

  load        OrvF().load(path): parse and render
  full path   load, get_frame_buffer() and `pixels` of every image
  P->RGBA     Pillow converting the same frames, held as 'P' images with the
              RGBA palette, to RGBA (Image.convert: only the palette lookup)
  PNG decode  Pillow decoding the same frames stored as RGBA PNG
  copy        numpy copying the same number of output bytes into new memory

and the peak resident memory of a child process that only loads the file.
It ends with the ratios of pyorv against each and whether each target holds.

    ./dev bench                 # or: python bench/bench_load.py [--runs N]
"""

from __future__ import annotations

import argparse
import hashlib
import io
import os
import pickle
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from PIL import Image

import pyorv
from orvtool.orvfile import Animation, Frame, Row, encode_animation, encode_palette, runs_from_mask

GENERATOR_VERSION = 1  # bump when the generated data changes
SHADOW = (0, 0, 0, 255)


# --------------------------------------------------------------------------
# Data


def make_palette(rng: np.random.Generator) -> list:
    """256 RGBA colours; entry 0 is transparent, a few others half transparent."""
    rgb = rng.integers(0, 256, size=(256, 3))
    alpha = np.full(256, 255)
    alpha[0] = 0
    alpha[rng.choice(np.arange(1, 256), 16, replace=False)] = 128
    return [(int(r), int(g), int(b), int(a)) for (r, g, b), a in zip(rgb, alpha, strict=True)]


def make_sprite(rng: np.random.Generator, width: int, height: int):
    """An index grid and a coverage mask (uint8 0/1) shaped like a sprite: a
    noisy ellipse with holes, so that rows hold runs of varied length."""
    y = (np.arange(height) + 0.5) / height * 2 - 1
    x = (np.arange(width) + 0.5) / width * 2 - 1
    wobble = 1 + 0.12 * np.sin(np.arange(height) / rng.uniform(2, 9) + rng.uniform(0, 6.3))
    inside = (x[None, :] / wobble[:, None]) ** 2 + y[:, None] ** 2 <= 1.0
    # Holes: short transparent gaps of varied length inside the silhouette.
    holes = rng.random((height, width)) < rng.uniform(0.01, 0.05)
    for shift in range(1, 4):
        holes[:, shift:] |= holes[:, :-shift] & (rng.random((height, width - shift)) < 0.5)
    covered = inside & ~holes
    # Indices: smooth colour bands with noise, as pixel art shading looks.
    base = rng.integers(1, 240)
    bands = (np.add.outer(np.arange(height) // rng.integers(2, 8), np.arange(width) // rng.integers(3, 12))) % 12
    noise = rng.integers(0, 4, size=(height, width))
    indices = ((base + bands + noise) % 255 + 1).astype(np.uint8)
    return indices, covered.astype(np.uint8)


def build(seed: int, target_pixels: int):
    """Returns (animation file bytes, palette file bytes, palette, frames) where
    frames holds (indices, covered, is_shadow) per frame."""
    rng = np.random.default_rng(seed)
    palette = make_palette(rng)
    frames = []
    anim_frames = []
    pixels = 0
    while pixels < target_pixels:
        width = int(rng.integers(32, 257))
        height = int(rng.integers(32, 256))  # heights of 256 and up do not survive a shadow frame
        shadow = rng.random() < 0.08
        indices, covered = make_sprite(rng, width, height)
        rows = [Row(runs_from_mask(indices[r].tobytes(), covered[r].tobytes(), shadow=shadow)) for r in range(height)]
        anim_frames.append(
            Frame(
                width=width,
                rows=rows,
                x_offset=-(width // 2),
                y_offset=-height,
                is_shadow=shadow,
            )
        )
        frames.append((indices, covered, shadow))
        pixels += width * height
    anim = Animation(frames=anim_frames, speed=100, palette_path=b"bench.pal")
    return encode_animation(anim), encode_palette(palette), palette, frames


def expected_rgba(indices, covered, shadow, palette_array):
    if shadow:
        rgba = np.zeros(indices.shape + (4,), np.uint8)
        rgba[covered.astype(bool)] = SHADOW
        return rgba
    return palette_array[indices] * covered[:, :, None]


def prepare(cache_dir: Path, seed: int, target_pixels: int) -> dict:
    """Generates the data or takes it from the cache."""
    key = hashlib.sha256(f"{GENERATOR_VERSION}:{seed}:{target_pixels}".encode()).hexdigest()[:16]
    folder = cache_dir / key
    meta_path = folder / "frames.pickle"
    anim_path = folder / "bench.orv"
    if meta_path.exists() and anim_path.exists():
        with open(meta_path, "rb") as fh:
            meta = pickle.load(fh)
        meta["path"] = str(anim_path)
        return meta

    t0 = time.perf_counter()
    print(f"building the benchmark animation (seed {seed}) under {folder} ...", flush=True)
    anim_bytes, pal_bytes, palette, frames = build(seed, target_pixels)
    palette_array = np.array(palette, np.uint8)
    pngs = []
    sizes = []
    p_data = []
    for indices, covered, shadow in frames:
        rgba = expected_rgba(indices, covered, shadow, palette_array)
        buf = io.BytesIO()
        Image.fromarray(rgba, "RGBA").save(buf, "PNG")
        pngs.append(buf.getvalue())
        height, width = indices.shape
        sizes.append((width, height))
        # The 'P' image: uncovered pixels take index 0 (transparent), shadow
        # pixels an index whose colour is opaque black is not needed: speed only.
        p_data.append((indices * covered).tobytes())
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "bench.pal").write_bytes(pal_bytes)
    anim_path.write_bytes(anim_bytes)
    meta = {"sizes": sizes, "pngs": pngs, "p_data": p_data, "palette": palette}
    with open(meta_path, "wb") as fh:
        pickle.dump(meta, fh, protocol=pickle.HIGHEST_PROTOCOL)
    print(f"built in {time.perf_counter() - t0:.1f} s", flush=True)
    meta["path"] = str(anim_path)
    return meta


# --------------------------------------------------------------------------
# Measurements


def best_of(runs: int, setup, body) -> float:
    """Best wall time of body(state) over runs; setup() gives a fresh state,
    untimed, and what body returns is dropped after the clock stops."""
    best = float("inf")
    for _ in range(runs):
        state = setup()
        t0 = time.perf_counter()
        result = body(state)
        elapsed = time.perf_counter() - t0
        del result, state
        best = min(best, elapsed)
    return best


def pyorv_load(path):
    f = pyorv.OrvF()
    if f.load(path) is None:
        raise SystemExit("pyorv could not load the benchmark animation")
    return f


def pyorv_full(path):
    f = pyorv_load(path)
    total = 0
    for image in f.get_frame_buffer():
        total += len(image.pixels)
    return total


def peak_rss_of_load(path: str) -> int:
    """Peak resident bytes of a fresh interpreter that imports pyorv and loads
    the file: VmHWM of its own address space (ru_maxrss would carry over the
    parent's peak across fork and exec)."""
    code = (
        "import sys, pyorv\n"
        "f = pyorv.OrvF()\n"
        "assert f.load(sys.argv[1]) is not None\n"
        "status = open('/proc/self/status').read()\n"
        "print(next(l.split()[1] for l in status.splitlines() if l.startswith('VmHWM:')))\n"
    )
    out = subprocess.run([sys.executable, "-c", code, path], check=True, capture_output=True, text=True)
    return int(out.stdout.strip()) * 1024  # kB


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5, help="runs per measurement; the best counts")
    parser.add_argument("--seed", type=int, default=1234)
    parser.add_argument("--pixels", type=int, default=40_000_000, help="at least this many pixels")
    parser.add_argument(
        "--cache",
        type=Path,
        default=Path(os.environ.get("ORV_BENCH_CACHE", Path(tempfile.gettempdir()) / "pyorv-bench")),
        help="where the generated files are kept",
    )
    args = parser.parse_args(argv)

    meta = prepare(args.cache, args.seed, args.pixels)
    path = meta["path"]
    sizes = meta["sizes"]
    pixels = sum(w * h for w, h in sizes)
    image_bytes = 4 * pixels
    file_bytes = os.path.getsize(path)

    # Correctness first: the benchmark measures the right thing only if pyorv
    # renders what the generator meant.
    check = pyorv_load(path)
    images = check.get_frame_buffer()
    if len(images) != len(sizes):
        raise SystemExit("pyorv rendered another number of images than were generated")
    for i, (image, blob) in enumerate(zip(images, meta["pngs"], strict=True)):
        if image.pixels != Image.open(io.BytesIO(blob)).tobytes():
            raise SystemExit(f"pyorv rendered frame {i} otherwise than the generator meant")
    del check, images

    palette_bytes = b"".join(bytes(c) for c in meta["palette"])

    def p_images():
        out = []
        for (w, h), data in zip(sizes, meta["p_data"], strict=True):
            im = Image.frombytes("P", (w, h), data)
            im.putpalette(palette_bytes, "RGBA")
            out.append(im)
        return out

    def convert(images):
        return [im.convert("RGBA") for im in images]

    def decode_png(blobs):
        out = []
        for blob in blobs:
            im = Image.open(io.BytesIO(blob))
            im.load()
            out.append(im)
        return out

    source = np.frombuffer(np.random.default_rng(0).bytes(image_bytes), np.uint8)
    runs = args.runs

    # Interleave the measurements run by run so that a burst of load on the
    # shared machine hurts all of them alike.
    times = {"load": [], "full": [], "convert": [], "png": [], "copy": []}
    for _ in range(runs):
        times["load"].append(best_of(1, lambda: None, lambda _: pyorv_load(path)))
        times["full"].append(best_of(1, lambda: None, lambda _: pyorv_full(path)))
        times["convert"].append(best_of(1, p_images, convert))
        times["png"].append(best_of(1, lambda: meta["pngs"], decode_png))
        times["copy"].append(best_of(1, lambda: None, lambda _: source.copy()))
    best = {k: min(v) for k, v in times.items()}
    mpx = {k: pixels / t / 1e6 for k, t in best.items()}

    peak = min(peak_rss_of_load(path) for _ in range(min(runs, 3)))
    mem_limit = image_bytes + 3 * file_bytes + (64 << 20)

    mib = 1 << 20
    print()
    print(
        f"animation: {len(sizes)} frames, {pixels / 1e6:.1f} Mpx, file {file_bytes / mib:.1f} MiB, "
        f"images {image_bytes / mib:.1f} MiB; best of {runs} runs"
    )
    print()
    print(f"{'measurement':<34}{'ms':>10}{'Mpx/s':>10}")
    rows = [
        ("pyorv load", "load"),
        ("pyorv full path", "full"),
        ("Pillow P->RGBA convert", "convert"),
        ("Pillow PNG decode (RGBA)", "png"),
        ("numpy copy of the output bytes", "copy"),
    ]
    for label, key in rows:
        print(f"{label:<34}{best[key] * 1e3:>10.1f}{mpx[key]:>10.0f}")
    print(f"{'peak RSS of a load (MiB)':<34}{peak / mib:>10.1f}")
    print(f"{'  limit: images + 3 x file + 64':<34}{mem_limit / mib:>10.1f}")
    print()

    targets = [
        ("load / Pillow P->RGBA", mpx["load"] / mpx["convert"], 2.0),
        ("full path / Pillow P->RGBA", mpx["full"] / mpx["convert"], 1.0),
        ("load / PNG decode", mpx["load"] / mpx["png"], 5.0),
        ("load / numpy copy", mpx["load"] / mpx["copy"], None),
        ("full path / numpy copy", mpx["full"] / mpx["copy"], None),
    ]
    print(f"{'ratio':<34}{'value':>10}{'target':>10}  met")
    all_met = True
    for label, value, target in targets:
        if target is None:
            print(f"{label:<34}{value:>10.2f}{'-':>10}")
            continue
        met = value >= target
        all_met &= met
        print(f"{label:<34}{value:>10.2f}{target:>9.1f}x  {'yes' if met else 'NO'}")
    mem_met = peak <= mem_limit
    all_met &= mem_met
    print(f"{'peak RSS / limit':<34}{peak / mem_limit:>10.2f}{'<= 1':>10}  {'yes' if mem_met else 'NO'}")
    return 0 if all_met else 1


if __name__ == "__main__":
    sys.exit(main())
