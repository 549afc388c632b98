"""`orvtool view`: a local page that browses and plays the animations under a folder.

The server is the standard library's threading HTTP server, bound to
127.0.0.1. It answers GET requests only, for the page's three files and for
its API:

    /api/tree                  every animation with its thumbnail and error
    /api/anim/<path>           one animation: header values, frame table, palette
    /api/image/<frame>/<path>  one frame as an RGBA PNG (the export's PNG)
    /api/index/<frame>/<path>  its index layer (grey = palette index, alpha = covered)

<path> is relative to the folder, "/"-separated and percent-encoded; anything
that does not name an animation file inside the folder gets 404. Requests
whose Host is not this server's own address are refused, so that a web page
cannot reach the server through a name of its own that resolves here.

`write_static` writes the same page with all its data inline, to open from
file:// without a server.
"""

from __future__ import annotations

import functools
import json
import os
import sys
import threading
import webbrowser
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Dict, Optional, TextIO
from urllib.parse import quote, unquote, urlsplit

from .. import writing
from ..errors import OrvToolError
from .catalog import Catalog, Shown, data_url, tree_entry

HOST = "127.0.0.1"
PAGE_DIR = os.path.dirname(os.path.abspath(__file__))
PAGE_FILES = {
    "index.html": "text/html; charset=utf-8",
    "app.js": "text/javascript; charset=utf-8",
    "style.css": "text/css; charset=utf-8",
}
DATA_SLOT = '<script id="orv-data" type="application/json"></script>'
# The page loads nothing from anywhere else.
CSP = "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'"


def page_file(name: str) -> bytes:
    with open(os.path.join(PAGE_DIR, name), "rb") as fh:
        return fh.read()


def api_url(kind: str, rel: str, frame: Optional[int] = None) -> str:
    where = quote(rel, safe="/")
    return f"/api/{kind}/{where}" if frame is None else f"/api/{kind}/{frame}/{where}"


class ViewServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, catalog: Catalog, port: int = 0) -> None:
        self.catalog = catalog
        super().__init__((HOST, port), ViewHandler)
        self.hosts = {f"{HOST}:{self.server_port}", f"localhost:{self.server_port}"}

    @property
    def url(self) -> str:
        return f"http://{HOST}:{self.server_port}/"


