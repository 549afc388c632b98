"""Load benchmark: pyorv against Pillow and numpy on one large animation.

Builds (once, cached) a seeded animation of sprite-like frames and, beside it,
the same frames as raw palette indices in one file. Then it measures, in
millions of pixels per second:

warm, in this process, best of several runs:
  load        OrvF().load(path): read, parse and render
  reload      f.load(path) again on an OrvF that holds the file already (its
              images are replaced; the memory only they held is drawn into)
  full path   load, get_frame_buffer() and `pixels` of every image
  arrays      orvtool.load_frames(path): every frame as a numpy array, no copy
  P->RGBA     Pillow converting the same frames, held as 'P' images with their
              RGBA palette, to RGBA (Image.convert: only the palette lookup)
  PNG decode  Pillow decoding the same frames stored as RGBA PNG
  copy        numpy copying as many bytes as the images hold into new memory

cold, each a fresh interpreter timed whole minus a fresh interpreter run just
before it that does everything but the measured step (import, and for Pillow
and numpy their untimed setup), the median of several such pairs:
  load, full path, arrays   as above, once, file reading included
  P->RGBA     reading the raw index file and converting every frame once
  copy        one copy of the output bytes into new memory

and the growth of a child's peak resident memory by a load over a child that
only imports pyorv. Every contender works on the same frames, and every
result is compared with the expected pixels before anything is timed. It ends
with each ratio, its target and whether it is met, and where there is one a
stretch goal and whether that is reached; the exit status is 1 when a target
is missed (a stretch goal only reports).

    ./dev bench                 # or: python bench/bench_load.py [--runs N]
"""

from __future__ import annotations

import argparse
import hashlib
import io
import json
import os
import pickle
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from PIL import Image

import orvtool
import pyorv
from orvtool.core.orvfile import Animation, Frame, Row, encode_animation, encode_palette, runs_from_mask

GENERATOR_VERSION = 2  # bump when the generated data or the cache layout changes
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


def pillow_palettes(palette: list) -> tuple:
    """The RGBA palettes of the 'P' images that stand for the frames: the
    animation's colours with index 0 (uncovered pixels) transparent black, and
    for shadow frames index 1 (covered pixels) the shadow colour."""
    colours = [(0, 0, 0, 0)] + list(palette[1:])
    shadow = [(0, 0, 0, 0), SHADOW] + [(0, 0, 0, 0)] * 254
    return bytes(b for c in colours for b in c), bytes(b for c in shadow for b in c)


def prepare(cache_dir: Path, seed: int, target_pixels: int) -> dict:
    """Generates the data or takes it from the cache. Returns the paths and
    the frames' sizes and shadow flags."""
    key = hashlib.sha256(f"{GENERATOR_VERSION}:{seed}:{target_pixels}".encode()).hexdigest()[:16]
    folder = cache_dir / key
    paths = {
        "anim": folder / "bench.orv",
        "meta": folder / "frames.json",
        "indices": folder / "frames.idx",
        "pngs": folder / "frames-png.pickle",
    }
    if not all(p.exists() for p in paths.values()):
        t0 = time.perf_counter()
        print(f"building the benchmark animation (seed {seed}) under {folder} ...", flush=True)
        anim_bytes, pal_bytes, palette, frames = build(seed, target_pixels)
        colours, shadow_colours = pillow_palettes(palette)
        folder.mkdir(parents=True, exist_ok=True)
        pngs = []
        with open(paths["indices"], "wb") as idx:
            for indices, covered, shadow in frames:
                # The 'P' form of the frame: uncovered pixels take index 0.
                p = covered if shadow else indices * covered
                idx.write(p.tobytes())
                rgba = np.frombuffer(shadow_colours if shadow else colours, np.uint8).reshape(256, 4)[p]
                buf = io.BytesIO()
                Image.fromarray(rgba, "RGBA").save(buf, "PNG")
                pngs.append(buf.getvalue())
        meta = {
            "sizes": [[int(i.shape[1]), int(i.shape[0])] for i, _, _ in frames],
            "shadow": [bool(s) for _, _, s in frames],
            "palette": colours.hex(),
            "shadow_palette": shadow_colours.hex(),
        }
        paths["meta"].write_text(json.dumps(meta))
        with open(paths["pngs"], "wb") as fh:
            pickle.dump(pngs, fh, protocol=pickle.HIGHEST_PROTOCOL)
        (folder / "bench.pal").write_bytes(pal_bytes)
        paths["anim"].write_bytes(anim_bytes)
        print(f"built in {time.perf_counter() - t0:.1f} s", flush=True)
    meta = json.loads(paths["meta"].read_text())
    meta.update({k: str(p) for k, p in paths.items()})
    return meta


