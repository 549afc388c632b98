"""Sheets and previews as real editors leave them: an atlas of several
sprites with tags of their own, durations, a JSON that names no image,
pixels outside every frame, orvtool's own previews built back, and the tags
of one sheet sharing one palette."""

import json

import numpy as np
import pytest
from PIL import Image
from test_orvtool_sheet_edits import exported_sheet, grown

from orvtool.cli import main
from orvtool.core.orvfile import Animation, frame_from_indices
from orvtool.formats import palettes
from orvtool_build_helpers import grid, loaded, read_rgba, rendered, write_rgba
from orvtool_samples import PALETTE, figure, walk, write_project


def build(source, out, *extra):
    return main(["build", str(source), "-o", str(out), *extra])


def atlas_sheet(folder, names, tags=(), durations=None, meta_image="a.png", colors=None):
    """Frame k of `names`: a 2 x 2 block of palette colour k + 1 (or
    colors[k]) at x 3k of the atlas."""
    folder.mkdir(parents=True, exist_ok=True)
    atlas = np.zeros((2, 3 * len(names), 4), np.uint8)
    frames = []
    for k, name in enumerate(names):
        atlas[:, 3 * k : 3 * k + 2] = colors[k] if colors else PALETTE[k + 1]
        entry = {"filename": name, "frame": {"x": 3 * k, "y": 0, "w": 2, "h": 2}, "sourceSize": {"w": 2, "h": 2}}
        if durations:
            entry["duration"] = durations[k]
        frames.append(entry)
    meta = {"app": "https://www.aseprite.org/", "frameTags": list(tags)}
    if meta_image is not None:
        meta["image"] = meta_image
    write_rgba(folder / "a.png", atlas)
    (folder / "sheet.json").write_text(json.dumps({"frames": frames, "meta": meta}))
    return folder / "sheet.json"


@pytest.fixture
def pal(tmp_path):
    write_project(tmp_path, "unused.orv", Animation(frames=[frame_from_indices([[1]])]))
    return str(tmp_path / "pal" / "test.pal")


def atlas_frames(path):
    """Which atlas frame each built frame is (by its colour)."""
    return [grid(f)[0][0] - 1 for f in loaded(path)["frames"]]


ATLAS = ["tree 0", "tree 1", "hero 0", "hero 1", "hero 2"]
TAGS = [
    {"name": "tree", "from": 0, "to": 1},
    {"name": "hero-walk", "from": 0, "to": 2, "direction": "pingpong"},
    {"name": "hero-back", "from": 0, "to": 1, "direction": "reverse"},
    {"name": "tree-sway", "from": 0, "to": 1, "direction": "pingpong_reverse"},
    {"name": "walk", "from": 0, "to": 1},  # whose?
    {"name": "hero-far", "from": 1, "to": 3},  # hero has no frame 3, atlas frame 1 is tree's
]


@pytest.mark.parametrize(
    "tag, want",
    [
        *[("tree", [0, 1]), ("hero-walk", [2, 3, 4, 3]), ("hero-back", [3, 2]), ("tree-sway", [1, 0])],
        ("walk", "its frames cannot be told: the atlas holds 2 sprites (hero, tree), whose frames a tag counts"),
        ("hero-far", "its frames cannot be told: frame 3 of sprite 'hero' is not in the atlas"),
    ],
)
def test_a_tag_of_an_atlas_counts_the_frames_of_its_own_sprite_or_is_refused(tmp_path, pal, capfd, tag, want):
    sheet = atlas_sheet(tmp_path / "s", ATLAS, TAGS)
    code = build(sheet, tmp_path / "t.orv", "--palette", pal, "--tag", tag)
    if isinstance(want, str):
        assert code == 1 and f"tag '{tag}': {want}" in capfd.readouterr().err
        assert not (tmp_path / "t.orv").exists()
    else:
        assert code == 0 and atlas_frames(tmp_path / "t.orv") == want


def test_one_sprite_keeps_atlas_indices_and_many_tags_are_summarised(tmp_path, pal, capfd):
    tags = [{"name": f"t{k:02d}", "from": k % 3, "to": 2} for k in range(20)]
    sheet = atlas_sheet(tmp_path / "s", ["s 0", "s 1", "s 2"], tags)
    assert build(sheet, tmp_path / "t.orv", "--palette", pal, "--tag", "t04") == 0
    assert atlas_frames(tmp_path / "t.orv") == [1, 2]
    # Frames named "{tag} {tagframe}": each tag's frames stand where it says.
    by_tag = atlas_sheet(tmp_path / "n", ["run 0", "run 1", "idle 0"], [{"name": "idle", "from": 2, "to": 2}])
    assert build(by_tag, tmp_path / "i.orv", "--palette", pal, "--tag", "idle") == 0
    assert atlas_frames(tmp_path / "i.orv") == [2]
    assert build(sheet, tmp_path / "all.orv", "--palette", pal) == 0
    err = capfd.readouterr().err
    assert "names tags t00, t01, t02, t03, t04, t05, t06, t07 and 12 more: built whole" in err


