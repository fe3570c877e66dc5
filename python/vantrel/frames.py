"""Tables of decoded values: typed columns, pandas DataFrames and Arrow tables.

Columns (:func:`message_columns`) are equal-length numpy arrays, one row per
value (``Reader.columns()`` keeps the texts in Arrow's string layout instead:
``text_offsets``, int64, rows + 1, and ``text_bytes``, uint8; see :func:`text_values`):

=============  ========  ==========================================================
``subset``     uint32    1-based subset number
``descriptor`` uint32    element, operator or 999999 (associated field)
``value``      float64   the value; NaN when missing, for texts and operator records
``flags``      uint8     bit set, see ``MISSING`` ... ``HAS_MEANING``
``slot``       uint32    the value's place in its subset (stable for one structure)
``text``       object    character values; None where the value is not character
``raw``        uint64    the number read (only with ``raw=True``)
=============  ========  ==========================================================

Rows of non-compressed data are in subset order; rows of compressed data come
column by column (every subset of one slot, then the next slot), which is the
data's own layout. Sorting by (subset, slot) gives walk order in both cases.

Frames come in three forms:

* ``long``: one row per value (message, subset, key, descriptor, value, text, unit
  and, on request, meaning);
* ``wide``: one row per subset, one column per selected key, the header fields on
  request, and a ``datetime`` column from the subset's own date and time keys;
* ``levels``: one row per repetition of the selected keys within a subset (the
  levels of a radiosonde, the channels of a radiance): the n-th row holds the
  n-th occurrence of every repeated key, and keys that occur once are repeated
  on every row.
"""

from __future__ import annotations

import importlib
from typing import Iterable

import numpy as np

from . import _core
from . import keys as _keys

__all__ = [
    "MISSING", "CHARACTER", "OPERATOR", "ASSOCIATED", "HAS_MEANING",
    "message_columns", "to_pandas", "to_arrow", "import_optional",
]

MISSING = 1       # the value is missing (NaN in ``value``, None in ``text``)
CHARACTER = 2     # a character value: see ``text``
OPERATOR = 4      # an operator record or a 2 05 YYY text
ASSOCIATED = 8    # an associated field (descriptor 999999)
HAS_MEANING = 16  # the code table of the element has an entry for ``raw``

COLUMN_NAMES = ("subset", "descriptor", "value", "flags", "slot", "text")


def import_optional(name: str, extra: str, purpose: str = "this"):
    """Import an optional dependency (a module or submodule), or raise ImportError naming the
    extra that installs it."""
    try:
        return importlib.import_module(name)
    except ImportError:
        raise ImportError(f"{purpose} needs {name}: pip install 'vantrel[{extra}]'") from None


# ---- columns --------------------------------------------------------------------------------

_DTYPES = {"subset": np.uint32, "descriptor": np.uint32, "value": np.float64, "flags": np.uint8,
           "slot": np.uint32, "raw": np.uint64}


def texts(flags: np.ndarray, offsets: np.ndarray, data: bytes) -> np.ndarray:
    """The object column of texts from Arrow's string layout: str for character rows
    (None when missing), None elsewhere."""
    out = np.full(len(flags), None, dtype=object)
    for i in np.nonzero((flags & (CHARACTER | MISSING)) == CHARACTER)[0]:
        out[i] = data[offsets[i]:offsets[i + 1]].decode("utf-8", "replace")
    return out


def native_columns(native: dict, raw: bool, layout: bool = False) -> dict[str, np.ndarray]:
    """numpy views of the arrays the native decode returned (no copies). With
    `layout`, the texts stay in Arrow's layout (``text_offsets``, ``text_bytes``)
    instead of the object column ``text``, for concatenation."""
    cols = {name: np.frombuffer(native[name], dtype=dtype) for name, dtype in _DTYPES.items() if name in native}
    offsets = np.frombuffer(native["text_offsets"], dtype=np.int64)
    data = np.frombuffer(native["text_bytes"], dtype=np.uint8)
    if layout:
        cols["text_offsets"], cols["text_bytes"] = offsets, data
    else:
        cols["text"] = texts(cols["flags"], offsets, data.tobytes())
    if not raw:
        cols.pop("raw", None)
    return cols


def message_columns(message, raw: bool = False, layout: bool = False) -> dict[str, np.ndarray]:
    """The columns of one message (raises the message's error)."""
    return native_columns(message._native("columns", raw), raw, layout)


