"""The last valid and the first invalid value of each table, range and width
that element decoding depends on, through decode_values_with_tables."""

import pytest

import _vantrel
from bufr_builder import BitWriter, Element, build_message, write_table_dir
from guard_page import guarded_bytes

TEXT = "CCITT IA5"


def decode(tmp_path, descriptors, data, elements, subsets=1):
    tables = _vantrel.TableSet.from_eccodes(str(write_table_dir(tmp_path / "tables", elements)))
    return _vantrel.decode_values_with_tables(guarded_bytes(build_message(descriptors, data, subsets=subsets)), tables)


# Powers of ten: exact table values up to 10^22, computed ones from 10^23 on.
@pytest.mark.parametrize("scale", [21, 22, 23, 24, -21, -22, -23, -24])
def test_scale_around_the_end_of_the_power_table(tmp_path, scale):
    [value] = decode(tmp_path, [12101], BitWriter().write(12345, 16), [Element(12101, scale=scale, width=16)])
    assert value.raw_value == pytest.approx(12345 / 10.0 ** scale, rel=1e-15)


# IA5 text: bytes up to 0x7F are kept, from 0x80 on they become '?'.
@pytest.mark.parametrize("byte, text", [(0x7E, "A~"), (0x7F, "A\x7f"), (0x80, "A?"), (0xFE, "A?")])
def test_ia5_text_at_the_end_of_ascii(tmp_path, byte, text):
    [value] = decode(tmp_path, [1015], BitWriter().write_bytes(bytes([0x41, byte])), [Element(1015, unit=TEXT, width=16)])
    assert value.raw_text == text


# Character position codes k * 1000 + width / 8, the division truncated.
@pytest.mark.parametrize("width, code", [(15, 1001.0), (16, 1002.0), (17, 1002.0), (23, 1002.0), (24, 1003.0)])
def test_position_code_of_widths_that_are_not_whole_bytes(tmp_path, width, code):
    [value] = decode(tmp_path, [1015], BitWriter().write_bytes(b"ABC", width), [Element(1015, unit=TEXT, width=width)])
    assert value.raw_value == code


# Quoted reprs: NUL has its own escape, the next code point the generic one.
@pytest.mark.parametrize("byte, shown", [(0x00, "\\0"), (0x01, "\\u{1}"), (0x1F, "\\u{1f}"), (0x20, " ")])
def test_repr_escapes_at_the_bottom_of_the_code_points(tmp_path, byte, shown):
    [value] = decode(tmp_path, [1015], BitWriter().write_bytes(bytes([0x41, byte, 0x42])),
                     [Element(1015, unit=TEXT, width=24)])
    assert repr(value) == f'DecodedValue(001015, "A{shown}B")'


@pytest.mark.parametrize("byte, shown", [(0x00, "\\0"), (0x01, "\\u{1}"), (0x7E, "~"), (0x7F, "\\u{7f}")])
def test_element_repr_escapes(tmp_path, byte, shown):
    tables = _vantrel.TableSet.from_eccodes(str(write_table_dir(tmp_path / "t", [Element(1001, name=f"A{chr(byte)}B")])))
    assert repr(tables.get_element(1001)) == f'ElementDefinition(001001, name="A{shown}B")'


# 2 25 255: a difference value is one bit wider than the element, up to 65535.
BITMAP = [236000, 31031, 225255]  # one present position, then its difference value
FLAG = Element(31031, width=1)


@pytest.mark.parametrize("width", [62, 63])
def test_difference_values_up_to_64_bits(tmp_path, width):
    data = BitWriter().write(5, width).write(0, 1).write(7, width + 1)
    values = decode(tmp_path, [12101] + BITMAP, data, [Element(12101, width=width), FLAG])
    assert (values[0].raw, values[-1].descriptor, values[-1].raw) == (5, 12101, 7)
    assert values[-1].raw_value == float(7 - 2 ** width)  # the sum is exact, then rounded once


@pytest.mark.parametrize("width, read", [(64, 65), (65533, 65534), (65534, 65535), (65535, 65535)])
def test_difference_width_and_its_cap(tmp_path, width, read):
    # 2 06 016 reads the element itself with 16 bits; its difference value
    # uses the Table B width plus one.
    data = BitWriter().write(5, 16).write(0, 1).write(0, 64)
    with pytest.raises(ValueError) as info:
        decode(tmp_path, [206016, 12101] + BITMAP, data, [Element(12101, width=width), FLAG])
    assert str(info.value) == f"csv/table parse error: cannot read {read} bits into u64"
