"""Bitmaps (2 36 000, 2 37 YYY, 2 35 000) and the marker operators
2 23/24/25/32 255, in non-compressed and compressed data alike."""

import pytest

import _vantrel
from bufr_builder import BitWriter, Element, build_message, write_table_dir

ELEMENTS = [Element(code, width=8) for code in range(1001, 1006)] + [
    Element(31031, width=1), Element(31001, width=8), Element(12101, width=12)]
HISTORY_OUTSIDE = "csv/table parse error: bitmap reference is outside descriptor history"


def encode(fields, compressed, subsets):
    """Non-compressed: the fields once per subset. Compressed: each field as a
    column R0 with NBINC 0, so every subset gets the same values."""
    writer = BitWriter()
    for _ in range(1 if compressed else subsets):
        for value, width in fields:
            writer.write(value, width)
            if compressed:
                writer.write(0, 6)
    return writer


def decode(tmp_path, descriptors, fields, compressed, subsets=2, elements=ELEMENTS):
    tables = _vantrel.TableSet.from_eccodes(str(write_table_dir(tmp_path / "t", elements)))
    message = build_message(descriptors, encode(fields, compressed, subsets), subsets=subsets, compressed=compressed)
    return _vantrel.decode_values_with_tables(message, tables)


def records(values):
    return [(v.descriptor, v.raw, v.raw_value) for v in values]


def op(code):
    return (code, 0, 0.0)


both = pytest.mark.parametrize("compressed", [False, True], ids=["plain", "compressed"])


@both
def test_markers_follow_the_present_positions(tmp_path, compressed):
    # History of five elements, bitmap 0 1 0: offset 2, so the markers refer to
    # entries 2 and 4; a third marker finds the bitmap exhausted.
    descriptors = [1001, 1002, 1003, 1004, 1005, 223000, 236000, 31031, 31031, 31031, 223255, 223255, 223255]
    fields = [(1, 8), (2, 8), (3, 8), (4, 8), (5, 8), (0, 1), (1, 1), (0, 1), (30, 8), (50, 8)]
    expected = [(1001, 1, 1.0), (1002, 2, 2.0), (1003, 3, 3.0), (1004, 4, 4.0), (1005, 5, 5.0), op(223000),
                op(236000), (31031, 0, 0.0), (31031, 1, 1.0), (31031, 0, 0.0), (1003, 30, 30.0), (1005, 50, 50.0)]
    assert records(decode(tmp_path, descriptors, fields, compressed)) == expected * 2


@both
def test_reference_beyond_the_history_fails(tmp_path, compressed):
    # Anchor 1, bitmap 0 0 0, two history entries: the third marker fails.
    descriptors = [1001, 236000, 31031, 31031, 31031, 1002, 224255, 224255]
    fields = [(1, 8), (0, 1), (0, 1), (0, 1), (2, 8), (10, 8), (20, 8)]
    values = decode(tmp_path, descriptors, fields, compressed)
    assert [(v.descriptor, v.raw) for v in values[-2:]] == [(1001, 10), (1002, 20)]
    with pytest.raises(ValueError) as info:
        decode(tmp_path, descriptors + [224255], fields + [(0, 8)], compressed)
    assert str(info.value) == HISTORY_OUTSIDE


@both
@pytest.mark.parametrize(
    "operator, after",
    [(237000, [(1001, 30, 30.0)]),  # reuse: the next marker starts again at the first present position
     (237255, []),                  # cancelled: markers have no effect
     (235000, [])],
)
def test_reuse_and_cancel(tmp_path, compressed, operator, after):
    descriptors = [1001, 1002, 236000, 31031, 31031, 232255, 232255, 232255, operator, 232255]
    fields = [(1, 8), (2, 8), (0, 1), (0, 1), (10, 8), (20, 8), (30, 8)][:7 if after else 6]
    values = decode(tmp_path, descriptors, fields, compressed, subsets=1)
    assert records(values) == [(1001, 1, 1.0), (1002, 2, 2.0), op(236000), (31031, 0, 0.0), (31031, 0, 0.0),
                               (1001, 10, 10.0), (1002, 20, 20.0), op(operator)] + after


@both
def test_markers_over_a_delayed_replication(tmp_path, compressed):
    # History: the factor 0 31 001 and three 0 12 101. The bitmap, itself a
    # delayed replication, skips the factor; its own factor enters the history
    # after the anchor. The markers, replicated too, refer back over the
    # replication to the three temperatures.
    descriptors = [101000, 31001, 12101, 222000, 236000, 101000, 31001, 31031, 101000, 31001, 223255]
    fields = [(3, 8), (100, 12), (200, 12), (300, 12), (4, 8), (1, 1), (0, 1), (0, 1), (0, 1),
              (3, 8), (7, 12), (8, 12), (9, 12)]
    values = decode(tmp_path, descriptors, fields, compressed)
    assert [(v.descriptor, v.raw) for v in values if v.descriptor != 31031][-4:] == [
        (31001, 3), (12101, 7), (12101, 8), (12101, 9)]
    assert len(values) == 2 * 15


