import os

import pytest

import pyorv
from conftest import gray_palette, pixel, run_python
from orvtool.core.orvfile import Animation, Frame, Row, Run, encode_animation, encode_palette

EXAMPLE_1 = bytes.fromhex("6400000006000000612e70616c00010000000000000001000300feff010000010101020507")
EXAMPLE_2 = bytes.fromhex(
    "4656524f00000000016400000006000000612e70616c000100000000000000028004000000000000010100040000"
    "0000000100010000000000000101000109"
)


@pytest.fixture
def pal_dir(tmp_path):
    (tmp_path / "a.pal").write_bytes(encode_palette(gray_palette()))
    return tmp_path


def blocks_of(frame):
    return [[(b.offset, b.color_count, b.colors) for b in row.blocks] for row in frame.pixel_sets]


def test_worked_example_plain(pal_dir, capfd):
    (pal_dir / "e1.orv").write_bytes(EXAMPLE_1)
    f = pyorv.OrvF()
    d = f.load(str(pal_dir / "e1.orv"))
    assert d is f.data()
    assert capfd.readouterr().err == ""
    assert (d.info.speed, d.info.frame_count, d.has_background) == (100, 1, False)
    fr = d.frames[0]
    assert (fr.frame_size, fr.height, fr.is_shadow, fr.width, fr.y_offset, fr.x_offset, fr.unk1, fr.unk2) == (
        0,
        1,
        0,
        3,
        -2,
        1,
        0,
        1,
    )
    assert blocks_of(fr) == [[(1, 2, [5, 7])]]
    assert (d.palette.location(), d.palette.location_size()) == ("a.pal", 6)
    img = f.get_frame_buffer()[0]
    assert [pixel(img, x, 0) for x in range(3)] == [(0, 0, 0, 0), gray_palette()[5], gray_palette()[7]]


def test_worked_example_background(pal_dir):
    (pal_dir / "e2.orv").write_bytes(EXAMPLE_2)
    f = pyorv.OrvF()
    d = f.load(str(pal_dir / "e2.orv"))
    assert d is not None
    assert (d.has_background, d.info.frame_count, len(d.frames)) == (True, 2, 2)
    f0, f1 = d.frames
    assert (f0.is_shadow, f0.height, f0.width) == (1, 2, 4)
    assert blocks_of(f0) == [[(0, 4, [])], []]
    assert (f1.is_shadow, f1.height, blocks_of(f1)) == (0, 1, [[(0, 1, [9])]])
    assert len(f.get_frame_buffer()) == 2


@pytest.mark.parametrize("flag, background, frames_read", [(0, False, 1), (1, True, 2), (2, True, 2), (255, True, 2)])
def test_header_flag(pal_dir, flag, background, frames_read):
    one = Frame(width=1, rows=[Row([Run(0, b"\x01")])])
    anim = Animation(
        palette_path=b"a.pal",
        has_background=True,
        background_flag=flag,
        reserved=b"xyzw",
        frames=[one, one],
        frame_count=1,
    )
    (pal_dir / "h.orv").write_bytes(encode_animation(anim))
    d = pyorv.OrvF().load(str(pal_dir / "h.orv"))
    assert d is not None
    assert (d.has_background, d.info.frame_count, len(d.frames)) == (background, frames_read, frames_read)


def test_plain_form_keeps_an_earlier_background_flag(pal_dir):
    one = Frame(width=1, rows=[Row([Run(0, b"\x01")])])
    (pal_dir / "bg.orv").write_bytes(
        encode_animation(Animation(palette_path=b"a.pal", has_background=True, frames=[one, one]))
    )
    (pal_dir / "plain.orv").write_bytes(
        encode_animation(Animation(palette_path=b"a.pal", frames=[one, one], frame_count=1))
    )
    f = pyorv.OrvF()
    f.load(str(pal_dir / "bg.orv"))
    d = f.load(str(pal_dir / "plain.orv"))
    assert d is not None
    # The plain form does not carry the flag: it stays set and the count gains the background frame.
    assert (d.has_background, d.info.frame_count, len(d.frames)) == (True, 2, 2)
    fresh = pyorv.OrvF().load(str(pal_dir / "plain.orv"))
    assert fresh is not None and fresh.info.frame_count == 1


