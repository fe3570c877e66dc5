"""The command line: ls, dump, tables, convert's argument handling, stdin, exit status.

Messages are built with bufr_builder and decoded with table folders written
for each test (a definitions root under tmp_path), so every expected line is
known; the shared real files are listed and dumped when ../shared is there.
"""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
import warnings
from pathlib import Path

import pytest

import vantrel
from bufr_builder import BitWriter, Element, build_message, write_table_dir
from conftest import SHARED_DATA
from vantrel import cli, samples
from vantrel.cli import main

REFERENCE = SHARED_DATA / "reference"
MESSAGE_LINE = re.compile(r"^\s+(\d+)\s+offset (\d+)\s+edition (\d)")

# A definitions root for messages built with the default header (master table 0, version 30, no local tables).
ELEMENTS = [
    Element(1001, "WMO BLOCK NUMBER", "Numeric", 0, 0, 7, "blockNumber"),
    Element(12101, "TEMPERATURE", "K", 2, 0, 16, "airTemperature"),
    Element(20003, "PRESENT WEATHER", "CODE TABLE", 0, 0, 8, "presentWeather"),
    Element(8002, "SIGNIFICANCE", "FLAG TABLE", 0, 0, 4, "significance"),
    Element(1015, "STATION NAME", "CCITT IA5", 0, 0, 32, "stationOrSiteName", "string"),
]
CODE_TABLES = {20003: {3: "THREE", 4: "FOUR"}, 8002: {1: "BIT ONE", 2: "BIT TWO", 3: "BIT THREE", 4: "BIT FOUR"}}
DESCRIPTORS = [1001, 12101, 20003, 8002, 1015, 12101]


@pytest.fixture
def definitions(tmp_path) -> Path:
    root = tmp_path / "definitions"
    write_table_dir(root / "bufr" / "tables" / "0" / "wmo" / "30", ELEMENTS, code_tables=CODE_TABLES)
    return root


def station(block=5, temperature=28715, weather=3, flags=0b1010, name="ABCD", second_temperature=None,
            w: BitWriter | None = None) -> BitWriter:
    """One subset of DESCRIPTORS (appended to ``w``); None writes the missing value (all bits set)."""
    w = BitWriter() if w is None else w
    w.write(block, 7).write(temperature, 16).write(weather, 8).write(flags, 4).write_text(name, 32)
    if second_temperature is None:
        w.write_ones(16)
    else:
        w.write(second_temperature, 16)
    return w


def good_message(**fields) -> bytes:
    return build_message(DESCRIPTORS, station(), **fields)


def short_message() -> bytes:
    """Frames and has a good header, but section 4 is shorter than its descriptors need."""
    return build_message(DESCRIPTORS, BitWriter().write(5, 7))


def wmo_only_message() -> bytes:
    """Decodes under the WMO rules only: 2 01 255 leaves a code table 8 bits wide there, 135 bits otherwise."""
    return build_message([201255, 20003, 201000], BitWriter().write(3, 8))


def bad_header_message() -> bytes:
    return build_message([1001], BitWriter().write(5, 7), section3_length=200)


def run(capsys, *argv) -> tuple[int, str, str]:
    status = main([str(a) for a in argv])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def message_lines(out: str) -> list[re.Match]:
    return [m for m in map(MESSAGE_LINE.match, out.splitlines()) if m]


# ---- ls -----------------------------------------------------------------------


def test_ls_line_has_every_header_field(tmp_path, capsys):
    path = tmp_path / "two.bufr"
    second = build_message([], subsets=0, compressed=True, originating_centre=254, originating_subcentre=7,
                           data_category=21, international_data_subcategory=9, local_data_subcategory=4,
                           typical_year=1999, typical_month=12, typical_day=31, typical_hour=23,
                           typical_minute=59, typical_second=58)
    path.write_bytes(good_message() + b"junk" + second)
    status, out, err = run(capsys, "ls", path)
    assert status == 0 and err == ""
    lines = out.splitlines()
    assert lines[0] == f"{path}: 2 messages"
    first, other = lines[1], lines[2]
    assert MESSAGE_LINE.match(first).groups() == ("1", "0", "4")
    assert "centre 98/0 " in first and "category 0/2/0 " in first and "2024-05-17 12:30:15" in first
    assert first.endswith("1 subset uncompressed")
    assert MESSAGE_LINE.match(other).groups() == ("2", str(len(good_message()) + 4), "4")
    assert "centre 254/7" in other and "category 21/9/4" in other and "1999-12-31 23:59:58" in other
    assert other.endswith("0 subsets compressed  warning: section 3 lists no descriptors: the message holds no values")


