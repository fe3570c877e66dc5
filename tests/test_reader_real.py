"""vantrel.open on the shared real files, against the reference dumps.

Every file lists exactly the messages its reference lists; header fields equal
the reference header lines; sample messages decode to the reference values
(checked with the shared comparison tool). Skips cleanly without ../shared.
"""

from __future__ import annotations

import importlib.util
import json
from pathlib import Path

import pytest

import vantrel
from reference_dump import message_lines

from conftest import SHARED_DATA

REFERENCE = SHARED_DATA / "reference"
COMPARE = SHARED_DATA.parent / "tools" / "compare.py"


def sample_files():
    pairs = []
    for folder, prefix in (("bufr", ""), ("bufr-ed3", "ed3_")):
        for path in sorted((SHARED_DATA / folder).glob("*.bufr")):
            ref = REFERENCE / f"{prefix}{path.stem}.jsonl"
            pairs.append(pytest.param(path, ref, id=f"{folder}/{path.name}"))
    return pairs


def load_reference(path: Path) -> dict[int, dict]:
    """message number -> {"header", "error", "lines"}."""
    messages: dict[int, dict] = {}
    with path.open() as f:
        for line in f:
            record = json.loads(line)
            entry = messages.setdefault(record["message"], {"header": None, "error": None, "lines": []})
            if "error" in record:
                entry["error"] = record["error"]
            else:
                entry["lines"].append(record)
                entry["header"] = entry["header"] or record.get("header")
    return messages


@pytest.fixture(scope="module")
def compare():
    if not COMPARE.is_file():
        pytest.skip("../shared/tools/compare.py is not available")
    loader = importlib.util.spec_from_file_location("reference_compare", COMPARE)
    module = importlib.util.module_from_spec(loader)
    loader.loader.exec_module(module)
    return module


def skip_without(path: Path, ref: Path):
    if not path.is_file():
        pytest.skip("../shared/data is not available")
    if not ref.is_file():
        pytest.skip(f"no reference dump for {path.name}")


# Reference header keys and the Message attribute each one is.
HEADER_KEYS = {
    "edition": "edition",
    "masterTableNumber": "master_table",
    "bufrHeaderCentre": "centre",
    "bufrHeaderSubCentre": "subcentre",
    "updateSequenceNumber": "update_sequence_number",
    "dataCategory": "data_category",
    "internationalDataSubCategory": "international_subcategory",
    "masterTablesVersionNumber": "master_table_version",
    "localTablesVersionNumber": "local_table_version",
    "typicalYear": "year",
    "typicalMonth": "month",
    "typicalDay": "day",
    "typicalHour": "hour",
    "typicalMinute": "minute",
    "numberOfSubsets": "number_of_subsets",
    "observedData": "observed",
    "compressedData": "compressed",
}


@pytest.mark.parametrize("path, ref", sample_files())
def test_messages_and_headers_match_the_reference(path, ref):
    skip_without(path, ref)
    reference = load_reference(ref)
    with vantrel.open(path) as reader:
        assert [m.index for m in reader] == sorted(reference)
        for message in reader:
            header = reference[message.index]["header"]
            if header is None:
                continue
            assert message.error is None
            got = {key: getattr(message, attr) for key, attr in HEADER_KEYS.items() if key in header}
            if message.edition == 4 and message.year_of_century is not None:
                # A year below 100 that the reader takes as a year of century: the reference's
                # typicalYear is the coded one (its typicalDate reads the century too).
                got["typicalYear"] = message.year_of_century
            want = {key: header[key] for key in got}
            assert got == want, f"message {message.index}"
            # Sub-category: edition 4 has both kinds; before it, the one byte is the local one.
            assert message.local_subcategory == header["dataSubCategory"]
            if message.edition == 4:
                assert message.second == header["typicalSecond"]
            else:
                assert message.second is None and message.international_subcategory is None


def normalised(line: dict) -> dict:
    """Comparable items: a text of blanks or NULs only counts as missing on both
    sides (the reference writes some as None and some as blanks), and the
    quality values (class 33) that follow 2 22 000 are left out (the reference
    omits them in several files, and lists none as a coded item)."""
    if "items" in line:
        items = []
        quality = False
        for item in line["items"]:
            if len(item) > 2 and item[0] == 222000:
                quality = True
            if quality and item[0] is not None and item[0] // 1000 == 33:
                continue
            if isinstance(item[1], str) and not item[1].strip(" \x00"):
                item = [item[0], None, *item[2:]]
            items.append(item)
        line["items"] = items
    return line


MARKER_BLOCKS = {223000, 224000, 225000, 232000}
FACTORS = {31000, 31001, 31002}


