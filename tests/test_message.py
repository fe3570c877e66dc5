"""Parsing one message: header fields, section lengths and every check in order."""

import pytest

import _vantrel
from bufr_builder import BitWriter, build_message, u24

FIELDS = [
    "total_length", "edition", "section1_length", "master_table_number", "originating_centre",
    "originating_subcentre", "update_sequence_number", "local_section_present", "data_category",
    "international_data_subcategory", "local_data_subcategory", "master_tables_version_number",
    "local_tables_version_number", "typical_year", "typical_month", "typical_day", "typical_hour",
    "typical_minute", "typical_second", "section2_length", "section3_length", "number_of_subsets",
    "observed_data", "compressed_data", "unexpanded_descriptors", "section4_length",
    "section4_data_offset", "section4_data_length",
]


def parse(data):
    return _vantrel.parse_bytes(data)


def error_of(data):
    with pytest.raises(ValueError) as info:
        parse(data)
    assert len(info.value.args) == 1
    return str(info.value)


def test_header_fields_round_trip():
    data = build_message(
        [307080, 1001], BitWriter().write(5, 8), subsets=3, compressed=True, observed=False,
        master_table_number=1, originating_centre=0xABCD, originating_subcentre=0x1234,
        update_sequence_number=7, data_category=2, international_data_subcategory=3,
        local_data_subcategory=4, master_tables_version_number=35, local_tables_version_number=6,
        typical_year=2023, typical_month=12, typical_day=31, typical_hour=23, typical_minute=59,
        typical_second=58,
    )
    m = parse(data)
    assert (m.total_length, m.edition, m.section1_length) == (len(data), 4, 22)
    assert (m.master_table_number, m.originating_centre, m.originating_subcentre) == (1, 0xABCD, 0x1234)
    assert (m.update_sequence_number, m.local_section_present) == (7, False)
    assert (m.data_category, m.international_data_subcategory, m.local_data_subcategory) == (2, 3, 4)
    assert (m.master_tables_version_number, m.local_tables_version_number) == (35, 6)
    assert (m.typical_year, m.typical_month, m.typical_day) == (2023, 12, 31)
    assert (m.typical_hour, m.typical_minute, m.typical_second) == (23, 59, 58)
    assert (m.section2_length, m.section3_length, m.number_of_subsets) == (0, 11, 3)
    assert (m.observed_data, m.compressed_data) == (False, True)
    assert m.unexpanded_descriptors == [307080, 1001]
    assert (m.section4_length, m.section4_data_offset, m.section4_data_length) == (5, 30 + 11 + 4, 1)
    assert data[m.section4_data_offset] == 5
    assert repr(m) == f"BufrMessage(edition=4, length={len(data)}, subsets=3, descriptors=[307080, 1001])"


def test_attributes_are_read_only_typed_and_in_order():
    m = parse(build_message([1001]))
    own = [name for name in vars(_vantrel.BufrMessage) if not name.startswith("__")]
    assert own == FIELDS
    for name in FIELDS:
        with pytest.raises(AttributeError):
            setattr(m, name, 1)
    for name in ("local_section_present", "observed_data", "compressed_data"):
        assert type(getattr(m, name)) is bool
    for name in set(FIELDS) - {"local_section_present", "observed_data", "compressed_data", "unexpanded_descriptors"}:
        assert type(getattr(m, name)) is int
    listed = m.unexpanded_descriptors
    listed.append(5)
    assert m.unexpanded_descriptors == [1001]


def test_class_has_no_constructor_docstring_or_equality():
    with pytest.raises(TypeError, match=r"^cannot create 'builtins.BufrMessage' instances$"):
        _vantrel.BufrMessage()
    assert _vantrel.BufrMessage.__module__ == "builtins"
    assert _vantrel.BufrMessage.__doc__ is None
    data = build_message([1001])
    a, b = parse(data), parse(data)
    assert a != b and a == a
    assert hash(a) != hash(b) or a is b


@pytest.mark.parametrize("flag", [0x80, 0x01, 0xFF])
def test_any_nonzero_optional_flag_means_section2(flag):
    data = build_message([1001], section2=b"\1\2\3\4\5\6", optional_section_flag=flag)
    m = parse(data)
    assert m.local_section_present is True
    assert m.section2_length == 10
    assert m.section3_length == 9
    assert m.unexpanded_descriptors == [1001]


