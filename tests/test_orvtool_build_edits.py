"""Placement kept through edits (resized frames, offsets written by editors)
and colours added to a palette."""

import io
import struct
import zlib

import numpy as np
import pytest
from PIL import Image

from orvtool.cli import main
from orvtool.core.orvfile import Animation, frame_from_indices
from orvtool_build_helpers import grid, loaded, read_rgba, rendered, write_rgba
from orvtool_samples import write_project

COLORS = [(0, 0, 0, 255), (200, 40, 40, 255), (40, 200, 40, 255), (40, 40, 200, 255), (250, 250, 0, 255)]


def figure_animation(frame_sizes=(0, 0)):
    """Two frames of a figure standing on the origin (bottom-centre)."""
    a = frame_from_indices([[1] * 4] * 6, x_offset=-2, y_offset=-6, frame_size=frame_sizes[0])
    b = frame_from_indices([[2] * 6] * 4, x_offset=-3, y_offset=-4, frame_size=frame_sizes[1])
    return Animation(frames=[a, b], speed=50)


def with_offs(png_bytes, x, y):
    """A PNG with an oFFs chunk in pixels after its header, as GIMP writes one."""
    body = b"oFFs" + struct.pack(">iiB", x, y, 0)
    chunk = struct.pack(">I", 9) + body + struct.pack(">I", zlib.crc32(body))
    return png_bytes[:33] + chunk + png_bytes[33:]


def export(path, out):
    assert main(["export", str(path), "-o", str(out)]) == 0
    return out


def build(source, out, *extra):
    return main(["build", str(source), "-o", str(out), *extra])


@pytest.fixture
def exported(tmp_path, capfd):
    def make(anim):
        path = write_project(tmp_path, "a.orv", anim, colors=COLORS)
        out = export(path, tmp_path / "out")
        capfd.readouterr()
        return path, out

    return make


# --- placement -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "anchor,offsets",
    [
        # the 4x6 frame at (-2, -6) becomes 8x10 without new offsets
        (None, (-4, -10)),  # bottom-centre (0, 0) stays
        ("bottom-centre", (-4, -10)),
        ("top-left", (-2, -6)),
        ("centre", (-4, -8)),  # centre (0, -3) stays
    ],
)
def test_resized_frame_keeps_its_anchor_point(tmp_path, capfd, exported, anchor, offsets):
    path, out = exported(figure_animation())
    write_rgba(out / "frame_000.png", np.broadcast_to(np.array(COLORS[3], np.uint8), (10, 8, 4)))
    extra = ["--resize-anchor", anchor] if anchor else []
    assert build(out, tmp_path / "b.orv", *extra) == 0
    frames = loaded(tmp_path / "b.orv")["frames"]
    assert (frames[0]["width"], frames[0]["height"]) == (8, 10)
    assert (frames[0]["x_offset"], frames[0]["y_offset"]) == offsets
    assert frames[0]["frame_size"] == 0  # frame_size was not width x height: kept
    assert frames[1] == loaded(path)["frames"][1]
    _, err = capfd.readouterr()
    assert (
        f"note: 1 of 2 frames changed size and were built from their images alone, each keeping its "
        f"{(anchor or 'bottom-center').replace('centre', 'center')} point: frame 0 at offsets {offsets[0]}, {offsets[1]}"
    ) in err


def test_resized_frame_follows_the_width_times_height_rule(tmp_path, exported):
    path, out = exported(figure_animation(frame_sizes=(24, 24)))
    write_rgba(out / "frame_001.png", np.broadcast_to(np.array(COLORS[1], np.uint8), (3, 7, 4)))
    assert build(out, tmp_path / "b.orv") == 0
    assert [f["frame_size"] for f in loaded(tmp_path / "b.orv")["frames"]] == [24, 21]


def test_offsets_moved_in_an_editor_are_taken(tmp_path, capfd, exported):
    """An editor that keeps layer offsets writes them to oFFs; the frame moves
    there, resized or not. An oFFs that still says what export wrote is no
    edit: the sidecar (edited or not) counts, and a resized frame keeps its
    anchor point."""
    path, out = exported(figure_animation())
    buf = io.BytesIO()
    png = read_rgba(out / "frame_000.png")
    Image.fromarray(np.pad(png, ((0, 2), (0, 0), (0, 0)))).save(buf, format="PNG")  # 4x8, no text chunk
    (out / "frame_000.png").write_bytes(with_offs(buf.getvalue(), 5, -20))
    sidecar = (out / "animation.json").read_text().replace('"x_offset": -3', '"x_offset": 9')
    (out / "animation.json").write_text(sidecar)  # frame 1 moved in the sidecar; its PNG says -3 as exported
    assert build(out, tmp_path / "b.orv", "--verbose") == 0
    frames = loaded(tmp_path / "b.orv")["frames"]
    assert [(f["x_offset"], f["y_offset"]) for f in frames] == [(5, -20), (9, -4)]
    _, err = capfd.readouterr()
    assert "note: 1 frame takes the offsets of its image (oFFs), not the record's: frame 0" in err
    assert "b.orv: frame 0: offsets 5, -20 from frame_000.png (the record has -2, -6)" in err  # the detail


# --- colours added to a palette -------------------------------------------------------

NEW_BLUE = (10, 20, 230, 255)
NEW_RED = (230, 10, 10, 255)


def recolour(out):
    png = read_rgba(out / "frame_000.png")
    png[0, :2] = NEW_BLUE
    png[1, :] = NEW_RED
    write_rgba(out / "frame_000.png", png)


