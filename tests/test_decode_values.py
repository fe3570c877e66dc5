"""Non-compressed decoding: bit reading, element values, DecodedValue, the
descriptor walk with replication and operators, and the decoding functions."""

import random

import pytest

import _vantrel
from bufr_builder import BitWriter, Element, build_message, write_table_dir

TEXT = "CCITT IA5"


def load_tables(tmp_path, elements=(), sequences=None, code_tables=None):
    return _vantrel.TableSet.from_eccodes(str(write_table_dir(tmp_path / "tables", elements, sequences, code_tables)))


def decode(tmp_path, descriptors, data, elements=(), sequences=None, code_tables=None, subsets=1):
    tables = load_tables(tmp_path, elements, sequences, code_tables)
    return _vantrel.decode_values_with_tables(build_message(descriptors, data, subsets=subsets), tables)


def fails(tmp_path, message, *args, **kwargs):
    with pytest.raises(ValueError) as info:
        decode(tmp_path, *args, **kwargs)
    assert str(info.value) == message


def summary(values):
    return [(v.descriptor, v.raw, v.raw_value, v.raw_text, v.raw_meaning) for v in values]


# ---------------------------------------------------------------------------
# Bit reading, through elements of chosen widths


def test_reads_fields_across_byte_boundaries(tmp_path):
    # Fields of every width 1..64 at every bit offset, including the last
    # bytes of the data, where fewer than eight bytes remain.
    rng = random.Random(7)
    widths = [w for w in range(1, 65)] + [rng.randint(1, 64) for _ in range(200)]
    fields = [(w, rng.getrandbits(w)) for w in widths]
    writer = BitWriter()
    for w, v in fields:
        writer.write(v, w)
    elements = [Element(1000 + w, width=w) for w in range(1, 65)]
    values = decode(tmp_path, [1000 + w for w, _ in fields], writer.to_bytes(pad_to_even=False), elements)
    assert [v.raw for v in values] == [v for _, v in fields]


def test_nibbles_then_end_of_data(tmp_path):
    elements = [Element(1004, width=4), Element(1008, width=8), Element(1001, width=1), Element(1000, width=0)]
    values = decode(tmp_path, [1004, 1008, 1004, 1000], b"\xab\xcd", elements)
    assert [v.raw for v in values] == [10, 188, 13, 0]  # width 0 at the very end reads nothing
    fails(tmp_path, "csv/table parse error: not enough bits while reading section 4 at bit 16 for width 1 "
          "(16 bits available)", [1004, 1008, 1004, 1001], b"\xab\xcd", elements)


@pytest.mark.parametrize(
    "elements, descriptors, data, message",
    [
        ([Element(1065, width=65)], [1065], b"\0" * 20, "cannot read 65 bits into u64"),
        ([Element(1006, width=6), Element(1003, width=3)], [1006, 1003], b"\xff",
         "not enough bits while reading section 4 at bit 6 for width 3 (8 bits available)"),
        # Character data fails at the first byte that does not fit, or at the final bits.
        ([Element(1001, unit=TEXT, width=24)], [1001], b"AB", "not enough bits while reading section 4 at bit 16 "
         "for width 8 (16 bits available)"),
        ([Element(1004, width=4), Element(1001, unit=TEXT, width=15)], [1004, 1001], b"AB",
         "not enough bits while reading section 4 at bit 12 for width 7 (16 bits available)"),
    ],
)
def test_read_failures(tmp_path, elements, descriptors, data, message):
    fails(tmp_path, "csv/table parse error: " + message, descriptors, data, elements)


def test_character_bits_not_a_multiple_of_eight(tmp_path):
    elements = [Element(1012, unit=TEXT, width=12), Element(1004, width=4)]
    values = decode(tmp_path, [1012, 1004], b"\x41\x4d", elements)
    # The 12 bits 0x414 become the bytes 0x41 0x40: "A@"; the next field starts at bit 12.
    assert [(v.raw_text, v.raw) for v in values] == [("A@", None), (None, 13)]


