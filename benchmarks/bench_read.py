"""read_bufr and the frames over many messages: where the time goes between the native
decode and Python.

    PYTHONPATH=build/dev:python python benchmarks/bench_read.py [COPIES]

Writes COPIES copies (default 200: 8,800 messages) of synop_dwd_multi.bufr and 10
copies of hirs_metop_compressed.bufr to a temporary folder, then prints the best of
3 runs of read_bufr (4 keys), Reader.columns(), opening the reader (the one pass
over headers), the share of read_bufr's time spent inside the native functions,
and the wide DataFrame of the HIRS copies against Reader.columns() on them.
"""

from __future__ import annotations

import cProfile
import pstats
import sys
import tempfile
import warnings
from pathlib import Path

import vantrel
from timing import best

SHARED = Path(__file__).resolve().parent.parent.parent / "shared" / "data" / "bufr"
KEYS = ["stationNumber", "airTemperature", "latitude", "longitude"]


def native_share(run) -> float:
    """The share of `run`'s profiled time spent in the functions of vantrel._core."""
    profile = cProfile.Profile()
    profile.enable()
    run()
    profile.disable()
    stats = pstats.Stats(profile)
    native = sum(entry[2] for (where, _, name), entry in stats.stats.items()
                 if where == "~" and "vantrel._core" in name)
    return native / stats.total_tt


def main() -> None:
    copies = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    warnings.simplefilter("ignore")
    with tempfile.TemporaryDirectory() as folder:
        synop = Path(folder) / "synop.bufr"
        synop.write_bytes((SHARED / "synop_dwd_multi.bufr").read_bytes() * copies)
        hirs = Path(folder) / "hirs.bufr"
        hirs.write_bytes((SHARED / "hirs_metop_compressed.bufr").read_bytes() * 10)
        count = len(vantrel.open(synop))
        vantrel.read_bufr(synop, columns=KEYS)  # tables loaded, pages warm
        print(f"read_bufr, {count} synop messages, {len(KEYS)} keys: "
              f"{best(lambda: vantrel.read_bufr(synop, columns=KEYS), 3):.3f} s")
        print(f"Reader.columns(), same messages: {best(lambda: vantrel.open(synop).columns(), 3):.3f} s")
        print(f"opening the reader (framing and headers): {best(lambda: len(vantrel.open(synop)), 3) * 1e3:.1f} ms")
        print(f"share of read_bufr inside the native functions: "
              f"{native_share(lambda: vantrel.read_bufr(synop, columns=KEYS)):.0%}")
        reader = vantrel.open(hirs)
        columns = best(lambda: reader.columns(), 3)
        wide = best(lambda: reader.to_pandas(), 3)
        print(f"10 HIRS copies: Reader.columns() {columns:.2f} s, wide DataFrame {wide:.2f} s "
              f"({wide / columns:.1f}x)")


if __name__ == "__main__":
    main()
