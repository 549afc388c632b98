"""orvtool view in a real browser: Debian's Chromium, headless, driven by
Playwright. The page is opened on the bundled examples (and two broken
files beside them); what the canvas shows is compared with pyorv's images."""

import base64
import io
import os
import shutil
from pathlib import Path

import numpy as np
import pytest
from PIL import Image
from view_helpers import SANITIZED, counted_loads, load_error, running

import pyorv
from orvtool import to_numpy
from orvtool.core.orvfile import Animation, encode_animation, frame_from_indices
from orvtool.load.loading import load_animation
from orvtool.view.server import write_static
from orvtool_samples import figure, write_project
from record_counts import index_layer

ROOT = Path(__file__).resolve().parent.parent
CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
WALK = "objects/hero/walk.orv"
BACKDROP = (0x20, 0x40, 0x60, 255)
WAIT_MS = 20000  # the longest any one wait in the page may take
SHOTS = ROOT / "build" / "view-screenshots"  # what the tests saw, to look at


@pytest.fixture(scope="module")
def browser():
    if SANITIZED:
        pytest.skip(
            "sanitized run: the ASan runtime preloaded into every child must not reach Chromium or Playwright's driver"
        )
    try:
        from playwright.sync_api import sync_playwright
    except ImportError:
        pytest.skip("Playwright for Python is not installed (it is in the test extras: pip install '.[test]')")
    if not os.access(CHROMIUM, os.X_OK):
        pytest.skip("Debian's chromium is not installed (./dev test installs it with apt-get)")
    with sync_playwright() as p:
        b = p.chromium.launch(executable_path=CHROMIUM, headless=True)
        yield b
        b.close()


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    """A copy of the bundled examples with a cut-short file and a file whose
    palette is missing."""
    root = tmp_path_factory.mktemp("view") / "examples"
    shutil.copytree(ROOT / "examples", root)
    whole = encode_animation(Animation(frames=[figure()], palette_path=b"palettes/hero.pal"))
    (root / "broken").mkdir()
    (root / "broken" / "cut.orv").write_bytes(whole[:-3])
    (root / "broken" / "nopal.orv").write_bytes(
        encode_animation(Animation(frames=[frame_from_indices([[None, *range(9)]] * 8)], palette_path=b"gone.pal"))
    )
    return root


@pytest.fixture
def page(browser):
    page = browser.new_page(viewport={"width": 1400, "height": 1000})
    errors = []
    page.on("pageerror", lambda exc: errors.append(str(exc)))
    page.set_default_timeout(WAIT_MS)
    yield page
    page.close()
    assert errors == [], "the page's script failed"


def rgba_frames(path):
    f = pyorv.OrvF()
    data = f.load(str(path))
    return data, [to_numpy(image) for image in f.get_frame_buffer()]


def union(frames):
    solid = [f for f in frames if f.width and f.height]
    left = min(f.x_offset for f in solid)
    top = min(f.y_offset for f in solid)
    return left, top


def open_animation(page, rel, frames):
    page.click(f'#tree li.anim[data-path="{rel}"]')
    page.wait_for_function(
        "([rel, last]) => document.getElementById('title').textContent === rel && "
        "document.getElementById('frame-label').textContent.endsWith(' / ' + last)",
        arg=[rel, frames - 1],
    )


def plain_backdrop(page):
    page.select_option("#backdrop", "colour")
    page.eval_on_selector(
        "#backdrop-colour",
        "(el, v) => { el.value = v; el.dispatchEvent(new Event('input')); }",
        "#%02x%02x%02x" % BACKDROP[:3],
    )


def shown_frame(page):
    return int(page.text_content("#frame-label").split()[1])


def zoom(page):
    return int(page.text_content("#zoom-label").rstrip("\u00d7"))


def canvas(page):
    url = page.evaluate("document.getElementById('canvas').toDataURL('image/png')")
    with Image.open(io.BytesIO(base64.b64decode(url.split(",", 1)[1]))) as im:
        return np.asarray(im.convert("RGBA"))


def assert_frame_drawn(shot, image, frame, origin, z, under=None):
    """Every opaque pixel of the frame fills its z x z block of the canvas
    exactly (no smoothing at any zoom); every transparent one shows what lies
    under it (`under`, an opaque array of the same shape, or the plain
    backdrop), and a translucent one the two blended."""
    left, top = origin
    x0, y0 = (frame.x_offset - left) * z, (frame.y_offset - top) * z
    h, w = image.shape[:2]
    region = shot[y0 : y0 + h * z, x0 : x0 + w * z].reshape(h, z, w, z, 4)
    alpha = image[..., 3]
    opaque, clear = alpha == 255, alpha == 0
    mixed = ~opaque & ~clear
    assert (~clear).sum() > 50
    below = np.broadcast_to(np.array(BACKDROP, dtype=np.uint8), image.shape) if under is None else under
    a = alpha[mixed][:, None] / 255.0
    blend = image[mixed][:, :3] * a + below[mixed][:, :3] * (1 - a)
    for dy in range(z):
        for dx in range(z):
            block = region[:, dy, :, dx]
            assert np.array_equal(block[opaque], image[opaque]), (dx, dy)
            assert np.array_equal(block[clear], below[clear]), (dx, dy)
            assert np.abs(block[mixed][:, :3] - blend).max(initial=0) <= 2, (dx, dy)


