"""orvtool against hostile inputs: special files, tiny files that ask for huge
work, numbers and nesting out of range, unexpected failures. Every case ends
at once with one line that names the file, and writes nothing."""

import json
import os
import re
import subprocess
import sys
import textwrap
import tracemalloc
from typing import Any, Dict

import numpy as np
import pytest
from test_orvtool_categories import garbled_gpl, png_named_orv

from conftest import run_python
from hostile import SANITIZED
from orvtool import _native
from orvtool.cli import main
from orvtool.core.orvfile import Animation, Frame, encode_palette
from orvtool.formats import folders
from orvtool.report import status
from orvtool_build_helpers import gif, png_header, write_rgba
from orvtool_samples import walk, write_project

BLACK_WHITE = [(0, 0, 0, 255), (255, 255, 255, 255)]

# A sheet of one frame, so that its image is what is read first.
ONE_FRAME = {"a": {"frame": {"x": 0, "y": 0, "w": 1, "h": 1}}}


def run(capfd, *argv):
    code = main([str(a) for a in argv])
    out, err = capfd.readouterr()
    return code, out, err


def one_line(err, *names):
    lines = err.strip().splitlines()
    assert len(lines) == 1 and "Traceback" not in err, err
    for name in names:
        assert str(name) in lines[0], (name, lines[0])
    return lines[0]


@pytest.fixture
def pal(tmp_path):
    path = tmp_path / "bw.pal"
    path.write_bytes(encode_palette(BLACK_WHITE))
    return path


def test_special_files_are_refused_at_once(tmp_path, pal):
    # Run in a child, under a time bound: a read that blocks must fail the test, not hang it.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    for name in ("f.pal", "f.png", "f.json", "f.gpl"):
        os.symlink(fifo, tmp_path / name)
    (tmp_path / "dir.pal").mkdir()
    frame = tmp_path / "frame.png"
    write_rgba(frame, np.full((2, 2, 4), 255, np.uint8))
    (tmp_path / "sheet.json").write_text(json.dumps({"frames": ONE_FRAME, "meta": {"image": "f.png"}}))
    anim = write_project(tmp_path, "a.orv", walk())
    out = tmp_path / "out.orv"
    cases = [
        (["palette", "f.pal", "-o", "o.gpl"], "f.pal"),
        (["palette", "/dev/zero", "-o", "o.gpl", "--from", "pal"], "/dev/zero"),
        (["palette", "dir.pal", "-o", "o.gpl"], "dir.pal"),
        (["palette", "f.json", "-o", "o.gpl"], "f.json"),
        (["build", frame, "-o", out, "--palette", "f.pal"], "f.pal"),
        (["build", frame, "-o", out, "--palette", "f.gpl"], "f.gpl"),
        (["build", "f.png", "-o", out, "--palette", pal], "f.png"),
        (["build", "f.json", "-o", out, "--palette", pal], "f.json"),
        (["build", "sheet.json", "-o", out, "--palette", pal], "f.png"),
        (["info", anim, "--palette", "f.gpl"], "f.gpl"),
    ]
    script = textwrap.dedent(
        f"""
        import contextlib, io, json, os, sys
        from orvtool.cli import main
        os.chdir({str(tmp_path)!r})
        results = []
        for argv, _ in {[([str(a) for a in argv], name) for argv, name in cases]!r}:
            err = io.StringIO()
            with contextlib.redirect_stderr(err), contextlib.redirect_stdout(err):
                code = main(argv)
            results.append((code, err.getvalue()))
        print(json.dumps(results))
        """
    )
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    for (argv, name), (code, err) in zip(cases, json.loads(proc.stdout), strict=True):
        if argv[0] == "info":  # info describes the file, and why its palette is unusable
            assert str(name) in err and "Traceback" not in err, err
        else:
            assert code == 1, (argv, err)
            one_line(err, name)
    assert not out.exists()


