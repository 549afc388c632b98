"""What `orvtool info` reports about one animation file."""

from __future__ import annotations

import os
from typing import Any, Dict, List, Optional

from . import status
from .formats.sidecar import explicit_rows, index_layer, run_statistics
from .loading import load_animation
from .matching import filler_note, filler_pixels


def describe(path: str, palette: Optional[str] = None) -> Dict[str, Any]:
    """Everything about one file, as plain JSON-ready values. A palette that
    cannot be found is reported, not raised."""
    anim = load_animation(path, palette)
    head = anim.head
    frames: List[Dict[str, Any]] = []
    beyond = covered = 0  # pixels drawn with the filler, of all covered (see matching.filler_pixels)
    for i, frame in enumerate(anim.frames):
        stats = run_statistics(frame, explicit_rows(frame))
        # A palette of 256 entries holds every index, and a frame that draws
        # nothing draws no filler: no index layer to make for either.
        drawn_any = any(row.runs for row in frame.rows)
        if drawn_any and anim.palette_entries is not None and anim.palette_entries < 256:
            # One layer at a time: a file may hold millions of frames.
            past, drawn = filler_pixels([frame], [index_layer(frame)], anim.palette_entries)
            beyond, covered = beyond + past, covered + drawn
        frames.append(
            {
                "index": i,
                "width": frame.width,
                "height": frame.rows_drawn,
                "x_offset": frame.x_offset,
                "y_offset": frame.y_offset,
                "is_shadow": frame.is_shadow != 0,
                "frame_size": frame.frame_size,
                "unk1": frame.unk1,
                "unk2": frame.unk2,
                **stats,
            }
        )
    totals = {
        "runs": sum(f["runs"] for f in frames),
        "empty_runs": sum(f["empty_runs"] for f in frames),
        "covered_pixels": sum(f["covered_pixels"] for f in frames),
        "longest_run": max((f["longest_run"] for f in frames), default=0),
        "most_runs_in_a_row": max((f["most_runs_in_a_row"] for f in frames), default=0),
        "non_maximal_rows": sum(f["non_maximal_rows"] for f in frames),
    }
    filler = None
    if anim.palette_entries is not None:
        if beyond:
            filler = filler_note(str(anim.palette.resolved), anim.palette_entries, beyond, covered)
    return {
        "path": path,
        "size": anim.file_size,
        "form": "background" if head.has_header else "plain",
        "has_background": anim.has_background,
        "background_flag": head.flag,
        "speed": head.speed,
        "frame_count": anim.frame_count,
        "frame_count_field": head.frame_count_field,
        "palette": {
            "location": os.fsdecode(anim.palette.location),
            "location_size": head.path_length,
            "from_option": anim.palette.from_option,
            "resolved": anim.palette.resolved,
            "usable": anim.images is not None,
            "problem": anim.render_problem,
            "entries": anim.palette_entries,
            "short": filler,
        },
        "frames": frames,
        "runs": totals,
        "trailing_bytes": len(anim.trailing),
        "status": anim.label,
        "failure": anim.failure(),
        "counts": anim.counts,
        "findings": [{**f.as_dict(), "severity": status.severity(f.category)} for f in anim.findings],
    }


# Findings listed in the text form; the JSON form has all that were kept.
TEXT_FINDINGS = 12


def _findings_text(info: Dict[str, Any]) -> List[str]:
    from .loading import Finding

    counts = info["counts"]
    if not counts:
        return [f"  status:    {info['status']}"]
    lines = [f"  status:    {info['status']}: " + ", ".join(f"{name} {n}" for name, n in counts.items())]
    kept = info["findings"]
    for d in kept[:TEXT_FINDINGS]:
        lines.append(f"    {d['severity']} {d['category']}: {Finding(**d).text}")
    left = sum(counts.values()) - min(len(kept), TEXT_FINDINGS)
    if left > 0:
        lines.append(f"    ... {status.count(left, 'more finding', 'more findings')}")
    return lines


def format_text(info: Dict[str, Any]) -> str:
    pal = info["palette"]
    form = info["form"]
    if form == "background":
        form += f" (flag {info['background_flag']}, {'with' if info['has_background'] else 'without'} background frame)"
    count = f"{info['frame_count']}"
    if "frames_cut_short" in info["counts"]:
        count += f" read, the file is cut short ({info['frame_count_field']} announced)"
    if info["has_background"]:
        count += f" (file count {info['frame_count_field']} + background frame)"
    if pal["resolved"]:
        resolved = pal["resolved"] + ("" if pal["usable"] else f"  [unusable: {pal['problem']}]")
    else:
        resolved = "not found"
    lines = [
        f"{info['path']}",
        f"  form:      {form}",
        f"  size:      {status.count(info['size'], 'byte')}"
        + (f", {info['trailing_bytes']} after the last frame" if info["trailing_bytes"] else ""),
        f"  speed:     {info['speed']}",
        f"  frames:    {count}",
        f"  palette:   {pal['location']!r} ({'--palette' if pal['from_option'] else 'stored'}, field of {status.count(pal['location_size'], 'byte')})",
        f"  resolved:  {resolved}",
    ]
    t = info["runs"]
    lines.append(
        f"  runs:      {t['runs']} ({t['empty_runs']} empty), {status.count(t['covered_pixels'], 'pixel')}, "
        f"longest {t['longest_run']}, at most {t['most_runs_in_a_row']} in a row, "
        + (
            "all rows maximal"
            if not t["non_maximal_rows"]
            else f"{status.count(t['non_maximal_rows'], 'row')} not maximal"
        )
    )
    lines += _findings_text(info)
    if info["frames"]:
        lines.append("  frame      size    x_off  y_off  shadow   runs  pixels  frame_size  unk1 unk2")
        for f in info["frames"]:
            lines.append(
                f"  {f['index']:5d}  {f['width']:>5d}x{f['height']:<5d} {f['x_offset']:6d} {f['y_offset']:6d}  "
                f"{'yes' if f['is_shadow'] else 'no':>6}  {f['runs']:5d}  {f['covered_pixels']:6d}  "
                f"{f['frame_size']:10d}  {f['unk1']:4d} {f['unk2']:4d}"
            )
    return "\n".join(lines)