@pytest.mark.parametrize(
    "fields, shown",
    [
        pytest.param({"typical_year": 12, "typical_month": 11, "typical_day": 2}, "2012-11-02 12:30:15", id="short-year"),
        pytest.param({"typical_month": 13, "typical_day": 32}, "2024-13-32 12:30:15", id="no-valid-date"),
        pytest.param({"typical_hour": 0, "typical_minute": 0, "typical_second": 0}, "2024-05-17 00:00:00", id="midnight"),
        pytest.param({"typical_hour": 23, "typical_minute": 59, "typical_second": 59}, "2024-05-17 23:59:59", id="last-second"),
    ],
)
def test_ls_shows_the_header_time_as_found(tmp_path, capsys, fields, shown):
    path = tmp_path / "one.bufr"
    path.write_bytes(build_message([], subsets=0, **fields))
    status, out, _ = run(capsys, "ls", path)
    assert status == 0 and f" {shown} " in out.splitlines()[1]


def test_ls_prints_the_readers_warnings(tmp_path, capsys):
    path = tmp_path / "trailing.bufr"
    path.write_bytes(good_message() + b"BUFR and more")
    status, out, _ = run(capsys, "ls", path)
    assert status == 0
    assert len(message_lines(out)) == 1
    warnings = [line for line in out.splitlines() if line.startswith("  warning: ")]
    assert len(warnings) == 1 and f"no message at offset {len(good_message())}" in warnings[0]


def test_old_form_is_ls(tmp_path, capsys):
    path = tmp_path / "one.bufr"
    path.write_bytes(good_message())
    assert run(capsys, path) == run(capsys, "ls", path)


def reference_messages(reference: Path) -> list[int]:
    numbers = {json.loads(line)["message"] for line in reference.read_text().splitlines() if line.strip()}
    return sorted(numbers)


def shared_files():
    params = []
    for folder, prefix in (("bufr", ""), ("bufr-ed3", "ed3_")):
        for path in sorted((SHARED_DATA / folder).glob("*.bufr")):
            params.append(pytest.param(path, REFERENCE / f"{prefix}{path.stem}.jsonl", id=f"{folder}/{path.name}"))
    return params


@pytest.mark.parametrize("path, reference", shared_files())
def test_ls_lists_every_message_of_the_shared_files(bufr_dir, path, reference, capsys):
    if not reference.is_file():
        pytest.skip(f"no reference dump for {path.name}")
    status, out, _ = run(capsys, "ls", path)
    lines = message_lines(out)
    assert [int(m.group(1)) for m in lines] == reference_messages(reference)
    assert out.splitlines()[0] == f"{path}: {len(lines)} message{'' if len(lines) == 1 else 's'}"
    # ls reads headers only: every framed message of these files has a readable header.
    assert status == 0 and "error:" not in out


def test_ls_of_many_files_counts_the_messages_of_all(bufr_dir, capsys):
    paths = [bufr_dir / "synop_wigos.bufr", bufr_dir / "edition3_temp_101.bufr", bufr_dir / "aaen_55.bufr"]
    status, out, _ = run(capsys, "ls", *paths)
    assert status == 0
    assert [line.split(":")[0] for line in out.splitlines() if not line.startswith(" ")] == [str(p) for p in paths]
    assert len(message_lines(out)) == 3 + 4 + 4


# ---- exit status ----------------------------------------------------------------


@pytest.mark.parametrize(
    "parts, command, failed",
    [
        pytest.param([good_message(), good_message()], ["ls"], 0, id="ls-all-good"),
        pytest.param([good_message(), short_message()], ["ls"], 0, id="ls-reads-headers-only"),
        pytest.param([good_message(), short_message()], ["ls", "--check"], 1, id="ls-check-short-data"),
        pytest.param([good_message(), good_message()], ["ls", "--check"], 0, id="ls-check-all-good"),
        pytest.param([bad_header_message(), good_message()], ["ls"], 1, id="ls-bad-header"),
        pytest.param([good_message(), short_message(), short_message()], ["dump"], 2, id="dump-short-data"),
        pytest.param([good_message()], ["dump"], 0, id="dump-good"),
        pytest.param([good_message(), bad_header_message()], ["dump", "--json"], 1, id="dump-json-bad-header"),
        pytest.param([wmo_only_message()], ["ls", "--check"], 0, id="ls-check-wmo-rules"),
        pytest.param([wmo_only_message()], ["ls", "--check", "--rules", "strict"], 1, id="ls-check-strict-rules"),
        pytest.param([wmo_only_message()], ["dump", "--rules", "strict"], 1, id="dump-strict-rules"),
    ],
)
def test_exit_status_and_summary(tmp_path, definitions, capsys, parts, command, failed):
    path = tmp_path / "mixed.bufr"
    path.write_bytes(b"".join(parts))
    status, out, err = run(capsys, *command, path, "--definitions", definitions)
    if failed:
        assert status == 1
        assert err.splitlines() == [f"vantrel: {failed} of {len(parts)} message{'s' if len(parts) > 1 else ''} failed"]
        assert sum(bool(re.search(r"error\"?: ", line)) for line in out.splitlines()) == failed
    else:
        assert status == 0 and err == "" and "error" not in out


