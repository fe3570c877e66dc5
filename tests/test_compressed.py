"""Compressed data: numeric and character columns, replication, associated
fields, operator columns and the flattening into subset order."""

import pytest

import _vantrel
from bufr_builder import BitWriter, Element, build_message, write_table_dir

TEXT = "CCITT IA5"
ELEMENTS = [Element(12101, width=8), Element(31001, width=8), Element(31021, width=6),
            Element(1015, unit=TEXT, width=32), Element(1019, unit=TEXT, width=16),
            Element(20011, unit="CODE TABLE", width=4), Element(7030, scale=1, reference=-4000, width=17)]


def decode(tmp_path, descriptors, writer, subsets, elements=ELEMENTS, code_tables=None, sequences=None):
    tables = _vantrel.TableSet.from_eccodes(str(write_table_dir(tmp_path / "t", elements, sequences, code_tables)))
    message = build_message(descriptors, writer, subsets=subsets, compressed=True)
    return _vantrel.decode_values_with_tables(message, tables)


def fails(tmp_path, message, *args, **kwargs):
    with pytest.raises(ValueError) as info:
        decode(tmp_path, *args, **kwargs)
    assert str(info.value) == message


def columns(*specs):
    """Numeric columns, each (R0, width[, NBINC, increments])."""
    writer = BitWriter()
    for r0, width, nbinc, increments in ((*signature, 0, ())[:4] for signature in specs):
        writer.write(r0, width).write(nbinc, 6)
        for increment in increments:
            writer.write(increment, nbinc)
    return writer


@pytest.mark.parametrize(
    "code, r0, nbinc, increments, expected",
    [
        (12101, 10, 0, [], [(10, 10.0)] * 3),
        (12101, 255, 0, [], [(255, None)] * 3),  # R0 all ones: every subset missing
        (12101, 10, 2, [0, 3, 1], [(10, 10.0), (10, None), (11, 11.0)]),  # increment all ones: missing
        (31001, 10, 2, [0, 3, 1], [(10, 10.0), (13, 13.0), (11, 11.0)]),  # ... except in class 31
        (31001, 255, 0, [], [(255, 255.0)] * 3),
        (12101, 255, 1, [0, 0, 0], [(255, None)] * 3),  # a missing R0 stays missing; raw is R0
    ],
)
def test_numeric_columns(tmp_path, code, r0, nbinc, increments, expected):
    values = decode(tmp_path, [code], columns((r0, 8, nbinc, increments)), 3)
    assert [(v.descriptor, v.raw, v.raw_value) for v in values] == [(code, *e) for e in expected]


def test_scale_reference_meanings_and_wrapping(tmp_path):
    elements = ELEMENTS + [Element(1064, width=64)]
    writer = columns((4010, 17, 3, [0, 5, 6]),          # 0 07 030: (raw - 4000) / 10
                     (2, 4, 2, [0, 1, 3]),              # 0 20 011: a meaning per subset, the missing one too
                     (2**64 - 1, 64, 2, [0, 1, 2]))     # R0 + increment wraps modulo 2^64
    values = decode(tmp_path, [7030, 20011, 1064], writer, 3, elements=elements,
                    code_tables={20011: {2: "TWO", 3: "THREE"}})
    assert [(v.descriptor, v.raw, v.raw_value, v.raw_meaning) for v in values] == [
        (7030, 4010, 1.0, None), (20011, 2, 2.0, "TWO"), (1064, 2**64 - 1, float(2**64 - 1), None),
        (7030, 4015, 1.5, None), (20011, 3, 3.0, "THREE"), (1064, 0, 0.0, None),
        (7030, 4016, 1.6, None), (20011, 2, None, "TWO"), (1064, 1, 1.0, None)]


@pytest.mark.parametrize("reference, y, fits", [(-2**62, 2, True), (1, 38, True), (2, 38, False), (-1, 38, True),
                                               (-2, 38, False), (1, 39, False), (0, 255, True)])
def test_2_07_reference_product_is_exact(tmp_path, reference, y, fits):
    # 2 07 YYY multiplies the reference by 10^YYY exactly, within 128 bits.
    elements = [Element(12101, reference=reference, width=8)]
    descriptors = [207000 + y, 206008, 12101]
    writer = columns((5, 8, 2, [0, 1]))
    if not fits:
        fails(tmp_path, f"csv/table parse error: reference value of element 012101 times 10^{y} under operator "
              f"{207000 + y:06d} does not fit in 128 bits", descriptors, writer, 2, elements=elements)
        return
    values = decode(tmp_path, descriptors, writer, 2, elements=elements)
    assert [v.raw for v in values] == [5, 6]
    assert [v.raw_value for v in values] == [pytest.approx((raw + reference * 10**y) / 10.0**y, rel=1e-12)
                                             for raw in (5, 6)]


def test_flattening_interleaves_columns_by_subset(tmp_path):
    writer = columns((1, 8, 2, [0, 1]), (7, 8))
    values = decode(tmp_path, [12101, 31001], writer, 2)
    assert [(v.descriptor, v.raw) for v in values] == [(12101, 1), (31001, 7), (12101, 2), (31001, 7)]


def test_character_columns(tmp_path):
    # 0 01 019 (16 bits) is character column 0, 0 01 015 (32 bits) column 1:
    # position codes (c * subsets + s + 1) * 1000 + width / 8.
    writer = (BitWriter().write_bytes(b"\xff\xff").write(0, 6)
              .write_bytes(b"    ").write(4, 6).write_bytes(b"ABCD").write_bytes(b"\xff" * 4).write_bytes(b"E  F"))
    values = decode(tmp_path, [1019, 1015], writer, 3)
    assert [(v.descriptor, v.raw, v.raw_value, v.raw_text) for v in values] == [
        (1019, None, 1002.0, None), (1015, None, 4004.0, "ABCD"),
        (1019, None, 2002.0, None), (1015, None, 5004.0, None),
        (1019, None, 3002.0, None), (1015, None, 6004.0, "E  F")]