def test_speed_spelling_the_magic_reads_as_header(pal_dir):
    # Speed 0x4F525646 is "FVRO": the file reads as the background form.
    data = encode_animation(Animation(speed=0x4F525646, palette_path=b"a.pal", frames=[]))
    (pal_dir / "m.orv").write_bytes(data)
    f = pyorv.OrvF()
    assert f.load(str(pal_dir / "m.orv")) is None
    d = f.data()
    # Bytes 4..7 (the path length) are skipped as reserved; byte 8, "a", is the flag.
    assert d.has_background is True
    assert d.info.speed == int.from_bytes(b".pal", "little")


def test_short_and_foreign_files_read_as_plain(pal_dir, capfd):
    f = pyorv.OrvF()
    for data in (b"", b"FV", b"FVR", b"XVRO\0\0\0\0"):
        (pal_dir / "s.orv").write_bytes(data)
        assert f.load(str(pal_dir / "s.orv")) is None
        assert f.data().frames == [] and f.data().has_background is False


@pytest.mark.parametrize(
    "field, location, size",
    [(b"a.pal\0\0", "a.pal", 7), (b"a.pal", "a.pal", 5), (b"a.pal\0junk", "a.pal", 10), (b"\0a.pal", "", 6)],
)
def test_path_field(pal_dir, field, location, size):
    anim = Animation(raw_path_field=field, frames=[Frame(width=1, rows=[Row([Run(0, b"\x01")])])])
    (pal_dir / "p.orv").write_bytes(encode_animation(anim))
    f = pyorv.OrvF()
    f.load(str(pal_dir / "p.orv"))
    pal = f.data().palette
    assert (pal.location(), pal.location_size()) == (location, size)
    assert len(pal.colors()) == (256 if location else 0)


def test_io_pal_absolute_and_relative(tmp_path, monkeypatch, capfd):
    other = [(1, 2, 3, 4)] * 256
    (tmp_path / "other.pal").write_bytes(encode_palette(other))
    (tmp_path / "a.pal").write_bytes(encode_palette(gray_palette()))
    (tmp_path / "x.orv").write_bytes(
        encode_animation(Animation(palette_path=b"a.pal", frames=[Frame(width=1, rows=[Row([Run(0, b"\x05")])])]))
    )
    for io_pal in (str(tmp_path / "other.pal"), "other.pal", b"other.pal"):
        monkeypatch.chdir(tmp_path)
        f = pyorv.OrvF()
        d = f.load(file_name=str(tmp_path / "x.orv"), color_profile=7, io_pal=io_pal)
        assert d is not None
        expected = io_pal.decode() if isinstance(io_pal, bytes) else io_pal
        assert (d.palette.location(), d.palette.location_size()) == (expected, 6)
        assert pixel(f.get_frame_buffer()[0], 0, 0) == (1, 2, 3, 4)
    monkeypatch.chdir(tmp_path / "..")
    f = pyorv.OrvF()
    assert f.load(str(tmp_path / "x.orv"), 0, "other.pal") is None
    assert capfd.readouterr().err.splitlines()[-2:] == [
        f"ERROR: Could not open palette file: {os.path.abspath(str(tmp_path / '..'))}/other.pal",
        "ERROR: No palette data available!",
    ]


def test_find_palette_walks_up(tmp_path):
    root = tmp_path / "g"
    (root / "objects" / "tree").mkdir(parents=True)
    (root / "objects" / "tree" / "tree.pal").write_bytes(encode_palette([(7, 7, 7, 7)]))
    anim = Animation(palette_path=b"objects/tree/tree.pal", frames=[Frame(width=1, rows=[Row([Run(0, b"\x00")])])])
    (root / "objects" / "tree" / "n").write_bytes(encode_animation(anim))
    f = pyorv.OrvF()
    d = f.load(str(root / "objects" / "tree" / "n"))
    assert d is not None and pixel(f.get_frame_buffer()[0], 0, 0) == (7, 7, 7, 7)
    assert d.palette.location() == "objects/tree/tree.pal"


