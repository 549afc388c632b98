"""Whole trees of export folders, frames added to an export folder, and the
other inputs a build takes: animated images, folders of PNGs, colour keys."""

import shutil
from typing import Any

import numpy as np
import pytest
from PIL import Image

from orvtool.cli import main
from orvtool.core.orvfile import Animation, frame_from_indices
from orvtool_build_helpers import grid, loaded, read_rgba, rendered, write_rgba
from orvtool_samples import PALETTE, quirky, walk, write_project


def build(source, out, *extra):
    return main(
        ["build", *([str(s) for s in source] if isinstance(source, list) else [str(source)]), "-o", str(out), *extra]
    )


@pytest.fixture
def tree(tmp_path, capfd):
    """Three animations in a project, exported as a tree."""
    sources = {
        "objects/hero/walk.orv": walk(),
        "objects/hero/split.orv": quirky()["split"],
        "ui/button.orv": quirky()["background_flag_2"],
    }
    for rel, anim in sources.items():
        write_project(tmp_path / "game", rel, anim)
    assert main(["export", str(tmp_path / "game"), "-o", str(tmp_path / "work"), "-j", "1"]) == 0
    capfd.readouterr()
    return tmp_path, sources


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_tree_builds_every_export_folder_back(tree, capfd, jobs):
    root, sources = tree
    assert build(root / "work", root / "built", "-j", jobs, "--no-progress") == 0
    for rel in sources:
        assert (root / "built" / rel).read_bytes() == (root / "game" / rel).read_bytes()
    out, err = capfd.readouterr()
    assert "built 3 files" in err
    assert out.count("wrote ") == 3


def test_tree_with_a_broken_folder_builds_the_others_and_lists_the_failure(tree, capfd):
    root, sources = tree
    (root / "work" / "objects" / "hero" / "walk" / "frame_001.png").unlink()
    assert build(root / "work", root / "built", "-j", "2", "--no-progress") == 1
    assert not (root / "built" / "objects" / "hero" / "walk.orv").exists()
    for rel in ("objects/hero/split.orv", "ui/button.orv"):
        assert (root / "built" / rel).read_bytes() == (root / "game" / rel).read_bytes()
    _, err = capfd.readouterr()
    assert "1 of 3 files failed:" in err
    assert (
        f"{root / 'work' / 'objects' / 'hero' / 'walk'}: {root / 'work' / 'objects' / 'hero' / 'walk' / 'frame_001.png'} is missing"
        in err
    )


def test_tree_refuses_options_that_would_write_one_palette_many_times(tree, capfd):
    root, _ = tree
    new_pal = root / "new.pal"
    assert build(root / "work", root / "built", "--palette", str(new_pal)) == 2
    assert build(root / "work", root / "built", "--palette", str(new_pal), "--quantize", "8") == 2
    _, err = capfd.readouterr()
    assert "a tree is built against an existing palette" in err
    assert "--quantize makes a palette for one animation" in err
    assert not new_pal.exists() and not (root / "built").exists()


def test_frames_added_to_an_export_folder_join_in_name_order(tree, capfd):
    root, _ = tree
    folder = root / "work" / "objects" / "hero" / "walk"
    shutil.copy(folder / "frame_002.png", folder / "frame_003.png")
    shutil.copy(folder / "frame_000.png", folder / "frame_001b.png")
    assert build(folder, root / "w.orv") == 0
    got = loaded(root / "w.orv")
    want = loaded(root / "game" / "objects" / "hero" / "walk.orv")["frames"]
    assert len(got["frames"]) == 5 and got["frame_count"] == 5
    # frame_001b.png copies frame 0's pixels and its oFFs; it follows frame 1
    assert [grid(f) for f in got["frames"]] == [
        grid(want[0]),
        grid(want[1]),
        grid(want[0]),
        grid(want[2]),
        grid(want[2]),
    ]
    assert [(f["x_offset"], f["y_offset"]) for f in got["frames"]][2:] == [(-2, -3), (1, 1), (1, 1)]
    assert not got["frames"][2]["is_shadow"]
    _, err = capfd.readouterr()
    assert "frame_001b.png is not in animation.json: added as frame 2" in err
    assert "frame_003.png is not in animation.json: added as frame 4" in err


# Palette indices far apart, so that colours survive GIF's quantizer.
FRAMES = [
    np.array([[30, 60, 0], [90, 90, 90]]),
    np.array([[120, 0, 120], [0, 150, 0]]),
    np.array([[180, 180, 180], [210, 0, 240]]),
]


def rgba_of(sprite):
    out = np.array([PALETTE[i][:3] + (255,) for i in sprite.ravel()], np.uint8).reshape(*sprite.shape, 4)
    out[sprite == 0] = 0
    return out


@pytest.fixture
def opaque_palette(tmp_path):
    colors = [c[:3] + (255,) for c in PALETTE]
    write_project(tmp_path, "x.orv", Animation(frames=[frame_from_indices([[1]])]), colors=colors)
    return str(tmp_path / "pal" / "test.pal")


