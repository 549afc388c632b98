"""Sheets edited as a modder edits them, and sheets as real editors write them
(fixtures after Aseprite's, TexturePacker's PixiJS and Phaser 3 JSON): the
editor's word places frames, orvtool's record supplies what images cannot
say, and nothing read is passed over."""

import io
import json

import numpy as np
import pytest
from PIL import Image
from test_orvtool_sheets import SPRITES, rgba_of, write_sheet

from orvtool.cli import main
from orvtool.core.orvfile import Animation, frame_from_indices
from orvtool_build_helpers import grid, loaded, read_rgba, write_rgba
from orvtool_samples import PALETTE, walk, write_project


def build(source, out, *extra):
    return main(["build", str(source), "-o", str(out), *extra])


def exported_sheet(tmp_path, anim, *extra):
    path = write_project(tmp_path, "a.orv", anim)
    assert main(["export", str(path), "-o", str(tmp_path / "out"), "--sheet", *extra]) == 0
    return path, tmp_path / "out" / "sheet.json"


def put_on_atlas(sheet, doc, rgba):
    """Pastes `rgba` to the right of the atlas (and its index sheet, left
    uncovered there); returns its top-left."""
    folder = sheet.parent
    atlas = read_rgba(folder / doc["meta"]["image"])
    h = max(atlas.shape[0], rgba.shape[0])
    grown = np.zeros((h, atlas.shape[1] + 1 + rgba.shape[1], 4), np.uint8)
    grown[: atlas.shape[0], : atlas.shape[1]] = atlas
    x = atlas.shape[1] + 1
    grown[: rgba.shape[0], x:] = rgba
    write_rgba(folder / doc["meta"]["image"], grown)
    index = Image.open(folder / doc["meta"]["orvtoolIndices"])
    wider = Image.new("LA", grown.shape[1::-1])
    wider.paste(index, (0, 0))
    wider.save(folder / doc["meta"]["orvtoolIndices"])
    return x, 0


def colors_of(indices):
    return np.array([[PALETTE[i] if i is not None else (0, 0, 0, 0) for i in row] for row in indices], np.uint8)


def grown(sheet, doc):
    """Frame 2 three columns wider on the right, in the image and its JSON."""
    entry = doc["frames"]["frame_002.png"]
    indices = [[7] * 6 + [8] * 3, [None] * 5 + [9, 8, 8, 8]]
    x, y = put_on_atlas(sheet, doc, colors_of(indices))
    entry["frame"].update(x=x, y=y, w=9)
    entry["spriteSourceSize"]["w"] = 9
    return {"frames": 3, "changed": {2: dict(width=9, x_offset=1, y_offset=1, grid=indices)}}


def appended(sheet, doc):
    """A fourth frame, 2 x 2, at x 5, y 1 of the 9 x 6 canvas (origin at 2, 3)."""
    x, y = put_on_atlas(sheet, doc, colors_of([[4, 4], [4, None]]))
    entry = json.loads(json.dumps(doc["frames"]["frame_000.png"]))
    entry.update(frame={"x": x, "y": y, "w": 2, "h": 2}, spriteSourceSize={"x": 5, "y": 1, "w": 2, "h": 2})
    doc["frames"]["extra.png"] = entry
    return {"frames": 4, "changed": {3: dict(width=2, x_offset=3, y_offset=-2, grid=[[4, 4], [4, None]])}}


def reordered(sheet, doc):
    """Frame 0 taken out, frames 2 and 1 swapped."""
    doc["frames"] = {k: doc["frames"][k] for k in ("frame_002.png", "frame_001.png")}
    return {"frames": 2, "order": [2, 1]}


@pytest.mark.parametrize("edit", [grown, appended, reordered])
def test_edited_own_sheet_keeps_the_record_and_the_editors_placement(tmp_path, capfd, edit):
    anim = walk()
    anim.speed = 80
    path, sheet = exported_sheet(tmp_path, anim)
    doc = json.loads(sheet.read_text())
    want = edit(sheet, doc)
    sheet.write_text(json.dumps(doc))
    assert build(sheet, tmp_path / "b.orv") == 0  # no --palette: the record names it
    before, after = loaded(path), loaded(tmp_path / "b.orv")
    assert (after["speed"], after["location"]) == (80, before["location"])
    assert len(after["frames"]) == want["frames"]
    order = want.get("order", range(3))
    for k, i in enumerate(order):
        got, old = after["frames"][k], before["frames"][i]
        change = want.get("changed", {}).get(k)
        if change is None:
            assert got == old  # shadow flag, frame_size, runs: all kept
        else:
            assert (got["width"], got["x_offset"], got["y_offset"]) == tuple(
                change[key] for key in ("width", "x_offset", "y_offset")
            )
            assert grid(got) == change["grid"] and got["is_shadow"] == old["is_shadow"]
    _, err = capfd.readouterr()
    if edit is appended:
        assert "frame 3 ('extra.png') is not in meta.orvtool: added as frame 3" in err
        assert after["frames"][3]["is_shadow"] == 0


