"""orvtool in scripts and CI: trees mapped one to one, salvage that builds,
results as JSON in one shape (info, --report), --strict, build
--skip-existing, notes said once, versions."""

import json
import os
import struct
import subprocess
import sys

import pytest

import pyorv
from orvtool import build as builder
from orvtool.cli import main
from orvtool.core.orvfile import Animation, Frame, Row, Run, encode_animation, frame_from_indices
from orvtool.export.exporting import ExportOptions, export_animation
from orvtool.load.loading import load_animation
from orvtool.model.errors import FileFailed
from orvtool.report.results import SCHEMA
from orvtool_samples import walk, write_project


def run(capfd, *argv):
    code = main([str(a) for a in argv])
    out, err = capfd.readouterr()
    return code, out, err


def lines_of(text):
    return [json.loads(line) for line in text.splitlines()]


def test_a_file_and_a_folder_of_one_name_round_trip_and_a_clash_is_refused(tmp_path, capfd):
    game = tmp_path / "game"
    hero = write_project(game, "objects/hero.orv", walk(), pal_rel="pal/test.pal")
    inner = Animation(frames=[frame_from_indices([[4, 4, None, 5]])], palette_path=b"pal/test.pal")
    walk_file = write_project(game, "objects/hero/walk.orv", inner)
    assert run(capfd, "export", game, "-o", tmp_path / "out", "-j", "1")[0] == 0
    code, _, err = run(capfd, "build", tmp_path / "out", "-o", tmp_path / "back", "-j", "1")
    assert code == 0, err
    built = sorted(p.relative_to(tmp_path / "back").as_posix() for p in (tmp_path / "back").rglob("*.orv"))
    assert built == ["objects/hero.orv", "objects/hero/walk.orv"]
    assert (tmp_path / "back/objects/hero.orv").read_bytes() == hero.read_bytes()
    assert (tmp_path / "back/objects/hero/walk.orv").read_bytes() == walk_file.read_bytes()

    # An animation whose export folder would be a file of another's export.
    clash = write_project(game, "objects/hero/animation.json.orv", walk())
    code, out, err = run(capfd, "export", game, "-o", tmp_path / "out2", "-j", "1")
    assert code == 1 and out == "" and not (tmp_path / "out2").exists()
    assert f"{clash}: would be exported to" in err and f"the export of {hero} writes its file animation.json" in err


def test_salvage_then_build_loads_at_every_cut_of_the_last_frame(tmp_path):
    split = Frame(width=9, rows=[Row([Run(0, b"\x01\x02"), Run(0, b"\x03")]), Row([Run(2, bytes(range(10, 17)))])])
    last = frame_from_indices([[1, 2, 3, None, 4, 5, 6, 7], [None] * 3 + [8] * 12, [9] * 20])
    for name, frames in (("plain", [walk().frames[0], last]), ("explicit", [walk().frames[2], split])):
        whole = encode_animation(Animation(frames=frames, palette_path=b"pal/test.pal"))
        first = len(encode_animation(Animation(frames=frames[:1], palette_path=b"pal/test.pal")))
        for cut in range(first + 1, len(whole)):
            write_project(tmp_path, "cut.orv", walk())
            (tmp_path / "cut.orv").write_bytes(whole[:cut])
            folder = tmp_path / "out"
            with pytest.raises(FileFailed):
                export_animation(str(tmp_path / "cut.orv"), str(folder), ExportOptions(salvage=True, force=True))
            rebuilt = tmp_path / "back.orv"
            builder.build_from_export(str(folder), str(rebuilt), builder.BuildOptions(force=True))
            anim = load_animation(str(rebuilt), str(tmp_path / "pal" / "test.pal"))
            assert (anim.label, len(anim.frames)) == ("ok", 2), (name, cut)
    # A cut inside the pixels of a run is said.
    (tmp_path / "cut.orv").write_bytes(whole[: len(whole) - 3])
    with pytest.raises(FileFailed, match=r"frame 1, row 1: a run cut short keeps its 4 pixels read of 7"):
        export_animation(str(tmp_path / "cut.orv"), str(tmp_path / "o3"), ExportOptions(salvage=True))


