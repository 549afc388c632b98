import pytest

import pyorv
from orvtool.core.orvfile import encode_palette


def colors_of(p):
    return [(c.r, c.g, c.b, c.a) for c in p.colors()]


@pytest.fixture
def pal_file(write):
    def _make(data, name="p.pal"):
        return write(name, data)

    return _make


class TestLoad:
    def test_one_entry_fills_to_256_with_opaque_black(self, pal_file):
        p = pyorv.PalF()
        assert p.load(pal_file(bytes.fromhex("0100000010203040"))) == 1
        got = colors_of(p)
        assert len(got) == 256
        assert got[0] == (16, 32, 48, 64)
        assert got[1:] == [(0, 0, 0, 255)] * 255

    @pytest.mark.parametrize("model, first", [(1, (48, 32, 16, 64)), (2, (16, 32, 48, 64)), (-1, (16, 32, 48, 64))])
    def test_colour_model_orders_bytes(self, pal_file, model, first):
        p = pyorv.PalF()
        p.color_model(model)
        assert p.load(pal_file(bytes.fromhex("0100000010203040"))) == 1
        assert colors_of(p)[0] == first
        assert p.color_model() == model

    def test_model_field_of_the_file_is_ignored(self, pal_file):
        a, b = pyorv.PalF(), pyorv.PalF()
        a.load(pal_file(bytes.fromhex("0100000010203040"), "a.pal"))
        b.load(pal_file(bytes.fromhex("0100ABCD10203040"), "b.pal"))
        assert colors_of(a) == colors_of(b)
        assert b.color_model() == 0

    def test_full_table_loads_without_fill(self, pal_file):
        colors = [(i, (i * 7) % 256, (i * 13) % 256, 255 - i) for i in range(256)]
        p = pyorv.PalF()
        assert p.load(pal_file(encode_palette(colors))) == 1
        assert colors_of(p) == colors

    def test_bytes_after_the_entries_are_ignored(self, pal_file):
        p = pyorv.PalF()
        assert p.load(pal_file(encode_palette([(1, 2, 3, 4)] * 2) + b"\xff" * 100)) == 1
        assert colors_of(p)[:3] == [(1, 2, 3, 4), (1, 2, 3, 4), (0, 0, 0, 255)]

    @pytest.mark.parametrize("count", [0, 257, 65535])
    def test_invalid_counts_leave_the_table(self, pal_file, capfd, count):
        p = pyorv.PalF()
        p.load(pal_file(encode_palette([(9, 9, 9, 9)]), "good.pal"))
        before = colors_of(p)
        capfd.readouterr()
        assert p.load(pal_file(encode_palette([(1, 1, 1, 1)] * 3, count=count), "bad.pal")) == -2
        assert capfd.readouterr().err == f"ERROR: Invalid color count: {count}\n"
        assert colors_of(p) == before

    @pytest.mark.parametrize("data, count", [(b"", 0), (b"\x05", 5), (b"\x00\x01", 256)])
    def test_short_headers(self, pal_file, capfd, data, count):
        p = pyorv.PalF()
        result = p.load(pal_file(data))
        err = capfd.readouterr().err
        if count == 0:
            assert (result, err) == (-2, "ERROR: Invalid color count: 0\n")
        else:
            # The count is read; the entries the file lacks are transparent black.
            assert (result, err) == (1, "")
            assert colors_of(p)[:count] == [(0, 0, 0, 0)] * count
            assert len(p.colors()) == 256

    def test_short_body_keeps_what_is_there(self, pal_file, capfd):
        p = pyorv.PalF()
        assert p.load(pal_file(encode_palette([(1, 2, 3, 4), (5, 6, 7, 8)], count=4) + b"\x09\x0a")) == 1
        got = colors_of(p)
        assert got[:2] == [(1, 2, 3, 4), (5, 6, 7, 8)]
        assert got[2:4] == [(0, 0, 0, 0)] * 2
        assert got[4:] == [(0, 0, 0, 255)] * 252
        assert capfd.readouterr().err == ""

    def test_missing_file(self, tmp_path, capfd):
        p = pyorv.PalF()
        p.colors([])
        path = str(tmp_path / "nope" / "x.pal")
        assert p.load(path) == -1
        assert capfd.readouterr().err == f"ERROR: Could not open palette file: {path}\n"
        assert p.colors() == []

    def test_directory_and_embedded_zero_byte_cannot_be_opened(self, tmp_path, pal_file, capfd):
        p = pyorv.PalF()
        assert p.load(str(tmp_path)) in (-1, -2)
        real = pal_file(encode_palette([(1, 1, 1, 1)]))
        capfd.readouterr()
        assert p.load(real + "\0.ignored") == -1
        assert capfd.readouterr().err.startswith("ERROR: Could not open palette file: ")
        assert p.colors() == []

    def test_load_leaves_location_and_model(self, pal_file):
        p = pyorv.PalF()
        p.location("x/y.pal")
        p.location_size(99)
        p.color_model(3)
        p.load(pal_file(encode_palette([(1, 2, 3, 4)])))
        assert (p.location(), p.location_size(), p.color_model()) == ("x/y.pal", 99, 3)

    def test_path_as_bytes(self, pal_file):
        path = pal_file(encode_palette([(1, 2, 3, 4)]), "bytes-é.pal")
        p = pyorv.PalF()
        assert p.load(path.encode()) == 1


