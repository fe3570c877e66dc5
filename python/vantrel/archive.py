"""Reading every message of a real archive: :func:`open`, :class:`Reader`, :class:`Message`.

A source is framed once (offsets only, nothing copied); each message's header
is parsed when the message is first looked at, and its values are decoded on
request. A bad message never costs its neighbours: it carries ``error``, and
raises only when its values are asked for.
"""

from __future__ import annotations

import datetime as _datetime
import errno
import io
import operator
import os
from typing import Iterator

import numpy as np

from . import _core
from . import dataframes as _dataframes
from . import keys as _keys
from .errors import DataError, HeaderError, TablesError
from .tables import TableResolver

__all__ = ["open", "Reader", "Message", "RULES"]

_open = open  # the builtin, shadowed below

# The rule sets a decode can follow: "wmo", WMO practice for real archives (the
# default), and "strict", exactly the rules of the module _vantrel. They differ
# in the coding of code and flag tables under 2 01, 2 02 and 2 07, in the
# bitmaps of the quality operators and in local descriptors under 2 06 (see
# the README).
RULES = ("wmo", "strict")


def _checked_rules(rules) -> str:
    if not isinstance(rules, str):
        raise TypeError(f'rules must be "wmo" or "strict", not {type(rules).__name__}')
    if rules not in RULES:
        raise ValueError(f'rules must be "wmo" or "strict", not {rules!r}')
    return rules


def open(source, *, definitions=None, tables=None, rules: str = "wmo") -> "Reader":  # noqa: A001 - mirrors io.open
    """Open a BUFR source for reading.

    ``source`` is a path (mapped into memory, never read whole), an object
    with the buffer protocol (``bytes``, ``bytearray``, ``memoryview``,
    ``mmap``; not copied) or a binary file object (read from its current
    position on, mapped when it can be; a pipe or device is read, up to
    ``MAX_UNMAPPED_BYTES``). ``definitions`` names an
    ecCodes definitions root (see :mod:`vantrel.tables` for where it is looked
    for otherwise); ``tables`` gives one table set for every message instead (a
    ``TableSet``, a directory of WMO BUFR4 CSV tables or one ecCodes table
    directory). ``rules`` is the rule set every decode follows: "wmo" (WMO
    practice, the default) or "strict" (exactly the rules of ``_vantrel``).

    >>> with vantrel.open("synop.bufr") as reader:       # doctest: +SKIP
    ...     print(len(reader), reader[0].centre)
    """
    return Reader(source, definitions=definitions, tables=tables, rules=rules)


# The most read from a source that cannot be mapped (a pipe, a device such as /dev/zero):
# beyond it the source is refused rather than read until memory runs out.
MAX_UNMAPPED_BYTES = 2 << 30


def _map_file(file, name: str) -> tuple[object | None, object]:
    """(map, data): a read-only map of an open file and a view of it from the file's current
    position, or (None, its bytes from there) when it cannot be mapped (pipes, devices,
    empty files). Either way the data start where the file stands. A file that shrinks
    while mapped cannot crash the process: see :func:`check_map`."""
    try:
        start = file.tell()
    except (OSError, ValueError, io.UnsupportedOperation, AttributeError):
        start = 0
    try:
        mapped = _core.map_file(file.fileno())
    except (OSError, ValueError, io.UnsupportedOperation, AttributeError):
        data = file.read(MAX_UNMAPPED_BYTES + 1)
        if len(data) > MAX_UNMAPPED_BYTES:
            raise ValueError(f"{name}: more than {MAX_UNMAPPED_BYTES:,} bytes from a source that cannot be mapped "
                             "(a pipe or a device); save it to a file first") from None
        return None, data
    return mapped, memoryview(mapped)[start:]  # the file's offsets less `start`