def text_values(cols: dict, rows: np.ndarray) -> np.ndarray:
    """Texts of the given rows as an object array (None where not character or missing),
    from the object column ``text`` or from Arrow's layout (``text_offsets``, ``text_bytes``)."""
    if "text" in cols:
        return cols["text"][rows]
    offsets, data, flags = cols["text_offsets"], cols["text_bytes"], cols["flags"]
    out = np.full(len(rows), None, dtype=object)
    for j, i in enumerate(rows):
        if flags[i] & (CHARACTER | MISSING) == CHARACTER:
            out[j] = data[offsets[i]:offsets[i + 1]].tobytes().decode("utf-8", "replace")
    return out


# ---- structure: keys and ranks over columns --------------------------------------------------

class KeyNames:
    """Key ids shared by every message of a frame: one id per key name."""

    def __init__(self):
        self.names: list[str] = []
        self._index: dict[str, int] = {}
        self._by_tables: dict[int, tuple[object, dict[int, int]]] = {}

    def id_of(self, name: str) -> int:
        found = self._index.get(name)
        if found is None:
            found = self._index[name] = len(self.names)
            self.names.append(name)
        return found

    def ids(self, codes: np.ndarray, tables) -> np.ndarray:
        """The key id of each descriptor code, with the keys of `tables`."""
        kept = self._by_tables.get(id(tables))
        if kept is None or kept[0] is not tables:
            kept = self._by_tables[id(tables)] = (tables, {})
        memo = kept[1]
        if len(codes) > 4096 and int(codes.max()) < 1_000_000:
            # A dense table from code to id: no sort of the codes.
            present = np.flatnonzero(np.bincount(codes, minlength=1))
            table = np.zeros(int(present[-1]) + 1, dtype=np.int64)
            unique = present
        else:
            unique, inverse = np.unique(codes, return_inverse=True)
            table = None
        mapped = np.empty(len(unique), dtype=np.int64)
        for j, code in enumerate(unique.tolist()):
            key = memo.get(code)
            if key is None:
                key = memo[code] = self.id_of(_keys.key_of(code, tables))
            mapped[j] = key
        if table is not None:
            table[unique] = mapped
            return table[codes]
        return mapped[inverse.reshape(-1)]

    def name_index(self) -> dict[str, int]:
        return dict(self._index)


def occurrence(keys: np.ndarray, groups: np.ndarray | None = None) -> np.ndarray:
    """1-based occurrence of each key within its group, in the given (walk) order."""
    n = len(keys)
    if n == 0:
        return np.zeros(0, dtype=np.int64)
    position = np.arange(n)
    composite = keys.astype(np.int64)
    if groups is not None:
        if int(keys.max()) < (1 << 24) and int(groups.max()) < (1 << 38):
            composite = (groups.astype(np.int64) << 24) | composite
            groups = None
        else:
            by = np.lexsort((position, keys, groups))
    if groups is None:
        by = np.argsort(composite, kind="stable")  # stable: walk order inside each run
    ks = composite[by]
    start = np.ones(n, dtype=bool)
    start[1:] = ks[1:] != ks[:-1]
    if groups is not None:
        gs = groups[by]
        start[1:] |= gs[1:] != gs[:-1]
    run_start = np.maximum.accumulate(np.where(start, position, 0))
    out = np.empty(n, dtype=np.int64)
    out[by] = position - run_start + 1
    return out


class Run:
    """The rows of one message: [start, stop) of the columns, its subsets and its structure.

    A uniform run (always compressed data, whose rows come slot by slot with
    every subset in each) is described by its slots alone: ``slot_keys`` and
    ``slot_ranks``. Otherwise ``keys`` and ``ranks`` are given per row.
    """

    def __init__(self, cols, start, stop, message, tables, names: KeyNames):
        self.start, self.stop, self.message = start, stop, message
        subset = cols["subset"][start:stop]
        slot = cols["slot"][start:stop]
        descriptor = cols["descriptor"][start:stop]
        n = stop - start
        self.subsets = int(subset.max()) if n else 0
        self.uniform = False
        if n and n % self.subsets == 0:
            nslots = n // self.subsets
            slots = slot.reshape(nslots, self.subsets)
            codes = descriptor.reshape(nslots, self.subsets)
            if (slots == np.arange(nslots, dtype=slot.dtype)[:, None]).all() and (codes == codes[:, :1]).all():
                self.uniform = True
                self.nslots = nslots
                self.slot_keys = names.ids(codes[:, 0], tables)
                self.slot_ranks = occurrence(self.slot_keys)
                self.slot_data = (cols["flags"][start:stop:self.subsets] & (OPERATOR | ASSOCIATED)) == 0
        if not self.uniform:
            # Non-compressed rows come subset after subset in walk order; keys and
            # ranks of such runs are computed for all of them at once by `runs`.
            self.order = np.arange(start, stop)
            self.tables = tables

    def walk_order(self) -> np.ndarray:
        """Row indices (into the columns) in walk order: subset after subset."""
        if self.uniform:
            return self.start + (np.arange(self.nslots)[None, :] * self.subsets
                                 + np.arange(self.subsets)[:, None]).ravel()
        return self.order

    def row_keys(self) -> tuple[np.ndarray, np.ndarray]:
        """(key ids, ranks) of the rows start..stop, in column order."""
        if self.uniform:
            return np.repeat(self.slot_keys, self.subsets), np.repeat(self.slot_ranks, self.subsets)
        return self.keys, self.ranks


