"""TableSet.from_bufr4_45: the WMO BUFR4 CSV tables."""

import csv

import pytest

import _vantrel
from _vantrel import TableSet
from test_tables_eccodes_real import edition4_messages

B_HEADER = "ClassNo,ClassName_en,FXY,ElementName_en,BUFR_Unit,BUFR_Scale,BUFR_ReferenceValue,BUFR_DataWidth_Bits\n"
D_HEADER = "Category,CategoryOfSequences_en,FXY1,Title_en,SubTitle_en,FXY2\n"
# Element codes whose scale, reference or width differ between the WMO CSV
# tables and the latest ecCodes WMO table (none as of these publications).
KNOWN_DIFFERENCES: dict[int, str] = {}


def b_row(code="001001", name="WMO block number", unit="Numeric", scale="0", reference="0", width="7"):
    return f"01,Identification,{code},{name},{unit},{scale},{reference},{width}\n"


def load(tmp_path, files):
    for name, text in files.items():
        (tmp_path / name).write_bytes(text.encode() if isinstance(text, str) else text)
    return TableSet.from_bufr4_45(str(tmp_path))


def load_error(tmp_path, files):
    with pytest.raises(ValueError) as info:
        load(tmp_path, files)
    return str(info.value)


def test_file_selection(tmp_path):
    tables = load(tmp_path, {
        "BUFRCREX_TableB_en_00.CSV": B_HEADER + b_row("000001"),
        "bufrcrex_TableB_en_00.csv": B_HEADER + b_row("000002"),
        "BUFRCREX_TableB_en_.csv": B_HEADER + b_row("000003"),
        "BUFR_TableD_en_01.txt": D_HEADER + "01,x,301001,t,,001001\n",
        "notes.csv": "anything",
    })
    assert (tables.element_count, tables.sequence_count) == (1, 0)
    assert tables.get_element(3) is not None
    (tmp_path / "empty").mkdir()
    assert repr(load(tmp_path / "empty", {})) == "TableSet(elements=0, sequences=0)"


@pytest.mark.parametrize(
    "unit, element_type",
    [("Code table", "code"), ("Flag table", "flags"), ("CCITT IA5", "string"), ("CODE TABLE", "long"),
     ("code table", "long"), (" Code table", "long"), ("K", "long"), ('"Code table"', "code")],
)
def test_element_type_from_unit(tmp_path, unit, element_type):
    tables = load(tmp_path, {"BUFRCREX_TableB_en_01.csv": B_HEADER + b_row(unit=unit, scale="-2", width="16")})
    e = tables.get_element(1001)
    assert (e.element_type, e.unit, e.abbreviation, e.scale, e.width) == (element_type, unit.strip('"'), "", -2, 16)
    assert tables.get_meaning(1001, 0) is None


@pytest.mark.parametrize(
    "text, codes",
    [
        ("", []),
        (B_HEADER, []),
        ("a,b,c,d,e,f,g\n" + "1,2,3,4,5,6,7\n", []),  # 7 fields: every record skipped
        ("\ufeff" + B_HEADER + b_row(), [1001]),
        (B_HEADER + b_row(code=' 001001 ') + b_row(code='"""001002"""') + b_row(code="1003"), [1001, 1002, 1003]),
        (B_HEADER.replace("\n", "\r\n") + b_row(name='"Block, ""quoted""\nname"'), [1001]),
    ],
)
def test_table_b_contents(tmp_path, text, codes):
    tables = load(tmp_path, {"BUFRCREX_TableB_en_01.csv": text})
    assert sorted(e.code for e in map(tables.get_element, codes) if e) == codes
    assert tables.element_count == len(codes)
    if '""quoted""' in text:
        assert tables.get_element(1001).name == 'Block, "quoted"\nname'


def test_later_files_and_rows_win(tmp_path):
    tables = load(tmp_path, {
        "BUFRCREX_TableB_en_00.csv": B_HEADER + b_row(name="first") + b_row(name="second"),
        "BUFRCREX_TableB_en_01.csv": B_HEADER + b_row(code="001002", name="other"),
        "BUFR_TableD_en_00.csv": D_HEADER + "".join(f"01,x,{s},t,,{m}\n" for s, m in [
            ("300002", "000002"), ("300003", "000010"), ("300002", "000003"), ("300004", "000001")]),
        "BUFR_TableD_en_01.csv": D_HEADER + "01,x,300004,t,,000005\n",
    })
    assert tables.get_element(1001).name == "second"
    assert [tables.get_sequence(c).members for c in (300002, 300003, 300004)] == [[2, 3], [10], [5]]


@pytest.mark.parametrize(
    "files, detail",
    [
        ({"BUFRCREX_TableB_en_01.csv": B_HEADER + b_row() + "1,2\n"},
         "{dir}/BUFRCREX_TableB_en_01.csv: line 3: found a record with 2 fields, but the first record has 8"),
        ({"BUFRCREX_TableB_en_01.csv": B_HEADER + b_row() + B_HEADER},
         'bad descriptor code "FXY": invalid digit found in string'),
        ({"BUFRCREX_TableB_en_01.csv": B_HEADER + b_row(code="")},
         'bad descriptor code "": cannot parse integer from empty string'),
        ({"BUFRCREX_TableB_en_01.csv": B_HEADER + b_row(scale="1.5")}, 'bad i32 "1.5": invalid digit found in string'),
        ({"BUFRCREX_TableB_en_01.csv": B_HEADER + b_row(reference=" 0")}, 'bad i64 " 0": invalid digit found in string'),
        ({"BUFRCREX_TableB_en_01.csv": B_HEADER + b_row(width="70000")},
         'bad u16 "70000": number too large to fit in target type'),
        ({"BUFRCREX_TableB_en_01.csv": (B_HEADER + b_row(name="\xff")).encode("latin-1")},
         "{dir}/BUFRCREX_TableB_en_01.csv: line 2: field 4 is not valid UTF-8"),
        ({"BUFR_TableD_en_01.csv": D_HEADER + "01,x,301001,t,,0010x1\n"},
         'bad descriptor code "0010x1": invalid digit found in string'),
    ],
)
def test_load_errors(tmp_path, files, detail):
    assert load_error(tmp_path, files) == "csv/table parse error: " + detail.format(dir=tmp_path)


