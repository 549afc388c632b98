"""Build refuses bad input with one clear error and writes nothing; it
encodes up to the format's limits and no further."""

import json
import os
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

from orvtool.build import BuildOptions, build_from_export, build_from_frames
from orvtool.cli import main
from orvtool.export.exporting import ExportOptions, export_animation
from orvtool.model.errors import OrvToolError
from orvtool_build_helpers import grid, loaded, nearest, read_rgba, write_rgba
from orvtool_samples import PALETTE, walk, write_project


@pytest.fixture
def walk_export(tmp_path):
    source = write_project(tmp_path, "walk.orv", walk())
    out = tmp_path / "out"
    export_animation(str(source), str(out), ExportOptions())
    return source, out


def files(folder):
    return sorted(p.name for p in Path(folder).iterdir())


def refused(tmp_path, folder, match, **options):
    """Builds into tmp_path/built.orv expecting an error; checks that nothing
    was written beside it."""
    before = files(tmp_path)
    with pytest.raises(OrvToolError, match=match):
        build_from_export(str(folder), str(tmp_path / "built.orv"), BuildOptions(**options))
    assert files(tmp_path) == before


def edit_sidecar(folder, change):
    path = Path(folder) / "animation.json"
    doc = json.loads(path.read_text())
    change(doc)
    path.write_text(json.dumps(doc))


@pytest.mark.parametrize(
    "change, match",
    [
        (lambda d: d.pop("speed"), "animation.json: 'speed' is missing"),
        (lambda d: d["frames"][1].pop("x_offset"), "animation.json: frame 1: 'x_offset' is missing"),
        (lambda d: d["frames"][2].pop("image"), "animation.json: frame 2: 'image' is missing"),
        (lambda d: d["palette"].pop("path_field"), "animation.json: the palette: 'path_field' is not hex bytes"),
        (lambda d: d.pop("frames"), "animation.json: 'frames' is missing"),
        (lambda d: d["frames"][0].update(width="5"), "frame 0: 'width' is '5'"),
        (lambda d: d["frames"][0].update(y_offset=40000), "frame 0: 'y_offset' is 40000"),
        (
            lambda d: d["frames"][0].update(explicit_rows={"0": {"runs": []}}),
            "frame 0: 'explicit_rows' row '0': 'block_count' is None",
        ),
        (lambda d: d.update(header={"flag": 1}), "animation.json: the header: 'reserved' is not hex bytes"),
        (lambda d: d.update(version=2), "sidecar version 2"),
    ],
    ids=[
        "speed",
        "x_offset",
        "image",
        "path_field",
        "frames",
        "width_type",
        "offset_range",
        "explicit_rows",
        "reserved",
        "version",
    ],
)
def test_missing_or_bad_sidecar_fields(tmp_path, walk_export, change, match):
    _, out = walk_export
    edit_sidecar(out, change)
    refused(tmp_path, out, match)


def test_sidecar_without_colours_needs_a_palette(tmp_path, walk_export):
    _, out = walk_export
    edit_sidecar(out, lambda d: d["palette"].pop("colors"))
    refused(tmp_path, out, "no 'colors'.*--palette")
    build_from_export(str(out), str(tmp_path / "built.orv"), BuildOptions(palette=str(tmp_path / "pal" / "test.pal")))
    assert loaded(tmp_path / "built.orv")["frames"] == loaded(tmp_path / "walk.orv")["frames"]


def test_index_layer_disagreeing_with_sidecar_and_image(tmp_path, walk_export):
    _, out = walk_export
    Image.new("LA", (4, 3)).save(out / "frame_000.index.png")  # frame 0 is 5 x 3
    refused(tmp_path, out, r"frame_000.index.png: the index layer is 4x3, the sidecar and the frame image say 5x3")


def test_missing_frame_image(tmp_path, walk_export):
    _, out = walk_export
    (out / "frame_002.png").unlink()
    refused(tmp_path, out, "frame_002.png is missing")