def test_sheet_keys_missing_are_refused_and_unknown_ones_noted(tmp_path, capfd):
    _, sheet = exported_sheet(tmp_path, walk())
    doc = json.loads(sheet.read_text())
    entry = doc["frames"]["frame_000.png"]
    entry["spriteSourcSize"] = entry.pop("spriteSourceSize")  # a trimmed frame
    sheet.write_text(json.dumps(doc))
    assert build(sheet, tmp_path / "b.orv") == 1
    _, err = capfd.readouterr()
    assert err == f"orvtool: {sheet}: frame 0 ('frame_000.png'): 'spriteSourceSize' is missing\n"
    assert not (tmp_path / "b.orv").exists()
    entry["trimmed"] = False  # said untrimmed, but smaller than its source canvas
    sheet.write_text(json.dumps(doc))
    assert build(sheet, tmp_path / "b.orv") == 1
    _, err = capfd.readouterr()
    assert "'spriteSourceSize' is missing, and the 5x3 frame is not its 9x6 'sourceSize'" in err
    entry["spriteSourceSize"] = entry.pop("spriteSourcSize")
    for e in doc["frames"].values():
        e["sprite_tag"] = "x"
    sheet.write_text(json.dumps(doc))
    assert build(sheet, tmp_path / "b.orv") == 0
    _, err = capfd.readouterr()
    assert err.count("keys not read") == 1 and "'sprite_tag' (3 frames, first 'frame_000.png')" in err


@pytest.mark.parametrize("layout", ["rows", "columns"])
def test_grid_sheet_through_an_editors_grid_import_keeps_placement_with_origin(tmp_path, capfd, layout):
    tight = frame_from_indices([[None, 1, 2, 3, None], [5, None, None, None, 6]], x_offset=-2, y_offset=-3)
    anim = Animation(frames=[tight, frame_from_indices([[7] * 6, [None] * 5 + [9]], x_offset=1, y_offset=1)])
    path, sheet = exported_sheet(tmp_path, anim, "--sheet-layout", layout)
    _, err = capfd.readouterr()
    assert "sheet cells are 9x6, the origin at x 2, y 3 in each cell" in err
    ours = json.loads(sheet.read_text())
    # Aseprite: Import Sprite Sheet by 9 x 6 cells, then export json-array untrimmed
    cells = [e["frame"] for e in ours["frames"].values()]
    frames = [
        {
            "filename": f"sprite {i}.ase",
            "frame": cell,
            "rotated": False,
            "trimmed": False,
            "spriteSourceSize": {"x": 0, "y": 0, "w": 9, "h": 6},
            "sourceSize": {"w": 9, "h": 6},
            "duration": 100,
        }
        for i, cell in enumerate(cells)
    ]
    meta = {"app": "https://www.aseprite.org/", "version": "1.3.7", "image": "sheet.png", "frameTags": []}
    (sheet.parent / "editor.json").write_text(json.dumps({"frames": frames, "meta": meta}))
    pal = str(tmp_path / "pal" / "test.pal")
    assert build(sheet.parent / "editor.json", tmp_path / "b.orv", "--palette", pal, "--origin", "2", "3") == 0
    got, want = loaded(tmp_path / "b.orv")["frames"], loaded(path)["frames"]
    assert [(f["x_offset"], f["y_offset"], grid(f)) for f in got] == [
        (f["x_offset"], f["y_offset"], grid(f)) for f in want
    ]


def test_images_without_alpha_are_named_and_keyed_or_covered_by_their_index_layer(tmp_path, capfd):
    rgb = np.zeros((2, 3, 3), np.uint8)
    rgb[0, 0] = (255, 0, 255)
    rgb[1] = PALETTE[4][:3]
    Image.fromarray(rgb, "RGB").save(tmp_path / "plain.png")
    write_project(tmp_path, "unused.orv", Animation(frames=[frame_from_indices([[1]])]))
    pal = str(tmp_path / "pal" / "test.pal")
    assert build(tmp_path / "plain.png", tmp_path / "p.orv", "--palette", pal) == 0
    _, err = capfd.readouterr()
    assert f"{tmp_path / 'plain.png'}: no alpha and no transparent colour" in err and "--transparent COLOR" in err
    assert build(tmp_path / "plain.png", tmp_path / "k.orv", "--palette", pal, "--transparent", "#ff00ff") == 0
    assert grid(loaded(tmp_path / "k.orv")["frames"][0])[0][0] is None

    # an export folder's frame saved again without alpha: its index layer says what is covered
    path = write_project(tmp_path, "w.orv", walk())
    assert main(["export", str(path), "-o", str(tmp_path / "w")]) == 0
    png = read_rgba(tmp_path / "w" / "frame_000.png")
    Image.fromarray(np.ascontiguousarray(png[:, :, :3]), "RGB").save(tmp_path / "w" / "frame_000.png")
    assert build(tmp_path / "w", tmp_path / "w2.orv") == 0
    assert (tmp_path / "w2.orv").read_bytes() == path.read_bytes()
    _, err = capfd.readouterr()
    assert "frame_000.png: saved without alpha; coverage taken from the index layers" in err


