"""Boundaries of the table readers: digits, record length, UTF-8 sequences
cut at a field's end, and path joining."""

import pytest

import _vantrel
from bufr_builder import ELEMENT_HEADER, Element, write_table_dir

MAX_RECORD_BYTES = 16 << 20


def load(path):
    return _vantrel.TableSet.from_eccodes(str(path))


# '/' and ':' are the characters just below '0' and just above '9'.
@pytest.mark.parametrize("width, error", [("0", None), ("9", None), ("/", "invalid digit"), (":", "invalid digit"),
                                          ("1:", "invalid digit")])
def test_digits_at_both_ends_of_the_range(tmp_path, width, error):
    element = Element(1001, width=0)
    directory = write_table_dir(tmp_path / "t", [element])
    text = (directory / "element.table").read_text().replace("|0|0|0|", f"|0|0|{width}|", 1)
    (directory / "element.table").write_text(text)
    if error is None:
        assert load(directory).get_element(1001).width == int(width)
    else:
        with pytest.raises(ValueError) as info:
            load(directory)
        assert str(info.value) == f'csv/table parse error: bad u16 "{width}": invalid digit found in string'


@pytest.mark.parametrize("length, fails", [(MAX_RECORD_BYTES - 1, False), (MAX_RECORD_BYTES, True)])
def test_record_length_limit(tmp_path, length, fails):
    # A one-field record counts its text and one field end.
    directory = write_table_dir(tmp_path / "t")
    (directory / "element.table").write_bytes(ELEMENT_HEADER.encode() + b"\n" + b"x" * length + b"\n")
    if not fails:
        assert load(directory).element_count == 0
    else:
        with pytest.raises(ValueError) as info:
            load(directory)
        assert str(info.value) == (f"csv/table parse error: {directory}/element.table: line 2: "
                                   f"record is longer than {MAX_RECORD_BYTES} bytes")


@pytest.mark.parametrize("name, unit, valid", [("NAM\xe9", "unit", True), (b"NAM\xc3", b"\xa9unit", False)])
def test_utf8_sequence_cut_at_the_end_of_a_field(tmp_path, name, unit, valid):
    # The two bytes of "é" split over two fields make neither field valid.
    directory = write_table_dir(tmp_path / "t")
    encode = lambda part: part if isinstance(part, bytes) else part.encode()
    line = b"|".join([b"001001", b"abc", b"long", encode(name), encode(unit), b"0", b"0", b"8"])
    (directory / "element.table").write_bytes(ELEMENT_HEADER.encode() + b"\n" + line + b"\n")
    if valid:
        assert load(directory).get_element(1001).name == name
    else:
        with pytest.raises(ValueError) as info:
            load(directory)
        assert str(info.value) == f"csv/table parse error: {directory}/element.table: line 2: field 4 is not valid UTF-8"


@pytest.mark.parametrize("suffix", ["", "/"])
def test_directory_with_and_without_trailing_slash(tmp_path, suffix):
    with pytest.raises(ValueError) as info:
        load(str(tmp_path) + suffix)
    assert str(info.value) == (f"csv/table parse error: {tmp_path}/element.table: "
                               "No such file or directory (os error 2)")


MAX_TEXT_FILE_BYTES = 256 << 20


@pytest.mark.parametrize("size, fails", [(MAX_TEXT_FILE_BYTES, False), (MAX_TEXT_FILE_BYTES + 1, True)])
def test_whole_file_read_limit(tmp_path, size, fails):
    # A comment line of NULs (sparse on disk) makes sequence.def exactly `size` bytes.
    directory = write_table_dir(tmp_path / "t", [Element(1001)])
    with (directory / "sequence.def").open("wb") as f:
        f.write(b"#")
        f.seek(size - 1)
        f.write(b"\n")
    if fails:
        with pytest.raises(ValueError, match=f"^io error: file is longer than {MAX_TEXT_FILE_BYTES} bytes$"):
            _vantrel.TableSet.from_eccodes(str(directory))
    else:
        assert _vantrel.TableSet.from_eccodes(str(directory)).get_element(1001) is not None
