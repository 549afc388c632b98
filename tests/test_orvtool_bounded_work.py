"""orvtool's work bounded by what a file holds: frame records, images sized
before they are made, index sheets, palette files, links out of the output."""

import json
import tracemalloc

import numpy as np
import pytest
from PIL import Image

from conftest import run_python
from orvtool.cli import main
from orvtool.formats import palettes
from orvtool.formats.sheets import read_sheet
from orvtool.orvfile import Animation, Frame, Row, Run
from orvtool_build_helpers import png_header, write_rgba
from orvtool_samples import walk, write_project


def cli(tmp_path, *argv):
    """orvtool in a child under a 1 GiB address-space limit: a case that
    regressed ends there. Returns (status, its one line of errors)."""
    code = f"import os, sys\nos.chdir({str(tmp_path)!r})\nfrom orvtool.cli import main\nsys.exit(main({list(map(str, argv))!r}))"
    proc = run_python(code, limit_mb=1024, timeout=300)
    lines = proc.stderr.strip().splitlines()
    assert len(lines) == 1 and "Traceback" not in proc.stderr, proc.stderr
    return proc.returncode, lines[0]


TOO_MANY = "its head and size allow 7,489,828 frame records, more than the 2,097,152 orvtool reads from one file"

# The routes of a load that is refused, each printing what it was told: a
# refusal raised (its category and detail) or the viewer's error. The file is
# refused by the core on its one open, or from the bytes given in memory.
REFUSING_ROUTES = {
    "inspect": "import orvtool\norvtool.inspect('zeros.orv')",
    "pillow": "from PIL import Image\nimport orvtool.pillow\norvtool.pillow.register()\nImage.open('zeros.orv')",
    "pillow stream": "import io, orvtool.pillow\n"
    "orvtool.pillow.open(io.BytesIO(open('zeros.orv', 'rb').read()), palette='a.pal')",
    "frames from memory": "from orvtool import native\n"
    "native.open_frames('zeros.orv', data=open('zeros.orv', 'rb').read())",
    "viewer": "from orvtool.view.catalog import Catalog\nprint('viewer:', Catalog('.').get('zeros.orv').error)",
}


@pytest.mark.parametrize("route", ["info", "export", *REFUSING_ROUTES])
def test_files_past_the_frame_record_budget_are_refused_before_reading(tmp_path, route):
    with open(tmp_path / "zeros.orv", "wb") as fh:  # 100 MiB of empty frame records, 2^31 - 1 announced
        fh.write(b"\0\0\0\0\x01\0\0\0\0\xff\xff\xff\x7f")
        fh.truncate(100 << 20)
    if route in ("info", "export"):
        argv = ["info", "zeros.orv", "--json"] if route == "info" else ["export", "zeros.orv", "-o", "out", "--gif"]
        assert cli(tmp_path, *argv) == (1, f"orvtool: zeros.orv: {TOO_MANY}")
        assert not (tmp_path / "out").exists()
        return
    palettes.write_palette(palettes.Palette([(1, 2, 3, 255)] * 256), str(tmp_path / "a.pal"))
    code = (
        f"import os\nos.chdir({str(tmp_path)!r})\ntry:\n"
        + "".join(f"    {line}\n" for line in REFUSING_ROUTES[route].splitlines())
        + "except Exception as exc:\n"
        + "    print(getattr(exc, 'category', type(exc).__name__) + ': ' + str(getattr(exc, 'detail', exc)))\n"
    )
    proc = run_python(code, limit_mb=1024, timeout=300)
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    if route.startswith("pillow"):  # raised as the plugin raises a file it cannot read
        assert proc.stdout.endswith(f": {TOO_MANY}\n")
    else:
        assert proc.stdout == f"{'viewer' if route == 'viewer' else 'too_many_frames'}: {TOO_MANY}\n"


@pytest.mark.parametrize(
    "d, options, what",
    [
        (8192, ["--gif"], "2 pages of 16384x16384"),
        (8192, ["--apng"], "2 pages of 16384x16384"),
        (4096, ["--gif", "--scale", "2"], "16384x16384 pixels (the frames' canvas at scale 2,"),
        (8192, ["--sheet", "--sheet-layout", "rows"], "the sheet: 32769x16384"),
    ],
)
def test_images_past_the_pixel_budget_are_refused_before_anything_is_written(tmp_path, d, options, what):
    # Two 1 x 1 frames far apart: a 54-byte file.
    dot = Row([Run(0, b"\x01")])
    frames = [
        Frame(width=1, x_offset=-d, y_offset=-d, rows=[dot]),
        Frame(width=1, x_offset=d - 1, y_offset=d - 1, rows=[dot]),
    ]
    write_project(tmp_path, "c.orv", Animation(frames=frames))
    code, line = cli(tmp_path, "export", "c.orv", "-o", "out", *options)
    assert code == 1 and what in line and "MiB of images orvtool holds at once" in line
    assert not (tmp_path / "out").exists()  # nothing partial, not even the frames


