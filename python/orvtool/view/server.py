"""`orvtool view`: a local page that browses and plays the animations under a folder.

The server is the standard library's threading HTTP server, bound to
127.0.0.1. It answers GET requests only, for the page's three files and for
its API:

    /api/tree                  the animation files under the folder, by name
                               (a walk of the folder; nothing is loaded)
    /api/palettes              the palette files under the folder
    /api/entry/<path>          one animation as the tree shows it: frame count,
                               error and the address of its thumbnail
    /api/anim/<path>           one animation: header values, frame table, palette
    /api/image/<frame>/<path>  one frame as an RGBA PNG (the export's PNG)
    /api/index/<frame>/<path>  its index layer (grey = palette index, alpha = covered)
    /api/events[/<path>]       server-sent events: "tree" when animation files come
                               or go, "anim" when the file <path> (or the palette
                               it is drawn with) changes

<path> is relative to the folder, "/"-separated and percent-encoded; anything
that does not name an animation file inside the folder gets 404. The last
four take `?palette=<path>`, a palette file of /api/palettes to draw with
instead of the one the animation names; any other palette, or any other
query, gets 400, as does a frame number that is not 1 to 9 ASCII digits.
Requests whose Host is not this server's own address are refused, so that a
web page cannot reach the server through a name of its own that resolves
here; every answer says that it is for this origin only. A connection whose
request has not come whole within REQUEST_TIMEOUT seconds is closed, however
slowly its bytes trickle in. At most MAX_CONNECTIONS connections are served at
once (others are closed at once) and at most MAX_STREAMS event streams (others
get 503).

`write_static` writes the same page with all its data inline, to open from
file:// without a server.
"""

from __future__ import annotations

import functools
import io
import json
import os
import re
import select
import socket
import sys
import threading
import time
import webbrowser
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Dict, List, Optional, TextIO, Tuple
from urllib.parse import parse_qsl, quote, unquote, urlsplit

from .. import writing
from ..errors import OrvToolError
from .catalog import OUTSIDE, Catalog, Shown, data_url, tree_entry

HOST = "127.0.0.1"
PAGE_DIR = os.path.dirname(os.path.abspath(__file__))
PAGE_FILES = {
    "index.html": "text/html; charset=utf-8",
    "app.js": "text/javascript; charset=utf-8",
    "style.css": "text/css; charset=utf-8",
}
DATA_SLOT = '<script id="orv-data" type="application/json"></script>'
# Seconds a connection has to send a whole request (its line and headers).
REQUEST_TIMEOUT = 10.0
# Connections served at once, and event streams open at once, among them.
MAX_CONNECTIONS = 64
MAX_STREAMS = 16
# Seconds between two looks of an event stream at its files, and between two
# comments that keep it open (and find a page gone).
EVENT_POLL = 0.25
EVENT_KEEPALIVE = 15.0
FRAME_NUMBER = re.compile(r"[0-9]{1,9}")
# The page loads nothing from anywhere else.
CSP = "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'"


def page_file(name: str) -> bytes:
    with open(os.path.join(PAGE_DIR, name), "rb") as fh:
        return fh.read()


def api_url(kind: str, rel: str, frame: Optional[int] = None, palette: Optional[str] = None) -> str:
    where = quote(rel, safe="/")
    url = f"/api/{kind}/{where}" if frame is None else f"/api/{kind}/{frame}/{where}"
    return url if palette is None else f"{url}?palette={quote(palette, safe='/')}"


class BadRequest(Exception):
    """A request that names things in a form the API does not take (400)."""


class ViewServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(
        self,
        catalog: Catalog,
        port: int = 0,
        timeout: float = REQUEST_TIMEOUT,
        max_connections: int = MAX_CONNECTIONS,
        max_streams: int = MAX_STREAMS,
    ) -> None:
        self.catalog = catalog
        self.max_connections = max_connections
        self.max_streams = max_streams
        self.connections = 0
        self.streams = 0
        self._count_lock = threading.Lock()
        self.closing = threading.Event()  # ends the event streams
        # The handler's class attribute sets the timeout of its connection.
        handler = type("ViewHandler", (ViewHandler,), {"timeout": timeout})
        super().__init__((HOST, port), handler)
        self.hosts = {f"{HOST}:{self.server_port}", f"localhost:{self.server_port}"}

    def process_request(self, request: Any, client_address: Any) -> None:
        with self._count_lock:
            full = self.connections >= self.max_connections
            if not full:
                self.connections += 1
        if full:
            self.shutdown_request(request)  # closed unanswered: the page's own connections are few
            return
        try:
            super().process_request(request, client_address)
        except BaseException:
            with self._count_lock:
                self.connections -= 1
            raise

    def process_request_thread(self, request: Any, client_address: Any) -> None:
        try:
            super().process_request_thread(request, client_address)
        finally:
            with self._count_lock:
                self.connections -= 1

    def open_stream(self) -> bool:
        with self._count_lock:
            if self.streams >= self.max_streams:
                return False
            self.streams += 1
            return True

    def close_stream(self) -> None:
        with self._count_lock:
            self.streams -= 1

    def shutdown(self) -> None:
        self.closing.set()
        super().shutdown()

    def server_close(self) -> None:
        self.closing.set()
        super().server_close()

    @property
    def url(self) -> str:
        return f"http://{HOST}:{self.server_port}/"


class _DeadlineReader(io.RawIOBase):
    """The connection's bytes, read until the handler's deadline at the
    latest: each read waits only for what is left of the time."""

    def __init__(self, sock: socket.socket, handler: "ViewHandler") -> None:
        self.sock = sock
        self.handler = handler

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        left = self.handler.deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("the request did not come whole in time")
        self.sock.settimeout(left)
        return self.sock.recv_into(buffer)


