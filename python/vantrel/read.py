"""``read_bufr``: one DataFrame over every message of one or many files."""

from __future__ import annotations

import glob
import os
import warnings
from typing import Any, Iterable, Mapping

import numpy as np

from . import _core
from . import dataframes as _dataframes
from . import domains as _domains
from .keys import canonical, codes_of, element_keys_of, selects, split_rank, wigos_identifier
from .errors import BufrError, BufrWarning, FailedMessagesWarning
from .archive import Message, Reader

__all__ = ["read_bufr", "expand_sources", "message_filter", "row_mask"]

# Header fields a filter may name; any other name filters rows by value.
HEADER_FILTERS = frozenset({
    "edition", "master_table", "centre", "subcentre", "update_sequence_number", "data_category",
    "international_subcategory", "local_subcategory", "master_table_version", "local_table_version",
    "year", "month", "day", "hour", "minute", "second", "number_of_subsets", "observed", "compressed",
    "datetime", "index", "typicalDate", "typicalTime",
})

# ecCodes' typical date and time, texts made of header fields: "20150126", "100000".
TYPICAL_TEXTS = {"typicalDate": (("year", 4), ("month", 2), ("day", 2)),
                 "typicalTime": (("hour", 2), ("minute", 2), ("second", 2))}
# ecCodes' descriptor lists of a message, as header columns of lists.
DESCRIPTOR_KEYS = frozenset({"unexpandedDescriptors", "expandedDescriptors"})


def typical_texts(index: dict, name: str, rows: np.ndarray) -> np.ndarray:
    """ecCodes' typicalDate (YYYYMMDD) or typicalTime (hhmmss) of the 0-based `rows` of an
    index, as texts (an absent second reads 00); None where the header is bad."""
    parts = [np.maximum(index[field][rows], 0).astype(np.int64) for field, _ in TYPICAL_TEXTS[name]]
    out = np.empty(len(rows), dtype=object)
    out[:] = ["".join(f"{v:0{w}d}" for v, (_, w) in zip(row, TYPICAL_TEXTS[name])) for row in zip(*map(list, parts))]
    out[index["ok"][rows] == 0] = None
    return out


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


def message_filter(filters: Mapping[str, Any] | None) -> "HeaderFilter | None":
    """A predicate on messages from the header conditions of `filters` (None when there are none)."""
    header = {k: v for k, v in (filters or {}).items() if k in HEADER_FILTERS}
    return HeaderFilter(header) if header else None


class HeaderFilter:
    """Header conditions, as a predicate on one message and as a mask over a reader's index.
    A message whose header is bad passes: it is reported as a failure, not silently dropped."""

    def __init__(self, conditions: Mapping[str, Any]):
        self.conditions = dict(conditions)

    def __call__(self, message: Message) -> bool:
        if message.error is not None:
            return True
        def value(name):
            if name in TYPICAL_TEXTS:
                return "".join(f"{(getattr(message, f) or 0):0{w}d}" for f, w in TYPICAL_TEXTS[name])
            return getattr(message, name)

        return all(bool(matches(cond, value(name))) for name, cond in self.conditions.items())

    def mask(self, reader) -> np.ndarray:
        """The messages of `reader` that meet every condition, from its index (no header is read again)."""
        columns = reader.index
        mask = np.ones(len(reader), dtype=bool)
        for name, condition in self.conditions.items():
            values = _header_values(columns, name)
            if callable(condition):  # written for one message's value: asked message by message
                scalars = [_scalar(v) for v in values.tolist()] if values.dtype.kind != "M" else \
                    [None if np.isnat(v) else v.astype("datetime64[us]").item() for v in values]
                mask &= np.fromiter((bool(condition(v)) for v in scalars), dtype=bool, count=len(scalars))
            else:
                mask &= np.asarray(matches(condition, values), dtype=bool)
        return mask | (columns["ok"] == 0)


def _scalar(value):
    """A header value as a message attribute gives it: -1 (absent from the edition) is None."""
    return None if value == -1 else value


def _header_values(columns: dict, name: str) -> np.ndarray:
    """The index column of header filter `name` (``index`` and ``datetime`` derived)."""
    if name == "index":
        return np.arange(1, len(columns["offset"]) + 1)
    if name == "datetime":
        return _typical_datetimes(columns)
    if name in TYPICAL_TEXTS:
        return typical_texts(columns, name, np.arange(len(columns["ok"])))
    values = columns[name]
    return values.astype(bool) if name in ("observed", "compressed") else values


