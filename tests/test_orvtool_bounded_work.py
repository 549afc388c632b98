"""orvtool's work bounded by what a file holds: the frame records one file
may give, images sized against the pixel budget before anything is made,
index sheets sliced per frame, palette files refused as soon as they pass
what they are read for, and outputs that a link leads out of their folder."""

import json
import os
import tracemalloc

import numpy as np
import pytest

from conftest import run_python
from orvtool import limits
from orvtool.cli import main
from orvtool.formats import palettes
from orvtool.formats.sheets import read_sheet
from orvtool.orvfile import Animation, Frame, Row, Run, encode_palette
from orvtool_build_helpers import png_header, write_rgba
from orvtool_samples import walk, write_project

GIB = 1024  # MiB: what a case under a megabyte may take, as an address-space limit


def run(capfd, *argv):
    code = main([str(a) for a in argv])
    out, err = capfd.readouterr()
    return code, out, err


def one_line(err, *words):
    lines = err.strip().splitlines()
    assert len(lines) == 1 and "Traceback" not in err, err
    for word in words:
        assert str(word) in lines[0], (word, lines[0])
    return lines[0]


def cli_in_child(tmp_path, *argv, limit_mb=GIB):
    """orvtool in a fresh interpreter under an address-space limit: a case
    that regressed ends there, not in the test process."""
    code = f"""
import os, sys
os.chdir({str(tmp_path)!r})
from orvtool.cli import main
sys.exit(main({[str(a) for a in argv]!r}))
"""
    return run_python(code, limit_mb=limit_mb, timeout=300)


def zeros_file(path, size, count=0x7FFFFFFF, form="plain"):
    """A head announcing `count` frames (in the plain form, or with the
    header whose flag is 0 or 1 for "header" and "background"), then zeros
    up to `size` bytes (sparse): every 14 bytes an empty frame record."""
    header = {"plain": b"", "header": b"FVRO\0\0\0\0\0", "background": b"FVRO\0\0\0\0\x01"}[form]
    with open(path, "wb") as fh:
        fh.write(header + (0).to_bytes(4, "little") + (1).to_bytes(4, "little") + b"\0" + count.to_bytes(4, "little"))
        fh.truncate(size)


@pytest.mark.parametrize(
    "form, count, extra, expected",
    [
        ("plain", 0x7FFFFFFF, 0, 11),  # as many as the bytes hold
        ("plain", 0x7FFFFFFF, 1, 12),  # a record cut short is begun too
        ("plain", 5, 0, 5),  # as many as the head announces; the rest is trailing bytes
        ("plain", 0xFFFFFFFF, 0, 0),  # -1 as a signed count: none
        ("header", 0x7FFFFFFF, 0, 11),  # the header with the flag 0: no background frame
        ("background", 0x7FFFFFFE, 0, 11),  # the background frame adds one
        ("background", 0xFFFFFFFF, 0, 0),  # ... and wraps the count to 0
        ("background", 0x7FFFFFFF, 0, 0),  # ... or to the most negative count
    ],
)
def test_frame_records_are_counted_from_the_head_and_the_size(tmp_path, monkeypatch, form, count, extra, expected):
    monkeypatch.setattr(limits, "FRAME_RECORDS", 4)  # past it, the count is exact
    path = tmp_path / "a.orv"
    head = 13 if form == "plain" else 22
    zeros_file(path, head + 14 * 11 + extra, count, form)
    assert limits.frame_records(str(path)) == expected
    assert limits.frame_records(str(tmp_path)) == 0  # a folder: the loader reads no frame of it
    zeros_file(path, head + 14 * 4, count, form)
    assert limits.frame_records(str(path)) <= 4  # within the budget, found from the size alone


