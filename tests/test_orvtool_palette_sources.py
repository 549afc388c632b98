"""Palettes wherever --palette is: every format read, only the binary format
named by an animation, short palettes reported, palette images and Adobe
tables read as editors write them."""

import json

import numpy as np
import pytest
from PIL import Image
from test_orvtool_build_frames import COLORS, project

import pyorv
from orvtool.cli import main
from orvtool.core.orvfile import encode_palette
from orvtool.formats.palettes import Palette, read_palette, write_palette
from orvtool.model.errors import OrvToolError
from orvtool_build_helpers import grid, loaded, rendered
from orvtool_samples import PALETTE, walk, write_project


def run(capfd, *argv):
    code = main([str(a) for a in argv])
    out, err = capfd.readouterr()
    return code, out, err


def test_a_palette_to_write_must_be_the_binary_format(tmp_path, capfd):
    frames, _, _ = project(tmp_path)
    for name in ("new16.gpl", "new16.json", "new16.act"):
        code, out, err = run(
            capfd, "build", *frames, "--quantize", "4", "--palette", tmp_path / "pal" / name, "-o", tmp_path / "w.orv"
        )
        assert code == 1 and out == ""
        assert "the game's binary format, so its name must end in .pal" in err
        assert not (tmp_path / "pal" / name).exists() and not (tmp_path / "w.orv").exists()


@pytest.mark.parametrize("fmt", ["gpl", "json", "act"])
def test_matching_against_another_format_names_a_binary_copy(tmp_path, capfd, fmt):
    frames, pal, expected = project(tmp_path)
    source = tmp_path / "pal" / f"edit.{fmt}"
    opaque = [(r, g, b, 255) for r, g, b, _ in COLORS] if fmt == "act" else COLORS
    write_palette(Palette(opaque), str(source))
    code, out, err = run(
        capfd, "build", *frames, "--palette", source, "-o", tmp_path / "w.orv", "--project-root", tmp_path
    )
    assert code == 0, err
    game = tmp_path / "pal" / "edit.pal"
    assert game.read_bytes() == encode_palette(opaque)
    assert f"its colours go to {game}" in err
    assert loaded(tmp_path / "w.orv")["location"] == "pal/edit.pal"
    assert rendered(tmp_path / "w.orv") is not None  # the module reads the palette the file names
    if fmt != "act":
        assert [grid(f) for f in loaded(tmp_path / "w.orv")["frames"]] == expected
    # again: the copy holds the same colours, so it is named without --force
    code, _, err = run(capfd, "build", *frames, "--palette", source, "-o", tmp_path / "w2.orv")
    assert code == 0 and "which holds the same colours" in err
    # a copy with other colours is only replaced with --force
    game.write_bytes(encode_palette([(1, 2, 3, 255)]))
    code, _, err = run(capfd, "build", *frames, "--palette", source, "-o", tmp_path / "w3.orv")
    assert code == 1 and "already exists with other colours" in err and not (tmp_path / "w3.orv").exists()


def test_a_jasc_pal_cannot_be_named_and_is_refused_with_the_reason(tmp_path, capfd):
    frames, _, _ = project(tmp_path)
    jasc = tmp_path / "pal" / "j.pal"
    write_palette(Palette(COLORS), str(jasc), "jasc")
    before = jasc.read_bytes()
    code, _, err = run(capfd, "build", *frames, "--palette", jasc, "-o", tmp_path / "w.orv")
    assert code == 1 and "is a jasc file, which the game cannot read" in err
    assert jasc.read_bytes() == before and not (tmp_path / "w.orv").exists()


def test_gimp_palette_is_named_after_its_file(tmp_path, capfd):
    (tmp_path / "a.pal").write_bytes(encode_palette(COLORS))
    assert main(["palette", str(tmp_path / "a.pal"), "-o", str(tmp_path / "hero.gpl")]) == 0
    lines = (tmp_path / "hero.gpl").read_text().splitlines()
    assert lines[:2] == ["GIMP Palette", "Name: hero"]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.pal", "hero.gpl"]


@pytest.mark.parametrize("fmt", ["json", "gpl", "png"])
def test_export_and_info_take_any_palette_format(tmp_path, capfd, fmt):
    path = write_project(tmp_path, "walk.orv", walk())
    other = [(c[2], c[1], c[0], 255) for c in PALETTE]  # not the stored palette's colours
    given = tmp_path / f"other.{fmt}"
    write_palette(Palette(other), str(given))
    code, _, err = run(capfd, "export", path, "-o", tmp_path / "out", "--palette", given)
    assert code == 0, err
    pixel = np.asarray(Image.open(tmp_path / "out" / "frame_000.png").convert("RGBA"))[0, 1]
    assert tuple(pixel) == other[1]
    code, out, err = run(capfd, "info", path, "--json", "--palette", given)
    doc = json.loads(out)[0]["palette"]
    assert code == 0 and doc["usable"] and doc["resolved"] == str(given.resolve())
    assert doc["entries"] == 256 and doc["problem"] is None


