"""The frame table of a load: the statistics of each frame's runs, counted by
the core, against the reference that counts them from the records
(`run_statistics`, `filler_pixels`), over files of every oddity."""

import io
import json
import random
import re
from collections import Counter
from dataclasses import replace

import pytest

from orvtool import _native
from orvtool.core import native
from orvtool.core.orvfile import Animation, Frame, Row, Run, encode_animation, encode_palette
from orvtool.load.summary import describe, format_text
from orvtool.model.errors import OrvToolError
from orvtool.report.results import write_object
from orvtool_samples import quirky, random_animation
from record_counts import explicit_rows, filler_pixels, index_layer, run_statistics

RECORD_FIELDS = ["width", "height", "x_offset", "y_offset", "is_shadow", "frame_size", "unk1", "unk2"]
STATISTICS = ["rows", "runs", "empty_runs", "covered_pixels", "longest_run", "most_runs_in_a_row", "non_maximal_rows"]


def odd_frame(rng: random.Random) -> Frame:
    """A frame of runs as they come: gaps and counts of any size, empty runs,
    runs past the right edge, block counts that are not the number of runs,
    a stored height other than the rows written, or no rows at all."""
    shadow = rng.random() < 0.25
    rows = []
    for _ in range(rng.choice([0, 1, 3, 6])):
        runs = []
        for _ in range(rng.choice([0, 1, 2, 5])):
            count = rng.choice([0, 1, 2, 255, rng.randrange(256)])
            indices = b"" if shadow else bytes(rng.randrange(256) for _ in range(count))
            runs.append(Run(rng.choice([0, 1, 255, rng.randrange(256)]), indices, count))
        block_count = len(runs) if rng.random() < 0.8 else rng.randrange(len(runs) + 1)
        rows.append(Row(runs, block_count))
    height = len(rows) if rng.random() < 0.8 else rng.randrange(len(rows) + 2)
    width = rng.choice([0, 1, 7, 300, 600])
    return Frame(width=width, rows=rows, is_shadow=shadow, height=height, x_offset=rng.randint(-9, 9))


def odd_files(seed: int) -> list[tuple[str, bytes, int]]:
    """(name, file bytes, palette entries): the sample oddities, random
    animations, frames of odd runs, and each of them cut short."""
    rng = random.Random(seed)
    anims: list[tuple[str, Animation]] = list(quirky().items())
    anims += [(f"random{i}", random_animation(rng)) for i in range(6)]
    anims += [(f"odd{i}", Animation(frames=[odd_frame(rng) for _ in range(rng.randint(1, 5))])) for i in range(8)]
    anims.append(("empty frames", Animation(frames=[Frame()] * 40)))
    files = []
    for name, anim in anims:
        anim.palette_path, anim.raw_path_field, anim.path_length = b"p.pal", None, None
        data = encode_animation(anim)
        entries = rng.choice([1, 5, 64, 200, 255, 256])
        files.append((name, data, entries))
        files.append((f"{name} cut short", data[: rng.randrange(len(data))], entries))
    return files


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_the_core_counts_what_the_records_give(tmp_path, seed):
    """Every column of the table is the record's field or the reference's
    count for that frame, whichever file it comes from."""
    seen: Counter[str] = Counter()  # the oddities the files held, so that each is known to be checked
    for name, data, entries in odd_files(seed):
        (tmp_path / "p.pal").write_bytes(encode_palette([(i, i, i, 255) for i in range(entries)]))
        path = tmp_path / "a.orv"
        path.write_bytes(data)
        report = native.load_report(str(path), frame_table=True, frame_lines=True)
        table, totals = report.frame_table, report.frame_totals
        assert table is not None and totals is not None
        largest = {"longest_run", "most_runs_in_a_row"}
        assert totals._asdict() == {
            key: max(getattr(table, key), default=0) if key in largest else sum(getattr(table, key))
            for key in native.FrameTotals._fields
        }, name
        assert text_of_lines(path) == text_of_frames(path), name
        # A head cut short names no palette: nothing then lies past one.
        found = report.palette.entry_count
        assert found == entries or (found is None and not report.head_whole), name
        assert len(table.width) == len(report.frames), name
        for i, (record, frame) in enumerate(zip(report.frames, native.model_frames(report.frames), strict=True)):
            expected = {key: getattr(record, key) for key in RECORD_FIELDS}
            stats = run_statistics(frame, explicit_rows(frame))
            expected.update((key, stats[key]) for key in STATISTICS)
            past, drawn = filler_pixels([frame], [index_layer(frame)], 256 if found is None else found)
            expected.update(past_palette=past, palette_pixels=drawn)
            got = {key: getattr(table, key)[i] for key in expected}
            assert got == expected, f"{name}, frame {i}"
            seen.update(
                frames=1,
                shadow=record.is_shadow,
                cut_short=not record.whole,
                past_palette=past > 0,
                non_maximal=stats["non_maximal_rows"] > 0,
                empty=not frame.rows,
            )
    assert min(seen.values()) > 0 and len(seen) == 6 and seen["frames"] > 100