# ---------------------------------------------------------------------------
# Element values


@pytest.mark.parametrize(
    "element, width, raw, expected",
    [
        (Element(12101, scale=1, width=12), 12, 2876, 287.6),
        (Element(12101, scale=-1, reference=-1, width=8), 8, 5, 40.0),
        (Element(12101, width=8), 8, 255, None),           # all ones: missing
        (Element(31001, width=8), 8, 255, 255.0),           # class 31 is never missing
        (Element(12101, width=64), 64, 2**64 - 1, float(2**64 - 1)),  # 64 bits are never missing
        # raw + reference is exact before the one rounding to a float
        (Element(12101, reference=2**63 - 1, width=64), 64, 2**64 - 2, float(2**64 - 2 + 2**63 - 1)),
        (Element(12101, reference=-(2**63), width=63), 63, 2**62, float(2**62 - 2**63)),
    ],
)
def test_numeric_values(tmp_path, element, width, raw, expected):
    [value] = decode(tmp_path, [element.code], BitWriter().write(raw, width), [element])
    assert (value.raw, value.raw_value, value.data) == (raw, expected, expected)


@pytest.mark.parametrize("unit", ["CCITT IA5 ", "ccitt ia5", "Code table"])
def test_only_the_exact_unit_is_character_data(tmp_path, unit):
    [value] = decode(tmp_path, [1015], b"AB", [Element(1015, unit=unit, width=16)])
    assert (value.raw, value.raw_text) == (0x4142, None)


@pytest.mark.parametrize(
    "data, text",
    [
        (b"AB  ", "AB"),
        (b"A\x00 ", "A\x00"),
        (b"A\xc3\xa9", "A??"),
        (b"\xff\xff\xff", None),
        (b"\xffA\xff", "?A?"),
        (b"  A\t\r\n\x0b\x0c", "  A"),
        (b"    ", ""),
    ],
)
def test_ia5_text(tmp_path, data, text):
    element = Element(1015, unit=TEXT, width=8 * len(data))
    [value] = decode(tmp_path, [1015], data, [element])
    assert (value.raw, value.raw_text, value.raw_meaning) == (None, text, None)


def test_position_codes_run_through_the_message(tmp_path):
    elements = [Element(1015, unit=TEXT, width=64), Element(1019, unit=TEXT, width=24)]
    writer = BitWriter()
    for _ in range(2):
        writer.write_text("NAME", 64).write_bytes(b"\xff\xff\xff")
    values = decode(tmp_path, [1015, 1019], writer, elements, subsets=2)
    assert [(v.raw_value, v.data) for v in values] == [
        (1008.0, "NAME"), (2003.0, 2003.0), (3008.0, "NAME"), (4003.0, 4003.0)]


def test_meanings(tmp_path):
    elements = [Element(20011, unit="CODE TABLE", width=4), Element(20012, unit="CODE TABLE", width=4)]
    code_tables = {20011: {3: "FOUR OKTAS", 15: "MISSING VALUE"}}
    values = decode(tmp_path, [20011, 20011, 20011, 20012], BitWriter().write(3, 4).write(5, 4).write(15, 4)
                    .write(3, 4), elements, code_tables=code_tables)
    assert [(v.raw, v.raw_value, v.raw_meaning, v.data) for v in values] == [
        (3, 3.0, "FOUR OKTAS", "FOUR OKTAS"),
        (5, 5.0, None, 5.0),
        (15, None, "MISSING VALUE", "MISSING VALUE"),  # missing values keep their meaning
        (3, 3.0, None, 3.0),
    ]


# ---------------------------------------------------------------------------
# DecodedValue


