"""The orvtool command line: info, export over trees, bad input, exit codes."""

import dataclasses
import io
import json
import os
import struct
import subprocess
import sys
from pathlib import Path

import pytest

from orvtool.build import BuildOptions, build_from_export
from orvtool.cli import build_parser, main
from orvtool.commands import build as build_command
from orvtool.commands import export as export_command
from orvtool.commands import options
from orvtool.commands.options import Option
from orvtool.core.orvfile import Animation, encode_animation
from orvtool.export.exporting import ExportOptions
from orvtool.report import status
from orvtool_samples import quirky, walk, write_project

ROOT = Path(__file__).resolve().parent.parent


def run(capfd, *argv):
    code = main([str(a) for a in argv])
    out, err = capfd.readouterr()
    return code, out, err


def error_lines(err):
    return [line for line in err.splitlines() if line.startswith("orvtool: ") and "note:" not in line]


def test_info_reports_header_frames_and_palette(tmp_path, capfd):
    path = write_project(tmp_path, "objects/walk.orv", walk())
    code, out, err = run(capfd, "info", path, "--json")
    assert code == 0, err
    (info,) = json.loads(out)
    assert info["form"] == "plain" and info["speed"] == 100 and info["frame_count"] == 3
    assert info["palette"]["location"] == "pal/test.pal"
    # found from the animation's folder upwards: objects/pal/test.pal does not exist, pal/test.pal does
    assert info["palette"]["resolved"] == str((tmp_path / "pal" / "test.pal").resolve())
    assert [(f["width"], f["height"], f["x_offset"], f["y_offset"], f["is_shadow"]) for f in info["frames"]] == [
        (5, 3, -2, -3, False),
        (3, 2, -1, 0, True),
        (6, 2, 1, 1, False),
    ]
    assert [f["runs"] for f in info["frames"]] == [3, 2, 2]
    assert info["frames"][2]["frame_size"] == 1234
    assert info["runs"]["covered_pixels"] == 5 + 5 + 7

    code, text, _ = run(capfd, "info", path)
    assert code == 0
    assert "resolved:  " + str((tmp_path / "pal" / "test.pal").resolve()) in text
    rows = [line.split() for line in text.splitlines()]
    assert ["1", "3x2", "-1", "0", "yes", "2", "5", "0", "0", "1"] in rows


def test_info_background_form_and_non_maximal_runs(tmp_path, capfd):
    write_project(tmp_path, "bg.orv", quirky()["background_flag_2"])
    write_project(tmp_path, "split.orv", quirky()["split"])
    code, out, _ = run(capfd, "info", tmp_path / "bg.orv", tmp_path / "split.orv", "--json", "-j", "1")
    assert code == 0
    bg, split = json.loads(out)
    assert bg["form"] == "background" and bg["has_background"] and bg["background_flag"] == 2
    assert bg["frame_count"] == 2 and bg["frame_count_field"] == 1
    assert split["runs"]["non_maximal_rows"] == 1 and not split["frames"][0]["maximal"]


def test_info_says_when_the_palette_is_not_found(tmp_path, capfd):
    path = write_project(tmp_path, "a.orv", walk())
    (tmp_path / "pal" / "test.pal").unlink()
    code, out, err = run(capfd, "info", path, "--json")
    assert code == 1  # an error by the severity table, as in export
    (info,) = json.loads(out)
    assert info["palette"]["resolved"] is None and not info["palette"]["usable"]
    assert info["frame_count"] == 3  # the records are read all the same
    assert f"orvtool: {path}: palette not found" in err
    assert "ERROR:" not in err  # the module's own lines are caught and reworded


