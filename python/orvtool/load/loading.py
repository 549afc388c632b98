"""Loading one animation file, with everything the tools need.

`load_animation` asks the private module (through `orvtool.core.native`) for the report of
one load: the same loader as `pyorv.OrvF.load` (same palette search, same
records, same images), which prints nothing and says what it found: the form
and head of the file, where each frame record lies, the bytes after the last
one, the palette file it opened or why none, and its findings, each with a
category and the frame and row it concerns. This module turns that report
into the record model and into messages; of the file itself it reads only
the first bytes of one that is not an animation, to say what it is instead.
A palette named in another format that orvtool reads is handed to the loader
as a temporary copy in the game's binary format.
"""

import contextlib
import os
from typing import TYPE_CHECKING, Dict, Iterator, List, NamedTuple, Optional, Sequence, Tuple

import pyorv
from orvtool.core import native
from orvtool.core.version import check_pyorv
from orvtool.model.errors import OrvToolError, TooManyFrames

# The names messages are made of, kept here for the modules that import them from here.
from orvtool.model.findings import Finding as Finding
from orvtool.model.findings import Named as Named
from orvtool.model.findings import Piece as Piece
from orvtool.model.findings import Show as Show
from orvtool.model.findings import as_is as as_is
from orvtool.model.findings import said as said
from orvtool.report import status
from orvtool.report.results import LoadResult

if TYPE_CHECKING:
    from orvtool.model.records import Color, Frame

# The records and images handed to callers sit beside pyorv's own: both must
# come from one build.
check_pyorv(pyorv)

# Findings after which there are no records to show. A file whose frames are
# cut short still gives the frames read before the cut.
NOT_WHOLE: Tuple[native.Category, ...] = ("head_cut_short", "palette_search_failed")
# Findings of a frame that the loader refused to render.
REFUSED: Tuple[native.Category, ...] = ("frame_too_large", "frame_over_budget")


class LoadError(OrvToolError):
    """A file that cannot be read or is not a whole animation. `result` holds
    the load's status, counts and findings (`Finding` values, as
    `result_of` makes them); the category is that of the root finding
    (`category`, when given, else the first of severity error)."""

    def __init__(self, message: str, result: LoadResult, category: Optional[str] = None) -> None:
        found = result.findings
        failing = [f.category for f in found if f.severity == status.ERROR_SEVERITY]
        super().__init__(message, category=category or (failing[0] if failing else status.REFUSED))
        self.result = result

    @property
    def findings(self) -> Sequence[Finding]:
        return tuple(self.result.findings) or (self.finding,)


def result_of(findings: Sequence[Finding], counts: Dict[str, int]) -> LoadResult:
    """What a failed load hands on (`LoadError.result`): its status, counts
    and findings."""
    return LoadResult(status.label(counts), dict(counts), list(findings))


class Head(NamedTuple):
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


class PaletteSearch(NamedTuple):
    """Where the loader looked for the palette and what it found."""

    location: bytes  # what was searched for (stored location or --palette)
    from_option: bool
    resolved: Optional[str]  # the file the loader read, None when not found
    tried: Sequence[str] = ()
    problem: Optional[str] = None  # why it was not loaded


