"""Library helpers and the module's type stubs."""

import ast
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import orvtool
import pyorv
from orvtool.core.orvfile import Animation, Frame, Row, encode_palette
from orvtool.load.loading import load_animation
from orvtool_samples import PALETTE, figure, walk, write_project

TESTS = Path(__file__).resolve().parent


def loaded_images(tmp_path):
    path = write_project(tmp_path, "walk.orv", walk())
    f = pyorv.OrvF()
    assert f.load(str(path)) is not None
    return f.get_frame_buffer()


def test_to_numpy_gives_rows_of_rgba_pixels(tmp_path):
    first = loaded_images(tmp_path)[0]  # 5 x 3: row 0 = _, 1, 2, 3, _; row 1 = 5, _, _, _, 6
    arr = orvtool.to_numpy(first)
    assert arr.shape == (3, 5, 4) and arr.dtype == np.uint8
    assert tuple(arr[0, 1]) == PALETTE[1] and tuple(arr[0, 3]) == PALETTE[3]
    assert tuple(arr[1, 4]) == PALETTE[6] and tuple(arr[1, 0]) == PALETTE[5]
    assert not arr[2].any() and tuple(arr[0, 0]) == (0, 0, 0, 0)
    arr[0, 0] = 9  # a writable copy: the image itself does not change
    assert orvtool.to_numpy(first)[0, 0, 0] == 0


def test_to_pil_matches_to_numpy(tmp_path):
    for image in loaded_images(tmp_path):
        pil = orvtool.to_pil(image)
        assert pil.mode == "RGBA" and pil.size == (image.width, image.height)
        assert np.array_equal(np.asarray(pil), orvtool.to_numpy(image))


def test_to_numpy_refuses_inconsistent_images():
    class Fake:
        width, height, channels, pixels = 2, 2, 4, bytes(12)

    with pytest.raises(ValueError, match="2x2"):
        orvtool.to_numpy(Fake())


def test_load_findings_come_from_the_report_without_a_line_on_stderr(tmp_path, capfd):
    path = write_project(tmp_path, "walk.orv", walk())
    (tmp_path / "pal" / "test.pal").write_bytes(b"\0\0\0\0")  # entry count 0
    anim = load_animation(str(path))
    assert (anim.images, anim.status) == (None, "failed")
    assert [(f.category, f.message) for f in anim.findings] == [
        ("palette_count_invalid", "Invalid color count: 0"),
        ("no_palette_data", "No palette data available!"),
    ]
    resolved = (tmp_path / "pal" / "test.pal").resolve()
    assert anim.render_problem == (
        f"palette {resolved} could not be used (Invalid color count: 0; No palette data available!)"
    )
    assert capfd.readouterr().err == ""


def installed_stubs() -> Path:
    """The stub package installed with the module (PEP 561: `pyorv-stubs`)."""
    return Path(pyorv.__file__).parent / "pyorv-stubs" / "__init__.pyi"


def test_stubs_match_the_built_module(tmp_path):
    """mypy's stubtest finds the installed stub package on its own (no
    MYPYPATH) and finds it in agreement with the module."""
    assert installed_stubs().is_file(), "pyorv-stubs is not installed beside the module"
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "pyorv", "--allowlist", str(TESTS / "stubtest_allowlist.txt")],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env=env,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_type_check_typical_use(strict_mypy):
    printed = strict_mypy(
        "import pyorv\n"
        "f = pyorv.OrvF()\n"
        "d = f.load('a.orv', io_pal='b.pal')\n"
        "if d is not None:\n"
        "    d.frames[0].x_offset = -3\n"
        "    n: int = d.info.frame_count\n"
        "    colours: list[pyorv.PalFColor] = d.palette.colors()\n"
        "    d.palette.colors(colours)\n"
        "w: int = f.get_frame_buffer()[0].width\n"
        "bad: str = f.data().info.speed\n"
    )
    # exactly the one wrong line is flagged: the stubs were found, with types
    assert printed.count("error:") == 1, printed
    assert "use.py:10: error: Incompatible types in assignment" in printed


def test_every_class_and_member_of_the_module_is_documented_in_the_stubs():
    """The module registers its classes without docstrings; editors read them
    from the stubs, which cover every public name the module has."""
    tree = ast.parse(installed_stubs().read_text())
    assert ast.get_docstring(tree) == pyorv.__doc__
    documented = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            documented[node.name] = ast.get_docstring(node)
            for member in node.body:
                if isinstance(member, ast.FunctionDef) and ast.get_docstring(member):
                    documented[f"{node.name}.{member.name}"] = ast.get_docstring(member)
    wanted = []
    for name, cls in vars(pyorv).items():
        if isinstance(cls, type):
            wanted.append(name)
            own = [m for m in vars(cls) if not m.startswith("_") or m == "__init__"]
            wanted += [f"{name}.{m}" for m in own if not (m == "__init__" and "No constructor" in _init_error(cls))]
    assert len([w for w in wanted if "." not in w]) == 10
    missing = [w for w in wanted if not documented.get(w)]
    assert missing == []


def _init_error(cls):
    try:
        cls()
    except TypeError as err:
        return str(err)
    return ""


