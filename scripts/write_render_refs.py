"""Writes the images of every bundled example, as this build renders them, for
the Windows test program to compare its own rendering with.

    python scripts/write_render_refs.py OUT_DIR

OUT_DIR/examples.txt lists one example a line: its path below examples/ with
"/" separators, a space, and the name of its reference file. A reference file
holds the frame count (unsigned 32-bit), then for each frame width, height
(unsigned 32-bit), offset_x, offset_y (signed 32-bit) and the RGBA bytes; all
little-endian.
"""

import struct
import sys
from pathlib import Path

import pyorv

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def main(out: Path) -> int:
    out.mkdir(parents=True, exist_ok=True)
    lines = []
    for path in sorted(EXAMPLES.rglob("*.orv")):
        rel = path.relative_to(EXAMPLES).as_posix()
        f = pyorv.OrvF()
        if f.load(str(path)) is None:
            print(f"error: {rel} did not load", file=sys.stderr)
            return 1
        images = f.get_frame_buffer()
        ref = rel.replace("/", "__") + ".rgba"
        with open(out / ref, "wb") as o:
            o.write(struct.pack("<I", len(images)))
            for im in images:
                o.write(struct.pack("<IIii", im.width, im.height, im.offset_x, im.offset_y))
                o.write(im.pixels)
        lines.append(f"{rel} {ref}")
    (out / "examples.txt").write_text("\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1])))
