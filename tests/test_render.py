import pytest

import pyorv
from conftest import gray_palette, pixel, run_python
from orvtool.core.orvfile import Animation, Frame, Row, Run, encode_animation, encode_palette

CLEAR = (0, 0, 0, 0)
SHADOW = (0, 0, 0, 255)


def rgba(i, colors=None):
    return tuple((colors or gray_palette())[i])


def render_one(load_anim, capfd, frame, colors=None):
    """Loads a one-frame animation; returns (image, stderr of a fresh rendering)."""
    f, d = load_anim(Animation(frames=[frame]), colors=colors)
    capfd.readouterr()
    images = pyorv.OrvFrameBuffer(d).get_buffer()
    err = capfd.readouterr().err
    assert len(images) == 1
    return images[0], err


def row_pixels(image, y=0):
    return [pixel(image, x, y) for x in range(image.width)]


def test_cursor_carries_across_blocks(load_anim, capfd):
    img, err = render_one(load_anim, capfd, Frame(width=4, rows=[Row([Run(1, bytes([3, 4])), Run(0, bytes([5]))])]))
    assert err == ""
    assert row_pixels(img) == [CLEAR, rgba(3), rgba(4), rgba(5)]


def test_run_past_the_right_edge_is_cut_silently(load_anim, capfd):
    img, err = render_one(load_anim, capfd, Frame(width=4, rows=[Row([Run(3, bytes([1, 2, 3])), Run(0, bytes([9]))])]))
    assert err == ""
    assert row_pixels(img) == [CLEAR, CLEAR, CLEAR, rgba(1)]


def test_indices_held_govern_the_run_length(load_anim, capfd):
    f, d = load_anim(Animation(frames=[Frame(width=6, rows=[Row([Run(0, bytes([1, 2, 3])), Run(1, bytes([4, 5]))])])]))
    first, second = d.frames[0].pixel_sets[0].blocks
    first.color_count = 2  # three indices held: three drawn
    second.color_count = 0  # indices held but count 0: nothing drawn, offset still moves the cursor
    img = pyorv.OrvFrameBuffer(d).get_buffer()[0]
    assert row_pixels(img) == [rgba(1), rgba(2), rgba(3), CLEAR, CLEAR, CLEAR]


def test_out_of_range_index_skips_rest_of_block_and_keeps_cursor(load_anim, capfd):
    colors = gray_palette(4)
    frame = Frame(width=8, rows=[Row([Run(1, bytes([1, 4, 2])), Run(1, bytes([3])), Run(0, bytes([9, 9]))])])
    f, d = load_anim(Animation(frames=[frame]), colors=colors)
    d.palette.colors(d.palette.colors()[:4])
    capfd.readouterr()
    img = pyorv.OrvFrameBuffer(d).get_buffer()[0]
    assert capfd.readouterr().err == ("ERROR: Out-of-bounds color index! (4)\nERROR: Out-of-bounds color index! (9)\n")
    # Cursor stopped at x=2 after the bad index; next block starts at 2 + 1.
    assert row_pixels(img) == [CLEAR, rgba(1, colors), CLEAR, rgba(3, colors), CLEAR, CLEAR, CLEAR, CLEAR]


def test_out_of_range_index_past_the_edge_is_silent(load_anim, capfd):
    f, d = load_anim(Animation(frames=[Frame(width=2, rows=[Row([Run(0, bytes([1, 1, 200]))])])]))
    d.palette.colors(d.palette.colors()[:10])
    capfd.readouterr()
    img = pyorv.OrvFrameBuffer(d).get_buffer()[0]
    assert capfd.readouterr().err == ""
    assert row_pixels(img) == [rgba(1), rgba(1)]


def test_shadow_runs(load_anim, capfd):
    img, err = render_one(
        load_anim, capfd, Frame(width=6, is_shadow=True, rows=[Row([Run(2, length=3), Run(0, length=9)])])
    )
    assert err == ""
    assert row_pixels(img) == [CLEAR, CLEAR, SHADOW, SHADOW, SHADOW, SHADOW]


def test_shadow_needs_a_palette_but_not_its_colours(load_anim, capfd):
    f, d = load_anim(Animation(frames=[Frame(width=2, is_shadow=True, rows=[Row([Run(0, length=2)])])]))
    d.palette.colors(d.palette.colors()[:1])
    capfd.readouterr()
    assert row_pixels(pyorv.OrvFrameBuffer(d).get_buffer()[0]) == [SHADOW, SHADOW]
    d.palette.colors([])
    assert pyorv.OrvFrameBuffer(d).get_buffer() == []
    assert capfd.readouterr().err == "ERROR: No palette data available!\n"