def runs(cols, tables_of) -> tuple[list[Run], KeyNames]:
    """The per-message runs of a set of columns (one run without a ``message`` column)."""
    names = KeyNames()
    message = cols.get("message")
    n = len(cols["subset"])
    if message is None:
        out = [Run(cols, 0, n, 0, tables_of(0), names)] if n else []
        _structure_rows([r for r in out if not r.uniform], cols, names)
        return out, names
    edges = np.flatnonzero(np.diff(message)) + 1
    starts = np.concatenate([[0], edges]).astype(np.int64) if n else np.zeros(0, dtype=np.int64)
    stops = np.concatenate([edges, [n]]).astype(np.int64) if n else np.zeros(0, dtype=np.int64)
    out = []
    for a, b in zip(starts.tolist(), stops.tolist()):
        m = int(message[a])
        out.append(Run(cols, a, b, m, tables_of(m), names))
    _structure_rows([r for r in out if not r.uniform], cols, names)
    return out, names


def _structure_rows(parts: list[Run], cols, names: KeyNames) -> None:
    """Keys and ranks of the rows of non-uniform runs, all runs at once."""
    if not parts:
        return
    lengths = [r.stop - r.start for r in parts]
    contiguous = all(a.stop == b.start for a, b in zip(parts, parts[1:]))
    if contiguous:
        rows = slice(parts[0].start, parts[-1].stop)
    else:
        rows = np.concatenate([r.order for r in parts])
    subset = cols["subset"][rows]
    slot = cols["slot"][rows]
    run_of = np.repeat(np.arange(len(parts), dtype=np.int64), lengths)
    # Rows of non-compressed data come in walk order inside each run; a run that does not is sorted.
    same_run = run_of[1:] == run_of[:-1]
    ahead = (subset[1:] > subset[:-1]) | ((subset[1:] == subset[:-1]) & (slot[1:] > slot[:-1]))
    unordered = same_run & ~ahead
    if unordered.any():
        for i in np.unique(run_of[1:][unordered]).tolist():
            r = parts[i]
            r.order = r.start + np.lexsort((cols["slot"][r.start:r.stop], cols["subset"][r.start:r.stop]))
        rows = np.concatenate([r.order for r in parts])
        subset = cols["subset"][rows]
    descriptor = cols["descriptor"][rows]
    tables = [r.tables for r in parts]
    if all(t is tables[0] for t in tables):
        keys = names.ids(descriptor, tables[0])
    else:
        keys = np.empty(len(descriptor), dtype=np.int64)
        groups: dict[int, list[int]] = {}
        for i, t in enumerate(tables):
            groups.setdefault(id(t), []).append(i)
        for members in groups.values():
            mask = np.repeat(np.isin(np.arange(len(parts)), members), lengths)
            keys[mask] = names.ids(descriptor[mask], tables[members[0]])
    ranks = occurrence(keys, (run_of << 16) | subset)
    position = 0
    in_place = not unordered.any()
    for r, n in zip(parts, lengths):
        if in_place:
            r.keys, r.ranks = keys[position:position + n], ranks[position:position + n]
        else:
            walk = r.order - r.start
            r.keys = np.empty(n, dtype=np.int64)
            r.ranks = np.empty(n, dtype=np.int64)
            r.keys[walk] = keys[position:position + n]
            r.ranks[walk] = ranks[position:position + n]
        position += n


