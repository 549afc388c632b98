"""Reading the JSON documents that orvtool takes as input (sidecars, sprite
sheets, JSON palettes), within limits, with errors that name the file.

A document is at most `limits.JSON_BYTES` long and nested at most
`limits.JSON_DEPTH` deep. Numbers come back as JSON gives them (NaN and
Infinity included, a float out of range as an infinity): each document's
checker holds them to its fields' ranges and names the key. A document that
does not parse (not UTF-8, not JSON) is a finding of `document_invalid`, one
whose values take more memory than there is of `out_of_memory`.
"""

from __future__ import annotations

import json
from typing import Any, List, Tuple, Union

from orvtool.formats.reading import OUT_OF_MEMORY, ReadError, read_input
from orvtool.model import limits


def nesting(doc: Any) -> int:
    """How deep the lists and objects of a parsed document go (a scalar is 0)."""
    deepest = 0
    stack: List[Tuple[Any, int]] = [(doc, 0)]
    while stack:
        value, depth = stack.pop()
        if isinstance(value, dict):
            value = list(value.values())
        if isinstance(value, list):
            depth += 1
            deepest = max(deepest, depth)
            if depth <= limits.JSON_DEPTH:
                stack.extend((item, depth) for item in value)
    return deepest


DOCUMENT_INVALID = "document_invalid"


def parse_json(data: Union[bytes, str], path: str) -> Any:
    """The document in `data` (bytes in UTF-8, or text), read from the file
    `path`, within the limits."""
    if len(data) > limits.JSON_BYTES:
        reason = f"larger than a JSON document can be ({limits.JSON_BYTES} bytes)"
        raise ReadError(f"{path} is {reason}", f"is {reason}", category="over_limit")
    try:
        doc = json.loads(data.decode("utf-8-sig") if isinstance(data, bytes) else data)
    except RecursionError:
        doc, deep = None, True
    except ValueError as exc:  # UnicodeDecodeError and JSONDecodeError among them
        raise ReadError(f"{path} is not valid JSON: {exc}", f"not valid JSON: {exc}", DOCUMENT_INVALID) from None
    except MemoryError:  # the objects of a document within its size can take many times its bytes
        reason = "its values take more memory than there is"
        raise ReadError(f"{path}: {reason}", reason, OUT_OF_MEMORY) from None
    else:
        deep = nesting(doc) > limits.JSON_DEPTH
    if deep:
        reason = f"nested more than {limits.JSON_DEPTH} deep"
        raise ReadError(f"{path} is {reason}", f"is {reason}", category="over_limit")
    return doc


def read_json(path: str) -> Any:
    """The document in the JSON file at `path`; a file that cannot be read, is
    not JSON or is past the limits is an OrvToolError naming it."""
    return parse_json(read_input(path, limits.JSON_BYTES, "JSON document"), path)
