"""Every category of the table of findings is said by some route, through
what that route hands its users: the findings of `info --json`, the
`--report` of export and build, the notes of a palette conversion, and the
module's own error lines. Each category has one small input here that makes
its route say it, and what the input leads to: the command's exit status and
the file's label, as a user sees them."""

import ast
import json
import re
import socket
from pathlib import Path
from typing import Dict

import numpy as np
import pytest
from PIL import Image, ImageFile
from test_orvtool_build_edits import with_offs
from test_orvtool_editors import atlas_sheet
from test_orvtool_sheet_edits import exported_sheet, grown

import orvtool
import pyorv
from orvtool.cli import main
from orvtool.core.orvfile import Animation, Frame, Row, encode_palette, frame_from_indices
from orvtool.formats import palettes
from orvtool.load import summary
from orvtool.model import limits
from orvtool.report import status
from orvtool_build_helpers import png_header, read_rgba, write_rgba
from orvtool_samples import PALETTE, walk, write_project

# --- routes: each runs on what its input maker gives and returns the
# categories of its public output, and what it led to: (exit status, the
# labels of the files said, joined) or None where there is neither ---------------------


def labels(objects):
    return "+".join(sorted({o["status"] for o in objects}))


def info(t, capfd, *argv):
    code = main(["info", *map(str, argv), "--json", "-j", "1"])
    docs = json.loads(capfd.readouterr().out)
    return [f["category"] for doc in docs for f in doc["findings"]], (code, labels(docs))


def reported(command):
    def route(t, capfd, *argv):
        code = main([command, *map(str, argv), "--report", str(t / "report.jsonl")])
        objects = [json.loads(line) for line in (t / "report.jsonl").read_text(encoding="utf-8").splitlines()]
        return [f["category"] for o in objects for f in o["findings"]], (code, labels(objects))

    return route


def conversion(t, capfd, path, kind):
    """The notes of converting a palette file to another format, and the
    exit status of the palette command that converts it with --strict (no
    label: it says no file's status)."""
    pal = palettes.read_palette(str(path))
    palettes.encode_as(pal, kind)
    code = main(["palette", str(path), "-o", str(t / f"converted.{kind}"), "--strict"])
    return [n.category for n in pal.notes], (code, None)


# The module's "ERROR: " lines, by the category of the finding behind each.
ERROR_LINES = {
    "palette_write_open_failed": r"Could not open palette file for writing: .+",
    "palette_write_failed": r"Could not write palette file: .+",
    "palette_save_skipped": r"No palette data to save, existing palette file kept: .+",
    "color_lookup_out_of_bounds": r"Color index out of bounds: \d+",
    "file_write_open_failed": r"Could not open animation file for writing: .+",
    "file_write_failed": r"Could not write animation file: .+",
    "row_missing": r"Row \d+ exceeds OrvPixelSet count!",
    "color_index_out_of_range": r"Out-of-bounds color index! \(\d+\)",
}


def module(t, capfd, action):
    """The module's lines on standard error, each by the category whose text it has."""
    capfd.readouterr()
    try:
        action()
    except IndexError:  # a lookup past the palette raises after its line
        pass
    lines = capfd.readouterr().err.splitlines()
    assert lines and all(line.startswith("ERROR: ") for line in lines), lines
    return [next((c for c, text in ERROR_LINES.items() if re.fullmatch(text, line[7:])), line) for line in lines], None


ROUTES = {
    "info": info,
    "export": reported("export"),
    "build": reported("build"),
    "palette": conversion,
    "module": module,
}

# --- inputs -------------------------------------------------------------------------


def project(t, anim=None, colors=PALETTE, name="a.orv"):
    return write_project(t / "p", name, anim or walk(), colors=colors)


def with_trailing():
    anim = walk()
    anim.trailing = b"\0junk"
    return anim


def cut(t, size):
    path = project(t)
    path.write_bytes(path.read_bytes()[:size])
    return path


def palette_gone(t):
    path = project(t)
    (t / "p" / "pal" / "test.pal").unlink()
    return path


def palette_counting(t, held, count):
    path = project(t)
    (t / "p" / "pal" / "test.pal").write_bytes(encode_palette(PALETTE[:held], count=count))
    return path