class Meanings:
    """Meanings of code and flag table values for rows of columns (which must carry ``raw``),
    looked up once per (tables, code, raw)."""

    def __init__(self, cols, tables_of):
        if "raw" not in cols:
            raise ValueError("meanings need the raw column: decode with raw=True")
        self.cols, self.tables_of = cols, tables_of
        self._memo: dict[tuple, object] = {}
        self._kind: dict[tuple, bool] = {}

    def _tables(self, row: int):
        message = self.cols.get("message")
        return self.tables_of(int(message[row]) if message is not None else 0)

    def applies(self, row: int) -> bool:
        """Whether the element of `row` is a code or flag table."""
        tables = self._tables(row)
        code = int(self.cols["descriptor"][row])
        key = (id(tables), code)
        if key not in self._kind:
            self._kind[key] = code < 100000 and _core.value_kind(tables, code) in ("code", "flag")
        return self._kind[key]

    def of(self, rows: np.ndarray) -> np.ndarray:
        out = np.full(len(rows), None, dtype=object)
        cols = self.cols
        for i, row in enumerate(rows.tolist()):
            tables = self._tables(row)
            code, raw = int(cols["descriptor"][row]), int(cols["raw"][row])
            missing = bool(cols["flags"][row] & MISSING)
            key = (id(tables), code, raw, missing)
            if key not in self._memo:
                self._memo[key] = _keys.meaning_of(code, raw, tables, missing)
            out[i] = self._memo[key]
        return out


def _ranked_name(name: str, rank: int) -> str:
    return name if rank == 1 else f"#{rank}#{name}"


# ---- frames ---------------------------------------------------------------------------------

def _select(names: Iterable[str] | None):
    return None if names is None else [(_keys.split_rank(n), n) for n in names]


def _long(pd, cols, tables_of, meanings: bool):
    parts, names = runs(cols, tables_of)
    order = np.concatenate([r.walk_order() for r in parts]) if parts else np.zeros(0, dtype=np.int64)
    key_ids = np.empty(len(cols["subset"]), dtype=np.int64)
    rank = np.empty(len(cols["subset"]), dtype=np.int64)
    for r in parts:
        key_ids[r.start:r.stop], rank[r.start:r.stop] = r.row_keys()
    # Ranked names per distinct (key, rank) pair, not per row.
    # A rank can reach the decode's value limit (2^25): 32 bits hold it.
    pair = (key_ids[order] << 32) | rank[order]
    unique, inverse = np.unique(pair, return_inverse=True)
    labels = np.array([_ranked_name(names.names[int(p) >> 32], int(p) & 0xFFFFFFFF) for p in unique], dtype=object)
    data = {}
    messages = cols.get("message")
    if messages is not None:
        data["message"] = messages[order]
    data.update(
        subset=cols["subset"][order], key=labels[inverse.reshape(-1)], descriptor=cols["descriptor"][order],
        value=cols["value"][order], text=text_values(cols, order),
    )
    msg = (messages if messages is not None else np.zeros(len(key_ids), dtype=np.uint32))[order]
    code = cols["descriptor"][order]
    pairs = msg.astype(np.uint64) << np.uint64(32) | code.astype(np.uint64)
    unique, inverse = np.unique(pairs, return_inverse=True)
    units = np.array([_keys.unit_of(int(p) & 0xFFFFFFFF, tables_of(int(p) >> 32)) for p in unique], dtype=object)
    data["unit"] = units[inverse.reshape(-1)]
    if meanings:
        resolver = Meanings(cols, tables_of)
        meaning = np.full(len(order), None, dtype=object)
        coded = (cols["flags"][order] & (CHARACTER | OPERATOR | ASSOCIATED)) == 0
        meaning[coded] = resolver.of(order[coded])
        data["meaning"] = meaning
    return pd.DataFrame(data)


# The keys of the data's own date and time (the wide form's ``datetime`` column).
TIME_KEYS = ("year", "month", "day", "hour", "minute", "second")


