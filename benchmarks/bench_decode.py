"""Decoding throughput of decode_values_with_tables against a yardstick.

    PYTHONPATH=build/<dir>:python python benchmarks/bench_decode.py [--repeat N]

Creating Python objects dominates the cost of decoding, and its speed varies
from machine to machine and run to run, so every figure is also given as a
ratio to a yardstick measured in the same process: building the same number of
Python floats with list(map(float, range(n))). A ratio of 0.5 means decoding
produces values at half the rate at which Python creates plain floats.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import _vantrel

ROOT = Path(__file__).resolve().parent.parent
BUFR_DIR = ROOT.parent / "shared" / "data" / "bufr"
DEFINITIONS = Path("/usr/share/eccodes/definitions")

sys.path.insert(0, str(ROOT / "tests"))
from bufr_builder import messages_of  # noqa: E402  (the suite's independent message splitter)
from timing import best  # noqa: E402


def yardstick_rate(n: int, repeat: int) -> float:
    """Floats per second of list(map(float, range(n)))."""
    seconds = best(lambda: list(map(float, range(n))), repeat)
    return n / seconds


def table_sets_for(messages: list[bytes]) -> list[_vantrel.TableSet]:
    """One table set per distinct table version, shared by the messages that use it."""
    loaded: dict[tuple, _vantrel.TableSet] = {}
    out = []
    for message in messages:
        m = _vantrel.parse_bytes(message)
        key = (m.master_table_number, m.master_tables_version_number, m.originating_centre,
               m.originating_subcentre, m.local_tables_version_number)
        if key not in loaded:
            loaded[key] = _vantrel.TableSet.from_definitions(str(DEFINITIONS), m)
        out.append(loaded[key])
    return out


def bench_with_tables(name: str, repeat: int) -> None:
    messages = messages_of((BUFR_DIR / name).read_bytes())
    tables = table_sets_for(messages)
    pairs = list(zip(messages, tables))
    values = sum(len(_vantrel.decode_values_with_tables(m, t)) for m, t in pairs)

    def run():
        for m, t in pairs:
            _vantrel.decode_values_with_tables(m, t)

    seconds = best(run, repeat)
    rate = values / seconds
    yard = yardstick_rate(values, repeat)
    print(f"{name}: {len(messages)} messages, {values} values, {seconds * 1000:.1f} ms, "
          f"{rate / 1e6:.2f} M values/s, yardstick {yard / 1e6:.2f} M floats/s, ratio {rate / yard:.2f}")


def bench_decode_values(name: str, repeat: int) -> None:
    """decode_values reads its table directory on every call."""
    messages = messages_of((BUFR_DIR / name).read_bytes())
    dirs = []
    for message in messages:
        m = _vantrel.parse_bytes(message)
        dirs.append(str(DEFINITIONS / "bufr" / "tables" / str(m.master_table_number) / "wmo"
                        / str(m.master_tables_version_number)))
    pairs = []
    for m, d in zip(messages, dirs):
        try:
            _vantrel.decode_values(m, d)
            pairs.append((m, d))
        except ValueError:
            pass  # needs the centre's local tables, which decode_values cannot add

    def run():
        for m, d in pairs:
            _vantrel.decode_values(m, d)

    seconds = best(run, repeat)
    print(f"{name}: decode_values {seconds / len(pairs) * 1000:.1f} ms per message over {len(pairs)} of "
          f"{len(messages)} messages decodable with the WMO tables alone (tables read from disk on every call)")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5, help="timed runs per figure (best is kept)")
    args = parser.parse_args()
    if not BUFR_DIR.is_dir() or not DEFINITIONS.is_dir():
        print("sample data or ecCodes definitions missing", file=sys.stderr)
        return 1
    for name in ("synop_dwd_multi.bufr", "wave_uncompressed.bufr", "hirs_metop_compressed.bufr"):
        bench_with_tables(name, args.repeat)
    for name in ("synop_dwd_multi.bufr", "wave_uncompressed.bufr"):
        bench_decode_values(name, args.repeat)
    return 0


if __name__ == "__main__":
    sys.exit(main())
