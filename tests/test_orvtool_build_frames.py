"""Build from plain PNG frames: anchors and offsets, palettes matched,
written and made by quantizing, and the stored palette path."""

from pathlib import Path

import numpy as np
import pytest
from PIL import Image

from orvtool.build import ANCHORS, BuildOptions, build_from_export, build_from_frames, matching
from orvtool.build.palette import stored_palette_path
from orvtool.cli import main
from orvtool.core.orvfile import encode_palette
from orvtool.export.exporting import ExportOptions, export_animation
from orvtool.formats import palettes
from orvtool.model.errors import OrvToolError
from orvtool_build_helpers import grid, loaded, nearest, read_rgba, rendered, write_rgba
from orvtool_samples import walk, write_project

COLORS = [(0, 0, 0, 255), (255, 0, 0, 255), (0, 255, 0, 128), (0, 0, 255, 255), (255, 255, 255, 60)]


def project(tmp_path):
    """A project root with a palette under pal/ and two frames drawn in its
    colours (the second one transparent in its corners)."""
    (tmp_path / "pal").mkdir()
    (tmp_path / "pal" / "p.pal").write_bytes(encode_palette(COLORS))
    table = np.array(COLORS + [(0, 0, 0, 0)], np.uint8)
    a = np.array([[0, 1, 2, 3, 4], [4, 3, 2, 1, 0], [1, 1, 1, 1, 1]])
    b = np.array([[5, 2, 2, 5], [3, 3, 3, 3], [3, 5, 5, 3], [1, 1, 1, 1], [5, 4, 4, 5], [0, 0, 0, 0]])
    (tmp_path / "frames").mkdir()
    write_rgba(tmp_path / "frames" / "a.png", table[a])
    write_rgba(tmp_path / "frames" / "b.png", table[b])
    expected = [[[None if v == 5 else v for v in row] for row in m.tolist()] for m in (a, b)]
    return [str(tmp_path / "frames" / n) for n in ("a.png", "b.png")], str(tmp_path / "pal" / "p.pal"), expected


def test_frames_take_palette_indices_and_anchored_offsets(tmp_path):
    frames, pal, expected = project(tmp_path)
    out = tmp_path / "objects" / "x.orv"
    build_from_frames(frames, str(out), BuildOptions(palette=pal, project_root=str(tmp_path), exact=True))
    got = loaded(out)
    assert got["location"] == "pal/p.pal" and got["location_size"] == len("pal/p.pal") + 1
    assert [grid(f) for f in got["frames"]] == expected
    # bottom-center: the origin under the middle of the bottom row
    assert [(f["x_offset"], f["y_offset"]) for f in got["frames"]] == [(-2, -3), (-2, -6)]
    assert [(f["frame_size"], f["unk1"], f["unk2"], f["is_shadow"]) for f in got["frames"]] == [(0, 0, 1, 0)] * 2
    assert (got["speed"], got["has_background"]) == (100, False)
    images = rendered(out)  # the palette is found from objects/ by the stored path
    assert images is not None
    for image, path in zip(images, frames, strict=True):
        assert np.array_equal(image, read_rgba(path))


@pytest.mark.parametrize("anchor", sorted(ANCHORS))
def test_anchors_place_the_origin(tmp_path, anchor):
    frames, pal, _ = project(tmp_path)
    build_from_frames(frames[1:], str(tmp_path / "x.orv"), BuildOptions(palette=pal, anchor=anchor))
    f = loaded(tmp_path / "x.orv")["frames"][0]  # 4 x 6
    x = {"left": 0, "center": -2, "right": -4}[anchor.split("-")[-1]]
    y = {"top": 0, "center": -3, "bottom": -6}[anchor.split("-")[0]]
    assert (f["x_offset"], f["y_offset"]) == (x, y)


