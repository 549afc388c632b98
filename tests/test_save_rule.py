"""Where saving replaces a file and where it writes in place.

A save must end as a plain "create or truncate, then write" would: the same
file (links, owner, group, mode) holding the new bytes. It replaces the target
through a new file renamed over it only where nobody can tell the difference,
and otherwise writes in place; what a plain open refuses is refused.

Root ignores permissions, so the permission cases run in a forked child that
has become `nobody`, in a scratch folder that user can reach.
"""

import errno
import os
import pathlib
import pwd
import shutil
import stat
import tempfile
import time
import traceback

import pytest

import pyorv

NOBODY = pwd.getpwnam("nobody")
as_root_only = pytest.mark.skipif(os.geteuid() != 0, reason="needs root to act as another user")


def fresh_bytes(stored=b"p.pal"):
    """What a fresh OrvF writes when its palette is stored as `stored`."""
    return bytes(4) + (len(stored) + 1).to_bytes(4, "little") + stored + b"\0" + bytes(4)


# The palette every save here writes: one colour (a palette with no colours
# never replaces an existing palette file).
SAVED_PALETTE = b"\1\0\0\0\1\2\3\4"


def _one_colour():
    with tempfile.TemporaryDirectory() as scratch:
        path = pathlib.Path(scratch, "one.pal")
        path.write_bytes(SAVED_PALETTE)
        palette = pyorv.PalF()
        assert palette.load(str(path)) == 1
        return palette.colors()[:1]


ONE_COLOUR = _one_colour()


def save(target, folder, palette="p.pal"):
    f = pyorv.OrvF()
    f.data().palette.colors(ONE_COLOUR)
    f.save(str(target), str(folder), str(folder / palette))


