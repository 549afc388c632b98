"""How orvtool places its output files: by rename where that cannot be told
from a plain write, in place elsewhere, refused where a plain open fails;
a palette and its animation together."""

import errno
import json
import os
import stat
from pathlib import Path

import numpy as np
import pytest

from orvtool.cli import main
from orvtool.core import writing
from orvtool.model.errors import OrvToolError
from orvtool_build_helpers import write_rgba
from orvtool_samples import walk, write_project


def names(folder):
    return sorted(p.name for p in Path(folder).iterdir())


def test_a_plain_file_is_replaced_whole_keeping_its_mode(tmp_path):
    target = tmp_path / "a.bin"
    target.write_bytes(b"old contents, longer than the new")
    os.chmod(target, 0o640)
    before = target.stat().st_ino
    writing.place_bytes(str(target), b"new")
    assert target.read_bytes() == b"new"
    assert stat.S_IMODE(target.stat().st_mode) == 0o640
    assert target.stat().st_ino != before  # renamed over, not rewritten
    assert names(tmp_path) == ["a.bin"]  # no temporary file left

    fresh = tmp_path / "sub" / "b.bin"  # an absent target and its folder are made
    writing.place_bytes(str(fresh), b"x")
    assert fresh.read_bytes() == b"x"
    mask = os.umask(0)
    os.umask(mask)
    assert stat.S_IMODE(fresh.stat().st_mode) == 0o666 & ~mask


def test_linked_files_are_written_in_place_and_links_followed(tmp_path):
    target = tmp_path / "a.bin"
    target.write_bytes(b"old old old")
    os.link(target, tmp_path / "second-name.bin")
    inode = target.stat().st_ino
    writing.place_bytes(str(target), b"new")
    assert target.stat().st_ino == inode
    assert (tmp_path / "second-name.bin").read_bytes() == b"new"  # both names see it

    real = tmp_path / "real.bin"
    real.write_bytes(b"old")
    link = tmp_path / "link.bin"
    link.symlink_to(real.name)
    writing.place_bytes(str(link), b"through the link")
    assert link.is_symlink() and real.read_bytes() == b"through the link"
    dangling = tmp_path / "dangling.bin"
    dangling.symlink_to("made.bin")
    writing.place_bytes(str(dangling), b"made")
    assert dangling.is_symlink() and (tmp_path / "made.bin").read_bytes() == b"made"


def test_what_a_plain_open_refuses_is_refused_untouched(tmp_path):
    loop = tmp_path / "loop"
    loop.symlink_to("loop")
    with pytest.raises(OrvToolError, match="cannot write .*loop"):
        writing.place_bytes(str(loop), b"x")
    folder = tmp_path / "folder"
    folder.mkdir()
    with pytest.raises(OrvToolError, match="it is a folder"):
        writing.place_bytes(str(folder), b"x")
    assert loop.is_symlink() and names(folder) == []
    assert sorted(names(tmp_path)) == ["folder", "loop"]