def test_missing_index_layer_falls_back_to_colours(tmp_path, walk_export):
    source, out = walk_export
    (out / "frame_000.index.png").unlink()
    build_from_export(str(out), str(tmp_path / "built.orv"))
    assert (tmp_path / "built.orv").read_bytes() == source.read_bytes()  # PALETTE has distinct, opaque colours


def test_exact_refuses_colours_the_palette_lacks(tmp_path, walk_export):
    _, out = walk_export
    png = read_rgba(out / "frame_002.png")
    png[0, 0] = (1, 2, 3, 255)
    png[0, 1] = (1, 2, 3, 255)
    write_rgba(out / "frame_002.png", png)
    palette = tmp_path / "new.pal"
    refused(
        tmp_path,
        out,
        r"--exact: 2 pixels \(frame 2\) have colours.*frame 2 at x 0, y 0 is \(1, 2, 3, 255\)",
        exact=True,
        palette=str(palette),
    )
    assert not palette.exists()
    report = build_from_export(str(out), str(tmp_path / "built.orv"))  # without --exact: the nearest entry
    assert report.details == ["frame 2: 2 pixels in 1 colour took the nearest palette colour"]
    assert "2 pixels in 1 colour took the nearest palette colour, in 1 of 3 frames" in str(report.notes[0])
    expected = nearest(PALETTE, (1, 2, 3, 255))
    assert PALETTE[expected] != (1, 2, 3, 255)
    assert grid(loaded(tmp_path / "built.orv")["frames"][2])[0][:2] == [expected, expected]


def test_exact_accepts_what_the_palette_holds(tmp_path, walk_export):
    source, out = walk_export
    png = read_rgba(out / "frame_002.png")
    png[1, 0] = PALETTE[200]
    write_rgba(out / "frame_002.png", png)
    build_from_export(str(out), str(tmp_path / "built.orv"), BuildOptions(exact=True))
    assert grid(loaded(tmp_path / "built.orv")["frames"][2])[1][0] == 200


def _plain_frames(tmp_path, array, name="f.png"):
    write_rgba(tmp_path / name, array)
    pal = tmp_path / "p.pal"
    if not pal.exists():
        pal.write_bytes(bytes([2, 0, 0, 0, 10, 20, 30, 255, 0, 0, 0, 255]))
    return str(tmp_path / name), str(pal)


def _stripes(width, period=2, height=1):
    """Visible pixels at every `period`-th column from 0."""
    a = np.zeros((height, width, 4), np.uint8)
    a[:, ::period] = (10, 20, 30, 255)
    return a


def test_row_runs_up_to_the_limit(tmp_path):
    # 255 pixels two apart need 255 runs: accepted; 256 are refused
    frame, pal = _plain_frames(tmp_path, _stripes(509))
    build_from_frames([frame], str(tmp_path / "ok.orv"), BuildOptions(palette=pal))
    (row,) = loaded(tmp_path / "ok.orv")["frames"][0]["rows"]
    assert row[0] == 255 and all(off == (0 if i == 0 else 1) and cnt == 1 for i, (off, cnt, _) in enumerate(row[1]))

    frame, _ = _plain_frames(tmp_path, _stripes(511, height=3), "g.png")
    with pytest.raises(OrvToolError, match="frame 0, row 0: its pixels need 256 runs, a row holds at most 255"):
        build_from_frames([frame], str(tmp_path / "bad.orv"), BuildOptions(palette=pal))
    assert not (tmp_path / "bad.orv").exists()


def test_long_gaps_and_runs_are_carried_within_the_limits(tmp_path):
    a = np.zeros((2, 900, 4), np.uint8)
    a[0, 600] = (10, 20, 30, 255)  # a gap of 600: two empty runs of 255, then offset 90
    a[1, 100:700] = (0, 0, 0, 255)  # 600 pixels: runs of 255, 255 and 90
    frame, pal = _plain_frames(tmp_path, a)
    build_from_frames([frame], str(tmp_path / "a.orv"), BuildOptions(palette=pal))
    rows = loaded(tmp_path / "a.orv")["frames"][0]["rows"]
    assert rows[0] == (3, [(255, 0, ()), (255, 0, ()), (90, 1, (0,))])
    assert rows[1] == (3, [(100, 255, (1,) * 255), (0, 255, (1,) * 255), (0, 90, (1,) * 90)])


