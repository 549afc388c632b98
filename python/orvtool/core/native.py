"""The one gateway to orvtool's private module `orvtool._native`.

The module hands back plain values (dicts, lists, tuples); here each becomes
a typed record, so that the rest of orvtool reads fields, not string keys. A
record is built from exactly the keys the module gives: a key added, renamed
or dropped on either side fails at the first call, not somewhere downstream.
The records are named tuples: read-only, and cheap to define and to make (a
command imports this module before its first file, and a batch makes records
of every file).
The categories of findings are named once, in `Category`, and checked against
the module's own list when this module is imported. No other module of
orvtool imports `_native`.
"""

import os
from collections.abc import Iterable, Sequence
from typing import (
    TYPE_CHECKING,
    Any,
    Callable,
    Dict,
    List,
    Literal,
    NamedTuple,
    Optional,
    Tuple,
    TypeVar,
    Union,
    get_args,
    overload,
)

from orvtool import _native
from orvtool.model import limits
from orvtool.model import records as model
from orvtool.model.errors import TooManyFrames

if TYPE_CHECKING:
    from numpy.typing import NDArray

Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
Data = Union[bytes, bytearray, memoryview]

# Every category of finding, in the order of the core's list.
Category = Literal[
    "palette_open_failed",
    "palette_count_invalid",
    "palette_short",
    "palette_write_open_failed",
    "palette_write_failed",
    "palette_save_skipped",
    "color_lookup_out_of_bounds",
    "file_open_failed",
    "head_cut_short",
    "frames_cut_short",
    "trailing_bytes",
    "palette_not_found",
    "palette_search_failed",
    "index_past_palette_file",
    "no_frames",
    "file_write_open_failed",
    "file_write_failed",
    "no_palette_data",
    "row_missing",
    "color_index_out_of_range",
    "frame_too_large",
    "frame_over_budget",
    "too_many_frames",
]
CATEGORIES: Tuple[Category, ...] = get_args(Category)

Status = Literal["ok", "problems", "failed"]
Result = Literal["placed", "open_failed", "write_failed", "not_written", "link_refused"]
Method = Literal["replace", "in_place"]


class NativeMismatch(ImportError):
    """The private module does not speak the language this orvtool expects."""


def check_categories(names: Iterable[str]) -> None:
    """Refuses a module whose categories of findings are not orvtool's."""
    found = tuple(names)
    if found == CATEGORIES:
        return
    unknown = [n for n in found if n not in CATEGORIES]
    missing = [n for n in CATEGORIES if n not in found]
    detail = f"unknown to orvtool: {', '.join(unknown) or 'none'}; missing: {', '.join(missing) or 'none'}"
    if not unknown and not missing:
        detail = "the same names in another order"
    raise NativeMismatch(
        f"orvtool._native names other categories of findings than orvtool ({detail}); "
        "install orvtool and its module from the same build"
    )


check_categories(_native.CATEGORIES)

# The version of the build, which the pyorv beside orvtool must have.
BUILD_VERSION: str = _native.__version__


# --- the load report -----------------------------------------------------------

T = TypeVar("T")


class Lazy(Sequence[T]):
    """The items of a sequence, each made into a record when read: the
    module's frame records and images are made one at a time, so that a file
    of millions of frames costs its load's own memory, not an object per
    frame held at once."""

    def __init__(self, source: Any, convert: Callable[[Any], T]) -> None:
        self._source = source
        self._convert = convert

    def __len__(self) -> int:
        return len(self._source)

    @overload
    def __getitem__(self, index: int) -> T: ...

    @overload
    def __getitem__(self, index: slice) -> List[T]: ...

    def __getitem__(self, index: Union[int, slice]) -> Union[T, List[T]]:
        if isinstance(index, slice):
            return [self._convert(self._source[i]) for i in range(*index.indices(len(self)))]
        return self._convert(self._source[index])

    def __eq__(self, other: object) -> bool:
        if isinstance(other, (Lazy, list, tuple)):
            return list(self) == list(other)
        return NotImplemented

    __hash__ = None  # type: ignore[assignment]


Run = Tuple[int, int, bytes]  # offset, colour count, the colours' indices
RowRecord = Tuple[int, List[Run]]  # block count as stored, runs


class Diagnostic(NamedTuple):
    """One finding: a category to branch on, the message, the files it
    concerns (each where the message names it), and the frame, row and
    colour index (or entry count) it concerns."""

    category: Category
    error_line: bool  # the module prints it as one of its "ERROR: " lines
    message: str
    # The files it concerns, as the file system names them: the palette file,
    # the animation file, the paths of the file system's error; in the order
    # the message names them.
    paths: Tuple[str, ...]
    spans: Tuple[Tuple[int, int], ...]  # (start, end) of each path in the message, as the message shows it
    frame: Optional[int]
    row: Optional[int]
    index: Optional[int]  # type: ignore[assignment]  # the field hides tuple.index
    values: Tuple[int, int, int] = (0, 0, 0)  # the numbers its message gives, by category