def _typical_datetimes(columns: dict) -> np.ndarray:
    """The typical time of each message, NaT where it is not a valid date and time (as
    ``Message.datetime`` is None there; an absent second counts 0)."""
    if len(columns["ok"]) == 0:
        return np.zeros(0, dtype="datetime64[us]")
    parts = {key: columns[key].astype(np.float64) for key in ("year", "month", "day", "hour", "minute")}
    parts["second"] = np.maximum(columns["second"], 0).astype(np.float64)
    when = _dataframes._datetime_column(parts)
    when[(columns["ok"] == 0) | (parts["hour"] >= 24) | (parts["minute"] >= 60) | (parts["second"] >= 60)] = \
        np.datetime64("NaT")
    return when


def row_mask(frame, filters: Mapping[str, Any] | None, form: str = "wide"):
    """The frame's rows whose values meet the non-header conditions of `filters`; in the long
    form, every row of the subsets whose row of that key meets it."""
    rows = {k: v for k, v in (filters or {}).items() if k not in HEADER_FILTERS}
    if not rows:
        return frame
    if form == "long":
        return _long_mask(frame, rows)
    mask = np.ones(len(frame), dtype=bool)
    for name, condition in rows.items():
        if name.startswith("~"):  # any rank of the key meets it
            met = np.zeros(len(frame), dtype=bool)
            for column in [c for c in frame.columns if selects(name, c)]:
                met |= np.asarray(matches(condition, frame[column].to_numpy()), dtype=bool)
            mask &= met
            continue
        if name not in frame.columns:
            raise KeyError(f"filter on {name!r}, which is not a column of the frame; select it in columns=")
        mask &= np.asarray(matches(condition, frame[name].to_numpy()), dtype=bool)
    return frame[mask].reset_index(drop=True)


def _long_mask(frame, rows):
    """Long frame rows of the subsets that meet every key condition of `rows`."""
    import pandas as pd

    ids = pd.MultiIndex.from_frame(frame[[c for c in ("file", "message", "subset") if c in frame.columns]])
    keep = None
    for name, condition in rows.items():
        of_key = frame["key"].map(lambda key, name=name: selects(name, key)).to_numpy(dtype=bool) \
            if name.startswith("~") else (frame["key"] == canonical(name)).to_numpy()
        values = frame["value"].to_numpy()[of_key]
        if "text" in frame.columns:  # a text key compares its texts
            texts = frame["text"].to_numpy()[of_key]
            values = np.where(pd.notna(texts), texts, values)
        met = np.asarray(matches(condition, values), dtype=bool) if len(values) else np.zeros(0, dtype=bool)
        meeting = set(ids[of_key][met])
        keep = meeting if keep is None else keep & meeting
    return frame[ids.isin(list(keep))].reset_index(drop=True)


