import pytest

import pyorv
from conftest import run_python
from orvtool.core.orvfile import Animation, Frame, Row, Run


def two_frame_anim():
    return Animation(
        speed=5,
        frames=[
            Frame(width=3, rows=[Row([Run(1, bytes([5, 7]))]), Row([])], x_offset=-1, y_offset=2),
            Frame(width=2, rows=[Row([Run(0, bytes([1, 2])), Run(0, bytes([3]))])]),
        ],
    )


def test_fresh_animation():
    f = pyorv.OrvF()
    d = f.data()
    assert (d.info.speed, d.info.frame_count, d.frames, d.has_background) == (0, 0, [], False)
    assert d.palette.colors() == []
    assert f.get_frame_buffer() == []
    assert d is f.data() and d.palette is d.palette


def test_read_only_attributes(load_anim):
    f, d = load_anim(two_frame_anim())
    fr = d.frames[0]
    row = fr.pixel_sets[0]
    block = row.blocks[0]
    for obj, name in [
        (d, "info"),
        (d, "frames"),
        (d, "palette"),
        (fr, "pixel_sets"),
        (row, "blocks"),
        (block, "colors"),
    ]:
        with pytest.raises(AttributeError):
            setattr(obj, name, [])
    with pytest.raises(AttributeError):
        del fr.width


@pytest.mark.parametrize(
    "name, good, bad",
    [
        ("frame_size", [0, 4294967295], [-1, 4294967296]),
        ("height", [0, 65535], [-1, 65536]),
        ("is_shadow", [0, 255], [-1, 256]),
        ("width", [65535], [65536, 3.0, "3"]),
        ("y_offset", [-32768, 32767, -5], [32768, -32769]),
        ("x_offset", [-32768, 32767], [32768, None]),
        ("unk1", [0, 255], [-1, 256]),
        ("unk2", [0, 255], [-1, 256]),
    ],
)
def test_frame_field_ranges(load_anim, name, good, bad):
    f, d = load_anim(two_frame_anim())
    fr = d.frames[0]
    for value in good:
        setattr(fr, name, value)
        assert getattr(d.frames[0], name) == value
    kept = getattr(fr, name)
    for value in bad:
        with pytest.raises(TypeError):
            setattr(fr, name, value)
        assert getattr(fr, name) == kept


def test_other_field_ranges(load_anim):
    f, d = load_anim(two_frame_anim())
    d.info.speed = 7
    assert f.data().info.speed == 7
    d.info.frame_count = 4294967295
    with pytest.raises(TypeError):
        d.info.speed = 2**32
    assert d.info.speed == 7
    row = d.frames[0].pixel_sets[0]
    row.block_count = 255
    with pytest.raises(TypeError):
        row.block_count = 256
    block = row.blocks[0]
    block.offset, block.color_count = 255, 0
    with pytest.raises(TypeError):
        block.offset = -1
    assert (block.offset, block.color_count, block.colors) == (255, 0, [5, 7])


def test_index_protocol_accepted(load_anim):
    class Idx:
        def __index__(self):
            return 9

    f, d = load_anim(two_frame_anim())
    d.frames[0].width = Idx()
    d.frames[0].height = True
    assert (d.frames[0].width, d.frames[0].height) == (9, 1)


def test_has_background_conversion(load_anim):
    f, d = load_anim(two_frame_anim())
    d.has_background = 1
    assert d.has_background is True
    d.has_background = None
    assert d.has_background is False
    d.has_background = 2
    assert d.has_background is True
    with pytest.raises(TypeError):
        d.has_background = "yes"
    assert d.has_background is True


def test_lists_are_new_and_views_write_through(load_anim):
    f, d = load_anim(two_frame_anim())
    frames = d.frames
    frames.append(frames[0])
    frames.clear()
    assert len(d.frames) == 2
    d.frames[0].width = 7
    assert d.frames[0].width == 7
    colors = d.frames[0].pixel_sets[0].blocks[0].colors
    colors[0] = 99
    assert d.frames[0].pixel_sets[0].blocks[0].colors == [5, 7]
    blocks = d.frames[1].pixel_sets[0].blocks
    assert [b.colors for b in blocks] == [[1, 2], [3]]
    blocks[1].offset = 4
    assert d.frames[1].pixel_sets[0].blocks[1].offset == 4
    assert d.frames is not d.frames


def test_view_identity_while_alive(load_anim):
    f, d = load_anim(two_frame_anim())
    first = d.frames[0]
    assert d.frames[0] is first
    assert first.pixel_sets[0] is first.pixel_sets[0]
    assert d.info is d.info
    assert f.get_frame_buffer()[0] is not f.get_frame_buffer()[0]


def test_many_reloads_with_stale_views_in_a_subprocess(tmp_path):
    from orvtool.core.orvfile import encode_animation, encode_palette

    (tmp_path / "p.pal").write_bytes(encode_palette([(i, i, i, 255) for i in range(256)]))
    big = Animation(
        palette_path=b"p.pal",
        frames=[Frame(width=40, rows=[Row([Run(1, bytes(range(30)))] * 3)] * 20) for _ in range(6)],
    )
    small = Animation(palette_path=b"p.pal", frames=[Frame(width=1, rows=[Row([Run(0, b"\x01")])])])
    (tmp_path / "big.orv").write_bytes(encode_animation(big))
    (tmp_path / "small.orv").write_bytes(encode_animation(small))
    code = f"""
import pyorv
f = pyorv.OrvF()
kept = []
for i in range(200):
    d = f.load({str(tmp_path / "big.orv")!r} if i % 2 == 0 else {str(tmp_path / "small.orv")!r})
    frames = d.frames
    kept.append(frames[-1])
    kept.append(frames[0].pixel_sets[0])
    kept.append(frames[0].pixel_sets[0].blocks[0])
    total = 0
    for obj in kept[-300:]:
        if isinstance(obj, pyorv.OrvFrame):
            obj.width = obj.width
            total += obj.height + len(obj.pixel_sets)
        elif isinstance(obj, pyorv.OrvPixelSet):
            total += obj.block_count + len(obj.blocks)
        else:
            total += sum(obj.colors) + obj.color_count
print("ok", len(kept))
"""
    out = run_python(code, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["ok", "600"]
