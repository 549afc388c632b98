"""The gateway to orvtool's private module: typed records, the categories
checked against the module's own, the one importer, and the module's stub."""

import ast
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import orvtool
from orvtool import _native
from orvtool.core import native
from orvtool_samples import walk, write_project

TESTS = Path(__file__).resolve().parent
PACKAGE = Path(orvtool.__file__).resolve().parent


def imports_of(path: Path):
    """Every module name that the source at `path` imports, resolved."""
    names: set[str] = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            names.update(a.name for a in node.names)
        elif isinstance(node, ast.ImportFrom):
            package = ".".join(path.relative_to(PACKAGE.parent).with_suffix("").parts[: -node.level or None])
            base = f"{package}.{node.module}" if node.level and node.module else node.module or package
            names.add(base)
            names.update(f"{base}.{a.name}" for a in node.names)
    return names


def code_only(path: Path) -> str:
    """The source without its docstrings and comments."""
    tree = ast.parse(path.read_text(encoding="utf-8"))
    for node in ast.walk(tree):
        body = getattr(node, "body", None)
        if isinstance(body, list) and body and isinstance(body[0], ast.Expr):
            if isinstance(body[0].value, ast.Constant) and isinstance(body[0].value.value, str):
                body[0] = ast.Pass()
    return ast.unparse(tree)


def test_only_the_gateway_imports_the_private_module():
    sources = sorted(PACKAGE.rglob("*.py"))
    assert len(sources) > 20 and PACKAGE / "core" / "native.py" in sources
    importers = [str(p.relative_to(PACKAGE)) for p in sources if {"orvtool._native", "_native"} & imports_of(p)]
    assert importers == ["core/native.py"]
    # Nor does any module reach it around an import statement.
    named = [str(p.relative_to(PACKAGE)) for p in sources if re.search(r"\b_native\b", code_only(p))]
    assert named == ["core/native.py"]


