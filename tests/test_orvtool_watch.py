"""orvtool build --watch: the debounce fed batches of changes, what counts as
a source, and one watch run end to end."""

import contextlib
import io
import os
import queue
import signal
import subprocess
import sys
import threading
from pathlib import Path
from typing import Optional

import pytest

from orvtool.run import watching

ROOT = Path(__file__).resolve().parent.parent
GUARD = 60  # seconds: only against a hang


@pytest.mark.parametrize(
    "batches, expected",
    [
        # One save of several files, in batches close together: one build.
        ([(0.0, {"a"}), (0.1, {"b"}), (0.2, {"a", "c"}), (0.3, set()), (0.6, set())], [{"a", "b", "c"}]),
        # Not due until the quiet time has passed since the last change.
        ([(0.0, {"a"}), (0.2, set()), (0.29, set())], []),
        # Two saves apart: two builds.
        ([(0.0, {"a"}), (0.5, set()), (1.0, {"b"}), (1.1, set()), (1.4, set())], [{"a"}, {"b"}]),
        # A change keeps putting the build off; nothing is built twice.
        ([(0.0, {"a"}), (0.25, {"a"}), (0.5, {"a"}), (0.7, set()), (0.8, set()), (0.9, set())], [{"a"}]),
    ],
)
def test_batches_of_changes_settle_into_builds(batches, expected):
    debouncer = watching.Debouncer(0.3)
    due = [debouncer.feed(now, changed) for now, changed in batches]
    assert [d for d in due if d is not None] == expected


class Lines:
    """The lines a process writes on standard error, as they come."""

    def __init__(self, stream):
        self.seen = []
        self._queue: "queue.Queue[Optional[str]]" = queue.Queue()
        self.thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self.thread.start()

    def _read(self, stream):
        for line in stream:
            self._queue.put(line.rstrip("\n"))
        self._queue.put(None)

    def wait_for(self, text):
        while True:
            line = self._queue.get(timeout=GUARD)
            assert line is not None, f"ended before {text!r}: {self.seen}"
            self.seen.append(line)
            if text in line:
                return line


@contextlib.contextmanager
def watched(argv, **streams):
    """`argv` in a process of its own and the lines it writes (on standard
    error, or on standard output where that takes both) as they come; the
    process killed and reaped however the block ends."""
    proc = subprocess.Popen(argv, text=True, **streams)
    stream = proc.stderr if proc.stderr is not None else proc.stdout
    assert stream is not None
    lines = Lines(stream)
    try:
        yield proc, lines
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        lines.thread.join(timeout=GUARD)
        stream.close()


def save(path, data):
    """As an editor saves: a new file put in the old one's place."""
    tmp = path.with_name(path.name + ".part")
    tmp.write_bytes(data)
    os.replace(tmp, path)


def test_a_watch_rebuilds_says_a_broken_save_keeps_the_output_and_ends_with_130(tmp_path):
    orvtool = [sys.executable, "-m", "orvtool"]
    examples = tmp_path / "examples"
    subprocess.run(
        [*orvtool, "export", str(ROOT / "examples" / "objects" / "hero" / "walk.orv"), "-o", str(tmp_path / "walk")],
        check=True,
        capture_output=True,
    )
    out = tmp_path / "walk.orv"
    with watched(
        [*orvtool, "build", str(tmp_path / "walk"), "-o", str(out), "--watch", "--project-root", str(examples)],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
    ) as (proc, lines):
        assert lines.wait_for("build 1 ").endswith("(start): built")
        lines.wait_for("watching")
        first = out.read_bytes()
        frames = tmp_path / "walk"
        save(frames / "frame_000.png", (frames / "frame_001.png").read_bytes())
        assert lines.wait_for("build 2 ").endswith("(frame_000.png changed): built")
        second = out.read_bytes()
        assert second != first
        # An image half written: said, and the output stays the last good one.
        save(frames / "frame_000.png", (frames / "frame_002.png").read_bytes()[:60])
        assert lines.wait_for("build 3 ").endswith("failed; what failed keeps the output of its last good build")
        assert any("frame_000.png" in line for line in lines.seen[-3:-1])
        assert out.read_bytes() == second
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=GUARD) == 130
        assert lines.wait_for("stopped watching") == "orvtool: stopped watching after 3 builds"


def fails_once_built(fault):
    """A build that builds once, then fails by `fault` each time."""
    from orvtool.commands.build import build_once

    built: list[str] = []

    def build(args):
        if built and fault == "the gif cut short":
            gif = Path(args.paths[0])
            gif.write_bytes(gif.read_bytes()[: len(gif.read_bytes()) * 3 // 5])
        elif built:
            raise IndexError("index out of range")
        built.append(args.output)
        return build_once(args)

    return build


@pytest.mark.parametrize("fault", ["the gif cut short", "a fault of the build"])
def test_a_failed_rebuild_of_any_kind_keeps_the_watch_and_the_output(tmp_path, capfd, fault):
    from orvtool.cli import build_parser, main
    from orvtool_samples import walk, write_project

    assert main(["export", str(write_project(tmp_path, "w.orv", walk())), "-o", str(tmp_path / "x"), "--gif"]) == 0
    out, gif = tmp_path / "out.orv", tmp_path / "x" / "preview.gif"
    args = build_parser(["build"]).parse_args(
        ["build", str(gif), "-o", str(out), "--palette", str(tmp_path / "pal" / "test.pal")]
    )
    said = io.StringIO()
    rebuild = watching.Rebuild(args, fails_once_built(fault), said)
    assert rebuild("start") == 0
    first = out.read_bytes()
    # The loop's step for each settled change: a failure is said, and the loop goes on.
    assert watching.follow([(0.0, {str(gif)}), (1.0, set()), (2.0, {str(gif)}), (3.0, set())], rebuild, 0) == 1
    assert rebuild.count == 3 and said.getvalue().count("failed; what failed keeps") == 2
    err = capfd.readouterr().err
    assert "Traceback" not in err and ("internal error: IndexError" in err) == (fault == "a fault of the build")
    assert out.read_bytes() == first


@pytest.mark.parametrize(
    "command, ready, code, last",
    [
        (["build", "{src}", "-o", "{out}.orv", "--watch"], "watching", 128 + 15, "stopped watching after 1 build"),
        (["view", "{src}", "--no-browser"], "serving", 0, "orvtool view: stopped"),
    ],
)
def test_sigterm_stops_what_runs_until_stopped_as_ctrl_c_does(tmp_path, command, ready, code, last):
    src = tmp_path / "walk"
    subprocess.run(
        [sys.executable, "-m", "orvtool", "export", str(ROOT / "examples" / "objects" / "hero" / "walk.orv")]
        + ["-o", str(src)],
        check=True,
        capture_output=True,
    )
    argv = [a.format(src=src, out=tmp_path / "walk") for a in command]
    with watched([sys.executable, "-m", "orvtool", *argv], stdout=subprocess.PIPE, stderr=subprocess.STDOUT) as (
        proc,
        lines,
    ):
        lines.wait_for(ready)
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=GUARD) == code
        lines.wait_for(last)
        assert not any("Traceback" in line for line in lines.seen)
