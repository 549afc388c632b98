import pytest
from test_load import EXAMPLE_1, EXAMPLE_2

import pyorv
from conftest import gray_palette, run_python
from orvtool.core.orvfile import Animation, Frame, Row, Run, encode_animation, encode_palette


@pytest.fixture
def root(tmp_path):
    (tmp_path / "a.pal").write_bytes(encode_palette(gray_palette()))
    return tmp_path


def load_bytes(root, data, name="in.orv"):
    (root / name).write_bytes(data)
    f = pyorv.OrvF()
    f.load(str(root / name))
    return f


@pytest.mark.parametrize("data", [EXAMPLE_1, EXAMPLE_2])
def test_worked_examples_save_back_byte_for_byte(root, data):
    f = load_bytes(root, data)
    out = root / "out.orv"
    assert f.save(str(out), str(root), str(root / "a.pal")) is None
    assert out.read_bytes() == data
    assert (root / "a.pal").read_bytes() == encode_palette(gray_palette())


def test_fresh_animation_writes_18_bytes(tmp_path):
    f = pyorv.OrvF()
    f.save(file_name=str(tmp_path / "n.orv"), project_root=str(tmp_path), palette_path=str(tmp_path / "p.pal"))
    assert (tmp_path / "n.orv").read_bytes() == bytes.fromhex("00000000 06000000") + b"p.pal\0" + bytes(4)
    assert (tmp_path / "p.pal").read_bytes() == b"\0\0\0\0"


def test_frames_round_trip_except_unk(root):
    frames = [
        Frame(
            width=7,
            x_offset=-3,
            y_offset=12,
            frame_size=1234,
            unk1=9,
            unk2=200,
            rows=[Row([Run(2, bytes([1, 2, 3])), Run(0, bytes([4]))]), Row([]), Row([Run(255, b""), Run(3, b"\x05")])],
        ),
        Frame(width=1, unk1=7, unk2=0, rows=[Row([Run(0, b"\xff")])]),
    ]
    src = Animation(speed=77, palette_path=b"a.pal", frames=frames)
    f = load_bytes(root, encode_animation(src))
    f.save(str(root / "out.orv"), str(root), str(root / "a.pal"))
    for fr in frames:
        fr.unk1, fr.unk2 = 0, 1
    assert (root / "out.orv").read_bytes() == encode_animation(src)
    assert [(fr.unk1, fr.unk2) for fr in f.data().frames] == [(0, 1), (0, 1)]


def test_shadow_height_is_folded(root):
    shadow = Frame(width=2, is_shadow=True, rows=[Row([Run(0, length=2)])])
    f = load_bytes(root, encode_animation(Animation(palette_path=b"a.pal", frames=[shadow])))
    fr = f.data().frames[0]
    fr.height = 300
    f.save(str(root / "out.orv"), str(root), str(root / "a.pal"))
    data = (root / "out.orv").read_bytes()
    frame_at = 4 + 4 + 6 + 4
    assert data[frame_at + 4 : frame_at + 6] == (0x8000 + 44).to_bytes(2, "little")
    g = pyorv.OrvF()
    g.load(str(root / "out.orv"))
    assert (g.data().frames[0].height, g.data().frames[0].is_shadow) == (44, 1)


def test_background_form_written_with_count_one_less(root):
    one = Frame(width=1, rows=[Row([Run(0, b"\x01")])])
    f = load_bytes(root, encode_animation(Animation(palette_path=b"a.pal", frames=[one, one, one])))
    d = f.data()
    d.has_background = True
    f.save(str(root / "bg.orv"), str(root), str(root / "a.pal"))
    expected = Animation(palette_path=b"a.pal", has_background=True, frames=[one, one, one])
    assert (root / "bg.orv").read_bytes() == encode_animation(expected)
    d.has_background = False
    f.save(str(root / "plain.orv"), str(root), str(root / "a.pal"))
    assert not (root / "plain.orv").read_bytes().startswith(b"FVRO")


def test_background_with_zero_frames_writes_wrapped_count(tmp_path):
    f = pyorv.OrvF()
    f.data().has_background = True
    f.save(str(tmp_path / "z.orv"), str(tmp_path), str(tmp_path / "p.pal"))
    assert (tmp_path / "z.orv").read_bytes() == b"FVRO\0\0\0\0\x01" + bytes(4) + bytes.fromhex(
        "06000000"
    ) + b"p.pal\0" + b"\xff" * 4


