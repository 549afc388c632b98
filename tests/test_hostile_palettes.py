"""Hostile palette files: entry counts far beyond the body, bodies cut short
anywhere, and palette files too long, loaded directly and as the palette of
an animation. Each case runs in its own interpreter with a memory and a time
bound (see hostile.py)."""

from __future__ import annotations

import pytest

from hostile import run_case
from orvtool.core.orvfile import Animation, encode_animation, encode_palette, frame_from_indices

GOOD = [(i, (3 * i) % 256, 255 - i, 255 - i // 2) for i in range(256)]


def write_inputs(directory) -> None:
    (directory / "good.pal").write_bytes(encode_palette(GOOD))
    grid = [[x + 16 * y for x in range(16)] for y in range(16)]  # every index once
    (directory / "all.orv").write_bytes(
        encode_animation(Animation(palette_path=b"good.pal", frames=[frame_from_indices(grid)]))
    )


SHOW = """
def table(p):
    return [(c.r, c.g, c.b, c.a) for c in p.colors()]
"""


@pytest.mark.parametrize("body_entries", [0, 1, 10, 255])
def test_count_65535_with_a_short_body(tmp_path, body_entries):
    write_inputs(tmp_path)
    (tmp_path / "bad.pal").write_bytes(encode_palette(GOOD[:body_entries], count=65535))
    result = run_case(
        SHOW
        + """
p = pyorv.PalF()
assert p.load("bad.pal") == -2           # more entries than a palette holds
assert p.colors() == []
assert p.load("good.pal") == 1
kept = table(p)
assert p.load("bad.pal") == -2
assert table(p) == kept                  # a failed load changes nothing

# As the palette of an animation: no colours, nothing rendered, whether the
# file object is fresh or loaded good colours before.
f = pyorv.OrvF()
assert f.load("all.orv", io_pal="bad.pal") is None
assert f.data().palette.colors() == []
g = pyorv.OrvF()
assert g.load("./all.orv") is not None
RESULT["first"] = list(g.get_frame_buffer()[0].pixels[:8])
RESULT["reused"] = g.load("all.orv", io_pal="bad.pal") is None
RESULT["left"] = (len(g.data().palette.colors()), len(g.get_frame_buffer()))
""",
        tmp_path,
        memory_mb=128,
        seconds=5,
    )
    assert result["reused"] is True and result["left"] == [0, 0]
    assert result["first"] == list(GOOD[0]) + list(GOOD[1])


def test_every_truncation_of_a_palette(tmp_path):
    """A body cut short gives the entries present and transparent black for
    the rest of the count; beyond the count, opaque black. A header cut short
    takes the count from what is there."""
    write_inputs(tmp_path)
    data = encode_palette(GOOD)
    (tmp_path / "whole.pal").write_bytes(data)
    result = run_case(
        SHOW
        + """
data = open("whole.pal", "rb").read()
bad = []
for n in range(len(data) + 1):
    with open("cut.pal", "wb") as fh:
        fh.write(data[:n])
    p = pyorv.PalF()
    got = p.load("cut.pal")
    if n < 2:
        # Without a whole count field: count 0 (empty) or the one byte's
        # value, 0 here.
        ok = got == -2 and p.colors() == []
    else:
        present = max(0, (n - 4) // 4)
        t = table(p)
        ok = (got == 1 and len(t) == 256 and t[:present] == GOOD_[:present]
              and all(c == (0, 0, 0, 0) for c in t[present:]))
    if not ok:
        bad.append(n)
RESULT["bad"] = bad
""".replace("GOOD_", repr(GOOD)),
        tmp_path,
        memory_mb=128,
        seconds=20,
    )
    assert result["bad"] == []


def test_a_palette_file_of_four_gigabytes(tmp_path):
    """Only the header and 256 entries are ever read: a huge (sparse) file
    loads at once."""
    write_inputs(tmp_path)
    with open(tmp_path / "huge.pal", "wb") as fh:
        fh.write(encode_palette(GOOD))
        fh.truncate(1 << 32)
    result = run_case(
        SHOW
        + """
p = pyorv.PalF()
RESULT["result"] = p.load("huge.pal")
RESULT["table"] = table(p)
f = pyorv.OrvF()
RESULT["rendered"] = f.load("all.orv", io_pal="huge.pal") is not None
""",
        tmp_path,
        memory_mb=128,
        seconds=5,
    )
    assert result["result"] == 1
    assert result["table"] == [list(c) for c in GOOD]
    assert result["rendered"] is True
