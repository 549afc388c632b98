"""Draws the bundled example animations under examples/.

    python scripts/make_examples.py [OUTDIR]

examples/ is laid out as a small game project: palettes under palettes/,
animations below objects/ and backgrounds/, each storing its palette path
relative to the project root, as the module's saver stores it. Everything is
drawn procedurally and deterministically, and written with orvtool's writer.
"""

from __future__ import annotations

import math
import sys
from pathlib import Path

import numpy as np

from orvtool.core.orvfile import Animation, encode_animation, encode_palette, frame_from_indices

ROOT = Path(__file__).resolve().parent.parent


def hero_palette():
    colors = [(0, 0, 0, 0)] * 256

    def ramp(a, b, n):
        return [tuple(int(a[k] + (b[k] - a[k]) * i / max(n - 1, 1)) for k in range(4)) for i in range(n)]

    colors[1:9] = ramp((40, 24, 16, 255), (250, 214, 170, 255), 8)  # skin
    colors[16:24] = ramp((20, 30, 80, 255), (110, 150, 240, 255), 8)  # tunic
    colors[32:40] = ramp((40, 30, 20, 255), (150, 110, 70, 255), 8)  # boots, belt
    colors[48:56] = ramp((60, 20, 10, 255), (220, 120, 40, 255), 8)  # hair
    colors[64:72] = ramp((255, 240, 120, 32), (255, 255, 200, 200), 8)  # glow, translucent
    colors[80] = (12, 10, 14, 255)  # outline
    for i in range(96, 256):
        colors[i] = ((i * 37) % 256, (i * 71) % 256, (i * 113) % 256, 255)
    return colors