def test_unreadable_file_gets_one_line_and_the_others_are_listed(tmp_path, capsys):
    good = tmp_path / "good.bufr"
    good.write_bytes(good_message())
    missing = tmp_path / "missing.bufr"
    status, out, err = run(capsys, "ls", missing, good)
    assert status == 1
    assert err.splitlines() == [f"vantrel: {missing}: No such file or directory", "vantrel: 1 file could not be read"]
    assert f"{good}: 1 message" in out


# ---- dump -----------------------------------------------------------------------


def dump_json(capsys, *argv) -> list[dict]:
    status, out, err = run(capsys, "dump", "--json", *argv)
    assert status == 0, err
    return [json.loads(line) for line in out.splitlines()]


def test_dump_json_values_units_and_meanings(tmp_path, definitions, capsys):
    path = tmp_path / "one.bufr"
    path.write_bytes(good_message())
    (line,) = dump_json(capsys, path, "--definitions", definitions)
    assert list(line) == ["file", "message", "subset", "values"]
    assert (line["file"], line["message"], line["subset"]) == (str(path), 1, 1)
    assert [list(v) for v in line["values"]] == [["key", "code", "value", "unit", "meaning"]] * 6
    assert [(v["key"], v["value"], v["unit"], v["meaning"]) for v in line["values"]] == [
        ("blockNumber", 5.0, "Numeric", None),
        ("airTemperature", 287.15, "K", None),
        ("presentWeather", 3.0, "CODE TABLE", "THREE"),
        ("significance", 10.0, "FLAG TABLE", ["BIT ONE", "BIT THREE"]),
        ("stationOrSiteName", "ABCD", "CCITT IA5", None),
        ("#2#airTemperature", None, "K", None),
    ]


@pytest.mark.parametrize(
    "weather, flags, expected",
    [
        pytest.param(3, 0b1000, ("THREE", ["BIT ONE"]), id="first-bit"),
        pytest.param(4, 0b0001, ("FOUR", ["BIT FOUR"]), id="last-bit"),
        pytest.param(5, 0b0000, (None, []), id="no-meaning-no-bit"),
        pytest.param(254, 0b1110, (None, ["BIT ONE", "BIT TWO", "BIT THREE"]), id="below-missing"),
        pytest.param(255, 0b1111, (None, None), id="missing"),
    ],
)
def test_dump_code_and_flag_meanings_at_their_bounds(tmp_path, definitions, capsys, weather, flags, expected):
    path = tmp_path / "one.bufr"
    path.write_bytes(build_message(DESCRIPTORS, station(weather=weather, flags=flags)))
    (line,) = dump_json(capsys, path, "--definitions", definitions)
    values = {v["key"]: v for v in line["values"]}
    assert (values["presentWeather"]["meaning"], values["significance"]["meaning"]) == expected
    assert values["presentWeather"]["value"] == (None if weather == 255 else float(weather))


def test_dump_meanings_follow_each_subsets_own_values(tmp_path, definitions, capsys):
    """Meanings are looked up once per descriptor and value, not once per descriptor."""
    w = station(weather=3, flags=0b1000)
    station(weather=4, flags=0b0001, w=w)
    station(weather=3, flags=0b0000, w=w)
    path = tmp_path / "three.bufr"
    path.write_bytes(build_message(DESCRIPTORS, w, subsets=3))
    lines = dump_json(capsys, path, "--definitions", definitions)
    meanings = [[v["meaning"] for v in line["values"] if v["key"] in ("presentWeather", "significance")] for line in lines]
    assert meanings == [["THREE", ["BIT ONE"]], ["FOUR", ["BIT FOUR"]], ["THREE", []]]


def test_dump_text_table(tmp_path, definitions, capsys):
    path = tmp_path / "one.bufr"
    path.write_bytes(build_message(DESCRIPTORS, station(second_temperature=27315)))
    status, out, _ = run(capsys, "dump", path, "--definitions", definitions)
    assert status == 0
    lines = out.splitlines()
    assert lines[0] == f"== {path} message 1 (offset 0, edition 4, 2024-05-17 12:30:15), subset 1 of 1"
    rows = [line.split() for line in lines[1:]]
    assert rows[0] == ["blockNumber", "5", "Numeric"]
    assert rows[1] == ["airTemperature", "287.15", "K"]
    assert rows[2] == ["presentWeather", "3", "CODE", "TABLE", "THREE"]
    assert lines[4].split(None, 4)[4] == "BIT ONE; BIT THREE"
    assert rows[4] == ["stationOrSiteName", "ABCD", "CCITT", "IA5"]
    assert rows[5] == ["#2#airTemperature", "273.15", "K"]
    # Columns line up: every value starts where the longest key's column ends.
    assert len({line.index(row[1], len(row[0]) + 2) for line, row in zip(lines[1:], rows)}) == 1


