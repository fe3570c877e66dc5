"""Reading ecCodes element.table, sequence.def and codetables/, table
directories, definitions roots and alias files (synthetic trees)."""

import subprocess
import sys
import time
from pathlib import Path

import pytest

from _vantrel import TableSet, parse_bytes
from bufr_builder import ELEMENT_HEADER, Element, build_message, write_table_dir

ROW = "012101|t|long|TEMPERATURE|K|2|0|16|K|2|3"  # an 11-field element line


def load(tmp_path, element="", sequence="", code_tables=None):
    """A table set from a directory holding exactly the given texts (str or bytes)."""
    path = tmp_path / "tables"
    path.mkdir()
    for name, text in (("element.table", element), ("sequence.def", sequence)):
        (path / name).write_bytes(text.encode() if isinstance(text, str) else text)
    if code_tables is not None:
        (path / "codetables").mkdir()
        for name, text in code_tables.items():
            (path / "codetables" / name).write_bytes(text.encode() if isinstance(text, str) else text)
    return TableSet.from_eccodes(str(path)), path


def load_error(tmp_path, **texts):
    with pytest.raises(ValueError) as info:
        load(tmp_path, **texts)
    return str(info.value)


# ---------------------------------------------------------------------------
# element.table

@pytest.mark.parametrize(
    "text, expected",
    [
        ("# only\n\n#comments\n", {}),
        ("a|b|c\nd|e|f\n", {}),  # records of 3 fields are skipped
        (ROW + "\n" + ROW.replace("TEMPERATURE", "SECOND") + "\n", {12101: ("SECOND", 2, 0, 16)}),
        ('  "001001"  |a|long|"x|y"|u|-2|-1000000000000|65535\n', {1001: ("x|y", -2, -1000000000000, 65535)}),
        ("\ufeff301011|a|long|n|u|0|0|1\r\n001002|a|long|n2|u|+1|0|2\r001003|a|long|n3|u|0|0|3",
         {301011: ("n", 0, 0, 1), 1002: ("n2", 1, 0, 2), 1003: ("n3", 0, 0, 3)}),
        ('001001|a|long|"two\nlines ""q"""|u|0|0|1\n', {1001: ('two\nlines "q"', 0, 0, 1)}),
        ('001001|a|long|x"y"|u|0|0|1\n', {1001: ('x"y"', 0, 0, 1)}),
    ],
)
def test_element_table_rows(tmp_path, text, expected):
    tables, _ = load(tmp_path, element=text)
    assert tables.element_count == len(expected)
    for code, (name, scale, reference, width) in expected.items():
        e = tables.get_element(code)
        assert (e.code, e.name, e.scale, e.reference, e.width) == (code, name, scale, reference, width)
    if expected == {12101: ("SECOND", 2, 0, 16)}:
        e = tables.get_element(12101)
        assert (e.abbreviation, e.element_type, e.unit) == ("t", "long", "K")


@pytest.mark.parametrize(
    "column, value, detail",
    [
        (0, "00100A", 'bad descriptor code "00100A": invalid digit found in string'),
        (0, "", 'bad descriptor code "": cannot parse integer from empty string'),
        (0, "4294967296", 'bad descriptor code "4294967296": number too large to fit in target type'),
        (0, "-1", 'bad descriptor code "-1": invalid digit found in string'),
        (5, "", 'bad i32 "": cannot parse integer from empty string'),
        (5, " 2", 'bad i32 " 2": invalid digit found in string'),
        (5, "+", 'bad i32 "+": invalid digit found in string'),
        (5, "2147483648", 'bad i32 "2147483648": number too large to fit in target type'),
        (5, "-2147483649", 'bad i32 "-2147483649": number too small to fit in target type'),
        (6, "1.5", 'bad i64 "1.5": invalid digit found in string'),
        (6, "-9223372036854775809", 'bad i64 "-9223372036854775809": number too small to fit in target type'),
        (7, "abc", 'bad u16 "abc": invalid digit found in string'),
        (7, "65536", 'bad u16 "65536": number too large to fit in target type'),
        (7, "-1", 'bad u16 "-1": invalid digit found in string'),
        (7, "\t", 'bad u16 "\\t": invalid digit found in string'),
    ],
)
def test_element_table_bad_numbers(tmp_path, column, value, detail):
    fields = ROW.split("|")
    fields[column] = value
    assert load_error(tmp_path, element="|".join(fields) + "\n") == "csv/table parse error: " + detail