class WideColumns:
    """The columns of a wide frame being filled: numbers in one 2-D array, texts and
    meanings in object columns made when a column first receives one."""

    def __init__(self, cols, tables_of, labels: list[str], total: int, meanings: bool):
        self.cols, self.labels, self.total = cols, labels, total
        self.values = np.full((len(labels), total), np.nan)
        self.objects: dict[int, np.ndarray] = {}
        self.resolver = Meanings(cols, tables_of) if meanings else None

    def _object_column(self, j: int) -> np.ndarray:
        column = self.objects.get(j)
        if column is None:
            column = self.objects[j] = np.full(self.total, None, dtype=object)
        return column

    def put(self, j: int, out_rows, rows) -> None:
        """Column j at output rows `out_rows` takes the values of the column rows `rows`."""
        rows = np.asarray(rows)
        if not len(rows):
            return
        if self.resolver is not None and self.resolver.applies(int(rows[0])):
            self._object_column(j)[out_rows] = self.resolver.of(rows)
        elif self.cols["flags"][rows[0]] & CHARACTER:
            self._object_column(j)[out_rows] = text_values(self.cols, rows)
        else:
            self.values[j, out_rows] = self.cols["value"][rows]

    def arrays(self) -> dict[str, np.ndarray]:
        return {label: self.objects.get(j, self.values[j]) for j, label in enumerate(self.labels)}


def message_runs(cols, decoded=None) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(first row, message number, number of subsets) of each message's rows; `decoded`,
    (numbers, subsets) of the messages decoded, also gives those whose rows were all
    left out (columns of selected keys)."""
    if decoded is not None and "message" in cols:
        numbers, subsets = decoded
        starts = np.searchsorted(cols["message"], numbers).astype(np.int64)
        return starts, numbers, subsets
    n = len(cols["subset"])
    if n == 0:
        return np.zeros(0, np.int64), np.zeros(0, np.uint32), np.zeros(0, np.int64)
    message = cols.get("message")
    if message is None:
        starts = np.zeros(1, dtype=np.int64)
        numbers = np.zeros(1, dtype=np.uint32)
    else:
        starts = np.concatenate([[0], np.flatnonzero(np.diff(message)) + 1]).astype(np.int64)
        numbers = message[starts]
    subsets = np.maximum.reduceat(cols["subset"], starts).astype(np.int64)
    return starts, numbers, subsets


_KEYS_BY_TABLES: dict[int, tuple[object, dict[int, str]]] = {}


def _keys_of(tables) -> dict[int, str]:
    """The memo of descriptor keys of one table set (table sets never change once loaded)."""
    kept = _KEYS_BY_TABLES.get(id(tables))
    if kept is None or kept[0] is not tables:
        if len(_KEYS_BY_TABLES) >= 64:
            _KEYS_BY_TABLES.clear()
        kept = _KEYS_BY_TABLES[id(tables)] = (tables, {})
    return kept[1]


def selected_rows(cols, tables_of, key_ids: dict[str, int], starts, numbers):
    """(rows, key ids, message run of every row): the data rows (not operator records or
    associated fields) whose key is one of `key_ids`, each key taken from the tables of
    the row's message."""
    n = len(cols["subset"])
    lengths = np.diff(np.concatenate([starts, [n]]))
    run_of = np.repeat(np.arange(len(starts)), lengths)
    # The selected key of each row (-1: not selected), with the keys of its message's tables.
    descriptor = cols["descriptor"]
    key_of_row = np.full(n, -1, dtype=np.int64)
    by_tables: dict[int, tuple[object, list[int]]] = {}
    for i, number in enumerate(numbers.tolist()):
        tables = tables_of(number)
        by_tables.setdefault(id(tables), (tables, []))[1].append(i)
    for tables, members in by_tables.values():
        rows = slice(None) if len(by_tables) == 1 else np.repeat(np.isin(np.arange(len(starts)), members), lengths)
        codes = descriptor[rows]
        present = np.unique(codes) if len(codes) < 65536 else np.flatnonzero(np.bincount(codes))
        table = np.full(int(present[-1]) + 1 if len(present) else 1, -1, dtype=np.int64)
        known = _keys_of(tables)
        for code in present.tolist():
            key = known.get(code)
            if key is None:
                key = known[code] = _keys.key_of(code, tables)
            table[code] = key_ids.get(key, -1)
        key_of_row[rows] = table[codes]
    chosen = np.flatnonzero((key_of_row >= 0) & ((cols["flags"] & (OPERATOR | ASSOCIATED)) == 0))
    return chosen, key_of_row[chosen], run_of