@pytest.mark.parametrize("count", [1, 3])
def test_dump_message_and_subset_selection_bounds(tmp_path, definitions, capsys, count):
    path = tmp_path / "many.bufr"
    path.write_bytes(b"".join(build_message(DESCRIPTORS, station(block=n)) for n in range(1, count + 1)))
    options = ["--definitions", definitions]
    assert [line["message"] for line in dump_json(capsys, path, *options)] == list(range(1, count + 1))
    (last,) = dump_json(capsys, path, "--message", count, *options)
    assert (last["message"], last["values"][0]["value"]) == (count, float(count))
    assert [line["subset"] for line in dump_json(capsys, path, "--subset", 1, *options)] == [1] * count
    status, out, err = run(capsys, "dump", path, "--message", count + 1, *options)
    assert status == 2 and out == "" and f"has no message {count + 1} (it has {count})" in err
    status, _, err = run(capsys, "dump", path, "--subset", 2, *options)
    assert status == 2 and "message 1 has no subset 2 (it has 1)" in err


@pytest.mark.parametrize("bad", ["0", "-1", "x"])
def test_dump_message_must_be_a_positive_number(tmp_path, capsys, bad):
    with pytest.raises(SystemExit) as stop:
        main(["dump", "x.bufr", "--message", bad])
    assert stop.value.code == 2


def test_dump_json_is_stable_and_parses_for_shared_files(bufr_dir, capsys):
    path = bufr_dir / "multi_invalid_messages.bufr"
    status, first, _ = run(capsys, "dump", "--json", path)
    again = run(capsys, "dump", "--json", path)[1]
    assert first == again
    lines = [json.loads(line) for line in first.splitlines()]
    assert [line["message"] for line in lines] == sorted(line["message"] for line in lines)
    errors = [line for line in lines if "error" in line]
    assert status == (1 if errors else 0)
    for line in lines:
        assert list(line) == (["file", "message", "error"] if "error" in line else ["file", "message", "subset", "values"])


def test_dump_json_nests_attributes_in_their_value_as_eccodes_does(bufr_dir, capsys):
    # bufr_dump -j s: {"key": "blockNumber", "value": 91, ..., "percentConfidence": {"value": 70, ...}}
    status, out, _ = run(capsys, "dump", "--json", bufr_dir / "edition3_syno_1.bufr", "--message", "1")
    values = json.loads(out.splitlines()[0])["values"]
    block = values[0]
    assert (block["key"], block["value"], block["percentConfidence"]["value"]) == ("blockNumber", 91, 70)
    assert block["percentConfidence"]["key"] == "blockNumber->percentConfidence"
    assert status == 0 and not any("->" in v["key"] for v in values)  # none left loose


def test_dump_json_matches_reference_values_of_the_sample(capsys):
    """The shipped synop sample against its reference dump, value by value (operators and quality
    values aside, the reference lists values in data order with the same descriptors)."""
    reference = REFERENCE / "synop_multi_subset_uncompressed.jsonl"
    if not reference.is_file():
        pytest.skip("../shared/data/reference is not available")
    expected = [json.loads(line) for line in reference.read_text().splitlines()]
    lines = dump_json(capsys, "--sample", "synop")
    assert len(lines) == len(expected) == 12
    for line, ref in zip(lines, expected):
        ours = [(v["code"], v["value"]) for v in line["values"]]
        theirs = [(code, value) for code, value in ref["items"] if code is not None]
        assert len(ours) == len(theirs)
        for (code, value), (ref_code, ref_value) in zip(ours, theirs):
            assert code == ref_code
            if ref_value is None:
                assert value is None
            elif isinstance(ref_value, str):
                assert value.rstrip() == ref_value.rstrip()
            else:
                assert value == pytest.approx(ref_value, rel=1e-12)


@pytest.mark.parametrize("name", samples.names())
def test_dump_sample_prints_a_decoded_table(capsys, name):
    status, out, err = run(capsys, "dump", "--sample", name, "--message", 1, "--subset", 1)
    assert status == 0, err
    lines = out.splitlines()
    assert lines[0].startswith(f"== {Path(samples.path(name)).name} message 1 ")
    rows = [line for line in lines[1:] if not line.startswith("warning: ")]
    assert len(rows) > 50 and all(line.startswith("  ") for line in rows)
    assert any(row.split()[0] == "latitude" for row in rows)


def test_dump_needs_exactly_one_source(capsys):
    assert run(capsys, "dump")[0] == 2
    assert run(capsys, "dump", "x.bufr", "--sample")[0] == 2