def meadow_palette():
    colors = []
    for i in range(256):
        if i < 64:  # sky
            colors.append((90 + i, 140 + i, 230, 255))
        elif i < 128:  # grass
            t = i - 64
            colors.append((30 + t, 100 + t * 2, 30 + t // 2, 255))
        elif i < 160:  # stone
            t = (i - 128) * 6
            colors.append((80 + t // 2, 80 + t // 2, 90 + t // 2, 255))
        elif i < 192:  # flame, translucent edges
            t = i - 160
            colors.append((255, 120 + t * 4, 20 + t, 120 + t * 4))
        else:
            colors.append(((i * 53) % 256, (i * 29) % 256, (i * 89) % 256, 255))
    return colors


def grid_to_rows(grid):
    """numpy int grid, -1 for uncovered, to rows of index-or-None."""
    return [[None if v < 0 else int(v) for v in row] for row in grid]


def draw_hero(t, w=48, h=64):
    g = np.full((h, w), -1, dtype=np.int32)
    yy, xx = np.mgrid[0:h, 0:w]
    phase = 2 * math.pi * t
    bob = int(round(1.5 * abs(math.sin(phase))))
    cx = w // 2
    # legs
    for side, sgn in ((0, 1), (1, -1)):
        swing = sgn * 7 * math.sin(phase)
        for y in range(40, 60):
            x = cx + (side * 2 - 1) * 4 + swing * (y - 40) / 20
            x0 = int(round(x)) - 2
            shade = 33 + (y - 40) // 6
            g[y - bob, max(x0, 0) : min(x0 + 5, w)] = 16 + 2 + side * 2 if y < 54 else shade
    # body
    body = ((xx - cx) / 9.5) ** 2 + ((yy - (30 - bob)) / 12) ** 2 <= 1
    g[body] = 16 + np.clip((xx[body] - cx + 10) // 3, 0, 7)
    g[(yy == 40 - bob) & body] = 36  # belt
    # arms
    for sgn in (1, -1):
        swing = -sgn * 6 * math.sin(phase)
        for y in range(22, 40):
            x = cx + sgn * 10 + swing * (y - 22) / 18
            x0 = int(round(x)) - 1
            g[y - bob, max(x0, 0) : min(x0 + 3, w)] = 3 if y > 35 else 18
    # head and hair
    head = ((xx - cx) / 7) ** 2 + ((yy - (12 - bob)) / 8) ** 2 <= 1
    g[head] = 2 + np.clip((xx[head] - cx + 8) // 3, 0, 5)
    hair = head & (yy < 10 - bob)
    g[hair] = 48 + (xx[hair] + t * 8).astype(np.int32) % 8
    # outline: covered pixels next to an uncovered one
    covered = g >= 0
    edge = covered & ~(
        np.roll(covered, 1, 0) & np.roll(covered, -1, 0) & np.roll(covered, 1, 1) & np.roll(covered, -1, 1)
    )
    g[edge] = 80
    # a translucent glow around the hand on some frames
    if math.sin(phase) > 0.3:
        glow = (((xx - (cx + 13)) ** 2 + (yy - (40 - bob)) ** 2) <= 16) & ~covered
        g[glow] = 64 + ((xx[glow] + yy[glow]) % 8)
    return g


def draw_shadow(t, w=40, h=10):
    g = np.full((h, w), -1, dtype=np.int32)
    yy, xx = np.mgrid[0:h, 0:w]
    rx = 16 + 3 * math.cos(2 * math.pi * t)
    g[((xx - w / 2 + 0.5) / rx) ** 2 + ((yy - h / 2 + 0.5) / 4.5) ** 2 <= 1] = 1
    return g


def draw_meadow_background(w=320, h=200):
    yy, xx = np.mgrid[0:h, 0:w]
    g = (yy * 63 // 120).astype(np.int32)  # sky gradient
    hill = 120 + 14 * np.sin(xx / 37.0) + 6 * np.sin(xx / 11.0)
    grass = yy >= hill
    g[grass] = 64 + ((yy[grass] - 110) // 2 + (xx[grass] * 7 % 5)) % 64
    stones = ((xx - 240) ** 2 / 400 + (yy - 170) ** 2 / 64) <= 1
    g[stones] = 128 + (xx[stones] + yy[stones]) % 32
    # a window cut out of the sky (left uncovered) so the background shows gaps
    g[(xx > 20) & (xx < 300) & (yy > 30) & (yy < 34)] = -1
    return g


def draw_flame(t, w=16, h=24):
    g = np.full((h, w), -1, dtype=np.int32)
    yy, xx = np.mgrid[0:h, 0:w]
    sway = 2.5 * math.sin(2 * math.pi * t)
    width = (yy / h) * 6 + 1
    inside = np.abs(xx - w / 2 - sway * (1 - yy / h)) <= width
    g[inside] = 160 + np.clip(31 - (yy[inside] * 31 // h) + (xx[inside] % 3), 0, 31)
    return g


def build(out: Path):
    (out / "palettes").mkdir(parents=True, exist_ok=True)
    (out / "objects" / "hero").mkdir(parents=True, exist_ok=True)
    (out / "backgrounds").mkdir(parents=True, exist_ok=True)
    (out / "palettes" / "hero.pal").write_bytes(encode_palette(hero_palette()))
    (out / "palettes" / "meadow.pal").write_bytes(encode_palette(meadow_palette()))

    walk = []
    for i in range(48):
        g = draw_hero(i / 48)
        walk.append(frame_from_indices(grid_to_rows(g), x_offset=-24, y_offset=-62, frame_size=g.size))
    anim = Animation(speed=80, palette_path=b"palettes/hero.pal", frames=walk)
    (out / "objects" / "hero" / "walk.orv").write_bytes(encode_animation(anim))

    shadows = []
    for i in range(12):
        g = draw_shadow(i / 12)
        shadows.append(frame_from_indices(grid_to_rows(g), x_offset=-20, y_offset=-5, is_shadow=True))
    anim = Animation(speed=80, palette_path=b"palettes/hero.pal", frames=shadows)
    (out / "objects" / "hero" / "shadow.orv").write_bytes(encode_animation(anim))

    frames = [frame_from_indices(grid_to_rows(draw_meadow_background()))]
    for i in range(8):
        frames.append(frame_from_indices(grid_to_rows(draw_flame(i / 8)), x_offset=232, y_offset=140))
    anim = Animation(speed=120, palette_path=b"palettes/meadow.pal", frames=frames, has_background=True)
    (out / "backgrounds" / "meadow.orv").write_bytes(encode_animation(anim))


if __name__ == "__main__":
    build(Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "examples")