def test_add_colors_never_changes_a_palette_outside_the_project_root(tmp_path, capfd):
    root = tmp_path / "game"
    path = write_project(root, "a.orv", walk(), pal_rel="pal/test.pal")
    assert main(["export", str(path), "-o", str(tmp_path / "out")]) == 0
    outside = tmp_path / "other" / "shared.pal"
    outside.parent.mkdir()
    outside.write_bytes((root / "pal" / "test.pal").read_bytes())
    png = read_rgba(tmp_path / "out" / "frame_000.png")
    png[0, 1] = (1, 2, 3, 255)  # a colour the palette lacks
    write_rgba(tmp_path / "out" / "frame_000.png", png)
    before = outside.read_bytes()
    code = build(
        tmp_path / "out", tmp_path / "b.orv", "--add-colors", "--palette", str(outside), "--project-root", str(root)
    )
    assert code == 1
    _, err = capfd.readouterr()
    assert f"palette {outside} is outside --project-root {root}" in err and "--palette NEW.pal" in err
    assert outside.read_bytes() == before and not (tmp_path / "b.orv").exists()


# --- sheets of other editors -------------------------------------------------------------


def _atlas(sprites, pad=0):
    """The sprites side by side, each with `pad` transparent pixels around it."""
    width = sum(s.shape[1] + 2 * pad for s in sprites)
    atlas = np.zeros((max(s.shape[0] for s in sprites) + 2 * pad, width, 4), np.uint8)
    rects, x = [], 0
    for s in sprites:
        h, w = s.shape
        atlas[pad : pad + h, x + pad : x + pad + w] = rgba_of(s)
        rects.append({"x": x, "y": 0, "w": w + 2 * pad, "h": h + 2 * pad})
        x += w + 2 * pad
    return atlas, rects


PLACES = [(4, 3), (2, 1), (9, 0)]  # each sprite's top-left on its 10 x 6 source canvas


def _entry(name, rect, i, **extra):
    h, w = SPRITES[i].shape
    x, y = PLACES[i]
    return {
        "filename": name,
        "frame": rect,
        "rotated": False,
        "trimmed": True,
        "spriteSourceSize": {"x": x, "y": y, "w": w, "h": h},
        "sourceSize": {"w": 10, "h": 6},
        **extra,
    }


def pixijs(folder):
    """TexturePacker's PixiJS format: `anchor`, and `animations` by frame name."""
    atlas, rects = _atlas(SPRITES)
    frames = {f"f{i}": _entry(f"f{i}", r, i, anchor={"x": 0.5, "y": 1}) for i, r in enumerate(rects)}
    meta = {"app": "https://www.codeandweb.com/texturepacker", "image": "a.png", "size": {"w": 1, "h": 1}}
    doc = {"frames": frames, "animations": {"run": ["f2", "f0"]}, "meta": meta}
    return write_sheet(folder, doc, atlas), (5, 6), {"run": [2, 0]}


def aseprite_padded(folder):
    """Aseprite with --inner-padding 2 and frame tags, one of them reversed."""
    atlas, rects = _atlas(SPRITES, pad=2)
    frames = [_entry(f"s {i}.ase", r, i, duration=100) for i, r in enumerate(rects)]
    tags = [
        {"name": "idle", "from": 0, "to": 1, "direction": "forward"},
        {"name": "back", "from": 1, "to": 2, "direction": "reverse"},
    ]
    meta = {"app": "https://www.aseprite.org/", "image": "a.png", "frameTags": tags, "slices": []}
    return write_sheet(folder, {"frames": frames, "meta": meta}, atlas), (5, 6), {"idle": [0, 1], "back": [2, 1]}


