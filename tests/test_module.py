"""Module contents and the calling conventions shared by every module function."""

import importlib
import pathlib
import sys

import pytest

import _vantrel
from bufr_builder import build_message

CLASSES = ["BufrMessage", "DecodedValue", "Descriptor", "ElementDefinition", "SequenceDefinition", "TableSet"]
FUNCTIONS = {
    "parse_bytes": ["data"],
    "parse_file": ["path"],
    "parse_all_bytes": ["data"],
    "parse_all_file": ["path"],
    "expand_descriptors": ["table_dir", "descriptors"],
    "decode_values": ["data", "table_dir"],
    "decode_values_with_tables": ["data", "tables"],
    "decode_values_with_definitions": ["data", "definitions_root"],
}


def test_module_contents_in_order():
    public = [name for name in vars(_vantrel) if not name.startswith("__")]
    assert public == CLASSES + list(FUNCTIONS)
    assert _vantrel.__doc__ == ""
    for name in CLASSES:
        cls = getattr(_vantrel, name)
        assert cls.__module__ == "builtins" and cls.__name__ == name
    for name, params in FUNCTIONS.items():
        function = getattr(_vantrel, name)
        assert function.__text_signature__ == "(" + ", ".join(params) + ")"
        assert function.__doc__ is None or function.__doc__ == ""


@pytest.mark.parametrize("name", ["BufrMessage", "DecodedValue", "ElementDefinition", "SequenceDefinition"])
def test_result_classes_cannot_be_created(name):
    with pytest.raises(TypeError) as info:
        getattr(_vantrel, name)()
    assert str(info.value) == f"cannot create 'builtins.{name}' instances"


def test_reinitialising_returns_the_same_module():
    signature = importlib.util.find_spec("_vantrel")
    saved = sys.modules.pop("_vantrel")
    try:
        again = importlib.import_module("_vantrel")
    finally:
        sys.modules["_vantrel"] = saved
    assert again is saved
    assert signature is not None


@pytest.mark.parametrize("name, params", FUNCTIONS.items())
def test_binding_errors(name, params):
    function = getattr(_vantrel, name)
    with pytest.raises(TypeError) as info:
        function()
    count = len(params)
    names = " and ".join(f"'{p}'" for p in params)
    plural = "s" if count > 1 else ""
    assert str(info.value) == f"{name}() missing {count} required positional argument{plural}: {names}"

    with pytest.raises(TypeError) as info:
        function(*([None] * (count + 1)))
    assert str(info.value) == f"{name}() takes {count} positional arguments but {count + 1} were given"

    with pytest.raises(TypeError) as info:
        function(*([None] * count), bogus=1)
    assert str(info.value) == f"{name}() got an unexpected keyword argument 'bogus'"

    with pytest.raises(TypeError) as info:
        function(*([None] * count), **{params[0]: None})
    assert str(info.value) == f"{name}() got multiple values for argument '{params[0]}'"

    if count == 2:
        with pytest.raises(TypeError) as info:
            function(None)
        assert str(info.value) == f"{name}() missing 1 required positional argument: '{params[1]}'"


@pytest.mark.parametrize(
    "function, argument, expected",
    [
        (_vantrel.parse_bytes, bytearray(b"BUFR"), "argument 'data': 'bytearray' object cannot be cast as 'bytes'"),
        (_vantrel.parse_bytes, memoryview(b"BUFR"), "argument 'data': 'memoryview' object cannot be cast as 'bytes'"),
        (_vantrel.parse_bytes, "BUFR", "argument 'data': 'str' object cannot be cast as 'bytes'"),
        (_vantrel.parse_all_bytes, None, "argument 'data': 'NoneType' object cannot be cast as 'bytes'"),
        (_vantrel.parse_file, pathlib.Path("x"), "argument 'path': 'PosixPath' object cannot be cast as 'str'"),
        (_vantrel.parse_all_file, b"x", "argument 'path': 'bytes' object cannot be cast as 'str'"),
    ],
)
def test_wrong_argument_types(function, argument, expected):
    with pytest.raises(TypeError) as info:
        function(argument)
    assert str(info.value) == expected


def test_subclasses_of_bytes_and_str_are_accepted(tmp_path):
    class Data(bytes):
        pass

    class Path(str):
        pass

    data = build_message([1001])
    assert _vantrel.parse_bytes(Data(data)).unexpanded_descriptors == [1001]
    (tmp_path / "m.bufr").write_bytes(data)
    assert _vantrel.parse_file(Path(str(tmp_path / "m.bufr"))).total_length == len(data)
    assert _vantrel.parse_bytes(data=data).total_length == len(data)


@pytest.mark.parametrize("function", [_vantrel.parse_file, _vantrel.parse_all_file])
def test_file_errors(function, tmp_path):
    cases = [
        (str(tmp_path / "missing.bufr"), "No such file or directory (os error 2)"),
        (str(tmp_path), "Is a directory (os error 21)"),
        (str(tmp_path) + "/a\0b", "file name contained an unexpected NUL byte"),
    ]
    for path, text in cases:
        with pytest.raises(OSError) as info:
            function(path)
        assert type(info.value) is OSError
        assert info.value.args == (text,)
        assert info.value.errno is None
    with pytest.raises(UnicodeEncodeError):
        function("bad\udc80name")


def test_bufr_errors_arrive_as_value_error_with_one_argument(tmp_path):
    path = tmp_path / "short.bufr"
    path.write_bytes(b"BUFR")
    with pytest.raises(ValueError) as info:
        _vantrel.parse_file(str(path))
    assert type(info.value) is ValueError
    assert info.value.args == ("message is too short to be BUFR",)
