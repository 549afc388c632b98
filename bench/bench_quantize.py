"""--quantize's palettes measured: how far pixels move to their palette entry.

Makes three seeded sheets of many colours, of the kinds a build meets:

  painted   shaded round sprites with soft (partly transparent) edges on a
            transparent atlas: gradients and alpha, every colour rare
  photo     an opaque picture of smooth colour fields and grain: hundreds of
            thousands of colours, none covering much
  pixelart  flat areas of a dozen colours that cover most pixels, with
            shaded and dithered details among them

and for each, the palette of 256 colours of each candidate `quantize_palette`
chooses among (the most covering colours exact in half the entries and
Pillow in the rest; Pillow's fast octree alone; median cut alone, for opaque
pictures) and the one it takes, with the mean and largest RGBA distance of
a pixel to its nearest entry.

    python bench/bench_quantize.py [--colors N]
"""

from __future__ import annotations

import argparse
from typing import Any, Callable, Dict

import numpy as np
from numpy.typing import NDArray
from PIL import Image

from orvtool.build import matching

Sheet = NDArray[Any]


def painted(rng: np.random.Generator) -> Sheet:
    h = w = 512
    sheet = np.zeros((h, w, 4), np.uint8)
    yy, xx = np.mgrid[0:64, 0:64].astype(np.float32)
    for cell in range(64):
        cy, cx = divmod(cell, 8)
        base = rng.uniform(30, 230, 3)
        light = rng.uniform(-1, 1, 2)
        d = np.hypot(yy - 32, xx - 32) / 28.0
        shade = 1.0 + 0.5 * ((xx - 32) * light[0] + (yy - 32) * light[1]) / 32.0
        rgb = np.clip(base[None, None, :] * shade[..., None] + rng.normal(0, 6, (64, 64, 3)), 0, 255)
        alpha = np.clip((1.0 - d) * 6.0, 0, 1) * 255
        sheet[cy * 64 : cy * 64 + 64, cx * 64 : cx * 64 + 64, :3] = rgb.astype(np.uint8)
        sheet[cy * 64 : cy * 64 + 64, cx * 64 : cx * 64 + 64, 3] = alpha.astype(np.uint8)
    return sheet


def photo(rng: np.random.Generator) -> Sheet:
    h = w = 640
    coarse = rng.uniform(0, 255, (10, 10, 3)).astype(np.uint8)
    smooth = np.asarray(Image.fromarray(coarse, "RGB").resize((w, h), Image.Resampling.BICUBIC), np.float32)
    grain = rng.normal(0, 10, (h, w, 3))
    rgb = np.clip(smooth + grain, 0, 255).astype(np.uint8)
    return np.dstack([rgb, np.full((h, w), 255, np.uint8)])


def pixelart(rng: np.random.Generator) -> Sheet:
    h = w = 512
    flat = rng.integers(0, 256, (12, 3))
    regions = np.asarray(
        Image.fromarray(rng.integers(0, 12, (16, 16)).astype(np.uint8), "L").resize((w, h), Image.Resampling.NEAREST)
    )
    rgb = flat[regions].astype(np.float32)
    detail = rng.random((h, w)) < 0.2
    ramp = np.linspace(-60, 60, w, dtype=np.float32)[None, :, None]
    rgb = np.where(detail[..., None], np.clip(rgb + ramp + rng.normal(0, 20, (h, w, 3)), 0, 255), rgb)
    alpha = np.where(regions == 0, 0, 255).astype(np.uint8)
    return np.dstack([rgb.astype(np.uint8), alpha])


SHEETS: Dict[str, Callable[[np.random.Generator], Sheet]] = {"painted": painted, "photo": photo, "pixelart": pixelart}


def measure(sheet: Sheet, palette: NDArray[Any]) -> tuple[float, float]:
    """The mean and largest RGBA distance of a visible pixel to its nearest entry."""
    px = sheet.reshape(-1, 4)
    px = np.ascontiguousarray(px[px[:, 3] != 0])
    colors, counts = np.unique(px.view(np.uint32).ravel(), return_counts=True)
    found = colors.view(np.uint8).reshape(-1, 4)
    mean = matching.mean_distance(found, counts, palette)
    worst = 0.0
    entries = palette.astype(np.int32)
    for at in range(0, len(found), 4096):
        part = found[at : at + 4096].astype(np.int32)
        near = ((part[:, None, :] - entries[None, :, :]) ** 2).sum(axis=2).min(axis=1)
        worst = max(worst, float(np.sqrt(near.max())))
    return mean, worst


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--colors", type=int, default=256)
    n = ap.parse_args().colors
    for name, make in SHEETS.items():
        sheet = make(np.random.default_rng(7))
        px = sheet.reshape(-1, 4)
        px = np.ascontiguousarray(px[px[:, 3] != 0])
        packed = px.view(np.uint32).ravel()
        colors, counts = np.unique(packed, return_counts=True)
        opaque = bool((px[:, 3] == 255).all())
        candidates = {"covering first": matching._covering_first(px, packed, colors, counts, n)}
        candidates["fast octree"] = matching._quantized(px, n, Image.Quantize.FASTOCTREE).view(np.uint32).ravel()
        if opaque:
            candidates["median cut"] = matching._quantized(px, n, Image.Quantize.MEDIANCUT).view(np.uint32).ravel()
        chosen = np.array(matching.quantize_palette([sheet], n), np.uint8)
        print(f"{name}: {len(colors)} colours, {len(px)} visible pixels")
        for label, packed_palette in candidates.items():
            mean, worst = measure(sheet, np.unique(packed_palette).view(np.uint8).reshape(-1, 4))
            print(f"  {label:15} mean {mean:6.2f}  max {worst:6.1f}")
        mean, worst = measure(sheet, chosen)
        print(f"  {'taken':15} mean {mean:6.2f}  max {worst:6.1f}")


if __name__ == "__main__":
    main()