def test_index_sheets_are_sliced_per_frame_not_copied(tmp_path):
    side, count = 2048, 20
    write_rgba(tmp_path / "sheet.png", np.zeros((side, side, 4), np.uint8))
    index = np.zeros((side, side, 2), np.uint8)
    index[0, :count] = (7, 255)
    Image.fromarray(index, "LA").save(tmp_path / "sheet.index.png")
    frames = {f"f{i}": {"frame": {"x": i, "y": 0, "w": 1, "h": 1}} for i in range(count)}
    (tmp_path / "s.json").write_text(
        json.dumps({"frames": frames, "meta": {"image": "sheet.png", "orvtoolIndices": "sheet.index.png"}})
    )
    tracemalloc.start()
    try:
        layers = [f.layer for f in read_sheet(str(tmp_path / "s.json")).frames if f.layer is not None]
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert [(int(i[0, 0]), bool(c[0, 0])) for i, c in layers] == [(7, True)] * count
    assert peak < 96 << 20, peak >> 20  # an index atlas copied per frame, kept by its 1 x 1 layer: 20 x 16 MiB


@pytest.mark.parametrize(
    "name, data, out, words",
    [
        ("big.png", png_header(16000, 16000), "o.gpl", ["16000x16000", "cells of 1000 pixels"]),
        ("p.gpl", "GIMP Palette\n0 0 0\n\u0663 \u0664 \u0665\n", "o.json", ["line 3"]),
        ("p.gpl", "GIMP Palette\n0 0 0\n1_0 2 3\n", "o.json", ["line 3"]),
        ("p.gpl", "GIMP Palette\n" + "1 2 3\n" * 257 + "never read\n", "o.pal", ["more than 256 colours"]),
        ("p.pal", "JASC-PAL\r\n0100\r\n300\r\n" + "1 2 3\r\n" * 300, "o.act", ["more than 256 colours"]),
    ],
)
def test_palette_files_are_refused_as_soon_as_they_pass_their_bounds(tmp_path, capfd, name, data, out, words):
    (tmp_path / name).write_bytes(data if isinstance(data, bytes) else data.encode("utf-8"))
    assert main(["palette", str(tmp_path / name), "-o", str(tmp_path / out)]) == 1
    line = capfd.readouterr().err.strip()
    assert "\n" not in line and all(w in line for w in words), line


def test_outputs_through_a_link_out_of_the_output_folder(tmp_path, capfd):
    victim = tmp_path / "elsewhere" / "victim"
    victim.parent.mkdir()
    victim.write_bytes(b"keep")
    anim = write_project(tmp_path, "a.orv", walk())
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "preview.gif").symlink_to(victim)
    argv = ["export", str(anim), "-o", str(tmp_path / "out"), "--gif", "--only", "gif"]
    assert main(argv) == 1 and victim.read_bytes() == b"keep"
    assert f"symbolic link out of the output folder, to {victim}; nothing written" in capfd.readouterr().err
    assert main([*argv, "--force"]) == 0 and victim.read_bytes()[:6] == b"GIF89a"
    assert f"written through a symbolic link out of the output folder, to {victim}" in capfd.readouterr().err
    (tmp_path / "out" / "o.pal").symlink_to(victim)  # a single output: its own folder
    assert main(["palette", str(tmp_path / "pal" / "test.pal"), "-o", str(tmp_path / "out" / "o.pal")]) == 1
    assert "symbolic link out of the output folder" in capfd.readouterr().err


def test_swatch_cells_are_checked_a_row_at_a_time(tmp_path):
    swatch = np.arange(256 * 4, dtype=np.uint8).reshape(16, 16, 4).repeat(3, axis=0).repeat(3, axis=1)
    swatch[..., 3] = 255
    swatch[3 * 5 + 2, 3 * 9 + 1] = (1, 1, 1, 1)  # one pixel of the cell at column 9, row 5
    write_rgba(tmp_path / "uneven.png", swatch)
    with pytest.raises(Exception, match="column 9, row 5"):
        palettes.read_png(str(tmp_path / "uneven.png"))