def broken_sources(tmp_path):
    """A file of each kind: whole, with trailing bytes, missing palette, cut
    in its head, an image, cut before its first frame."""
    src = tmp_path / "src"
    write_project(src, "a_ok.orv", walk())
    write_project(src, "b_trailing.orv", Animation(frames=walk().frames, trailing=b"\0\0"))
    write_project(src, "c_lost.orv", Animation(frames=walk().frames, palette_path=b"gone/none.pal"))
    (src / "d_head.orv").write_bytes(b"\x10\0\0\0")
    (src / "e_png.orv").write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(40))
    head = encode_animation(Animation(frames=[], palette_path=b"pal/test.pal"))
    (src / "f_no_frame.orv").write_bytes(head[:-4] + struct.pack("<I", 2))  # cut before its first frame
    return src


def test_info_json_has_one_shape_roots_first_and_streams_the_bytes_json_dump_writes(tmp_path, capfd):
    src = broken_sources(tmp_path)
    code, out, err = run(capfd, "info", src, tmp_path / "missing.orv", "--json", "-j", "1")
    assert code == 1
    docs = json.loads(out)
    assert out == json.dumps(docs, indent=1) + "\n"
    assert len({tuple(d) for d in docs}) == 1 and all(d["schema"] == SCHEMA for d in docs)
    by = {os.path.basename(d["path"]): d for d in docs}
    roots = {name: [f["category"] for f in d["findings"] if f["caused_by"] is None] for name, d in by.items()}
    assert roots == {
        "missing.orv": ["no_such_file"],
        "a_ok.orv": [],
        "b_trailing.orv": ["trailing_bytes"],
        "c_lost.orv": ["palette_not_found"],
        "d_head.orv": ["head_cut_short"],
        "e_png.orv": ["not_an_animation"],
        "f_no_frame.orv": ["frames_cut_short"],
    }
    assert [f["caused_by"] for f in by["f_no_frame.orv"]["findings"]] == [None, "frames_cut_short"]
    for d in docs:
        causes = [f["caused_by"] for f in d["findings"]]
        assert causes == sorted(causes, key=lambda c: c is not None)  # roots first
        assert set(causes) - {None} <= set(roots[os.path.basename(d["path"])])
        assert (d["failure"] is not None) == (d["status"] == "failed")
    assert by["missing.orv"]["frames"] == [] and by["d_head.orv"]["size"] == 4
    assert [f["severity"] for f in by["b_trailing.orv"]["findings"]] == ["warning"]

    # --jsonl: the same objects, one per line, each as json.dumps writes it.
    code, out, _ = run(capfd, "info", src, tmp_path / "missing.orv", "--jsonl", "-j", "1")
    assert out.splitlines() == [json.dumps(d) for d in docs]
    code, out, _ = run(capfd, "info", tmp_path / "missing.orv", "--json")
    assert (code, json.loads(out)[0]["counts"]) == (1, {"no_such_file": 1})
    code, out, _ = run(capfd, "info", tmp_path / "nothing", "--json", "--pattern", "*.none")
    assert json.loads(out)[0]["findings"][0]["category"] == "no_such_file"


@pytest.mark.parametrize("flag", ["--json", "--jsonl"])
def test_info_json_of_many_frames_is_streamed_in_the_plain_encoders_bytes(tmp_path, flag):
    count = 50_000  # empty frame records, past the writer's chunk of frames
    head = struct.pack("<II", 80, 12) + b"pal/test.pal" + struct.pack("<I", count)
    path = write_project(tmp_path, "many.orv", walk())
    path.write_bytes(head + bytes(14 * count))
    out = subprocess.run(
        [sys.executable, "-m", "orvtool", "info", flag, str(path)], capture_output=True, text=True, timeout=300
    ).stdout
    docs = json.loads(out) if flag == "--json" else lines_of(out)
    assert len(docs[0]["frames"]) == count and docs[0]["frames"][-1]["index"] == count - 1
    assert docs[0]["frames"][0] == {
        "index": 0,
        **dict.fromkeys(("width", "height", "x_offset", "y_offset"), 0),
        "is_shadow": False,
        **dict.fromkeys(("frame_size", "unk1", "unk2", "rows", "runs", "empty_runs"), 0),
        **dict.fromkeys(("longest_run", "most_runs_in_a_row", "covered_pixels"), 0),
        "maximal": True,
        "non_maximal_rows": 0,
    }
    assert out == (json.dumps(docs, indent=1) + "\n" if flag == "--json" else json.dumps(docs[0]) + "\n")