def text_of_lines(path) -> str:
    """info's text of a file, its frame lines made by the module."""
    try:
        return format_text(describe(str(path), frame_lines=True))
    except OrvToolError as exc:
        return f"refused: {exc}"


def text_of_frames(path) -> str:
    """The same, its frame lines formatted here from the frames of the JSON form."""
    try:
        info = describe(str(path))
    except OrvToolError as exc:
        return f"refused: {exc}"
    assert info.frames is not None
    out = io.StringIO()
    write_object(out, {"frames": info.frames}, None)  # as info --jsonl writes them
    frame_lines = [
        "  %5d  %5dx%-5d %6d %6d  %6s  %5d  %6d  %10d  %4d %4d"
        % (
            f["index"],
            f["width"],
            f["height"],
            f["x_offset"],
            f["y_offset"],
            "yes" if f["is_shadow"] else "no",
            f["runs"],
            f["covered_pixels"],
            f["frame_size"],
            f["unk1"],
            f["unk2"],
        )
        for f in json.loads(out.getvalue())["frames"]
    ]
    return format_text(replace(info, frames=None, frame_lines=frame_lines))


def test_the_table_is_given_only_when_asked_for_and_has_the_records_fields(tmp_path):
    path = tmp_path / "a.orv"
    path.write_bytes(encode_animation(Animation(frames=[Frame(width=2, rows=[Row([Run(0, b"\x01\x02")])])])))
    assert "frame_table" not in _native.load_report(str(path))
    assert native.load_report(str(path)).frame_table is None
    raw = _native.load_report(str(path), frame_table=True)["frame_table"]
    assert list(raw) == list(native.FrameTable._fields)
    assert raw["covered_pixels"] == [2] and raw["is_shadow"] == [False]


@pytest.mark.parametrize(
    "part, change, error",
    [
        ("form", {"extra": 0}, "unexpected keyword argument 'extra'"),
        ("form", {"flag": None}, "missing 1 required positional argument: 'flag'"),
        ("palette", {"entries": 0}, "unexpected keyword argument 'entries'"),
        ("frame_totals", {"longest_run": None}, "missing 1 required positional argument: 'longest_run'"),
        ("", {"speed": None}, "missing 1 required positional argument: 'speed'"),
    ],
)
def test_a_report_is_refused_a_key_too_many_or_missing(tmp_path, part, change, error):
    """A key that one side of the gateway added or dropped fails the first
    report made of it; a record with a default may lack that key, and no
    record can be changed once made."""
    path = tmp_path / "a.orv"
    path.write_bytes(encode_animation(Animation(frames=[Frame(width=2, rows=[Row([Run(0, b"\x01\x02")])])])))
    raw = _native.load_report(str(path), records=False, frame_lines=True)
    report = native._report(dict(raw))
    assert report.frame_table is None and report.frames[0].rows is None  # left out: the default
    with pytest.raises(AttributeError):
        report.form.flag = 2  # type: ignore[misc]
    target = raw[part] if part else raw
    for key, value in change.items():
        if value is None:
            del target[key]
        else:
            target[key] = value
    with pytest.raises(TypeError, match=re.escape(error)):
        native._report(raw)