def socket_file(t, mp):
    """A path that exists and that no open can read."""
    t.mkdir()
    mp.chdir(t)  # a socket's path is short: bound relative to its folder
    with socket.socket(socket.AF_UNIX) as s:
        s.bind("s.orv")
    return t / "s.orv"


def looped_palette(t):
    t.mkdir()
    (t / "loop").symlink_to(t / "loop")
    return write_project(t, "l.orv", Animation(frames=[frame_from_indices([[1]])], palette_path=b"loop/x.pal"))


def png_named_orv(t):
    t.mkdir(exist_ok=True)
    Image.new("RGBA", (2, 2)).save(t / "x.orv", format="PNG")
    return t / "x.orv"


def over_budget():
    """A frame of empty rows that takes all but 32 KiB of the rendering
    budget, then one of 40000 bytes."""
    return Animation(frames=[Frame(width=32767, rows=[Row()] * 8192), frame_from_indices([[1] * 100] * 100)])


def too_large():
    """A frame whose image is past 2 GiB."""
    return Animation(frames=[Frame(width=65535, rows=[Row()] * 8193)])


def exported(t, *extra):
    out = t / "out"
    assert main(["export", str(project(t)), "-o", str(out), *map(str, extra)]) == 0
    return out


def sidecar_a_folder(t):
    """An export whose sidecar's name is taken by a folder."""
    out = exported(t)
    (out / "animation.json").unlink()
    (out / "animation.json").mkdir()
    return out


def edited_frame(t, edit):
    """An export folder whose first frame image `edit` changed."""
    out = exported(t)
    png = read_rgba(out / "frame_000.png")
    edit(out, png)
    return out


def recoloured(out, png):
    png[0, 1] = (1, 2, 3, 255)
    write_rgba(out / "frame_000.png", png)


def without_alpha(out, png):
    Image.fromarray(np.ascontiguousarray(png[:, :, :3]), "RGB").save(out / "frame_000.png")


def moved(out, png):
    from io import BytesIO

    buf = BytesIO()
    Image.fromarray(png).save(buf, format="PNG")
    (out / "frame_000.png").write_bytes(with_offs(buf.getvalue(), 9, 9))


def added_frame(t):
    out = exported(t)
    (out / "frame_003.png").write_bytes((out / "frame_002.png").read_bytes())
    return out


def plain_png(t, alpha):
    """A plain image beside the project, and the project's palette."""
    project(t)
    rgba = np.zeros((2, 3, 4), np.uint8)
    rgba[..., :3] = PALETTE[4][:3]
    rgba[..., 3] = 255 if alpha else 0
    rgba[0, 0] = (255, 0, 255, 255)
    Image.fromarray(rgba if alpha else rgba[..., :3]).save(t / "plain.png")
    return t / "plain.png", t / "p" / "pal" / "test.pal"


def announcing(t, width, height):
    """A PNG beside the project whose header announces width x height RGBA
    pixels, and the project's palette."""
    project(t)
    (t / "big.png").write_bytes(png_header(width, height))
    return t / "big.png", t / "p" / "pal" / "test.pal"


def plain_folder(t):
    png, pal = plain_png(t, True)
    (t / "frames").mkdir()
    png.rename(t / "frames" / "f0.png")
    return t / "frames", pal


def sheet(t, **kw):
    project(t)
    return atlas_sheet(t / "s", ["s 0", "s 1"], **kw), t / "p" / "pal" / "test.pal"


def image_beside(t):
    path, pal = sheet(t, meta_image=None)
    (t / "s" / "a.png").rename(t / "s" / "sheet.png")
    return path, pal


def stray_pixel(t):
    path, pal = sheet(t)
    atlas = read_rgba(t / "s" / "a.png")
    atlas[0, 2] = (9, 9, 9, 255)  # in the gap between the frames
    write_rgba(t / "s" / "a.png", atlas)
    return path, pal


def grown_sheet(t):
    _, path = exported_sheet(t, walk())
    doc = json.loads(path.read_text())
    grown(path, doc)
    path.write_text(json.dumps(doc))
    return path


def unread_key(t):
    out = exported(t)
    doc = json.loads((out / "animation.json").read_text())
    doc["frames"][0]["editor_note"] = "x"
    (out / "animation.json").write_text(json.dumps(doc))
    return out


