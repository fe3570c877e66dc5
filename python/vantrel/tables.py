"""Finding and caching the tables a message needs.

The definitions root (an ecCodes definition tree) comes from, in order:

1. the ``definitions=`` argument;
2. the environment variable ``VANTREL_DEFINITIONS``;
3. ``ECCODES_DEFINITION_PATH``: its first entry (``:``-separated) that holds ``bufr/tables``;
4. the usual install locations: Debian's ``/usr/share/eccodes/definitions``,
   ``$CONDA_PREFIX/share/eccodes/definitions``, and the data folder of an
   installed ecCodes Python wheel.

A message's WMO tables are ``bufr/tables/{master table}/wmo/{master version}``
under that root. When that version is missing, the nearest newer version
present is used, else the newest older one (WMO tables only ever add entries),
and the message gets a warning naming both versions.

Table sets are loaded once per process for each (root, master table, master
version, centre, sub-centre, local version) and shared by every reader and
thread.
"""

from __future__ import annotations

import importlib.util
import os
import threading
from pathlib import Path
from typing import Mapping

import _vantrel

from . import _core
from .errors import TablesError

__all__ = ["definitions_root", "find_definitions", "TableResolver", "clear_cache"]

_INSTALL_LOCATIONS = ("/usr/share/eccodes/definitions",)
# Python distributions known to carry ecCodes' definitions as package data.
_WHEEL_PACKAGES = ("eccodeslib", "eccodes")


def _has_tables(root: str | os.PathLike) -> bool:
    return os.path.isdir(os.path.join(root, "bufr", "tables"))


def _candidates(explicit: str | os.PathLike | None, environ: Mapping[str, str]):
    """(where it came from, path) for every place a definitions root may be, in order."""
    if explicit is not None:
        yield "the definitions argument", os.fspath(explicit)
        return
    if environ.get("VANTREL_DEFINITIONS"):
        yield "VANTREL_DEFINITIONS", environ["VANTREL_DEFINITIONS"]
        return
    for entry in environ.get("ECCODES_DEFINITION_PATH", "").split(":"):
        if entry and _has_tables(entry):
            yield "ECCODES_DEFINITION_PATH", entry
    for location in _INSTALL_LOCATIONS:
        yield "the Debian package libeccodes-data", location
    if environ.get("CONDA_PREFIX"):
        yield "CONDA_PREFIX", os.path.join(environ["CONDA_PREFIX"], "share", "eccodes", "definitions")
    for package in _WHEEL_PACKAGES:
        try:
            found = importlib.util.find_spec(package)
        except (ImportError, ValueError):
            found = None
        for folder in (found.submodule_search_locations or []) if found else []:
            yield f"the {package} wheel", os.path.join(folder, "share", "eccodes", "definitions")


def find_definitions(explicit=None, environ: Mapping[str, str] | None = None) -> tuple[str, str]:
    """(root, where it came from): the first candidate that holds ``bufr/tables``.

    An explicit root or ``VANTREL_DEFINITIONS`` is taken as given and must hold
    the tables; otherwise the search goes on. Raises :class:`TablesError`
    naming every place searched when none holds them.
    """
    environ = os.environ if environ is None else environ
    searched = []
    for origin, path in _candidates(explicit, environ):
        if _has_tables(path):
            return path, origin
        searched.append(f"{path} ({origin})")
    raise TablesError(
        "no ecCodes definitions with bufr/tables found; searched: "
        + ("; ".join(searched) or "nothing")
        + ". Install them (Debian: apt-get install libeccodes-data) or pass definitions=..."
    )


def definitions_root(explicit=None) -> str:
    """The definitions root :func:`find_definitions` picks."""
    return find_definitions(explicit)[0]


def wmo_versions(root: str, master_table: int = 0) -> list[int]:
    """The master table versions present under ``root``, ascending."""
    folder = os.path.join(root, "bufr", "tables", str(master_table), "wmo")
    try:
        names = os.listdir(folder)
    except OSError:
        return []
    return sorted(int(name) for name in names if name.isdigit())


def nearest_version(wanted: int, present: list[int]) -> int | None:
    """The version to use for ``wanted``: itself, the nearest newer, else the newest older."""
    if wanted in present:
        return wanted
    newer = [v for v in present if v > wanted]
    if newer:
        return min(newer)
    return max(present) if present else None


