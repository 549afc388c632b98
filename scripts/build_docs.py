"""Builds the documentation site into build/docs (run by `./dev docs`).

    python scripts/build_docs.py [--no-screenshots]

--no-screenshots: without a browser (the viewer's picture is then the one
in docs/images, which the browser tests save).

1. Makes the pictures the pages show, with orvtool on the bundled examples,
   into docs/_generated/images (the placement figure is drawn as SVG
   from the walking figure's own frames; the live tutorial's picture from
   the viewer redrawing a file built anew while it shows it).
2. Runs Sphinx with warnings as errors.
3. Checks that no page loads anything from outside the site.
4. Takes screenshots of two pages in headless Chromium (Debian's), into
   build/docs/screenshots, to be looked at.
"""

from __future__ import annotations

import ast
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Any, List, Optional, Tuple

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "build" / "docs"
GENERATED = ROOT / "build" / "docs-generated"
IMAGES = ROOT / "docs" / "_generated" / "images"  # in the source folder, beside the pages
WALK = ROOT / "examples" / "objects" / "hero" / "walk.orv"
CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
SCREENSHOTS = {"getting-started.png": "getting-started.html", "placement.png": "explanation/placement.html"}
# What a page would load from elsewhere: scripts, styles, images, frames,
# fonts, CSS imports and url() references with a scheme or a host.
EXTERNAL = re.compile(
    r"""(?:<(?:script|img|iframe|source|video|audio|embed)\b[^>]*\bsrc|<link\b[^>]*\bhref)\s*=\s*["']?(?!data:)(?:[a-z][a-z0-9+.-]*:|//)"""
    r"""|url\(\s*["']?(?:https?:|//)|@import\s+["']?(?:url\()?\s*["']?(?:https?:|//)""",
    re.I,
)


def orvtool(*args: str, cwd: Path) -> None:
    subprocess.run([str(Path(sys.executable).parent / "orvtool"), *args, "--quiet"], cwd=cwd, check=True)


def viewer_picture(work: Path, target: Path) -> None:
    """orvtool view on the examples, as a static copy in headless Chromium:
    the walking figure at frame 5 with the origin and frame rectangles."""
    from playwright.sync_api import sync_playwright

    orvtool("view", "examples", "--static", "site", cwd=work)
    with sync_playwright() as p:
        browser = p.chromium.launch(executable_path=CHROMIUM, headless=True)
        page = browser.new_page(viewport={"width": 1400, "height": 900})
        page.goto((work / "site" / "index.html").as_uri())
        page.click('#tree li.anim[data-path="objects/hero/walk.orv"]')
        page.wait_for_function("() => document.getElementById('frame-label').textContent.endsWith(' / 47')")
        for _ in range(5):
            page.keyboard.press("ArrowRight")
        page.check("#show-origin")
        page.check("#show-rects")
        page.screenshot(path=str(target))
        browser.close()