def test_element_table_extreme_numbers(tmp_path):
    row = "1|a|long|n|u|-2147483648|-9223372036854775808|0\n2|a|long|n|u|2147483647|9223372036854775807|65535\n"
    tables, _ = load(tmp_path, element=row)
    assert [(e.scale, e.reference, e.width) for e in map(tables.get_element, (1, 2))] == [
        (-2147483648, -9223372036854775808, 0), (2147483647, 9223372036854775807, 65535)]


@pytest.mark.parametrize(
    "data, detail",
    [
        ((ELEMENT_HEADER + "\n" + ROW + "\n  # not a comment\n").encode(),
         "line 3: found a record with 1 fields, but the first record has 11"),
        (b"a|b\r\n\r\n\"x\ny\"|z\ronly-one\n", "line 5: found a record with 1 fields, but the first record has 2"),
        (ROW.encode() + b"\n012102|t|long|\xff|K|2|0|16|K|2|3\n", "line 2: field 4 is not valid UTF-8"),
    ],
)
def test_element_table_record_errors(tmp_path, data, detail):
    path = tmp_path / "tables" / "element.table"
    assert load_error(tmp_path, element=data) == f"csv/table parse error: {path}: {detail}"


# ---------------------------------------------------------------------------
# sequence.def

@pytest.mark.parametrize(
    "text, expected",
    [
        ('"300002" = [ 000002, 000003 ]', {300002: [2, 3]}),
        ('"300002" = [\n000002,\n000003 ]', {300002: [2, 3]}),
        ('"301011" = [ 004001, 004002, 004003, ]', {301011: [4001, 4002, 4003]}),
        ('"340000" = [ ]', {340000: []}),
        ('"300002" = [ "000002" ]', {300002: [2]}),
        ('"300002" = [000002] "300003" = [000010]', {300002: [2]}),
        ('"300002" = [ 000002,\n  # note\n000003 ]', {300002: [2, 3]}),
        ('# "300002" = [000002]\n   # "300003" = [000010]', {}),
        ('x ]\n"300002" = [000002]', {300002: [2]}),
        ('"300002" = [ 000002,', {}),
        ('"300002" = [1]\r\n"300002" = [2]\r\n', {300002: [2]}),
    ],
)
def test_sequence_definitions(tmp_path, text, expected):
    tables, _ = load(tmp_path, sequence=text)
    assert tables.sequence_count == len(expected)
    for code, members in expected.items():
        assert tables.get_sequence(code).members == members


@pytest.mark.parametrize(
    "text, detail",
    [
        ('"3000A2" = [000002]', 'bad descriptor code "3000A2": invalid digit found in string'),
        ('"300002" = [000002, 00000x]', 'bad descriptor code "00000x": invalid digit found in string'),
        ('"300002" = 000002 ]', '"300002" = 000002 ]'),
        ('"300002" =\n] [ 000002', '"300002" = ] [ 000002'),
        ('\ufeff"300002" = [2]', 'bad descriptor code "\\u{feff}\\"300002": invalid digit found in string'),
    ],
)
def test_sequence_definition_errors(tmp_path, text, detail):
    assert load_error(tmp_path, sequence=text) == "csv/table parse error: " + detail


def test_sequence_def_io_errors(tmp_path):
    assert load_error(tmp_path, sequence=b'"300002" = [\xff]') == "io error: stream did not contain valid UTF-8"
    path = write_table_dir(tmp_path / "no_seq")
    (path / "sequence.def").unlink()
    with pytest.raises(ValueError) as info:
        TableSet.from_eccodes(str(path))
    assert str(info.value) == "io error: No such file or directory (os error 2)"


# ---------------------------------------------------------------------------
# codetables/

@pytest.mark.parametrize(
    "line, raw, meaning",
    [
        ("0 0 Reserved", 0, "Reserved"),
        ("2 2 Some   meaning\twith tabs", 2, "Some meaning with tabs"),
        ("3 3", 3, None),
        ("abc 3", None, None),
        ("+5 5 text", 5, "text"),
        ("   # 4 4 comment", 4, None),
        ("18446744073709551615 0 max\u3000wide", 2**64 - 1, "max wide"),
    ],
)
def test_code_table_lines(tmp_path, line, raw, meaning):
    tables, _ = load(tmp_path, code_tables={"1003.table": "7 7 first\n" + line + "\n7 7 second\n"})
    assert tables.get_meaning(1003, 7) == "second"
    if raw is not None:
        assert tables.get_meaning(1003, raw) == meaning