def linked_output(t):
    """An output that is a link out of its folder."""
    (t / "o").mkdir(parents=True)
    (t / "elsewhere").mkdir()
    (t / "o" / "b.orv").symlink_to(t / "elsewhere" / "b.orv")
    return [exported(t), "-o", t / "o" / "b.orv"]


def built(t, *extra):
    out = exported(t)
    assert main(["build", str(out), "-o", str(t / "b.orv"), *extra]) == 0
    return [out, "-o", t / "b.orv"]


def gif_preview(t):
    return exported(t, "--gif") / "preview.gif", t / "p" / "pal" / "test.pal"


def save_under_a_file(t, kind):
    t.mkdir(exist_ok=True)
    (t / "file").write_bytes(b"x")
    if kind == "palette":
        return lambda: pyorv.PalF().save(str(t / "file" / "p.pal"))
    return lambda: pyorv.OrvF().save(str(t / "file" / "a.orv"), str(t), str(t / "p.pal"))


def save_to_full_device(t, kind):
    t.mkdir(exist_ok=True)
    if kind == "palette":
        return lambda: pyorv.PalF().save("/dev/full")
    return lambda: pyorv.OrvF().save("/dev/full", str(t), str(t / "p.pal"))


def empty_palette_over_a_file(t):
    t.mkdir(exist_ok=True)
    (t / "kept.pal").write_bytes(encode_palette(PALETTE[:1]))
    return lambda: pyorv.OrvF().save(str(t / "a.orv"), str(t), str(t / "kept.pal"))


def rendered_after(t, change):
    f = pyorv.OrvF()
    assert f.load(str(project(t))) is not None
    change(f.data())
    return lambda: pyorv.OrvFrameBuffer(f.data()).get_buffer()


def taller(data):
    data.frames[0].height += 2


def fewer_colours(data):
    data.palette.colors(data.palette.colors()[:4])


def garbled_gpl(t):
    t.mkdir(exist_ok=True)
    (t / "bad.gpl").write_text("not a palette")
    return t / "bad.gpl"


def gpl_copy(t):
    """The project's palette as a GIMP palette."""
    project(t)
    palettes.write_palette(palettes.Palette(list(PALETTE)), str(t / "g.gpl"))
    return t / "g.gpl"


def too_many_frames(t, mp):
    mp.setattr(limits, "FRAME_RECORDS", 2)  # walk() has 3
    return [project(t)]


def faulty_task(t, mp):
    def describe(*args, **kwargs):
        raise RuntimeError("a fault")

    mp.setattr(summary, "describe", describe)
    return [project(t)]


def sidecar_text(t, text):
    """An export folder whose animation.json holds `text`."""
    out = exported(t)
    (out / "animation.json").write_text(text)
    return out


def sidecar_edit(t, edit):
    out = exported(t)
    doc = json.loads((out / "animation.json").read_text())
    edit(doc)
    (out / "animation.json").write_text(json.dumps(doc))
    return out


def frame_file(t, change):
    """An export folder whose first frame image `change` changed."""
    out = exported(t)
    change(out / "frame_000.png")
    return out


def cut_image(path):
    path.write_bytes(path.read_bytes()[:60])


def folder_for(path):
    path.unlink()
    path.mkdir()


def many_runs(out, png):
    wide = np.zeros((2, 600, 4), np.uint8)
    wide[1, ::2] = PALETTE[2]  # 300 runs in row 1
    write_rgba(out / "frame_001.png", wide)


def sheet_without(t, key):
    path, pal = sheet(t)
    doc = json.loads(path.read_text())
    del doc["frames"][1][key]
    path.write_text(json.dumps(doc))
    return path, pal


def json_over_limit(t, mp):
    out = exported(t)
    mp.setattr(limits, "JSON_BYTES", 16)
    return of(t, out)


def trailing_past_export(t, mp):
    """An animation whose bytes after its last record pass what an export keeps."""
    mp.setattr(limits, "TRAILING_BYTES", 4)
    return [project(t, with_trailing()), "-o", t / "x"]


def damaged(made, change, mp=None):
    """A plain source with its file changed by `change(path)`; with `mp`,
    Pillow's decoding of the image fails for want of memory."""
    change(made[0])
    if mp is not None:
        mp.setattr(ImageFile.ImageFile, "load", lambda *a, **k: (_ for _ in ()).throw(MemoryError()))
    return made