def test_files_past_the_frame_record_budget_are_refused_before_reading(tmp_path):
    # 100 MiB of zeros on 4 KiB of disk: 7.5 million empty frame records.
    zeros_file(tmp_path / "zeros.orv", 100 << 20)
    for argv in (["info", "zeros.orv"], ["info", "zeros.orv", "--json"], ["export", "zeros.orv", "-o", "out", "--gif"]):
        proc = cli_in_child(tmp_path, *argv)
        assert proc.returncode == 1, proc.stderr
        one_line(proc.stderr, "zeros.orv", "7,489,828 frame records", f"{limits.FRAME_RECORDS:,}")
    assert not (tmp_path / "out").exists()


def test_the_viewer_shows_a_file_past_the_budget_as_broken(tmp_path, monkeypatch):
    from orvtool.view.catalog import Catalog

    monkeypatch.setattr(limits, "FRAME_RECORDS", 100)
    zeros_file(tmp_path / "zeros.orv", 13 + 14 * 101)
    shown = Catalog(str(tmp_path)).get("zeros.orv")
    assert shown is not None and "101 frame records, more than the 100" in shown.doc["error"]


def corners(tmp_path, d, background=False):
    """Two 1 x 1 frames at (-d, -d) and (d - 1, d - 1): a 54-byte file
    whose frames' canvas is 2d x 2d."""
    pixel = Row([Run(0, b"\x01")])
    frames = [
        Frame(width=1, x_offset=-d, y_offset=-d, rows=[pixel]),
        Frame(width=1, x_offset=d - 1, y_offset=d - 1, rows=[pixel]),
    ]
    return write_project(tmp_path, "c.orv", Animation(frames=frames, has_background=background))


@pytest.mark.parametrize(
    "d, options, what",
    [
        (8192, ["--gif"], "preview's 2 pages of 16384x16384"),
        (8192, ["--apng"], "preview's 2 pages of 16384x16384"),
        (4096, ["--gif", "--scale", "2"], "16384x16384 pixels (the frames' canvas at scale 2,"),
        (8192, ["--sheet", "--sheet-layout", "rows"], "the sheet: 32769x16384"),
        (8192, ["--sheet", "--sheet-layout", "columns", "--only", "sheet"], "the sheet: 32769x16384"),
        (32768, ["--gif"], "65536x65536"),
    ],
)
def test_images_past_the_pixel_budget_are_refused_before_anything_is_written(tmp_path, d, options, what):
    corners(tmp_path, d)
    proc = cli_in_child(tmp_path, "export", "c.orv", "-o", "out", *options)
    assert proc.returncode == 1, proc.stderr
    one_line(proc.stderr, "c.orv", what, "MiB of images orvtool holds at once")
    assert not (tmp_path / "out").exists()  # nothing partial: not even the frames


@pytest.mark.parametrize("frames, refused", [(60_000, False), (70_000, True)])
def test_every_frame_of_a_preview_or_sheet_counts_beside_its_pixels(frames, refused):
    # Tens of thousands of empty frames make as many pages and sheet entries,
    # each of which costs kilobytes though it holds no pixel.
    from orvtool import preview
    from orvtool.errors import OrvToolError
    from orvtool.formats.sheets import check_sheet_size

    sizes, offsets = [(1, 1)] + [(0, 0)] * (frames - 1), [(0, 0)] * frames
    pages = preview.make_pages(lambda i: np.zeros((1, 1, 4), np.uint8), offsets, sizes)

    def sheet() -> None:
        check_sheet_size(sizes, offsets, indices=True)

    for check in (pages.check, sheet):
        if refused:
            with pytest.raises(OrvToolError, match="70000 (pages|frames)"):
                check()
        else:
            check()


def test_images_within_the_budget_are_made(tmp_path, capfd):
    # A canvas of 3000 x 3000 (9 million pixels) takes a preview page well within it; a packed sheet trims.
    corners(tmp_path, 1500, background=True)
    code, _, err = run(capfd, "export", tmp_path / "c.orv", "-o", tmp_path / "out", "--gif", "--sheet")
    assert code == 0, err
    assert {"preview.gif", "sheet.png"} <= set(os.listdir(tmp_path / "out"))


