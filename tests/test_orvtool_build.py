"""Build: an export folder comes back as the file it was exported from, and
edits to its images come back with the expected indices."""

import json
import random
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from orvtool.build import BuildOptions, build_from_export
from orvtool.cli import main
from orvtool.core.orvfile import Animation, Frame, Row, Run, frame_from_indices, runs_from_indices
from orvtool.export.exporting import ExportOptions, export_animation
from orvtool_build_helpers import grid, loaded, nearest, read_rgba, rendered, write_rgba
from orvtool_samples import quirky, random_animation, walk, write_project

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = sorted((ROOT / "examples").rglob("*.orv"))


def export(path, out):
    export_animation(str(path), str(out), ExportOptions())
    return out


def rebuild(folder, out, **options):
    build_from_export(str(folder), str(out), BuildOptions(**options))
    return out


def assert_same_file(source, built):
    assert loaded(built) == loaded(source)
    assert Path(built).read_bytes() == Path(source).read_bytes()


@pytest.mark.skipif(not EXAMPLES, reason="no example animations")
@pytest.mark.parametrize("path", EXAMPLES, ids=lambda p: p.stem)
def test_examples_come_back_byte_for_byte(tmp_path, path):
    export(path, tmp_path / "out")
    rebuild(tmp_path / "out", tmp_path / "built.orv")
    assert_same_file(path, tmp_path / "built.orv")


@pytest.mark.parametrize("name", sorted(quirky()))
def test_files_with_odd_records_come_back_exactly(tmp_path, name):
    path = write_project(tmp_path, f"{name}.orv", quirky()[name])
    export(path, tmp_path / "out")
    rebuild(tmp_path / "out", tmp_path / "built.orv")
    assert_same_file(path, tmp_path / "built.orv")


def _odd_row(rng, width, shadow):
    """A row of random pixels whose runs are not always the maximal ones: a
    run split in two, an empty run at the end, a run past the right edge."""
    density = rng.random()
    pixels = [rng.randrange(256) if rng.random() < density else None for _ in range(width)]
    runs = runs_from_indices(pixels, shadow=shadow)
    kind = rng.random()
    if kind < 0.15 and runs and runs[0].color_count >= 2:
        first = runs[0]
        k = rng.randint(1, first.color_count - 1)
        if shadow:
            runs[:1] = [Run(first.offset, length=k), Run(0, length=first.color_count - k)]
        else:
            runs[:1] = [Run(first.offset, first.indices[:k]), Run(0, first.indices[k:])]
    elif kind < 0.25:
        runs.append(Run(rng.randint(0, 9), b"", length=0))
    elif kind < 0.3:
        n = rng.randint(1, 5)
        runs.append(
            Run(rng.randint(0, 3), length=n)
            if shadow
            else Run(rng.randint(0, 3), bytes(rng.randrange(256) for _ in range(n)))
        )
    return Row(runs)


def random_odd_animation(rng):
    frames = []
    for _ in range(rng.randint(1, 4)):
        width, height = rng.randint(1, 30), rng.randint(1, 10)
        shadow = rng.random() < 0.25
        frames.append(
            Frame(
                width=width,
                rows=[_odd_row(rng, width, shadow) for _ in range(height)],
                x_offset=rng.randint(-32768, 32767),
                y_offset=rng.randint(-300, 300),
                is_shadow=shadow,
                frame_size=rng.randrange(1 << 32),
                unk1=rng.randrange(256),
                unk2=rng.randrange(256),
            )
        )
    return Animation(frames=frames, speed=rng.randrange(1 << 32), has_background=rng.random() < 0.3)


def random_palette(rng):
    """1 to 256 colours, with repeated colours and fully transparent ones."""
    colors: list[tuple[int, int, int, int]] = []
    for _ in range(rng.randint(1, 256)):
        r = rng.random()
        if colors and r < 0.1:
            colors.append(rng.choice(colors))
        elif r < 0.2:
            colors.append((rng.randrange(256), rng.randrange(256), rng.randrange(256), 0))
        else:
            colors.append(tuple(rng.randrange(256) for _ in range(4)))
    return colors


def test_random_corpus_comes_back_exactly(tmp_path):
    """A few hundred random files, maximal and not, with palettes of repeated,
    transparent and too few colours: each comes back with the same records
    and the same bytes."""
    rng = random.Random(90210)
    kinds = {"maximal": 0, "odd": 0}
    for i in range(300):
        if i % 2:
            anim, kind = random_animation(rng), "maximal"
        else:
            anim, kind = random_odd_animation(rng), "odd"
        kinds[kind] += 1
        source = write_project(tmp_path / f"p{i}", "a.orv", anim, colors=random_palette(rng))
        out = export(source, tmp_path / f"p{i}" / "out")
        built = rebuild(out, tmp_path / f"p{i}" / "built.orv")
        assert loaded(built) == loaded(source), f"file {i} ({kind})"
        assert built.read_bytes() == source.read_bytes(), f"file {i} ({kind})"
    assert kinds == {"maximal": 150, "odd": 150}


