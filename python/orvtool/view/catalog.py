"""The animations under one folder, as the viewer shows them.

Every name the viewer is asked for is a path relative to the folder. It is
taken only when it stays inside the folder once resolved (no `..` part, no
absolute path, no symbolic link leading out) and names an animation file (or,
for a palette chosen in the page, a palette file). Nothing is ever written
under the folder.

The list of files comes from a walk of the folder alone: no animation is
loaded for it. The walk is made once and kept while the modification time of
every folder it went through stays the same; one walk runs at a time, and a
request that arrives meanwhile waits for its result instead of walking again.

An animation is loaded when the page asks for it. Its frames are rendered at
once, except those over the render limits below, and each frame's PNG is made
when first asked for; the raw pixels of a frame are then dropped. Loaded
animations are kept per file (and palette), until the file, or the palette it
was drawn with, changes, within a budget counted by the bytes each holds: the
file's bytes that its frame records keep (none for a broken file, which keeps
no record), the pixels still held, the PNG files and answers made (by their
lengths, as they are made) and an estimate of the records. A broken file is
kept as well, by its modification time and those of the palette files it
looked for, so that a palette that turns up (or a file saved again) is seen
at once and an unchanged file is not read again.
"""

from __future__ import annotations

import base64
import fnmatch
import json
import os
import shlex
import stat
import threading
from collections import OrderedDict
from dataclasses import dataclass, field, replace
from typing import Callable, Dict, List, Optional, Sequence, Tuple

from orvtool.core import native
from orvtool.export.exporting import frame_png
from orvtool.formats.sidecar import encode_grey_alpha
from orvtool.load.loading import LoadedAnimation, Named, Show, animation_of, core_pieces, said
from orvtool.model import limits
from orvtool.model.errors import OrvToolError, TooManyFrames
from orvtool.report import status
from orvtool.run import batch

# (kind, frame) -> the URL of that image; kind is "image" or "index".
ImageUrl = Callable[[str, int], str]
# A file's modification time and size, None when it is not there.
FileStamp = Optional[Tuple[int, int]]
# The animation's stamp and those of the palette files its load used or looked for.
Stamp = Tuple[FileStamp, Optional[Tuple[FileStamp, ...]]]
# A JSON object as `json.dumps` takes it.
JSONObject = Dict[str, object]

# Memory that loaded animations may take (see `Shown.size`); the animations
# used longest ago are dropped first.
CACHE_BYTES = limits.VIEW_CACHE_BYTES
# The viewer draws no frame of more pixels than this (4096 x 4096), and no
# more pixels than this for one animation; the frames beyond are listed with
# a note instead of being rendered.
FRAME_PIXELS = limits.VIEW_FRAME_PIXELS
ANIMATION_PIXELS = limits.VIEW_ANIMATION_PIXELS
# What the records of one frame (with its row in the frame table) and of one
# run are taken to cost in memory, for the budget.
FRAME_BYTES = 1024
RUN_BYTES = 96
# The viewer shows no animation of more frames than this.
FRAMES = limits.VIEW_FRAMES
# The palettes the page may offer and choose: binary palette files.
PALETTE_PATTERN = "*.pal"
# How the static page shows a path outside the folder.
OUTSIDE = "(a file outside the folder)"


@dataclass(frozen=True)
class FrameEntry:
    """One frame as the page lists it: the fields of its record and how
    many runs it holds."""

    index: int
    width: int
    height: Optional[int]  # as stored
    x_offset: int
    y_offset: int
    is_shadow: int  # as the record gives it (a bool)
    frame_size: int
    unk1: int
    unk2: int
    runs: int

    def to_json(self, image: Optional[str], index_image: Optional[str]) -> JSONObject:
        """The frame's object, with the addresses of its images."""
        return {
            "index": self.index,
            "width": self.width,
            "height": self.height,
            "x_offset": self.x_offset,
            "y_offset": self.y_offset,
            "is_shadow": self.is_shadow,
            "frame_size": self.frame_size,
            "unk1": self.unk1,
            "unk2": self.unk2,
            "runs": self.runs,
            "image": image,
            "index_image": index_image,
        }


