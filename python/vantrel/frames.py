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

import datetime as _dt
from typing import Callable, Iterable, Mapping, Sequence

import numpy as np

from . import keys as _keys

__all__ = [
    "MISSING", "CHARACTER", "OPERATOR", "ASSOCIATED", "HAS_MEANING",
    "message_columns", "concat_columns", "to_pandas", "to_arrow", "import_optional",
]

MISSING = 1       # the value is missing (NaN in ``value``, None in ``text``)
CHARACTER = 2     # a character value: see ``text``
OPERATOR = 4      # an operator record or a 2 05 YYY text
ASSOCIATED = 8    # an associated field (descriptor 999999)
HAS_MEANING = 16  # the code table of the element has an entry for ``raw``

COLUMN_NAMES = ("subset", "descriptor", "value", "flags", "slot", "text")


def import_optional(name: str, extra: str):
    """Import an optional dependency, or raise ImportError naming the extra that installs it."""
    try:
        return __import__(name)
    except ImportError:
        raise ImportError(
            f"{name} is needed for this; install it with: pip install 'vantrel[{extra}]'"
        ) from None


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


def concat_columns(parts: Sequence[tuple[int, dict]], raw: bool = False) -> dict[str, np.ndarray]:
    """Columns of several messages (in Arrow text layout, see :func:`native_columns`) one
    after the other, with a ``message`` column (1-based index) and the object column ``text``."""
    names = [n for n in COLUMN_NAMES if n != "text"] + (["raw"] if raw else [])
    lengths = [len(cols["subset"]) for _, cols in parts]
    out = {"message": np.repeat(np.array([index for index, _ in parts], dtype=np.uint32), lengths)}
    for name in names:
        out[name] = np.concatenate([cols[name] for _, cols in parts]) if parts else np.zeros(0, _DTYPES[name])
    # Texts: shift each message's offsets past the bytes of the messages before it.
    bases = np.cumsum([0] + [len(cols["text_bytes"]) for _, cols in parts])
    offsets = np.concatenate([[0]] + [cols["text_offsets"][1:] + base for (_, cols), base in zip(parts, bases)])
    out["text_offsets"] = offsets.astype(np.int64, copy=False)
    out["text_bytes"] = np.frombuffer(b"".join(cols["text_bytes"].tobytes() for _, cols in parts), dtype=np.uint8)
    return out


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


# ---- keys over columns ----------------------------------------------------------------------

def _walk_order(cols) -> np.ndarray:
    """Row order that puts each message's subsets in walk order."""
    message = cols.get("message")
    keys = (cols["slot"], cols["subset"]) if message is None else (cols["slot"], cols["subset"], message)
    return np.lexsort(keys)


def key_codes(descriptors: np.ndarray, tables_of: Callable[[int], object], messages: np.ndarray | None):
    """(key ids per row, list of key names): each descriptor's key from the tables of its message."""
    names: list[str] = []
    index: dict[str, int] = {}
    ids = np.empty(len(descriptors), dtype=np.int64)
    if messages is None:
        messages = np.zeros(len(descriptors), dtype=np.uint32)
    pairs = np.stack([messages.astype(np.uint64), descriptors.astype(np.uint64)], axis=1) if len(descriptors) else \
        np.zeros((0, 2), dtype=np.uint64)
    unique, inverse = np.unique(pairs, axis=0, return_inverse=True)
    inverse = inverse.reshape(-1)
    mapped = np.empty(len(unique), dtype=np.int64)
    for j, (message, code) in enumerate(unique):
        name = _keys.key_of(int(code), tables_of(int(message)))
        if name not in index:
            index[name] = len(names)
            names.append(name)
        mapped[j] = index[name]
    ids[:] = mapped[inverse] if len(descriptors) else ids
    return ids, names


def ranks(order: np.ndarray, group: np.ndarray, key_ids: np.ndarray) -> np.ndarray:
    """1-based occurrence of each row's key within its group (message and subset), in walk order."""
    n = len(order)
    rank = np.zeros(n, dtype=np.int64)
    if n == 0:
        return rank
    g = group[order]
    k = key_ids[order]
    # Stable sort by (group, key) keeps walk order inside each run.
    by = np.lexsort((np.arange(n), k, g))
    gs, ks = g[by], k[by]
    start = np.ones(n, dtype=bool)
    start[1:] = (gs[1:] != gs[:-1]) | (ks[1:] != ks[:-1])
    run_start = np.maximum.accumulate(np.where(start, np.arange(n), 0))
    r = np.arange(n) - run_start + 1
    out = np.empty(n, dtype=np.int64)
    out[by] = r
    rank[order] = out
    return rank


