"""Sprite sheets both ways: export lays frames out and describes them; build
reads the sheets that Aseprite and TexturePacker write (fixtures written here
after each tool's documented JSON layout) and orvtool's own."""

import json

import numpy as np
import pytest

from orvtool.cli import main
from orvtool.core.orvfile import Animation, Frame, Row, Run, frame_from_indices
from orvtool_build_helpers import grid, loaded, read_rgba, rendered, write_rgba
from orvtool_samples import PALETTE, quirky, walk, write_project


def export_sheet(path, out, *extra):
    assert main(["export", str(path), "-o", str(out), "--sheet", *extra]) == 0
    return out / "sheet.json"


def build(source, out, *extra):
    return main(["build", str(source), "-o", str(out), *extra])


SHEET_CASES = {
    "walk": walk,  # a shadow frame, frame_size
    "split": lambda: quirky()["split"],  # a run split in two
    "zero_size": lambda: quirky()["zero_size_frame"],
    "background": lambda: quirky()["background_flag_2"],
    # a frame without pixels whose rows still hold runs
    "runs_without_pixels": lambda: Animation(
        frames=[Frame(width=0, rows=[Row([Run(2, b"\x01\x02")]), Row([])]), walk().frames[0]]
    ),
    # covered pixels of a colour with alpha 0 (entry 3), and two entries of one colour (4 and 5)
    "hidden_and_twins": lambda: Animation(
        frames=[frame_from_indices([[3, 3, 1], [4, 5, 3]], x_offset=-1, y_offset=-2), frame_from_indices([[3]])]
    ),
}
HIDDEN_AND_TWINS = [(9, 9, 9, 255)] * 3 + [(1, 2, 3, 0), (7, 7, 7, 255), (7, 7, 7, 255)]


@pytest.mark.parametrize("layout", ["packed", "rows", "columns"])
@pytest.mark.parametrize("form", ["hash", "array"])
@pytest.mark.parametrize("case", sorted(SHEET_CASES))
def test_export_sheet_build_gives_the_file_back(tmp_path, capfd, layout, form, case):
    colors = HIDDEN_AND_TWINS if case == "hidden_and_twins" else PALETTE
    path = write_project(tmp_path, "a.orv", SHEET_CASES[case](), colors=colors)
    sheet = export_sheet(path, tmp_path / "out", "--sheet-layout", layout, "--json", form)
    assert build(sheet, tmp_path / "b.orv") == 0
    assert loaded(tmp_path / "b.orv") == loaded(path)
    assert (tmp_path / "b.orv").read_bytes() == path.read_bytes()


def _frame_rects(doc):
    frames = doc["frames"]
    if isinstance(frames, dict):
        return list(frames), [e["frame"] for e in frames.values()]
    return [e["filename"] for e in frames], [e["frame"] for e in frames]


def test_grid_layouts_keep_frame_order_in_canvas_cells(tmp_path, capfd):
    # five frames of different sizes on a 7 x 7 canvas whose origin is at x 4, y 0; padding 1
    frames = [frame_from_indices([[i] * (3 + i)] * (1 + i % 4), x_offset=-i, y_offset=i) for i in range(5)]
    path = write_project(tmp_path, "a.orv", Animation(frames=frames))
    rows = json.loads(export_sheet(path, tmp_path / "r", "--sheet-layout", "rows", "--sheet-columns", "2").read_text())
    names, rects = _frame_rects(rows)
    assert names == [f"frame_{i:03d}.png" for i in range(5)]
    assert [(r["x"], r["y"], r["w"], r["h"]) for r in rects] == [(x, y, 7, 7) for x, y in GRID_ROWS]
    assert rows["meta"]["size"] == {"w": 15, "h": 23}
    assert rows["meta"]["grid"] == {"cell": {"w": 7, "h": 7}, "origin": {"x": 4, "y": 0}}
    _, err = capfd.readouterr()
    assert "sheet cells are 7x7, the origin at x 4, y 0 in each cell" in err and "--origin 4 0" in err
    cols = json.loads(
        export_sheet(
            path, tmp_path / "c", "--sheet-layout", "columns", "--sheet-columns", "2", "--json", "array"
        ).read_text()
    )
    names, rects = _frame_rects(cols)
    assert names == [f"frame_{i:03d}.png" for i in range(5)]
    assert [(r["x"], r["y"]) for r in rects] == [(0, 0), (0, 8), (0, 16), (8, 0), (8, 8)]
    atlas = read_rgba(tmp_path / "c" / "sheet.png")
    for i, (name, r) in enumerate(zip(names, rects, strict=True)):
        image = read_rgba(tmp_path / "c" / name)
        x, y = r["x"] + 4 - i, r["y"] + i  # the frame at its place in the cell
        assert np.array_equal(atlas[y : y + image.shape[0], x : x + image.shape[1]], image)
        cell = atlas[r["y"] : r["y"] + 7, r["x"] : r["x"] + 7]
        assert int((cell[:, :, 3] != 0).sum()) == image.shape[0] * image.shape[1]  # nothing else in the cell