def test_pixels_past_the_budget_are_refused_before_decoding(tmp_path, capfd, pal):
    bomb = tmp_path / "bomb.png"
    bomb.write_bytes(png_header(30000, 30000))
    wide = tmp_path / "wide.png"
    wide.write_bytes(png_header(20000, 14000))  # under Pillow's own error, over the budget
    spread = tmp_path / "spread.gif"
    spread.write_bytes(gif((8000, 8000), [(0, 0), (7999, 7999)] * 5))
    (tmp_path / "sheet").mkdir()
    (tmp_path / "sheet" / "atlas.png").write_bytes(png_header(30000, 30000))
    sheet = tmp_path / "sheet" / "s.json"
    sheet.write_text(json.dumps({"frames": ONE_FRAME, "meta": {"image": "atlas.png"}}))
    out = tmp_path / "out.orv"
    for source in (bomb, wide, spread, sheet):
        code, _, err = run(capfd, "build", source, "-o", out, "--palette", pal)
        assert code == 1
        assert "MiB" in one_line(err, source.name)
    assert not out.exists()

    # Many frames on a large screen that draw in one small place: only that place is composed.
    small = tmp_path / "small.gif"
    small.write_bytes(gif((8000, 8000), [(100, 200)] * 60))
    code, _, err = run(capfd, "build", small, "-o", out, "--palette", pal)
    assert code == 0, err
    got = pyorv_frames(out)
    assert len(got) == 60 and {f[:4] for f in got} == {(1, 1, 100 - 4000, 200 - 8000)}

    # A sidecar that promises frames larger than the budget.
    folder = tmp_path / "export"
    assert run(capfd, "export", write_project(tmp_path, "w.orv", walk()), "-o", folder)[0] == 0
    doc = json.loads((folder / "animation.json").read_text())
    doc["frames"][0].update(width=65535, height=65535, image=None, indices=None)
    (folder / "animation.json").write_text(json.dumps(doc))
    code, _, err = run(capfd, "build", folder, "-o", tmp_path / "sidecar.orv")
    assert code == 1 and "MiB" in one_line(err, "frame 0")


def pyorv_frames(path):
    import pyorv

    f = pyorv.OrvF()
    assert f.load(str(path)) is not None
    return [(fr.width, fr.height, fr.x_offset, fr.y_offset) for fr in f.data().frames]


def test_the_load_report_of_many_empty_frames_costs_about_the_load(tmp_path):
    count = 200_000
    path = write_project(tmp_path, "many.orv", Animation(frames=[Frame(width=0)] * count))
    tracemalloc.start()
    try:
        report = _native.load_report(str(path), images=True)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert len(report["frames"]) == count and len(report["images"]) == count
    assert report["frames"][-1]["index"] == count - 1 and report["frames"][5]["rows"] == []
    assert report["images"][-2]["width"] == 0
    assert peak < 8 << 20  # a dict per frame held at once would take hundreds of MiB


@pytest.mark.parametrize(
    "kind,damage,names",
    [
        ("sheet", lambda d: d["frames"][0]["frame"].update(x=10**400), ["frame 0", "frame.x"]),
        ("sheet", lambda d: d["frames"][0]["pivot"].update(x=1e308), ["frame 0", "pivot.x"]),
        ("sheet", lambda d: d["frames"][0]["frame"].update(w=float("inf")), ["frame 0", "frame.w"]),
        ("sheet", lambda d: d["frames"][0].update(filename="a\nb", frame="abc"), ["frame 0", "a\\nb"]),
        ("sheet", lambda d: d["meta"]["slices"][0]["keys"][0].update(frame="abc"), ["slice", "key.frame"]),
        ("sheet", lambda d: d["meta"]["slices"][0]["keys"][0]["pivot"].update(y=float("inf")), ["pivot.y"]),
        ("sheet", lambda d: d["frames"][0].update(frame=NESTED), ["nested more than"]),
        ("sidecar", lambda d: explicit(d["frames"][1], [[300, 1, [1]]]), ["frame 1", "offset is 300"]),
        ("sidecar", lambda d: explicit(d["frames"][1], [[0, 1e308, [1]]]), ["frame 1", "colour count"]),
        ("sidecar", lambda d: d["frames"][0].update(x_offset=10**400), ["frame 0", "x_offset"]),
        ("sidecar", lambda d: d.update(frames=NESTED), ["nested more than"]),
        ("palette", lambda d: d.update(colors=NESTED), ["nested more than"]),
        ("palette", lambda d: d.update(model=float("nan")), ["model"]),
    ],
)
def test_numbers_and_nesting_out_of_range_are_one_line(tmp_path, capfd, pal, kind, damage, names):
    out = tmp_path / "out.orv"
    if kind == "sheet":
        write_rgba(tmp_path / "atlas.png", np.full((2, 2, 4), 255, np.uint8))
        entry = {"frame": {"x": 0, "y": 0, "w": 2, "h": 2}, "pivot": {"x": 0.5, "y": 1.0}}
        slices = [
            {
                "name": "origin",
                "keys": [{"frame": 0, "bounds": {"x": 0, "y": 0, "w": 2, "h": 2}, "pivot": {"x": 1, "y": 2}}],
            }
        ]
        doc: Dict[str, Any] = {"frames": [dict(entry, filename="a")], "meta": {"image": "atlas.png", "slices": slices}}
        source = tmp_path / "sheet.json"
        damage(doc)
        source.write_text(dumps(doc))
        argv = ["build", source, "-o", out, "--palette", pal]
    elif kind == "sidecar":
        source = tmp_path / "export"
        assert run(capfd, "export", write_project(tmp_path, "w.orv", walk()), "-o", source)[0] == 0
        doc = json.loads((source / "animation.json").read_text())
        damage(doc)
        (source / "animation.json").write_text(dumps(doc))
        argv = ["build", source, "-o", out]
        source = source / "animation.json"
    else:
        source = tmp_path / "p.json"
        doc = {"format": "orvtool-palette", "version": 1, "model": 0, "colors": [[1, 2, 3, 255]]}
        damage(doc)
        source.write_text(dumps(doc))
        argv = ["palette", source, "-o", tmp_path / "o.gpl"]
    code, _, err = run(capfd, *argv)
    assert code == 1
    one_line(err, source.name, *names)
    assert not out.exists() and not (tmp_path / "o.gpl").exists()