class Form(NamedTuple):
    """The file's form: with the background form's header or plain."""

    has_header: bool
    reserved: Optional[bytes]  # the header's reserved bytes; None without a header
    flag: Optional[int]  # the background flag byte, None when not read


class PaletteReport(NamedTuple):
    """Where the load looked for the palette and what it found."""

    location: bytes  # the stored location, or io_pal as given
    from_option: bool
    tried: List[str]
    path: Optional[str]  # the file given to the palette's load; None when the search found nothing
    is_directory: bool
    result: int  # the palette load's result code
    entry_count: Optional[int]
    entries_in_file: int
    # Why no palette was loaded: not_found, is_directory, missing, open_failed or count_invalid.
    problem: Optional[str]
    colors: bytes  # r, g, b, a of each entry the loader holds (256 after a load)


class FrameRecord(NamedTuple):
    """One frame record: where it lies in the file and its fields."""

    index: int  # type: ignore[assignment]  # the field hides tuple.index
    start: int
    end: int
    whole: bool
    height_word: int
    frame_size: int
    height: int
    is_shadow: bool
    width: int
    y_offset: int
    x_offset: int
    unk1: int
    unk2: int
    rows: Optional[List[RowRecord]] = None  # None when the report was asked for without records


class FrameTable(NamedTuple):
    """The frames of a load as columns, one item per frame: the fields of
    each frame record, and the statistics of its runs as the core counts
    them."""

    width: List[int]
    height: List[int]
    x_offset: List[int]
    y_offset: List[int]
    is_shadow: List[bool]
    frame_size: List[int]
    unk1: List[int]
    unk2: List[int]
    rows: List[int]
    runs: List[int]
    empty_runs: List[int]
    covered_pixels: List[int]  # the colour counts added up
    longest_run: List[int]
    most_runs_in_a_row: List[int]
    non_maximal_rows: List[int]  # rows past the height, or not the maximal encoding of their pixels
    palette_pixels: List[int]  # pixels a frame other than a shadow frame covers inside its width and height
    past_palette: List[int]  # of those, the ones whose index is not below the palette file's entry count


class FrameTotals(NamedTuple):
    """The statistics of the runs of all frames of a load (see `FrameTable`):
    the counts added up, the longest run and the most runs in a row of any
    frame (0 without frames)."""

    rows: int
    runs: int
    empty_runs: int
    covered_pixels: int
    longest_run: int
    most_runs_in_a_row: int
    non_maximal_rows: int
    palette_pixels: int
    past_palette: int


class Image(NamedTuple):
    """One rendered frame: RGBA bytes, row by row, as
    `pyorv.OrvFrameBufferObject` holds it."""

    index: int  # type: ignore[assignment]  # the field hides tuple.index
    width: int
    height: int
    offset_x: int
    offset_y: int
    pixels: bytes

    @property
    def channels(self) -> int:
        return 4


class LoadReport(NamedTuple):
    """Everything one load learned, as the core reports it."""

    path: str
    status: Status
    opened: bool
    file_size: int
    form: Form
    head_whole: bool
    head_size: int
    speed: Optional[int]
    path_length: Optional[int]
    path_field: bytes
    location: bytes
    frame_count_field: Optional[int]
    has_background: bool
    frame_count: int
    frames_wanted: int
    frames_whole: int
    trailing_start: int
    trailing_bytes: int  # after the last frame record, counted from the file's size
    trailing: bytes  # those bytes, when the load was asked to read them (trailing=True); else empty
    palette: PaletteReport
    frames: Sequence[FrameRecord]  # made when read
    diagnostics: List[Diagnostic]
    counts: Dict[str, int]
    diagnostics_total: int
    # The rendered frames, when asked for: None when nothing rendered.
    images: Optional[Sequence[Image]] = None
    # The frames as columns with the statistics of their runs, when asked for.
    frame_table: Optional[FrameTable] = None
    # The line of each frame in the table that `orvtool info` prints, when asked for.
    frame_lines: Optional[List[str]] = None
    # The statistics of all frames, with the table or the lines.
    frame_totals: Optional[FrameTotals] = None


def _image(d: Dict[str, Any]) -> Image:
    return Image(**d)


def _frame_record(d: Dict[str, Any]) -> FrameRecord:
    return FrameRecord(**d)


def model_row(record: RowRecord) -> model.Row:
    """A row of the record model from the module's (block_count, runs)."""
    block_count, runs = record
    return model.Row([model.Run(offset, indices, count) for offset, count, indices in runs], block_count)


