"""orvtool view: the server's API in-process, the static page, the command."""

import base64
import importlib.metadata
import io
import json
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import tracemalloc
from pathlib import Path

import numpy as np
import pytest
from PIL import Image
from view_helpers import counted_loads, load_error, make_tree, request, running

import orvtool.view
import orvtool.view.catalog
import pyorv
from orvtool import to_numpy
from orvtool.core.orvfile import Animation, Frame, Row, encode_palette
from orvtool.export.exporting import ExportOptions, export_animation
from orvtool.formats.sidecar import frame_file_names
from orvtool.load.loading import LoadError, load_animation
from orvtool.view.catalog import FRAME_PIXELS, OUTSIDE, Catalog
from orvtool.view.server import ViewServer, write_static
from orvtool_samples import PALETTE, figure, walk, write_project


def get_json(server, path):
    status, headers, body = request(server, path)
    assert status == 200, (path, body)
    assert headers["Content-Type"] == "application/json"
    return json.loads(body)


def png_pixels(data):
    with Image.open(io.BytesIO(data)) as im:
        return im.mode, np.asarray(im)


def files_under(root):
    return sorted(str(p.relative_to(root)) for p in Path(root).rglob("*"))


def test_tree_lists_animations_with_thumbnails_and_broken_files_with_their_errors(tmp_path):
    root = make_tree(tmp_path)
    write_project(root, os.fsdecode(b"sprites/not-utf8-\xff.orv"), walk())  # cannot travel in a URL
    with running(root) as server:
        tree = get_json(server, "/api/tree")
        assert tree["root"] == "tree"
        # the link out of the tree is left out; the one within it is shown
        names = [e["path"] for e in tree["animations"]]
        assert names == ["again.orv", "sprites/cut.orv", "sprites/nopal.orv", "sprites/still.orv", "sprites/walk.orv"]
        entries = {rel: get_json(server, "/api/entry/" + rel) for rel in names}
        assert entries["sprites/walk.orv"]["error"] is None and entries["sprites/walk.orv"]["frames"] == 3
        for name in ("cut", "nopal"):
            assert entries[f"sprites/{name}.orv"]["thumbnail"] is None
        # the core's own words for the frame cut short; orvtool's for the
        # palette searched for, naming it and where the search began
        assert entries["sprites/cut.orv"]["error"] == load_error(root / "sprites" / "cut.orv")
        assert entries["sprites/cut.orv"]["error"].startswith("frame 2 is cut short: the file ends inside its record")
        assert entries["sprites/nopal.orv"]["error"] == (
            "palette not found: looked for 'pal/missing.pal' from ./sprites, in that folder and each folder above "
            "it; no palette file opened: 'pal/missing.pal' was not found; no palette colours to render with: the "
            "palette was not found"
        )

        status, headers, body = request(server, entries["sprites/walk.orv"]["thumbnail"])
        assert status == 200 and headers["Content-Type"] == "image/png"
        f = pyorv.OrvF()
        f.load(str(root / "sprites" / "walk.orv"))
        mode, pixels = png_pixels(body)
        assert mode == "RGBA"
        assert np.array_equal(pixels, to_numpy(f.get_frame_buffer()[0]))


def test_animation_document_frames_and_palette_match_the_loader_and_export(tmp_path):
    root = make_tree(tmp_path)
    path = root / "sprites" / "walk.orv"
    export_animation(str(path), str(tmp_path / "export"), ExportOptions())
    data = pyorv.OrvF().load(str(path))
    assert data is not None
    with running(root) as server:
        doc = get_json(server, "/api/anim/sprites/walk.orv")
        assert doc["error"] is None and doc["notes"] == []
        assert (doc["form"], doc["has_background"], doc["speed"], doc["frame_count"]) == ("plain", False, 100, 3)
        keys = ("width", "height", "x_offset", "y_offset", "is_shadow", "frame_size", "unk1", "unk2")
        assert [[f[k] for k in keys] for f in doc["frames"]] == [[getattr(fr, k) for k in keys] for fr in data.frames]
        assert [f["runs"] for f in doc["frames"]] == [sum(len(r.blocks) for r in fr.pixel_sets) for fr in data.frames]
        assert doc["palette"]["colors"] == [list(c) for c in PALETTE]
        assert doc["palette"]["location"] == "pal/test.pal"
        assert doc["palette"]["file"] == "pal/test.pal"
        # Named after the file, below its folder's name: alone in its folder too.
        assert doc["export_command"] == f"orvtool export {root}/sprites/walk.orv -o out/sprites/walk"
        write_project(root, "walk/anim.orv", walk())
        assert get_json(server, "/api/anim/walk/anim.orv")["export_command"].endswith(" -o out/walk/anim")
        write_project(root, "top.orv", walk())
        assert get_json(server, "/api/anim/top.orv")["export_command"].endswith(" -o out/top")
        # The images are the export's own files, byte for byte.
        for frame, names in zip(doc["frames"], frame_file_names(3), strict=True):
            for key, name in zip(("image", "index_image"), names, strict=True):
                status, headers, body = request(server, frame[key])
                assert status == 200 and headers["Content-Type"] == "image/png"
                assert body == (tmp_path / "export" / name).read_bytes(), name


