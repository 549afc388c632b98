"""`python -m orvtool` and the `orvtool` command."""

import sys
from typing import List, Optional

from .version import PyorvMismatch, check_pyorv


def main(argv: Optional[List[str]] = None) -> int:
    # Checked before any command runs, so that no command starts with a module
    # of another build (and none fails halfway, in a worker process).
    try:
        import pyorv

        check_pyorv(pyorv)
    except PyorvMismatch as err:
        print(f"orvtool: error: {err}", file=sys.stderr)
        return 1
    from .cli import main as run

    return run(argv)


if __name__ == "__main__":
    sys.exit(main())