@pytest.mark.parametrize(
    "files, detail",
    [
        ({"1003.table": "abc 3 text"}, 'bad code table key "abc": invalid digit found in string'),
        ({"1003.table": "-1 -1 Missing"}, 'bad code table key "-1": invalid digit found in string'),
        ({"1003.table": "18446744073709551616 0 x"},
         'bad code table key "18446744073709551616": number too large to fit in target type'),
        ({"1003.table": "", "README.table": ""}, 'bad descriptor code "README": invalid digit found in string'),
        ({"1003.table": "\ufeff0 0 x"}, 'bad code table key "\\u{feff}0": invalid digit found in string'),
    ],
)
def test_code_table_errors(tmp_path, files, detail):
    assert load_error(tmp_path, code_tables=files) == "csv/table parse error: " + detail


def test_code_table_directory(tmp_path):
    files = {"01003.table": "1 1 zero-padded", "1003.table": "1 1 plain", "2.table": "# only a comment\n",
             "notes.txt": "not read", "x.table.bak": "not read", " 20003 .table": "0 0 spaced stem",
             "\udcff.table": b"not valid UTF-8: skipped"}
    tables, path = load(tmp_path, code_tables=files)
    assert tables.get_meaning(1003, 1) == "plain"  # 1003.table sorts after 01003.table
    assert tables.get_meaning(2, 0) is None and tables.get_meaning(20003, 0) == "spaced stem"
    (path / "codetables" / "1003.table").write_bytes(b"1 1 \xff")
    with pytest.raises(ValueError) as info:
        TableSet.from_eccodes(str(path))
    assert str(info.value) == "io error: stream did not contain valid UTF-8"


def test_codetables_that_is_a_file(tmp_path):
    path = write_table_dir(tmp_path / "t", [Element(1001)])
    (path / "codetables").write_text("")
    with pytest.raises(ValueError) as info:
        TableSet.from_eccodes(str(path))
    assert str(info.value) == "io error: Not a directory (os error 20)"
    (path / "codetables").unlink()
    assert TableSet.from_eccodes(str(path)).get_meaning(1001, 0) is None
    (path / "codetables").symlink_to(path / "nowhere")  # no metadata: treated as absent
    assert TableSet.from_eccodes(str(path)).element_count == 1


def test_missing_element_table(tmp_path):
    path = write_table_dir(tmp_path / "t")
    (path / "element.table").unlink()
    with pytest.raises(ValueError) as info:
        TableSet.from_eccodes(str(path))
    assert str(info.value) == f"csv/table parse error: {path}/element.table: No such file or directory (os error 2)"


# ---------------------------------------------------------------------------
# Definitions roots and alias files

def message(master=30, local=0, centre=98, subcentre=0):
    return parse_bytes(build_message(master_tables_version_number=master, local_tables_version_number=local,
                                     originating_centre=centre, originating_subcentre=subcentre))


@pytest.fixture
def root(tmp_path):
    """A definitions root with WMO version 30 and local tables 1/98/0 and 19-1/98/0."""
    tables = tmp_path / "defs" / "bufr" / "tables" / "0"
    write_table_dir(tables / "wmo" / "30", [Element(12101, name="WMO"), Element(1001)], {301001: [1001]},
                    {20003: {0: "wmo zero", 5: "wmo five"}})
    write_table_dir(tables / "wmo" / "19", [Element(1001, name="V19")], {})
    write_table_dir(tables / "local" / "1" / "98" / "0", [Element(12101, name="LOCAL")], {301001: [1001, 1001]},
                    {20003: {5: "local five"}})
    (tables / "local" / "19-1" / "98" / "0" / "codetables").mkdir(parents=True)
    (tables / "local" / "19-1" / "98" / "0" / "codetables" / "1001.table").write_text("1 1 one")
    return tmp_path / "defs"


