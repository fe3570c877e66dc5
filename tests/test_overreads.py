"""No function of the module reads a byte past the end of its input.

Every input here is handed over through ``guard_page.guarded_bytes``: its
last byte is the last readable byte of the process's memory at that place, so
a read of the hidden NUL that a normal ``bytes`` object carries crashes the
test process instead of passing unnoticed. The module's functions take only
``bytes`` (a ``memoryview`` is refused, see the last test).
"""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import _vantrel
from bufr_builder import BitWriter, Element, build_message, messages_of, write_table_dir
from conftest import SHARED_DATA
from guard_page import guarded_bytes, guarded_view

TESTS = Path(__file__).resolve().parent
BYTES_FUNCTIONS = [_vantrel.parse_bytes, _vantrel.parse_all_bytes]


def outcome(function, *args):
    """The result of a call as comparable data, or the ValueError's text."""
    try:
        result = function(*args)
    except ValueError as error:
        return ("error", str(error))
    if isinstance(result, list):
        return [repr(item) for item in result]
    return repr(result)


def with_length(data: bytes) -> bytes:
    """`data` with its declared total length (octets 4 to 6) set to its own length."""
    if len(data) < 7:
        return data
    return data[:4] + len(data).to_bytes(3, "big") + data[7:]


# ---------------------------------------------------------------------------
# The helper itself


@pytest.mark.parametrize("size", [0, 1, 7, 8, 4095, 4096, 4097])
def test_guarded_data_equals_its_source(size):
    data = bytes(range(256)) * (size // 256 + 1)
    data = data[:size]
    assert guarded_bytes(data) == data
    assert bytes(guarded_view(data)) == data
    assert guarded_view(data).readonly


@pytest.mark.parametrize("kind", ["view", "bytes"])
@pytest.mark.parametrize("reach, returncode", [(0, 0), (1, -11)])
def test_reading_past_the_last_byte_crashes(kind, reach, returncode):
    # The last data byte is readable; the one after it (where a bytes object
    # keeps its hidden NUL) is not: SIGSEGV.
    address = {
        "view": "view = guarded_view(b'BUFR'); start = ctypes.addressof(ctypes.c_char.from_buffer(view.obj)) "
                "+ len(view.obj) - 4096 - 4",
        "bytes": "data = guarded_bytes(b'BUFR'); start = id(data) + bytes.__basicsize__ - 1",
    }[kind]
    script = (
        "import ctypes, sys\n"
        f"sys.path.insert(0, {str(TESTS)!r})\n"
        "from guard_page import guarded_bytes, guarded_view\n"
        f"{address}\n"
        f"assert ctypes.string_at(start, 4 + {reach})[:4] == b'BUFR'\n"
    )
    # A plain interpreter: a preloaded sanitizer runtime would turn the signal into its own report.
    environment = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, env=environment)
    assert result.returncode == returncode, result.stderr


# ---------------------------------------------------------------------------
# Message framing: every prefix of a message, with the declared length
# matching the prefix, so each check of the parser meets the end of the buffer.


def framing_messages():
    data = BitWriter().write(7, 8).write_text("AB", 16)
    return {
        "plain": build_message([1001, 301011], data),
        "section2": build_message([1001], data, section2=b"local data"),
        "empty": build_message([], b""),
        "short section 4": build_message([1001], b"", section4_length=2),
    }


@pytest.mark.parametrize("name", list(framing_messages()))
@pytest.mark.parametrize("function", BYTES_FUNCTIONS, ids=lambda f: f.__name__)
def test_every_prefix_stays_inside_the_buffer(name, function):
    message = framing_messages()[name]
    for cut in range(len(message) + 1):
        for data in {message[:cut], with_length(message[:cut])}:
            assert outcome(function, guarded_bytes(data)) == outcome(function, data)


@pytest.mark.parametrize("tail", [b"B", b"BU", b"BUF", b"BUFR", b"BUFR\x00", b"BUFR\x00\x00", b"BUFR\x00\x00\x1e"])
def test_scanning_a_marker_cut_at_the_end(tail):
    message = framing_messages()["plain"]
    for data in (tail, message + tail, b"junk" + tail):
        assert outcome(_vantrel.parse_all_bytes, guarded_bytes(data)) == outcome(_vantrel.parse_all_bytes, data)


@pytest.mark.parametrize(
    "n, message",
    [
        (7, "message is too short to be BUFR"),
        (8, "section 1 at offset 8 is truncated"),   # the edition byte is the last byte
        (10, "section 1 at offset 8 is truncated"),
        (11, "section 1 at offset 8 is truncated"),  # section 1 length readable, section 1 fields not
        (17, "section 1 at offset 8 is truncated"),
        (18, "section 0 at offset 23 is truncated"),  # the section 2 flag is the last byte
        (24, "section 0 at offset 23 is truncated"),
        (25, "section 3 at offset 11 is truncated"),  # the typical year ends the buffer; section 3 at 8 + 3
    ],
)
def test_short_buffers_at_each_field(n, message):
    # A section 1 length of 3 keeps every declared length consistent, so each
    # size stops at the first field that lies past the end.
    data = (b"BUFR" + n.to_bytes(3, "big") + b"\x04" + b"\x00\x00\x03" + bytes(21))[:n]
    with pytest.raises(ValueError) as info:
        _vantrel.parse_bytes(guarded_bytes(data))
    assert str(info.value) == message