@pytest.mark.parametrize(
    "value, text",
    [(280.15000000000003, 280.15), (46.198440000000005, 46.19844), (1e-05, 1e-05), (2015.0, 2015.0), (None, None)],
)
def test_numbers_lose_binary_noise_only(value, text):
    assert cli.clean_number(value) == text


# ---- standard input, version, module entry --------------------------------------


def test_standard_input_reads_like_a_file(tmp_path, definitions):
    data = good_message() + short_message()
    path = tmp_path / "in.bufr"
    path.write_bytes(data)
    command = [sys.executable, "-m", "vantrel"]
    env_path = {**os.environ, "PYTHONPATH": ":".join(sys.path)}
    for args in (["ls"], ["dump", "--json", "--definitions", str(definitions)]):
        from_file = subprocess.run(command + args + [str(path)], capture_output=True, env=env_path)
        from_stdin = subprocess.run(command + args + ["-"], input=data, capture_output=True, env=env_path)
        assert from_stdin.returncode == from_file.returncode == (1 if "dump" in args else 0)
        assert from_stdin.stdout == from_file.stdout.replace(str(path).encode(), b"<stdin>")
        assert from_stdin.stderr == from_file.stderr


def test_version(capsys):
    with pytest.raises(SystemExit) as stop:
        main(["--version"])
    assert stop.value.code == 0
    assert capsys.readouterr().out == f"vantrel {vantrel.__version__}\n"


def test_no_command_is_a_usage_error(capsys):
    status, out, err = run(capsys)
    assert status == 2 and out == "" and "a command or a FILE is needed" in err


def test_module_entry_point(tmp_path):
    path = tmp_path / "one.bufr"
    path.write_bytes(good_message())
    result = subprocess.run([sys.executable, "-m", "vantrel", "ls", str(path)], capture_output=True, text=True,
                            env={**os.environ, "PYTHONPATH": ":".join(sys.path)})
    assert result.returncode == 0 and f"{path}: 1 message" in result.stdout


def test_progress_bar_stays_off_when_stderr_is_not_a_terminal(bufr_dir, capsys):
    status, _, err = run(capsys, "ls", "--check", bufr_dir / "synop_dwd_multi.bufr")
    assert status == 0 and err == ""


# ---- tables ---------------------------------------------------------------------


def test_tables_names_the_root_its_origin_and_versions(tmp_path, capsys):
    root = tmp_path / "defs"
    for version in (13, 14, 15, 20):
        write_table_dir(root / "bufr" / "tables" / "0" / "wmo" / str(version))
    status, out, _ = run(capsys, "tables", "--definitions", root)
    assert status == 0
    assert out.splitlines() == [
        f"definitions: {root}",
        "found through: the definitions argument",
        "master table 0: WMO versions 13-15, 20 (4 present)",
    ]


def test_tables_without_definitions_fails_naming_the_places(tmp_path, capsys):
    status, out, err = run(capsys, "tables", "--definitions", tmp_path / "nowhere")
    assert status == 1 and out == ""
    assert str(tmp_path / "nowhere") in err and "libeccodes-data" in err


@pytest.mark.parametrize(
    "versions, text",
    [([], "none"), ([7], "7"), ([1, 2], "1-2"), ([1, 3], "1, 3"), ([2, 6, 7, 8, 39], "2, 6-8, 39")],
)
def test_version_ranges(versions, text):
    assert cli.version_ranges(versions) == text


# ---- convert (argument handling; the frames come from vantrel.read_bufr) --------


@pytest.mark.parametrize(
    "given, expected",
    [(None, None), ([], None), (["a"], ["a"]), (["a,#2#b", "c"], ["a", "#2#b", "c"]), (["a,,b,"], ["a", "b"])],
)
def test_convert_columns(given, expected):
    assert cli.split_columns(given) == expected


def test_convert_refuses_an_unknown_suffix(tmp_path, capsys):
    status, _, err = run(capsys, "convert", "x.bufr", "-o", tmp_path / "out.xlsx")
    assert status == 2 and ".parquet, .csv, .jsonl" in err


@pytest.mark.parametrize("suffix", [".csv", ".jsonl", ".parquet"])
def test_convert_writes_the_frame_by_suffix(tmp_path, monkeypatch, capsys, suffix):
    pandas = pytest.importorskip("pandas")
    if suffix == ".parquet":
        pytest.importorskip("pyarrow")
    calls = []

    def read_bufr(sources, **options):
        calls.append((sources, options))
        return pandas.DataFrame({"stationNumber": [27, 28], "airTemperature": [276.45, None]})

    monkeypatch.setattr(vantrel, "read_bufr", read_bufr, raising=False)
    out = tmp_path / f"out{suffix}"
    status, _, err = run(capsys, "convert", "a.bufr", "b.bufr", "-o", out, "--columns", "stationNumber,airTemperature",
                         "--form", "long", "--jobs", 3)
    assert status == 0 and "wrote 2 rows, 2 columns" in err
    assert calls == [(["a.bufr", "b.bufr"], {"columns": ["stationNumber", "airTemperature"], "form": "long", "threads": 3})]
    assert out.stat().st_size > 0
    back = {".csv": pandas.read_csv, ".parquet": pandas.read_parquet,
            ".jsonl": lambda p: pandas.read_json(p, orient="records", lines=True)}[suffix](out)
    assert back["stationNumber"].tolist() == [27, 28]
    assert back["airTemperature"].iloc[0] == 276.45 and pandas.isna(back["airTemperature"].iloc[1])