@pytest.mark.parametrize(
    "factors, outcome",
    [([2, 2, 2], 2), ([0, 0, 0], 0), ([2, 3, 2], "varying")],
)
def test_delayed_replication_needs_equal_factors(tmp_path, factors, outcome):
    nbinc = 0 if len(set(factors)) == 1 else 2
    increments = [f - min(factors) for f in factors] if nbinc else []
    writer = columns((min(factors), 8, nbinc, increments), (5, 8), (6, 8))
    descriptors = [101000, 31001, 12101]
    if outcome == "varying":
        fails(tmp_path, "csv/table parse error: compressed delayed replication with varying factors is not "
              "implemented", descriptors, writer, 3)
        return
    values = decode(tmp_path, descriptors, writer, 3)
    assert [v.raw for v in values] == ([factors[0]] + [5, 6][:outcome]) * 3


def test_associated_field_columns(tmp_path):
    # No associated field before a class 31 element, nor before a factor of
    # any class (non-compressed data reads one before 0 12 101 as a factor).
    writer = columns((1, 6), (3, 4), (20, 8), (1, 8), (2, 4, 1, [0, 1]), (21, 8))
    values = decode(tmp_path, [204004, 31021, 12101, 101000, 12101, 12101], writer, 2)
    assert [(v.descriptor, v.name, v.raw, v.raw_value) for v in values[:6]] == [
        (31021, "ELEMENT", 1, 1.0), (999999, "associatedField", 3, 3.0), (12101, "ELEMENT", 20, 20.0),
        (12101, "ELEMENT", 1, 1.0), (999999, "associatedField", 2, 2.0), (12101, "ELEMENT", 21, 21.0)]
    assert [v.raw for v in values[6:]] == [1, 3, 20, 1, 3, 21]


def test_operator_columns_and_signified_characters(tmp_path):
    writer = (BitWriter().write_bytes(b"AB").write(0, 6)
              .write_bytes(b"\0\0").write(2, 6).write_bytes(b"XY").write_bytes(b"\xff\xff"))
    values = decode(tmp_path, [222000, 205002, 205002], writer, 2)
    assert [(v.descriptor, v.name, v.raw, v.raw_value, v.raw_text) for v in values] == [
        (222000, "operator", 0, 0.0, None), (205002, "operator", None, None, "AB"),
        (205002, "operator", None, None, "XY"),
        (222000, "operator", 0, 0.0, None), (205002, "operator", None, None, "AB"),
        (205002, "operator", None, None, None)]


def test_changed_reference_values(tmp_path):
    writer = columns((0b1000000101, 10), (105, 17, 2, [0, 1]))
    values = decode(tmp_path, [203010, 7030, 203255, 7030], writer, 2)
    assert [(v.raw, v.raw_value) for v in values] == [(105, 10.0), (106, 10.1)]
    fails(tmp_path, "csv/table parse error: compressed reference value change for descriptor 007030 has "
          "non-zero increment width 3", [203010, 7030], columns((5, 10, 3, [0, 0])), 2)


@pytest.mark.parametrize(
    "descriptors, writer, subsets, message",
    [
        # The 6-bit NBINC after an 8-bit R0 does not fit.
        ([12101], b"\x01", 1, "not enough bits while reading section 4 at bit 8 for width 6 (8 bits available)"),
        # Zero subsets still read every R0 and NBINC.
        ([12101, 12101], columns((1, 8)), 0,
         "not enough bits while reading section 4 at bit 14 for width 8 (16 bits available)"),
        ([301001], BitWriter(), 1, "compressed descriptor decode exceeded recursion depth"),
    ],
)
def test_failures(tmp_path, descriptors, writer, subsets, message):
    fails(tmp_path, "csv/table parse error: " + message, descriptors, writer, subsets,
          sequences={301001: [301001]})


def test_zero_subsets_give_no_values(tmp_path):
    assert decode(tmp_path, [12101, 222000, 1015], columns((1, 8), (0, 32)), 0) == []


@pytest.mark.parametrize("threads", [1, 2])
def test_uniform_text_columns_give_a_row_per_subset(tmp_path, threads):
    # 2 05 003 and a character element, each with NBINC 0 over three subsets: one row per
    # subset in the columns, the matrix and the frames.
    import vantrel
    from vantrel import dataframes as frames

    directory = write_table_dir(tmp_path / "t", [Element(1019, "NAME", "CCITT IA5", width=24, abbreviation="name"),
                                                 Element(1001, "A", width=7, abbreviation="a")])
    w = BitWriter().write_bytes(b"XYZ").write(0, 6).write_bytes(b"ABC").write(0, 6).write(5, 7).write(0, 6)
    with vantrel.open(build_message([205003, 1019, 1001], w, subsets=3, compressed=True), tables=directory) as reader:
        columns = reader.columns(threads=threads)
        assert columns["descriptor"].tolist() == [205003] * 3 + [1019] * 3 + [1001] * 3
        assert columns["subset"].tolist() == [1, 2, 3] * 3
        texts = frames.text_values(columns, range(6))
        assert list(texts) == ["XYZ"] * 3 + ["ABC"] * 3
        assert reader[0].matrix(threads=threads)[0].shape == (3, 3)
        frame = reader.to_pandas(threads=threads)
        assert frame["name"].tolist() == ["ABC"] * 3 and frame["subset"].tolist() == [1, 2, 3]
