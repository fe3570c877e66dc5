"""vantrel: a fast BUFR decoder for Python.

``vantrel.open`` reads every message of real archives (editions 2, 3 and 4),
finds the tables each message needs and decodes its values;
``vantrel.read_bufr`` gives them as one pandas DataFrame. The low-level module
``_vantrel`` (strict rules, edition 4, one message at a time) is re-exported
here as well, its functions with documentation.

Records of the low-level module:

``DecodedValue``: one decoded value. ``descriptor`` (FXXYYY as an int, 999999
for an associated field), ``name`` (the element's name, "operator" for an
operator's record), ``raw`` (the number read, or None), ``raw_value`` (the
scaled value; None when missing), ``raw_text`` (the text of character data),
``raw_meaning`` (the code table meaning of ``raw``) and ``data`` (the text,
else the meaning, else the number). Values the package decodes under its
default rules carry no character position code as ``raw_value``.

``BufrMessage``: the header of one edition 4 message, as ``parse_bytes``
reads it: ``edition``, ``originating_centre``, ``data_category``,
``typical_year`` ... ``number_of_subsets``, ``observed_data``,
``compressed_data``, ``unexpanded_descriptors`` and the section offsets.
"""

# In a build tree the native module lies in a folder vantrel/ of its own.
__path__ = __import__("pkgutil").extend_path(__path__, __name__)

import _vantrel
from _vantrel import BufrMessage, DecodedValue, Descriptor, ElementDefinition, SequenceDefinition, TableSet


# The functions of _vantrel, with their documentation (the module's own carry only signatures).

def parse_bytes(data):
    """The header (``BufrMessage``) of the one edition 4 message that ``data`` (a bytes-like
    object) holds; ``ValueError`` when it is not exactly one good message."""
    return _vantrel.parse_bytes(data)


def parse_file(path):
    """``parse_bytes`` of the whole file at ``path``; ``OSError`` when it cannot be read."""
    return _vantrel.parse_file(path)


def parse_all_bytes(data):
    """The headers of every message of ``data``, in order; the first bad one raises ``ValueError``."""
    return _vantrel.parse_all_bytes(data)


def parse_all_file(path):
    """``parse_all_bytes`` of the whole file at ``path``."""
    return _vantrel.parse_all_file(path)


def decode_values(data, table_dir):
    """Every ``DecodedValue`` of the message in ``data``, subset after subset, with the tables of
    one ecCodes table folder ``table_dir``, under the strict rules."""
    return _vantrel.decode_values(data, table_dir)


def decode_values_with_tables(data, tables):
    """As ``decode_values``, with a ``TableSet`` loaded once (and its decode plans kept)."""
    return _vantrel.decode_values_with_tables(data, tables)


def decode_values_with_definitions(data, definitions_root):
    """As ``decode_values``, with the tables the message's header picks under an ecCodes
    definitions root."""
    return _vantrel.decode_values_with_definitions(data, definitions_root)


def expand_descriptors(table_dir, descriptors):
    """The descriptors with every Table D sequence replaced by its members, with the tables of one
    ecCodes table folder."""
    return _vantrel.expand_descriptors(table_dir, descriptors)


from .errors import BufrError, BufrWarning, DataError, FailedMessagesWarning, FramingError, HeaderError, TablesError
from .archive import Message, Reader, open
from .read import read_bufr, stream_bufr
from . import samples
from ._core import HEADER_QUIRKS

__version__ = "0.2.0"

__all__ = [
    "HEADER_QUIRKS",
    "open",
    "read_bufr",
    "stream_bufr",
    "samples",
    "Reader",
    "Message",
    "BufrError",
    "FramingError",
    "HeaderError",
    "TablesError",
    "DataError",
    "BufrWarning",
    "FailedMessagesWarning",
    "BufrMessage",
    "DecodedValue",
    "Descriptor",
    "ElementDefinition",
    "SequenceDefinition",
    "TableSet",
    "decode_values",
    "decode_values_with_definitions",
    "decode_values_with_tables",
    "expand_descriptors",
    "parse_all_bytes",
    "parse_all_file",
    "parse_bytes",
    "parse_file",
]