def _model_frame(d: Dict[str, Any]) -> model.Frame:
    return model.Frame(
        frame_size=d["frame_size"],
        height=d["height"],
        is_shadow=d["is_shadow"],
        width=d["width"],
        y_offset=d["y_offset"],
        x_offset=d["x_offset"],
        unk1=d["unk1"],
        unk2=d["unk2"],
        rows=[model_row(r) for r in d["rows"] or []],
        height_word=d["height_word"],
    )


def model_frames(frames: Sequence[FrameRecord]) -> Sequence[model.Frame]:
    """A load report's frames (`LoadReport.frames`) as the record model's,
    each made when read, with its height and raw height word as stored."""
    if not isinstance(frames, Lazy):
        raise TypeError("frames are the frames of a load report")
    return Lazy(frames._source, _model_frame)


def _report(d: Dict[str, Any]) -> LoadReport:
    """The report of a dict that the module made for this call (and that is
    taken over here)."""
    d["form"] = Form(**d["form"])
    d["palette"] = PaletteReport(**d["palette"])
    d["frames"] = Lazy(d["frames"], _frame_record)
    d["diagnostics"] = [Diagnostic(**x) for x in d["diagnostics"]]
    if d.get("images") is not None:
        d["images"] = Lazy(d["images"], _image)
    if "frame_table" in d:
        d["frame_table"] = FrameTable(**d["frame_table"])
    if "frame_totals" in d:
        d["frame_totals"] = FrameTotals(**d["frame_totals"])
    return LoadReport(**d)


def _refused(path: Path, report: Dict[str, Any]) -> None:
    """The TooManyFrames of a file that allows more frame records than
    orvtool reads (the module's refusal holds that one finding; its first
    number is the records the file allows)."""
    for d in report["diagnostics"]:
        if d["category"] == "too_many_frames":
            raise TooManyFrames(os.fsdecode(path), d["message"], int(d["values"][0]))


def load_report(
    path: Path,
    io_pal: Optional[Path] = None,
    *,
    records: bool = True,
    images: bool = False,
    frame_table: bool = False,
    frame_lines: bool = False,
    trailing: bool = False,
) -> LoadReport:
    """Loads an animation file as `pyorv.OrvF.load` does, printing nothing
    (io_pal names the palette file, else it is searched for), through one
    open and only as far as its frame records reach; with images=True the
    report holds the rendered frames too, with frame_table=True the frames as
    columns with their run statistics, with frame_lines=True the lines of the
    frame table that `orvtool info` prints; with either of the last two, the
    statistics of all frames; with trailing=True the bytes after the last
    frame record, when they are at most limits.TRAILING_BYTES (else only
    counted). A file whose head and size allow more frame records than
    orvtool reads is refused (TooManyFrames) before any is read, on the same
    open."""
    report = _native.load_report(
        path,
        io_pal,
        records=records,
        images=images,
        frame_table=frame_table,
        frame_lines=frame_lines,
        max_records=limits.FRAME_RECORDS,
        trailing=limits.TRAILING_BYTES if trailing else 0,
    )
    _refused(path, report)
    return _report(report)


class FrameStream:
    """One animation read once, rendered one frame at a time."""

    def __init__(self, stream: _native.FrameStream) -> None:
        self._stream = stream

    def __len__(self) -> int:
        return len(self._stream)

    def render(self, index: int) -> Optional[Image]:
        """Frame `index`, or None when the palette holds no colour."""
        image = self._stream.render(index)
        return None if image is None else _image(image)

    def report(self, *, records: bool = False) -> LoadReport:
        """The load report, with the findings of the frames rendered so far."""
        return _report(self._stream.report(records=records))

    def frame_box(self, index: int) -> Tuple[int, int, int, int]:
        """(x_offset, y_offset, width, height) of frame `index`'s record."""
        return self._stream.frame_box(index)

    def extent(self) -> Optional[Tuple[int, int, int, int]]:
        """(left, top, right, bottom): the union of the rectangles of the
        frames that hold pixels, relative to the origin; None when none does."""
        return self._stream.extent()


def open_frames(path: Path, io_pal: Optional[Path] = None, data: Optional[Data] = None) -> FrameStream:
    """Reads an animation file and its palette without rendering, through
    one open and only as far as its frame records reach; with `data`, the
    file's bytes come from it and `path` only serves the palette search.
    Refuses one as `load_report` does, from the same open (or the bytes)."""
    if data is None:
        stream = _native.open_frames(path, io_pal, max_records=limits.FRAME_RECORDS)
    else:
        stream = _native.open_frames(path, io_pal, data=data, max_records=limits.FRAME_RECORDS)
    if not len(stream):  # a refused file reads no record
        _refused(path, stream.report())
    return FrameStream(stream)