def test_fixed_offsets_speed_shadow_and_background(tmp_path):
    frames, pal, expected = project(tmp_path)
    options = BuildOptions(palette=pal, offset=(7, -300), speed=12345, shadow=True, background=True)
    build_from_frames(frames, str(tmp_path / "x.orv"), options)
    got = loaded(tmp_path / "x.orv")
    assert got["has_background"] and got["frame_count"] == 2 and got["speed"] == 12345
    assert (tmp_path / "x.orv").read_bytes()[:4] == b"FVRO"
    for f, grid_expected in zip(got["frames"], expected, strict=True):
        assert (f["x_offset"], f["y_offset"], f["is_shadow"]) == (7, -300, 1)
        assert grid(f) == [[None if v is None else 0 for v in row] for row in grid_expected]
    with pytest.raises(OrvToolError, match="x offset 40000"):
        build_from_frames(frames, str(tmp_path / "y.orv"), BuildOptions(palette=pal, offset=(40000, 0)))


def test_quantize_keeps_few_colours_exactly(tmp_path):
    frames, _, expected = project(tmp_path)
    pal = tmp_path / "pal" / "made.pal"
    report = build_from_frames(frames, str(tmp_path / "x.orv"), BuildOptions(palette=str(pal), quantize=8, exact=True))
    assert report.palette_written == str(pal)
    made = palettes.read_pal(str(pal)).colors
    assert sorted(made) == sorted(COLORS)  # alpha included, the transparent pixels left out
    got = loaded(tmp_path / "x.orv")
    for f, exp in zip(got["frames"], expected, strict=True):
        assert grid(f) == [[None if v is None else made.index(COLORS[v]) for v in row] for row in exp]
    for image, path in zip(rendered(tmp_path / "x.orv"), frames, strict=True):
        assert np.array_equal(image, read_rgba(path))


def test_quantize_many_colours_maps_to_the_nearest_of_the_new_palette(tmp_path):
    rng = np.random.default_rng(3)
    a = rng.integers(0, 256, (20, 30, 4), dtype=np.uint8)
    a[a[..., 3] < 40] = 0  # some transparent pixels
    a[10:20, 0:12] = (1, 2, 3, 255)  # the colour that covers the most pixels
    a[0:3, 20:30] = (250, 2, 3, 90)  # the next
    write_rgba(tmp_path / "a.png", a)
    pal = tmp_path / "q.pal"
    build_from_frames([str(tmp_path / "a.png")], str(tmp_path / "x.orv"), BuildOptions(palette=str(pal), quantize=16))
    made = palettes.read_palette(str(pal)).colors
    assert len(made) == 16 and len(set(made)) == len(made)  # every entry used
    # Of noise, Pillow's octree alone moves pixels less than keeping the
    # covering colours exact: the palette taken is no worse than it.
    octree = Image.fromarray(a, "RGBA").quantize(16, method=Image.Quantize.FASTOCTREE).getpalette("RGBA")
    alone = np.array((octree or [])[: 16 * 4], np.uint8).reshape(-1, 4)
    visible = a.reshape(-1, 4)[a.reshape(-1, 4)[:, 3] != 0]
    found, counts = np.unique(visible, axis=0, return_counts=True)
    assert matching.mean_distance(found, counts, np.array(made, np.uint8)) <= matching.mean_distance(
        found, counts, alone
    )
    assert len({c[3] for c in made}) > 1  # alpha is quantized too
    rows = grid(loaded(tmp_path / "x.orv")["frames"][0])
    for y in range(0, 20, 3):
        for x in range(30):
            color = tuple(int(v) for v in a[y, x])
            assert rows[y][x] == (None if color[3] == 0 else nearest(made, color)), (x, y)


