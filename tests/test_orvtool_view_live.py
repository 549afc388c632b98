"""orvtool view following its files: event streams, the bounds on connections
and streams, the deadline for a whole request, broken files kept."""

import json
import os
import socket
import threading

from view_helpers import counted_loads, make_tree, request, running

from orvtool.view.catalog import Catalog
from orvtool.view.server import ViewServer
from orvtool_samples import walk, write_project

GUARD = 60  # seconds: only against a hang


def open_stream(server, path):
    """(status, the answer's body as a file, the socket) of a request for `path`."""
    conn = socket.create_connection(("127.0.0.1", server.server_port), timeout=GUARD)
    conn.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{server.server_port}\r\n\r\n".encode())
    stream = conn.makefile("rb")
    status = int(stream.readline().split()[1])
    while stream.readline() not in (b"\r\n", b""):
        pass
    return status, stream, conn


def next_event(stream):
    name = None
    for line in stream:
        if line.startswith(b"event: "):
            name = line[7:].strip().decode()
        elif line.startswith(b"data: ") and name:
            return name, json.loads(line[6:])
    raise AssertionError("the stream ended")


def touch_later(path):
    st = os.stat(path)
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 10**9))


def test_events_follow_the_file_its_palette_and_the_tree(tmp_path):
    root = make_tree(tmp_path)
    with running(root) as server:
        assert request(server, "/api/anim/sprites/nopal.orv")[0] == 200  # as the page does, before it follows
        status, stream, conn = open_stream(server, "/api/events/sprites/nopal.orv")
        with conn, stream:
            assert status == 200
            (root / "pal" / "missing.pal").write_bytes((root / "pal" / "test.pal").read_bytes())  # turns up
            assert next_event(stream) == ("anim", {"path": "sprites/nopal.orv"})
            touch_later(root / "sprites" / "nopal.orv")
            assert next_event(stream) == ("anim", {"path": "sprites/nopal.orv"})
            write_project(root, "sprites/deep/new.orv", walk())
            assert next_event(stream) == ("tree", {})
        assert [request(server, p)[0] for p in ("/api/events/sprites/link.orv", "/api/events?x=1")] == [404, 400]


def test_connections_and_streams_are_bounded_and_requests_have_a_deadline(tmp_path):
    server = ViewServer(Catalog(str(make_tree(tmp_path))), timeout=1.0, max_connections=2, max_streams=1)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        status, stream, conn = open_stream(server, "/api/events")
        assert status == 200 and request(server, "/api/events")[0] == 503
        for _ in range(GUARD * 10):  # the refused request's connection ends
            if server.connections == 1:
                break
            threading.Event().wait(0.1)
        # A request trickling in a byte at a time, each well within a read's time,
        # is cut at the deadline; meanwhile a third connection fills the server.
        slow = socket.create_connection(("127.0.0.1", server.server_port), timeout=GUARD)
        extra = socket.create_connection(("127.0.0.1", server.server_port), timeout=GUARD)
        assert extra.recv(10) == b""  # closed unanswered
        cut = False
        for _ in range(200):  # 200 x 0.3 s: far past the deadline of 1 s
            try:
                slow.sendall(b"G")
                slow.settimeout(0.3)
                cut = slow.recv(10) == b""
            except socket.timeout:
                continue
            except OSError:
                cut = True
            if cut:
                break
        assert cut, "a request that never ended was read for a minute"
        for s in (extra, slow, stream, conn):
            s.close()
    finally:
        server.shutdown()
        server.server_close()


def test_broken_files_are_kept_until_they_change(tmp_path, monkeypatch):
    root = make_tree(tmp_path)
    (root / "sprites" / "empty.orv").write_bytes(b"")
    loads = counted_loads(monkeypatch)
    catalog = Catalog(str(root))

    def shown(rel):
        got = catalog.get(rel)
        assert got is not None
        return got

    for rel in ("sprites/cut.orv", "sprites/empty.orv"):
        assert shown(rel).error and shown(rel) is shown(rel)
    assert len(loads) == 2
    empty = shown("sprites/empty.orv").doc
    assert empty.export_command is None and empty.described is None  # nothing to export, no palette
    (root / "sprites" / "cut.orv").write_bytes((root / "sprites" / "walk.orv").read_bytes())
    touch_later(root / "sprites" / "cut.orv")
    assert shown("sprites/cut.orv").error is None and len(loads) == 3