def test_find_palette_walks_a_relative_name_lexically(tmp_path, monkeypatch, capfd):
    (tmp_path / "sub" / "pal").mkdir(parents=True)
    (tmp_path / "sub" / "deeper").mkdir(parents=True)
    (tmp_path / "pal").mkdir()
    (tmp_path / "sub" / "pal" / "x.pal").write_bytes(encode_palette([(3, 3, 3, 3)]))
    (tmp_path / "pal" / "x.pal").write_bytes(encode_palette([(4, 4, 4, 4)]))
    anim = Animation(palette_path=b"pal/x.pal", frames=[Frame(width=1, rows=[Row([Run(0, b"\x00")])])])
    (tmp_path / "sub" / "deeper" / "a.orv").write_bytes(encode_animation(anim))
    monkeypatch.chdir(tmp_path)
    f = pyorv.OrvF()
    assert f.load("sub/deeper/a.orv") is not None
    assert pixel(f.get_frame_buffer()[0], 0, 0) == (3, 3, 3, 3)
    # The walk stops at the first element of a relative name: the current
    # directory itself is not searched.
    (tmp_path / "sub" / "pal" / "x.pal").unlink()
    capfd.readouterr()
    assert pyorv.OrvF().load("sub/deeper/a.orv") is None
    assert capfd.readouterr().err.startswith("ERROR: Could not open palette file: \n")


def test_bare_file_name_searches_nothing(tmp_path, monkeypatch, capfd):
    (tmp_path / "a.pal").write_bytes(encode_palette(gray_palette()))
    (tmp_path / "n.orv").write_bytes(
        encode_animation(Animation(palette_path=b"a.pal", frames=[Frame(width=1, rows=[Row([Run(0, b"\x01")])])]))
    )
    monkeypatch.chdir(tmp_path)
    f = pyorv.OrvF()
    assert f.load("n.orv") is None
    assert capfd.readouterr().err == "ERROR: Could not open palette file: \nERROR: No palette data available!\n"
    assert len(f.data().frames) == 1


def test_absolute_location_present_and_missing(tmp_path, capfd):
    (tmp_path / "abs.pal").write_bytes(encode_palette([(9, 8, 7, 6)]))
    one = [Frame(width=1, rows=[Row([Run(0, b"\x00")])])]
    (tmp_path / "d").mkdir()
    (tmp_path / "d" / "a.orv").write_bytes(
        encode_animation(Animation(palette_path=str(tmp_path / "abs.pal").encode(), frames=one))
    )
    (tmp_path / "d" / "b.orv").write_bytes(
        encode_animation(Animation(palette_path=str(tmp_path / "gone.pal").encode(), frames=one))
    )
    f = pyorv.OrvF()
    assert pixel(f.load(str(tmp_path / "d" / "a.orv")) and f.get_frame_buffer()[0], 0, 0) == (9, 8, 7, 6)
    capfd.readouterr()
    g = pyorv.OrvF()
    assert g.load(str(tmp_path / "d" / "b.orv")) is None
    assert capfd.readouterr().err == "ERROR: Could not open palette file: \nERROR: No palette data available!\n"


def test_a_reload_never_paints_with_the_colours_of_the_file_before(tmp_path, capfd):
    # The second animation's palette is missing: a reused OrvF answers exactly
    # as a fresh one does, instead of rendering with the first file's colours.
    (tmp_path / "meadow").mkdir()
    (tmp_path / "meadow" / "m.pal").write_bytes(encode_palette(gray_palette()))
    one = [Frame(width=1, rows=[Row([Run(0, b"\x05")])])]
    (tmp_path / "meadow" / "m.orv").write_bytes(encode_animation(Animation(palette_path=b"m.pal", frames=one)))
    (tmp_path / "walk.orv").write_bytes(encode_animation(Animation(palette_path=b"walk.pal", frames=one * 2)))
    reused = pyorv.OrvF()
    assert reused.load(str(tmp_path / "meadow" / "m.orv")) is not None
    palette = reused.data().palette
    palette.color_model(1)
    capfd.readouterr()
    fresh_err = []
    for f in (pyorv.OrvF(), reused):
        assert f.load(str(tmp_path / "walk.orv")) is None
        fresh_err.append(capfd.readouterr().err)
        assert f.get_frame_buffer() == [] and len(f.data().frames) == 2
        assert f.data().palette.colors() == []
    assert fresh_err == ["ERROR: Could not open palette file: \nERROR: No palette data available!\n"] * 2
    # The same palette object, its location fields and colour model kept.
    assert reused.data().palette is palette
    assert (palette.location(), palette.location_size(), palette.color_model()) == ("walk.pal", 9, 1)
    # An invalid palette file empties the table as well; PalF.load alone keeps it.
    (tmp_path / "walk.pal").write_bytes(b"\0\0\0\0")
    assert reused.load(str(tmp_path / "meadow" / "m.orv")) is not None
    assert reused.load(str(tmp_path / "walk.orv")) is None and palette.colors() == []
    assert palette.load(str(tmp_path / "meadow" / "m.pal")) == 1
    assert palette.load(str(tmp_path / "walk.pal")) == -2 and len(palette.colors()) == 256