def test_missing_rows_and_extra_rows(load_anim, capfd):
    f, d = load_anim(Animation(frames=[Frame(width=2, rows=[Row([Run(0, bytes([1, 2]))]), Row([Run(0, b"\x03")])])]))
    frame = d.frames[0]
    frame.height = 4
    capfd.readouterr()
    img = pyorv.OrvFrameBuffer(d).get_buffer()[0]
    assert (
        capfd.readouterr().err == "ERROR: Row 2 exceeds OrvPixelSet count!\nERROR: Row 3 exceeds OrvPixelSet count!\n"
    )
    assert (img.width, img.height, len(img.pixels)) == (2, 4, 32)
    assert row_pixels(img, 1) == [rgba(3), CLEAR]
    assert row_pixels(img, 2) == row_pixels(img, 3) == [CLEAR, CLEAR]
    frame.height = 1
    img = pyorv.OrvFrameBuffer(d).get_buffer()[0]
    assert capfd.readouterr().err == ""
    assert row_pixels(img) == [rgba(1), rgba(2)]


def test_no_frames_no_palette_is_silent(capfd):
    d = pyorv.OrvF().data()
    assert pyorv.OrvFrameBuffer(d).get_buffer() == []
    assert capfd.readouterr().err == ""


def test_empty_palette(load_anim, capfd):
    f, d = load_anim(Animation(frames=[Frame(width=1, rows=[Row([Run(0, b"\x01")])])]))
    d.palette.colors([])
    capfd.readouterr()
    assert pyorv.OrvFrameBuffer(d).get_buffer() == []
    assert capfd.readouterr().err == "ERROR: No palette data available!\n"


def test_empty_frames_keep_their_place(load_anim, capfd):
    f, d = load_anim(
        Animation(frames=[Frame(width=0, rows=[Row([Run(0, b"\x01")])]), Frame(width=5), Frame(width=1, rows=[Row()])])
    )
    images = f.get_frame_buffer()
    assert [(i.width, i.height, i.pixels) for i in images] == [(0, 1, b""), (5, 0, b""), (1, 1, b"\0\0\0\0")]


def test_offsets_alpha_and_copies(load_anim, capfd):
    colors = [(10, 20, 30, 0), (1, 2, 3, 128)]
    f, d = load_anim(
        Animation(frames=[Frame(width=2, x_offset=-5, y_offset=32767, rows=[Row([Run(0, bytes([0, 1]))])])]),
        colors=colors,
    )
    fb = pyorv.OrvFrameBuffer(d)
    a, b = fb.get_buffer(), fb.get_buffer()
    assert a is not b and a[0] is not b[0]
    img = a[0]
    assert (img.offset_x, img.offset_y, img.channels) == (-5, 32767, 4)
    assert img.pixels == bytes([10, 20, 30, 0, 1, 2, 3, 128])
    assert img.pixels is not img.pixels
    for attr in ("width", "pixels", "channels"):
        with pytest.raises(AttributeError):
            setattr(img, attr, 1)
    d.palette.colors(d.palette.colors()[::-1])
    assert b[0].pixels == bytes([10, 20, 30, 0, 1, 2, 3, 128])
    assert fb.get_buffer()[0].pixels == img.pixels


def test_oversized_frame_is_refused_in_place(load_anim, capfd):
    # 65535 x 8193 x 4 bytes does not fit in a signed 32-bit size.
    frames = [Frame(width=1, rows=[Row([Run(0, b"\x02")])]), Frame(width=65535, rows=[Row()] * 8193, x_offset=3)]
    f, d = load_anim(Animation(frames=frames))
    err = capfd.readouterr().err
    assert err == "ERROR: Frame 1 is too large to render: 65535 x 8193 pixels need 2147713020 bytes\n"
    images = f.get_frame_buffer()
    assert [(i.width, i.height, len(i.pixels), i.offset_x) for i in images] == [(1, 1, 4, 0), (0, 0, 0, 3)]


def test_memory_budget_refuses_frames_past_it(tmp_path):
    """1 GiB of images renders; the frame that would go past it is refused."""
    (tmp_path / "p.pal").write_bytes(encode_palette(gray_palette()))
    frames = [
        Frame(width=32767, rows=[Row([Run(0, b"\x07")])] + [Row()] * 8191),  # 1073709056 bytes
        Frame(width=100, rows=[Row([Run(0, b"\x08")])] * 100),  # 40000 bytes: past the budget
        Frame(width=8, rows=[Row([Run(0, b"\x09")])] * 8),  # 256 bytes: still fits
    ]
    (tmp_path / "a.orv").write_bytes(encode_animation(Animation(palette_path=b"p.pal", frames=frames)))
    code = f"""
import pyorv
f = pyorv.OrvF()
d = f.load({str(tmp_path / "a.orv")!r})
imgs = f.get_frame_buffer()
print([(i.width, i.height) for i in imgs])
print(imgs[0].pixels[:4] == bytes({list(gray_palette()[7])!r}),
      imgs[2].pixels[:4] == bytes({list(gray_palette()[9])!r}))
"""
    out = run_python(code, limit_mb=6000, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["[(32767, 8192), (0, 0), (8, 8)]", "True True"]
    assert out.stderr == (
        "ERROR: Frame 1 exceeds the rendering memory budget: 40000 bytes needed, 32768 of 1073741824 bytes left\n"
    )