def test_export_and_build_report_one_object_per_source(tmp_path, capfd):
    src = broken_sources(tmp_path)
    report = tmp_path / "export.jsonl"
    code, out, _ = run(capfd, "export", src, "-o", tmp_path / "out", "--report", report, "-j", "1")
    assert code == 1 and "wrote" in out
    lines = lines_of(report.read_text())
    by = {os.path.basename(d["path"]): d for d in lines}
    assert len(lines) == 6 and all(list(d) == list(lines[0]) for d in lines)
    assert (by["a_ok.orv"]["status"], by["b_trailing.orv"]["status"]) == ("ok", "problems")
    assert all(os.path.isfile(p) for p in by["a_ok.orv"]["outputs"])
    assert [f["category"] for f in by["e_png.orv"]["findings"]][0] == "not_an_animation"
    assert by["c_lost.orv"]["outputs"] == [] and by["c_lost.orv"]["failure"].startswith("palette not found")

    # To standard output: nothing else goes there.
    code, out, _ = run(capfd, "build", tmp_path / "out", "-o", tmp_path / "back", "--report", "-", "-j", "1")
    built = lines_of(out)
    assert code == 0 and [os.path.basename(d["path"]) for d in built] == ["a_ok", "b_trailing"]
    assert all(d["outputs"] == [str(tmp_path / "back" / (os.path.basename(d["path"]) + ".orv"))] for d in built)
    assert [f["category"] for f in built[0]["findings"]] == ["stored_palette_not_found"]


def test_strict_makes_warnings_fail_every_command(tmp_path, capfd):
    src = tmp_path / "src"
    trailing = write_project(src, "t.orv", Animation(frames=walk().frames, trailing=b"\0"))
    runs = [
        ["info", trailing],
        ["export", trailing, "-o", tmp_path / "e", "-f"],
        ["build", tmp_path / "e", "-o", tmp_path / "elsewhere" / "t.orv", "-f"],
        ["palette", src / "pal" / "test.pal", "-o", tmp_path / "p.gpl", "-f"],
    ]
    for argv in runs:
        os.makedirs(tmp_path / "elsewhere", exist_ok=True)
        code, _, err = run(capfd, *argv)
        strict_code, _, strict_err = run(capfd, *argv, "--strict")
        warned = argv[0] != "palette"  # a conversion that loses alpha is a note
        assert (code, strict_code) == (0, 1 if warned else 0), (argv, err, strict_err)
        if warned:
            assert "warnings with --strict: " in strict_err


def test_build_skip_existing_keeps_outputs_newer_than_their_sources(tmp_path, capfd):
    for name in ("a", "b", "c"):
        write_project(tmp_path / "src", f"{name}.orv", walk())
    assert run(capfd, "export", tmp_path / "src", "-o", tmp_path / "out", "-j", "1")[0] == 0
    assert run(capfd, "build", tmp_path / "out", "-o", tmp_path / "back", "-j", "1")[0] == 0
    back = {n: tmp_path / "back" / f"{n}.orv" for n in "abc"}
    old = {n: p.stat().st_mtime_ns - 10**9 for n, p in back.items()}
    for n, p in back.items():
        os.utime(p, ns=(old[n], old[n]))
    newer = tmp_path / "out" / "b" / "animation.json"
    os.utime(newer, ns=(old["b"] + 1, old["b"] + 1))  # newer than b.orv, older than the rest
    for n in "ac":
        for f in (tmp_path / "out" / n).iterdir():
            os.utime(f, ns=(old[n] - 5, old[n] - 5))
    for f in (tmp_path / "out" / "b").iterdir():
        if f != newer:
            os.utime(f, ns=(old["b"] - 5, old["b"] - 5))
    back["c"].write_bytes(b"")  # an empty output, as a crash leaves, is built again
    code, _, err = run(capfd, "build", tmp_path / "out", "-o", tmp_path / "back", "--skip-existing", "-f", "-j", "1")
    assert code == 0, err
    assert back["a"].stat().st_mtime_ns == old["a"]
    assert back["b"].stat().st_mtime_ns > old["b"] and back["c"].stat().st_size > 0
    assert "built 2 files, skipped 1 already built" in err
    code, _, err = run(capfd, "build", tmp_path / "out" / "a", "-o", back["a"], "--skip-existing")
    assert code == 0 and "skipped: newer than every file of its source" in err


