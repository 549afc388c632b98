"""Placing files: the one module that puts orvtool's output files in place.

The save rule:

* A file is replaced by rename only where the result cannot be told from a
  plain write: the target is absent, or a regular file with a single link
  whose owner, group and mode the new file can carry, and a temporary file
  (a short fixed prefix and a few random characters) can be made beside it.
  The new contents go to that temporary file, which is flushed to disk,
  given the old file's owner, group and mode, and renamed over the target:
  readers see the old file or the new one, never half of one.
* Everywhere else (a file with several links, another owner's file, a FIFO,
  a device, a folder where no temporary file can be made) the target is
  written in place through a plain truncating open.
* A target that a plain open refuses (a loop of symbolic links, a folder) is
  refused before anything is written. Special files are opened without
  blocking: a FIFO that nobody reads is an error, not a hang.
* A symbolic link is followed: the file it points to gets the contents, the
  link stays a link.

`place_set` places files that belong together (a palette and the animation
that names it): if a later file cannot be placed, the earlier ones get their
previous contents back (or are removed when they did not exist).
"""

from __future__ import annotations

import errno
import fcntl
import os
import stat
import tempfile
from typing import BinaryIO, Callable, List, Optional, Sequence, Tuple

from .errors import OrvToolError

TEMP_PREFIX = ".orv"

# Writes a whole file to the binary stream it is given.
Writer = Callable[[BinaryIO], None]


def bytes_writer(data: bytes) -> Writer:
    def write(fh: BinaryIO) -> None:
        fh.write(data)

    return write


def _failed(path: str, exc: OSError) -> OrvToolError:
    return OrvToolError(f"cannot write {path}: {exc.strerror or exc}")


def _target(path: str) -> Tuple[str, Optional[os.stat_result]]:
    """The file that writing `path` changes (through symbolic links) and its
    status, None when it does not exist yet. Refuses what a plain open
    refuses."""
    try:
        st = os.stat(path)
    except FileNotFoundError:
        st = None
    except OSError as exc:  # a loop of links, a parent that cannot be searched
        raise _failed(path, exc) from None
    if st is not None and stat.S_ISDIR(st.st_mode):
        raise OrvToolError(f"cannot write {path}: it is a folder")
    return (os.path.realpath(path) if os.path.islink(path) else path), st


def check(path: str) -> None:
    """Refuses, before any work is written, a target that cannot be written."""
    _target(path)


def _carries(st: os.stat_result) -> bool:
    """Whether a new file can stand in for this one after a rename."""
    if not stat.S_ISREG(st.st_mode) or st.st_nlink != 1:
        return False
    uid = os.geteuid()
    if uid == 0:
        return True
    return st.st_uid == uid and (st.st_gid == os.getegid() or st.st_gid in os.getgroups())


def _new_file_mode() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return 0o666 & ~mask


def _by_rename(target: str, st: Optional[os.stat_result], write: Writer) -> bool:
    """Writes through a temporary file renamed over the target; False when no
    temporary file can be made beside it."""
    folder = os.path.dirname(os.path.abspath(target))
    try:
        fd, tmp = tempfile.mkstemp(prefix=TEMP_PREFIX, dir=folder)
    except OSError:
        return False
    try:
        with os.fdopen(fd, "wb") as fh:
            write(fh)
            fh.flush()
            os.fsync(fh.fileno())
        if st is None:
            os.chmod(tmp, _new_file_mode())
        else:
            if (st.st_uid, st.st_gid) != (os.geteuid(), os.getegid()):
                os.chown(tmp, st.st_uid, st.st_gid)
            os.chmod(tmp, stat.S_IMODE(st.st_mode))
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    return True


def _in_place(target: str, write: Writer) -> None:
    fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NONBLOCK | os.O_CLOEXEC, 0o666)
    # Opened without blocking; the writing itself may wait for a reader.
    fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) & ~os.O_NONBLOCK)
    with os.fdopen(fd, "wb") as fh:
        write(fh)
        fh.flush()
        if stat.S_ISREG(os.fstat(fd).st_mode):
            os.fsync(fd)


def place(path: str, write: Writer) -> None:
    """Writes one file by the save rule; its folder is made if missing."""
    target, st = _target(path)
    try:
        folder = os.path.dirname(os.path.abspath(target))
        if st is None:
            os.makedirs(folder, exist_ok=True)
        if (st is None or _carries(st)) and _by_rename(target, st, write):
            return
        _in_place(target, write)
    except OSError as exc:
        if exc.errno == errno.ENXIO:
            raise OrvToolError(f"cannot write {path}: a FIFO that nobody reads") from None
        raise _failed(exc.filename or path, exc) from None


def place_bytes(path: str, data: bytes) -> None:
    place(path, bytes_writer(data))


def _previous(path: str) -> Optional[bytes]:
    """The contents to give back to `path` if its set cannot be placed."""
    try:
        st = os.stat(path)
        if not stat.S_ISREG(st.st_mode):
            return None
        with open(path, "rb") as fh:
            return fh.read()
    except FileNotFoundError:
        return None
    except OSError as exc:
        raise _failed(path, exc) from None


def place_set(files: Sequence[Tuple[str, Writer]]) -> None:
    """Places files that belong together, in order: when one cannot be
    placed, those placed before it get their previous contents back."""
    for path, _ in files:
        check(path)
    placed: List[Tuple[str, Optional[bytes], bool]] = []
    try:
        for n, (path, write) in enumerate(files):
            existed = os.path.lexists(path)
            last = n == len(files) - 1  # nothing after it can fail
            before = _previous(path) if existed and not last else None
            place(path, write)
            placed.append((path, before, existed))
    except OrvToolError:
        for path, before, existed in reversed(placed):
            try:
                if before is not None:
                    place_bytes(path, before)
                elif not existed:
                    os.unlink(path)
            except (OSError, OrvToolError):
                pass
        raise


def remove(path: str) -> None:
    """Removes a file that an earlier run wrote, if it is still there."""
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
    except OSError as exc:
        raise OrvToolError(f"cannot remove {path}: {exc.strerror or exc}") from None