def read_bufr(sources, columns=None, filters=None, form: str = "wide", definitions=None, threads: int | None = None,
              *, errors: str = "warn", meanings: bool = False, header: bool = False, rules: str = "wmo",
              tables=None, required_columns=None, integers: bool = False, reader: str | None = None):
    """Read BUFR files into one pandas DataFrame.

    ``sources``: a path, a glob, a buffer, a :class:`Message`, or a list of them. ``columns``: the
    keys to keep (a key or a list of them: ``"airTemperature"``,
    ``"#2#airTemperature"``, or ``"~airTemperature"`` for every rank of the
    key the data hold, ranked), each returned under the name asked for; all keys
    when None (wide form). Header fields named among them by ecCodes' names
    (``bufrHeaderCentre``, ``dataCategory``, ``numberOfSubsets``,
    ``typicalYear``...) or the package's (``data_category``...) are columns of
    every row, after ``message`` and ``subset``, with the values ecCodes gives;
    so are ECMWF's local section 2 keys of messages from centre 98
    (``rdbType``, ``rdbSubtype``, ``ident``, ``localLatitude``,
    ``rdbtimeTime``, ``satelliteID``...).
    Computed keys (pdbufr's names, wide, levels and context forms) may be named too:
    ``WMO_station_id`` (block x 1000 + station, nullable ints),
    ``WIGOS_station_id`` ("0-20000-0-12345"), ``data_datetime`` (the data's
    own time), ``typical_datetime`` (the header's), ``geometry`` ([longitude,
    latitude, height] of the station) and ``CRS`` ("EPSG:4326"); they filter rows as
    well. ``required_columns`` (wide and context forms): keys a subset must hold to have a
    row, a missing value counting as held (True: every key of ``columns``; in the
    context form, a row must hold a value of each); by default every subset has a row, as the wide form always had. ``integers``:
    keys whose tables make whole numbers (scale 0 or less: station numbers,
    years, code table values) as nullable ``Int64`` columns when all their
    values are whole, instead of float64 (wide, levels and context forms). ``filters``: ``{name: condition}``; names of header
    fields (``data_category``, ``centre``, ``datetime``..., or their ecCodes
    names ``dataCategory``, ``bufrHeaderCentre``...) select messages before
    they are decoded, other names select subsets by the value of that key (in
    every form; ``"~key"``: any rank of it); a condition is a value, a set of values, a ``slice``/``range``
    (lo <= x < hi) or a callable. ``form``: "wide", "long", "levels" or "context"
    (rows in context: nested levels inheriting the outer keys; see :mod:`vantrel.dataframes`). ``threads``: threads decoding messages (default:
    every usable core). ``rules``: "wmo" (WMO practice, the default) or
    "strict" (exactly the rules of ``_vantrel``). ``tables``: one table set for
    every message, as for :func:`vantrel.open`. ``reader``: "synop", "temp" or
    "tropical_cyclone" for observations of that kind as named parameters in one long
    layout (see :mod:`vantrel.domains`); ``columns`` then names parameters (``t2m``,
    ``precipitation``...) and ``filters`` may name the layout's columns (``station``,
    ``parameter``, ``level``...) besides header keys.

    A name that no table of the files knows raises a ``KeyError`` naming the
    closest known keys; a key the tables know that no message holds is a
    column of missing values. The wide form always has the columns asked for
    and ``datetime`` (NaT where the data give no date). Messages that fail are
    skipped with one warning summarising them, or raise with ``errors="raise"``;
    what the readers accepted (junk between messages, a truncated last
    message, a table version taken for a missing one...) is warned about once
    per file and kind.

    >>> vantrel.read_bufr("synop.bufr", columns=["stationNumber", "airTemperature"])  # doctest: +SKIP
    """
    if errors not in ("warn", "raise", "ignore"):
        raise ValueError(f'errors must be "warn", "raise" or "ignore", not {errors!r}')
    query = _query(columns, filters, form, meanings, header, threads, required_columns, integers, reader)
    frames = []
    failures: list[tuple[str, BufrError]] = []
    accepted: list[str] = []
    table_sets: dict[int, object] = {}
    sources = expand_sources(sources)
    for number, source in enumerate(sources):
        with _reader(source, definitions, rules, tables) as reader:
            frame = query.frame(reader, query.select)
            failures.extend((reader.name, error) for error in reader.errors)
            accepted += reader_warnings(reader)
            table_sets.update((id(t), t) for t in reader.table_sets())
        if len(sources) > 1:
            frame.insert(0, "file", _source_name(source, number))
        frames.append(frame)
    _warn_failures(failures, errors)
    for text in accepted:
        warnings.warn(text, BufrWarning, stacklevel=2)
    frame = query.pd.concat(frames, ignore_index=True) if len(frames) != 1 else frames[0]
    return query.finish(frame, table_sets.values())


def stream_bufr(sources, columns=None, filters=None, form: str = "wide", definitions=None,
                threads: int | None = None, *, batch: int = 1000, errors: str = "warn", meanings: bool = False,
                header: bool = False, rules: str = "wmo", tables=None, required_columns=None, integers: bool = False,
                reader: str | None = None):
    """The rows of :func:`read_bufr` one at a time, as dicts (pdbufr's ``stream_bufr``): each
    source is decoded ``batch`` messages at a time, so that memory holds one batch, not the
    whole archive. The rows, their order and their ``message`` numbers are those of
    ``read_bufr`` with the same arguments (a ``file`` key too for several sources); what
    the readers accepted and the messages that failed are warned about once per source,
    after its last row."""
    if errors not in ("warn", "raise", "ignore"):
        raise ValueError(f'errors must be "warn", "raise" or "ignore", not {errors!r}')
    if not isinstance(batch, int) or isinstance(batch, bool) or batch < 1:
        raise ValueError(f"batch must be a positive int, not {batch!r}")
    query = _query(columns, filters, form, meanings, header, threads, required_columns, integers, reader)
    sources = expand_sources(sources)
    for number, source in enumerate(sources):
        failures: list[tuple[str, BufrError]] = []
        with _reader(source, definitions, rules, tables) as reader:
            wanted = query.select.mask(reader) if query.select is not None else np.ones(len(reader), dtype=bool)
            chosen = np.flatnonzero(wanted) + 1  # 1-based, ascending
            for start in range(0, len(reader), batch):
                first, stop = np.searchsorted(chosen, [start + 1, start + batch + 1])
                if first == stop:
                    continue
                frame = query.frame(reader, _Messages(chosen[first:stop]))
                failures.extend((reader.name, error) for error in reader.errors)
                if failures and errors == "raise":
                    raise failures[0][1]
                frame = query.finish(frame, reader.table_sets())
                if len(sources) > 1:
                    frame.insert(0, "file", _source_name(source, number))
                yield from frame.to_dict("records")
            accepted = reader_warnings(reader)
        _warn_failures(failures, errors)
        for text in accepted:
            warnings.warn(text, BufrWarning, stacklevel=2)