def phaser3(folder):
    """TexturePacker's Phaser 3 format: two textures, `anchor`."""
    folder.mkdir(parents=True, exist_ok=True)
    textures = []
    for name, ids in [("p0.png", [0, 1]), ("p1.png", [2])]:
        atlas, rects = _atlas([SPRITES[i] for i in ids])
        write_rgba(folder / name, atlas)
        frames = [_entry(f"t{i}", r, i, anchor={"x": 0.2, "y": 0.5}) for i, r in zip(ids, rects, strict=True)]
        textures.append({"image": name, "format": "RGBA8888", "size": {"w": 1, "h": 1}, "scale": 1, "frames": frames})
    doc = {"textures": textures, "meta": {"app": "https://www.codeandweb.com/texturepacker"}}
    (folder / "sheet.json").write_text(json.dumps(doc))
    return folder / "sheet.json", (2, 3), {}


@pytest.mark.parametrize("kind", [pixijs, aseprite_padded, phaser3])
def test_real_editor_sheets_build_in_place_and_by_tag(tmp_path, capfd, kind):
    write_project(tmp_path, "unused.orv", Animation(frames=[frame_from_indices([[1]])]))
    pal = str(tmp_path / "pal" / "test.pal")
    sheet, origin, tags = kind(tmp_path / "sheet")
    assert build(sheet, tmp_path / "all.orv", "--palette", pal) == 0
    frames = loaded(tmp_path / "all.orv")["frames"]
    want = [(x - origin[0], y - origin[1]) for x, y in PLACES]
    assert [(f["x_offset"], f["y_offset"]) for f in frames] == want
    assert [grid(f) for f in frames] == [[[None if v == 0 else int(v) for v in row] for row in s] for s in SPRITES]
    _, err = capfd.readouterr()
    if tags:
        assert f"names tags {', '.join(sorted(tags))}: built whole" in err
    for tag, order in tags.items():
        assert build(sheet, tmp_path / f"{tag}.orv", "--palette", pal, "--tag", tag) == 0
        got = loaded(tmp_path / f"{tag}.orv")["frames"]
        assert [(f["x_offset"], f["y_offset"]) for f in got] == [want[i] for i in order]
    if tags:
        assert main(["build", str(sheet), "-o", str(tmp_path / "each"), "--palette", pal, "--each-tag"]) == 0
        assert sorted(p.name for p in (tmp_path / "each").iterdir()) == sorted(f"{t}.orv" for t in tags)


def test_gif_preview_of_an_animation_with_an_empty_frame(tmp_path):
    anim = walk()
    anim.frames.insert(1, frame_from_indices([]))  # no pixels
    path = write_project(tmp_path, "a.orv", anim)
    assert main(["export", str(path), "-o", str(tmp_path / "out"), "--only", "gif"]) == 0
    data = (tmp_path / "out" / "preview.gif").read_bytes()
    assert data.count(b"GIF89a") == 1
    with Image.open(io.BytesIO(data)) as im:
        assert getattr(im, "n_frames", 1) == 4
        im.seek(1)
        assert not np.asarray(im.convert("RGBA"))[:, :, 3].any()  # the empty page shows nothing
        im.seek(2)
        assert np.asarray(im.convert("RGBA"))[:, :, 3].any()


def test_grid_sheet_of_the_earlier_layout_still_builds(tmp_path):
    """Earlier releases drew each frame trimmed at its cell's top-left, without
    an index sheet: the record and spriteSourceSize still place it."""
    path, sheet = exported_sheet(tmp_path, walk(), "--sheet-layout", "rows", "--json", "array")
    doc = json.loads(sheet.read_text())
    atlas = read_rgba(sheet.parent / "sheet.png")
    earlier = np.zeros_like(atlas)
    for frame, entry in zip(doc["frames"], doc["meta"]["orvtool"]["frames"], strict=True):
        cell, w, h = frame["frame"], entry["width"], entry["height"]
        x = entry["x_offset"] + round(frame["pivot"]["x"] * frame["sourceSize"]["w"])
        y = entry["y_offset"] + round(frame["pivot"]["y"] * frame["sourceSize"]["h"])
        earlier[cell["y"] : cell["y"] + h, cell["x"] : cell["x"] + w] = atlas[
            cell["y"] + y : cell["y"] + y + h, cell["x"] + x : cell["x"] + x + w
        ]
        frame.update(frame=dict(cell, w=w, h=h), spriteSourceSize={"x": x, "y": y, "w": w, "h": h}, trimmed=True)
    for key in ("grid", "orvtoolIndices"):
        del doc["meta"][key]
    doc["meta"]["version"] = "0.8.0"
    write_rgba(sheet.parent / "sheet.png", earlier)
    (sheet.parent / "sheet.index.png").unlink()
    sheet.write_text(json.dumps(doc))
    assert build(sheet, tmp_path / "b.orv") == 0
    assert (tmp_path / "b.orv").read_bytes() == path.read_bytes()