def test_cli_rebuilds_an_export(tmp_path, capfd):
    path = write_project(tmp_path, "walk.orv", walk())
    assert main(["export", str(path), "-o", str(tmp_path / "out")]) == 0
    code = main(["build", str(tmp_path / "out"), "-o", str(tmp_path / "built.orv")])
    out, err = capfd.readouterr()
    assert code == 0, err
    assert "wrote" in out and "3 frames" in out
    assert_same_file(path, tmp_path / "built.orv")

    # the installed command, as a modder runs it
    done = subprocess.run(
        [sys.executable, "-m", "orvtool", "build", str(tmp_path / "out"), "-o", str(tmp_path / "again.orv")],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert_same_file(path, tmp_path / "again.orv")


# --- edits ----------------------------------------------------------------------

# Entry 5 repeats entry 2, entry 6 is fully transparent: a build must keep
# indices 5 and 6 where the image still shows them.
EDIT_PALETTE = [
    (0, 0, 0, 255),
    (200, 40, 40, 255),
    (40, 200, 40, 255),
    (40, 40, 200, 255),
    (250, 250, 250, 128),
    (40, 200, 40, 255),
    (90, 90, 90, 0),
    (255, 255, 0, 255),
    (200, 200, 200, 255),
]


def edit_animation():
    body: list[list[int | None]] = [
        [1, 1, 2, 2, 3, 3, 5, 5],
        [None, 6, 6, 2, 5, None, 7, 4],
        [4, 4, None, None, 1, 2, 3, 7],
        [5, 2, 5, 2, 5, 2, None, 0],
    ]
    split = Frame(
        width=6,
        rows=[Row([Run(0, b"\x01\x02"), Run(0, b"\x03")]), Row(runs_from_indices([None, 7, 7, None, 1, None]))],
        x_offset=4,
        y_offset=-9,
        frame_size=77,
    )
    return Animation(
        frames=[
            frame_from_indices(body, x_offset=-4, y_offset=-4, frame_size=1000),
            frame_from_indices(
                [[None, 0, 0, 0, None], [0, 0, 0, 0, 0], [None, None, 0, None, None]],
                is_shadow=True,
                x_offset=-2,
                y_offset=-1,
            ),
            split,
        ],
        speed=40,
    )


@pytest.fixture
def edit_export(tmp_path):
    source = write_project(tmp_path, "anim.orv", edit_animation(), colors=EDIT_PALETTE)
    out = export(source, tmp_path / "out")
    return source, out


def test_unedited_frames_keep_repeated_and_transparent_colours(tmp_path, edit_export):
    source, out = edit_export
    built = rebuild(out, tmp_path / "built.orv")
    assert_same_file(source, built)
    assert 5 in [i for row in grid(loaded(built)["frames"][0]) for i in row]  # not folded into 2


def test_recoloured_region_comes_back_with_palette_indices(tmp_path, edit_export):
    source, out = edit_export
    before = grid(loaded(source)["frames"][0])
    png = read_rgba(out / "frame_000.png")
    png[0:2, 0:3] = EDIT_PALETTE[5]  # repeated colour: the lowest index, 2
    png[2, 0] = (210, 30, 50, 255)  # not in the palette: the nearest entry
    png[2, 1] = (250, 250, 250, 140)
    png[2, 2] = (250, 250, 250, 255)  # alpha counts: entry 8, not entry 4 of the same red, green and blue
    png[3, 7] = (0, 0, 0, 0)  # erased
    png[1, 0] = EDIT_PALETTE[7]  # drawn where nothing was
    write_rgba(out / "frame_000.png", png)
    built = rebuild(out, tmp_path / "built.orv")

    frames = loaded(built)["frames"]
    after = grid(frames[0])
    expected = [row[:] for row in before]
    for y in range(2):
        for x in range(3):
            expected[y][x] = 2
    expected[2][0] = nearest(EDIT_PALETTE, (210, 30, 50, 255))
    expected[2][1] = nearest(EDIT_PALETTE, (250, 250, 250, 140))
    expected[2][2] = nearest(EDIT_PALETTE, (250, 250, 250, 255))
    expected[3][7] = None
    expected[1][0] = 7
    assert (expected[2][0], expected[2][1], expected[2][2]) == (1, 4, 8)
    assert after == expected
    # the untouched frames and every field but the pixels stay as they were
    old = loaded(source)["frames"]
    assert frames[1:] == old[1:]
    assert {k: v for k, v in frames[0].items() if k != "rows"} == {k: v for k, v in old[0].items() if k != "rows"}
    assert np.array_equal(rendered(built)[0][0, :3], np.broadcast_to(EDIT_PALETTE[2], (3, 4)))


def test_resized_frame_is_built_from_its_image(tmp_path, edit_export):
    source, out = edit_export
    rng = np.random.default_rng(5)
    choice = rng.integers(0, len(EDIT_PALETTE) + 1, size=(7, 11))  # last: transparent
    table = np.array(EDIT_PALETTE + [(0, 0, 0, 0)], np.uint8)
    write_rgba(out / "frame_000.png", table[choice])
    built = rebuild(out, tmp_path / "built.orv")

    frame = loaded(built)["frames"][0]
    old = loaded(source)["frames"][0]
    assert (frame["width"], frame["height"]) == (11, 7)
    # the new PNG gives no offsets: the bottom-centre point of the old frame stays put
    bottom_centre = (old["x_offset"] + old["width"] // 2, old["y_offset"] + old["height"])
    assert (frame["x_offset"] + 11 // 2, frame["y_offset"] + 7) == bottom_centre
    assert frame["frame_size"] == 1000  # not width x height before: kept
    # the old index layer no longer counts: each colour takes its lowest index,
    # and the transparent entry 6 leaves its pixels uncovered
    lowest = {i: EDIT_PALETTE.index(c) for i, c in enumerate(EDIT_PALETTE)}
    expected = [[None if c == len(EDIT_PALETTE) or c == 6 else lowest[c] for c in row] for row in choice.tolist()]
    assert grid(frame) == expected
    assert loaded(built)["frames"][1:] == loaded(source)["frames"][1:]


def test_resized_frame_with_a_resized_index_layer_keeps_its_indices(tmp_path, edit_export):
    source, out = edit_export
    png = read_rgba(out / "frame_000.png")
    layer = read_rgba(out / "frame_000.index.png")  # grey in r, g, b; coverage in a
    write_rgba(out / "frame_000.png", np.pad(png, ((0, 1), (2, 0), (0, 0))))
    from PIL import Image

    la = np.dstack([layer[..., 0], layer[..., 3]])
    Image.fromarray(np.pad(la, ((0, 1), (2, 0), (0, 0))), "LA").save(out / "frame_000.index.png")
    built = rebuild(out, tmp_path / "built.orv")
    before = grid(loaded(source)["frames"][0])
    assert grid(loaded(built)["frames"][0]) == [[None, None] + row for row in before] + [[None] * 10]


def test_shadow_frame_edits_stay_shadow(tmp_path, edit_export):
    source, out = edit_export
    png = read_rgba(out / "frame_001.png")
    png[0, 0] = (180, 20, 20, 255)  # any visible colour is shadow
    png[1, 4] = (0, 0, 0, 0)
    write_rgba(out / "frame_001.png", png)
    built = rebuild(out, tmp_path / "built.orv")
    frame = loaded(built)["frames"][1]
    assert frame["is_shadow"] == 1
    assert all(colors == () for _, runs in frame["rows"] for _, _, colors in runs)
    assert grid(frame) == [[0, 0, 0, 0, None], [0, 0, 0, 0, None], [None, None, 0, None, None]]
    assert rendered(built)[1][0, 0].tolist() == [0, 0, 0, 255]


def test_explicit_rows_survive_where_their_pixels_do(tmp_path, edit_export):
    source, out = edit_export
    png = read_rgba(out / "frame_002.png")
    png[1, 0] = EDIT_PALETTE[3]  # row 1 edited, row 0 (a split run) untouched
    write_rgba(out / "frame_002.png", png)
    built = rebuild(out, tmp_path / "built.orv")
    rows = loaded(built)["frames"][2]["rows"]
    assert rows[0] == (2, [(0, 2, (1, 2)), (0, 1, (3,))])
    assert rows[1] == (2, [(0, 3, (3, 7, 7)), (1, 1, (1,))])

    png[0, 1] = EDIT_PALETTE[7]  # now the split row changes: encoded maximally
    write_rgba(out / "frame_002.png", png)
    built = rebuild(out, tmp_path / "again.orv")
    assert loaded(built)["frames"][2]["rows"][0] == (1, [(0, 3, (1, 7, 3))])


def test_sidecar_edits_of_offsets_and_speed_are_taken(tmp_path, edit_export):
    source, out = edit_export
    doc = json.loads((out / "animation.json").read_text())
    doc["speed"] = 999
    doc["frames"][2]["x_offset"] = -77
    (out / "animation.json").write_text(json.dumps(doc))
    built = loaded(rebuild(out, tmp_path / "built.orv"))
    assert built["speed"] == 999
    assert built["frames"][2]["x_offset"] == -77
    assert built["frames"][:2] == loaded(source)["frames"][:2]
