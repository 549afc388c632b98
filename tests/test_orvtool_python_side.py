"""The Python side: the load report, frames that own their pixels, threads, stubs."""

import gc
import json
import os
import random
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from PIL import Image, ImageSequence

import orvtool
import orvtool.pillow
import pyorv
from hostile import SANITIZED
from orvtool.core.orvfile import Animation, encode_animation, frame_from_indices
from orvtool_samples import figure, random_animation, write_project


@pytest.mark.parametrize("case", ["cut_short", "palette_missing"])
def test_the_report_holds_what_info_finds_and_strict_loads_raise_it(tmp_path, capfd, case):
    anim = Animation(frames=[figure(), figure(), figure()])
    if case == "palette_missing":
        anim.palette_path = b"gone.pal"
    path = write_project(tmp_path, "a.orv", anim)
    if case == "cut_short":
        path.write_bytes(path.read_bytes()[:-4])
    report = orvtool.inspect(path)
    expected = {
        "cut_short": (2, "pal/test.pal", str(tmp_path / "pal" / "test.pal"), ["frames_cut_short"]),
        "palette_missing": (3, "gone.pal", None, ["palette_not_found", "palette_open_failed", "no_palette_data"]),
    }[case]
    assert (report.status, report.failed, report.frames_announced) == ("failed", True, 3)
    assert (report.frames_read, report.palette.stored, report.palette.resolved) == expected[:3]
    assert [f.category for f in report.findings] == expected[3]
    assert all(f.severity == "error" for f in report.findings)
    done = subprocess.run(
        [sys.executable, "-m", "orvtool", "info", "--json", str(path)], capture_output=True, text=True
    )
    assert [f.as_dict() for f in report.findings] == json.loads(done.stdout)[0]["findings"]

    capfd.readouterr()
    with pytest.raises(orvtool.LoadFailed) as failed:
        orvtool.load_frames(path, strict=True)
    assert failed.value.report == report and str(report.failure) in str(failed.value)
    assert capfd.readouterr().err == ""  # strict loads print nothing
    palette = str(tmp_path / "pal" / "test.pal")
    given = orvtool.inspect(path, palette=palette).palette
    assert (given.given, given.resolved, given.tried) == (palette, palette, [])


def resident_bytes():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads the resident size from /proc")
@pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine holds freed images: resident size is not the load's")
def test_a_kept_frame_keeps_only_its_own_pixels(tmp_path):
    block = [[i % 250 + 1] * 128 for i in range(128)]
    path = write_project(tmp_path, "big.orv", Animation(frames=[frame_from_indices(block)] * 21))
    orvtool.load_frames(path)
    gc.collect()
    before = resident_bytes()
    kept = [next(iter(orvtool.load_frames(path) or [])).pixels for _ in range(300)]
    gc.collect()
    pixels = sum(k.nbytes for k in kept)
    assert resident_bytes() - before <= 3 * pixels
    assert all(np.array_equal(k, kept[0]) for k in kept)


def test_two_threads_give_what_one_gives(tmp_path, capfd):
    orvtool.pillow.register()
    paths = [write_project(tmp_path, f"{i}.orv", random_animation(random.Random(i))) for i in range(6)]
    lost = tmp_path / "lost.orv"
    lost.write_bytes(encode_animation(Animation(frames=[figure()], palette_path=b"gone.pal")))

    def results(_=None):
        out = []
        for path in paths:
            frames = orvtool.load_frames(path)
            assert frames is not None
            with Image.open(path) as im:
                canvases = [np.asarray(frame).tobytes() for frame in ImageSequence.Iterator(im)]
            out.append(([(f.pixels.tobytes(), f.offset_x) for f in frames], orvtool.inspect(path), canvases))
        for _ in range(100):  # two error lines each, which the threads write at once
            assert orvtool.load_frames(lost) is None
        return out

    alone = results()
    capfd.readouterr()
    with ThreadPoolExecutor(2) as pool:
        both = list(pool.map(results, range(2)))
    assert both == [alone, alone]
    lines = capfd.readouterr().err.splitlines()
    assert len(lines) == 400
    assert set(lines) == {"ERROR: Could not open palette file: ", "ERROR: No palette data available!"}


def test_type_checkers_refuse_classes_without_a_constructor(strict_mypy):
    made = ["OrvInfo", "OrvData", "OrvFrame", "OrvPixelSet", "OrvPixelBlock", "OrvFrameBufferObject", "PalFColor"]
    calls = [f"pyorv.{name}()" for name in made] + ["pyorv.OrvF()", "pyorv.PalF()", "orvtool._native.FrameStream()"]
    printed = strict_mypy("import pyorv\nimport orvtool._native\n" + "\n".join(calls) + "\n")
    flagged = {int(line.split(":")[1]) for line in printed.splitlines() if ": error:" in line}
    assert flagged == {3, 4, 5, 6, 7, 8, 9, 12}, printed
    for name in made:
        with pytest.raises(TypeError):
            getattr(pyorv, name)()
