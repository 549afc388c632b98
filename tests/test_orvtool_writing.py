"""How orvtool places its output files: by rename where that cannot be told
from a plain write, in place elsewhere, refused where a plain open fails;
a palette and its animation together."""

import os
import stat
from pathlib import Path

import numpy as np
import pytest
from orvtool_build_helpers import write_rgba

from orvtool import writing
from orvtool.cli import main
from orvtool.errors import OrvToolError


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
            writing.place_set([(str(pal), writing.bytes_writer(b"new palette")), (str(fifo), writing.bytes_writer(b"a"))])
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
