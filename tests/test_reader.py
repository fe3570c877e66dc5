"""vantrel.open on built data: framing that never loses a good message, every
edition's header, accepted quirks, sources, and table discovery."""

from __future__ import annotations

import io
import mmap
import os
import re
import time

import pytest

import vantrel
from vantrel import tables as vtables
from vantrel.errors import DataError, HeaderError, TablesError

from bufr_builder import BitWriter, Element, build_message, u24, write_table_dir
from conftest import SHARED_DATA


def synop(value: int = 0x7F, **kwargs) -> bytes:
    """A one-value message (element 012101, 8 bits here) decoded with `local_tables`."""
    return build_message([12101], BitWriter().write(value, 8), **kwargs)


@pytest.fixture()
def local_tables(tmp_path):
    return write_table_dir(tmp_path / "t", [Element(12101, "TEMPERATURE", "K", 1, 0, 8, "airTemperature")])


def old_edition(edition: int, *, year_of_century: int = 12, section1_length: int | None = None,
                descriptors=(12101,), data: bytes = b"\x7f\x00", section3_pad: bytes = b"\x00") -> bytes:
    """An edition 2 or 3 message: one-byte sub-centre and centre (edition 3) or
    a two-byte centre (edition 2), year of century, no seconds."""
    if edition == 3:
        centre = bytes([7, 98])  # sub-centre 7, centre 98
    else:
        centre = (98).to_bytes(2, "big")
    body1 = bytes([0]) + centre + bytes([1, 0, 2, 101, 13, 0, year_of_century, 10, 30, 6, 45])
    sec1 = u24(section1_length or len(body1) + 3) + body1
    body3 = (1).to_bytes(2, "big") + bytes([0x80]) + b"".join(
        bytes([(d // 100000 << 6) | (d // 1000) % 100, d % 1000]) for d in descriptors) + section3_pad
    sec3 = u24(len(body3) + 4) + b"\0" + body3
    sec4 = u24(len(data) + 4) + b"\0" + data
    rest = sec1 + sec3 + sec4 + b"7777"
    return b"BUFR" + u24(8 + len(rest)) + bytes([edition]) + rest


def frames(reader):
    return [(m.index, m.offset, m.length) for m in reader]


# ---- framing ---------------------------------------------------------------------------------

GOOD = synop()
N = len(GOOD)


@pytest.mark.parametrize(
    "data, kept, warned",
    [
        (GOOD + GOOD, [0, N], 0),
        (b"junk BUFR junk\n" + GOOD, [15], 2),                       # junk holding the marker, and its bytes
        (GOOD + GOOD[:-1], [0], 1),                                   # truncated last message
        (GOOD + b"BUFR\x00\x00\x07\x04" + GOOD, [0, N + 8], 2),       # declared length 7
        (GOOD + b"BUFR\x00\x00\x00\x04" + GOOD, [0, N + 8], 2),       # declared length 0
        (GOOD + b"BUFR\x00\x00\x08\x04", [0], 1),                     # length 8 but no "7777"
        (b"BUFR\x00\x00\x0b7777" + GOOD, [0, 11], 0),                 # the shortest frame
        (b"BUFR\xff\xff\xff\x04" + GOOD, [8], 2),                     # length beyond the data
        # A bulletin's envelope: each byte range no message holds is said.
        (b"ZCZC 001\r\r\nISMD01 EGRR 170600\r\r\n" + GOOD + b"\r\r\nNNNN\r\r\n" + GOOD, [32, 32 + N + 10], 2),
        (b"\0" + GOOD, [1], 1),                                       # a damaged marker leaves its bytes
        (b"BUFR" + u24(8 + 2 * N) + b"\x04" + GOOD + GOOD, [8, 8 + N], 2),  # a stray length ending on a "7777"
        (b"BUFR" + u24(8 + N) + b"\x04" + GOOD, [8], 2),                      # ... that spans one message exactly
        (GOOD + b"\r\r\n\x03", [0], 1),                               # trailing bytes
        (b"BUF", [], 1),
        (b"", [], 0),
    ],
)
def test_framing_keeps_every_good_message(data, kept, warned):
    with vantrel.open(data) as reader:
        assert [m.offset for m in reader] == kept
        assert [m.index for m in reader] == list(range(1, len(kept) + 1))
        assert len(reader.warnings) == warned


def test_marker_inside_another_message_is_not_a_message():
    # The value bytes spell "BUFR": framing jumps over the whole message.
    inner = build_message([12101, 12101, 12101, 12101], BitWriter().write_bytes(b"BUFR"))
    with vantrel.open(inner + inner) as reader:
        assert frames(reader) == [(1, 0, len(inner)), (2, len(inner), len(inner))]
        assert reader.warnings == []


def test_bad_candidates_name_offset_and_reason():
    data = b"xxBUFR\x00\x00\x05" + GOOD + GOOD[:20]
    with vantrel.open(data) as reader:
        assert len(reader) == 1
        assert reader.warnings[0] == "no message at offset 2: declared length 5 is below the 8 bytes of section 0"
        assert reader.warnings[1] == "skipped 9 bytes at offset 0 before the message at offset 9"
        assert reader.warnings[2].startswith(f"no message at offset {9 + N}: declared length {N} runs past")
        assert "truncated" in reader.warnings[2]


def test_megabytes_of_markers_cost_bounded_work():
    data = b"BUFR" * (1 << 20) + GOOD
    start = time.perf_counter()
    with vantrel.open(data) as reader:
        elapsed = time.perf_counter() - start
        assert [m.offset for m in reader] == [4 << 20]
        # Issues are capped: the rest is one summary line.
        assert len(reader.warnings) == 1001
        assert reader.warnings[-1].endswith("more candidates framed no message")
    assert elapsed < 5


# ---- headers of every edition ----------------------------------------------------------------

@pytest.mark.parametrize("edition, centre, subcentre", [(3, 98, 7), (2, 98, None)])
def test_old_edition_headers(edition, centre, subcentre):
    with vantrel.open(old_edition(edition)) as reader:
        m = reader[0]
        assert m.error is None and m.edition == edition
        assert (m.centre, m.subcentre) == (centre, subcentre)
        assert m.international_subcategory is None and m.second is None
        assert (m.data_category, m.local_subcategory, m.master_table_version, m.local_table_version) == (2, 101, 13, 0)
        assert m.datetime.isoformat() == "2012-10-30T06:45:00"
        assert m.descriptors == [12101] and m.number_of_subsets == 1 and m.observed and not m.compressed
        # The index holds the same header, with -1 for a field the edition lacks.
        row = {name: int(column[0]) for name, column in reader.index.items()}
        for name in ("centre", "subcentre", "international_subcategory", "second", "year", "minute", "edition"):
            assert row[name] == (-1 if getattr(m, name) is None else getattr(m, name)), name


@pytest.mark.parametrize("coded, year", [(0, 2000), (49, 2049), (50, 1950), (99, 1999), (100, 2000)])
def test_year_of_century(coded, year):
    with vantrel.open(old_edition(3, year_of_century=coded)) as reader:
        assert (reader[0].year, reader[0].year_of_century, reader[0].warnings) == (year, coded, [])


def test_year_of_century_above_100_is_read_with_a_warning():
    with vantrel.open(old_edition(3, year_of_century=101)) as reader:
        assert reader[0].year == 2001
        assert reader[0].warnings == ["year of century 101 is above 100; read as 2001"]
        assert reader.index["quirks"].tolist() == [2]


@pytest.mark.parametrize("edition", [0, 1, 5, 255])
def test_unsupported_editions_fail_alone(edition):
    bad = GOOD[:7] + bytes([edition]) + GOOD[8:]
    with vantrel.open(GOOD + bad + GOOD) as reader:
        assert [m.error for m in reader] == [None, f"unsupported BUFR edition {edition}; editions 2, 3 and 4 are read", None]
        with pytest.raises(HeaderError, match=f"^message 2 at offset {N}: unsupported BUFR edition"):
            reader[1].values()


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"section1_length": 21}, "section 1 length 21 does not fit: edition 4 needs at least 22 bytes"),
        ({"section3_length": 6}, "section 3 at offset 30 is truncated"),
        ({"section4_length": 3}, "section 4 at offset 39 is truncated"),
        ({"section4_length": 7}, "section 4 at offset 39 is truncated"),
    ],
)
def test_inconsistent_section_lengths(kwargs, error):
    with vantrel.open(synop(**kwargs)) as reader:
        assert reader[0].error.startswith(error)


