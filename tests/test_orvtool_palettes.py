"""Palette conversions: round trips where the format holds the colours, plain
notes where it drops alpha, clear refusals of files that are not palettes."""

import json

import pytest

import pyorv
from orvtool.cli import main
from orvtool.core.orvfile import encode_palette
from orvtool.formats.palettes import Palette, read_palette, write_palette
from orvtool.model.errors import OrvToolError
from orvtool_samples import PALETTE

SMALL = [(10, 20, 30, 255), (200, 100, 0, 0), (1, 2, 3, 128), (255, 255, 255, 255), (0, 0, 0, 255)]


def convert(tmp_path, colors, first, second, model=0, fmt=None):
    """binary palette -> first -> second; returns the Palette read from second."""
    src = tmp_path / "src.pal"
    src.write_bytes(encode_palette(colors, model=model))
    mid = tmp_path / f"mid.{first}"
    write_palette(read_palette(str(src)), str(mid), fmt)
    out = tmp_path / f"out.{second}"
    write_palette(read_palette(str(mid), fmt), str(out))
    return out


@pytest.mark.parametrize("colors", [PALETTE, SMALL], ids=["256", "5"])
@pytest.mark.parametrize("via", ["json", "png"])
def test_lossless_formats_round_trip_byte_for_byte(tmp_path, colors, via):
    out = convert(tmp_path, colors, via, "pal", model=0x1234)
    assert out.read_bytes() == encode_palette(colors, model=0x1234)