@pytest.mark.parametrize("kind", ["gif", "apng", "webp"])
def test_animated_images_give_all_their_frames(tmp_path, capfd, opaque_palette, kind):
    pages = [Image.fromarray(rgba_of(f), "RGBA") for f in FRAMES]
    path = tmp_path / f"walk.{'png' if kind == 'apng' else kind}"
    by_kind: dict[str, dict[str, Any]] = {"gif": {}, "apng": {"format": "PNG"}, "webp": {"lossless": True}}
    options = by_kind[kind]
    pages[0].save(path, save_all=True, append_images=pages[1:], duration=100, disposal=2, **options)
    assert build(path, tmp_path / "b.orv", "--palette", opaque_palette) == 0
    frames = loaded(tmp_path / "b.orv")["frames"]
    assert [grid(f) for f in frames] == [[[None if v == 0 else int(v) for v in row] for row in f] for f in FRAMES]
    assert [(f["x_offset"], f["y_offset"]) for f in frames] == [(-1, -2)] * 3


def test_folder_of_plain_pngs_builds_in_name_order_with_their_offsets(tmp_path, capfd, opaque_palette):
    folder = tmp_path / "frames"
    folder.mkdir()
    for name, sprite in zip(["walk_10.png", "walk_02.png", "walk_1.png"], FRAMES, strict=True):
        write_rgba(folder / name, rgba_of(sprite))
    (folder / "walk_02.index.png").write_bytes(b"not read")
    assert build(folder, tmp_path / "b.orv", "--palette", opaque_palette) == 0
    frames = loaded(tmp_path / "b.orv")["frames"]
    by_name = [FRAMES[1], FRAMES[2], FRAMES[0]]  # walk_02, walk_1, walk_10
    assert [grid(f) for f in frames] == [[[None if v == 0 else int(v) for v in row] for row in f] for f in by_name]
    _, err = capfd.readouterr()
    assert "no animation.json: built from its 3 PNG files in name order" in err


def test_empty_folder_is_refused(tmp_path, capfd):
    (tmp_path / "empty").mkdir()
    assert build(tmp_path / "empty", tmp_path / "b.orv", "--palette", "p.pal") == 1
    _, err = capfd.readouterr()
    assert "holds no animation.json, no export folders and no PNG frames" in err


@pytest.mark.parametrize("key", ["#ff00ff", "rgb(255, 0, 255)", "magenta"])
def test_colour_key_makes_images_without_alpha_transparent(tmp_path, capfd, opaque_palette, key):
    rgb = rgba_of(FRAMES[0])[:, :, :3].copy()
    rgb[FRAMES[0] == 0] = (255, 0, 255)
    Image.fromarray(rgb, "RGB").save(tmp_path / "a.png")
    assert build(tmp_path / "a.png", tmp_path / "b.orv", "--palette", opaque_palette, "--transparent", key) == 0
    assert grid(loaded(tmp_path / "b.orv")["frames"][0]) == [[30, 60, None], [90, 90, 90]]
    _, err = capfd.readouterr()
    assert "--transparent: 1 pixel made transparent" in err


def test_bad_colour_key_is_a_usage_error(tmp_path, capfd):
    with pytest.raises(SystemExit) as stop:
        build(tmp_path / "a.png", tmp_path / "b.orv", "--transparent", "not-a-colour")
    assert stop.value.code == 2
    _, err = capfd.readouterr()
    assert "not a colour" in err


def test_refusals_name_the_image_and_the_row(tmp_path, capfd, opaque_palette):
    row = np.zeros((1, 600), np.int64)
    row[0, ::2] = 30  # 300 runs
    write_rgba(tmp_path / "ok.png", rgba_of(FRAMES[0]))
    write_rgba(tmp_path / "wide.png", rgba_of(row))
    assert build([tmp_path / "ok.png", tmp_path / "wide.png"], tmp_path / "b.orv", "--palette", opaque_palette) == 1
    _, err = capfd.readouterr()
    assert f"{tmp_path / 'wide.png'}: frame 1, row 0: its pixels need 300 runs" in err
    assert not (tmp_path / "b.orv").exists()


def test_tree_grows_a_shared_palette_once_for_a_colour_two_animations_add(tree, capfd):
    root, sources = tree
    new = (1, 2, 3, 255)  # far from every entry of the test palette
    for rel in ("objects/hero/walk", "ui/button"):
        png = root / "work" / rel / "frame_000.png"
        pixels = read_rgba(png)
        pixels[0, 1] = new
        write_rgba(png, pixels)
    pal = root / "game" / "pal" / "test.pal"
    assert (
        build(root / "work", root / "game", "-f", "-j", "2", "--add-colors", "--project-root", str(root / "game")) == 0
    )
    data = pal.read_bytes()
    colors = [tuple(data[4 + 4 * i : 8 + 4 * i]) for i in range(len(data) // 4 - 1)]
    assert colors.count(new) == 1
    for rel in ("objects/hero/walk.orv", "ui/button.orv"):
        assert np.array_equal(rendered(root / "game" / rel)[0][0, 1], new)
    _, err = capfd.readouterr()
    assert err.count(f"added colour {new}") == 1