@pytest.mark.parametrize(
    "root_rel, pal_rel, stored",
    [
        ("g", "g/objects/tree/tree.pal", b"objects/tree/tree.pal"),
        ("g/objects", "g/pal/x.pal", b"../pal/x.pal"),
        ("g", "g", b"."),
        ("g", "g/./sub/../p.pal", b"p.pal"),
        ("g/a/b", "g/p.pal", b"../../p.pal"),
    ],
)
def test_stored_palette_path(tmp_path, root_rel, pal_rel, stored):
    (tmp_path / "g" / "objects").mkdir(parents=True)
    f = pyorv.OrvF()
    f.save(str(tmp_path / "o.orv"), str(tmp_path / root_rel), str(tmp_path / pal_rel))
    data = (tmp_path / "o.orv").read_bytes()
    n = int.from_bytes(data[4:8], "little")
    assert (n, data[8 : 8 + n]) == (len(stored) + 1, stored + b"\0")


def test_stored_path_through_a_symbolic_link(tmp_path):
    (tmp_path / "real" / "pal").mkdir(parents=True)
    (tmp_path / "link").symlink_to(tmp_path / "real")
    f = pyorv.OrvF()
    f.save(str(tmp_path / "o.orv"), str(tmp_path / "real"), str(tmp_path / "link" / "pal" / "x.pal"))
    assert (tmp_path / "o.orv").read_bytes()[8:18] == b"pal/x.pal\0"
    assert (tmp_path / "real" / "pal" / "x.pal").read_bytes() == b"\0\0\0\0"


def test_link_brought_to_light_by_normalising_is_resolved(tmp_path):
    # "missing/../link" resolves no link at first (missing does not exist);
    # only the second pass sees that link names real.
    (tmp_path / "real" / "pal").mkdir(parents=True)
    (tmp_path / "link").symlink_to(tmp_path / "real")
    f = pyorv.OrvF()
    f.save(str(tmp_path / "o.orv"), str(tmp_path / "missing" / ".." / "link"), str(tmp_path / "real" / "pal" / "x.pal"))
    assert (tmp_path / "o.orv").read_bytes()[4:18] == bytes.fromhex("0a000000") + b"pal/x.pal\0"


def test_saved_file_finds_its_palette_from_below_the_root(root):
    (root / "objects" / "tree").mkdir(parents=True)
    f = load_bytes(root, EXAMPLE_1)
    f.save(str(root / "objects" / "tree" / "t.orv"), str(root), str(root / "objects" / "tree.pal"))
    g = pyorv.OrvF()
    d = g.load(str(root / "objects" / "tree" / "t.orv"))
    assert d is not None and d.palette.location() == "objects/tree.pal"
    assert [i.pixels for i in g.get_frame_buffer()] == [i.pixels for i in f.get_frame_buffer()]


def test_missing_directory_leaves_everything(root, capfd):
    f = load_bytes(root, EXAMPLE_1)
    f.data().frames[0].unk1 = 5
    before = (root / "a.pal").read_bytes()
    capfd.readouterr()
    target = str(root / "missing" / "x.orv")
    assert f.save(target, str(root), str(root / "a.pal")) is None
    assert capfd.readouterr().err == f"ERROR: Could not open animation file for writing: {target}\n"
    assert (root / "a.pal").read_bytes() == before
    assert f.data().frames[0].unk1 == 5


def test_failed_write_keeps_earlier_file_and_palette(root):
    big = Frame(width=200, rows=[Row([Run(0, bytes(range(200)))])] * 20)
    (root / "big.orv").write_bytes(encode_animation(Animation(palette_path=b"a.pal", frames=[big])))
    (root / "target.orv").write_bytes(EXAMPLE_1)
    pal_before = (root / "a.pal").read_bytes()
    code = f"""
import resource, signal
import pyorv
f = pyorv.OrvF()
assert f.load({str(root / "big.orv")!r}) is not None
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (2048, 2048))
f.save({str(root / "target.orv")!r}, {str(root)!r}, {str(root / "a.pal")!r})
print("returned")
"""
    out = run_python(code)
    assert out.stdout.strip() == "returned"
    assert out.stderr == f"ERROR: Could not write animation file: {root / 'target.orv'}\n"
    assert (root / "target.orv").read_bytes() == EXAMPLE_1
    assert (root / "a.pal").read_bytes() == pal_before
    assert sorted(p.name for p in root.iterdir()) == ["a.pal", "big.orv", "target.orv"]


