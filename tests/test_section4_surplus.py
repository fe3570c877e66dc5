"""A section 4 longer than its descriptors need: the message still decodes,
with a warning naming the bytes left over. Padding to the next whole byte,
and before edition 4 to an even section length, is normal and gives none."""

from __future__ import annotations

import warnings

import pytest

import vantrel
from vantrel import _core

from bufr_builder import BitWriter, Element, build_message, write_table_dir
from conftest import SHARED_DATA
from test_reader import old_edition

ELEMENTS = [Element(12101, "TEMPERATURE", "K", 1, 0, 8, "airTemperature"), Element(1004, width=4)]
DESCRIPTORS = {8: [12101], 12: [12101, 1004], 16: [12101, 12101]}


def message(edition: int, used_bits: int, data_bytes: int) -> bytes:
    """One subset of `used_bits` bits of descriptors, in `data_bytes` bytes of section 4 data."""
    data = bytes([0x7F, 0xA5] + [0x00] * 8)[:data_bytes]
    if edition == 4:
        return build_message(DESCRIPTORS[used_bits], data)
    return old_edition(edition, descriptors=DESCRIPTORS[used_bits], data=data)


def surplus_warnings(msg) -> list[str]:
    return [w for w in msg.warnings if w.startswith("section 4")]


def expected(surplus: int, needed: int) -> list[str]:
    if not surplus:
        return []
    return [f"section 4 is longer than the data needs: {surplus} byte{'s' if surplus != 1 else ''} "
            f"left over after {needed}"]


# (edition, bits the descriptors read, data bytes present, bytes left over, section 4 bytes needed)
CASES = [
    # Edition 4: the data ends at the next whole byte.
    (4, 8, 1, 0, 5), (4, 8, 2, 1, 5),
    (4, 12, 2, 0, 6), (4, 12, 3, 1, 6), (4, 12, 4, 2, 6),
    (4, 16, 2, 0, 6), (4, 16, 4, 2, 6),
    # Editions 2 and 3: and the section has an even length.
    (3, 8, 2, 0, 6), (3, 8, 4, 2, 6),
    (3, 12, 2, 0, 6), (3, 12, 3, 1, 6), (3, 12, 4, 2, 6),
    (3, 16, 2, 0, 6), (3, 16, 4, 2, 6),
    (2, 8, 2, 0, 6), (2, 8, 4, 2, 6),
]


@pytest.fixture()
def tables(tmp_path):
    return write_table_dir(tmp_path / "t", ELEMENTS)


@pytest.mark.parametrize("edition, used, present, surplus, needed", CASES)
@pytest.mark.parametrize("how", ["values", "subsets", "columns", "matrix"])
def test_surplus_is_warned_beyond_the_padding(tables, how, edition, used, present, surplus, needed):
    with vantrel.open(message(edition, used, present), tables=tables) as reader:
        msg = reader[0]
        assert msg.edition == edition and msg.error is None
        result = getattr(msg, how)()
        assert result is not None
        assert surplus_warnings(msg) == expected(surplus, needed)
        getattr(msg, how)()  # a second decode adds no second warning
        assert surplus_warnings(msg) == expected(surplus, needed)


def test_values_are_those_of_the_data_before_the_surplus(tables):
    with vantrel.open(message(4, 12, 4), tables=tables) as reader:
        msg = reader[0]
        assert [(v.descriptor, v.raw) for v in msg.values()] == [(12101, 0x7F), (1004, 0xA)]
        assert [float(x) for x in msg.columns()["value"]] == [12.7, 10.0]
        assert surplus_warnings(msg) == expected(2, 6)


def test_data_one_bit_short_is_still_an_error(tables):
    # 16 bits of descriptors in one byte of edition 4 data.
    with vantrel.open(message(4, 16, 1), tables=tables) as reader:
        with pytest.raises(vantrel.DataError, match="not enough bits"):
            reader[0].values()
        assert surplus_warnings(reader[0]) == []


