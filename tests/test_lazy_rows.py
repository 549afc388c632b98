"""Frames build their rows from the file's bytes only when the rows are first
read; until then rendering works from the bytes. Nothing of this may show:
these cases render and read frames with and without their rows read first,
with fields written, from files cut anywhere and from files replaced on disk
after the load, and compare with the plain reference renderer."""

import random

import pytest

import pyorv
from conftest import gray_palette
from orvtool.core.orvfile import Animation, Frame, Row, Run, encode_animation, encode_palette
from test_render_reference import check_images, random_animation, records_of, written_records


@pytest.mark.parametrize("seed", range(4))
def test_fields_written_before_the_rows_are_read_render_as_the_reference(load_anim, capfd, seed):
    rng = random.Random(500 + seed)
    anim = random_animation(rng, frames=30)
    f, d = load_anim(anim)
    assert d is not None
    # A short palette, so that some indices are out of range.
    colors = gray_palette(rng.randrange(1, 256))
    d.palette.colors(d.palette.colors()[: len(colors)])
    # Widths, heights and shadow flags changed on frames whose rows nobody
    # has read yet; other frames keep theirs.
    for frame in d.frames:
        what = rng.randrange(5)
        if what == 0:
            frame.width = rng.randrange(0, 60)
        elif what == 1:
            frame.height = frame.height + rng.randrange(1, 4)
        elif what == 2:
            frame.height = max(0, frame.height - rng.randrange(1, 4))
        elif what == 3:
            frame.is_shadow = 0 if frame.is_shadow else rng.randrange(1, 256)
    capfd.readouterr()
    images = pyorv.OrvFrameBuffer(d).get_buffer()
    err = capfd.readouterr().err
    # The reference reads the rows only now.
    assert err.splitlines() == check_images(images, d, colors)
    # The records are those written, whatever the fields say now.
    assert [r[3] for r in records_of(d)] == [r[3] for r in written_records(anim)]


def test_frames_cut_anywhere_render_and_read_as_the_reference(write, capfd):
    rng = random.Random(77)
    anim = random_animation(rng, frames=6)
    data = encode_animation(Animation(frames=anim.frames, palette_path=b"p.pal"))
    colors = gray_palette(100, alpha=128)
    write("p.pal", encode_palette(colors))
    for cut in sorted(rng.sample(range(len(data)), 60)):
        path = write("cut.orv", data[:cut])
        f = pyorv.OrvF()
        capfd.readouterr()
        d = f.load(path)
        err = capfd.readouterr().err
        if d is None:
            continue
        colors = [(c.r, c.g, c.b, c.a) for c in d.palette.colors()]
        # Images of the load came from the bytes; the reference from the rows.
        assert err.splitlines() == check_images(f.get_frame_buffer(), d, colors), cut
        # Rendering the built rows again gives the same.
        again = pyorv.OrvFrameBuffer(d).get_buffer()
        assert [i.pixels for i in again] == [i.pixels for i in f.get_frame_buffer()]


def test_rows_come_from_the_file_as_loaded_when_it_is_replaced_after(write, tmp_path):
    first = Animation(
        frames=[Frame(width=8, rows=[Row([Run(1, bytes([5, 6, 7]))]), Row([Run(0, bytes([9]))])])],
        palette_path=b"p.pal",
    )
    other = Animation(frames=[Frame(width=3, rows=[Row([Run(2, bytes([1]))])])], palette_path=b"p.pal")
    write("p.pal", encode_palette(gray_palette()))
    path = write("a.orv", encode_animation(first))
    f = pyorv.OrvF()
    d = f.load(path)
    assert d is not None
    frame = d.frames[0]
    # The file changes on disk before anything read the rows.
    write("a.orv", encode_animation(other))
    assert records_of(d) == written_records(first)
    assert frame.pixel_sets[0].blocks[0].colors == [5, 6, 7]

    # Saving over the very file, rows unread, writes the loaded frames.
    g = pyorv.OrvF()
    g.load(path)
    write("a.orv", encode_animation(first))
    g.save(path, str(tmp_path), str(tmp_path / "p.pal"))
    assert records_of(pyorv.OrvF().load(path)) == written_records(other)


def test_views_of_built_rows_stay_the_same_objects(load_anim):
    anim = Animation(frames=[Frame(width=4, rows=[Row([Run(0, bytes([1, 2]))]), Row([])])])
    _, d = load_anim(anim)
    frame = d.frames[0]
    rows = frame.pixel_sets
    block = rows[0].blocks[0]
    assert frame.pixel_sets[0] is rows[0]
    assert rows[0].blocks[0] is block
    block.offset = 3
    assert d.frames[0].pixel_sets[0].blocks[0].offset == 3
    # Once read, the rows are what renders: the edited offset moves the run.
    image = pyorv.OrvFrameBuffer(d).get_buffer()[0]
    assert image.pixels[12:16] == bytes(gray_palette()[1])
