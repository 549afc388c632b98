"""Export: frame images, the sidecar and index layers restore every file
exactly; sheets and previews place frames by their offsets."""

import json
import random
import struct
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

import pyorv
from orvtool import to_numpy
from orvtool.build import BuildOptions, build_from_export
from orvtool.core import native
from orvtool.core.orvfile import Animation, Frame, Row, Run, encode_animation, runs_from_mask
from orvtool.export.exporting import ExportOptions, _frame_entry, _frame_stats, export_animation
from orvtool.formats.sidecar import dumps, frame_rows, read_record, read_sidecar
from orvtool.load.loading import load_animation
from orvtool.model.errors import OrvToolError
from orvtool_samples import PALETTE, quirky, walk, write_project
from record_counts import explicit_rows, filler_pixels, index_layer, run_statistics

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = sorted((ROOT / "examples").rglob("*.orv"))


def export(path, out, **options):
    return export_animation(str(path), str(out), ExportOptions(**options))


def rgba(path):
    with Image.open(path) as im:
        assert im.mode == "RGBA"
        return np.asarray(im)


def assert_rebuilds(path, out):
    """The export folder builds back to the very bytes of the source file."""
    built = Path(str(out) + ".rebuilt.orv")
    build_from_export(str(out), str(built), BuildOptions(force=True))
    assert built.read_bytes() == Path(path).read_bytes()


def test_export_marks_only_non_maximal_frames_explicit(tmp_path):
    anim = quirky()["shadow_split"]
    path = write_project(tmp_path, "a.orv", anim)
    export(path, tmp_path / "out")
    frames = read_sidecar(str(tmp_path / "out"))["frames"]
    assert [f["runs"] for f in frames] == ["explicit", "maximal"]
    assert frames[0]["explicit_rows"] == {"0": {"block_count": 2, "runs": [[1, 2, []], [0, 3, []]]}}
    assert "explicit_rows" not in frames[1]


@pytest.mark.skipif(not EXAMPLES, reason="no example animations")
@pytest.mark.parametrize("path", EXAMPLES, ids=lambda p: p.stem)
def test_examples_export_matches_the_loaded_records(tmp_path, path):
    export(path, tmp_path)
    assert_rebuilds(path, tmp_path)

    f = pyorv.OrvF()
    data = f.load(str(path))
    assert data is not None
    doc = read_sidecar(str(tmp_path))
    assert doc["speed"] == data.info.speed
    assert doc["frame_count"] == data.info.frame_count == len(doc["frames"])
    assert doc["has_background"] == data.has_background
    assert doc["palette"]["location"] == data.palette.location()
    assert doc["palette"]["location_size"] == data.palette.location_size()
    record, _ = read_record(str(tmp_path))
    for entry, frame, again in zip(doc["frames"], data.frames, record.frames, strict=True):
        for key in ("width", "height", "x_offset", "y_offset", "is_shadow", "frame_size", "unk1", "unk2"):
            assert entry[key] == getattr(frame, key), key
        rows = frame.pixel_sets
        rows_again = frame_rows(str(tmp_path), again)
        assert len(rows_again) == len(rows)
        for row, row_again in zip(rows, rows_again, strict=True):
            assert [(b.offset, b.color_count, bytes(b.colors)) for b in row.blocks] == [
                (r.offset, r.color_count, b"" if entry["is_shadow"] else r.indices) for r in row_again.runs
            ]


def test_frame_images_and_index_layers_agree_with_the_renderer(tmp_path):
    path = write_project(tmp_path, "walk.orv", walk())
    report = export(path, tmp_path / "out")
    assert report.frames == 3
    f = pyorv.OrvF()
    f.load(str(path))
    palette = np.array(PALETTE, dtype=np.uint8)
    doc = read_sidecar(str(tmp_path / "out"))
    for entry, image in zip(doc["frames"], f.get_frame_buffer(), strict=True):
        png = rgba(tmp_path / "out" / entry["image"])
        assert np.array_equal(png, to_numpy(image))
        with Image.open(tmp_path / "out" / entry["indices"]) as im:
            assert im.mode == "LA"
            la = np.asarray(im)
        covered = la[..., 1] == 255
        assert np.array_equal(covered, png[..., 3] > 0)  # every palette alpha here is nonzero
        expected = np.array([0, 0, 0, 255], np.uint8) if entry["is_shadow"] else palette[la[..., 0]]
        assert np.array_equal(png[covered], np.broadcast_to(expected, png.shape)[covered])
        assert not png[~covered].any()


