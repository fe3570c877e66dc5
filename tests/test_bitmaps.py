"""Bitmaps and the marker operators 2 23/24/25/32 255, in non-compressed and
compressed data alike. The first group holds under both rule sets and is
decoded by _vantrel. The second group pins the WMO rules of the package:
2 22/23/24/25/32 000 each take the 0 31 031 run that follows them as a bitmap
of their own unless 2 37 000 reuses the one in force; 2 36 000 defines one;
2 37 YYY and 2 35 000 cancel."""

import pytest

import _vantrel
from bufr_builder import BitWriter, Element, build_message, write_table_dir
from vantrel import _core

ELEMENTS = [Element(code, width=8) for code in range(1001, 1006)] + [
    Element(31031, width=1), Element(31001, width=8), Element(12101, width=12), Element(33007, width=7)]
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


def decode(tmp_path, descriptors, fields, compressed, subsets=2, elements=ELEMENTS, rules=None):
    """The values as _vantrel decodes them, or as the package does under `rules`."""
    tables = _vantrel.TableSet.from_eccodes(str(write_table_dir(tmp_path / "t", elements)))
    message = build_message(descriptors, encode(fields, compressed, subsets), subsets=subsets, compressed=compressed)
    if rules is not None:
        return _core.decode(_core.index(message), 0, tables, rules)[0]
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


# ---------------------------------------------------------------------------
# The WMO rules: bitmaps of the quality, substitution, statistics and replacement operators.

# The forms a 0 31 031 run takes in data: descriptors, fields before the bits, records before the bits.
RUN_FORMS = {
    "direct": lambda n: ([31031] * n, [], []),
    "fixed": lambda n: ([101000 + n, 31031], [], []),
    "delayed": lambda n: ([101000, 31001, 31031], [(n, 8)], [(31001, n, float(n))]),
}


def run(form, bits):
    """Descriptors, fields and records of a bitmap run of `bits` in `form`."""
    descriptors, fields, recs = RUN_FORMS[form](len(bits))
    return descriptors, fields + [(b, 1) for b in bits], recs + [(31031, b, float(b)) for b in bits]


HEAD = [1001, 1002, 1003]
HEAD_FIELDS = [(11, 8), (12, 8), (13, 8)]
HEAD_RECORDS = [(1001, 11, 11.0), (1002, 12, 12.0), (1003, 13, 13.0)]


@both
@pytest.mark.parametrize("form", list(RUN_FORMS))
@pytest.mark.parametrize(
    "operator, marker, raws, values",
    [(223000, 223255, [21, 23], [21.0, 23.0]),
     (224000, 224255, [21, 23], [21.0, 23.0]),
     (225000, 225255, [260, 250], [4.0, -6.0]),  # 9 bits with reference -256
     (232000, 232255, [21, 23], [21.0, 23.0])],
)
def test_an_operator_takes_the_run_that_follows_as_its_bitmap(tmp_path, compressed, form, operator, marker, raws,
                                                             values):
    # Bitmap 0 1 0 over the three elements before the operator: the markers
    # refer to 0 01 001 and 0 01 003, a third one finds the bitmap exhausted.
    descriptors, fields, recs = run(form, [0, 1, 0])
    width = 9 if operator == 225000 else 8
    got = decode(tmp_path, HEAD + [operator] + descriptors + [marker] * 3,
                 HEAD_FIELDS + fields + [(raws[0], width), (raws[1], width)], compressed, rules="wmo")
    assert records(got) == (HEAD_RECORDS + [op(operator)] + recs +
                            [(1001, raws[0], values[0]), (1003, raws[1], values[1])]) * 2


@both
@pytest.mark.parametrize("form", list(RUN_FORMS))
def test_without_an_operator_the_run_is_elements(tmp_path, compressed, form):
    # The same data without 2 23 000: no bitmap, the marker reads nothing.
    descriptors, fields, recs = run(form, [0, 1, 0])
    got = decode(tmp_path, HEAD + descriptors + [223255], HEAD_FIELDS + fields, compressed, rules="wmo")
    assert records(got) == (HEAD_RECORDS + recs) * 2


@both
@pytest.mark.parametrize(
    "cancel, marker_record",
    [([], (1003, 40, 40.0)),             # the back reference: the elements before 2 22 000
     ([235000], (33007, 40, 40.0))],     # after 2 35 000: the three entries before 2 23 000
)
def test_later_bitmaps_refer_back_to_the_same_elements(tmp_path, compressed, cancel, marker_record):
    # 2 22 000 with its bitmap 0 1 0 and two quality values, then 2 23 000
    # with a bitmap 1 1 0 and one substituted value. The quality block (its
    # factor and class 33 values) does not shift the second bitmap, unless
    # 2 35 000 cancels the back reference between the blocks.
    quality, quality_fields, quality_records = run("delayed", [0, 1, 0])
    substitution, substitution_fields, substitution_records = run("delayed", [1, 1, 0])
    width = 8 if marker_record[0] == 1003 else 7
    descriptors = (HEAD + [222000] + quality + [33007, 33007] + cancel + [223000] + substitution +
                   [101000, 31001, 223255])
    fields = (HEAD_FIELDS + quality_fields + [(1, 7), (2, 7)] + substitution_fields + [(1, 8)] +
              [(marker_record[1], width)])
    got = decode(tmp_path, descriptors, fields, compressed, rules="wmo")
    assert records(got) == (HEAD_RECORDS + [op(222000)] + quality_records + [(33007, 1, 1.0), (33007, 2, 2.0)] +
                            [op(c) for c in cancel] + [op(223000)] + substitution_records + [(31001, 1, 1.0),
                            marker_record]) * 2