def test_background_form_and_frames_without_pixels(tmp_path):
    root = tmp_path / "tree"
    anim = Animation(frames=[figure(0, 0), Frame(width=0, rows=[]), figure(1, 1)], has_background=True)
    write_project(root, "bg.orv", anim)
    with running(root) as server:
        doc = get_json(server, "/api/anim/bg.orv")
        assert (doc["form"], doc["has_background"], doc["frame_count"]) == ("background", True, 3)
        assert [f["image"] is None for f in doc["frames"]] == [False, True, False]
        assert request(server, "/api/image/1/bg.orv")[0] == 404
        assert request(server, "/api/image/2/bg.orv")[0] == 200
        # Bytes after the last frame do not break a file; the page notes them.
        write_project(root, "tail.orv", Animation(frames=[figure()], trailing=b"junk"))
        doc = get_json(server, "/api/anim/tail.orv")
        assert doc["error"] is None
        assert doc["notes"] == ["4 bytes after the last frame record, at byte 53, are not part of the animation"]


def test_changed_files_are_loaded_again_and_nothing_is_written_under_the_folder(tmp_path):
    root = make_tree(tmp_path)
    before = files_under(root)
    path = root / "sprites" / "still.orv"
    with running(root) as server:
        first = get_json(server, "/api/anim/sprites/still.orv")
        assert first["speed"] == 7 and first["frames"][0]["x_offset"] == -2
        old_png = request(server, first["frames"][0]["image"])[2]

        write_project(root, "sprites/still.orv", Animation(frames=[figure(4, 4)], speed=8))
        st = path.stat()
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 10**9))
        again = get_json(server, "/api/anim/sprites/still.orv")
        assert again["speed"] == 8 and again["frames"][0]["x_offset"] == 4

        # A new palette changes the images, though the animation file is the same.
        pal = root / "pal" / "test.pal"
        pal.write_bytes(encode_palette([(255 - r, g, b, 255) for r, g, b, _ in PALETTE]))
        st = pal.stat()
        os.utime(pal, ns=(st.st_atime_ns, st.st_mtime_ns + 10**9))
        new_png = request(server, "/api/image/0/sprites/still.orv")[2]
        assert png_pixels(new_png)[1][0, 1, 0] == 255 - PALETTE[1][0]
        assert new_png != old_png

        # A missing palette that turns up makes the broken file whole.
        assert get_json(server, "/api/anim/sprites/nopal.orv")["error"]
        (root / "pal" / "missing.pal").write_bytes(encode_palette(PALETTE))
        assert get_json(server, "/api/anim/sprites/nopal.orv")["error"] is None
    (root / "pal" / "missing.pal").unlink()
    assert files_under(root) == before


def test_loaded_animations_are_kept_within_the_memory_budget(tmp_path):
    root = make_tree(tmp_path)
    roomy = Catalog(str(root))
    walk_ = roomy.get("sprites/walk.orv")
    assert walk_ is not None
    assert walk_.size > 0 and roomy.get("sprites/walk.orv") is walk_
    assert roomy.get("sprites/cut.orv") is roomy.get("sprites/cut.orv")  # broken: kept while unchanged

    # The PNG files made count, and the raw pixels they were made from go.
    before = walk_.size
    pngs = [walk_.png("image", i) for i in range(3)] + [walk_.png("index", i) for i in range(3)]
    assert walk_.size == before + sum(len(p or b"") for p in pngs) - 4 * sum(f.width * f.height for f in walk_.frames)

    tight = Catalog(str(root), cache_bytes=before)  # room for one of the two
    first = tight.get("sprites/walk.orv")
    still = tight.get("sprites/still.orv")
    assert tight.get("sprites/still.orv") is still
    again = tight.get("sprites/walk.orv")
    assert again is not None and first is not None
    assert again is not first and again.png("image", 2) == first.png("image", 2)


@pytest.mark.parametrize(
    "path",
    [
        "/api/anim/../outside/secret.orv",
        "/api/anim/sprites/../../outside/secret.orv",
        "/api/anim/%2e%2e/outside/secret.orv",
        "/api/anim/sprites/%2E%2E/%2e%2e/outside/secret.orv",
        "/api/image/0/%2e%2e/outside/secret.orv",
        "/api/anim/./sprites/walk.orv",
        "/api/anim/sprites//walk.orv",
        "/api/anim/sprites%5cwalk.orv",
        "/api/anim/sprites/link.orv",
        "/api/image/0/sprites/link.orv",
        "/api/index/0/sprites/link.orv",
        "/api/anim/sprites",
        "/api/anim/pal/test.pal",
        "/api/image/3/sprites/walk.orv",
        "/api/nothing/sprites/walk.orv",
        "/sprites/walk.orv",
        "/api/",
        "/api/anim/%ff.orv",
    ],
)
def test_paths_that_leave_the_folder_or_name_no_animation_get_404(tmp_path, path):
    root = make_tree(tmp_path)
    with running(root) as server:
        status, _, body = request(server, path)
        assert status == 404
        assert b"secret" not in body and b"frames" not in body