def onto(t, made, *extra):
    """A build of a plain source (image, folder, sheet) against the project's palette."""
    source, pal = made
    return [source, "-o", t / "b.orv", "--palette", pal, *extra]


def of(t, folder, *extra):
    """A build of an export folder into the project's folder, where the palette
    the file names is found."""
    return [folder, "-o", t / "p" / "b.orv", *extra]


TAG = [{"name": "x", "from": 0, "to": 1}]

# What a case leads to: the command's exit status and the label of the file
# (without --strict, a warning fails nothing), whatever the table says.
OK, PROBLEMS, FAILED = (0, "ok"), (0, "problems"), (1, "failed")
PASSED_STRICT = (0, None)  # the palette command: with --strict, only a warning would fail it
LINES_ONLY = None  # the module's lines: no status, no label

# category: (route, maker(tmp_path, monkeypatch) of the route's arguments, what it leads to)
CASES = {
    # the load of an animation, its palette and its rendering
    "palette_open_failed": ("info", lambda t, mp: [palette_gone(t)], FAILED),
    "palette_count_invalid": ("info", lambda t, mp: [palette_counting(t, 0, 0)], FAILED),
    "palette_short": ("info", lambda t, mp: [palette_counting(t, 8, 12)], PROBLEMS),
    "file_open_failed": ("info", lambda t, mp: [socket_file(t, mp)], FAILED),
    "head_cut_short": ("info", lambda t, mp: [cut(t, 10)], FAILED),
    "frames_cut_short": ("info", lambda t, mp: [cut(t, -3)], FAILED),
    "trailing_bytes": ("info", lambda t, mp: [project(t, with_trailing())], PROBLEMS),
    "trailing_not_kept": ("export", trailing_past_export, PROBLEMS),
    "palette_not_found": ("info", lambda t, mp: [palette_gone(t)], FAILED),
    "palette_search_failed": ("info", lambda t, mp: [looped_palette(t)], FAILED),
    "index_past_palette_file": ("info", lambda t, mp: [project(t, colors=PALETTE[:8])], PROBLEMS),
    "no_frames": ("info", lambda t, mp: [project(t, Animation(frames=[]))], FAILED),
    "no_palette_data": ("info", lambda t, mp: [palette_gone(t)], FAILED),
    "frame_too_large": ("info", lambda t, mp: [project(t, too_large())], FAILED),
    "frame_over_budget": ("info", lambda t, mp: [project(t, over_budget())], FAILED),
    "no_such_file": ("info", lambda t, mp: [t / "gone.orv"], FAILED),
    "not_an_animation": ("info", lambda t, mp: [png_named_orv(t)], FAILED),
    "palette_unusable": ("info", lambda t, mp: [project(t), "--palette", garbled_gpl(t)], FAILED),
    "too_many_frames": ("info", too_many_frames, FAILED),
    "internal_error": ("info", faulty_task, FAILED),
    # the module's saves, palette lookups and renderings of edited data
    "palette_write_open_failed": ("module", lambda t, mp: [save_under_a_file(t, "palette")], LINES_ONLY),
    "palette_write_failed": ("module", lambda t, mp: [save_to_full_device(t, "palette")], LINES_ONLY),
    "palette_save_skipped": ("module", lambda t, mp: [empty_palette_over_a_file(t)], LINES_ONLY),
    "color_lookup_out_of_bounds": ("module", lambda t, mp: [lambda: pyorv.PalF().get_color(3)], LINES_ONLY),
    "file_write_open_failed": ("module", lambda t, mp: [save_under_a_file(t, "animation")], LINES_ONLY),
    "file_write_failed": ("module", lambda t, mp: [save_to_full_device(t, "animation")], LINES_ONLY),
    "row_missing": ("module", lambda t, mp: [rendered_after(t, taller)], LINES_ONLY),
    "color_index_out_of_range": ("module", lambda t, mp: [rendered_after(t, fewer_colours)], LINES_ONLY),
    # export
    "salvaged": ("export", lambda t, mp: [cut(t, -3), "-o", t / "o", "--salvage"], FAILED),
    "already_exported": ("export", lambda t, mp: [project(t), "-o", exported(t), "--skip-existing"], OK),
    "palette_kept_as_loaded": ("export", lambda t, mp: [palette_counting(t, 8, 12), "-o", t / "o"], PROBLEMS),
    "grid_origin": ("export", lambda t, mp: [project(t), "-o", t / "o", "--sheet", "--sheet-layout", "rows"], OK),
    "preview_origin": ("export", lambda t, mp: [project(t), "-o", t / "o", "--gif"], OK),
    "output_exists": ("export", lambda t, mp: [project(t), "-o", exported(t)], FAILED),
    "output_refused": ("export", lambda t, mp: [project(t), "-o", sidecar_a_folder(t), "--force"], FAILED),
    # build: of an export folder
    "document_invalid": ("build", lambda t, mp: of(t, sidecar_text(t, "{not json")), FAILED),
    "sidecar_invalid": ("build", lambda t, mp: of(t, sidecar_edit(t, lambda d: d.update(version=99))), FAILED),
    "source_missing": ("build", lambda t, mp: of(t, frame_file(t, lambda p: p.unlink())), FAILED),
    "image_unreadable": ("build", lambda t, mp: of(t, frame_file(t, cut_image)), FAILED),
    "input_unreadable": ("build", lambda t, mp: of(t, frame_file(t, folder_for)), FAILED),
    "frame_out_of_range": ("build", lambda t, mp: of(t, edited_frame(t, many_runs)), FAILED),
    "over_limit": ("build", json_over_limit, FAILED),
    "source_empty": ("build", lambda t, mp: of(t, (t / "empty").mkdir(parents=True) or t / "empty"), FAILED),
    "output_link_outside": ("build", lambda t, mp: linked_output(t), FAILED),
    "written_through_link": ("build", lambda t, mp: [*linked_output(t), "--force"], PROBLEMS),
    "already_built": ("build", lambda t, mp: [*built(t), "--skip-existing"], OK),
    "stored_palette_not_found": ("build", lambda t, mp: [exported(t), "-o", t / "far" / "b.orv"], PROBLEMS),
    "nearest_colour": ("build", lambda t, mp: of(t, edited_frame(t, recoloured)), OK),
    "coverage_from_layers": ("build", lambda t, mp: of(t, edited_frame(t, without_alpha)), OK),
    "frame_moved": ("build", lambda t, mp: of(t, edited_frame(t, moved)), OK),
    "frame_added": ("build", lambda t, mp: of(t, added_frame(t)), OK),
    "keys_not_read": ("build", lambda t, mp: of(t, unread_key(t)), OK),
    "frame_resized": ("build", lambda t, mp: of(t, grown_sheet(t)), OK),
    "colour_added": ("build", lambda t, mp: of(t, exported(t), "--add-colors", "--palette", t / "n.pal"), OK),
    "palette_converted": ("build", lambda t, mp: of(t, exported(t), "--palette", gpl_copy(t)), OK),
    # build: of plain images, folders, sheets and previews
    "frames_in_name_order": ("build", lambda t, mp: onto(t, plain_folder(t)), OK),
    "no_transparency": ("build", lambda t, mp: onto(t, plain_png(t, False)), OK),
    "colour_keyed": ("build", lambda t, mp: onto(t, plain_png(t, False), "--transparent", "#ff00ff"), OK),
    "over_budget": ("build", lambda t, mp: onto(t, announcing(t, 16384, 16383)), FAILED),
    "palette_made": ("build", lambda t, mp: onto(t, (plain_png(t, True)[0], t / "q.pal"), "--quantize", "4"), OK),
    "tags_built_whole": ("build", lambda t, mp: onto(t, sheet(t, tags=TAG)), OK),
    "frame_placed": ("build", lambda t, mp: onto(t, sheet(t), "--origin", "1", "1"), OK),
    "speed_written": ("build", lambda t, mp: onto(t, sheet(t)), OK),
    "sheet_image_beside": ("build", lambda t, mp: onto(t, image_beside(t)), OK),
    "pixels_outside_frames": ("build", lambda t, mp: onto(t, stray_pixel(t)), OK),
    "preview_placement": ("build", lambda t, mp: onto(t, gif_preview(t)), OK),
    "palette_missing": ("build", lambda t, mp: onto(t, (plain_png(t, True)[0], t / "none.pal")), FAILED),
    "sheet_invalid": ("build", lambda t, mp: onto(t, sheet_without(t, "frame")), FAILED),
    "option_invalid": ("build", lambda t, mp: onto(t, sheet(t), "--tag", "nosuch"), FAILED),
    "out_of_memory": ("build", lambda t, mp: onto(t, damaged(plain_png(t, True), str, mp)), FAILED),
    # the conversion of a palette with alpha to a format without
    "alpha_lost": ("palette", lambda t, mp: [project(t).parent / "pal" / "test.pal", "gpl"], PASSED_STRICT),
}