GRID_ROWS = [(0, 0), (8, 0), (0, 8), (8, 8), (0, 16)]


def test_sheet_columns_without_a_grid_layout_is_a_usage_error(tmp_path, capfd):
    path = write_project(tmp_path, "a.orv", walk())
    assert main(["export", str(path), "-o", str(tmp_path / "out"), "--sheet", "--sheet-columns", "2"]) == 2
    _, err = capfd.readouterr()
    assert "--sheet-columns is for --sheet-layout rows or columns" in err
    assert not (tmp_path / "out").exists()


def test_sheet_without_orvtools_record_gives_the_same_pixels_and_offsets(tmp_path, capfd):
    frames = [
        frame_from_indices([[None, 1, 2, 3], [5, None, 9, 6]], x_offset=-2, y_offset=-3),
        frame_from_indices([[7] * 6, [None] * 5 + [9]], x_offset=1, y_offset=1),
        frame_from_indices([[4]], x_offset=-30, y_offset=12),
    ]
    path = write_project(tmp_path, "a.orv", Animation(frames=frames))
    sheet = export_sheet(path, tmp_path / "out", "--json", "array")
    doc = json.loads(sheet.read_text())
    del doc["meta"]["orvtool"]
    sheet.write_text(json.dumps(doc))
    assert build(sheet, tmp_path / "b.orv", "--palette", str(tmp_path / "pal" / "test.pal")) == 0
    got, want = loaded(tmp_path / "b.orv"), loaded(path)
    assert [(f["x_offset"], f["y_offset"]) for f in got["frames"]] == [(-2, -3), (1, 1), (-30, 12)]
    assert [grid(f) for f in got["frames"]] == [grid(f) for f in want["frames"]]
    for a, b in zip(rendered(tmp_path / "b.orv"), rendered(path), strict=True):
        assert np.array_equal(a, b)


# --- sheets made by other tools -----------------------------------------------------

# Three sprites drawn in palette colours, each asymmetric so that a wrong
# rotation or flip shows.
SPRITES = [
    np.array([[1, 2, 0], [3, 0, 0]]),  # 0: transparent (index 0 drawn as alpha 0 below)
    np.array([[4, 4, 5, 6], [0, 7, 0, 8], [9, 0, 0, 0]]),
    np.array([[10], [11]]),
]


def rgba_of(sprite):
    out = np.array([PALETTE[i] for i in sprite.ravel()], np.uint8).reshape(*sprite.shape, 4)
    out[sprite == 0] = 0
    return out


def expected_grid(sprite):
    return [[None if v == 0 else int(v) for v in row] for row in sprite]


def write_sheet(folder, doc, atlas):
    folder.mkdir(parents=True, exist_ok=True)
    write_rgba(folder / doc["meta"]["image"], atlas)
    (folder / "sheet.json").write_text(json.dumps(doc))
    return folder / "sheet.json"