def test_export_single_file_into_the_output_folder(tmp_path, capfd):
    path = write_project(tmp_path, "walk.orv", walk())
    code, out, err = run(capfd, "export", path, "-o", tmp_path / "out", "--sheet", "--gif")
    assert code == 0, err
    assert f"wrote {tmp_path / 'out'}" in out
    names = sorted(p.name for p in (tmp_path / "out").iterdir())
    assert names == sorted(
        ["animation.json", "sheet.index.png", "sheet.json", "sheet.png", "preview.gif"]
        + [f"frame_00{i}{s}" for i in range(3) for s in (".png", ".index.png")]
    )
    # a second run without --force refuses and leaves the files alone
    before = (tmp_path / "out" / "animation.json").stat().st_mtime_ns
    code, _, err = run(capfd, "export", path, "-o", tmp_path / "out")
    assert code == 1
    assert len(error_lines(err)) == 1 and "--force" in err and str(path) in err
    assert (tmp_path / "out" / "animation.json").stat().st_mtime_ns == before
    code, _, _ = run(capfd, "export", path, "-o", tmp_path / "out", "--force")
    assert code == 0


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_batch_over_a_tree_finishes_despite_bad_files(tmp_path, capfd, jobs):
    src = tmp_path / "assets"
    write_project(src, "hero/walk.orv", walk())
    write_project(src, "hero/odd/split.orv", quirky()["split"])
    write_project(src, "bg.orv", quirky()["background_flag_2"])
    (src / "hero" / "broken.orv").write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(40))  # not an animation
    whole = encode_animation(walk())
    (src / "cut.orv").write_bytes(whole[:-3])  # cut short
    (src / "notes.txt").write_text("not matched by the pattern")
    out = tmp_path / "out"
    code, stdout, err = run(capfd, "export", src, "-o", out, "--jobs", jobs, "--gif")
    assert code == 1
    lines = error_lines(err)
    failed = [line for line in lines if line.startswith(f"orvtool: {src}")]
    assert len(failed) == 2
    assert any("broken.orv: a PNG image, not an animation file" in line for line in failed)
    assert any("cut.orv: frame 2 is cut short" in line for line in failed)
    assert "orvtool: 2 of 5 files failed:" in err
    for rel in ("hero/walk", "hero/odd/split", "bg"):
        assert (out / rel / "animation.json").is_file(), rel
        assert (out / rel / "preview.gif").is_file()
        assert f"wrote {out / rel}" in stdout
    build_from_export(str(out / "hero" / "odd" / "split"), str(tmp_path / "split.orv"))
    assert (tmp_path / "split.orv").read_bytes() == (src / "hero/odd/split.orv").read_bytes()
    assert not (out / "hero" / "broken").exists() and not (out / "cut").exists()
    assert "\r" not in err  # no progress bar when stderr is not a terminal


def test_missing_inputs_and_unwritable_output(tmp_path, capfd):
    path = write_project(tmp_path, "walk.orv", walk())
    code, _, err = run(capfd, "info", tmp_path / "nope.orv", path)
    assert code == 1
    assert error_lines(err)[0] == f"orvtool: {tmp_path / 'nope.orv'}: no such file or folder"

    (tmp_path / "blocker").write_text("a file where the output folder should go")
    code, _, err = run(capfd, "export", path, "-o", tmp_path / "blocker" / "out")
    assert code == 1
    (line,) = error_lines(err)
    assert line.startswith(f"orvtool: {path}: cannot create output folder {tmp_path / 'blocker' / 'out'}")

    code, _, err = run(capfd, "export", tmp_path / "empty", "-o", tmp_path / "x")
    assert code == 1 and "no such file or folder" in err


def test_bad_files_give_one_line_each(tmp_path, capfd):
    write_project(tmp_path, "ok.orv", walk())
    write_project(tmp_path, "noframes.orv", Animation(frames=[]))
    (tmp_path / "empty.orv").write_bytes(b"")
    text = b"hello, this is not an animation at all"
    (tmp_path / "text.orv").write_bytes(text)
    claimed = struct.unpack_from("<I", text, 4)[0]  # the bytes where the palette path length would be
    code, out, err = run(capfd, "export", tmp_path, "-o", tmp_path / "out")
    assert code == 1
    lines = error_lines(err)
    assert sorted(lines[:3]) == [
        f"orvtool: {tmp_path / 'empty.orv'}: not an animation file: only 0 bytes",
        f"orvtool: {tmp_path / 'noframes.orv'}: the animation holds no frames",
        f"orvtool: {tmp_path / 'text.orv'}: not an animation file: its palette path length {claimed} "
        f"runs past the end of the file ({len(text)} bytes)",
    ]
    assert lines[3] == "orvtool: 3 of 4 files failed:"
    assert (tmp_path / "out" / "ok" / "animation.json").is_file()
    assert "ERROR:" not in err

    code, out, err = run(capfd, "info", tmp_path, "--json")
    assert code == 1
    docs = {Path(d["path"]).name: d for d in json.loads(out)}
    assert docs["empty.orv"]["failure"] == "not an animation file: only 0 bytes"
    assert docs["ok.orv"]["frame_count"] == 3 and docs["ok.orv"]["failure"] is None