@pytest.mark.parametrize(
    "pair, code", [(b"\x01\x01", 1001), (b"\xc1\x0b", 301011), (b"\x40\xff", 100255), (b"\xff\xff", 363255)]
)
def test_descriptor_bytes(pair, code):
    data = build_message([], section3_extra=pair)
    assert parse(data).unexpanded_descriptors == [code]


def test_empty_descriptor_list_and_short_section4():
    m = parse(build_message([]))
    assert m.unexpanded_descriptors == []
    assert repr(m).endswith("descriptors=[])")
    # Section 4 declaring length 3 (only its length field): the data area is
    # empty and would start past the section's end.
    data = build_message([1001], b"", section4_length=3)
    data = with_length(data[:-5] + b"7777")  # drop the reserved byte
    m = parse(data)
    assert (m.section4_length, m.section4_data_length) == (3, 0)
    assert m.section4_data_offset == len(data) - 4 - 3 + 4


def with_length(data: bytes) -> bytes:
    """Rewrites the total length in section 0 to match the buffer."""
    return data[:4] + u24(len(data)) + data[7:]


GOOD = build_message([1001, 1002], BitWriter().write(1, 8).write(2, 8))
S3 = 8 + 22  # section 3 offset of GOOD (no section 2)
S4 = S3 + 11


@pytest.mark.parametrize(
    "data, message",
    [
        (b"BUFR\0\0\x07", "message is too short to be BUFR"),
        (b"BUFQ\0\0\x08\x04", "missing BUFR marker"),
        (b"xBUFR\0\0\x08", "missing BUFR marker"),
        # The edition is checked before the total length.
        (b"BUFR\0\0\x99\x03", "unsupported BUFR edition 3; only edition 4 is implemented"),
        (GOOD + b"\0", f"declared length {len(GOOD)} does not match buffer length {len(GOOD) + 1}"),
        (with_length(b"BUFR\0\0\0\x04\0\0"), "section 1 at offset 8 is truncated"),
        (with_length(b"BUFR\0\0\0\x04\0\0\x16" + bytes(18)), "section 1 at offset 8 is truncated"),
        (with_length(b"BUFR\0\0\0\x04\0\0\x03" + bytes(13)), "section 0 at offset 23 is truncated"),
        (with_length(GOOD[:S3 + 2]), f"section 3 at offset {S3} is truncated"),
        (build_message([1001], section3_length=6), f"section 3 at offset {S3} is truncated"),
        (build_message([1001], section3_length=8), "section 3 descriptor area has odd byte count"),
        (build_message([1001], section3_length=200), f"section 3 at offset {S3} is truncated"),
        (build_message([1001], section2=b"abc", section2_length=999), f"section 2 at offset {S3} is truncated"),
        (build_message([1001], section4_length=999), f"section 4 at offset {S4 - 2} is truncated"),
        (with_length(GOOD[:-4]), f"section 5 at offset {len(GOOD) - 4} is truncated"),
        (GOOD[:-1] + b"8", "section 5 terminator is not 7777"),
    ],
    ids=lambda v: v if isinstance(v, str) else None,
)
def test_errors_in_check_order(data, message):
    assert error_of(data) == message


@pytest.mark.parametrize("n", range(11, 30))
def test_short_buffers_never_read_past_the_end(n):
    # Section 1 declares 3 bytes, so the lengths stay consistent while the
    # fixed section 1 fields (up to offset 29) lie beyond the buffer.
    data = with_length(b"BUFR\0\0\0\x04" + u24(3) + bytes(n - 11))
    if n <= 17:
        expected = "section 1 at offset 8 is truncated"
    elif n <= 24:
        expected = "section 0 at offset 23 is truncated"
    else:
        expected = "section 3 at offset 11 is truncated"  # zero length at S3 = 11
    assert error_of(data) == expected


def test_complete_message_shorter_than_section1_fields():
    # Every section is present and consistent, yet the buffer ends at 26 bytes:
    # the single-byte fields at offsets 26 to 29 do not exist.
    data = b"BUFR" + u24(26) + b"\x04" + u24(3) + u24(7) + b"\0\0\x01\0" + u24(4) + b"\0" + b"7777"
    assert len(data) == 26
    assert error_of(data) == "section 1 at offset 8 is truncated"
