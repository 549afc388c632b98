"""Running one hostile input case in a fresh interpreter, within bounds.

Each case runs in a child interpreter whose address space is limited with
RLIMIT_AS to the case's memory bound (the bound covers the whole process: the
interpreter with the module imported takes about 16 MiB of it). Before the
case, the child loads a reference animation; after it, the child checks that
the reference records and images are unchanged and that a fresh load still
gives the same records, so the module is known to be usable and the data
loaded earlier to be intact. The parent checks the exit status and the peak
resident size that the child reports; the case's time bound only sets how
long the parent waits before it calls the child hung.

Under the sanitized build (the ASan runtime preloaded), the address space
cannot be limited, since the sanitizer reserves terabytes of shadow memory;
there the resident size is limited instead (hard_rss_limit_mb) and the bounds
are widened by the sanitizer's own overhead.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path
from typing import Any

TESTS = Path(__file__).resolve().parent
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")

# What the sanitizer adds: shadow memory, redzones, a small quarantine, and
# instrumented code running a few times slower.
ASAN_MEMORY = (3, 320)  # bound * 3 + 320 MiB
ASAN_TIME = 5


def memory_limit_mb(bound_mb: int) -> int:
    return bound_mb * ASAN_MEMORY[0] + ASAN_MEMORY[1] if SANITIZED else bound_mb


def time_limit_s(bound_s: float) -> float:
    return bound_s * ASAN_TIME if SANITIZED else bound_s


_PRELUDE = """
import json, os, resource, sys
sys.path.insert(0, {tests!r})
LIMIT_MB = {limit_mb}
if not {sanitized}:
    resource.setrlimit(resource.RLIMIT_AS, (LIMIT_MB << 20, LIMIT_MB << 20))
import pyorv
from hostile import *
RESULT = {{}}
_ref_file, _ref_data, _ref_records, _ref_images = load_reference()
"""

# The peak of the child's own address space: ru_maxrss carries the parent's
# peak over when the child is started by vfork and exec, which made the bound
# depend on what the test process had done before.
_EPILOGUE = """
check_reference(_ref_file, _ref_data, _ref_records, _ref_images)
try:
    with open("/proc/self/status") as _status:
        RESULT["peak_rss_mb"] = next(int(l.split()[1]) for l in _status if l.startswith("VmHWM:")) / 1024
except (OSError, StopIteration):
    RESULT["peak_rss_mb"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print("RESULT " + json.dumps(RESULT))
"""


def run_case(code: str, cwd: Path, *, memory_mb: int, seconds: float) -> dict[str, Any]:
    """Runs `code` in a child interpreter in `cwd`; returns what it put in RESULT.

    Fails the test when the child does not exit cleanly or reports a peak
    resident size above `memory_mb` MiB (widened under the sanitizers).
    `seconds`, what the case takes on a quiet machine, only sets the guard
    against a hang: a child still running after some minutes fails the test,
    and how long it took otherwise is never judged (a busy machine is no
    fault of the code)."""
    limit = memory_limit_mb(memory_mb)
    wall = time_limit_s(seconds)
    script = _PRELUDE.format(tests=str(TESTS), limit_mb=limit, sanitized=SANITIZED) + code + _EPILOGUE
    env = dict(os.environ)
    if SANITIZED:
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + f":hard_rss_limit_mb={limit}:quarantine_size_mb=16"
    try:
        proc = subprocess.run(
            [sys.executable, "-c", script],
            cwd=cwd,
            env=env,
            capture_output=True,
            text=True,
            errors="replace",
            timeout=max(120.0, wall * 10),
        )
    except subprocess.TimeoutExpired as exc:
        raise AssertionError(f"case still running after {exc.timeout:.0f} s: it hangs") from None
    detail = f"exit {proc.returncode}\nstdout:\n{proc.stdout[-3000:]}\nstderr:\n{proc.stderr[-6000:]}"
    assert proc.returncode == 0, detail
    assert "ERROR: AddressSanitizer" not in proc.stderr and "runtime error:" not in proc.stderr, detail
    lines = [ln for ln in proc.stdout.splitlines() if ln.startswith("RESULT ")]
    assert lines, detail
    result = json.loads(lines[-1][len("RESULT ") :])
    assert result["peak_rss_mb"] <= limit, f"peak resident size {result['peak_rss_mb']:.0f} MiB, bound {limit} MiB"
    return dict(result)


# ---- used inside the child interpreter ---------------------------------------------------------


def records(data) -> list[Any]:
    """Every field of every frame, row and run of an OrvData, as plain values."""
    return [frame_record(f) for f in data.frames]


def frame_record(f) -> tuple[Any, ...]:
    rows = [(row.block_count, [(b.offset, b.color_count, list(b.colors)) for b in row.blocks]) for row in f.pixel_sets]
    return (f.frame_size, f.height, f.is_shadow, f.width, f.y_offset, f.x_offset, f.unk1, f.unk2, rows)


def reference_files(directory: str = ".") -> str:
    """Writes the reference animation and its palette; returns the animation's path."""
    from orvtool.core.orvfile import Animation, encode_animation, encode_palette, frame_from_indices

    grid = [[(3 * x + 5 * y) % 200 + 1 if (x * y) % 7 else None for x in range(9)] for y in range(5)]
    anim = Animation(
        speed=40,
        palette_path=b"ref.pal",
        frames=[
            frame_from_indices(grid, x_offset=-4, y_offset=2),
            frame_from_indices([[1, None, 1, 1]] * 3, is_shadow=True),
        ],
    )
    base = Path(directory).resolve()
    (base / "ref.pal").write_bytes(encode_palette([(i, 255 - i, i // 3, 255) for i in range(256)]))
    (base / "ref.orv").write_bytes(encode_animation(anim))
    return str(base / "ref.orv")


def load_reference():
    import pyorv

    path = reference_files()
    f = pyorv.OrvF()
    data = f.load(path)
    assert data is not None
    images = [(i.width, i.height, i.offset_x, i.offset_y, i.pixels) for i in f.get_frame_buffer()]
    assert len(images) == 2 and all(w * h * 4 == len(p) for w, h, _, _, p in images)
    return f, data, records(data), images


def check_reference(f, data, recs, images) -> None:
    import pyorv

    assert records(data) == recs, "reference records changed"
    assert data.palette.location() == "ref.pal" and len(data.palette.colors()) == 256
    now = [(i.width, i.height, i.offset_x, i.offset_y, i.pixels) for i in f.get_frame_buffer()]
    assert now == images, "reference images changed"
    again = pyorv.OrvF()
    assert again.load(str(Path("ref.orv").resolve())) is not None
    assert records(again.data()) == recs
    assert [i.pixels for i in again.get_frame_buffer()] == [i[4] for i in images]
