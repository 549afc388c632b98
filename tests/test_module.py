import glob
import json
import os
import shutil
import subprocess

import pytest

import pyorv

CLASSES = [
    "OrvInfo",
    "OrvData",
    "OrvFrame",
    "OrvPixelSet",
    "OrvPixelBlock",
    "OrvFrameBufferObject",
    "OrvFrameBuffer",
    "PalFColor",
    "PalF",
    "OrvF",
]


def test_module_attributes_and_class_order():
    assert pyorv.__doc__ == "Quarro animation graphics parser for Python"
    assert pyorv.__version__ == "0.8.0"
    public = [k for k, v in vars(pyorv).items() if isinstance(v, type)]
    assert public == CLASSES
    assert not [k for k, v in vars(pyorv).items() if callable(v) and not isinstance(v, type)]
    for name in CLASSES:
        assert getattr(pyorv, name).__qualname__ == name
        assert getattr(pyorv, name).__module__ == "pyorv"


@pytest.mark.parametrize(
    "cls, members",
    [
        ("OrvInfo", ["speed", "frame_count"]),
        ("OrvData", ["info", "frames", "palette", "has_background"]),
        (
            "OrvFrame",
            ["frame_size", "height", "is_shadow", "width", "y_offset", "x_offset", "unk1", "unk2", "pixel_sets"],
        ),
        ("OrvPixelSet", ["block_count", "blocks"]),
        ("OrvPixelBlock", ["offset", "color_count", "colors"]),
        ("OrvFrameBufferObject", ["pixels", "width", "height", "offset_x", "offset_y", "channels"]),
        ("OrvFrameBuffer", ["__init__", "get_buffer"]),
        ("PalFColor", ["r", "g", "b", "a"]),
        ("PalF", ["__init__", "location", "location_size", "color_model", "colors", "get_color", "load", "save"]),
        ("OrvF", ["__init__", "load", "save", "data", "get_frame_buffer"]),
    ],
)
def test_member_registration_order(cls, members):
    own = [k for k in vars(getattr(pyorv, cls)) if k in members]
    assert own == members


def test_second_import_gives_the_same_module():
    import importlib
    import sys

    again = importlib.import_module("pyorv")
    assert again is pyorv is sys.modules["pyorv"]


@pytest.mark.parametrize("cls", [c for c in CLASSES if c not in ("OrvFrameBuffer", "PalF", "OrvF")])
def test_classes_without_constructor(cls):
    with pytest.raises(TypeError, match=rf"^pyorv\.{cls}: No constructor defined!$"):
        getattr(pyorv, cls)()


def test_constructors():
    assert isinstance(pyorv.PalF(), pyorv.PalF)
    assert isinstance(pyorv.OrvF(), pyorv.OrvF)
    with pytest.raises(TypeError):
        pyorv.OrvFrameBuffer(None)  # type: ignore[arg-type]  # refused on purpose
    with pytest.raises(TypeError):
        pyorv.OrvFrameBuffer(pyorv.PalF())  # type: ignore[arg-type]  # refused on purpose
    with pytest.raises(TypeError):
        pyorv.PalF(1)  # type: ignore[call-arg]  # refused on purpose


def test_signatures_shown():
    assert pyorv.OrvF.load.__doc__ is not None
    assert pyorv.OrvF.load.__doc__.startswith(
        "load(self: pyorv.OrvF, file_name: str, "
        "color_profile: typing.SupportsInt | typing.SupportsIndex = 0, io_pal: str = '') -> pyorv.OrvData"
    )
    doc = pyorv.PalF.colors.__doc__
    assert doc is not None
    assert "1. colors(self: pyorv.PalF, arg0: collections.abc.Sequence[pyorv.PalFColor]) -> None" in doc
    assert "2. colors(self: pyorv.PalF) -> list[pyorv.PalFColor]" in doc
    assert doc.index("1. colors") < doc.index("2. colors")


def test_every_field_getter_takes_self():
    # The records' fields are bound as member getters whatever builds their
    # value: help() shows a method of the class, taking self.
    for name in ["OrvInfo", "OrvData", "OrvFrame", "OrvPixelSet", "OrvPixelBlock", "PalFColor"]:
        cls = getattr(pyorv, name)
        for member, value in vars(cls).items():
            if isinstance(value, property) and value.fget.__doc__:
                assert value.fget.__doc__.lstrip().startswith(f"(self: pyorv.{name})"), f"{name}.{member}"
    assert vars(pyorv.OrvPixelBlock)["colors"].fget.__doc__.strip() == "(self: pyorv.OrvPixelBlock) -> list[int]"


def _signature_docs():
    for name in CLASSES:
        for member, value in vars(getattr(pyorv, name)).items():
            doc = value.fget.__doc__ if isinstance(value, property) else getattr(value, "__doc__", None)
            if member != "__doc__" and doc:
                yield f"{name}.{member}", doc


def test_signatures_name_python_classes():
    docs = dict(_signature_docs())
    assert "OrvF.save" in docs and "PalF.colors" in docs
    leaked = {k: v for k, v in docs.items() if "::" in v}
    assert not leaked
    for member, returned in [
        ("OrvData.info", "pyorv.OrvInfo"),
        ("OrvData.frames", "list[pyorv.OrvFrame]"),
        ("OrvData.palette", "pyorv.PalF"),
        ("OrvFrame.pixel_sets", "list[pyorv.OrvPixelSet]"),
        ("OrvPixelSet.blocks", "list[pyorv.OrvPixelBlock]"),
        ("OrvF.data", "pyorv.OrvData"),
        ("OrvFrameBuffer.get_buffer", "list[pyorv.OrvFrameBufferObject]"),
    ]:
        assert docs[member].strip().splitlines()[0].endswith("-> " + returned), member


def test_instances_take_no_foreign_attributes():
    f = pyorv.OrvF()
    with pytest.raises(AttributeError):
        f.whatever = 1  # type: ignore[attr-defined]  # refused on purpose
    with pytest.raises(AttributeError):
        del f.data().has_background


def _other_interpreters():
    found = []
    root = subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip()
    for minor in ("3.11", "3.12", "3.9"):
        for exe in sorted(glob.glob(os.path.join(root, "versions", minor + ".*", "bin", "python" + minor))):
            found.append(exe)
            break
    return found


def test_version_gate_refuses_other_interpreters(tmp_path):
    others = _other_interpreters()
    if not others:
        pytest.skip("no other CPython on this machine")
    shutil.copy(pyorv.__file__, tmp_path / "pyorv.so")
    for exe in others:
        code = (
            "import json, sys\n"
            "try:\n"
            "    import pyorv\n"
            "except ImportError as e:\n"
            "    print(json.dumps([str(e), sys.version]))\n"
            "else:\n"
            "    print(json.dumps(['imported', sys.version]))\n"
        )
        out = subprocess.run([exe, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=60)
        message, version = json.loads(out.stdout)
        assert message == (
            "Python version mismatch: module was compiled for Python 3.10, "
            f"but the interpreter version is incompatible: {version}."
        )
