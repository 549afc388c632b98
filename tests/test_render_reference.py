"""Rendering and records on random animations, against a plain reference.

The reference renderer below follows the documented rules pixel by pixel
(cursor carried across the runs of a row, indices held governing a run's
length, edge and palette checks in that order, shadow runs in opaque black).
It works from the records as Python reads them back, so the records
themselves are checked against what was written as well.
"""

import random

import pytest

import pyorv
from conftest import gray_palette
from orvtool.core.orvfile import (
    Animation,
    Frame,
    Row,
    Run,
    encode_animation,
    encode_palette,
    runs_from_indices,
    runs_from_mask,
)

SHADOW = bytes((0, 0, 0, 255))


def reference_render(frame, colors):
    """(pixel bytes, diagnostic lines) for one frame given as records read from Python."""
    width, height = frame.width, frame.height
    image = bytearray(width * height * 4)
    lines = []
    rows = frame.pixel_sets
    for r in range(height):
        if r >= len(rows):
            lines.append(f"ERROR: Row {r} exceeds OrvPixelSet count!")
            continue
        x = 0
        for block in rows[r].blocks:
            x += block.offset
            if block.color_count == 0:
                continue
            if frame.is_shadow:
                for _ in range(block.color_count):
                    if x >= width:
                        break
                    p = 4 * (r * width + x)
                    image[p : p + 4] = SHADOW
                    x += 1
                continue
            for c in block.colors:
                if x >= width:
                    break
                if c >= len(colors):
                    lines.append(f"ERROR: Out-of-bounds color index! ({c})")
                    break
                p = 4 * (r * width + x)
                image[p : p + 4] = bytes(colors[c])
                x += 1
    return bytes(image), lines


def random_row(rng, width, shadow):
    """Runs with gaps and lengths of every kind, some reaching past the right edge."""
    runs = []
    x = 0
    for _ in range(rng.choice([0, 1, 2, 3, 5, 12])):
        gap = rng.choice([0, 0, 1, 3, rng.randrange(256)])
        length = rng.choice([0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, rng.randrange(256)])
        if shadow:
            runs.append(Run(offset=gap, length=length))
        else:
            runs.append(Run(offset=gap, indices=bytes(rng.randrange(256) for _ in range(length))))
        x += gap + length
    return Row(runs)


def random_frame(rng, shadow=False, max_side=48):
    width = rng.randrange(0, max_side)
    height = rng.randrange(0, max_side)
    return Frame(
        width=width,
        rows=[random_row(rng, width, shadow) for _ in range(height)],
        x_offset=rng.randrange(-300, 300),
        y_offset=rng.randrange(-300, 300),
        is_shadow=shadow,
        frame_size=rng.randrange(1 << 32),
    )


def random_animation(rng, frames=40):
    # Heights stay below 256: a shadow frame turns later heights to their low byte.
    out = [random_frame(rng, shadow=rng.random() < 0.2) for _ in range(frames)]
    return Animation(frames=out, speed=5)


def records_of(data):
    return [
        (
            f.width,
            f.height,
            f.is_shadow,
            [[(b.offset, b.color_count, b.colors) for b in row.blocks] for row in f.pixel_sets],
        )
        for f in data.frames
    ]


def written_records(anim):
    out = []
    for f in anim.frames:
        rows = []
        for row in f.rows:
            rows.append([(run.offset, run.color_count, [] if f.is_shadow else list(run.indices)) for run in row.runs])
        out.append((f.width, len(f.rows), int(f.is_shadow), rows))
    return out


def check_images(images, data, colors):
    expected_lines = []
    assert len(images) == len(data.frames)
    for image, frame in zip(images, data.frames, strict=True):
        pixels, lines = reference_render(frame, colors)
        expected_lines += lines
        assert (image.width, image.height, image.channels) == (frame.width, frame.height, 4)
        assert (image.offset_x, image.offset_y) == (frame.x_offset, frame.y_offset)
        assert image.pixels == pixels
    return expected_lines


