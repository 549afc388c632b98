"""What a build is asked to do, what it makes, and what it reports."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import List, Optional, Tuple

from orvtool.formats import palettes
from orvtool.model.records import Animation
from orvtool.report.status import Finding


@dataclass
class BuildOptions:
    palette: Optional[str] = None  # palette file to match against, or to write
    project_root: Optional[str] = None  # the stored palette path is relative to it
    exact: bool = False  # refuse colours that the palette does not hold
    quantize: Optional[int] = None  # make a palette of at most this many colours
    force: bool = False  # replace an existing output (and a palette to write)
    add_colors: bool = False  # put colours the palette lacks into entries nothing uses
    resize_anchor: Optional[str] = None  # the point a resized frame keeps
    transparent: Optional[Tuple[int, int, int]] = None  # colour key for images without alpha
    tag: Optional[str] = None  # a sheet: build the frames of this tag only
    image: Optional[str] = None  # a sheet: its atlas image, instead of the one its document names
    made_palette: Optional[palettes.Palette] = None  # --quantize's palette, made once for builds that share it
    # frames without a placement of their own
    anchor: Optional[str] = None
    origin: Optional[Tuple[int, int]] = None  # the origin from the top-left of the source canvas or cell
    offset: Optional[Tuple[int, int]] = None
    speed: Optional[int] = None  # the animation's speed, on every route
    # plain frames only
    shadow: bool = False
    background: bool = False


@dataclass
class BuildReport:
    output: str
    frames: int
    stored_palette: bytes  # the palette location stored in the file
    palette_written: Optional[str] = None
    notes: List[Finding] = field(default_factory=list)
    details: List[str] = field(default_factory=list)  # behind the notes, frame by frame


@dataclass
class Plan:
    """Everything a build writes, made before anything is written."""

    animation: Animation
    palette: Optional[palettes.Palette] = None  # written to palette_target when set
    palette_target: Optional[str] = None
    notes: List[Finding] = field(default_factory=list)
    details: List[str] = field(default_factory=list)