def expected_images(meta: dict):
    """The RGBA pixels that every contender must produce, frame by frame."""
    colours = np.frombuffer(bytes.fromhex(meta["palette"]), np.uint8).reshape(256, 4)
    shadow_colours = np.frombuffer(bytes.fromhex(meta["shadow_palette"]), np.uint8).reshape(256, 4)
    raw = np.fromfile(meta["indices"], np.uint8)
    pos = 0
    for (w, h), shadow in zip(meta["sizes"], meta["shadow"], strict=True):
        p = raw[pos : pos + w * h].reshape(h, w)
        pos += w * h
        yield (shadow_colours if shadow else colours)[p]


# --------------------------------------------------------------------------
# Contenders. The cold ones run as scripts in fresh interpreters: each
# "base" script does everything its measured script does except the step
# being measured, so that the difference is that step as a user meets it.

PYORV_BASE = "import sys, pyorv\n"
PYORV_LOAD = PYORV_BASE + "f = pyorv.OrvF()\nassert f.load(sys.argv[1]) is not None\n"
PYORV_FULL = PYORV_LOAD + "total = sum(len(image.pixels) for image in f.get_frame_buffer())\n"

ARRAYS_BASE = "import sys, numpy, orvtool, orvtool._native\nfrom orvtool import load_frames\n"
ARRAYS_LOAD = ARRAYS_BASE + "frames = load_frames(sys.argv[1])\nassert frames\n"

PILLOW_BASE = """\
import sys, json
from PIL import Image
meta = json.load(open(sys.argv[1]))
colours = bytes.fromhex(meta["palette"])
shadow_colours = bytes.fromhex(meta["shadow_palette"])
"""
PILLOW_CONVERT = (
    PILLOW_BASE
    + """\
view = memoryview(open(sys.argv[2], "rb").read())
out = []
pos = 0
for (w, h), shadow in zip(meta["sizes"], meta["shadow"]):
    im = Image.frombytes("P", (w, h), view[pos : pos + w * h])
    pos += w * h
    im.putpalette(shadow_colours if shadow else colours, "RGBA")
    out.append(im.convert("RGBA"))
if sys.argv[3:] == ["digest"]:
    import hashlib
    digest = hashlib.sha256()
    for im in out:
        digest.update(im.tobytes())
    print(digest.hexdigest())
"""
)

COPY_BASE = "import sys, numpy as np\nsource = np.ones(int(sys.argv[1]), np.uint8)\n"
COPY = COPY_BASE + "copy = source.copy()\n"

PEAK = "status = open('/proc/self/status').read()\nprint(next(l.split()[1] for l in status.splitlines() if l.startswith('VmHWM:')))\n"


def run_child(code: str, *args: str) -> tuple:
    """Runs a fresh interpreter; returns (wall seconds, its stdout)."""
    t0 = time.perf_counter()
    out = subprocess.run([sys.executable, "-c", code, *args], check=True, capture_output=True, text=True)
    return time.perf_counter() - t0, out.stdout


def peak_rss(code: str, *args: str) -> int:
    """Peak resident bytes of a fresh interpreter running `code`: VmHWM of its
    own address space (ru_maxrss would carry over the parent's peak across
    fork and exec)."""
    return int(run_child(code + PEAK, *args)[1].strip().splitlines()[-1]) * 1024  # kB


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
    return [image.pixels for image in f.get_frame_buffer()]


def check_results(meta: dict, has_arrays: bool) -> None:
    """Every contender must produce the expected pixels before it is timed."""
    path = meta["anim"]
    images = pyorv_load(path).get_frame_buffer()
    arrays = orvtool.load_frames(path) if has_arrays else None
    if len(images) != len(meta["sizes"]) or (arrays is not None and len(arrays) != len(images)):
        raise SystemExit("pyorv rendered another number of images than were generated")
    p_images = make_p_images(meta)
    for i, expected in enumerate(expected_images(meta)):
        h, w = expected.shape[:2]
        want = expected.tobytes()
        image = images[i]
        if (image.width, image.height) != (w, h) or image.pixels != want:
            raise SystemExit(f"pyorv rendered frame {i} otherwise than the generator meant")
        if p_images[i].convert("RGBA").tobytes() != want:
            raise SystemExit(f"Pillow converted frame {i} otherwise than the generator meant")
        if arrays is not None:
            frame = arrays[i]
            a = frame.pixels
            if a.shape != (h, w, 4) or a.dtype != np.uint8 or a.flags.writeable or not np.array_equal(a, expected):
                raise SystemExit(f"orvtool.load_frames gave frame {i} otherwise than the generator meant")
            if (frame.offset_x, frame.offset_y) != (image.offset_x, image.offset_y):
                raise SystemExit(f"orvtool.load_frames gave frame {i} other offsets than pyorv")
    # The cold Pillow child converts what the warm one does.
    digest = hashlib.sha256()
    for expected in expected_images(meta):
        digest.update(expected.tobytes())
    _, out = run_child(PILLOW_CONVERT, meta["meta"], meta["indices"], "digest")
    if out.strip() != digest.hexdigest():
        raise SystemExit("the cold Pillow conversion gave other pixels than the generator meant")


