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
here; every answer says that it is for this origin only.

What a client costs is bounded, however slowly it reads or writes. A
connection whose request has not come whole within REQUEST_TIMEOUT seconds is
closed, however slowly its bytes trickle in, and so is one whose answer has
not been taken whole within ANSWER_TIMEOUT seconds of its first byte (an
event stream: each write within REQUEST_TIMEOUT). At most MAX_CONNECTIONS
connections are served at once (others are closed at once) and at most
MAX_STREAMS event streams (others get 503). At most MAX_BUILDS requests load,
render or encode at once; one that waits BUILD_WAIT seconds for its turn gets
503 with Retry-After. Answers are made once and shared: the PNG files and the
animation's document are kept with the loaded animation (counted in the
catalog's budget) and written from there to every request for them, in
chunks; the answers of more than WRITE_CHUNK bytes being written at once take
at most ANSWER_BYTES, one shared by several requests counted once (past it,
503 with Retry-After), and the system holds at most SEND_BUFFER bytes of each
that its client has not taken. A connection that breaks or is reset is said in one
line with --verbose, never with a traceback.

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
import struct
import sys
import threading
import time
import webbrowser
from contextlib import contextmanager
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import TYPE_CHECKING, Dict, Iterator, List, Optional, TextIO, Tuple, Union
from urllib.parse import parse_qsl, quote, unquote, urlsplit

from orvtool.core import writing
from orvtool.model import limits
from orvtool.model.errors import OrvToolError
from orvtool.model.findings import one_line
from orvtool.report import status
from orvtool.view.catalog import OUTSIDE, Catalog, JSONObject, Listing, Shown, data_url, tree_entry

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer, WriteableBuffer

# A request as the server hands it to its handler: the connection's socket.
Request = Union[socket.socket, Tuple[bytes, socket.socket]]

HOST = "127.0.0.1"
PAGE_DIR = os.path.dirname(os.path.abspath(__file__))
PAGE_FILES = {
    "index.html": "text/html; charset=utf-8",
    "app.js": "text/javascript; charset=utf-8",
    "style.css": "text/css; charset=utf-8",
}
DATA_SLOT = '<script id="orv-data" type="application/json"></script>'
# Seconds a connection has to send a whole request (its line and headers),
# and then to take its whole answer.
REQUEST_TIMEOUT = limits.VIEW_REQUEST_SECONDS
ANSWER_TIMEOUT = limits.VIEW_ANSWER_SECONDS
# Connections served at once, and event streams open at once, among them.
MAX_CONNECTIONS = limits.VIEW_CONNECTIONS
MAX_STREAMS = limits.VIEW_STREAMS
# Requests that load, render or encode at once, and the seconds one waits for
# its turn before it gets 503.
MAX_BUILDS = limits.VIEW_BUILDS
BUILD_WAIT = limits.VIEW_BUILD_WAIT
# Answers are written in chunks of this many bytes; those longer than one
# chunk being written at once take at most ANSWER_BYTES. The system holds at
# most SEND_BUFFER bytes of an answer not yet taken, per connection.
WRITE_CHUNK = limits.VIEW_ANSWER_CHUNK
SEND_BUFFER = limits.VIEW_SEND_BUFFER
ANSWER_BYTES = limits.VIEW_ANSWER_BYTES
# What a 503 for a busy server asks the client to wait, in seconds.
RETRY_AFTER = "1"
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


class Busy(Exception):
    """A request that the server has no room for now (503, Retry-After)."""


class AnswerTimeout(TimeoutError):
    """An answer not taken whole by its deadline."""


class ViewServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(
        self,
        catalog: Catalog,
        port: int = 0,
        timeout: float = REQUEST_TIMEOUT,
        max_connections: int = MAX_CONNECTIONS,
        max_streams: int = MAX_STREAMS,
        answer_timeout: float = ANSWER_TIMEOUT,
        max_builds: int = MAX_BUILDS,
        build_wait: float = BUILD_WAIT,
        answer_bytes: int = ANSWER_BYTES,
        env: Optional[status.Environment] = None,
    ) -> None:
        self.catalog = catalog
        # The handlers' threads start without the command's context: they
        # print as the environment the server was made in says.
        self.env = env or status.current()
        self.max_connections = max_connections
        self.max_streams = max_streams
        self.connections = 0
        self.streams = 0
        self._count_lock = threading.Lock()
        self.closing = threading.Event()  # ends the event streams
        self._said = threading.Lock()  # one line at a time on the error stream
        self._builds = threading.BoundedSemaphore(max_builds)
        self.build_wait = build_wait
        self.answer_bytes = answer_bytes
        self.writing = 0  # bytes of the answers being written that count
        self._writing: Dict[int, Tuple[bytes, int]] = {}  # id -> the answer, the requests writing it
        self._tree_lock = threading.Lock()
        self._tree: Optional[Tuple[Listing, bytes]] = None  # the last list of animations made, and its walk
        # The handler's class attributes set the deadlines of its connection.
        handler = type("ViewHandler", (ViewHandler,), {"timeout": timeout, "answer_timeout": answer_timeout})
        super().__init__((HOST, port), handler)
        self.hosts = {f"{HOST}:{self.server_port}", f"localhost:{self.server_port}"}

    def process_request(self, request: Request, client_address: object) -> None:
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

    def process_request_thread(self, request: Request, client_address: object) -> None:
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

    @contextmanager
    def build(self) -> Iterator[None]:
        """A turn to load, render or encode, waited for up to BUILD_WAIT
        seconds; else Busy."""
        if not self._builds.acquire(timeout=self.build_wait):
            raise Busy("too many answers being made")
        try:
            yield
        finally:
            self._builds.release()

    def hold(self, body: bytes) -> bool:
        """Counts `body` among the answers being written (once, however many
        requests write it); False when it would take them past the budget.
        An answer of one chunk is not counted, nor one alone."""
        if len(body) <= WRITE_CHUNK:
            return True
        with self._count_lock:
            held = self._writing.get(id(body))
            if held is not None:
                self._writing[id(body)] = (body, held[1] + 1)
                return True
            if self._writing and self.writing + len(body) > self.answer_bytes:
                return False
            self._writing[id(body)] = (body, 1)
            self.writing += len(body)
            return True

    def release(self, body: bytes) -> None:
        """`body` written (or given up) by one request that `hold` counted."""
        if len(body) <= WRITE_CHUNK:
            return
        with self._count_lock:
            _, requests = self._writing[id(body)]
            self._writing[id(body)] = (body, requests - 1)
            if requests == 1:
                del self._writing[id(body)]
                self.writing -= len(body)

    def tree(self) -> bytes:
        """The list of animations as JSON, made once per walk of the folder."""
        listing = self.catalog.listing()
        with self._tree_lock:
            if self._tree is None or self._tree[0] is not listing:
                self._tree = (listing, json.dumps(self.catalog.tree()).encode("utf-8"))
            return self._tree[1]

    def handle_error(self, request: Request, client_address: object) -> None:
        """A connection that failed outside a request's own handling: one
        that broke, was reset or ran past a deadline is said in one line with
        --verbose; anything else in one line. Never a traceback."""
        exc = sys.exc_info()[1]
        if isinstance(exc, OSError):
            self.ended(client_address, exc)
        else:
            where = _address(client_address)
            print(f"orvtool view: {where}: internal error: {type(exc).__name__}: {exc}", file=self.env.err, flush=True)

    def ended(self, client_address: object, exc: OSError) -> None:
        """Says, with --verbose, in one line, that the connection from
        `client_address` broke, was reset or ran past a deadline."""
        if self.env.verbosity >= status.VERBOSE:
            told = exc.strerror or str(exc) or type(exc).__name__
            line = f"orvtool view: the connection from {_address(client_address)} ended: {told}\n"
            with self._said:  # connections end on threads of their own: each line whole
                self.env.err.write(line)
                self.env.err.flush()

    def shutdown(self) -> None:
        self.closing.set()
        super().shutdown()

    def server_close(self) -> None:
        self.closing.set()
        super().server_close()

    @property
    def url(self) -> str:
        return f"http://{HOST}:{self.server_port}/"