def test_directory_errors(tmp_path):
    with pytest.raises(ValueError) as info:
        TableSet.from_bufr4_45(str(tmp_path / "missing"))
    assert str(info.value) == "io error: No such file or directory (os error 2)"
    (tmp_path / "BUFR_TableD_en_01.csv").mkdir()
    with pytest.raises(ValueError) as info:
        TableSet.from_bufr4_45(str(tmp_path))
    assert str(info.value) == (f"csv/table parse error: {tmp_path}/BUFR_TableD_en_01.csv: "
                               "read failed: Is a directory (os error 21)")
    with pytest.raises(TypeError) as info:
        TableSet.from_bufr4_45(path=tmp_path)
    assert str(info.value) == "argument 'path': 'PosixPath' object cannot be cast as 'str'"


# ---------------------------------------------------------------------------
# The WMO's published tables

def csv_rows(directory, prefix):
    for path in sorted(directory.glob(prefix + "*.csv")):
        with open(path, newline="", encoding="utf-8-sig") as handle:
            yield from list(csv.reader(handle))[1:]


@pytest.fixture(scope="module")
def wmo_tables(wmo_csv_dir):
    return TableSet.from_bufr4_45(str(wmo_csv_dir))


def test_wmo_counts(wmo_csv_dir, wmo_tables):
    elements = {int(row[2]) for row in csv_rows(wmo_csv_dir, "BUFRCREX_TableB_en_")}
    sequences = {}
    for row in csv_rows(wmo_csv_dir, "BUFR_TableD_en_"):
        sequences.setdefault(int(row[2]), []).append(int(row[5]))
    assert (wmo_tables.element_count, wmo_tables.sequence_count) == (len(elements), len(sequences))
    assert wmo_tables.get_sequence(301001).members == sequences[301001] == [1001, 1002]


def test_wmo_agrees_with_eccodes(wmo_csv_dir, wmo_tables, latest_wmo_dir):
    eccodes = TableSet.from_eccodes(str(latest_wmo_dir))
    shared = 0
    for code in {int(row[2]) for row in csv_rows(wmo_csv_dir, "BUFRCREX_TableB_en_")}:
        a, b = wmo_tables.get_element(code), eccodes.get_element(code)
        if b is None or code in KNOWN_DIFFERENCES:
            continue
        shared += 1
        assert (a.scale, a.reference, a.width) == (b.scale, b.reference, b.width), code
    assert shared > 1500


def defined_alike(message, csv_tables, eccodes_tables):
    """True when both table sets expand the message identically and agree on every element it uses."""
    try:
        expanded = eccodes_tables.expand(message.unexpanded_descriptors)
        if csv_tables.expand(message.unexpanded_descriptors) != expanded:
            return False
    except ValueError:
        return False
    for code in set(expanded) - {999999}:
        if code // 100000 == 0:
            a, b = csv_tables.get_element(code), eccodes_tables.get_element(code)
            if a is None or b is None or (a.scale, a.reference, a.width, a.unit == "CCITT IA5") != (
                    b.scale, b.reference, b.width, b.unit == "CCITT IA5"):
                return False
    return True


def test_decoding_with_wmo_tables_matches_eccodes(wmo_tables, eccodes_root, bufr_dir):
    """The first message of each sample file that both table sets define alike."""
    decoded = {False: 0, True: 0}
    for path in sorted(bufr_dir.glob("*.bufr")):
        for data, message in edition4_messages(path):
            eccodes_tables = TableSet.from_definitions(str(eccodes_root), message)
            if not defined_alike(message, wmo_tables, eccodes_tables):
                continue
            try:
                expected = _vantrel.decode_values_with_tables(data, eccodes_tables)
            except ValueError:
                continue  # a message that does not decode (e.g. a short section 4)
            actual = _vantrel.decode_values_with_tables(data, wmo_tables)
            assert [(v.descriptor, v.raw, v.raw_value) for v in actual] == [
                (v.descriptor, v.raw, v.raw_value) for v in expected], path
            decoded[message.compressed_data] += 1
            break
    assert decoded[False] >= 3 and decoded[True] >= 3


def test_long_file_matches_python_csv(tmp_path):
    """Quoted fields, embedded line ends and mixed terminators across the reader's buffer refills."""
    names = ['plain', 'with, comma', 'say "hi"', 'two\nlines', 'cr\r\nlf', '', 'é ü ∑', '"', 'trailing\r']
    rows = [["01", "c", f"{i:06d}", names[i % len(names)] * (1 + i % 7), "Numeric", "0", "0", "8"]
            for i in range(1, 6000)]
    with open(tmp_path / "BUFRCREX_TableB_en_01.csv", "w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle, lineterminator="\r\n")
        writer.writerow(["h"] * 8)
        for row in rows:
            writer.writerow(row)
            handle.write("\n" if int(row[2]) % 5 == 0 else "")  # an extra blank line now and then
    assert (tmp_path / "BUFRCREX_TableB_en_01.csv").stat().st_size > 3 * 65536
    tables = TableSet.from_bufr4_45(str(tmp_path))
    assert tables.element_count == len(rows)
    assert all(tables.get_element(int(row[2])).name == row[3] for row in rows)