# categories no route can say, and why
UNREACHED: Dict[str, str] = {
    "refused": "the default of OrvToolError for code outside orvtool: each refusal of orvtool names its own "
    "(test_every_refusal_names_a_category_of_the_table)",
}


@pytest.mark.parametrize("category", sorted(set(status.FINDINGS) - set(UNREACHED)))
def test_every_category_is_said_by_its_route_and_leads_to_what_its_severity_means(
    tmp_path, capfd, monkeypatch, category
):
    assert category in CASES, f"{category}: no route in the table reaches it"
    route, make, expected = CASES[category]
    args = make(tmp_path / "case", monkeypatch)
    capfd.readouterr()
    said, outcome = ROUTES[route](tmp_path / "case", capfd, *args)
    assert category in said, f"{route} said {said}"
    assert outcome == expected, f"{route} said {said} and led to {outcome}"


def test_the_categories_left_unreached_are_exactly_those_without_a_route():
    assert set(UNREACHED) == set(status.FINDINGS) - set(CASES)
    assert set(CASES) <= set(status.FINDINGS) and set(ERROR_LINES) <= set(status.LOAD_FINDINGS)


def test_every_refusal_names_a_category_of_the_table():
    """Each refusal that orvtool makes (OrvToolError, ReadError) names its
    category, one of the table: none is left to the default `refused`."""
    root = Path(orvtool.__file__).parent
    unnamed, unknown = [], []
    for path in sorted(root.rglob("*.py")):
        calls = [n for n in ast.walk(ast.parse(path.read_text(encoding="utf-8"))) if isinstance(n, ast.Call)]
        for node in calls:
            if getattr(node.func, "id", getattr(node.func, "attr", None)) not in ("OrvToolError", "ReadError"):
                continue
            given = {k.arg: k.value for k in node.keywords}
            category = given.get("category", node.args[2] if len(node.args) > 2 else None)
            if category is None:
                unnamed.append(f"{path.relative_to(root)}:{node.lineno}")
            elif isinstance(category, ast.Constant) and category.value not in status.FINDINGS:
                unknown.append(f"{path.relative_to(root)}:{node.lineno}: {category.value!r}")
    assert (unnamed, unknown) == ([], [])


