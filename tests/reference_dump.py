"""Plain-data dumps of decoded messages: one dict per subset, JSON-ready.

The layout is the one of the reference dumps users compare decoders with:
``{"file", "message", "subset", "items": [[code, value], ...]}``, where a value
is a float, a text, or None when missing; operator records carry a third
element ``"op"``; a message that fails is one line ``{"file", "message", "error"}``.
"""

from __future__ import annotations

from typing import Iterator

from vantrel import Reader

__all__ = ["value_item", "message_lines", "reader_lines"]

_OPERATOR = "operator"


def value_item(value) -> list:
    """``[code, value]`` (or ``[code, 0.0, "op"]`` for an operator record) of a DecodedValue."""
    if value.raw_text is not None or (value.raw is None and value.name != _OPERATOR):
        # Character data: the text, or None when missing.
        return [value.descriptor, value.raw_text]
    if value.name == _OPERATOR:
        if value.raw is None:  # the text a 2 05 YYY operator carries
            return [value.descriptor, value.raw_text]
        return [value.descriptor, value.raw_value, "op"]
    return [value.descriptor, value.raw_value]


def message_lines(message, file: str) -> Iterator[dict]:
    """The dump lines of one message: one per subset, or one error line."""
    try:
        subsets = message.subsets()
    except ValueError as error:
        yield {"file": file, "message": message.index, "error": str(error)}
        return
    for number, values in enumerate(subsets, 1):
        yield {"file": file, "message": message.index, "subset": number, "items": [value_item(v) for v in values]}


def reader_lines(reader: Reader, file: str) -> Iterator[dict]:
    """The dump lines of every message of a reader, in file order."""
    for message in reader:
        yield from message_lines(message, file)