def check_map(mapped, name: str, end: int) -> None:
    """Raises OSError when the file of `mapped` (a map of :func:`_map_file`, or None) shrank
    below `end` (an offset in the file) while it was read: the bytes read past its new end
    were zeros, not the file's."""
    lost = mapped.lost if mapped is not None else None
    if lost is not None and lost < end:
        raise OSError(errno.EIO, f"the file shrank while it was read: its bytes from offset {lost:,} on are gone",
                      name)


class Reader:
    """The framed messages of one source, as a sequence of :class:`Message`.

    ``reader[i]`` is the i-th framed message (0-based; ``Message.index`` is
    1-based); iteration yields every framed message, good or bad. Candidates
    that frame no message (junk holding "BUFR", a truncated last message) and
    trailing bytes are listed in ``warnings``. ``errors`` holds the failed
    messages of the latest whole-reader decode (:meth:`columns`, :meth:`to_pandas`).
    """

    def __init__(self, source, *, definitions=None, tables=None, rules: str = "wmo"):
        self.rules = _checked_rules(rules)
        self._map = None
        self._start = 0  # the offset in the mapped file of the data's first byte
        self.closed = False
        if isinstance(source, (str, os.PathLike)):
            self.name = os.fspath(source)
            # The map keeps its own descriptor: the file is closed at once, so a
            # reader that is never closed leaves no open file behind.
            with _open(source, "rb") as file:
                self._map, data = _map_file(file, self.name)
        elif hasattr(source, "read") and not _has_buffer(source):
            self.name = getattr(source, "name", "<stream>")
            self._map, data = _map_file(source, self.name)
        elif _has_buffer(source):
            self.name = "<buffer>"
            data = source
        else:
            raise TypeError("source must be a path, a bytes-like object or a binary file object, "
                            f"not {type(source).__name__}")
        self._data = memoryview(data).cast("B") if not isinstance(data, bytes) else data
        if self._map is not None:
            self._start = memoryview(self._map).nbytes - len(data)
        # One pass: every message framed and its header parsed, once, natively.
        self._index = _core.index(self._data)
        self._local_keys = None  # ECMWF section 2 keys, read when first asked for
        self._header_columns: dict[str, np.ndarray] | None = None
        self._columns_of_index()
        self._check_map(len(self._data))
        self._count = len(self._index)
        self.warnings: list[str] = [reason for _, reason in self._index.issues]
        if self._index.dropped:
            self.warnings.append(f"{self._index.dropped} more candidates framed no message")
        self.errors: list[Exception] = []
        self._resolver = TableResolver(definitions=definitions, tables=tables)
        self._messages: dict[int, Message] = {}
        # What decodes and table lookups accepted, by position: a message's warnings
        # beside those of its header.
        self._noted: dict[int, list[str]] = {}
        # The table sets of the latest whole-reader decode, and the position in that list
        # of each message's set (-1: none).
        self._tables_by_row: tuple[list, np.ndarray | None] = ([], None)

    # ---- sequence -----------------------------------------------------------

    def __len__(self) -> int:
        return self._count

    def _columns_of_index(self) -> dict[str, np.ndarray]:
        """The index's header columns as numpy arrays, one row per message."""
        if self._header_columns is None:
            columns = {name: np.asarray(array) for name, array in self._index.columns.items()}
            for array in columns.values():
                array.flags.writeable = False
            self._header_columns = columns
        return self._header_columns

    @property
    def index(self) -> dict[str, np.ndarray]:
        """The header of every message as read-only numpy columns, one row per message, read
        in the one pass over the source: ``offset``, ``length``, ``ok`` (1 when the header
        is good; the other fields are 0 otherwise), ``edition``, ``master_table``,
        ``centre``, ``subcentre``, ``update_sequence_number``, ``data_category``,
        ``international_subcategory``, ``local_subcategory``, ``master_table_version``,
        ``local_table_version``, ``year``, ``year_of_century`` (as coded: editions 2 and 3,
        and edition 4 years below 100), ``month``, ``day``, ``hour``, ``minute``,
        ``second``, ``number_of_subsets``, ``observed``, ``compressed``, ``warned`` (the
        number of quirks of the header), ``quirks`` (which, one bit each, bit 0 first:
        ``vantrel.HEADER_QUIRKS``), and ``section3_offset``, ``section4_offset`` and
        ``section4_length`` (from the message's first byte). Fields the edition lacks are -1."""
        return dict(self._columns_of_index())

    def local_keys(self) -> dict[str, list]:
        """ECMWF's local section 2 keys of every message (centre 98, a section 2 of 52 bytes),
        by their ecCodes names (``rdbType``, ``rdbSubtype``, ``ident``, ``localLatitude``,
        ``rdbtimeTime``, ``satelliteID``...): one list per key, None for a message without
        them or for a key of the other kind of report (satellite or not)."""
        self._check_open()
        if self._local_keys is None:
            self._local_keys = _core.ecmwf_keys(self._index)
        return self._local_keys

    def _check_map(self, end: int) -> None:
        """Raises OSError when the mapped file shrank below `end` (an offset in the data)."""
        check_map(self._map, self.name, self._start + end)

    def _check_open(self) -> None:
        if self.closed:
            raise ValueError(f"the reader of {self.name} is closed")

    def __getitem__(self, position: int) -> "Message":
        self._check_open()
        if isinstance(position, slice):
            return [self[i] for i in range(*position.indices(len(self)))]
        if not isinstance(position, int) or isinstance(position, bool):
            try:
                position = operator.index(position)
            except TypeError:
                raise TypeError(f"message positions are ints or slices, not {type(position).__name__}") from None
        count = len(self)
        if position < 0:
            position += count
        if not 0 <= position < count:
            raise IndexError(f"message position {position} out of range for {count} messages")
        message = self._messages.get(position)
        if message is None:
            message = self._messages[position] = Message(self, position)
        return message

    def __iter__(self) -> Iterator["Message"]:
        self._check_open()
        for position in range(len(self)):
            yield self._messages.get(position) or Message(self, position)  # iteration keeps no message alive

    def _note(self, position: int, texts) -> None:
        """Notes what was accepted while reading message `position` (0-based), once per text."""
        new = [text for text in texts if text is not None]
        if new:
            noted = self._noted.setdefault(position, [])
            noted.extend(text for text in new if text not in noted)

    def message_warnings(self) -> dict[int, list[str]]:
        """The warnings of every message that has any, by position (0-based): its header's,
        then what its table lookup and decodes accepted."""
        out = {}
        for position in np.flatnonzero(self._columns_of_index()["warned"]).tolist():
            out[position] = self._index.header(position)["warnings"]
        for position, texts in self._noted.items():
            out[position] = out.get(position, []) + [t for t in texts if t not in out.get(position, [])]
        return dict(sorted(out.items()))

    def __repr__(self) -> str:
        return f"<vantrel.Reader {self.name!r}: {len(self)} messages, {len(self.warnings)} warnings>"

    # ---- tables of values ---------------------------------------------------

    def _tables_of_rows(self, rows: np.ndarray) -> tuple[list, np.ndarray, dict[int, Exception]]:
        """(table sets, which, failures): the distinct table sets of the messages at `rows`
        (0-based positions), each looked up once per distinct header key, the position in
        that list of each row's set (-1: none), and the failures by position."""
        cols = self._columns_of_index()
        keys = np.stack([cols[name][rows].astype(np.int64) for name in _TABLE_KEY], axis=1)
        distinct, first, inverse = np.unique(keys, axis=0, return_index=True, return_inverse=True)
        inverse = inverse.reshape(-1)
        table_sets, which_of_key, failed = [], np.full(len(distinct), -1, dtype=np.int64), {}
        ok = cols["ok"][rows]
        for k, key in enumerate(distinct.tolist()):
            if not ok[first[k]]:
                continue  # a bad header: failed below, row by row
            header = dict(zip(_TABLE_KEY, key))
            header["subcentre"] = max(header["subcentre"], 0)
            try:
                tables, accepted = self._resolver.tables_for(header)
            except TablesError as error:
                failed[k] = error
                continue
            which_of_key[k] = len(table_sets)
            table_sets.append(tables)
            if accepted:
                for row in rows[inverse == k].tolist():
                    self._note(row, accepted)
        which = which_of_key[inverse]
        failures = {}
        offsets = cols["offset"]
        for i in np.flatnonzero(which < 0).tolist():
            position = int(rows[i])
            if not ok[i]:
                failures[position] = self[position]._fail(HeaderError, self[position].error)
            else:
                failures[position] = TablesError(str(failed[int(inverse[i])]), position + 1, int(offsets[position]))
        return table_sets, which, failures

    def _decode_many(self, indices, raw: bool, threads: int | None, keys=None, keyed=None):
        """The columns of the messages of `indices` (1-based) in one native call (one set of
        arrays, a ``message`` column, texts in Arrow's layout) on up to `threads` threads
        (None: every usable core), only the rows of `keys` (any rank) unless None; failures
        go to ``errors``, in message order. Also (numbers, subsets) of the messages decoded.
        With `keyed` ("wide" or "long", and meanings when `raw`), a :class:`frames.Keyed`
        instead of the columns."""
        rows = np.asarray(indices, dtype=np.int64) - 1
        table_sets, which, failed = self._tables_of_rows(rows)
        which_by_row = np.full(len(self), -1, dtype=np.int64)
        which_by_row[rows] = which
        # One assignment: threads sharing the reader see one decode's list and positions, never a mix.
        self._tables_by_row = (table_sets, which_by_row)
        usable = which >= 0
        rows, which = rows[usable], which[usable]
        labels = keyed is not None
        native, native_errors, bits = _core.columns_many(
            self._index, rows.astype(np.uint32), table_sets, which.astype(np.uint32), self.rules, raw,
            _usable_cores() if threads is None else threads, None if keys is None else sorted(keys),
            labels, keyed == "long", labels and raw)
        cols = self._columns_of_index()
        if len(rows):
            self._check_map(int((cols["offset"][rows] + cols["length"][rows]).max()))
        for position, kind, reason in native_errors:
            failed[int(rows[position])] = self._error(int(rows[position]), kind, reason)
        decoded = np.ones(len(rows), dtype=bool)
        if native_errors:
            decoded[[position for position, _, _ in native_errors]] = False
        for position, _, _, accepted in bits:
            if accepted:
                self._note(int(rows[position]), accepted)
        # One assignment: threads sharing the reader each leave the whole list of their own call.
        self.errors = [failed[position] for position in sorted(failed)]
        out = _dataframes.native_columns(native, raw, layout=True)
        out["message"] = np.frombuffer(native["message"], dtype=np.uint32)
        runs = ((rows[decoded] + 1).astype(np.uint32), cols["number_of_subsets"][rows[decoded]].astype(np.int64))
        if labels:
            out = _dataframes.Keyed(out, native, *runs, cols["compressed"][rows[decoded]])
            out.threads = _usable_cores() if threads is None else max(threads, 1)
        return out, runs

    def _error(self, position: int, kind: str, text: str) -> Exception:
        """This package's error for a failure of message `position` as the core classes it."""
        offset = int(self._columns_of_index()["offset"][position])
        if kind == "tables":  # an element or sequence the tables lack: say where they were looked for
            text = f"{text}; {self._resolver.describe(self._index.header(position))}"
        return _ERRORS[kind](text, position + 1, offset)

    def columns(self, raw: bool = False, threads: int | None = None, select=None, keys=None) -> dict:
        """The columns of every decodable message one after the other, with a ``message``
        column (1-based index); messages that fail are recorded in ``errors``. Messages are
        decoded on up to ``threads`` threads (default: every usable core; 1 decodes on the
        calling thread alone), with the same result whatever their number.
        ``select(message)`` keeps only the messages it accepts; ``keys`` (names as in
        :mod:`vantrel.keys`, any rank) keeps only the rows of those keys. ``errors`` holds
        the failures of the latest call."""
        return self._columns(raw, threads, select, keys)[0]

    def _columns(self, raw, threads, select, keys, keyed=None) -> tuple[dict, tuple]:
        """:meth:`columns` and (numbers, subsets) of the messages decoded (`keyed`: see
        :meth:`_decode_many`)."""
        self._check_open()
        threads = _checked_threads(threads)
        if select is None:
            indices = np.arange(1, len(self) + 1)
        elif hasattr(select, "indices"):  # the messages themselves (1-based)
            indices = select.indices(self)
        elif hasattr(select, "mask"):  # header conditions: a mask over the index
            indices = np.flatnonzero(select.mask(self)) + 1
        else:
            indices = [m.index for m in map(self.__getitem__, range(len(self))) if select(m)]
        if keys is not None:
            keys = {part for k in keys for part in _keys.element_keys_of(_keys.split_rank(k)[1])}
        cols, runs = self._decode_many(indices, raw, threads, keys, keyed)
        if keyed is None:
            cols = {"message": cols.pop("message"), **cols}
        return cols, runs

    def to_pandas(self, form: str = "wide", columns=None, *, meanings: bool = False, header: bool = False,
                  threads: int | None = None, select=None, required=None, integers: bool = False):
        """One DataFrame over every decodable message (see :meth:`Message.to_pandas`);
        ``required`` (wide form): keys a subset must hold (a missing value counts) to have a row;
        ``integers``: whole-number keys as nullable Int64 columns."""
        keys = None
        if columns is not None and form in ("wide", "levels", "context"):
            # Only the rows of the selected keys (and of the data's date and time) are decoded into columns.
            keys = list(columns) + list(_dataframes.TIME_KEYS) + list(required or [])
        keyed, _ = self._columns(meanings, threads, select, keys, "long" if form == "long" else "wide")
        return _dataframes.to_pandas(keyed, form=form, columns=columns, meanings=meanings, header=header,
                                     header_of=self._header_of, required=required, integers=integers)

    def to_arrow(self, raw: bool = False, threads: int | None = None):
        """A pyarrow.Table of :meth:`columns`."""
        return _dataframes.to_arrow(self.columns(raw, threads))

    def _tables_of(self, index: int):
        """The table set of message `index` (1-based), as its latest decode used it."""
        table_sets, which_by_row = self._tables_by_row
        which = which_by_row[index - 1] if which_by_row is not None else -1
        return table_sets[which] if which >= 0 else self[index - 1].tables()

    def table_sets(self) -> list:
        """The distinct table sets of the latest whole-reader decode."""
        return list(self._tables_by_row[0])

    def _header_of(self, index: int) -> dict:
        message = self[index - 1]
        return message.header | {"edition": message.edition}

    # ---- lifetime -----------------------------------------------------------

    def close(self) -> None:
        """Release the file and its map; messages read so far stay usable only for their header."""
        self.closed = True
        self._messages.clear()
        self._tables_by_row = ([], None)
        self._index = None
        self._data = b""
        self._map = None  # the map goes with its last view

    def __enter__(self) -> "Reader":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def _checked_threads(threads):
    """`threads` as given when None or a positive int; ValueError or TypeError otherwise."""
    if threads is None:
        return None
    if not isinstance(threads, int) or isinstance(threads, bool):
        raise TypeError(f"threads must be a positive int or None, not {type(threads).__name__}")
    if threads < 1:
        raise ValueError(f"threads must be a positive int or None, not {threads}")
    return threads


