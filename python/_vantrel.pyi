"""Type stubs of ``_vantrel``, the strict low-level layer of vantrel.

``_vantrel`` reads BUFR edition 4 only, one message (or every message of one
buffer) per call, and keeps nothing between calls: every call that names a
table directory reads it again. Its objects are plain records with read-only
attributes; none defines equality or hashing (identity only). Every decoding
failure is a ``ValueError`` carrying one message; an unreadable message file
is an ``OSError`` whose text ends in " (os error N)"; wrong argument types are
``TypeError`` and out-of-range integers ``OverflowError``.

The package ``vantrel`` builds on the same core: ``vantrel.open`` reads
editions 2 to 4, finds and caches tables, and hands out these same classes.
"""

from typing import Sequence, final

@final
class BufrMessage:
    """The header fields and section layout of one parsed edition 4 message.

    Made only by the parse functions; holds numbers and the descriptor list,
    never the message bytes. Offsets count from the message's first byte.
    """

    @property
    def total_length(self) -> int:
        """Declared total length of the message, in bytes."""
    @property
    def edition(self) -> int:
        """Always 4."""
    @property
    def section1_length(self) -> int: ...
    @property
    def master_table_number(self) -> int: ...
    @property
    def originating_centre(self) -> int: ...
    @property
    def originating_subcentre(self) -> int: ...
    @property
    def update_sequence_number(self) -> int: ...
    @property
    def local_section_present(self) -> bool:
        """True when section 2 (the local section) is present."""
    @property
    def data_category(self) -> int: ...
    @property
    def international_data_subcategory(self) -> int: ...
    @property
    def local_data_subcategory(self) -> int: ...
    @property
    def master_tables_version_number(self) -> int: ...
    @property
    def local_tables_version_number(self) -> int: ...
    @property
    def typical_year(self) -> int: ...
    @property
    def typical_month(self) -> int: ...
    @property
    def typical_day(self) -> int: ...
    @property
    def typical_hour(self) -> int: ...
    @property
    def typical_minute(self) -> int: ...
    @property
    def typical_second(self) -> int: ...
    @property
    def section2_length(self) -> int:
        """Declared length of section 2; 0 when it is absent."""
    @property
    def section3_length(self) -> int: ...
    @property
    def number_of_subsets(self) -> int: ...
    @property
    def observed_data(self) -> bool: ...
    @property
    def compressed_data(self) -> bool: ...
    @property
    def unexpanded_descriptors(self) -> list[int]:
        """Section 3's descriptor codes (FXXYYY as integers), a new list on every access."""
    @property
    def section4_length(self) -> int: ...
    @property
    def section4_data_offset(self) -> int:
        """Offset of section 4's first data byte."""
    @property
    def section4_data_length(self) -> int:
        """Number of section 4 data bytes (its length less 4)."""

@final
class DecodedValue:
    """One decoded value: an element's value, an associated field or an operator record."""

    @property
    def descriptor(self) -> int:
        """The descriptor code (0 01 001 is 1001); 999999 for an associated field."""
    @property
    def name(self) -> str:
        """The element's name; "associatedField" or "operator" for those records."""
    @property
    def raw_value(self) -> float | None:
        """The scaled value, None when missing; a character element's position code."""
    @property
    def raw(self) -> int | None:
        """The integer read from the data, before reference and scale; None for characters."""
    @property
    def raw_text(self) -> str | None:
        """A character element's text; None when missing or not a character element."""
    @property
    def raw_meaning(self) -> str | None:
        """The code table meaning of ``raw``, when the tables have one."""
    @property
    def data(self) -> str | float | None:
        """``raw_text``, else ``raw_meaning``, else ``raw_value``."""

class Descriptor:
    """A descriptor as its three parts; ``fxy`` is the code F*100000 + X*1000 + Y."""

    def __init__(self, f: int, x: int, y: int) -> None:
        """Each part 0 to 255, stored as given."""
    @staticmethod
    def from_fxy(code: int) -> Descriptor:
        """The parts of ``code``, each narrowed to 8 bits."""
    @property
    def f(self) -> int: ...
    @property
    def x(self) -> int: ...
    @property
    def y(self) -> int: ...
    @property
    def fxy(self) -> int: ...

@final
class ElementDefinition:
    """One Table B entry (a copy: changing nothing in the table set)."""

    @property
    def code(self) -> int: ...
    @property
    def abbreviation(self) -> str:
        """The short key name, e.g. "airTemperature"; may be empty."""
    @property
    def element_type(self) -> str: ...
    @property
    def name(self) -> str: ...
    @property
    def unit(self) -> str:
        """The unit as the table writes it ("K", "CODE TABLE", "FLAG TABLE", "CCITT IA5"...)."""
    @property
    def scale(self) -> int: ...
    @property
    def reference(self) -> int: ...
    @property
    def width(self) -> int:
        """Data width in bits."""

@final
class SequenceDefinition:
    """One Table D entry."""

    @property
    def code(self) -> int: ...
    @property
    def members(self) -> list[int]:
        """The member codes in table order, a new list on every access."""

class TableSet:
    """Table B, Table D and code tables, filled once by a loader and only read afterwards."""

    def __init__(self) -> None:
        """An empty table set."""
    @staticmethod
    def from_eccodes(path: str) -> TableSet:
        """One ecCodes table directory: element.table, sequence.def and optional codetables/."""
    @staticmethod
    def from_definitions(path: str, message: BufrMessage) -> TableSet:
        """The WMO and local tables that ``message``'s header picks under an ecCodes definitions root."""
    @staticmethod
    def from_bufr4_45(path: str) -> TableSet:
        """Table B and Table D from a directory of WMO BUFR4 CSV files (no code tables)."""
    def get_element(self, code: int) -> ElementDefinition | None: ...
    def get_sequence(self, code: int) -> SequenceDefinition | None: ...
    def get_meaning(self, code: int, raw: int) -> str | None:
        """The code table meaning of ``raw`` for element ``code`` (exact match), or None."""
    def expand(self, descriptors: Sequence[int]) -> list[int]:
        """The flat list ``descriptors`` stand for through Table D (999999 marks an associated field)."""
    @property
    def element_count(self) -> int: ...
    @property
    def sequence_count(self) -> int: ...

def parse_bytes(data: bytes) -> BufrMessage:
    """The one message that ``data`` holds exactly (its declared length must be len(data))."""

def parse_file(path: str) -> BufrMessage:
    """``parse_bytes`` of a whole file."""

def parse_all_bytes(data: bytes) -> list[BufrMessage]:
    """Every message of ``data``, skipping bytes between them; the first failure raises."""

def parse_all_file(path: str) -> list[BufrMessage]:
    """``parse_all_bytes`` of a whole file."""

def expand_descriptors(table_dir: str, descriptors: Sequence[int]) -> list[int]:
    """``TableSet.from_eccodes(table_dir).expand(descriptors)``."""

def decode_values(data: bytes, table_dir: str) -> list[DecodedValue]:
    """The values of the first message of ``data``, all subsets in one list, with one ecCodes table directory."""

def decode_values_with_tables(data: bytes, tables: TableSet) -> list[DecodedValue]:
    """As ``decode_values``, with tables loaded once and reused."""

def decode_values_with_definitions(data: bytes, definitions_root: str) -> list[DecodedValue]:
    """As ``decode_values``, with the tables the message's header picks under a definitions root."""