DIFFER = "frame durations differ (100 to 300 ms) and are not stored: the file holds one speed"


@pytest.mark.parametrize(
    "durations, extra, speed, said",
    [
        ([100, 300, 100], [], 100, f"{DIFFER}, 100 (the default; --speed sets it)"),
        ([100, 300, 100], ["--speed", "80"], 80, f"{DIFFER}, 80 (--speed)"),
        (
            [120] * 3,
            [],
            100,
            "speed 100 written (the default; --speed sets it): the source's frame times (frames of 120",
        ),
        ([120] * 3, ["--speed", "7"], 7, None),
        (None, [], 100, "speed 100 written (the default; --speed sets it): the sheet gives no speed"),
    ],
)
def test_durations_are_not_a_speed_and_a_note_says_which_was_written(
    tmp_path, pal, capfd, durations, extra, speed, said
):
    sheet = atlas_sheet(tmp_path / "s", ["s 0", "s 1", "s 2"], durations=durations)
    assert build(sheet, tmp_path / "t.orv", "--palette", pal, *extra) == 0
    assert loaded(tmp_path / "t.orv")["speed"] == speed
    err = capfd.readouterr().err
    assert (said in err) if said else "not stored" not in err


def test_speed_sets_an_export_folders_speed_too(tmp_path):
    path = write_project(tmp_path, "a.orv", walk())
    assert main(["export", str(path), "-o", str(tmp_path / "out")]) == 0
    assert build(tmp_path / "out", tmp_path / "b.orv", "--speed", "55") == 0
    assert loaded(tmp_path / "b.orv")["speed"] == 55
    assert loaded(tmp_path / "b.orv")["frames"] == loaded(path)["frames"]


@pytest.mark.parametrize(
    "meta_image, extra, gone, said",
    [
        (None, [], False, "'meta.image' is missing: read sheet.png beside the JSON"),
        ("C:\\Users\\me\\sheet.png", [], False, "'meta.image' names C:\\Users\\me\\sheet.png, which is not there"),
        ("/home/me/art/sheet.png", [], False, "read sheet.png beside the JSON"),
        ("gone.png", ["--image", "{folder}/sheet.png"], False, ""),
        (None, [], True, "('meta.image'), and {folder}/sheet.png is missing: name it with --image"),
        ("gone.png", [], True, "its sheet image {folder}/gone.png is missing"),
    ],
)
def test_the_sheet_image_is_found_beside_the_json_or_named(tmp_path, pal, capfd, meta_image, extra, gone, said):
    sheet = atlas_sheet(tmp_path / "s", ["s 0", "s 1"], meta_image=meta_image)
    (tmp_path / "s" / "a.png").rename(tmp_path / "s" / "sheet.png")
    if gone:
        (tmp_path / "s" / "sheet.png").unlink()
    code = build(sheet, tmp_path / "t.orv", "--palette", pal, *[a.format(folder=tmp_path / "s") for a in extra])
    err = capfd.readouterr().err
    assert code == gone and said.format(folder=tmp_path / "s") in err and (said or "beside" not in err)
    assert gone or atlas_frames(tmp_path / "t.orv") == [0, 1]
    assert build(tmp_path / "x.png", tmp_path / "u.orv", "--palette", pal, "--image", "a.png") == 2
    assert "--image is for a sprite sheet's JSON" in capfd.readouterr().err


def test_visible_pixels_outside_every_frame_are_counted(tmp_path, pal, capfd):
    sheet = atlas_sheet(tmp_path / "s", ATLAS, TAGS)
    atlas = read_rgba(tmp_path / "s" / "a.png")
    atlas[1, 5] = atlas[0, 8] = (9, 9, 9, 255)  # in the gaps after frames 1 and 2
    atlas[0, 11] = (9, 9, 9, 1)  # faint, but visible
    write_rgba(tmp_path / "s" / "a.png", atlas)
    # Frames of other tags are not outside: only the gaps count.
    assert build(sheet, tmp_path / "t.orv", "--palette", pal, "--tag", "tree") == 0
    err = capfd.readouterr().err
    assert "the sheet image has 3 visible pixels outside every frame the document lists (the first at x 8, y 0)" in err
    atlas[1, 5] = atlas[0, 8] = atlas[0, 11] = 0
    write_rgba(tmp_path / "s" / "a.png", atlas)
    assert build(sheet, tmp_path / "t.orv", "--palette", pal, "--tag", "tree", "-f") == 0
    assert "outside every frame" not in capfd.readouterr().err