@pytest.mark.parametrize(
    "scale, reference, raw, text",
    [
        (2, 0, 28715, "Some(287.15)"),
        (0, 0, 0, "Some(0.0)"),
        (0, 0, 17, "Some(17.0)"),
        (5, 0, 1, "Some(1e-5)"),
        (4, 0, 1, "Some(0.0001)"),
        (6, 0, 99, "Some(9.9e-5)"),
        (0, 0, 15 * 10**15, "Some(1.5e16)"),
        (-15, 0, 15, "Some(1.4999999999999998e16)"),  # divided by the reciprocal of 10^15
        (-16, 0, 1, "Some(1e16)"),
        (0, 0, 9999999999999998, "Some(9999999999999998.0)"),
        (0, 0, 12345678901234567, "Some(1.2345678901234568e16)"),
        (0, -1000, 1, "Some(-999.0)"),
        (3, -1000, 1, "Some(-0.999)"),
        (9, -1000, 1, "Some(-9.99e-7)"),
        (0, 0, 123456789012345, "Some(123456789012345.0)"),
        (-400, 0, 5, "Some(inf)"),
        (-400, 0, 0, "Some(NaN)"),
    ],
)
def test_repr_of_numbers(tmp_path, scale, reference, raw, text):
    element = Element(12101, scale=scale, reference=reference, width=60)
    [value] = decode(tmp_path, [12101], BitWriter().write(raw, 60), [element])
    assert repr(value) == f"DecodedValue(012101, {text})"


def test_repr_and_attributes_of_each_kind(tmp_path):
    elements = [Element(1001, name="WMO BLOCK NUMBER", width=7), Element(1015, name="NAME", unit=TEXT, width=48),
                Element(20011, unit="CODE TABLE", width=4), Element(31021, width=6)]
    writer = (BitWriter().write(127, 7).write_bytes(b'a"\\\n\x01 ').write(3, 4)
              .write(1, 6).write(2, 3).write(5, 4))
    values = decode(tmp_path, [1001, 1015, 20011, 204003, 31021, 20011, 222000], writer, elements,
                    code_tables={20011: {3: "FOUR OKTAS"}})
    assert [repr(v) for v in values] == [
        "DecodedValue(001001, None)",
        'DecodedValue(001015, "a\\"\\\\\\n\\u{1}")',
        'DecodedValue(020011, "FOUR OKTAS")',
        "DecodedValue(031021, Some(1.0))",
        "DecodedValue(999999, Some(2.0))",
        "DecodedValue(020011, Some(5.0))",
        "DecodedValue(222000, Some(0.0))",
    ]
    assert [(v.descriptor, v.name, v.raw, v.raw_value) for v in values] == [
        (1001, "WMO BLOCK NUMBER", 127, None),
        (1015, "NAME", None, 1006.0),
        (20011, "ELEMENT", 3, 3.0),
        (31021, "ELEMENT", 1, 1.0),
        (999999, "associatedField", 2, 2.0),
        (20011, "ELEMENT", 5, 5.0),
        (222000, "operator", 0, 0.0),
    ]


def test_class_is_read_only_and_not_instantiable(tmp_path):
    [value] = decode(tmp_path, [1001], b"\x01", [Element(1001)])
    with pytest.raises(AttributeError):
        value.raw = 2
    with pytest.raises(TypeError) as info:
        _vantrel.DecodedValue()
    assert str(info.value) == "cannot create 'builtins.DecodedValue' instances"
    assert _vantrel.DecodedValue.__module__ == "builtins"
    assert type(value) is _vantrel.DecodedValue


# ---------------------------------------------------------------------------
# Replication and sequences

E8 = [Element(1001, width=8), Element(1002, width=8), Element(31001, width=8), Element(31000, width=1)]


