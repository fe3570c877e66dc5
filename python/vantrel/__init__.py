"""vantrel: a fast BUFR decoder for Python.

``vantrel.open`` reads every message of real archives (editions 2, 3 and 4),
finds the tables each message needs and decodes its values. The low-level
module ``_vantrel`` (strict, edition 4, one message at a time) is re-exported
here as well.
"""

# In a build tree the native module lies in a folder vantrel/ of its own.
__path__ = __import__("pkgutil").extend_path(__path__, __name__)

from _vantrel import (
    BufrMessage,
    DecodedValue,
    Descriptor,
    ElementDefinition,
    SequenceDefinition,
    TableSet,
    decode_values,
    decode_values_with_definitions,
    decode_values_with_tables,
    expand_descriptors,
    parse_all_bytes,
    parse_all_file,
    parse_bytes,
    parse_file,
)

from .errors import BufrError, BufrWarning, DataError, FramingError, HeaderError, TablesError
from .reader import Message, Reader, open
from .read import read_bufr
from . import samples

__version__ = "0.2.0"

__all__ = [
    "open",
    "read_bufr",
    "samples",
    "Reader",
    "Message",
    "BufrError",
    "FramingError",
    "HeaderError",
    "TablesError",
    "DataError",
    "BufrWarning",
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
