"""The palette a build matches against, the one it writes, and the path the
file stores.

A palette outside --project-root is read-only: --add-colors grows only a
palette this build writes or one below the root, whose users it can find.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import PurePath
from typing import List, Optional, Sequence, Set, Tuple

from orvtool.build.matching import (
    entries_in_use,
    exact_indices,
    grow_palette,
    missing_colors,
    quantize_palette,
    visible_colors,
)
from orvtool.build.options import BuildOptions
from orvtool.core import writing
from orvtool.formats import palettes
from orvtool.model.arrays import Rgba
from orvtool.model.errors import OrvToolError, UsageError
from orvtool.model.runs import PALETTE_EXTENSION
from orvtool.report import status
from orvtool.report.status import Finding


def stored_palette_path(palette: str, project_root: str) -> bytes:
    """The palette's path relative to the project root in "/" form, as the
    module's saver stores it (both paths with symbolic links resolved)."""
    p = os.path.realpath(palette)
    r = os.path.realpath(project_root)
    try:
        rel = os.path.relpath(p, r)
    except ValueError:  # another drive
        return b""
    return os.fsencode(PurePath(rel).as_posix())


def is_below(path: str, root: str) -> bool:
    p, r = os.path.realpath(path), os.path.realpath(root)
    try:
        return os.path.commonpath([p, r]) == r
    except ValueError:  # another drive
        return False


@dataclass
class PaletteChoice:
    match: palettes.Palette  # the palette pixels are matched against
    write: Optional[palettes.Palette] = None  # written to `names` when set
    names: Optional[str] = None  # the binary palette the animation names; None keeps the stored name


def _game_palette_name(path: str) -> None:
    """Refuses a palette to be written that the game would not read."""
    if os.path.splitext(path)[1].lower() != PALETTE_EXTENSION:
        raise OrvToolError(
            f"palette {path}: the palette an animation names is written in the game's binary format, "
            f"so its name must end in {PALETTE_EXTENSION} (other formats: convert it afterwards with "
            f"orvtool palette)",
            category="option_invalid",
        )


def _binary_copy_for(
    source: str, pal: palettes.Palette, force: bool, notes: List[Finding]
) -> Tuple[Optional[palettes.Palette], str]:
    """For a palette in another format: (palette to write or None, the binary
    palette beside it, same name ending in .pal, that the animation names)."""
    game = os.path.splitext(source)[0] + PALETTE_EXTENSION
    if os.path.exists(game) and os.path.samefile(game, source):
        raise OrvToolError(
            f"palette {source} is a {palettes.format_for(source, reading=True)} file, which the game cannot read, "
            f"and its binary copy would have its name: convert it with orvtool palette to a file of its own",
            category="palette_unusable",
        )
    if os.path.exists(game):
        try:
            same = palettes.is_game_palette(game) and palettes.read_pal(game).colors == pal.colors
        except (OrvToolError, OSError):
            same = False
        if same:
            notes.append(
                Finding(
                    "palette_converted",
                    f"matched against {source}; the animation names {game}, which holds the same colours",
                )
            )
            return None, game
        if not force:
            raise OrvToolError(
                f"palette {source} is not in the game's format and its binary copy {game} already exists "
                f"with other colours; not replaced (use --force)",
                category="output_exists",
            )
    notes.append(
        Finding(
            "palette_converted",
            f"matched against {source}; its colours go to {game} in the game's format, which the animation names",
        )
    )
    return palettes.Palette(list(pal.colors), pal.model), game


