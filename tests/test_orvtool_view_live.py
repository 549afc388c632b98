"""orvtool view following its files: the event streams, the bounds on
connections and streams, the deadline for a whole request, broken files kept
by what they depend on."""

import json
import os
import socket
import threading
from contextlib import contextmanager

import pytest
from view_helpers import make_tree, request, running

import orvtool._native
from orvtool.orvfile import Animation, encode_animation
from orvtool.view.catalog import Catalog
from orvtool.view.server import ViewServer
from orvtool_samples import figure, walk, write_project

GUARD = 60  # seconds: only against a hang


@contextmanager
def serving(root, **limits):
    server = ViewServer(Catalog(str(root)), **limits)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield server
    finally:
        server.shutdown()
        server.server_close()
        thread.join(timeout=10)


def open_stream(server, path):
    """A connection with the request for `path` sent and the answer's head
    read: (status, a file to read the events from, the socket)."""
    conn = socket.create_connection(("127.0.0.1", server.server_port), timeout=GUARD)
    conn.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{server.server_port}\r\n\r\n".encode())
    stream = conn.makefile("rb")
    status = int(stream.readline().split()[1])
    while stream.readline() not in (b"\r\n", b""):
        pass
    return status, stream, conn


def next_event(stream):
    """The name and data of the next event (comments and the retry field skipped)."""
    name, data = None, None
    for line in stream:
        line = line.decode().rstrip("\n")
        if line.startswith("event: "):
            name = line[len("event: ") :]
        elif line.startswith("data: "):
            data = json.loads(line[len("data: ") :])
        elif not line and name:
            return name, data
    raise AssertionError("the stream ended")


def touch_later(path, seconds=1):
    st = os.stat(path)
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + seconds * 10**9))


def test_events_say_when_the_open_file_its_palette_or_the_tree_changes(tmp_path):
    root = make_tree(tmp_path)
    with serving(root) as server:
        assert request(server, "/api/anim/sprites/still.orv")[0] == 200  # as the page does, before it follows
        status, stream, conn = open_stream(server, "/api/events/sprites/still.orv")
        with conn, stream:
            assert status == 200
            write_project(root, "sprites/still.orv", Animation(frames=[figure(4, 4)], speed=8))
            touch_later(root / "sprites" / "still.orv")
            assert next_event(stream) == ("anim", {"path": "sprites/still.orv"})
            touch_later(root / "pal" / "test.pal")  # the palette it is drawn with
            assert next_event(stream) == ("anim", {"path": "sprites/still.orv"})
            write_project(root, "sprites/deep/new.orv", walk())
            assert next_event(stream) == ("tree", {})
        # A file that is not there has no stream; the tree's stream needs no file.
        assert request(server, "/api/events/sprites/gone.orv")[0] == 404
        assert request(server, "/api/events/sprites/still.orv?x=1")[0] == 400
        status, stream, conn = open_stream(server, "/api/events")
        with conn, stream:
            assert status == 200
            (root / "sprites" / "deep" / "new.orv").unlink()
            assert next_event(stream) == ("tree", {})


def test_a_missing_palette_that_turns_up_is_an_event_for_the_broken_file(tmp_path):
    root = make_tree(tmp_path)
    with serving(root) as server:
        assert json.loads(request(server, "/api/anim/sprites/nopal.orv")[2])["error"]
        status, stream, conn = open_stream(server, "/api/events/sprites/nopal.orv")
        with conn, stream:
            (root / "pal" / "missing.pal").write_bytes((root / "pal" / "test.pal").read_bytes())
            assert next_event(stream) == ("anim", {"path": "sprites/nopal.orv"})
        assert json.loads(request(server, "/api/anim/sprites/nopal.orv")[2])["error"] is None