@pytest.mark.parametrize(
    "flags, options",
    [
        pytest.param([], {}, id="defaults-left-to-read_bufr"),
        pytest.param(["--meanings", "--header"], {"meanings": True, "header": True}, id="meanings-header"),
        pytest.param(["--errors", "raise"], {"errors": "raise"}, id="errors"),
        pytest.param(["--definitions", "/defs"], {"definitions": "/defs"}, id="definitions"),
        pytest.param(["--tables", "/t"], {"tables": "/t"}, id="tables"),
        pytest.param(["--rules", "strict"], {"rules": "strict"}, id="rules"),
        pytest.param(["--filter", "centre=98", "--filter", "stationOrSiteName=ABCD,X1,2.5"],
                     {"filters": {"centre": 98, "stationOrSiteName": {"ABCD", "X1", 2.5}}}, id="filters"),
    ],
)
def test_convert_passes_only_the_options_given(tmp_path, monkeypatch, capsys, flags, options):
    pandas = pytest.importorskip("pandas")
    calls = []
    monkeypatch.setattr(vantrel, "read_bufr", lambda sources, **kw: calls.append(kw) or pandas.DataFrame({"a": [1]}),
                        raising=False)
    status, _, _ = run(capsys, "convert", "a.bufr", "-o", tmp_path / "out.csv", *flags)
    assert status == 0
    assert calls == [{"columns": None, "form": "wide", "threads": None, **options}]


@pytest.mark.parametrize("category, text, status", [
    ("FailedMessagesWarning", "3 messages failed and were skipped; first: x", 1),
    ("BufrWarning", "a table version was taken for one that failed to load", 0),
])
def test_convert_exit_status_follows_skipped_messages(tmp_path, monkeypatch, capsys, category, text, status):
    # The kind of warning decides, not its words.
    pandas = pytest.importorskip("pandas")

    def read_bufr(sources, **options):
        import warnings

        warnings.warn(text, getattr(vantrel, category), stacklevel=2)
        return pandas.DataFrame({"a": [1.5]})

    monkeypatch.setattr(vantrel, "read_bufr", read_bufr, raising=False)
    got, _, err = run(capsys, "convert", "a.bufr", "-o", tmp_path / "out.jsonl")
    assert got == status and f"vantrel: warning: {text}" in err


def test_convert_json_lines_are_plain_json(tmp_path, monkeypatch, capsys):
    # ISO 8601 times, slashes as they are, null for missing values and NaT.
    pandas = pytest.importorskip("pandas")
    frame = pandas.DataFrame({"file": ["a/b.bufr", "a/c.bufr"], "value": [1.5, None],
                              "datetime": pandas.to_datetime(["2024-05-17 12:30:15.25", None])})
    monkeypatch.setattr(vantrel, "read_bufr", lambda sources, **kw: frame, raising=False)
    out = tmp_path / "out.jsonl"
    assert run(capsys, "convert", "a.bufr", "-o", out)[0] == 0
    assert out.read_text().splitlines() == [
        '{"file": "a/b.bufr", "value": 1.5, "datetime": "2024-05-17T12:30:15.250000"}',
        '{"file": "a/c.bufr", "value": null, "datetime": null}']


@pytest.mark.parametrize(
    "argv, status, line",
    [
        pytest.param(["convert", "{good}", "-o", "{tmp}/no/such/folder/out.csv"], 1,
                     "vantrel: cannot write {tmp}/no/such/folder/out.csv: ", id="convert-output-folder-missing"),
        pytest.param(["convert", "{tmp}/missing.bufr", "-o", "{tmp}/out.csv"], 1,
                     "vantrel: [Errno 2] No such file or directory: ", id="convert-input-missing"),
        pytest.param(["convert", "{good}", "-o", "{tmp}/out.csv", "--columns", "airTemprature"], 2,
                     "vantrel: error: 'airTemprature' is no key", id="convert-unknown-column"),
        pytest.param(["convert", "{short}", "-o", "{tmp}/out.csv", "--errors", "raise"], 1,
                     "vantrel: message 1 at offset 0: ", id="convert-errors-raise"),
        pytest.param(["ls", "{text}"], 1, "vantrel: 1 file held no BUFR message", id="ls-text-file"),
        pytest.param(["ls", "--check", "{text}"], 1, "vantrel: 1 file held no BUFR message", id="ls-check-text-file"),
        pytest.param(["dump", "{text}"], 1, "vantrel: 1 file held no BUFR message", id="dump-text-file"),
    ],
)
def test_failures_are_one_line_and_an_exit_status(tmp_path, definitions, capsys, argv, status, line):
    pytest.importorskip("pandas")
    paths = {"good": tmp_path / "good.bufr", "short": tmp_path / "short.bufr", "text": tmp_path / "notes.txt",
             "tmp": tmp_path}
    paths["good"].write_bytes(good_message())
    paths["short"].write_bytes(short_message())
    paths["text"].write_text("no message in here\n")
    got, _, err = run(capsys, *[a.format(**paths) for a in argv], "--definitions", definitions)
    assert got == status
    assert err.splitlines()[-1].startswith(line.format(**paths)) and "Traceback" not in err


