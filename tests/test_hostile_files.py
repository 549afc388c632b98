"""Hostile animation files: counts and lengths far beyond the bytes present,
huge frames, frames cut short, and every truncation of every known file.

Every case runs in its own interpreter with a memory and a time bound (see
hostile.py) and ends by checking that an animation loaded before it is intact
and that the module still loads files."""

from __future__ import annotations

from pathlib import Path

import pytest

from hostile import SANITIZED, run_case
from orvtool.core.orvfile import Animation, Frame, Row, Run, encode_animation, encode_frame, frame_from_indices

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"

ONE_FRAME = frame_from_indices([[1, 2, None, 3], [None, 4, 4, 4]], x_offset=2)


def write_palette(directory: Path) -> None:
    from orvtool.core.orvfile import encode_palette

    (directory / "a.pal").write_bytes(encode_palette([(i, i, 255 - i, 255) for i in range(256)]))


@pytest.mark.parametrize(
    "count, background, frames_read",
    [
        (0xFFFFFFFF, False, 0),  # -1 as a signed count: nothing to read
        (0x80000000, False, 0),  # the most negative signed count
        (0x7FFFFFFF, False, 2),  # the largest count: read up to the end of the file
        (0xFFFFFFFF, True, 0),  # with the background frame the count wraps to 0
        (0x7FFFFFFF, True, 0),  # ... or becomes the most negative signed count
        (0x7FFFFFFE, True, 2),
    ],
)
def test_frame_count_far_beyond_a_short_file(tmp_path, count, background, frames_read):
    write_palette(tmp_path)
    anim = Animation(palette_path=b"a.pal", has_background=background, frame_count=count, frames=[ONE_FRAME] * 2)
    (tmp_path / "big.orv").write_bytes(encode_animation(anim))
    result = run_case(
        """
f = pyorv.OrvF()
d = f.load("big.orv", io_pal="a.pal")
RESULT["frames"] = len(d.frames) if d is not None else len(f.data().frames)
RESULT["records"] = records(f.data())
RESULT["images"] = len(f.get_frame_buffer())
""",
        tmp_path,
        memory_mb=128,
        seconds=5,
    )
    assert result["frames"] == frames_read
    assert result["images"] == frames_read
    if frames_read:
        whole = run_case(
            """
f = pyorv.OrvF()
f.load("one.orv", io_pal="a.pal")
RESULT["records"] = records(f.data())
""",
            _with_file(tmp_path, "one.orv", encode_animation(Animation(palette_path=b"a.pal", frames=[ONE_FRAME]))),
            memory_mb=128,
            seconds=5,
        )
        assert result["records"] == whole["records"] * 2


def _with_file(directory: Path, name: str, data: bytes) -> Path:
    (directory / name).write_bytes(data)
    return directory


@pytest.mark.parametrize("background", [False, True])
@pytest.mark.parametrize("tail", [b"", b"a.pal\0\x01\0\0\0", b"x" * 5000])
def test_palette_path_length_of_four_gigabytes(tmp_path, background, tail):
    head = b"FVRO\0\0\0\0\x01" if background else b""
    data = head + (7).to_bytes(4, "little") + (0xFFFFFFFF).to_bytes(4, "little") + tail
    (tmp_path / "long.orv").write_bytes(data)
    result = run_case(
        """
f = pyorv.OrvF()
d = f.load("long.orv")
p = f.data().palette
RESULT.update(none=d is None, frames=len(f.data().frames), size=p.location_size(),
              location=p.location(), speed=f.data().info.speed)
""",
        tmp_path,
        memory_mb=128,
        seconds=5,
    )
    # The path takes the rest of the file; no frame count is left to read.
    assert result == dict(
        result,
        none=True,
        frames=0,
        size=0xFFFFFFFF,
        location=tail.split(b"\0")[0].decode(),
        speed=7,
    )