def in_child(action, *, as_nobody=False, timeout=120):
    """Runs `action` in a forked child (as nobody if asked) and returns its
    exit status: 0 when it returned, 1 when it raised. A child that does not
    finish in `timeout` seconds is killed and the test fails."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            if as_nobody:
                os.setgroups([])
                os.setgid(NOBODY.pw_gid)
                os.setuid(NOBODY.pw_uid)
            action()
            code = 0
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(code)
    deadline = time.monotonic() + timeout
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            pytest.fail("the save did not return")
        time.sleep(0.01)


@pytest.fixture
def shared():
    """A scratch folder (mode 0755, root's) that nobody can reach."""
    folder = tempfile.mkdtemp(prefix="orv-save-", dir="/tmp")
    os.chmod(folder, 0o755)
    yield pathlib.Path(folder)
    shutil.rmtree(folder)


def names(folder):
    return sorted(os.listdir(folder))


class TestRefusedAsAPlainOpenRefuses:
    """The target is left exactly as it was, nothing else is written, and the
    open line is the one diagnostic."""

    @staticmethod
    def make(folder, kind):
        target = folder / "t"
        if kind == "loop of two links":
            os.symlink("u", target)
            os.symlink("t", folder / "u")
        elif kind == "link to itself":
            os.symlink("t", target)
        elif kind == "directory":
            target.mkdir()
        elif kind == "pipe without reader":
            os.mkfifo(target)
        elif kind == "missing folder":
            target = folder / "missing" / "t"
        return target

    @staticmethod
    def state(folder):
        return {
            n: (os.readlink(folder / n) if os.path.islink(folder / n) else stat.S_IFMT(os.lstat(folder / n).st_mode))
            for n in os.listdir(folder)
        }

    KINDS = ["loop of two links", "link to itself", "directory", "pipe without reader", "missing folder"]

    @pytest.mark.parametrize("kind", KINDS)
    def test_animation(self, tmp_path, capfd, kind):
        target = self.make(tmp_path, kind)
        before = self.state(tmp_path)
        assert in_child(lambda: save(target, tmp_path)) == 0
        assert capfd.readouterr().err == f"ERROR: Could not open animation file for writing: {target}\n"
        assert self.state(tmp_path) == before  # no palette, no temporary, the links still links

    @pytest.mark.parametrize("kind", KINDS)
    def test_palette(self, tmp_path, capfd, kind):
        target = self.make(tmp_path, kind)
        before = self.state(tmp_path)
        assert in_child(lambda: pyorv.PalF().save(str(target))) == 0
        assert capfd.readouterr().err == f"ERROR: Could not open palette file for writing: {target}\n"
        assert self.state(tmp_path) == before


class TestWritesInPlace:
    @pytest.mark.parametrize("which", ["animation", "palette"])
    def test_hard_linked_partner_sees_the_new_content(self, tmp_path, which):
        target = tmp_path / ("a.orv" if which == "animation" else "p.pal")
        target.write_bytes(b"old content, longer than the new")
        os.link(target, tmp_path / "partner")
        inode = target.stat().st_ino
        save(tmp_path / "a.orv", tmp_path)
        expected = fresh_bytes() if which == "animation" else SAVED_PALETTE
        assert (tmp_path / "partner").read_bytes() == expected
        assert target.stat().st_ino == inode and target.stat().st_nlink == 2

    def test_dev_null_is_written_and_stays_a_device(self, tmp_path, capfd):
        save("/dev/null", tmp_path)
        pyorv.PalF().save("/dev/null")
        assert capfd.readouterr().err == ""
        assert (tmp_path / "p.pal").read_bytes() == SAVED_PALETTE
        assert stat.S_ISCHR(os.stat("/dev/null").st_mode)

    def test_pipe_with_a_reader_receives_the_bytes(self, tmp_path, capfd):
        pipe = tmp_path / "pipe"
        os.mkfifo(pipe)
        reader = os.open(pipe, os.O_RDONLY | os.O_NONBLOCK)
        try:
            save(pipe, tmp_path)
            assert os.read(reader, 1000) == fresh_bytes()
        finally:
            os.close(reader)
        assert capfd.readouterr().err == ""
        assert stat.S_ISFIFO(os.stat(pipe).st_mode)

    @as_root_only
    @pytest.mark.parametrize(
        "folder_mode, owner, group",
        [
            (0o755, "nobody", "nogroup"),  # a folder nobody cannot create files in
            (0o777, "root", "root"),  # a file nobody may write but cannot give to root
            (0o777, "nobody", "root"),  # a group nobody is not in
        ],
    )
    def test_what_nobody_cannot_recreate_is_written_in_place(self, shared, capfd, folder_mode, owner, group):
        uid = 0 if owner == "root" else NOBODY.pw_uid
        gid = 0 if group == "root" else NOBODY.pw_gid
        files = [shared / "a.orv", shared / "p.pal"]
        for f in files:
            f.write_bytes(b"old")
            os.chown(f, uid, gid)
            f.chmod(0o666)
        shared.chmod(folder_mode)
        inodes = [f.stat().st_ino for f in files]
        assert in_child(lambda: save(shared / "a.orv", shared), as_nobody=True) == 0
        assert capfd.readouterr().err == ""
        assert [f.read_bytes() for f in files] == [fresh_bytes(), SAVED_PALETTE]
        for f, inode in zip(files, inodes, strict=True):
            st = f.stat()
            assert (st.st_ino, st.st_uid, st.st_gid, st.st_mode & 0o7777) == (inode, uid, gid, 0o666)
        assert names(shared) == ["a.orv", "p.pal"]

    @as_root_only
    def test_read_only_folder_refuses_a_new_file(self, shared, capfd):
        existing = shared / "p.pal"
        existing.write_bytes(b"old")
        os.chown(existing, NOBODY.pw_uid, NOBODY.pw_gid)
        assert in_child(lambda: save(shared / "new.orv", shared), as_nobody=True) == 0
        assert capfd.readouterr().err == f"ERROR: Could not open animation file for writing: {shared / 'new.orv'}\n"
        assert names(shared) == ["p.pal"] and existing.read_bytes() == b"old"


class TestReplaces:
    @as_root_only
    def test_owner_group_and_mode_are_carried(self, tmp_path):
        files = [tmp_path / "a.orv", tmp_path / "p.pal"]
        for f in files:
            f.write_bytes(b"old")
            os.chown(f, NOBODY.pw_uid, NOBODY.pw_gid)
            f.chmod(0o640)
        inodes = [f.stat().st_ino for f in files]
        save(tmp_path / "a.orv", tmp_path)
        assert [f.read_bytes() for f in files] == [fresh_bytes(), SAVED_PALETTE]
        for f, inode in zip(files, inodes, strict=True):
            st = f.stat()
            assert st.st_ino != inode  # replaced, so a failed write would have kept the old file
            assert (st.st_uid, st.st_gid, st.st_mode & 0o7777) == (NOBODY.pw_uid, NOBODY.pw_gid, 0o640)

    @pytest.mark.parametrize("length", [244, 250, 255])
    @pytest.mark.parametrize("existing", [False, True])
    def test_longest_names(self, tmp_path, capfd, length, existing):
        anim, pal = tmp_path / ("a" * length), tmp_path / ("p" * length)
        if existing:
            anim.write_bytes(b"old")
            pal.write_bytes(b"old")
        save(anim, tmp_path, pal.name)
        assert capfd.readouterr().err == ""
        assert anim.read_bytes() == fresh_bytes(pal.name.encode())
        assert pal.read_bytes() == SAVED_PALETTE
        assert names(tmp_path) == sorted([anim.name, pal.name])

    def test_extended_attributes_survive(self, tmp_path):
        files = [tmp_path / "a.orv", tmp_path / "p.pal"]
        for f in files:
            f.write_bytes(b"old")
            try:
                os.setxattr(f, "user.note", b"kept")
            except OSError:
                pytest.skip("no user attributes on this file system")
        save(tmp_path / "a.orv", tmp_path)
        assert [f.read_bytes() for f in files] == [fresh_bytes(), SAVED_PALETTE]
        assert [os.getxattr(f, "user.note") for f in files] == [b"kept", b"kept"]

    def test_new_files_get_the_mode_a_plain_open_gives(self, tmp_path):
        old = os.umask(0o027)
        try:
            save(tmp_path / "a.orv", tmp_path)
        finally:
            os.umask(old)
        assert [(tmp_path / n).stat().st_mode & 0o777 for n in ("a.orv", "p.pal")] == [0o640, 0o640]

    def test_link_to_nothing_creates_the_file_it_names(self, tmp_path):
        os.symlink("made.orv", tmp_path / "a.orv")
        save(tmp_path / "a.orv", tmp_path)
        assert os.readlink(tmp_path / "a.orv") == "made.orv"
        assert (tmp_path / "made.orv").read_bytes() == fresh_bytes()


class TestOrderOfFailures:
    """The target is opened first, the paths are worked out next, and the old
    file is touched only after both succeeded."""

    @pytest.fixture
    def loops(self, tmp_path):
        for name in ("loop1", "loop2"):
            os.symlink(name, tmp_path / name)
        return tmp_path

    def test_open_failure_is_reported_before_any_path_failure(self, loops, capfd):
        f = pyorv.OrvF()
        target = loops / "missing" / "a.orv"
        f.save(str(target), str(loops / "loop1" / "r"), str(loops / "loop2" / "p.pal"))
        assert capfd.readouterr().err == f"ERROR: Could not open animation file for writing: {target}\n"

    def test_the_project_root_is_resolved_first(self, loops):
        with pytest.raises(RuntimeError, match="loop1"):
            pyorv.OrvF().save(str(loops / "a.orv"), str(loops / "loop1" / "r"), str(loops / "loop2" / "p.pal"))
        with pytest.raises(RuntimeError, match="loop2"):
            pyorv.OrvF().save(str(loops / "a.orv"), str(loops), str(loops / "loop2" / "p.pal"))

    @pytest.mark.parametrize("target", ["absent", "hard linked", "link to nothing", "/dev/null"])
    def test_path_failure_leaves_the_target_as_it_was(self, loops, target):
        path = loops / "a.orv"
        if target == "hard linked":
            path.write_bytes(b"keep me")
            os.link(path, loops / "partner")
        elif target == "link to nothing":
            os.symlink("made.orv", path)
        elif target == "/dev/null":
            path = "/dev/null"
        before = names(loops)
        with pytest.raises(RuntimeError):
            pyorv.OrvF().save(str(path), str(loops), str(loops / "loop1" / "p.pal"))
        assert names(loops) == before  # nothing created, no temporary left
        if target == "hard linked":
            assert (loops / "partner").read_bytes() == b"keep me"


class TestPlaceFileForOrvtool:
    """orvtool places its outputs through the same rule."""

    def test_results_and_methods(self, tmp_path):
        from orvtool import _native

        new, linked = tmp_path / "new.bin", tmp_path / "linked.bin"
        linked.write_bytes(b"old")
        os.link(linked, tmp_path / "partner")
        assert _native.place_file(new, b"one") == {"result": "placed", "method": "replace", "error": None}
        assert _native.place_file(str(linked), bytearray(b"two")) == {
            "result": "placed",
            "method": "in_place",
            "error": None,
        }
        assert _native.place_file(tmp_path, b"x") == {"result": "open_failed", "method": None, "error": errno.EISDIR}
        assert (new.read_bytes(), (tmp_path / "partner").read_bytes()) == (b"one", b"two")
        with pytest.raises(TypeError):
            _native.place_file(None, b"x")  # type: ignore[arg-type]  # refused on purpose

    def test_failed_replacement_keeps_the_old_file(self, tmp_path):
        from conftest import run_python

        target = tmp_path / "out.bin"
        target.write_bytes(b"keep")
        code = f"""
import resource, signal
from orvtool import _native
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (1024, 1024))
print(_native.place_file({str(target)!r}, bytes(4096)))
"""
        out = run_python(code)
        assert out.stdout.strip() == f"{{'result': 'write_failed', 'method': 'replace', 'error': {errno.EFBIG}}}"
        assert target.read_bytes() == b"keep" and names(tmp_path) == ["out.bin"]
