"""orvtool's full parser for the reference page, its help texts made safe for
reStructuredText (a default such as ``*.orv`` is text, not emphasis)."""

import argparse
from typing import Iterator

from orvtool.cli import build_parser


def _parsers(parser: argparse.ArgumentParser) -> Iterator[argparse.ArgumentParser]:
    yield parser
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            for sub in action.choices.values():
                yield from _parsers(sub)


def parser() -> argparse.ArgumentParser:
    full = build_parser()
    for p in _parsers(full):
        for action in p._actions:
            if action.help and "%(default)s" in action.help:
                action.help = action.help.replace("%(default)s", f"``{action.default}``")
    return full
