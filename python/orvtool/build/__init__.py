"""Building animation files from images: the way back from an export.

The stages, each a module: `sources` reads an export folder, a sprite sheet
or plain images into frames with what the record knows of each;
`placement` decides where each frame goes (the editor's word, the record,
anchors, --origin); `palette` chooses the palette pixels are matched against
and the one the file names; `encoding` turns pixels into palette indices and
rows of runs; `plan` runs them in order and places the files.

Imports: `model`, `report`, `core`, `formats`, `load`.
"""

from orvtool.build.options import BuildOptions, BuildReport, Plan
from orvtool.build.placement import ANCHORS, DEFAULT_ANCHOR, RESIZE_ANCHORS
from orvtool.build.plan import (
    build_from_export,
    build_from_frames,
    build_from_sheet,
    build_source,
    build_tags,
    export_folders,
    plan_source,
    write_plan,
)
from orvtool.build.sources import SourceKind, is_export_folder, source_kind

__all__ = [
    "ANCHORS",
    "DEFAULT_ANCHOR",
    "RESIZE_ANCHORS",
    "BuildOptions",
    "BuildReport",
    "Plan",
    "SourceKind",
    "build_from_export",
    "build_from_frames",
    "build_from_sheet",
    "build_source",
    "build_tags",
    "export_folders",
    "is_export_folder",
    "plan_source",
    "source_kind",
    "write_plan",
]