def _palette_for_build(
    options: BuildOptions, images: Sequence[Rgba], fallback: Optional[palettes.Palette], notes: List[Finding]
) -> PaletteChoice:
    """Every check comes before the work."""
    target = options.palette
    if options.quantize is not None:
        if target is None:
            raise UsageError("--quantize needs --palette, the palette file to write")
        _game_palette_name(target)
        if os.path.lexists(target) and not options.force:
            raise OrvToolError(
                "the palette already exists; not replaced (use --force)", where=target, category="output_exists"
            )
        writing.check(target)
        made = options.made_palette or palettes.Palette(quantize_palette(images, options.quantize))
        notes.append(Finding("palette_made", f"made a palette of {status.count(len(made.colors), 'colour')}"))
        return PaletteChoice(made, made, target)
    if target is not None and os.path.exists(target):
        try:
            pal = palettes.read_palette(target, max_colors=palettes.BINARY_COLORS)
        except OrvToolError as exc:
            raise OrvToolError(f"palette {target}: {exc.text}", category=exc.category) from None
        if not 1 <= len(pal.colors) <= 256:
            raise OrvToolError(
                f"palette {target} holds {status.count(len(pal.colors), 'colour')}, 1 to 256 can be used",
                category="palette_unusable",
            )
        if palettes.is_game_palette(target):
            return PaletteChoice(pal, None, target)
        to_write, game = _binary_copy_for(target, pal, options.force, notes)
        return PaletteChoice(pal, to_write, game)
    if fallback is None:
        if target is None:
            raise OrvToolError("no palette: name one with --palette", category="palette_missing")
        raise OrvToolError(f"palette {target} not found (only --quantize makes a new one)", category="palette_missing")
    if target is not None:
        _game_palette_name(target)
        writing.check(target)
        return PaletteChoice(fallback, fallback, target)
    return PaletteChoice(fallback)


def _add_colors(
    options: BuildOptions,
    choice: PaletteChoice,
    images: Sequence[Rgba],
    layer_indices: Set[int],
    shared: Optional[str],
    output: str,
    notes: List[Finding],
) -> PaletteChoice:
    """The palette with the colours of `images` that it lacks put into
    entries that nothing uses. A palette this build writes may take any entry
    its own pixels do not use; a palette read from `shared` also keeps every
    entry that an animation below --project-root naming it draws with."""
    base = choice.match
    target = choice.names
    others: Set[int] = set()
    if choice.write is None:
        if shared is None or not options.project_root:
            raise OrvToolError(
                f"--add-colors: palette {shared or 'of the sidecar'} is not written by this build and other "
                "animations may use it: name --project-root so that the entries no animation uses can be found",
                category="option_invalid",
            )
        if not is_below(shared, options.project_root):
            raise OrvToolError(
                f"--add-colors: palette {shared} is outside --project-root {options.project_root}, so the "
                "animations that use it cannot all be found and it is not changed: name the root that holds "
                "it and every animation using it, or write a palette of your own with --palette NEW.pal",
                category="option_invalid",
            )
        if os.path.exists(shared):
            if not palettes.is_game_palette(shared):
                raise OrvToolError(
                    f"--add-colors: palette {shared} is not in the game's format", category="palette_unusable"
                )
            base = palettes.read_pal(shared)  # as it is now, with what other builds added
        others, users = entries_in_use(options.project_root, shared, [output])
        target = shared
        notes.append(
            Finding(
                "colour_added", f"--add-colors: {len(users)} other animations below {options.project_root} use {shared}"
            )
        )
    seen = visible_colors(images)
    new = missing_colors(seen, base.colors)
    if not new:
        notes.append(Finding("colour_added", "--add-colors: the palette holds every colour already"))
        return PaletteChoice(base, None, choice.names) if choice.write is None else choice
    used = exact_indices(seen, base.colors) | layer_indices | others
    colors, added = grow_palette(base.colors, new, used)
    grown = palettes.Palette(colors, base.model)
    for i, color in added:
        notes.append(Finding("colour_added", f"added colour {color} to palette {target} as entry {i}"))
    return PaletteChoice(grown, grown, target)


def choose_palette(
    options: BuildOptions,
    images: Sequence[Rgba],
    fallback: Optional[palettes.Palette],
    layer_indices: Set[int],
    shared: Optional[str],
    output: str,
    notes: List[Finding],
) -> PaletteChoice:
    choice = _palette_for_build(options, images, fallback, notes)
    if options.add_colors:
        if options.quantize is not None:
            raise OrvToolError(
                "--add-colors and --quantize: a palette made by --quantize holds every colour it can",
                category="option_invalid",
            )
        if options.exact:
            raise OrvToolError("--add-colors and --exact: choose one", category="option_invalid")
        choice = _add_colors(options, choice, images, layer_indices, shared, output, notes)
    return choice
