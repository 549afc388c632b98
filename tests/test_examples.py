import subprocess
import sys
from pathlib import Path

import pytest

import pyorv

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = sorted((ROOT / "examples").rglob("*.orv"))


def test_examples_are_what_the_script_draws(tmp_path):
    subprocess.run([sys.executable, str(ROOT / "scripts" / "make_examples.py"), str(tmp_path)], check=True)
    drawn = sorted(p.relative_to(tmp_path) for p in tmp_path.rglob("*") if p.is_file())
    committed = sorted(p.relative_to(ROOT / "examples") for p in (ROOT / "examples").rglob("*") if p.is_file())
    assert drawn == committed
    for rel in drawn:
        assert (tmp_path / rel).read_bytes() == (ROOT / "examples" / rel).read_bytes(), rel


@pytest.mark.parametrize("path", EXAMPLES, ids=lambda p: p.name)
def test_examples_load_render_and_save_back(path, tmp_path, capfd):
    f = pyorv.OrvF()
    d = f.load(str(path))
    assert d is not None
    assert capfd.readouterr().err == ""
    images = f.get_frame_buffer()
    assert len(images) == d.info.frame_count == len(d.frames)
    assert all(i.width > 0 and i.height > 0 for i in images)
    # Some pixels covered, some transparent, in every example.
    assert any(any(i.pixels[3::4]) for i in images)
    assert any(0 in i.pixels[3::4] for i in images)
    # Saved with the palette where it was, the file comes back byte for byte.
    root = ROOT / "examples"
    pal = root / d.palette.location()
    f.save(str(tmp_path / path.name), str(root), str(tmp_path / "p.pal"))
    saved = (tmp_path / path.name).read_bytes()
    original = path.read_bytes()
    g = pyorv.OrvF()
    g.load(str(tmp_path / path.name), io_pal=str(pal))
    assert [i.pixels for i in g.get_frame_buffer()] == [i.pixels for i in images]
    # Only the stored palette path differs (it is relative to the root given).
    assert after_path(saved) == after_path(original)


def after_path(data):
    """The frame count and frame records: everything after the palette path."""
    at = 9 if data.startswith(b"FVRO") else 0
    n = int.from_bytes(data[at + 4 : at + 8], "little")
    return data[:at] + data[at + 8 + n :]


def test_example_set_has_what_it_promises():
    loaded = {}
    for path in EXAMPLES:
        f = pyorv.OrvF()
        d = f.load(str(path))
        assert d is not None, path
        loaded[path.name] = d
    assert any(d.has_background for d in loaded.values())
    assert any(any(fr.is_shadow for fr in d.frames) for d in loaded.values())
    assert any(30 <= len(d.frames) <= 60 for d in loaded.values())
