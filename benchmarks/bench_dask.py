"""Dask scale-out: 200 copies of synop_dwd_multi.bufr through a LocalCluster of 1 and 2 worker processes.

    PYTHONPATH=build/dev:python python benchmarks/bench_dask.py [COPIES]

Prints the time to make the lazy frame of 5 copies of hirs_metop_compressed.bufr
(305 messages; nothing but its first message is decoded), then wall time,
speedup and decoded values per second per worker (values are the rows of the
columns the partitions decode, counted once up front).
"""

from __future__ import annotations

import shutil
import sys
import tempfile
import time
from pathlib import Path

import distributed

import vantrel
import vantrel.dask

SAMPLE = Path(__file__).resolve().parent.parent.parent / "shared" / "data" / "bufr" / "synop_dwd_multi.bufr"
HIRS = SAMPLE.with_name("hirs_metop_compressed.bufr")
COLUMNS = ["blockNumber", "stationNumber", "latitude", "longitude", "airTemperature"]


def main() -> None:
    copies = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    values_per_file = len(vantrel.open(SAMPLE).columns()["value"])
    with tempfile.TemporaryDirectory() as folder:
        for i in range(5):
            shutil.copyfile(HIRS, Path(folder) / f"hirs_{i}.hirs")
        vantrel.dask.read_bufr(HIRS, columns=["latitude"])  # imports dask
        start = time.perf_counter()
        vantrel.dask.read_bufr(str(Path(folder) / "*.hirs"), columns=["latitude", "longitude", "channelRadiance"])
        print(f"lazy frame of 305 HIRS messages: {time.perf_counter() - start:.3f} s")
    with tempfile.TemporaryDirectory() as folder:
        for i in range(copies):
            shutil.copyfile(SAMPLE, Path(folder) / f"synop_{i:04d}.bufr")
        pattern = str(Path(folder) / "*.bufr")
        timings = {}
        for workers in (1, 2):
            with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                          dashboard_address=None) as cluster, distributed.Client(cluster):
                vantrel.dask.read_bufr(pattern, columns=COLUMNS).head()  # warm the workers
                start = time.perf_counter()
                frame = vantrel.dask.read_bufr(pattern, columns=COLUMNS).compute()
                timings[workers] = time.perf_counter() - start
            values = values_per_file * copies
            print(f"{workers} worker(s): {timings[workers]:.2f} s, {len(frame)} rows, "
                  f"{values / timings[workers] / workers / 1e6:.2f} M values/s per worker")
        print(f"speedup 2 workers / 1 worker: {timings[1] / timings[2]:.2f}x")


if __name__ == "__main__":
    main()
