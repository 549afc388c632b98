"""What a file that is not an animation is, by its signature: an animation
file has none, so a file that fails to load as one and starts like a PNG is
named a PNG image rather than described as a head with an absurd palette
path length."""

from __future__ import annotations

from typing import Optional

import filetype  # type: ignore[import-untyped]

# Bytes that the signatures need (filetype's own reading length).
HEAD = 262

# Names as people say them, where the file extension is not it.
NAMES = {"jpg": "JPEG", "tif": "TIFF", "webp": "WebP", "apng": "APNG", "jxl": "JPEG XL", "heic": "HEIC"}
KINDS = {"image": "image", "video": "video", "audio": "sound file"}


def describe(head: bytes) -> Optional[str]:
    """ "a PNG image", "a ZIP file" ... for the first bytes of a file in a
    known format; None for anything else."""
    kind = filetype.guess(head[:HEAD])
    if kind is None:
        return None
    extension = str(kind.extension)
    name = NAMES.get(extension, extension.upper())
    noun = KINDS.get(str(kind.mime).split("/", 1)[0], "file")
    article = "an" if name[0] in "AEIOU" else "a"
    return f"{article} {name} {noun}"


def describe_file(path: str) -> Optional[str]:
    """`describe` for the file at `path`; None when it cannot be read."""
    try:
        with open(path, "rb") as fh:
            return describe(fh.read(HEAD))
    except OSError:
        return None
