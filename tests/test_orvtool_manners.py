"""Command-line manners: a closed pipe, option ranges, --quiet and --verbose,
notes once per file, outputs checked before anything is written."""

import contextlib
import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
from PIL import Image

from orvtool.cli import main
from orvtool.core.orvfile import Animation, frame_from_indices
from orvtool_build_helpers import write_rgba
from orvtool_samples import figure, walk, write_project


def run(capfd, *argv):
    code = main([str(a) for a in argv])
    out, err = capfd.readouterr()
    return code, out, err


def test_a_closed_pipe_ends_quietly_with_the_signal_status(tmp_path):
    for i in range(3):
        write_project(tmp_path, f"a{i}.orv", walk())
    proc = subprocess.Popen(
        [sys.executable, "-m", "orvtool", "info", str(tmp_path), "-j", "1"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    assert proc.stdout is not None
    proc.stdout.close()  # the reader is gone before the first line
    _, err = proc.communicate()
    assert proc.returncode == 128 + 13
    assert b"Traceback" not in err and b"BrokenPipe" not in err
    assert err.decode().strip() == ""


@pytest.mark.parametrize(
    "argv, message",
    [
        (["export", "X", "-o", "O", "--padding", "-5"], "--padding: must be from 0 to 1024, not -5"),
        (["export", "X", "-o", "O", "--fps", "1000"], "--fps: must be from 0.01 to 100"),
        (["export", "X", "-o", "O", "--fps", "0"], "--fps: must be above 0"),
        (["export", "X", "-o", "O", "--scale", "0"], "--scale: must be from 1 to 16"),
        (["export", "X", "-o", "O", "--matte", "nocolour"], "--matte: not a colour: 'nocolour'"),
        (["export", "X", "-o", "O", "--only", "sheet,movie"], "--only: parts are frames, sheet, gif, apng"),
        (["build", "X", "-o", "O", "--quantize", "300"], "--quantize: must be from 1 to 256, not 300"),
        (["build", "X", "-o", "O", "--speed", "-1"], "--speed: must be from 0 to 4294967295"),
        (["build", "X", "-o", "O", "--offset", "40000", "0"], "--offset: must be from -32768 to 32767"),
        (["palette", "X", "-o", "O", "--cell", "0"], "--cell: must be from 1 to 256"),
        (["info", "X", "--quiet", "--verbose"], "not allowed with argument"),
    ],
)
def test_option_values_are_checked_before_any_work(tmp_path, capfd, argv, message):
    with pytest.raises(SystemExit) as exc:
        main(argv)
    assert exc.value.code == 2
    assert message in capfd.readouterr().err


def test_the_fastest_gif_still_has_a_delay(tmp_path, capfd):
    path = write_project(tmp_path, "walk.orv", walk())
    code, _, _ = run(capfd, "export", path, "-o", tmp_path / "out", "--gif", "--fps", "100")
    assert code == 0
    with Image.open(tmp_path / "out" / "preview.gif") as gif:
        assert gif.info["duration"] == 10  # one hundredth of a second, the shortest a GIF holds
    code, _, _ = run(capfd, "export", path, "-o", tmp_path / "slow", "--gif", "--fps", "0.5")
    with Image.open(tmp_path / "slow" / "preview.gif") as gif:
        assert gif.info["duration"] == 2000


def many_coloured_frames(tmp_path, count):
    rng = np.random.default_rng(5)
    paths = []
    for i in range(count):
        a = rng.integers(0, 256, (4, 6, 4), dtype=np.uint8)
        a[..., 3] = 255
        write_rgba(tmp_path / f"f{i:02d}.png", a)
        paths.append(tmp_path / f"f{i:02d}.png")
    return paths


def test_notes_come_once_per_file_details_with_verbose_nothing_with_quiet(tmp_path, capfd):
    frames = many_coloured_frames(tmp_path, 30)
    pal = tmp_path / "q.pal"
    code, out, err = run(capfd, "build", *frames, "--quantize", "4", "--palette", pal, "-o", tmp_path / "a.orv")
    assert code == 0 and out.startswith("wrote ")
    notes = err.splitlines()
    assert notes[0] == f"orvtool: {tmp_path / 'a.orv'}: note: made a palette of 4 colours"
    assert (
        len(notes) == 2 and "720 pixels in 720 colours took the nearest palette colour, in 30 of 30 frames" in notes[1]
    )

    code, out, err = run(capfd, "build", *frames, "--palette", pal, "-o", tmp_path / "b.orv", "--verbose")
    lines = err.splitlines()
    assert code == 0 and len(lines) == 31
    assert (
        lines[1] == f"orvtool: {tmp_path / 'b.orv'}: frame 0: 24 pixels in 24 colours took the nearest palette colour"
    )

    code, out, err = run(capfd, "build", *frames, "--palette", pal, "-o", tmp_path / "c.orv", "-q")
    assert (code, out, err) == (0, "", "")
    code, out, err = run(capfd, "build", *frames, "--palette", pal, "-o", tmp_path / "c.orv", "-q")
    assert code == 1 and "already exists" in err  # errors still show


def test_two_inputs_for_one_output_folder_are_refused(tmp_path, capfd):
    a = write_project(tmp_path / "a", "walk.orv", walk())
    b = write_project(tmp_path / "b", "walk.orv", walk())
    code, out, err = run(capfd, "export", a, b, "-o", tmp_path / "out", "--force")
    assert code == 1 and out == ""
    assert err.strip() == (
        f"orvtool: {b}: would be exported to {tmp_path / 'out' / 'walk'}, as {a} is: nothing written "
        "(export them one at a time or from their folders)"
    )
    assert not (tmp_path / "out").exists()
    code, _, _ = run(capfd, "export", tmp_path / "a", tmp_path / "b", "-o", tmp_path / "out")  # folders keep them apart
    assert code == 0 and (tmp_path / "out" / "a" / "walk").is_dir() and (tmp_path / "out" / "b" / "walk").is_dir()


def test_force_replaces_an_export_whole(tmp_path, capfd):
    path = write_project(tmp_path, "walk.orv", walk())
    out = tmp_path / "out"
    assert run(capfd, "export", path, "-o", out, "--gif", "--sheet")[0] == 0
    (out / "mine.txt").write_text("not the export's")
    write_project(tmp_path, "walk.orv", Animation(frames=[figure()]))  # one frame now
    code, stdout, _ = run(capfd, "export", path, "-o", out, "--force")
    assert code == 0 and "8 left from an earlier export removed" in stdout
    assert sorted(p.name for p in out.iterdir()) == [
        "animation.json",
        "frame_000.index.png",
        "frame_000.png",
        "mine.txt",
    ]
    # a folder that holds no export keeps a sheet of its own name
    other = tmp_path / "other"
    other.mkdir()
    (other / "sheet.png").write_bytes(b"mine too")
    assert run(capfd, "export", path, "-o", other, "--force")[0] == 0
    assert (other / "sheet.png").read_bytes() == b"mine too"


def test_only_adds_parts_to_an_existing_export(tmp_path, capfd):
    path = write_project(tmp_path, "walk.orv", walk())
    out = tmp_path / "out"
    assert run(capfd, "export", path, "-o", out)[0] == 0
    before = {p.name: (p.read_bytes(), p.stat().st_mtime_ns) for p in out.iterdir()}
    code, stdout, _ = run(capfd, "export", path, "-o", out, "--only", "sheet,apng")
    assert code == 0 and stdout.strip() == f"wrote {out}{os.sep}: 3 frames, 4 files"
    after = {p.name: (p.read_bytes(), p.stat().st_mtime_ns) for p in out.iterdir()}
    assert sorted(set(after) - set(before)) == ["preview.apng", "sheet.index.png", "sheet.json", "sheet.png"]
    assert all(after[name] == before[name] for name in before)  # the rest untouched
    code, _, err = run(capfd, "export", path, "-o", out, "--only", "sheet")
    assert code == 1 and "sheet.png and 2 more already exist" in err
    # --force with --only replaces only the parts named, leaving the others
    assert run(capfd, "export", path, "-o", out, "--only", "gif", "--force")[0] == 0
    assert {"preview.apng", "sheet.png", "preview.gif"} <= {p.name for p in out.iterdir()}


def gif_pages(path):
    with Image.open(path) as gif:
        pages = []
        for i in range(gif.n_frames):  # type: ignore[attr-defined]  # animated formats add it
            gif.seek(i)
            pages.append(np.asarray(gif.convert("RGBA")).copy())
        return pages


def test_background_form_previews_frames_over_the_background(tmp_path, capfd):
    ground = frame_from_indices([[1] * 6] * 4, x_offset=0, y_offset=0)
    a = frame_from_indices([[2, None]], x_offset=1, y_offset=1)
    b = frame_from_indices([[None, 3]], x_offset=3, y_offset=2)
    colors = [(0, 0, 0, 255), (10, 100, 10, 255), (200, 0, 0, 255), (0, 0, 200, 255)]
    path = write_project(tmp_path, "bg.orv", Animation(frames=[ground, a, b], has_background=True), colors=colors)
    assert run(capfd, "export", path, "-o", tmp_path / "out", "--gif", "--apng")[0] == 0
    pages = gif_pages(tmp_path / "out" / "preview.gif")
    assert len(pages) == 2  # the background alone is not a page
    for page, (x, y, colour) in zip(pages, [(1, 1, colors[2]), (4, 2, colors[3])], strict=True):
        expected = np.tile(np.array(colors[1], np.uint8), (4, 6, 1))
        expected[y, x] = colour
        assert np.array_equal(page, expected)
    with Image.open(tmp_path / "out" / "preview.apng") as ap:
        assert ap.n_frames == 2  # type: ignore[attr-defined]  # animated formats add it
        ap.seek(1)
        assert tuple(np.asarray(ap.convert("RGBA"))[2, 4]) == colors[3]


def test_matte_blends_partial_alpha_and_scale_enlarges(tmp_path, capfd):
    colors = [(0, 0, 0, 255), (200, 100, 0, 60), (0, 0, 250, 200), (9, 9, 9, 255)]
    path = write_project(tmp_path, "t.orv", Animation(frames=[frame_from_indices([[1, 2, 3, None]])]), colors=colors)
    assert run(capfd, "export", path, "-o", tmp_path / "cut", "--gif")[0] == 0
    (cut,) = gif_pages(tmp_path / "cut" / "preview.gif")
    clear = (0, 0, 0, 0)
    assert [tuple(p) for p in cut[0]] == [clear, (0, 0, 250, 255), (9, 9, 9, 255), clear]  # alpha cut at 128
    assert (
        run(capfd, "export", path, "-o", tmp_path / "matte", "--gif", "--apng", "--matte", "#ffffff", "--scale", "2")[0]
        == 0
    )
    (matted,) = gif_pages(tmp_path / "matte" / "preview.gif")
    blend = lambda c, a: tuple((v * a + 255 * (255 - a) + 127) // 255 for v in c) + (255,)  # noqa: E731
    assert matted.shape == (2, 8, 4)
    assert [tuple(p) for p in matted[1, ::2]] == [
        blend((200, 100, 0), 60),
        blend((0, 0, 250), 200),
        (9, 9, 9, 255),
        clear,
    ]
    assert np.array_equal(matted[0], matted[1]) and np.array_equal(matted[:, 0], matted[:, 1])
    with Image.open(tmp_path / "matte" / "preview.apng") as ap:  # APNG keeps full alpha, scaled too
        got = np.asarray(ap.convert("RGBA"))
    assert got.shape == (2, 8, 4) and [tuple(p) for p in got[0, ::2]] == colors[1:] + [clear]


def test_a_gif_of_more_colours_than_a_palette_holds_keeps_transparency(tmp_path, capfd):
    colors = [(i, (i * 37) % 256, 255 - i, 255) for i in range(256)]  # 256 opaque + clear: 257 GIF entries
    rows: list[list[int | None]] = [[16 * y + x for x in range(16)] for y in range(16)]
    rows.append([None] * 16)
    path = write_project(tmp_path, "many.orv", Animation(frames=[frame_from_indices(rows)] * 2), colors=colors)
    assert run(capfd, "export", path, "-o", tmp_path / "out", "--gif")[0] == 0
    pages = gif_pages(tmp_path / "out" / "preview.gif")
    expected = np.array([[colors[i] for i in row if i is not None] for row in rows[:16]], np.int32)
    for page in pages:
        assert np.all(page[16, :, 3] == 0) and np.all(page[:16, :, 3] == 255)
        assert np.abs(page[:16].astype(np.int32) - expected).mean() < 4  # two colours share an entry at most


def test_options_that_do_not_fit_the_source_are_usage_errors(tmp_path, capfd):
    path = write_project(tmp_path, "walk.orv", walk())
    assert run(capfd, "export", path, "-o", tmp_path / "out")[0] == 0
    code, out, err = run(capfd, "build", tmp_path / "out", "-o", tmp_path / "b.orv", "--anchor", "center")
    assert (code, out) == (
        2,
        "",
    ) and err.strip() == "orvtool: error: --anchor is for plain PNG frames; an export folder has its own"
    code, _, err = run(capfd, "build", tmp_path / "out", tmp_path / "walk.orv", "-o", tmp_path / "b.orv")
    assert code == 2 and "is a folder: build takes one export folder or PNG frames" in err
    assert not (tmp_path / "b.orv").exists()


@pytest.mark.parametrize(
    "fmt, name",
    [
        ("PNG", "a PNG image"),
        ("GIF", "a GIF image"),
        ("JPEG", "a JPEG image"),
        ("BMP", "a BMP image"),
        ("WEBP", "a WebP image"),
        ("TIFF", "a TIFF image"),
    ],
)
def test_an_image_is_named_as_one_not_read_as_a_broken_animation(tmp_path, capfd, fmt, name):
    path = tmp_path / "walker.png"
    Image.new("RGB", (8, 8)).save(path, format=fmt)
    code, _, err = run(capfd, "info", path)
    assert (code, err.strip()) == (1, f"orvtool: {path}: {name}, not an animation file")


def test_messages_count_in_words_and_say_a_note_once(tmp_path, capfd):
    path = write_project(tmp_path / "proj", "one.orv", Animation(frames=[figure()]))
    code, out, _ = run(capfd, "export", path, "-o", tmp_path / "one")
    assert code == 0 and out.strip() == f"wrote {tmp_path / 'one'}/: 1 frame, 3 files"
    code, out, err = run(capfd, "palette", tmp_path / "proj" / "pal" / "test.pal", "-o", tmp_path / "p.gpl")
    assert "of 256 colours lose their alpha" in err and "256 colours as gpl" in out
    one_byte_more = write_project(tmp_path / "proj", "t.orv", Animation(frames=[figure()], trailing=b"\0"))
    code, out, _ = run(capfd, "info", one_byte_more)
    assert "1 byte after the last frame record, at byte 53, is not part of the animation" in out
    (tmp_path / "single.json").write_text('{"colors": [[1, 2, 3, 255]]}')
    code, out, _ = run(capfd, "palette", tmp_path / "single.json", "-o", tmp_path / "single.gpl")
    assert (code, out.strip()) == (0, f"wrote {tmp_path / 'single.gpl'}: 1 colour as gpl")

    # Three export folders built into one output folder, where the palette
    # is not found, share one note.
    for name in ("a", "b", "c"):
        assert run(capfd, "export", path, "-o", tmp_path / "tree" / name)[0] == 0
    code, _, err = run(capfd, "build", tmp_path / "tree", "-o", tmp_path / "built", "-j", "1")
    lines = err.splitlines()
    assert code == 0 and sum("warning: the stored palette path" in line for line in lines) == 1
    assert f"orvtool: {tmp_path / 'tree' / 'b'}, {tmp_path / 'tree' / 'c'}: warning: the same as for" in err


def test_build_into_a_folder_says_so_and_anchors_have_one_spelling(tmp_path, capfd):
    frame = tmp_path / "f.png"
    write_rgba(frame, np.full((4, 4, 4), 255, np.uint8))
    write_project(tmp_path, "x.orv", walk())
    (tmp_path / "dir").mkdir()
    argv = ["build", frame, "--palette", tmp_path / "pal" / "test.pal", "-o"]
    code, _, err = run(capfd, *argv, tmp_path / "dir")
    assert code == 1 and "is a folder: -o names the animation file to write" in err and "--force" not in err
    assert run(capfd, *argv, tmp_path / "c.orv", "--resize-anchor", "bottom-centre", "--anchor", "centre")[0] == 0
    with pytest.raises(SystemExit):
        main(["build", "--help"])
    help_text = capfd.readouterr().out
    assert "centre" not in help_text and "--resize-anchor {top-left,center,bottom-center}" in help_text


def test_ctrl_c_leaves_no_half_export_and_a_rerun_skips_the_finished_ones(tmp_path):
    rng = np.random.default_rng(3)
    frames = [frame_from_indices(rng.integers(1, 200, (100, 160)).tolist()) for _ in range(4)]
    first = write_project(tmp_path / "src", "a00.orv", Animation(frames=frames))
    for i in range(1, 10):
        (tmp_path / "src" / f"a{i:02d}.orv").write_bytes(first.read_bytes())
    out = tmp_path / "out"
    argv = [sys.executable, "-m", "orvtool", "export", str(tmp_path / "src"), "-o", str(out), "-j", "2", "--apng"]
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True, text=True)
    assert proc.stdout is not None and proc.stdout.readline().startswith("wrote ")  # said when it is finished
    os.killpg(proc.pid, signal.SIGINT)  # as Ctrl-C reaches the whole group
    rest, err = proc.communicate(timeout=30)
    assert proc.returncode == 130
    said = [line for line in err.splitlines() if ": note: preview.apng: the origin is at" not in line]
    assert len(said) == 1 and said[0].startswith("orvtool: interrupted after ")
    folders = sorted(p.name for p in out.iterdir())
    assert 1 + rest.count("wrote ") <= len(folders) < 10
    for name in folders:  # each finished, none half written
        assert len(list((out / name).iterdir())) == 4 * 2 + 2, name

    done = subprocess.run(argv + ["--skip-existing"], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    skipped = f"skipped {len(folders)} already exported (complete and newer than their source)"
    assert done.stderr.strip().splitlines()[-1] == f"orvtool: exported {10 - len(folders)} files, {skipped}"
    assert all(": note: " in line for line in done.stderr.strip().splitlines()[:-1])  # the previews' origin
    assert len(list(out.iterdir())) == 10


# An export whose files from FIRST_HANGING on never finish by themselves: each
# writes its first file and waits, so that a signal always finds workers in
# the middle of a file, and the files finished are known beforehand.
FIRST_HANGING = 60
HANGING_EXPORT = f"""
import os, sys, time
from orvtool.core import writing
from orvtool.run import batch
from orvtool.__main__ import main
batch.PARENT_DEATH_SIGNAL = os.environ["DEATH_SIGNAL"] == "1"
place = writing.place_checked
def place_then_wait(path, data, inside=None):
    place(path, data, inside)
    if os.path.basename(os.path.dirname(path)) >= "a{FIRST_HANGING:03d}":
        time.sleep(3600)
writing.place_checked = place_then_wait
sys.exit(main(sys.argv[1:]))
"""


def _processes():
    """Each process's parent and state (Z: ended, not yet reaped), from /proc."""
    found = {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError), open(f"/proc/{entry}/stat") as fh:
            state, parent = fh.read().rsplit(")", 1)[1].split()[:2]
            found[int(entry)] = (int(parent), state)
    return found


def _until(condition, what, guard=120.0):
    """Polls `condition` until it holds; the guard only keeps a broken run from hanging the suite."""
    deadline = time.monotonic() + guard
    while not condition():
        assert time.monotonic() < deadline, f"never came: {what}"
        time.sleep(0.05)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the processes from /proc")
@pytest.mark.parametrize(
    "ending, death_signal, code",
    [
        ("SIGTERM", "1", 128 + signal.SIGTERM),  # to orvtool alone: its workers are told by it
        ("SIGKILL", "1", None),  # the system tells the workers that their parent is gone
        ("SIGKILL", "0", None),  # where it does not, a thread of theirs sees it
    ],
)
def test_workers_end_with_the_run_however_it_ends(tmp_path, ending, death_signal, code):
    rng = np.random.default_rng(5)
    frames = [frame_from_indices(rng.integers(1, 200, (40, 60)).tolist()) for _ in range(2)]
    first = write_project(tmp_path / "src", "a000.orv", Animation(frames=frames))
    total = 5 * FIRST_HANGING
    for i in range(1, total):
        (tmp_path / "src" / f"a{i:03d}.orv").write_bytes(first.read_bytes())
    out, report = tmp_path / "out", tmp_path / "report.jsonl"
    argv = [sys.executable, "-c", HANGING_EXPORT, "export", tmp_path / "src", "-o", out, "--report", report, "-j", "2"]
    env = dict(os.environ, DEATH_SIGNAL=death_signal)
    proc = subprocess.Popen([str(a) for a in argv], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, text=True)
    finished = {f"a{i:03d}" for i in range(FIRST_HANGING)}

    def whole(name):
        return (out / name).is_dir() and len(list((out / name).iterdir())) == 2 * 2 + 1

    def waiting():  # the folders begun and not finished: one per worker, once they all wait
        return [p for p in out.iterdir() if p.name not in finished] if out.is_dir() else []

    try:
        _until(lambda: all(whole(n) for n in finished) and len(waiting()) == 2, "the files that finish")
        workers = [pid for pid, (parent, _) in _processes().items() if parent == proc.pid]
        assert len(workers) == 2
        for pid in workers:  # the report is written by orvtool alone
            held = [os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")]
            assert str(report) not in held
        os.kill(proc.pid, getattr(signal, ending))
        # Read to the end: nothing is left holding the pipes.
        _, err = proc.communicate(timeout=120)
    finally:
        if proc.poll() is None:
            proc.kill()
    _until(lambda: all(_processes().get(pid, (0, "Z"))[1] == "Z" for pid in workers), "the workers' end")
    reported = sorted(os.path.basename(json.loads(line)["path"])[:-4] for line in report.read_text().splitlines())
    if code is not None:  # ended as by Ctrl-C: every file finished reported, the last ones once the workers stop
        assert proc.returncode == code
        assert err.splitlines()[-1].startswith(f"orvtool: interrupted after {FIRST_HANGING} of {total} files"), err
        assert reported == sorted(finished)
    else:  # ended at once: what it reported was finished
        assert set(reported) <= finished
    # Each file finished is whole; the workers, told their parent is gone,
    # removed what they had written of the files they were on.
    assert {p.name for p in out.iterdir()} == finished and all(whole(n) for n in finished)