@dataclass(frozen=True)
class PalettePanel:
    """The palette of an animation as the page shows it."""

    location: str  # as the file stores it (see `Catalog.shown_location`)
    file: Optional[str]  # the palette file that drew it, relative to the folder
    missing: bool  # none was found and none was chosen
    chosen: Optional[str]  # the palette chosen in the page
    colors: Sequence[Sequence[int]]  # red, green, blue of each

    def to_json(self) -> JSONObject:
        return {
            "location": self.location,
            "file": self.file,
            "missing": self.missing,
            "chosen": self.chosen,
            "colors": [list(c) for c in self.colors],
        }


@dataclass(frozen=True)
class Described:
    """What the page shows of an animation that was read."""

    form: str  # "background" or "plain"
    has_background: bool
    speed: int
    frame_count: int
    frames: Sequence[FrameEntry]
    palette: PalettePanel


@dataclass(frozen=True)
class Document:
    """One animation as the page gets it (without the addresses of its
    images): its name, why it cannot be shown (`error`), the command that
    exports it, what was read of it and the notes of its load."""

    path: str
    name: str
    error: Optional[str] = None
    export_command: Optional[str] = None
    described: Optional[Described] = None
    notes: Optional[Sequence[str]] = None

    @property
    def frames(self) -> Sequence[FrameEntry]:
        return self.described.frames if self.described is not None else ()

    def pairs(self) -> List[Tuple[str, object]]:
        """The keys of its object in their order, each with its value as
        JSON takes it but `frames` (left to the caller, which adds the images)."""
        items: List[Tuple[str, object]] = [
            ("path", self.path),
            ("name", self.name),
            ("error", self.error),
            ("export_command", self.export_command),
        ]
        d = self.described
        if d is not None:
            items += [
                ("form", d.form),
                ("has_background", d.has_background),
                ("speed", d.speed),
                ("frame_count", d.frame_count),
                ("frames", d.frames),
                ("palette", d.palette.to_json()),
            ]
        if self.notes is not None:
            items.append(("notes", list(self.notes)))
        if d is None:
            items.append(("frames", ()))
        return items