def test_edition3_section1_minimum():
    # 17 bytes hold every edition 3 field; 16 do not.
    assert vantrel.open(old_edition(3, section1_length=17))[0].error is None
    assert vantrel.open(old_edition(3, section1_length=16))[0].error.startswith("section 1 length 16")


# ---- quirks ----------------------------------------------------------------------------------

def test_odd_descriptor_area_is_padding(local_tables):
    odd = synop(section3_extra=b"\x00")
    with vantrel.open(odd, tables=local_tables) as reader:
        m = reader[0]
        assert m.descriptors == [12101]
        assert m.warnings == ["section 3 has an odd number of descriptor bytes (3); the last byte was read as padding"]
        assert reader.index["quirks"].tolist() == [4]
        assert [v.raw for v in m.values()] == [0x7F]


def test_edition3_padding_is_the_rule(local_tables):
    with vantrel.open(old_edition(3), tables=local_tables) as reader:
        assert reader[0].warnings == [] and [v.raw for v in reader[0].values()] == [0x7F]
        assert reader.index["quirks"].tolist() == [0]


def test_bytes_before_the_end_marker(local_tables):
    message = synop()
    padded = message[:4] + u24(len(message) + 2) + message[7:-4] + b"\0\0" + b"7777"
    with vantrel.open(padded, tables=local_tables) as reader:
        assert reader[0].warnings == ['2 bytes between the end of section 4 and "7777" were skipped']
        assert reader.index["quirks"].tolist() == [16]
        assert [v.raw for v in reader[0].values()] == [0x7F]


