"""orvtool's work bounded by what a file holds: frame records, images sized
before they are made, index sheets, palette files, links out of the output."""

import json
import tracemalloc
from typing import Dict

import numpy as np
import pytest
from PIL import Image

from conftest import run_python
from hostile import SANITIZED
from orvtool.cli import main
from orvtool.core.orvfile import Animation, Frame, Row, Run, encode_palette
from orvtool.formats import palettes
from orvtool.formats.sheets import read_sheet
from orvtool_build_helpers import blank_png, png_header, write_rgba
from orvtool_samples import walk, write_project


def cli(tmp_path, *argv):
    """orvtool in a child under a 1 GiB address-space limit: a case that
    regressed ends there. Returns (status, its one line of errors)."""
    code = f"import os, sys\nos.chdir({str(tmp_path)!r})\nfrom orvtool.cli import main\nsys.exit(main({list(map(str, argv))!r}))"
    proc = run_python(code, limit_mb=1024, timeout=300)
    lines = proc.stderr.strip().splitlines()
    assert len(lines) == 1 and "Traceback" not in proc.stderr, proc.stderr
    return proc.returncode, lines[0]


@pytest.fixture
def pal_file(tmp_path):
    (tmp_path / "bw.pal").write_bytes(encode_palette([(0, 0, 0, 255), (255, 255, 255, 255)]))
    return tmp_path / "bw.pal"


def build_bounded(tmp_path, *argv):
    """orvtool build -q in a child under a 1 GiB address-space limit (none
    under the sanitizer, whose shadow memory and quarantine are not the
    build's), with a report: (status, its lines of errors, the categories of
    the report)."""
    report = tmp_path / "report.jsonl"
    args = ["build", *map(str, argv), "-q", "--report", str(report)]
    code = f"import os, sys\nos.chdir({str(tmp_path)!r})\nfrom orvtool.cli import main\nsys.exit(main({args!r}))"
    proc = run_python(code, limit_mb=None if SANITIZED else 1024, timeout=600)
    assert "Traceback" not in proc.stderr and "internal error" not in proc.stderr, proc.stderr
    lines = report.read_text(encoding="utf-8").splitlines() if report.exists() else []
    found = {f["category"] for line in lines for f in json.loads(line)["findings"]}
    return proc.returncode, proc.stderr.strip().splitlines(), found


def one_frame_sheet(folder, frames, image="a.png", **doc):
    folder.mkdir()
    entries = [{"filename": f"f{i}", "frame": {"x": i, "y": 0, "w": 1, "h": 1}} for i in range(frames)]
    (folder / "s.json").write_text(
        json.dumps({"frames": entries, "meta": {"image": image, **doc.pop("meta", {})}, **doc})
    )
    return folder / "s.json"


def repeated_frame(t):
    """A TexturePacker animation naming one 256 x 256 frame 100,000 times."""
    t.mkdir()
    write_rgba(t / "a.png", np.full((256, 256, 4), 255, np.uint8))
    doc = {"frames": {"f": {"frame": {"x": 0, "y": 0, "w": 256, "h": 256}}}, "animations": {"walk": ["f"] * 100_000}}
    (t / "s.json").write_text(json.dumps({**doc, "meta": {"image": "a.png"}}))
    return t / "s.json"


def tagged(frames, tags, direction):
    def make(t):
        sheet = one_frame_sheet(
            t,
            frames,
            meta={
                "frameTags": [
                    {"name": f"t{k}", "from": 0, "to": frames - 1, "direction": direction} for k in range(tags)
                ]
            },
        )
        write_rgba(t / "a.png", np.full((1, frames, 4), 255, np.uint8))
        return sheet

    return make


def huge_atlas(t):
    """A 16384 x 16383 1-bit atlas (about 150 KB) with one 1 x 1 frame."""
    sheet = one_frame_sheet(t, 1)
    blank_png(t / "a.png", 16384, 16383, "1")
    return sheet