def test_fixed_and_delayed_replication(tmp_path):
    values = decode(tmp_path, [102003, 1001, 1002], bytes(range(6)), E8)
    assert [(v.descriptor, v.raw) for v in values] == [(1001, 0), (1002, 1), (1001, 2), (1002, 3), (1001, 4),
                                                        (1002, 5)]
    values = decode(tmp_path, [102000, 31001, 1001, 1002, 1001], bytes([0, 9]), E8)
    assert [(v.descriptor, v.raw) for v in values] == [(31001, 0), (1001, 9)]
    values = decode(tmp_path, [101000, 31001, 1001], bytes([2, 7, 8]), E8)
    assert [(v.descriptor, v.raw) for v in values] == [(31001, 2), (1001, 7), (1001, 8)]


def test_nested_replication_reaches_only_its_own_list(tmp_path):
    # 1 02 002 [1 01 002 [0 01 001], 0 01 002]: the inner replication's list is
    # the outer body, so 0 01 002 is not replicated by it.
    values = decode(tmp_path, [102002, 101002, 1001, 1002], bytes(range(6)), E8)
    assert [v.descriptor for v in values] == [1001, 1001, 1001, 1001, 1002]
    # 1 01 001 inside the body [0 01 001, 1 01 001] has nothing to replicate.
    fails(tmp_path, "unsupported replication descriptor 101001", [102002, 1001, 101001, 1002], bytes(4), E8)


@pytest.mark.parametrize(
    "descriptors, message",
    [
        ([1001, 103000], "unsupported replication descriptor 103000"),
        ([100002, 1001], "unsupported replication descriptor 100002"),
        ([102000, 31001, 1001], "delayed replication descriptor 102000 is missing its replication factor or "
         "replicated descriptors"),
        ([101000, 9255, 1001], "descriptor 009255 was not found in Table B"),
        ([1001, 301001], "csv/table parse error: invalid descriptor 401001"),
        ([1001, 363255], "descriptor 363255 was not found in Table D"),
    ],
)
def test_walk_failures(tmp_path, descriptors, message):
    # F above 3 cannot be written in section 3; Table D can hold it.
    fails(tmp_path, message, descriptors, bytes(8), E8, {301001: [401001]})


def test_sequences_and_their_depth(tmp_path):
    sequences = {301001: [1001, 1002], 301002: [301001, 1001], 301003: [301003]}
    values = decode(tmp_path, [301002], bytes([1, 2, 3]), E8, sequences)
    assert [(v.descriptor, v.raw) for v in values] == [(1001, 1), (1002, 2), (1001, 3)]
    fails(tmp_path, "csv/table parse error: descriptor decode exceeded recursion depth", [301003], b"", E8,
          sequences)


def test_depth_64_is_allowed(tmp_path):
    # Sequence n holds sequence n + 1; the last holds an element at depth 64.
    sequences = {300000 + n: [300000 + n + 1] for n in range(1, 64)}
    sequences[300064] = [1001]
    [value] = decode(tmp_path, [300001], bytes([5]), E8, sequences)
    assert value.raw == 5


@pytest.mark.parametrize(
    "factor, bits, repetitions",
    [
        (Element(31001, width=8), 0, 0),
        (Element(31001, width=8), 2, 2),
        (Element(1002, width=8), 255, 0),               # a missing factor replicates nothing
        (Element(1002, width=8, reference=-10), 3, 0),  # nor does a negative one
        (Element(1002, width=8, scale=1), 25, 2),       # 2.5 is truncated
        (Element(1002, width=8, unit=TEXT), 2, 0),      # character data has no value, only a position code
    ],
)
def test_delayed_factor_values(tmp_path, factor, bits, repetitions):
    values = decode(tmp_path, [101000, factor.code, 1001], bytes([bits]) + bytes(range(1, 3)),
                    [factor, Element(1001)])
    assert [v.descriptor for v in values] == [factor.code] + [1001] * repetitions


# ---------------------------------------------------------------------------
# Operators