def test_dump_reads_several_files_and_warns_on_stderr(tmp_path, definitions, capsys):
    one, two = tmp_path / "one.bufr", tmp_path / "two.bufr"
    one.write_bytes(good_message())
    two.write_bytes(good_message(typical_year=12) + b"\0\0")
    status, out, err = run(capsys, "dump", one, two, "--definitions", definitions)
    assert status == 0 and [line.split(" message")[0] for line in out.splitlines() if line.startswith("==")] == \
        [f"== {one}", f"== {two}"]
    assert "warning" not in out
    assert err.splitlines() == [
        f"vantrel: {two} message 1: warning: edition 4 year 12 is below 100; read as year of century: 2012",
        f"vantrel: {two}: warning: 2 bytes after the last message (offset {len(good_message())})"]
    status, out, _ = run(capsys, "dump", "--json", "--compact", one, "--definitions", definitions)
    assert json.loads(out) == {"file": str(one), "message": 1, "subset": 1, "blockNumber": 5.0,
                               "airTemperature": 287.15, "presentWeather": 3.0, "significance": 10.0,
                               "stationOrSiteName": "ABCD", "#2#airTemperature": None}


def test_a_closed_pipe_is_not_a_failure(tmp_path, definitions):
    import subprocess

    path = tmp_path / "many.bufr"
    path.write_bytes(good_message() * 200)
    process = subprocess.Popen([sys.executable, "-m", "vantrel", "dump", str(path), "--definitions", str(definitions)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdout.readline()
    process.stdout.close()  # as `| head -1` does
    _, err = process.communicate(timeout=60)
    assert process.returncode == 0 and err == b""


def test_convert_all_shared_files_reads_back(bufr_dir, tmp_path, capsys):
    pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    files = sorted(str(p) for p in list(bufr_dir.glob("*.bufr")) + list((bufr_dir.parent / "bufr-ed3").glob("*.bufr")))
    out = tmp_path / "all.parquet"
    status, _, err = run(capsys, "convert", *files, "-o", out, "--columns", "latitude,longitude")
    # Some shared messages fail by design (jason2, multi_invalid_messages): status 1 with the summary.
    assert status == 1 and "messages failed and were skipped" in err
    table = pq.read_table(out)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        expected = vantrel.read_bufr(files, columns=["latitude", "longitude"])
    assert table.num_rows == len(expected) > 50000
    assert set(table.column_names) >= {"file", "message", "subset", "latitude", "longitude"}


def test_convert_with_a_local_dask_cluster(bufr_dir, tmp_path, capsys):
    pytest.importorskip("distributed")
    pytest.importorskip("pyarrow")
    if os.environ.get("VANTREL_SANITIZED"):
        pytest.skip("worker processes under the preloaded sanitizer runtime")
    import pyarrow.parquet as pq

    files = [str(bufr_dir / "synop_dwd_multi.bufr"), str(bufr_dir / "synop_wigos.bufr")]
    out = tmp_path / "dataset.parquet"
    status, _, err = run(capsys, "convert", *files, "-o", out, "--columns", "stationNumber", "--dask", "local",
                         "--jobs", "2")
    assert status == 0, err
    assert out.is_dir()
    assert pq.read_table(out).num_rows == len(vantrel.read_bufr(files, columns=["stationNumber"]))


# ---- copy ---------------------------------------------------------------------

# Sizes of what `bufr_copy -w CONDITIONS FILE OUT` (ecCodes 2.28) writes; vantrel's copy must
# write the same bytes: the messages whose header matches, in file order, junk left out.
COPIES = [
    ("bufr/synop_dwd_multi.bufr", "dataCategory=0", 190141),
    ("bufr/synop_dwd_multi.bufr", "numberOfSubsets=1/2/3", 5090),
    ("bufr-ed3/temp.bufr", "dataCategory=2,bufrHeaderCentre=98", 496244),
    ("bufr/multi_invalid_messages.bufr", "edition=3", 522),
    ("bufr/multi_invalid_messages.bufr", "numberOfSubsets=1/2/3", 735),
    ("bufr/aircraft_mrar_compressed.bufr", "data_category=0", 0),
]


@pytest.mark.parametrize("name, where, size", COPIES)
def test_copy_writes_the_matching_messages_byte_for_byte(tmp_path, capsys, name, where, size):
    source = SHARED_DATA / name
    if not source.is_file():
        pytest.skip("../shared/data is not available")
    out = tmp_path / "out.bufr"
    status, _, err = run(capsys, "copy", "-w", where, source, out)
    assert out.stat().st_size == size
    data = source.read_bytes()
    with vantrel.open(source) as reader:
        conditions = cli.parse_where(where)
        good = [m for m in reader if m.error is None]
        kept = [m for m in good if all(getattr(m, key) in values for key, values in conditions.items())]
        assert out.read_bytes() == b"".join(data[m.offset:m.offset + m.length] for m in kept)
        assert status == (1 if len(good) < len(reader) else 0)


def test_copy_leaves_out_messages_whose_header_is_bad(tmp_path, capsys):
    good = good_message()
    bad = bytearray(good_message(data_category=1))
    bad[7] = 5  # edition 5: frames, but no header to match
    source, out = tmp_path / "in.bufr", tmp_path / "out.bufr"
    source.write_bytes(good + bytes(bad) + good)
    status, _, err = run(capsys, "copy", "-w", "edition=4/5", source, out)
    assert out.read_bytes() == good + good and status == 1 and "1 message with a bad header not copied" in err


@pytest.mark.parametrize("where", ["nosuchKey=1", "dataCategory", "dataCategory=x"])
def test_copy_refuses_conditions_it_cannot_read(tmp_path, capsys, where):
    status, _, err = run(capsys, "copy", "-w", where, tmp_path / "in.bufr", tmp_path / "out.bufr")
    assert status == 2 and "-w" in err


def test_ls_p_prints_header_keys_as_bufr_ls_does(capsys):
    files = [SHARED_DATA / "bufr" / "aircraft_mrar_compressed.bufr", SHARED_DATA / "bufr-ed3" / "aircraft_small.bufr"]
    if not all(f.is_file() for f in files):
        pytest.skip("../shared/data is not available")
    keys = "edition,bufrHeaderSubCentre,typicalDate,typicalTime,numberOfSubsets,compressedData"
    status, out, _ = run(capsys, "ls", "-p", keys, *files)
    lines = out.splitlines()
    # bufr_ls -p (ecCodes 2.28) on the same files: the first lines of each.
    assert lines[2:4] == ["4" + " " * 20 + "99                   20210909             150000               100                  1",
                          "4" + " " * 20 + "99                   20210909             151220               86                   1"]
    assert lines[7:9] == ["3                    0                    20090123             130000               1                    0",
                          "3                    0                    20090123             130100               1                    0"]
    assert status == 0 and lines[1].split() == keys.split(",")
    status, _, err = run(capsys, "ls", "-p", "airTemperature", files[0])
    assert status == 2 and "header keys" in err


# ---- compare ------------------------------------------------------------------

def test_compare_finds_what_bufr_compare_finds(tmp_path, capsys):
    source = SHARED_DATA / "bufr" / "synop_multi_subset_uncompressed.bufr"
    if not source.is_file():
        pytest.skip("../shared/data is not available")
    data = source.read_bytes()
    changed, numeric = bytearray(data), bytearray(data)
    changed[13], changed[200] = 77, changed[200] ^ 0x10  # the centre, a bit of a station name
    numeric[400] ^= 0x01
    paths = {}
    for name, content in (("same", data), ("changed", changed), ("numeric", numeric)):
        paths[name] = tmp_path / f"{name}.bufr"
        paths[name].write_bytes(bytes(content))
    assert run(capsys, "compare", source, paths["same"])[:2] == (0, "")
    # bufr_compare (ecCodes 2.28): bufrHeaderCentre [88] != [77]; #2#stationOrSiteName (ranked
    # over the message: the second subset's) [PASVIK] != [PASVIK            \xa0].
    status, out, _ = run(capsys, "compare", source, paths["changed"])
    assert status == 1 and out.splitlines() == [
        "message 1: bufrHeaderCentre: 88 != 77",
        "message 1: subset 2 stationOrSiteName: 'PASVIK' != 'PASVIK            \\xa0'"]
    # bufr_compare: #21#heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform 2 != 165.84 (the
    # fifth of subset 3), absolute difference 163.84: within a tolerance of 200, beyond one of 100.
    status, out, _ = run(capsys, "compare", "-t", "100", source, paths["numeric"])
    assert status == 1 and out.splitlines() == [
        "message 1: subset 3 #5#heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform: 2 != 165.84"]
    assert run(capsys, "compare", "-t", "200", source, paths["numeric"])[:2] == (0, "")