def test_page_steps_zooms_and_shows_the_frames_of_pyorv(page, tree, monkeypatch):
    data, images = rgba_frames(tree / WALK)
    origin = union(data.frames)
    monkeypatch.chdir(tree.parent)  # the folder named as a modder names it, for the command shown
    with running("examples") as server:
        page.goto(server.url)
        open_animation(page, WALK, len(images))
        plain_backdrop(page)
        for _ in range(5):
            page.keyboard.press("ArrowRight")
        assert shown_frame(page) == 5
        assert "current" in page.get_attribute("#frames tbody tr:nth-child(6)", "class")
        z = zoom(page)
        shot = canvas(page)
        assert shot.shape[:2] == (64 * z, 48 * z)
        assert_frame_drawn(shot, images[5], data.frames[5], origin, z)

        page.keyboard.press("+")
        page.keyboard.press("+")
        assert zoom(page) == z + 2
        assert_frame_drawn(canvas(page), images[5], data.frames[5], origin, z + 2)
        page.keyboard.press("-")
        z += 1
        assert zoom(page) == z

        page.keyboard.press("ArrowLeft")
        assert shown_frame(page) == 4
        assert_frame_drawn(canvas(page), images[4], data.frames[4], origin, z)
        page.keyboard.press("ArrowRight")

        # Hovering a pixel: its place from the origin, its palette index and colour.
        frame = data.frames[5]
        indices, covered = index_layer(load_animation(str(tree / WALK)).frames[5])
        ys, xs = np.nonzero(covered & (images[5][..., 3] == 255))
        pick = len(ys) // 2
        fx, fy = int(xs[pick]), int(ys[pick])
        index = int(indices[fy, fx])
        colour = data.palette.colors()[index]
        box = page.locator("#canvas").bounding_box()
        scale = box["width"] / page.eval_on_selector("#canvas", "c => c.width")
        cx = ((frame.x_offset - origin[0] + fx) * z + z / 2) * scale
        cy = ((frame.y_offset - origin[1] + fy) * z + z / 2) * scale
        page.mouse.move(box["x"] + cx, box["y"] + cy)
        hover = page.text_content("#hover")
        x, y = frame.x_offset + fx, frame.y_offset + fy
        assert hover == (
            f"x {x}, y {y} from the origin \u00b7 frame 5: index {index} rgba({colour.r}, {colour.g}, {colour.b}, {colour.a})"
        )
        assert page.get_attribute(f'#palette div[data-index="{index}"]', "class") == "mark"

        # Hovering the palette grid names the entry.
        for k in (0, 37, 255):
            page.hover(f'#palette div[data-index="{k}"]')
            c = data.palette.colors()[k]
            assert page.text_content("#palette-info") == f"index {k}: rgba({c.r}, {c.g}, {c.b}, {c.a})"

        # Space plays, and plays on by itself; space again pauses.
        page.eval_on_selector("#fps", "el => { el.value = 60; el.dispatchEvent(new Event('input')); }")
        page.keyboard.press(" ")
        page.wait_for_function("() => !document.getElementById('frame-label').textContent.startsWith('frame 5 ')")
        page.keyboard.press(" ")
        assert page.text_content("#play") == "Play"
        assert page.input_value("#export-command") == f"orvtool export examples/{WALK} -o out/hero/walk"

        # The picture for the README: frame 5 on the checkerboard with the origin and frame rectangles.
        page.select_option("#backdrop", "checker")
        page.check("#show-origin")
        page.check("#show-rects")
        page.click("#frames tbody tr:nth-child(6)")
        page.mouse.move(box["x"] + cx, box["y"] + cy)
        (ROOT / "out").mkdir(exist_ok=True)
        page.screenshot(path=str(ROOT / "out" / "orvtool-view.png"))