def test_short_section4_fails_alone(local_tables):
    short = build_message([12101, 12101, 12101], BitWriter().write(1, 8))  # 24 bits needed, 16 present
    with vantrel.open(GOOD + short + GOOD, tables=local_tables) as reader:
        assert [len(m.values()) for m in (reader[0], reader[2])] == [1, 1]
        with pytest.raises(DataError, match=f"^message 2 at offset {N}: .*not enough bits"):
            reader[1].values()


# ---- sources ---------------------------------------------------------------------------------

@pytest.mark.parametrize("kind", ["path", "str", "bytes", "bytearray", "memoryview", "mmap", "file", "bytesio"])
def test_sources(kind, tmp_path, local_tables):
    data = b"header\n" + GOOD + GOOD
    path = tmp_path / "x.bufr"
    path.write_bytes(data)
    with path.open("rb") as f:
        mapped = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    source = {
        "path": lambda: path, "str": lambda: str(path), "bytes": lambda: data, "bytearray": lambda: bytearray(data),
        "memoryview": lambda: memoryview(data), "mmap": lambda: mapped, "file": lambda: path.open("rb"),
        "bytesio": lambda: io.BytesIO(data),
    }[kind]()
    with vantrel.open(source, tables=local_tables) as reader:
        assert frames(reader) == [(1, 7, N), (2, 7 + N, N)]
        assert bytes(reader[1].bytes) == GOOD and reader[1].bytes.readonly
        assert [v.raw for v in reader[1].values()] == [0x7F]
    if kind == "file":
        source.close()
    mapped.close()