def test_swatch_is_16_by_16_in_index_order(tmp_path):
    from PIL import Image

    (tmp_path / "a.pal").write_bytes(encode_palette(PALETTE))
    write_palette(read_palette(str(tmp_path / "a.pal")), str(tmp_path / "s.png"), cell=4)
    with Image.open(tmp_path / "s.png") as im:
        assert im.size == (64, 64)
        for i in (0, 17, 255):
            assert im.getpixel((4 * (i % 16) + 3, 4 * (i // 16) + 3)) == PALETTE[i]
    assert read_palette(str(tmp_path / "s.png")).colors == PALETTE


def test_gpl_keeps_alpha_in_names_and_reads_plain_gimp_files(tmp_path):
    out = convert(tmp_path, SMALL, "gpl", "pal")
    assert read_palette(str(out)).colors == SMALL
    text = (tmp_path / "mid.gpl").read_text()
    assert text.startswith("GIMP Palette\n") and "\n200 100   0\tIndex 1 alpha=0\n" in text
    (tmp_path / "gimp.gpl").write_text("GIMP Palette\nName: x\nColumns: 4\n#\n  1   2   3\tfirst\n255 0 7 second\n")
    assert read_palette(str(tmp_path / "gimp.gpl")).colors == [(1, 2, 3, 255), (255, 0, 7, 255)]


def test_jasc_drops_alpha_and_says_so(tmp_path):
    src = tmp_path / "a.pal"
    src.write_bytes(encode_palette(SMALL))
    pal = read_palette(str(src))
    write_palette(pal, str(tmp_path / "j.pal"), "jasc")
    assert [str(n) for n in pal.notes] == ["JASC-PAL has no alpha: 2 of 5 colours lose their alpha"]
    raw = (tmp_path / "j.pal").read_bytes()
    assert raw.startswith(b"JASC-PAL\r\n0100\r\n5\r\n10 20 30\r\n")
    back = read_palette(str(tmp_path / "j.pal"))  # a .pal that starts JASC-PAL is read as one
    assert back.colors == [(r, g, b, 255) for r, g, b, _ in SMALL]


def test_act_keeps_one_transparent_entry(tmp_path):
    src = tmp_path / "a.pal"
    src.write_bytes(encode_palette(SMALL))
    pal = read_palette(str(src))
    write_palette(pal, str(tmp_path / "a.act"))
    data = (tmp_path / "a.act").read_bytes()
    assert len(data) == 772 and data[768:] == bytes([0, 5, 0, 1])  # 5 colours, entry 1 transparent
    assert [str(n) for n in pal.notes] == [
        "Adobe .act holds one transparent entry and no other alpha: 1 of 5 colours loses its alpha"
    ]
    expected = [(10, 20, 30, 255), (200, 100, 0, 0), (1, 2, 3, 255), (255, 255, 255, 255), (0, 0, 0, 255)]
    assert read_palette(str(tmp_path / "a.act")).colors == expected


def test_opaque_palettes_convert_without_notes(tmp_path):
    opaque = [(r, g, b, 255) for r, g, b, _ in PALETTE]
    for fmt in ("gpl", "jasc", "act"):
        src = tmp_path / "o.pal"
        src.write_bytes(encode_palette(opaque))
        pal = read_palette(str(src))
        write_palette(pal, str(tmp_path / f"o.{fmt}"), fmt)
        assert pal.notes == []
        assert read_palette(str(tmp_path / f"o.{fmt}"), fmt).colors == opaque


def test_converted_palette_loads_in_the_module(tmp_path):
    (tmp_path / "in.json").write_text(json.dumps({"colors": [list(c) for c in SMALL], "model": 0}))
    write_palette(read_palette(str(tmp_path / "in.json")), str(tmp_path / "out.pal"))
    p = pyorv.PalF()
    assert p.load(str(tmp_path / "out.pal")) == 1
    assert [(c.r, c.g, c.b, c.a) for c in p.colors()[:5]] == SMALL


@pytest.mark.parametrize(
    "name, data, message",
    [
        ("zero.pal", b"\0\0\0\0", "entry count 0"),
        ("big.pal", b"\x01\x01\0\0" + bytes(4 * 257), "entry count 257"),
        ("short.pal", b"\x03\0\0\0" + bytes(8), "cut short"),
        ("bad.json", b"[1, 2]", "'colors' list"),
        ("range.json", b'{"colors": [[1, 2, 3, 300]]}', "colour 0"),
        ("bad.act", bytes(100), "768 or 772 bytes"),
        ("bad.gpl", b"not gimp", "GIMP Palette"),
        ("odd.png", None, "16 x 16 cells"),
        ("x.bmp", b"", "cannot tell the palette format"),
    ],
)
def test_files_that_are_not_palettes_are_refused(tmp_path, name, data, message):
    path = tmp_path / name
    if data is None:
        from PIL import Image

        Image.new("RGBA", (20, 16)).save(path)
    else:
        path.write_bytes(data)
    with pytest.raises(OrvToolError, match=message):
        read_palette(str(path))


def test_writers_refuse_what_the_format_cannot_hold(tmp_path):
    with pytest.raises(OrvToolError, match="1 to 256"):
        write_palette(Palette([]), str(tmp_path / "x.pal"))
    with pytest.raises(OrvToolError, match="256 colours"):
        write_palette(Palette([(0, 0, 0, 255)] * 257), str(tmp_path / "x.act"))


def test_palette_command(tmp_path, capfd):
    src = tmp_path / "hero.pal"
    src.write_bytes(encode_palette(SMALL))
    assert main(["palette", str(src), "-o", str(tmp_path / "hero.gpl")]) == 0
    out, err = capfd.readouterr()
    assert out.strip() == f"wrote {tmp_path / 'hero.gpl'}: 5 colours as gpl"
    assert "note: GIMP .gpl has no alpha" in err
    assert main(["palette", str(src), "-o", str(tmp_path / "hero.gpl")]) == 1
    _, err = capfd.readouterr()
    assert err.strip() == f"orvtool: {tmp_path / 'hero.gpl'}: already exists; not replaced (use --force)"
    assert main(["palette", str(tmp_path / "hero.gpl"), "-o", str(tmp_path / "back.pal"), "--force"]) == 0
    assert (tmp_path / "back.pal").read_bytes() == src.read_bytes()
    assert main(["palette", str(tmp_path / "missing.pal"), "-o", str(tmp_path / "m.json")]) == 1
    _, err = capfd.readouterr()
    assert err.strip().startswith(f"orvtool: {tmp_path / 'missing.pal'}: cannot read")