def test_frame_png_carries_its_offsets(tmp_path):
    path = write_project(tmp_path, "walk.orv", walk())
    export(path, tmp_path / "out")
    with Image.open(tmp_path / "out" / "frame_000.png") as im:
        assert json.loads(im.info["orvtool-frame"]) == {"index": 0, "x_offset": -2, "y_offset": -3}
    data = (tmp_path / "out" / "frame_000.png").read_bytes()
    at = data.index(b"oFFs")
    assert struct.unpack(">iiB", data[at + 4 : at + 13]) == (-2, -3, 0)


def test_sidecar_keeps_the_palette_file_and_path_field(tmp_path):
    anim = quirky()["path_two_zeros"]
    path = write_project(tmp_path, "a.orv", anim, colors=PALETTE[:40])
    export(path, tmp_path / "out")
    pal = read_sidecar(str(tmp_path / "out"))["palette"]
    assert pal["path_field"] == (b"pal/test.pal\0\0").hex()
    assert pal["location"] == "pal/test.pal" and pal["location_size"] == 14
    assert pal["colors"] == [list(c) for c in PALETTE[:40]]
    assert pal["resolved"] == str((tmp_path / "pal" / "test.pal").resolve())


def test_zero_size_frames_get_no_images(tmp_path):
    path = write_project(tmp_path, "a.orv", quirky()["zero_size_frame"])
    report = export(path, tmp_path / "out", sheet=True, gif=True)
    frames = read_sidecar(str(tmp_path / "out"))["frames"]
    assert [f["image"] for f in frames] == [None, "frame_001.png", None]
    assert not (tmp_path / "out" / "frame_000.png").exists()
    with Image.open(tmp_path / "out" / "preview.gif") as gif:
        assert gif.n_frames == 3  # type: ignore[attr-defined]  # animated formats add it
    assert "frame_001.png" in report.written


def test_sheet_describes_every_frame_on_the_union_canvas(tmp_path):
    path = write_project(tmp_path, "walk.orv", walk())
    export(path, tmp_path / "out", sheet=True)
    out = tmp_path / "out"
    doc = json.loads((out / "sheet.json").read_text())
    atlas = rgba(out / "sheet.png")
    assert doc["meta"]["image"] == "sheet.png"
    assert doc["meta"]["size"] == {"w": atlas.shape[1], "h": atlas.shape[0]}
    # walk(): frames at (-2,-3) 5x3, (-1,0) 3x2, (1,1) 6x2 -> union x -2..7, y -3..3
    rects = []
    for name, entry in doc["frames"].items():
        r = entry["frame"]
        assert np.array_equal(atlas[r["y"] : r["y"] + r["h"], r["x"] : r["x"] + r["w"]], rgba(out / name))
        assert entry["sourceSize"] == {"w": 9, "h": 6}
        assert entry["pivot"] == {"x": 2 / 9, "y": 3 / 6}
        off = entry["offset"]
        assert entry["spriteSourceSize"] == {"x": off["x"] + 2, "y": off["y"] + 3, "w": r["w"], "h": r["h"]}
        rects.append((r["x"], r["y"], r["x"] + r["w"], r["y"] + r["h"]))
    assert sorted(doc["frames"]) == ["frame_000.png", "frame_001.png", "frame_002.png"]
    for i, a in enumerate(rects):  # no two frames overlap on the atlas
        for b in rects[i + 1 :]:
            assert a[2] <= b[0] or b[2] <= a[0] or a[3] <= b[1] or b[3] <= a[1]


