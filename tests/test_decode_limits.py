"""Hostile messages of a few hundred bytes fail fast on the bounds of one decode."""

import os
import time

import pytest

import _vantrel
from bufr_builder import BitWriter, Element, build_message, write_table_dir

STEPS = "csv/table parse error: decoding exceeded the limit of 33554432 descriptor steps"


def unbacked_limit(data_bytes):
    return 2**20 + 4 * 8 * data_bytes


@pytest.mark.parametrize(
    "descriptors, data, subsets, compressed, message",
    [
        # Nested fixed replications of an operator without effect: 255^4 steps.
        ([104255, 103255, 102255, 101255, 201000], b"", 1, False, STEPS),
        # Nested replications of an operator record: 255^3 records.
        ([103255, 102255, 101255, 222000], b"", 1, False, unbacked_limit(0)),
        # A factor near 2^64 over an element shrunk to width 0 by 2 01 001.
        ([102000, 31002, 201001, 1001], BitWriter().write_ones(64).to_bytes(), 1, False, unbacked_limit(8)),
        # ... or by 2 06 000.
        ([103000, 31002, 102255, 206000, 1001], BitWriter().write_ones(64).to_bytes(), 1, False, unbacked_limit(8)),
        # 65535 subsets of operator columns, and of constant columns.
        ([102255, 101255, 222000], b"", 65535, True, unbacked_limit(0)),
        ([102255, 101255, 1001], bytes(200), 65535, True, unbacked_limit(200)),
        # A factor near 2^64 over nothing but a sequence that is empty.
        ([101000, 31002, 300001], BitWriter().write_ones(64).to_bytes(), 1, False, STEPS),
    ],
)
def test_hostile_messages_fail_fast(tmp_path, descriptors, data, subsets, compressed, message):
    tables = _vantrel.TableSet.from_eccodes(str(write_table_dir(
        tmp_path, [Element(1001, width=8), Element(31002, width=64)], {300001: []})))
    bufr = build_message(descriptors, data, subsets=subsets, compressed=compressed)
    assert len(bufr) < 300
    if isinstance(message, int):
        message = f"csv/table parse error: decoding exceeded the limit of {message} values that read no bits of their own"
    start = time.perf_counter()
    with pytest.raises(ValueError) as info:
        _vantrel.decode_values_with_tables(bufr, tables)
    elapsed = time.perf_counter() - start
    assert str(info.value) == message
    # A sanitized build runs several times slower; the bound is for real builds.
    # Bounded work ends in well under a second; the bound leaves room for a loaded machine.
    assert elapsed < (20.0 if os.environ.get("VANTREL_SANITIZED") == "1" else 5.0)


MEMORY_PROGRAM = """
import resource, sys, warnings
sys.path[:0] = sys.argv[3:]
import vantrel
from bufr_builder import build_message, write_table_dir, Element
from pathlib import Path
warnings.simplefilter("ignore")
tables = write_table_dir(Path(sys.argv[1]), [Element(12101, width=1)])
# Zero-width values (2 01 127 over a 1-bit element), 255^3 of them, and 100 KB of data.
one = build_message([201127, 103255, 102255, 101255, 12101], bytes(100_000))
data = one * 2
reader = vantrel.open(data, tables=tables)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    reader.columns(threads=2) if sys.argv[2] == "columns" else reader[0].values()
except ValueError:
    pass
growth = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024
print(growth / (len(data) if sys.argv[2] == "columns" else len(one)))
"""


@pytest.mark.skipif(os.environ.get("VANTREL_SANITIZED") == "1", reason="the sanitizers' shadow memory is not ours")
@pytest.mark.parametrize("call", ["values", "columns"])
def test_hostile_messages_take_memory_in_proportion_to_their_size(tmp_path, call):
    # Two messages on two threads: each thread's memory is bounded by its own message.
    import subprocess
    import sys
    from pathlib import Path

    tests = Path(__file__).parent
    paths = [str(p) for p in sys.path if p]
    result = subprocess.run([sys.executable, "-c", MEMORY_PROGRAM, str(tmp_path), call, str(tests), *paths],
                            capture_output=True, text=True, check=True)
    # Real data peak near 600 bytes per message byte (HIRS in Python records); 64 values
    # per bit let this message reach 13 KB per byte.
    assert float(result.stdout) < 5000
