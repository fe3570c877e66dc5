"""Builds BUFR edition 4 messages and ecCodes table directories for tests.

    w = BitWriter()
    w.write(2876, 12)          # most significant bit first
    w.write_text("ABC", 24)    # character data, padded with spaces
    msg = build_message([12101, 1015], w, subsets=1)

Every header field of sections 0 to 5 can be overridden; lengths are computed
unless given explicitly, so malformed messages are one keyword away.
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import Iterable, Mapping, Sequence


class BitWriter:
    """Most-significant-bit-first bit writer for section 4 data."""

    def __init__(self) -> None:
        self._value = 0
        self._bits = 0

    def write(self, value: int, width: int) -> "BitWriter":
        if width < 0 or value < 0 or value >> width:
            raise ValueError(f"{value} does not fit in {width} bits")
        self._value = (self._value << width) | value
        self._bits += width
        return self

    def write_ones(self, width: int) -> "BitWriter":
        return self.write((1 << width) - 1, width)

    def write_bytes(self, data: bytes, width: int | None = None) -> "BitWriter":
        """Writes the bytes as width bits (default all of them, 8 per byte)."""
        width = len(data) * 8 if width is None else width
        value = int.from_bytes(data, "big") if data else 0
        total = len(data) * 8
        if width < total:
            value >>= total - width
        else:
            value <<= width - total
        return self.write(value, width)

    def write_text(self, text: str, width: int) -> "BitWriter":
        """Writes ASCII text padded with blanks to width bits."""
        raw = text.encode("latin-1")
        nbytes = (width + 7) // 8
        return self.write_bytes(raw.ljust(nbytes, b" ")[:nbytes], width)

    @property
    def bit_length(self) -> int:
        return self._bits

    def to_bytes(self, pad_to_even: bool = True) -> bytes:
        """The bits written so far, padded with zero bits to a whole byte
        (and to an even number of bytes unless pad_to_even is false)."""
        nbytes = (self._bits + 7) // 8
        if pad_to_even and nbytes % 2:
            nbytes += 1
        return (self._value << (nbytes * 8 - self._bits)).to_bytes(nbytes, "big") if nbytes else b""


def descriptor_bytes(code: int) -> bytes:
    """The two section 3 bytes of a descriptor code FXXYYY."""
    f, x, y = code // 100000, (code // 1000) % 100, code % 1000
    return bytes([(f << 6) | x, y])


def u24(n: int) -> bytes:
    return n.to_bytes(3, "big")


@dataclass
class Header:
    """Section 1 fields (edition 4 layout); defaults describe a plain synop."""

    master_table_number: int = 0
    originating_centre: int = 98
    originating_subcentre: int = 0
    update_sequence_number: int = 0
    optional_section_flag: int | None = None  # None: derived from section2
    data_category: int = 0
    international_data_subcategory: int = 2
    local_data_subcategory: int = 0
    master_tables_version_number: int = 30
    local_tables_version_number: int = 0
    typical_year: int = 2024
    typical_month: int = 5
    typical_day: int = 17
    typical_hour: int = 12
    typical_minute: int = 30
    typical_second: int = 15
    extra: bytes = b""  # section 1 octets beyond 22


def build_message(
    descriptors: Sequence[int] = (),
    data: BitWriter | bytes = b"",
    *,
    subsets: int = 1,
    compressed: bool = False,
    observed: bool = True,
    header: Header | None = None,
    section2: bytes | None = None,
    edition: int = 4,
    total_length: int | None = None,
    section1_length: int | None = None,
    section2_length: int | None = None,
    section3_length: int | None = None,
    section4_length: int | None = None,
    section3_extra: bytes = b"",
    terminator: bytes = b"7777",
    section3_flags: int | None = None,
    **header_fields,
) -> bytes:
    """A complete message; explicit lengths override the computed ones.

    Extra keyword arguments set Header fields (e.g. originating_centre=254).
    """
    h = header or Header()
    for key, value in header_fields.items():
        if not hasattr(h, key):
            raise TypeError(f"unknown header field {key}")
        setattr(h, key, value)

    flag = h.optional_section_flag
    if flag is None:
        flag = 0x80 if section2 is not None else 0
    body1 = (
        bytes([h.master_table_number])
        + h.originating_centre.to_bytes(2, "big")
        + h.originating_subcentre.to_bytes(2, "big")
        + bytes([h.update_sequence_number, flag, h.data_category, h.international_data_subcategory,
                 h.local_data_subcategory, h.master_tables_version_number, h.local_tables_version_number])
        + h.typical_year.to_bytes(2, "big")
        + bytes([h.typical_month, h.typical_day, h.typical_hour, h.typical_minute, h.typical_second])
        + h.extra
    )
    sec1 = u24(section1_length if section1_length is not None else len(body1) + 3) + body1

    sec2 = b""
    if section2 is not None:
        sec2 = u24(section2_length if section2_length is not None else len(section2) + 4) + b"\0" + section2

    flags = section3_flags if section3_flags is not None else (0x80 if observed else 0) | (0x40 if compressed else 0)
    body3 = subsets.to_bytes(2, "big") + bytes([flags]) + b"".join(descriptor_bytes(d) for d in descriptors)
    body3 += section3_extra
    sec3 = u24(section3_length if section3_length is not None else len(body3) + 4) + b"\0" + body3

    # Section 4 data ends at the next whole byte; before edition 4 sections have an even length.
    payload = data.to_bytes(pad_to_even=edition < 4) if isinstance(data, BitWriter) else bytes(data)
    sec4 = u24(section4_length if section4_length is not None else len(payload) + 4) + b"\0" + payload

    rest = sec1 + sec2 + sec3 + sec4 + terminator
    length = total_length if total_length is not None else 8 + len(rest)
    return b"BUFR" + u24(length) + bytes([edition]) + rest


def messages_of(data: bytes) -> list[bytes]:
    """The messages of a buffer, cut out by their "BUFR" marker and declared
    total length: a scan that does not depend on the module under test."""
    out, pos = [], 0
    while (start := data.find(b"BUFR", pos)) >= 0:
        length = int.from_bytes(data[start + 4 : start + 7], "big")
        out.append(data[start : start + length])
        pos = start + max(length, 4)
    return out


# ---------------------------------------------------------------------------
# ecCodes table directories


@dataclass
class Element:
    """One element.table line."""

    code: int
    name: str = "ELEMENT"
    unit: str = "Numeric"
    scale: int = 0
    reference: int = 0
    width: int = 8
    abbreviation: str = "element"
    element_type: str = "long"

    def line(self) -> str:
        return "|".join([f"{self.code:06d}", self.abbreviation, self.element_type, self.name, self.unit,
                         str(self.scale), str(self.reference), str(self.width), self.unit, str(self.scale), "3"])


ELEMENT_HEADER = "#code|abbreviation|type|name|unit|scale|reference|width|crex_unit|crex_scale|crex_width"


def write_table_dir(
    path: Path,
    elements: Iterable[Element] = (),
    sequences: Mapping[int, Sequence[int]] | None = None,
    code_tables: Mapping[int, Mapping[int, str]] | None = None,
) -> Path:
    """Writes element.table, sequence.def and (if given) codetables/ under path."""
    path.mkdir(parents=True, exist_ok=True)
    lines = [ELEMENT_HEADER] + [e.line() for e in elements]
    (path / "element.table").write_text("\n".join(lines) + "\n", encoding="utf-8")
    seq_lines = [
        f'"{code:06d}" = [  ' + ", ".join(f"{m:06d}" for m in members) + " ]"
        for code, members in (sequences or {}).items()
    ]
    (path / "sequence.def").write_text("\n".join(seq_lines) + "\n", encoding="utf-8")
    if code_tables is not None:
        ct = path / "codetables"
        ct.mkdir(exist_ok=True)
        for code, entries in code_tables.items():
            text = "".join(f"{raw} {raw} {meaning}\n" for raw, meaning in entries.items())
            (ct / f"{code}.table").write_text(text, encoding="utf-8")
    return path