class ViewHandler(BaseHTTPRequestHandler):
    server: ViewServer
    server_version = "orvtool-view"
    protocol_version = "HTTP/1.1"

    # --- answers ----------------------------------------------------------

    def _send(self, status: int, body: bytes, content_type: str, extra: Optional[Dict[str, str]] = None) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Content-Security-Policy", CSP)
        for key, value in (extra or {}).items():
            self.send_header(key, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _json(self, doc: Any) -> None:
        self._send(HTTPStatus.OK, json.dumps(doc).encode("utf-8"), "application/json")

    def _fail(self, status: int, text: str) -> None:
        self._send(status, (text + "\n").encode("utf-8"), "text/plain; charset=utf-8")

    def _refuse(self) -> None:
        self._send(HTTPStatus.METHOD_NOT_ALLOWED, b"only GET\n", "text/plain; charset=utf-8", {"Allow": "GET"})

    do_POST = do_PUT = do_DELETE = do_PATCH = do_HEAD = do_OPTIONS = do_TRACE = do_CONNECT = _refuse

    def do_GET(self) -> None:
        if self.headers.get("Host", "") not in self.server.hosts:
            self._fail(HTTPStatus.FORBIDDEN, "unknown host")
            return
        try:
            path = unquote(urlsplit(self.path).path, errors="strict")
        except UnicodeDecodeError:
            self._fail(HTTPStatus.NOT_FOUND, "not found")
            return
        try:
            self._route(path)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the browser went away
        except Exception as exc:  # one request fails, the server goes on
            print(f"orvtool view: {path}: internal error: {type(exc).__name__}: {exc}", file=sys.stderr, flush=True)
            self._fail(HTTPStatus.INTERNAL_SERVER_ERROR, "internal error")

    def _route(self, path: str) -> None:
        catalog = self.server.catalog
        if path == "/":
            path = "/index.html"
        name = path[1:]
        if name in PAGE_FILES:
            self._send(HTTPStatus.OK, page_file(name), PAGE_FILES[name])
            return
        if path == "/api/tree":
            self._json(catalog.tree(lambda rel, kind, i: api_url(kind, rel, i)))
            return
        parts = path.split("/", 3)  # "", "api", kind, rest
        if len(parts) == 4 and parts[1] == "api":
            kind, rest = parts[2], parts[3]
            if kind == "anim":
                shown = catalog.get(rest)
                if shown is not None:
                    self._json(shown.document(lambda k, i: api_url(k, rest, i)))
                    return
            elif kind in ("image", "index") and "/" in rest:
                number, rel = rest.split("/", 1)
                shown = catalog.get(rel) if number.isdigit() else None
                png = shown.png(kind, int(number)) if shown is not None else None
                if png is not None:
                    self._send(HTTPStatus.OK, png, "image/png")
                    return
        self._fail(HTTPStatus.NOT_FOUND, "not found")

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - the base class's name
        pass  # the terminal shows the address and errors, not every request


def serve(root: str, port: int = 0, open_browser: bool = True, out: TextIO = sys.stdout, quiet: bool = False) -> int:
    """Serves the page for the animations under `root` until interrupted;
    `quiet` leaves out the line that says it stopped."""
    if not os.path.isdir(root):
        raise OrvToolError("not a folder")
    try:
        server = ViewServer(Catalog(root), port)
    except OSError as exc:
        raise OrvToolError(f"cannot listen on {HOST}:{port}: {exc.strerror or exc}") from None
    print(f"orvtool view: serving {root} at {server.url} (Ctrl-C to stop)", file=out, flush=True)
    if open_browser:
        # Some browsers keep webbrowser.open waiting until they exit.
        threading.Thread(target=webbrowser.open, args=(server.url,), daemon=True).start()
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        if not quiet:
            print("orvtool view: stopped", file=out, flush=True)
    finally:
        server.server_close()
    return 0


def write_static(root: str, out: str, force: bool = False) -> int:
    """Writes the page with every animation under `root` inline (JSON in the
    page, images as data URLs), to open from file://. Returns the number of
    animations written."""
    if not os.path.isdir(root):
        raise OrvToolError("not a folder")
    if not force:
        existing = [n for n in PAGE_FILES if os.path.lexists(os.path.join(out, n))]
        if existing:
            raise OrvToolError(
                f"{os.path.join(out, existing[0])} already exists; nothing written (use --force to replace)"
            )
    catalog = Catalog(root)
    entries = []
    animations: Dict[str, Any] = {}
    # Each animation is loaded once, for its entry in the tree, its document
    # and its images.
    for rel in catalog.names():
        shown = catalog.get(rel)
        if shown is None:  # removed meanwhile
            continue
        url = functools.partial(_inline_png, shown)
        entries.append(tree_entry(rel, shown, url))
        animations[rel] = shown.document(url)
    doc = {"tree": {"root": catalog.root_name, "animations": entries}, "animations": animations}
    # "<" escaped, so that no text in the data can end the script element.
    inline = json.dumps(doc).replace("<", "\\u003c")
    html = page_file("index.html").decode("utf-8")
    if DATA_SLOT not in html:
        raise OrvToolError("the page has no place for its data")
    html = html.replace(DATA_SLOT, DATA_SLOT.replace("></", ">" + inline + "</"))
    pages = {"index.html": html.encode("utf-8"), "app.js": page_file("app.js"), "style.css": page_file("style.css")}
    writing.place_set([(os.path.join(out, name), writing.bytes_writer(body)) for name, body in pages.items()])
    return len(animations)


def _inline_png(shown: Shown, kind: str, frame: int) -> str:
    return data_url(shown.png(kind, frame) or b"")