def aseprite_sheet(folder, form, slices=None):
    """An Aseprite sheet, --sheet-type horizontal with --trim: each sprite on a
    10 x 6 canvas at a known place, trimmed to its pixels."""
    places = [(4, 3), (2, 1), (9, 0)]
    atlas = np.zeros((6, 12, 4), np.uint8)
    entries = []
    x = 0
    for i, (sprite, (sx, sy)) in enumerate(zip(SPRITES, places, strict=True)):
        h, w = sprite.shape
        atlas[0:h, x : x + w] = rgba_of(sprite)
        entries.append(
            (
                f"walk {i}.aseprite",
                {
                    "frame": {"x": x, "y": 0, "w": w, "h": h},
                    "rotated": False,
                    "trimmed": True,
                    "spriteSourceSize": {"x": sx, "y": sy, "w": w, "h": h},
                    "sourceSize": {"w": 10, "h": 6},
                    "duration": 100,
                },
            )
        )
        x += w
    meta = {
        "app": "https://www.aseprite.org/",
        "version": "1.3.2",
        "image": "walk.png",
        "format": "RGBA8888",
        "size": {"w": 12, "h": 6},
        "scale": "1",
        "frameTags": [],
        "layers": [{"name": "Layer 1", "opacity": 255, "blendMode": "normal"}],
        "slices": slices or [],
    }
    frames = dict(entries) if form == "json-hash" else [{"filename": n, **e} for n, e in entries]
    return write_sheet(folder, {"frames": frames, "meta": meta}, atlas), places


@pytest.fixture
def project(tmp_path):
    write_project(tmp_path, "unused.orv", Animation(frames=[frame_from_indices([[1]])]))
    return tmp_path, str(tmp_path / "pal" / "test.pal")


@pytest.mark.parametrize("form", ["json-hash", "json-array"])
@pytest.mark.parametrize(
    "anchor,origin", [(None, (5, 6)), ("top-left", (0, 0)), ("center", (5, 3)), ("bottom-right", (10, 6))]
)
def test_aseprite_sheet_places_frames_by_the_anchor_on_the_source_canvas(project, capfd, form, anchor, origin):
    root, pal = project
    sheet, places = aseprite_sheet(root / "ase", form)
    extra = ["--anchor", anchor] if anchor else []
    assert build(sheet, root / "b.orv", "--palette", pal, *extra) == 0
    frames = loaded(root / "b.orv")["frames"]
    assert [grid(f) for f in frames] == [expected_grid(s) for s in SPRITES]
    assert [(f["x_offset"], f["y_offset"]) for f in frames] == [(x - origin[0], y - origin[1]) for x, y in places]


def test_aseprite_pivot_slice_gives_the_origin_from_its_key_frames(project, capfd):
    root, pal = project
    slices = [
        {"name": "hitbox", "color": "#ff0000ff", "keys": [{"frame": 0, "bounds": {"x": 0, "y": 0, "w": 10, "h": 6}}]},
        {
            "name": "feet",
            "color": "#0000ffff",
            "keys": [
                {"frame": 0, "bounds": {"x": 3, "y": 4, "w": 4, "h": 2}, "pivot": {"x": 2, "y": 2}},
                {"frame": 2, "bounds": {"x": 1, "y": 1, "w": 2, "h": 2}, "pivot": {"x": 0, "y": 1}},
            ],
        },
    ]
    sheet, places = aseprite_sheet(root / "ase", "json-array", slices)
    assert build(sheet, root / "b.orv", "--palette", pal, "--anchor", "top-left") == 0
    frames = loaded(root / "b.orv")["frames"]
    origins = [(5, 6), (5, 6), (1, 2)]  # the first key holds for frames 0 and 1
    assert [(f["x_offset"], f["y_offset"]) for f in frames] == [
        (x - ox, y - oy) for (x, y), (ox, oy) in zip(places, origins, strict=True)
    ]
    _, err = capfd.readouterr()
    assert "3 frames placed by their slice" in err