@pytest.mark.parametrize("opened", ["path", "file at its position"])
def test_a_file_that_shrinks_while_mapped_gives_errors_not_a_crash(opened, tmp_path, local_tables):
    # Enough copies that the lost messages lie on pages past the file's new end
    # (touching them faults) as well as on the page the cut goes through.
    count = 4 * mmap.PAGESIZE // N + 2
    path = tmp_path / "x.bufr"
    path.write_bytes(b"header\n" + GOOD * count)
    source = path if opened == "path" else path.open("rb")
    if opened != "path":
        source.seek(7)
    with vantrel.open(source, tables=local_tables) as reader:
        late = reader[count - 1]
        os.truncate(path, 7 + 3 * N + 5)  # inside message 4
        lost = f"the file shrank while it was read: its bytes from offset {7 + 3 * N + 5:,} on are gone: '{path}'"
        assert [m.values()[0].raw for m in reader[:3]] == [0x7F] * 3  # the messages before the cut
        for call in (lambda: reader[3].values(), lambda: reader[count // 2].matrix(), late.values, late.matrix,
                     reader.columns, reader.to_pandas):
            with pytest.raises(OSError, match=re.escape(lost)):
                call()
    if opened != "path":
        source.close()


def test_message_bytes_are_a_view(local_tables):
    data = bytearray(GOOD)
    reader = vantrel.open(data, tables=local_tables)
    view = reader[0].bytes
    assert view.obj is not None and view.nbytes == N
    # A view of the caller's buffer, not a copy: the export pins it.
    with pytest.raises(BufferError):
        data.extend(b"x")


def test_subsets_split_non_compressed_data(local_tables):
    w = BitWriter()
    for value in (1, 2, 3):
        w.write(value, 8)
    message = build_message([12101], w, subsets=3)
    with vantrel.open(message, tables=local_tables) as reader:
        assert [[v.raw for v in s] for s in reader[0].subsets()] == [[1], [2], [3]]


def test_subsets_split_compressed_data(local_tables):
    # R0 = 10, NBINC = 2, increments 0, 1, 2.
    w = BitWriter().write(10, 8).write(2, 6).write(0, 2).write(1, 2).write(2, 2)
    message = build_message([12101], w, subsets=3, compressed=True)
    with vantrel.open(message, tables=local_tables) as reader:
        assert [[v.raw for v in s] for s in reader[0].subsets()] == [[10], [11], [12]]


def test_negative_index_and_bounds():
    reader = vantrel.open(GOOD + GOOD)
    assert reader[-1].index == 2
    with pytest.raises(IndexError):
        reader[2]
    with pytest.raises(IndexError):
        reader[-3]


# ---- tables ----------------------------------------------------------------------------------

def definitions_tree(root, versions, local=None):
    """A definitions root with WMO tables of the given master versions (each with 012101 of that
    version's width) and optionally local tables {(local, centre, subcentre): elements}."""
    for version in versions:
        write_table_dir(root / "bufr" / "tables" / "0" / "wmo" / str(version),
                        [Element(12101, f"T{version}", "K", 0, 0, 8, "airTemperature")])
    for (lv, centre, sub), elements in (local or {}).items():
        write_table_dir(root / "bufr" / "tables" / "0" / "local" / str(lv) / str(centre) / str(sub), elements)
    return root


@pytest.mark.parametrize("wanted, used", [(13, 13), (12, 13), (20, 30), (31, 30)])
def test_nearest_master_version(tmp_path, wanted, used):
    root = definitions_tree(tmp_path / "defs", [13, 30])
    message = synop(master_tables_version_number=wanted)
    with vantrel.open(message, definitions=root) as reader:
        assert reader[0].values()[0].name == f"T{used}"
        expected = [] if wanted == used else [
            f"master table version {wanted} is not installed under {root}/bufr/tables/0/wmo; "
            f"version {used} was used instead"]
        assert reader[0].warnings == expected


def test_local_tables_and_missing_descriptor(tmp_path):
    root = definitions_tree(tmp_path / "defs", [30], {(1, 98, 0): [Element(48001, "LOCAL", "K", 0, 0, 8, "local")]})
    good = build_message([48001], BitWriter().write(5, 8), local_tables_version_number=1)
    other_centre = build_message([48001], BitWriter().write(5, 8), local_tables_version_number=1,
                                 originating_centre=7, originating_subcentre=3)
    with vantrel.open(good + other_centre, definitions=root) as reader:
        assert reader[0].values()[0].name == "LOCAL"
        with pytest.raises(TablesError) as raised:
            reader[1].values()
    text = str(raised.value)
    assert text.startswith(f"message 2 at offset {len(good)}: descriptor 048001 was not found in Table B")
    assert f"{root}/bufr/tables/0/local/1/7/3" in text and "centre 7, sub-centre 3, local version 1" in text


def test_table_sets_are_loaded_once_per_key(tmp_path):
    vtables.clear_cache()
    root = definitions_tree(tmp_path / "defs", [30])
    data = b"".join(synop(originating_centre=c) for c in (1, 2, 3))
    with vantrel.open(data, definitions=root) as reader:
        # Without local tables the centre does not matter: one set for all three.
        assert len({id(m.tables()) for m in reader}) == 1


def test_table_sets_are_kept_apart_by_master_version(tmp_path):
    vtables.clear_cache()
    root = definitions_tree(tmp_path / "defs", [13, 30])
    data = b"".join(synop(master_tables_version_number=v) for v in (13, 30, 20, 13))
    with vantrel.open(data, definitions=root) as reader:
        assert [m.values()[0].name for m in reader] == ["T13", "T30", "T30", "T13"]
        ids = [id(m.tables()) for m in reader]
    # Version 20 is absent and served by 30: the same set; 13 has its own.
    assert ids[0] == ids[3] and ids[1] == ids[2] and ids[0] != ids[1]


@pytest.mark.parametrize(
    "environ, expected",
    [
        ({"VANTREL_DEFINITIONS": "{a}", "ECCODES_DEFINITION_PATH": "{b}"}, "{a}"),
        ({"ECCODES_DEFINITION_PATH": "/nonexistent:{b}"}, "{b}"),
    ],
)
def test_definitions_search_order(tmp_path, environ, expected):
    a = definitions_tree(tmp_path / "a", [30])
    b = definitions_tree(tmp_path / "b", [30])
    environ = {k: v.format(a=a, b=b) for k, v in environ.items()}
    assert vtables.find_definitions(environ=environ)[0] == expected.format(a=a, b=b)


def test_explicit_root_without_tables_names_what_was_searched(tmp_path):
    with pytest.raises(TablesError, match=f"searched: {tmp_path} \\(the definitions argument\\)"):
        vtables.find_definitions(tmp_path, environ={})


def test_tables_argument_accepts_a_table_set_and_a_directory(local_tables):
    table_set = vantrel.TableSet.from_eccodes(str(local_tables))
    for tables in (table_set, local_tables, str(local_tables)):
        with vantrel.open(GOOD, tables=tables) as reader:
            assert reader[0].values()[0].raw_value == pytest.approx(12.7)


def test_closed_reader_releases_its_file(tmp_path):
    path = tmp_path / "x.bufr"
    path.write_bytes(GOOD)
    reader = vantrel.open(path)
    reader.close()
    os.remove(path)  # nothing holds it open
    assert len(reader) == 1


@pytest.mark.parametrize("order", [(0, 1, 0), (1, 0, 1), (0, 0, 1)])
def test_one_table_set_decodes_lists_of_equal_length_apart(tmp_path, order):
    # The table set's plan cache holds one plan per descriptor list, not per length.
    directory = write_table_dir(tmp_path / "t", [Element(12101, "T", "K", 0, 0, 8, "airTemperature"),
                                                 Element(7004, "P", "Pa", 0, 0, 16, "pressure")])
    lists = ([12101, 7004], [7004, 12101])
    data = [BitWriter().write(7, 8).write(1000, 16), BitWriter().write(1000, 16).write(7, 8)]
    messages = b"".join(build_message(lists[i], data[i]) for i in order)
    tables = vantrel.TableSet.from_eccodes(str(directory))
    with vantrel.open(messages, tables=tables) as reader:
        for message, i in zip(reader, order):
            assert [(v.descriptor, v.raw) for v in message.values()] == [
                (code, 7 if code == 12101 else 1000) for code in lists[i]]
        cols = reader.columns()
        assert cols["descriptor"].tolist() == [code for i in order for code in lists[i]]
        assert cols["value"].tolist() == [7.0 if code == 12101 else 1000.0 for i in order for code in lists[i]]


@pytest.mark.parametrize("count", [0, 1, 2])
def test_positions_at_both_ends_of_the_reader(count):
    reader = vantrel.open(GOOD * count)
    for position in (count, -count - 1):
        with pytest.raises(IndexError, match=f"^message position {position if position >= 0 else -1} out of "
                                             f"range for {count} messages$"):
            reader[position]
    assert len(reader._messages) == 0  # nothing was made for a refused position
    for position in range(-count, count):
        assert reader[position].index == position % count + 1


def test_errors_hold_the_latest_whole_reader_decode(local_tables):
    short = build_message([12101, 12101, 12101], BitWriter().write(1, 8))
    with vantrel.open(GOOD + short, tables=local_tables) as reader:
        for _ in range(2):
            assert len(reader.columns()["value"]) == 1
            assert [e.index for e in reader.errors] == [2]


@pytest.mark.parametrize("coded, year, warned", [(12, 2012, True), (99, 1999, True), (0, 2000, True),
                                                  (100, 100, False), (2012, 2012, False)])
def test_edition_4_years_below_100_are_years_of_century(coded, year, warned):
    data = build_message([1001], BitWriter().write(5, 7), typical_year=coded, typical_month=11, typical_day=2)
    with vantrel.open(data) as reader:
        message = reader[0]
        assert (message.year, message.year_of_century) == (year, coded if warned else None)
        assert message.warnings == ([f"edition 4 year {coded} is below 100; read as year of century: {year}"]
                                    if warned else [])
        assert reader.index["quirks"].tolist() == [1 if warned else 0]
        if year >= 1900:
            assert message.datetime.date().isoformat() == f"{year}-11-02"


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda r, m: vantrel.open(42), TypeError, "source must be a path, a bytes-like object or a binary file"),
        (lambda r, m: r["a"], TypeError, "message positions are ints or slices, not str"),
        (lambda r, m: r.columns(threads=-1), ValueError, "threads must be a positive int or None, not -1"),
        (lambda r, m: r.columns(threads=0), ValueError, "threads must be a positive int or None, not 0"),
        (lambda r, m: m.matrix(threads=2.0), TypeError, "threads must be a positive int or None, not float"),
    ],
)
def test_wrong_arguments_say_what_was_expected(call, error, text):
    with vantrel.open(GOOD) as reader:
        with pytest.raises(error, match=text):
            call(reader, reader[0])


