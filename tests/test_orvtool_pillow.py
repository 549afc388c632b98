"""Animation files opened through Pillow after orvtool.pillow.register()."""

import io
import subprocess
import sys

import numpy as np
import pytest
from PIL import Image, ImageSequence, UnidentifiedImageError

import orvtool.pillow
import pyorv
from orvtool import to_numpy
from orvtool.orvfile import Animation, encode_animation
from orvtool_samples import figure, walk, write_project


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