@pytest.mark.parametrize("form", ["hash", "array"])
def test_texturepacker_sheet_with_rotated_frames_and_pivots(project, capfd, form):
    """TexturePacker turns a rotated sprite a quarter clockwise on the atlas;
    `frame` keeps the sprite's own width and height; `pivot` is normalised
    to the untrimmed source size."""
    root, pal = project
    atlas = np.zeros((8, 8, 4), np.uint8)
    entries = []
    layout = [((0, 0), False), ((3, 0), True), ((0, 5), True)]
    sources = [(8, 4, 2, 1), (6, 6, 1, 2), (4, 4, 3, 0)]  # source w, h, sprite x, y on it
    pivots = [(0.5, 1.0), (0.25, 0.5), (0.0, 0.0)]
    for i, (sprite, ((ax, ay), rotated), (cw, ch, sx, sy), (px, py)) in enumerate(
        zip(SPRITES, layout, sources, pivots, strict=True)
    ):
        h, w = sprite.shape
        placed = np.rot90(rgba_of(sprite), k=-1) if rotated else rgba_of(sprite)  # clockwise
        atlas[ay : ay + placed.shape[0], ax : ax + placed.shape[1]] = placed
        entries.append(
            (
                f"hero/walk_{i:02d}.png",
                {
                    "frame": {"x": ax, "y": ay, "w": w, "h": h},
                    "rotated": rotated,
                    "trimmed": (w, h) != (cw, ch),
                    "spriteSourceSize": {"x": sx, "y": sy, "w": w, "h": h},
                    "sourceSize": {"w": cw, "h": ch},
                    "pivot": {"x": px, "y": py},
                },
            )
        )
    meta = {
        "app": "https://www.codeandweb.com/texturepacker",
        "version": "1.0",
        "image": "hero.png",
        "format": "RGBA8888",
        "size": {"w": 8, "h": 8},
        "scale": "1",
    }
    frames = dict(entries) if form == "hash" else [{"filename": n, **e} for n, e in entries]
    sheet = write_sheet(root / "tp", {"frames": frames, "meta": meta}, atlas)
    assert build(sheet, root / "b.orv", "--palette", pal) == 0
    got = loaded(root / "b.orv")["frames"]
    assert [grid(f) for f in got] == [expected_grid(s) for s in SPRITES]
    # origin = pivot x source size: (4, 4), (1.5 -> 2, 3), (0, 0)
    assert [(f["x_offset"], f["y_offset"]) for f in got] == [(2 - 4, 1 - 4), (1 - 2, 2 - 3), (3, 0)]
    assert "outside every frame" not in capfd.readouterr().err  # a rotated frame lies turned on the atlas


@pytest.mark.parametrize(
    "damage,message",
    [
        (
            lambda d: d["frames"]["walk 1.aseprite"]["frame"].update(x=10),
            "frame 1 ('walk 1.aseprite'): its 4x3 rectangle at x 10, y 0 reaches past the 12x6 sheet image",
        ),
        (
            lambda d: d["frames"]["walk 2.aseprite"]["spriteSourceSize"].pop("y"),
            "frame 2 ('walk 2.aseprite'): 'spriteSourceSize.y' is missing",
        ),
        (
            lambda d: d["frames"]["walk 0.aseprite"]["frame"].update(w=2.5),
            "frame 0 ('walk 0.aseprite'): 'frame.w' is 2.5, not a whole number",
        ),
        (lambda d: d["meta"].update(image="gone.png"), "its sheet image"),
        (lambda d: d.pop("frames"), "is not a sprite sheet description"),
    ],
)
def test_bad_sheets_are_refused_naming_file_and_frame(project, capfd, damage, message):
    root, pal = project
    sheet, _ = aseprite_sheet(root / "ase", "json-hash")
    doc = json.loads(sheet.read_text())
    damage(doc)
    sheet.write_text(json.dumps(doc))
    assert build(sheet, root / "b.orv", "--palette", pal) == 1
    _, err = capfd.readouterr()
    assert len(err.strip().splitlines()) == 1
    assert f"{sheet}: " in err and message in err
    assert not (root / "b.orv").exists()
