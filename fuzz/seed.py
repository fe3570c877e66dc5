"""Writes seed corpora for the fuzz targets into DIR/<target>/.

Seeds come from the test suite's builders and, at run time only, from the
sample files of ../shared/data and the installed ecCodes definitions (never
committed).

    python3 fuzz/seed.py build/fuzz/seeds
"""

from __future__ import annotations

import hashlib
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from bufr_builder import ELEMENT_HEADER, BitWriter, Element, build_message, messages_of  # noqa: E402

SHARED = ROOT.parent / "shared" / "data"
ECCODES_WMO = Path("/usr/share/eccodes/definitions/bufr/tables/0/wmo")


def built_messages() -> list[bytes]:
    w = BitWriter().write(2876, 12).write_text("STATION", 64).write(3, 8).write(1, 8).write(2, 8).write(4, 8)
    compressed = BitWriter().write(10, 8).write(2, 6).write(0, 2).write(3, 2).write(1, 2)
    return [
        build_message([12101, 1015, 101000, 31001, 1001], w),
        build_message([1001], compressed, subsets=3, compressed=True),
        build_message([204004, 31021, 12101, 204000], BitWriter().write(1, 6).write(5, 4).write(7, 12)),
        build_message([201129, 12101, 201000, 207002, 12101], BitWriter().write(0, 64)),
        build_message([222000, 236000, 101003, 31031, 223255], BitWriter().write(0, 16)),
    ]


def damaged(messages: list[bytes]) -> list[bytes]:
    """Real messages with one realistic fault each: a flipped byte in section 1 (the master
    table, the centre, the versions), in section 3 (flags, descriptors) and in the data, a
    length field changed, and the data cut short."""
    out = []
    for number, message in enumerate(messages[:24]):
        for at in (10, 11, 14, 18, 19, 20, 30, 34, 40, len(message) // 2, len(message) - 6):
            if 8 <= at < len(message) - 4:
                broken = bytearray(message)
                broken[at] ^= 0x5A + number % 7
                out.append(bytes(broken))
        out.append(message[:4] + (len(message) - 16).to_bytes(3, "big") + message[7:len(message) - 16])
    return out


def head(path: Path, lines: int) -> bytes:
    with open(path, "rb") as f:
        return b"".join(f.readline() for _ in range(lines))


def main(out: Path) -> None:
    seeds: dict[str, list[bytes]] = {name: [] for name in
                                     ("fuzz_message", "fuzz_scan", "fuzz_decode", "fuzz_columns", "fuzz_bits",
                                      "fuzz_tables_eccodes", "fuzz_tables_csv")}
    for message in built_messages():
        seeds["fuzz_message"].append(message)
        seeds["fuzz_decode"].append(message)
    for folder in ("bufr", "bufr-ed3"):
        if not (SHARED / folder).is_dir():
            continue
        for path in sorted((SHARED / folder).glob("*.bufr")):
            data = path.read_bytes()
            if len(data) < 70000:
                seeds["fuzz_message"].append(data)
            seeds["fuzz_decode"].extend(m for m in messages_of(data)[:2] if len(m) < 20000)

    elements = [Element(12101, "TEMPERATURE", "K", 2, 0, 16), Element(1015, "STATION", "CCITT IA5", 0, 0, 160)]
    seeds["fuzz_scan"] = list(seeds["fuzz_message"])
    seeds["fuzz_columns"] = list(seeds["fuzz_decode"]) + damaged(seeds["fuzz_decode"])
    # The bit reader: every data length up to 17 bytes, every starting offset, and
    # reads of 57 to 64 bits that end on the last bit of the data.
    for length in range(1, 18):
        for offset in range(8):
            for wide in (57, 63, 64):
                seeds["fuzz_bits"].append(bytes([2, offset, wide]) + bytes((7 * i + 3) & 0xFF for i in range(length)))
    seeds["fuzz_tables_eccodes"] += [
        b"\0" + ("\n".join([ELEMENT_HEADER] + [e.line() for e in elements]) + "\n").encode(),
        b"\1" + b'"300002" = [  000002, 000003 ]\n"301011" = [ 004001,\n 004002, 004003, ]\n',
        b"\2" + b"0 0 Reserved\n1 1 Some  meaning\twith tabs\n# comment\n+5 5 text\n",
    ]
    latest = max((p for p in ECCODES_WMO.iterdir() if p.name.isdigit()), key=lambda p: int(p.name), default=None) \
        if ECCODES_WMO.is_dir() else None
    if latest is not None:
        seeds["fuzz_tables_eccodes"] += [b"\0" + head(latest / "element.table", 40),
                                         b"\1" + head(latest / "sequence.def", 40),
                                         b"\2" + head(latest / "codetables" / "1003.table", 20)]
    seeds["fuzz_tables_csv"] += [
        b"\0ClassNo,ClassName,FXY,ElementName,BUFR_Unit,BUFR_Scale,BUFR_ReferenceValue,BUFR_DataWidth_Bits\n"
        b'01,Identification,001001,"WMO, block",Numeric,0,0,7\n',
        b"\1Category,CategoryOfSequences,FXY1,Title,SubTitle,FXY2\n00,x,300002,t,s,000002\n00,x,300002,t,s,000003\n",
    ]
    csv_dir = SHARED / "wmo-bufr4"
    if csv_dir.is_dir():
        seeds["fuzz_tables_csv"] += [b"\0" + head(csv_dir / "BUFRCREX_TableB_en_01.csv", 30),
                                     b"\1" + head(csv_dir / "BUFR_TableD_en_01.csv", 30)]

    for target, blobs in seeds.items():
        folder = out / target
        folder.mkdir(parents=True, exist_ok=True)
        for blob in blobs:
            (folder / hashlib.sha1(blob).hexdigest()).write_bytes(blob)


if __name__ == "__main__":
    main(Path(sys.argv[1] if len(sys.argv) > 1 else "build/fuzz/seeds"))