def test_index_sheets_are_sliced_per_frame_not_copied(tmp_path):
    side, count = 2048, 20
    atlas = np.zeros((side, side, 4), np.uint8)
    atlas[0, :count] = (1, 2, 3, 255)
    write_rgba(tmp_path / "sheet.png", atlas)
    index = np.zeros((side, side, 2), np.uint8)
    index[0, :count] = (7, 255)
    from PIL import Image

    Image.fromarray(index, "LA").save(tmp_path / "sheet.index.png")
    frames = {f"f{i}": {"frame": {"x": i, "y": 0, "w": 1, "h": 1}} for i in range(count)}
    doc = {"frames": frames, "meta": {"image": "sheet.png", "orvtoolIndices": "sheet.index.png"}}
    (tmp_path / "sheet.json").write_text(json.dumps(doc))
    tracemalloc.start()
    try:
        sheet = read_sheet(str(tmp_path / "sheet.json"))
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    layers = [f.layer for f in sheet.frames if f.layer is not None]
    assert [(int(index[0, 0]), bool(covered[0, 0])) for index, covered in layers] == [(7, True)] * count
    # The atlas (16 MiB), the index atlas (8 MiB) and their decoding; a copy
    # of the index atlas per frame kept alive by its 1 x 1 layer would take
    # 20 x 16 MiB.
    assert peak < 96 << 20, peak >> 20


def test_swatches_past_their_largest_cell_are_refused_before_decoding(tmp_path, capfd):
    (tmp_path / "big.png").write_bytes(png_header(16000, 16000))
    code, _, err = run(capfd, "palette", tmp_path / "big.png", "-o", tmp_path / "o.gpl")
    assert code == 1
    one_line(err, "big.png", "16000x16000", "cells of 1000 pixels", "at most 256")


def test_swatch_cells_are_checked_a_row_at_a_time(tmp_path):
    cells = np.zeros((16, 16, 4), np.uint8)
    cells[..., 3] = 255
    cells[:, :, 0] = np.arange(256, dtype=np.uint8).reshape(16, 16)
    swatch = cells.repeat(3, axis=0).repeat(3, axis=1)
    write_rgba(tmp_path / "ok.png", swatch)
    assert palettes.read_png(str(tmp_path / "ok.png")).colors[37] == (37, 0, 0, 255)
    swatch[3 * 5 + 2, 3 * 9 + 1] = (1, 1, 1, 1)  # one pixel of the cell at column 9, row 5
    write_rgba(tmp_path / "uneven.png", swatch)
    with pytest.raises(Exception, match="column 9, row 5"):
        palettes.read_png(str(tmp_path / "uneven.png"))


def gpl(*lines):
    return "GIMP Palette\nName: t\n#\n" + "".join(line + "\n" for line in lines)


@pytest.mark.parametrize(
    "line",
    ["\u0663 \u0664 \u0665", "1_0 2 3", "\uff11 2 3", "1 2", "1 2 3e0"],
    ids=["arabic", "underscore", "fullwidth", "two", "float"],
)
def test_gpl_numbers_are_ascii_digits(tmp_path, capfd, line):
    (tmp_path / "p.gpl").write_text(gpl("0 0 0", line), encoding="utf-8")
    code, _, err = run(capfd, "palette", tmp_path / "p.gpl", "-o", tmp_path / "o.json")
    assert code == 1
    one_line(err, "p.gpl", "line 5")


