"""The animations under one folder, as the viewer shows them.

Every name the viewer is asked for is a path relative to the folder. It is
taken only when it stays inside the folder once resolved (no `..` part, no
absolute path, no symbolic link leading out) and names an animation file.
Loaded animations are kept in memory per file, until the file, or the
palette it was drawn with, changes; nothing is ever written under the folder.
"""

from __future__ import annotations

import base64
import fnmatch
import functools
import os
import shlex
import threading
from collections import OrderedDict
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Tuple

from numpy.typing import NDArray

from .. import batch, native
from ..errors import OrvToolError
from ..exporting import frame_png
from ..formats.sidecar import encode_index_layer, index_layer
from ..images import to_numpy
from ..loading import LoadedAnimation, animation_of
from ..model import Frame

# (kind, frame) -> the URL of that image; kind is "image" or "index".
ImageUrl = Callable[[str, int], str]
Stamp = Tuple[Any, ...]

# Memory that loaded animations may take (see `Shown.size`); the animations
# used longest ago are dropped first.
CACHE_BYTES = 256 << 20


@dataclass
class Shown:
    """One animation file as the page gets it: its document (without image
    addresses) and, per frame, the rendered pixels (None for a frame without
    pixels, or for every frame when nothing rendered). The PNG of a frame and
    of its index layer are made when first asked for, then kept."""

    rel: str
    doc: Dict[str, Any]
    stamp: Stamp
    frames: List[Frame] = field(default_factory=list)
    pixels: List[Optional[NDArray[Any]]] = field(default_factory=list)
    pngs: Dict[Tuple[str, int], bytes] = field(default_factory=dict)

    @property
    def size(self) -> int:
        """About the memory it takes: the pixels, and as much again for the
        PNG files made from them."""
        return 2 * sum(p.nbytes for p in self.pixels if p is not None)

    @property
    def error(self) -> Optional[str]:
        return self.doc.get("error")

    def document(self, url: ImageUrl) -> Dict[str, Any]:
        """The document with the address of every image."""
        doc = dict(self.doc)
        frames = []
        for i, frame in enumerate(doc.get("frames", [])):
            frame = dict(frame)
            solid = self.pixels[i] is not None
            frame["image"] = url("image", i) if solid else None
            frame["index_image"] = url("index", i) if solid else None
            frames.append(frame)
        doc["frames"] = frames
        return doc

    def thumbnail(self) -> Optional[int]:
        """The frame shown in the tree: frame 0, or the first with pixels."""
        return next((i for i, p in enumerate(self.pixels) if p is not None), None)

    def png(self, kind: str, i: int) -> Optional[bytes]:
        """Frame i as the export writes it: its RGBA PNG (kind "image") or its
        index layer (kind "index"); None when there is no such image."""
        pixels = self.pixels[i] if 0 <= i < len(self.pixels) else None
        if kind not in ("image", "index") or pixels is None:
            return None
        png = self.pngs.get((kind, i))
        if png is None:
            frame = self.frames[i]
            if kind == "image":
                h, w = pixels.shape[:2]
                png = frame_png(pixels.tobytes(), w, h, frame.x_offset, frame.y_offset, i)
            else:
                png = encode_index_layer(*index_layer(frame))
            self.pngs[(kind, i)] = png
        return png


def data_url(png: bytes) -> str:
    return "data:image/png;base64," + base64.b64encode(png).decode("ascii")


def _stamp(path: Optional[str]) -> Optional[Tuple[int, int]]:
    if not path:
        return None
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_mtime_ns, st.st_size)


