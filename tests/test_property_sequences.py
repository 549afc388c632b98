"""Random sequences of operations on the Python surface.

A hypothesis state machine loads valid, cut and damaged files into one `OrvF`,
holds frame views across later loads, edits records through views (counts and
sizes that no longer match what is held included), changes the palette,
renders through `OrvF` and `OrvFrameBuffer`, and saves and reloads. After every
step, frames held from earlier loads still read as they were.

Examples are bounded by the hypothesis profile: "bounded" (default, the plain
and sanitized suites) or "long" (`ORV_PROPERTY_PROFILE=long`, from ./dev fuzz).
"""

from __future__ import annotations

import os
import random
import shutil
import struct
import tempfile
from pathlib import Path
from typing import Any, List, Tuple

from hypothesis import HealthCheck, Phase, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

import pyorv
from hostile import SANITIZED
from orvtool.core.orvfile import Animation, Frame, Row, Run, encode_animation, encode_frame, encode_palette
from test_render_reference import reference_render

settings.register_profile(
    "bounded",
    max_examples=25 if SANITIZED else 100,
    # A failure is reported as found: shrinking long sequences takes minutes.
    phases=[Phase.explicit, Phase.reuse, Phase.generate, Phase.target, Phase.explain],
    stateful_step_count=20,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.register_profile(
    "long",
    max_examples=2000,
    stateful_step_count=40,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

IMAGE_LIMIT = 0x7FFFFFFF  # bytes of one image: larger frames render as 0 x 0
RENDER_BUDGET = 32 << 20  # what one step may render; larger states are not rendered
PALETTE_PATH = b"pal/p.pal"
BLACK = (0, 0, 0, 255)

FrameRecord = Tuple[Any, ...]


def random_animation(rng: random.Random) -> Animation:
    frames = []
    for _ in range(rng.randrange(5)):
        width = rng.choice([0, 1, 3, 8, 17, 24])
        shadow = rng.random() < 0.2
        rows = []
        for _ in range(rng.randrange(13)):
            runs = []
            for _ in range(rng.choice([0, 1, 2, 4])):
                gap = rng.choice([0, 1, 5, rng.randrange(256)])
                length = rng.choice([0, 1, 3, 9, rng.randrange(40)])
                if shadow:
                    runs.append(Run(offset=gap, length=length))
                else:
                    runs.append(Run(offset=gap, indices=bytes(rng.randrange(256) for _ in range(length))))
            rows.append(Row(runs))
        frames.append(
            Frame(
                width=width,
                rows=rows,
                x_offset=rng.randrange(-300, 300),
                y_offset=rng.randrange(-300, 300),
                is_shadow=shadow,
                frame_size=rng.randrange(1 << 32),
                unk1=rng.randrange(256),
                unk2=rng.randrange(256),
            )
        )
    background = bool(frames) and rng.random() < 0.4
    return Animation(frames=frames, speed=rng.randrange(1 << 32), palette_path=PALETTE_PATH, has_background=background)


def random_colors(rng: random.Random, n: int) -> List[Tuple[int, int, int, int]]:
    return [(rng.randrange(256), rng.randrange(256), rng.randrange(256), rng.randrange(256)) for _ in range(n)]


def head_length(anim: Animation) -> int:
    return len(
        encode_animation(Animation(frames=[], palette_path=anim.palette_path, has_background=anim.has_background))
    )


def image_bytes_bound(data: bytes) -> int:
    """An upper bound of the image bytes that loading `data` renders: every
    frame record that begins in the file, whatever the frame count says."""
    pos = 0
    if data[:4] == b"FVRO":
        pos = 9
    if len(data) < pos + 8:
        return 0
    (path_length,) = struct.unpack_from("<I", data, pos + 4)
    pos += 8 + path_length + 4
    total = 0
    while pos < len(data):
        fields = data[pos + 4 : pos + 8] + bytes(4)
        word, width = struct.unpack_from("<HH", fields)
        shadow = bool(word & 0x8000)
        height = word & 0x7FFF
        if width * height * 4 <= IMAGE_LIMIT:
            total += width * height * 4
        pos += 14
        for _ in range(height):
            if pos >= len(data):
                break
            blocks = data[pos]
            pos += 1
            for _ in range(blocks):
                count = data[pos + 1] if pos + 1 < len(data) else 0
                pos += 2 + (0 if shadow else count)
    return total


def frame_record(frame: Any) -> FrameRecord:
    """Every field of a frame as Python reads it, except unk1 and unk2 (which
    saving sets)."""
    rows = tuple(
        (row.block_count, tuple((b.offset, b.color_count, tuple(b.colors)) for b in row.blocks))
        for row in frame.pixel_sets
    )
    return (frame.frame_size, frame.height, frame.is_shadow, frame.width, frame.y_offset, frame.x_offset, rows)


def written_record(frame: Frame) -> FrameRecord:
    """What a load gives for a frame the writer wrote in full."""
    rows = tuple(
        (
            len(row.runs),
            tuple((r.offset, r.color_count, () if frame.is_shadow else tuple(r.indices)) for r in row.runs),
        )
        for row in frame.rows
    )
    shadow = 1 if frame.is_shadow else 0
    height = len(frame.rows) % 256 if frame.is_shadow else len(frame.rows)
    return (frame.frame_size, height, shadow, frame.width, frame.y_offset, frame.x_offset, rows)


def colour_tuples(palette: Any) -> List[Tuple[int, int, int, int]]:
    return [(c.r, c.g, c.b, c.a) for c in palette.colors()]


ImageRecord = Tuple[int, int, int, int, int, bytes]


def image_record(image: Any) -> ImageRecord:
    return (image.width, image.height, image.offset_x, image.offset_y, image.channels, image.pixels)


class Expected:
    """An image as the rendering rules give it for one frame."""

    def __init__(self, frame: Any, colors: List[Tuple[int, int, int, int]]) -> None:
        self.offset_x, self.offset_y, self.channels = frame.x_offset, frame.y_offset, 4
        if frame.width * frame.height * 4 > IMAGE_LIMIT:
            self.width = self.height = 0  # refused: an empty image keeps the frame's place
            self.pixels = b""
        else:
            self.width, self.height = frame.width, frame.height
            self.pixels, _ = reference_render(frame, colors)


def expected_images(data: Any) -> List[Expected]:
    """One image per frame held, none without colours."""
    colors = colour_tuples(data.palette)
    frames = data.frames
    if not frames or not colors:
        return []
    return [Expected(frame, colors) for frame in frames]


def records_consistent(data: Any) -> bool:
    """Whether saving writes exactly what is held, so that a reload gives the
    same records: every count matches what it counts, flags are 0 or 1, a
    shadow frame's height fits its byte, a background frame exists if claimed."""
    frames = data.frames
    if data.info.frame_count != len(frames) or (data.has_background and not frames):
        return False
    for frame in frames:
        if frame.is_shadow not in (0, 1) or (frame.is_shadow and frame.height > 255):
            return False
        rows = frame.pixel_sets
        if len(rows) != frame.height:
            return False
        for row in rows:
            blocks = row.blocks
            if len(blocks) != row.block_count:
                return False
            for block in blocks:
                if len(block.colors) != (0 if frame.is_shadow else block.color_count):
                    return False
    return True


def path_starts_with_magic(path: str) -> bool:
    with open(path, "rb") as fh:
        return fh.read(4) == b"FVRO"


def check_loaded_invariants(data: Any) -> None:
    """What every load establishes, whatever the file held."""
    frames = data.frames
    assert data.info.frame_count == len(frames)
    for frame in frames:
        assert len(frame.pixel_sets) == frame.height


class OrvSequences(RuleBasedStateMachine):
    def __init__(self) -> None:
        super().__init__()
        self.dir = Path(tempfile.mkdtemp(prefix="orv-seq-"))
        (self.dir / "pal").mkdir()
        (self.dir / "saved" / "sub").mkdir(parents=True)
        (self.dir / "saved" / "pal").mkdir()
        self.f = pyorv.OrvF()
        # Views read earlier, with what they read then.
        self.held: List[Tuple[Any, FrameRecord]] = []
        self.loads = 0
        self.kept: List[ImageRecord] = []

    def teardown(self) -> None:
        shutil.rmtree(self.dir, ignore_errors=True)

    # --- loads ---------------------------------------------------------------

    def _write(self, name: str, data: bytes) -> str:
        path = self.dir / name
        path.write_bytes(data)
        return str(path)

    def _load(self, path: str, palette: str = "") -> Any:
        self.loads += 1
        background = self.f.data().has_background
        result = self.f.load(path, io_pal=palette)
        data = self.f.data()
        assert result is None or result is data
        check_loaded_invariants(data)
        if not path_starts_with_magic(path):
            assert data.has_background == background  # the plain form leaves it as it was
        # The load rendered its frames; get_frame_buffer hands those images out
        # until the next load, whatever is edited meanwhile.
        self.kept = [image_record(image) for image in self.f.get_frame_buffer()]
        assert self.kept == [image_record(image) for image in expected_images(data)]
        return data

    @rule(rng=st.randoms(use_true_random=False), entries=st.sampled_from([256, 256, 16, 1]))
    def load_valid(self, rng: random.Random, entries: int) -> None:
        anim = random_animation(rng)
        colors = random_colors(rng, entries)
        self._write("pal/p.pal", encode_palette(colors))
        data = self._load(self._write(f"v{self.loads}.orv", encode_animation(anim)))
        # Consistent, unless a background claimed by an earlier load has no frame to be.
        assert records_consistent(data) or (data.has_background and not data.frames)
        assert [frame_record(fr) for fr in data.frames] == [written_record(fr) for fr in anim.frames]
        assert [(fr.unk1, fr.unk2) for fr in data.frames] == [(fr.unk1, fr.unk2) for fr in anim.frames]
        if anim.has_background:
            assert data.has_background
        assert data.info.speed == anim.speed
        if data.palette.color_model() == 1:  # set by an earlier edit: entries are read as B, G, R, A
            colors = [(b, g, r, a) for r, g, b, a in colors]
        assert colour_tuples(data.palette) == colors + [BLACK] * (256 - entries)

    @rule(rng=st.randoms(use_true_random=False), cut=st.floats(0, 1))
    def load_cut(self, rng: random.Random, cut: float) -> None:
        anim = random_animation(rng)
        whole = encode_animation(anim)
        size = int(len(whole) * cut)
        data = self._load(
            self._write(f"c{self.loads}.orv", whole[:size]),
            self._write("full.pal", encode_palette(random_colors(rng, 256))),
        )
        # Frames whose records lie wholly before the cut come back whole.
        end = head_length(anim)
        complete = []
        for fr in anim.frames:
            end += len(encode_frame(fr))
            if end > size:
                break
            complete.append(written_record(fr))
        got = [frame_record(fr) for fr in data.frames]
        assert len(got) <= len(anim.frames)
        assert got[: len(complete)] == complete

    @rule(
        rng=st.randoms(use_true_random=False),
        damage=st.sampled_from(["count", "blocks", "run", "path", "height", "trailing", "byte"]),
    )
    def load_damaged(self, rng: random.Random, damage: str) -> None:
        anim = random_animation(rng)
        if damage == "count":
            anim.frame_count = rng.choice([0, len(anim.frames) + 3, 0x80000000, 0xFFFFFFFF])
        elif damage == "path":
            anim.path_length = rng.choice([0, 3, 0xFFFFFFF0])
        elif damage == "trailing":
            anim.trailing = bytes(rng.randrange(256) for _ in range(rng.randrange(64)))
        elif anim.frames and damage in ("blocks", "run", "height"):
            frame = rng.choice(anim.frames)
            if damage == "height":
                frame.height_word = rng.choice([0x8000 | 0x7FFF, len(frame.rows) + 40, 0x80FF])
            elif frame.rows:
                row = rng.choice(frame.rows)
                if damage == "blocks":
                    row.block_count = 255
                elif row.runs:
                    rng.choice(row.runs).length = 255
        data = encode_animation(anim)
        if damage == "byte" and data:
            at = rng.randrange(len(data))
            data = data[:at] + bytes([rng.randrange(256)]) + data[at + 1 :]
        if image_bytes_bound(data) > RENDER_BUDGET:
            return  # loading renders; a damaged size field can ask for a gigabyte
        self._write("pal/p.pal", encode_palette(random_colors(rng, 256)))
        self._load(self._write(f"d{self.loads}.orv", data))

    # --- views and edits -----------------------------------------------------

    @rule(pick=st.integers(0, 7))
    def hold_view(self, pick: int) -> None:
        frames = self.f.data().frames
        if frames:
            view = frames[pick % len(frames)]
            self.held.append((view, frame_record(view)))
            del self.held[:-6]

    @rule(
        pick=st.integers(0, 7),
        field=st.sampled_from(["x_offset", "y_offset", "frame_size", "unk1", "unk2"]),
        value=st.integers(0, 127),
    )
    def edit_plain_field(self, pick: int, field: str, value: int) -> None:
        """A field that changes no count, through a held view or a fresh one."""
        if self.held and pick % 2:
            view, _ = self.held[pick % len(self.held)]
        else:
            frames = self.f.data().frames
            if not frames:
                return
            view = frames[pick % len(frames)]
        setattr(view, field, value)
        assert getattr(view, field) == value
        self._refresh_snapshot(view)

    @rule(
        pick=st.integers(0, 7),
        what=st.sampled_from(
            ["frame_count", "height", "width", "block_count", "color_count", "is_shadow", "background"]
        ),
        value=st.sampled_from([0, 1, 2, 255, 300, 65535, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF]),
    )
    def edit_count(self, pick: int, what: str, value: int) -> None:
        """Counts and sizes that no longer match the records held."""
        data = self.f.data()
        frames = data.frames
        if what == "frame_count":
            data.info.frame_count = value
        elif what == "background":
            data.has_background = not data.has_background
        elif frames:
            frame = frames[pick % len(frames)]
            if what in ("height", "width"):
                setattr(frame, what, min(value, 65535))
            elif what == "is_shadow":
                frame.is_shadow = min(value, 255)
            else:
                rows = frame.pixel_sets
                if not rows:
                    return
                row = rows[pick % len(rows)]
                if what == "block_count":
                    row.block_count = min(value, 255)
                elif row.blocks:
                    row.blocks[pick % len(row.blocks)].color_count = min(value, 255)
            self._refresh_snapshot(frame)

    def _refresh_snapshot(self, view: Any) -> None:
        self.held = [(v, frame_record(v) if v is view else rec) for v, rec in self.held]

    @rule(
        rng=st.randoms(use_true_random=False),
        entries=st.sampled_from([0, 1, 7, 255, 256, 300]),
        model=st.sampled_from([0, 1]),
    )
    def edit_palette(self, rng: random.Random, entries: int, model: int) -> None:
        source = pyorv.PalF()
        assert source.load(self._write("source.pal", encode_palette(random_colors(rng, 256)))) == 1
        pool = source.colors()
        colors = [pool[rng.randrange(256)] for _ in range(entries)]
        palette = self.f.data().palette
        palette.colors(c for c in colors)
        palette.color_model(model)
        assert colour_tuples(palette) == [(c.r, c.g, c.b, c.a) for c in colors]
        assert palette is self.f.data().palette

    # --- rendering, saving ---------------------------------------------------

    def _renderable(self) -> bool:
        total = 0
        for frame in self.f.data().frames:
            size = frame.width * frame.height * 4
            if size <= IMAGE_LIMIT:
                total += size
        return total <= RENDER_BUDGET

    @precondition(lambda self: self._renderable())
    @rule()
    def render(self) -> None:
        data = self.f.data()
        images = pyorv.OrvFrameBuffer(data).get_buffer()
        assert [image_record(image) for image in images] == [image_record(image) for image in expected_images(data)]
        assert [image_record(image) for image in self.f.get_frame_buffer()] == self.kept

    @rule(name=st.sampled_from(["out.orv", "sub/out.orv"]))
    def save_and_reload(self, name: str) -> None:
        data = self.f.data()
        before = [frame_record(fr) for fr in data.frames]
        consistent = records_consistent(data)
        colors = colour_tuples(data.palette)
        background, speed, count = data.has_background, data.info.speed, data.info.frame_count
        target = self.dir / "saved" / name
        palette = self.dir / "saved" / "pal" / "p.pal"
        palette.unlink(missing_ok=True)
        self.f.save(str(target), str(self.dir / "saved"), str(palette))
        assert target.is_file() and palette.is_file()

        written = min(count if count < 0x80000000 else 0, len(before))
        assert [(fr.unk1, fr.unk2) for fr in data.frames[:written]] == [(0, 1)] * written

        reread = pyorv.OrvF()
        reread.load(str(target))
        got = reread.data()
        check_loaded_invariants(got)
        speed_spells_magic = not background and struct.pack("<I", speed) == b"FVRO"
        if consistent and not speed_spells_magic:
            assert [frame_record(fr) for fr in got.frames] == before
            assert got.has_background == background and got.info.speed == speed
            assert [(fr.unk1, fr.unk2) for fr in got.frames] == [(0, 1)] * len(before)
        if 1 <= len(colors) <= 256:
            saved = pyorv.PalF()
            assert saved.load(str(palette)) == 1
            assert colour_tuples(saved) == colors + [BLACK] * (256 - len(colors))

    # --- after every step ----------------------------------------------------

    @invariant()
    def held_views_read_what_they_read(self) -> None:
        for view, record in self.held:
            assert frame_record(view) == record

    @invariant()
    def shared_objects_stay_the_same(self) -> None:
        data = self.f.data()
        assert data is self.f.data() and data.palette is data.palette


OrvSequences.TestCase.settings = settings.get_profile(os.environ.get("ORV_PROPERTY_PROFILE", "bounded"))
TestOrvSequences = OrvSequences.TestCase
