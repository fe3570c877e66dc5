"""``read_bufr``: one DataFrame over every message of one or many files."""

from __future__ import annotations

import glob
import os
import warnings
from typing import Any, Callable, Iterable, Mapping

import numpy as np

from . import frames as _frames
from .errors import BufrError
from .reader import Message, Reader

__all__ = ["read_bufr", "expand_sources", "message_filter", "row_mask"]

# Header fields a filter may name; any other name filters rows by value.
HEADER_FILTERS = frozenset({
    "edition", "master_table", "centre", "subcentre", "update_sequence_number", "data_category",
    "international_subcategory", "local_subcategory", "master_table_version", "local_table_version",
    "year", "month", "day", "hour", "minute", "second", "number_of_subsets", "observed", "compressed",
    "datetime", "index",
})


def expand_sources(sources) -> list:
    """Paths, globs and buffers as a flat list (a str with glob characters is expanded, sorted)."""
    if isinstance(sources, (str, os.PathLike)) or not isinstance(sources, Iterable) or hasattr(sources, "read") \
            or isinstance(sources, (bytes, bytearray, memoryview)):
        sources = [sources]
    out = []
    for source in sources:
        if isinstance(source, str) and any(c in source for c in "*?["):
            matches = sorted(glob.glob(source))
            if not matches:
                raise FileNotFoundError(f"no file matches {source!r}")
            out.extend(matches)
        else:
            out.append(source)
    return out


def matches(condition, values):
    """Boolean mask (or bool) of `values` under one filter condition.

    A condition is a value (equality), a set/list/tuple/frozenset of values, a
    ``slice(lo, hi)`` or ``range`` (lo <= x < hi; either end may be None for a
    slice), or a callable returning a boolean (mask) for the values.
    """
    if callable(condition):
        return condition(values)
    if isinstance(condition, slice):
        lo, hi = condition.start, condition.stop
        result = True
        if lo is not None:
            result = result & (values >= lo)
        if hi is not None:
            result = result & (values < hi)
        return result
    if isinstance(condition, range):
        if condition.step != 1:
            return np.isin(values, list(condition)) if isinstance(values, np.ndarray) else values in condition
        return (values >= condition.start) & (values < condition.stop)
    if isinstance(condition, (set, frozenset, list, tuple)):
        if isinstance(values, np.ndarray):
            return np.isin(values, list(condition))
        return values in condition
    return values == condition


def message_filter(filters: Mapping[str, Any] | None) -> Callable[[Message], bool] | None:
    """A predicate on messages from the header conditions of `filters` (None when there are none)."""
    header = {k: v for k, v in (filters or {}).items() if k in HEADER_FILTERS}
    if not header:
        return None

    def accept(message: Message) -> bool:
        if message.error is not None:
            return True  # reported as a failure, not silently dropped
        return all(bool(matches(cond, getattr(message, name))) for name, cond in header.items())

    return accept


def row_mask(frame, filters: Mapping[str, Any] | None):
    """The frame's rows whose values meet the non-header conditions of `filters`."""
    rows = {k: v for k, v in (filters or {}).items() if k not in HEADER_FILTERS}
    if not rows:
        return frame
    mask = np.ones(len(frame), dtype=bool)
    for name, condition in rows.items():
        if name not in frame.columns:
            raise KeyError(f"filter on {name!r}, which is not a column of the frame; select it in columns=")
        mask &= np.asarray(matches(condition, frame[name].to_numpy()), dtype=bool)
    return frame[mask].reset_index(drop=True)


def read_bufr(sources, columns=None, filters=None, form: str = "wide", definitions=None, threads: int | None = None,
              *, errors: str = "warn", meanings: bool = False, header: bool = False, rules: str = "wmo"):
    """Read BUFR files into one pandas DataFrame.

    ``sources``: a path, a glob, a buffer, or a list of them. ``columns``: the
    keys to keep (``"airTemperature"``, ``"#2#airTemperature"``); all keys
    when None (wide form). ``filters``: ``{name: condition}``; names of header
    fields (``data_category``, ``centre``, ``datetime``...) select messages
    before they are decoded, other names select rows by value; a condition is
    a value, a set of values, a ``slice``/``range`` (lo <= x < hi) or a
    callable. ``form``: "wide", "long" or "levels" (see :mod:`vantrel.frames`).
    ``threads``: threads decoding messages (default: every usable core). Messages that fail are skipped
    with one warning summarising them, or raise with ``errors="raise"``. ``rules``: "wmo" (WMO
    practice, the default) or "strict" (exactly the rules of ``_vantrel``).

    >>> vantrel.read_bufr("synop.bufr", columns=["stationNumber", "airTemperature"])  # doctest: +SKIP
    """
    if errors not in ("warn", "raise", "ignore"):
        raise ValueError(f'errors must be "warn", "raise" or "ignore", not {errors!r}')
    pd = _frames.import_optional("pandas", "pandas")
    select = message_filter(filters)
    row_columns = list(columns) if columns is not None else None
    if row_columns is not None and form != "long":
        row_columns += [k for k in (filters or {}) if k not in HEADER_FILTERS and k not in row_columns]
    frames = []
    failures: list[tuple[str, BufrError]] = []
    sources = expand_sources(sources)
    for number, source in enumerate(sources):
        with Reader(source, definitions=definitions, rules=rules) as reader:
            frame = reader.to_pandas(form, row_columns, meanings=meanings, header=header, threads=threads,
                                     select=select)
            failures.extend((reader.name, error) for error in reader.errors)
        if len(sources) > 1:
            frame.insert(0, "file", str(source) if isinstance(source, (str, os.PathLike)) else f"<source {number}>")
        frames.append(frame)
    if failures:
        if errors == "raise":
            raise failures[0][1]
        if errors == "warn":
            name, first = failures[0]
            warnings.warn(f"{len(failures)} messages failed and were skipped; first: {name}: {first}", stacklevel=2)
    frame = pd.concat(frames, ignore_index=True) if len(frames) != 1 else frames[0]
    frame = row_mask(frame, filters)
    if columns is not None and form != "long":
        # Keys added only to filter rows go; the frame's own columns and the selection stay.
        selected = {_canonical(n) for n in columns}
        keep = [c for c in frame.columns if c in _FRAME_COLUMNS or c.startswith("header_") or c in selected]
        if len(keep) != len(frame.columns):
            frame = frame[keep]
    return frame


_FRAME_COLUMNS = frozenset({"file", "message", "subset", "level", "datetime", "edition", "centre", "subcentre",
                            "data_category", "master_table_version"})


def _canonical(name: str) -> str:
    from .keys import canonical

    return canonical(name)
