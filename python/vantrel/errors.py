"""The package's exceptions: one class per kind of failure of a message.

Every class is a ``ValueError``, so code written against the low-level module
(which raises ``ValueError``) keeps working.
"""

from __future__ import annotations

__all__ = ["BufrError", "FramingError", "HeaderError", "TablesError", "DataError", "BufrWarning",
           "FailedMessagesWarning"]


class BufrError(ValueError):
    """A message could not be read. ``index`` and ``offset`` locate it in its source."""

    def __init__(self, text: str, index: int | None = None, offset: int | None = None):
        if index is not None and offset is not None:
            text = f"message {index} at offset {offset}: {text}"
        super().__init__(text)
        self.index = index
        self.offset = offset


class FramingError(BufrError):
    """Bytes that do not frame a message ("BUFR", a length, "7777"). Not raised: readers skip
    such bytes with a warning (``Reader.warnings``) and keep every message around them. The
    class stays so that code catching it keeps working."""


class HeaderError(BufrError):
    """A framed message whose sections 0 to 3 are unreadable (edition, section lengths)."""


class TablesError(BufrError):
    """The tables a message needs are missing, or an element is not in them."""


class DataError(BufrError):
    """Section 4 does not decode with the message's descriptors (too short, bad values)."""


class BufrWarning(UserWarning):
    """What the reader accepted in the data (a skipped byte range, a table version taken for a
    missing one, an edition 4 year of century...), or messages that failed and were skipped.
    ``warnings.simplefilter("ignore", vantrel.BufrWarning)`` silences them."""


class FailedMessagesWarning(BufrWarning):
    """Messages that failed and were skipped (``read_bufr(errors="warn")``): how many, and the first."""
