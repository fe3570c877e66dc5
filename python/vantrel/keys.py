"""Keys: the names users know values by.

A value's key is its element's abbreviation from the tables
(``airTemperature``) when the tables have one, else its descriptor as six
digits (``"012101"``). Within one subset the first occurrence of a key is the
bare key, the second ``#2#airTemperature``, and so on; ``#1#airTemperature``
is accepted wherever a key is selected and means the bare key.

Code tables resolve to their meaning; flag tables to the list of meanings of
the bits that are set (bit 1 is the most significant of the element's width).
"""

from __future__ import annotations

import re
from typing import Iterable

from . import _core

__all__ = ["ASSOCIATED_FIELD_KEY", "ATTRIBUTE_SEPARATOR", "key_of", "ranked", "split_rank", "canonical", "unit_of",
           "meaning_of", "element_keys_of", "qualified"]

ASSOCIATED_FIELD_KEY = "associatedField"
# An attribute's key: the key of the value it qualifies, "->" and its name
# (``"#2#airTemperature->percentConfidence"``); the names of marker values.
ATTRIBUTE_SEPARATOR = _core.ATTRIBUTE_SEPARATOR
ATTRIBUTE_NAMES = frozenset(_core.ATTRIBUTE_NAMES)
_RANKED = re.compile(r"^#(\d+)#(.+)$")


def key_of(code: int, tables) -> str:
    """The key of a descriptor: its element's abbreviation, else six digits."""
    return _core.key_of(tables, code)


def ranked(keys: Iterable[str]) -> list[str]:
    """The keys of one subset's values in order, repeated ones ranked ``#n#key``."""
    return _core.ranked_keys(keys)


# The rank of a name that selects every rank of its key (``"~x"``).
ALL_RANKS = 0


def split_rank(name: str) -> tuple[int, str]:
    """(rank, key) of a selected name: ``"#2#x"`` is (2, "x"), ``"x"`` and ``"#1#x"`` are (1, "x"),
    ``"~x"`` (every rank of x) is (ALL_RANKS, "x")."""
    match = _RANKED.match(name)
    if match:
        return int(match.group(1)), match.group(2)
    if name.startswith("~") and len(name) > 1:
        return ALL_RANKS, name[1:]
    return 1, name


def canonical(name: str) -> str:
    """The ranked form a selected name stands for (``"#1#x"`` is ``"x"``; ``"~x"`` stays)."""
    rank, key = split_rank(name)
    if rank == ALL_RANKS:
        return f"~{key}"
    return key if rank == 1 else f"#{rank}#{key}"


def selects(name: str, column: str) -> bool:
    """Whether selected name `name` covers the column (or long-form key) `column`: the same
    ranked key, or any rank of its key for ``"~key"``."""
    rank, key = split_rank(name)
    if rank == ALL_RANKS:
        return split_rank(column)[1] == key and not column.startswith("~")
    return canonical(column) == canonical(name)


def wigos_identifier(series, issuer, issue, local) -> str | None:
    """The WIGOS station identifier "series-issuer-issue-local" of its four parts (numbers and
    a text), or None when a part is missing (NaN, None or a blank text)."""
    numbers = (series, issuer, issue)
    if any(n is None or n != n for n in numbers) or not isinstance(local, str) or not local.strip():
        return None
    return "-".join(str(int(n)) for n in numbers) + "-" + local.strip()


def element_keys_of(key: str) -> list[str]:
    """The element keys a (bare) key is made of: itself, or the parts of an attribute's key
    but the names of marker values (``"x->percentConfidence"``: x and percentConfidence)."""
    parts = key.split(ATTRIBUTE_SEPARATOR)
    return [part for part in parts if part not in ATTRIBUTE_NAMES] if len(parts) > 1 else parts


def qualified(ranked_key: str) -> str | None:
    """The ranked key of the value an attribute qualifies (``"#2#x->percentConfidence"``:
    ``"#2#x"``), or None for a key of no attribute."""
    if ATTRIBUTE_SEPARATOR not in ranked_key:
        return None
    return ranked_key.rsplit(ATTRIBUTE_SEPARATOR, 1)[0]


def unit_of(code: int, tables) -> str | None:
    """The unit of an element descriptor, or None."""
    if code < 100000:
        element = tables.get_element(code)
        if element is not None:
            return element.unit
    return None


def meaning_of(code: int, raw, tables, missing: bool = False):
    """A code table value's meaning (str), a flag table value's meanings of set bits (list), or None
    (also for a missing value)."""
    if missing or raw is None:
        return None
    return _core.meaning_of(tables, code, raw)



def codes_of(keys, tables) -> set[int]:
    """The element codes whose key (see :func:`key_of`) is one of `keys` in `tables`."""
    return set(_core.codes_of(tables, list(keys)))