def test_missing_file_changes_nothing(tmp_path, pal_dir, capfd):
    (pal_dir / "e1.orv").write_bytes(EXAMPLE_1)
    f = pyorv.OrvF()
    d = f.load(str(pal_dir / "e1.orv"))
    capfd.readouterr()
    assert f.load(str(tmp_path / "nope.orv")) is None
    assert f.load(str(tmp_path)) is None
    assert capfd.readouterr().err == ""
    assert f.data() is d and d.info.speed == 100 and len(f.get_frame_buffer()) == 1


@pytest.mark.parametrize(
    "names", [("e1.orv\0x", ""), ("e1.orv", "a.pal\0"), ("\0", "\0")], ids=["file_name", "io_pal", "both"]
)
def test_zero_byte_in_a_name_raises_before_reading(pal_dir, capfd, names):
    # A name cut at the zero byte would open another file (here: the file the
    # first part names, which exists).
    (pal_dir / "e1.orv").write_bytes(EXAMPLE_1)
    f = pyorv.OrvF()
    file_name, io_pal = (str(pal_dir / n) if n else "" for n in names)
    with pytest.raises(RuntimeError, match="zero byte"):
        f.load(file_name, io_pal=io_pal)
    assert capfd.readouterr().err == ""
    assert f.data().info.speed == 0 and f.data().palette.location() == "" and f.get_frame_buffer() == []


def test_no_frames_returns_none(pal_dir):
    (pal_dir / "z.orv").write_bytes(encode_animation(Animation(speed=3, palette_path=b"a.pal", frames=[])))
    f = pyorv.OrvF()
    assert f.load(str(pal_dir / "z.orv")) is None
    assert f.data().info.speed == 3 and f.get_frame_buffer() == []


def test_background_counts(pal_dir):
    one = Frame(width=1, rows=[Row([Run(0, b"\x01")])])
    (pal_dir / "b.orv").write_bytes(
        encode_animation(Animation(palette_path=b"a.pal", has_background=True, frames=[one] * 3))
    )
    d = pyorv.OrvF().load(str(pal_dir / "b.orv"))
    assert d is not None
    assert (d.info.frame_count, len(d.frames)) == (3, 3)
    # A count field of 2^32-1 with the background frame wraps to 0 frames.
    (pal_dir / "w.orv").write_bytes(
        encode_animation(Animation(palette_path=b"a.pal", has_background=True, frames=[one], frame_count=0xFFFFFFFF))
    )
    f = pyorv.OrvF()
    assert f.load(str(pal_dir / "w.orv")) is None
    assert (f.data().info.frame_count, f.data().frames) == (0, [])


def shadow_then_tall(path):
    shadow = Frame(width=1, is_shadow=True, rows=[Row([Run(0, length=1)])])
    tall = Frame(width=1, rows=[Row([Run(0, b"\x01")])] * 300)
    path.write_bytes(encode_animation(Animation(palette_path=b"a.pal", frames=[shadow, tall])))


def test_shadow_mode_within_a_file(pal_dir):
    shadow = Frame(width=1, is_shadow=True, rows=[Row([Run(0, length=1)])])
    # Height word 0x0105 after a shadow frame reads as height 5; the rows follow that height.
    after = Frame(width=1, height_word=0x0105, rows=[Row([Run(0, b"\x02")])] * 5)
    (pal_dir / "s.orv").write_bytes(encode_animation(Animation(palette_path=b"a.pal", frames=[shadow, after])))
    d = pyorv.OrvF().load(str(pal_dir / "s.orv"))
    assert d is not None
    assert [(fr.is_shadow, fr.height, len(fr.pixel_sets)) for fr in d.frames] == [(1, 1, 1), (0, 5, 5)]
    shadow_then_tall(pal_dir / "t.orv")
    d = pyorv.OrvF().load(str(pal_dir / "t.orv"))
    assert d is not None
    assert d.frames[1].height == 300 % 256