class LoadedAnimation(NamedTuple):
    """One animation file as loaded: its records, palette, images and findings."""

    path: str
    file_size: int
    head: Head
    has_background: bool
    frame_count: int
    frames: Sequence["Frame"]  # with their height and raw height word as stored; made when read
    palette: PaletteSearch
    palette_rgba: bytes  # r, g, b, a of each entry as the loader holds them (256 after a load)
    palette_entries: Optional[int]  # the entries the palette file holds; the rest are filler
    images: Optional[Sequence[native.Image]]  # one per frame, None when nothing rendered; made when read
    render_problem: Optional[str]  # why there are no images
    trailing: bytes  # bytes after the last frame record, which the loader ignores (read for export only)
    status: str  # "ok", "problems" or "failed"
    findings: List[Finding]  # the first few hundred of each category, in order
    counts: Dict[str, int]  # every finding counted, by category
    frame_table: Optional[native.FrameTable] = None  # the frames as columns, when asked for
    frame_lines: Optional[List[str]] = None  # the lines of info's frame table, when asked for
    frame_totals: Optional[native.FrameTotals] = None  # the statistics of all frames, with either
    records: Optional[Sequence[native.FrameRecord]] = None  # the report's frame records (see native.export_frame)
    trailing_bytes: int = 0  # how many bytes follow the last frame record

    @property
    def palette_colors(self) -> List["Color"]:
        """The palette's entries as (r, g, b, a) tuples."""
        c = self.palette_rgba
        return list(zip(c[0::4], c[1::4], c[2::4], c[3::4], strict=True))

    @property
    def label(self) -> str:
        """ok, problems or failed, by the severities of the findings."""
        return status.label(self.counts)

    def failure(self) -> Optional[str]:
        """Why the file fails, None when it does not: the file's own
        structure first, then the first failing finding."""
        first = self.failing_finding()
        return first.text if first is not None else None

    def failing_finding(self) -> Optional[Finding]:
        """The finding the file fails by (see `failure`), None when it does not fail."""
        failing = status.failing(f.category for f in self.findings)
        if not failing:
            return None
        first = "frames_cut_short" if "frames_cut_short" in failing else failing[0]
        return next(f for f in self.findings if f.category == first)

    def require_images(self, salvage: bool = False) -> Sequence[native.Image]:
        """The rendered images, one per frame; raises when the loader rendered
        none or refused a frame, or the file fails by the severity table (a
        file cut short passes with `salvage`: the images of the frames read)."""
        failing = set(status.failing(self.counts))
        if failing and not (salvage and failing == {"frames_cut_short"}):
            first = self.failing_finding()
            if first is None:
                raise OrvToolError(self.render_problem or "the file fails", category=sorted(failing)[0])
            raise _refusal(first)
        if self.images is None:
            raise OrvToolError(self.render_problem or "no image was rendered", category="no_palette_data")
        for finding in self.findings:
            if finding.category in REFUSED:
                raise _refusal(finding)
        return self.images


def _refusal(finding: Finding) -> OrvToolError:
    return OrvToolError(finding.detail, finding.where, finding.category, frame=finding.frame, row=finding.row)


def palette_text(d: native.Diagnostic, pal: native.PaletteReport, path: str) -> str:
    """What a finding of the load says (see `palette_pieces`), naming paths as the loader had them."""
    return said(palette_pieces(d, pal, path))


def palette_pieces(d: native.Diagnostic, pal: native.PaletteReport, path: str) -> Tuple[Piece, ...]:
    """What a finding of the load says, as text and the paths it names:
    orvtool's words for what follows from a stored palette that the search
    did not find, the path looked for and from where (the core's words are
    its module's lines, which name no path then); else the core's words."""
    if pal.from_option or pal.path:
        return core_pieces(d, pal, path)
    looked = Named(os.fsdecode(pal.location), "location")
    if d.category == "palette_not_found":
        where = Named(os.path.dirname(os.path.abspath(path)), "folder")
        above = ", in that folder and each folder above it"
        return ("palette not found: looked for '", looked, "' from ", where, above)
    if d.category == "palette_open_failed":
        return ("no palette file opened: '", looked, "' was not found")
    if d.category == "no_palette_data":
        return ("no palette colours to render with: the palette was not found",)
    return core_pieces(d, pal, path)


def core_pieces(d: native.Diagnostic, pal: native.PaletteReport, path: str) -> Tuple[Piece, ...]:
    """The core's message of a finding, with the paths it names as such: the
    core says where in its message each file it concerns lies (the animation
    file it cannot open, the palette file it cannot open, the paths of the
    file system's error in a palette search that failed)."""
    pieces: List[Piece] = []
    at = 0
    for start, end in d.spans:
        pieces += [d.message[at:start], Named(d.message[start:end])]
        at = end
    pieces.append(d.message[at:])
    return tuple(p for p in pieces if p != "")


