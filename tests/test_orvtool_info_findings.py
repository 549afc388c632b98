"""What `orvtool info` says about odd and broken files: the load's status,
its findings by category, and messages that name the file, frame and row."""

import json

from orvtool.cli import main
from orvtool.core.orvfile import encode_palette
from orvtool.report.results import INFO_KEYS
from orvtool_samples import PALETTE, walk, write_project


def info(capfd, *paths):
    code = main(["info", *map(str, paths), "--json", "-j", "1"])
    out, err = capfd.readouterr()
    assert "ERROR:" not in err  # the loader prints nothing of its own
    return code, json.loads(out), err


def test_a_whole_file_has_no_findings(tmp_path, capfd):
    path = write_project(tmp_path, "w.orv", walk())
    code, (doc,), _ = info(capfd, path)
    assert (code, doc["status"], doc["counts"], doc["findings"]) == (0, "ok", {}, [])
    main(["info", str(path)])
    assert "  status:    ok" in capfd.readouterr().out.splitlines()


def test_trailing_bytes_are_a_finding(tmp_path, capfd):
    anim = walk()
    anim.trailing = b"\0" * 7
    path = write_project(tmp_path, "t.orv", anim)
    code, (doc,), _ = info(capfd, path)
    assert (code, doc["status"], doc["counts"], doc["trailing_bytes"]) == (0, "problems", {"trailing_bytes": 1}, 7)
    main(["info", str(path)])
    text = capfd.readouterr().out
    assert "  status:    problems: trailing_bytes 1" in text
    assert "    warning trailing_bytes: 7 bytes after the last frame record" in text


def test_missing_palette(tmp_path, capfd):
    path = write_project(tmp_path, "m.orv", walk())
    (tmp_path / "pal" / "test.pal").unlink()
    code, (doc,), err = info(capfd, path)
    assert (code, doc["status"], doc["palette"]["usable"]) == (1, "failed", False)
    assert doc["counts"] == {"palette_not_found": 1, "palette_open_failed": 1, "no_palette_data": 1}
    assert [f["severity"] for f in doc["findings"]] == ["error", "error", "error"]
    looked = f"looked for 'pal/test.pal' from {tmp_path}, in that folder and each folder above it"
    assert f"orvtool: {path}: palette not found: {looked}" in err
    assert [f["message"] for f in doc["findings"]] == [  # orvtool's words: the path, not the core's empty one
        f"palette not found: {looked}",
        "no palette file opened: 'pal/test.pal' was not found",
        "no palette colours to render with: the palette was not found",
    ]


def test_palette_shorter_than_the_indices_used(tmp_path, capfd):
    # walk() uses indices up to 9; its palette holds 8 entries.
    path = write_project(tmp_path, "s.orv", walk())
    (tmp_path / "pal" / "test.pal").write_bytes(encode_palette(PALETTE[:8]))
    code, (doc,), _ = info(capfd, path)
    assert (code, doc["status"], doc["counts"]) == (0, "problems", {"index_past_palette_file": 1})
    (finding,) = doc["findings"]
    assert (finding["frame"], finding["row"], finding["index"]) == (2, 1, 9)
    main(["info", str(path)])
    assert "frame 2: 1 pixel uses an index past the palette file's 8 entries (first in row 1: index 9" in (
        capfd.readouterr().out
    )


def test_files_cut_short_and_foreign_files_fail_with_their_findings(tmp_path, capfd):
    whole = write_project(tmp_path, "ok.orv", walk()).read_bytes()
    (tmp_path / "cut.orv").write_bytes(whole[:-3])
    (tmp_path / "png.orv").write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(40))
    code, docs, err = info(capfd, tmp_path)
    assert code == 1
    by_name = {d["path"].rsplit("/", 1)[-1]: d for d in docs}
    cut, png = by_name["cut.orv"], by_name["png.orv"]
    assert (
        cut["failure"]
        == f"frame 2 is cut short: the file ends inside its record, at byte {len(whole) - 3} (3 frames announced)"
    )
    assert (cut["status"], cut["counts"], len(cut["frames"])) == ("failed", {"frames_cut_short": 1}, 3)
    assert cut["findings"][0]["frame"] == 2
    assert png["failure"] == "a PNG image, not an animation file"
    # Its palette location is empty: the search stops at the animation's own
    # folder, which the palette load cannot open.
    assert (png["status"], png["counts"]) == (
        "failed",
        {"not_an_animation": 1, "head_cut_short": 1, "palette_open_failed": 1, "no_frames": 1},
    )
    assert f"orvtool: {tmp_path / 'cut.orv'}: frame 2 is cut short" in err
    assert by_name["ok.orv"]["status"] == "ok"


def test_every_object_has_the_keys_of_the_reference_in_their_order(tmp_path, capfd):
    """Whatever was read of a file (all of it, a failed load's findings, what
    a cut file gives, nothing at all), its object has every key, in order."""
    whole = write_project(tmp_path, "ok.orv", walk()).read_bytes()
    (tmp_path / "cut.orv").write_bytes(whole[:-3])
    (tmp_path / "png.orv").write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(40))
    (tmp_path / "path.orv").write_bytes(whole[:4] + (2**31).to_bytes(4, "little") + whole[8:])  # its head runs out
    _, docs, _ = info(capfd, tmp_path, tmp_path / "gone.orv")
    assert len(docs) == 5
    for doc in docs:
        assert tuple(doc) == INFO_KEYS, doc["path"]
        described = doc["form"] is not None  # else only the load's findings, or nothing, were read
        assert (doc["palette"] is not None) == described == (doc["runs"] is not None), doc
    assert sum(doc["form"] is not None for doc in docs) == 2  # ok.orv, cut.orv
