#!/usr/bin/env python3
"""orvtool's readers of its inputs, driven through the command routes: each
input is a file of one kind (a sheet's JSON, an export folder's
animation.json, an image, a palette), put where a command reads it, and every
command that reads that kind is run in this process. A route may refuse the
file; an internal error (the "internal error:" line, or an exception
escaping the command) is a finding.

    orvtool_routes.py KIND [LIBFUZZER ARGS] CORPUS SEEDS   fuzz KIND with atheris
    orvtool_routes.py --seeds FOLDER                       write the seeds (fuzz/orvtool)

The seeds are committed under fuzz/orvtool/KIND; findings are kept under
tests/fuzz_regressions/orvtool_KIND, named after what they hit, and
tests/test_orvtool_fuzz_corpus.py replays both, each whole and cut short.
"""

from __future__ import annotations

import contextlib
import copy
import importlib
import io
import json
import random
import shutil
import sys
import tempfile
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Tuple

KINDS = ("sheet", "export", "image", "palette")
PALETTE_FORMATS = ("pal", "gpl", "act", "json", "png")


class InternalError(AssertionError):
    """A route that ended in an internal error."""


def run(argv: List[str]) -> int:
    """`orvtool ARGV` in this process; an internal error raises."""
    from orvtool.cli import main

    err = io.StringIO()
    with contextlib.redirect_stderr(err), contextlib.redirect_stdout(io.StringIO()):
        code = main(argv)
    if "internal error" in err.getvalue() or "Traceback" in err.getvalue():
        raise InternalError(f"orvtool {' '.join(argv)}: {err.getvalue().strip()}")
    return code


class Routes:
    """The fixed inputs beside the fuzzed file, made once in `work`: a
    palette, a small animation, its export (frames, index layers, a sheet of
    its own, a GIF preview) and an atlas image."""

    def __init__(self, work: Path) -> None:
        from PIL import Image

        from orvtool.core.orvfile import Animation, encode_animation, encode_palette, frame_from_indices

        self.work = work
        (work / "p.pal").write_bytes(encode_palette([(i, 255 - i, 3 * i % 256, 255) for i in range(256)]))
        frames = [
            frame_from_indices([[None, 1, 2], [3, None, 4]], x_offset=-1, y_offset=-2),
            frame_from_indices([[0, 0], [0, None]], is_shadow=True),
        ]
        (work / "a.orv").write_bytes(encode_animation(Animation(frames=frames, speed=90, palette_path=b"p.pal")))
        assert run(["export", str(work / "a.orv"), "-o", str(work / "x"), "--sheet", "--gif", "--apng", "-q"]) == 0
        Image.new("RGBA", (8, 6), (200, 30, 40, 255)).save(work / "x" / "atlas.png")
        atlas = {"frames": {"a": {"frame": {"x": 0, "y": 0, "w": 2, "h": 2}}}, "meta": {"image": "atlas.png"}}
        (work / "x" / "atlas.json").write_text(json.dumps(atlas))
        self.case = work / "case"

    def fresh(self) -> Path:
        """The export folder, copied anew for one input."""
        shutil.rmtree(self.case, ignore_errors=True)
        shutil.copytree(self.work / "x", self.case)
        return self.case

    def sheet(self, data: bytes) -> None:
        c = self.fresh()
        (c / "s.json").write_bytes(data)
        pal = str(self.work / "p.pal")
        run(["build", str(c / "s.json"), "-o", str(c / "o.orv"), "--palette", pal, "-q"])
        run(["build", str(c / "s.json"), "-o", str(c / "tags"), "--each-tag", "--palette", pal, "-q"])

    def export(self, data: bytes) -> None:
        c = self.fresh()
        (c / "animation.json").write_bytes(data)
        run(["build", str(c), "-o", str(self.work / "o.orv"), "-f", "-q"])

    def image(self, data: bytes) -> None:
        pal = str(self.work / "p.pal")
        for name in ("frame_000.png", "frame_000.index.png", "atlas.png", "plain.gif"):
            c = self.fresh()
            (c / name).write_bytes(data)
            source = {"atlas.png": c / "atlas.json", "plain.gif": c / name}.get(name, c)
            run(["build", str(source), "-o", str(self.work / "o.orv"), "-f", "--palette", pal, "-q"])
        run(["palette", str(c / name), "-o", str(c / "o.gpl"), "--from", "png", "-q"])

    def palette(self, data: bytes) -> None:
        for fmt in PALETTE_FORMATS:
            path = str(self.work / f"in.{fmt}")
            Path(path).write_bytes(data)
            run(["palette", path, "-o", str(self.work / "o.gpl"), "-f", "-q"])
            run(["info", str(self.work / "a.orv"), "--palette", path])

    def route(self, kind: str) -> Callable[[bytes], None]:
        return {"sheet": self.sheet, "export": self.export, "image": self.image, "palette": self.palette}[kind]