def test_bad_arguments_are_usage_errors(tmp_path, capfd):
    with pytest.raises(SystemExit) as exc:
        main(["export", str(tmp_path), "-o", str(tmp_path / "o"), "--fps", "0"])
    assert exc.value.code == 2
    with pytest.raises(SystemExit) as exc:
        main(["info"])
    assert exc.value.code == 2


@pytest.mark.parametrize(
    "argv, expected, filled",
    [
        (
            ["build", "S", "-o", "O"],
            dict(
                paths=["S"], origin=None, anchor=None, progress=True, jobs=os.cpu_count() or 1, verbose=0, quiet=False
            ),
            dict(origin=None, offset=None, palette=None, force=False, speed=None),
        ),
        (
            ["build", "S", "T", "-o", "O", "--origin", "-3", "7", "--anchor", "Centre", "--no-progress", "-j", "3"]
            + ["--transparent", "rgb(1, 2, 3)", "--resize-anchor", "bottom-centre", "-vv", "--offset", "4", "-5"]
            + ["--palette", "P", "-f", "--speed", "9", "--tag", "t", "--shadow"],
            dict(paths=["S", "T"], origin=[-3, 7], anchor="center", resize_anchor="bottom-center", progress=False)
            | dict(jobs=3, transparent=(1, 2, 3), verbose=2),
            dict(origin=(-3, 7), offset=(4, -5), anchor="center", resize_anchor="bottom-center", palette="P")
            | dict(transparent=(1, 2, 3), force=True, speed=9, tag="t", shadow=True, background=False),
        ),
        (
            ["export", "A", "-o", "O"],
            dict(sheet_json="hash", sheet_layout="packed", fps=10.0, scale=1, padding=1, only=None, pattern="*.orv"),
            dict(sheet_json="hash", sheet_layout="packed", fps=10.0, scale=1, padding=1, only=None, root="O"),
        ),
        (
            ["export", "A", "-o", "O", "--json", "array", "--only", "gif, frames", "--padding", "0", "-q"]
            + ["--palette", "P", "--matte", "white", "--salvage"],
            dict(sheet_json="array", only=["gif", "frames"], padding=0, quiet=True, verbose=0),
            dict(sheet_json="array", only=["gif", "frames"], padding=0, palette="P", matte=(255, 255, 255))
            | dict(salvage=True, skip_existing=False),
        ),
    ],
)
def test_declared_options_parse_to_their_values(argv, expected, filled):
    """What each option's declaration carries besides its flags: the name it
    is stored under, its count of values, its check, its default and the
    field of the command's options that it fills."""
    args = build_parser([argv[0]]).parse_args(argv)
    assert {name: getattr(args, name) for name in expected} == expected
    module, cls = OPTIONS_OF[argv[0]]
    made: object = options.parse_into(cls, args, module.ARGUMENTS)
    assert {name: getattr(made, name) for name in filled} == filled


# Each command whose options are a dataclass: its module and the dataclass,
# and the fields that the work sets rather than the command line.
OPTIONS_OF = {"build": (build_command, BuildOptions), "export": (export_command, ExportOptions)}
SET_BY_THE_WORK = {"build": {"made_palette"}, "export": set()}


@pytest.mark.parametrize("command", sorted(OPTIONS_OF))
def test_every_option_lands_and_every_field_is_filled(command):
    """Each field of the options is filled by one declared option (or is the
    work's); each declared option fills a field or is read by the command."""
    module, cls = OPTIONS_OF[command]
    fills = [o.fills for o in module.ARGUMENTS if o.fills]
    assert len(fills) == len(set(fills)), fills
    assert set(fills) | SET_BY_THE_WORK[command] == {f.name for f in dataclasses.fields(cls)}
    source = Path(str(module.__file__)).read_text()
    unread = [o.flags[0] for o in module.ARGUMENTS if not o.fills and f"args.{o.name}" not in source]
    assert unread == []