def _address(client_address: object) -> str:
    if isinstance(client_address, tuple) and len(client_address) >= 2:
        return f"{client_address[0]}:{client_address[1]}"
    return "a client"


class _DeadlineReader(io.RawIOBase):
    """The connection's bytes, read until the handler's deadline at the
    latest: each read waits only for what is left of the time."""

    def __init__(self, sock: socket.socket, handler: "ViewHandler") -> None:
        self.sock = sock
        self.handler = handler

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: WriteableBuffer) -> int:
        left = self.handler.deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("the request did not come whole in time")
        self.sock.settimeout(left)
        return self.sock.recv_into(buffer)


class _DeadlineWriter(io.BufferedIOBase):
    """The connection's answer, written in chunks until the handler's answer
    deadline at the latest: each chunk waits only for what is left of the
    time, so that a client taking a byte now and then cannot hold the
    connection longer."""

    def __init__(self, sock: socket.socket, handler: "ViewHandler") -> None:
        self.sock = sock
        self.handler = handler

    def writable(self) -> bool:
        return True

    def write(self, data: ReadableBuffer) -> int:
        view = memoryview(data).cast("B")
        for start in range(0, len(view), WRITE_CHUNK):
            left = self.handler.answer_deadline - time.monotonic()
            if left <= 0:
                raise AnswerTimeout("the answer was not taken whole in time")
            self.sock.settimeout(left)
            self.sock.sendall(view[start : start + WRITE_CHUNK])
        return len(view)


class ViewHandler(BaseHTTPRequestHandler):
    server: ViewServer
    server_version = "orvtool-view"
    protocol_version = "HTTP/1.1"
    deadline = 0.0
    answer_timeout = ANSWER_TIMEOUT
    answer_deadline = 0.0

    def setup(self) -> None:
        super().setup()
        self.rfile = io.BufferedReader(_DeadlineReader(self.connection, self))
        self.wfile = _DeadlineWriter(self.connection, self)
        try:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, SEND_BUFFER)
        except OSError:
            pass  # the system's own size

    def handle_one_request(self) -> None:
        # The time runs from the end of the last answer: the whole request,
        # however it trickles in, must come within it.
        self.deadline = time.monotonic() + (self.timeout or REQUEST_TIMEOUT)
        self.answer_deadline = self.deadline + self.answer_timeout  # for the answer to a request out of form
        super().handle_one_request()

    def _abort(self) -> None:
        """Ends the connection at once, the answer's unsent bytes dropped."""
        self.close_connection = True
        try:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass

    # --- answers ----------------------------------------------------------

    def end_headers(self) -> None:
        # On every answer, the errors the base class sends included.
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Cross-Origin-Resource-Policy", "same-origin")
        super().end_headers()

    def _send(self, status: int, body: bytes, content_type: str, extra: Optional[Dict[str, str]] = None) -> None:
        if not self.server.hold(body):
            self._busy("too many answers being written")
            return
        try:
            self._answer(status, body, content_type, extra)
        finally:
            self.server.release(body)

    def _busy(self, text: str) -> None:
        body = (text + "\n").encode("utf-8")
        self._answer(HTTPStatus.SERVICE_UNAVAILABLE, body, "text/plain; charset=utf-8", {"Retry-After": RETRY_AFTER})

    def _answer(self, status: int, body: bytes, content_type: str, extra: Optional[Dict[str, str]] = None) -> None:
        # The whole answer, however slowly it is taken, within its time.
        self.answer_deadline = time.monotonic() + self.answer_timeout
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

    def _json(self, doc: object) -> None:
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
        except Busy as exc:
            self._busy(str(exc))
        except (ConnectionError, TimeoutError) as exc:
            self._abort()  # the browser went away, or did not take the answer in time
            self.server.ended(self.client_address, exc)
        except Exception as exc:  # one request fails, the server goes on
            said = one_line(f"orvtool view: {path}: internal error: {type(exc).__name__}: {exc}")
            print(said, file=sys.stderr, flush=True)
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
            self._send(HTTPStatus.OK, self.server.tree(), "application/json")
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

                def url(k: str, i: int) -> str:
                    return api_url(k, rest, i, palette)

                body: Optional[bytes] = None
                with self.server.build():
                    shown = catalog.get(rest, palette)
                    if shown is not None and kind == "anim":  # made once, for every request for it
                        body = shown.answer(("anim", rest, palette), functools.partial(shown.document_json, url))
                        catalog.trim()
                    elif shown is not None:
                        body = json.dumps(tree_entry(rest, shown, url)).encode("utf-8")
                if body is not None:
                    self._send(HTTPStatus.OK, body, "application/json")
                    return
            elif kind in ("image", "index") and "/" in rest:
                number, rel = rest.split("/", 1)
                if not FRAME_NUMBER.fullmatch(number):
                    raise BadRequest("a frame number is 1 to 9 digits")
                with self.server.build():
                    shown = catalog.get(rel, palette)
                    png = shown.png(kind, int(number)) if shown is not None else None
                    catalog.trim()
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
            self.answer_deadline = time.monotonic() + (self.timeout or REQUEST_TIMEOUT)
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
                    self.answer_deadline = time.monotonic() + (self.timeout or REQUEST_TIMEOUT)  # per write
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

    def log_message(self, format: str, *args: object) -> None:  # noqa: A002 - the base class's name
        pass  # the terminal shows the address and errors, not every request