def _wide_selected(cols, tables_of, columns, meanings: bool, decoded=None):
    """The wide form of selected keys, over every message at once: only the rows of the
    selected keys are ranked (within each subset, in walk order, which is row order inside
    a subset for both layouts of the data)."""
    starts, numbers, subsets = message_runs(cols, decoded)
    n = len(cols["subset"])
    total = int(subsets.sum())
    first = np.cumsum(subsets) - subsets  # the output row of each message's first subset
    message = np.repeat(numbers, subsets)
    subset = (np.arange(total) - np.repeat(first, subsets) + 1).astype(np.uint32)
    selection = list(_select(columns))
    labels = [_keys.canonical(label) for _, label in selection]
    key_ids = {key: i for i, key in enumerate(dict.fromkeys(key for (_, key), _ in selection))}
    out = WideColumns(cols, tables_of, labels, total, meanings)
    if n == 0 or not selection:
        return message, subset, out.arrays()
    chosen, keys, run_of = selected_rows(cols, tables_of, key_ids, starts, numbers)
    groups = (run_of[chosen].astype(np.int64) << 16) | cols["subset"][chosen].astype(np.int64)
    rank = occurrence(keys, groups)
    pair = (keys.astype(np.int64) << 32) | rank  # ranks up to the decode's value limit (2^25)
    column_of = {}
    for j, ((r, key), _) in enumerate(selection):
        if r < 1 << 32:
            column_of.setdefault((key_ids[key] << 32) | r, []).append(j)
    wanted = np.array(sorted(column_of), dtype=np.int64)
    at = np.minimum(np.searchsorted(wanted, pair), len(wanted) - 1)
    hit = np.flatnonzero(wanted[at] == pair)
    hit = hit[np.argsort(pair[hit], kind="stable")]
    bounds = np.flatnonzero(np.diff(pair[hit])) + 1
    for group in np.split(hit, bounds) if len(hit) else []:
        rows = chosen[group]
        out_rows = first[run_of[rows]] + cols["subset"][rows].astype(np.int64) - 1
        for j in column_of[int(pair[group[0]])]:
            out.put(j, out_rows, rows)
    return message, subset, out.arrays()


def _wide_arrays(cols, tables_of, columns, meanings: bool = False, decoded=None):
    """(message per row, subset per row, {name: array}) for the wide form: one row per subset."""
    if columns is not None:
        return _wide_selected(cols, tables_of, columns, meanings, decoded)
    # Every key: ranking every row would sort all of them (17 M rows for a satellite
    # file), so compressed messages are described by their slots instead (see Run).
    parts, names = runs(cols, tables_of)
    if columns is None:
        # Every key, in the walk order of its first appearance.
        seen: dict[tuple[int, int], None] = {}
        for r in parts:
            if r.uniform:
                keep = r.slot_data
                pairs = zip(r.slot_keys[keep].tolist(), r.slot_ranks[keep].tolist())
            else:
                data = ((cols["flags"][r.order] & (OPERATOR | ASSOCIATED)) == 0)
                walk = r.order - r.start
                pairs = zip(r.keys[walk][data].tolist(), r.ranks[walk][data].tolist())
            for p in pairs:
                seen.setdefault(p, None)
        wanted = [(pair, _ranked_name(names.names[pair[0]], pair[1])) for pair in seen]
    else:
        index = names.name_index()
        wanted = []
        for (rank, key), label in _select(columns):
            wanted.append(((index.get(key, -1), rank), _keys.canonical(label)))
    sizes = [r.subsets for r in parts]
    total = int(sum(sizes))
    first = np.concatenate([[0], np.cumsum(sizes)[:-1]]).astype(np.int64) if parts else np.zeros(0, np.int64)
    message = np.repeat(np.array([r.message for r in parts], dtype=np.uint32), sizes)
    subset = (np.arange(total) - np.repeat(first, sizes) + 1).astype(np.uint32)
    column_of = {pair: j for j, (pair, _) in enumerate(wanted)}
    out = WideColumns(cols, tables_of, [label for _, label in wanted], total, meanings)
    put = out.put
    flags = cols["flags"]

    for r, base in zip(parts, first.tolist()):
        if r.uniform:
            for s, (k, rk, data) in enumerate(zip(r.slot_keys.tolist(), r.slot_ranks.tolist(), r.slot_data.tolist())):
                j = column_of.get((k, rk))
                if j is None or not data:
                    continue
                a = r.start + s * r.subsets
                put(j, slice(base, base + r.subsets), np.arange(a, a + r.subsets))
    # Non-uniform runs, all at once: each row whose (key, rank) is wanted goes to
    # its subset's output row.
    loose = [(r, base) for r, base in zip(parts, first.tolist()) if not r.uniform]
    if loose and column_of:
        rows = np.concatenate([np.arange(r.start, r.stop) for r, _ in loose])
        pair = np.concatenate([(r.keys << 20) | np.minimum(r.ranks, (1 << 20) - 1) for r, _ in loose])
        out_row = np.concatenate([base + cols["subset"][r.start:r.stop].astype(np.int64) - 1 for r, base in loose])
        wanted_pairs = np.array(sorted((k << 20) | rk for (k, rk) in column_of if k >= 0), dtype=np.int64)
        if len(wanted_pairs):
            at = np.minimum(np.searchsorted(wanted_pairs, pair), len(wanted_pairs) - 1)
            hit = (wanted_pairs[at] == pair) & ((flags[rows] & (OPERATOR | ASSOCIATED)) == 0)
            index = np.flatnonzero(hit)
            index = index[np.argsort(pair[index], kind="stable")]
            codes = pair[index]
            bounds = np.flatnonzero(np.diff(codes)) + 1
            for group in np.split(index, bounds):
                code = int(pair[group[0]])
                put(column_of[(code >> 20, code & ((1 << 20) - 1))], out_row[group], rows[group])
    return message, subset, out.arrays()


