"""Type stubs of ``vantrel._core``, the package's native module.

It frames every message of any buffer and parses the headers of editions 2 to
4 in one pass (``index``), and decodes messages of that index, releasing the
interpreter lock while it works.
The objects it returns are ``_vantrel``'s classes. Users call it through
``vantrel.open``; its functions may change between versions.
"""

from typing import Iterable, Literal, Sequence

from _typeshed import ReadableBuffer as _Buffer

from _vantrel import DecodedValue, TableSet

class Index:
    """Every framed message of a buffer with its header, parsed once (``index(data)``). It
    holds the buffer for as long as it lives; ``len()`` is the number of messages."""

    columns: dict[str, Array]
    """One row per message: offset, length (uint64), ok (uint8: the header is good), warned
    (uint8: quirks of its header), edition (uint8, byte 7 of section 0), master_table,
    centre, subcentre (int32, -1 in edition 2), data_category, master_table_version,
    local_table_version, number_of_subsets; 0 where the header is bad."""
    issues: list[tuple[int, str]]
    """(offset, reason) of candidates that frame no message, of skipped bytes and of trailing bytes."""
    dropped: int
    """Issues left out of ``issues``."""

    def __len__(self) -> int: ...
    def header(self, row: int) -> dict[str, object]:
        """The header fields of message ``row`` (absent fields None) and "warnings".

        Keys: edition, master_table, centre, subcentre, update_sequence_number,
        local_section, data_category, international_subcategory, local_subcategory,
        master_table_version, local_table_version, year, year_of_century, month,
        day, hour, minute, second, number_of_subsets, observed, compressed,
        descriptors, section4_length, warnings. ValueError for a bad header,
        IndexError outside the index.
        """

HEADER_QUIRKS: tuple[str, ...]
ATTRIBUTE_NAMES: tuple[str, ...]
ATTRIBUTE_SEPARATOR: str
"""The names of the bits of the index's ``quirks`` column, bit 0 first."""

def ecmwf_keys(index: Index) -> dict[str, list[object]]:
    """ECMWF's local section 2 keys of every message of the index (centre 98, a section 2 of
    52 bytes), by their ecCodes names: one list per key, None where a message has none (or
    the key is of the other kind of report, satellite or not)."""

def index(data: _Buffer) -> Index:
    """Frame every message of a buffer and parse each header, without the interpreter lock."""

def load_tables(
    root: str, master_table: int, master_version: int, centre: int, subcentre: int, local_version: int
) -> tuple[TableSet, list[str]]:
    """The WMO tables of a master version under a definitions root, then the centre's local tables;
    and the warnings of the load (element table rows with another field count than the first:
    read when they have the 8 used fields, skipped otherwise)."""

_Rules = Literal["wmo", "strict"]

def decode(
    index: Index, row: int, tables: TableSet, rules: _Rules
) -> tuple[list[DecodedValue], list[int], int, int, list[str]]:
    """(values, starts, used_bits, data_bits, warnings): every value of message ``row`` decoded
    under ``rules``, subset after subset, where each subset starts, the bits of section 4 data the
    descriptors consumed and the bits it holds, and what the rules accepted (once per kind)."""

class Array:
    """Memory of one decoded column, owned by this object and exported through the
    buffer protocol (one dimension, contiguous, writable): ``numpy.frombuffer`` takes it
    without a copy."""

def columns(
    index: Index, row: int, tables: TableSet, rules: _Rules, raw: bool, labels: bool = False, units: bool = False,
    meanings: bool = False,
) -> dict[str, object]:
    """Typed columns of message ``row``, decoded without the interpreter lock.

    Arrays (``Array``): subset (uint32, 1-based), descriptor (uint32), value (float64, NaN when
    missing, for texts and operator records), flags (uint8), slot (uint32), text_offsets (int64,
    rows + 1) and text_bytes (uint8) in Arrow's string layout, and raw (uint64) when asked for;
    ints: used_bits and data_bits, and the list warnings, as for ``decode``. ValueError when the
    message does not decode.

    With ``labels``, the keys of the rows, dictionary-encoded: label (uint32 per row: its
    (key, rank) pair, ids in the order rows first use them), label_key, label_rank (uint32),
    label_kind (uint8: 0 number, 1 text, 2 code, 3 flag, 4 operator, 5 associated) and
    label_integer (uint8: 1 when the tables make its values whole) per
    label, label_names (the ranked names ``#n#key``) and keys (the key names by id). With
    ``units``: unit (uint32 per row) and units (by id; id 0 is "no unit"). With
    ``meanings`` (needs ``raw``): meaning (int32 per row, -1 for none) and meanings (str for
    a code table value, list of str for the set bits of a flag table value).
    """

def value_kind(
    tables: TableSet, code: int
) -> Literal["code", "flag", "text", "number", "operator", "associated"] | None:
    """What the values of an element or operator are: code table entries or flag table bits
    (its unit names the table, in any spelling), character data, numbers, operator records
    or associated fields; None for an element the tables lack."""

