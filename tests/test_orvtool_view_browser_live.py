"""orvtool view in headless Chromium, following its files: a file saved again
redraws where the page was, files that come and go show in the tree; a tree
of 20,000 files filters at once; a zoomed canvas can be reached whole."""

import os

import test_orvtool_view_browser as shown
from test_orvtool_view_browser import (
    assert_frame_drawn,
    canvas,
    open_animation,
    plain_backdrop,
    rgba_frames,
    union,
    zoom,
)
from view_helpers import running

from orvtool.core.orvfile import Animation, encode_animation, frame_from_indices
from orvtool_samples import figure, write_project

# The browser, its page and the examples' tree, as the other browser tests have them.
browser, page, tree = shown.browser, shown.page, shown.tree
GUARD_MS = 60000  # only against a hang: what is waited for is a condition


def block(x, y, shade=0):
    """A 12 x 10 frame of several indices at (x, y)."""
    return frame_from_indices([[(i + j + shade) % 8 + 1 for i in range(12)] for j in range(10)], x_offset=x, y_offset=y)


def save_later(path, anim):
    """Writes the file as an editor saves it: a new file put over the old one,
    its time later than the one before."""
    before = os.stat(path).st_mtime_ns
    write_project(path.parent.parent, f"{path.parent.name}/{path.name}.new", anim)
    os.replace(str(path) + ".new", path)
    os.utime(path, ns=(before + 10**9, before + 10**9))


def test_a_saved_file_redraws_where_the_page_was_and_the_tree_follows(page, tmp_path):
    root = tmp_path / "tree"
    path = write_project(root, "live/anim.orv", Animation(frames=[block(0, 0)] * 6))
    with running(root) as server:
        page.goto(server.url)
        open_animation(page, "live/anim.orv", 6)
        plain_backdrop(page)
        for _ in range(4):
            page.keyboard.press("ArrowRight")
        page.keyboard.press("+")
        z = zoom(page)
        # Two frames now: the page stays on the last, at the same zoom, paused.
        save_later(path, Animation(frames=[block(0, 0), block(6, 2, shade=3)]))
        page.wait_for_function(
            "() => document.getElementById('frame-label').textContent === 'frame 1 / 1'", timeout=GUARD_MS
        )
        assert (zoom(page), page.text_content("#play")) == (z, "Play")
        data, images = rgba_frames(path)
        page.wait_for_function("() => document.getElementById('canvas').width > 0")
        assert_frame_drawn(canvas(page), images[1], data.frames[1], union(data.frames), z)
        # Playing, it plays on after the next save.
        page.click("#play")
        save_later(path, Animation(frames=[block(0, 0), block(6, 2), block(1, 1)]))
        page.wait_for_function(
            "() => document.getElementById('frame-label').textContent.endsWith(' / 2')", timeout=GUARD_MS
        )
        assert page.text_content("#play") == "Pause"
        # Files that come and go show in the list without a reload.
        write_project(root, "live/more.orv", Animation(frames=[figure()]))
        page.wait_for_selector('#tree li.anim[data-path="live/more.orv"]', timeout=GUARD_MS)
        (root / "live" / "more.orv").unlink()
        page.wait_for_selector('#tree li.anim[data-path="live/more.orv"]', state="detached", timeout=GUARD_MS)


def test_twenty_thousand_rows_filter_on_their_data(page, tmp_path):
    root = tmp_path / "big"
    data = encode_animation(Animation(frames=[figure()], palette_path=b"pal/test.pal"))
    write_project(root, "a.orv", Animation(frames=[figure()]))
    for i in range(20000):
        name = f"zz{i}.orv" if i % 2500 == 7 else f"anim{i}.orv"
        path = root / f"d{i % 5}" / f"e{i // 100 % 4}" / f"f{i // 1000 % 3}" / f"g{i % 2}" / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    with running(root) as server:
        page.goto(server.url)
        page.wait_for_function("() => document.getElementById('tree').dataset.count === '20001'", timeout=GUARD_MS)
        page.fill("#filter", "zz")
        page.wait_for_function(
            "() => document.querySelectorAll('#tree li.anim').length === 8"
            " && document.getElementById('tree').dataset.count === '8'",
            timeout=GUARD_MS,
        )
        names = page.eval_on_selector_all("#tree li.anim", "els => els.map(e => e.dataset.path.split('/').pop())")
        assert sorted(names) == sorted(f"zz{i}.orv" for i in range(20000) if i % 2500 == 7)


def test_a_zoomed_canvas_is_reached_whole_by_scrolling_and_dragging(page, tree):
    with running(tree) as server:
        page.goto(server.url)
        data, images = rgba_frames(tree / "backgrounds" / "meadow.orv")
        open_animation(page, "backgrounds/meadow.orv", len(images))
        while zoom(page) < 5:
            page.keyboard.press("+")
        page.eval_on_selector("#stage", "s => { s.scrollLeft = 0; s.scrollTop = 0; }")
        stage = page.locator("#stage").bounding_box()
        width = page.evaluate("document.documentElement.clientWidth")
        assert stage["x"] + stage["width"] <= width  # the stage fits the page: its scroll bar shows
        # Dragging moves the view, as far as the canvas's right edge.
        x, y = stage["x"] + stage["width"] / 2, stage["y"] + stage["height"] / 2
        page.mouse.move(x, y)
        page.mouse.down()
        page.mouse.move(x - 120, y - 30, steps=4)
        page.mouse.up()
        assert page.eval_on_selector("#stage", "s => [s.scrollLeft, s.scrollTop]") == [120, 30]
        page.eval_on_selector("#stage", "s => { s.scrollLeft = s.scrollWidth; }")
        right = page.eval_on_selector(
            "#stage", "s => s.scrollLeft + s.clientWidth - document.getElementById('canvas').width"
        )
        assert right == 0  # the last column of the canvas is in view
