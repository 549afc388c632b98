"""The load report of orvtool's private module: what a load found in the
file, the palette and the rendering, as plain values, without a line on
standard error."""

import os

import pytest

import pyorv
from conftest import gray_palette
from orvtool import _native
from orvtool.core.orvfile import Animation, Frame, Row, Run, encode_animation, encode_palette


def one_pixel(index=1):
    return Frame(width=1, rows=[Row([Run(0, bytes([index]))])])


def two_frames():
    return Animation(
        speed=9, palette_path=b"a.pal", frames=[one_pixel(1), Frame(width=2, rows=[Row([Run(1, b"\x02")])] * 2)]
    )


@pytest.fixture
def project(tmp_path):
    (tmp_path / "a.pal").write_bytes(encode_palette(gray_palette()))
    return tmp_path


@pytest.fixture(autouse=True)
def prints_nothing(capfd):
    yield
    assert capfd.readouterr().err == ""


def categories(report):
    return {d["category"] for d in report["diagnostics"]}


def test_a_whole_file(project):
    data = encode_animation(two_frames())
    (project / "w.orv").write_bytes(data)
    r = _native.load_report(str(project / "w.orv"), images=True)
    assert (r["status"], r["opened"], r["file_size"], r["diagnostics"], r["counts"]) == ("ok", True, len(data), [], {})
    assert r["form"] == {"has_header": False, "reserved": None, "flag": None}
    assert (r["speed"], r["path_length"], r["path_field"], r["location"]) == (9, 6, b"a.pal\0", b"a.pal")
    assert (r["frame_count_field"], r["frame_count"], r["frames_whole"], r["trailing"]) == (2, 2, True, b"")
    # The records lie end to end from the head to the end of the file.
    f0, f1 = r["frames"]
    assert (f0["start"], f0["end"], f1["start"], f1["end"]) == (r["head_size"], 36, 36, len(data))
    assert f1["rows"] == [(1, [(1, 1, b"\x02")])] * 2 and f1["height_word"] == 2
    pal = r["palette"]
    assert (pal["path"], pal["from_option"], pal["result"], pal["entry_count"], pal["problem"]) == (
        str((project / "a.pal").resolve()),
        False,
        1,
        256,
        None,
    )
    assert pal["tried"] == [str(project / "a.pal")] and pal["colors"][8:12] == bytes(gray_palette()[2])
    # The images are those pyorv renders.
    f = pyorv.OrvF()
    f.load(str(project / "w.orv"))
    assert [(i["width"], i["height"], i["pixels"]) for i in r["images"]] == [
        (i.width, i.height, i.pixels) for i in f.get_frame_buffer()
    ]


def test_background_form_fields(project):
    anim = Animation(
        palette_path=b"a.pal",
        has_background=True,
        background_flag=2,
        reserved=b"xyzw",
        frames=[one_pixel(), one_pixel()],
        frame_count=1,
    )
    (project / "b.orv").write_bytes(encode_animation(anim))
    r = _native.load_report(project / "b.orv", records=False)
    assert r["form"] == {"has_header": True, "reserved": b"xyzw", "flag": 2}
    assert (r["frame_count_field"], r["frames_wanted"], r["frame_count"], r["has_background"]) == (1, 2, 2, True)
    assert r["head_size"] == 9 + 12 + 6 and "rows" not in r["frames"][0]


def test_files_cut_short(project):
    data = encode_animation(two_frames())
    head = 4 + 4 + 6 + 4
    cases = {
        head - 1: ("head_cut_short", None, 0),  # frame count missing
        10: ("head_cut_short", None, 0),  # inside the path
        head: ("frames_cut_short", 0, 0),  # before the first record
        36: ("frames_cut_short", 1, 1),  # between the records
        40: ("frames_cut_short", 1, 2),  # inside the second record
        len(data) - 1: ("frames_cut_short", 1, 2),
    }
    for size, (category, frame, records) in cases.items():
        (project / "c.orv").write_bytes(data[:size])
        r = _native.load_report(str(project / "c.orv"))
        assert category in r["counts"], (size, r["diagnostics"])
        [d] = [d for d in r["diagnostics"] if d["category"] == category]
        assert (d["error_line"], d["frame"]) == (False, frame), size
        assert (r["frames_whole"], r["trailing"], len(r["frames"])) == (False, b"", records), size
        if records:
            assert r["frames"][-1]["whole"] is (size == 36) and r["frames"][-1]["end"] <= size
        assert r["status"] == ("problems" if records else "failed"), size
        if size == head - 1:
            assert (
                d["message"]
                == f"not an animation file: its palette path length 6 runs past the end of the file ({size} bytes)"
            )
        if size == 40:
            assert (
                d["message"] == "frame 1 is cut short: the file ends inside its record, at byte 40 (2 frames announced)"
            )
        if size == 36:
            assert d["message"] == "the file ends before frame record 1 (2 frames announced)"


