"""vantrel: a fast BUFR edition 4 decoder.

The decoding core is the extension module ``_vantrel``; this package is its
public face and re-exports its classes and functions.
"""

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

__version__ = "0.1.0"

__all__ = [
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