def _placed(out, doc_frames, canvas_w, canvas_h, left, top):
    pages = []
    for entry in doc_frames:
        page = np.zeros((canvas_h, canvas_w, 4), np.uint8)
        png = rgba(out / entry["image"])
        x, y = entry["x_offset"] - left, entry["y_offset"] - top
        page[y : y + entry["height"], x : x + entry["width"]] = png
        pages.append(page)
    return pages


def test_gif_has_one_frame_per_animation_frame_on_the_union_canvas(tmp_path):
    path = write_project(tmp_path, "walk.orv", walk())
    export(path, tmp_path / "out", gif=True, fps=20)
    out = tmp_path / "out"
    expected = _placed(out, read_sidecar(str(out))["frames"], 9, 6, -2, -3)
    with Image.open(out / "preview.gif") as gif:
        assert gif.size == (9, 6)
        assert gif.n_frames == 3  # type: ignore[attr-defined]  # animated formats add it
        for i, page in enumerate(expected):
            gif.seek(i)
            assert gif.info["duration"] == 50
            got = np.asarray(gif.convert("RGBA"))
            opaque = page[..., 3] >= 128
            assert np.array_equal(got[..., 3] > 0, opaque)
            assert np.array_equal(got[opaque][:, :3], page[opaque][:, :3])


def test_apng_keeps_full_alpha(tmp_path):
    path = write_project(tmp_path, "walk.orv", walk())
    export(path, tmp_path / "out", apng=True, fps=4)
    out = tmp_path / "out"
    expected = _placed(out, read_sidecar(str(out))["frames"], 9, 6, -2, -3)
    with Image.open(out / "preview.apng") as ap:
        assert ap.n_frames == 3  # type: ignore[attr-defined]  # animated formats add it
        for i, page in enumerate(expected):
            ap.seek(i)
            assert ap.info["duration"] == 250
            assert np.array_equal(np.asarray(ap.convert("RGBA")), page)


def test_existing_output_is_kept_without_force(tmp_path):
    path = write_project(tmp_path, "walk.orv", walk())
    out = tmp_path / "out"
    out.mkdir()
    (out / "frame_001.png").write_bytes(b"mine")
    with pytest.raises(OrvToolError, match="already exist"):
        export(path, out)
    assert sorted(p.name for p in out.iterdir()) == ["frame_001.png"]
    assert (out / "frame_001.png").read_bytes() == b"mine"
    export(path, out, force=True)
    assert rgba(out / "frame_001.png").shape == (2, 3, 4)


def test_export_refuses_a_file_without_its_palette(tmp_path):
    path = write_project(tmp_path, "a.orv", walk())
    (tmp_path / "pal" / "test.pal").unlink()
    with pytest.raises(OrvToolError, match="palette not found.*pal/test.pal"):
        export(path, tmp_path / "out")
    assert not (tmp_path / "out").exists()
    # a palette named on the command line stands in for the stored one
    (tmp_path / "other.pal").write_bytes(bytes([1, 0, 0, 0, 1, 2, 3, 255]))
    export(path, tmp_path / "out", palette=str(tmp_path / "other.pal"))
    assert tuple(rgba(tmp_path / "out" / "frame_000.png")[0, 1]) == (0, 0, 0, 255)  # index 1 beyond the 1 entry


def random_row(rng, shadow, width):
    """A row of runs as a file may hold them: the maximal encoding of random
    pixels, or runs split, empty or reaching past the right edge."""
    if rng.random() < 0.5:
        covered = bytes(rng.random() < 0.7 for _ in range(width))
        return Row(runs_from_mask(bytes(rng.randrange(256) for _ in range(width)), covered, shadow=shadow))
    runs = []
    for _ in range(rng.randint(0, 5)):
        offset = rng.choice((0, 0, 1, 3, 254, 255))
        n = rng.choice((0, 1, 2, 5, 40, 255))
        runs.append(Run(offset, b"" if shadow else bytes(rng.randrange(256) for _ in range(n)), n))
    return Row(runs)