def _datetime_column(arrays):
    """The subsets' own times from their year ... second keys, as datetime64[us] (a second
    with a fraction keeps it); NaT where the date is missing or not a date. Missing hours,
    minutes and seconds count as 0."""
    parts = {key: arrays.get(key) for key in TIME_KEYS}
    date = []
    for key in ("year", "month", "day"):
        value = parts[key]
        if value is None or value.dtype == object or not np.isfinite(value).any():
            return None  # the data carry no date of their own
        date.append(value)
    year, month, day = date
    valid = np.isfinite(year) & np.isfinite(month) & np.isfinite(day)
    valid &= (year >= 1) & (year <= 9999) & (month >= 1) & (month <= 12) & (day >= 1) & (day <= 31)
    y = np.where(valid, year, 1970).astype(np.int64)
    mo = np.where(valid, month, 1).astype(np.int64)
    d = np.where(valid, day, 1).astype(np.int64)
    months = ((y - 1970) * 12 + (mo - 1)).astype("datetime64[M]")
    days = months.astype("datetime64[D]") + (d - 1).astype("timedelta64[D]")
    valid &= days.astype("datetime64[M]") == months  # no 30 February
    # Microseconds: the seconds element may have a scale (0.001 s and finer), kept as given.
    micros = np.zeros(len(y), dtype=np.int64)
    for key, scale in (("hour", 3600), ("minute", 60), ("second", 1)):
        value = parts[key]
        if value is not None and value.dtype != object:
            micros += np.rint(np.where(np.isfinite(value), value, 0) * (scale * 1_000_000)).astype(np.int64)
    when = days.astype("datetime64[us]") + micros.astype("timedelta64[us]")
    when[~valid] = np.datetime64("NaT")
    return when


def _wide(pd, cols, tables_of, columns, header_of, header: bool, meanings: bool = False, decoded=None):
    extra_time = [k for k in TIME_KEYS if columns is not None and k not in columns]
    selection = None if columns is None else list(columns) + extra_time
    message, subset, arrays = _wide_arrays(cols, tables_of, selection, meanings, decoded)
    data = {}
    if "message" in cols:
        data["message"] = message
    data["subset"] = subset
    if header:
        per_message = {m: header_of(m) for m in np.unique(message).tolist()}
        for field in ("edition", "centre", "subcentre", "data_category", "master_table_version"):
            data[field] = [per_message[m].get(field) for m in message.tolist()]
    when = _datetime_column(arrays)
    for key in extra_time:
        arrays.pop(key, None)
    for field in [f for f in arrays if f in data]:
        # A data key named like a header field ("centre") keeps its name; the header's gets a prefix.
        data[f"header_{field}"] = data.pop(field)
    data.update(arrays)
    if when is not None:
        data["datetime"] = when
    return pd.DataFrame(data)


