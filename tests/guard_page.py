"""Byte strings that end right before an unreadable page.

A Python ``bytes`` object always carries a hidden NUL after its data, so a
reader that strays one byte past the end of its input finds a zero there and
goes unnoticed. The helpers here place the data at the very end of an
anonymous ``mmap`` region and make the page after it ``PROT_NONE``: the last
data byte is the last readable byte, and any read past it kills the process
with SIGSEGV (pytest then reports the crash).

    view = guarded_view(message)     # zero-copy read-only memoryview
    data = guarded_bytes(message)    # a real ``bytes`` object, for functions
                                     # that accept nothing else

``guarded_bytes`` builds a ``bytes`` object in place: the interpreter's
header of a bytes object, then the data, then the unreadable page where the
hidden NUL would be. Its reference count is set so high that it is never
freed; the regions live until the process ends. Such an object must not be
handed to code that reads it as a NUL-terminated C string (``int(b)``,
``float(b)``); ``_vantrel`` reads it by its length, as every buffer should be.
"""

from __future__ import annotations

import ctypes
import mmap
import sys

PAGE = mmap.PAGESIZE
PROT_NONE = 0  # <sys/mman.h>; the mmap module exports only PROT_READ and PROT_WRITE
_libc = ctypes.CDLL(None, use_errno=True)
_libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
_libc.mprotect.restype = ctypes.c_int

# Every region made, kept for the life of the process: views and objects into
# them may outlive the caller's interest.
_regions: list[tuple[mmap.mmap, ctypes.c_char]] = []

# Layout of a bytes object: the header, then the data (ob_sval).
_BYTES_HEADER = bytes.__basicsize__ - 1
_HEADER_FIELDS = 4  # ob_refcnt, ob_type, ob_size, ob_shash (Py_ssize_t each)
assert _BYTES_HEADER == _HEADER_FIELDS * ctypes.sizeof(ctypes.c_ssize_t), "unexpected bytes layout"
assert sys.implementation.name == "cpython"


def _region(room: int) -> tuple[mmap.mmap, int, int]:
    """A new region with at least `room` readable bytes before a PROT_NONE
    page; returns it, its address and the offset of the guard page."""
    readable = max(1, -(-room // PAGE)) * PAGE
    region = mmap.mmap(-1, readable + PAGE, prot=mmap.PROT_READ | mmap.PROT_WRITE)
    anchor = ctypes.c_char.from_buffer(region)  # also pins the mapping: it can no longer be closed
    address = ctypes.addressof(anchor)
    if _libc.mprotect(address + readable, PAGE, PROT_NONE) != 0:
        raise OSError(ctypes.get_errno(), "mprotect failed")
    _regions.append((region, anchor))
    return region, address, readable


def guarded_view(data: bytes) -> memoryview:
    """A read-only, zero-copy view of a copy of `data` whose last byte is the
    last readable byte before a PROT_NONE page."""
    region, _, end = _region(len(data))
    start = end - len(data)
    region[start:end] = data
    return memoryview(region)[start:end].toreadonly()


def guarded_bytes(data: bytes) -> bytes:
    """A ``bytes`` object equal to `data` whose hidden NUL would lie on a
    PROT_NONE page: reading one byte past its data crashes. The empty
    string is the interpreter's own (it reads the first byte of any bytes
    object, even an empty one, when comparing)."""
    if not data:
        return b""
    region, address, end = _region(len(data) + _BYTES_HEADER)
    start = end - len(data) - _BYTES_HEADER
    header = (ctypes.c_ssize_t * _HEADER_FIELDS)(1 << 40, id(bytes), len(data), -1)
    region[start:start + _BYTES_HEADER] = bytes(header)
    region[start + _BYTES_HEADER:end] = data
    made = ctypes.cast(address + start, ctypes.py_object).value
    assert type(made) is bytes and len(made) == len(data)
    return made