def make_p_images(meta: dict) -> list:
    colours = bytes.fromhex(meta["palette"])
    shadow_colours = bytes.fromhex(meta["shadow_palette"])
    raw = open(meta["indices"], "rb").read()
    out = []
    pos = 0
    for (w, h), shadow in zip(meta["sizes"], meta["shadow"], strict=True):
        im = Image.frombytes("P", (w, h), raw[pos : pos + w * h])
        pos += w * h
        im.putpalette(shadow_colours if shadow else colours, "RGBA")
        out.append(im)
    return out


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5, help="runs per measurement; the best counts")
    parser.add_argument("--cold-runs", type=int, default=11, help="pairs of fresh interpreters per cold measurement")
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
    path = meta["anim"]
    sizes = meta["sizes"]
    pixels = sum(w * h for w, h in sizes)
    image_bytes = 4 * pixels
    file_bytes = os.path.getsize(path)
    has_arrays = hasattr(orvtool, "load_frames")

    check_results(meta, has_arrays)

    with open(meta["pngs"], "rb") as fh:
        pngs = pickle.load(fh)

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
    if not np.array_equal(source.copy(), source):
        raise SystemExit("numpy copied other bytes")
    runs = args.runs

    # Interleave the measurements run by run so that a burst of load on the
    # shared machine hurts all of them alike.
    held = pyorv_load(path)
    warm = {
        "load": [],
        "reload": [],
        "full": [],
        "gfb": [],
        "pixels": [],
        "arrays": [],
        "convert": [],
        "png": [],
        "copy": [],
    }
    for _ in range(runs):
        warm["load"].append(best_of(1, lambda: None, lambda _: pyorv_load(path)))
        warm["reload"].append(best_of(1, lambda: None, lambda _: held.load(path)))
        warm["full"].append(best_of(1, lambda: None, lambda _: pyorv_full(path)))
        # The two copies of the full path apart: the images, then their bytes.
        warm["gfb"].append(best_of(1, lambda: pyorv_load(path), lambda f: f.get_frame_buffer()))
        warm["pixels"].append(
            best_of(1, lambda: pyorv_load(path).get_frame_buffer(), lambda images: [i.pixels for i in images])
        )
        if has_arrays:
            warm["arrays"].append(best_of(1, lambda: None, lambda _: orvtool.load_frames(path)))
        warm["convert"].append(best_of(1, lambda: make_p_images(meta), convert))
        warm["png"].append(best_of(1, lambda: pngs, decode_png))
        warm["copy"].append(best_of(1, lambda: None, lambda _: source.copy()))

    # Each measured child runs right after its base child, and each step is
    # the median of those paired differences: a fresh interpreter's start
    # varies by more than the minima of two separate series can settle.
    pairs = {
        "load": ((PYORV_LOAD, path), (PYORV_BASE, path)),
        "full": ((PYORV_FULL, path), (PYORV_BASE, path)),
        "convert": ((PILLOW_CONVERT, meta["meta"], meta["indices"]), (PILLOW_BASE, meta["meta"], meta["indices"])),
        "copy": ((COPY, str(image_bytes)), (COPY_BASE, str(image_bytes))),
    }
    if has_arrays:
        pairs["arrays"] = ((ARRAYS_LOAD, path), (ARRAYS_BASE, path))
    differences = {k: [] for k in pairs}
    for _ in range(args.cold_runs):
        for name, (measured, base) in pairs.items():
            base_time = run_child(*base)[0]
            differences[name].append(run_child(*measured)[0] - base_time)
    cold = {k: statistics.median(v) for k, v in differences.items()}

    peak_runs = min(runs, 3)
    peak_load = min(peak_rss(PYORV_LOAD, path) for _ in range(peak_runs))
    peak_import = min(peak_rss(PYORV_BASE, path) for _ in range(peak_runs))
    growth = peak_load - peak_import
    mem_limit = image_bytes + file_bytes + (64 << 20)

    best = {k: min(v) for k, v in warm.items() if v}
    mib = 1 << 20
    print()
    print(
        f"animation: {len(sizes)} frames, {pixels / 1e6:.1f} Mpx, file {file_bytes / mib:.1f} MiB, "
        f"images {image_bytes / mib:.1f} MiB; warm: best of {runs} runs, cold: median of {args.cold_runs} pairs"
    )
    print()
    print(f"{'measurement':<40}{'warm ms':>10}{'Mpx/s':>8}{'cold ms':>10}{'Mpx/s':>8}")
    rows = [
        ("pyorv load", "load"),
        ("pyorv reload (the same OrvF)", "reload"),
        ("pyorv full path (load, copies, pixels)", "full"),
        ("  of which get_frame_buffer()", "gfb"),
        ("  of which pixels of every image", "pixels"),
        ("orvtool.load_frames (arrays, no copy)", "arrays"),
        ("Pillow P->RGBA convert", "convert"),
        ("Pillow PNG decode (RGBA)", "png"),
        ("numpy copy of the output bytes", "copy"),
    ]

    def cell(seconds):
        if seconds is None:
            return f"{'-':>10}{'-':>8}"
        if seconds <= 0:
            return f"{seconds * 1e3:>10.1f}{'-':>8}"
        return f"{seconds * 1e3:>10.1f}{pixels / seconds / 1e6:>8.0f}"

    for label, key in rows:
        if key == "arrays" and not has_arrays:
            print(f"{label:<40}  not available: orvtool has no load_frames")
            continue
        print(f"{label:<40}{cell(best.get(key))}{cell(cold.get(key))}")
    print(f"{'peak RSS growth of a load (MiB)':<40}{growth / mib:>10.1f}")
    print(f"{'  limit: images + file + 64 MiB':<40}{mem_limit / mib:>10.1f}")
    print()

    def ratio(times, key, other):
        """How many times faster `key` is than `other` (time of other / time of key)."""
        if key not in times or other not in times or times[key] <= 0:
            return None
        return times[other] / times[key]

    # (label, value, target, stretch): a missed target fails the run, a
    # stretch is only reported. Warm loads: the load and the arrays twice as
    # fast as Pillow's conversion, the full path (its two copies included) at
    # least as fast; cold: the figures reached before are kept.
    targets = [
        ("warm: load / Pillow P->RGBA", ratio(best, "load", "convert"), 2.0, 2.5),
        ("warm: arrays / Pillow P->RGBA", ratio(best, "arrays", "convert"), 2.0, None),
        ("warm: full path / Pillow P->RGBA", ratio(best, "full", "convert"), 1.0, 1.2),
        ("warm: reload / Pillow P->RGBA", ratio(best, "reload", "convert"), None, None),
        ("warm: load / numpy copy", ratio(best, "load", "copy"), None, 0.6),
        ("cold: load / Pillow P->RGBA", ratio(cold, "load", "convert"), 2.5, None),
        ("cold: arrays / Pillow P->RGBA", ratio(cold, "arrays", "convert"), 2.0, None),
        ("cold: full path / Pillow P->RGBA", ratio(cold, "full", "convert"), 1.2, None),
        ("cold: load / numpy copy", ratio(cold, "load", "copy"), 0.6, None),
        ("warm: load / PNG decode", ratio(best, "load", "png"), None, None),
    ]
    print(f"{'ratio':<40}{'value':>10}{'target':>10}  {'met':<5}{'stretch':>8}  met")
    all_met = True
    for label, value, target, stretch in targets:
        shown = f"{value:>10.2f}" if value is not None else f"{'n/a':>10}"
        line = f"{label:<40}{shown}"
        if target is None:
            line += f"{'-':>10}  {'':<5}"
        else:
            met = value is not None and value >= target
            all_met &= met
            line += f"{target:>9.1f}x  {'yes' if met else 'NO':<5}"
        if stretch is not None:
            line += f"{stretch:>7.1f}x  {'yes' if value is not None and value >= stretch else 'no'}"
        print(line.rstrip())
    mem_met = growth <= mem_limit
    all_met &= mem_met
    print(f"{'peak RSS growth / limit':<40}{growth / mem_limit:>10.2f}{'<= 1':>10}  {'yes' if mem_met else 'NO'}")
    return 0 if all_met else 1


if __name__ == "__main__":
    sys.exit(main())