@pytest.mark.parametrize(
    "change, says",
    [
        ("names[:-1]", "missing: too_many_frames"),
        ("names + ('cut_in_half',)", "unknown to orvtool: cut_in_half; missing: none"),
        ("names[1:] + names[:1]", "the same names in another order"),
    ],
)
def test_a_module_with_other_categories_is_refused_on_import(change, says):
    code = (
        "import orvtool._native as m\n"
        "names = m.CATEGORIES\n"
        f"m.CATEGORIES = {change}\n"
        "try:\n    import orvtool.core.native\nexcept ImportError as err:\n    print(type(err).__name__, err)\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("NativeMismatch orvtool._native names other categories"), result.stdout
    assert says in result.stdout


def field_names(cls):
    return set(cls._fields)


@pytest.mark.parametrize("records, images", [(True, True), (False, False)])
def test_every_record_has_exactly_the_fields_the_module_gives(tmp_path, records, images):
    """A field that one side renamed or dropped is caught here, not by a
    command that reads it one day."""
    path = write_project(tmp_path, "walk.orv", walk())
    (tmp_path / "extra.orv").write_bytes(path.read_bytes() + b"xy")  # a finding, with its frame and row
    asked = {"records": records, "images": images, "frame_table": images, "frame_lines": images}
    raw = _native.load_report(str(tmp_path / "extra.orv"), **asked)
    typed = native.load_report(str(tmp_path / "extra.orv"), **asked)
    optional = {"images", "frame_table", "frame_lines", "frame_totals"}
    assert set(raw) == field_names(native.LoadReport) - (optional if not images else set())
    assert (typed.frame_table is None) is (typed.frame_totals is None) is not images
    if images:
        assert set(raw["frame_totals"]) == field_names(native.FrameTotals)
    assert set(raw["form"]) == field_names(native.Form) and set(raw["palette"]) == field_names(native.PaletteReport)
    frame_fields = field_names(native.FrameRecord) - ({"rows"} if not records else set())
    assert all(set(f) == frame_fields for f in raw["frames"]) and len(raw["frames"]) == 3
    assert raw["diagnostics"] and all(set(d) == field_names(native.Diagnostic) for d in raw["diagnostics"])
    assert [d.category for d in typed.diagnostics] == ["trailing_bytes"]
    # The bytes after the last record are counted; read only when asked for.
    assert (typed.trailing_bytes, typed.trailing) == (2, b"") and typed.palette.path == raw["palette"]["path"]
    assert native.load_report(str(tmp_path / "extra.orv"), trailing=True, **asked).trailing == b"xy"
    assert [f.width for f in typed.frames] == [f["width"] for f in raw["frames"]]
    assert (typed.frames[0].rows is None) is not records
    if images:
        assert typed.images is not None and set(raw["images"][0]) == field_names(native.Image)
        assert [i.pixels for i in typed.images] == [i["pixels"] for i in raw["images"]]
        stream = native.open_frames(str(tmp_path / "extra.orv"))
        assert len(stream) == 3 and stream.render(1) == typed.images[1]
        assert stream.report(records=records).frames == typed.frames
    outcome = native.place_file(str(tmp_path / "out.bin"), b"x")
    assert (outcome.result, outcome.method, outcome.error) == ("placed", "replace", None)
    assert field_names(native.Outcome) == set(_native.place_file(str(tmp_path / "out.bin"), b"y"))


def shape(function: ast.FunctionDef):
    """A signature's parameter names by kind, with their defaults."""
    args = function.args
    defaults = [None] * (len(args.args) - len(args.defaults)) + [ast.unparse(d) for d in args.defaults]
    return (
        [(a.arg, d) for a, d in zip(args.args, defaults, strict=True)],
        [(a.arg, ast.unparse(d) if d else None) for a, d in zip(args.kwonlyargs, args.kw_defaults, strict=True)],
    )


def test_the_private_module_matches_its_stub(tmp_path):
    """stubtest finds the stub installed beside the module; the parameters
    and docstrings, which it cannot read from a pybind11 function, are the
    module's own."""
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    allowlist = TESTS / "stubtest_allowlist_native.txt"
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "orvtool._native", "--allowlist", str(allowlist)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env=env,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    stub = ast.parse((PACKAGE / "_native.pyi").read_text(encoding="utf-8"))
    assert " ".join((ast.get_docstring(stub) or "").split()) == _native.__doc__
    functions = {}
    for node in stub.body:
        if isinstance(node, ast.FunctionDef):
            functions[node.name] = node
        elif isinstance(node, ast.ClassDef):
            # An abstract method that only tells type checkers that the class has no constructor.
            methods = [m for m in node.body if isinstance(m, ast.FunctionDef) and m.name != "_no_python_constructor"]
            functions.update((f"{node.name}.{m.name}", m) for m in methods)
    assert len(functions) == 17
    for name, function in functions.items():
        obj = _native
        for part in name.split("."):
            obj = getattr(obj, part)
        # pybind11 leads the docstring with the signature
        signature, _, doc = obj.__doc__.partition("\n")
        runtime = ast.parse(f"def {signature}: ...").body[0]
        assert isinstance(runtime, ast.FunctionDef)
        assert shape(function) == shape(runtime), name
        assert " ".join((ast.get_docstring(function) or "").split()) == " ".join(doc.split()), name


@pytest.mark.parametrize("given", [str, os.fsencode, Path])
@pytest.mark.parametrize("folder", ["caf\u00e9", os.fsdecode(b"bad\xff")])
def test_paths_go_in_and_come_out_as_the_file_system_names_them(tmp_path, folder, given):
    """A path as str, bytes or os.PathLike, a name that is not UTF-8 among
    them: the report names the file, the palette and the paths tried as
    os.fsdecode gives them, from the bytes os.fsencode gives."""
    path = write_project(tmp_path / folder, "walk.orv", walk())
    palette = path.parent / "pal" / "test.pal"
    report = _native.load_report(given(str(path)))
    assert report["path"] == str(path) and report["opened"] and report["status"] == "ok"
    assert report["palette"]["path"] == str(palette) and str(palette) in report["palette"]["tried"]
    chosen = _native.load_report(given(str(path)), io_pal=given(str(palette)))
    assert chosen["palette"]["path"] == str(palette) and chosen["palette"]["from_option"]
    assert native.find_palette(given(str(path)), b"pal/test.pal") == (str(palette), [str(palette)])
    with pytest.raises(TypeError):
        _native.load_report(3)  # type: ignore[arg-type]
