"""The installed distribution: one version everywhere, and orvtool refusing a
pyorv module of another version."""

import os
import re
import subprocess
import sys
from importlib.metadata import version
from pathlib import Path

import orvtool
import pyorv

ROOT = Path(__file__).resolve().parent.parent
ORVTOOL = Path(sys.executable).with_name("orvtool")


def test_module_tool_and_metadata_carry_one_version():
    assert pyorv.__version__ == version("pyorv") == orvtool.__version__
    out = subprocess.run([str(ORVTOOL), "--version"], capture_output=True, text=True, check=True).stdout
    assert out.splitlines()[:2] == [f"orvtool {pyorv.__version__}", f"core {pyorv.__version__}"]


def test_version_is_written_only_in_pyproject():
    written = re.search(r'^version = "([^"]+)"', (ROOT / "pyproject.toml").read_text(), re.M)
    assert written and written.group(1) == pyorv.__version__
    sources = [ROOT / "CMakeLists.txt", *(ROOT / "src").rglob("*.[ch]pp"), *(ROOT / "python").rglob("*.py")]
    assert [str(p) for p in sources if written.group(1) in p.read_text()] == []


def fake_pyorv(tmp_path, found_version):
    """A directory whose pyorv module reports another version, put first on the path."""
    (tmp_path / "pyorv.py").write_text(f"__version__ = {found_version!r}\n")
    return dict(os.environ, PYTHONPATH=str(tmp_path))


def test_orvtool_refuses_a_pyorv_of_another_version(tmp_path):
    env = fake_pyorv(tmp_path, "0.7.9")
    for command in ([str(ORVTOOL), "info", "x.orv"], [sys.executable, "-m", "orvtool", "info", "x.orv"]):
        result = subprocess.run(command, capture_output=True, text=True, env=env, cwd=tmp_path)
        assert result.returncode == 1
        assert result.stdout == ""
        assert result.stderr == (
            f"orvtool: error: orvtool {orvtool.__version__} needs pyorv {orvtool.__version__}, "
            f"but the pyorv imported from {tmp_path / 'pyorv.py'} is version 0.7.9; "
            "install orvtool and pyorv from the same distribution\n"
        )


def test_library_use_refuses_it_too_but_the_writer_needs_no_module(tmp_path):
    env = fake_pyorv(tmp_path, None)
    code = (
        "from orvtool.core.orvfile import encode_palette\n"
        "assert encode_palette([(1, 2, 3, 4)])[:2] == bytes([1, 0])\n"
        "try:\n"
        "    import orvtool.load.loading\n"
        "except ImportError as err:\n"
        "    print(type(err).__name__, err)\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("PyorvMismatch orvtool ")
    assert "is version None;" in result.stdout


def test_orvtool_and_the_module_are_imported_from_one_installation():
    """Not from the source tree: python/ holds orvtool but no built module."""
    assert Path(orvtool.__file__).resolve().parent.parent == Path(pyorv.__file__).resolve().parent
    assert ROOT / "python" not in [Path(p).resolve() for p in sys.path if p]