def test_shadow_mode_starts_afresh_on_every_load(pal_dir):
    shadow_then_tall(pal_dir / "t.orv")
    tall = Frame(width=1, rows=[Row([Run(0, b"\x01")])] * 300)
    (pal_dir / "tall.orv").write_bytes(encode_animation(Animation(palette_path=b"a.pal", frames=[tall, tall])))
    f = pyorv.OrvF()
    f.load(str(pal_dir / "t.orv"))
    d = f.load(str(pal_dir / "tall.orv"))
    assert d is not None
    assert [fr.height for fr in d.frames] == [300, 300]
    assert [len(fr.pixel_sets) for fr in d.frames] == [300, 300]


def test_shadow_flag_with_high_bits(pal_dir):
    # A shadow word with bits 8..14 set still takes its height from bits 0..7.
    frame = Frame(width=2, height_word=0x8F02, rows=[Row([Run(0, length=2)]), Row([])])
    (pal_dir / "h.orv").write_bytes(encode_animation(Animation(palette_path=b"a.pal", frames=[frame])))
    d = pyorv.OrvF().load(str(pal_dir / "h.orv"))
    assert d is not None
    assert (d.frames[0].is_shadow, d.frames[0].height) == (1, 2)


def test_arguments(pal_dir):
    (pal_dir / "e1.orv").write_bytes(EXAMPLE_1)
    path = str(pal_dir / "e1.orv")
    f = pyorv.OrvF()
    with pytest.raises(TypeError):
        f.load(path, color_profile=1.5)
    with pytest.raises(TypeError):
        f.load(path, 2**31)
    with pytest.raises(TypeError):
        f.load(None)  # type: ignore[arg-type]  # refused on purpose
    with pytest.raises(TypeError):
        f.load(path, 0, "", 1)  # type: ignore[call-arg]  # refused on purpose
    assert f.data().frames == []
    results = []
    for profile in (0, 7, -1, -(2**31)):
        g = pyorv.OrvF()
        g.load(path.encode(), color_profile=profile)
        results.append([img.pixels for img in g.get_frame_buffer()])
    assert all(r == results[0] for r in results)


def test_file_system_errors_of_the_search_raise(tmp_path, capfd):
    (tmp_path / "loop").symlink_to(tmp_path / "loop")
    anim = Animation(speed=4, palette_path=b"loop/x.pal", frames=[Frame(width=1, rows=[Row([Run(0, b"\x00")])])])
    (tmp_path / "a.orv").write_bytes(encode_animation(anim))
    f = pyorv.OrvF()
    with pytest.raises(RuntimeError, match="exists"):
        f.load(str(tmp_path / "a.orv"))
    # The head has been read; no frame record has; the object stays usable.
    assert f.data().info.speed == 4 and f.get_frame_buffer() == []
    (tmp_path / "ok.pal").write_bytes(encode_palette(gray_palette()))
    assert f.load(str(tmp_path / "a.orv"), io_pal=str(tmp_path / "ok.pal")) is not None


def test_relative_io_pal_without_a_working_directory(tmp_path):
    from conftest import run_python

    (tmp_path / "a.orv").write_bytes(EXAMPLE_1)
    code = f"""
import os, pyorv
os.mkdir({str(tmp_path / "gone")!r}); os.chdir({str(tmp_path / "gone")!r}); os.rmdir({str(tmp_path / "gone")!r})
try:
    pyorv.OrvF().load({str(tmp_path / "a.orv")!r}, io_pal="rel.pal")
except RuntimeError as e:
    print("RuntimeError", "current path" in str(e))
"""
    out = run_python(code)
    assert out.stdout.split() == ["RuntimeError", "True"]


def test_unusable_stored_locations_count_as_absent(tmp_path, capfd):
    one = [Frame(width=1, rows=[Row([Run(0, b"\x00")])])]
    f = pyorv.OrvF()
    for location in (b"x" * 5000 + b".pal", b"a/" * 3000 + b"p.pal"):
        (tmp_path / "a.orv").write_bytes(encode_animation(Animation(palette_path=location, frames=one)))
        assert f.load(str(tmp_path / "a.orv")) is None
        assert capfd.readouterr().err == "ERROR: Could not open palette file: \nERROR: No palette data available!\n"
        assert f.data().palette.location() == location.decode()


