"""`python -m orvtool` and the `orvtool` command."""

import sys
from typing import List, Optional

from .version import PyorvMismatch


def main(argv: Optional[List[str]] = None) -> int:
    try:
        from .cli import main as run
    except PyorvMismatch as err:
        print(f"orvtool: error: {err}", file=sys.stderr)
        return 1
    return run(argv)


if __name__ == "__main__":
    sys.exit(main())