def test_a_huge_empty_frame_is_listed_not_drawn(tmp_path, monkeypatch):
    """16000 x 16000 pixels in a file of 32 KB: over the viewer's limit, so
    the frame is not rendered, and the load costs what the file holds."""
    root = tmp_path / "tree"
    huge = Frame(width=16000, rows=[Row() for _ in range(16000)])
    write_project(root, "huge.orv", Animation(frames=[figure(), huge]))
    tracemalloc.start()
    try:
        shown = Catalog(str(root)).get("huge.orv")
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert shown is not None and shown.error is None and peak < 64 << 20 and shown.size < 1 << 20
    assert shown.solid == [True, False] and shown.png("image", 1) is None
    assert shown.doc.notes == [
        f"frame 1 is not drawn: 16000\u00d716000 is more than the viewer draws ({FRAME_PIXELS} pixels a frame)"
    ]
    # So many frames that their records alone would cost much: not loaded.
    monkeypatch.setattr(orvtool.view.catalog, "FRAMES", 1)
    many = Catalog(str(root)).get("huge.orv")
    assert many is not None and many.error == "2 frames: more than the viewer shows (1)" and many.frames == []


@pytest.mark.parametrize(
    "path",
    [
        "/api/image/-1/sprites/walk.orv",
        "/api/image/x/sprites/walk.orv",
        "/api/image/%C2%B2/sprites/walk.orv",  # superscript two
        "/api/index/%D9%A1/sprites/walk.orv",  # Arabic-Indic one
        "/api/image/" + "1" * 5000 + "/sprites/walk.orv",
        "/api/anim/sprites/nopal.orv?palette=../outside/secret.pal",
        "/api/anim/sprites/nopal.orv?palette=%2e%2e/outside/secret.pal",
        "/api/anim/sprites/nopal.orv?palette=sprites/link.pal",  # a link out of the folder
        "/api/anim/sprites/nopal.orv?palette=pal/missing.pal",
        "/api/anim/sprites/nopal.orv?palette=sprites/walk.orv",
        "/api/image/0/sprites/nopal.orv?palette=pal/test.pal&palette=pal/test.pal",
        "/api/anim/sprites/walk.orv?colours=1",
        "/api/anim/sprites/walk.orv?palette=%ff",
    ],
)
def test_frame_numbers_and_palettes_out_of_form_get_400(tmp_path, path):
    root = make_tree(tmp_path)
    (tmp_path / "outside" / "secret.pal").write_bytes(encode_palette(PALETTE))
    os.symlink(tmp_path / "outside" / "secret.pal", root / "sprites" / "link.pal")
    with running(root) as server:
        status, _, body = request(server, path)
        assert status == 400, body
        assert b"secret" not in body


def test_a_missing_palette_can_be_chosen_among_the_folders(tmp_path):
    root = make_tree(tmp_path)
    write_project(root, "more/other.orv", walk(), colors=[(9, 9, 9, 255)] * 256, pal_rel="more/grey.PAL")
    with running(root) as server:
        assert get_json(server, "/api/palettes") == {"palettes": ["more/grey.PAL", "pal/test.pal"]}
        plain = get_json(server, "/api/anim/sprites/nopal.orv")
        assert plain["error"] and plain["palette"]["missing"] and plain["palette"]["chosen"] is None
        doc = get_json(server, "/api/anim/sprites/nopal.orv?palette=pal/test.pal")
        assert doc["error"] is None and doc["palette"]["chosen"] == "pal/test.pal"
        assert doc["palette"]["colors"] == [list(c) for c in PALETTE]
        assert doc["frames"][0]["image"] == "/api/image/0/sprites/nopal.orv?palette=pal/test.pal"
        status, _, body = request(server, doc["frames"][0]["image"])
        assert status == 200 and png_pixels(body)[1][0, 1].tolist() == list(PALETTE[1])
        grey = request(server, "/api/image/0/sprites/nopal.orv?palette=more/grey.PAL")[2]
        assert png_pixels(grey)[1][0, 1].tolist() == [9, 9, 9, 255]
        assert request(server, "/api/image/0/sprites/nopal.orv")[0] == 404