def test_width_scale_and_local_width_operators(tmp_path):
    element = Element(12101, scale=1, width=8)
    writer = (BitWriter().write(300, 9)      # 2 01 129: 9 bits
              .write(7, 8)                   # 2 01 000: 8 bits again
              .write(7, 8)                   # 2 02 130: scale 3
              .write(3, 3)                   # 2 06 003: next element only
              .write(9, 8)
              .write(0, 0))                  # 2 01 118: width 8 - 10 <= 0 reads nothing
    values = decode(tmp_path, [201129, 12101, 201000, 12101, 202130, 12101, 206003, 12101, 12101, 202000,
                               201118, 12101], writer, [element])
    assert [(v.raw, v.raw_value) for v in values] == [(300, 30.0), (7, 0.7), (7, 0.007), (3, 0.003),
                                                      (9, 0.009), (0, None)]


def test_2_07_changes_scale_width_and_reference(tmp_path):
    element = Element(12101, scale=1, reference=-50, width=10)
    values = decode(tmp_path, [207002, 12101, 207000, 12101], BitWriter().write(5123, 17).write(60, 10), [element])
    assert [(v.raw, v.raw_value) for v in values] == [(5123, pytest.approx(0.123)), (60, 1.0)]


# 2 07 YYY multiplies the reference by 10^YYY exactly: the product must fit in
# a signed 128-bit integer (10^38 < 2^127 < 2 * 10^38).
REFERENCE_PRODUCTS = [
    (-2**62, 2, True),     # -2^62 * 100 wraps to 0 in 64 bits; exact here
    (1, 38, True), (2, 38, False),
    (-1, 38, True), (-2, 38, False),
    (1, 39, False),
    (0, 255, True),        # a zero reference never overflows
]


@pytest.mark.parametrize("reference, y, fits", REFERENCE_PRODUCTS)
def test_2_07_reference_product_is_exact(tmp_path, reference, y, fits):
    element = Element(12101, reference=reference, width=8)
    descriptors = [207000 + y, 206008, 12101]
    if not fits:
        fails(tmp_path, f"csv/table parse error: reference value of element 012101 times 10^{y} under operator "
              f"{207000 + y:06d} does not fit in 128 bits", descriptors, BitWriter().write(5, 8), [element])
        return
    [value] = decode(tmp_path, descriptors, BitWriter().write(5, 8), [element])
    assert value.raw == 5
    assert value.raw_value == pytest.approx((5 + reference * 10**y) / 10.0**y, rel=1e-12)


def test_2_07_255_widens_elements_beyond_64_bits(tmp_path):
    element = Element(12101, width=8)
    fails(tmp_path, "csv/table parse error: cannot read 858 bits into u64", [207255, 12101], b"", [element])


def test_character_width_operator(tmp_path):
    elements = [Element(1015, unit=TEXT, width=16), Element(12101, width=8)]
    writer = BitWriter().write_bytes(b"ABC").write(1, 20).write_bytes(b"DE")
    values = decode(tmp_path, [208003, 201140, 1015, 12101, 208000, 1015], writer, elements)
    assert [(v.raw_text, v.raw, v.raw_value) for v in values] == [
        ("ABC", None, 1003.0), (None, 1, 1.0), ("DE", None, 2002.0)]


def test_associated_fields(tmp_path):
    elements = [Element(31021, width=6), Element(12101, width=8), Element(31001, width=8)]
    writer = BitWriter().write(1, 6).write(3, 2).write(20, 8).write(1, 8).write(0, 2).write(21, 8)
    values = decode(tmp_path, [204002, 31021, 12101, 101000, 31001, 12101, 204000, 12101],
                    writer.write(22, 8), elements)
    assert [(v.descriptor, v.raw, v.raw_value) for v in values] == [
        (31021, 1, 1.0), (999999, 3, 3.0), (12101, 20, 20.0), (31001, 1, 1.0),
        (999999, 0, 0.0), (12101, 21, 21.0), (12101, 22, 22.0)]