class ViewHandler(BaseHTTPRequestHandler):
    server: ViewServer
    server_version = "orvtool-view"
    protocol_version = "HTTP/1.1"
    deadline = 0.0

    def setup(self) -> None:
        super().setup()
        self.rfile = io.BufferedReader(_DeadlineReader(self.connection, self))

    def handle_one_request(self) -> None:
        # The time runs from the end of the last answer: the whole request,
        # however it trickles in, must come within it.
        self.deadline = time.monotonic() + (self.timeout or REQUEST_TIMEOUT)
        super().handle_one_request()

    def parse_request(self) -> bool:
        ok = super().parse_request()
        self.connection.settimeout(self.timeout)  # the answer has the usual time per write
        return ok

    # --- answers ----------------------------------------------------------

    def end_headers(self) -> None:
        # On every answer, the errors the base class sends included.
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Cross-Origin-Resource-Policy", "same-origin")
        super().end_headers()

    def _send(self, status: int, body: bytes, content_type: str, extra: Optional[Dict[str, str]] = None) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
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
            parts = urlsplit(self.path)
            path = unquote(parts.path, errors="strict")
        except (UnicodeDecodeError, ValueError):
            self._fail(HTTPStatus.NOT_FOUND, "not found")
            return
        try:
            self._route(path, parts.query)
        except BadRequest as exc:
            self._fail(HTTPStatus.BAD_REQUEST, str(exc))
        except (BrokenPipeError, ConnectionResetError):
            pass  # the browser went away
        except Exception as exc:  # one request fails, the server goes on
            print(f"orvtool view: {path}: internal error: {type(exc).__name__}: {exc}", file=sys.stderr, flush=True)
            self._fail(HTTPStatus.INTERNAL_SERVER_ERROR, "internal error")

    def _route(self, path: str, query: str) -> None:
        catalog = self.server.catalog
        if path == "/":
            path = "/index.html"
        name = path[1:]
        if name in PAGE_FILES:
            self._send(HTTPStatus.OK, page_file(name), PAGE_FILES[name])
            return
        if path == "/favicon.ico":  # the page names none; a browser asks all the same
            self._send(HTTPStatus.NO_CONTENT, b"", "image/x-icon")
            return
        if path == "/api/tree":
            self._json(catalog.tree())
            return
        if path == "/api/palettes":
            self._json({"palettes": catalog.palettes()})
            return
        if path == "/api/events" or path.startswith("/api/events/"):
            rel = path[len("/api/events/") :] if path.startswith("/api/events/") else None
            palette = self._palette(query)
            if rel is not None and catalog.resolve(rel) is None:
                self._fail(HTTPStatus.NOT_FOUND, "not found")
                return
            self._events(rel, palette)
            return
        parts = path.split("/", 3)  # "", "api", kind, rest
        if len(parts) == 4 and parts[1] == "api":
            kind, rest = parts[2], parts[3]
            palette = self._palette(query)
            if kind in ("anim", "entry"):
                shown = catalog.get(rest, palette)
                if shown is not None:

                    def url(k: str, i: int) -> str:
                        return api_url(k, rest, i, palette)

                    self._json(shown.document(url) if kind == "anim" else tree_entry(rest, shown, url))
                    return
            elif kind in ("image", "index") and "/" in rest:
                number, rel = rest.split("/", 1)
                if not FRAME_NUMBER.fullmatch(number):
                    raise BadRequest("a frame number is 1 to 9 digits")
                shown = catalog.get(rel, palette)
                png = shown.png(kind, int(number)) if shown is not None else None
                if png is not None:
                    self._send(HTTPStatus.OK, png, "image/png")
                    return
        self._fail(HTTPStatus.NOT_FOUND, "not found")

    def _events(self, rel: Optional[str], palette: Optional[str]) -> None:
        """Server-sent events until the page goes or the server stops: "tree"
        when the animation files under the folder change, "anim" when the
        file `rel` or its palette does."""
        server = self.server
        if not server.open_stream():
            self._fail(HTTPStatus.SERVICE_UNAVAILABLE, "too many event streams")
            return
        try:
            # What the page has seen: taken before it is told the stream is open.
            catalog = server.catalog
            names = catalog.names()
            stamp = catalog.stamp(rel, palette) if rel is not None else None
            self.close_connection = True
            self.send_response(HTTPStatus.OK)
            self.send_header("Content-Type", "text/event-stream")
            self.send_header("Cache-Control", "no-store")
            self.send_header("Content-Security-Policy", CSP)
            self.end_headers()
            self.wfile.write(b"retry: 1000\n\n")
            self.wfile.flush()
            quiet_since = time.monotonic()
            while not server.closing.wait(EVENT_POLL):
                if self._gone():
                    break
                sent: List[bytes] = []
                now_names = catalog.names()
                if now_names != names:
                    names = now_names
                    sent.append(b"event: tree\ndata: {}\n\n")
                if rel is not None:
                    now_stamp = catalog.stamp(rel, palette)
                    if now_stamp != stamp:
                        stamp = now_stamp
                        sent.append(b"event: anim\ndata: " + json.dumps({"path": rel}).encode("utf-8") + b"\n\n")
                if not sent and time.monotonic() - quiet_since >= EVENT_KEEPALIVE:
                    sent.append(b": still here\n\n")
                if sent:
                    self.wfile.write(b"".join(sent))
                    self.wfile.flush()
                    quiet_since = time.monotonic()
        finally:
            server.close_stream()

    def _gone(self) -> bool:
        """Whether the page closed the connection (it sends nothing on a stream)."""
        readable, _, _ = select.select([self.connection], [], [], 0)
        if not readable:
            return False
        try:
            return bool(self.connection.recv(1, socket.MSG_PEEK) == b"")
        except OSError:
            return True

    def _palette(self, query: str) -> Optional[str]:
        """The palette a query chooses: one of the folder's palettes, or None."""
        if not query:
            return None
        try:
            fields = parse_qsl(query, keep_blank_values=True, strict_parsing=True, errors="strict", max_num_fields=2)
        except (ValueError, UnicodeDecodeError):
            raise BadRequest("not a query this server takes") from None
        if len(fields) != 1 or fields[0][0] != "palette":
            raise BadRequest("the only query is palette=<path>")
        if self.server.catalog.palette(fields[0][1]) is None:
            raise BadRequest("not a palette file of the folder")
        return fields[0][1]

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - the base class's name
        pass  # the terminal shows the address and errors, not every request