@pytest.mark.parametrize("kind", ["gif", "apng"])
@pytest.mark.parametrize("count", [4, 1])  # a preview of one frame is a still image
def test_orvtools_own_preview_builds_back_to_the_same_offsets(tmp_path, pal, capfd, kind, count):
    last: list[list[int | None]] = [[8] * 6, [None] * 5 + [9]]  # opaque colours: a GIF has no partial alpha
    frames = [figure(), frame_from_indices([[None, 4, 4], [4, 4, 4]], x_offset=-1, y_offset=0)]
    frames += [frame_from_indices(last, x_offset=1, y_offset=1) for _ in range(2)]  # one image of the GIF
    anim = Animation(frames=frames[:count], speed=80)
    path = write_project(tmp_path, "a.orv", anim)
    assert main(["export", str(path), "-o", str(tmp_path / "out"), f"--{kind}"]) == 0
    assert "origin is at x 2, y 3 of the canvas" in capfd.readouterr().err
    name = tmp_path / "out" / f"preview.{kind}"
    assert build(name, tmp_path / "b.orv", "--palette", pal) == 0
    before, after = loaded(path), loaded(tmp_path / "b.orv")
    fields = ("x_offset", "y_offset", "width", "height")
    assert [[f[k] for k in fields] for f in after["frames"]] == [[f[k] for k in fields] for f in before["frames"]]
    assert [grid(f) for f in after["frames"]] == [grid(f) for f in before["frames"]] and after["speed"] == 80
    assert f"{count} frame{'s' if count > 1 else ''} placed as orvtool's preview records them" in capfd.readouterr().err


def test_a_foreign_gif_is_placed_by_the_anchor_and_the_note_names_origin(tmp_path, pal, capfd):
    pages = [Image.new("RGBA", (6, 5), (0, 0, 0, 0)) for _ in range(2)]
    for k, page in enumerate(pages):
        page.paste(PALETTE[1][:3] + (255,), (k, 1, k + 2, 4))
    pages[0].save(tmp_path / "f.gif", save_all=True, append_images=pages[1:], duration=[100, 200])
    assert build(tmp_path / "f.gif", tmp_path / "b.orv", "--palette", pal) == 0
    err = capfd.readouterr().err
    assert "2 frames placed by the bottom-center anchor" in err and "--origin X Y names it" in err
    assert "frame durations differ (100 to 200 ms)" in err
    assert build(tmp_path / "f.gif", tmp_path / "c.orv", "--palette", pal, "--origin", "3", "4") == 0
    # Each frame is the GIF's whole canvas: the origin 3, 4 from its top-left.
    assert [(f["x_offset"], f["y_offset"]) for f in loaded(tmp_path / "c.orv")["frames"]] == [(-3, -4), (-3, -4)]


def test_each_tag_shares_one_palette_made_from_every_tag(tmp_path, capfd):
    colors = [(200, 10, 10, 255), (10, 200, 10, 255), (10, 10, 200, 255), (240, 240, 10, 255)]
    tags = [{"name": "a", "from": 0, "to": 1}, {"name": "b", "from": 2, "to": 3}]
    sheet = atlas_sheet(tmp_path / "s", ["s 0", "s 1", "s 2", "s 3"], tags, colors=colors)
    pal = tmp_path / "tags" / "shared.pal"
    args = ["--each-tag", "--quantize", "4", "--palette", str(pal)]
    assert build(sheet, tmp_path / "tags", *args) == 0
    assert sorted(palettes.read_pal(str(pal)).colors) == sorted(colors)
    for tag, first in (("a", 0), ("b", 2)):
        images = rendered(tmp_path / "tags" / f"{tag}.orv")
        assert [tuple(int(v) for v in im[0, 0]) for im in images] == colors[first : first + 2]
    capfd.readouterr()
    # Again without --force: refused for every tag before anything is written.
    before = pal.read_bytes()
    assert build(sheet, tmp_path / "tags", *args) == 1
    assert capfd.readouterr().err.count("already exists") == 2 and pal.read_bytes() == before
    assert build(sheet, tmp_path / "more", "--each-tag", "--add-colors", "--palette", str(pal)) == 2
    assert not (tmp_path / "more").exists()


def test_a_frame_grown_in_the_sheet_gets_its_resized_note(tmp_path, capfd):
    _, sheet = exported_sheet(tmp_path, walk())
    doc = json.loads(sheet.read_text())
    grown(sheet, doc)
    sheet.write_text(json.dumps(doc))
    assert build(sheet, tmp_path / "b.orv") == 0
    assert "1 of 3 frames changed size and were placed where the sheet put them: frame 2 at offsets 1, 1" in (
        capfd.readouterr().err
    )
