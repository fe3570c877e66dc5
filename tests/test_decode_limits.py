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
