"""Animation files opened through Pillow after orvtool.pillow.register()."""

import io
import subprocess
import sys
import tempfile

import numpy as np
import pytest
from PIL import Image, ImageSequence, UnidentifiedImageError

import orvtool.pillow
import pyorv
from hostile import SANITIZED
from orvtool import to_numpy
from orvtool.core.orvfile import Animation, Frame, encode_animation, encode_palette, frame_from_indices
from orvtool_samples import PALETTE, figure, walk, write_project


@pytest.fixture(autouse=True)
def registered():
    orvtool.pillow.register()
    yield
    orvtool.pillow.register()


def expected_canvas(path):
    """Every image of pyorv's own load, placed on the union of the frame rectangles."""
    f = pyorv.OrvF()
    data = f.load(str(path))
    images = f.get_frame_buffer()
    solid = [i for i in images if i.width and i.height]
    left, top = min(i.offset_x for i in solid), min(i.offset_y for i in solid)
    right = max(i.offset_x + i.width for i in solid)
    bottom = max(i.offset_y + i.height for i in solid)
    canvases = []
    for image in images:
        canvas = np.zeros((bottom - top, right - left, 4), np.uint8)
        y, x = image.offset_y - top, image.offset_x - left
        canvas[y : y + image.height, x : x + image.width] = to_numpy(image)
        canvases.append(canvas)
    return data, canvases, (-left, -top)


def animated(im):
    """What Pillow says of an animated image (attributes its stubs leave out)."""
    return im.format, im.mode, im.n_frames, im.is_animated


@pytest.mark.parametrize("background", [False, True], ids=["plain", "background"])
def test_every_frame_is_pyorvs_image_on_the_canvas(tmp_path, background):
    anim = walk()
    anim.has_background = background
    path = write_project(tmp_path, "hero/walk.orv", anim)
    data, canvases, origin = expected_canvas(path)
    with Image.open(path) as im:
        assert animated(im) == ("ORV", "RGBA", 3, True)
        assert im.size == (canvases[0].shape[1], canvases[0].shape[0])
        assert im.info["background"] is background
        for n, frame in enumerate(ImageSequence.Iterator(im)):
            assert im.tell() == n
            np.testing.assert_array_equal(np.asarray(frame.convert("RGBA")), canvases[n])
            record = data.frames[n]
            x, y = origin[0] + record.x_offset, origin[1] + record.y_offset
            assert frame.info["origin"] == origin
            assert frame.info["offsets"] == (record.x_offset, record.y_offset)
            assert frame.info["frame_box"] == (x, y, x + record.width, y + record.height)
            assert frame.info["speed"] == 100
        im.seek(1)
        np.testing.assert_array_equal(np.asarray(im), canvases[1])
        with pytest.raises(EOFError):
            im.seek(3)
        out = tmp_path / "walk.gif"
        im.save(out, save_all=True, duration=100, disposal=2)
        im.save(tmp_path / "walk.webp", save_all=True, duration=100, lossless=True)
    with Image.open(tmp_path / "walk.webp") as webp:
        webp.seek(2)
        np.testing.assert_array_equal(np.asarray(webp.convert("RGBA"))[..., 3], canvases[2][..., 3])
    with Image.open(out) as gif:
        assert animated(gif)[2] == 3 and gif.size == (canvases[0].shape[1], canvases[0].shape[0])
        gif.seek(2)
        shown = np.asarray(gif.convert("RGBA"))
        np.testing.assert_array_equal(shown[..., 3] > 0, canvases[2][..., 3] >= 128)