def test_quantize_refuses_to_replace_a_palette_without_force(tmp_path):
    frames, pal, _ = project(tmp_path)
    before = Path(pal).read_bytes()
    with pytest.raises(OrvToolError, match="already exists"):
        build_from_frames(frames, str(tmp_path / "x.orv"), BuildOptions(palette=pal, quantize=4))
    assert Path(pal).read_bytes() == before and not (tmp_path / "x.orv").exists()
    build_from_frames(frames, str(tmp_path / "x.orv"), BuildOptions(palette=pal, quantize=4, force=True))
    assert len(palettes.read_pal(pal).colors) == 4


def test_palette_formats_are_matched_by_their_colours(tmp_path):
    frames, pal, expected = project(tmp_path)
    swatch = tmp_path / "pal" / "p.png"
    palettes.write_palette(palettes.Palette(COLORS), str(swatch))
    build_from_frames(frames, str(tmp_path / "x.orv"), BuildOptions(palette=str(swatch), exact=True))
    assert [grid(f) for f in loaded(tmp_path / "x.orv")["frames"]] == expected


def test_export_folder_gets_a_new_palette_and_stored_path(tmp_path):
    source = write_project(tmp_path, "walk.orv", walk())
    export_animation(str(source), str(tmp_path / "out"), ExportOptions())
    root = tmp_path / "game"
    target = root / "objects" / "walk.orv"
    new_pal = root / "palettes" / "walk.pal"
    report = build_from_export(
        str(tmp_path / "out"), str(target), BuildOptions(palette=str(new_pal), project_root=str(root))
    )
    assert report.palette_written == str(new_pal)
    assert new_pal.read_bytes() == (tmp_path / "pal" / "test.pal").read_bytes()  # the export's colours
    got, old = loaded(target), loaded(source)
    assert got["location"] == "palettes/walk.pal"
    assert got["frames"] == old["frames"]
    assert rendered(target) is not None and not report.notes

    # --project-root alone: the palette the export found, stored relative to the root
    build_from_export(str(tmp_path / "out"), str(tmp_path / "again.orv"), BuildOptions(project_root=str(root)))
    assert loaded(tmp_path / "again.orv")["location"] == "../pal/test.pal"


@pytest.mark.parametrize(
    "root, palette, stored",
    [
        ("g", "g/objects/tree/tree.pal", b"objects/tree/tree.pal"),
        ("g/objects", "g/pal/x.pal", b"../pal/x.pal"),
        ("g", "g", b"."),
        ("g/./objects/..", "g/a/../b.pal", b"b.pal"),
        ("link", "g/pal/x.pal", b"pal/x.pal"),  # links are resolved on both sides
    ],
)
def test_stored_palette_path_as_the_saver_stores_it(tmp_path, root, palette, stored):
    (tmp_path / "g" / "objects").mkdir(parents=True)
    (tmp_path / "link").symlink_to(tmp_path / "g")
    assert stored_palette_path(str(tmp_path / palette), str(tmp_path / root)) == stored


def test_cli_builds_plain_frames(tmp_path, capfd):
    frames, pal, expected = project(tmp_path)
    out = tmp_path / "x.orv"
    code = main(["build", *frames, "--palette", pal, "-o", str(out), "--anchor", "top-left", "--exact"])
    stdout, err = capfd.readouterr()
    assert code == 0, err
    assert stdout.strip() == f"wrote {out}: 2 frames"
    got = loaded(out)
    assert [grid(f) for f in got["frames"]] == expected
    assert [(f["x_offset"], f["y_offset"]) for f in got["frames"]] == [(0, 0), (0, 0)]

    code = main(["build", *frames, "--palette", pal, "-o", str(out), "--offset", "1", "2", "-f"])
    assert code == 0
    assert [(f["x_offset"], f["y_offset"]) for f in loaded(out)["frames"]] == [(1, 2), (1, 2)]

    code = main(["build", str(tmp_path / "frames"), frames[0], "--palette", pal, "-o", str(tmp_path / "y.orv")])
    _, err = capfd.readouterr()
    assert code == 2 and "is a folder" in err and not (tmp_path / "y.orv").exists()  # a usage error