def _reader(source, definitions, rules, tables) -> Reader:
    """The reader of one source: a path, a buffer, a file object, or a Message (its bytes)."""
    if isinstance(source, Message):
        source = source.bytes
    return Reader(source, definitions=definitions, rules=rules, **({"tables": tables} if tables is not None else {}))


def _source_name(source, number: int) -> str:
    if isinstance(source, Message):
        return f"{source._reader.name}#{source.index}"
    return str(source) if isinstance(source, (str, os.PathLike)) else f"<source {number}>"


def _warn_failures(failures, errors: str) -> None:
    if failures:
        if errors == "raise":
            raise failures[0][1]
        if errors == "warn":
            name, first = failures[0]
            warnings.warn(f"{len(failures)} messages failed and were skipped; first: {name}: {first}",
                          FailedMessagesWarning, stacklevel=3)


class _Messages:
    """Some messages of a reader, by their 1-based indices (a selection's interface)."""

    def __init__(self, indices: np.ndarray):
        self._indices = indices

    def indices(self, reader) -> np.ndarray:
        return self._indices


def _query(columns, filters, form, meanings, header, threads, required_columns, integers, reader):
    """The question of a read_bufr call: of keys (:class:`_Query`) or of a domain reader's
    parameters (:class:`_DomainQuery`)."""
    if reader is None:
        return _Query(columns, filters, form, meanings, header, threads, required_columns, integers)
    others = {"form": form != "wide", "meanings": meanings, "header": header,
              "required_columns": required_columns not in (None, False), "integers": integers}
    if any(others.values()):
        raise ValueError(f"reader={reader!r} has its own layout: {', '.join(k for k, v in others.items() if v)} "
                         "do not apply")
    return _DomainQuery(reader, columns, filters, threads)


class _DomainQuery:
    """The question of a read_bufr call with a domain reader: its parameters, the messages
    the header filters keep and the rows the other filters keep."""

    def __init__(self, reader: str, columns, filters, threads):
        self.domain = _domains.domain(reader)
        self.names = _domains.parameters_of(self.domain, columns)
        self.filters = checked_filters(filters)
        self.select = message_filter(self.filters)
        self.threads = threads
        self.pd = _dataframes.import_optional("pandas", "pandas")

    def frame(self, reader, select):
        return _domains.read(reader, self.domain, self.names, select, self.threads, self.pd)

    def finish(self, frame, table_sets):
        rows = {k: v for k, v in self.filters.items() if k not in HEADER_FILTERS}
        _domains.check_filters(rows, list(frame.columns))
        return row_mask(frame, rows)