@pytest.mark.parametrize("fmt", ["gpl", "jasc"])
def test_long_palettes_are_refused_at_their_257th_colour_for_what_holds_256(tmp_path, capfd, fmt):
    colors = [(i % 256, i // 256, 0, 255) for i in range(300)]
    pal = palettes.Palette(colors)
    data = palettes.encode_as(pal, fmt)
    if fmt == "gpl":  # a broken line after the 257th colour: never reached
        data += b"not a colour\n"
    src = tmp_path / ("long.pal" if fmt == "jasc" else f"long.{fmt}")  # JASC-PAL is told by its content
    src.write_bytes(data)
    for out in ("o.pal", "o.act", "o.png"):
        code, _, err = run(capfd, "palette", src, "-o", tmp_path / out)
        assert code == 1
        one_line(err, "more than 256 colours")
    frame = tmp_path / "frame.png"
    write_rgba(frame, np.full((1, 1, 4), 255, np.uint8))
    code, _, err = run(capfd, "build", frame, "-o", tmp_path / "b.orv", "--palette", src)
    assert code == 1
    one_line(err, "more than 256 colours")
    if fmt == "jasc":  # any number of colours where the format holds them
        code, _, err = run(capfd, "palette", src, "-o", tmp_path / "o.json")
        assert code == 0, err
        assert len(json.loads((tmp_path / "o.json").read_text())["colors"]) == 300


@pytest.fixture
def outside(tmp_path):
    target = tmp_path / "elsewhere" / "victim"
    target.parent.mkdir()
    target.write_bytes(b"keep")
    return target


def test_exports_through_a_link_out_of_the_output_folder(tmp_path, capfd, outside):
    anim = write_project(tmp_path, "a.orv", walk())
    out = tmp_path / "out"
    out.mkdir()
    (out / "preview.gif").symlink_to(outside)
    code, _, err = run(capfd, "export", anim, "-o", out, "--gif", "--only", "gif")
    assert code == 1 and outside.read_bytes() == b"keep"
    one_line(err, "preview.gif", "symbolic link out of the output folder", str(outside), "--force")
    code, out_text, err = run(capfd, "export", anim, "-o", out, "--gif", "--only", "gif", "--force")
    assert code == 0 and outside.read_bytes()[:6] == b"GIF89a"
    assert "written through a symbolic link out of the output folder" in err and str(outside) in err
    # A folder below the output that is a link out of it: its files lead out too.
    (tmp_path / "tree" / "sub").mkdir(parents=True)
    write_project(tmp_path / "tree" / "sub", "b.orv", walk())
    (tmp_path / "out2").mkdir()
    (tmp_path / "out2" / "sub").symlink_to(outside.parent)
    code, _, err = run(capfd, "export", tmp_path / "tree", "-o", tmp_path / "out2")
    assert code == 1 and "symbolic link out of the output folder" in err
    assert sorted(os.listdir(outside.parent)) == ["victim"]
    # A link inside the output folder is no concern.
    (out / "inner").write_bytes(b"")
    (out / "sheet.png").symlink_to(out / "inner")
    code, _, err = run(capfd, "export", anim, "-o", out, "--sheet", "--only", "sheet", "--force")
    assert code == 0 and "symbolic link" not in err


@pytest.mark.parametrize("command", ["palette", "build"])
def test_single_outputs_through_a_link_out_of_their_folder(tmp_path, capfd, outside, command):
    (tmp_path / "bw.pal").write_bytes(encode_palette([(0, 0, 0, 255), (255, 255, 255, 255)]))
    frame = tmp_path / "frame.png"
    write_rgba(frame, np.full((1, 1, 4), 255, np.uint8))
    (tmp_path / "out").mkdir()
    link = tmp_path / "out" / ("o.gpl" if command == "palette" else "o.orv")
    link.symlink_to(outside)
    source = [tmp_path / "bw.pal"] if command == "palette" else [frame, "--palette", tmp_path / "bw.pal"]
    code, _, err = run(capfd, command, *source, "-o", link)
    assert code == 1 and outside.read_bytes() == b"keep"
    one_line(err, "symbolic link out of the output folder")
    code, _, err = run(capfd, command, *source, "-o", link, "--force")
    assert code == 0 and outside.read_bytes() != b"keep"
    assert "written through a symbolic link out of the output folder" in err