def test_palettes_outside_the_folder_are_shown_relative_and_left_out_of_the_static_page(tmp_path):
    root = make_tree(tmp_path)
    secret = tmp_path / "outside" / "secret.pal"
    secret.write_bytes(encode_palette(PALETTE))
    write_project(root, "abs/a.orv", Animation(frames=[figure()], palette_path=bytes(secret)))
    write_project(root, "up/b.orv", Animation(frames=[figure()], palette_path=b"../../outside/secret.pal"))
    write_project(root, "up/gone.orv", Animation(frames=[figure()], palette_path=bytes(tmp_path / "gone" / "x.pal")))
    with running(root) as server:
        for rel in ("abs/a.orv", "up/b.orv", "up/gone.orv"):
            status, _, body = request(server, "/api/anim/" + rel)
            assert status == 200 and str(tmp_path / "outside").encode() not in body, body
            assert str(tmp_path / "gone").encode() not in body
            doc = json.loads(body)
            assert doc["palette"]["location"].startswith("../")
        assert get_json(server, "/api/anim/abs/a.orv")["palette"]["file"] == "../outside/secret.pal"
    assert write_static(str(root), str(tmp_path / "site")) == 8
    page = (tmp_path / "site" / "index.html").read_text()
    assert "secret.pal" not in page and "gone/x.pal" not in page
    assert str(tmp_path) not in page.replace(str(root), "")


def test_every_answer_is_for_this_origin_only(tmp_path):
    root = make_tree(tmp_path)
    with running(root) as server:
        answers = [
            request(server, path, method)
            for path, method in [
                ("/", "GET"),
                ("/api/tree", "GET"),
                ("/api/image/0/sprites/walk.orv", "GET"),
                ("/nothing", "GET"),
                ("/api/image/%C2%B2/sprites/walk.orv", "GET"),
                ("/api/tree", "POST"),
                ("/favicon.ico", "GET"),
            ]
        ]
        answers.append(request(server, "/api/tree", host="attacker.example"))
        # The base class's own answers too: a header line over its limit.
        with socket.create_connection(("127.0.0.1", server.server_port), timeout=10) as conn:
            conn.sendall(b"GET / HTTP/1.1\r\nX: " + b"a" * 70000 + b"\r\n\r\n")
            head = conn.makefile("rb").read().split(b"\r\n\r\n")[0].decode().lower()
    assert [a[0] for a in answers] == [200, 200, 200, 404, 400, 405, 204, 403]
    for _, headers, _ in answers:
        assert (
            headers["Cross-Origin-Resource-Policy"] == "same-origin" and headers["X-Content-Type-Options"] == "nosniff"
        )
    assert head.startswith("http/1.0 431") or head.startswith("http/1.1 431"), head
    assert "cross-origin-resource-policy: same-origin" in head and "x-content-type-options: nosniff" in head


