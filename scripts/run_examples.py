"""Renders every example animation to PNG files, one per frame.

    python scripts/run_examples.py [EXAMPLES_DIR] [OUT_DIR]

Each animation gets a folder under OUT_DIR (mirroring its place under
EXAMPLES_DIR) holding frame_NNN.png and frames.json with each frame's size
and placement offsets.
"""

import json
import sys
from pathlib import Path

from PIL import Image

import pyorv

ROOT = Path(__file__).resolve().parent.parent


def main(src: Path, out: Path) -> int:
    failed = 0
    for path in sorted(src.rglob("*.orv")):
        f = pyorv.OrvF()
        if f.load(str(path)) is None:
            print(f"{path}: could not be rendered", file=sys.stderr)
            failed += 1
            continue
        dest = out / path.relative_to(src).with_suffix("")
        dest.mkdir(parents=True, exist_ok=True)
        meta = []
        for i, image in enumerate(f.get_frame_buffer()):
            name = f"frame_{i:03d}.png"
            if image.width and image.height:
                Image.frombytes("RGBA", (image.width, image.height), image.pixels).save(dest / name)
            meta.append(
                {"file": name, "width": image.width, "height": image.height,
                 "offset_x": image.offset_x, "offset_y": image.offset_y}
            )
        (dest / "frames.json").write_text(json.dumps(meta, indent=1))
        print(f"{path} -> {dest}/ ({len(meta)} frames)")
    return 1 if failed else 0


if __name__ == "__main__":
    args = sys.argv[1:]
    sys.exit(main(Path(args[0]) if args else ROOT / "examples", Path(args[1]) if len(args) > 1 else ROOT / "out" / "examples"))
