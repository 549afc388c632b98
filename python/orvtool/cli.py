"""The `orvtool` command line.

Commands are registered by name with the module that implements them and a
one-line summary; a command's module is imported only when that command
runs, so that `orvtool --version` and `orvtool --help` load neither numpy
nor Pillow (`--version` loads the `pyorv` module alone, for the core's
version).
"""

from __future__ import annotations

import argparse
import importlib
import sys
from dataclasses import replace
from typing import Dict, Iterable, NamedTuple, Optional, Sequence

from orvtool.commands import options
from orvtool.report import status
from orvtool.report.status import PROG
from orvtool.run import interrupts


class Command(NamedTuple):
    module: str  # imported when the command runs; has add_arguments(parser) and run(args, env)
    summary: str


COMMANDS: Dict[str, Command] = {}


def register(name: str, module: str, summary: str) -> None:
    COMMANDS[name] = Command(module, summary)


register("info", "orvtool.commands.info", "describe animation files")
register("export", "orvtool.commands.export", "export animations to PNG frames, a sidecar and index layers")
register("build", "orvtool.commands.build", "build an animation from an export folder or from PNG frames")
register("palette", "orvtool.commands.palette", "convert a palette between formats")
register("view", "orvtool.commands.view", "browse and play the animations of a folder in the browser")


def command_named(argv: Sequence[str]) -> Optional[str]:
    """The command that `argv` runs: its first word that is not an option."""
    for word in argv:
        if word == "--":
            return None
        if not word.startswith("-"):
            return word if word in COMMANDS else None
    return None


# Values that name files or folders: completed as paths by the shell.
PATH_METAVARS = {"PATH", "FILE", "DIR", "OUT", "OUTPUT", "SOURCE"}


def _actions(parser: argparse.ArgumentParser) -> Iterable[argparse.Action]:
    for action in parser._actions:
        yield action
        if isinstance(action, argparse._SubParsersAction):
            for sub in action.choices.values():
                yield from _actions(sub)


class PrintCompletion(argparse.Action):
    """`--print-completion SHELL`: the shell's completion script for every
    command and option, made from the full parser, printed and exit."""

    def __call__(
        self, parser: argparse.ArgumentParser, namespace: object, values: object, option: object = None
    ) -> None:
        import shtab

        full = build_parser()
        for action in _actions(full):
            if action.nargs != 0 and action.choices is None and str(action.metavar) in PATH_METAVARS:
                action.complete = shtab.FILE  # type: ignore[attr-defined]
        try:
            print(shtab.complete(full, shell=str(values)), flush=True)
        except BrokenPipeError:
            status._quiet_stdout()
            parser.exit(status.BROKEN_PIPE)
        parser.exit()


class PrintVersion(argparse.Action):
    """`--version`: orvtool's version (read only when asked for), that of the
    core as the `pyorv` module imported beside it reports it, and the version
    of the JSON that `info --json` and `--report` write."""

    def __init__(
        self,
        option_strings: Sequence[str],
        dest: str = argparse.SUPPRESS,
        help: str = "show the versions of orvtool, of its core and of its JSON, and exit",  # noqa: A002 - argparse's name
    ) -> None:
        super().__init__(option_strings, dest=dest, default=argparse.SUPPRESS, nargs=0, help=help)

    def __call__(
        self, parser: argparse.ArgumentParser, namespace: object, values: object, option: object = None
    ) -> None:
        from orvtool.core.version import core_version, installed_version
        from orvtool.report.results import SCHEMA

        print(f"{PROG} {installed_version()}\ncore {core_version()}\nJSON schema {SCHEMA}", flush=True)
        parser.exit()


def build_parser(load: Optional[Iterable[str]] = None) -> argparse.ArgumentParser:
    """The parser, with the full options of the commands named in `load`
    (every command when None)."""
    wanted = set(COMMANDS) if load is None else set(load)
    parser = argparse.ArgumentParser(
        prog=PROG, description="Inspect, export, preview and build animation files; convert palettes."
    )
    parser.add_argument("--version", action=PrintVersion)
    parser.add_argument(
        "--print-completion",
        action=PrintCompletion,
        choices=("bash", "zsh"),
        help="print the shell completion script for bash or zsh and exit",
    )
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, command in COMMANDS.items():
        p = sub.add_parser(name, help=command.summary)
        if name in wanted:
            module = importlib.import_module(command.module)
            p.description = module.DESCRIPTION
            module.add_arguments(p)
            options.add_output_options(p)
            p.set_defaults(run=module.run)
    return parser


def main(argv: Optional[Sequence[str]] = None, env: Optional[status.Environment] = None) -> int:
    """Runs the command `argv` names (sys.argv's when None), printing to the
    streams of `env` (the interpreter's when None) as much as its options
    ask for; its exit status."""
    words = list(sys.argv[1:] if argv is None else argv)
    name = command_named(words)
    args = build_parser([name] if name else []).parse_args(words)
    env = replace(env or status.DEFAULT, verbosity=status.verbosity_of(args.quiet, bool(args.verbose)))
    with status.using(env):  # for what the command's functions do not pass it to yet
        return interrupts.run_command(lambda: args.run(args, env), args.debug or args.verbose >= 2, env)
