"""Memory settles: repeated decodes and every error path of every function
leave neither Python objects (tracemalloc) nor native memory (resident size)
behind."""

import ctypes
import gc
import os
import sys
import tracemalloc

import pytest

import _vantrel
from bufr_builder import BitWriter, Element, build_message, messages_of, write_table_dir

PAGE = os.sysconf("SC_PAGE_SIZE")

# AddressSanitizer keeps freed memory in quarantine, so sizes mean nothing there.
pytestmark = pytest.mark.skipif(os.environ.get("VANTREL_SANITIZED") == "1",
                                reason="memory sizes mean nothing under AddressSanitizer")


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


_libc = ctypes.CDLL(None)
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = MallInfo2


def native_heap_bytes() -> int:
    """Bytes in use on the C heap (0 where the C library cannot tell)."""
    if _mallinfo2 is None:
        return 0
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def growth(call, rounds: int, warmup: int = 5) -> tuple[int, int, int]:
    """(traced Python bytes, native heap bytes, resident bytes) gained over
    `rounds` calls after warm-up. Native memory is measured without
    tracemalloc, whose own tables would count in it."""
    for _ in range(warmup):
        call()
    gc.collect()
    heap_before = native_heap_bytes()
    resident_before = resident_bytes()
    for _ in range(rounds):
        call()
    gc.collect()
    heap = native_heap_bytes() - heap_before
    resident = resident_bytes() - resident_before
    tracemalloc.start()
    try:
        call()
        gc.collect()
        traced_before = tracemalloc.get_traced_memory()[0]
        for _ in range(rounds):
            call()
        gc.collect()
        traced = tracemalloc.get_traced_memory()[0] - traced_before
    finally:
        tracemalloc.stop()
    return traced, heap, resident


def assert_settles(call, rounds, traced_limit=64 * 1024, heap_limit=64 * 1024, resident_limit=4 * 1024 * 1024):
    traced, heap, resident = growth(call, rounds)
    assert traced < traced_limit, f"Python memory grew by {traced} bytes over {rounds} calls"
    assert heap < heap_limit, f"the C heap grew by {heap} bytes over {rounds} calls"
    assert resident < resident_limit, f"resident size grew by {resident} bytes over {rounds} calls"


def test_real_decodes_settle(bufr_dir, eccodes_root):
    samples = []
    for name in ("wave_uncompressed.bufr", "tropical_cyclone.bufr", "IUSK73_AMMC_182300.bufr"):
        samples.append(messages_of((bufr_dir / name).read_bytes())[0])
    tables = [_vantrel.TableSet.from_definitions(str(eccodes_root), _vantrel.parse_bytes(m)) for m in samples]
    references = [sys.getrefcount(t) for t in tables]

    def decode_all():
        for message, table_set in zip(samples, tables):
            values = _vantrel.decode_values_with_tables(message, table_set)
            for value in values[:200]:
                (value.data, value.name, value.raw, value.raw_text, value.raw_meaning, repr(value))

    assert_settles(decode_all, rounds=25)
    assert [sys.getrefcount(t) for t in tables] == references
    root = str(eccodes_root)
    assert_settles(lambda: _vantrel.decode_values_with_definitions(samples[2], root), rounds=15)


@pytest.fixture(scope="module")
def table_dir(tmp_path_factory):
    path = tmp_path_factory.mktemp("tables")
    return write_table_dir(
        path / "t",
        [Element(1001, "BLOCK", width=7), Element(12101, "TEMP", "K", 2, 0, 16),
         Element(31001, "FACTOR", width=8), Element(1015, "NAME", "CCITT IA5", width=32)],
        {301001: [1001, 12101], 301002: [301002]},
        {1001: {1: "one"}},
    )