@dataclass
class Shown:
    """One animation file as the page gets it: its document (without image
    addresses) and, per frame, the rendered pixels until its PNG is made. The
    PNG of a frame and of its index layer are made when first asked for, then
    kept, as is the last answer made of the document (`answer`): requests
    for the same image or answer at once wait for the one that makes it."""

    rel: str
    doc: Document
    stamp: Stamp
    frames: Sequence[native.FrameRecord] = field(default_factory=list)  # the load report's records
    solid: List[bool] = field(default_factory=list)  # per frame: drawn
    pixels: Dict[int, native.Image] = field(default_factory=dict)  # not yet made into a PNG
    pngs: Dict[Tuple[str, int], bytes] = field(default_factory=dict)
    records: int = 0  # the estimate of the records' memory
    palette: Optional[str] = None  # the palette chosen in the page, relative to the folder
    file_bytes: int = 0  # the bytes of the file that `frames` keep
    answers: Dict[Tuple[object, ...], bytes] = field(default_factory=dict)
    _lock: threading.Lock = field(default_factory=threading.Lock, init=False, repr=False, compare=False)
    _made: int = field(default=0, init=False, repr=False, compare=False)  # pixels, PNG files, answers: bytes

    def __post_init__(self) -> None:
        self._made = sum(len(image.pixels) for image in self.pixels.values())

    @property
    def size(self) -> int:
        """The memory it takes, in bytes: the file's bytes its records keep,
        the pixels, PNG files and answers it holds, and the estimate of the
        records."""
        return self.file_bytes + self._made + self.records

    @property
    def error(self) -> Optional[str]:
        return self.doc.error

    def document(self, url: ImageUrl) -> JSONObject:
        """The document with the address of every image."""
        return {
            key: [self._frame(i, frame, url) for i, frame in enumerate(self.doc.frames)] if key == "frames" else value
            for key, value in self.doc.pairs()
        }

    def _frame(self, i: int, frame: FrameEntry, url: ImageUrl) -> JSONObject:
        solid = i < len(self.solid) and self.solid[i]
        return frame.to_json(url("image", i) if solid else None, url("index", i) if solid else None)

    def document_json(self, url: ImageUrl) -> bytes:
        """`json.dumps(self.document(url))` in UTF-8, byte for byte, made a
        frame at a time: no copy of the whole document is made on the way."""
        items = self.doc.pairs()
        out = [b"{"]
        for n, (key, value) in enumerate(items):
            out.append(f"{', ' if n else ''}{json.dumps(key)}: ".encode("utf-8"))
            if key != "frames":
                out.append(json.dumps(value).encode("utf-8"))
                continue
            out.append(b"[")
            for i, frame in enumerate(self.doc.frames):
                out.append((", " if i else "").encode("utf-8") + json.dumps(self._frame(i, frame, url)).encode("utf-8"))
            out.append(b"]")
        out.append(b"}")
        return b"".join(out)

    def answer(self, key: Tuple[object, ...], make: Callable[[], bytes]) -> bytes:
        """The answer `make` gives, made once for `key` and kept (the last
        one made): the same request at once shares it."""
        with self._lock:
            body = self.answers.get(key)
            if body is None:
                body = make()
                self._made += len(body) - sum(len(b) for b in self.answers.values())
                self.answers = {key: body}
            return body

    def thumbnail(self) -> Optional[int]:
        """The frame shown in the tree: frame 0, or the first with pixels."""
        return next((i for i, solid in enumerate(self.solid) if solid), None)

    def png(self, kind: str, i: int) -> Optional[bytes]:
        """Frame i as the export writes it: its RGBA PNG (kind "image") or its
        index layer (kind "index"); None when there is no such image."""
        if kind not in ("image", "index") or not (0 <= i < len(self.solid) and self.solid[i]):
            return None
        with self._lock:
            png = self.pngs.get((kind, i))
            if png is None:
                frame = self.frames[i]
                if kind == "image":
                    image = self.pixels.get(i)
                    if image is None:
                        return None
                    png = frame_png(image.pixels, image.width, image.height, frame.x_offset, frame.y_offset, i)
                    self.pngs[(kind, i)] = png
                    del self.pixels[i]
                    self._made += len(png) - len(image.pixels)
                else:
                    # As the export makes it: the core's layer of the frame's runs.
                    layer = native.export_frame(self.frames, i, 256).layer
                    png = encode_grey_alpha(layer, frame.width, frame.height)
                    self.pngs[(kind, i)] = png
                    self._made += len(png)
            return png


def _held_bytes(report: native.LoadReport) -> int:
    """The bytes of the file that the frame records of a load keep: all the
    core read of it, which is up to the end of the last record it began, and
    the bytes after that when it read them too."""
    last = report.frames[len(report.frames) - 1].end if len(report.frames) else 0
    return max(last, report.head_size, report.trailing_start + len(report.trailing))


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


@dataclass(frozen=True)
class Listing:
    """One walk of the folder: the animations and palettes found, sorted, and
    the modification time of every folder walked."""

    animations: List[str]
    palettes: List[str]
    folders: Dict[str, int]

    def current(self) -> bool:
        for path, mtime in self.folders.items():
            try:
                if os.stat(path).st_mtime_ns != mtime:
                    return False
            except OSError:
                return False
        return True