def test_without_add_colors_the_note_says_how_far_pixels_moved(tmp_path, capfd, exported):
    _, out = exported(figure_animation())
    recolour(out)
    assert build(out, tmp_path / "b.orv") == 0
    _, err = capfd.readouterr()
    # blue goes to entry 3 (40, 40, 200): sqrt(30^2 + 20^2 + 30^2) = 46.9; red to entry 1: sqrt(30^2+30^2+30^2) = 52.0
    assert "6 pixels in 2 colours took the nearest palette colour, in 1 of 2 frames, moved by at most 52.0" in err
    assert "--add-colors puts missing colours into unused palette entries" in err


def test_palette_written_by_the_build_grows(tmp_path, capfd, exported):
    _, out = exported(figure_animation())
    recolour(out)
    new_pal = tmp_path / "pal" / "new.pal"
    assert build(out, tmp_path / "b.orv", "--palette", str(new_pal), "--add-colors") == 0
    pal = new_pal.read_bytes()
    assert struct.unpack("<H", pal[:2])[0] == 7
    colors = [tuple(pal[4 + 4 * i : 8 + 4 * i]) for i in range(7)]
    assert colors == COLORS + [NEW_BLUE, NEW_RED]  # appended in colour order
    frame = grid(loaded(tmp_path / "b.orv")["frames"][0])
    assert frame[0][:2] == [5, 5] and frame[1] == [6] * 4
    _, err = capfd.readouterr()
    assert f"added colour {NEW_BLUE} to palette {new_pal} as entry 5" in err
    assert f"added colour {NEW_RED} to palette {new_pal} as entry 6" in err


def test_shared_palette_grows_only_into_entries_no_animation_uses(tmp_path, capfd):
    """Three animations share a full palette of 256 entries. The others draw
    with entries 0..200 and 250; the rebuilt one's own old file is left out."""
    full = [(i, i, 255 - i, 255) for i in range(256)]
    write_project(tmp_path, "a.orv", Animation(frames=[frame_from_indices([[1, 2, 3, 7]])]), colors=full)
    other = write_project(
        tmp_path, "units/b.orv", Animation(frames=[frame_from_indices([list(range(201))])]), colors=full
    )
    third = write_project(tmp_path, "units/c.orv", Animation(frames=[frame_from_indices([[250, 1]])]), colors=full)
    before = [rendered(p) for p in (other, third)]
    assert export(tmp_path / "a.orv", tmp_path / "out")
    png = read_rgba(tmp_path / "out" / "frame_000.png")
    png[0, 0] = NEW_BLUE
    png[0, 1] = NEW_RED
    write_rgba(tmp_path / "out" / "frame_000.png", png)
    pal = tmp_path / "pal" / "test.pal"
    code = build(tmp_path / "out", tmp_path / "a.orv", "-f", "--add-colors", "--project-root", str(tmp_path))
    assert code == 0
    data = pal.read_bytes()
    grown = [tuple(data[4 + 4 * i : 8 + 4 * i]) for i in range(256)]
    # free: 201..255 except 250 and the animation's own 3 and 7 (below 201 anyway)
    assert grown[201] == NEW_BLUE and grown[202] == NEW_RED
    assert grown[:201] == full[:201] and grown[203:] == full[203:]
    assert grid(loaded(tmp_path / "a.orv")["frames"][0]) == [[201, 202, 3, 7]]
    for p, image in zip((other, third), before, strict=True):
        assert np.array_equal(rendered(p)[0], image[0])
    _, err = capfd.readouterr()
    assert "2 other animations below" in err


def test_shared_palette_is_not_grown_without_a_project_root_or_free_entries(tmp_path, capfd):
    full = [(i, i, 255 - i, 255) for i in range(256)]
    write_project(tmp_path, "a.orv", Animation(frames=[frame_from_indices([[1, 2]])]), colors=full)
    write_project(tmp_path, "b.orv", Animation(frames=[frame_from_indices([list(range(3, 256))])]), colors=full)
    export(tmp_path / "a.orv", tmp_path / "out")
    png = read_rgba(tmp_path / "out" / "frame_000.png")
    png[0, 0] = NEW_BLUE
    write_rgba(tmp_path / "out" / "frame_000.png", png)
    pal = tmp_path / "pal" / "test.pal"
    palette_before = pal.read_bytes()
    capfd.readouterr()

    assert build(tmp_path / "out", tmp_path / "new.orv", "--add-colors", "--palette", str(pal)) == 1
    _, err = capfd.readouterr()
    assert "is not written by this build" in err and "--project-root" in err

    # with the root: entries 0 (no one) is free; a second new colour is not
    png[0, 1] = NEW_RED
    write_rgba(tmp_path / "out" / "frame_000.png", png)
    code = build(
        tmp_path / "out", tmp_path / "new.orv", "--add-colors", "--palette", str(pal), "--project-root", str(tmp_path)
    )
    assert code == 1
    _, err = capfd.readouterr()
    assert "2 colours to add, the palette has 1 entry that nothing uses" in err
    assert pal.read_bytes() == palette_before
    assert not (tmp_path / "new.orv").exists()


def test_refusal_in_an_export_folder_names_the_image_frame_and_row(tmp_path, capfd, exported):
    _, out = exported(figure_animation())
    png = np.zeros((2, 600, 4), np.uint8)
    png[1, ::2] = COLORS[2]  # 300 runs in row 1
    write_rgba(out / "frame_001.png", png)
    assert build(out, tmp_path / "b.orv") == 1
    _, err = capfd.readouterr()
    assert (
        err.strip()
        == f"orvtool: {out}: frame_001.png: frame 1, row 1: its pixels need 300 runs, a row holds at most 255"
    )
    assert not (tmp_path / "b.orv").exists()