@pytest.mark.parametrize("entries", [1, 40, 256])
def test_each_frame_is_read_once_as_the_records_describe_it(tmp_path, entries):
    """The core's one pass over a frame (index layer, counts over its runs,
    rows listed in full, pixels beyond the palette) gives what the record
    model gives, on maximal rows and odd ones."""
    rng = random.Random(entries)
    frames = []
    for _ in range(30):
        shadow = rng.random() < 0.3
        width = rng.choice((0, 1, 7, 255, 300))
        rows = [random_row(rng, shadow, width) for _ in range(rng.randint(0, 6))]
        frames.append(Frame(width=width, rows=rows, is_shadow=shadow))
    path = tmp_path / "odd.orv"
    path.write_bytes(encode_animation(Animation(frames=frames, palette_path=b"none.pal")))
    anim = load_animation(str(path))
    assert len(anim.frames) == len(frames) and anim.records is not None
    seen = set()
    for i, frame in enumerate(anim.frames):
        view = native.export_frame(anim.records, i, entries)
        indices, covered = index_layer(frame)
        alpha = np.where(covered, 255, 0).astype(np.uint8)
        assert view.layer == np.dstack([indices, alpha]).tobytes()
        beyond, drawn = filler_pixels([frame], [(indices, covered)], entries)
        assert (view.beyond, view.covered) == (beyond, int(covered.sum()))
        assert view.is_shadow or drawn == view.covered
        summary = _frame_entry(view, ("f.png", "f.index.png"))
        assert summary.explicit() == explicit_rows(frame)
        assert _frame_stats(view)._asdict() == run_statistics(frame, explicit_rows(frame))
        assert (summary.width, summary.height, summary.is_shadow, summary.height_word) == (
            frame.width,
            frame.rows_drawn,
            frame.is_shadow,
            frame.height_word,
        )
        seen.add((bool(view.explicit_rows), view.beyond > 0))
    assert {(True, False), (False, False)} <= seen and (entries == 256) != any(b for _, b in seen)


def test_sidecar_json_keeps_strings_and_lays_out_flat_arrays_on_one_line():
    doc = {
        "name": "walk [a,b].orv",
        "colors": [[0, 0, 0, 0], [255, 1, 2, 255]],
        "empty": [],
        "mixed": [1, "two", [3, None]],
        "stats": {"runs": 2, "maximal": True, "ratio": 0.5},
        "nested": {"rows": {"3": {"block_count": 1, "runs": [[255, 0, []], [0, 2, [7, 8]]]}}},
    }
    assert dumps(doc) == "\n".join(
        [
            "{",
            ' "name": "walk [a,b].orv",',
            ' "colors": [',
            "  [0, 0, 0, 0],",
            "  [255, 1, 2, 255]",
            " ],",
            ' "empty": [],',
            ' "mixed": [',
            "  1,",
            '  "two",',
            "  [3, null]",
            " ],",
            ' "stats": {',
            '  "runs": 2,',
            '  "maximal": true,',
            '  "ratio": 0.5',
            " },",
            ' "nested": {',
            '  "rows": {',
            '   "3": {',
            '    "block_count": 1,',
            '    "runs": [',
            "     [",
            "      255,",
            "      0,",
            "      []",
            "     ],",
            "     [",
            "      0,",
            "      2,",
            "      [7, 8]",
            "     ]",
            "    ]",
            "   }",
            "  }",
            " }",
            "}",
        ]
    )
    assert json.loads(dumps(doc)) == doc


def test_an_export_with_an_empty_file_is_not_taken_for_finished(tmp_path):
    """New files are not flushed one by one: a crash of the system can leave
    one empty, and --skip-existing then redoes the export."""
    path = write_project(tmp_path, "walk.orv", walk())
    out = tmp_path / "out"
    export(path, out)
    assert export(path, out, skip_existing=True).skipped
    first = out / "frame_000.png"
    data = first.read_bytes()
    first.write_bytes(b"")
    assert not export(path, out, skip_existing=True, force=True).skipped
    assert first.read_bytes() == data
