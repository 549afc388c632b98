"""Placing files: the one module that puts orvtool's output files in place.

Every file goes through the core's save helper (`native.place_file`), the
same one that `pyorv.OrvF.save` and `PalF.save` use:

* A file is replaced by rename only where the result cannot be told from a
  plain write: the target is absent, or a regular file with a single link
  whose owner, group and mode the new file can carry, and a temporary file
  (`.orv` and six random characters) can be made beside it. Readers see the
  old file or the new one, never half of one.
* Everywhere else (a file with several links, another owner's file, a FIFO,
  a device, a folder where no temporary file can be made) the target is
  written in place through a plain truncating open.
* A target that a plain open refuses (a loop of symbolic links, a folder) is
  refused before anything is written. Special files are opened without
  blocking: a FIFO that nobody reads is an error, not a hang.
* A symbolic link is followed: the file it points to gets the contents, the
  link stays a link. A link (of the file or of a folder on its way) that
  leads out of the output folder is refused unless replacing was asked for
  (`--force`), and said when it is followed (`outside_link`).
* The check is made again on the open that writes: a writer given the folder
  its target was checked against (`inside`, as the check resolved it) has
  the core open a path inside it following no link at all, the file's own
  name included: the path as written where it lies inside, else (a link on
  the way fails that open) the path resolved now and checked to lie inside.
  A link that appears after the check is then refused on the open itself
  (`link_appeared`), never written through; only a link that the check saw
  and `--force` let through is followed (the writer is given no `inside`
  for it).

Here orvtool adds what belongs to it: a missing output folder is made, the
contents are made in memory before any target is touched, and `place_set`
places files that belong together (a palette and the animation that names
it): every target is opened before any is written, and if a later file
cannot be written, the earlier ones get their previous contents back (or are
removed when they did not exist).
"""

from __future__ import annotations

import errno
import io
import os
import re
import stat
from typing import BinaryIO, Callable, List, Optional, Sequence, Tuple

from orvtool.core import native
from orvtool.model.errors import OrvToolError
from orvtool.report import status

# Writes a whole file to the binary stream it is given.
Writer = Callable[[BinaryIO], None]


def bytes_writer(data: bytes) -> Writer:
    def write(fh: BinaryIO) -> None:
        fh.write(data)

    return write


def _reason(code: Optional[int]) -> str:
    if code == errno.EISDIR:
        return "it is a folder"
    if code == errno.ENXIO:
        return "a FIFO that nobody reads"
    if code:
        return os.strerror(code)
    return "the file system refused it"


def _failed(path: str, exc: OSError) -> OrvToolError:
    return OrvToolError(f"cannot write {path}: {exc.strerror or exc}", category=status.OUTPUT_REFUSED)


def _outcome_error(path: str, outcome: native.Outcome) -> OrvToolError:
    message = f"cannot write {path}: {_reason(outcome.error)}"
    if outcome.result == "write_failed" and outcome.method == "in_place":
        message += " (written in place: it holds what was written before the failure)"
    return OrvToolError(message, category=status.OUTPUT_REFUSED)


def check(path: str) -> None:
    """Refuses, before any work is done, a target that cannot be written."""
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return
    except OSError as exc:  # a loop of links, a parent that cannot be searched
        raise _failed(path, exc) from None
    if stat.S_ISDIR(st.st_mode):
        raise OrvToolError(f"cannot write {path}: it is a folder", category=status.OUTPUT_REFUSED)


def outside_link(path: str, folder: str) -> Optional[str]:
    """Where `path` leads when a symbolic link on its way (the file itself or
    a folder below `folder`) takes it out of `folder`; None when it stays
    inside. `folder` itself may be a link: its own target is the inside."""
    inside = os.path.realpath(folder)
    real = os.path.realpath(path)
    if os.path.commonpath([inside, real]) == inside:
        return None
    return real


def link_refusal(path: str, real: str) -> OrvToolError:
    return OrvToolError(
        f"is a symbolic link out of the output folder, to {real}; nothing written (use --force to write through it)",
        where=path,
        category=status.OUTPUT_LINK_OUTSIDE,
    )


def link_appeared(path: str, real: str) -> OrvToolError:
    return OrvToolError(
        f"a symbolic link appeared on its way after it was checked, to {real}; not written",
        where=path,
        category=status.OUTPUT_LINK_OUTSIDE,
    )


def resolved_inside(path: str, inside: Optional[str], resolve: bool = True) -> Tuple[str, bool]:
    """The name the core opens for `path`, and whether it follows links on
    the way: with `inside` (the real path of the folder the target was
    checked against, as the check resolved it), `path` resolved now and
    checked to lie inside, opened following none; without, `path` as it is,
    links followed. Without `resolve`, a path that lies inside as it is
    written is taken as it is: opened following no link, it is where it
    says (a link on its way fails the open, and the path is then resolved)."""
    if inside is None:
        return path, True
    if not resolve and os.pardir not in re.split(r"[\\/]", path):
        plain = os.path.abspath(path)
        if os.path.commonpath([inside, plain]) == inside:
            return plain, False
    real = os.path.realpath(path)
    if os.path.commonpath([inside, real]) != inside:
        raise link_appeared(path, real)
    return real, False


def _place(path: str, data: bytes, inside: Optional[str]) -> native.Outcome:
    """One file placed by the core, a link that appeared since the check refused."""
    for resolve in (False, True):  # the path as written, else resolved
        name, follow = resolved_inside(path, inside, resolve)
        outcome = native.place_file(name, data, follow)
        if outcome.result != "link_refused":
            return outcome
    raise link_appeared(path, os.path.realpath(path))