class Catalog:
    def __init__(self, root: str, pattern: str = batch.DEFAULT_PATTERN, cache_bytes: int = CACHE_BYTES) -> None:
        self.root = root  # as given, for the command lines shown
        self.real_root = os.path.realpath(root)
        self.pattern = pattern.lower()
        self.cache_bytes = cache_bytes
        self._cache: "OrderedDict[str, Shown]" = OrderedDict()
        self._cached_bytes = 0
        self._palette_files: Dict[str, Optional[str]] = {}
        self._lock = threading.Lock()  # one load at a time: the cache and its size are shared

    # --- names ------------------------------------------------------------

    def resolve(self, rel: str) -> Optional[str]:
        """The real path of the animation file `rel` names below the folder,
        or None when it names nothing the viewer may show."""
        if not rel or "\0" in rel or "\\" in rel or rel.startswith("/") or os.path.isabs(rel):
            return None
        if rel[1:2] == ":":  # a drive letter
            return None
        parts = rel.split("/")
        if any(part in ("", ".", "..") for part in parts):
            return None
        full = os.path.realpath(os.path.join(self.real_root, *parts))
        if os.path.commonpath([self.real_root, full]) != self.real_root or full == self.real_root:
            return None
        if not fnmatch.fnmatch(parts[-1].lower(), self.pattern) or not os.path.isfile(full):
            return None
        return full

    def names(self) -> List[str]:
        """Every animation file below the folder that `resolve` accepts, in
        sorted order, as "/"-separated relative paths."""
        found = []
        for directory, dirs, files in os.walk(self.real_root):
            dirs.sort()
            for name in sorted(files):
                if not fnmatch.fnmatch(name.lower(), self.pattern):
                    continue
                rel = os.path.relpath(os.path.join(directory, name), self.real_root).replace(os.sep, "/")
                try:
                    rel.encode("utf-8")
                except UnicodeEncodeError:  # a name that is not UTF-8 cannot travel in a URL
                    continue
                if self.resolve(rel):
                    found.append(rel)
        return found

    # --- loading ----------------------------------------------------------

    def get(self, rel: str) -> Optional[Shown]:
        """The animation `rel` names, loaded or from the cache; None when the
        name is refused."""
        full = self.resolve(rel)
        if full is None:
            return None
        with self._lock:
            stamp = (_stamp(full), _stamp(self._palette_files.get(full)))
            shown = self._cache.pop(full, None)
            if shown is not None:
                self._cached_bytes -= shown.size
            if shown is None or shown.stamp != stamp:
                shown = self._load(rel, full)
            # A broken file is tried again next time: its palette may have
            # turned up, and it costs little.
            if shown.error is None:
                self._cache[full] = shown  # now the last used
                self._cached_bytes += shown.size
                while self._cached_bytes > self.cache_bytes and len(self._cache) > 1:
                    _, dropped = self._cache.popitem(last=False)
                    self._cached_bytes -= dropped.size
            return shown

    def _load(self, rel: str, full: str) -> Shown:
        doc: Dict[str, Any] = {"path": rel, "name": rel.rsplit("/", 1)[-1], "error": None}
        doc["export_command"] = export_command(self.root, rel)
        before = _stamp(full)
        # One load gives the records, the images and what the core found, in
        # its own words: the reasons a broken file shows, and the notes of one
        # that loads.
        report = native.load_report(full, images=True)
        found = [d.message for d in report.diagnostics]
        palette_file = report.palette.path
        self._palette_files[full] = palette_file
        stamp = (before, _stamp(palette_file))
        try:
            anim = animation_of(report, full)
        except OrvToolError as exc:
            doc["error"] = "; ".join(found) or str(exc)
            return Shown(rel, doc, stamp)
        doc.update(self._describe(anim))
        if report.status == "failed":
            doc["error"] = "; ".join(found)
            return Shown(rel, doc, stamp, anim.frames, [None] * len(anim.frames))
        doc["notes"] = found
        try:
            images = anim.require_images()
        except OrvToolError as exc:
            doc["error"] = str(exc)
            return Shown(rel, doc, stamp, anim.frames, [None] * len(anim.frames))
        pixels = [
            to_numpy(image) if frame.width and frame.height else None
            for frame, image in zip(anim.frames, images, strict=True)
        ]
        return Shown(rel, doc, stamp, anim.frames, pixels)

    def _describe(self, anim: LoadedAnimation) -> Dict[str, Any]:
        frames = []
        for i, f in enumerate(anim.frames):
            frames.append(
                {
                    "index": i,
                    "width": f.width,
                    "height": f.height,
                    "x_offset": f.x_offset,
                    "y_offset": f.y_offset,
                    "is_shadow": f.is_shadow,
                    "frame_size": f.frame_size,
                    "unk1": f.unk1,
                    "unk2": f.unk2,
                    "runs": sum(len(row.runs) for row in f.rows),
                }
            )
        return {
            "form": "background" if anim.head.has_header else "plain",
            "has_background": anim.has_background,
            "speed": anim.head.speed,
            "frame_count": anim.frame_count,
            "frames": frames,
            "palette": {
                "location": os.fsdecode(anim.palette.location),
                "file": self._shown_path(anim.palette.resolved),
                "colors": [list(c) for c in anim.palette_colors],
            },
        }

    def _shown_path(self, path: Optional[str]) -> Optional[str]:
        """A file the loader used, relative to the folder when inside it."""
        if path is None:
            return None
        real = os.path.realpath(path)
        if os.path.commonpath([self.real_root, real]) == self.real_root:
            return os.path.relpath(real, self.real_root).replace(os.sep, "/")
        return real

    # --- what the page asks for --------------------------------------------

    def tree(self, url: Callable[[str, str, int], str]) -> Dict[str, Any]:
        """Every animation below the folder with its frame count, its error
        and the address of its thumbnail (`url(rel, kind, frame)`)."""
        entries = []
        for rel in self.names():
            shown = self.get(rel)
            if shown is None:  # removed meanwhile
                continue
            entries.append(tree_entry(rel, shown, functools.partial(url, rel)))
        return {"root": self.root_name, "animations": entries}

    @property
    def root_name(self) -> str:
        return os.path.basename(self.real_root) or self.real_root


def tree_entry(rel: str, shown: Shown, url: ImageUrl) -> Dict[str, Any]:
    """The animation `rel` as the tree lists it: its frame count, its error
    and the address of its thumbnail."""
    thumb = shown.thumbnail()
    return {
        "path": rel,
        "frames": len(shown.doc.get("frames", [])),
        "error": shown.error,
        "thumbnail": url("image", thumb) if thumb is not None else None,
    }


def export_command(root: str, rel: str) -> str:
    """The command line that exports one animation of the folder."""
    source = os.path.join(root, *rel.split("/"))
    stem = os.path.splitext(rel.rsplit("/", 1)[-1])[0]
    return f"orvtool export {shlex.quote(source)} -o {shlex.quote(os.path.join('out', stem))}"