class Catalog:
    """The animations under `root`. Every path the page shows is relative to
    the folder; one outside it is shown with `..` parts, or as the text
    `outside` when given."""

    def __init__(
        self,
        root: str,
        pattern: str = batch.DEFAULT_PATTERN,
        cache_bytes: int = CACHE_BYTES,
        outside: Optional[str] = None,
    ) -> None:
        self.root = root  # as given, for the command lines shown
        self.real_root = os.path.realpath(root)
        self.outside = outside
        self.pattern = pattern.lower()
        self.cache_bytes = cache_bytes
        self._cache: "OrderedDict[Tuple[str, Optional[str]], Shown]" = OrderedDict()
        # Per file and palette: the palette files the load used or looked for.
        self._looked: Dict[Tuple[str, Optional[str]], Tuple[str, ...]] = {}
        self._lock = threading.Lock()  # one load at a time: the cache is shared
        self._scan_lock = threading.Lock()  # one walk at a time
        self._listing: Optional[Listing] = None
        self._locations: Dict[str, bytes] = {}  # per animation, the palette location it stores
        self.scans = 0  # walks made, for those who watch the cost

    # --- names ------------------------------------------------------------

    def resolve(self, rel: str, pattern: Optional[str] = None) -> Optional[str]:
        """The real path of the file `rel` names below the folder, when its
        name matches `pattern` (the animations' by default); None when it
        names nothing the viewer may show."""
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
        if not fnmatch.fnmatch(parts[-1].lower(), pattern or self.pattern):
            return None
        try:
            if not stat.S_ISREG(os.stat(full).st_mode):
                return None
        except OSError:
            return None
        return full

    def listing(self) -> Listing:
        """The walk of the folder, made again only when a folder changed."""
        with self._scan_lock:
            if self._listing is None or not self._listing.current():
                self._listing = self._walk()
                self.scans += 1
            return self._listing

    def _walk(self) -> Listing:
        animations: List[str] = []
        palettes: List[str] = []
        folders: Dict[str, int] = {}
        pending = [self.real_root]
        while pending:
            directory = pending.pop()
            try:
                folders[directory] = os.stat(directory).st_mtime_ns
                with os.scandir(directory) as it:
                    entries = list(it)
            except OSError:
                continue
            for entry in entries:
                try:
                    if entry.is_dir(follow_symlinks=False):
                        pending.append(entry.path)
                        continue
                    regular = entry.is_file(follow_symlinks=False)
                except OSError:
                    continue
                name = entry.name.lower()
                kind = animations if fnmatch.fnmatch(name, self.pattern) else None
                if kind is None and fnmatch.fnmatch(name, PALETTE_PATTERN):
                    kind = palettes
                if kind is None:
                    continue
                rel = os.path.relpath(entry.path, self.real_root).replace(os.sep, "/")
                try:
                    rel.encode("utf-8")
                except UnicodeEncodeError:  # a name that is not UTF-8 cannot travel in a URL
                    continue
                # A link is followed, to see that it stays inside; a plain file is taken as it is.
                pattern = self.pattern if kind is animations else PALETTE_PATTERN
                if regular or self.resolve(rel, pattern):
                    kind.append(rel)
        return Listing(sorted(animations, key=_order), sorted(palettes, key=_order), folders)

    def names(self) -> List[str]:
        """Every animation file below the folder that `resolve` accepts, in
        sorted order, as "/"-separated relative paths."""
        return list(self.listing().animations)

    def palettes(self) -> List[str]:
        """The palette files below the folder, which the page may choose."""
        return list(self.listing().palettes)

    def palette(self, rel: str) -> Optional[str]:
        """The real path of the palette `rel` names, when it is one of `palettes`."""
        full = self.resolve(rel, PALETTE_PATTERN)
        return full if full is not None and rel in self.listing().palettes else None

    # --- loading ----------------------------------------------------------

    def get(self, rel: str, palette: Optional[str] = None) -> Optional[Shown]:
        """The animation `rel` names, loaded or from the cache, drawn with the
        palette file `palette` (relative to the folder, see `palette`) when
        given; None when a name is refused."""
        full = self.resolve(rel)
        pal_full = self.palette(palette) if palette is not None else None
        if full is None or (palette is not None and pal_full is None):
            return None
        key = (full, pal_full)
        with self._lock:
            shown = self._cache.pop(key, None)
            if shown is None or shown.stamp != self._stamp_of(key):
                shown = self._load(rel, full, palette, pal_full)
            self._cache[key] = shown  # now the last used
            self._trim()
            return shown

    def _stamp_of(self, key: Tuple[str, Optional[str]]) -> Stamp:
        return (_stamp(key[0]), tuple(_stamp(p) for p in self._looked.get(key, ())))

    def stamp(self, rel: str, palette: Optional[str] = None) -> Optional[Stamp]:
        """What changes when the animation `rel` (drawn with `palette`) would
        look different: the modification times of the file and of the palette
        files its last load used or looked for; None when `rel` names nothing."""
        full = self.resolve(rel)
        pal_full = self.palette(palette) if palette is not None else None
        if full is None or (palette is not None and pal_full is None):
            return None
        with self._lock:
            return self._stamp_of((full, pal_full))

    def trim(self) -> None:
        """Drops the animations used longest ago while those kept take more
        than the budget (the last used is kept): after an image or an answer
        made has grown one."""
        with self._lock:
            self._trim()

    def _trim(self) -> None:
        total = sum(s.size for s in self._cache.values())
        while total > self.cache_bytes and len(self._cache) > 1:
            _, dropped = self._cache.popitem(last=False)
            total -= dropped.size

    def _load(self, rel: str, full: str, palette: Optional[str], pal_full: Optional[str]) -> Shown:
        doc = Document(rel, rel.rsplit("/", 1)[-1], export_command=export_command(self.root, rel))
        before = _stamp(full)
        key = (full, pal_full)
        self._looked[key] = ()
        # One read gives the records and what the core found, in its own
        # words: the reasons a broken file shows, and the notes of one that
        # loads. Its frames are then rendered one by one, within the limits.
        try:
            stream = native.open_frames(full, pal_full)
        except TooManyFrames as exc:  # more frame records than orvtool reads: its detail names no path
            return Shown(rel, replace(doc, error=exc.detail), (before, None))
        if len(stream) > FRAMES:
            doc = replace(
                doc, error=f"{len(stream)} frames: more than the viewer shows ({FRAMES})", export_command=None
            )
            return Shown(rel, doc, (before, ()))
        first = stream.report(records=False)
        palette_file = first.palette.path
        self._locations[full] = first.location  # as stored, whichever palette draws
        self._looked[key] = (palette_file,) if palette_file else tuple(first.palette.tried)
        stamp = (before, tuple(_stamp(p) for p in self._looked[key]))
        images: List[Optional[native.Image]] = [None] * len(first.frames)
        skipped: List[str] = []
        # Rendered as the module's load renders, a broken file included, so
        # that its findings are the load's.
        if len(stream):
            budget = ANIMATION_PIXELS
            for i, record in enumerate(first.frames):
                area = record.width * record.height
                if area > FRAME_PIXELS or area > budget:
                    limit = FRAME_PIXELS if area > FRAME_PIXELS else ANIMATION_PIXELS
                    skipped.append(
                        f"frame {i} is not drawn: {record.width}\u00d7{record.height} is more than the viewer "
                        f"draws ({limit} pixels {'a frame' if limit == FRAME_PIXELS else 'an animation'})"
                    )
                    images[i] = native.Image(i, 0, 0, record.x_offset, record.y_offset, b"")
                    continue
                budget -= area
                images[i] = stream.render(i)
                if images[i] is None:  # the palette holds no colour
                    images = [None] * len(first.frames)
                    break
        report = stream.report(records=True)
        del stream
        drawn = None if any(image is None for image in images) else [i for i in images if i is not None]
        show = self._show(full)
        try:
            anim = animation_of(report._replace(images=drawn), full)
        except OrvToolError as exc:
            # The core's own words for a file that is no whole animation.
            found = [said(core_pieces(d, report.palette, full), show) for d in report.diagnostics]
            # nothing that export could write
            return Shown(rel, replace(doc, error="; ".join(found) or exc.text, export_command=None), stamp)
        doc = replace(doc, described=self._describe(anim, full, palette))
        found = [f.said(show) for f in anim.findings]  # in orvtool's words (a missing palette)
        records = len(anim.frames) * FRAME_BYTES + sum(f.runs for f in doc.frames) * RUN_BYTES
        if status.label(report.counts) == status.FAILED or anim.images is None:  # by the severity table
            doc = replace(doc, error="; ".join(found) or "no image was rendered")
            return Shown(rel, doc, stamp, [], [False] * len(anim.frames), records=records)  # nothing to draw
        doc = replace(doc, notes=found + skipped)
        solid = [image is not None and bool(image.width and image.height) for image in images]
        pixels = {i: image for i, image in enumerate(images) if image is not None and solid[i]}
        held = _held_bytes(report)
        return Shown(rel, doc, stamp, report.frames, solid, pixels, records=records, palette=palette, file_bytes=held)

    def _describe(self, anim: LoadedAnimation, full: str, palette: Optional[str]) -> Described:
        frames = [
            FrameEntry(
                i,
                f.width,
                f.height,
                f.x_offset,
                f.y_offset,
                f.is_shadow,
                f.frame_size,
                f.unk1,
                f.unk2,
                sum(len(row.runs) for row in f.rows),
            )
            for i, f in enumerate(anim.frames)
        ]
        location = os.fsdecode(self._locations.get(full, anim.palette.location))
        return Described(
            form="background" if anim.head.has_header else "plain",
            has_background=anim.has_background,
            speed=anim.head.speed,
            frame_count=anim.frame_count,
            frames=frames,
            palette=PalettePanel(
                location=self.shown_location(location, full),
                file=self.shown_path(anim.palette.resolved),
                missing=anim.palette.resolved is None and palette is None,
                chosen=palette,
                colors=[list(c) for c in anim.palette_colors],
            ),
        )

    def shown_path(self, path: Optional[str]) -> Optional[str]:
        """A file the loader used, relative to the folder: the page never
        shows an absolute path. One outside the folder has `..` parts, or is
        the `outside` text."""
        if path is None:
            return None
        try:
            rel = os.path.relpath(os.path.realpath(path), self.real_root).replace(os.sep, "/")
        except ValueError:  # another drive
            return self.outside or "(a file on another drive)"
        return self.outside if self.outside and (rel == ".." or rel.startswith("../")) else rel

    def shown_location(self, location: str, full: str) -> str:
        """The palette location that the animation `full` stores: as stored
        when it is a name to search for; one that is absolute or climbs with
        `..` is shown from the folder, as every other path the page shows."""
        if os.path.isabs(location) or ".." in location.replace(os.sep, "/").split("/"):
            where = os.path.normpath(os.path.join(os.path.dirname(full), location))
            return self.shown_path(where) or location
        if location.startswith("\\\\") or location[1:3] in (":\\", ":/"):  # absolute on another system
            return self.outside or location
        return location

    def _show(self, full: str) -> Show:
        """How the page shows each path that a message about `full` names."""

        def show(named: Named) -> str:
            if named.kind == "location":
                return self.shown_location(named.path, full)
            shown = self.shown_path(named.path) or named.path
            below = shown not in (".", "..", self.outside) and not shown.startswith("../")
            return "./" + shown if named.kind == "folder" and below else shown  # a folder as a shell names it

        return show

    # --- what the page asks for --------------------------------------------

    def tree(self) -> JSONObject:
        """Every animation below the folder, by name only: the page asks for
        the details of those it shows (`entry`)."""
        return {"root": self.root_name, "animations": [{"path": rel} for rel in self.names()]}

    @property
    def root_name(self) -> str:
        return os.path.basename(self.real_root) or self.real_root


def _order(rel: str) -> Tuple[List[str], str]:
    """Folders first by name, then the files of each folder, as a tree lists them."""
    parts = rel.split("/")
    return parts[:-1], parts[-1]


def tree_entry(rel: str, shown: Shown, url: ImageUrl) -> JSONObject:
    """The animation `rel` as the tree lists it: its frame count, its error
    and the address of its thumbnail."""
    thumb = shown.thumbnail()
    return {
        "path": rel,
        "frames": len(shown.doc.frames),
        "error": shown.error,
        "thumbnail": url("image", thumb) if thumb is not None else None,
    }


def export_command(root: str, rel: str) -> str:
    """The command line that exports one animation of the folder, into a
    folder of `out` named after the file, below one named after its folder
    (`out/hero/walk` for `hero/walk.orv`, `out/walk` for `walk.orv` at the
    top), whether or not other animations lie beside it."""
    source = os.path.join(root, *rel.split("/"))
    parts = rel.split("/")
    stem = os.path.splitext(parts[-1])[0]
    target = os.path.join("out", parts[-2], stem) if len(parts) > 1 else os.path.join("out", stem)
    return f"orvtool export {shlex.quote(source)} -o {shlex.quote(target)}"