def test_a_fifo_is_written_in_place_when_read_and_refused_when_not(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    with pytest.raises(OrvToolError, match="a FIFO that nobody reads"):
        writing.place_bytes(str(fifo), b"x")
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        writing.place_bytes(str(fifo), b"through the pipe")  # fits the pipe's buffer
        assert os.read(reader, 100) == b"through the pipe"
    finally:
        os.close(reader)
    assert stat.S_ISFIFO(fifo.lstat().st_mode)


def test_a_set_gives_earlier_files_back_when_a_later_one_fails(tmp_path):
    old = tmp_path / "old.pal"
    old.write_bytes(b"previous palette")
    new = tmp_path / "new.pal"
    fifo = tmp_path / "anim.orv"
    os.mkfifo(fifo)
    for pal in (old, new):
        with pytest.raises(OrvToolError, match="nobody reads"):
            writing.place_set(
                [(str(pal), writing.bytes_writer(b"new palette")), (str(fifo), writing.bytes_writer(b"a"))]
            )
    assert old.read_bytes() == b"previous palette"  # given back
    assert not new.exists()  # did not exist before: removed

    def fails(fh):
        fh.write(b"half")
        raise OSError(28, "No space left on device")

    target = tmp_path / "anim2.orv"
    target.write_bytes(b"previous animation")
    with pytest.raises(OrvToolError, match="No space left"):
        writing.place_set([(str(old), writing.bytes_writer(b"new palette")), (str(target), fails)])
    assert old.read_bytes() == b"previous palette" and target.read_bytes() == b"previous animation"
    assert sorted(names(tmp_path)) == ["anim.orv", "anim2.orv", "old.pal"]


def test_build_restores_the_palette_when_the_animation_cannot_be_placed(tmp_path, capfd):
    a = np.zeros((2, 2, 4), np.uint8)
    a[0, 0] = (200, 10, 10, 255)
    write_rgba(tmp_path / "a.png", a)
    pal = tmp_path / "new.pal"
    pal.write_bytes(b"\x01\x00\x00\x00\x01\x02\x03\xff")
    fifo = tmp_path / "out.orv"
    os.mkfifo(fifo)
    code = main(["build", str(tmp_path / "a.png"), "--quantize", "4", "--palette", str(pal), "-o", str(fifo), "-f"])
    err = capfd.readouterr().err
    assert code == 1 and "nobody reads" in err
    assert pal.read_bytes() == b"\x01\x00\x00\x00\x01\x02\x03\xff"


class TestPlacingTogether:
    """_native.place_files opens every target before writing any."""

    def test_a_target_that_cannot_be_opened_leaves_every_file_as_it_was(self, tmp_path):
        from orvtool import _native

        old, new = tmp_path / "old.pal", tmp_path / "new.pal"
        old.write_bytes(b"previous palette")
        fifo = tmp_path / "anim.orv"
        os.mkfifo(fifo)
        out = _native.place_files([(str(old), b"p"), (new, bytearray(b"p")), (str(fifo), b"a")])
        assert [o["result"] for o in out] == ["not_written", "not_written", "open_failed"]
        assert out[2]["error"] == errno.ENXIO
        assert old.read_bytes() == b"previous palette"
        assert names(tmp_path) == ["anim.orv", "old.pal"]  # the palette an open made is gone again

        out = _native.place_files([(str(old), b"p1"), (str(new), memoryview(b"p2"))])
        assert [(o["result"], o["method"]) for o in out] == [("placed", "replace"), ("placed", "replace")]
        assert (old.read_bytes(), new.read_bytes()) == (b"p1", b"p2")
        assert _native.place_files([]) == []

    def test_misuse_raises_type_error_and_bad_paths_report(self, tmp_path):
        from orvtool import _native

        for items in ([("a", "text")], [(str(tmp_path / "a"),)], ["a"], [(None, b"x")], 5, [("a", b"x", 1)]):
            with pytest.raises(TypeError):
                _native.place_files(items)  # type: ignore[arg-type]  # refused on purpose
        with pytest.raises(TypeError, match="contiguous"):
            _native.place_file(str(tmp_path / "a"), memoryview(b"abcdef")[::2])
        missing = _native.place_file(str(tmp_path / "no" / "such" / "a"), b"x")
        assert missing == {"result": "open_failed", "method": None, "error": errno.ENOENT}
        assert names(tmp_path) == []

    @pytest.mark.parametrize(
        "target, link, to, result",
        [
            ("d/t.bin", None, None, "placed"),
            ("d/t.bin", "d/t.bin", "../elsewhere/t.bin", "link_refused"),
            ("d/t.bin", "d/t.bin", "other.bin", "link_refused"),  # even one that stays in the folder
            ("d/t.bin", "d/t.bin", "../elsewhere/new.bin", "link_refused"),  # to nothing: not created
            ("ln/t.bin", "ln", "elsewhere", "link_refused"),  # a folder on the way
            ("no/t.bin", None, None, "open_failed"),
        ],
    )
    def test_without_following_links_a_link_on_the_way_is_refused(self, tmp_path, target, link, to, result):
        from orvtool import _native

        (tmp_path / "d").mkdir()
        (tmp_path / "elsewhere").mkdir()
        (tmp_path / "elsewhere" / "t.bin").write_bytes(b"keep")
        if link:
            (tmp_path / link).symlink_to(to)
        before = sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*"))
        outcome = _native.place_file(str(tmp_path / target), b"new", follow_links=False)
        assert outcome["result"] == result
        if result == "placed":
            assert (tmp_path / target).read_bytes() == b"new"
        else:  # nothing made, nothing written, no temporary file left
            assert outcome["method"] is None
            assert sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*")) == before
        # Together: a refused link leaves every file as it was.
        out = _native.place_files([(str(tmp_path / "d" / "a"), b"1"), (str(tmp_path / target), b"2", False)])
        assert [o["result"] for o in out] == (["placed"] * 2 if result == "placed" else ["not_written", result])
        assert (tmp_path / "elsewhere" / "t.bin").read_bytes() == b"keep"


PLACE_WITH_FILE_LIMIT = """
import resource, signal
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (1024, 1024))
"""


def test_a_set_whose_last_file_cannot_be_written_gives_the_earlier_back(tmp_path):
    from conftest import run_python

    old = tmp_path / "old.pal"
    old.write_bytes(b"previous palette")
    anim = tmp_path / "anim.orv"
    anim.write_bytes(b"previous animation")
    new = tmp_path / "new.pal"
    code = (
        PLACE_WITH_FILE_LIMIT
        + f"""
from orvtool.core import writing
from orvtool.model.errors import OrvToolError
for pal in ({str(old)!r}, {str(new)!r}):
    try:
        writing.place_set([(pal, writing.bytes_writer(b"new palette")), ({str(anim)!r}, writing.bytes_writer(bytes(4096)))])
    except OrvToolError as exc:
        print(exc)
"""
    )
    out = run_python(code)
    lines = out.stdout.splitlines()
    assert len(lines) == 2 and all(line.startswith(f"cannot write {anim}: File too large") for line in lines)
    assert old.read_bytes() == b"previous palette" and not new.exists()
    assert anim.read_bytes() == b"previous animation"  # a failed replacement leaves it
    assert names(tmp_path) == ["anim.orv", "old.pal"]


def _image(folder, size=2):
    a = np.zeros((size, size, 4), np.uint8)
    a[..., 3] = 255
    a[..., 0] = np.arange(size * size, dtype=np.uint8).reshape(size, size) % 4 * 60
    write_rgba(folder / "a.png", a)
    return str(folder / "a.png")


def test_build_gives_the_palette_back_when_the_animation_write_fails(tmp_path):
    from conftest import run_python

    image = _image(tmp_path, 48)  # an animation of more than 1 KiB, a palette of less
    pal = tmp_path / "new.pal"
    pal.write_bytes(b"\x01\x00\x00\x00\x01\x02\x03\xff")
    out_path = tmp_path / "out.orv"
    out_path.write_bytes(b"previous animation")
    code = (
        PLACE_WITH_FILE_LIMIT
        + f"""
import sys
from orvtool.cli import main
sys.exit(main(["build", {image!r}, "--quantize", "4", "--palette", {str(pal)!r}, "-o", {str(out_path)!r}, "-f"]))
"""
    )
    out = run_python(code)
    assert out.returncode == 1 and f"cannot write {out_path}: File too large" in out.stderr
    assert pal.read_bytes() == b"\x01\x00\x00\x00\x01\x02\x03\xff"
    assert out_path.read_bytes() == b"previous animation"

    assert main(["build", image, "--quantize", "4", "--palette", str(pal), "-o", str(out_path), "-f"]) == 0
    assert pal.read_bytes() != b"\x01\x00\x00\x00\x01\x02\x03\xff" and out_path.stat().st_size > 1024


class TestBuildTargets:
    """orvtool build writes through links, pipes and hard links as a plain write would."""

    def test_a_loop_is_refused_and_nothing_written(self, tmp_path, capfd):
        image = _image(tmp_path)
        loop = tmp_path / "loop.orv"
        loop.symlink_to("loop.orv")
        code = main(["build", image, "--quantize", "4", "--palette", str(tmp_path / "p.pal"), "-o", str(loop), "-f"])
        assert code == 1 and f"cannot write {loop}" in capfd.readouterr().err
        assert loop.is_symlink() and names(tmp_path) == ["a.png", "loop.orv"]

    def test_a_fifo_with_a_reader_gets_the_animation(self, tmp_path, capfd):
        image = _image(tmp_path)
        args = ["build", image, "--quantize", "4", "--palette", str(tmp_path / "p.pal"), "-f", "-o"]
        assert main(args + [str(tmp_path / "plain.orv")]) == 0
        fifo = tmp_path / "pipe.orv"
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        try:
            assert main(args + [str(fifo)]) == 0
            got = os.read(reader, 1 << 16)
        finally:
            os.close(reader)
        assert got == (tmp_path / "plain.orv").read_bytes() and stat.S_ISFIFO(fifo.lstat().st_mode)
        capfd.readouterr()

    def test_hard_linked_outputs_are_written_in_place(self, tmp_path, capfd):
        image = _image(tmp_path)
        out, partner = tmp_path / "out.orv", tmp_path / "partner.orv"
        pal, pal_partner = tmp_path / "p.pal", tmp_path / "p-partner.pal"
        for path, other in ((out, partner), (pal, pal_partner)):
            path.write_bytes(b"old")
            os.link(path, other)
        inodes = (out.stat().st_ino, pal.stat().st_ino)
        assert main(["build", image, "--quantize", "4", "--palette", str(pal), "-o", str(out), "-f"]) == 0
        assert (out.stat().st_ino, pal.stat().st_ino) == inodes
        assert partner.read_bytes() == out.read_bytes() != b"old"
        assert pal_partner.read_bytes() == pal.read_bytes() != b"old"
        capfd.readouterr()


def _command(t, command):
    """The arguments of a command that writes one file into t/out, and that file."""
    anim = write_project(t, "a.orv", walk())
    (t / "out").mkdir()
    if command == "export":
        return ["export", anim, "-o", t / "out", "--report", t / "r.jsonl"], t / "out" / "animation.json"
    if command == "build":
        assert main(["export", str(anim), "-o", str(t / "exported")]) == 0
        return ["build", t / "exported", "-o", t / "out" / "b.orv", "--report", t / "r.jsonl"], t / "out" / "b.orv"
    return ["palette", t / "pal" / "test.pal", "-o", t / "out" / "o.gpl"], t / "out" / "o.gpl"


@pytest.mark.parametrize(
    "command, moment, force",
    [
        # A link out that appears after every check, as the file is written:
        # refused even with --force, which writes through the links that the
        # check saw.
        ("export", "written", True),
        ("build", "written", True),
        ("palette", "written", True),
        # ... or after the path was resolved again, on the open itself.
        ("export", "resolved", False),
        ("build", "resolved", False),
        ("palette", "resolved", False),
        ("export", "folder", False),  # the output folder turned into a link
    ],
)
def test_a_link_that_appears_after_the_check_is_not_written_through(
    tmp_path, capfd, monkeypatch, command, moment, force
):
    victim = tmp_path / "elsewhere" / "victim"
    victim.parent.mkdir()
    victim.write_bytes(b"keep")
    argv, target = _command(tmp_path, command)
    capfd.readouterr()

    def link() -> None:
        if os.path.lexists(target):
            return
        if moment == "folder":  # the folder moves aside and a link to elsewhere takes its place
            os.rename(target.parent, tmp_path / "moved")
            target.parent.symlink_to(victim.parent)
            victim.rename(tmp_path / "elsewhere" / target.name)
        else:
            target.symlink_to(victim)

    def hooked(name):
        real = getattr(writing, name)

        def then_link(*args):
            paths = [p for p, *_ in args[0]] if name == "place_set" else [args[0]]
            if moment == "written" and str(target) in map(os.path.abspath, paths):
                link()
            got = real(*args)
            if moment != "written" and os.path.abspath(args[0]) == str(target):
                link()
            return got

        monkeypatch.setattr(writing, name, then_link)

    for name in ("place_checked", "place_bytes", "place_set") if moment == "written" else ("resolved_inside",):
        hooked(name)
    code = main([str(a) for a in argv] + (["--force"] if force else []))
    err = capfd.readouterr().err
    assert code == 1 and "a symbolic link appeared on its way after it was checked" in err, err
    assert sorted(p.read_bytes() for p in victim.parent.iterdir()) == [b"keep"]  # nothing written outside
    if "--report" in argv:
        (entry,) = [json.loads(line) for line in (tmp_path / "r.jsonl").read_text().splitlines()]
        assert [f["category"] for f in entry["findings"]] == ["output_link_outside"]