def _group_ids(cols) -> np.ndarray:
    message = cols.get("message")
    subset = cols["subset"].astype(np.int64)
    if message is None:
        return subset
    return message.astype(np.int64) * 65536 + subset


# ---- frames ---------------------------------------------------------------------------------

def _select(names: Iterable[str] | None):
    return None if names is None else [(_keys.split_rank(n), n) for n in names]


def _long(pd, cols, tables_of, meanings: bool, header_of):
    order = _walk_order(cols)
    messages = cols.get("message")
    ids, names = key_codes(cols["descriptor"], tables_of, messages)
    rank = ranks(order, _group_ids(cols), ids)
    key_names = np.array(names, dtype=object)[ids] if len(ids) else np.zeros(0, dtype=object)
    ranked = np.array([k if r == 1 else f"#{r}#{k}" for k, r in zip(key_names, rank)], dtype=object)
    data = {}
    if messages is not None:
        data["message"] = messages[order]
    data.update(
        subset=cols["subset"][order], key=ranked[order], descriptor=cols["descriptor"][order],
        value=cols["value"][order], text=text_values(cols, order),
    )
    msg = messages if messages is not None else np.zeros(len(ids), dtype=np.uint32)
    units = {}
    unit = np.empty(len(order), dtype=object)
    for i, row in enumerate(order):
        key = (int(msg[row]), int(cols["descriptor"][row]))
        if key not in units:
            units[key] = _keys.unit_of(key[1], tables_of(key[0]))
        unit[i] = units[key]
    data["unit"] = unit
    if meanings:
        raw = cols.get("raw")
        meaning = np.empty(len(order), dtype=object)
        for i, row in enumerate(order):
            if raw is None:
                break
            meaning[i] = _keys.meaning_of(int(cols["descriptor"][row]), int(raw[row]), tables_of(int(msg[row])),
                                          bool(cols["flags"][row] & MISSING))
        data["meaning"] = meaning
    return pd.DataFrame(data)


_TIME_KEYS = ("year", "month", "day", "hour", "minute", "second")


def _wide_arrays(cols, tables_of, columns, meanings: bool):
    """(group ids of the rows, {name: array}) for the wide form."""
    order = _walk_order(cols)
    ids, names = key_codes(cols["descriptor"], tables_of, cols.get("message"))
    group = _group_ids(cols)
    rank = ranks(order, group, ids)
    groups, row_of = np.unique(group, return_inverse=True)
    row_of = row_of.reshape(-1)
    name_index = {name: i for i, name in enumerate(names)}
    data_rows = (cols["flags"] & (OPERATOR | ASSOCIATED)) == 0
    if columns is None:
        # Every key, in the walk order of its first appearance.
        seen = {}
        sel = data_rows[order]
        for key_id, r in zip(ids[order][sel], rank[order][sel]):
            seen.setdefault((int(key_id), int(r)), None)
        wanted = [((r, names[k]), names[k] if r == 1 else f"#{r}#{names[k]}") for k, r in seen]
    else:
        wanted = list(_select(columns))
    out = {}
    n = len(groups)
    for (r, key), label in wanted:
        label = _keys.canonical(label)
        key_id = name_index.get(key)
        if key_id is None:
            out[label] = np.full(n, np.nan)
            continue
        hit = (ids == key_id) & (rank == r) & data_rows
        rows = np.nonzero(hit)[0]
        character = bool(len(rows)) and bool(np.all(cols["flags"][rows] & CHARACTER))
        if character:
            column = np.full(n, None, dtype=object)
            column[row_of[rows]] = text_values(cols, rows)
        else:
            column = np.full(n, np.nan)
            column[row_of[rows]] = cols["value"][rows]
        out[label] = column
    return groups, out