def _levels(pd, cols, tables_of, columns, meanings: bool = False, decoded=None):
    """One row per level: the n-th occurrence of each selected key within a subset goes to
    level n; a key that occurs once in a subset is repeated on every level of it. A subset
    holds as many levels as its most repeated selected key (at least one)."""
    if columns is None:
        raise ValueError('form="levels" needs columns=[...] naming the keys of one level')
    starts, numbers, subsets = message_runs(cols, decoded)
    total_subsets = int(subsets.sum())
    first_subset = np.cumsum(subsets) - subsets
    selected = list(dict.fromkeys(_keys.split_rank(c)[1] for c in columns))
    key_ids = {key: i for i, key in enumerate(selected)}
    if len(cols["subset"]):
        chosen, keys, run_of = selected_rows(cols, tables_of, key_ids, starts, numbers)
    else:
        chosen, keys, run_of = (np.zeros(0, np.int64),) * 3
    # The subset of every chosen row, numbered over all messages; rows come in walk order within it.
    group = first_subset[run_of[chosen]] + cols["subset"][chosen].astype(np.int64) - 1
    occurrence_of = occurrence(keys, group)
    counts = np.bincount(group * len(selected) + keys, minlength=total_subsets * len(selected)).reshape(
        total_subsets, len(selected))
    levels = np.maximum(counts.max(axis=1) if len(selected) else 0, 1)
    total = int(levels.sum())
    first_row = np.cumsum(levels) - levels
    level = np.arange(total) - np.repeat(first_row, levels)
    out = {}
    if "message" in cols:
        out["message"] = np.repeat(np.repeat(numbers, subsets), levels)
    subset = (np.arange(total_subsets) - np.repeat(first_subset, subsets) + 1).astype(np.uint32)
    out["subset"] = np.repeat(subset, levels)
    out["level"] = (level + 1).astype(np.uint32)
    resolver = Meanings(cols, tables_of) if meanings else None
    flags = cols["flags"]
    for key, k in key_ids.items():
        mine = keys == k
        rows, g, occ = chosen[mine], group[mine], occurrence_of[mine]
        if resolver is not None and len(rows) and resolver.applies(int(rows[0])):
            source, objects = resolver.of(rows), True
        elif len(rows) and bool(np.all(flags[rows] & CHARACTER)):
            source, objects = text_values(cols, rows), True
        else:
            source, objects = cols["value"][rows], False
        column = np.full(total, None, dtype=object) if objects else np.full(total, np.nan)
        once = counts[g, k] == 1
        # A key met once in its subset stands on each of the subset's levels.
        spread = levels[g[once]]
        targets = np.repeat(first_row[g[once]], spread) + (
            np.arange(int(spread.sum())) - np.repeat(np.cumsum(spread) - spread, spread))
        if objects:
            for target, value in zip(targets.tolist(), np.repeat(np.arange(len(source))[once], spread).tolist()):
                column[target] = source[value]  # element by element: a list of meanings stays whole
        else:
            column[targets] = np.repeat(source[once], spread)
        many = ~once
        column[first_row[g[many]] + occ[many] - 1] = source[many]
        out[key] = column
    return pd.DataFrame(out)


def to_pandas(cols, tables_of, *, form="wide", columns=None, meanings=False, header=False, header_of=None,
              decoded=None):
    """A DataFrame of columns (see the module docstring for the forms); `decoded`, (numbers,
    subsets) of the messages decoded, gives each of them its subsets even where the
    columns hold no row of it."""
    pd = import_optional("pandas", "pandas")
    if header_of is None:
        header_of = lambda index: {}  # noqa: E731
    if form == "long":
        frame = _long(pd, cols, tables_of, meanings)
        if columns is not None:
            frame = frame[frame["key"].isin({_keys.canonical(c) for c in columns})].reset_index(drop=True)
    elif form == "wide":
        frame = _wide(pd, cols, tables_of, columns, header_of, header, meanings, decoded)
    elif form == "levels":
        frame = _levels(pd, cols, tables_of, columns, meanings, decoded)
    else:
        raise ValueError(f'form must be "long", "wide" or "levels", not {form!r}')
    return frame


def to_arrow(cols):
    """A pyarrow.Table of columns (numeric columns shared with numpy, not copied)."""
    pa = import_optional("pyarrow", "arrow")
    arrays = {}
    if "text_offsets" in cols:
        # Arrow's own string layout: shared, not copied; missing and non-character rows are null.
        flags = cols["flags"]
        valid = (flags & (CHARACTER | MISSING)) == CHARACTER
        arrays["text"] = pa.LargeStringArray.from_buffers(
            len(flags), pa.py_buffer(cols["text_offsets"]), pa.py_buffer(cols["text_bytes"]),
            pa.array(valid).buffers()[1], null_count=int(len(flags) - valid.sum()))
    for name, array in cols.items():
        if name in ("text_offsets", "text_bytes"):
            continue
        if array.dtype == object:
            arrays[name] = pa.array(array, type=pa.string())
        else:
            arrays[name] = pa.array(array)
    return pa.table(arrays)