def test_replaces_through_symbolic_link_and_keeps_mode(root):
    f = load_bytes(root, EXAMPLE_1)
    (root / "real").mkdir()
    (root / "real" / "t.orv").write_bytes(b"old")
    (root / "real" / "t.orv").chmod(0o600)
    (root / "t.orv").symlink_to(root / "real" / "t.orv")
    f.save(str(root / "t.orv"), str(root), str(root / "a.pal"))
    assert (root / "t.orv").is_symlink()
    assert (root / "real" / "t.orv").read_bytes() == EXAMPLE_1
    assert (root / "real" / "t.orv").stat().st_mode & 0o777 == 0o600


def test_arguments_and_path_errors(root):
    f = pyorv.OrvF()
    with pytest.raises(TypeError):
        f.save(str(root / "o.orv"))  # type: ignore[call-arg]  # refused on purpose
    with pytest.raises(TypeError):
        f.save(str(root / "o.orv"), str(root), None)  # type: ignore[arg-type]  # refused on purpose
    assert not (root / "o.orv").exists()
    # A path that cannot be resolved (a loop of symbolic links) raises before
    # the target is touched.
    (root / "loop").symlink_to(root / "loop")
    (root / "o.orv").write_bytes(b"keep")
    with pytest.raises(RuntimeError, match="loop"):
        f.save(str(root / "o.orv"), str(root), str(root / "loop" / "x.pal"))
    assert (root / "o.orv").read_bytes() == b"keep"


def test_relative_paths_resolve_against_the_working_directory(root, monkeypatch):
    monkeypatch.chdir(root)
    (root / "pals").mkdir()
    f = pyorv.OrvF()
    f.save("rel.orv", ".", "pals/x.pal")
    assert (root / "rel.orv").read_bytes()[8:18] == b"pals/x.pal"
    assert (root / "pals" / "x.pal").exists()


@pytest.mark.parametrize("earlier_load", [True, False], ids=["after a load without palette", "fresh"])
def test_no_colours_never_replace_an_existing_palette(root, capfd, earlier_load):
    kept = (root / "a.pal").read_bytes()
    f = pyorv.OrvF()
    if earlier_load:
        # A good load, then a copy whose palette cannot be found.
        (root / "in.orv").write_bytes(EXAMPLE_1)
        assert f.load(str(root / "in.orv")) is not None
        (root / "elsewhere").mkdir()
        (root / "elsewhere" / "copy.orv").write_bytes(EXAMPLE_1)
        assert f.load(str(root / "elsewhere" / "copy.orv"), io_pal=str(root / "elsewhere" / "none.pal")) is None
        assert f.data().palette.colors() == []
    capfd.readouterr()
    out = root / "out.orv"
    (root / "x").mkdir()
    f.save(str(out), str(root), str(root / "x" / ".." / "a.pal"))
    assert capfd.readouterr().err == f"ERROR: No palette data to save, existing palette file kept: {root / 'a.pal'}\n"
    assert (root / "a.pal").read_bytes() == kept
    # The animation itself is written as always, naming the palette.
    assert out.read_bytes()[8:13] == b"a.pal"
    # Where no palette file exists yet, the empty table is written as before.
    f.save(str(out), str(root), str(root / "new.pal"))
    assert (root / "new.pal").read_bytes() == b"\0\0\0\0"
    assert capfd.readouterr().err == ""
    # The animation file named as its own palette is no other palette file:
    # the palette is written over it, and nothing is said of a kept file.
    f.save(str(out), str(root), str(out))
    assert capfd.readouterr().err == ""
    assert out.read_bytes() == b"\0\0\0\0"


@pytest.mark.parametrize("which", ["file_name", "project_root", "palette_path"])
def test_zero_byte_in_a_path_raises_before_writing(root, capfd, which):
    f = load_bytes(root, EXAMPLE_1)
    (root / "o.orv").write_bytes(b"keep")
    capfd.readouterr()
    paths = {"file_name": str(root / "o.orv"), "project_root": str(root), "palette_path": str(root / "a.pal")}
    paths[which] = paths[which] + "\0bad"
    with pytest.raises(RuntimeError, match="zero byte"):
        f.save(paths["file_name"], paths["project_root"], paths["palette_path"])
    assert capfd.readouterr().err == ""
    assert (root / "o.orv").read_bytes() == b"keep"
    assert sorted(p.name for p in root.iterdir()) == ["a.pal", "in.orv", "o.orv"]