def error_cases(table_dir, tmp_path):
    """Every error path of every function and method, as (callable, exception type)."""
    d = str(table_dir)
    good = build_message([301001], BitWriter().write(1, 7).write(300, 16))
    short = build_message([301001], BitWriter().write(1, 7))
    unknown = build_message([2001], BitWriter().write(1, 8))
    tables = _vantrel.TableSet.from_eccodes(d)
    message = _vantrel.parse_bytes(good)
    bad_csv = tmp_path / "csv"
    bad_csv.mkdir()
    (bad_csv / "BUFRCREX_TableB_en_00.csv").write_text("a,b,c\n1,2\n")
    no_seq = tmp_path / "noseq"
    no_seq.mkdir()
    (no_seq / "element.table").write_text("")
    missing = str(tmp_path / "missing")
    alias_root = tmp_path / "root"
    (alias_root / "bufr/tables/0/wmo").mkdir(parents=True)
    (alias_root / "bufr/tables/0/wmo/30").write_text("../x")
    return [
        (lambda: _vantrel.parse_bytes(bytearray(good)), TypeError),
        (lambda: _vantrel.parse_bytes(good + b"x"), ValueError),
        (lambda: _vantrel.parse_bytes(b"BUFR" + good[4:7] + b"\x03"), ValueError),
        (lambda: _vantrel.parse_bytes(), TypeError),
        (lambda: _vantrel.parse_bytes(good, data=good), TypeError),
        (lambda: _vantrel.parse_file(missing), OSError),
        (lambda: _vantrel.parse_file(d + "\0"), OSError),
        (lambda: _vantrel.parse_file("\udc80"), UnicodeEncodeError),
        (lambda: _vantrel.parse_all_bytes(good + b"BUFR\0\0\x09"), ValueError),
        (lambda: _vantrel.parse_all_bytes(good + good[:-1] + b"8"), ValueError),
        (lambda: _vantrel.parse_all_file(missing), OSError),
        (lambda: _vantrel.parse_all_file(1), TypeError),
        (lambda: _vantrel.expand_descriptors(missing, []), ValueError),
        (lambda: _vantrel.expand_descriptors(d, "301001"), TypeError),
        (lambda: _vantrel.expand_descriptors(d, {1: 2}), TypeError),
        (lambda: _vantrel.expand_descriptors(d, [1001, "x"]), TypeError),
        (lambda: _vantrel.expand_descriptors(d, [1001, -1]), OverflowError),
        (lambda: _vantrel.expand_descriptors(d, [2**70]), OverflowError),
        (lambda: _vantrel.expand_descriptors(d, [301002]), ValueError),
        (lambda: _vantrel.expand_descriptors(d, [399999, 1001]), ValueError),
        (lambda: _vantrel.expand_descriptors(d, [102001]), ValueError),
        (lambda: _vantrel.decode_values(b"nothing", d), ValueError),
        (lambda: _vantrel.decode_values(good, missing), ValueError),
        (lambda: _vantrel.decode_values(short, d), ValueError),
        (lambda: _vantrel.decode_values(unknown, d), ValueError),
        (lambda: _vantrel.decode_values(good, b"d"), TypeError),
        (lambda: _vantrel.decode_values_with_tables(good, d), TypeError),
        (lambda: _vantrel.decode_values_with_tables(short, tables), ValueError),
        (lambda: _vantrel.decode_values_with_tables(good, _vantrel.TableSet()), ValueError),
        (lambda: _vantrel.decode_values_with_definitions(good, missing), ValueError),
        (lambda: _vantrel.decode_values_with_definitions(good, str(alias_root)), ValueError),
        (lambda: _vantrel.decode_values_with_definitions(good[:-1] + b"8", missing), ValueError),
        (lambda: _vantrel.Descriptor(1, 2), TypeError),
        (lambda: _vantrel.Descriptor(1, 2, 256), OverflowError),
        (lambda: _vantrel.Descriptor("0", 1, 1), TypeError),
        (lambda: _vantrel.Descriptor.from_fxy(-1), OverflowError),
        (lambda: _vantrel.Descriptor.from_fxy(code=1.5), TypeError),
        (lambda: _vantrel.TableSet(1), TypeError),
        (lambda: _vantrel.TableSet.from_eccodes(missing), ValueError),
        (lambda: _vantrel.TableSet.from_eccodes(str(no_seq)), ValueError),
        (lambda: _vantrel.TableSet.from_eccodes(table_dir), TypeError),
        (lambda: _vantrel.TableSet.from_definitions(d, good), TypeError),
        (lambda: _vantrel.TableSet.from_definitions(missing, message), ValueError),
        (lambda: _vantrel.TableSet.from_bufr4_45(missing), ValueError),
        (lambda: _vantrel.TableSet.from_bufr4_45(str(bad_csv)), ValueError),
        (lambda: tables.get_element("001001"), TypeError),
        (lambda: tables.get_sequence(2**32), OverflowError),
        (lambda: tables.get_meaning(1001, -1), OverflowError),
        (lambda: tables.get_meaning(1001), TypeError),
        (lambda: tables.expand([301002]), ValueError),
        (lambda: tables.expand(None), TypeError),
        (lambda: _vantrel.BufrMessage(), TypeError),
        (lambda: _vantrel.DecodedValue(), TypeError),
    ]


def test_every_error_path_settles(table_dir, tmp_path):
    cases = error_cases(table_dir, tmp_path)
    for call, expected in cases:
        with pytest.raises(expected):
            call()

    def run_all():
        for call, expected in cases:
            try:
                call()
            except expected:
                pass

    assert_settles(run_all, rounds=300)


def test_successful_calls_settle(table_dir):
    d = str(table_dir)
    good = build_message([301001, 1015], BitWriter().write(1, 7).write(300, 16).write_text("AB", 32), subsets=1)
    tables = _vantrel.TableSet.from_eccodes(d)

    def run_all():
        _vantrel.parse_all_bytes(good * 3)
        m = _vantrel.parse_bytes(good)
        (repr(m), m.unexpanded_descriptors)
        _vantrel.expand_descriptors(d, [301001] * 20)
        for v in _vantrel.decode_values(good, d):
            (repr(v), v.data)
        tables.get_element(1001), tables.get_sequence(301001), tables.get_meaning(1001, 1)
        repr(tables.get_element(12101)), tables.get_sequence(301001).members, repr(_vantrel.Descriptor(0, 1, 1))

    assert_settles(run_all, rounds=1500)
