"""Type stubs of ``vantrel._core``, the package's native module.

It frames every message of any buffer, parses headers of editions 2 to 4 and
decodes one framed message, releasing the interpreter lock while it works.
The objects it returns are ``_vantrel``'s classes. Users call it through
``vantrel.open``; its functions may change between versions.
"""

from _typeshed import ReadableBuffer as _Buffer

from _vantrel import DecodedValue, TableSet

def scan(data: _Buffer) -> tuple[bytes, list[tuple[int, str]], int]:
    """Frame every message: (frames, issues, dropped).

    ``frames`` packs (offset, length) pairs as native unsigned 64-bit integers;
    ``issues`` lists (offset, reason) of candidates that frame no message and
    of trailing bytes; ``dropped`` counts the issues left out of that list.
    """

def header(data: _Buffer, offset: int, length: int) -> dict[str, object]:
    """The header fields of the framed message at ``offset`` (absent fields None) and "warnings".

    Keys: edition, master_table, centre, subcentre, update_sequence_number,
    local_section, data_category, international_subcategory, local_subcategory,
    master_table_version, local_table_version, year, year_of_century, month,
    day, hour, minute, second, number_of_subsets, observed, compressed,
    descriptors, section4_length, warnings. ValueError for a bad header.
    """

def load_tables(
    root: str, master_table: int, master_version: int, centre: int, subcentre: int, local_version: int
) -> TableSet:
    """The WMO tables of a master version under a definitions root, then the centre's local tables."""

def decode(
    data: _Buffer, offset: int, length: int, tables: TableSet
) -> tuple[list[DecodedValue], list[int], int, int]:
    """(values, starts, used_bits, data_bits): every value of the framed message, subset after subset,
    where each subset starts, the bits of section 4 data the descriptors consumed and the bits it holds."""