@pytest.mark.parametrize(
    "height, shadow, match",
    [
        (256, True, "frame 0: a shadow frame of 256 rows, a shadow frame has at most 255"),
        (32768, False, "frame 0: 32768 rows, a frame has at most 32767"),
    ],
)
def test_frames_too_tall_for_their_height_field(tmp_path, height, shadow, match):
    frame, pal = _plain_frames(tmp_path, np.zeros((height, 1, 4), np.uint8))
    with pytest.raises(OrvToolError, match=match):
        build_from_frames([frame], str(tmp_path / "a.orv"), BuildOptions(palette=pal, shadow=shadow))
    assert not (tmp_path / "a.orv").exists()
    frame, _ = _plain_frames(tmp_path, np.zeros((height - 1, 1, 4), np.uint8), "ok.png")
    build_from_frames([frame], str(tmp_path / "ok.orv"), BuildOptions(palette=pal, shadow=shadow))
    got = loaded(tmp_path / "ok.orv")["frames"][0]
    assert (got["height"], got["is_shadow"]) == (height - 1, int(shadow))


def test_frame_after_a_shadow_frame_grown_past_255_rows(tmp_path, walk_export):
    # walk(): frame 1 is a shadow frame; frame 2 would be read with its height modulo 256
    _, out = walk_export
    write_rgba(out / "frame_002.png", np.zeros((256, 6, 4), np.uint8))
    refused(tmp_path, out, "frame 2: 256 rows after a shadow frame")


def test_existing_output_is_kept_without_force(tmp_path, walk_export):
    source, out = walk_export
    target = tmp_path / "built.orv"
    target.write_bytes(b"mine")
    refused(tmp_path, out, "already exists")
    assert target.read_bytes() == b"mine"
    build_from_export(str(out), str(target), BuildOptions(force=True))
    assert target.read_bytes() == source.read_bytes()
    assert not [n for n in files(tmp_path) if n.endswith(".tmp")]


def test_replacing_writes_through_a_link_and_keeps_permissions(tmp_path, walk_export):
    source, out = walk_export
    real = tmp_path / "real.orv"
    real.write_bytes(b"old")
    os.chmod(real, 0o640)
    (tmp_path / "link.orv").symlink_to(real)
    build_from_export(str(out), str(tmp_path / "link.orv"), BuildOptions(force=True))
    assert (tmp_path / "link.orv").is_symlink()
    assert real.read_bytes() == source.read_bytes()
    assert os.stat(real).st_mode & 0o777 == 0o640


def test_plain_frame_options_are_refused_for_an_export_folder(tmp_path, walk_export):
    _, out = walk_export
    refused(tmp_path, out, "--anchor is for plain PNG frames", anchor="center")
    refused(tmp_path, out, "--shadow and --background", shadow=True)


def test_cli_reports_one_line_and_writes_nothing(tmp_path, walk_export, capfd):
    _, out = walk_export
    (out / "frame_001.png").unlink()
    code = main(["build", str(out), "-o", str(tmp_path / "built.orv")])
    _, err = capfd.readouterr()
    assert code == 1
    assert err.strip().splitlines() == [f"orvtool: {out}: {out / 'frame_001.png'} is missing"]
    assert not (tmp_path / "built.orv").exists()

    code = main(["build", str(tmp_path / "nothing.png"), "-o", str(tmp_path / "built.orv")])
    _, err = capfd.readouterr()
    assert code == 2 and len(err.strip().splitlines()) == 1 and "need --palette" in err  # a usage error


def test_write_failure_leaves_no_file(tmp_path, walk_export):
    _, out = walk_export
    blocker = tmp_path / "file"
    blocker.write_bytes(b"")
    with pytest.raises(OrvToolError, match="cannot write"):
        build_from_export(str(out), str(blocker / "built.orv"))  # a file where a folder should be
    assert blocker.read_bytes() == b""
