"""Descriptor expansion through Table D: TableSet.expand and expand_descriptors."""

import pytest

import _vantrel
from _vantrel import TableSet
from bufr_builder import Element, write_table_dir

SEQUENCES = {301001: [1001, 1002], 301050: [204004, 1001], 301002: [301001, 301001], 340000: [],
             301003: [101002, 1001], 301004: [102000, 31001, 1001]}
CHAIN = {300000 + i: [300000 + i + 1] for i in range(64)} | {300064: [1001]}


@pytest.fixture(scope="module")
def table_dir(tmp_path_factory):
    path = tmp_path_factory.mktemp("expand") / "tables"
    return write_table_dir(path, [Element(1001)], SEQUENCES | CHAIN | {301099: [301099]})


@pytest.fixture(scope="module")
def tables(table_dir):
    return TableSet.from_eccodes(str(table_dir))


def nested_replications(depth, last):
    """Fixed replications each repeating the rest of the list 255 times."""
    return [100000 + (depth - i) * 1000 + 255 for i in range(depth)] + [last]


@pytest.mark.parametrize(
    "codes, expected",
    [
        ([], []),
        ([301001, 12001], [1001, 1002, 12001]),
        ([301002], [1001, 1002, 1001, 1002]),
        ([340000, 5001], [5001]),
        ([103002, 1001, 1002, 1003], [1001, 1002, 1003] * 2),
        ([102000, 31001, 1001, 1002], [31001, 1001, 1002]),
        ([101300, 1001], [1001] * 44),  # Y 300 narrowed to 44
        ([204008, 1001, 31021, 204000, 1002], [999999, 1001, 31021, 1002]),
        ([301050, 1002], [999999, 1001, 999999, 1002]),  # the associated field outlives the sequence
        ([201132, 12001, 201000], [12001]),
        ([202129, 207001, 208010, 206016, 1001], [1001]),
        ([203014, 205010, 222000, 209000], [203014, 205010, 222000, 209000]),
        ([25600001], [25600001]),  # F 256 narrowed to 0: an element
        ([300001], [1001]),  # a chain of 64 sequences reaches level 64
        ([301003], [1001, 1001]),
        (nested_replications(2, 1001), [1001] * 255 * 255),
    ],
)
def test_expansion(tables, codes, expected):
    assert tables.expand(codes) == expected
    assert tables.expand(descriptors=tuple(codes)) == expected


@pytest.mark.parametrize(
    "codes, message",
    [
        ([12001, 301999], "descriptor 301999 was not found in Table D"),
        ([300000], "csv/table parse error: sequence expansion exceeded recursion depth"),  # 65 levels
        ([301099], "csv/table parse error: sequence expansion exceeded recursion depth"),
        ([101000, 31001], "delayed replication descriptor 101000 is missing its replication factor or "
                          "replicated descriptors"),
        ([102002, 1001], "unsupported replication descriptor 102002"),
        ([100001, 1001], "unsupported replication descriptor 100001"),
        ([301004, 1002], "delayed replication descriptor 102000 is missing its replication factor or "
                   "replicated descriptors"),  # a sequence's members are a slice of their own
        ([102001, 101000, 31001, 1001], "delayed replication descriptor 101000 is missing its replication "
                                        "factor or replicated descriptors"),
        ([400000], "csv/table parse error: invalid descriptor 400000"),
        ([1001, 999999], "csv/table parse error: invalid descriptor 999999"),
        (nested_replications(4, 1001), "csv/table parse error: descriptor expansion is too large: "
                                       "more than 10000000 codes"),
        (nested_replications(64, 201000), "csv/table parse error: descriptor expansion is too large: "
                                          "more than 100000000 descriptors walked"),
    ],
)
def test_expansion_errors(tables, codes, message):
    with pytest.raises(ValueError) as info:
        tables.expand(codes)
    assert str(info.value) == message


def test_expansion_ignores_table_b(table_dir):
    empty = write_table_dir(table_dir.parent / "no_elements", [], SEQUENCES)
    assert TableSet.from_eccodes(str(empty)).expand([301001, 12001]) == [1001, 1002, 12001]


def test_expand_descriptors(table_dir):
    assert _vantrel.expand_descriptors(str(table_dir), [301001]) == [1001, 1002]
    assert _vantrel.expand_descriptors(descriptors=range(1, 3), table_dir=str(table_dir)) == [1, 2]
    assert _vantrel.expand_descriptors(str(table_dir), b"\x01\x02") == [1, 2]
    assert _vantrel.expand_descriptors(str(table_dir), []) == []
    with pytest.raises(ValueError) as info:
        _vantrel.expand_descriptors(str(table_dir / "missing"), [])
    assert str(info.value).startswith("csv/table parse error: ")


class Index:
    def __index__(self):
        return 301001


@pytest.mark.parametrize(
    "descriptors, exc, text",
    [
        ("301001", TypeError, "argument 'descriptors': Can't extract `str` to `Vec`"),
        ({1: 2}, TypeError, "argument 'descriptors': 'dict' object cannot be cast as 'Sequence'"),
        (5, TypeError, "argument 'descriptors': 'int' object cannot be cast as 'Sequence'"),
        ([1001, "x"], TypeError, "argument 'descriptors': 'str' object cannot be interpreted as an integer"),
        ([1001, 1.5], TypeError, "argument 'descriptors': 'float' object cannot be interpreted as an integer"),
        ([-1], OverflowError, "out of range integral type conversion attempted"),
        ([2**32], OverflowError, "out of range integral type conversion attempted"),
        ([2**64], OverflowError, "Python int too large to convert to C long"),
    ],
)
def test_descriptor_argument(tables, table_dir, descriptors, exc, text):
    for call in (lambda: tables.expand(descriptors), lambda: _vantrel.expand_descriptors(str(table_dir), descriptors)):
        with pytest.raises(exc) as info:
            call()
        assert type(info.value) is exc and str(info.value) == text
    assert tables.expand([Index()]) == [1001, 1002]