def wide_frame_sheet(t):
    """A sheet of two frames, the second 600 pixels wide with 300 runs in its
    row 0, and tags: one of the first frame, one of both."""
    project(t)
    atlas = np.zeros((2, 1200, 4), np.uint8)
    atlas[:, 0:2] = PALETTE[1]
    atlas[0, 600:1200:2] = PALETTE[2]
    frames = [
        {"filename": "s 0", "frame": {"x": 0, "y": 0, "w": 2, "h": 2}, "sourceSize": {"w": 2, "h": 2}},
        {"filename": "s 1", "frame": {"x": 600, "y": 0, "w": 600, "h": 2}, "sourceSize": {"w": 600, "h": 2}},
    ]
    tags = [{"name": "one", "from": 0, "to": 0}, {"name": "both", "from": 0, "to": 1}]
    (t / "s").mkdir()
    write_rgba(t / "s" / "a.png", atlas)
    (t / "s" / "sheet.json").write_text(json.dumps({"frames": frames, "meta": {"image": "a.png", "frameTags": tags}}))
    return t / "s" / "sheet.json", t / "p" / "pal" / "test.pal"


# Inputs that were all `refused`, each by what happened: (maker of build's
# arguments, category, frame, row); through --report and the line on stderr.
REFUSALS = {
    "-o a folder": (lambda t, mp: [exported(t), "-o", t], "output_refused", None, None),
    "sidecar not JSON": (lambda t, mp: of(t, sidecar_text(t, "[1, 2")), "document_invalid", None, None),
    "sidecar of another version": (
        lambda t, mp: of(t, sidecar_edit(t, lambda d: d.update(version=99))),
        "sidecar_invalid",
        None,
        None,
    ),
    "sidecar frames not a list": (
        lambda t, mp: of(t, sidecar_edit(t, lambda d: d.update(frames="x"))),
        "sidecar_invalid",
        None,
        None,
    ),
    "frame image missing": (lambda t, mp: of(t, frame_file(t, lambda p: p.unlink())), "source_missing", None, None),
    "frame image not a PNG": (
        lambda t, mp: of(t, frame_file(t, lambda p: p.write_bytes(b"not a png"))),
        "image_unreadable",
        None,
        None,
    ),
    "frame image a folder": (lambda t, mp: of(t, frame_file(t, folder_for)), "input_unreadable", None, None),
    "300 runs in a row": (lambda t, mp: of(t, edited_frame(t, many_runs)), "frame_out_of_range", 1, 1),
    "300 runs in a sheet's row": (lambda t, mp: onto(t, wide_frame_sheet(t)), "frame_out_of_range", 1, 0),
    "palette not found": (
        lambda t, mp: onto(t, (plain_png(t, True)[0], t / "none.pal")),
        "palette_missing",
        None,
        None,
    ),
    "palette garbled": (
        lambda t, mp: onto(t, (plain_png(t, True)[0], garbled_gpl(t / "g"))),
        "palette_unusable",
        None,
        None,
    ),
    "sheet frame without its rectangle": (
        lambda t, mp: onto(t, sheet_without(t, "frame")),
        "sheet_invalid",
        None,
        None,
    ),
    "no such tag": (lambda t, mp: onto(t, sheet(t), "--tag", "nosuch"), "option_invalid", None, None),
    "empty folder": (lambda t, mp: of(t, (t / "e").mkdir(parents=True) or t / "e"), "source_empty", None, None),
}