def compressed_data(increments: list[int]) -> BitWriter:
    """0 12 101: R0 0x7F, NBINC 2 and `increments` (NBINC 0 when there are none); 0 01 004: R0 10, NBINC 0."""
    writer = BitWriter().write(0x7F, 8).write(2 if increments else 0, 6)
    for increment in increments:
        writer.write(increment, 2)
    return writer.write(10, 4).write(0, 6)


@pytest.mark.parametrize(
    "compressed, subsets, data, used_bits",
    [
        (False, 1, bytes([0x7F, 0xA5]), 12),
        (False, 3, bytes([0x7F, 0xA5, 0x7F, 0xA5, 0x7F, 0x00]), 36),  # 12 bits per subset
        (True, 3, compressed_data([]), 8 + 6 + 4 + 6),
        (True, 3, compressed_data([0, 1, 2]), 8 + 6 + 3 * 2 + 4 + 6),
    ],
)
def test_native_functions_count_the_bits_read(tables, compressed, subsets, data, used_bits):
    msg = build_message([12101, 1004], data, subsets=subsets, compressed=compressed)
    table_set = vantrel.TableSet.from_eccodes(str(tables))
    data_bits = 8 * (len(data) if isinstance(data, bytes) else (data.bit_length + 7) // 8)
    counts = (used_bits, data_bits)
    assert tuple(_core.decode(_core.index(msg), 0, table_set, "wmo")[2:4]) == counts
    columns = _core.columns(_core.index(msg), 0, table_set, "wmo", False)
    assert (columns["used_bits"], columns["data_bits"]) == counts
    assert tuple(_core.matrix(_core.index(msg), 0, table_set, "wmo", 2)[-3:-1]) == counts


@pytest.mark.parametrize("threads", [None, 2])
@pytest.mark.parametrize("surplus", [0, 2])
def test_whole_reader_decode_notes_the_surplus_on_its_message(tables, surplus, threads):
    data = message(4, 8, 1) + message(4, 8, 1 + surplus)
    with vantrel.open(data, tables=tables) as reader:
        reader.columns(threads=threads)
        assert [surplus_warnings(m) for m in reader] == [[], expected(surplus, 5)]


TEMP_FILES = ["bufr-ed3/temp.bufr", "bufr-ed3/temp_small.bufr", "bufr/edition3_temp_101.bufr"]


@pytest.mark.parametrize("name", TEMP_FILES)
def test_temp_substitution_blocks_read_all_their_data(name):
    # Edition 3 TEMP messages: 2 22 000 with a bitmap and quality values, then
    # 2 23 000 with a bitmap of its own and replicated 2 23 255 markers. Each
    # substituted value takes the descriptor of the element its bitmap position
    # names (counted over the elements before 2 22 000), and the data ends there.
    path = SHARED_DATA / name
    if not path.is_file():
        pytest.skip("../shared/data is not available")
    blocks = 0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with vantrel.open(path) as reader:
            for msg in reader:
                if 223000 not in msg.descriptors:
                    continue
                blocks += 1
                values = msg.subsets()[0]
                codes = [v.descriptor for v in values]
                data = [v.descriptor for v in values[:codes.index(222000)] if v.name != "operator"]
                bitmap = [v.raw for v in values[codes.index(223000):] if v.descriptor == 31031]
                present = [data[p] for p, bit in enumerate(bitmap) if bit != 1]
                factor = len(codes) - len(present) - 1
                assert (codes[factor], values[factor].raw) == (31002, len(present)), msg.index
                assert codes[factor + 1:] == present, msg.index
                assert surplus_warnings(msg) == [], msg.index
    assert blocks > 0


def test_read_bufr_warns_once_of_a_quirk_met_with_many_details(tables):
    # Three messages with 1, 2 and 2 bytes left over: one warning for the kind, not one per size.
    data = message(4, 8, 2) + message(4, 8, 3) + message(4, 8, 3)
    with pytest.warns(vantrel.BufrWarning) as caught:
        vantrel.read_bufr(data, tables=tables)
    texts = [str(w.message).split(": ", 1)[1] for w in caught if "section 4" in str(w.message)]
    assert texts == ["3 messages: section 4 is longer than the data needs, in 2 variants; the first: "
                     + expected(1, 5)[0]]