def _why_nothing_rendered(report: native.LoadReport, findings: List[Finding]) -> str:
    first: Dict[str, Finding] = {}
    for f in findings:
        first.setdefault(f.category, f)
    pal = report.palette
    said: Tuple[native.Category, ...] = ("no_frames", "palette_not_found")
    for category in said:
        if category in first:
            return first[category].message
    if pal.problem == "missing":
        return f"palette not found: {pal.path}"
    if pal.is_directory:
        return f"palette {pal.path} is a folder, not a palette file"
    lines = {i for i, d in enumerate(report.diagnostics) if d.error_line}  # the module's own "ERROR: " lines
    errors = "; ".join(f.text for i, f in enumerate(findings) if i in lines) or "nothing rendered"
    return f"palette {pal.path} could not be used ({errors})"


def load_animation(
    path: str,
    palette: Optional[str] = None,
    *,
    frame_table: bool = False,
    frame_lines: bool = False,
    trailing: bool = False,
) -> LoadedAnimation:
    """Loads one animation file. Raises OrvToolError for a file that cannot be
    read or is not a whole animation; a palette that cannot be found or read
    only leaves the result without images (see `require_images`). With
    `frame_table` the frames come as columns with the statistics of their
    runs too, with `frame_lines` as the lines of info's frame table; with
    either, the statistics of all frames come too, and the frame records
    without rows. The bytes after the last frame record are counted; with
    `trailing` they are read too (`LoadedAnimation.trailing`)."""
    # The loader searches from the directory part of the name it is given, so
    # it gets an absolute name: a bare file name would give it nowhere to look.
    name = os.path.abspath(path)
    records = not (frame_table or frame_lines)
    with _too_many_frames():
        if not palette:  # the common case, without a temporary palette to clean up after
            report = native.load_report(
                name,
                None,
                records=records,
                images=True,
                frame_table=frame_table,
                frame_lines=frame_lines,
                trailing=trailing,
            )
            return animation_of(report, path)
        with _readable_palette(palette) as (io_pal, converted, unusable):
            report = native.load_report(
                name,
                io_pal,
                records=records,
                images=True,
                frame_table=frame_table,
                frame_lines=frame_lines,
                trailing=trailing,
            )
        return animation_of(report, path, palette, converted, unusable)


@contextlib.contextmanager
def _too_many_frames() -> Iterator[None]:
    """A file refused before its records are read, as a load that fails."""
    try:
        yield
    except TooManyFrames as exc:
        found = [Finding(status.TOO_MANY_FRAMES, exc.detail)]
        raise LoadError(exc.detail, result_of(found, {status.TOO_MANY_FRAMES: 1})) from None


def _refuse_unreadable(report: native.LoadReport, path: str, findings: List[Finding]) -> None:
    """Raises LoadError for a file that cannot be read or is not a whole
    animation: the error carries the load's findings as data."""

    def refused(message: str, own: Optional[str] = None) -> LoadError:
        found = [Finding(own, message), *findings] if own else findings
        counts = {own: 1, **report.counts} if own else dict(report.counts)
        category = own or next((f.category for f in findings if f.category in NOT_WHOLE), "file_open_failed")
        return LoadError(message, result_of(found, counts), category)

    if not report.opened:
        raise refused("cannot read the file")
    if "head_cut_short" in report.counts or "frames_cut_short" in report.counts:
        # An animation has no signature: one that fails to read and starts
        # like an image is the image.
        from orvtool.formats import foreign

        other = foreign.describe_file(path)
        if other is not None:
            raise refused(f"{other}, not an animation file", status.NOT_AN_ANIMATION)
    for finding in findings:
        if finding.category in NOT_WHOLE:
            raise refused(finding.text)


def _head(report: native.LoadReport) -> Head:
    form = report.form
    # A whole head has every field: only a cut head lacks one, refused before.
    assert report.speed is not None and report.path_length is not None and report.frame_count_field is not None
    return Head(
        has_header=form.has_header,
        reserved=form.reserved or b"",
        flag=form.flag,
        speed=report.speed,
        path_length=report.path_length,
        path_field=report.path_field,
        frame_count_field=report.frame_count_field,
        size=report.head_size,
    )