def test_an_option_that_fills_no_field_is_refused():
    args = build_parser(["build"]).parse_args(["build", "S", "-o", "O"])
    wrong = [Option(("--tag",), "", fills="tags")]
    with pytest.raises(ValueError, match="--tag fills 'tags'"):
        options.parse_into(BuildOptions, args, wrong)


def test_verbosity_stays_with_its_command(tmp_path):
    """Two commands in one process, each printing to its own streams at its
    own verbosity; nothing of either is left for what runs after them."""
    paths = [str(write_project(tmp_path, name, walk())) for name in ("a.orv", "b.orv")]
    loud_out, loud_err, quiet_out, quiet_err = (io.StringIO() for _ in range(4))
    assert main(["info", *paths, "-j", "1"], status.Environment(loud_out, loud_err)) == 0
    assert main(["info", "-q", *paths, "-j", "1", "--json"], status.Environment(quiet_out, quiet_err)) == 0
    assert loud_err.getvalue() == "orvtool: described 2 files\n"
    assert "frames" in loud_out.getvalue() and quiet_err.getvalue() == ""
    assert [info["frame_count"] for info in json.loads(quiet_out.getvalue())] == [3, 3]
    assert status.current() == status.DEFAULT
    note = status.Finding("frame_added", "a note")
    assert status.finding_line(note, "x") == "orvtool: x: note: a note"  # not kept back by the -q before
    assert status.finding_line(note, "x", status.Environment.of(quiet=True)) is None


def test_module_and_console_script_run(tmp_path):
    path = write_project(tmp_path, "walk.orv", walk())
    env = dict(os.environ, COLUMNS="200")
    result = subprocess.run(
        [sys.executable, "-m", "orvtool", "info", str(path), "--json"], capture_output=True, text=True, env=env
    )
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout)[0]["speed"] == 100
    script = Path(sys.executable).with_name("orvtool")
    result = subprocess.run(
        [str(script), "export", str(path), "-o", str(tmp_path / "o")], capture_output=True, text=True
    )
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "o" / "animation.json").is_file()
    result = subprocess.run([str(script), "info", str(tmp_path / "missing.orv")], capture_output=True, text=True)
    assert result.returncode == 1
    assert result.stderr.splitlines()[0] == f"orvtool: {tmp_path / 'missing.orv'}: no such file or folder"


@pytest.mark.parametrize("words", [["--version"], ["--help"]])
def test_the_installed_command_answers_version_and_help_without_the_module(words):
    """The console script as installed, in a process of its own: what it
    imports is what Python's import log says."""
    script = Path(sys.executable).with_name("orvtool")
    result = subprocess.run(
        [sys.executable, "-X", "importtime", str(script), *words], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("orvtool ") or result.stdout.startswith("usage: orvtool")
    imported = {
        line.rsplit("|", 1)[-1].strip() for line in result.stderr.splitlines() if line.startswith("import time:")
    }
    assert "orvtool.cli" in imported
    heavy = {n for n in imported if n.split(".")[0] in ("numpy", "PIL", "pyorv", "tqdm") or n == "orvtool._native"}
    # --version names the core's version: the module, without numpy or Pillow.
    assert heavy == ({"pyorv"} if words == ["--version"] else set())


@pytest.mark.parametrize("words", [["--version"], ["--help"], ["build", "--help"]])
def test_the_command_line_loads_only_what_runs(words):
    """Version and help come without numpy, Pillow or orvtool's native module
    (the version asks pyorv for the core's); a command's help loads that
    command alone."""
    code = (
        "import json, sys\n"
        "from orvtool.cli import main\n"
        f"try:\n    main({words!r})\nexcept SystemExit:\n    pass\n"
        "heavy = sorted(m for m in ('numpy', 'PIL', 'pyorv', 'orvtool._native', 'tqdm') if m in sys.modules)\n"
        "commands = sorted(m for m in sys.modules if m.startswith('orvtool.commands.') and m != 'orvtool.commands.options')\n"
        "print(json.dumps([heavy, commands]), file=sys.stderr)\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    heavy, commands = json.loads(result.stderr.splitlines()[-1])
    if words[0] == "build":
        assert "numpy" in heavy and commands == ["orvtool.commands.build"]
        assert "--quantize" in result.stdout
    else:
        assert heavy == (["pyorv"] if words == ["--version"] else []) and commands == []
        assert "orvtool" in result.stdout
