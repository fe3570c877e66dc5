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
    native = _core.columns(data, 0, len(data), tables, "wmo", True)
    fmt, itemsize = ITEMS[name]
    view = memoryview(native[name])
    assert (view.format, view.itemsize, view.ndim) == (fmt, itemsize, 1)
    assert view.shape == (count,) and len(view) == count
    assert view.strides == (itemsize,)
    assert view.nbytes == count * itemsize
    assert view.tolist() == np.frombuffer(native[name], dtype=np.dtype(fmt)).tolist()


def test_text_offsets_view_has_one_more_item_than_rows(tables):
    data = message(3)
    view = memoryview(_core.columns(data, 0, len(data), tables, "wmo", False)["text_offsets"])
    assert (view.format, view.shape, view.tolist()) == ("q", (4,), [0, 0, 0, 0])


@pytest.mark.parametrize("frame_words, rejected", [(2, False), (3, True), (4, False), (5, True)])
def test_columns_many_frames_hold_whole_pairs(frame_words, rejected, tables):
    data = message(1)
    words = [0, len(data)] * (frame_words // 2) + [0] * (frame_words % 2)
    count = frame_words // 2
    frames = np.array(words, dtype=np.uint64).tobytes()
    numbers = np.arange(1, count + 1, dtype=np.uint32).tobytes()
    if rejected:
        with pytest.raises(ValueError, match="frames must pack"):
            _core.columns_many(data, frames, numbers, [tables] * count, "wmo", False, 1, None)
    else:
        native, errors, bits = _core.columns_many(data, frames, numbers, [tables] * count, "wmo", False, 1, None)
        assert errors == [] and len(bits) == count
        assert np.frombuffer(native["message"], dtype=np.uint32).tolist() == list(range(1, count + 1))


@pytest.mark.parametrize("entry", ["header", "columns", "matrix", "decode"])
@pytest.mark.parametrize(
    "offset, length, outside",
    [
        (0, None, False),           # the message itself
        ("end", 0, False),          # an empty slice at the very end: inside, but no message
        ("end+1", 0, True),
        ("end+1", 8, True),
        (2**63, 0, True),
        (2**64 - 1, 1, True),
        (1, None, True),            # one byte past the end
    ],
)
def test_message_slices_outside_the_data_are_refused(entry, offset, length, outside, tables):
    data = message(2)
    offset = {"end": len(data), "end+1": len(data) + 1}.get(offset, offset)
    length = len(data) if length is None else length
    args = (data, offset, length) + {"header": (), "columns": (tables, "wmo", False),
                                     "matrix": (tables, "wmo", 2)}.get(entry, (tables, "wmo"))
    call = getattr(_core, entry)
    if outside:
        with pytest.raises(ValueError, match=f"^message at offset {offset} of {length} bytes lies outside the "
                                             f"{len(data)} bytes of data$"):
            call(*args)
    elif offset == 0:
        call(*args)
    else:
        with pytest.raises(ValueError) as raised:
            call(*args)
        assert "lies outside" not in str(raised.value)