def test_trailing_bytes(project):
    anim = two_frames()
    anim.trailing = b"junk\0"
    data = encode_animation(anim)
    (project / "t.orv").write_bytes(data)
    r = _native.load_report(str(project / "t.orv"), trailing=1 << 20)
    assert (r["status"], r["counts"], r["trailing"], r["trailing_start"], r["trailing_bytes"]) == (
        "problems",
        {"trailing_bytes": 1},
        b"junk\0",
        len(data) - 5,
        5,
    )
    assert "5 bytes after the last frame record" in r["diagnostics"][0]["message"]
    # Unless asked for, they are counted, not read: the same report without them.
    counted = _native.load_report(str(project / "t.orv"))
    assert (counted["trailing"], counted["trailing_bytes"], counted["file_size"]) == (b"", 5, len(data))
    assert counted["diagnostics"] == r["diagnostics"]
    # A file without frames trails right after its head.
    (project / "e.orv").write_bytes(encode_animation(Animation(palette_path=b"a.pal", trailing=b"xy")))
    r = _native.load_report(str(project / "e.orv"), trailing=1 << 20)
    assert (r["trailing"], r["trailing_start"], r["status"]) == (b"xy", r["head_size"], "failed")
    assert set(r["counts"]) == {"trailing_bytes", "no_frames"}


def test_missing_palette(project, capfd):
    (project / "sub").mkdir()
    (project / "sub" / "m.orv").write_bytes(encode_animation(Animation(palette_path=b"gone.pal", frames=[one_pixel()])))
    r = _native.load_report(str(project / "sub" / "m.orv"), images=True)
    assert (r["status"], r["images"], len(r["frames"])) == ("failed", None, 1)
    pal = r["palette"]
    assert (pal["path"], pal["result"], pal["problem"], pal["colors"]) == (None, -1, "not_found", b"")
    assert pal["tried"][:2] == [str(project / "sub" / "gone.pal"), str(project / "gone.pal")]
    # The module's error lines are in the report, in order, without being printed.
    assert [(d["category"], d["error_line"], d["message"]) for d in r["diagnostics"]] == [
        (
            "palette_not_found",
            False,
            "palette not found: no 'gone.pal' in the animation's folder or any folder above it",
        ),
        ("palette_open_failed", True, "Could not open palette file: "),
        ("no_palette_data", True, "No palette data available!"),
    ]
    # A palette named by io_pal that is a directory, or does not exist.
    r = _native.load_report(str(project / "sub" / "m.orv"), io_pal=str(project / "sub"))
    assert (r["palette"]["is_directory"], r["palette"]["problem"]) == (True, "is_directory")
    r = _native.load_report(str(project / "sub" / "m.orv"), io_pal=b"nope.pal")
    assert (r["palette"]["from_option"], r["palette"]["location"], r["palette"]["tried"]) == (True, b"nope.pal", [])
    assert r["palette"]["path"].endswith("/nope.pal") and r["palette"]["problem"] == "missing"


def test_palette_shorter_than_the_indices_used(project):
    # Four entries in the file: indices 4 and up take the fill colour.
    (project / "four.pal").write_bytes(encode_palette(gray_palette(4)))
    rows = [Row([Run(0, b"\x01\x02")]), Row([Run(0, b"\x03\x05\x09")])]
    frames = [Frame(width=3, rows=rows), one_pixel(3), Frame(width=2, rows=[Row([Run(0, b"\x07\x04")])])]
    (project / "s.orv").write_bytes(encode_animation(Animation(palette_path=b"four.pal", frames=frames)))
    r = _native.load_report(str(project / "s.orv"), images=True)
    assert (r["status"], r["counts"], len(r["images"])) == ("problems", {"index_past_palette_file": 2}, 3)
    first, last = r["diagnostics"]
    assert (first["frame"], first["row"], first["index"]) == (0, 1, 5)
    assert (last["frame"], last["row"], last["index"]) == (2, 0, 7)
    assert "2 pixels use indices past the palette file's 4 entries" in first["message"]
    assert r["images"][0]["pixels"][4 * 4 : 4 * 5] == bytes((0, 0, 0, 255))  # index 5: opaque black fill
    # A palette file shorter than its own count says so as well.
    (project / "four.pal").write_bytes(encode_palette(gray_palette(2), count=4))
    r = _native.load_report(str(project / "s.orv"))
    assert r["counts"] == {"palette_short": 1, "index_past_palette_file": 2}
    assert (r["palette"]["entry_count"], r["palette"]["entries_in_file"]) == (4, 2)