def folder_of(path: str) -> Tuple[str, Optional[str]]:
    """The folder to serve for `path` and the animation to select in it: a
    folder is served as it is; an animation file, from its own folder."""
    if os.path.isdir(path):
        return path, None
    if os.path.isfile(path):
        return os.path.dirname(path) or os.curdir, os.path.basename(path)
    raise OrvToolError("not a folder or an animation file", category="not_an_animation")


def serve(path: str, port: int = 0, open_browser: bool = True, out: TextIO = sys.stdout, quiet: bool = False) -> int:
    """Serves the page for the animations under the folder `path` (or the
    folder of the animation file `path`, with that file selected) until
    interrupted; `quiet` leaves out the line that says it stopped."""
    root, selected = folder_of(path)
    catalog = Catalog(root)
    if selected is not None and catalog.resolve(selected) is None:
        raise OrvToolError("not an animation file the viewer can show", category="not_an_animation")
    try:
        server = ViewServer(catalog, port)
    except OSError as exc:
        raise OrvToolError(
            f"cannot listen on {HOST}:{port}: {exc.strerror or exc}", category="option_invalid"
        ) from None
    url = server.url + ("#" + quote(selected) if selected else "")
    try:  # from the line that says it serves on, Ctrl-C or SIGTERM stops it
        print(one_line(f"orvtool view: serving {root} at {url} (Ctrl-C to stop)"), file=out, flush=True)
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
                f"{os.path.join(out, existing[0])} already exists; nothing written (use --force to replace)",
                category="output_exists",
            )
    catalog = Catalog(root, outside=OUTSIDE)  # the page may travel: it names nothing outside the folder
    entries = []
    animations: Dict[str, JSONObject] = {}
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
        raise OrvToolError("the page has no place for its data", category="internal_error")
    html = html.replace(DATA_SLOT, DATA_SLOT.replace("></", ">" + inline + "</"))
    pages = {"index.html": html.encode("utf-8"), "app.js": page_file("app.js"), "style.css": page_file("style.css")}
    files = [(os.path.join(out, name), writing.bytes_writer(body)) for name, body in pages.items()]
    # Without --force none was there: a link that appears meanwhile is not followed.
    writing.place_set(files, [] if force else [top] * len(files))
    return len(animations)


def _inline_png(shown: Shown, kind: str, frame: int) -> str:
    return data_url(shown.png(kind, frame) or b"")