class _Query:
    """The question of one read_bufr call, asked of reader after reader: the keys to decode,
    the columns to add and keep, the rows to filter."""

    def __init__(self, columns, filters, form, meanings, header, threads, required_columns, integers):
        self.columns = columns = checked_columns(columns)
        self.filters = filters = checked_filters(filters)
        self.form, self.meanings, self.header, self.threads, self.integers = form, meanings, header, threads, integers
        self.pd = _dataframes.import_optional("pandas", "pandas")
        self.select = message_filter(filters)
        self.key_filters = key_filters = [k for k in filters if k not in HEADER_FILTERS]
        # Header fields asked for by name (ecCodes' or the package's) come from the index; computed
        # keys from the keys they are made of.
        self.header_columns = [c for c in columns if c in HEADER_COLUMNS or c in ECMWF_LOCAL_KEYS
                               or c in DESCRIPTOR_KEYS] if columns is not None else []
        self.computed = list(dict.fromkeys(c for c in (columns or []) + key_filters if c in COMPUTED_KEYS))
        if self.computed and form == "long":
            raise ValueError(f"computed keys ({', '.join(self.computed)}) are columns of the wide and levels forms")
        self.data_columns = data_columns = None if columns is None else [
            c for c in columns if c not in self.header_columns and c not in COMPUTED_KEYS]
        row_columns = None if columns is None else data_columns + [
            k for k in key_filters + [s for c in self.computed for s in COMPUTED_KEYS[c]]
            if k not in data_columns and k not in COMPUTED_KEYS]
        self.row_columns = None if row_columns is None else list(dict.fromkeys(row_columns))
        self.required = required_keys(required_columns, columns, form)

    def frame(self, reader, select):
        """The frame of the messages of `reader` that `select` keeps, with the header, local and
        computed columns asked for (before :meth:`finish`)."""
        pd = self.pd
        frame = reader.to_pandas(self.form, self.row_columns, meanings=self.meanings, header=self.header,
                                 threads=self.threads, select=select, required=self.required,
                                 integers=self.integers)
        for name in self.header_columns:
            messages = frame["message"].to_numpy()
            if name in ECMWF_LOCAL_KEYS:
                frame[name] = local_key_column(reader, name, messages, pd)
            elif name in DESCRIPTOR_KEYS:
                frame[name] = descriptor_column(reader, name, messages)
            else:
                frame[name] = header_column(reader.index, name, messages, pd)
        for name in self.computed:
            at = frame.columns.get_loc("datetime") if "datetime" in frame.columns else len(frame.columns)
            frame.insert(at, name, computed_column(name, frame, reader.index, pd))
        return frame

    def finish(self, frame, table_sets):
        """`frame` (of one reader or several) with the names checked against `table_sets`, the
        rows filtered and the columns asked for, in their order, under the names asked."""
        pd, columns, form = self.pd, self.columns, self.form
        data_columns, computed, header_columns = self.data_columns, self.computed, self.header_columns
        check_names((data_columns or []) + [k for k in self.key_filters if k not in COMPUTED_KEYS]
                    + (self.required or []), table_sets)
        frame = row_mask(frame, self.filters, form)
        dropped = [c for c in computed if c not in (columns or [])]  # computed only to filter rows
        if dropped:
            frame = frame.drop(columns=dropped)
        if columns is not None and form == "long":
            if data_columns:
                keys = frame["key"].isin({canonical(n) for n in data_columns})
                for name in [n for n in data_columns if n.startswith("~")]:
                    keys |= frame["key"].map(lambda key, name=name: selects(name, key)).astype(bool)
                if not keys.all():
                    frame = frame[keys].reset_index(drop=True)
        elif columns is not None:
            # Keys added only to filter rows go; the frame's own columns and the selection stay,
            # each under the name asked for, and present even where no message holds the key.
            names = {canonical(n): n for n in data_columns if not n.startswith("~")}
            for name in [n for n in data_columns if n.startswith("~")]:  # every rank of the key the data hold
                names.update((c, c) for c in frame.columns if selects(name, c) and c not in names)
            for key in names:
                if key not in frame.columns:
                    frame[key] = np.nan
            keep = [c for c in frame.columns if (c in _FRAME_COLUMNS or c.startswith("header_") or c in names
                                                 or c in computed) and c not in header_columns]
            # The keys asked for, computed ones among them, stand in the order they were asked in.
            asked = [c for c in dict.fromkeys(
                x for n in columns for x in ([c for c in keep if selects(n, c)] if n.startswith("~") else
                                             [canonical(n) if n not in COMPUTED_KEYS else n])) if c in keep and c not in _FRAME_COLUMNS]
            slots = [i for i, c in enumerate(keep) if c in set(asked)]
            for i, c in zip(slots, asked):
                keep[i] = c
            lead = [c for c in keep if c in ("file", "message", "subset", "level")]
            frame = frame[lead + header_columns + [c for c in keep if c not in lead]]
            frame = frame.rename(columns={k: n for k, n in names.items() if k != n})
        if form != "long" and "datetime" not in frame.columns:
            frame["datetime"] = pd.Series(pd.NaT, index=frame.index, dtype="datetime64[us]")
        return frame