def test_foreign_and_unreadable_files(project):
    png = b"\x89PNG\r\n\x1a\n" + bytes(range(64))
    (project / "x.orv").write_bytes(png)
    r = _native.load_report(str(project / "x.orv"))
    assert (r["status"], len(r["frames"]), r["form"]["has_header"]) == ("failed", 0, False)
    assert "head_cut_short" in r["counts"] and "its palette path length" in r["diagnostics"][0]["message"]
    (project / "x.orv").write_bytes(b"FVRO\0\0")
    r = _native.load_report(str(project / "x.orv"))
    assert r["diagnostics"][0]["message"] == "not an animation file: the header is cut short"
    assert r["form"] == {"has_header": True, "reserved": b"\0\0\0\0", "flag": None}
    # A palette file read as an animation: counts that run past its end.
    (project / "p.orv").write_bytes(encode_palette(gray_palette(8)))
    r = _native.load_report(str(project / "p.orv"))
    assert r["status"] == "failed" and r["counts"].keys() & {"head_cut_short", "frames_cut_short"}
    for missing in (project / "nope.orv", project):
        r = _native.load_report(missing)
        assert (r["status"], r["opened"], r["counts"]) == ("failed", False, {"file_open_failed": 1})


def test_diagnostics_are_kept_up_to_a_bound_and_counted(project):
    (project / "one.pal").write_bytes(encode_palette(gray_palette(1)))
    frames = [one_pixel(1)] * 300
    (project / "many.orv").write_bytes(encode_animation(Animation(palette_path=b"one.pal", frames=frames)))
    r = _native.load_report(str(project / "many.orv"), records=False)
    assert r["counts"] == {"index_past_palette_file": 300} and r["diagnostics_total"] == 300
    kept = r["diagnostics"]
    assert len(kept) == 256 and [d["frame"] for d in kept] == list(range(256))


def test_a_failing_palette_search_is_reported_not_raised(project):
    (project / "loop").symlink_to(project / "loop")
    (project / "l.orv").write_bytes(encode_animation(Animation(palette_path=b"loop/x.pal", frames=[one_pixel()])))
    r = _native.load_report(str(project / "l.orv"))
    assert (r["status"], r["counts"]) == ("failed", {"palette_search_failed": 1})
    assert "exists" in r["diagnostics"][0]["message"]
    assert len(_native.open_frames(str(project / "l.orv"))) == 0


@pytest.mark.parametrize(
    "case, category, named",
    [
        ("animation missing", "file_open_failed", ["gone.orv"]),
        ("palette missing", "palette_open_failed", ["nope.pal"]),
        ("palette named in bytes that are not UTF-8", "palette_open_failed", ["\udcff.pal"]),
        ("palette search failed", "palette_search_failed", ["loop/x.pal"]),
        ("too many frame records", "too_many_frames", []),
    ],
)
def test_findings_name_their_files_as_fields(project, case, category, named):
    """The files a finding concerns come as fields, each where its message
    names it; orvtool's pieces of a message are made from them."""
    from orvtool.core import native
    from orvtool.load.loading import Named, core_pieces, said

    (project / "loop").symlink_to(project / "loop")
    frames = [one_pixel()] * 3
    (project / "l.orv").write_bytes(encode_animation(Animation(palette_path=b"loop/x.pal", frames=frames)))
    (project / "w.orv").write_bytes(encode_animation(Animation(palette_path=b"a.pal", frames=frames)))
    name, io_pal, budget = {
        "animation missing": ("gone.orv", None, None),
        "palette missing": ("w.orv", "nope.pal", None),
        "palette named in bytes that are not UTF-8": ("w.orv", b"\xff.pal", None),
        "palette search failed": ("l.orv", None, None),
        "too many frame records": ("w.orv", None, 2),
    }[case]
    full = [str(project / n) for n in named]
    path = project / name
    pal = None if io_pal is None else os.path.join(os.fsencode(project), os.fsencode(io_pal))
    r = _native.load_report(str(path), pal, max_records=budget)
    d = next(d for d in r["diagnostics"] if d["category"] == category)
    assert list(d["paths"]) == full and len(d["spans"]) == len(full)
    message = d["message"]
    for (start, end), p in zip(d["spans"], full, strict=True):
        # As the message shows it: bytes that are not UTF-8 escaped there.
        assert message[start:end] == p.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    pieces = core_pieces(native.Diagnostic(**d), native.PaletteReport(**r["palette"]), str(path))
    assert said(pieces) == message
    assert [p.path for p in pieces if isinstance(p, Named)] == [message[a:b] for a, b in d["spans"]]
    if category == "palette_search_failed":
        assert message.endswith(f" [{full[0]}]") and "exists" in message