def test_tree_filter_thumbnails_and_broken_files(page, tree):
    with running(tree) as server:
        page.goto(server.url)
        page.wait_for_selector("#tree li.anim")
        # The details of each entry come after the list, as the entries come into view.
        page.wait_for_function(
            "() => [...document.querySelectorAll('#tree li.anim .meta')].every(m => m.children[1].textContent)"
        )
        names = page.eval_on_selector_all("#tree li.anim", "els => els.map(e => e.dataset.path)")
        assert names == [
            "backgrounds/meadow.orv",
            "broken/cut.orv",
            "broken/nopal.orv",
            "objects/hero/shadow.orv",
            WALK,
        ]
        # Every good file has a decoded thumbnail; broken ones carry their error instead.
        page.wait_for_function("() => [...document.querySelectorAll('#tree img.thumb')].every(img => img.complete)")
        sizes = page.eval_on_selector_all(
            "#tree li.anim img.thumb",
            "els => els.map(e => [e.closest('li').dataset.path, e.complete && e.naturalWidth])",
        )
        assert sizes == [["backgrounds/meadow.orv", 320], ["objects/hero/shadow.orv", 40], [WALK, 48]]
        missing = (  # orvtool's words for the palette it looked for
            "palette not found: looked for 'gone.pal' from ./broken, in that folder and each folder above it; no "
            "palette file opened: 'gone.pal' was not found; no palette colours to render with: the palette was not found"
        )
        for rel in ("broken/cut.orv", "broken/nopal.orv"):
            expected = load_error(tree / rel) if rel.endswith("cut.orv") else missing
            assert page.text_content(f'#tree li[data-path="{rel}"] .tree-error') == expected
            page.click(f'#tree li.anim[data-path="{rel}"]')
            page.wait_for_function("rel => document.getElementById('title').textContent === rel", arg=rel)
            assert page.is_visible("#error") and page.text_content("#error") == expected
            assert page.is_hidden("#controls")

        page.fill("#filter", "WAL")
        visible = page.eval_on_selector_all(
            "#tree li", "els => els.filter(e => e.offsetParent).map(e => e.textContent)"
        )
        assert len(visible) == 2 and visible[0] == "objects/hero/" and visible[1].startswith("walk.orv")
        page.fill("#filter", "")
        assert page.locator("#tree li.anim:visible").count() == 5

        # The address names the animation shown.
        page.evaluate("rel => { location.hash = '#' + encodeURIComponent(rel); }", "objects/hero/shadow.orv")
        page.wait_for_function("() => document.getElementById('frame-label').textContent === 'frame 0 / 11'")
        assert page.get_attribute('#tree li[data-path="objects/hero/shadow.orv"]', "class") == "anim selected"


def test_background_form_is_drawn_under_its_frames_and_shadows_can_be_translucent(page, tree):
    meadow = tree / "backgrounds" / "meadow.orv"
    data, images = rgba_frames(meadow)
    origin = union(data.frames)
    with running(tree) as server:
        page.goto(server.url)
        open_animation(page, "backgrounds/meadow.orv", len(images))
        plain_backdrop(page)
        # Playing starts after the background frame, which stays behind.
        assert shown_frame(page) == 1
        z = zoom(page)
        shot = canvas(page)
        bg = images[0]
        f1 = data.frames[1]
        x0, y0 = f1.x_offset - origin[0], f1.y_offset - origin[1]
        under = bg[y0 : y0 + f1.height, x0 : x0 + f1.width]
        assert (under[..., 3] == 255).all()
        assert_frame_drawn(shot, images[1], f1, origin, z, under=under)
        page.uncheck("#show-background")
        assert_frame_drawn(canvas(page), images[1], f1, origin, z)

        data, images = rgba_frames(tree / "objects" / "hero" / "shadow.orv")
        open_animation(page, "objects/hero/shadow.orv", len(images))
        plain_backdrop(page)
        origin = union(data.frames)
        z = zoom(page)
        assert_frame_drawn(canvas(page), images[0], data.frames[0], origin, z)  # opaque black, as rendered
        page.select_option("#shadow-mode", "overlay")
        shot = canvas(page)
        mask = images[0][..., 3] == 255
        f0 = data.frames[0]
        x0, y0 = (f0.x_offset - origin[0]) * z, (f0.y_offset - origin[1]) * z
        region = shot[y0 : y0 + f0.height * z : z, x0 : x0 + f0.width * z : z]
        half = np.array(BACKDROP[:3]) / 2
        assert np.abs(region[mask][:, :3].astype(int) - half).max() <= 1
        assert (region[mask][:, 3] == 255).all()


def test_static_page_plays_from_a_file_url(page, tree, tmp_path):
    site = tmp_path / "site"
    write_static(str(tree), str(site))
    data, images = rgba_frames(tree / WALK)
    page.goto((site / "index.html").as_uri())
    open_animation(page, WALK, len(images))
    plain_backdrop(page)
    page.eval_on_selector("#fps", "el => { el.value = 60; el.dispatchEvent(new Event('input')); }")
    page.click("#play")
    page.wait_for_function("() => !document.getElementById('frame-label').textContent.startsWith('frame 0 ')")
    page.click("#play")
    n = shown_frame(page)
    # Drawn from data URLs, the canvas is not tainted and shows pyorv's frame.
    assert_frame_drawn(canvas(page), images[n], data.frames[n], union(data.frames), zoom(page))
    assert page.text_content("#tree li[data-path='broken/cut.orv'] .tree-error") == load_error(
        tree / "broken" / "cut.orv"
    )