def test_file_objects_and_the_registered_palette(tmp_path):
    anim = walk()
    anim.has_background = True
    path = write_project(tmp_path, "a/one.orv", anim)
    _, canvases, _ = expected_canvas(path)
    with open(path, "rb") as fh, Image.open(fh) as im:  # named: the palette is searched for
        np.testing.assert_array_equal(np.asarray(im), canvases[0])
    # Without a name there is nothing to search from, and a plain file has
    # nothing to be recognised by.
    with pytest.raises(OSError, match="needs a palette"):
        Image.open(io.BytesIO(path.read_bytes()))
    plain = write_project(tmp_path, "a/plain.orv", walk())
    with pytest.raises(UnidentifiedImageError):
        Image.open(io.BytesIO(plain.read_bytes()))
    orvtool.pillow.register(palette=tmp_path / "pal" / "test.pal")
    with Image.open(io.BytesIO(path.read_bytes())) as im:
        im.seek(2)
        np.testing.assert_array_equal(np.asarray(im), canvases[2])


def test_other_images_are_not_claimed_and_broken_files_say_why(tmp_path):
    png = tmp_path / "x.png"
    Image.new("RGBA", (3, 2), (1, 2, 3, 4)).save(png)
    with Image.open(png) as im:
        assert im.format == "PNG"
    whole = write_project(tmp_path, "cut.orv", Animation(frames=[figure(), figure()]))
    whole.write_bytes(whole.read_bytes()[:-4])
    with pytest.raises(OSError, match="cut short"):
        Image.open(whole)
    lost = tmp_path / "nopal.orv"
    lost.write_bytes(encode_animation(Animation(frames=[figure()], palette_path=b"gone.pal")))
    with pytest.raises(OSError, match="palette not found"):
        Image.open(lost)
    # The background form is claimed by its magic whatever the name, a
    # plain file under another name is not.
    bg = walk()
    bg.has_background = True
    magic = write_project(tmp_path, "bg.bin", bg)
    with Image.open(magic) as im:
        assert im.format == "ORV"
    plain = write_project(tmp_path, "plain.bin", walk())
    with pytest.raises(UnidentifiedImageError):
        Image.open(plain)


@pytest.mark.parametrize(
    "prefix, claimed",
    [
        (b"FVRO\0\0\0\0\1d\0\0\0\x05\0\0\0", True),  # the background form's magic
        (b"d\0\0\0\x0d\0\0\0pal/test", True),  # a plain head: speed, path length, path
        (b"d\0\0\0\0\0\0\0\x03\0\0\0", True),  # no path at all
        (b"d\0\0\0\x00\x10\x01\0pal/test", False),  # a path longer than a path is
        (b"d\0\0\0\x0d\0\0\0pal\ntes", False),  # control characters in the path
        (b"FVR", False),
        (b"\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", False),
    ],
)
def test_files_are_claimed_by_their_first_bytes(prefix, claimed):
    assert orvtool.pillow._accept(prefix) is claimed


@pytest.mark.parametrize(
    "case, error, category",
    [
        ("cut short", orvtool.LoadFailed, "frames_cut_short"),
        ("palette gone", orvtool.LoadFailed, "palette_not_found"),
        ("too many records", orvtool.TooManyFrames, "too_many_frames"),
    ],
)
def test_a_claimed_file_that_fails_raises_an_oserror_with_the_load_report(tmp_path, monkeypatch, case, error, category):
    from orvtool.model import limits

    path = write_project(tmp_path, "a.orv", walk())
    if case == "cut short":
        path.write_bytes(path.read_bytes()[:-4])
    elif case == "palette gone":
        (tmp_path / "pal" / "test.pal").unlink()
    else:
        monkeypatch.setattr(limits, "FRAME_RECORDS", 2)  # walk() has 3
    with pytest.raises(error) as raised:
        Image.open(path)
    failed = raised.value
    assert isinstance(failed, OSError) and isinstance(failed, orvtool.LoadFailed) and failed.category == category
    report = orvtool.inspect(path)  # the same root finding, returned (the plugin draws nothing yet)
    assert failed.report.findings[0] == report.findings[0] and report.failed
    assert report.findings[0].category == category


