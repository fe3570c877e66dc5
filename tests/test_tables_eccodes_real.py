"""The ecCodes definitions of libeccodes-data and the sample messages."""

import re
import time
from pathlib import Path

import pytest

from _vantrel import TableSet, parse_bytes
from bufr_builder import messages_of


def edition4_messages(path):
    """(bytes, BufrMessage) of every edition 4 message of a file that parses."""
    for data in messages_of(path.read_bytes()):
        if data[7:8] == b"\x04":
            try:
                message = parse_bytes(data)
            except ValueError:
                continue
            yield data, message


def test_every_wmo_version_loads(eccodes_root):
    wmo = eccodes_root / "bufr" / "tables" / "0" / "wmo"
    versions = sorted(wmo.iterdir(), key=lambda p: int(p.name))
    assert any(p.is_symlink() for p in versions)
    for path in versions:
        tables = TableSet.from_eccodes(str(path))
        assert tables.element_count > 0 and tables.sequence_count > 0, path


def test_latest_counts_match_the_files(latest_wmo_dir):
    lines = (latest_wmo_dir / "element.table").read_text().splitlines()
    elements = {line.split("|")[0] for line in lines if line and not line.startswith("#")}
    sequences = set(re.findall(r'^\s*"(\d+)"\s*=', (latest_wmo_dir / "sequence.def").read_text(), re.M))
    tables = TableSet.from_eccodes(str(latest_wmo_dir))
    assert (tables.element_count, tables.sequence_count) == (len(elements), len(sequences))
    codetables = list((latest_wmo_dir / "codetables").glob("*.table"))
    assert len(codetables) > 400
    code = int(codetables[0].stem)
    first = next(line.split(None, 2) for line in codetables[0].read_text().splitlines()
                 if len(line.split()) >= 3 and not line.startswith("#"))
    assert tables.get_meaning(code, int(first[0])) == " ".join(first[2].split())


def test_latest_loads_quickly(latest_wmo_dir):
    if "libasan" in Path("/proc/self/maps").read_text():
        pytest.skip("timings mean nothing under AddressSanitizer")
    timings = []
    for _ in range(5):
        start = time.perf_counter()
        TableSet.from_eccodes(str(latest_wmo_dir))
        timings.append(time.perf_counter() - start)
    assert min(timings) < 0.05


def test_every_sample_message_loads_and_expands(eccodes_root, bufr_dir):
    local_seen = 0
    count = 0
    for path in sorted(bufr_dir.glob("*.bufr")):
        for _, message in edition4_messages(path):
            tables = TableSet.from_definitions(str(eccodes_root), message)
            expanded = tables.expand(message.unexpanded_descriptors)
            assert expanded and all(code // 100000 in (0, 2, 9) for code in expanded), path
            local_seen += message.local_tables_version_number != 0
            count += 1
    assert count > 100 and local_seen > 0