@pytest.mark.parametrize("call", [lambda r, m: r[0], lambda r, m: list(r), lambda r, m: r.columns(),
                                  lambda r, m: r.to_pandas(), lambda r, m: m.values(), lambda r, m: m.matrix()])
def test_a_closed_reader_says_so(call):
    reader = vantrel.open(GOOD)
    message = reader[0]
    reader.close()
    assert len(reader) == 1 and reader.closed
    with pytest.raises(ValueError, match="^the reader of <buffer> is closed$"):
        call(reader, message)


def test_a_message_without_tables_is_found_by_its_index_and_offset():
    data = GOOD + build_message([1001], BitWriter().write(5, 7), master_table_number=180)
    with vantrel.open(data) as reader:
        with pytest.raises(TablesError, match=f"^message 2 at offset {N}: no WMO tables for master table 180"):
            reader[1].values()
        reader.columns()
        assert [(e.index, e.offset) for e in reader.errors if isinstance(e, TablesError)][-1] == (2, N)


def test_threads_sharing_a_reader_each_see_whole_error_lists():
    from concurrent.futures import ThreadPoolExecutor

    bad = build_message([1001, 1001, 1001], BitWriter().write(5, 7))
    data = (GOOD + bad) * 20
    with vantrel.open(data) as reader:
        def decode(_):
            reader.columns(threads=1)
            return [e.index for e in reader.errors]
        with ThreadPoolExecutor(4) as pool:
            lists = list(pool.map(decode, range(200)))
    # Each call leaves the failures of one whole decode: every message once, in order.
    assert all(found == lists[0] and found == sorted(set(found)) for found in lists)
    assert set(range(2, 41, 2)) <= set(lists[0])