def test_an_unreadable_palette_in_another_format_is_reported(tmp_path, capfd):
    path = write_project(tmp_path, "walk.orv", walk())
    (tmp_path / "bad.json").write_text("[1, 2]")
    code, out, _ = run(capfd, "info", path, "--json", "--palette", tmp_path / "bad.json")
    pal = json.loads(out)[0]["palette"]
    assert not pal["usable"] and "'colors' list" in pal["problem"]


def test_short_palette_says_how_many_pixels_the_filler_draws(tmp_path, capfd):
    # walk(): covered indices 1 2 3 5 6 in frame 0, a shadow frame, 7 x6 and 9 in frame 2
    path = write_project(tmp_path, "walk.orv", walk(), colors=PALETTE[:4])
    pal = (tmp_path / "pal" / "test.pal").resolve()
    expected = f"warning: palette {pal} holds 4 colours: 9 of 12 covered pixels use indices beyond it and are drawn as opaque black"
    code, _, err = run(capfd, "info", path)
    assert code == 0 and err.strip() == f"orvtool: {path}: {expected}"
    code, _, err = run(capfd, "export", path, "-o", tmp_path / "out")
    assert code == 0 and expected in err
    write_project(tmp_path, "full.orv", walk(), colors=PALETTE[:10])
    code, _, err = run(capfd, "info", tmp_path / "full.orv")
    assert code == 0 and err == ""
    code, _, err = run(capfd, "info", path, "--quiet")
    assert code == 0 and err == ""


def test_act_keeps_the_first_fully_transparent_entry(tmp_path):
    colors = [(1, 1, 1, 255), (2, 2, 2, 0), (3, 3, 3, 0), (4, 4, 4, 128)]
    pal = Palette(colors)
    write_palette(pal, str(tmp_path / "a.act"))
    data = (tmp_path / "a.act").read_bytes()
    assert data[768:] == bytes([0, 4, 0, 1])
    assert [str(n) for n in pal.notes] == [
        "Adobe .act holds one transparent entry and no other alpha: 2 of 4 colours lose their alpha"
    ]
    back = read_palette(str(tmp_path / "a.act")).colors
    assert back == [(1, 1, 1, 255), (2, 2, 2, 0), (3, 3, 3, 255), (4, 4, 4, 255)]


def test_an_indexed_png_gives_its_own_palette(tmp_path):
    im = Image.new("P", (3, 5))
    im.putpalette([10, 20, 30, 40, 50, 60, 70, 80, 90])
    im.save(tmp_path / "sprite.png", transparency=bytes([0, 128]))
    assert read_palette(str(tmp_path / "sprite.png")).colors == [(10, 20, 30, 0), (40, 50, 60, 128), (70, 80, 90, 255)]
    single = Image.new("P", (2, 2))
    single.putpalette([1, 2, 3, 4, 5, 6])
    single.save(tmp_path / "one.png", transparency=1)
    assert read_palette(str(tmp_path / "one.png")).colors == [(1, 2, 3, 255), (4, 5, 6, 0)]
    # and it can be matched against in a build (a binary copy is named)
    (tmp_path / "frames").mkdir()
    Image.fromarray(np.array([[[40, 50, 60, 128], [70, 80, 90, 255]]], np.uint8), "RGBA").save(
        tmp_path / "frames" / "a.png"
    )
    assert (
        main(
            [
                "build",
                str(tmp_path / "frames" / "a.png"),
                "--palette",
                str(tmp_path / "sprite.png"),
                "-o",
                str(tmp_path / "x.orv"),
                "--exact",
            ]
        )
        == 0
    )
    assert grid(loaded(tmp_path / "x.orv")["frames"][0]) == [[1, 2]]


def test_a_swatch_is_sixteen_cells_of_one_colour_each(tmp_path):
    write_palette(Palette(COLORS), str(tmp_path / "s.png"), cell=2)
    assert read_palette(str(tmp_path / "s.png")).colors == COLORS
    rng = np.random.default_rng(1)
    sprite = rng.integers(0, 256, (32, 32, 4), dtype=np.uint8)
    Image.fromarray(sprite, "RGBA").save(tmp_path / "sprite.png")
    with pytest.raises(
        OrvToolError, match=r"not a swatch: the cell at column 0, row 0 \(2 x 2 pixels\) is not one colour"
    ):
        read_palette(str(tmp_path / "sprite.png"))
    p = pyorv.PalF()  # what the swatch converts to is a palette the module reads
    write_palette(read_palette(str(tmp_path / "s.png")), str(tmp_path / "s.pal"))
    assert p.load(str(tmp_path / "s.pal")) == 1
