"""Reading the JSON documents that orvtool takes as input (sidecars, sprite
sheets), with errors that name the file."""

from __future__ import annotations

import json
from typing import Any

from ..errors import OrvToolError


def read_json(path: str) -> Any:
    """The document in the JSON file at `path`; a file that cannot be read or
    is not JSON is an OrvToolError naming it."""
    try:
        with open(path, encoding="utf-8") as stream:
            return json.load(stream)
    except OSError as exc:
        raise OrvToolError(f"cannot read {path}: {exc.strerror or exc}") from None
    except ValueError as exc:
        raise OrvToolError(f"{path} is not valid JSON: {exc}") from None
