"""One table of severities: every command gives a file the same label, exit
status and place in the failure summary; a file cut short can be looked at
and salvaged."""

import json
from pathlib import Path

import pytest

from orvtool.cli import main
from orvtool.core import native
from orvtool.report import status
from orvtool_samples import walk, write_project

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", ROOT / "docs" / "reference" / "messages.md"]


def run(capfd, *argv):
    code = main([str(a) for a in argv])
    out, err = capfd.readouterr()
    return code, out, err


def make(tmp_path, case):
    anim = walk()
    if case == "trailing bytes":
        anim.trailing = b"\0" * 5
    path = write_project(tmp_path / "src", "x.orv", anim)
    write_project(tmp_path / "src", "whole.orv", walk())  # a companion: the batch has a summary
    if case == "palette missing":
        path.write_bytes(path.read_bytes().replace(b"pal/test.pal", b"pal/gone.pal"))
    if case == "cut short":
        path.write_bytes(path.read_bytes()[:-3])
    return path


@pytest.mark.parametrize("case", ["whole", "trailing bytes", "palette missing", "cut short"])
def test_every_command_gives_a_file_the_label_status_and_summary_of_the_table(tmp_path, capfd, case):
    path = make(tmp_path, case)
    code, out, err = run(capfd, "info", tmp_path / "src", "--json", "-j", "1")
    doc = next(d for d in json.loads(out) if d["path"] == str(path))
    expected = status.CONSEQUENCES[status.worst(doc["counts"])]
    assert (doc["status"], code) == (expected.label, expected.exit_status)
    assert (f"  {path}: " in err) == expected.counted
    code, _, err = run(capfd, "export", tmp_path / "src", "-o", tmp_path / "out", "-j", "1")
    assert code == expected.exit_status
    assert (f"  {path}: " in err) == expected.counted
    assert (tmp_path / "out" / "x" / "animation.json").is_file() == (not expected.counted)


def test_the_table_covers_every_category_of_the_core_and_the_docs_print_it():
    assert set(status.LOAD_FINDINGS) == set(native.CATEGORIES)
    assert not set(status.LOAD_FINDINGS) & set(status.OWN_FINDINGS)
    assert all(f.severity in status.SEVERITIES for f in status.FINDINGS.values())
    for page in PAGES:
        assert status.markdown_table() in page.read_text(encoding="utf-8"), page


def test_a_file_cut_short_is_described_and_salvaged(tmp_path, capfd):
    path = make(tmp_path, "cut short")
    code, out, err = run(capfd, "info", path)
    assert code == 1 and "frame 2 is cut short" in err
    assert "  frames:    3 read, the file is cut short (3 announced)" in out
    assert "  status:    failed: frames_cut_short 1" in out
    assert sum(line.startswith("      ") for line in out.splitlines()) == 3  # the frame table

    code, _, err = run(capfd, "export", path, "-o", tmp_path / "refused")
    assert code == 1 and "(--salvage exports the 3 frames read)" in err and not (tmp_path / "refused").exists()
    code, out, err = run(capfd, "export", path, "-o", tmp_path / "salvaged", "--salvage")
    assert code == 1
    assert out.strip() == f"wrote {tmp_path / 'salvaged'}/: 3 frames, 7 files (salvaged)"
    assert err.strip().endswith("; 3 frames read before the cut exported (--salvage)")
    # The salvaged export announces the frames it holds: a build gives a whole file.
    assert run(capfd, "build", tmp_path / "salvaged", "-o", tmp_path / "src" / "again.orv")[0] == 0
    code, out, _ = run(capfd, "info", tmp_path / "src" / "again.orv", "--json")
    (doc,) = json.loads(out)
    assert (code, doc["status"], doc["frame_count"]) == (0, "ok", 3)
