"""Hostile records from Python: counts larger than the sequences they
describe, saved; and views into records kept across reloads, with the file
object gone, and written through afterwards.

Each case runs in its own interpreter with a memory and a time bound (see
hostile.py)."""

from __future__ import annotations

import pytest

from hostile import run_case
from orvtool.core.orvfile import Animation, Frame, Row, Run, encode_animation, encode_palette, frame_from_indices


def write_inputs(directory) -> None:
    (directory / "a.pal").write_bytes(encode_palette([(i, 2 * i % 256, 255 - i, 255) for i in range(256)]))
    plain = Frame(
        width=12,
        rows=[Row([Run(1, bytes([3, 4, 5])), Run(2, bytes([6]))]), Row([]), Row([Run(0, bytes([9, 9]))])],
        x_offset=-5,
        y_offset=6,
        frame_size=1234,
        unk1=7,
        unk2=8,
    )
    shadow = frame_from_indices([[1, 1, None, 1], [None, 1, 1, 1]], is_shadow=True)
    other = frame_from_indices([[5] * 6, [None, 7, 7]], width=6)
    (directory / "a.orv").write_bytes(
        encode_animation(Animation(speed=3, palette_path=b"a.pal", frames=[plain, shadow, other]))
    )
    (directory / "b.orv").write_bytes(
        encode_animation(
            Animation(speed=11, palette_path=b"a.pal", has_background=True, frames=[other, other, plain, shadow])
        )
    )


# Rebuilds, with the package's writer, the bytes that saving the records must
# give: frames up to the count (as signed 32-bit) and the frames held, the
# count fields as held, indices that a run lacks written as 0.
EXPECTED_SAVE = """
from orvtool.core.orvfile import Animation, Frame, Row, Run, encode_animation

def expected_bytes(d, stored_path):
    count = d.info.frame_count
    signed = count - (1 << 32) if count >= 1 << 31 else count
    frames = []
    for fr in list(d.frames)[: max(signed, 0)]:
        shadow = fr.is_shadow != 0
        rows = []
        for row in fr.pixel_sets:
            runs = []
            for b in row.blocks:
                held = bytes(b.colors[: b.color_count])
                runs.append(Run(b.offset, held + bytes(b.color_count - len(held)), length=b.color_count))
            rows.append(Row(runs, block_count=row.block_count))
        word = 0x8000 + fr.height % 256 if shadow else fr.height
        frames.append(Frame(width=fr.width, rows=rows, x_offset=fr.x_offset, y_offset=fr.y_offset,
                            frame_size=fr.frame_size, unk1=0, unk2=1, height_word=word))
    field = (count - 1) % (1 << 32) if d.has_background else count
    return encode_animation(Animation(frames=frames, speed=d.info.speed, palette_path=stored_path,
                                      has_background=d.has_background, frame_count=field))
"""


@pytest.mark.parametrize(
    "count", ["len(d.frames) + 5", "0x7FFFFFFF", "0x80000000", "0xFFFFFFFF", "0", "len(d.frames) - 1"]
)
@pytest.mark.parametrize("source", ["a.orv", "b.orv"])
def test_counts_beyond_sequences_are_saved_within_the_records(tmp_path, count, source):
    write_inputs(tmp_path)
    result = run_case(
        EXPECTED_SAVE
        + f"""
f = pyorv.OrvF()
d = f.load({source!r}, io_pal="a.pal")
assert d is not None
frames = list(d.frames)
plain = next(fr for fr in frames if fr.is_shadow == 0 and len(fr.pixel_sets) >= 3)
shadow = next(fr for fr in frames if fr.is_shadow)
plain.height = 32767                           # 3 rows held
plain.pixel_sets[0].block_count = 255          # 2 runs held
plain.pixel_sets[1].block_count = 200          # none held
plain.pixel_sets[0].blocks[0].color_count = 255  # 3 indices held
plain.pixel_sets[2].blocks[0].color_count = 0    # 2 indices held, none written
shadow.height = 300                            # written as 300 modulo 256
shadow.is_shadow = 0                           # its runs hold no index: written as zeros
shadow.pixel_sets[0].blocks[0].color_count = 250
frames[-1].is_shadow = 7                       # its indices are not written
d.info.frame_count = {count}
before = records(d)
f.save("out.orv", os.getcwd(), os.path.abspath("saved.pal"))
written = open("out.orv", "rb").read()
want = expected_bytes(d, b"saved.pal")
RESULT["same"] = written == want
RESULT["sizes"] = [len(written), len(want)]
after = records(d)
n = max(d.info.frame_count - (1 << 32) if d.info.frame_count >= 1 << 31 else d.info.frame_count, 0)
# Saving changes unk1 and unk2 of the frames written, nothing else.
for i, (b, a) in enumerate(zip(before, after)):
    expect = b[:6] + ((0, 1) if i < n else b[6:8]) + b[8:]
    assert a == expect, i
assert open("saved.pal", "rb").read()[:4] == bytes([0, 1, 0, 0])
# The file written loads again without a fault, however its counts
# disagree with its rows.
pyorv.OrvF().load("out.orv", io_pal="a.pal")
""",
        tmp_path,
        memory_mb=128,
        seconds=10,
    )
    assert result["same"], result["sizes"]