def test_connections_and_event_streams_are_bounded(tmp_path):
    root = make_tree(tmp_path)
    with serving(root, max_connections=3, max_streams=1) as server:
        status, events, stream_conn = open_stream(server, "/api/events")
        assert status == 200
        assert request(server, "/api/events")[0] == 503  # one stream at most
        # Two more connections that say nothing fill the server: the next is closed unanswered.
        held = [socket.create_connection(("127.0.0.1", server.server_port), timeout=GUARD) for _ in range(2)]
        extra = socket.create_connection(("127.0.0.1", server.server_port), timeout=GUARD)
        extra.sendall(b"GET /api/tree HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % server.server_port)
        assert extra.recv(100) == b""
        extra.close()
        events.close()
        for conn in [*held, stream_conn]:
            conn.close()
        # Once they are gone, the server answers again (and a stream may open).
        for _ in range(GUARD * 10):
            if server.connections == 0 and server.streams == 0:
                break
            threading.Event().wait(0.1)
        assert request(server, "/api/tree")[0] == 200


def test_a_request_trickling_in_is_cut_at_its_deadline(tmp_path):
    """One byte at a time, each well within the time a read may take: the
    whole request still has to come within the deadline."""
    root = make_tree(tmp_path)
    with serving(root, timeout=1.0) as server:
        conn = socket.create_connection(("127.0.0.1", server.server_port), timeout=GUARD)
        request_bytes = b"GET /api/tree HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nX-Slow: %s\r\n\r\n" % (
            server.server_port,
            b"a" * 200,
        )
        closed = threading.Event()
        with conn:
            for byte in request_bytes:
                try:
                    conn.sendall(bytes([byte]))
                except OSError:  # reset by the server
                    closed.set()
                    break
                if closed.wait(0.3):
                    break
                conn.setblocking(False)
                try:
                    if conn.recv(100) == b"":
                        closed.set()
                except BlockingIOError:
                    pass
                except OSError:
                    closed.set()
                finally:
                    conn.setblocking(True)
            assert closed.is_set(), "the server read a request that took 60 s to come"
        assert server.catalog.scans == 0


def test_broken_files_are_kept_until_they_or_their_palette_change(tmp_path, monkeypatch):
    root = make_tree(tmp_path)
    (root / "sprites" / "empty.orv").write_bytes(b"")
    loads = []
    real = orvtool._native.open_frames

    def counted(*a):
        loads.append(a[0])
        return real(*a)

    monkeypatch.setattr(orvtool._native, "open_frames", counted)
    catalog = Catalog(str(root))
    for rel in ("sprites/cut.orv", "sprites/nopal.orv", "sprites/empty.orv"):
        first = catalog.get(rel)
        assert first is not None and first.error and catalog.get(rel) is first
    assert len(loads) == 3
    # An empty file offers no export and has no palette to show.
    empty = catalog.get("sprites/empty.orv")
    assert empty is not None and empty.doc["export_command"] is None and "palette" not in empty.doc
    # Saved whole, the cut file loads again.
    whole = encode_animation(Animation(frames=walk().frames, palette_path=b"pal/test.pal"))
    (root / "sprites" / "cut.orv").write_bytes(whole)
    touch_later(root / "sprites" / "cut.orv")
    again = catalog.get("sprites/cut.orv")
    assert again is not None and again.error is None and len(loads) == 4


@pytest.mark.parametrize("rel", ["sprites/walk.orv", "again.orv"])
def test_the_stamp_follows_the_file_and_the_palette_it_was_drawn_with(tmp_path, rel):
    root = make_tree(tmp_path)
    catalog = Catalog(str(root))
    catalog.get(rel)
    before = catalog.stamp(rel)
    assert before is not None and catalog.stamp(rel) == before
    touch_later(root / "pal" / "test.pal")
    assert catalog.stamp(rel) != before
    assert catalog.stamp("sprites/link.orv") is None  # leads out of the folder
    with running(root) as server:
        assert request(server, "/api/events/sprites/link.orv")[0] == 404