NESTED = "<nested 100000 deep>"


def dumps(doc):
    """JSON text, with NESTED spliced in as lists nested 100,000 deep."""
    return json.dumps(doc).replace(json.dumps(NESTED), "[" * 100_000 + "]" * 100_000)


def explicit(entry, runs):
    entry["runs"] = "explicit"
    entry["explicit_rows"] = {"0": {"block_count": len(runs), "runs": runs}}


@pytest.mark.parametrize("exc", [RecursionError("deep"), MemoryError(), ValueError("a bug\nsecond line")])
def test_unexpected_failures_are_one_line_traceback_only_under_debug(tmp_path, capfd, monkeypatch, exc):
    import orvtool.commands.info as info

    def fail(args):
        raise exc

    monkeypatch.setattr(info, "run", fail)
    anim = write_project(tmp_path, "a.orv", walk())
    code, _, err = run(capfd, "info", anim)
    assert code == 1 and "please report" in one_line(err, "internal error")
    for flag in ("--debug", "-vv"):
        code, _, err = run(capfd, "info", anim, flag)
        assert code == 1 and "Traceback" in err and "please report" in err.strip().splitlines()[-1]


@pytest.mark.parametrize(
    "damage, names",
    [
        # Refused as the record is read: the reader would take other frames.
        (lambda d: d.update(frame_count_field=4294967295), ["animation.json", "'frame_count_field' 4294967295"]),
        (lambda d: d.update(frame_count_field=100), ["'frame_count_field' 100", "take 100 frame records", "3 are"]),
        (lambda d: d.update(frame_count_field=2.0), ["'frame_count_field' 2 ", "take 2 frame records"]),
        # Refused when the encoded file is read back.
        (lambda d: d["palette"].update(location_size=4294967295), ["out.orv", "would not", "'location_size'"]),
        (lambda d: d.update(speed=0x4F525646), ["out.orv", "would not read back", "'speed'", "magic"]),
        (
            lambda d: d["frames"][1].update(
                explicit_rows={str(d["frames"][1]["height"]): {"block_count": 0, "runs": []}}
            ),
            ["out.orv", "would not read back", "frame 1: 'rows'"],
        ),
    ],
)
def test_build_refuses_what_would_not_read_back(tmp_path, capfd, damage, names):
    source = tmp_path / "export"
    assert run(capfd, "export", write_project(tmp_path, "w.orv", walk()), "-o", source)[0] == 0
    doc = json.loads((source / "animation.json").read_text())
    damage(doc)
    (source / "animation.json").write_text(json.dumps(doc))
    code, _, err = run(capfd, "build", source, "-o", tmp_path / "out.orv")
    assert code == 1
    one_line(err, *names)
    assert not (tmp_path / "out.orv").exists()
    # Untouched, an export builds the file it came from.
    assert run(capfd, "export", tmp_path / "w.orv", "-o", tmp_path / "again")[0] == 0
    assert run(capfd, "build", tmp_path / "again", "-o", tmp_path / "w2.orv")[0] == 0
    assert (tmp_path / "w2.orv").read_bytes() == (tmp_path / "w.orv").read_bytes()


