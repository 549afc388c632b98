"""Loading one animation file with pyorv, with everything the tools need.

`load_animation` reads a file with `pyorv.OrvF`, takes a plain snapshot of its
records (`model`), checks that the records account for the file's bytes (the module's
reader trusts every count and never reports a short or foreign file), finds
out which palette file the loader used, and keeps the rendered images.

The module writes its diagnostics straight to the process's file descriptor 2;
they are caught here and turned into messages that name the file.
"""

from __future__ import annotations

import contextlib
import os
import struct
import tempfile
from dataclasses import dataclass, field
from typing import Iterator, List, Optional, Tuple

import pyorv

from .errors import OrvToolError
from .formats import palettes
from .model import Color, Frame, Row, Run

MAGIC = b"FVRO"
HEADER_BYTES = 9  # magic, reserved, flag


@dataclass
class Head:
    """The start of an animation file as stored, before the frame records."""

    has_header: bool
    reserved: bytes
    flag: Optional[int]
    speed: int
    path_length: int
    path_field: bytes
    frame_count_field: int
    size: int  # bytes taken by header and head

    @property
    def location(self) -> bytes:
        """The palette location: the path bytes before the first zero byte."""
        return self.path_field.split(b"\0", 1)[0]


@dataclass
class PaletteSearch:
    """Where the loader looked for the palette and what it found."""

    location: bytes  # what was searched for (stored location or --palette)
    from_option: bool
    resolved: Optional[str]  # the file the loader read, None when not found
    tried: List[str] = field(default_factory=list)


@dataclass
class LoadedAnimation:
    path: str
    file_size: int
    head: Head
    has_background: bool
    frame_count: int
    frames: List[Frame]  # with their height and raw height word as stored
    palette: PaletteSearch
    palette_colors: List[Color]  # as the module holds them (256 after a load)
    palette_entries: Optional[int]  # the entries the palette file holds; the rest are filler
    images: Optional[list]  # pyorv.OrvFrameBufferObject per frame, None when nothing rendered
    render_problem: Optional[str]  # why there are no images
    trailing: bytes  # bytes after the last frame record, which the loader ignores
    diagnostics: List[str]  # lines the module wrote while loading

    def require_images(self) -> list:
        """The rendered images, one per frame; raises when the module rendered
        none or refused a frame."""
        if self.images is None:
            raise OrvToolError(self.render_problem or "no image was rendered")
        for i, (frame, image) in enumerate(zip(self.frames, self.images)):
            if (image.width, image.height) != (frame.width, frame.height):
                raise OrvToolError(
                    f"frame {i} ({frame.width}x{frame.height}) is too large for the renderer"
                )
        return self.images


@contextlib.contextmanager
def capture_native_stderr() -> Iterator[List[str]]:
    """Redirects file descriptor 2 to a temporary file for the duration of the
    block; afterwards the list holds the lines written to it."""
    lines: List[str] = []
    saved = os.dup(2)
    try:
        with tempfile.TemporaryFile() as tmp:
            os.dup2(tmp.fileno(), 2)
            try:
                yield lines
            finally:
                os.dup2(saved, 2)
                tmp.seek(0)
                text = tmp.read().decode("utf-8", "replace")
                lines.extend(line for line in text.splitlines() if line.strip())
    finally:
        os.close(saved)


def parse_head(data: bytes) -> Head:
    """Reads the header and head of an animation file, refusing bytes that
    cannot be one (counts that run past the end of the file)."""
    pos = 0
    has_header = data[:4] == MAGIC
    reserved = b""
    flag: Optional[int] = None
    if has_header:
        if len(data) < HEADER_BYTES:
            raise OrvToolError("not an animation file: the header is cut short")
        reserved = data[4:8]
        flag = data[8]
        pos = HEADER_BYTES
    if len(data) < pos + 8:
        raise OrvToolError(f"not an animation file: only {len(data)} bytes")
    speed, n = struct.unpack_from("<II", data, pos)
    pos += 8
    if n > len(data) - pos - 4:
        raise OrvToolError(
            f"not an animation file: its palette path length {n} runs past the end of the file "
            f"({len(data)} bytes)"
        )
    path_field = data[pos : pos + n]
    pos += n
    (count,) = struct.unpack_from("<I", data, pos)
    pos += 4
    return Head(has_header, reserved, flag, speed, n, path_field, count, pos)


def find_palette(animation_path: bytes, location: bytes) -> Tuple[Optional[str], List[str]]:
    """The loader's palette search: from the animation's directory towards the
    root, the first directory under which `location` names something that
    exists. Returns the resolved path (or None) and the candidates tried."""
    tried: List[str] = []
    directory = os.path.dirname(animation_path)
    while directory:
        candidate = os.path.join(directory, location)
        tried.append(os.fsdecode(candidate))
        if os.path.exists(candidate):
            return os.fsdecode(os.path.realpath(candidate)), tried
        parent = os.path.dirname(directory)
        if parent == directory:
            break
        directory = parent
    return None, tried


def _snapshot_frames(data: "pyorv.OrvData") -> List[Frame]:
    frames = []
    for fr in data.frames:
        rows: List[Row] = []
        for row in fr.pixel_sets:
            runs = [Run(b.offset, bytes(b.colors), b.color_count) for b in row.blocks]
            rows.append(Row(runs, row.block_count))
        frames.append(
            Frame(
                frame_size=fr.frame_size,
                height=fr.height,
                is_shadow=fr.is_shadow,
                width=fr.width,
                y_offset=fr.y_offset,
                x_offset=fr.x_offset,
                unk1=fr.unk1,
                unk2=fr.unk2,
                rows=rows,
            )
        )
    return frames


