"""Dask DataFrames over BUFR archives: ``vantrel.dask.read_bufr``.

One partition per file, or per run of ``messages_per_partition`` messages of a
file, cut at the message offsets of the scan: a worker maps only its byte range,
never the whole file. Partitions compute the same rows as
:func:`vantrel.read_bufr` over the same files. Needs ``pip install 'vantrel[dask]'``.

Write a Parquet dataset partitioned by date and category in one line::

    frame = vantrel.dask.read_bufr("archive/*.bufr", columns=[...], header=True)
    frame.assign(date=frame["datetime"].dt.date.astype(str)).to_parquet(
        "out/", partition_on=["date", "data_category"])

On a cluster, the workers need the package and the tables: the same
definitions root path on every worker (or ``VANTREL_DEFINITIONS`` set in their
environment); each worker loads a table set once per process.
"""

from __future__ import annotations

import os

import numpy as np

from . import _core
from . import keys as _keys
from .dataframes import import_optional
from .read import checked_columns, checked_filters, expand_sources, message_filter, row_mask
from .archive import Reader, _checked_rules, check_map

__all__ = ["read_bufr", "partitions", "read_partition"]


def partitions(sources, messages_per_partition: int | None = None) -> list[tuple[str, int, int, int]]:
    """(path, first message index, start offset, end offset) of each partition."""
    parts = []
    for source in expand_sources(sources):
        path = os.fspath(source)
        with Reader(path) as reader:
            count = len(reader)
            step = messages_per_partition or max(count, 1)
            for first in range(0, max(count, 1), step):
                if count == 0:
                    parts.append((path, 1, 0, 0))
                    break
                last = min(first + step, count) - 1
                offsets, lengths = reader.index["offset"], reader.index["length"]
                parts.append((path, first + 1, int(offsets[first]), int(offsets[last] + lengths[last])))
    return parts


def read_partition(part, columns=None, keys=None, filters=None, form="wide", definitions=None, header=False,
                   meanings=False, rules="wmo"):
    """The rows of one partition ``(path, first message index, start, end)``.

    ``keys`` are the keys the user selected (None: all). ``columns`` is dask's
    projection of the frame's columns (keys and ``file``, ``message``...): only
    the keys among them are decoded, and exactly those columns are returned.
    """
    path, first, start, end = part
    pd = import_optional("pandas", "pandas")
    if columns is not None:
        projected = set(columns)
        keys = [c for c in (keys if keys is not None else columns) if c in projected and c not in _FRAME_COLUMNS]
    with open(path, "rb") as f:
        mapped = _core.map_file(f.fileno()) if end > start else None
    view = memoryview(mapped)[start:end] if mapped is not None else b""
    with Reader(view, definitions=definitions, rules=rules) as reader:
        # One thread per partition: Dask runs the partitions in parallel.
        frame = reader.to_pandas(form, _with_filter_keys(keys, filters, form), meanings=meanings,
                                 header=header, select=message_filter(filters), threads=1)
        tables = _first_tables(reader)
    check_map(mapped, path, end)
    if form != "long":  # every partition has the same columns, of the same types
        if "datetime" not in frame.columns:
            frame["datetime"] = pd.Series(pd.NaT, index=frame.index, dtype="datetime64[us]")
        if tables is not None:
            frame = _typed_texts(frame, tables, meanings)
    if "message" in frame.columns:
        frame["message"] = frame["message"] + (first - 1)
    frame.insert(0, "file", pd.Series([path] * len(frame), dtype=object))
    frame = row_mask(frame, filters)
    if columns is not None:
        frame = frame.reindex(columns=list(columns))
    return frame


_FRAME_COLUMNS = {"file", "message", "subset", "level", "datetime", "edition", "centre", "subcentre",
                  "data_category", "master_table_version"}


def meta(part, keys, filters=None, form="wide", definitions=None, header=False, meanings=False, rules="wmo"):
    """The empty frame of the columns and types :func:`read_partition` gives for `part`
    and these arguments, when `keys` are named: only the first message of `part` is read
    (those keys of it)."""
    path, first, start, end = part
    with open(path, "rb") as f:
        mapped = _core.map_file(f.fileno()) if end > start else None
    if mapped is not None:
        with Reader(memoryview(mapped)[start:end], definitions=definitions, rules=rules) as reader:
            if len(reader):
                end = start + reader[0].offset + reader[0].length
    return read_partition((path, first, start, end), keys=keys, filters=filters, form=form, definitions=definitions,
                          header=header, meanings=meanings, rules=rules).iloc[:0]


def _first_tables(reader):
    """The tables of the reader's first message, or None."""
    try:
        return reader[0].tables() if len(reader) else None
    except ValueError:
        return None


def _typed_texts(frame, tables, meanings: bool):
    """`frame` with the columns of keys whose values are texts (characters, code table
    meanings) typed as texts, and of flag table meanings as objects, whatever its rows
    hold (a key missing from every row is a column of NaN otherwise)."""
    pd = import_optional("pandas", "pandas")
    texts = pd.Series(np.array([""], dtype=object)).iloc[:0].dtype  # what pandas makes of a column of texts
    for name in frame.columns:
        if name in _FRAME_COLUMNS:
            continue
        kinds = {_core.value_kind(tables, code) for code in _keys.codes_of([_keys.split_rank(name)[1]], tables)}
        if "text" in kinds or (meanings and "code" in kinds):
            dtype = texts
        elif meanings and "flag" in kinds:
            dtype = object
        else:
            continue
        column = frame[name]
        if column.dtype.kind == "f":  # every row missing
            column = pd.Series(np.full(len(frame), None, dtype=object), index=frame.index)
        if column.dtype != dtype:
            frame[name] = column.astype(dtype)
    return frame


def _with_filter_keys(columns, filters, form):
    from .read import HEADER_FILTERS

    if columns is None or form == "long":
        return columns
    return list(columns) + [k for k in (filters or {}) if k not in HEADER_FILTERS and k not in columns]


def read_bufr(sources, columns=None, filters=None, form: str = "wide", definitions=None,
              messages_per_partition: int | None = None, *, header: bool = False, meanings: bool = False,
              rules: str = "wmo"):
    """A lazy ``dask.dataframe.DataFrame`` over BUFR files (see :func:`vantrel.read_bufr`).

    ``sources``: paths, globs or lists of them. One partition per file, or per
    ``messages_per_partition`` messages of a file. The meta (column names and
    types) comes from the first message and the tables when ``columns`` are
    named (making the frame decodes nothing more), else from the first
    partition; column projection and filters are pushed into each partition's
    decode.
    """
    dd = import_optional("dask.dataframe", "dask")

    columns = checked_columns(columns)
    filters = checked_filters(filters) or None
    parts = partitions(sources, messages_per_partition)
    arguments = dict(keys=columns, filters=filters, form=form, definitions=definitions, header=header,
                     meanings=meanings, rules=_checked_rules(rules))
    # With keys named, the meta comes from the first message: building the frame decodes
    # nothing else. Without, the keys are those of the data: dask reads the first partition.
    known = meta(parts[0], **arguments) if parts and columns is not None else None
    return dd.from_map(read_partition, parts, meta=known, enforce_metadata=False, **arguments)
