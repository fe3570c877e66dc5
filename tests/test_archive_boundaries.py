"""Framing and header boundaries of the archive reader, each tested on both sides."""

from __future__ import annotations

import pytest

import vantrel

from bufr_builder import BitWriter, build_message, u24

GOOD = build_message([12101], BitWriter().write(0x7F, 8))
N = len(GOOD)


def with_gap(message: bytes, gap: int) -> bytes:
    """`message` with `gap` bytes between the end of section 4 and "7777"."""
    return message[:4] + u24(len(message) + gap) + message[7:-4] + b"\0" * gap + b"7777"


@pytest.mark.parametrize(
    "gap, warnings",
    [
        (0, []),
        (1, ['1 bytes between the end of section 4 and "7777" were skipped']),
        (3, ['3 bytes between the end of section 4 and "7777" were skipped']),
    ],
)
def test_every_byte_before_the_end_marker_is_reported(gap, warnings):
    with vantrel.open(with_gap(GOOD, gap)) as reader:
        assert reader[0].error is None
        assert reader[0].warnings == warnings


@pytest.mark.parametrize(
    "tail, warnings",
    [
        # The marker in the last four bytes is a candidate of its own.
        (b"BUFR", [f"no message at offset {N}: only 4 bytes follow the marker, fewer than the 8 of section 0"]),
        (b"xBUFR", [f"no message at offset {N + 1}: only 4 bytes follow the marker, fewer than the 8 of section 0"]),
        (b"BUFRx", [f"no message at offset {N}: only 5 bytes follow the marker, fewer than the 8 of section 0"]),
        # Three bytes of it are no candidate: trailing bytes.
        (b"BUF", [f"3 bytes after the last message (offset {N})"]),
    ],
)
def test_marker_at_the_very_end_of_the_data(tail, warnings):
    with vantrel.open(GOOD + tail) as reader:
        assert [m.offset for m in reader] == [0]
        assert reader.warnings == warnings


@pytest.mark.parametrize("data", [b"BUFR", b"....BUFR"])
def test_lone_marker_at_the_end_is_reported_as_a_candidate(data):
    with vantrel.open(data) as reader:
        assert len(reader) == 0
        assert reader.warnings == [
            f"no message at offset {len(data) - 4}: only 4 bytes follow the marker, fewer than the 8 of section 0"]


@pytest.mark.parametrize("trailing", [b"", b"\r\n", b"junk"])
def test_bytes_after_a_message_that_follows_a_bad_candidate(trailing):
    # A failed candidate before a good message does not hide the bytes after it.
    data = b"BUFR\x00\x00\x05\x04" + GOOD + trailing
    with vantrel.open(data) as reader:
        assert [m.offset for m in reader] == [8]
        expected = ["no message at offset 0: declared length 5 is below the 8 bytes of section 0",
                    "skipped 8 bytes at offset 0 before the message at offset 8"]
        if trailing:
            expected.append(f"{len(trailing)} bytes after the last message (offset {8 + N})")
        assert reader.warnings == expected