def seeds(routes: Routes) -> Dict[str, Dict[str, bytes]]:
    """Small files of every layout orvtool reads, by kind."""
    from orvtool.core.orvfile import encode_palette
    from orvtool.formats import palettes

    sixteen = [(i, 2 * i, 255 - i, 255 - 8 * i) for i in range(16)]
    x = routes.work / "x"
    own = json.loads((x / "sheet.json").read_text())
    rect = {"x": 0, "y": 0, "w": 2, "h": 2}
    entry = {"frame": rect, "rotated": False, "trimmed": True, "spriteSourceSize": rect, "sourceSize": {"w": 4, "h": 4}}
    meta = {"image": "atlas.png", "size": {"w": 8, "h": 6}}
    a, b = {**entry, "pivot": {"x": 0.5, "y": 1}}, {**entry, "frame": {**rect, "x": 2}, "duration": 80}
    sheets = {
        "texturepacker_hash.json": {"frames": {"a.png": a, "b.png": b}, "meta": meta},
        "texturepacker_array.json": {"frames": [{"filename": "a", **a}, {"filename": "b", **b}], "meta": meta},
        "pixijs.json": {"frames": {"a": a, "b": b}, "animations": {"run": ["b", "a"]}, "meta": meta},
        "aseprite.json": {
            "frames": {"a 0.aseprite": b, "a 1.aseprite": a},
            "meta": {
                **meta,
                "app": "https://www.aseprite.org/",
                "frameTags": [{"name": "t", "from": 0, "to": 1, "direction": "pingpong"}],
                "slices": [{"name": "o", "keys": [{"frame": 0, "bounds": rect, "pivot": {"x": 1, "y": 2}}]}],
            },
        },
        "phaser3_multiatlas.json": {
            "textures": [
                {"image": "atlas.png", "frames": [{"filename": "a", **a}]},
                {"image": "atlas.png", "frames": [{"filename": "b", **b}]},
            ]
        },
        "orvtool_sheet.json": own,
    }
    return {
        "sheet": {k: json.dumps(v).encode() for k, v in sheets.items()},
        "export": {"animation.json": (x / "animation.json").read_bytes()},
        "image": {
            n: (x / n).read_bytes() for n in ("preview.gif", "preview.apng", "frame_000.png", "frame_001.index.png")
        },
        "palette": {
            "binary.pal": encode_palette(sixteen),
            "gimp.gpl": b"GIMP Palette\nName: p\nColumns: 16\n#\n  0 255   0\tIndex 0 alpha=128\n255 0 3 Index 1\n",
            "jasc.pal": b"JASC-PAL\r\n0100\r\n2\r\n0 0 0\r\n255 255 255\r\n",
            "adobe.act": bytes(range(48)) + bytes(720) + b"\x00\x10\x00\x03",
            "orvtool.json": b'{"format":"orvtool-palette","version":1,"model":0,"colors":[[1,2,3,255],[4,5,6,0]]}',
            "swatch.png": palettes.encode_png(palettes.Palette(sixteen)),
        },
    }


# Values a mutation of a JSON document puts in place of one of its values.
HOSTILE: List[Any] = [None, True, -1, 0, 1, 7, 65536, 2**31, 2**64, 1e308, 0.5, float("nan"), "", "a", [], {}, [[0]]]


def mutate_json(data: bytes, seed: int) -> Optional[bytes]:
    """A document with one value replaced by a hostile one, removed or
    copied over another; None when `data` is not a JSON document."""
    rng = random.Random(seed)
    try:
        doc = json.loads(data)
    except (ValueError, RecursionError):
        return None
    places: List[Tuple[Any, Any]] = []  # (container, key or index), every value below the top
    stack = [doc]
    while stack:
        node = stack.pop()
        keys = list(node) if isinstance(node, dict) else range(len(node)) if isinstance(node, list) else []
        places += [(node, k) for k in keys]
        stack += [node[k] for k in keys]
    if places:
        node, key = rng.choice(places)
        action = rng.randrange(3)
        if action == 0 and isinstance(node, dict):
            del node[key]
        else:
            other, at = rng.choice(places)
            node[key] = copy.deepcopy(other[at]) if action == 1 else rng.choice(HOSTILE)
    return json.dumps(doc).encode()


def main() -> None:
    if sys.argv[1] == "--seeds":
        with tempfile.TemporaryDirectory() as work:
            for kind, files in seeds(Routes(Path(work))).items():
                (Path(sys.argv[2]) / kind).mkdir(parents=True, exist_ok=True)
                for name, data in files.items():
                    (Path(sys.argv[2]) / kind / name).write_bytes(data)
        return
    atheris: Any = importlib.import_module("atheris")  # ./dev fuzz installs it (the fuzz extra)

    kind = sys.argv.pop(1)
    with atheris.instrument_imports(include=["orvtool", "PIL"]):  # what the routes run, for coverage
        from PIL import Image

        from orvtool import cli

        Image.init()
        for command in cli.COMMANDS.values():
            importlib.import_module(command.module)
        route = Routes(Path(tempfile.mkdtemp(prefix="orvtool-fuzz-"))).route(kind)

    def mutate(data: bytes, max_size: int, seed: int) -> bytes:
        """A document of a JSON kind mutated as JSON three times in four, else as bytes."""
        mutated = mutate_json(data, seed) if kind in ("sheet", "export") and seed % 4 else None
        return mutated if mutated is not None and len(mutated) <= max_size else atheris.Mutate(data, max_size)

    atheris.Setup(sys.argv, route, custom_mutator=mutate)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
