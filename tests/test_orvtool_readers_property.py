"""Property tests of orvtool's readers of its inputs (sprite sheets, export
sidecars, palettes of every format, image files): hostile documents within
the readers' limits give a result or one of orvtool's own errors, in bounded
time. The profile is "bounded" in the normal suite, "long" from ./dev fuzz
(ORV_PROPERTY_PROFILE=long)."""

import importlib
import io
import json
import os
import shutil
import struct
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from PIL import Image

from orvtool import build as builder
from orvtool.build import inputs
from orvtool.cli import main
from orvtool.core.orvfile import encode_palette
from orvtool.formats import palettes
from orvtool.model.errors import OrvToolError
from orvtool_build_helpers import gif, png_header
from orvtool_samples import walk, write_project

for name, examples in (("bounded", 40), ("long", 3000)):
    settings.register_profile(
        name,
        max_examples=examples,
        deadline=None,
        database=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.function_scoped_fixture],
    )
PROFILE = settings.get_profile(os.environ.get("ORV_PROPERTY_PROFILE", "bounded"))
TIME_BOUND = 60.0  # seconds for one document: up to the pixel budget, decoded on a busy machine

NUMBERS = st.one_of(
    st.integers(-300, 300),
    st.integers(-(10**40), 10**40),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0.5, -1.5, 1e308, -1e308, 2**31, 2**32, 65535, 65536]),
)
SCALARS = st.one_of(st.none(), st.booleans(), NUMBERS, st.text(max_size=6))
JSON = st.recursive(
    SCALARS,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=5), inner, max_size=4),
    max_leaves=20,
)


def rect_like(keys):
    return st.one_of(st.fixed_dictionaries({k: NUMBERS | st.integers(0, 4) for k in keys}), JSON)


SHEET_ENTRY = st.fixed_dictionaries(
    {},
    optional={
        "frame": rect_like("xywh"),
        "spriteSourceSize": rect_like("xywh"),
        "sourceSize": rect_like("wh"),
        "pivot": rect_like("xy"),
        "rotated": st.booleans() | JSON,
        "filename": st.text(max_size=5) | JSON,
    },
)
SLICES = st.lists(
    st.fixed_dictionaries(
        {
            "name": st.text(max_size=4),
            "keys": st.lists(
                st.fixed_dictionaries(
                    {}, optional={"frame": NUMBERS | JSON, "bounds": rect_like("xywh"), "pivot": rect_like("xy")}
                ),
                max_size=3,
            ),
        }
    )
    | JSON,
    max_size=2,
)
SHEETS = st.fixed_dictionaries(
    {
        "frames": st.lists(SHEET_ENTRY, max_size=4)
        | st.dictionaries(st.text(max_size=4), SHEET_ENTRY, max_size=4)
        | JSON,
        "meta": st.fixed_dictionaries(
            {"image": st.just("atlas.png") | JSON}, optional={"slices": SLICES, "orvtool": JSON}
        ),
    }
)


def bounded(call):
    """The outcome of `call()`, which must be a result or an OrvToolError, within the time bound."""
    start = time.monotonic()
    try:
        result = call()
    except OrvToolError as exc:
        assert str(exc) and "\n" not in str(exc)
        result = exc
    assert time.monotonic() - start < TIME_BOUND
    return result


@pytest.fixture(scope="module")
def inputs_dir(tmp_path_factory):
    root = tmp_path_factory.mktemp("inputs")
    atlas = np.random.default_rng(1).integers(0, 256, (4, 6, 4), dtype=np.uint8)
    Image.fromarray(atlas, "RGBA").save(root / "atlas.png")
    (root / "p.pal").write_bytes(encode_palette([(i, i, i, 255) for i in range(256)]))
    assert main(["export", str(write_project(root, "w.orv", walk())), "-o", str(root / "export"), "-q"]) == 0
    return root


@PROFILE
@given(doc=SHEETS)
def test_sheet_documents(inputs_dir, doc):
    path = inputs_dir / "sheet.json"
    path.write_text(json.dumps(doc))
    options = builder.BuildOptions(palette=str(inputs_dir / "p.pal"))
    bounded(lambda: builder.plan_source([str(path)], options, str(inputs_dir / "out.orv")))


FRAME_KEYS = ["width", "height", "x_offset", "y_offset", "is_shadow", "frame_size", "unk1", "unk2", "height_word"]
FRAME_KEYS += ["image", "indices", "runs", "explicit_rows"]
TOP_KEYS = ["speed", "frame_count_field", "palette", "header", "trailing", "frames", "form"]
EXPLICIT = st.dictionaries(
    st.sampled_from(["0", "1", "7", "-1", "abc", "70000"]),
    st.fixed_dictionaries(
        {
            "block_count": NUMBERS | JSON,
            "runs": st.lists(st.lists(NUMBERS | st.lists(NUMBERS, max_size=3), max_size=3), max_size=3) | JSON,
        }
    ),
    max_size=2,
)
EDITS = st.lists(
    st.one_of(
        st.tuples(st.integers(0, 2), st.sampled_from(FRAME_KEYS), NUMBERS | JSON | EXPLICIT),
        st.tuples(st.none(), st.sampled_from(TOP_KEYS), NUMBERS | JSON),
    ),
    min_size=1,
    max_size=4,
)