def link_note(path: str, real: str) -> status.Finding:
    return status.Finding(
        status.WRITTEN_THROUGH_LINK, f"written through a symbolic link out of the output folder, to {real}", path
    )


def _contents(path: str, write: Writer) -> bytes:
    buffer = io.BytesIO()
    try:
        write(buffer)
    except OSError as exc:
        raise _failed(path, exc) from None
    return buffer.getvalue()


def make_folders(folder: str) -> None:
    """`os.makedirs(folder, exist_ok=True)`, each missing folder made from
    the top down in a loop rather than by recursion: a folder of any depth."""
    missing: List[str] = []
    while folder and not os.path.isdir(folder):
        missing.append(folder)
        parent = os.path.dirname(folder)
        folder = parent if parent != folder else ""
    for path in reversed(missing):
        try:
            os.mkdir(path)
        except FileExistsError:
            if not os.path.isdir(path):
                raise


def _make_folder(path: str) -> None:
    """Makes the folder of an absent target (through a link to nothing, the
    folder of the file the link names)."""
    if os.path.exists(path):
        return
    folder = os.path.dirname(os.path.realpath(path))
    try:
        make_folders(folder)
    except OSError as exc:
        raise _failed(path, exc) from None


def place_bytes(path: str, data: bytes, inside: Optional[str] = None) -> None:
    """Writes one file by the save rule; its folder is made if missing. With
    `inside`, the real path of the folder the target was checked to stay in,
    no link that appeared since is followed (see above)."""
    check(path)
    _make_folder(path)
    outcome = _place(path, data, inside)
    if outcome.result != "placed":
        raise _outcome_error(path, outcome)


def place_checked(path: str, data: bytes, inside: Optional[str] = None) -> None:
    """Writes one file by the save rule, as `place_bytes` does, for a target
    that `check` has passed and whose folder exists (a batch of files checked
    together before any is written): its own checks are not made again."""
    outcome = _place(path, data, inside)
    if outcome.result == "open_failed" and outcome.error == errno.ENOENT:
        place_bytes(path, data, inside)  # a link to a missing folder: the folder is made
    elif outcome.result != "placed":
        raise _outcome_error(path, outcome)


def place(path: str, write: Writer, inside: Optional[str] = None) -> None:
    """Writes one file, whose contents `write` makes, by the save rule; its
    folder is made if missing. Nothing is touched when `write` fails."""
    place_bytes(path, _contents(path, write), inside)


class _Before:
    """What `path` held before its set was placed, to give it back."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.data: Optional[bytes] = None
        self.created: Optional[str] = None  # the file that placing creates
        try:
            st = os.stat(path)
        except FileNotFoundError:
            self.created = os.path.realpath(path)
            return
        except OSError as exc:
            raise _failed(path, exc) from None
        if stat.S_ISREG(st.st_mode):
            try:
                with open(path, "rb") as fh:
                    self.data = fh.read()
            except OSError as exc:
                raise _failed(path, exc) from None

    def give_back(self) -> bool:
        """Restores the previous contents; False when that failed."""
        if self.created is not None:
            try:
                os.unlink(self.created)
            except FileNotFoundError:
                pass
            except OSError:
                return False
            return True
        if self.data is None:  # a device or FIFO: nothing was kept
            return True
        return native.place_file(self.path, self.data).result == "placed"


def place_set(files: Sequence[Tuple[str, Writer]], inside: Sequence[Optional[str]] = ()) -> None:
    """Places files that belong together, in order. Every target is opened
    before any is written: one that cannot be opened leaves all as they were;
    when one cannot be written, those written before it get their previous
    contents back. `inside` gives, file by file, the folder each was checked
    to stay in (see `place_bytes`); the files past it follow links."""
    for path, _ in files:
        check(path)
    items = [(path, _contents(path, write)) for path, write in files]
    # The last file has nothing after it that can fail.
    before: List[_Before] = [_Before(path) for path, _ in items[:-1]]
    for path, _ in items:
        _make_folder(path)
    folders = [*inside, *[None] * (len(items) - len(inside))]
    for resolve in (False, True):  # the paths as written, else resolved (a refused open writes none)
        names = [resolved_inside(path, folder, resolve) for (path, _), folder in zip(items, folders, strict=True)]
        outcomes = native.place_files(
            [(name, data, follow) for (name, follow), (_, data) in zip(names, items, strict=True)]
        )
        if all(o.result != "link_refused" for o in outcomes):
            break
    for n, ((path, _), outcome) in enumerate(zip(items, outcomes, strict=True)):
        if outcome.result == "link_refused":
            raise link_appeared(path, os.path.realpath(path))
        if outcome.result in ("placed", "not_written"):
            continue
        error = _outcome_error(path, outcome)
        if outcome.result == "write_failed":
            lost = [b.path for b in reversed(before[:n]) if not b.give_back()]
            if lost:
                raise OrvToolError(
                    f"{error}; {', '.join(lost)} could not be given its previous contents back",
                    category="output_refused",
                )
        raise error


def remove(path: str) -> None:
    """Removes a file that an earlier run wrote, if it is still there."""
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
    except OSError as exc:
        raise OrvToolError(f"cannot remove {path}: {exc.strerror or exc}", category="output_refused") from None
