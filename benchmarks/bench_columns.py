"""Throughput of the typed outputs through Python: Reader.columns(), Message.columns()
and Message.matrix(), in values per second, beside a yardstick measured in the same
process (copying as many float64 into fresh memory), so that figures from machines
of different speed compare.

    PYTHONPATH=build/dev:python python benchmarks/bench_columns.py [--repeat N] [FILE...]

Without files it takes hirs_metop_compressed, synop_dwd_multi and wave_uncompressed
from the shared data. Figures are the best of N runs (default 7).
"""

from __future__ import annotations

import argparse
from pathlib import Path

import numpy as np

import vantrel
from timing import best

SHARED = Path(__file__).resolve().parent.parent.parent / "shared" / "data" / "bufr"
DEFAULT_FILES = ["hirs_metop_compressed.bufr", "synop_dwd_multi.bufr", "wave_uncompressed.bufr"]




def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("files", nargs="*")
    args = parser.parse_args()
    files = [Path(f) for f in args.files] or [SHARED / name for name in DEFAULT_FILES]
    for path in files:
        with vantrel.open(path) as reader:
            messages = list(reader)
            for m in messages:
                m.tables()  # tables loaded once, outside the timings
            n = len(reader.columns()["value"])
            yardstick_source = np.arange(n, dtype=np.float64)
            yardstick = best(lambda: yardstick_source.copy(), args.repeat)
            print(f"{path.name}: {len(messages)} messages, {n} values; "
                  f"yardstick (copy {n} float64) {yardstick * 1e3:.2f} ms")

            def report(label, seconds, values=n):
                print(f"  {label:<26} {seconds * 1e3:8.2f} ms {values / seconds / 1e6:8.1f} M values/s "
                      f"({seconds / yardstick:5.2f} x yardstick)")

            report("Reader.columns()", best(lambda: reader.columns(), args.repeat))
            report("Message.columns() each", best(lambda: [m.columns() for m in messages], args.repeat))
            cells = 0
            for m in messages:
                result = m.matrix()
                cells += 0 if result is None else result[0].size
            if cells:
                report("Message.matrix() each", best(lambda: [m.matrix() for m in messages], args.repeat), cells)


if __name__ == "__main__":
    main()