# --- text from files on the terminal -----------------------------------------------------

# A fake line and a terminal's control sequences, in a stored palette path or a name.
HOSTILE = "\x1b[2Jgone\r\norvtool: FAKE"
ESCAPED = "\\x1b[2Jgone\\r\\norvtool: FAKE"
CONTROL = re.compile(r"[\x00-\x09\x0b-\x1f\x7f-\x9f]")  # any but the line breaks between lines


def stored_path(t):
    anim = walk()
    anim.palette_path = HOSTILE.encode() + b".pal"
    return write_project(t, "stored.orv", anim)


def hostile_name(t):
    return write_project(t, HOSTILE + ".orv", walk())


def hostile_broken(t):
    path = hostile_name(t)
    path.write_bytes(path.read_bytes()[:-3])
    return path


# The place a hostile text goes through: (maker of the file, the command's arguments after it).
TEXT_ROUTES = {
    "stored path, info": (stored_path, ["info"]),
    "stored path, a batch's summary": (stored_path, ["info", "{folder}"]),
    "name, info": (hostile_name, ["info"]),
    "name, export's wrote line": (hostile_name, ["export", "-o", "{folder}/" + HOSTILE]),
    "name, a failure": (hostile_broken, ["export", "-o", "{folder}/out"]),
    "name, a batch's failure": (hostile_broken, ["info", "{folder}", "--strict"]),
}


@pytest.mark.parametrize("case", sorted(TEXT_ROUTES))
def test_text_from_files_is_escaped_on_the_terminal_and_raw_in_json(tmp_path, capfd, case):
    make, argv = TEXT_ROUTES[case]
    path = make(tmp_path / "t")
    args = [a.format(folder=tmp_path / "t") for a in argv]
    capfd.readouterr()
    main([args[0], str(path), *args[1:]])
    out, err = capfd.readouterr()
    said = out + err
    assert ESCAPED in said and not CONTROL.search(said), said
    assert not any(line.startswith("orvtool: FAKE") for line in said.splitlines())
    # JSON keeps the text as it is: json escapes it itself.
    main(["info", "--json", str(path)])
    (doc,) = json.loads(capfd.readouterr().out)
    assert doc["path"] == str(path)
    texts = [doc["path"], doc["palette"]["location"] or "", *(f["message"] for f in doc["findings"])]
    assert any(HOSTILE in text for text in texts) and not any(ESCAPED in text for text in texts)


# --- damaged inputs x the routes that read them: a finding of a category, never an internal error ---


def said(t, capfd, argv):
    """The exit status, the categories of the findings (info's --json, else
    the --report) and standard error of one run."""
    report = t / "report.jsonl"
    code = main([*map(str, argv), *(["--json"] if argv[0] == "info" else ["--report", str(report)])])
    out, err = capfd.readouterr()
    docs = json.loads(out) if argv[0] == "info" else [json.loads(line) for line in report.read_text().splitlines()]
    return code, [f["category"] for doc in docs for f in doc["findings"]], err


def damaged(name, change):
    """The routes' arguments after the file `name` of walk's export (with its
    sheet and previews) is changed by `change(bytes)`."""

    def make(t, capfd):
        x = t / "x"
        assert run(capfd, "export", write_project(t, "w.orv", walk()), "-o", x, "--gif", "--apng", "--sheet")[0] == 0
        (x / name).write_bytes(change((x / name).read_bytes()))
        source = {
            "preview.gif": x / name,
            "preview.apng": x / name,
            "sheet.json": x / name,
            "sheet.png": x / "sheet.json",
        }
        return ["build", source.get(name, x), "-o", t / "o.orv", "--palette", t / "pal" / "test.pal"]

    return make


def deep_tree(t, capfd):
    """walk 1,100 folders down, its palette at the top."""
    write_project(t / "deep", "w.orv", walk())
    folder = t / "deep"
    for _ in range(1100):
        folder = folder / "d"
        folder.mkdir()
    os.replace(t / "deep" / "w.orv", folder / "w.orv")
    return t / "deep"