def announced_atlas(t):
    """An atlas whose header announces 16384 x 16383 RGBA pixels."""
    sheet = one_frame_sheet(t, 1)
    (t / "a.png").write_bytes(png_header(16384, 16383))
    return sheet


def index_atlas(t):
    """An 8192 x 8192 RGBA atlas and index sheet with 20 1 x 1 frames."""
    sheet = one_frame_sheet(t, 20, meta={"orvtoolIndices": "a.index.png"})
    blank_png(t / "a.png", 8192, 8192, "RGBA")
    blank_png(t / "a.index.png", 8192, 8192, "LA")
    return sheet


@pytest.mark.parametrize(
    "make, options, refused",
    [
        (repeated_frame, ["--tag", "walk"], ["s.json", "100,000 frames as planned"]),
        (tagged(10_000, 10_000, "pingpong"), [], None),
        (tagged(10_000, 10_000, "pingpong"), ["--each-tag"], ["s.json", "10,000 tags' 199,980,000 frames"]),
        (tagged(10_000, 10_000, "pingpong"), ["--tag", "t9999"], None),
        (huge_atlas, [], None),
        (announced_atlas, [], ["a.png", "16384x16383 pixels, decoded (4 bytes a pixel)"]),
        (index_atlas, [], None),
        (tagged(200, 200, "forward"), ["--each-tag"], None),
    ],
    ids=[
        "repeat",
        "pingpong",
        "pingpong-each-tag",
        "pingpong-tag",
        "huge-atlas",
        "rgba-atlas",
        "index-atlas",
        "each-tag",
    ],
)
def test_hostile_builds_are_refused_in_one_line_or_built_within_the_bound(tmp_path, pal_file, make, options, refused):
    sheet = make(tmp_path / "in")
    out = tmp_path / ("tags" if "--each-tag" in options else "out.orv")
    code, lines, found = build_bounded(tmp_path, sheet, "-o", out, "--palette", pal_file, *options)
    if refused is None:
        assert (code, lines) == (0, []), lines
        assert out.is_dir() or out.is_file()
        return
    assert code == 1 and found == {"over_budget"}, (lines, found)
    assert len(lines) == 1 and all(w in lines[0] for w in [*refused, "more than the 1024 MiB"]), lines
    assert not out.exists() or not any(out.iterdir())  # nothing written


def test_each_tag_reads_its_sheet_once(tmp_path, monkeypatch, pal_file):
    from orvtool.formats import sheets

    sheet = tagged(50, 50, "pingpong")(tmp_path / "in")
    reads = []
    read_sheet = sheets.read_sheet

    def counted(*args, **kwargs):
        reads.append(args)
        return read_sheet(*args, **kwargs)

    monkeypatch.setattr(sheets, "read_sheet", counted)
    argv = ["build", str(sheet), "-o", str(tmp_path / "tags"), "--palette", str(pal_file), "--each-tag", "-q"]
    assert main(argv) == 0
    assert len(reads) == 1 and len(list((tmp_path / "tags").iterdir())) == 50
    assert main([*argv, "--force", "--quantize", "4", "--palette", str(tmp_path / "q.pal")]) == 0
    assert len(reads) == 2  # one more command, one more read


TOO_MANY = "its head and size allow 7,489,828 frame records, more than the 2,097,152 orvtool reads from one file"

