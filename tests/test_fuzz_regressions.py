"""Every input that made a fuzz harness crash, hang or exceed its memory
limit, kept under tests/fuzz_regressions/<harness>/, replayed through the
module the way its harness used it (`./dev fuzz` adds them; `./dev test` also
replays them through the harnesses themselves).

    load_render/  animation files: loaded with a palette, rendered, reloaded
    palette/      palette files: loaded with either colour model
    save/         16 control bytes, then an animation file: loaded, its counts
                  made hostile, saved
"""

from __future__ import annotations

import shutil
from pathlib import Path

import pytest

from hostile import run_case
from orvtool.orvfile import encode_palette

KEPT = Path(__file__).resolve().parent / "fuzz_regressions"
HARNESSES = ("load_render", "palette", "save")
SAVE_CONTROL_BYTES = 16

REPLAY = {
    "load_render": """
f = pyorv.OrvF()
d = f.load("input", io_pal="a.pal")
images = f.get_frame_buffer()
assert d is None or len(images) == len(d.frames)
for i in images:
    assert len(i.pixels) == i.width * i.height * 4
short = pyorv.PalF()
short.load("short.pal")
f.data().palette.colors(short.colors()[:7])
pyorv.OrvFrameBuffer(f.data()).get_buffer()
kept = [frame_record(fr) for fr in f.data().frames[:1]]
held = f.data().frames[:1]
f.load("./input")
assert [frame_record(fr) for fr in held] == kept
""",
    "palette": """
for model in (0, 1):
    p = pyorv.PalF()
    p.color_model(model)
    assert p.load("input") in (1, -2)
    assert len(p.colors()) in (0, 256)
""",
    "save": """
data = open("input", "rb").read()[SKIP:]
open("anim", "wb").write(data)
for count in (None, 0, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF):
    f = pyorv.OrvF()
    f.load("anim", io_pal="a.pal")
    d = f.data()
    if count is not None:
        d.info.frame_count = count
        for fr in d.frames:
            fr.height = 300
            for row in fr.pixel_sets:
                row.block_count = 255
                for b in row.blocks:
                    b.color_count = 255
    f.save(os.path.abspath("out.orv"), os.getcwd(), os.path.abspath("out.pal"))
    pyorv.OrvF().load("out.orv", io_pal="a.pal")
""".replace("SKIP", str(SAVE_CONTROL_BYTES)),
}


def kept_inputs():
    if not KEPT.is_dir():
        return []
    return sorted(p for p in KEPT.rglob("*") if p.is_file())


def test_kept_inputs_are_filed_by_harness():
    for p in kept_inputs():
        assert p.parent.parent == KEPT and p.parent.name in HARNESSES, p


@pytest.mark.parametrize("path", kept_inputs(), ids=lambda p: f"{p.parent.name}/{p.name}")
def test_kept_input_replays(tmp_path, path):
    shutil.copyfile(path, tmp_path / "input")
    (tmp_path / "a.pal").write_bytes(encode_palette([(i, 0, 255 - i, 255) for i in range(256)]))
    (tmp_path / "short.pal").write_bytes(encode_palette([(9, 9, 9, 9)] * 7))
    run_case(REPLAY[path.parent.name], tmp_path, memory_mb=640, seconds=30)
