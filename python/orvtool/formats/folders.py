"""Trees of folders, walked at any depth (no recursion), light to import."""

from __future__ import annotations

import os
from typing import Iterator, List, Tuple


def walk(top: str) -> Iterator[Tuple[str, List[str], List[str]]]:
    """`os.walk(top)`, top-down, on a stack of its own: the same (folder,
    folders, files) triples in the same order, links to folders listed but
    not followed, folders that cannot be read left out; the caller may prune
    or sort `folders` in place. A tree of any depth is walked."""
    stack = [os.fspath(top)]
    while stack:
        root = stack.pop()
        try:
            with os.scandir(root) as it:
                entries = list(it)
        except OSError:
            continue
        dirs: List[str] = []
        files: List[str] = []
        for entry in entries:
            try:
                is_dir = entry.is_dir()
            except OSError:
                is_dir = False
            (dirs if is_dir else files).append(entry.name)
        yield root, dirs, files
        below = [os.path.join(root, d) for d in dirs]
        stack.extend(p for p in reversed(below) if not os.path.islink(p))