@pytest.mark.parametrize("fifo_is", ["animation", "stored palette", "io_pal"])
def test_special_files_are_open_failures_at_once(pal_dir, fifo_is):
    # A named pipe with no writer: opening it for reading would wait forever.
    fifo = pal_dir / ("f.orv" if fifo_is == "animation" else "f.pal")
    os.mkfifo(fifo)
    anim = pal_dir / "anim.orv"
    anim.write_bytes(EXAMPLE_1.replace(b"a.pal\0", b"f.pal\0") if fifo_is == "stored palette" else EXAMPLE_1)
    name = fifo if fifo_is == "animation" else anim
    io_pal = str(fifo) if fifo_is == "io_pal" else ""
    code = f"import pyorv\nprint(pyorv.OrvF().load({str(name)!r}, 0, {io_pal!r}))"
    out = run_python(code, timeout=20)
    assert out.stdout == "None\n"
    if fifo_is == "animation":
        assert out.stderr == ""
    else:
        assert out.stderr == f"ERROR: Could not open palette file: {fifo}\nERROR: No palette data available!\n"


def _covered(width, height, index):
    """A frame covered whole by one index, in runs of at most 255."""
    runs = [Run(0, bytes([index]) * min(255, width - x)) for x in range(0, width, 255)]
    return Frame(width=width, rows=[Row(list(runs)) for _ in range(height)])


@pytest.mark.parametrize("cut", [0, 3])
def test_a_reload_draws_into_the_memory_it_replaces_as_a_fresh_load_draws(tmp_path, capfd, cut):
    # The first file covers every pixel of its images, the large one (which
    # gets storage of its own) included; the second leaves gaps everywhere:
    # between runs, after them, whole rows, runs past the width, in shadow
    # frames too, and when it is cut short, rows its last frame lacks.
    (tmp_path / "full.pal").write_bytes(encode_palette(gray_palette()))
    (tmp_path / "gaps.pal").write_bytes(encode_palette(gray_palette()))
    full = [_covered(300, 40, 200), _covered(1100, 1000, 201), _covered(300, 40, 202)]
    (tmp_path / "full.orv").write_bytes(encode_animation(Animation(palette_path=b"full.pal", frames=full)))
    sparse = Row([Run(3, b"\x05\x06"), Run(10, b"\x07\x30"), Run(250, b"\x08")])
    gaps = [
        Frame(width=300, rows=[sparse, Row(), Row([Run(0, b"\x09")]), sparse] * 10),
        Frame(width=1100, rows=[Row([Run(250), Run(250, b"\x0a\x0b")])] + [Row()] * 998 + [sparse]),
        Frame(width=40, rows=[Row([Run(2, length=5), Run(30, length=20)]), Row()] * 4, is_shadow=1),
        Frame(width=7, rows=[Row([Run(1, b"\x01\x02")]), Row([Run(2, b"\x03")])]),
    ]
    data = encode_animation(Animation(palette_path=b"gaps.pal", frames=gaps))
    (tmp_path / "gaps.orv").write_bytes(data[: len(data) - cut])

    fresh = pyorv.OrvF()
    assert fresh.load(str(tmp_path / "gaps.orv")) is not None
    expected = [(i.width, i.height, i.offset_x, i.offset_y, i.pixels) for i in fresh.get_frame_buffer()]
    expected_err = capfd.readouterr().err
    # Cut short, the last frame's second row is left as it is drawn: clear.
    assert (expected[-1][4][28:] == bytes(28)) == bool(cut)

    reused = pyorv.OrvF()
    for _ in range(2):
        assert reused.load(str(tmp_path / "full.orv")) is not None
        before = reused.get_frame_buffer()
        capfd.readouterr()
        assert reused.load(str(tmp_path / "gaps.orv")) is not None
        assert capfd.readouterr().err == expected_err
        got = [(i.width, i.height, i.offset_x, i.offset_y, i.pixels) for i in reused.get_frame_buffer()]
        assert got == expected
        # Images handed out before the reload are copies: untouched by it.
        assert [set(i.pixels) for i in before] == [{200, 55, 100, 255}, {201, 54, 100, 255}, {202, 53, 101, 255}]
