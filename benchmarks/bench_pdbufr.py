"""vantrel against pdbufr on the questions pdbufr users ask, on one synop archive.

    PYTHONPATH=build/dev:python PYTHON_WITH_PDBUFR benchmarks/bench_pdbufr.py [COPIES] [QUESTION...]

Writes COPIES copies (default 228: 10,032 messages) of synop_dwd_multi.bufr to a
temporary file and times each question once with pdbufr (when it can be imported;
it is no dependency of vantrel: install it beside, e.g. in a virtual environment
with pdbufr and ecCodes, and run this script with that environment's Python) and
three times with vantrel (best), after a first vantrel call that loads the tables.
Prints both times, the ratio and the rows each gave; with QUESTION names (the first
word of each, e.g. "synop"), only those questions are asked.
"""

from __future__ import annotations

import sys
import tempfile
import time
import warnings
from pathlib import Path

import vantrel
from timing import best

SHARED = Path(__file__).resolve().parent.parent.parent / "shared" / "data" / "bufr"

SENSOR = "heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform"

# (what is asked, keyword arguments of read_bufr, the same for pdbufr)
QUESTIONS = [
    ("station table", dict(columns=["stationNumber", "latitude", "longitude", "airTemperature"]),
     dict(columns=["stationNumber", "latitude", "longitude", "airTemperature"], required_columns=False)),
    ("computed keys", dict(columns=["WMO_station_id", "data_datetime", "airTemperature"]),
     dict(columns=["WMO_station_id", "data_datetime", "airTemperature"], required_columns=False)),
    ("required columns", dict(columns=["stationNumber", "pressureReducedToMeanSeaLevel"], required_columns=True),
     dict(columns=["stationNumber", "pressureReducedToMeanSeaLevel"], required_columns=True)),
    ("header keys and filter", dict(columns=["bufrHeaderCentre", "stationNumber"], filters={"dataCategory": 0}),
     dict(columns=["bufrHeaderCentre", "stationNumber"], filters={"dataCategory": 0}, required_columns=False)),
    ("rows in context", dict(columns=["stationNumber", SENSOR, "airTemperature"], form="context",
                             required_columns=True),
     dict(columns=["stationNumber", SENSOR, "airTemperature"])),
    ("synop reader", dict(reader="synop"), dict(reader="synop")),
    ("geometry", dict(columns=["stationNumber", "geometry", "CRS"]),
     dict(columns=["stationNumber", "geometry", "CRS"], required_columns=False)),
]


def main() -> None:
    copies = int(sys.argv[1]) if len(sys.argv) > 1 else 228
    asked = set(sys.argv[2:])
    warnings.simplefilter("ignore")
    try:
        import pdbufr
    except ImportError:
        pdbufr = None
        print("pdbufr is not importable here: vantrel's times only")
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "synop.bufr"
        path.write_bytes((SHARED / "synop_dwd_multi.bufr").read_bytes() * copies)
        print(f"{len(vantrel.open(path))} synop messages")
        vantrel.read_bufr(path, columns=["stationNumber"])  # tables loaded, pages warm
        for name, ours, theirs in QUESTIONS:
            if asked and name.split()[0] not in asked:
                continue
            mine = best(lambda: vantrel.read_bufr(path, **ours), 3)
            rows = len(vantrel.read_bufr(path, **ours))
            line = f"{name:<24} vantrel {mine:7.3f} s ({rows} rows)"
            if pdbufr is not None:
                start = time.perf_counter()
                other = pdbufr.read_bufr(str(path), **theirs)
                elapsed = time.perf_counter() - start
                line += f"   pdbufr {elapsed:7.2f} s ({len(other)} rows)   {elapsed / mine:5.0f}x"
            print(line)


if __name__ == "__main__":
    main()
