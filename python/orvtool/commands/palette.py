"""`orvtool palette`: convert a palette between formats."""

from __future__ import annotations

import argparse
import os
from typing import Optional

from orvtool.commands import options
from orvtool.core import writing
from orvtool.formats import palettes
from orvtool.model.errors import OrvToolError
from orvtool.report import status
from orvtool.report.status import say_error

DESCRIPTION = (
    "Convert a palette. Formats, from the file extension or --from/--to: "
    "pal (the game's binary palette; a .pal that starts with JASC-PAL is read as jasc), "
    "png (a 16 x 16 swatch, or any indexed PNG's own palette when read), gpl (GIMP), jasc (JASC-PAL), act (Adobe), json. "
    "GIMP, JASC-PAL and Adobe tables have no alpha: the conversion says when colours lose it."
)


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("file", metavar="FILE", help="palette to read")
    p.add_argument("-o", "--output", required=True, metavar="OUT", help="palette to write")
    p.add_argument("--from", dest="source_format", choices=palettes.FORMATS, help="format of FILE")
    p.add_argument("--to", dest="target_format", choices=palettes.FORMATS, help="format of OUT")
    p.add_argument(
        "--cell",
        type=options.int_range(1, 256),
        default=1,
        help="pixels per colour in a swatch PNG (default %(default)s)",
    )
    options.add_force(p, "replace OUT if it exists")


def _most_colors(output: str, fmt: Optional[str]) -> Optional[int]:
    """The colours that OUT's format holds at most, None for any number (or
    a format not known, which writing says)."""
    try:
        kind = palettes.format_for(output, fmt)
    except OrvToolError:
        return None
    return palettes.BINARY_COLORS if kind in ("pal", "png", "act") else None


def run(args: argparse.Namespace, env: Optional[status.Environment] = None) -> int:
    env = env or status.current()
    try:
        folder = os.path.dirname(os.path.abspath(args.output))
        top = os.path.realpath(folder)
        outside = writing.outside_link(args.output, folder)
        if outside is not None and not args.force:
            raise writing.link_refusal(args.output, outside)
        if os.path.lexists(args.output) and not args.force:
            raise OrvToolError(
                "already exists; not replaced (use --force)", where=args.output, category="output_exists"
            )
        pal = palettes.read_palette(args.file, args.source_format, _most_colors(args.output, args.target_format))
    except OrvToolError as exc:
        say_error(exc.where or args.file, exc.detail, env=env)
        return status.ERROR
    try:
        palettes.write_palette(pal, args.output, args.target_format, args.cell, None if outside else top)
    except OrvToolError as exc:
        say_error(exc.where or args.output, exc.detail, env=env)
        return status.ERROR
    if outside is not None:
        pal.notes.append(writing.link_note(args.output, outside))
    status.say(pal.notes, args.output, env=env)
    kind = palettes.format_for(args.output, args.target_format)
    line = status.result_line(f"wrote {args.output}: {status.count(len(pal.colors), 'colour')} as {kind}", env)
    if line:
        print(line, file=env.out)
    warned = [n.category for n in pal.notes if n.severity == status.WARNING]
    if args.strict and warned:
        say_error(args.file, f"warnings with --strict: {', '.join(status.unique(warned))}", env=env)
        return status.ERROR
    return 0