@pytest.mark.parametrize(
    "kwargs, name, members, meanings",
    [
        (dict(), "WMO", [1001], ("wmo zero", "wmo five")),
        (dict(local=1), "LOCAL", [1001, 1001], (None, "local five")),
        (dict(local=1, centre=7), "WMO", [1001], ("wmo zero", "wmo five")),  # no such local directory
        (dict(local=2), "WMO", [1001], ("wmo zero", "wmo five")),
    ],
)
def test_definitions_root(root, kwargs, name, members, meanings):
    tables = TableSet.from_definitions(str(root), message(**kwargs))
    assert tables.get_element(12101).name == name and tables.get_element(1001) is not None
    assert tables.get_sequence(301001).members == members
    assert (tables.get_meaning(20003, 0), tables.get_meaning(20003, 5)) == meanings


def test_version_19_local_directory(root):
    tables = TableSet.from_definitions(path=str(root), message=message(master=19, local=1))
    assert (tables.get_element(1001).name, tables.get_meaning(1001, 1)) == ("V19", "one")


@pytest.mark.parametrize("chain", [["31"], ["32", "31"], [f"{n}" for n in range(62, 30, -1)]])
def test_alias_chains(root, chain):
    wmo = root / "bufr" / "tables" / "0" / "wmo"
    targets = chain[1:] + ["30"]
    for name, target in zip(chain, targets):
        (wmo / name).write_text(f" {target}\n")
    assert TableSet.from_definitions(str(root), message(master=int(chain[0]))).get_element(12101).name == "WMO"


@pytest.mark.parametrize(
    "aliases, version, detail",
    [
        ({"31": "../30"}, 31, 'invalid ecCodes table alias {wmo}/31 -> "../30"'),
        ({"31": "a\\b"}, 31, 'invalid ecCodes table alias {wmo}/31 -> "a\\\\b"'),
        ({"31": " \n"}, 31, 'invalid ecCodes table alias {wmo}/31 -> ""'),
        ({"31": "99"}, 31, "ecCodes table directory does not exist: {wmo}/99"),
        ({}, 99, "ecCodes table directory does not exist: {wmo}/99"),
        ({"31": "31"}, 31, "ecCodes table alias chain starting at {wmo}/31 is longer than 32 links"),
        ({str(n): str(n - 1) for n in range(64, 31, -1)}, 64,
         "ecCodes table alias chain starting at {wmo}/64 is longer than 32 links"),
    ],
)
def test_alias_errors(root, aliases, version, detail):
    wmo = root / "bufr" / "tables" / "0" / "wmo"
    for name, target in aliases.items():
        (wmo / name).write_text(target)
    with pytest.raises(ValueError) as info:
        TableSet.from_definitions(str(root), message(master=version))
    assert str(info.value) == "csv/table parse error: " + detail.format(wmo=wmo)


