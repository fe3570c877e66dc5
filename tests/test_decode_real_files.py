"""Every message of the sample files decodes with the Debian ecCodes definitions,
or fails with the error its file is known for; decoded values are checked
against what the header and geography say independently."""

import pytest

import _vantrel
from bufr_builder import messages_of

EDITION_3 = "unsupported BUFR edition 3; only edition 4 is implemented"
ODD_BYTES = "section 3 descriptor area has odd byte count"


def short_of_bits(position, width, available):
    return (f"csv/table parse error: not enough bits while reading section 4 at bit {position} for width {width} "
            f"({available} bits available)")


# File -> outcome of each message in order: None decodes, a string is the error.
OUTCOMES = {
    "ISND02_LLBD.bufr": [None],
    "IUSK73_AMMC_182300.bufr": [None],
    "aaen_55.bufr": [None] * 4,
    "aircraft_mrar_compressed.bufr": [None] * 2,
    "compress_3.bufr": [None] * 3,
    "contrived.bufr": [None],
    "edition3_syno_1.bufr": [EDITION_3] * 2,
    "edition3_temp_101.bufr": [EDITION_3] * 4,
    "g2nd_208.bufr": [None],
    "gsd3_208.bufr": [None],
    "hirs_metop_compressed.bufr": [None] * 61,
    # Its section 4 is six bits shorter than its descriptors need.
    "jason2.bufr": [short_of_bits(540114, 16, 540120)],
    "mpco_217.bufr": [None],
    # The third message's data runs out while its replication factors are read as garbage.
    "multi_invalid_messages.bufr": [EDITION_3, None, short_of_bits(568, 16, 576)],
    "nos1_208.bufr": [None],
    "sentinel1.bufr": [None],
    "synop_dwd_multi.bufr": [None] * 44,
    "synop_multi_subset_uncompressed.bufr": [None],
    # Their producers padded section 3 with one byte.
    "synop_structure_diff.bufr": [ODD_BYTES] * 2,
    "synop_wigos.bufr": [None] * 3,
    "tropical_cyclone.bufr": [None] * 3,
    "uegabe.bufr": [ODD_BYTES],
    "wave_uncompressed.bufr": [None],
}


def first_values(values):
    first = {}
    for v in values:
        first.setdefault(v.descriptor, v.raw_value)
    return first


def test_every_sample_file_is_listed(bufr_dir):
    assert sorted(p.name for p in bufr_dir.glob("*.bufr")) == sorted(OUTCOMES)


@pytest.mark.parametrize("name", sorted(OUTCOMES))
def test_sample_file(bufr_dir, eccodes_root, name):
    messages = messages_of((bufr_dir / name).read_bytes())
    assert len(messages) == len(OUTCOMES[name])
    for index, (bufr, outcome) in enumerate(zip(messages, OUTCOMES[name])):
        if outcome is not None:
            with pytest.raises(ValueError) as info:
                _vantrel.decode_values_with_definitions(bufr, str(eccodes_root))
            assert str(info.value) == outcome
            continue
        header = _vantrel.parse_bytes(bufr)
        values = _vantrel.decode_values_with_definitions(bufr, str(eccodes_root))
        assert values
        if index % 10:
            continue  # the checks below take longer than the decode; sample them
        first = first_values(values)
        if 4001 in first:  # some producers put a two-digit year in the header
            assert (first[4001] % 100, first[4002], first[4003]) == (
                header.typical_year % 100, header.typical_month, header.typical_day)
        for v in values:
            if v.descriptor in (5001, 5002) and v.raw_value is not None:
                assert -90 <= v.raw_value <= 90
            if v.descriptor in (6001, 6002) and v.raw_value is not None:
                assert -180 <= v.raw_value <= 180
        if header.compressed_data:
            # Columns x subsets, flattened subset by subset: every subset
            # repeats the same sequence of descriptors.
            subsets = header.number_of_subsets
            assert len(values) % subsets == 0
            per_subset = len(values) // subsets
            codes = [v.descriptor for v in values[:per_subset]]
            for s in {1, subsets // 2, subsets - 1} - {0}:
                assert [v.descriptor for v in values[s * per_subset:(s + 1) * per_subset]] == codes


def test_changed_reference_values_of_station_heights(bufr_dir, eccodes_root):
    # 2 03 014 gives 0 07 030 and 0 07 031 new 14-bit reference values; read
    # as ordinary elements they would shift every later value.
    values = _vantrel.decode_values_with_definitions((bufr_dir / "ISND02_LLBD.bufr").read_bytes(), str(eccodes_root))
    assert [v.data for v in values if v.descriptor in (1015, 7030, 7031)] == [
        "Rosh Haniqra", 10.0, 10.0, "Rosh Zurim", 950.0, None]
    assert [v.descriptor for v in values if v.descriptor // 100000 == 2] == []
    assert [v.data for v in values if v.descriptor == 10004] == [101590.0, None]


def test_signified_characters_of_a_radiosonde_report(bufr_dir, eccodes_root):
    values = _vantrel.decode_values_with_definitions(
        (bufr_dir / "IUSK73_AMMC_182300.bufr").read_bytes(), str(eccodes_root))
    first = first_values(values)
    # Giles, Western Australia: station 94461 at 598 m.
    assert (first[1001], first[1002], first[7030]) == (94.0, 461.0, 598.0)
    assert (first[5001], first[6001]) == (-25.0341, 128.301)
    last = values[-1]
    assert (last.descriptor, last.name, last.raw, last.raw_value, last.raw_text) == (
        205060, "operator", None, None, "Manual stop")
    pressures = [v.raw_value for v in values if v.descriptor == 7004 and v.raw_value is not None]
    assert pressures[0] == 100000.0 and all(300 < p <= 100000.0 for p in pressures)
