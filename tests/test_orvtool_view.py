"""orvtool view: the server's API in-process, the static page, the command."""

import base64
import importlib.metadata
import io
import json
import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from PIL import Image
from view_helpers import load_error, make_tree, request, running

import orvtool.view
import pyorv
from orvtool import to_numpy
from orvtool.exporting import ExportOptions, export_animation
from orvtool.formats.sidecar import frame_file_names
from orvtool.orvfile import Animation, Frame, encode_palette
from orvtool.view.catalog import Catalog
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
        entries = {e["path"]: e for e in tree["animations"]}
        # the link out of the tree is left out; the one within it is shown
        assert list(entries) == [
            "again.orv",
            "sprites/cut.orv",
            "sprites/nopal.orv",
            "sprites/still.orv",
            "sprites/walk.orv",
        ]
        assert entries["sprites/walk.orv"]["error"] is None and entries["sprites/walk.orv"]["frames"] == 3
        for name in ("cut", "nopal"):
            entry = entries[f"sprites/{name}.orv"]
            assert entry["error"] == load_error(root / "sprites" / f"{name}.orv")
            assert entry["thumbnail"] is None
        # the core's own words: the frame cut short, the palette searched for
        assert entries["sprites/cut.orv"]["error"].startswith("frame 2 is cut short: the file ends inside its record")
        assert entries["sprites/nopal.orv"]["error"].startswith(
            "palette not found: no 'pal/missing.pal' in the animation's folder"
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
        assert doc["export_command"] == f"orvtool export {root}/sprites/walk.orv -o out/walk"
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
    assert roomy.get("sprites/cut.orv") is not roomy.get("sprites/cut.orv")  # broken: tried again

    tight = Catalog(str(root), cache_bytes=walk_.size)  # room for one of the two
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
        "/api/image/-1/sprites/walk.orv",
        "/api/image/x/sprites/walk.orv",
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

    def broken(self, rel):
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
    assert capfd.readouterr().err.strip() == f"orvtool: {tmp_path / 'missing'}: not a folder"
    with pytest.raises(SystemExit):
        main(["view", str(tmp_path), "--port", "70000"])
    assert "--port: must be from 0 to 65535, not 70000" in capfd.readouterr().err
    root = make_tree(tmp_path)
    with running(root) as server:
        assert main(["view", str(root), "--no-browser", "--port", str(server.server_port)]) == 1
        assert f"cannot listen on 127.0.0.1:{server.server_port}" in capfd.readouterr().err


@pytest.mark.skipif(sys.platform == "win32", reason="Ctrl-C is sent as SIGINT")
@pytest.mark.parametrize("quiet", [False, True])
def test_command_prints_its_address_serves_and_stops_cleanly_on_ctrl_c(tmp_path, quiet):
    root = make_tree(tmp_path)
    proc = subprocess.Popen(
        [sys.executable, "-m", "orvtool", "view", str(root), "--no-browser"] + (["--quiet"] if quiet else []),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    assert proc.stdout is not None
    try:
        line = proc.stdout.readline()
        match = re.match(r"orvtool view: serving .* at http://127\.0\.0\.1:(\d+)/ \(Ctrl-C to stop\)$", line.strip())
        assert match, line
        port = int(match.group(1))

        class Address:
            server_port = port

        assert request(Address, "/api/anim/sprites/still.orv")[0] == 200
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert proc.returncode == 0, err
    assert out.strip() == ("" if quiet else "orvtool view: stopped")
    assert "Traceback" not in err
