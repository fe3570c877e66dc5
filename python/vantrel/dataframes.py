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

Frames come in four forms:

* ``long``: one row per value (message, subset, key, descriptor, value, text, unit,
  qualifies: the ranked key of the value an attribute qualifies, and, on request,
  meaning);
* ``wide``: one row per subset, one column per selected key, the header fields on
  request, and a ``datetime`` column from the subset's own date and time keys;
* ``levels``: one row per repetition of the selected keys within a subset (the
  levels of a radiosonde, the channels of a radiance): the n-th row holds the
  n-th occurrence of every repeated key, and keys that occur once are repeated
  on every row;
* ``context``: rows in context, the way BUFR nests values: each row holds one value
  of every selected observation key with the selected coordinates and qualifiers
  (classes 01 to 08: station, time, position, height, period, significance) in
  force at it, so that nested levels inherit the outer keys (a station's number
  on each of its sensor heights, a track's time on each of its positions).
"""

from __future__ import annotations

import functools
import importlib
from typing import Iterable, NamedTuple

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
    return native_columns(message._native("columns", raw, False, False, False), raw, layout)


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


# ---- keys: what the core says each row is ---------------------------------------------------

# Kinds of labels (the core's numbering).
NUMBER, TEXT, CODE, FLAG, OPERATOR_KIND, ASSOCIATED_KIND = range(6)


def _objects(items) -> np.ndarray:
    """An object array of `items` as they are (a list stays one element)."""
    out = np.empty(len(items), dtype=object)
    for i, item in enumerate(items):
        out[i] = item
    return out


class Keyed:
    """Columns with the keys the core gave their rows: a label per row, one (key, rank)
    pair, with its ranked name, key and kind; units and meanings per row when asked
    for (dictionary-encoded). ``message_rows``, ``numbers``, ``subsets`` and
    ``slot_major`` describe each message decoded, in row order."""

    def __init__(self, cols: dict, native: dict, numbers, subsets, slot_major, message_rows=None):
        self.cols = cols
        self.label = np.frombuffer(native["label"], dtype=np.uint32)
        self.label_key = np.frombuffer(native["label_key"], dtype=np.uint32)
        self.label_rank = np.frombuffer(native["label_rank"], dtype=np.uint32)
        self.label_kind = np.frombuffer(native["label_kind"], dtype=np.uint8)
        self.label_integer = np.frombuffer(native["label_integer"], dtype=np.uint8).astype(bool)
        self.label_names = np.array(native["label_names"], dtype=object)
        self.keys: list[str] = native["keys"]
        self.unit = self.units = self.meaning = self.meanings = None
        if "unit" in native:
            self.unit = np.frombuffer(native["unit"], dtype=np.uint32)
            self.units = _objects([None] + native["units"][1:])
        if "meaning" in native:
            self.meaning = np.frombuffer(native["meaning"], dtype=np.int32)
            self.meanings = _objects(native["meanings"] + [None])  # id -1 is the last: none
        self.numbers = np.asarray(numbers, dtype=np.uint32)
        self.subsets = np.asarray(subsets, dtype=np.int64)
        self.slot_major = np.asarray(slot_major, dtype=bool)
        if message_rows is None:
            message_rows = np.frombuffer(native["message_rows"], dtype=np.uint64)
        self.message_rows = np.asarray(message_rows, dtype=np.uint64)
        self.threads = 1  # for the scatter of the wide form

    def object_kind(self, label: int, meanings: bool) -> bool:
        """Whether a label's values are objects: texts, or meanings when asked for."""
        kind = int(self.label_kind[label])
        return kind == TEXT or (meanings and kind in (CODE, FLAG))

    def objects_of(self, rows: np.ndarray, label: int, meanings: bool) -> np.ndarray:
        """The object values (texts or meanings) of rows of one label."""
        if int(self.label_kind[label]) == TEXT:
            return text_values(self.cols, rows)
        return self.meanings[self.meaning[rows]]

    @functools.cached_property
    def label_ids(self) -> dict[tuple[str, int], int]:
        """The label of each (key, rank)."""
        keys = self.keys
        return {(keys[k], r): i for i, (k, r) in enumerate(zip(self.label_key.tolist(), self.label_rank.tolist()))}

    @functools.cached_property
    def key_ids(self) -> dict[str, int]:
        """The id of each key name."""
        return {key: i for i, key in enumerate(self.keys)}

    @functools.cached_property
    def run_of(self) -> np.ndarray:
        """The message (its place among those decoded) of each row."""
        return np.repeat(np.arange(len(self.message_rows)), self.message_rows.astype(np.int64))

    def key_index_of_rows(self, keys: list[str]) -> np.ndarray:
        """Per row, the index of its key among `keys` (bare keys), -1 for other keys and for
        operator and associated-field rows (int32)."""
        index_of_key = np.full(len(self.keys) + 1, -1, dtype=np.int32)
        for j, key in enumerate(keys):
            if key in self.key_ids:
                index_of_key[self.key_ids[key]] = j
        if not len(self.label):
            return np.zeros(0, dtype=np.int32)
        of_label = index_of_key[self.label_key.astype(np.int64)]
        of_label[self.label_kind >= OPERATOR_KIND] = -1
        return np.ascontiguousarray(of_label[self.label], dtype=np.int32)

    def walk_order(self) -> np.ndarray | None:
        """Row indices in walk order (subset after subset), or None when the rows are in it:
        the rows of compressed data come slot after slot, every subset in each."""
        counts = self.message_rows.astype(np.int64)
        major = self.slot_major & (counts > 0)
        if not major.any():
            return None
        n = int(counts.sum())
        starts = np.cumsum(counts) - counts
        count, subsets = counts[major], self.subsets[major]
        if (subsets <= 0).any() or (count % np.maximum(subsets, 1)).any():
            run = np.repeat(np.arange(len(counts)), counts)
            return np.lexsort((self.cols["slot"], self.cols["subset"], run))
        slots = count // subsets
        p = np.arange(int(count.sum())) - np.repeat(np.cumsum(count) - count, count)
        per_slot, per_subset = np.repeat(slots, count), np.repeat(subsets, count)
        order = np.arange(n)
        order[np.repeat(major, counts)] = np.repeat(starts[major], count) + (p % per_slot) * per_subset + p // per_slot
        return order

    def subset_rows(self):
        """(message, subset, bases) of the wide form: the message and subset of each output
        row, and the output row of each message's first subset."""
        total = int(self.subsets.sum())
        bases = np.cumsum(self.subsets) - self.subsets
        message = np.repeat(self.numbers, self.subsets)
        subset = (np.arange(total) - np.repeat(bases, self.subsets) + 1).astype(np.uint32)
        return message, subset, bases.astype(np.int64)


def _as_integers(pd, values: np.ndarray):
    """`values` as a nullable Int64 array when every finite one is a whole number that float64
    holds exactly (missing values masked), else unchanged."""
    finite = np.isfinite(values)
    kept = values[finite]
    if not np.all(kept == np.rint(kept)) or (len(kept) and np.abs(kept).max() > 2.0 ** 53):
        return values
    return pd.arrays.IntegerArray(np.where(finite, values, 0).astype(np.int64), ~finite)


# ---- frames ---------------------------------------------------------------------------------

def _select(names: Iterable[str] | None):
    return None if names is None else [(_keys.split_rank(n), n) for n in names]


def _long(pd, k: Keyed, meanings: bool):
    cols = k.cols
    order = k.walk_order()
    take = (lambda a: a) if order is None else (lambda a: a[order])
    rows = np.arange(len(k.label)) if order is None else order
    label = take(k.label)
    data = {}
    if "message" in cols:
        data["message"] = take(cols["message"])
    names = k.label_names[label]
    data.update(subset=take(cols["subset"]), key=names, descriptor=take(cols["descriptor"]),
                value=take(cols["value"]), text=text_values(cols, rows), unit=k.units[take(k.unit)])
    # An attribute's row names the value it qualifies (in the same subset).
    qualifies = np.array([_keys.qualified(n) for n in k.label_names], dtype=object)
    data["qualifies"] = qualifies[label]
    if meanings:
        data["meaning"] = k.meanings[take(k.meaning)]
    return pd.DataFrame(data)


# The keys of the data's own date and time (the wide form's ``datetime`` column).
TIME_KEYS = ("year", "month", "day", "hour", "minute", "second")


def _present(k: Keyed, names, bases, total: int) -> np.ndarray:
    """Whether each output row (subset) of the wide form holds a value of every key in
    `names` (ranked names; a missing value counts, an absent key does not)."""
    ids = k.label_ids
    labels = [ids.get(_keys.split_rank(name)[::-1], -1) for name in names]
    present = np.ones(total, dtype=bool)
    if any(label < 0 for label in labels):
        return np.zeros(total, dtype=bool)
    if not labels:
        return present
    column_of = np.full(len(k.label_kind), -1, dtype=np.int32)
    for j, label in enumerate(labels):
        column_of[label] = -2 - j
    cols = k.cols
    _, _, out, column = _core.scatter_wide(cols["value"], k.label, cols["subset"], k.message_rows, bases, k.subsets,
                                           k.slot_major.astype(np.uint8), column_of, 0, total, k.threads)
    out, column = np.frombuffer(out, dtype=np.int64), np.frombuffer(column, dtype=np.int32)
    for j in range(len(labels)):
        seen = np.zeros(total, dtype=bool)
        seen[out[column == j]] = True
        present &= seen
    return present


def _wide_arrays(k: Keyed, columns, meanings: bool = False):
    """(message per row, subset per row, {name: array}, block, {name: block row}) for the
    wide form: one row per subset, the numbers scattered into one block (a row per column)
    by (subset, label) in the core; the arrays of numbers are rows of the block."""
    message, subset, bases = k.subset_rows()
    total = len(subset)
    if columns is None:
        # Every key of the data, in the walk order of its first appearance (label order).
        wanted = [(int(i), k.label_names[i]) for i in np.flatnonzero(k.label_kind < OPERATOR_KIND)]
    else:
        ids = k.label_ids
        wanted = []
        for (rank, key), name in _select(columns):
            if rank == _keys.ALL_RANKS:  # every rank of the key the data hold, in walk order
                key_id = k.key_ids.get(key, -1)
                wanted += [(int(i), k.label_names[i]) for i in np.flatnonzero(
                    (k.label_key == key_id) & (k.label_kind < OPERATOR_KIND))]
            else:
                wanted.append((ids.get((key, rank), -1), _keys.canonical(name)))
    column_of = np.full(len(k.label_kind), -1, dtype=np.int32)
    numeric, objects = 0, 0
    for label, _ in wanted:
        if label < 0 or column_of[label] != -1:
            continue
        if k.object_kind(label, meanings):
            column_of[label] = -2 - objects
            objects += 1
        else:
            column_of[label] = numeric
            numeric += 1
    cols = k.cols
    scatter = (cols["value"], k.label, cols["subset"], k.message_rows, bases, k.subsets,
               k.slot_major.astype(np.uint8))
    objects_of = {}  # object column -> its array
    if objects:
        # The rows of the object columns first: their texts live in memory the numbers may reuse.
        only = np.where(column_of < -1, column_of, -1).astype(np.int32)
        _, object_rows, object_out, object_column = _core.scatter_wide(*scatter, only, 0, total, k.threads)
        object_rows = np.frombuffer(object_rows, dtype=np.int64)
        object_out = np.frombuffer(object_out, dtype=np.int64)
        object_column = np.frombuffer(object_column, dtype=np.int32)
        by_column = np.argsort(object_column, kind="stable")
        bounds = np.searchsorted(object_column[by_column], np.arange(objects + 1))
        for label in np.flatnonzero(column_of < -1).tolist():
            j = -2 - int(column_of[label])
            group = by_column[bounds[j]:bounds[j + 1]]
            column = np.full(total, None, dtype=object)
            column[object_out[group]] = k.objects_of(object_rows[group], label, meanings)
            objects_of[j] = column
    # The text offsets (8 bytes a row, their pages in place) take the block when it is most of
    # their size: fresh pages would cost more than the scatter.
    offsets = cols.get("text_offsets")
    cells = numeric * total
    into = offsets if offsets is not None and len(cols["value"]) // 2 <= cells <= len(offsets) else None
    block = _core.scatter_wide(*scatter, np.where(column_of >= 0, column_of, -1).astype(np.int32), numeric, total,
                               k.threads, into)[0]
    if into is not None:
        del cols["text_offsets"]  # they hold the numbers now
        values = into.view(np.float64)[:cells].reshape(numeric, total)
    else:
        values = np.frombuffer(block, dtype=np.float64).reshape(numeric, total)
    arrays, block_row = {}, {}
    for label, name in wanted:
        if name in arrays:
            continue
        if label < 0:
            arrays[name] = np.full(total, np.nan)
        elif column_of[label] >= 0:
            block_row[name] = int(column_of[label])
            arrays[name] = values[block_row[name]]
        else:
            arrays[name] = objects_of[-2 - int(column_of[label])]
    return message, subset, arrays, values, block_row


# From this size on, the block of a wide frame goes to pandas as it is, in views, rather
# than copied into pandas' own (whose single block serves later column inserts better).
SHARED_BLOCK_BYTES = 64 << 20


def _frame_of(pd, arrays: dict, block: np.ndarray, block_row: dict):
    """A DataFrame of `arrays` in their order; a large `block` is not copied: the arrays
    that are rows of it (their row in `block_row`) go to pandas as views of it, runs of
    them at once."""
    if block.nbytes < SHARED_BLOCK_BYTES:
        return pd.DataFrame(arrays)
    pieces, loose, run = [], {}, []  # run: names of consecutive block rows
    for name, array in list(arrays.items()) + [(None, None)]:
        row = block_row.get(name)
        if run and (row is None or row != block_row[run[-1]] + 1):
            first = block_row[run[0]]
            pieces.append(pd.DataFrame(block[first:first + len(run)].T, columns=run, copy=False))
            run = []
        if row is not None:
            if loose:
                pieces.append(pd.DataFrame(loose))
                loose = {}
            run.append(name)
        elif name is not None:
            loose[name] = array
    if loose:
        pieces.append(pd.DataFrame(loose))
    if len(pieces) == 1:
        return pieces[0]
    options = {"copy": False} if int(pd.__version__.split(".")[0]) < 3 else {}
    return pd.concat(pieces, axis=1, **options)


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


def _wide(pd, k: Keyed, columns, header_of, header: bool, meanings: bool = False, required=None, integers=False):
    extra_time = [key for key in TIME_KEYS if columns is not None and key not in columns]
    selection = None if columns is None else list(columns) + extra_time
    present = _present(k, required, k.subset_rows()[2], int(k.subsets.sum())) if required else None
    message, subset, arrays, block, block_row = _wide_arrays(k, selection, meanings)
    data = {}
    if "message" in k.cols:
        data["message"] = message
    data["subset"] = subset
    if header:
        per_message = {m: header_of(m) for m in np.unique(message).tolist()}
        for field in ("edition", "centre", "subcentre", "data_category", "master_table_version"):
            data[field] = [per_message[m].get(field) for m in message.tolist()]
    when = _datetime_column(arrays)
    for key in extra_time:
        arrays.pop(key, None)
    if integers:
        # Keys whose tables make whole numbers: nullable ints, out of the block.
        ids = k.label_ids
        for name in [n for n in block_row if n in arrays]:
            label = ids.get(_keys.split_rank(name)[::-1], -1)
            if label >= 0 and k.label_integer[label]:
                converted = _as_integers(pd, arrays[name])
                if converted is not arrays[name]:
                    arrays[name] = converted
                    del block_row[name]
    for field in [f for f in arrays if f in data]:
        # A data key named like a header field ("centre") keeps its name; the header's gets a prefix.
        data[f"header_{field}"] = data.pop(field)
    data.update(arrays)
    if when is not None:
        data["datetime"] = when
    frame = _frame_of(pd, data, block, {name: row for name, row in block_row.items() if name in arrays})
    if present is not None and not present.all():
        frame = frame[present].reset_index(drop=True)
    return frame


def _levels(pd, k: Keyed, columns, meanings: bool = False, integers: bool = False):
    """One row per level: the n-th occurrence of each selected key within a subset goes to
    level n; a key that occurs once in a subset is repeated on every level of it. A subset
    holds as many levels as its most repeated selected key (at least one)."""
    if columns is None:
        raise ValueError('form="levels" needs columns=[...] naming the keys of one level')
    cols = k.cols
    _, subset_of_row, bases = k.subset_rows()
    total_subsets = len(subset_of_row)
    selected = list(dict.fromkeys(_keys.split_rank(c)[1] for c in columns))
    row_selected = k.key_index_of_rows(selected)  # only data rows count
    chosen = np.flatnonzero(row_selected >= 0)
    keys = row_selected[chosen].astype(np.int64)
    group = bases[k.run_of[chosen]] + cols["subset"][chosen].astype(np.int64) - 1
    occurrence_of = k.label_rank[k.label[chosen]].astype(np.int64)
    counts = np.bincount(group * len(selected) + keys, minlength=total_subsets * len(selected)).reshape(
        total_subsets, len(selected))
    levels = np.maximum(counts.max(axis=1) if len(selected) else 0, 1)
    total = int(levels.sum())
    first_row = np.cumsum(levels) - levels
    level = np.arange(total) - np.repeat(first_row, levels)
    out = {}
    if "message" in cols:
        out["message"] = np.repeat(np.repeat(k.numbers, k.subsets), levels)
    out["subset"] = np.repeat(subset_of_row, levels)
    out["level"] = (level + 1).astype(np.uint32)
    for key, j in ((key, j) for j, key in enumerate(selected)):
        mine = keys == j
        rows, g, occ = chosen[mine], group[mine], occurrence_of[mine]
        objects = bool(len(rows)) and k.object_kind(int(k.label[rows[0]]), meanings)
        source = k.objects_of(rows, int(k.label[rows[0]]), meanings) if objects else cols["value"][rows]
        column = np.full(total, None, dtype=object) if objects else np.full(total, np.nan)
        once = counts[g, j] == 1
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
        if integers and not objects and len(rows) and k.label_integer[int(k.label[rows[0]])]:
            column = _as_integers(pd, column)
        out[key] = column
    return pd.DataFrame(out)


def subset_datetimes(k: Keyed) -> np.ndarray | None:
    """Each subset's own date and time (its first year ... second, as the wide form's
    ``datetime``), over ``k.subset_rows()``; None when the data carry no date."""
    _, subset_of, bases = k.subset_rows()
    firsts = {}
    for key in TIME_KEYS:
        label = k.label_ids.get((key, 1), -1)
        if label >= 0 and not k.object_kind(label, False):
            at = np.flatnonzero(k.label == label)
            firsts[key] = np.full(len(subset_of), np.nan)
            firsts[key][bases[k.run_of[at]] + k.cols["subset"][at].astype(np.int64) - 1] = k.cols["value"][at]
    return _datetime_column(firsts)


class ContextRows(NamedTuple):
    """Rows in context of chosen keys (see ``_core.context_rows``): ``group``, the output
    subset (over ``Keyed.subset_rows()``) of each row; ``coordinate_keys``, the chosen keys'
    indices that are coordinates, and ``coordinates``, rows x those keys, the input row of
    each coordinate in force (-1 for none); ``observed``, the input row of each observation
    value, and ``observed_row``, the row holding it; ``ranges``, (end, start) input rows of
    each pair of coordinate values that make a range (two time periods in a row)."""
    group: np.ndarray
    coordinate_keys: np.ndarray
    coordinates: np.ndarray
    observed: np.ndarray
    observed_row: np.ndarray
    ranges: np.ndarray


def context_rows(k: Keyed, selected: list[str]) -> tuple[ContextRows, np.ndarray]:
    """The rows in context of keys `selected` (bare keys) and the chosen key of each input
    row (-1 for none). The grouping is the core's (``_core.context_rows``)."""
    _, subset_of, bases = k.subset_rows()
    chosen = k.key_index_of_rows(selected)
    order = k.walk_order()
    rows = np.flatnonzero(chosen >= 0) if order is None else order[chosen[order] >= 0]
    group = np.zeros(len(chosen), dtype=np.int64)
    group[rows] = bases[k.run_of[rows]] + k.cols["subset"][rows].astype(np.int64) - 1
    kind, row_group, coordinates, observed, observed_row, ranges = _core.context_rows(
        rows.astype(np.int64), chosen, group, np.ascontiguousarray(k.cols["descriptor"], dtype=np.uint32),
        np.ascontiguousarray(k.cols["slot"], dtype=np.uint32), len(selected), len(subset_of))
    coordinate_keys = np.flatnonzero(np.frombuffer(kind, dtype=np.uint8) == 1)
    row_group = np.frombuffer(row_group, dtype=np.int64)
    return ContextRows(row_group, coordinate_keys,
                       np.frombuffer(coordinates, dtype=np.int64).reshape(len(row_group), len(coordinate_keys)),
                       np.frombuffer(observed, dtype=np.int64), np.frombuffer(observed_row, dtype=np.int64),
                       np.frombuffer(ranges, dtype=np.int64).reshape(-1, 2)), chosen


def context_sources(k: Keyed, selected: list[str]) -> tuple[np.ndarray, np.ndarray]:
    """The output subset of each row in context of keys `selected`, and the input row of
    each key's value on it (rows x keys, -1 for none)."""
    rows, chosen = context_rows(k, selected)
    source = np.full((len(rows.group), len(selected)), -1, dtype=np.int64)
    source[:, rows.coordinate_keys] = rows.coordinates
    source[rows.observed_row, chosen[rows.observed]] = rows.observed
    return rows.group, source


def _context(pd, k: Keyed, columns, meanings: bool = False, integers: bool = False, required=None):
    """Rows in context: each row holds one value of every selected observation key and the
    selected coordinates (classes 01 to 08) in force at it, so that nested levels inherit
    the outer keys; the rule is the core's (``_core.context_rows``). Every subset has at
    least one row; with `required`, only the rows that hold a value (present or missing) of
    each of those keys."""
    if columns is None:
        raise ValueError('form="context" needs columns=[...] naming the keys of a row')
    cols = k.cols
    message_of, subset_of, bases = k.subset_rows()
    shown = list(dict.fromkeys(_keys.split_rank(c)[1] for c in columns))
    selected = list(dict.fromkeys(shown + [_keys.split_rank(c)[1] for c in required or []]))
    needed = [selected.index(_keys.split_rank(c)[1]) for c in required or []]
    row_group, source = context_sources(k, selected)
    out = {}
    if "message" in cols:
        out["message"] = message_of[row_group]
    out["subset"] = subset_of[row_group]
    for j, key in enumerate(shown):
        at = source[:, j]
        held = at >= 0
        taken = at[held]
        label = int(k.label[taken[0]]) if len(taken) else -1
        if label >= 0 and k.object_kind(label, meanings):
            column = np.full(len(at), None, dtype=object)
            for target, value in zip(np.flatnonzero(held).tolist(), k.objects_of(taken, label, meanings)):
                column[target] = value  # element by element: a list of meanings stays whole
        else:
            column = np.full(len(at), np.nan)
            column[held] = cols["value"][taken]
            if integers and label >= 0 and k.label_integer[label]:
                column = _as_integers(pd, column)
        out[key] = column
    when = subset_datetimes(k)
    if when is not None:
        out["datetime"] = when[row_group]
    frame = pd.DataFrame(out)
    if needed:
        frame = frame[(source[:, needed] >= 0).all(axis=1)].reset_index(drop=True)
    return frame


def to_pandas(k: Keyed, *, form="wide", columns=None, meanings=False, header=False, header_of=None, required=None,
              integers=False):
    """A DataFrame of keyed columns (see the module docstring for the forms); the wide form
    keeps only the subsets that hold every key of `required` (ranked names), when given;
    with `integers`, keys whose tables make whole numbers (scale 0 or less) whose values
    are all whole are nullable Int64 columns (wide and levels forms)."""
    if required and form not in ("wide", "context"):
        raise ValueError("required columns are an option of the wide form and the context form")
    pd = import_optional("pandas", "pandas")
    if header_of is None:
        header_of = lambda index: {}  # noqa: E731
    if form == "long":
        frame = _long(pd, k, meanings)
        if columns is not None:
            keep = frame["key"].map(lambda key: any(_keys.selects(c, key) for c in columns)).astype(bool)
            frame = frame[keep].reset_index(drop=True)
    elif form == "wide":
        frame = _wide(pd, k, columns, header_of, header, meanings, required, integers)
    elif form == "levels":
        frame = _levels(pd, k, columns, meanings, integers)
    elif form == "context":
        frame = _context(pd, k, columns, meanings, integers, required)
    else:
        raise ValueError(f'form must be "long", "wide", "levels" or "context", not {form!r}')
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
