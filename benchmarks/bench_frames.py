"""DataFrames through read_bufr: values decoded per second, beside a yardstick
measured in the same process (copying as many float64 into fresh memory).

    PYTHONPATH=build/dev:python python benchmarks/bench_frames.py [--repeat N]

Cases: synop_dwd_multi.bufr into a wide frame of 10 keys, hirs_metop_compressed.bufr
into a wide frame of every key, a radiosonde levels frame of bufr-ed3/temp.bufr, and
the long form of synop_dwd_multi.bufr. Best of N runs (default 5).
"""

from __future__ import annotations

import argparse
import warnings
from pathlib import Path

import numpy as np

import vantrel
from timing import best

SHARED = Path(__file__).resolve().parent.parent.parent / "shared" / "data"
SYNOP_KEYS = ["blockNumber", "stationNumber", "latitude", "longitude", "airTemperature", "dewpointTemperature",
              "pressureReducedToMeanSeaLevel", "windSpeed", "windDirection", "relativeHumidity"]
CASES = [
    ("synop wide, 10 keys", SHARED / "bufr" / "synop_dwd_multi.bufr", {"columns": SYNOP_KEYS}),
    ("hirs wide, every key", SHARED / "bufr" / "hirs_metop_compressed.bufr", {}),
    ("temp levels, 3 keys", SHARED / "bufr-ed3" / "temp.bufr",
     {"form": "levels", "columns": ["pressure", "airTemperature", "dewpointTemperature"]}),
    ("synop long", SHARED / "bufr" / "synop_dwd_multi.bufr", {"form": "long"}),
]




def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    for label, path, options in CASES:
        values = len(vantrel.open(path).columns()["value"])
        vantrel.read_bufr(path, **options)  # tables loaded, pages cached
        seconds = best(lambda: vantrel.read_bufr(path, **options), args.repeat)
        source = np.ones(values)
        yardstick = best(lambda: source.copy(), args.repeat)
        print(f"{label:24s} {values:>10d} values  {seconds * 1e3:8.1f} ms  {values / seconds / 1e6:7.1f} M values/s"
              f"  ({seconds / yardstick:6.1f}x copying as many float64)")


if __name__ == "__main__":
    main()