@PROFILE
@given(edits=EDITS)
def test_sidecar_documents(inputs_dir, edits):
    folder = inputs_dir / "edited"
    shutil.rmtree(folder, ignore_errors=True)
    shutil.copytree(inputs_dir / "export", folder)
    doc = json.loads((folder / "animation.json").read_text())
    for frame, key, value in edits:
        if frame is None:
            doc[key] = value
        elif isinstance(doc["frames"], list) and frame < len(doc["frames"]) and isinstance(doc["frames"][frame], dict):
            doc["frames"][frame][key] = value
    (folder / "animation.json").write_text(json.dumps(doc))
    bounded(lambda: builder.plan_source([str(folder)], builder.BuildOptions(), str(inputs_dir / "out.orv")))


def text_lines(head):
    line = st.lists(st.sampled_from(["0", "255", "256", "-1", "1e9", "9" * 30, "x", "alpha=300", "#"]), max_size=5)
    return st.lists(line.map(" ".join), max_size=8).map(lambda lines: "\n".join([*head, *lines]).encode())


def swatch(arr):
    out = io.BytesIO()
    Image.fromarray(arr, "RGBA").save(out, format="PNG")
    return out.getvalue()


PALETTE_FILES = st.one_of(
    st.tuples(
        st.just("pal"),
        st.binary(max_size=1100) | st.integers(0, 300).map(lambda n: struct.pack("<HH", n, 0) + b"\1" * 4 * min(n, 3)),
    ),
    st.tuples(st.just("act"), st.binary(max_size=800) | st.binary(min_size=772, max_size=772)),
    st.tuples(st.just("gpl"), text_lines(["GIMP Palette", "Name: x"])),
    st.tuples(st.just("jasc"), st.integers(-2, 300).flatmap(lambda n: text_lines(["JASC-PAL", "0100", str(n)]))),
    st.tuples(
        st.just("json"),
        st.fixed_dictionaries(
            {"colors": JSON | st.lists(st.lists(NUMBERS, max_size=5), max_size=4), "model": NUMBERS | JSON}
        ).map(lambda d: json.dumps(d).encode()),
    ),
    st.tuples(
        st.just("png"),
        st.sampled_from([16, 32, 17, 48]).flatmap(
            lambda side: st.integers(0, 255).map(lambda v: swatch(np.full((side, side, 4), v, np.uint8)))
        )
        | st.binary(max_size=64).map(lambda b: b"\x89PNG\r\n\x1a\n" + b),
    ),
)


@PROFILE
@given(case=PALETTE_FILES)
def test_palette_files(inputs_dir, case):
    fmt, data = case
    path = inputs_dir / f"palette.{fmt}"
    path.write_bytes(data)
    pal = bounded(lambda: palettes.read_palette(str(path), fmt))
    if isinstance(pal, palettes.Palette):
        palettes.check_colors(pal.colors)
        assert 0 <= pal.model <= 0xFFFF


SIDES = st.integers(1, 64) | st.integers(17000, 65535)
IMAGE_FILES = st.one_of(
    st.tuples(SIDES, SIDES).map(lambda wh: png_header(*wh)),
    st.tuples(
        st.tuples(SIDES, SIDES),
        st.lists(
            st.tuples(st.integers(0, 65534), st.integers(0, 65534)) | st.tuples(st.integers(0, 40), st.integers(0, 40)),
            min_size=1,
            max_size=8,
        ),
    ).map(lambda c: gif(*c)),
    st.binary(max_size=200).map(lambda b: b"GIF89a" + b),
    st.binary(max_size=200),
)


@PROFILE
@given(data=IMAGE_FILES)
def test_image_files(inputs_dir, data):
    path = inputs_dir / "image.bin"
    path.write_bytes(data)
    images = bounded(lambda: inputs.read_images(str(path)))
    if isinstance(images, list):
        assert sum(im.rgba.size for im in images) <= 1 << 30


# --- the fuzz corpus of the command routes (fuzz/orvtool_routes.py): its seeds
# and the findings kept from fuzzing, each whole and cut short -------------------------

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "fuzz"))
orvtool_routes: Any = importlib.import_module("orvtool_routes")

CORPUS = sorted(
    (kind, path)
    for kind in orvtool_routes.KINDS
    for folder in (ROOT / "fuzz" / "orvtool" / kind, ROOT / "tests" / "fuzz_regressions" / f"orvtool_{kind}")
    if folder.is_dir()
    for path in folder.iterdir()
)


@pytest.fixture(scope="module")
def routes(tmp_path_factory):
    return orvtool_routes.Routes(tmp_path_factory.mktemp("routes"))


@pytest.mark.parametrize("kind, path", CORPUS, ids=[f"{k}/{p.name}" for k, p in CORPUS])
def test_the_fuzz_corpus_through_the_command_routes(routes, kind, path):
    data = path.read_bytes()
    for size in (len(data), len(data) - 1, len(data) // 2, 13):  # raises orvtool_routes.InternalError
        routes.route(kind)(data[:size])