@pytest.mark.parametrize("case", sorted(REFUSALS))
def test_a_refusal_is_reported_by_what_happened_naming_its_file_once(tmp_path, capfd, monkeypatch, case):
    make, category, frame, row = REFUSALS[case]
    args = make(tmp_path / "case", monkeypatch)
    capfd.readouterr()
    assert main(["build", *map(str, args), "--report", str(tmp_path / "report.jsonl")]) == 1
    (obj,) = [json.loads(line) for line in (tmp_path / "report.jsonl").read_text().splitlines()]
    (found,) = obj["findings"]
    assert (found["category"], found["severity"], found["frame"], found["row"]) == (category, "error", frame, row)
    # The text is made of the fields: the file once, the frame in its field.
    (line,) = capfd.readouterr().err.splitlines()
    assert line == f"orvtool: {obj['path']}: {obj['failure']}"
    assert any(obj["path"].startswith(str(a)) for a in args)  # a source, the output, or a file of them
    assert not obj["failure"].startswith(f"{obj['path']}: ") and not found["message"].startswith(f"{obj['path']}: ")
    assert frame is None or f"frame {frame}" in obj["failure"] and f"frame {frame}" not in found["message"]


def test_each_tag_failure_names_the_sheet_once_and_its_frame_in_the_field(tmp_path, capfd):
    path, pal = wide_frame_sheet(tmp_path)
    out, report = tmp_path / "tags", tmp_path / "report.jsonl"
    capfd.readouterr()
    code = main(["build", str(path), "-o", str(out), "--each-tag", "--palette", str(pal), "--report", str(report)])
    assert code == 1 and (out / "one.orv").is_file() and not (out / "both.orv").exists()
    err = capfd.readouterr().err.splitlines()
    said = "frame 1, row 0: tag 'both': its pixels need 300 runs, a row holds at most 255"
    assert f"orvtool: {path}: {said}" in err and f"{path}: {path}" not in "\n".join(err)
    objs = {o["outputs"][0] if o["outputs"] else None: o for o in map(json.loads, report.read_text().splitlines())}
    failed = objs[None]
    assert (failed["path"], failed["failure"]) == (str(path), said)
    assert failed["findings"] == [
        {
            "category": "frame_out_of_range",
            "severity": "error",
            "message": "tag 'both': its pixels need 300 runs, a row holds at most 255",
            "frame": 1,
            "row": 0,
            "index": None,
            "caused_by": None,
        }
    ]
