"""Finding every message of a buffer or a file."""

import pytest

import _vantrel
from bufr_builder import BitWriter, build_message, messages_of, u24

A = build_message([1001], BitWriter().write(1, 8))
B = build_message([1002, 1003], BitWriter().write(2, 16), subsets=2)


def lengths(data):
    return [m.total_length for m in _vantrel.parse_all_bytes(data)]


@pytest.mark.parametrize(
    "data, expected",
    [
        (b"", []),
        (b"BUF", []),
        (b"no marker anywhere in this buffer at all" * 10, []),
        (A, [len(A)]),
        (b"junk" + A + b"\0\0GARBAGE" + B + b"7777 trailing junk BUF", [len(A), len(B)]),
        (A + B + A, [len(A), len(B), len(A)]),
    ],
)
def test_messages_are_found_between_junk(data, expected):
    assert lengths(data) == expected


def test_scan_resumes_after_declared_length():
    # A "BUFR" inside a message's declared length is never taken for a marker.
    inner = build_message([1001], BitWriter().write_bytes(b"BUFR\x00\x00\x08\x04"))
    assert lengths(inner) == [len(inner)]


@pytest.mark.parametrize(
    "data, message",
    [
        (A + b"BUFR\0\0\x09", "message is too short to be BUFR"),
        (A + b"xxBUFR" + u24(500) + b"\x04" + bytes(10), f"section 0 at offset {len(A) + 2} is truncated"),
        (A + B + b"BUFR" + u24(9999) + b"\x04", f"section 0 at offset {len(A) + len(B)} is truncated"),
        # A declared length of 0 would never move the scan forward.
        (b"BUFR\0\0\0\x04" + A, "message is too short to be BUFR"),
        # Lengths 1 to 7 are returned by the scan and rejected by the parser.
        (b"BUFR\0\0\x05\x04" + A, "message is too short to be BUFR"),
        (A + build_message([1001], edition=3), "unsupported BUFR edition 3; only edition 4 is implemented"),
    ],
)
def test_scan_and_parse_failures_return_nothing(data, message):
    with pytest.raises(ValueError) as info:
        _vantrel.parse_all_bytes(data)
    assert str(info.value) == message


def test_file_functions(tmp_path):
    two = tmp_path / "two.bufr"
    two.write_bytes(A + B)
    assert [m.number_of_subsets for m in _vantrel.parse_all_file(str(two))] == [1, 2]
    with pytest.raises(ValueError, match=rf"^declared length {len(A)} does not match buffer length {len(A) + len(B)}$"):
        _vantrel.parse_file(str(two))
    one = tmp_path / "one.bufr"
    one.write_bytes(B)
    assert _vantrel.parse_file(path=str(one)).unexpanded_descriptors == [1002, 1003]


# Message counts as documented for the shared samples.
DOCUMENTED = {
    "hirs_metop_compressed.bufr": 61, "synop_dwd_multi.bufr": 44, "aircraft_mrar_compressed.bufr": 2,
    "compress_3.bufr": 3, "synop_multi_subset_uncompressed.bufr": 1, "synop_wigos.bufr": 3,
    "tropical_cyclone.bufr": 3, "wave_uncompressed.bufr": 1, "ISND02_LLBD.bufr": 1,
    "IUSK73_AMMC_182300.bufr": 1, "jason2.bufr": 1, "contrived.bufr": 1,
}
# Files that hold a message the parser must reject, with the reason.
REJECTED = {
    "multi_invalid_messages.bufr": "unsupported BUFR edition 3; only edition 4 is implemented",
    "edition3_syno_1.bufr": "unsupported BUFR edition 3; only edition 4 is implemented",
    "edition3_temp_101.bufr": "unsupported BUFR edition 3; only edition 4 is implemented",
    "uegabe.bufr": "section 3 descriptor area has odd byte count",
    "synop_structure_diff.bufr": "section 3 descriptor area has odd byte count",
}


def test_every_shared_sample(bufr_dir):
    files = sorted(p for p in bufr_dir.iterdir() if p.suffix == ".bufr")
    assert len(files) >= 20
    for path in files:
        if path.name in REJECTED:
            with pytest.raises(ValueError) as info:
                _vantrel.parse_all_file(str(path))
            assert str(info.value) == REJECTED[path.name], path.name
            continue
        messages = _vantrel.parse_all_file(str(path))
        assert len(messages) == len(messages_of(path.read_bytes())), path.name
        if path.name in DOCUMENTED:
            assert len(messages) == DOCUMENTED[path.name], path.name
        assert all(m.edition == 4 and m.section4_data_length > 0 for m in messages)
        assert [m.total_length for m in _vantrel.parse_all_bytes(path.read_bytes())] == [m.total_length for m in messages]


def test_header_of_a_known_sample(bufr_dir):
    m = _vantrel.parse_all_file(str(bufr_dir / "synop_dwd_multi.bufr"))[0]
    assert (m.originating_centre, m.master_tables_version_number, m.number_of_subsets) == (78, 18, 25)
    assert (m.compressed_data, m.unexpanded_descriptors[:3]) == (False, [307086, 1023, 4025])
