"""The ``vantrel`` command line (also ``python -m vantrel``).

    vantrel ls FILE... [--check]          one line per message, then the file's warnings
    vantrel dump FILE [--message N] [--subset N] [--json]
    vantrel dump --sample [NAME]          a shipped sample file (see vantrel.samples)
    vantrel tables                        where the tables come from, which versions are there
    vantrel convert FILE... -o OUT.parquet|.csv|.jsonl [--columns KEY...] [--form wide|long|levels|context]
    vantrel FILE...                       the same as ``vantrel ls FILE...``

``-`` as FILE reads standard input (binary). ``dump --json`` writes JSON lines:
one object per subset, keys in a fixed order (see :func:`subset_record`).

A progress bar is drawn on stderr while many messages are read, when stderr is
a terminal and standard output is not (the output itself shows progress
otherwise). Exit status: 0 when every message was read, 1 when a file could
not be read or a message failed (with a one-line summary on stderr), 2 for a
usage error.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import sys
import warnings
from pathlib import Path
from typing import IO, Any, Iterable, Sequence

import vantrel
from vantrel.archive import RULES

import numpy as np

from . import samples
from . import dataframes as _dataframes
from . import keys as _keys
from .dataframes import import_optional
from .tables import find_definitions, wmo_versions

__all__ = ["main", "build_parser", "run_convert", "subset_records", "subset_record"]

PROG = "vantrel"
COMMANDS = ("ls", "dump", "copy", "compare", "tables", "convert")
STDIN = "-"
# Frame writers for ``convert``, by output suffix.
CONVERT_SUFFIXES = (".parquet", ".csv", ".jsonl")


# ---- failures and progress ---------------------------------------------------


class Tally:
    """Counts messages and failures for the exit status and the closing summary."""

    def __init__(self) -> None:
        self.messages = 0
        self.failed = 0
        self.unreadable = 0
        self.empty = 0  # files that were read but hold no BUFR message

    def message(self, failed: bool) -> None:
        self.messages += 1
        self.failed += bool(failed)

    def status(self) -> int:
        return 1 if self.failed or self.unreadable or self.empty else 0

    def summary(self) -> str | None:
        """The one-line summary for stderr, or None when nothing failed."""
        if not self.status():
            return None
        parts = []
        if self.failed:
            parts.append(f"{self.failed} of {self.messages} message{_s(self.messages)} failed")
        if self.unreadable:
            parts.append(f"{self.unreadable} file{_s(self.unreadable)} could not be read")
        if self.empty:
            parts.append(f"{self.empty} file{_s(self.empty)} held no BUFR message")
        return f"{PROG}: " + ", ".join(parts)


def _s(count: int) -> str:
    return "" if count == 1 else "s"


class Progress:
    """A tqdm bar on stderr, shown only after half a second of work, when stderr is
    a terminal (tqdm's ``disable=None``) and standard output is not one."""

    def __init__(self, total: int, unit: str = "msg") -> None:
        self._bar = None
        if total < 2 or _isatty(sys.stdout):
            return
        try:
            from tqdm import tqdm  # type: ignore[import-untyped]
        except ImportError:  # a dependency, but the command line works without it
            return
        self._bar = tqdm(total=total, unit=unit, disable=None, delay=0.5, leave=False, file=sys.stderr)

    def update(self, count: int = 1) -> None:
        if self._bar is not None:
            self._bar.update(count)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


def _isatty(stream) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


# ---- sources -----------------------------------------------------------------


def _display_name(name: str) -> str:
    return "<stdin>" if name == STDIN else name


def open_source(name: str, definitions=None, tables=None, rules: str = "wmo") -> vantrel.Reader:
    """A reader of a file, or of standard input for ``-``; OSError when unreadable."""
    if name == STDIN:
        # A pipe is read up to the reader's limit for sources that cannot be mapped.
        reader = vantrel.open(sys.stdin.buffer, definitions=definitions, tables=tables, rules=rules)
        reader.name = _display_name(name)
        return reader
    return vantrel.open(name, definitions=definitions, tables=tables, rules=rules)


def _open_all(names: Iterable[str], args, tally: Tally) -> list[tuple[str, vantrel.Reader]]:
    readers = []
    for name in names:
        try:
            readers.append((name, open_source(name, args.definitions, args.tables, args.rules)))
        except OSError as error:
            print(f"{PROG}: {_display_name(name)}: {error.strerror or error}", file=sys.stderr)
            tally.unreadable += 1
        except vantrel.TablesError as error:  # --tables names no usable tables
            print(f"{PROG}: {_display_name(name)}: {error}", file=sys.stderr)
            tally.unreadable += 1
    return readers


# ---- ls ----------------------------------------------------------------------


def _or_dash(value) -> str:
    return "-" if value is None else str(value)


def message_time(message) -> str:
    """The header's typical time as ``YYYY-MM-DD hh:mm:ss``, fields as found (also when they make no
    valid date); ``-`` when the header is unreadable."""
    fields = (message.year, message.month, message.day, message.hour, message.minute)
    if any(field is None for field in fields):
        return "-"
    year, month, day, hour, minute = fields
    return f"{year:04d}-{month:02d}-{day:02d} {hour:02d}:{minute:02d}:{message.second or 0:02d}"


def ls_line(message, check_error: str | None = None) -> str:
    """One line for a message: index, offset, edition, centre, category, time,
    subsets, compression, then its warnings or its error."""
    head = f"{message.index:>6}  offset {message.offset:<10} edition {message.edition}"
    error = message.error or check_error
    if message.error is not None:
        return f"{head}  error: {message.error}"
    centre = f"{message.centre}/{_or_dash(message.subcentre)}"
    category = f"{message.data_category}/{_or_dash(message.international_subcategory)}/{message.local_subcategory}"
    kind = "compressed" if message.compressed else "uncompressed"
    line = (
        f"{head}  centre {centre:<7} category {category:<9} {message_time(message)}"
        f"  {message.number_of_subsets:>5} subset{_s(message.number_of_subsets)} {kind}"
    )
    if message.warnings:
        line += "  warning: " + "; ".join(message.warnings)
    if error is not None:
        line += f"  error: {error}"
    return line


def header_key_values(reader, key: str) -> list[str]:
    """The text of header key `key` for every message of a reader ("-" for a bad header):
    header fields by ecCodes' or the package's names, and typicalDate (YYYYMMDD) and
    typicalTime (hhmmss)."""
    from .read import header_column

    index = reader.index
    messages = np.arange(1, len(reader) + 1)
    ok = index["ok"] == 1
    column = header_column(index, key, messages, _import_pandas())
    values = [v if isinstance(v, str) else "-" if v is None or v != v else str(int(v)) for v in column.tolist()]
    return [v if good else "-" for v, good in zip(values, ok.tolist())]


def _import_pandas():
    return import_optional("pandas", "pandas", "ls -p")


def _ls_keys(args, readers, tally: Tally) -> int:
    from .read import HEADER_COLUMNS

    keys = [k for k in args.keys.split(",") if k]
    unknown = [k for k in keys if k not in HEADER_COLUMNS]
    if unknown or not keys:
        raise UsageError(f"-p {','.join(unknown) or args.keys!r}: give header keys, such as "
                         "edition,bufrHeaderCentre,dataCategory,typicalDate,typicalTime,numberOfSubsets "
                         "(data keys: vantrel convert --columns)")
    out = sys.stdout
    width = max(map(len, keys)) + 2  # bufr_ls's columns: the longest key and two spaces
    for name, reader in readers:
        with reader:
            out.write(f"{_display_name(name)}\n" + "".join(f"{k:<{width}}" for k in keys).rstrip() + "\n")
            columns = [header_key_values(reader, k) for k in keys]
            for row in zip(*columns):
                out.write("".join(f"{v:<{width}}" for v in row).rstrip() + "\n")
            bad = int((reader.index["ok"] == 0).sum())
            tally.messages += len(reader)
            tally.failed += bad
            out.write(f"{len(reader)} message{_s(len(reader))} in {_display_name(name)}\n")
    return _finish(tally)


def run_ls(args) -> int:
    tally = Tally()
    readers = _open_all(args.files, args, tally)
    if args.keys is not None:
        return _ls_keys(args, readers, tally)
    progress = Progress(sum(len(reader) for _, reader in readers))
    out = sys.stdout
    try:
        for name, reader in readers:
            with reader:
                count = len(reader)
                out.write(f"{_display_name(name)}: {count} message{_s(count)}\n")
                for message in reader:
                    check_error = None
                    if args.check and message.error is None:
                        try:
                            message.values()
                        except ValueError as error:
                            check_error = _message_error_text(error)
                    out.write(ls_line(message, check_error) + "\n")
                    tally.message(message.error is not None or check_error is not None)
                    progress.update()
                for warning in reader.warnings:
                    out.write(f"  warning: {warning}\n")
                tally.empty += count == 0 and bool(reader.warnings)
    finally:
        progress.close()
    return _finish(tally)


def _message_error_text(error: Exception) -> str:
    """The reason of a message's failure, without the "message N at offset M: " prefix."""
    text = str(error)
    if isinstance(error, vantrel.BufrError) and error.index is not None:
        prefix = f"message {error.index} at offset {error.offset}: "
        if text.startswith(prefix):
            return text[len(prefix) :]
    return text


def _finish(tally: Tally) -> int:
    summary = tally.summary()
    if summary is not None:
        print(summary, file=sys.stderr)
    return tally.status()


# ---- copy --------------------------------------------------------------------


def parse_where(text: str) -> dict[str, set[int]]:
    """Header conditions as ecCodes' tools write them: ``key=value[/value...][,key=...]``, keys by
    their ecCodes names (``dataCategory``) or the package's (``data_category``)."""
    from .read import ECCODES_HEADER_NAMES, HEADER_FILTERS

    known = set(ECCODES_HEADER_NAMES) | (HEADER_FILTERS - {"datetime", "index"})
    conditions: dict[str, set[int]] = {}
    for part in filter(None, text.split(",")):
        key, equals, values = part.partition("=")
        key = key.strip()
        if not equals or key not in known:
            raise UsageError(f"-w {part!r}: give KEY=VALUE with KEY a header field, one of {', '.join(sorted(known))}")
        try:
            wanted = {int(value, 0) for value in values.split("/")}
        except ValueError:
            raise UsageError(f"-w {part!r}: values are integers, several separated by /") from None
        conditions.setdefault(ECCODES_HEADER_NAMES.get(key, key), set()).update(wanted)
    return conditions


def run_copy(args) -> int:
    """Writes the messages of FILEs whose header meets the conditions to OUTPUT, byte for byte."""
    from .read import HeaderFilter

    if len(args.files) < 2:
        raise UsageError("copy needs at least one FILE and the OUTPUT file")
    *names, output = args.files
    conditions = HeaderFilter(parse_where(args.where or ""))
    tally = Tally()
    readers = _open_all(names, args, tally)
    copied = 0
    with (contextlib.nullcontext(sys.stdout.buffer) if output == "-" else open(output, "wb")) as out:
        for name, reader in readers:
            with reader:
                index = reader.index
                chosen = conditions.mask(reader) & (index["ok"] == 1)
                for position in np.flatnonzero(chosen).tolist():
                    out.write(reader[position].bytes)
                copied += int(chosen.sum())
                bad = int((index["ok"] == 0).sum())
                if bad:
                    print(f"{PROG}: {_display_name(name)}: {bad} message{_s(bad)} with a bad header not copied",
                          file=sys.stderr)
                tally.messages += len(reader)
                tally.failed += bad
    if output != "-":
        print(f"{copied} message{_s(copied)} copied to {output}", file=sys.stderr)
    return _finish(tally)


# ---- compare -----------------------------------------------------------------

# Header fields compare compares, by the names ecCodes gives them.
_COMPARED_HEADER = (("edition", "edition"), ("masterTableNumber", "master_table"), ("bufrHeaderCentre", "centre"),
                    ("bufrHeaderSubCentre", "subcentre"), ("updateSequenceNumber", "update_sequence_number"),
                    ("dataCategory", "data_category"), ("internationalDataSubCategory", "international_subcategory"),
                    ("dataSubCategory", "local_subcategory"), ("masterTablesVersionNumber", "master_table_version"),
                    ("localTablesVersionNumber", "local_table_version"), ("typicalYear", "year"),
                    ("typicalMonth", "month"), ("typicalDay", "day"), ("typicalHour", "hour"),
                    ("typicalMinute", "minute"), ("typicalSecond", "second"), ("numberOfSubsets", "number_of_subsets"),
                    ("observedData", "observed"), ("compressedData", "compressed"),
                    ("unexpandedDescriptors", "descriptors"))


def _differs(a, b, tolerance: float) -> bool:
    if isinstance(a, float) and isinstance(b, float):
        return abs(a - b) > tolerance
    return a != b


def compare_messages(a, b, tolerance: float) -> list[str]:
    """What differs between two messages: header fields, then the keys and values of each
    subset (numbers further apart than `tolerance`, texts, missing against present)."""
    if a.error is not None or b.error is not None:
        return [] if a.error == b.error else [f"header: {a.error or 'readable'} != {b.error or 'readable'}"]
    out = [f"{name}: {getattr(a, field)} != {getattr(b, field)}" for name, field in _COMPARED_HEADER
           if getattr(a, field) != getattr(b, field)]
    try:
        left = subset_records(a)
    except ValueError as error:
        left = error
    try:
        right = subset_records(b)
    except ValueError as error:
        right = error
    if isinstance(left, Exception) or isinstance(right, Exception):
        if str(left) != str(right):
            out.append(f"data: {_short(left)} != {_short(right)}")
        return out
    for number, (one, other) in enumerate(zip(left, right), 1):
        keys_one, keys_other = [r["key"] for r in one], [r["key"] for r in other]
        if keys_one != keys_other:
            missing = [k for k in keys_one if k not in set(keys_other)]
            extra = [k for k in keys_other if k not in set(keys_one)]
            out.append(f"subset {number}: keys differ (only in the first: {', '.join(missing[:5]) or '-'}; "
                       f"only in the second: {', '.join(extra[:5]) or '-'})")
            continue
        for x, y in zip(one, other):
            if _differs(x["value"], y["value"], tolerance):
                out.append(f"subset {number} {x['key']}: {_shown(x)} != {_shown(y)}")
    return out


def _shown(record: dict) -> str:
    """A value as compare shows it: texts quoted whole (trailing spaces and bytes can be the difference)."""
    return repr(record["value"]) if isinstance(record["value"], str) else format_value(record)


def _short(value) -> str:
    return _message_error_text(value) if isinstance(value, Exception) else "decodes"


def run_compare(args) -> int:
    """bufr_compare's question: message by message, what differs between two files."""
    tally = Tally()
    readers = _open_all([args.first, args.second], args, tally)
    if len(readers) < 2:
        return _finish(tally)
    (first_name, first), (second_name, second) = readers
    differences = 0
    with first, second:
        if len(first) != len(second):
            print(f"{len(first)} messages in {_display_name(first_name)}, {len(second)} in "
                  f"{_display_name(second_name)}")
            differences += 1
        for a, b in zip(first, second):
            found = compare_messages(a, b, args.tolerance)
            for line in found[: args.most]:
                print(f"message {a.index}: {line}")
            if len(found) > args.most:
                print(f"message {a.index}: ... and {len(found) - args.most} more")
            differences += bool(found)
    if differences:
        print(f"{PROG}: {differences} message{_s(differences)} {'differ' if differences != 1 else 'differs'}", file=sys.stderr)
    return max(1 if differences else 0, tally.status())


# ---- dump --------------------------------------------------------------------


def clean_number(value: float | None) -> float | None:
    """A decoded number without binary noise (15 significant digits: 280.15000000000003 is 280.15);
    None for a missing or non-finite value."""
    if value is None or not math.isfinite(value):
        return None
    return float(f"{value:.15g}")


def subset_records(message) -> list[list[dict]]:
    """The value records of each subset of a message, in walk order, operator records left
    out: ``{"key", "code", "value", "unit", "meaning"}``, in that order, with the key ranked
    and the unit and meaning as the core gives them.

    ``value`` is the text of a character element, else the decoded number, None when
    missing; ``meaning`` is a code table value's meaning (str), a flag table value's
    meanings of the set bits (list), else None.
    """
    keyed = message._keyed(form="long", meanings=True)
    cols = keyed.cols
    order = keyed.walk_order()
    rows = np.arange(len(keyed.label)) if order is None else order
    flags = cols["flags"][rows]
    kept = (flags & (_dataframes.OPERATOR | _dataframes.CHARACTER)) != _dataframes.OPERATOR  # 2 05 YYY texts stay
    rows, flags = rows[kept], flags[kept]
    texts = _dataframes.text_values(cols, rows).tolist()
    keys = keyed.label_names[keyed.label[rows]].tolist()
    units = keyed.units[keyed.unit[rows]].tolist()
    meanings = keyed.meanings[keyed.meaning[rows]].tolist()
    values = cols["value"][rows].tolist()
    out: list[list[dict]] = [[] for _ in range(message.number_of_subsets)]
    for i, (subset, code, flag) in enumerate(zip(cols["subset"][rows].tolist(), cols["descriptor"][rows].tolist(),
                                                 flags.tolist())):
        data = texts[i] if flag & _dataframes.CHARACTER else None if flag & _dataframes.MISSING else clean_number(values[i])
        out[subset - 1].append({"key": keys[i], "code": code, "value": data, "unit": units[i], "meaning": meanings[i]})
    return out


def subset_record(file: str, message: int, subset: int, records: list[dict]) -> dict:
    """The JSON line of one subset: ``{"file", "message", "subset", "values": [value records]}``;
    an attribute's record stands in the record of the value it qualifies, under its name
    (``{"key": "airTemperature", ..., "percentConfidence": {"key":
    "airTemperature->percentConfidence", ...}}``), as ecCodes' JSON nests it."""
    return {"file": file, "message": message, "subset": subset, "values": nested(records)}


def nested(records: list[dict]) -> list[dict]:
    """`records` with each attribute's record moved into the record it qualifies (found by
    its ranked key); one whose value is not among them stays where it is."""
    out, by_key = [], {}
    for record in records:
        record = dict(record)
        parent = by_key.get(_keys.qualified(record["key"]))
        if parent is not None:
            parent[record["key"].rsplit(_keys.ATTRIBUTE_SEPARATOR, 1)[1]] = record
        else:
            out.append(record)
        by_key[record["key"]] = record
    return out


def _json_line(record: dict) -> str:
    return json.dumps(record, allow_nan=False)


def format_value(record: dict) -> str:
    value = record["value"]
    if value is None:
        return "missing"
    if isinstance(value, str):
        return value.rstrip()
    if value.is_integer() and abs(value) < 1e16:
        return str(int(value))
    return repr(value)


def format_meaning(meaning) -> str:
    if meaning is None:
        return ""
    if isinstance(meaning, list):
        return "; ".join(meaning) if meaning else "(no flag set)"
    return meaning


def text_table(records: list[dict]) -> list[str]:
    """Aligned lines ``key  value  unit  meaning`` of one subset's value records."""
    rows = [
        (record["key"], format_value(record), record["unit"] or "", format_meaning(record["meaning"]))
        for record in records
    ]
    if not rows:
        return ["  (no values)"]
    widths = [max(len(row[column]) for row in rows) for column in range(3)]
    return [
        "  "
        + f"{key:<{widths[0]}}  {value:<{widths[1]}}  {unit:<{widths[2]}}  {meaning}".rstrip()
        for key, value, unit, meaning in rows
    ]


def _select(items: Any, number: int | None, what: str, where: str) -> Iterable[tuple[int, Any]]:
    """(1-based number, item) of every item, or of item ``number`` only; LookupError when it is out of range."""
    if number is None:
        return enumerate(items, 1)
    if not 1 <= number <= len(items):
        raise LookupError(f"{where} has no {what} {number} (it has {len(items)})")
    return [(number, items[number - 1])]


def run_dump(args) -> int:
    if args.sample is not None:
        if args.files:
            raise UsageError("give either FILE or --sample, not both")
        names = [samples.path(args.sample)]
    elif not args.files:
        raise UsageError("a FILE (or - for standard input, or --sample) is needed")
    else:
        names = args.files
    if args.compact and not args.json:
        raise UsageError("--compact goes with --json")
    tally = Tally()
    out = sys.stdout
    for name, reader in _open_all(names, args, tally):
        shown = os.path.basename(name) if args.sample is not None else _display_name(name)
        with reader:
            messages = _select(reader, args.message, "message", shown)
            progress = Progress(len(reader) if args.message is None else 1)
            try:
                for number, message in messages:
                    _dump_message(out, shown, number, message, args, tally)
                    progress.update()
            finally:
                progress.close()
            # Warnings go to standard error, so that the data on standard output stay data.
            for warning in reader.warnings:
                print(f"{PROG}: {shown}: warning: {warning}", file=sys.stderr)
            tally.empty += len(reader) == 0 and bool(reader.warnings)
    return _finish(tally)


def compact_record(file: str, message: int, subset: int, records: list[dict]) -> dict:
    """The compact JSON line of one subset: ``{"file", "message", "subset", key: value, ...}``
    (values only; units and meanings are the tables')."""
    line = {"file": file, "message": message, "subset": subset}
    line.update((record["key"], record["value"]) for record in records)
    return line


def _dump_message(out: IO[str], shown: str, number: int, message, args, tally: Tally) -> None:
    try:
        subsets = subset_records(message)
    except ValueError as error:
        tally.message(True)
        reason = _message_error_text(error)
        if args.json:
            out.write(_json_line({"file": shown, "message": number, "error": reason}) + "\n")
        else:
            out.write(f"== {shown} message {number} at offset {message.offset}: error: {reason}\n")
        return
    tally.message(False)
    for warning in message.warnings:
        print(f"{PROG}: {shown} message {number}: warning: {warning}", file=sys.stderr)
    selected = _select(subsets, args.subset, "subset", f"message {number}")
    for subset_number, records in selected:
        if args.json:
            line = (compact_record if args.compact else subset_record)(shown, number, subset_number, records)
            out.write(_json_line(line) + "\n")
            continue
        out.write(
            f"== {shown} message {number} (offset {message.offset}, edition {message.edition}, "
            f"{message_time(message)}), subset {subset_number} of {len(subsets)}\n"
        )
        out.write("\n".join(text_table(records)) + "\n")


# ---- tables ------------------------------------------------------------------


def version_ranges(versions: Sequence[int]) -> str:
    """``1, 3-5, 9`` for [1, 3, 4, 5, 9] (ascending versions)."""
    runs: list[list[int]] = []
    for version in versions:
        if runs and version == runs[-1][-1] + 1:
            runs[-1].append(version)
        else:
            runs.append([version])
    return ", ".join(str(run[0]) if len(run) == 1 else f"{run[0]}-{run[-1]}" for run in runs) or "none"


def run_tables(args) -> int:
    try:
        root, origin = find_definitions(args.definitions)
    except vantrel.TablesError as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1
    out = sys.stdout
    out.write(f"definitions: {root}\n")
    out.write(f"found through: {origin}\n")
    tables_dir = os.path.join(root, "bufr", "tables")
    masters = sorted(int(name) for name in os.listdir(tables_dir) if name.isdigit())
    for master in masters:
        versions = wmo_versions(root, master)
        out.write(f"master table {master}: WMO versions {version_ranges(versions)} ({len(versions)} present)\n")
        local = os.path.join(tables_dir, str(master), "local")
        if os.path.isdir(local):
            names = [name for name in os.listdir(local) if os.path.isdir(os.path.join(local, name))]
            out.write(f"master table {master}: local tables in {len(names)} version folders under {local}\n")
    return 0


# ---- convert -----------------------------------------------------------------


def _require(module: str, extra: str, purpose: str):
    """The optional module, or a usage error saying which extra installs it."""
    try:
        return import_optional(module, extra, purpose)
    except ImportError as error:
        raise UsageError(str(error)) from None


def split_columns(values: Sequence[str] | None) -> list[str] | None:
    """``--columns a,b --columns c`` is ["a", "b", "c"]; None when not given."""
    if not values:
        return None
    return [name for value in values for name in value.split(",") if name]


def parse_filters(texts: Sequence[str]) -> dict:
    """``--filter NAME=VALUE[,VALUE...]`` as read_bufr's filters: numbers where the values read as
    numbers, else texts; several values are a set."""
    def value(text: str):
        for kind in (int, float):
            try:
                return kind(text)
            except ValueError:
                pass
        return text

    filters = {}
    for text in texts:
        name, sep, values = text.partition("=")
        if not sep or not name or not values:
            raise UsageError(f"--filter {text}: give NAME=VALUE or NAME=VALUE,VALUE...")
        parsed = [value(v) for v in values.split(",")]
        filters[name] = parsed[0] if len(parsed) == 1 else set(parsed)
    return filters


def write_json_lines(frame, output: Path) -> None:
    """One JSON object per row: datetimes in ISO 8601, missing values null, texts as they are."""
    import pandas as pd

    def plain(value):
        if isinstance(value, pd.Timestamp):
            return value.isoformat()
        if hasattr(value, "item"):  # numpy scalars
            return value.item()
        return str(value)

    columns = list(frame.columns)
    with open(output, "w", encoding="utf-8") as out:
        for row in frame.astype(object).where(frame.notna(), None).itertuples(index=False, name=None):
            out.write(json.dumps(dict(zip(columns, row)), default=plain, ensure_ascii=False) + "\n")


def run_convert(args) -> int:
    """Reads every FILE into one frame with ``vantrel.read_bufr`` and writes it by
    the suffix of ``-o``: Parquet (pyarrow), CSV, or JSON lines (one record per row)."""
    output = Path(args.output)
    suffix = output.suffix.lower()
    if suffix not in CONVERT_SUFFIXES:
        raise UsageError(f"-o {args.output}: the suffix must be one of {', '.join(CONVERT_SUFFIXES)}")
    _require("pandas", "pandas", "convert")
    if suffix == ".parquet":
        _require("pyarrow", "arrow", "writing Parquet")
    read_bufr = vantrel.read_bufr
    sources = [sys.stdin.buffer.read() if name == STDIN else name for name in args.files]
    options = {"columns": split_columns(args.columns), "form": args.form, "threads": args.jobs}
    if args.filter:
        options["filters"] = parse_filters(args.filter)
    if args.tables is not None:
        if args.dask is not None:
            raise UsageError("--tables reads one table folder here; with --dask give --definitions")
        options["tables"] = args.tables
    # Options read_bufr has defaults for are passed only when asked for.
    if args.definitions is not None:
        options["definitions"] = args.definitions
    if args.rules != "wmo":
        options["rules"] = args.rules
    if args.errors != "warn":
        options["errors"] = args.errors
    if args.meanings:
        options["meanings"] = True
    if args.header:
        options["header"] = True
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if args.dask is not None:
            distributed = _require("distributed", "dask", "--dask")
            if STDIN in args.files:
                raise UsageError("--dask reads files by path; - (standard input) cannot be shared with workers")
            from . import dask as vantrel_dask

            dask_options = {k: v for k, v in options.items() if k not in ("threads", "errors")}
            # A local cluster takes any free port for its dashboard.
            client = distributed.Client(n_workers=args.jobs or None, dashboard_address=":0") if args.dask == "local" \
                else distributed.Client(args.dask)
            with client:  # the scheduler of the dask work while it is open
                lazy = vantrel_dask.read_bufr(args.files, **dask_options)
                if suffix == ".parquet":
                    # A Parquet dataset (a folder of one file per partition), written by the workers.
                    lazy.to_parquet(output, engine="pyarrow", write_index=False)
                    print(f"{PROG}: wrote {lazy.npartitions} partitions to {output}", file=sys.stderr)
                    return 0
                frame = lazy.compute()
        else:
            try:
                frame = read_bufr(sources, **options)
            except (KeyError, TypeError) as error:  # a name or a condition the files cannot meet
                raise UsageError(error.args[0] if error.args else str(error)) from None
            except (OSError, vantrel.BufrError) as error:
                print(f"{PROG}: {error}", file=sys.stderr)
                return 1
    failed = False
    for warning in caught:
        print(f"{PROG}: warning: {warning.message}", file=sys.stderr)
        failed |= issubclass(warning.category, vantrel.FailedMessagesWarning)
    try:
        if suffix == ".parquet":
            frame.to_parquet(output, engine="pyarrow", index=False)
        elif suffix == ".csv":
            frame.to_csv(output, index=False)
        else:
            write_json_lines(frame, output)
    except OSError as error:
        print(f"{PROG}: cannot write {output}: {error.strerror or error}", file=sys.stderr)
        return 1
    print(f"{PROG}: wrote {len(frame)} rows, {len(frame.columns)} columns to {output}", file=sys.stderr)
    return 1 if failed else 0


# ---- parser and entry point --------------------------------------------------


class UsageError(Exception):
    """A command line that cannot be carried out as given (exit status 2)."""


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the command line: ls, dump, tables and convert."""
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument(
        "--definitions",
        metavar="DIR",
        help="ecCodes definitions root to take tables from (default: found as `vantrel tables` shows)",
    )
    decoding = argparse.ArgumentParser(add_help=False)
    decoding.add_argument(
        "--rules",
        choices=RULES,
        default="wmo",
        help="wmo (default): WMO practice for real archives; strict: exactly the rules of _vantrel",
    )
    reading = argparse.ArgumentParser(add_help=False, parents=[common, decoding])
    reading.add_argument(
        "--tables",
        metavar="DIR",
        help="one table set for every message: a folder of WMO BUFR4 CSV tables or one ecCodes table folder",
    )
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Read BUFR files: list messages, dump decoded values, convert to tables.",
        epilog="`vantrel FILE...` is the same as `vantrel ls FILE...`; - as FILE reads standard input.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {vantrel.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    ls = commands.add_parser("ls", parents=[reading], help="one line per message of each file")
    ls.add_argument("files", nargs="+", metavar="FILE", help="BUFR file, or - for standard input")
    ls.add_argument("--check", action="store_true", help="also decode every message; failures count as errors")
    ls.add_argument("-p", dest="keys", metavar="KEY[,KEY...]",
                    help="header keys to print per message, as bufr_ls -p (ecCodes names or the package's)")
    ls.set_defaults(run=run_ls)

    dump = commands.add_parser("dump", parents=[reading], help="decoded values with keys, units and meanings")
    dump.add_argument("files", nargs="*", metavar="FILE", help="BUFR files, or - for standard input")
    dump.add_argument("--message", type=_positive, metavar="N", help="only message N (1-based, file order)")
    dump.add_argument("--subset", type=_positive, metavar="N", help="only subset N of each message (1-based)")
    dump.add_argument("--json", action="store_true", help="JSON lines: one object per subset")
    dump.add_argument("--compact", action="store_true",
                      help="with --json: one object per subset of key: value pairs (no codes, units or meanings)")
    dump.add_argument(
        "--sample",
        nargs="?",
        const="synop",
        choices=samples.names(),
        help="dump a sample file shipped with vantrel instead of FILE (default: synop)",
    )
    dump.set_defaults(run=run_dump)

    copy = commands.add_parser("copy", parents=[common], help="copy the messages whose header matches, byte for byte")
    copy.add_argument("files", nargs="+", metavar="FILE", help="BUFR files, then the OUTPUT file (- for standard output)")
    copy.add_argument("-w", "--where", metavar="KEY=VALUE[/VALUE...][,...]",
                      help="header conditions, as bufr_copy -w takes them (ecCodes names or the package's)")
    copy.set_defaults(run=run_copy, tables=None, rules="wmo")

    compare = commands.add_parser("compare", parents=[reading], help="what differs between two files, message by message")
    compare.add_argument("first", metavar="FILE1")
    compare.add_argument("second", metavar="FILE2")
    compare.add_argument("-t", "--tolerance", type=float, default=0.0, metavar="T",
                         help="numbers at most T apart are equal (default 0)")
    compare.add_argument("--most", type=_positive, default=10, metavar="N", help="differences shown per message")
    compare.set_defaults(run=run_compare)

    tables = commands.add_parser("tables", parents=[common], help="where the tables come from, versions present")
    tables.set_defaults(run=run_tables)

    convert = commands.add_parser("convert", parents=[common, decoding], help="write decoded files as one table")
    convert.add_argument("files", nargs="+", metavar="FILE", help="BUFR file, or - for standard input")
    convert.add_argument("-o", "--output", required=True, metavar="OUT", help="OUT.parquet, OUT.csv or OUT.jsonl")
    convert.add_argument(
        "--columns", action="append", metavar="KEY[,KEY...]", help="keys to keep (ranked as #2#key); repeatable"
    )
    convert.add_argument("--form", choices=("wide", "long", "levels", "context"), default="wide", help="table layout")
    convert.add_argument("--tables", metavar="DIR",
                         help="one table set for every message: a folder of WMO BUFR4 CSV tables or one ecCodes "
                              "table folder")
    convert.add_argument("--filter", action="append", metavar="NAME=VALUE[,VALUE...]",
                         help="keep the messages (header fields) or subsets (keys) with one of these values; "
                              "repeatable")
    convert.add_argument("--jobs", type=_positive, metavar="N", help="decoding threads (default: as vantrel.read_bufr decides)")
    convert.add_argument("--dask", metavar="ADDRESS",
                         help="a dask scheduler address, or `local` for a local cluster of --jobs workers; "
                              "with .parquet the workers write a partitioned dataset folder")
    convert.add_argument("--meanings", action="store_true", help="code and flag table meanings instead of numbers")
    convert.add_argument("--header", action="store_true", help="add the header fields as columns")
    convert.add_argument(
        "--errors",
        choices=("warn", "raise", "ignore"),
        default="warn",
        help="messages that fail: skipped with a warning and exit status 1 (warn), stop (raise), or skipped (ignore)",
    )
    convert.set_defaults(run=run_convert)
    return parser


def _positive(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if number < 1:
        raise argparse.ArgumentTypeError(f"{number} is not 1 or more")
    return number


def _with_default_command(argv: list[str]) -> list[str]:
    """``vantrel FILE...`` means ``vantrel ls FILE...``."""
    if argv and argv[0] not in COMMANDS and (argv[0] == STDIN or not argv[0].startswith("-")):
        return ["ls", *argv]
    return argv


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line on `argv` (default: the process's arguments); returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(_with_default_command(list(sys.argv[1:] if argv is None else argv)))
    if args.command is None:
        parser.print_usage(sys.stderr)
        print(f"{PROG}: error: a command or a FILE is needed", file=sys.stderr)
        return 2
    try:
        return args.run(args)
    except (UsageError, LookupError) as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader went away (`vantrel dump big.bufr | head`): stop quietly; not a failure.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except KeyboardInterrupt:
        return 130
