"""Placing files: the one module that puts an output file where it belongs.

A set of files (a palette with the animation that names it) is written to
temporary files beside their targets first; only when every one is complete
are they renamed over their targets, in order. Writing through a symbolic
link replaces the file it points to.
"""

from __future__ import annotations

import os
import tempfile
from typing import Callable, List, Sequence, Tuple

from .errors import OrvToolError

# Writes a whole file at the path it is given.
Writer = Callable[[str], None]


def target_of(path: str) -> str:
    """The file that writing to `path` replaces (through a symbolic link)."""
    return os.path.realpath(path) if os.path.islink(path) else path


def _temp_beside(path: str) -> str:
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", suffix=".tmp", dir=folder)
    os.close(fd)
    try:
        mode = os.stat(path).st_mode & 0o7777  # a replaced file keeps its permissions
    except OSError:
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    os.chmod(tmp, mode)
    return tmp


def bytes_writer(data: bytes) -> Writer:
    def write(path: str) -> None:
        with open(path, "wb") as fh:
            fh.write(data)
            fh.flush()
            os.fsync(fh.fileno())

    return write


def place_together(files: Sequence[Tuple[str, Writer]], name: str) -> None:
    """Writes every (target, writer) to a temporary file beside its target,
    then renames them over their targets in order. `name` is the output
    named in an error message when the failing file is unknown."""
    temps: List[str] = []
    try:
        placed = []
        for path, write in files:
            target = target_of(path)
            os.makedirs(os.path.dirname(os.path.abspath(target)), exist_ok=True)
            temps.append(_temp_beside(target))
            write(temps[-1])
            placed.append(target)
        for tmp, target in zip(temps, placed):
            os.replace(tmp, target)
        temps.clear()
    except OSError as exc:
        raise OrvToolError(f"cannot write {exc.filename or name}: {exc.strerror or exc}") from None
    finally:
        for tmp in temps:
            try:
                os.unlink(tmp)
            except OSError:
                pass
