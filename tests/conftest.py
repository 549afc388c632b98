import os
import subprocess
import sys

import pytest

import pyorv
from orvtool.core.orvfile import encode_animation, encode_palette


def gray_palette(n=256, alpha=255):
    """n distinct colours: entry i is (i, 255 - i, i // 2, alpha)."""
    return [(i, 255 - i, i // 2, alpha) for i in range(n)]


@pytest.fixture
def write(tmp_path):
    """Writes bytes to a file under tmp_path and returns its path as str."""

    def _write(name, data):
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        return str(path)

    return _write


@pytest.fixture
def load_anim(tmp_path):
    """Writes an Animation and a palette beside it, loads it with a fresh OrvF.

    Returns (orvf, data); the palette is found through the stored path."""

    def _load(anim, colors=None, name="anim.orv"):
        if colors is None:
            colors = gray_palette()
        if not anim.palette_path:
            anim.palette_path = b"test.pal"
        (tmp_path / anim.palette_path.decode()).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / anim.palette_path.decode()).write_bytes(encode_palette(colors))
        path = tmp_path / name
        path.write_bytes(encode_animation(anim))
        f = pyorv.OrvF()
        d = f.load(str(path))
        return f, d

    return _load


@pytest.fixture
def strict_mypy(tmp_path):
    """Type-checks `source` as a user's script (mypy --strict, with the
    installed package's stubs) and returns what mypy prints."""

    def check(source):
        (tmp_path / "use.py").write_text(source)
        env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
        done = subprocess.run(
            [sys.executable, "-m", "mypy", "--no-incremental", "--strict", "use.py"],
            capture_output=True,
            text=True,
            cwd=tmp_path,
            env=env,
            timeout=300,
        )
        return done.stdout

    return check


def run_python(code, *, limit_mb=None, timeout=60):
    """Runs code in a fresh interpreter; returns the CompletedProcess."""
    prelude = ""
    env = dict(os.environ)
    if limit_mb and "asan" in env.get("LD_PRELOAD", ""):
        # AddressSanitizer reserves terabytes of address space for its shadow
        # memory: limit the resident size instead.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + f":hard_rss_limit_mb={limit_mb}"
    elif limit_mb:
        prelude = f"import resource\nresource.setrlimit(resource.RLIMIT_AS, ({limit_mb} << 20, {limit_mb} << 20))\n"
    return subprocess.run(
        [sys.executable, "-c", prelude + code],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )


def pixel(image, x, y):
    p = 4 * (y * image.width + x)
    return tuple(image.pixels[p : p + 4])