@both
@pytest.mark.parametrize(
    "definition, second, after",
    [([223000], [224000, 237000], [(1002, 30, 30.0)]),          # 2 37 000 reuses the operator's bitmap
     ([222000], [223000, 237000], [(1002, 30, 30.0)]),          # also one of 2 22 000
     ([224000, 236000], [224000, 237000], [(1002, 30, 30.0)]),  # and one that 2 36 000 defined
     ([224000, 236000], [224000], []),                           # no reuse, no run: the new bitmap is empty
     ([223000], [224000, 31031, 31031], [(1001, 30, 30.0)])],    # a new run: a new bitmap (0 1)
)
def test_reuse_or_a_new_bitmap(tmp_path, compressed, definition, second, after):
    descriptors = [1001, 1002] + definition + [31031, 31031, 232255] + second + [224255, 224255]
    new_bits = [(0, 1), (1, 1)] if 31031 in second else []
    fields = [(1, 8), (2, 8), (1, 1), (0, 1), (20, 8)] + new_bits + [(30, 8)][:len(after)]
    got = decode(tmp_path, descriptors, fields, compressed, subsets=1, rules="wmo")
    new_records = [(31031, 0, 0.0), (31031, 1, 1.0)] if new_bits else []
    assert records(got) == ([(1001, 1, 1.0), (1002, 2, 2.0)] + [op(c) for c in definition] +
                            [(31031, 1, 1.0), (31031, 0, 0.0), (1002, 20, 20.0)] +
                            [op(c) for c in second if c != 31031] + new_records + after)


@both
@pytest.mark.parametrize(
    "then, after",
    [([232255], []),                                             # cancelled: the marker reads nothing
     ([225000, 31031, 31031, 225255], [(31031, 1, 1.0), (31031, 0, 0.0), (1002, 258, 2.0)])],  # a new bitmap
)
def test_cancel_then_an_operator_starts_afresh(tmp_path, compressed, then, after):
    descriptors = [1001, 1002, 232000, 31031, 31031, 232255, 237255] + then
    fields = [(1, 8), (2, 8), (0, 1), (1, 1), (10, 8)] + ([(1, 1), (0, 1), (258, 9)] if after else [])
    got = decode(tmp_path, descriptors, fields, compressed, subsets=1, rules="wmo")
    assert records(got) == ([(1001, 1, 1.0), (1002, 2, 2.0), op(232000), (31031, 0, 0.0), (31031, 1, 1.0),
                             (1001, 10, 10.0), op(237255)] + [op(c) for c in then if c // 100000 == 2 and c % 1000 == 0]
                            + after)


@both
@pytest.mark.parametrize("start", [[223000], [236000], [223000, 236000]])
def test_a_bitmap_run_ends_at_the_first_other_value(tmp_path, compressed, start):
    # Bitmap 0 0 over 0 01 001 and 0 01 002; the 0 31 031 after 0 01 003 is an
    # element, so the third marker finds the bitmap exhausted (were it a third
    # position, the marker would read 0 01 003).
    descriptors = [1001, 1002] + start + [31031, 31031, 1003, 31031, 223255, 223255, 223255]
    fields = [(1, 8), (2, 8), (0, 1), (0, 1), (3, 8), (0, 1), (10, 8), (20, 8)]
    got = decode(tmp_path, descriptors, fields, compressed, subsets=1, rules="wmo")
    assert records(got) == ([(1001, 1, 1.0), (1002, 2, 2.0)] + [op(c) for c in start] +
                            [(31031, 0, 0.0), (31031, 0, 0.0), (1003, 3, 3.0), (31031, 0, 0.0),
                             (1001, 10, 10.0), (1002, 20, 20.0)])


@both
@pytest.mark.parametrize(
    "between, between_fields, between_records",
    [([1003], [(3, 8)], [(1003, 3, 3.0)]),   # an element: the awaited bitmap stays empty
     ([223255], [], [])],                      # a marker: likewise, and it reads nothing
)
def test_an_operator_without_its_run_has_an_empty_bitmap(tmp_path, compressed, between, between_fields,
                                                          between_records):
    # A bitmap 0 defined by 2 36 000, then 2 23 000 whose 0 31 031 comes only
    # after another value: that 0 31 031 is an element, and the markers do
    # not fall back on the earlier bitmap.
    descriptors = [1001, 236000, 31031, 223255, 223000] + between + [31031, 223255]
    fields = [(1, 8), (0, 1), (10, 8)] + between_fields + [(0, 1)]
    got = decode(tmp_path, descriptors, fields, compressed, subsets=1, rules="wmo")
    assert records(got) == ([(1001, 1, 1.0), op(236000), (31031, 0, 0.0), (1001, 10, 10.0), op(223000)] +
                            between_records + [(31031, 0, 0.0)])