def _palette_search(
    report: native.LoadReport, palette: Optional[str], converted: Optional[int], unusable: Optional[str]
) -> PaletteSearch:
    pal = report.palette
    if palette and (converted is not None or unusable is not None):
        # The loader read a copy, or nothing: name the palette the user gave.
        return PaletteSearch(
            os.fsencode(palette), True, os.path.realpath(palette), [os.path.abspath(palette)], unusable
        )
    return PaletteSearch(pal.location, pal.from_option, pal.path, pal.tried, pal.problem)


def animation_of(
    report: native.LoadReport,
    path: str,
    palette: Optional[str] = None,
    converted: Optional[int] = None,
    unusable: Optional[str] = None,
) -> LoadedAnimation:
    """The animation that a load report with images describes (see
    `load_animation`, which gives the last three arguments). Raises
    LoadError for a file that cannot be read or is not a whole animation."""
    findings = []
    for d in report.diagnostics:
        pieces = palette_pieces(d, report.palette, path)
        findings.append(Finding(d.category, said(pieces), frame=d.frame, row=d.row, index=d.index, pieces=pieces))
    _refuse_unreadable(report, path, findings)
    search = _palette_search(report, palette, converted, unusable)
    images: Optional[Sequence[native.Image]] = None
    problem: Optional[str] = None
    counts = dict(report.counts)
    if unusable is not None:
        pieces = ("palette ", Named(search.resolved or ""), f" could not be used ({unusable})")
        problem = said(pieces)
        findings.insert(0, Finding(status.PALETTE_UNUSABLE, problem, pieces=pieces))
        counts[status.PALETTE_UNUSABLE] = 1
    elif report.images is None:
        problem = _why_nothing_rendered(report, findings)
    else:
        images = report.images
    entries = converted if converted is not None else report.palette.entry_count
    return LoadedAnimation(
        path=path,
        file_size=report.file_size,
        head=_head(report),
        has_background=report.has_background,
        frame_count=report.frame_count,
        frames=native.model_frames(report.frames),
        palette=search,
        palette_rgba=report.palette.colors,
        palette_entries=entries if images is not None else None,
        images=images,
        render_problem=problem,
        trailing=report.trailing,
        status=report.status,
        findings=findings,
        counts=counts,
        frame_table=report.frame_table,
        frame_lines=report.frame_lines,
        frame_totals=report.frame_totals,
        records=report.frames,
        trailing_bytes=report.trailing_bytes,
    )


@contextlib.contextmanager
def _readable_palette(palette: str) -> Iterator[Tuple[Optional[str], Optional[int], Optional[str]]]:
    """(the palette name for the loader, the entry count of a palette that
    was converted for it, why a palette in another format is unusable).
    A palette in any format that orvtool reads is handed to the loader as a
    temporary copy in the binary format."""
    from orvtool.formats import palettes

    if not os.path.isfile(palette) or palettes.is_game_palette(palette):
        yield os.path.abspath(palette), None, None
        return
    try:
        colors = palettes.read_palette(palette, max_colors=palettes.BINARY_COLORS)  # handed on as a binary palette
        data = palettes.encode_pal(colors)
    except OrvToolError as exc:
        yield None, None, exc.text
        return
    import tempfile

    with tempfile.TemporaryDirectory(prefix="orvtool-") as folder:
        copy = os.path.join(folder, "palette.pal")
        with open(copy, "wb") as fh:
            fh.write(data)
        yield copy, len(colors.colors), None


def find_palette(animation_path: str, location: bytes) -> Tuple[Optional[str], List[str]]:
    """The loader's palette search: the file that `location` names from the
    animation's folder or the first folder above it where it exists (None if
    none), and the candidates tried."""
    found, tried = native.find_palette(os.path.abspath(animation_path), location)
    return found, tried
