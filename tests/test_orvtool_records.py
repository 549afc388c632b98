"""The record model from the documents orvtool reads: numbers converted once,
counts checked against the frames they count, sheet tags and durations."""

import json

import pytest

from orvtool.build.plan import tag_file_names
from orvtool.cli import main
from orvtool.formats import sheets
from orvtool_samples import walk, write_project


def exported(tmp_path, capfd, *extra):
    source = write_project(tmp_path, "w.orv", walk())
    assert main(["export", str(source), "-o", str(tmp_path / "out"), *extra]) == 0
    capfd.readouterr()
    return source, tmp_path / "out"


@pytest.mark.parametrize(
    "edit",
    [
        lambda d: d.update(speed=float(d["speed"])),
        lambda d: d.update(frame_count_field=float(d["frame_count_field"])),
        lambda d: d["palette"].update(location_size=float(d["palette"]["location_size"])),
        lambda d: [f.update(width=float(f["width"]), x_offset=float(f["x_offset"])) for f in d["frames"]],
        lambda d: d["frames"][1].update(height_word=float(d["frames"][1]["height_word"])),
    ],
    ids=["speed", "count", "location_size", "frame fields", "height_word"],
)
def test_whole_numbers_written_as_floats_build_the_same_file(tmp_path, capfd, edit):
    source, out = exported(tmp_path, capfd)
    doc = json.loads((out / "animation.json").read_text())
    edit(doc)
    (out / "animation.json").write_text(json.dumps(doc))
    assert main(["build", str(out), "-o", str(tmp_path / "back.orv")]) == 0, capfd.readouterr().err
    assert (tmp_path / "back.orv").read_bytes() == source.read_bytes()


@pytest.mark.parametrize(
    "meta, words",
    [
        ({"frameTags": 5}, ["'meta.frameTags' is 5, not a list"]),
        ({"frameTags": [{"name": "a", "from": 0, "to": 0}, {"name": "a", "from": 1, "to": 1}]}, ["'a' is named twice"]),
        ({"frameTags": [{"name": "a", "from": 0, "to": 1.5}]}, ["'to' is 1.5, not a whole number"]),
    ],
)
def test_sheet_tags_that_cannot_be_read_are_named(tmp_path, capfd, meta, words):
    _, out = exported(tmp_path, capfd, "--sheet")
    doc = json.loads((out / "sheet.json").read_text())
    doc["meta"].update(meta)
    (out / "sheet.json").write_text(json.dumps(doc))
    assert main(["build", str(out / "sheet.json"), "-o", str(tmp_path / "b.orv")]) == 1
    err = capfd.readouterr().err
    assert len(err.strip().splitlines()) == 1 and "sheet.json" in err and "Traceback" not in err
    for word in words:
        assert word in err


def test_tags_whose_file_names_fall_together_get_distinct_files(tmp_path, capfd):
    assert tag_file_names(["a/b", "a_b", "A_B", "c"]) == {
        "a/b": "a_b.orv",
        "a_b": "a_b-2.orv",
        "A_B": "A_B-3.orv",
        "c": "c.orv",
    }
    _, out = exported(tmp_path, capfd, "--sheet")
    doc = json.loads((out / "sheet.json").read_text())
    doc["meta"]["frameTags"] = [{"name": "a/b", "from": 0, "to": 1}, {"name": "a_b", "from": 2, "to": 2}]
    del doc["meta"]["orvtool"]  # plain frames: the palette is named
    (out / "sheet.json").write_text(json.dumps(doc))
    pal = tmp_path / "pal" / "test.pal"
    assert (
        main(["build", str(out / "sheet.json"), "-o", str(tmp_path / "tags"), "--each-tag", "--palette", str(pal)]) == 0
    )
    stdout = capfd.readouterr().out
    assert "a_b.orv: 2 frames" in stdout and "a_b-2.orv: 1 frames" in stdout
    assert sorted(p.name for p in (tmp_path / "tags").iterdir()) == ["a_b-2.orv", "a_b.orv"]
    assert sorted(sheets.read_sheet(str(out / "sheet.json")).tags) == ["a/b", "a_b"]


def test_sheet_durations_are_read_into_the_frames(tmp_path, capfd):
    _, out = exported(tmp_path, capfd, "--sheet")
    doc = json.loads((out / "sheet.json").read_text())
    for k, entry in enumerate(doc["frames"].values()):
        entry["duration"] = [500, 200.0, 60][k]
    (out / "sheet.json").write_text(json.dumps(doc))
    assert [f.duration for f in sheets.read_sheet(str(out / "sheet.json")).frames] == [500, 200, 60]
    doc["frames"]["frame_000.png"]["duration"] = -1
    (out / "sheet.json").write_text(json.dumps(doc))
    assert main(["build", str(out / "sheet.json"), "-o", str(tmp_path / "b.orv")]) == 1
    assert "'duration' is -1" in capfd.readouterr().err