_cache: dict[tuple, object] = {}
_versions: dict[tuple, tuple[int | None, str | None]] = {}
_lock = threading.Lock()


def _after_fork_in_child() -> None:
    # The child has only the forking thread: a lock another thread held while
    # loading tables would never be released there.
    global _lock
    _lock = threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)


def clear_cache() -> None:
    """Forget every loaded table set (for tests and for tables changed on disk)."""
    with _lock:
        _cache.clear()
        _versions.clear()


def _effective_version(root: str, master_table: int, version: int) -> tuple[int | None, str | None]:
    key = (root, master_table, version)
    found = _versions.get(key)
    if found is None:
        wmo = os.path.join(root, "bufr", "tables", str(master_table), "wmo")
        if os.path.exists(os.path.join(wmo, str(version))):
            found = (version, None)
        else:
            chosen = nearest_version(version, wmo_versions(root, master_table))
            warning = None
            if chosen is not None:
                warning = (
                    f"master table version {version} is not installed under {wmo}; "
                    f"version {chosen} was used instead"
                )
            found = (chosen, warning)
        _versions[key] = found
    return found


class TableResolver:
    """Gives each message its table set.

    Either one fixed table set for every message (``tables=``: a
    ``TableSet``, a directory of WMO BUFR4 CSV tables, or one ecCodes table
    directory), or the tables a definitions root holds for the message's header.
    """

    def __init__(self, definitions=None, tables=None):
        self.fixed = None
        self.root = None
        self.origin = None
        if tables is not None:
            self.fixed = _load_fixed(tables)
            self.origin = f"tables={tables!r}"
        else:
            self._explicit = definitions

    def _root(self) -> str:
        if self.root is None:
            self.root, self.origin = find_definitions(self._explicit)
        return self.root

    def describe(self, header: dict) -> str:
        """Where the tables of ``header`` were looked for, for error texts."""
        if self.fixed is not None:
            return self.origin
        root = self._root()
        master = header["master_table"]
        local = header["local_table_version"]
        version = header["master_table_version"]
        if version == 19:
            local_name = f"{version}-{local}"
        else:
            local_name = str(local)
        base = os.path.join(root, "bufr", "tables", str(master))
        return (
            f"searched {os.path.join(base, 'wmo', str(version))} and "
            f"{os.path.join(base, 'local', local_name, str(header['centre']), str(header['subcentre'] or 0))} "
            f"(centre {header['centre']}, sub-centre {header['subcentre']}, local version {local})"
        )

    def tables_for(self, header: dict) -> tuple[object, list[str]]:
        """(table set, warnings) for a message's header fields: the nearest version taken for a
        missing one, and the rows of the definition tree's tables read leniently."""
        if self.fixed is not None:
            return self.fixed, []
        root = self._root()
        master = header["master_table"]
        version, warning = _effective_version(root, master, header["master_table_version"])
        if version is None:
            raise TablesError(f"no WMO tables for master table {master} under {root}")
        local = header["local_table_version"]
        centre = header["centre"] if local else 0
        subcentre = (header["subcentre"] or 0) if local else 0
        key = (root, master, version, centre, subcentre, local)
        loaded = _cache.get(key)
        if loaded is None:
            with _lock:
                loaded = _cache.get(key)
                if loaded is None:
                    try:
                        loaded = _core.load_tables(root, master, version, centre, subcentre, local)
                    except ValueError as error:
                        raise TablesError(f"{error} ({self.describe(header)})") from None
                    _cache[key] = loaded
        tables, accepted = loaded
        return tables, ([warning] if warning is not None else []) + accepted


def _load_fixed(tables):
    if isinstance(tables, _vantrel.TableSet):
        return tables
    path = Path(os.fspath(tables))
    try:
        if any(path.glob("BUFRCREX_TableB_en*.csv")):
            return _vantrel.TableSet.from_bufr4_45(str(path))
        return _vantrel.TableSet.from_eccodes(str(path))
    except (OSError, ValueError) as error:
        raise TablesError(f"cannot load tables from {path}: {error}") from None