@both
def test_difference_values_widen_and_shift(tmp_path, compressed):
    # 2 25 255 reads width + 1 bits with reference -2^width; 2 02 129 still applies.
    descriptors = [12101, 236000, 31031, 225255, 202129, 237000, 225255]
    fields = [(5, 12), (0, 1), (4100, 13), (4090, 13)]
    values = decode(tmp_path, descriptors, fields, compressed, subsets=1)
    assert records(values)[-3:] == [(12101, 4100, 4.0), op(237000), (12101, 4090, -0.6)]


@both
@pytest.mark.parametrize(
    "width, raw, outcome",
    [(63, 2**63 + 5, 5.0),                     # reference -2^63: the negation wraps to itself
     (64, 0, "cannot read 65 bits into u64")],  # 2^64 wraps to 0, and 65 bits cannot be read
)
def test_difference_values_of_the_widest_elements(tmp_path, compressed, width, raw, outcome):
    elements = [Element(1001, width=width), Element(31031, width=1)]
    descriptors = [1001, 236000, 31031, 225255]
    fields = [(1, width), (0, 1), (raw, width + 1)]
    if isinstance(outcome, str):
        with pytest.raises(ValueError) as info:
            decode(tmp_path, descriptors, fields, compressed, subsets=1, elements=elements)
        assert str(info.value) == "csv/table parse error: " + outcome
    else:
        values = decode(tmp_path, descriptors, fields, compressed, subsets=1, elements=elements)
        assert (values[-1].raw, values[-1].raw_value) == (raw, outcome)


@both
def test_bitmap_bytes_and_marker_rules(tmp_path, compressed):
    elements = [Element(1001, width=8), Element(31031, width=2), Element(12101, width=8)]
    # No bitmap: the marker is ignored. A 0 31 031 before 2 36 000 is an
    # ordinary element of the history; a bitmap byte of 2 counts as present;
    # marker values enter neither history nor bitmap.
    descriptors = [223255, 31031, 1001, 1001, 236000, 31031, 31031, 31031, 223255, 201130, 223255, 223255]
    fields = [(1, 2), (7, 8), (8, 8), (2, 2), (1, 2), (0, 2), (3, 2), (11, 10)]
    values = decode(tmp_path, descriptors, fields, compressed, subsets=1, elements=elements)
    assert records(values) == [(31031, 1, 1.0), (1001, 7, 7.0), (1001, 8, 8.0), op(236000), (31031, 2, 2.0),
                               (31031, 1, 1.0), (31031, 0, 0.0), (31031, 3, 3.0), (1001, 11, 11.0)]


@both
def test_character_bitmap_values_mark_present_positions(tmp_path, compressed):
    # A 0 31 031 of character data has a position code as its value (1001.0,
    # 2001.0), which clamps to the byte 255: present.
    elements = [Element(1001, width=8), Element(1002, width=8), Element(31031, unit="CCITT IA5", width=8)]
    descriptors = [1001, 1002, 236000, 31031, 31031, 223255, 223255]
    fields = [(1, 8), (2, 8), (0x41, 8), (0x42, 8), (9, 8), (10, 8)]
    values = decode(tmp_path, descriptors, fields, compressed, subsets=1, elements=elements)
    assert [(v.descriptor, v.raw_value, v.raw_text) for v in values[3:]] == [
        (31031, 1001.0, "A"), (31031, 2001.0, "B"), (1001, 9.0, None), (1002, 10.0, None)]


def test_compressed_bitmap_bytes_come_from_the_first_subset(tmp_path):
    # Bitmap column 0 31 031 with R0 1, NBINC 1, increments 0 and 1 (both
    # present values 1 and 2): the byte is 1, so the position is absent
    # for both subsets, although the second subset's value is 2.
    writer = BitWriter().write(5, 8).write(0, 6).write(1, 1).write(1, 6).write(0, 1).write(1, 1)
    tables = _vantrel.TableSet.from_eccodes(str(write_table_dir(tmp_path / "t", ELEMENTS)))
    message = build_message([1001, 236000, 31031, 223255], writer, subsets=2, compressed=True)
    values = _vantrel.decode_values_with_tables(message, tables)
    assert records(values) == [(1001, 5, 5.0), op(236000), (31031, 1, 1.0),
                               (1001, 5, 5.0), op(236000), (31031, 2, 2.0)]