def empty(top):
    """Removes what `top` holds, however deep (shutil.rmtree recurses, as pytest's clean-up does)."""
    for root, _, files in reversed(list(folders.walk(str(top)))):
        for name in files:
            os.unlink(os.path.join(root, name))
        if root != str(top):
            os.rmdir(root)


def at_frame(data):
    """A GIF cut just after its first frame, where the second one's descriptor begins."""
    from orvtool.build.inputs import gif_frames

    return data[: gif_frames(data)[1][1][0]]  # type: ignore[index]


DAMAGED = {
    "gif header only": (damaged("preview.gif", lambda d: d[:13]), 1, "image_unreadable"),
    "gif cut after a frame": (damaged("preview.gif", at_frame), 1, "image_unreadable"),
    "gif cut inside a frame": (damaged("preview.gif", lambda d: d[: len(d) // 2]), 1, "image_unreadable"),
    "gif cut inside its trailer": (damaged("preview.gif", lambda d: d[:-1]), 1, "image_unreadable"),
    "apng cut inside a frame": (damaged("preview.apng", lambda d: d[: len(d) // 2]), 1, "image_unreadable"),
    "apng cut inside IEND": (damaged("preview.apng", lambda d: d[:-1]), 0, None),  # every pixel is there
    "frame png cut": (damaged("frame_000.png", lambda d: d[: len(d) // 2]), 1, "image_unreadable"),
    "frame png of text": (damaged("frame_000.png", lambda d: b"not an image"), 1, "image_unreadable"),
    "index layer cut": (damaged("frame_000.index.png", lambda d: d[:40]), 1, "image_unreadable"),
    "sheet image cut": (damaged("sheet.png", lambda d: d[: len(d) // 2]), 1, "image_unreadable"),
    "sheet json cut": (damaged("sheet.json", lambda d: d[: len(d) // 2]), 1, "document_invalid"),
    "sheet json not utf-8": (damaged("sheet.json", lambda d: b"\xff" + d), 1, "document_invalid"),
    "sheet json nested 100,000 deep": (damaged("sheet.json", lambda d: b"[" * 10**5 + b"]" * 10**5), 1, "over_limit"),
    "animation.json cut": (damaged("animation.json", lambda d: d[: len(d) // 2]), 1, "document_invalid"),
    "info of a tree 1,100 deep": (lambda t, c: ["info", deep_tree(t, c)], 0, None),
    "export of a tree 1,100 deep": (lambda t, c: ["export", deep_tree(t, c), "-o", t / "out"], 0, None),
    "info with a garbled gpl": (
        lambda t, c: ["info", write_project(t, "w.orv", walk()), "--palette", garbled_gpl(t)],
        1,
        "palette_unusable",
    ),
    "export with a garbled gpl": (
        lambda t, c: ["export", write_project(t, "w.orv", walk()), "-o", t / "o", "--palette", garbled_gpl(t)],
        1,
        "palette_unusable",
    ),
    "info of a png named .orv": (lambda t, c: ["info", png_named_orv(t)], 1, "not_an_animation"),
    "export of a png named .orv": (lambda t, c: ["export", png_named_orv(t), "-o", t / "o"], 1, "not_an_animation"),
}


@pytest.mark.parametrize("case", list(DAMAGED))
def test_damaged_inputs_are_findings_of_their_category_never_internal_errors(tmp_path, capfd, case):
    make, exit_status, category = DAMAGED[case]
    try:
        code, categories, err = said(tmp_path, capfd, make(tmp_path, capfd))
    finally:
        empty(tmp_path)
    assert "internal error" not in err and "Traceback" not in err and " at 0x" not in err, err
    assert code == exit_status, err
    if category is None:
        assert not status.failing(categories), (categories, err)
    else:
        assert category in categories, (categories, err)


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's shadow memory takes the address space a bound would limit")
def test_a_document_whose_values_outgrow_memory_is_out_of_memory(tmp_path, pal):
    # 60 MiB of empty objects, within the size a document may have, take gigabytes as Python objects.
    (tmp_path / "s.json").write_bytes(b'{"frames": [' + b"{}," * (20 << 20) + b"{}]}")
    argv = ["build", str(tmp_path / "s.json"), "-o", str(tmp_path / "o.orv"), "--palette", str(pal)]
    done = run_python(f"import sys\nfrom orvtool.cli import main\nsys.exit(main({argv!r}))", limit_mb=600)
    assert done.returncode == 1 and "its values take more memory than there is" in one_line(done.stderr, "s.json")
