"""`python -m orvtool` and the `orvtool` command."""

import sys
from typing import List, Optional

from orvtool.core.version import PyorvMismatch, check_pyorv


def main(argv: Optional[List[str]] = None) -> int:
    from orvtool.cli import command_named
    from orvtool.cli import main as run

    words = sys.argv[1:] if argv is None else argv
    # Checked before any command runs, so that no command starts with a module
    # of another build (and none fails halfway, in a worker process). Without
    # a command (--version, --help, a mistyped word) nothing needs the module.
    if command_named(words) is not None:
        try:
            import pyorv

            check_pyorv(pyorv)
        except PyorvMismatch as err:
            print(f"orvtool: error: {err}", file=sys.stderr)
            return 1
    return run(words)


if __name__ == "__main__":
    sys.exit(main())