@pytest.mark.parametrize("length, error", [(0, True), (3, True), (4, False), (8, False)])
def test_section_2_shorter_than_its_own_header_is_truncated(length, error):
    # Section 2 holds at least its 3 length bytes and a reserved byte.
    data = build_message([1001], BitWriter().write(5, 7), section2=b"\0" * (length - 4 if length >= 4 else 4),
                         section2_length=length if length < 4 else None)
    with vantrel.open(data) as reader:
        assert reader[0].error == ("section 2 at offset 30 is truncated" if error else None)


@pytest.mark.parametrize("kind", ["file", "pipe"])
def test_a_file_object_is_read_from_where_it_stands(tmp_path, kind):
    # Mapped (a file) or read (a pipe), the data start at the file's current position.
    path = tmp_path / "two.bufr"
    path.write_bytes(GOOD + GOOD)
    if kind == "file":
        source = open(path, "rb")
        source.seek(N)
    else:
        read_end, write_end = os.pipe()
        os.write(write_end, GOOD + GOOD)
        os.close(write_end)
        source = os.fdopen(read_end, "rb")
        source.read(N)
    with source, vantrel.open(source) as reader:
        assert [(m.offset, m.length) for m in reader] == [(0, N)]


def test_an_endless_device_is_refused_at_the_size_limit(monkeypatch):
    monkeypatch.setattr(vantrel.archive, "MAX_UNMAPPED_BYTES", 1 << 20)
    with open("/dev/zero", "rb") as endless:
        with pytest.raises(ValueError, match="^/dev/zero: more than 1,048,576 bytes from a source that cannot be mapped"):
            vantrel.open(endless)


# bufr_get -p section1Length,section2Length,section3Length,section4Length (ecCodes 2.28) on
# the first message: section 3 starts at 8 + lengths 1 and 2, section 4 after section 3.
@pytest.mark.parametrize("name, lengths", [("bufr-ed3/temp.bufr", (18, 52, 28, 438)),
                                           ("bufr/tropical_cyclone.bufr", (22, 52, 67, 16620)),
                                           ("bufr/synop_multi_subset_uncompressed.bufr", (22, 0, 13, 1603))])
def test_index_locates_the_sections_as_eccodes_measures_them(name, lengths):
    path = SHARED_DATA / name
    if not path.is_file():
        pytest.skip("../shared/data is not available")
    one, two, three, four = lengths
    index = vantrel.open(path).index
    assert (index["section3_offset"][0], index["section4_offset"][0], index["section4_length"][0]) == (
        8 + one + two, 8 + one + two + three, four)