# Each route's load of t.orv, one 1 x 1 frame (index 9) followed by zeros that
# take no disk: what it gives, and the trailing bytes it counts where it says.
TRAILING_ROUTES = {
    "pyorv": """
f = pyorv.OrvF()
d = f.load("t.orv", io_pal="a.pal")
RESULT.update(frames=len(d.frames), pixel=list(f.get_frame_buffer()[0].pixels), said=None)
""",
    "info": """
import contextlib, io
from orvtool.cli import main
out = io.StringIO()
with contextlib.redirect_stdout(out):
    assert main(["info", "t.orv", "--json"]) == 0
doc = json.loads(out.getvalue())[0]
RESULT.update(frames=doc["frame_count"], pixel=None, said=[doc["trailing_bytes"], doc["size"], doc["status"]])
""",
    "pillow": """
from PIL import Image
import orvtool.pillow
orvtool.pillow.register()
with Image.open("t.orv") as im:
    RESULT.update(frames=im.n_frames, pixel=list(im.getpixel((0, 0))), said=im._stream.report().trailing_bytes)
""",
    "inspect": """
import orvtool
r = orvtool.inspect("t.orv")
RESULT.update(frames=r.frames_read, pixel=None, said=[f.message for f in r.findings if f.category == "trailing_bytes"])
""",
    "export": """
from orvtool.cli import main
code = main(["export", "t.orv", "-o", "x", "--palette", "a.pal", "--report", "r.jsonl", "-q"])
doc = json.loads(open("r.jsonl").read().splitlines()[0])
with open("x/animation.json") as fh:
    frames = len(json.load(fh)["frames"])
RESULT.update(frames=frames, pixel=None, said=[code, *sorted({f["category"] for f in doc["findings"]})])
""",
    "viewer": """
from orvtool.view.catalog import Catalog
shown = Catalog(".").get("t.orv")
assert shown.error is None, shown.error
RESULT.update(frames=len(shown.doc.frames), pixel=list(shown.pixels[0].pixels), said=list(shown.doc.notes))
""",
}