def test_load_frames_gives_the_images_of_a_load_as_read_only_arrays(tmp_path, capfd):
    path = write_project(tmp_path, "walk.orv", walk())
    images = loaded_images(tmp_path)
    capfd.readouterr()
    for name in (str(path), path, os.fsencode(path)):
        frames = orvtool.load_frames(name)
        assert frames is not None and len(frames) == len(images)
        for frame, image in zip(frames, images, strict=True):
            assert (frame.offset_x, frame.offset_y) == (image.offset_x, image.offset_y)
            assert frame.pixels.dtype == np.uint8
            assert np.array_equal(frame.pixels, orvtool.to_numpy(image))
            with pytest.raises(ValueError):
                frame.pixels[0, 0, 0] = 1
    assert capfd.readouterr().err == ""

    # Each array keeps its storage alive after everything else has gone.
    again = orvtool.load_frames(path)
    assert again is not None
    last = again[-1].pixels
    del again
    expected = orvtool.to_numpy(images[-1])
    del frames
    churn = [orvtool.load_frames(path) for _ in range(3)]
    del churn
    assert np.array_equal(last, expected)


def test_load_frames_fails_and_reports_as_a_load_does(tmp_path, capfd):
    assert orvtool.load_frames(tmp_path / "missing.orv") is None
    assert capfd.readouterr().err == ""
    path = write_project(tmp_path, "walk.orv", walk())
    (tmp_path / "pal" / "test.pal").write_bytes(b"\0\0\0\0")  # entry count 0
    assert orvtool.load_frames(path) is None
    err = capfd.readouterr().err
    assert pyorv.OrvF().load(str(path)) is None
    assert err == capfd.readouterr().err != ""
    # A palette named by the caller, relative to the working directory.
    (tmp_path / "good.pal").write_bytes(encode_palette(PALETTE))
    cwd = os.getcwd()
    os.chdir(tmp_path)
    try:
        frames = orvtool.load_frames(path, io_pal="good.pal")
    finally:
        os.chdir(cwd)
    assert frames is not None and len(frames) == 3


def test_load_frames_keeps_refused_frames_as_empty_arrays(tmp_path, capfd):
    # 65535 x 8193 RGBA pixels do not fit a signed 32-bit byte count.
    huge = Frame(width=65535, rows=[Row([])] * 8193, x_offset=4)
    anim = Animation(frames=[figure(), huge])
    path = write_project(tmp_path, "huge.orv", anim)
    frames = orvtool.load_frames(path)
    assert "ERROR: Frame 1 is too large to render" in capfd.readouterr().err
    assert frames is not None
    assert frames[1].pixels.shape == (0, 0, 4) and frames[1].offset_x == 4
    assert frames[0].pixels.shape == (3, 5, 4)


# --- the public exceptions ---------------------------------------------------------------


def public_exceptions(folder):
    """One of each public exception, with its data: made in the process that raises it."""
    from orvtool.formats import reading
    from orvtool.model import errors
    from orvtool.model.findings import Finding

    cut = Path(folder) / "cut.orv"
    if not cut.exists():
        path = write_project(Path(folder), "cut.orv", walk())
        path.write_bytes(path.read_bytes()[:-4])
    found = Finding("frames_cut_short", "frame 2 is cut short", frame=2)
    return {
        "OrvToolError": lambda: errors.OrvToolError(
            "its pixels need 300 runs", "f.png", "frame_out_of_range", frame=1, row=0
        ),
        "UsageError": lambda: errors.UsageError("--tag is for sprite sheets"),
        "FileFailed": lambda: errors.FileFailed("cut short", {"findings": [found]}, "frames_cut_short"),
        "LoadFailed": lambda: errors.LoadFailed(orvtool.inspect(cut)),
        "TooManyFrames": lambda: errors.TooManyFrames(str(cut), "more frame records than orvtool reads", 3 << 21),
        "ReadError": lambda: reading.ReadError("x is missing", "missing", "source_missing"),
    }


def raise_public(case, folder):
    raise public_exceptions(folder)[case]()


def same_exception(got, want):
    assert type(got) is type(want) and got.args == want.args and str(got) == str(want)
    assert (got.category, got.where, got.frame, got.row) == (want.category, want.where, want.frame, want.row)
    assert got.findings == want.findings and got.findings
    assert getattr(got, "report", None) == getattr(want, "report", None)
    assert getattr(got, "result", None) == getattr(want, "result", None)


def test_the_public_exceptions_form_one_documented_tree():
    from orvtool.model import errors

    names = [n for n in orvtool.__all__ if isinstance(getattr(orvtool, n), type)]
    exceptions = {n for n in names if issubclass(getattr(orvtool, n), BaseException)}
    assert exceptions == {"OrvToolError", "UsageError", "FileFailed", "LoadFailed", "TooManyFrames"}
    assert all(issubclass(getattr(orvtool, n), errors.OrvToolError) for n in exceptions)
    assert issubclass(orvtool.LoadFailed, OSError) and not issubclass(orvtool.UsageError, OSError)
    api = (TESTS.parent / "docs" / "reference" / "python-api.md").read_text(encoding="utf-8")
    assert all(f"orvtool.{n}" in api for n in exceptions)


PUBLIC = ["OrvToolError", "UsageError", "FileFailed", "LoadFailed", "TooManyFrames", "ReadError"]


@pytest.mark.parametrize("case", PUBLIC)
def test_every_public_exception_crosses_processes_and_copies_with_its_data(tmp_path, case):
    import copy
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor

    want = public_exceptions(tmp_path)[case]()
    same_exception(copy.copy(want), want)
    with ProcessPoolExecutor(max_workers=1) as pool:
        with pytest.raises(type(want)) as raised:
            pool.submit(raise_public, case, str(tmp_path)).result()
    same_exception(raised.value, want)
    with multiprocessing.Pool(1) as pool:
        # A result that cannot be unpickled stops the pool's result thread:
        # the timeout only keeps such a fault from hanging the suite.
        with pytest.raises(type(want)) as raised:
            pool.apply_async(raise_public, (case, str(tmp_path))).get(timeout=300)
    same_exception(raised.value, want)
