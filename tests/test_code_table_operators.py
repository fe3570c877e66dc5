"""Under the WMO rules, operators 2 01 (width), 2 02 (scale) and 2 07 (scale,
width, reference) change quantities only: a code or flag table value keeps its
Table B coding under them, whatever the table spelling of its unit. 2 06
(local width) still applies to it. Both walkers, each value followed by a
plain sentinel element so that a width read wrongly shifts everything after
it. The package decodes under these rules by default."""

import pytest

import _vantrel
from bufr_builder import BitWriter, Element, build_message, write_table_dir
from vantrel import _core

CODED = 8023        # the element under test (6 bits, scale 0, reference -2)
SENTINEL = 12101    # 8 bits, read after the operators are cancelled

# Units naming a code or flag table, as the ecCodes and WMO tables spell them.
TABLE_UNITS = ["CODE TABLE", "FLAG TABLE", "Code table", "Flag table", "Code Table", "Code table ",
               "Common CODE TABLE C-1", "Common Code table C-11",
               "CODE TABLE defined by originating/generating centre"]
# Units of quantities, some close to a table name.
QUANTITY_UNITS = ["Numeric", "K", "%", "CODE", "TABLE", "code", "flag", "codetable", "Code tab"]

# (operators switched on, operators switched off, width change, scale change, reference power)
OPERATORS = [
    pytest.param([201131], [201000], 3, 0, 0, id="2 01 131"),
    pytest.param([201126], [201000], -2, 0, 0, id="2 01 126"),
    pytest.param([202129], [202000], 0, 1, 0, id="2 02 129"),
    pytest.param([201131, 202129], [202000, 201000], 3, 1, 0, id="2 01 131 + 2 02 129"),
    pytest.param([207001], [207000], 4, 1, 1, id="2 07 001"),
]

UNITS = [pytest.param(unit, True, id=f"table:{unit}") for unit in TABLE_UNITS] + [
    pytest.param(unit, False, id=f"quantity:{unit}") for unit in QUANTITY_UNITS
]


def tables(tmp_path, unit):
    elements = [Element(CODED, unit=unit, width=6, reference=-2), Element(SENTINEL, width=8)]
    return _vantrel.TableSet.from_eccodes(str(write_table_dir(tmp_path / "t", elements)))


def decode_wmo(message, tables):
    return _core.decode(_core.index(message), 0, tables, "wmo")[0]


def expected_coding(coded, width_change, scale_change, power):
    """(width, scale, reference) the element is read with."""
    if coded:
        return 6, 0, -2
    return 6 + width_change, scale_change, -2 * 10**power


@pytest.mark.parametrize("unit, coded", UNITS)
@pytest.mark.parametrize("on, off, width_change, scale_change, power", OPERATORS)
def test_non_compressed(tmp_path, unit, coded, on, off, width_change, scale_change, power):
    width, scale, reference = expected_coding(coded, width_change, scale_change, power)
    raw = 5
    data = BitWriter().write(raw, width).write(0xA5, 8)
    values = decode_wmo(build_message([*on, CODED, *off, SENTINEL], data), tables(tmp_path, unit))
    assert [(v.descriptor, v.raw) for v in values] == [(CODED, raw), (SENTINEL, 0xA5)]
    assert values[0].raw_value == pytest.approx((raw + reference) / 10**scale)


@pytest.mark.parametrize("unit, coded", UNITS)
@pytest.mark.parametrize("on, off, width_change, scale_change, power", OPERATORS)
def test_compressed(tmp_path, unit, coded, on, off, width_change, scale_change, power):
    width, scale, reference = expected_coding(coded, width_change, scale_change, power)
    # CODED: R0 3, NBINC 2, increments 0 1 2; SENTINEL: R0 0xA5, NBINC 0.
    data = BitWriter().write(3, width).write(2, 6)
    for increment in (0, 1, 2):
        data.write(increment, 2)
    data.write(0xA5, 8).write(0, 6)
    message = build_message([*on, CODED, *off, SENTINEL], data, subsets=3, compressed=True)
    values = decode_wmo(message, tables(tmp_path, unit))
    assert [(v.descriptor, v.raw) for v in values] == [(CODED, 3), (SENTINEL, 0xA5), (CODED, 4), (SENTINEL, 0xA5),
                                                      (CODED, 5), (SENTINEL, 0xA5)]
    assert [v.raw_value for v in values[::2]] == pytest.approx([(r + reference) / 10**scale for r in (3, 4, 5)])


@pytest.mark.parametrize("unit", ["CODE TABLE", "Numeric"])
@pytest.mark.parametrize("compressed", [False, True])
def test_local_width_applies_to_code_tables_too(tmp_path, unit, compressed):
    # 2 06 009 before the 6-bit element, under 2 01 131: 9 bits for either kind.
    data = BitWriter().write(300, 9)
    if compressed:
        data.write(0, 6)
    data.write(0xA5, 8)
    if compressed:
        data.write(0, 6)
    message = build_message([201131, 206009, CODED, 201000, SENTINEL], data, compressed=compressed)
    values = decode_wmo(message, tables(tmp_path, unit))
    assert [(v.descriptor, v.raw) for v in values] == [(CODED, 300), (SENTINEL, 0xA5)]