class TestSave:
    def test_fresh_palette_writes_four_zero_bytes(self, tmp_path, capfd):
        p = pyorv.PalF()
        path = tmp_path / "out.pal"
        p.save(str(path))
        assert path.read_bytes() == b"\0\0\0\0"
        assert p.load(str(path)) == -2

    def test_short_file_saved_comes_back_with_256_entries(self, tmp_path, pal_file):
        p = pyorv.PalF()
        p.load(pal_file(encode_palette([(1, 2, 3, 4), (5, 6, 7, 8), (9, 10, 11, 12)])))
        out = tmp_path / "out.pal"
        p.save(str(out))
        data = out.read_bytes()
        assert len(data) == 1028
        assert data[:4] == b"\x00\x01\x00\x00"
        assert data[4:16] == bytes(range(1, 13))
        assert data[16:] == b"\x00\x00\x00\xff" * 253

    @pytest.mark.parametrize("model, field", [(1, b"\x01\x00"), (-1, b"\xff\xff"), (0x12345, b"\x45\x23")])
    def test_model_field_written_entries_never_swapped(self, tmp_path, model, field):
        p = pyorv.PalF()
        p.color_model(1)
        src = tmp_path / "src.pal"
        src.write_bytes(encode_palette([(10, 20, 30, 40)]))
        p.load(str(src))  # swapped once on reading
        p.color_model(model)
        out = tmp_path / "out.pal"
        p.save(str(out))
        data = out.read_bytes()
        assert data[2:4] == field
        assert data[4:8] == bytes((30, 20, 10, 40))

    def test_table_above_65535_entries_keeps_low_count_bits(self, tmp_path):
        p = pyorv.PalF()
        src = tmp_path / "one.pal"
        src.write_bytes(encode_palette([(1, 2, 3, 4)]))
        p.load(str(src))
        one = p.get_color(0)
        p.colors([one] * 65537)
        out = tmp_path / "big.pal"
        p.save(str(out))
        data = out.read_bytes()
        assert data[:2] == b"\x01\x00"
        assert len(data) == 4 + 4 * 65537

    @pytest.mark.parametrize("make", ["missing folder", "directory in the way"])
    def test_target_that_cannot_be_opened(self, tmp_path, capfd, make):
        path = tmp_path / "missing" / "p.pal" if make == "missing folder" else tmp_path / "d.pal"
        if make != "missing folder":
            path.mkdir()
        pyorv.PalF().save(str(path))
        assert capfd.readouterr().err == f"ERROR: Could not open palette file for writing: {path}\n"
        assert path.is_dir() if make != "missing folder" else not path.parent.exists()

    def test_replaces_existing_file_and_leaves_no_temporary(self, tmp_path):
        path = tmp_path / "p.pal"
        path.write_bytes(b"old contents")
        path.chmod(0o640)
        pyorv.PalF().save(str(path))
        assert path.read_bytes() == b"\0\0\0\0"
        assert path.stat().st_mode & 0o777 == 0o640
        assert sorted(x.name for x in tmp_path.iterdir()) == ["p.pal"]