def test_the_tree_is_a_walk_made_once_and_loads_nothing(tmp_path, monkeypatch):
    """The page and its list answer from one walk of the folder, made again
    only when a folder changes; animations load when an entry is asked for."""
    root = make_tree(tmp_path)
    loads = counted_loads(monkeypatch)
    with running(root) as server:
        catalog = server.catalog
        threads = [threading.Thread(target=request, args=(server, "/api/tree")) for _ in range(20)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert request(server, "/")[0] == 200 and len(get_json(server, "/api/tree")["animations"]) == 5
        assert (catalog.scans, loads) == (1, [])
        entry = get_json(server, "/api/entry/sprites/walk.orv")
        assert (entry["frames"], entry["thumbnail"], len(loads)) == (3, "/api/image/0/sprites/walk.orv", 1)
        write_project(root, "sprites/deep/new.orv", walk())
        assert "sprites/deep/new.orv" in [e["path"] for e in get_json(server, "/api/tree")["animations"]]
        (root / "sprites" / "deep" / "new.orv").unlink()  # a change in a folder below the top
        assert len(get_json(server, "/api/tree")["animations"]) == 5 and catalog.scans == 3


def test_silent_connections_are_closed(tmp_path):
    root = make_tree(tmp_path)
    server = ViewServer(Catalog(str(root)), timeout=0.5)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        conns = [socket.create_connection(("127.0.0.1", server.server_port), timeout=10) for _ in range(50)]
        for conn in conns:
            conn.sendall(b"GET /api/tree HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n" % server.server_port)
        # Closed without an answer (a connection left open would time the
        # read out instead).
        assert all(conn.recv(100) == b"" for conn in conns)
        assert server.catalog.scans == 0
        for conn in conns:
            conn.close()
    finally:
        server.shutdown()
        server.server_close()


def test_absolute_paths_are_refused_even_inside_the_folder(tmp_path):
    root = make_tree(tmp_path)
    inside = (root / "sprites" / "walk.orv").resolve()
    with running(root) as server:
        assert request(server, "/api/anim/sprites/walk.orv")[0] == 200
        assert request(server, "/api/anim/again.orv")[0] == 200  # a link that stays inside
        for path in (f"/api/anim/{inside}", f"/api/anim/{str(inside).replace('/', '%2f')}", f"/api/image/0/{inside}"):
            assert request(server, path)[0] == 404, path
        assert request(server, f"/api/anim/{(tmp_path / 'outside' / 'secret.orv')}")[0] == 404


def test_only_get_from_this_server_address_is_answered(tmp_path):
    root = make_tree(tmp_path)
    with running(root) as server:
        for method in ("POST", "PUT", "DELETE", "PATCH", "HEAD", "OPTIONS"):
            status, headers, _ = request(server, "/api/tree", method)
            assert (status, headers.get("Allow")) == (405, "GET"), method
        assert request(server, "/api/tree", host=f"localhost:{server.server_port}")[0] == 200
        for host in ("attacker.example", f"attacker.example:{server.server_port}", "127.0.0.1:1"):
            assert request(server, "/api/tree", host=host)[0] == 403, host


def test_each_file_is_loaded_once(tmp_path, monkeypatch):
    """Served or written as a static page, a file is read and rendered by one
    load: its report, records and images together."""
    import orvtool._native

    root = make_tree(tmp_path)
    loads = []

    def counted(real):
        def load(path, *args, **kwargs):
            loads.append(os.fsdecode(path))
            return real(path, *args, **kwargs)

        return load

    for name in ("load_report", "open_frames", "load_frames"):
        monkeypatch.setattr(orvtool._native, name, counted(getattr(orvtool._native, name)))
    catalog = Catalog(str(root))
    for rel in ("sprites/walk.orv", "sprites/cut.orv", "sprites/nopal.orv"):
        shown = catalog.get(rel)
        assert shown is not None and (shown.error is None) == (rel == "sprites/walk.orv")
    assert sorted(loads) == sorted(str(root / "sprites" / n) for n in ("walk.orv", "cut.orv", "nopal.orv"))
    loads.clear()
    from orvtool.view.server import write_static

    assert write_static(str(root), str(tmp_path / "site")) == 5
    assert sorted(loads) == sorted({os.path.realpath(p) for p in root.rglob("*.orv") if "link" not in p.name})


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
def test_the_static_page_is_placed_as_every_output_is(tmp_path):
    """Through the save rule, as one set: a FIFO that nobody reads among the
    targets is refused before any file is written, instead of hanging."""
    root = make_tree(tmp_path)
    out = tmp_path / "site"
    out.mkdir()
    (out / "index.html").write_bytes(b"old")
    os.mkfifo(out / "style.css")
    script = Path(sys.executable).with_name("orvtool")
    result = subprocess.run(
        [str(script), "view", str(root), "--static", str(out), "--force"], capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 1
    assert result.stderr == f"orvtool: {out}: cannot write {out / 'style.css'}: a FIFO that nobody reads\n"
    assert (out / "index.html").read_bytes() == b"old" and sorted(os.listdir(out)) == ["index.html", "style.css"]


def test_a_failing_request_gets_500_and_the_server_goes_on(tmp_path, monkeypatch, capfd):
    root = make_tree(tmp_path)

    def broken(self, rel, palette=None):
        raise ValueError("a bug")

    with running(root) as server:
        monkeypatch.setattr(Catalog, "get", broken)
        assert request(server, "/api/anim/sprites/walk.orv")[0] == 500
        monkeypatch.undo()
        assert request(server, "/api/anim/sprites/walk.orv")[0] == 200
    assert "orvtool view: /api/anim/sprites/walk.orv: internal error: ValueError: a bug" in capfd.readouterr().err


def test_the_installed_package_carries_and_serves_the_page(tmp_path):
    package = Path(orvtool.view.__file__).parent
    installed = {str(p).replace("\\", "/") for p in importlib.metadata.files("pyorv") or []}
    root = make_tree(tmp_path)
    with running(root) as server:
        for url, name, kind in (
            ("/", "index.html", "text/html"),
            ("/app.js", "app.js", "text/javascript"),
            ("/style.css", "style.css", "text/css"),
        ):
            assert f"orvtool/view/{name}" in installed
            status, headers, body = request(server, url)
            assert status == 200 and headers["Content-Type"].startswith(kind)
            assert body == (package / name).read_bytes()
            assert "default-src 'none'" in headers["Content-Security-Policy"]
        # The page refers to nothing outside the server.
        page = (
            (package / "index.html").read_text()
            + (package / "app.js").read_text()
            + (package / "style.css").read_text()
        )
        assert not re.search(r"https?://|//cdn|@import", page)


def inline_data(out):
    html = (out / "index.html").read_text(encoding="utf-8")
    match = re.search(r'<script id="orv-data" type="application/json">(.*?)</script>', html, re.S)
    assert match, "no inline data"
    return json.loads(match.group(1))


def test_static_page_carries_its_data_and_images_inline(tmp_path, capfd):
    from orvtool.cli import main

    root = make_tree(tmp_path)
    # A name that would end the script element if the data were not escaped.
    write_project(root, "odd/</script><b>x.orv", walk())
    out = tmp_path / "site"
    assert main(["view", str(root), "--static", str(out)]) == 0
    assert "6 animations" in capfd.readouterr().out
    assert sorted(os.listdir(out)) == ["app.js", "index.html", "style.css"]
    doc = inline_data(out)
    tree = {e["path"]: e for e in doc["tree"]["animations"]}
    assert set(doc["animations"]) == set(tree)
    assert (
        tree["sprites/cut.orv"]["error"]
        == doc["animations"]["sprites/cut.orv"]["error"]
        == load_error(root / "sprites" / "cut.orv")
    )
    with running(root) as server:
        for rel in ("sprites/walk.orv", "odd/</script><b>x.orv"):
            served = get_json(server, "/api/anim/" + rel.replace("<", "%3c").replace(">", "%3e"))
            for frame, inline in zip(served["frames"], doc["animations"][rel]["frames"], strict=True):
                for key in ("image", "index_image"):
                    prefix = "data:image/png;base64,"
                    assert inline[key].startswith(prefix)
                    assert (
                        base64.b64decode(inline[key][len(prefix) :])
                        == request(server, frame[key].replace("<", "%3c").replace(">", "%3e"))[2]
                    )
    thumb = tree["sprites/walk.orv"]["thumbnail"]
    assert thumb == doc["animations"]["sprites/walk.orv"]["frames"][0]["image"]

    # An existing page is kept unless replaced on purpose.
    assert main(["view", str(root), "--static", str(out)]) == 1
    assert "already exists" in capfd.readouterr().err
    assert main(["view", str(root), "--static", str(out), "--force"]) == 0


def test_view_refuses_what_it_cannot_serve(tmp_path, capfd):
    from orvtool.cli import main

    assert main(["view", str(tmp_path / "missing"), "--no-browser"]) == 1
    assert capfd.readouterr().err.strip() == f"orvtool: {tmp_path / 'missing'}: not a folder or an animation file"
    with pytest.raises(SystemExit):
        main(["view", str(tmp_path), "--port", "70000"])
    assert "--port: must be from 0 to 65535, not 70000" in capfd.readouterr().err
    root = make_tree(tmp_path)
    with running(root) as server:
        assert main(["view", str(root), "--no-browser", "--port", str(server.server_port)]) == 1
        assert f"cannot listen on 127.0.0.1:{server.server_port}" in capfd.readouterr().err


@pytest.mark.skipif(sys.platform == "win32", reason="Ctrl-C is sent as SIGINT")
@pytest.mark.parametrize("quiet, target", [(False, ""), (True, ""), (False, "sprites/still.orv")])
def test_command_prints_its_address_serves_and_stops_cleanly_on_ctrl_c(tmp_path, quiet, target):
    """A folder is served; an animation file, from its folder, selected."""
    root = make_tree(tmp_path)
    proc = subprocess.Popen(
        [sys.executable, "-m", "orvtool", "view", str(root / target), "--no-browser"] + (["--quiet"] if quiet else []),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    assert proc.stdout is not None
    try:
        line = proc.stdout.readline()
        served, selected = (root / "sprites", "#still.orv") if target else (root, "")
        match = re.match(
            rf"orvtool view: serving {re.escape(str(served))} at http://127\.0\.0\.1:(\d+)/{selected} \(Ctrl-C to stop\)$",
            line.strip(),
        )
        assert match, line
        port = int(match.group(1))

        class Address:
            server_port = port

        assert request(Address, "/api/anim/" + ("still.orv" if target else "sprites/still.orv"))[0] == 200
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert proc.returncode == 0, err
    assert out.strip() == ("" if quiet else "orvtool view: stopped")
    assert "Traceback" not in err


@pytest.mark.parametrize(
    "stored, live, static",
    [
        # missing palettes, named where the search looked
        ("{base}/gone/x.pal", "looked for '../gone/x.pal' from ./up", f"looked for '{OUTSIDE}' from ./up"),
        ("../../gone/x.pal", "looked for '../gone/x.pal' from ./up", f"looked for '{OUTSIDE}' from ./up"),
        ("{root}/pal/none.pal", "looked for 'pal/none.pal' from ./up", "looked for 'pal/none.pal' from ./up"),
        ("C:\\game\\x.pal", "looked for 'C:\\game\\x.pal' from ./up", f"looked for '{OUTSIDE}' from ./up"),
        # the core's words: a folder found where the palette should be, a search that fails
        ("{base}/outside", "Could not open palette file: ../outside;", f"Could not open palette file: {OUTSIDE};"),
        ("loop/x.pal", "[up/loop/x.pal]", "[up/loop/x.pal]"),
    ],
)
def test_paths_in_errors_are_shown_from_the_folder_and_the_static_page_names_none_outside(
    tmp_path, stored, live, static
):
    root = make_tree(tmp_path)
    location = stored.format(base=tmp_path, root=root).encode()
    write_project(root, "up/a.orv", Animation(frames=[figure()], palette_path=location))
    (root / "up" / "loop").symlink_to(root / "up" / "loop")
    for catalog, expected in ((Catalog(str(root)), live), (Catalog(str(root), outside=OUTSIDE), static)):
        shown = catalog.get("up/a.orv")
        assert shown is not None and shown.error is not None
        assert expected in shown.error, shown.error
        doc = shown.document(lambda kind, i: "")
        said = json.dumps({k: v for k, v in doc.items() if k != "export_command"})  # names the folder given
        assert str(tmp_path) not in said
        if catalog.outside:  # nothing leads out of the folder: no `..`, no absolute path of another system
            assert "../" not in said and "C:" not in said, said
    # The command line names the same paths as the loader had them.
    try:
        told = [f.message for f in load_animation(str(root / "up" / "a.orv")).findings]
    except LoadError as exc:
        told = [f.message for f in exc.findings]
    assert any(str(tmp_path) in text for text in told), told


# --- clients that read slowly, or not at all, or go ------------------------------

GUARD = 120  # seconds: only against a hang, never a verdict
# The viewer in a process of its own, its address space bounded: a load of
# the heavy file and a few dozen connections fit well within it.
SERVE = """
import resource, sys
if {limit_mb}:
    resource.setrlimit(resource.RLIMIT_AS, ({limit_mb} << 20, {limit_mb} << 20))
from orvtool.report import status
from orvtool.view.catalog import Catalog
from orvtool.view.server import ViewServer
status.set_level(verbose=sys.argv[3] == "verbose")
server = ViewServer(Catalog(sys.argv[1]), answer_timeout=float(sys.argv[2]))
print(server.server_port, flush=True)
try:
    server.serve_forever()
except KeyboardInterrupt:
    pass
"""


def proc_status(pid, key):
    """A number of /proc/PID/status: kB for the sizes."""
    with open(f"/proc/{pid}/status") as fh:
        return next(int(line.split()[1]) for line in fh if line.startswith(key + ":"))


def wait_for(condition):
    for _ in range(GUARD * 20):
        if condition():
            return
        threading.Event().wait(0.05)
    raise AssertionError("the server never got there")


def ask(port, path, rcvbuf=None):
    """A connection that has sent the request for `path`."""
    conn = socket.socket()
    if rcvbuf:
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    conn.settimeout(GUARD)
    conn.connect(("127.0.0.1", port))
    conn.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode())
    return conn


def reset(conn):
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
    conn.close()


def silent(port, answer, held):
    """32 requests for the heavy answer, each read for one byte: the server
    has made the answer and is writing it to all of them."""
    held += [ask(port, "/api/anim/heavy.orv", rcvbuf=4096) for _ in range(32)]
    assert all(conn.recv(1) == b"H" for conn in held)


def trickle(port, answer, held):
    """A reader taking 1 KB at a time is cut off at the answer's deadline,
    long before it has the whole."""
    conn = ask(port, "/api/anim/heavy.orv", rcvbuf=4096)
    held.append(conn)
    got = 0
    for _ in range(GUARD * 20):
        try:
            chunk = conn.recv(1024)
        except ConnectionResetError:
            break
        if not chunk:
            break
        got += len(chunk)
        threading.Event().wait(0.05)
    else:
        raise AssertionError("a trickling reader was served for minutes")
    assert got < len(answer)


def resets(port, answer, held):
    """Connections reset in the middle of their request or of its answer."""
    for _ in range(16):
        conn = ask(port, "/api/anim/heavy.orv", rcvbuf=4096)
        assert conn.recv(1) == b"H"
        reset(conn)
        conn = socket.create_connection(("127.0.0.1", port), timeout=GUARD)
        conn.sendall(b"GET /api/an")
        reset(conn)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.parametrize(
    "clients, answer_timeout, level",
    [(silent, 600.0, ""), (trickle, 2.0, ""), (resets, 600.0, ""), (resets, 600.0, "verbose")],
)
def test_slow_and_vanishing_clients_cost_one_answer_and_no_traceback(tmp_path, clients, answer_timeout, level):
    """Whatever the clients do, the server holds one copy of an answer that
    they all ask for, still answers a normal request in full, closes a
    connection whose answer is not taken within its deadline, and says
    nothing of connections that break (with --verbose, one line each)."""
    from hostile import SANITIZED, memory_limit_mb

    root = tmp_path / "tree"
    write_project(root, "heavy.orv", Animation(frames=[figure(i % 50, i % 30) for i in range(15000)]))
    env = dict(os.environ, MALLOC_ARENA_MAX="2")  # the address space of threads' heaps, bounded
    code = SERVE.format(limit_mb=0 if SANITIZED else 2048)
    proc = subprocess.Popen(
        [sys.executable, "-c", code, str(root), str(answer_timeout), level],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )
    assert proc.stdout is not None
    held: list[socket.socket] = []
    try:
        port = int(proc.stdout.readline())
        threads = proc_status(proc.pid, "Threads")

        class Address:
            server_port = port

        status, _, answer = request(Address, "/api/anim/heavy.orv")
        assert status == 200 and len(json.loads(answer)["frames"]) == 15000
        loaded = proc_status(proc.pid, "VmHWM")  # the load, its answer made and written once
        clients(port, answer, held)
        assert request(Address, "/api/anim/heavy.orv")[2] == answer
        grown = proc_status(proc.pid, "VmHWM") - loaded
        assert grown < memory_limit_mb(24) << 10, f"{grown} kB more for the clients"
        for conn in held:
            conn.close()
        wait_for(lambda: proc_status(proc.pid, "Threads") == threads)  # every connection ended
    finally:
        for conn in held:
            conn.close()
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=GUARD)
    said = err.splitlines()
    assert proc.returncode == 0 and "Traceback" not in err and len(said) <= 32
    assert all(
        re.fullmatch(r"orvtool view: the connection from 127\.0\.0\.1:\d+ ended: \S.*", line) for line in said
    ), said
    assert (said != []) == (level == "verbose"), err


def test_a_server_without_room_answers_503_with_retry_after_and_goes_on(tmp_path):
    root = make_tree(tmp_path)
    for name in ("heavy", "other"):  # answers of 1.3 MB
        write_project(root, f"{name}.orv", Animation(frames=[figure(i % 50, i % 30) for i in range(6000)]))
    server = ViewServer(Catalog(str(root)), max_builds=1, build_wait=0.0, answer_bytes=1)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        whole = request(server, "/api/anim/heavy.orv")[2]
        with server.build():  # a build under way: no turn for another
            busy = [request(server, "/api/anim/heavy.orv"), request(server, "/api/image/0/sprites/walk.orv")]
            assert request(server, "/api/tree")[0] == 200  # made without a build
        slow = ask(server.server_port, "/api/anim/other.orv", rcvbuf=4096)
        assert slow.recv(1) == b"H"  # a long answer being written: no room for another
        busy.append(request(server, "/api/anim/heavy.orv"))
        assert [request(server, p)[0] for p in ("/api/anim/other.orv", "/api/anim/sprites/walk.orv")] == [200, 200]
        reset(slow)
        wait_for(lambda: server.writing == 0)
        assert request(server, "/api/anim/heavy.orv")[2] == whole
    finally:
        server.shutdown()
        server.server_close()
    assert [(status, headers["Retry-After"], body[:24]) for status, headers, body in busy] == [
        (503, "1", b"too many answers being m"),
        (503, "1", b"too many answers being m"),
        (503, "1", b"too many answers being w"),
    ]


def test_the_cache_counts_the_bytes_its_animations_hold_and_drops_the_longest_unused(tmp_path, monkeypatch):
    """An entry counts the file's bytes that its records keep (here 16 KB a
    frame that is listed, not drawn), the pixels, PNG files and answers it
    holds, and the estimate of the records; the budget drops whole entries,
    the longest unused first."""
    root = make_tree(tmp_path)
    empty = Frame(width=16000, rows=[Row() for _ in range(16000)])
    for name in "abc":
        write_project(root, f"{name}.orv", Animation(frames=[figure()] + [empty] * 4))
    catalog = orvtool.view.catalog

    def counted(shown):
        runs = sum(f.runs for f in shown.doc.frames)
        records = len(shown.doc.frames) * catalog.FRAME_BYTES + runs * catalog.RUN_BYTES
        return (root / shown.rel).stat().st_size + 4 * 5 * 3 + records

    one = counted(Catalog(str(root)).get("a.orv"))
    assert one > 4 * 16000  # mostly the file's bytes
    cache = Catalog(str(root), cache_bytes=2 * one)
    loads = counted_loads(monkeypatch)
    for rel in ("a", "b", "a", "c", "a", "b", "a"):
        shown = cache.get(rel + ".orv")
        assert shown is not None and shown.size == counted(shown)
    assert [os.path.basename(a[0]) for a in loads] == ["a.orv", "b.orv", "c.orv", "b.orv"]
    assert shown is not None  # a.orv, the last used

    # What an entry makes counts as it is made: the answer kept drops the other entry.
    png = shown.png("image", 0)
    body = shown.answer(("anim",), lambda: b"x" * 1000)
    assert png is not None and shown.size == counted(shown) - 60 + len(png) + 1000
    cache.trim()
    assert cache.get("a.orv") is shown and len(loads) == 4  # kept: the last used
    assert cache.get("b.orv") is not None and len(loads) == 5 and shown.answer(("anim",), bytes) is body

    # The document's answer, made a frame at a time, is the document's JSON byte for byte.
    for rel in cache.names():
        shown = cache.get(rel)
        assert shown is not None

        def url(kind, i, rel=rel):
            return f"/api/{kind}/{i}/{rel}"

        assert shown.document_json(url) == json.dumps(shown.document(url)).encode(), rel
