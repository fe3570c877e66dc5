"""The package reader over memory that ends exactly where each message ends.

Each message is placed at the very end of a readable region followed by an
unreadable page (tests/guard_page.py), and framed, parsed and decoded (values,
columns, matrix) through ``vantrel.open``, which takes any buffer: a read one
byte past a message crashes the process even without a sanitizer.
"""

from __future__ import annotations

import re

import numpy as np
import pytest

import vantrel
from bufr_builder import BitWriter, Element, build_message, write_table_dir
from conftest import SHARED_DATA
from guard_page import guarded_view


def outcome(message):
    """What every decoding path of one message gives: values, columns and matrix, or the error text."""
    if message.error is not None:
        return message.error
    try:
        values = message.values()
    except ValueError as error:
        return re.sub(r"^message \d+ at offset \d+: ", "", str(error))
    cols = message.columns(raw=True)
    matrix = message.matrix()
    return (
        len(values), [repr(v) for v in values[:20]], [repr(v) for v in values[-20:]],
        cols["descriptor"].tolist()[:50], np.nan_to_num(cols["value"], nan=-1.0).sum(), cols["raw"].sum(),
        None if matrix is None else (matrix[0].shape, float(np.nansum(matrix[0]))),
    )


def compare_guarded(data: bytes, **options):
    with vantrel.open(data, **options) as plain:
        expected = [(m.offset, m.length, outcome(m)) for m in plain]
    for offset, length, want in expected:
        # The message alone, ending at the guard page.
        with vantrel.open(guarded_view(data[offset:offset + length]), **options) as guarded:
            assert len(guarded) == 1
            assert outcome(guarded[0]) == want
    # The whole buffer, its last byte before the guard page.
    with vantrel.open(guarded_view(data), **options) as guarded:
        assert [(m.offset, m.length) for m in guarded] == [(o, n) for o, n, _ in expected]


def sample_files():
    return sorted(SHARED_DATA.glob("bufr*/*.bufr"))


@pytest.mark.parametrize("path", sample_files(), ids=lambda p: f"{p.parent.name}/{p.name}")
def test_shared_samples_end_at_a_guard_page(path, eccodes_root):
    data = path.read_bytes()
    if path.name == "hirs_metop_compressed.bufr":
        with vantrel.open(data) as reader:
            data = bytes(reader[0].bytes) + bytes(reader[-1].bytes)  # two of its 61 big messages
    elif path.name == "temp.bufr":
        data = data[:60000]  # its first messages and a truncated one
    compare_guarded(data)


@pytest.fixture()
def tables(tmp_path):
    elements = [Element(1001, width=7), Element(1015, unit="CCITT IA5", width=24), Element(12101, scale=2, width=16)]
    return write_table_dir(tmp_path / "t", elements)


def test_built_messages_cut_everywhere(tables):
    data = BitWriter().write(5, 7).write_text("ABC", 24).write(28000, 16)
    compressed = BitWriter().write(5, 7).write(1, 6).write(0, 1).write(1, 1).write(0, 1)
    for message in (build_message([1001, 1015, 12101], data),
                    build_message([1001], compressed, subsets=3, compressed=True)):
        for cut in range(len(message) + 1):
            piece = message[:cut]
            # A truncated message with its declared length mended, so it still frames.
            if cut >= 12:
                piece = piece[:4] + cut.to_bytes(3, "big") + piece[7:-4] + b"7777"
            compare_guarded(piece, tables=tables)