def required_keys(required_columns, columns, form: str) -> list[str] | None:
    """The keys a subset must hold to have a row (``required_columns`` of read_bufr): True for
    every key of ``columns``, a key or a list of keys, or None/False for none. Header fields
    are always there; a computed key needs the keys it is made of."""
    if required_columns is None or required_columns is False:
        return None
    if form not in ("wide", "context"):
        raise ValueError("required_columns is an option of the wide form and the context form")
    if required_columns is True:
        if columns is None:
            raise ValueError("required_columns=True needs columns=[...]: the keys that must be there")
        names = columns
    else:
        names = checked_columns(required_columns)
    out = []
    for name in names:
        if name in HEADER_COLUMNS:
            continue
        out.extend(COMPUTED_KEYS[name] if name in COMPUTED_KEYS else [name])
    return list(dict.fromkeys(out)) or None


# ECMWF's local section 2 keys (messages of centre 98), by their ecCodes names: the texts
# and the numbers with a fraction; the others are whole numbers.
ECMWF_LOCAL_KEYS = frozenset({
    "rdbType", "oldSubtype", "newSubtype", "rdbSubtype", "localYear", "localMonth", "localDay", "localHour",
    "localMinute", "localSecond", "rdbtimeDay", "rdbtimeHour", "rdbtimeMinute", "rdbtimeSecond", "rdbtimeTime",
    "rectimeDay", "rectimeHour", "rectimeMinute", "rectimeSecond", "qualityControl", "isSatellite",
    "localLatitude", "localLongitude", "ident", "localLatitude1", "localLongitude1", "localLatitude2",
    "localLongitude2", "localNumberOfObservations", "satelliteID",
})
_LOCAL_TEXTS = {"rdbtimeTime", "ident"}
_LOCAL_REALS = {"localLatitude", "localLongitude", "localLatitude1", "localLongitude1", "localLatitude2",
                "localLongitude2"}


def local_key_column(reader, name: str, messages: np.ndarray, pd):
    """The values of ECMWF local key `name` for rows of the 1-based `messages` of a reader:
    nullable ints, floats or texts, missing where a message has no ECMWF section 2 (or the
    key is of the other kind of report, satellite or not)."""
    values = reader.local_keys()[name]
    rows = [values[m - 1] for m in messages.astype(np.int64).tolist()]
    if name in _LOCAL_TEXTS:
        return np.array(rows, dtype=object)
    if name in _LOCAL_REALS:
        return np.array([np.nan if v is None else v for v in rows], dtype=float)
    return pd.array(rows, dtype="Int64")


# Keys computed from others (pdbufr's names): the keys each is made of.
COMPUTED_KEYS = {
    "WMO_station_id": ("blockNumber", "stationNumber"),
    "WIGOS_station_id": ("wigosIdentifierSeries", "wigosIssuerOfIdentifier", "wigosIssueNumber",
                         "wigosLocalIdentifierCharacter"),
    "data_datetime": (),     # the data's own date and time: the frame's datetime
    "typical_datetime": (),  # the header's typical date and time
    "geometry": ("longitude", "latitude", "heightOfStationGroundAboveMeanSeaLevel", "heightOfStation"),
    "CRS": (),               # the coordinate reference system of geometry
}


def computed_column(name: str, frame, index: dict, pd):
    """The values of computed key `name` for the rows of a frame of one reader (with this
    index): ``WMO_station_id`` is block number x 1000 + station number (nullable ints),
    ``WIGOS_station_id`` the four WIGOS parts as "series-issuer-issue-local" (None where a
    part is missing), ``data_datetime`` the data's own time, ``typical_datetime`` the
    header's (seconds 0 before edition 4), ``geometry`` the point [longitude, latitude,
    height] (the station's height above sea level, NaN where the data give none) and
    ``CRS`` its reference system, "EPSG:4326"."""
    n = len(frame)

    def numbers(key):
        return frame[key].to_numpy(dtype=float, na_value=np.nan) if key in frame.columns else np.full(n, np.nan)

    if name == "WMO_station_id":
        block, station = numbers("blockNumber"), numbers("stationNumber")
        valid = np.isfinite(block) & np.isfinite(station)
        ids = np.where(valid, block, 0).astype(np.int64) * 1000 + np.where(valid, station, 0).astype(np.int64)
        return pd.arrays.IntegerArray(ids, ~valid)
    if name == "WIGOS_station_id":
        series, issuer, issue = (numbers(k) for k in COMPUTED_KEYS[name][:3])
        local = frame["wigosLocalIdentifierCharacter"] if "wigosLocalIdentifierCharacter" in frame.columns \
            else pd.Series([None] * n, index=frame.index)
        out = np.full(n, None, dtype=object)
        out[:] = [wigos_identifier(*parts) for parts in zip(series.tolist(), issuer.tolist(), issue.tolist(),
                                                            local.tolist())]
        return out
    if name == "geometry":
        height = numbers("heightOfStationGroundAboveMeanSeaLevel")
        height = np.where(np.isfinite(height), height, numbers("heightOfStation"))
        points = np.stack([numbers("longitude"), numbers("latitude"), height], axis=1).tolist()
        out = np.empty(n, dtype=object)
        out[:] = points
        return out
    if name == "CRS":
        return np.full(n, "EPSG:4326", dtype=object)
    if name == "data_datetime":
        return frame["datetime"].to_numpy() if "datetime" in frame.columns else np.full(n, np.datetime64("NaT", "us"))
    rows = frame["message"].to_numpy().astype(np.int64) - 1
    parts = {key: index[field][rows].astype(np.int64) for key, field in
             (("year", "year"), ("month", "month"), ("day", "day"), ("hour", "hour"), ("minute", "minute"),
              ("second", "second"))}
    parts["second"] = np.maximum(parts["second"], 0)
    return _dataframes._datetime_column({k: v.astype(float) for k, v in parts.items()})