@pytest.mark.parametrize("seed", range(6))
def test_random_animations_render_as_the_reference(load_anim, capfd, seed):
    rng = random.Random(seed)
    anim = random_animation(rng)
    colors = gray_palette(256, alpha=200)
    f, d = load_anim(anim, colors=colors)
    assert d is not None
    assert records_of(d) == written_records(anim)
    capfd.readouterr()

    # The images kept by the load, and a fresh rendering of the same records.
    assert check_images(f.get_frame_buffer(), d, colors) == []
    assert check_images(pyorv.OrvFrameBuffer(d).get_buffer(), d, colors) == []
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("seed", range(4))
def test_small_palettes_and_edited_counts_render_as_the_reference(load_anim, capfd, seed):
    rng = random.Random(100 + seed)
    anim = random_animation(rng, frames=25)
    f, d = load_anim(anim)
    # Counts edited from Python: more rows than held, other run lengths.
    for frame in d.frames:
        if rng.random() < 0.3:
            frame.height = min(65535, frame.height + rng.randrange(1, 4))
        for row in frame.pixel_sets:
            for block in row.blocks:
                if rng.random() < 0.2:
                    block.color_count = rng.randrange(256)
    colors = gray_palette(rng.randrange(1, 200))
    d.palette.colors([c for c in d.palette.colors()][: len(colors)])
    capfd.readouterr()
    images = pyorv.OrvFrameBuffer(d).get_buffer()
    err = capfd.readouterr().err
    expected = check_images(images, d, colors)
    assert err.splitlines() == expected


def test_large_frame_renders_as_the_reference(load_anim, capfd):
    """A frame of more than 4 MiB of pixels, between smaller ones."""
    rng = random.Random(7)
    width, height = 1100, 1000
    rows = []
    for _ in range(height):
        runs = []
        for _ in range(rng.randrange(0, 4)):
            runs.append(
                Run(offset=rng.randrange(256), indices=bytes(rng.randrange(256) for _ in range(rng.randrange(1, 256))))
            )
        rows.append(Row(runs))
    anim = Animation(frames=[random_frame(rng), Frame(width=width, rows=rows), random_frame(rng)])
    colors = gray_palette()
    f, d = load_anim(anim, colors=colors)
    capfd.readouterr()
    assert check_images(f.get_frame_buffer(), d, colors) == []
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("cut", [1, 2, 5, 9])
def test_frame_cut_inside_a_run_keeps_the_indices_read(write, cut):
    frame = Frame(width=40, rows=[Row([Run(1, bytes(range(10, 30)))]), Row([Run(2, bytes(range(50, 70)))])])
    data = encode_animation(Animation(frames=[frame], palette_path=b"p.pal"))
    write("p.pal", encode_palette(gray_palette()))
    # Cut the file `cut` bytes into the indices of the second run.
    second_run_indices = len(data) - 20
    path = write("cut.orv", data[: second_run_indices + cut])
    f = pyorv.OrvF()
    d = f.load(path)
    assert d is not None
    blocks = [[(b.offset, b.color_count, b.colors) for b in row.blocks] for row in d.frames[0].pixel_sets]
    assert blocks == [[(1, 20, list(range(10, 30)))], [(2, 20, list(range(50, 50 + cut)))]]
    image = f.get_frame_buffer()[0]
    assert image.pixels == reference_render(d.frames[0], gray_palette())[0]


@pytest.mark.parametrize("seed", range(20))
def test_runs_from_mask_match_runs_from_indices(seed):
    rng = random.Random(seed)
    width = rng.choice([0, 1, 5, 255, 256, 300, 700])
    density = rng.random()
    covered = bytes(1 if rng.random() < density else 0 for _ in range(width))
    if rng.random() < 0.3:
        covered = bytes([0] * min(width, 600)) + covered[600:]
    indices = bytes(rng.randrange(256) for _ in range(width))
    grid = [indices[x] if covered[x] else None for x in range(width)]
    for shadow in (False, True):
        assert runs_from_mask(indices, covered, shadow=shadow) == runs_from_indices(grid, shadow=shadow)