def visible_part(page):
    """The part of the canvas that the stage shows, scrolled as it is."""
    shot = canvas(page)
    x, y, w, h = page.eval_on_selector("#stage", "s => [s.scrollLeft, s.scrollTop, s.clientWidth, s.clientHeight]")
    return shot[y : y + h, x : x + w]


def test_zooming_keeps_the_sprite_of_a_wide_animation_in_view(page, tmp_path):
    """858 pixels wide, the first frame at its right end: zoomed in, the stage
    scrolls to the frame instead of showing the empty left of the canvas."""
    block = [[7] * 58] * 40
    frames = [frame_from_indices(block, x_offset=371, y_offset=0), frame_from_indices(block, x_offset=-429, y_offset=0)]
    write_project(tmp_path / "tree", "wide/anim.orv", Animation(frames=frames))
    with running(tmp_path / "tree") as server:
        page.goto(server.url + "#wide/anim.orv")
        page.wait_for_function("() => document.getElementById('frame-label').textContent === 'frame 0 / 1'")
        assert page.input_value("#export-command").endswith(" -o out/wide/anim")
        checker = {(255, 255, 255), (204, 204, 204)}
        for z in (2, 3, 4):
            page.keyboard.press("+")
            assert zoom(page) == z
            part = visible_part(page)
            assert part.shape[1] < 858 * z  # only a part of the canvas shows
            colours = {tuple(p) for p in part[..., :3].reshape(-1, 3)}
            assert colours - checker, f"nothing but the checkerboard in view at {z}x"
        SHOTS.mkdir(parents=True, exist_ok=True)
        page.screenshot(path=str(SHOTS / "zoomed-wide.png"))


def test_a_missing_palette_is_chosen_in_the_page(page, tree):
    """The folder's palettes are offered; the frames are drawn with the one
    chosen, which the page says and the address keeps."""
    rel = "broken/nopal.orv"
    chosen = load_animation(str(tree / rel), str(tree / "palettes" / "hero.pal"))
    image = np.frombuffer(chosen.require_images()[0].pixels, np.uint8).reshape(8, 10, 4)
    with running(tree) as server:
        page.goto(server.url + "#" + rel)
        page.wait_for_selector("#palette-choice:not([hidden])")
        options = page.eval_on_selector_all("#palette-select option", "els => els.map(e => e.value)")
        assert options == ["", "palettes/hero.pal", "palettes/meadow.pal"]
        page.select_option("#palette-select", "palettes/hero.pal")
        page.wait_for_selector("#controls:not([hidden])")
        assert page.is_hidden("#error")
        assert (
            page.text_content("#palette-file") == "drawn with palettes/hero.pal, chosen here: the file names gone.pal"
        )
        assert page.evaluate("location.hash") == "#broken/nopal.orv?palette=palettes%2Fhero.pal"
        plain_backdrop(page)
        assert_frame_drawn(canvas(page), image, chosen.frames[0], union(chosen.frames), zoom(page))
        SHOTS.mkdir(parents=True, exist_ok=True)
        page.screenshot(path=str(SHOTS / "palette-chosen.png"))


def test_a_tree_of_thousands_lists_at_once_and_loads_what_shows(page, tmp_path, monkeypatch):

    root = tmp_path / "many"
    data = encode_animation(Animation(frames=[figure()], palette_path=b"pal/test.pal"))
    write_project(root, "a.orv", Animation(frames=[figure()]))
    for i in range(2000):
        path = root / f"set{i // 100:02d}" / f"anim{i % 100:02d}.orv"
        path.parent.mkdir(exist_ok=True)
        path.write_bytes(data)
    loads = counted_loads(monkeypatch)
    with running(root) as server:
        page.goto(server.url)
        page.wait_for_function("() => document.getElementById('tree').dataset.count === '2001'")
        page.wait_for_function("() => document.querySelector('#tree li.anim img.thumb') !== null")
        assert page.locator("#tree li.anim").count() < 100  # only the rows in view are made
        assert len(loads) < 200
        last = "#tree li.anim[data-path='set19/anim99.orv']"
        page.eval_on_selector("#tree-pane", "pane => { pane.scrollTop = pane.scrollHeight; }")
        page.wait_for_selector(last + " img.thumb")
        assert len(loads) < 400