@pytest.mark.parametrize(
    "operator, records",
    [(code, [code]) for code in (222000, 223000, 224254, 225000, 226007, 232000, 235000, 236000, 237000,
                                  237255, 241001, 262000)]
    + [(code, []) for code in (200000, 209001, 222001, 236001, 243000, 262001, 263000)],
)
def test_operator_records(tmp_path, operator, records):
    values = decode(tmp_path, [operator], b"", E8)
    assert [(v.descriptor, v.raw, v.raw_value, v.name) for v in values] == [
        (code, 0, 0.0, "operator") for code in records]


def test_signified_characters(tmp_path):
    # 2 05 YYY: YYY characters follow in the data and become one operator record.
    values = decode(tmp_path, [205004, 1001, 205002, 205000], b"AB  " + b"\x07" + b"\xff\xff", E8)
    assert [(v.descriptor, v.name, v.raw, v.raw_value, v.raw_text, v.data) for v in values] == [
        (205004, "operator", None, None, "AB", "AB"),
        (1001, "ELEMENT", 7, 7.0, None, 7.0),
        (205002, "operator", None, None, None, None),
        (205000, "operator", None, None, None, None),  # no characters: no text
    ]


def test_changed_reference_values(tmp_path):
    # 2 03 010 defines 10-bit references (sign bit first) for the elements
    # listed until 2 03 255; 2 03 000 restores the Table B values.
    elements = [Element(7030, scale=1, reference=-4000, width=17), Element(1001, width=8)]
    writer = (BitWriter().write(0b1000000101, 10)          # 0 07 030: reference -5
              .write(105, 17).write(1, 8)                   # (105 - 5) / 10 and an untouched element
              .write(105, 17))                              # after 2 03 000: (105 - 4000) / 10
    values = decode(tmp_path, [203010, 7030, 203255, 7030, 1001, 203000, 7030], writer, elements)
    assert [(v.descriptor, v.raw, v.raw_value) for v in values] == [
        (7030, 105, 10.0), (1001, 1, 1.0), (7030, 105, -389.5)]


def test_changed_reference_times_multiplier_and_wide_definitions(tmp_path):
    elements = [Element(7030, scale=0, reference=0, width=8)]
    writer = BitWriter().write(3, 12).write(1, 8 + 4)  # reference +3, then 2 07 001: (1 + 30) / 10
    values = decode(tmp_path, [203012, 7030, 203255, 207001, 7030], writer, elements)
    assert [v.raw_value for v in values] == [3.1]
    fails(tmp_path, "csv/table parse error: cannot read 100 bits into u64", [203100, 7030], bytes(20), elements)


# ---------------------------------------------------------------------------
# Subsets and the decoding functions


def test_subsets_start_from_a_fresh_state(tmp_path):
    elements = [Element(12101, width=8)]
    values = decode(tmp_path, [12101, 201129], bytes([1, 2]), elements, subsets=2)
    # The 2 01 129 that ends subset 1 is not in force at the start of subset 2.
    assert [v.raw for v in values] == [1, 2]


@pytest.mark.parametrize("subsets, descriptors", [(0, [1001]), (3, [])])
def test_empty_results(tmp_path, subsets, descriptors):
    assert decode(tmp_path, descriptors, b"", E8, subsets=subsets) == []


def test_a_truncated_second_message_fails_before_decoding(tmp_path):
    table_dir = str(write_table_dir(tmp_path / "t", E8))
    first = build_message([1001], b"\x01\x00")
    with pytest.raises(ValueError) as info:
        _vantrel.decode_values(first + b"BUFR\x00\x01\x00\x04", table_dir)
    assert str(info.value) == f"section 0 at offset {len(first)} is truncated"


