"""A folder of animations for the viewer tests, and the viewer's server run in
a thread of the test process."""

import http.client
import os
import threading
from contextlib import contextmanager
from pathlib import Path

from orvtool import _native
from orvtool.core.orvfile import Animation, encode_animation
from orvtool.view.catalog import Catalog
from orvtool.view.server import ViewServer
from orvtool_samples import figure, walk, write_project

# The sanitized suite preloads the ASan runtime into every process it starts;
# a browser and its driver must not inherit it.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


def load_error(path) -> str:
    """The message the viewer shows for a broken file: the reasons of the
    core's load report, in its order."""
    report = _native.load_report(str(path), records=False)
    assert report["diagnostics"], f"{path} loads without a finding"
    return "; ".join(d["message"] for d in report["diagnostics"])


def make_tree(tmp_path: Path) -> Path:
    """tmp_path/tree holds a good animation, two broken ones, a symbolic link
    out of the tree and one within it; tmp_path/outside an animation that the
    viewer must not show."""
    root = tmp_path / "tree"
    write_project(root, "sprites/walk.orv", walk())
    write_project(root, "sprites/still.orv", Animation(frames=[figure()], speed=7))
    whole = encode_animation(Animation(frames=walk().frames, palette_path=b"pal/test.pal"))
    (root / "sprites" / "cut.orv").write_bytes(whole[: len(whole) - 5])
    write_project(root, "sprites/nopal.orv", Animation(frames=[figure()], palette_path=b"pal/missing.pal"))
    outside = write_project(tmp_path / "outside", "secret.orv", Animation(frames=[figure(9, 9)]))
    os.symlink(outside, root / "sprites" / "link.orv")
    os.symlink(root / "sprites" / "walk.orv", root / "again.orv")
    return root


@contextmanager
def running(root):
    """A viewer server for `root` on a free port, serving from a thread."""
    server = ViewServer(Catalog(str(root)))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield server
    finally:
        server.shutdown()
        server.server_close()
        thread.join(timeout=10)


def request(server, path, method="GET", host=None):
    """(status, headers, body) of one request, sent as written: no client
    tidies the path on the way."""
    conn = http.client.HTTPConnection("127.0.0.1", server.server_port, timeout=30)
    try:
        conn.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
        conn.putheader("Host", host or f"127.0.0.1:{server.server_port}")
        conn.endheaders()
        response = conn.getresponse()
        return response.status, dict(response.getheaders()), response.read()
    finally:
        conn.close()


def counted_loads(monkeypatch):
    """The calls that open an animation's frames from now on, as a list that grows."""
    loads = []
    real = _native.open_frames

    def counted(*a, **kw):
        loads.append(a)
        return real(*a, **kw)

    monkeypatch.setattr(_native, "open_frames", counted)
    return loads