def without_marker_values(line: dict) -> dict:
    """A candidate line without the values of 2 23/24/25/32 255 markers, for messages whose
    reference lists none (the TEMP files list a substitution block's bitmap, 0 01 031,
    0 01 032 and the factor of its replicated markers, but not the substituted values).
    In a block laid out as the operator, a replicated 0 31 031 bitmap, the block's own
    elements and a replicated marker, the marker values are the items the second factor
    counts; a decoder that read a different number of them leaves a disagreement."""
    if "items" not in line:
        return line
    items, drop, phase = [], 0, None
    for item in line["items"]:
        if drop:
            drop -= 1
            continue
        if len(item) > 2 and item[0] in MARKER_BLOCKS:
            phase = "bitmap"
        elif phase == "bitmap" and item[0] not in FACTORS and item[0] != 31031:
            phase = "elements"
        elif phase == "elements" and item[0] in FACTORS:
            drop, phase = int(item[1] or 0), None
        items.append(item)
    return {**line, "items": items}


def soft_items(entry: dict) -> int:
    return sum(item[0] is None for line in entry["lines"] for item in line["items"])


# Messages of these files do not decode yet where the reference does.
KNOWN_FAILURES: dict[str, str] = {}


@pytest.mark.parametrize("path, ref", sample_files())
def test_sample_messages_decode_to_reference_values(path, ref, compare, tmp_path, request):
    skip_without(path, ref)
    if path.name in KNOWN_FAILURES:
        request.applymarker(pytest.mark.xfail(reason=KNOWN_FAILURES[path.name], strict=True))
    reference = load_reference(ref)
    file = next((line["file"] for entry in reference.values() for line in entry["lines"][:1]), path.name)
    with vantrel.open(path) as reader:
        count = len(reader)
        sample = sorted({1, (count + 1) // 2, count})
        lines = [normalised(line if soft_items(reference[index]) else without_marker_values(line))
                 for index in sample for line in message_lines(reader[index - 1], file)]
    candidate = tmp_path / "candidate.jsonl"
    candidate.write_text("".join(json.dumps(line) + "\n" for line in lines))
    expected = tmp_path / "reference.jsonl"
    expected.write_text("".join(
        json.dumps(normalised(record)) + "\n"
        for index in sample
        for record in (reference[index]["lines"] or [{"file": file, "message": index,
                                                      "error": reference[index]["error"]}])))
    stats = compare.compare(str(expected), str(candidate))
    disagreements = {k: v for k, v in stats.n.items() if k not in compare.AGREE}
    assert not disagreements, compare.report(stats)[0]
    decoded_by_reference = [i for i in sample if reference[i]["error"] is None]
    assert stats.n["messages compared"] == len(decoded_by_reference)


# The files whose data need the WMO rules (the package's default). temp.bufr
# holds substitution blocks (2 23 000 after 2 22 000, whose bitmap the block
# refers back to, with no 2 36 000): ecCodes 2.28 (bufr_dump -p) gives 2,993
# substituted values for the file, these 37 of nonCoordinateGeopotential
# (0 10 003) in message 4. airs_57 needs them for all 7 messages.
TEMP_MESSAGE_4_SUBSTITUTED = [140, 1520, 1840, 2270, 8100, 15110, 16350, 16840, 20270, 22660, 23510, 24150, 30990,
                              32570, 36430, 37420, 38420, 40960, 45710, 48740, 55870, 56780, 57660, 65850, 67190,
                              68220, 74330, 78730, 93950, 94810, 107200, 121470, 139030, 162440, 182340, 201790,
                              232660]


def test_the_files_that_need_the_wmo_rules():
    temp, airs = SHARED_DATA / "bufr-ed3" / "temp.bufr", SHARED_DATA / "bufr-ed3" / "airs_57.bufr"
    if not temp.is_file() or not airs.is_file():
        pytest.skip("../shared/data is not available")
    rows = {}
    for rules in ("wmo", "strict"):
        with vantrel.open(temp, rules=rules) as reader:
            rows[rules] = len(reader.columns()["value"])
            substituted = reader[3].values()[-37:]
        with vantrel.open(airs, rules=rules) as reader:
            reader.columns()
            failed = [error.index for error in reader.errors]
        if rules == "wmo":
            assert [(v.descriptor, v.raw_value) for v in substituted] == [(10003, v) for v in TEMP_MESSAGE_4_SUBSTITUTED]
            assert failed == []
        else:  # the markers find no bitmap, and airs_57 runs out of data
            assert failed == [1, 2, 3, 4, 5, 6, 7]
    assert rows["wmo"] - rows["strict"] == 2993


# What a user sees, against ecCodes 2.28 (bufr_dump -p) on the same files: identifiers
# without their NUL padding, NUL-padded ones missing, no position code as data, and
# the meaning of a code table whose unit is "Common CODE TABLE C-1".
AIRCRAFT_IDS = ["M87670b", "M519140", "M519140", "M08f92c"]  # message 1, first subsets


def test_texts_missing_texts_and_common_code_tables_as_users_see_them():
    aircraft = SHARED_DATA / "bufr" / "aircraft_mrar_compressed.bufr"
    hirs = SHARED_DATA / "bufr" / "hirs_metop_compressed.bufr"
    if not aircraft.is_file() or not hirs.is_file():
        pytest.skip("../shared/data is not available")
    frame = vantrel.read_bufr(aircraft, columns=["aircraftRegistrationNumberOrOtherIdentification",
                                                 "aircraftFlightNumber"])
    ids = frame["aircraftRegistrationNumberOrOtherIdentification"]
    assert list(ids[:4]) == AIRCRAFT_IDS and not ids.str.contains("\x00").any()
    assert frame["aircraftFlightNumber"].isna().all()
    with vantrel.open(aircraft) as reader:
        flight = next(v for v in reader[0].values() if v.name == "AIRCRAFT FLIGHT NUMBER")
        assert (flight.raw_text, flight.raw_value, flight.data) == (None, None, None)
    with vantrel.open(hirs) as reader:
        frame = reader[0].to_pandas(columns=["centre"], meanings=True)
    assert set(frame["centre"]) == {"EUMETSAT OPERATION CENTRE"}


def test_a_stray_marker_swallows_no_message():
    # A "BUFR" in junk whose declared length ends exactly on the last "7777" of temp.bufr
    # framed one message of everything; the messages inside are read instead, with a word.
    temp = SHARED_DATA / "bufr-ed3" / "temp.bufr"
    if not temp.is_file():
        pytest.skip("../shared/data is not available")
    data = temp.read_bytes()
    stray = b"BUFR" + (len(data) - 4 + 8).to_bytes(3, "big") + b"\x03"
    with vantrel.open(stray + data) as reader:
        assert len(reader) == 420
        assert reader.warnings[0] == (f"no message at offset 0: its declared length {len(data) + 4} spans the "
                                      "message at offset 8: read from there instead")


def test_damaged_messages_have_one_outcome_through_every_surface():
    # One byte of a real message changed (section 1: master table, centre, versions; section 3;
    # the data): values(), columns() and matrix() all decode it alike, or all fail with one reason.
    files = [SHARED_DATA / "bufr" / name for name in ("synop_wigos.bufr", "aircraft_mrar_compressed.bufr")] + \
        [SHARED_DATA / "bufr-ed3" / "temp_small.bufr"]
    if not all(path.is_file() for path in files):
        pytest.skip("../shared/data is not available")
    import warnings

    checked = 0
    for path in files:
        message = path.read_bytes()[:int.from_bytes(path.read_bytes()[4:7], "big")]
        for at in (10, 11, 12, 14, 15, 18, 20, 30, 34, len(message) // 2):
            broken = bytearray(message)
            broken[at] ^= 0xA5
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                with vantrel.open(bytes(broken)) as reader:
                    if len(reader) != 1 or reader[0].error is not None:
                        continue
                    try:
                        values = [(v.descriptor, v.raw_value) for v in reader[0].values()]
                    except ValueError as error:
                        values = str(error)
                    cols = reader.columns(threads=1)
                    errors = [str(e) for e in reader.errors]
                    try:
                        matrix = reader[0].matrix(threads=1)
                    except ValueError as error:
                        matrix = str(error)
            if isinstance(values, str):
                assert errors == [values] and matrix == values, (path.name, at)
            else:
                assert errors == [] and len(cols["value"]) == len(values), (path.name, at)
                assert sorted(cols["descriptor"].tolist()) == sorted(d for d, _ in values), (path.name, at)
            checked += 1
    assert checked >= 15


# ecCodes 2.50 (codes_get_array(h, "expandedDescriptors")) on the first message of each file:
# (length, sum of the codes, and a slice at an offset: delayed replications as 1 XX 000 with XX the
# codes their group expands to, 999999 before elements with an associated field).
EXPANDED_FROM_ECCODES = [
    ("bufr/synop_multi_subset_uncompressed.bufr", 141, 2586246, 34, [20012, 20012, 104000, 31001, 8002, 20011]),
    ("bufr/compress_3.bufr", 71, 2770074, 29, [8044, 8023, 104000, 31001, 10004, 8090]),
    ("bufr/aircraft_mrar_compressed.bufr", 126, 41808126, 4, [1111, 1112, 31021, 999999, 4001, 999999]),
    ("bufr/tropical_cyclone.bufr", 36, 318656, 22, [6002, 11012, 110000, 31001, 8021, 4024]),
    ("bufr-ed3/synop_radiation.bufr", 147, 33936720, 0, [1125, 1126, 1127, 1128, 1001, 1002]),
    ("bufr-ed3/temp_small.bufr", 37, 933237, 19, [107000, 31001, 7004, 8001, 10003, 12001]),
]


@pytest.mark.parametrize("name, length, total, at, codes", EXPANDED_FROM_ECCODES)
def test_expanded_descriptors_as_eccodes_gives_them(name, length, total, at, codes):
    path = SHARED_DATA / name
    if not path.is_file():
        pytest.skip("../shared/data is not available")
    expanded = vantrel.open(path)[0].expanded_descriptors()
    assert (len(expanded), sum(expanded), expanded[at:at + len(codes)]) == (length, total, codes)
