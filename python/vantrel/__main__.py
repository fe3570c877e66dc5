"""Command line: summarise the BUFR messages of one or more files.

    python -m vantrel FILE...
    vantrel FILE...

For every message: one header line and its descriptor list. A file that cannot
be read or parsed gets one error line on stderr and makes the exit status 1.
"""

from __future__ import annotations

import argparse
import sys
from typing import Sequence

import _vantrel


def format_code(code: int) -> str:
    return f"{code:06d}"


def summary(index: int, message: _vantrel.BufrMessage) -> str:
    m = message
    stamp = (
        f"{m.typical_year:04d}-{m.typical_month:02d}-{m.typical_day:02d} "
        f"{m.typical_hour:02d}:{m.typical_minute:02d}:{m.typical_second:02d}"
    )
    kind = "compressed" if m.compressed_data else "uncompressed"
    return (
        f"#{index} {m.total_length} bytes, centre {m.originating_centre}/{m.originating_subcentre}, "
        f"category {m.data_category}/{m.international_data_subcategory}, "
        f"tables {m.master_table_number}:{m.master_tables_version_number}/{m.local_tables_version_number}, "
        f"{stamp}, {m.number_of_subsets} subsets {kind}"
    )


def describe_file(path: str, out) -> None:
    messages = _vantrel.parse_all_file(path)
    out.write(f"{path}: {len(messages)} message{'s' if len(messages) != 1 else ''}\n")
    for index, message in enumerate(messages, 1):
        out.write("  " + summary(index, message) + "\n")
        codes = " ".join(format_code(c) for c in message.unexpanded_descriptors)
        out.write(f"    descriptors: {codes}\n")


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="vantrel", description="Summarise the BUFR messages of files.")
    parser.add_argument("files", nargs="+", metavar="FILE", help="BUFR file to read")
    args = parser.parse_args(argv)
    status = 0
    for path in args.files:
        try:
            describe_file(path, sys.stdout)
        except (OSError, ValueError) as error:
            print(f"vantrel: {path}: {error}", file=sys.stderr)
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