def test_views_kept_across_reloads(tmp_path):
    write_inputs(tmp_path)
    (tmp_path / "cut.orv").write_bytes((tmp_path / "a.orv").read_bytes()[:40])
    (tmp_path / "bad.pal").write_bytes(encode_palette([(1, 2, 3, 4)] * 5, count=65535))
    result = run_case(
        """
import gc
f = pyorv.OrvF()
d = f.load("a.orv", io_pal="a.pal")
first = records(d)
info, pal = d.info, d.palette
frames = d.frames
fr = frames[0]
rows = fr.pixel_sets
row = rows[0]
runs = row.blocks
run = runs[0]
colors_before = pal.colors()
held = (frame_record(fr), row.block_count, [(b.offset, b.color_count, list(b.colors)) for b in runs])

# Reload with a different file, a file cut short, a missing file and a bad palette.
assert f.load("b.orv", io_pal="a.pal") is d
second = records(d)
assert second != first and len(second) == 4
f.load("cut.orv", io_pal="a.pal")
assert f.load("missing.orv") is None
f.load("a.orv", io_pal="bad.pal")
assert f.load("b.orv", io_pal="a.pal") is d

# Everything taken from the first load still reads as it was read.
assert frame_record(fr) == held[0] and [frame_record(x) for x in frames] == first
assert row.block_count == held[1]
assert [(b.offset, b.color_count, list(b.colors)) for b in runs] == held[2]
assert (run.offset, run.color_count, list(run.colors)) == held[2][0]
# The animation object and its info are the file object's own: they show
# the current file, and the palette kept its colours through the bad load.
assert info.frame_count == 4 and info.speed == 11 and d.has_background
assert [(c.r, c.g, c.b, c.a) for c in pal.colors()] == [(c.r, c.g, c.b, c.a) for c in colors_before]

# Writing through the old views leaves the current records alone.
fr.width, fr.x_offset = 1, 99
row.block_count = 77
run.offset, run.color_count = 200, 201
assert records(d) == second

# The views outlive the file object.
images = [i.pixels for i in f.get_frame_buffer()]
del f
gc.collect()
assert records(d) == second
assert (run.offset, run.color_count) == (200, 201)
again = pyorv.OrvFrameBuffer(d).get_buffer()
assert [i.pixels for i in again] == images
kept = pyorv.OrvFrameBuffer(d)
del d, info, frames
gc.collect()
assert len(kept.get_buffer()) == 4

# A record whose frames were replaced saves the current frames only.
f = pyorv.OrvF()
d = f.load("a.orv", io_pal="a.pal")
old = d.frames
f.load("b.orv", io_pal="a.pal")
for o in old:
    o.height = 9999
f.save("b2.orv", ".", "a.pal")
g = pyorv.OrvF()
g.load("b2.orv", io_pal="a.pal")
RESULT["resaved"] = records(g.data()) == [r[:6] + (0, 1) + r[8:] for r in second]
"""
        + "\n",
        tmp_path,
        memory_mb=128,
        seconds=10,
    )
    assert result["resaved"] is True
