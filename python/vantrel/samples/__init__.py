"""Small real BUFR files shipped with the package (see README.md beside this file).

>>> import vantrel, vantrel.samples
>>> reader = vantrel.open(vantrel.samples.path("synop"))   # doctest: +SKIP
"""

from __future__ import annotations

import os

__all__ = ["SAMPLES", "path", "names"]

#: Sample name -> file name, in this folder.
SAMPLES = {
    "synop": "synop_multi_subset_uncompressed.bufr",
    "radiosonde": "IUSK73_AMMC_182300.bufr",
    "satellite": "aaen_55.bufr",
}


def names() -> list[str]:
    """The names of the shipped samples."""
    return list(SAMPLES)


def path(name: str = "synop") -> str:
    """The path of the shipped sample ``name`` (one of :func:`names`)."""
    try:
        file = SAMPLES[name]
    except KeyError:
        raise ValueError(f"no sample named {name!r}; samples are {', '.join(SAMPLES)}") from None
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), file)
