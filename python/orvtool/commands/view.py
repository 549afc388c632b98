"""`orvtool view`: browse and play the animations of a folder in the browser."""

from __future__ import annotations

import argparse
import os
from typing import Optional

from orvtool.commands import options
from orvtool.model.errors import OrvToolError
from orvtool.report import status
from orvtool.report.status import say_error

DESCRIPTION = (
    "Serve a page on 127.0.0.1 that shows every animation under PATH (a folder, or the folder of "
    "an animation file, which is then selected): a filterable tree "
    "with thumbnails and errors, the selected animation playing frame by frame, its frame table, "
    "palette and export command. Ctrl-C stops the server. With --static, write the page with its "
    "data inline instead, to open from file:// without a server."
)


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("path", metavar="PATH", help="folder to browse, or an animation file to open in its folder")
    p.add_argument(
        "--port", type=options.int_range(0, 65535), default=0, help="port to listen on (default: a free one)"
    )
    p.add_argument("--no-browser", action="store_true", help="do not open the page in a browser")
    p.add_argument("--static", metavar="OUT", help="write the page to the folder OUT instead of serving it")
    options.add_force(p, "--static: replace the page's files in OUT")


def run(args: argparse.Namespace, env: Optional[status.Environment] = None) -> int:
    from orvtool.view import server

    env = env or status.current()

    try:
        if args.static:
            count = server.write_static(args.path, args.static, args.force)
            line = status.result_line(
                f"wrote {os.path.join(args.static, 'index.html')}: {status.count(count, 'animation')}", env
            )
            if line:
                print(line, file=env.out)
            return 0
        # The address is the command's result: it is printed even with --quiet.
        return server.serve(args.path, args.port, not args.no_browser, quiet=env.verbosity == status.QUIET)
    except OrvToolError as exc:
        say_error(args.static or args.path, str(exc), env=env)
        return status.ERROR