def test_from_eccodes_does_not_follow_aliases(root):
    alias = root / "bufr" / "tables" / "0" / "wmo" / "31"
    alias.write_text("30")
    with pytest.raises(ValueError) as info:
        TableSet.from_eccodes(str(alias))
    assert str(info.value) == f"csv/table parse error: {alias}/element.table: Not a directory (os error 20)"


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: TableSet.from_eccodes(b"/tmp"), "argument 'path': 'bytes' object cannot be cast as 'str'"),
        (lambda: TableSet.from_definitions("/tmp", 5), "argument 'message': 'int' object cannot be cast as 'BufrMessage'"),
        (lambda: TableSet.from_definitions("/tmp"),
         "TableSet.from_definitions() missing 1 required positional argument: 'message'"),
    ],
)
def test_loader_argument_errors(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == text


# ---------------------------------------------------------------------------
# Odd files: endless devices and overlong records fail quickly with a message
# instead of eating memory. Each load runs in a child whose address space is
# capped, so a regression ends there rather than on the machine.

ENDLESS_SCRIPT = """
import resource, sys
resource.setrlimit(resource.RLIMIT_AS, (2 << 30, resource.RLIM_INFINITY))
from _vantrel import TableSet
try:
    getattr(TableSet, sys.argv[1])(sys.argv[2])
except Exception as error:
    print(type(error).__name__, error)
"""


@pytest.mark.parametrize(
    "loader, name, target, detail",
    [
        ("from_eccodes", "element.table", "/dev/zero",
         "ValueError csv/table parse error: {path}: line 1: record is longer than 16777216 bytes"),
        ("from_eccodes", "element.table", "17 MiB of delimiters",
         "ValueError csv/table parse error: {path}: line 1: record is longer than 16777216 bytes"),
        ("from_eccodes", "sequence.def", "/dev/zero", "ValueError io error: file is longer than 268435456 bytes"),
        ("from_eccodes", "codetables/1003.table", "/dev/zero",
         "ValueError io error: file is longer than 268435456 bytes"),
        ("from_bufr4_45", "BUFR_TableD_en_00.csv", "/dev/zero",
         "ValueError csv/table parse error: {path}: line 1: record is longer than 16777216 bytes"),
    ],
)
def test_endless_and_overlong_files(tmp_path, loader, name, target, detail):
    if "libasan" in Path("/proc/self/maps").read_text():
        pytest.skip("AddressSanitizer reserves more address space than the cap allows")
    directory = write_table_dir(tmp_path / "t", [Element(1001)], code_tables={})
    path = directory / name
    path.unlink(missing_ok=True)
    if target == "17 MiB of delimiters":
        path.write_bytes(b"|" * (17 << 20))
    else:
        path.symlink_to(target)
    child = subprocess.run([sys.executable, "-c", ENDLESS_SCRIPT, loader, str(directory)], capture_output=True,
                           text=True, env={"PYTHONPATH": ":".join(sys.path)}, timeout=60)
    assert (child.returncode, child.stdout) == (0, detail.format(path=path) + "\n"), child.stderr


# Keys that all fall into one bucket of a map hashed by identity: multiples of
# the bucket count libstdc++ picks for that many entries (85229 after inserting
# 49659 elements one by one; 53201 when a code table reserves 50001 lines).
@pytest.mark.parametrize(
    "name, text",
    [
        ("element.table", "".join(f"{k * 85229}|a|long|n|u|0|0|1\n" for k in range(49659))),
        ("codetables/1.table", "".join(f"{k * 53201} 0 x\n" for k in range(50000))),
    ],
    ids=["elements", "code table"],
)
def test_colliding_keys_load_quickly(tmp_path, name, text):
    if "libasan" in Path("/proc/self/maps").read_text():
        pytest.skip("timings mean nothing under AddressSanitizer")
    directory = write_table_dir(tmp_path / "t", code_tables={})
    (directory / name).write_text(text)
    timings = []
    for _ in range(3):
        start = time.perf_counter()
        tables = TableSet.from_eccodes(str(directory))
        timings.append(time.perf_counter() - start)
    assert tables.element_count in (0, 49659) and min(timings) < 0.3


def test_the_package_reads_element_rows_that_lack_columns(root):
    # A local element.table whose rows lack the CREX columns or pad a number
    # with blanks (as real definition trees have): _vantrel refuses the table;
    # the package reads every row it can, skips the rest and says which lines.
    import vantrel
    local = root / "bufr" / "tables" / "0" / "local" / "1" / "98" / "0" / "element.table"
    local.write_text(ELEMENT_HEADER + "\n" + "\n".join([
        Element(12101, name="LOCAL").line(),
        "063001|short|long|SHORT ROW|Numeric|0|0|8",
        "063002|blank|long|BLANK WIDTH|Numeric|0|0|8 |Numeric|0|3",
        "063003|broken|long|TOO FEW",
    ]) + "\n")
    with pytest.raises(ValueError, match="line 3: found a record with 8 fields, but the first record has 11"):
        TableSet.from_definitions(str(root), message(local=1))
    data = build_message([63001, 63002], b"\x05\x07", local_tables_version_number=1, master_tables_version_number=30)
    with vantrel.open(data, definitions=str(root)) as reader:
        assert [(v.descriptor, v.raw_value) for v in reader[0].values()] == [(63001, 5.0), (63002, 7.0)]
        path = str(local)
        assert reader[0].warnings == [
            f"{path}: 1 row with fewer fields than the first, read from their first 8 (line 3)",
            f"{path}: 1 row with blanks around their numbers, read without (line 4)",
            f"{path}: 1 row without the 8 fields used or whose numbers do not read, skipped (line 5)"]


def test_read_bufr_warns_of_a_table_version_taken_for_a_missing_one(root):
    import vantrel
    data = build_message([1001], b"\x0a", master_tables_version_number=35)
    with pytest.warns(vantrel.BufrWarning, match="1 message: master table version 35 is not installed .*; "
                                                 "version 30 was used instead"):
        frame = vantrel.read_bufr(data, definitions=str(root))
    assert frame.columns.tolist()[:2] == ["message", "subset"]
