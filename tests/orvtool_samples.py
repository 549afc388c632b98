"""Animation files for the orvtool tests, built with the package's writer."""

import random
from pathlib import Path
from typing import Any

from orvtool.core.orvfile import Animation, Frame, Row, Run, encode_animation, encode_palette, frame_from_indices

# Distinct colours with some translucent ones: entry i = (i, 255 - i, 3i mod 256, alpha).
PALETTE = [(i, 255 - i, (3 * i) % 256, 255 if i % 7 else 160) for i in range(256)]


def write_project(root: Path, name: str, anim: Animation, colors=PALETTE, pal_rel: str = "pal/test.pal") -> Path:
    """Writes `anim` to root/name and its palette to root/pal_rel, storing the
    palette path relative to root (unless the animation sets its own)."""
    if not anim.palette_path and anim.raw_path_field is None:
        anim.palette_path = pal_rel.encode()
    pal = root / pal_rel
    pal.parent.mkdir(parents=True, exist_ok=True)
    pal.write_bytes(encode_palette(colors))
    path = root / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(encode_animation(anim))
    return path


def figure(x_offset=-2, y_offset=-3):
    """A 5 x 3 frame with gaps, distinct indices."""
    return frame_from_indices(
        [[None, 1, 2, 3, None], [5, None, None, None, 6], [None] * 5], x_offset=x_offset, y_offset=y_offset
    )


def walk() -> Animation:
    """Three different frames at different offsets, one of them a shadow."""
    return Animation(
        frames=[
            figure(),
            frame_from_indices([[None, 0, 0], [0, 0, 0]], is_shadow=True, x_offset=-1, y_offset=0),
            frame_from_indices([[7] * 6, [None] * 5 + [9]], x_offset=1, y_offset=1, frame_size=1234),
        ],
        speed=100,
    )


def quirky() -> dict[str, Any]:
    """Files whose bytes are not what the maximal encoder of their pixels would
    write, each with one peculiarity."""
    split = Frame(width=6, rows=[Row([Run(0, b"\x01\x02"), Run(0, b"\x03")])])  # one run split in two
    zero_run = Frame(width=6, rows=[Row([Run(2, b""), Run(1, b"\x04\x05")])])  # an empty run that is not a long gap
    past_edge = Frame(width=3, rows=[Row([Run(2, b"\x01\x02\x03")])])  # run reaching past the right edge
    trailing_empty = Frame(width=4, rows=[Row([Run(0, b"\x08"), Run(200, b"")])])
    many_gaps = frame_from_indices([[None] * 600 + [3, 4] + [None] * 10 + [5]])
    wide_run = frame_from_indices([[9] * 700])
    shadow_split = Frame(width=8, is_shadow=True, rows=[Row([Run(1, length=2), Run(0, length=3)])])
    empty_rows = Frame(width=4, rows=[Row([]), Row([Run(3, b"\x07")]), Row([])])
    return {
        "split": Animation(frames=[split]),
        "zero_run": Animation(frames=[zero_run]),
        "past_edge": Animation(frames=[past_edge]),
        "trailing_empty": Animation(frames=[trailing_empty]),
        "maximal_long_rows": Animation(frames=[many_gaps, wide_run]),
        "shadow_split": Animation(frames=[shadow_split, figure()]),
        "empty_rows": Animation(frames=[empty_rows]),
        # A frame without the flag after a shadow frame reads its height from
        # the low byte of its word: 0x0102 holds 2 rows.
        "height_after_shadow": Animation(
            frames=[
                frame_from_indices([[0]], is_shadow=True),
                Frame(width=2, rows=[Row([Run(0, b"\x01\x02")]), Row([Run(1, b"\x03")])], height_word=0x0102),
            ]
        ),
        "zero_size_frame": Animation(frames=[Frame(width=0, rows=[]), figure(), Frame(width=5, rows=[])]),
        "odd_fields": Animation(
            frames=[
                Frame(
                    width=2,
                    rows=[Row([Run(0, b"\x01\x01")])],
                    frame_size=0xDEADBEEF,
                    unk1=7,
                    unk2=200,
                    x_offset=-32768,
                    y_offset=32767,
                )
            ],
            speed=0xFFFFFFFF,
        ),
        "background_flag_0": Animation(frames=[figure()], has_background=True, background_flag=0, frame_count=1),
        "background_flag_2": Animation(
            frames=[figure(), figure(1, 1)], has_background=True, background_flag=2, reserved=b"\x01\x02\x03\x04"
        ),
        "path_two_zeros": Animation(frames=[figure()], raw_path_field=b"pal/test.pal\0\0"),
        "path_no_zero": Animation(frames=[figure()], raw_path_field=b"pal/test.pal"),
        "trailing_bytes": Animation(frames=[figure()], trailing=b"\x00junk\xff"),
    }


def random_animation(rng: random.Random) -> Animation:
    frames = []
    for _ in range(rng.randint(1, 4)):
        w, h = rng.randint(1, 40), rng.randint(1, 12)
        shadow = rng.random() < 0.2
        density = rng.random()
        rows = [[rng.randrange(256) if rng.random() < density else None for _ in range(w)] for _ in range(h)]
        frames.append(
            frame_from_indices(
                rows,
                x_offset=rng.randint(-100, 100),
                y_offset=rng.randint(-100, 100),
                is_shadow=shadow,
                frame_size=rng.randrange(1 << 32),
            )
        )
    return Animation(frames=frames, speed=rng.randrange(1 << 32), has_background=rng.random() < 0.3)
