#!/usr/bin/env python3
"""Writes the seed inputs of the three fuzz harnesses.

    make_seeds.py OUTDIR

creates OUTDIR/load_render, OUTDIR/palette and OUTDIR/save, filled with files
made by the package's writer (orvtool.core.orvfile) plus every file under
examples/. The output is the same on every run.
"""

from __future__ import annotations

import hashlib
import struct
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# The installed orvtool, whose native module encodes the files; the sources
# only where none is installed.
sys.path.append(str(ROOT / "python"))

from orvtool.core.orvfile import Animation, Frame, Row, Run, encode_animation, encode_palette, frame_from_indices  # noqa: E402

# Bytes in front of the animation in a save seed (see fuzz_save.cpp).
SAVE_CONTROL_BYTES = 16


def animations() -> list[bytes]:
    grid = [[(x * 3 + y) % 256 if (x + y) % 5 else None for x in range(20)] for y in range(6)]
    plain = frame_from_indices(grid, x_offset=-3, y_offset=7)
    shadow = frame_from_indices([[1 if x % 3 else None for x in range(12)] for _ in range(4)], is_shadow=True)
    wide = Frame(width=600, rows=[Row([Run(255, b""), Run(255, b"", length=0), Run(10, bytes(range(200)))])])
    many_runs = Frame(width=255, rows=[Row([Run(0, bytes([i])) for i in range(255)])] * 3)
    out = [
        # The two small files of the format description.
        encode_animation(
            Animation(
                speed=100,
                palette_path=b"a.pal",
                frames=[Frame(width=3, rows=[Row([Run(1, bytes([5, 7]))])], y_offset=-2, x_offset=1)],
            )
        ),
        encode_animation(
            Animation(
                speed=100,
                palette_path=b"a.pal",
                has_background=True,
                frames=[
                    Frame(width=4, is_shadow=True, rows=[Row([Run(0, length=4)]), Row([])]),
                    Frame(width=1, rows=[Row([Run(0, bytes([9]))])]),
                ],
            )
        ),
        encode_animation(Animation(speed=7, palette_path=b"a.pal", frames=[plain, shadow, plain])),
        encode_animation(Animation(speed=1, palette_path=b"sub/dir/x.pal", frames=[wide, many_runs])),
        encode_animation(Animation(palette_path=b"a.pal", has_background=True, frames=[shadow, plain, shadow])),
        # Odd heads: no frames, a path without its zero byte, a zero flag byte,
        # counts larger than the file.
        encode_animation(Animation(palette_path=b"a.pal")),
        encode_animation(Animation(raw_path_field=b"a.pal", frames=[plain])),
        encode_animation(
            Animation(has_background=True, background_flag=0, palette_path=b"a.pal", frames=[plain, plain])
        ),
        encode_animation(Animation(palette_path=b"a.pal", frame_count=0xFFFFFFFF, frames=[plain])),
        encode_animation(Animation(palette_path=b"a.pal", frame_count=0x80000000, frames=[plain])),
        encode_animation(Animation(palette_path=b"a.pal", path_length=0xFFFFFFFF)),
        # Heights and shadow words that disagree with the rows present.
        encode_animation(
            Animation(palette_path=b"a.pal", frames=[Frame(width=65535, height=8191, rows=[Row([])] * 16)])
        ),
        encode_animation(
            Animation(palette_path=b"a.pal", frames=[shadow, Frame(width=4, height_word=0x0105, rows=[Row([])] * 5)])
        ),
        encode_animation(
            Animation(
                palette_path=b"a.pal",
                frames=[Frame(width=300, rows=[Row([Run(255, bytes([3]) * 255)] * 2)] * 4, height=32767)],
            )
        ),
        encode_animation(
            Animation(
                palette_path=b"a.pal",
                frames=[Frame(width=8, rows=[Row([Run(0, bytes([250, 251, 252]))], block_count=3)])],
            )
        ),
    ]
    return out


def palettes() -> list[bytes]:
    full = [(i, 255 - i, (i * 7) % 256, 255) for i in range(256)]
    return [
        encode_palette(full),
        encode_palette(full, model=1),
        encode_palette(full[:16]),
        encode_palette(full[:1]),
        encode_palette([], count=0),
        encode_palette(full, count=257),
        encode_palette(full[:10], count=65535),
        encode_palette(full[:3], count=200),
        b"\x05",
        b"",
    ]


def save_controls() -> list[bytes]:
    def ctl(what: int, count_mode: int, raw: int, seed: int, entries: int, path_len: int, model: int) -> bytes:
        body = struct.pack("<BBIIHBB", what, count_mode, raw, seed, entries, path_len, model)
        return body + bytes(SAVE_CONTROL_BYTES - len(body))

    return [
        ctl(0, 0, 0, 1, 0, 5, 0),
        ctl(0x01, 1, 0xFFFFFFFF, 1, 0, 5, 0),
        ctl(0x01, 4, 0, 1, 0, 5, 0),
        ctl(0x01, 2, 3, 1, 0, 5, 0),
        ctl(0x07, 5, 0, 12345, 0, 0, 0),
        ctl(0x0D, 0, 0, 777, 300, 9, 1),
        ctl(0x1F, 7, 0, 4242, 65535, 1, 0),
        ctl(0xC4, 0, 0, 99, 0, 5, 0),
        ctl(0xE5, 2, 1, 31337, 0, 5, 0),
    ]


def examples() -> list[Path]:
    base = ROOT / "examples"
    return sorted(p for p in base.rglob("*") if p.is_file()) if base.is_dir() else []


def write(dirpath: Path, data: bytes) -> None:
    dirpath.mkdir(parents=True, exist_ok=True)
    (dirpath / hashlib.sha1(data).hexdigest()).write_bytes(data)


def main() -> int:
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    out = Path(sys.argv[1])
    anims = animations()
    pals = palettes()
    for p in examples():
        data = p.read_bytes()
        (pals if p.suffix.lower() == ".pal" else anims).append(data)
    for data in anims:
        write(out / "load_render", data)
    for data in pals:
        write(out / "palette", data)
    controls = save_controls()
    for i, data in enumerate(anims):
        # Every control block with the first files, one each for the rest.
        for c in controls if i < 4 else [controls[i % len(controls)]]:
            write(out / "save", c + data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