def _usable_cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _has_buffer(obj) -> bool:
    try:
        memoryview(obj)
    except TypeError:
        return False
    return True


# The package's exception for each class of failure the core reports.
_ERRORS = {"header": HeaderError, "tables": TablesError, "data": DataError}

# The header fields that choose a message's tables, as the index names its columns.
_TABLE_KEY = ("master_table", "master_table_version", "local_table_version", "centre", "subcentre")

# Header fields every Message has (None where the edition lacks them or the header is bad).
_HEADER_FIELDS = (
    "master_table",
    "centre",
    "subcentre",
    "update_sequence_number",
    "local_section",
    "data_category",
    "international_subcategory",
    "local_subcategory",
    "master_table_version",
    "local_table_version",
    "year",
    "year_of_century",
    "month",
    "day",
    "hour",
    "minute",
    "second",
    "number_of_subsets",
    "observed",
    "compressed",
    "descriptors",
)


class Message:
    """One framed message of a :class:`Reader`.

    ``index`` (1-based in file order), ``offset`` and ``length`` locate it;
    ``edition`` is byte 7 of section 0. The header fields are attributes
    (``centre``, ``subcentre``, ``data_category``, ``master_table_version``,
    ``datetime``, ``number_of_subsets``, ``compressed``, ``descriptors``...),
    ``None`` where the edition lacks them. A message whose header is bad has
    ``error`` set; ``warnings`` lists the quirks accepted while reading it (the
    header's when it is read, the data's once values are decoded, such as a
    section 4 with bytes left over beyond its padding).
    """

    def __init__(self, reader: Reader, position: int):
        self._reader = reader
        self._position = position
        self.index = position + 1
        cols = reader._columns_of_index()
        self.offset = int(cols["offset"][position])
        self.length = int(cols["length"][position])
        self.edition = int(cols["edition"][position])
        self.error: str | None = None
        self._header: dict | None = None
        try:
            header = reader._index.header(position)
        except ValueError as error:
            self.error = str(error)
            header = dict.fromkeys(_HEADER_FIELDS)
            self._header_warnings = []
        else:
            self._header_warnings = header.pop("warnings")
            self._header = header
        for name in _HEADER_FIELDS:
            setattr(self, name, header[name])

    @property
    def warnings(self) -> list[str]:
        """What was accepted while reading this message: its header's quirks, then what its
        table lookup and decodes accepted."""
        noted = self._reader._noted.get(self._position, [])
        return self._header_warnings + [text for text in noted if text not in self._header_warnings]

    @property
    def header(self) -> dict:
        """The header fields as a dict (empty when the header is bad)."""
        return dict(self._header or {})

    @property
    def datetime(self) -> _datetime.datetime | None:
        """The typical time of the header; None when absent or not a valid date."""
        if self._header is None:
            return None
        try:
            return _datetime.datetime(
                self.year, self.month, self.day, self.hour, self.minute, self.second or 0
            )
        except ValueError:
            return None

    @property
    def bytes(self) -> memoryview:
        """The message's bytes: a read-only view of the source, not a copy."""
        return memoryview(self._reader._data)[self.offset : self.offset + self.length].toreadonly()

    def __repr__(self) -> str:
        if self.error is not None:
            return f"<vantrel.Message {self.index} at {self.offset}: error {self.error!r}>"
        return (
            f"<vantrel.Message {self.index} at {self.offset}: edition {self.edition}, "
            f"centre {self.centre}, category {self.data_category}, {self.number_of_subsets} subsets"
            f"{', compressed' if self.compressed else ''}>"
        )

    # ---- decoding -----------------------------------------------------------

    def _fail(self, kind, text: str):
        return kind(text, self.index, self.offset)

    def tables(self):
        """The table set this message decodes with (loaded once per process and key)."""
        if self.error is not None:
            raise self._fail(HeaderError, self.error)
        try:
            tables, accepted = self._reader._resolver.tables_for(self._header)
        except TablesError as error:
            if error.index is not None:
                raise
            raise self._fail(TablesError, str(error)) from None
        self._reader._note(self._position, accepted)
        return tables

    def expanded_descriptors(self) -> list[int]:
        """ecCodes' ``expandedDescriptors``: section 3's descriptors through Table D, fixed
        replications written out, each delayed replication once after its descriptor
        (1 XX 000, XX the descriptors its group expands to) and factor, operators that only
        change the coding left out, 999999 before each element with an associated field."""
        tables = self.tables()
        try:
            return _core.expanded_descriptors(tables, self.descriptors)
        except ValueError as error:
            failure = self._fail(TablesError, str(error))  # a sequence the tables lack
        raise failure from None

    def _decode(self):
        return self._native("decode")

    def _native(self, function: str, *args):
        """Runs a native decoding function on this message, turning its errors into this package's
        and noting what it accepted; returns the result without the bit counts."""
        reader = self._reader
        reader._check_open()
        tables = self.tables()
        try:
            result = getattr(_core, function)(reader._index, self._position, tables, reader.rules, *args)
        except ValueError as error:
            reader._check_map(self.offset + self.length)
            raise reader._error(self._position, getattr(error, "kind", "data"), str(error)) from None
        reader._check_map(self.offset + self.length)
        if isinstance(result, dict):
            del result["used_bits"], result["data_bits"]
            accepted = result.pop("warnings")
        else:
            *rest, _, _, accepted = result
            result = tuple(rest)
        reader._note(self._position, accepted)
        return result

    def values(self) -> list:
        """Every decoded value, subset after subset, as ``DecodedValue`` records."""
        return self._decode()[0]

    def subsets(self) -> list[list]:
        """The records of :meth:`values`, one list per subset."""
        values, starts = self._decode()
        ends = list(starts[1:]) + [len(values)]
        return [values[start:end] for start, end in zip(starts, ends)]

    # ---- tables of values ---------------------------------------------------

    def columns(self, raw: bool = False) -> dict:
        """Typed numpy columns, one row per value (see :mod:`vantrel.dataframes` for names and order)."""
        return _dataframes.message_columns(self, raw)

    def matrix(self, threads: int | None = None):
        """(values, descriptors): a 2-D float64 array, one row per subset and one column per
        slot (NaN when missing, for texts and operator records), and the descriptor of each
        column; None when the subsets of non-compressed data differ in structure. The columns
        of compressed data are filled on up to ``threads`` threads (default: every usable
        core), with the same result whatever their number."""
        threads = _checked_threads(threads)
        result = self._native("matrix", _usable_cores() if threads is None else threads)
        if result[0] is None:
            return None
        values, rows, descriptors, column_major = result
        codes = np.frombuffer(descriptors, dtype=np.uint32)
        values = np.frombuffer(values, dtype=np.float64)
        if column_major:  # compressed data: the columns one after the other, viewed without a copy
            return values.reshape(len(codes), rows).T, codes
        return values.reshape(rows, len(codes)), codes

    def to_pandas(self, form: str = "wide", columns=None, *, meanings: bool = False, header: bool = False):
        """A pandas DataFrame of this message: ``form`` is "wide", "long", "levels" or "context" (see :mod:`vantrel.dataframes`)."""
        return _dataframes.to_pandas(self._keyed(form, meanings), form=form, columns=columns, meanings=meanings,
                                 header=header, header_of=lambda _: self.header | {"edition": self.edition})

    def _keyed(self, form: str, meanings: bool):
        """The message's columns with their keys (see :class:`frames.Keyed`): units for the
        long form, meanings when asked for."""
        native = self._native("columns", meanings, True, form == "long", meanings)
        cols = _dataframes.native_columns(native, meanings, layout=True)
        return _dataframes.Keyed(cols, native, [0], [self.number_of_subsets], [self.compressed], [len(cols["subset"])])

    def to_arrow(self, raw: bool = False):
        """A pyarrow.Table of :meth:`columns`."""
        return _dataframes.to_arrow(self.columns(raw))