# ecCodes names of header fields, as filters may name them.
ECCODES_HEADER_NAMES = {
    "edition": "edition", "masterTableNumber": "master_table", "bufrHeaderCentre": "centre",
    "bufrHeaderSubCentre": "subcentre", "updateSequenceNumber": "update_sequence_number",
    "dataCategory": "data_category", "internationalDataSubCategory": "international_subcategory",
    "dataSubCategory": "local_subcategory", "masterTablesVersionNumber": "master_table_version",
    "localTablesVersionNumber": "local_table_version", "typicalYear": "year", "typicalMonth": "month",
    "typicalDay": "day", "typicalHour": "hour", "typicalMinute": "minute", "typicalSecond": "second",
    "numberOfSubsets": "number_of_subsets", "observedData": "observed", "compressedData": "compressed",
}


# Header fields a frame can hold as columns: by ecCodes' names and by the package's, but for
# the package's names that are keys of the data too (year ... second, centre): those name the
# data's values, and the header's go by their ecCodes names (typicalYear, bufrHeaderCentre...).
DATA_KEYS_NAMED_LIKE_HEADER_FIELDS = frozenset({"year", "month", "day", "hour", "minute", "second", "centre"})
HEADER_COLUMNS = {**{name: name for name in HEADER_FILTERS
                     if name not in ("datetime", "index") and name not in DATA_KEYS_NAMED_LIKE_HEADER_FIELDS},
                  **ECCODES_HEADER_NAMES}  # typicalDate and typicalTime among them (TYPICAL_TEXTS)
_ABSENT_IN_SOME_EDITIONS = {"subcentre", "international_subcategory", "second"}


def header_column(index: dict, name: str, messages: np.ndarray, pd):
    """The values of header field `name` (see HEADER_COLUMNS) for rows of the 1-based
    `messages` of a reader with this index: ints (nullable where an edition lacks the
    field), bools for the flags. ``typicalYear`` is the year as coded, as ecCodes gives it
    (edition 4's two-byte year, whatever the century rule read; editions 2 and 3's
    year of century, with its century)."""
    rows = messages.astype(np.int64) - 1
    if name in TYPICAL_TEXTS:
        return typical_texts(index, name, rows)
    field = HEADER_COLUMNS[name]
    values = index[field][rows].astype(np.int64)
    if name == "typicalYear":
        coded = index["year_of_century"][rows].astype(np.int64)
        values = np.where((index["edition"][rows] == 4) & (coded >= 0), coded, values)
    if field in ("observed", "compressed"):
        return values.astype(bool)
    if field in _ABSENT_IN_SOME_EDITIONS:
        return pd.arrays.IntegerArray(values, values < 0)
    return values


def descriptor_column(reader, name: str, messages: np.ndarray) -> np.ndarray:
    """ecCodes' unexpandedDescriptors (section 3's list) or expandedDescriptors (see
    :meth:`Message.expanded_descriptors`) of the 1-based `messages` of a reader, a list per
    row, worked out once per message."""
    lists = {}
    for number in np.unique(messages).tolist():
        message = reader[int(number) - 1]
        lists[number] = message.descriptors if name == "unexpandedDescriptors" else message.expanded_descriptors()
    out = np.empty(len(messages), dtype=object)
    out[:] = [lists[m] for m in messages.tolist()]
    return out