def _datetime_column(pd, arrays):
    parts = {key: arrays.get(key) for key in _TIME_KEYS}
    for key in ("year", "month", "day"):
        if parts[key] is None or not np.any(np.isfinite(np.asarray(parts[key], dtype=float))):
            return None  # the data carry no date of their own
    # Absent or missing hours, minutes and seconds count as 0; a missing date gives NaT.
    frame = pd.DataFrame({
        key: value if key in ("year", "month", "day") else np.nan_to_num(np.asarray(value, dtype=float))
        for key, value in parts.items() if value is not None
    })
    return pd.to_datetime(frame, errors="coerce")


def _wide(pd, cols, tables_of, columns, header_of, header: bool):
    extra_time = [k for k in _TIME_KEYS if columns is not None and k not in columns]
    selection = None if columns is None else list(columns) + extra_time
    groups, arrays = _wide_arrays(cols, tables_of, selection, False)
    data = {}
    if "message" in cols:
        data["message"] = (groups // 65536).astype(np.uint32)
    data["subset"] = (groups % 65536).astype(np.uint32)
    if header:
        for field in ("edition", "centre", "subcentre", "data_category", "master_table_version"):
            data[field] = [header_of(int(m)).get(field) for m in data.get("message", np.zeros(len(groups), int))]
    when = _datetime_column(pd, arrays)
    for key in extra_time:
        arrays.pop(key, None)
    data.update(arrays)
    frame = pd.DataFrame(data)
    if when is not None:
        frame["datetime"] = when.values
    return frame


def _levels(pd, cols, tables_of, columns):
    if columns is None:
        raise ValueError('form="levels" needs columns=[...] naming the keys of one level')
    order = _walk_order(cols)
    ids, names = key_codes(cols["descriptor"], tables_of, cols.get("message"))
    group = _group_ids(cols)
    rank = ranks(order, group, ids)
    data_rows = (cols["flags"] & (OPERATOR | ASSOCIATED)) == 0
    name_index = {name: i for i, name in enumerate(names)}
    groups = np.unique(group)
    selected = [_keys.split_rank(c)[1] for c in columns]
    # Occurrences of each selected key per subset.
    counts = {}
    for key in selected:
        key_id = name_index.get(key)
        hit = (ids == key_id) & data_rows if key_id is not None else np.zeros(len(ids), dtype=bool)
        counts[key] = (hit, np.bincount(np.searchsorted(groups, group[hit]), minlength=len(groups)))
    levels = np.max([c for _, c in counts.values()], axis=0) if counts else np.zeros(len(groups), int)
    levels = np.maximum(levels, 1)
    total = int(levels.sum())
    first_row = np.concatenate([[0], np.cumsum(levels)[:-1]]).astype(np.int64)
    level = np.arange(total) - np.repeat(first_row, levels)
    out = {}
    if "message" in cols:
        out["message"] = np.repeat((groups // 65536).astype(np.uint32), levels)
    out["subset"] = np.repeat((groups % 65536).astype(np.uint32), levels)
    out["level"] = (level + 1).astype(np.uint32)
    for key in selected:
        hit, count = counts[key]
        rows = np.nonzero(hit)[0]
        g = np.searchsorted(groups, group[rows])
        character = bool(len(rows)) and bool(np.all(cols["flags"][rows] & CHARACTER))
        source = text_values(cols, rows) if character else cols["value"][rows]
        column = np.full(total, None, dtype=object) if character else np.full(total, np.nan)
        scalar = count[g] == 1
        # Keys that occur once in a subset are repeated on all its levels.
        for j in np.nonzero(scalar)[0]:
            gi = g[j]
            column[first_row[gi]: first_row[gi] + levels[gi]] = source[j]
        multi = ~scalar
        if np.any(multi):
            target = first_row[g[multi]] + rank[rows[multi]] - 1
            column[target] = source[multi]
        out[key] = column
    return pd.DataFrame(out)


def to_pandas(cols, tables_of, *, form="wide", columns=None, meanings=False, header=False, header_of=None):
    """A DataFrame of columns (see the module docstring for the forms)."""
    pd = import_optional("pandas", "pandas")
    if header_of is None:
        header_of = lambda index: {}  # noqa: E731
    if form == "long":
        frame = _long(pd, cols, tables_of, meanings, header_of)
        if columns is not None:
            frame = frame[frame["key"].isin({_keys.canonical(c) for c in columns})].reset_index(drop=True)
    elif form == "wide":
        frame = _wide(pd, cols, tables_of, columns, header_of, header)
    elif form == "levels":
        frame = _levels(pd, cols, tables_of, columns)
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