@pytest.mark.parametrize("extra, message", [(0, None), (1, "declared length {} does not match buffer length {}")])
def test_terminator_is_the_last_readable_bytes(extra, message):
    data = framing_messages()["plain"] + bytes(extra)
    if message is None:
        assert _vantrel.parse_bytes(guarded_bytes(data)).total_length == len(data)
    else:
        with pytest.raises(ValueError, match=message.format(len(data) - extra, len(data))):
            _vantrel.parse_bytes(guarded_bytes(data))


# ---------------------------------------------------------------------------
# Decoding: built messages and every shared sample.


def test_decoding_built_messages(tmp_path):
    elements = [Element(1001, width=7), Element(1015, unit="CCITT IA5", width=24), Element(12101, scale=2, width=16)]
    tables = _vantrel.TableSet.from_eccodes(str(write_table_dir(tmp_path / "t", elements)))
    data = BitWriter().write(5, 7).write_text("ABC", 24).write(28000, 16)
    compressed = BitWriter().write(5, 7).write(0, 6)
    for message in (build_message([1001, 1015, 12101], data),
                    build_message([1001], compressed, subsets=3, compressed=True)):
        for cut in range(len(message) + 1):
            piece = with_length(message[:cut])
            assert outcome(_vantrel.decode_values_with_tables, guarded_bytes(piece), tables) == \
                outcome(_vantrel.decode_values_with_tables, piece, tables)


def sample_files():
    return sorted(SHARED_DATA.glob("bufr*/*.bufr"))


@pytest.mark.parametrize("path", sample_files(), ids=lambda p: f"{p.parent.name}/{p.name}")
def test_shared_samples(path, eccodes_root, latest_wmo_dir):
    data = path.read_bytes()
    assert outcome(_vantrel.parse_all_bytes, guarded_bytes(data)) == outcome(_vantrel.parse_all_bytes, data)
    for message in messages_of(data)[:3]:
        assert outcome(_vantrel.parse_bytes, guarded_bytes(message)) == outcome(_vantrel.parse_bytes, message)
        # Decoding is compared by value count and first values only: the big
        # satellite messages hold hundreds of thousands of values.
        for function, argument in ((_vantrel.decode_values, str(latest_wmo_dir)),
                                   (_vantrel.decode_values_with_definitions, str(eccodes_root))):
            assert summary(function, guarded_bytes(message), argument) == summary(function, message, argument)


def summary(function, data, argument):
    try:
        values = function(data, argument)
    except ValueError as error:
        return str(error)
    return len(values), [repr(v) for v in values[:50]], [repr(v) for v in values[-50:]]


@pytest.mark.parametrize("function, others", [
    (_vantrel.parse_bytes, {}),
    (_vantrel.parse_all_bytes, {}),
    (_vantrel.decode_values, {"table_dir": "unused"}),
    (_vantrel.decode_values_with_tables, {"tables": _vantrel.TableSet()}),
    (_vantrel.decode_values_with_definitions, {"definitions_root": "unused"}),
], ids=lambda f: getattr(f, "__name__", ""))
def test_functions_take_only_bytes(function, others):
    view = guarded_view(framing_messages()["plain"])
    with pytest.raises(TypeError, match="^argument 'data': 'memoryview' object cannot be cast as 'bytes'$"):
        function(data=view, **others)


@pytest.mark.parametrize("n", [29, 30])
def test_complete_message_around_the_last_section1_field(n):
    # Section 1 of length 3, section 3 of length 7, then a section 4 that
    # stretches to the terminator: all lengths agree, but the fixed section 1
    # fields (up to offset 29) overlap the later sections. At 29 bytes the
    # last field lies past the end; at 30 it is the terminator's last byte.
    l4 = n - 22
    data = (b"BUFR" + n.to_bytes(3, "big") + b"\x04" + b"\x00\x00\x03" + b"\x00\x00\x07\x00\x00\x01\x00"
            + l4.to_bytes(3, "big") + bytes(l4 - 3) + b"7777")
    assert len(data) == n
    if n == 29:
        with pytest.raises(ValueError, match="^section 1 at offset 8 is truncated$"):
            _vantrel.parse_bytes(guarded_bytes(data))
    else:
        message = _vantrel.parse_bytes(guarded_bytes(data))
        assert (message.section4_length, message.typical_minute, message.typical_second) == (8, ord("7"), ord("7"))