def key_of(tables: TableSet, code: int) -> str:
    """The key of an element or operator: the abbreviation, else six digits; associated
    fields are ``associatedField``."""

def ranked_keys(keys: Iterable[str]) -> list[str]:
    """The keys of one subset's values in walk order, the n-th of a key ranked ``#n#key``."""

def meaning_of(tables: TableSet, code: int, raw: int) -> str | list[str] | None:
    """A code table value's meaning, the meanings of a flag table value's set bits (bit 1 the
    most significant of the width), or None (no entry; every flag bit set)."""

def element_keys(tables: TableSet) -> list[str]:
    """The keys of every element of a table set, sorted."""

def codes_of(tables: TableSet, names: Iterable[str]) -> list[int]:
    """The element codes of a table set whose key is one of ``names``, sorted."""

def columns_many(
    index: Index, rows: _Buffer, tables: list[TableSet], which: _Buffer, rules: _Rules, raw: bool,
    threads: int, keep: Iterable[str] | None, labels: bool = False, units: bool = False, meanings: bool = False,
) -> tuple[dict[str, object], list[tuple[int, str, str]], list[tuple[int, int, int, list[str]]]]:
    """The columns of several messages of an index one after the other, in one set of arrays,
    decoded on up to ``threads`` threads (0 or 1: the calling thread); the result is the
    same whatever their number. ``keep`` (key names, no ranks) keeps only the rows of the
    elements of those keys in any of the table sets; None keeps every row.

    ``rows`` holds the messages' rows (uint32; the ``message`` column of a row's values is
    row + 1), ``which`` the position in ``tables`` of each one's table set (uint32). Returns
    (columns, errors, bits): the columns of ``columns`` plus ``message`` and
    ``message_rows`` (uint64: the rows of each message decoded, in order), and the keys as
    for ``columns`` on request; (position, "header", "tables" or "data", reason) of each
    message that failed and left no rows; (position, used_bits, data_bits, warnings) of
    each decoded; positions count among ``rows``.
    """

def scatter_wide(
    value: _Buffer, label: _Buffer, subset: _Buffer, message_rows: _Buffer, bases: _Buffer, subsets: _Buffer,
    slot_major: _Buffer, column_of: _Buffer, columns: int, total: int, threads: int, into: _Buffer | None = None,
) -> tuple[Array, Array, Array, Array]:
    """(values, object_rows, object_out, object_column): the wide block of keyed rows, one
    row per subset. Row i of the k-th message (``message_rows``, uint64) lands in output row
    bases[k] + subset[i] - 1 (int64 bases and subsets per message, uint8 slot_major) of
    column column_of[label[i]] (int32) of a block of ``columns`` x ``total`` float64 cells,
    column after column, NaN where no row lands; -1 skips the row, -2 - j lists it as a
    row of object column j instead (int64 rows and output rows, int32 columns). With
    ``into`` (a writable buffer the caller has done with, large enough) the cells go there
    and ``values`` is empty. ValueError when a row would land outside its message's rows or
    the block, or ``into`` overlaps what is read."""

def expanded_descriptors(tables: TableSet, codes: Sequence[int]) -> list[int]:
    """ecCodes' expandedDescriptors of a descriptor list: the tables' expansion, with each
    delayed replication before its factor as 1 XX 000, XX the codes its group expanded to."""

def context_rows(
    rows: _Buffer, chosen: _Buffer, group: _Buffer, descriptor: _Buffer, keys: int, groups: int,
) -> tuple[Array, Array, Array, Array, Array]:
    """(kind, group, coordinates, observed, observed_row): the rows in context of the chosen
    input rows (int64 ``rows`` in walk order, groups ascending; per input row its int32 chosen
    key, int64 group and uint32 descriptor). ``kind`` (uint8 per key): 0 absent, 1 a
    coordinate (classes 01 to 08: stays in force until the key comes again), 2 an
    observation; ``group`` (int64) per row; ``coordinates`` (int64, rows x coordinate keys)
    the input row of each coordinate in force, -1 for none; ``observed`` and
    ``observed_row`` (int64) each observation value's input row and the row holding it.
    ValueError for rows, keys or groups out of range or out of order."""

def matrix(
    index: Index, row: int, tables: TableSet, rules: _Rules, threads: int
) -> tuple[Array, int, Array, bool, int, int, list[str]] | tuple[None, int, int, list[str]]:
    """(values, rows, descriptors, column_major, used_bits, data_bits, warnings): float64 values of
    rows subsets by len(descriptors) slots, one column after the other when column_major; or
    (None, used_bits, data_bits, warnings) when the subsets of non-compressed data differ in structure.
    Compressed columns are filled on up to ``threads`` threads (0 or 1: the calling thread)."""

class MappedFile:
    """A read-only map of a whole file (buffer protocol) that the file shrinking under it
    cannot crash: a page read after it left the file reads as zeros."""

    lost: int | None
    """Where the map stopped holding the file's bytes (the file's size now when shorter, or
    the first page read after it vanished), or None."""

def map_file(fd: int) -> MappedFile:
    """A map of the whole open file; OSError when it cannot be mapped (empty, a pipe, a device)."""
