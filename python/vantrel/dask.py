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

from . import _core
from .frames import import_optional
from .read import checked_columns, checked_filters, expand_sources, message_filter, row_mask
from .reader import Reader, _checked_rules, check_map

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
                start = reader._frames[2 * first]
                end = reader._frames[2 * last] + reader._frames[2 * last + 1]
                parts.append((path, first + 1, int(start), int(end)))
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
    check_map(mapped, path, end)
    if form != "long" and "datetime" not in frame.columns:  # every partition has the same columns
        frame["datetime"] = pd.Series(pd.NaT, index=frame.index, dtype="datetime64[us]")
    if "message" in frame.columns:
        frame["message"] = frame["message"] + (first - 1)
    frame.insert(0, "file", pd.Series([path] * len(frame), dtype=object))
    frame = row_mask(frame, filters)
    if columns is not None:
        frame = frame.reindex(columns=list(columns))
    return frame


_FRAME_COLUMNS = {"file", "message", "subset", "level", "datetime", "edition", "centre", "subcentre",
                  "data_category", "master_table_version"}


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
    types) comes from the first partition; column projection and filters are
    pushed into each partition's decode.
    """
    dd = import_optional("dask.dataframe", "dask")
    import dask.dataframe as dd  # noqa: F811 - the submodule, now known to import

    columns = checked_columns(columns)
    filters = checked_filters(filters) or None
    keys = columns
    return dd.from_map(read_partition, partitions(sources, messages_per_partition), keys=keys,
                       filters=filters, form=form, definitions=definitions, header=header, meanings=meanings,
                       rules=_checked_rules(rules), enforce_metadata=False)