def checked_columns(columns) -> list[str] | None:
    """`columns` as a list of names: a str is one name; anything else must hold only str."""
    if columns is None:
        return None
    if isinstance(columns, str):
        return [columns]
    if not isinstance(columns, Iterable) or isinstance(columns, (bytes, Mapping)):
        raise TypeError(f"columns must be a key or a list of keys, not {type(columns).__name__}")
    columns = list(columns)
    wrong = next((c for c in columns if not isinstance(c, str)), None)
    if wrong is not None:
        raise TypeError(f"columns must be keys (str), not {type(wrong).__name__}: {wrong!r}")
    return columns


def checked_filters(filters) -> dict:
    """`filters` as a dict, ecCodes header names replaced by the reader's."""
    if filters is None:
        return {}
    if not isinstance(filters, Mapping):
        raise TypeError(f"filters must be a mapping of names to conditions, not {type(filters).__name__}")
    out = {}
    for name, condition in filters.items():
        if not isinstance(name, str):
            raise TypeError(f"filter names must be str, not {type(name).__name__}: {name!r}")
        out[ECCODES_HEADER_NAMES.get(name, name)] = _datetime_condition(condition) if name == "datetime" \
            else condition
    return out


def _datetime_condition(condition):
    """ISO 8601 strings in a datetime condition read as datetimes, as pandas reads them."""
    import datetime as dt

    def one(value):
        return dt.datetime.fromisoformat(value) if isinstance(value, str) else value

    if isinstance(condition, slice):
        return slice(one(condition.start), one(condition.stop), condition.step)
    if isinstance(condition, (set, frozenset, list, tuple)):
        return type(condition)(one(v) for v in condition)
    return one(condition)


def check_names(names, table_sets) -> None:
    """KeyError for a selected or filtered name that is neither a column of every frame nor a
    key any of `table_sets` knows, naming the closest known keys."""
    import difflib

    table_sets = list(table_sets)
    if not table_sets:
        return  # nothing decoded: nothing to tell a key from a mistake by
    for name in names:
        if name in _FRAME_COLUMNS or name in HEADER_FILTERS or name in DESCRIPTOR_KEYS or name.startswith("header_"):
            continue
        parts = element_keys_of(split_rank(name)[1])
        if all(any(codes_of([part], tables) for tables in table_sets) for part in parts):
            continue
        key = next(part for part in parts if not any(codes_of([part], tables) for tables in table_sets))
        known = set(HEADER_FILTERS) | set(ECCODES_HEADER_NAMES)
        for tables in table_sets:
            known.update(_core.element_keys(tables))
        close = difflib.get_close_matches(key, sorted(known), n=3)
        hint = f"; did you mean {', '.join(map(repr, close))}?" if close else ""
        raise KeyError(f"{name!r} is no key of the tables of these files nor a header field{hint}")


def reader_warnings(reader) -> list[str]:
    """What a reader accepted: its own warnings (skipped bytes, truncated messages) and its
    messages' (once per text, with the number of messages)."""
    # Bytes after the last message that hold no marker are padding: listed in the
    # reader's warnings (and by `vantrel ls`), not warned about here. Skipped byte
    # ranges (junk, bulletin envelopes) are summed up in one warning.
    skipped = [text for text in reader.warnings if text.startswith("skipped ")]
    out = [f"{reader.name}: {text}" for text in reader.warnings
           if "bytes after the last message" not in text and not text.startswith("skipped ")]
    if skipped:
        total = sum(int(text.split()[1]) for text in skipped)
        out.append(f"{reader.name}: {len(skipped)} byte range{'s' if len(skipped) != 1 else ''} that no message "
                   f"holds skipped, {total} bytes in all; the first: {skipped[0]}")
    # Once per kind of quirk (the text before its details): one line for a kind met with one
    # text, one summary for a kind met with many (section 4 surplus of every size...).
    kinds: dict[str, dict[str, int]] = {}
    for texts in reader.message_warnings().values():
        for text in texts:
            by_text = kinds.setdefault(text.split(": ", 1)[0], {})
            by_text[text] = by_text.get(text, 0) + 1
    for kind, by_text in kinds.items():
        count = sum(by_text.values())
        first = next(iter(by_text))
        if len(by_text) == 1:
            out.append(f"{reader.name}: {count} message{'s' if count != 1 else ''}: {first}")
        else:
            out.append(f"{reader.name}: {count} messages: {kind}, in {len(by_text)} variants; the first: {first}")
    return out


_FRAME_COLUMNS = frozenset({"file", "message", "subset", "level", "datetime", "edition", "centre", "subcentre",
                            "data_category", "master_table_version"})
