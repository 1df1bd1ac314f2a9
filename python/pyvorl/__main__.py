"""The `pyvorl` command line: `dump` lists the frames of a file, `demo` sends
a million rows of market data through a file of frames and checks them."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable, Sequence

from pyvorl._version import __version__


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as stop:  # --help and usage errors; keep the int contract
        return stop.code if isinstance(stop.code, int) else 2
    try:
        if args.command == "dump":
            from pyvorl._dump import run_dump

            return run_dump(args.file, args.head, args.frames, args.format, args.resync, sys.stdout, sys.stderr)
        from pyvorl._demo import run_demo

        return run_demo(args.rows, args.frames, args.file, sys.stdout, sys.stderr)
    except BrokenPipeError:
        # The reader of our output went away (`pyvorl dump f | head`): stay quiet.
        _silence_stdout()
        return 1
    except KeyboardInterrupt:
        return 130


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="pyvorl", description="Checksummed binary table frames for NumPy columns.")
    parser.add_argument("--version", action="version", version=f"pyvorl {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    dump = commands.add_parser("dump", help="list the frames of a file", description="List the frames of a file.")
    dump.add_argument("file", metavar="FILE", help='a file of frames, or "-" for standard input')
    dump.add_argument(
        "--head", type=_count(0), metavar="N", help="values shown per column (default 5 as text, all as json and csv)"
    )
    dump.add_argument("--frames", type=_count(1), metavar="N", help="stop after the first N frames (default all)")
    dump.add_argument("--format", choices=("text", "json", "csv"), default="text", help="output shape (default text)")
    dump.add_argument(
        "--resync",
        action="store_true",
        help="skip a damaged frame up to the next header whose CRC checks, and go on (exit code still 1)",
    )
    demo = commands.add_parser(
        "demo",
        help="round-trip market data through a file of frames",
        description="Write market data as a stream of frames, read it back, check every value "
        "and report sizes and speed.",
    )
    demo.add_argument("--rows", type=_count(0), default=1_000_000, metavar="N", help="rows in all (default 1000000)")
    demo.add_argument(
        "--frames", type=_count(1), default=10, metavar="K", help="frames to split them into (default 10)"
    )
    demo.add_argument("--file", metavar="PATH", help="keep the frames in PATH (default: a temporary file)")
    return parser


def _count(minimum: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, got {value}")
        return value

    return parse


def _silence_stdout() -> None:
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass


if __name__ == "__main__":
    sys.exit(main())