@pytest.mark.parametrize("gib", [1, 3])
@pytest.mark.parametrize("route", sorted(TRAILING_ROUTES))
def test_bytes_after_the_last_record_are_counted_not_read(tmp_path, route, gib):
    """Gigabytes of zeros after the one frame: every route loads the frame
    within the memory bound, and says how many bytes follow it."""
    write_palette(tmp_path)
    data = encode_animation(Animation(palette_path=b"a.pal", frames=[frame_from_indices([[9]])]))
    size = gib << 30
    with open(tmp_path / "t.orv", "wb") as fh:
        fh.write(data)
        fh.truncate(size)
    result = run_case(TRAILING_ROUTES[route], tmp_path, memory_mb=512, seconds=10)
    trailing = size - len(data)
    said = {
        "pyorv": None,
        "info": [trailing, size, "problems"],
        "pillow": trailing,
        "export": [0, "trailing_bytes", "trailing_not_kept"],  # past what an export keeps: said, not read
        "inspect": [
            f"{trailing} bytes after the last frame record, at byte {len(data)}, are not part of the animation"
        ],
        "viewer": [f"{trailing} bytes after the last frame record, at byte {len(data)}, are not part of the animation"],
    }[route]
    assert result["frames"] == 1
    assert result["pixel"] in (None, [9, 9, 246, 255])
    assert result["said"] == said


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's shadow memory is not the load's footprint")
def test_every_empty_frame_record_is_read_at_a_few_dozen_bytes(tmp_path):
    """2^31 - 1 frames announced, then 10 MiB of zeros: every 14-byte record
    is read, at its bytes, its image (56) and the frame (40), not hundreds."""
    write_palette(tmp_path)
    with open(tmp_path / "zeros.orv", "wb") as fh:
        fh.write(b"\0\0\0\0\x01\0\0\0\0\xff\xff\xff\x7f")
        fh.truncate(10 << 20)
    code = """
def kib(key):
    return next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith(key))
before, f = kib("VmRSS:"), pyorv.OrvF()
f.load("zeros.orv", io_pal="a.pal")
RESULT.update(cost=(kib("VmHWM:") - before) * 1024, frames=f.data().info.frame_count)
"""
    result = run_case(code, tmp_path, memory_mb=256, seconds=20)
    assert result["frames"] == -(-((10 << 20) - 13) // 14)
    assert result["cost"] / result["frames"] < 140, result["cost"] / result["frames"]


def test_megabyte_of_huge_frames_with_empty_rows(tmp_path):
    write_palette(tmp_path)
    frame = Frame(width=65535, rows=[Row([])] * 8191, x_offset=-1, y_offset=3)
    one = len(encode_frame(frame))
    count = (1 << 20) // one
    data = encode_animation(Animation(palette_path=b"a.pal", frames=[frame] * count))
    assert len(data) >= (1 << 20) - one
    (tmp_path / "huge.orv").write_bytes(data)
    result = run_case(
        """
f = pyorv.OrvF()
d = f.load("huge.orv", io_pal="a.pal")
assert d is f.data()
images = f.get_frame_buffer()
RESULT["frames"] = len(d.frames)
RESULT["shapes"] = sorted({(i.width, i.height, len(i.pixels), i.offset_x, i.offset_y) for i in images})
RESULT["images"] = len(images)
last = d.frames[-1]
RESULT["last"] = (last.width, last.height, len(last.pixel_sets),
                  sum(len(r.blocks) for r in last.pixel_sets))
""",
        tmp_path,
        memory_mb=384,
        seconds=20,
    )
    assert result["frames"] == result["images"] == count
    # Each image would take 2 GiB: refused, each keeps its place as an empty image.
    assert result["shapes"] == [[0, 0, 0, -1, 3]]
    assert result["last"] == [65535, 8191, 8191, 0]


@pytest.mark.parametrize("cut", [1, 257 * 100 + 3, 5_000_000])
def test_frame_of_32767_full_rows_cut_short(tmp_path, cut):
    """A frame that would take 32767 rows of 255 runs of 255 indices (2 GiB),
    cut short after `cut` bytes of rows."""
    write_palette(tmp_path)
    runs = [Run(1, bytes((i + j) % 256 for j in range(255))) for i in range(255)]
    row = Row(runs)
    row_bytes = 1 + 255 * 257
    rows_needed = cut // row_bytes + 1
    frame = Frame(width=65535, height=32767, rows=[row] * rows_needed)
    data = encode_animation(Animation(palette_path=b"a.pal", frames=[frame]))
    head = len(data) - len(encode_frame(frame))
    data = data[: head + 14 + cut]
    (tmp_path / "cut.orv").write_bytes(data)
    result = run_case(
        f"""
f = pyorv.OrvF()
d = f.load("cut.orv", io_pal="a.pal")
frame = f.data().frames[0]
rows = frame.pixel_sets
want = [(1, 255, [(i + j) % 256 for j in range(255)]) for i in range(255)]
complete = {cut // row_bytes}
for r in range(complete):
    assert rows[r].block_count == 255
    assert [(b.offset, b.color_count, list(b.colors)) for b in rows[r].blocks] == want, r
partial = rows[complete].blocks if complete < len(rows) else []
# The row cut short holds the runs present; the run cut short holds the
# indices present and none made up.
for i, b in enumerate(partial[:-1]):
    assert (b.offset, b.color_count, list(b.colors)) == want[i]
if partial:
    last = list(partial[-1].colors)
    assert last == want[len(partial) - 1][2][: len(last)]
RESULT.update(height=frame.height, rows=len(rows), images=len(f.get_frame_buffer()),
              later=sum(len(r.blocks) for r in rows[complete + 1:]))
""",
        tmp_path,
        memory_mb=512,
        seconds=30,
    )
    assert result["height"] == 32767
    assert result["rows"] <= 32767
    assert result["later"] == 0
    assert result["images"] == 1


def writer_made_files() -> dict[str, bytes]:
    grid = [[(x + 2 * y) % 9 if (x + y) % 4 else None for x in range(11)] for y in range(4)]
    plain = frame_from_indices(grid, x_offset=-3, y_offset=1, frame_size=77)
    shadow = frame_from_indices([[1 if x % 3 else None for x in range(7)] for _ in range(3)], is_shadow=True)
    return {
        "plain": encode_animation(Animation(speed=5, palette_path=b"a.pal", frames=[plain, plain])),
        "background": encode_animation(
            Animation(speed=9, palette_path=b"a.pal", has_background=True, frames=[plain, shadow, plain])
        ),
        "shadow-first": encode_animation(Animation(palette_path=b"a.pal", frames=[shadow, plain])),
        "long-runs": encode_animation(
            Animation(
                palette_path=b"sub/../a.pal",
                frames=[Frame(width=600, rows=[Row([Run(200, bytes(range(255))), Run(3, bytes([7]) * 100)])] * 2)],
            )
        ),
    }


def known_files() -> dict[str, bytes]:
    files = {f"writer/{k}": v for k, v in writer_made_files().items()}
    for p in sorted(EXAMPLES.rglob("*.orv")):
        files[f"examples/{p.relative_to(EXAMPLES)}"] = p.read_bytes()
    return files


KNOWN = known_files()


@pytest.mark.parametrize("name", sorted(KNOWN))
def test_every_truncation(tmp_path, name):
    """Every prefix of the file loads without a fault and never yields more
    frames than the whole file. At a stride through the file and at every
    prefix near its end, the frames that the prefix holds whole read exactly
    as in the whole file, the last one at most partial. A reused file object
    reloads the whole file correctly afterwards."""
    data = KNOWN[name]
    # Under the sanitizers, which slow loading down several times, long
    # files are cut at every fifth length away from their end.
    step = 5 if SANITIZED and len(data) > 8192 else 1
    write_palette(tmp_path)
    (tmp_path / "whole.orv").write_bytes(data)
    result = run_case(
        f"""
whole = pyorv.OrvF()
whole.load("whole.orv", io_pal="a.pal")
full = records(whole.data())
full_images = [i.pixels for i in whole.get_frame_buffer()]
data = open("whole.orv", "rb").read()
reused = pyorv.OrvF()
bad = []
checked = 0
with open("cut.orv", "wb") as fh:
    fh.write(data)
fd = os.open("cut.orv", os.O_WRONLY)
for n in range(len(data), -1, -1):
    if n % {step} and n < len(data) - 400:
        continue
    os.ftruncate(fd, n)
    f = pyorv.OrvF()
    d = f.load("cut.orv", io_pal="a.pal")
    frames = f.data().frames
    if len(frames) > len(full):
        bad.append(n)
    if n % 61 == 0 or n > len(data) - 400:
        checked += 1
        got = [frame_record(fr) for fr in frames]
        held_whole = max(len(got) - 1, 0)
        if got[:held_whole] != full[:held_whole] or (d is not None and len(f.get_frame_buffer()) != len(got)):
            bad.append(n)
        reused.load("cut.orv", io_pal="a.pal")
os.close(fd)
os.truncate("cut.orv", 0)
assert reused.load("whole.orv", io_pal="a.pal") is not None
RESULT["bad"] = bad[:20]
RESULT["checked"] = checked
RESULT["max_height"] = max((r[1] for r in full), default=0)
RESULT["reloaded"] = [i.pixels for i in reused.get_frame_buffer()] == full_images
""",
        tmp_path,
        memory_mb=256,
        # A load of these files takes about a millisecond; allow a few per prefix.
        seconds=20 + 0.004 * len(data) / step,
    )
    assert result["bad"] == []
    assert result["checked"] >= min(len(data), 400)
    # Heights below 256 read the same in either shadow reading mode, so the
    # reused object gives the whole file's images again.
    assert result["max_height"] < 256
    assert result["reloaded"] is True