def test_decoding_functions(tmp_path):
    table_dir = write_table_dir(tmp_path / "t", E8)
    tables = _vantrel.TableSet.from_eccodes(str(table_dir))
    first = build_message([1001, 1002], bytes([1, 2]))
    second = build_message([1001], bytes([9, 0]))
    expected = [(1001, 1, 1.0, None, None), (1002, 2, 2.0, None, None)]
    assert summary(_vantrel.decode_values(b"junk" + first + second, str(table_dir))) == expected
    assert summary(_vantrel.decode_values_with_tables(data=first, tables=tables)) == expected
    assert summary(_vantrel.decode_values_with_tables(first, tables)) == expected  # the table set is reusable
    assert tables.element_count == 4
    # The definitions root picks bufr/tables/0/wmo/30 for this header.
    root = tmp_path / "root"
    write_table_dir(root / "bufr" / "tables" / "0" / "wmo" / "30", E8)
    assert summary(_vantrel.decode_values_with_definitions(first, str(root))) == expected


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda t, d: _vantrel.decode_values(b"", d), "missing BUFR marker"),
        (lambda t, d: _vantrel.decode_values(b"no marker here", d), "missing BUFR marker"),
        (lambda t, d: _vantrel.decode_values_with_tables(build_message([1001], b"\x01\x00"), _vantrel.TableSet()),
         "descriptor 001001 was not found in Table B"),
        (lambda t, d: _vantrel.decode_values_with_tables(build_message([301011]), _vantrel.TableSet()),
         "descriptor 301011 was not found in Table D"),
        (lambda t, d: _vantrel.decode_values_with_definitions(build_message([1001], edition=3), "/nonexistent"),
         "unsupported BUFR edition 3; only edition 4 is implemented"),
    ],
)
def test_function_failures(tmp_path, call, message):
    table_dir = str(write_table_dir(tmp_path / "t", E8))
    with pytest.raises(ValueError) as info:
        call(None, table_dir)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: _vantrel.decode_values(b"x"), "decode_values() missing 1 required positional argument: 'table_dir'"),
        (lambda: _vantrel.decode_values_with_tables(b"x", "tables"),
         "argument 'tables': 'str' object cannot be cast as 'TableSet'"),
        (lambda: _vantrel.decode_values_with_definitions(b"x", definitions_root=1),
         "argument 'definitions_root': 'int' object cannot be cast as 'str'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


# The same element entry read again under another operator state gives the value of its own
# state: a sequence used twice, a replicated body, the next subset. Fields (value, width).
MEMO_CASES = {
    "sequence used twice": ([301001, 201130, 301001, 201000, 301001], 1,
                            [(100, 8), (1000, 10), (101, 8)], [100, 1000, 101]),
    "replicated body": ([102002, 201130, 12101, 201000], 1, [(1000, 10), (1001, 10)], [1000, 1001]),
    "sequence under two changes": ([201130, 301001, 201131, 301001, 202129, 301001, 201000, 202000], 1,
                                   [(1000, 10), (2000, 11), (2001, 11)], [1000, 2000, 200.1]),
    "body then plain": ([201126, 101002, 12101, 201000, 12101], 1, [(50, 6), (51, 6), (200, 8)], [50, 51, 200]),
    "next subset": ([12101, 201130, 12101], 2, [(7, 8), (1021, 10), (9, 8), (1022, 10)], [7, 1021, 9, 1022]),
    # 2 03 008 gives 0 12 101 a new reference in each subset: -5 in the first, +3 in the second.
    "new references per subset": ([203008, 12101, 203255, 12101], 2,
                                  [(0x85, 8), (10, 8), (0x03, 8), (10, 8)], [5, 13]),
}


@pytest.mark.parametrize("name", MEMO_CASES)
def test_each_state_reads_with_its_own_coding(tmp_path, name):
    descriptors, subsets, fields, expected = MEMO_CASES[name]
    w = BitWriter()
    for value, width in fields:
        w.write(value, width)
    values = decode(tmp_path, descriptors, w, [Element(12101, width=8)], {301001: [12101]}, subsets=subsets)
    assert [v.raw_value for v in values if v.descriptor == 12101] == expected