def folder_of(path: str) -> Tuple[str, Optional[str]]:
    """The folder to serve for `path` and the animation to select in it: a
    folder is served as it is; an animation file, from its own folder."""
    if os.path.isdir(path):
        return path, None
    if os.path.isfile(path):
        return os.path.dirname(path) or os.curdir, os.path.basename(path)
    raise OrvToolError("not a folder or an animation file")


def serve(path: str, port: int = 0, open_browser: bool = True, out: TextIO = sys.stdout, quiet: bool = False) -> int:
    """Serves the page for the animations under the folder `path` (or the
    folder of the animation file `path`, with that file selected) until
    interrupted; `quiet` leaves out the line that says it stopped."""
    root, selected = folder_of(path)
    catalog = Catalog(root)
    if selected is not None and catalog.resolve(selected) is None:
        raise OrvToolError("not an animation file the viewer can show")
    try:
        server = ViewServer(catalog, port)
    except OSError as exc:
        raise OrvToolError(f"cannot listen on {HOST}:{port}: {exc.strerror or exc}") from None
    url = server.url + ("#" + quote(selected) if selected else "")
    try:  # from the line that says it serves on, Ctrl-C or SIGTERM stops it
        print(f"orvtool view: serving {root} at {url} (Ctrl-C to stop)", file=out, flush=True)
        if open_browser:
            # Some browsers keep webbrowser.open waiting until they exit.
            threading.Thread(target=webbrowser.open, args=(url,), daemon=True).start()
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
    animations written. A palette outside the folder is not named in it."""
    root = folder_of(root)[0]
    top = os.path.realpath(out)  # where the page's files were checked to go
    if not force:
        existing = [n for n in PAGE_FILES if os.path.lexists(os.path.join(out, n))]
        if existing:
            raise OrvToolError(
                f"{os.path.join(out, existing[0])} already exists; nothing written (use --force to replace)"
            )
    catalog = Catalog(root, outside=OUTSIDE)  # the page may travel: it names nothing outside the folder
    entries = []
    animations: Dict[str, Any] = {}
    # Each animation is loaded once, for its entry in the tree, its document
    # and its images.
    for rel in catalog.names():
        shown = catalog.get(rel)
        if shown is None:  # removed meanwhile
            continue
        url = functools.partial(_inline_png, shown)
        animations[rel] = shown.document(url)
        entries.append(dict(tree_entry(rel, shown, url), error=animations[rel]["error"]))
    doc = {"tree": {"root": catalog.root_name, "animations": entries}, "animations": animations}
    # "<" escaped, so that no text in the data can end the script element.
    inline = json.dumps(doc).replace("<", "\\u003c")
    html = page_file("index.html").decode("utf-8")
    if DATA_SLOT not in html:
        raise OrvToolError("the page has no place for its data")
    html = html.replace(DATA_SLOT, DATA_SLOT.replace("></", ">" + inline + "</"))
    pages = {"index.html": html.encode("utf-8"), "app.js": page_file("app.js"), "style.css": page_file("style.css")}
    files = [(os.path.join(out, name), writing.bytes_writer(body)) for name, body in pages.items()]
    # Without --force none was there: a link that appears meanwhile is not followed.
    writing.place_set(files, [] if force else [top] * len(files))
    return len(animations)


def _inline_png(shown: Shown, kind: str, frame: int) -> str:
    return data_url(shown.png(kind, frame) or b"")
