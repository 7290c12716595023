"""The ``pairloom`` command."""

import sys


def main(argv: list[str] | None = None) -> int:
    print("pairloom: no commands yet", file=sys.stderr)
    return 2