# The routes of a load that is refused, each printing what it was told: a
# refusal raised (its category and detail) or the viewer's error. The file is
# refused by the core on its one open, or from the bytes given in memory.
REFUSING_ROUTES = {
    "inspect": "import orvtool\nr = orvtool.inspect('zeros.orv')\nprint(f'{r.findings[0].category}: {r.findings[0].detail}')",
    "pillow": "from PIL import Image\nimport orvtool.pillow\norvtool.pillow.register()\nImage.open('zeros.orv')",
    "pillow stream": "import io, orvtool.pillow\n"
    "orvtool.pillow.open(io.BytesIO(open('zeros.orv', 'rb').read()), palette='a.pal')",
    "frames from memory": "from orvtool.core import native\n"
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


def test_the_limits_page_states_the_budget_as_limits_holds_it():
    from pathlib import Path

    from orvtool.model import limits

    page = Path(__file__).resolve().parent.parent / "docs" / "reference" / "messages.md"
    assert limits.budget_table() in page.read_text(encoding="utf-8")


def played(first, last, direction):
    """A tag's frames as a list, the way it plays them."""
    order = list(range(first, last + 1))
    if direction in ("reverse", "pingpong_reverse"):
        order.reverse()
    if direction in ("pingpong", "pingpong_reverse"):
        order += order[-2:0:-1]
    return order


@pytest.mark.parametrize(
    "first, last, direction",
    [(0, 0, "pingpong"), (0, 1, "pingpong"), (2, 6, "pingpong"), (2, 6, "pingpong_reverse"), (3, 5, "reverse")]
    + [(0, 4, "forward"), (5, 4, "pingpong"), (1, 3, "sideways")],
)
def test_tag_frames_are_made_as_asked_in_the_order_played(first, last, direction):
    from orvtool.formats.sheets import TagFrames

    order, tag = played(first, last, direction), TagFrames(first, last, direction)
    assert len(tag) == len(order) and list(tag) == order and tag == order
    assert [tag[k] for k in range(-len(order), len(order))] == order * 2 and tag[1:3] == order[1:3]
    with pytest.raises(IndexError):
        tag[len(order)]


def test_sprite_tags_are_told_as_their_frames_listed_one_by_one_would_tell_them():
    """Random atlases of several sprites, some frames missing: every tag's
    frames, or why they cannot be told, as a walk over its frames finds them."""
    import random

    from orvtool.formats.schema import Where
    from orvtool.formats.sheets import _tags

    rng = random.Random(5)
    for _ in range(200):
        names = [f"{rng.choice('ab')} {rng.randrange(6)}" for _ in range(rng.randrange(2, 9))]
        sprites: Dict[str, Dict[int, int]] = {}
        for i, name in enumerate(names):
            title, number = name.split(" ")
            sprites.setdefault(title, {}).setdefault(int(number), i)
        first, last = sorted(rng.randrange(len(names)) for _ in range(2))
        direction = rng.choice(["forward", "reverse", "pingpong", "pingpong_reverse"])
        name = rng.choice(["a", "b-walk", "c"])
        doc = {"meta": {"frameTags": [{"name": name, "from": first, "to": last, "direction": direction}]}}
        tags, unclear = _tags(doc, names, Where("s.json"))
        order, sprite = played(first, last, direction), name[0]
        if len(sprites) < 2:
            assert list(tags[name]) == order and not unclear
        elif sprite not in sprites:
            assert "does not say whose it is" in unclear[name]
        elif missing := [n for n in order if n not in sprites[sprite]]:
            if all(names[i].startswith(f"{sprite} ") for i in order):
                assert list(tags[name]) == order and not unclear
            else:
                assert unclear[name] == f"frame {missing[0]} of sprite '{sprite}' is not in the atlas"
        else:
            assert list(tags[name]) == [sprites[sprite][n] for n in order] and not unclear


def test_the_budget_refuses_in_one_line_naming_the_input_and_the_limit():
    from orvtool.model import limits
    from orvtool.model.errors import OrvToolError

    budget = limits.Budget(100 << 20)
    budget.charge(60 << 20, "a.png", "its pixels")
    with budget.holding(30 << 20, "a.png", "its conversion"):
        with pytest.raises(OrvToolError) as refused:
            budget.fits(20 << 20, "b.png", "its pixels")
    assert refused.value.category == "over_budget" and budget.held == 60 << 20
    assert str(refused.value) == (
        "b.png: its pixels take 20 MiB beside the 90 MiB already held: more than the 100 MiB orvtool holds for one "
        "command"
    )
    budget.release(60 << 20)
    assert budget.pixels(5000, 5000, "c.png") == 100_000_000 and budget.held == 100_000_000