def test_the_conventions_of_pillows_animated_images(tmp_path):
    path = write_project(tmp_path, "walk.orv", walk())
    _, canvases, _ = expected_canvas(path)
    with Image.open(path) as im:
        full = im.size
        assert (im.info["duration"], im.info["loop"]) == (100, 0)
        im.thumbnail((4, 4))
        assert im.size != full
        im.seek(1)  # the next frame whole, at full size, as GIF gives it
        assert im.size == full
        np.testing.assert_array_equal(np.asarray(im), canvases[1])
        for kind in ("gif", "png"):
            im.save(tmp_path / f"walk.{kind}", save_all=True)
    for kind in ("gif", "png"):
        with Image.open(tmp_path / f"walk.{kind}") as saved:
            assert (animated(saved)[2], saved.info["duration"], saved.info["loop"]) == (3, 100, 0)


def test_streams_and_a_palette_for_one_image(tmp_path, monkeypatch):
    path = write_project(tmp_path, "a/plain.orv", walk())
    _, canvases, _ = expected_canvas(path)
    other = tmp_path / "other.pal"
    other.write_bytes(encode_palette([(255 - r, g, b, a) for r, g, b, a in PALETTE]))
    monkeypatch.setattr(tempfile, "TemporaryDirectory", None)  # streams are read from memory
    with orvtool.pillow.open(io.BytesIO(path.read_bytes()), palette=tmp_path / "pal" / "test.pal") as im:
        assert animated(im) == ("ORV", "RGBA", 3, True)
        im.seek(2)
        np.testing.assert_array_equal(np.asarray(im), canvases[2])
    with orvtool.pillow.open(path, palette=other) as im:
        assert im.info["palette_file"] == str(other)
        assert not np.array_equal(np.asarray(im), canvases[0])
    with Image.open(path) as im:  # that palette held for that image alone
        np.testing.assert_array_equal(np.asarray(im), canvases[0])
    with pytest.raises(UnidentifiedImageError):
        Image.open(io.BytesIO(path.read_bytes()))


def test_opening_reads_the_records_alone(tmp_path):
    """The canvas of two far-apart pixels takes 1 GiB and a file of empty
    frames an image each: neither is made before Pillow's bomb check or for
    `n_frames`."""
    apart = [
        frame_from_indices([[1]], x_offset=-8192, y_offset=-8192),
        frame_from_indices([[1]], x_offset=8191, y_offset=8191),
    ]
    far = write_project(tmp_path, "far.orv", Animation(frames=apart))
    many = write_project(tmp_path, "many.orv", Animation(frames=[figure()] + [Frame(width=0, rows=[])] * 100_000))
    # The address-space bound holds for plain builds: under the sanitizer its
    # shadow memory alone passes it.
    bound = "" if SANITIZED else "resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))\n"
    script = (
        "import resource, sys\n" + bound + "from PIL import Image\n"
        "import orvtool.pillow\n"
        "orvtool.pillow.register()\n"
        "try:\n"
        "    Image.open(sys.argv[1])\n"
        "except Image.DecompressionBombError:\n"
        "    print('refused')\n"
        "with Image.open(sys.argv[2]) as im:\n"
        "    print(im.n_frames, im.size)\n"
    )
    done = subprocess.run([sys.executable, "-c", script, far, many], capture_output=True, text=True, timeout=300)
    assert done.stdout.splitlines() == ["refused", "100001 (5, 3)"], done.stderr


def test_shell_completion_covers_every_command_and_option():
    for shell, marker in (("bash", "complete -o"), ("zsh", "#compdef orvtool")):
        done = subprocess.run(
            [sys.executable, "-m", "orvtool", "--print-completion", shell], capture_output=True, text=True, check=True
        )
        assert marker in done.stdout
        for word in ("info", "export", "build", "palette", "view", "--sheet-layout", "--resize-anchor", "--quantize"):
            assert word in done.stdout, (shell, word)
    bash = subprocess.run(
        [sys.executable, "-m", "orvtool", "--print-completion", "bash"], capture_output=True, text=True
    )
    script = (
        bash.stdout + "\nCOMP_WORDS=(orvtool ex); COMP_CWORD=1; _shtab_orvtool; printf '%s\\n' \"${COMPREPLY[@]}\"\n"
    )
    done = subprocess.run(["bash", "-c", script], capture_output=True, text=True)
    assert done.stdout.split() == ["export"]
