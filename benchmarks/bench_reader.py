"""Reader benchmarks: framing speed, table cache lookups, first table loads.

    PYTHONPATH=build/dev:python python benchmarks/bench_reader.py [SIZE_MB]

Framing runs over a page-cached file of the shared sample files concatenated
until SIZE_MB (default 512) is reached, with GTS-style bytes between them.
"""

from __future__ import annotations

import statistics
import sys
import tempfile
import time
from pathlib import Path

import vantrel
from timing import best
from vantrel import _core, tables

SHARED = Path(__file__).resolve().parent.parent.parent / "shared" / "data"




def main() -> None:
    size_mb = int(sys.argv[1]) if len(sys.argv) > 1 else 512
    samples = [p.read_bytes() for p in sorted((SHARED / "bufr").glob("*.bufr")) + sorted((SHARED / "bufr-ed3").glob("*.bufr"))]
    chunk = b"".join(b"\r\r\nISXX01 EGRR 010000\r\r\n" + s for s in samples)
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "archive.bufr"
        with path.open("wb") as f:
            written = 0
            while written < size_mb << 20:
                f.write(chunk)
                written += len(chunk)
        with vantrel.open(path) as reader:  # warm the page cache
            count = len(reader)
        seconds = best(lambda: len(vantrel.open(path)), 3)
        print(f"framing: {written / seconds / 1e9:.2f} GB/s ({count} messages, {written >> 20} MiB, {seconds * 1e3:.0f} ms)")
        with path.open("rb") as f:
            import mmap

            data = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
            seconds = best(lambda: _core.index(data), 3)
            print(f"native index alone (frames and headers): {written / seconds / 1e9:.2f} GB/s")
            del data

    root = tables.definitions_root()
    versions = tables.wmo_versions(root)
    loads = []
    for version in versions[-5:]:
        start = time.perf_counter()
        _core.load_tables(root, 0, version, 0, 0, 0)
        loads.append(time.perf_counter() - start)
    print(f"first load of one WMO version: median {statistics.median(loads) * 1e3:.1f} ms, max {max(loads) * 1e3:.1f} ms")

    tables.clear_cache()
    resolver = tables.TableResolver()
    header = {"master_table": 0, "master_table_version": versions[-1], "local_table_version": 0, "centre": 98,
              "subcentre": 0}
    resolver.tables_for(header)
    n = 200_000
    start = time.perf_counter()
    for _ in range(n):
        resolver.tables_for(header)
    print(f"cached table set found in {(time.perf_counter() - start) / n * 1e6:.2f} us")


if __name__ == "__main__":
    main()