def test_failed_write_keeps_the_old_file(tmp_path):
    """A write that fails half way (file size limit) must not lose the old palette."""
    from conftest import run_python

    path = tmp_path / "p.pal"
    path.write_bytes(b"original palette")
    code = f"""
import resource, signal
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (512, 512))
import pyorv
p = pyorv.PalF()
p.colors([])
src = {str(tmp_path / "src.pal")!r}
open(src, 'wb').write(bytes([0, 1, 0, 0]) + bytes(1024))
assert p.load(src) == 1
p.save({str(path)!r})
print("returned")
"""
    out = run_python(code)
    assert out.stdout.strip() == "returned"
    assert out.stderr == f"ERROR: Could not write palette file: {path}\n"
    assert path.read_bytes() == b"original palette"
    assert sorted(x.name for x in tmp_path.iterdir()) == ["p.pal", "src.pal"]


class TestAccessors:
    def test_fresh_state(self, capfd):
        p = pyorv.PalF()
        assert (p.location(), p.location_size(), p.color_model(), p.colors()) == ("", 0, 0, [])
        with pytest.raises(IndexError, match="^Color index out of bounds$"):
            p.get_color(0)
        assert capfd.readouterr().err == "ERROR: Color index out of bounds: 0\n"

    def test_lookup_bounds(self, pal_file, capfd):
        p = pyorv.PalF()
        p.load(pal_file(encode_palette([(1, 2, 3, 4)])))
        c = p.get_color(255)
        assert (c.r, c.g, c.b, c.a) == (0, 0, 0, 255)
        for bad in (256, -1, -(2**31)):
            with pytest.raises(IndexError, match="^Color index out of bounds$"):
                p.get_color(bad)
            assert capfd.readouterr().err == f"ERROR: Color index out of bounds: {bad}\n"
        with pytest.raises(TypeError):
            p.get_color(2**31)

    def test_colors_setter_copies(self, pal_file, capfd):
        p = pyorv.PalF()
        p.load(pal_file(encode_palette([(1, 2, 3, 4), (5, 6, 7, 8), (9, 9, 9, 9)])))
        three = p.colors()[:3]
        p.colors(three)
        assert len(p.colors()) == 3
        three.append(three[0])
        assert len(p.colors()) == 3
        with pytest.raises(IndexError):
            p.get_color(3)
        assert capfd.readouterr().err == "ERROR: Color index out of bounds: 3\n"

    def test_colors_setter_accepts_iterables_not_text(self, pal_file):
        p = pyorv.PalF()
        p.load(pal_file(encode_palette([(1, 2, 3, 4), (5, 6, 7, 8)])))
        first_two = p.colors()[:2]
        p.colors(c for c in first_two)
        assert colors_of(p) == [(1, 2, 3, 4), (5, 6, 7, 8)]
        p.colors(tuple(reversed(first_two)))
        assert colors_of(p) == [(5, 6, 7, 8), (1, 2, 3, 4)]
        for bad in ("abc", b"abc", [1, 2], [first_two[0], None], 5):
            with pytest.raises(TypeError):
                p.colors(bad)  # type: ignore[arg-type]  # refused on purpose
        assert colors_of(p) == [(5, 6, 7, 8), (1, 2, 3, 4)]

    def test_colour_copies_are_independent_and_read_only(self, pal_file):
        p = pyorv.PalF()
        p.load(pal_file(encode_palette([(1, 2, 3, 4)])))
        c = p.get_color(0)
        for attr in "rgba":
            with pytest.raises(AttributeError):
                setattr(c, attr, 0)
        p.colors([])
        assert (c.r, c.g, c.b, c.a) == (1, 2, 3, 4)
        assert p.get_color is not None and p.colors() == []

    def test_location_and_size_are_independent(self):
        p = pyorv.PalF()
        p.location_size(7)
        p.location("a.pal")
        assert p.location_size() == 7
        p.location_size(4294967295)
        assert p.location() == "a.pal"
        with pytest.raises(TypeError):
            p.location_size(-1)
        with pytest.raises(TypeError):
            p.location_size(2**32)
        with pytest.raises(TypeError):
            p.location(None)  # type: ignore[call-overload]  # refused on purpose

    def test_colour_model_range(self):
        p = pyorv.PalF()
        p.color_model(-(2**31))
        assert p.color_model() == -(2**31)
        for bad in (2**31, 1.0, "1"):
            with pytest.raises(TypeError):
                p.color_model(bad)  # type: ignore[arg-type]  # refused on purpose
        assert p.color_model() == -(2**31)

    def test_location_bytes_not_utf8(self):
        p = pyorv.PalF()
        p.location(b"\xff\xfe.pal")
        with pytest.raises(UnicodeDecodeError):
            p.location()
        p.location(bytearray(b"ok.pal"))
        assert p.location() == "ok.pal"