def test_a_note_shared_by_many_files_is_said_once_with_their_count(tmp_path, capfd):
    names = [f"d{i}/x{i}" for i in range(6)]
    for name in names:
        write_project(tmp_path / "src", f"{name}.orv", walk())
    assert run(capfd, "export", tmp_path / "src", "-o", tmp_path / "out", "-j", "1")[0] == 0
    for verbose, shown in ((False, 3), (True, 5)):
        argv = ["build", tmp_path / "out", "-o", tmp_path / f"back{verbose}", "-j", "1"] + (["-v"] if verbose else [])
        code, _, err = run(capfd, *argv)
        notes = [line for line in err.splitlines() if "warning:" in line]
        assert code == 0 and len(notes) == 2, err
        first = tmp_path / "out" / names[0]
        assert "stored palette path" in notes[0] and notes[1].endswith(f"warning: the same as for {first}")
        assert sum(str(tmp_path / "out" / n) in notes[1] for n in names[1:]) == shown
        assert ("and 2 more (5 files; --verbose names all)" in notes[1]) != verbose


def test_version_names_the_core_and_the_schema_and_the_table_takes_help():
    out = subprocess.run(
        [sys.executable, "-m", "orvtool", "--version"], capture_output=True, text=True, check=True, timeout=120
    ).stdout
    assert out.splitlines() == [f"orvtool {pyorv.__version__}", f"core {pyorv.__version__}", f"JSON schema {SCHEMA}"]
    done = subprocess.run(
        [sys.executable, "-m", "orvtool.report.status", "--help"], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0 and done.stdout.startswith("usage: python -m orvtool.report.status")
    assert (
        "| finding |"
        in subprocess.run(
            [sys.executable, "-m", "orvtool.report.status"], capture_output=True, text=True, check=True, timeout=120
        ).stdout
    )


def test_the_json_reference_page_lists_the_keys_the_output_has(tmp_path, capfd):
    """docs/reference/json.md: each table's keys are those of the objects,
    in their order; the rows of nested objects name their keys."""
    page = (os.path.dirname(__file__) + "/../docs/reference/json.md").replace("/", os.sep)
    with open(page, encoding="utf-8") as fh:
        sections = {s.split("\n", 1)[0]: s for s in fh.read().split("\n## ")[1:]}

    def keys(section):
        return [line.split("`")[1] for line in sections[section].splitlines() if line.startswith("| `")]

    def row(section, key):
        (line,) = [line for line in sections[section].splitlines() if line.startswith(f"| `{key}` |")]
        return [word for word in line.split("`")[3::2] if word.isidentifier() and word not in ("null", "true", "false")]

    src = broken_sources(tmp_path)
    (info,) = json.loads(run(capfd, "info", src / "a_ok.orv", "--json")[1])
    (lost,) = json.loads(run(capfd, "info", src / "c_lost.orv", "--json")[1])
    run(capfd, "export", src / "a_ok.orv", "-o", tmp_path / "o", "--report", tmp_path / "r.jsonl")
    (report,) = lines_of((tmp_path / "r.jsonl").read_text())
    assert keys("info") == list(info) and keys("export and build") == list(report)
    assert keys("A finding") == list(lost["findings"][0])
    common = keys("Every object")
    assert [k for k in info if k in common] == common == [k for k in report if k in common]
    assert row("info", "frames") == list(info["frames"][0])
    assert row("info", "runs") == list(info["runs"])
    assert row("info", "palette") == list(info["palette"])
