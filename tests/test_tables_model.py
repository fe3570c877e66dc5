"""TableSet lookups, the definition classes, their reprs and argument errors."""

import subprocess
import sys
from pathlib import Path

import pytest

from _vantrel import TableSet
from bufr_builder import Element, write_table_dir


@pytest.fixture
def tables(tmp_path):
    elements = [
        Element(1001, name="WMO BLOCK NUMBER", abbreviation="blockNumber", width=7),
        Element(12101, name='He said "hi"\\\t\x01 é', unit="K", scale=-2, reference=-1000000000000, width=16),
        Element(20003, name="PRESENT WEATHER", unit="CODE TABLE", element_type="table", width=9),
    ]
    path = write_table_dir(
        tmp_path / "t", elements, {301001: [1001, 1002], 340000: []}, {20003: {0: "Clear", 5: "Haze"}}
    )
    return TableSet.from_eccodes(str(path))


def test_empty_table_set():
    t = TableSet()
    assert (t.element_count, t.sequence_count, repr(t)) == (0, 0, "TableSet(elements=0, sequences=0)")
    assert t.get_element(1001) is None and t.get_sequence(301001) is None and t.get_meaning(1, 0) is None
    assert TableSet.__text_signature__ == "()"


def test_lookups_copy_entries(tables):
    assert repr(tables) == "TableSet(elements=3, sequences=2)"
    e = tables.get_element(code=12101)
    assert (e.code, e.abbreviation, e.element_type, e.unit, e.scale, e.reference, e.width) == (
        12101, "element", "long", "K", -2, -1000000000000, 16)
    assert e.name == 'He said "hi"\\\t\x01 é'
    assert repr(e) == 'ElementDefinition(012101, name="He said \\"hi\\"\\\\\\t\\u{1} é")'
    assert repr(tables.get_element(1001)) == 'ElementDefinition(001001, name="WMO BLOCK NUMBER")'
    assert tables.get_element(1001) is not tables.get_element(1001)
    assert tables.get_element(301001) is None  # a sequence code is not an element

    s = tables.get_sequence(301001)
    assert (s.code, s.members, repr(s)) == (301001, [1001, 1002], "SequenceDefinition(301001, members=[1001, 1002])")
    s.members.append(5)
    assert s.members == [1001, 1002]
    assert repr(tables.get_sequence(340000)) == "SequenceDefinition(340000, members=[])"
    assert tables.get_sequence(1001) is None


@pytest.mark.parametrize("code, raw, meaning", [(20003, 5, "Haze"), (20003, 0, "Clear"), (20003, 1, None),
                                                (1001, 0, None), (20003, 2**64 - 1, None)])
def test_get_meaning(tables, code, raw, meaning):
    assert tables.get_meaning(code, raw=raw) == meaning


def test_read_only_attributes_and_signatures(tables):
    e, s = tables.get_element(1001), tables.get_sequence(301001)
    for obj, names in ((e, ["code", "name", "scale", "width"]), (s, ["code", "members"]),
                       (tables, ["element_count"])):
        for name in names:
            with pytest.raises(AttributeError):
                setattr(obj, name, 1)
    signatures = {"get_element": "($self, code)", "get_sequence": "($self, code)",
                  "get_meaning": "($self, code, raw)", "expand": "($self, descriptors)",
                  "from_eccodes": "(path)", "from_definitions": "(path, message)", "from_bufr4_45": "(path)"}
    for name, text in signatures.items():
        assert getattr(TableSet, name).__text_signature__ == text


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda t: t.get_element(-1), OverflowError, "out of range integral type conversion attempted"),
        (lambda t: t.get_element(4294967296), OverflowError, "out of range integral type conversion attempted"),
        (lambda t: t.get_element("001001"), TypeError,
         "argument 'code': 'str' object cannot be interpreted as an integer"),
        (lambda t: t.get_sequence(None), TypeError,
         "argument 'code': 'NoneType' object cannot be interpreted as an integer"),
        (lambda t: t.get_meaning(1, -1), OverflowError, "can't convert negative int to unsigned"),
        (lambda t: t.get_meaning(1, 2**64), OverflowError, "int too big to convert"),
        (lambda t: t.get_meaning(1, "0"), TypeError,
         "argument 'raw': 'str' object cannot be interpreted as an integer"),
        (lambda t: t.get_meaning(1), TypeError,
         "TableSet.get_meaning() missing 1 required positional argument: 'raw'"),
        (lambda t: TableSet(1), TypeError, "TableSet.__new__() takes 0 positional arguments but 1 was given"),
        (lambda t: TableSet(x=1), TypeError, "TableSet.__new__() got an unexpected keyword argument 'x'"),
    ],
)
def test_argument_errors(call, exc, text):
    with pytest.raises(exc) as info:
        call(TableSet())
    assert type(info.value) is exc and str(info.value) == text


# Runs in a child: loads a table whose element has a 6 MiB abbreviation and
# name, caps the address space 9 MiB above what is in use, then copies the
# element out (argv[2] "copy") or renders the repr of a copy made before the cap.
LOW_MEMORY_SCRIPT = """
import resource, sys
from _vantrel import TableSet
tables = TableSet.from_eccodes(sys.argv[1])
element = tables.get_element(1001)
with open("/proc/self/status") as status:
    in_use = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (in_use + (9 << 20), resource.RLIM_INFINITY))
try:
    tables.get_element(1001) if sys.argv[2] == "copy" else repr(element)
except MemoryError:
    print("MemoryError")
"""


@pytest.mark.parametrize("action", ["copy", "repr"])
def test_allocation_failure_is_memory_error(tmp_path, action):
    if "libasan" in Path("/proc/self/maps").read_text():
        pytest.skip("AddressSanitizer reserves more address space than the cap allows")
    big = "n" * (6 << 20)
    write_table_dir(tmp_path, [Element(1001, abbreviation=big, name=big)])
    child = subprocess.run([sys.executable, "-c", LOW_MEMORY_SCRIPT, str(tmp_path), action], capture_output=True,
                           text=True, env={"PYTHONPATH": ":".join(sys.path)}, timeout=60)
    assert (child.returncode, child.stdout) == (0, "MemoryError\n"), child.stderr
