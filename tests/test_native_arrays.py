"""The arrays of the native module: what their buffers export, and the packing
of the arguments of columns_many."""

from __future__ import annotations

import numpy as np
import pytest

import vantrel
from vantrel import _core

from bufr_builder import BitWriter, Element, build_message, write_table_dir

ITEMS = {"subset": ("I", 4), "descriptor": ("I", 4), "value": ("d", 8), "flags": ("B", 1), "slot": ("I", 4),
         "raw": ("Q", 8)}


@pytest.fixture()
def tables(tmp_path):
    return vantrel.TableSet.from_eccodes(str(write_table_dir(tmp_path / "t", [Element(12101, width=8)])))


def message(count: int) -> bytes:
    w = BitWriter()
    for i in range(count):
        w.write(i, 8)
    return build_message([12101] * count, w)


@pytest.mark.parametrize("count", [1, 2, 5])
@pytest.mark.parametrize("name", sorted(ITEMS))
def test_exported_views_count_items_not_bytes(name, count, tables):
    data = message(count)
    native = _core.columns(_core.index(data), 0, tables, "wmo", True)
    fmt, itemsize = ITEMS[name]
    view = memoryview(native[name])
    assert (view.format, view.itemsize, view.ndim) == (fmt, itemsize, 1)
    assert view.shape == (count,) and len(view) == count
    assert view.strides == (itemsize,)
    assert view.nbytes == count * itemsize
    assert view.tolist() == np.frombuffer(native[name], dtype=np.dtype(fmt)).tolist()


def test_text_offsets_view_has_one_more_item_than_rows(tables):
    data = message(3)
    view = memoryview(_core.columns(_core.index(data), 0, tables, "wmo", False)["text_offsets"])
    assert (view.format, view.shape, view.tolist()) == ("q", (4,), [0, 0, 0, 0])


@pytest.mark.parametrize("row_bytes, rejected", [(4, False), (6, True), (8, False), (10, True)])
def test_columns_many_rows_are_whole_uint32(row_bytes, rejected, tables):
    index = _core.index(message(1) * 2)
    count = row_bytes // 4
    rows = np.arange(count, dtype=np.uint32).tobytes() + bytes(row_bytes % 4)
    which = bytes(len(rows))
    if rejected:
        with pytest.raises(ValueError, match="rows and which must hold one uint32 each"):
            _core.columns_many(index, rows, [tables], which, "wmo", False, 1, None)
    else:
        native, errors, bits = _core.columns_many(index, rows, [tables], which, "wmo", False, 1, None)
        assert errors == [] and len(bits) == count
        assert np.frombuffer(native["message"], dtype=np.uint32).tolist() == list(range(1, count + 1))


@pytest.mark.parametrize("entry", ["header", "columns", "matrix", "decode"])
@pytest.mark.parametrize("row, outside", [(0, False), (1, False), (2, True), (2**32, True), (2**64 - 1, True)])
def test_rows_outside_the_index_are_refused(entry, row, outside, tables):
    index = _core.index(message(2) * 2)
    args = {"header": (), "columns": (tables, "wmo", False), "matrix": (tables, "wmo", 2)}.get(entry, (tables, "wmo"))
    call = index.header if entry == "header" else lambda r, *rest: getattr(_core, entry)(index, r, *rest)
    if outside:
        with pytest.raises(IndexError, match=f"^row {row} out of range for 2 messages$"):
            call(row, *args)
    else:
        call(row, *args)