def load_frames(path: Path, io_pal: Optional[Path] = None) -> Optional[List[Tuple["NDArray[Any]", int, int]]]:
    """Loads exactly as `pyorv.OrvF.load` does, its error lines included:
    (pixels, offset_x, offset_y) per frame, or None when that load fails."""
    frames = _native.load_frames(path, io_pal)
    assert not isinstance(frames, tuple)
    return frames


def load_frames_reported(
    path: Path, io_pal: Optional[Path] = None
) -> Tuple[Optional[List[Tuple["NDArray[Any]", int, int]]], LoadReport]:
    """As `load_frames`, printing nothing: the frames (or None) and the load's report."""
    loaded = _native.load_frames(path, io_pal, report=True)
    assert isinstance(loaded, tuple)
    frames, report = loaded
    return frames, _report(report)


def find_palette(animation_path: Path, location: Path) -> Tuple[Optional[str], List[str]]:
    """The palette search of a load: the file found (or None) and the paths tried."""
    return _native.find_palette(animation_path, location)


# --- placing files -------------------------------------------------------------


class Outcome(NamedTuple):
    """What placing one file did."""

    result: Result
    method: Optional[Method]  # None when the file was not opened
    error: Optional[int]  # the system's error number of a failure, when it gave one


def place_file(path: Path, data: Data, follow_links: bool = True) -> Outcome:
    """Saves `data` as the whole content of the file at `path`, by the save
    rule; without `follow_links`, a symbolic link anywhere on the path is
    refused ('link_refused') instead of followed."""
    return Outcome(**_native.place_file(path, data, follow_links=follow_links))


def place_files(items: Iterable[Tuple[Path, Data, bool]]) -> List[Outcome]:
    """Saves files that belong together, each (path, data, follow_links) as
    `place_file` takes them; every target is opened before any is written."""
    return [Outcome(**o) for o in _native.place_files(items)]


# --- encoding ------------------------------------------------------------------


class HeadFields(NamedTuple):
    """The fields of an animation file around its frames, exactly as written."""

    has_header: bool  # the background form: magic, reserved bytes, flag
    reserved: bytes  # 4 bytes
    flag: int
    speed: int
    path_length: int  # the length field
    path_field: bytes  # the path bytes, zero byte included when there is one
    frame_count: int  # the count field
    trailing: bytes  # after the last frame record


class FrameFields(NamedTuple):
    """One frame record, exactly as written; runs of a frame whose height word
    has bit 15 set carry no indices in the file."""

    frame_size: int
    height_word: int
    width: int
    x_offset: int
    y_offset: int
    unk1: int
    unk2: int
    rows: List[RowRecord]  # as a load report gives them


class ReadBack(NamedTuple):
    """What of the records given does not read back: the record's field, by
    the core's name for it (speed, has_header, path_length, frame_count,
    rows, block_count), the frame (None for the head), and the rest of the
    sentence that names it."""

    field: str
    frame: Optional[int]
    detail: str


class NotReadBack(ValueError):
    def __init__(self, difference: ReadBack) -> None:
        where = f"frame {difference.frame}: " if difference.frame is not None else ""
        super().__init__(f"{where}'{difference.field}' {difference.detail}")
        self.difference = difference


def encode_animation(head: HeadFields, frames: Iterable[FrameFields], check: bool = False) -> bytes:
    """The bytes of the file the records describe, encoded by the core; with
    `check`, read back by the core's reader first (NotReadBack, a ValueError,
    names the field that would not read back)."""
    data, difference = _native.encode_animation(head._asdict(), (f._asdict() for f in frames), check=check)
    if difference is not None:
        raise NotReadBack(ReadBack(*difference))
    return data


# --- what an export writes of a frame -------------------------------------------


class ExportFrame(NamedTuple):
    """One frame as an export writes it: its fields, its index layer, the
    counts over its runs and the rows listed in full."""

    width: int
    height: int
    is_shadow: int
    x_offset: int
    y_offset: int
    frame_size: int
    unk1: int
    unk2: int
    height_word: int
    layer: bytes  # width * height pairs: the index (0 in a shadow frame), 255 where covered else 0
    covered: int  # pixels covered
    beyond: int  # covered pixels whose index is the palette's entry count or more (0 in a shadow frame)
    rows: int
    runs: int
    empty_runs: int
    longest_run: int
    most_runs_in_a_row: int
    covered_pixels: int  # the runs' colour counts, summed
    explicit_rows: Dict[int, RowRecord]  # rows that are not the maximal encoding of their pixels, or past the height


def export_frame(frames: Sequence[FrameRecord], index: int, entries: int) -> ExportFrame:
    """Frame `index` of a load report's frames (`LoadReport.frames`) as an
    export writes it; `entries` is the number of colours the palette file holds."""
    if not isinstance(frames, Lazy):
        raise TypeError("frames are the frames of a load report")
    return ExportFrame(**_native.export_frame(frames._source, index, entries))