def live_picture(work: Path, target: Path) -> None:
    """The viewer following a file: the walking figure at frame 5 in the
    page, its exported frame 5 repainted and built back over the file, and
    the page once it has redrawn the new frame by itself."""
    import threading

    from PIL import Image
    from playwright.sync_api import sync_playwright

    from orvtool.formats import palettes
    from orvtool.view.catalog import Catalog
    from orvtool.view.server import ViewServer

    game = work / "live-game"
    shutil.copytree(ROOT / "examples", game)
    orvtool("export", "live-game/objects/hero/walk.orv", "-o", "live-walk", cwd=work)
    server = ViewServer(Catalog(str(game)))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        with sync_playwright() as p:
            browser = p.chromium.launch(executable_path=CHROMIUM, headless=True)
            page = browser.new_page(viewport={"width": 1400, "height": 900})
            page.goto(server.url + "#objects/hero/walk.orv")
            page.wait_for_function("() => document.getElementById('frame-label').textContent.endsWith(' / 47')")
            for _ in range(5):
                page.keyboard.press("ArrowRight")
            page.keyboard.press("+")
            before = page.evaluate("document.getElementById('canvas').toDataURL()")
            # The edit: the tunic (the opaque pixels of the frame's middle third) painted red.
            colors = [tuple(c) for c in palettes.read_palette(str(game / "palettes" / "hero.pal")).colors]
            red = max((c for c in colors if c[3] == 255), key=lambda c: 2 * c[0] - c[1] - c[2])
            frame = work / "live-walk" / "frame_005.png"
            with Image.open(frame) as im:
                pixels = im.convert("RGBA")
            w, h = pixels.size
            for y in range(h // 3, 2 * h // 3):
                for x in range(w):
                    if pixels.getpixel((x, y))[3] == 255:
                        pixels.putpixel((x, y), red)
            pixels.save(frame)
            orvtool("build", "live-walk", "-o", "live-game/objects/hero/walk.orv", "-f", cwd=work)
            page.wait_for_function(
                "before => document.getElementById('canvas').toDataURL() !== before", arg=before, timeout=60000
            )
            page.screenshot(path=str(target))
            browser.close()
    finally:
        server.shutdown()
        server.server_close()


def make_pictures(browser: bool) -> None:
    """The tutorials' pictures: what orvtool writes for the walking figure."""
    if IMAGES.exists():
        shutil.rmtree(IMAGES)
    IMAGES.mkdir(parents=True)
    work = GENERATED / "work"
    if work.exists():
        shutil.rmtree(work)
    work.mkdir(parents=True)
    shutil.copytree(ROOT / "examples", work / "examples")
    orvtool("export", "examples/objects/hero/walk.orv", "-o", "walk", "--sheet", "--gif", "--scale", "3", cwd=work)
    orvtool(
        "export",
        "examples/objects/hero/walk.orv",
        "-o",
        "grid",
        "--only",
        "sheet",
        "--sheet-layout",
        "rows",
        "--sheet-columns",
        "4",
        cwd=work,
    )
    shutil.copy(work / "walk" / "sheet.png", IMAGES / "walk-sheet.png")
    shutil.copy(work / "grid" / "sheet.png", IMAGES / "walk-grid.png")
    shutil.copy(work / "walk" / "preview.gif", IMAGES / "walk.gif")
    shutil.copy(work / "walk" / "frame_000.png", IMAGES / "walk-frame.png")
    recolour(work)
    (IMAGES / "placement.svg").write_text(placement_svg(), encoding="utf-8")
    if browser:
        viewer_picture(work, IMAGES / "viewer.png")
        live_picture(work, IMAGES / "live.png")
    else:  # the one the browser tests saved last
        shutil.copy(ROOT / "docs" / "images" / "orvtool-view.png", IMAGES / "viewer.png")
        shutil.copy(ROOT / "docs" / "images" / "orvtool-view.png", IMAGES / "live.png")
    write_message_list()


def recolour(work: Path) -> None:
    """The recolouring tutorial's result: the tunic ramp turned green."""
    from PIL import Image

    import orvtool.pillow
    from orvtool.formats import palettes

    colors = palettes.read_palette(str(work / "examples" / "palettes" / "hero.pal"))
    table = [tuple(c) for c in colors.colors]
    for i in range(16, 24):
        r, g, b, a = table[i]
        table[i] = (r // 3, min(255, g + 90), b // 3, a)
    green = work / "green.pal"
    green.write_bytes(palettes.encode_pal(palettes.Palette(table)))  # type: ignore[arg-type]
    orvtool.pillow.register(palette=str(green))
    try:
        with Image.open(WALK) as im:
            im.seek(0)
            frame = im.convert("RGBA")
            frame = frame.resize((frame.width * 4, frame.height * 4), Image.Resampling.NEAREST)
            frame.save(IMAGES / "walk-green.png")
    finally:
        orvtool.pillow.register()


def trimmed(pixels: Any, x: int, y: int) -> Tuple[Any, int, int]:
    """A frame cut to its visible pixels, its offsets moved to match."""
    import numpy as np

    ys, xs = np.nonzero(pixels[..., 3])
    if not len(ys):
        return pixels[:0, :0], x, y
    top, left = int(ys.min()), int(xs.min())
    return pixels[top : int(ys.max()) + 1, left : int(xs.max()) + 1], x + left, y + top


def placement_svg() -> str:
    """The canvas, the origin, one frame's rectangle and its offsets, drawn
    over the frame's own pixels: the walking figure's frames cut to their
    visible pixels (as a build from trimmed sprites stores them), frame 5
    shown."""
    import orvtool

    loaded = orvtool.load_frames(WALK)
    assert loaded is not None
    frames = [trimmed(f.pixels, f.offset_x, f.offset_y) for f in loaded]
    solid = [f for f in frames if f[0].size]
    left = min(x for _, x, _ in solid)
    top = min(y for _, _, y in solid)
    right = max(x + p.shape[1] for p, x, _ in solid)
    bottom = max(y + p.shape[0] for p, _, y in solid)
    pixels, off_x, off_y = frames[5]
    z = 8  # pixels of the drawing per frame pixel
    pad_l, pad_t, pad_r, pad_b = 210, 110, 230, 90
    w, h = (right - left) * z, (bottom - top) * z
    ox, oy = pad_l - left * z, pad_t - top * z  # the origin in the drawing
    fx, fy = ox + off_x * z, oy + off_y * z
    fh, fw = pixels.shape[:2]
    green = "#1d6b1d"
    out: List[str] = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{w + pad_l + pad_r}" height="{h + pad_t + pad_b}" '
        f'viewBox="0 0 {w + pad_l + pad_r} {h + pad_t + pad_b}" font-family="sans-serif" font-size="20">',
        '<rect width="100%" height="100%" fill="white"/>',
        f'<rect x="{pad_l}" y="{pad_t}" width="{w}" height="{h}" fill="#e6eef8" stroke="#3d5f94" stroke-width="2"/>',
        f'<text x="{pad_l}" y="{max(pad_t + h, oy + 30) + 34}" fill="#2b4a7a">canvas: the union of all frame rectangles '
        f"({right - left} \u00d7 {bottom - top})</text>",
    ]
    for y in range(fh):
        for x in range(fw):
            r, g, b, a = (int(v) for v in pixels[y, x])
            if a:
                out.append(
                    f'<rect x="{fx + x * z}" y="{fy + y * z}" width="{z}" height="{z}" '
                    f'fill="rgb({r},{g},{b})" fill-opacity="{a / 255:.3f}"/>'
                )
    out += [
        f'<rect x="{fx}" y="{fy}" width="{fw * z}" height="{fh * z}" fill="none" stroke="#c62828" '
        'stroke-width="3" stroke-dasharray="8 5"/>',
        f'<text x="{pad_l - 12}" y="{fy + 20}" fill="#b71c1c" text-anchor="end">frame 5</text>',
        f'<text x="{pad_l - 12}" y="{fy + 44}" fill="#b71c1c" text-anchor="end">{fw} \u00d7 {fh}</text>',
        f'<line x1="{pad_l - 8}" y1="{fy}" x2="{fx}" y2="{fy}" stroke="#c62828" stroke-dasharray="3 4"/>',
        f'<line x1="{ox - 30}" y1="{oy}" x2="{ox + 30}" y2="{oy}" stroke="#111" stroke-width="3"/>',
        f'<line x1="{ox}" y1="{oy - 30}" x2="{ox}" y2="{oy + 30}" stroke="#111" stroke-width="3"/>',
        f'<circle cx="{ox}" cy="{oy}" r="5" fill="#111"/>',
        f'<text x="{ox + 36}" y="{oy + 7}" fill="#111" font-weight="bold">origin (0, 0)</text>',
        '<defs><marker id="arrow" viewBox="0 0 10 10" refX="9" refY="5" markerWidth="7" markerHeight="7" '
        f'orient="auto-start-reverse"><path d="M 0 0 L 10 5 L 0 10 z" fill="{green}"/></marker></defs>',
        # x offset: from the origin across to the frame's left edge, above the canvas.
        f'<line x1="{ox}" y1="{pad_t - 40}" x2="{fx}" y2="{pad_t - 40}" stroke="{green}" stroke-width="3" '
        'marker-end="url(#arrow)"/>',
        f'<line x1="{fx}" y1="{pad_t - 50}" x2="{fx}" y2="{fy}" stroke="{green}" stroke-dasharray="4 4"/>',
        f'<line x1="{ox}" y1="{pad_t - 50}" x2="{ox}" y2="{oy}" stroke="{green}" stroke-dasharray="4 4"/>',
        f'<text x="{fx}" y="{pad_t - 56}" fill="{green}">x_offset = {off_x}</text>',
        # y offset: from the origin up to the frame's top edge, right of the canvas.
        f'<line x1="{pad_l + w + 40}" y1="{oy}" x2="{pad_l + w + 40}" y2="{fy}" stroke="{green}" '
        'stroke-width="3" marker-end="url(#arrow)"/>',
        f'<line x1="{ox + 190}" y1="{oy}" x2="{pad_l + w + 50}" y2="{oy}" stroke="{green}" stroke-dasharray="4 4"/>',
        f'<line x1="{fx + fw * z}" y1="{fy}" x2="{pad_l + w + 50}" y2="{fy}" stroke="{green}" stroke-dasharray="4 4"/>',
        f'<text x="{pad_l + w + 52}" y="{(oy + fy) / 2}" fill="{green}">y_offset</text>',
        f'<text x="{pad_l + w + 52}" y="{(oy + fy) / 2 + 24}" fill="{green}">= {off_y}</text>',
        "</svg>",
    ]
    return "\n".join(out) + "\n"


ERROR_CLASSES = {"OrvToolError", "UsageError", "LoadError"}


def _placeholder(node: ast.expr) -> str:
    """A word standing for a value in a message: `{path}` gives PATH."""
    if isinstance(node, ast.Name):
        return node.id.upper()
    if isinstance(node, ast.Attribute):
        return node.attr.upper()
    if isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id == "len":
        return "N"
    if isinstance(node, ast.Subscript):
        return _placeholder(node.value)
    return "..."


def _template(node: ast.expr) -> Optional[str]:
    if isinstance(node, ast.Constant) and isinstance(node.value, str):
        return node.value
    if isinstance(node, ast.JoinedStr):
        parts = []
        for value in node.values:
            if isinstance(value, ast.Constant):
                parts.append(str(value.value))
            elif isinstance(value, ast.FormattedValue):
                parts.append(_placeholder(value.value))
        return "".join(parts)
    return None


def orvtool_messages() -> List[Tuple[str, str, str]]:
    """(module, kind, message) for every error orvtool raises and every note it
    adds, as the code words them."""
    package = ROOT / "python" / "orvtool"
    found: List[Tuple[str, str, str]] = []
    for path in sorted(package.rglob("*.py")):
        here = []
        module = ".".join(path.relative_to(package.parent).with_suffix("").parts)
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            kind, arg = None, None
            if isinstance(node, ast.Raise) and isinstance(node.exc, ast.Call) and node.exc.args:
                func = node.exc.func
                if isinstance(func, ast.Name) and func.id in ERROR_CLASSES:
                    kind = "usage error" if func.id == "UsageError" else "error"
                    arg = node.exc.args[0]
            elif isinstance(node, ast.Call) and isinstance(node.func, ast.Attribute) and node.args:
                target = node.func.value
                name = target.attr if isinstance(target, ast.Attribute) else getattr(target, "id", "")
                if node.func.attr == "append" and name == "notes":
                    kind, arg = "note", node.args[0]
            text = _template(arg) if arg is not None else None
            if kind and text:
                here.append((node.lineno, kind, text))
        for _, kind, text in sorted(here):
            if (module, kind, text) not in found:
                found.append((module, kind, text))
    return found


def write_message_list() -> None:
    lines = ["| Kind | Message | Module |", "|---|---|---|"]
    for module, kind, text in orvtool_messages():
        shown = text.replace("`", "'").replace("|", "\\|")
        lines.append(f"| {kind} | ``{shown}`` | `{module}` |")
    (IMAGES.parent / "orvtool-messages.md").write_text("\n".join(lines) + "\n", encoding="utf-8")


def sphinx() -> None:
    if OUT.exists():
        shutil.rmtree(OUT)
    env = dict(os.environ, ORV_DOCS_GENERATED=str(GENERATED))
    done = subprocess.run(
        [sys.executable, "-m", "sphinx", "-b", "html", "-W", "--keep-going", "-n", "-q", "-j", "1"]
        + [str(ROOT / "docs"), str(OUT)],
        env=env,
        stderr=subprocess.PIPE,
        text=True,
    )
    # Quiet, Sphinx prints only problems; docutils prints some of its own
    # (in docstrings and help texts) past the -W switch: any line fails.
    sys.stderr.write(done.stderr)
    if done.returncode or done.stderr.strip():
        raise SystemExit("docs: the build reported problems (above)")


def external_loads(site: Path) -> List[str]:
    """Every reference by which a built page would load something from
    outside the site, as "file: text"."""
    found = []
    for path in sorted(site.rglob("*")):
        if path.suffix in (".html", ".css", ".js", ".svg"):
            text = path.read_text(encoding="utf-8", errors="replace")
            if path.suffix == ".svg":
                text = text.replace('xmlns="http://www.w3.org/2000/svg"', "")
            found += [f"{path.relative_to(site)}: {m.group(0)}" for m in EXTERNAL.finditer(text)]
    return found


def screenshots() -> None:
    from playwright.sync_api import sync_playwright

    target = OUT / "screenshots"
    target.mkdir(exist_ok=True)
    with sync_playwright() as p:
        browser = p.chromium.launch(executable_path=CHROMIUM, headless=True)
        page = browser.new_page(viewport={"width": 1280, "height": 1000})
        # Nothing may leave the site: any request that is not a file fails the build.
        outside: List[str] = []
        page.on("request", lambda r: None if r.url.startswith(("file:", "data:")) else outside.append(r.url))
        for name, html in SCREENSHOTS.items():
            page.goto((OUT / html).as_uri())
            page.wait_for_load_state("load")
            page.screenshot(path=str(target / name), full_page=True)
        browser.close()
    if outside:
        raise SystemExit("pages asked for files outside the site: " + ", ".join(outside))


def main(argv: List[str]) -> int:
    browser = "--no-screenshots" not in argv
    make_pictures(browser)
    sphinx()
    found = external_loads(OUT)
    if found:
        print("docs: pages would load from outside the site:", *found, sep="\n  ", file=sys.stderr)
        return 1
    if browser:
        screenshots()
    print(f"docs: {OUT}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