def test_frames_one_at_a_time(project):
    (project / "w.orv").write_bytes(encode_animation(two_frames()))
    whole = _native.load_report(str(project / "w.orv"), images=True)["images"]
    stream = _native.open_frames(str(project / "w.orv"))
    assert len(stream) == 2
    assert [stream.render(i) for i in (1, 0)] == [whole[1], whole[0]]
    with pytest.raises(IndexError):
        stream.render(2)
    assert stream.report()["status"] == "ok"
    # Rendering findings join the report as frames are rendered: a frame too
    # large to render keeps its place as an empty image.
    frames = [one_pixel(), Frame(width=65535, rows=[Row([])] * 30000)]
    (project / "r.orv").write_bytes(encode_animation(Animation(palette_path=b"a.pal", frames=frames)))
    stream = _native.open_frames(str(project / "r.orv"))
    before = stream.report()
    assert "rows" not in before["frames"][0] and before["counts"] == {}
    assert stream.render(1) == {"index": 1, "width": 0, "height": 0, "offset_x": 0, "offset_y": 0, "pixels": b""}
    after = stream.report(records=True)
    assert (after["status"], after["counts"]) == ("problems", {"frame_too_large": 1})
    assert after["diagnostics"][0]["frame"] == 1 and len(after["frames"][1]["rows"]) == 30000
    # Without a palette there is nothing to render.
    (project / "a.pal").unlink()
    stream = _native.open_frames(str(project / "w.orv"))
    assert stream.render(0) is None and stream.report()["counts"]["no_palette_data"] == 1


def test_misuse_raises_type_error():
    for call in (
        lambda: _native.load_report(),  # type: ignore[call-arg]  # refused on purpose
        lambda: _native.load_report(3),  # type: ignore[arg-type]  # refused on purpose
        lambda: _native.load_report("a", 5),  # type: ignore[arg-type]  # refused on purpose
        lambda: _native.load_report("a", "", True),  # type: ignore[call-arg]  # refused on purpose
        lambda: _native.open_frames(None),  # type: ignore[arg-type]  # refused on purpose
    ):
        with pytest.raises(TypeError):
            call()
    assert "OrvF" not in dir(_native) and set(_native.CATEGORIES) >= {"row_missing", "trailing_bytes"}


def test_the_palette_search_alone(project):
    (project / "g" / "objects" / "tree").mkdir(parents=True)
    (project / "g" / "objects" / "tree" / "tree.pal").write_bytes(b"")
    anim = project / "g" / "objects" / "tree" / "n"
    found, tried = _native.find_palette(str(anim), b"objects/tree/tree.pal")
    assert found == str((project / "g" / "objects" / "tree" / "tree.pal").resolve())
    assert tried == [
        str(project / "g" / "objects" / "tree" / "objects/tree/tree.pal"),
        str(project / "g" / "objects" / "objects/tree/tree.pal"),
        str(project / "g" / "objects/tree/tree.pal"),
    ]
    # Nothing found, or a file system that fails the search: None.
    assert _native.find_palette(str(anim), "gone.pal")[0] is None
    (project / "loop").symlink_to(project / "loop")
    assert _native.find_palette(str(anim), "loop/x.pal")[0] is None
    assert _native.find_palette("n", "a.pal") == (None, [])
