"""What `orvtool info` reports about one animation file."""

from __future__ import annotations

import os
from dataclasses import replace
from typing import List, Optional

from orvtool.load.loading import load_animation
from orvtool.report import status
from orvtool.report.results import Description, FrameColumns, PaletteSummary, RunTotals, with_causes


def describe(path: str, palette: Optional[str] = None, *, frame_lines: bool = False) -> Description:
    """Everything about one file. A palette that cannot be found is
    reported, not raised. The statistics of the runs are counted by the
    core, frame by frame, from the records as the file holds them.
    With `frame_lines` the frames come as the lines of the text form
    (`frame_lines`, made by the module) instead of columns (`frames`):
    all that `format_text` needs."""
    anim = load_animation(path, palette, frame_table=not frame_lines, frame_lines=frame_lines)
    totals = anim.frame_totals
    assert totals is not None
    head = anim.head
    filler = None
    # Pixels drawn with the filler, of all covered: a palette of 256 entries
    # holds every index.
    if anim.palette_entries is not None and anim.palette_entries < 256 and totals.past_palette:
        filler = status.filler_note(
            str(anim.palette.resolved), anim.palette_entries, totals.past_palette, totals.palette_pixels
        )
    info = Description(
        path=path,
        size=anim.file_size,
        form="background" if head.has_header else "plain",
        has_background=anim.has_background,
        background_flag=head.flag,
        speed=head.speed,
        frame_count=anim.frame_count,
        frame_count_field=head.frame_count_field,
        palette=PaletteSummary(
            location=os.fsdecode(anim.palette.location),
            location_size=head.path_length,
            from_option=anim.palette.from_option,
            resolved=anim.palette.resolved,
            usable=anim.images is not None,
            problem=anim.render_problem,
            entries=anim.palette_entries,
            short=filler,
        ),
        runs=RunTotals(
            runs=totals.runs,
            empty_runs=totals.empty_runs,
            covered_pixels=totals.covered_pixels,
            longest_run=totals.longest_run,
            most_runs_in_a_row=totals.most_runs_in_a_row,
            non_maximal_rows=totals.non_maximal_rows,
        ),
        trailing_bytes=anim.trailing_bytes,
        status=anim.label,
        failure=anim.failure(),
        counts=anim.counts,
        findings=with_causes(anim.findings),
    )
    if frame_lines:
        return replace(info, frame_lines=anim.frame_lines or [])
    table = anim.frame_table
    assert table is not None
    # The load is let go before the frames are taken: a file may hold
    # millions, written from these columns one by one.
    del anim
    return replace(info, frames=FrameColumns(table))


# Findings listed in the text form; the JSON form has all that were kept.
TEXT_FINDINGS = 12


def _findings_text(info: Description) -> List[str]:
    counts = info.counts
    if not counts:
        return [f"  status:    {info.status}"]
    lines = [f"  status:    {info.status}: " + ", ".join(f"{name} {n}" for name, n in counts.items())]
    kept = info.findings
    for finding in kept[:TEXT_FINDINGS]:
        lines.append(f"    {finding.severity} {finding.category}: {finding.text}")
    left = sum(counts.values()) - min(len(kept), TEXT_FINDINGS)
    if left > 0:
        lines.append(f"    ... {status.count(left, 'more finding', 'more findings')}")
    return lines


def format_text(info: Description) -> str:
    """The text form of `describe(..., frame_lines=True)`, each line one line
    (control characters escaped)."""
    pal = info.palette
    form = info.form
    if form == "background":
        form += f" (flag {info.background_flag}, {'with' if info.has_background else 'without'} background frame)"
    count = f"{info.frame_count}"
    if "frames_cut_short" in info.counts:
        count += f" read, the file is cut short ({info.frame_count_field} announced)"
    if info.has_background:
        count += f" (file count {info.frame_count_field} + background frame)"
    if pal.resolved:
        resolved = pal.resolved + ("" if pal.usable else f"  [unusable: {pal.problem}]")
    else:
        resolved = "not found"
    lines = [
        f"{info.path}",
        f"  form:      {form}",
        f"  size:      {status.count(info.size, 'byte')}"
        + (f", {info.trailing_bytes} after the last frame" if info.trailing_bytes else ""),
        f"  speed:     {info.speed}",
        f"  frames:    {count}",
        f"  palette:   {pal.location!r} ({'--palette' if pal.from_option else 'stored'}, field of {status.count(pal.location_size, 'byte')})",
        f"  resolved:  {resolved}",
    ]
    t = info.runs
    lines.append(
        f"  runs:      {t.runs} ({t.empty_runs} empty), {status.count(t.covered_pixels, 'pixel')}, "
        f"longest {t.longest_run}, at most {t.most_runs_in_a_row} in a row, "
        + ("all rows maximal" if not t.non_maximal_rows else f"{status.count(t.non_maximal_rows, 'row')} not maximal")
    )
    lines += _findings_text(info)
    # Names and texts from the file (its palette path, the paths its findings
    # name) are shown escaped: none of their characters acts on the terminal.
    lines = [status.one_line(line) for line in lines]
    frames = info.frame_lines  # made by the module, which counts the runs, of numbers only
    if frames:
        lines.append("  frame      size    x_off  y_off  shadow   runs  pixels  frame_size  unk1 unk2")
        lines += frames
    return "\n".join(lines)