def _place_frames(raw: bytes, head: Head, frames: List[Frame], declared: int) -> bytes:
    """Finds each frame record in the file from the counts held, reads its raw
    height word, and checks that the file holds every declared frame whole.
    Returns the bytes after the last record."""
    if len(frames) < declared:
        raise OrvToolError(
            f"the file is cut short or not an animation: it declares {declared} frames "
            f"but its bytes end after {len(frames)}"
        )
    pos = head.size
    for i, frame in enumerate(frames):
        end = pos + frame.record_bytes()
        incomplete = any(
            len(run.indices) != run.color_count for row in frame.rows for run in row.runs
        ) and not frame.is_shadow
        if end > len(raw) or incomplete:
            raise OrvToolError(
                f"the file is cut short or not an animation: frame {i} runs past the end of the file"
            )
        (frame.height_word,) = struct.unpack_from("<H", raw, pos + 4)
        pos = end
    return raw[pos:]


def load_animation(path: str, palette: Optional[str] = None) -> LoadedAnimation:
    """Loads one animation file. Raises OrvToolError for a file that cannot be
    read or is not a whole animation; a palette that cannot be found or read
    only leaves the result without images (see `require_images`)."""
    try:
        with open(path, "rb") as fh:
            raw = fh.read()
    except OSError as exc:
        raise OrvToolError(f"cannot read: {exc.strerror or exc}") from None
    head = parse_head(raw)

    # The loader searches from the directory part of the name it is given, so
    # it gets an absolute name: a bare file name would give it nowhere to look.
    abs_path = os.path.abspath(path)
    orv = pyorv.OrvF()
    with _readable_palette(palette) as (io_pal, converted, unusable):
        with capture_native_stderr() as diagnostics:
            try:
                result = orv.load(abs_path, io_pal=io_pal)
            except RuntimeError as exc:
                raise OrvToolError(f"the loader failed: {exc}") from None
    data = orv.data()
    frames = _snapshot_frames(data)
    trailing = _place_frames(raw, head, frames, _declared_frames(head))

    if palette:
        location = os.fsencode(palette)
        resolved = os.path.realpath(palette) if os.path.exists(palette) else None
        search = PaletteSearch(location, True, resolved, [os.path.abspath(palette)])
    else:
        found, tried = find_palette(os.fsencode(abs_path), head.location)
        search = PaletteSearch(head.location, False, found, tried)

    images: Optional[list] = None
    problem: Optional[str] = None
    if unusable is not None:
        result = None
        problem = f"palette {search.resolved} could not be used ({unusable})"
    elif result is None:
        problem = _why_nothing_rendered(search, frames, diagnostics)
    else:
        images = orv.get_frame_buffer()
    entries = converted if converted is not None else _entry_count(search.resolved)
    colors = [(c.r, c.g, c.b, c.a) for c in data.palette.colors()]
    return LoadedAnimation(
        path=path,
        file_size=len(raw),
        head=head,
        has_background=data.has_background,
        frame_count=data.info.frame_count,
        frames=frames,
        palette=search,
        palette_colors=colors,
        palette_entries=entries if images is not None else None,
        images=images,
        render_problem=problem,
        trailing=trailing,
        diagnostics=list(diagnostics),
    )


@contextlib.contextmanager
def _readable_palette(palette: Optional[str]) -> Iterator[Tuple[str, Optional[int], Optional[str]]]:
    """(the palette name for the module, the entry count of a palette that
    was converted for it, why a palette in another format is unusable).
    A palette in any format that orvtool reads is handed to the module as a
    temporary copy in the binary format."""
    if not palette:
        yield "", None, None
        return
    if not os.path.isfile(palette) or palettes.is_game_palette(palette):
        yield os.path.abspath(palette), None, None
        return
    try:
        colors = palettes.read_palette(palette)
        data = palettes.encode_pal(colors)
    except OrvToolError as exc:
        yield "", None, str(exc)
        return
    with tempfile.TemporaryDirectory(prefix="orvtool-") as folder:
        copy = os.path.join(folder, "palette.pal")
        with open(copy, "wb") as fh:
            fh.write(data)
        yield copy, len(colors.colors), None


def _entry_count(palette: Optional[str]) -> Optional[int]:
    """The entry count that a binary palette file states."""
    if not palette:
        return None
    try:
        with open(palette, "rb") as fh:
            head = fh.read(2)
    except OSError:
        return None
    return struct.unpack("<H", head)[0] if len(head) == 2 else None


def _declared_frames(head: Head) -> int:
    """The number of frame records that the head announces, as the loader
    counts them (32-bit count, plus the background frame, taken as signed)."""
    count = head.frame_count_field
    if head.has_header and head.flag:
        count = (count + 1) & 0xFFFFFFFF
    return count if count < 0x80000000 else 0


def _why_nothing_rendered(search: PaletteSearch, frames: List[Frame], lines: List[str]) -> str:
    shown = os.fsdecode(search.location)
    if not frames:
        return "the animation holds no frames"
    if search.resolved is None:
        if search.from_option:
            return f"palette not found: {shown}"
        return f"palette not found: no '{shown}' in the animation's folder or any folder above it"
    if os.path.isdir(search.resolved):
        return f"palette {search.resolved} is a folder, not a palette file"
    detail = "; ".join(line.removeprefix("ERROR: ") for line in lines) or "nothing rendered"
    return f"palette {search.resolved} could not be used ({detail})"
