"""Typed outputs against the value records, over the shared corpora: Message.columns()
row by row against Message.values(), matrix() against the columns, Reader.columns()
(one native call for all messages) against the messages one by one, the interpreter
lock released while decoding, and the memory a whole-file decode peaks at."""

from __future__ import annotations

import json
import math
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import vantrel
from vantrel import _core, dataframes as frames

from bufr_builder import BitWriter, Element, build_message, write_table_dir
from conftest import PROJECT_ROOT, SHARED_DATA

CORPUS = sorted((SHARED_DATA / "bufr").glob("*.bufr")) + sorted((SHARED_DATA / "bufr-ed3").glob("*.bufr"))
HIRS = SHARED_DATA / "bufr" / "hirs_metop_compressed.bufr"
# hirs holds 17 million values: its first message stands for the rest.
SAMPLED = {"hirs_metop_compressed.bufr": 1}


def corpus_ids():
    return [f"{p.parent.name}/{p.name}" for p in CORPUS]


@pytest.fixture(params=CORPUS, ids=corpus_ids())
def corpus_file(request, eccodes_root):
    return request.param


def decodable(reader):
    for message in list(reader)[: SAMPLED.get(reader.name.rsplit("/", 1)[-1])]:
        try:
            values = message.values()
        except ValueError:
            continue
        yield message, values


def concat_columns(parts, raw):
    """The columns of several messages (Arrow text layout) one after the other, built
    with numpy from the messages one by one."""
    names = ["subset", "descriptor", "value", "flags", "slot"] + (["raw"] if raw else [])
    lengths = [len(cols["subset"]) for _, cols in parts]
    out = {"message": np.repeat(np.array([index for index, _ in parts], dtype=np.uint32), lengths)}
    for name in names:
        out[name] = np.concatenate([cols[name] for _, cols in parts])
    bases = np.cumsum([0] + [len(cols["text_bytes"]) for _, cols in parts])
    out["text_offsets"] = np.concatenate(
        [[0]] + [cols["text_offsets"][1:] + base for (_, cols), base in zip(parts, bases)]).astype(np.int64)
    out["text_bytes"] = np.frombuffer(b"".join(cols["text_bytes"].tobytes() for _, cols in parts), dtype=np.uint8)
    return out


def walk_order(cols):
    return np.lexsort((cols["slot"], cols["subset"]))


def test_columns_equal_values_record_by_record(corpus_file):
    checked = 0
    with vantrel.open(corpus_file) as reader:
        for message, values in decodable(reader):
            cols = message.columns(raw=True)
            order = walk_order(cols)
            assert len(order) == len(values)
            for row, v in zip(order.tolist(), values):
                flags = int(cols["flags"][row])
                value = float(cols["value"][row])
                assert cols["descriptor"][row] == v.descriptor
                if flags & frames.CHARACTER:
                    assert bool(flags & frames.MISSING) == (v.raw_text is None)
                    assert cols["text"][row] == v.raw_text
                    assert math.isnan(value)
                    continue
                assert cols["text"][row] is None
                if flags & frames.OPERATOR:
                    assert math.isnan(value) and v.raw == 0 and cols["raw"][row] == 0
                    continue
                assert bool(flags & frames.MISSING) == (v.raw_value is None)
                assert math.isnan(value) if v.raw_value is None else value == v.raw_value
                assert cols["raw"][row] == v.raw
                assert bool(flags & frames.HAS_MEANING) == (v.raw_meaning is not None)
                assert bool(flags & frames.ASSOCIATED) == (v.descriptor == 999999)
            checked += 1
    if not checked:
        pytest.skip(f"no message of {corpus_file.name} decodes")


@pytest.mark.parametrize("threads", [1, 2])
def test_matrix_equals_columns_where_regular(corpus_file, threads):
    # Two threads: compressed columns are filled after the walk, on both.
    checked = 0
    with vantrel.open(corpus_file) as reader:
        for message, _ in decodable(reader):
            result = message.matrix(threads=threads)
            cols = message.columns()
            if result is None:
                # Irregular: some slot holds different descriptors, or subsets differ in length.
                assert not message.compressed
                continue
            matrix, descriptors = result
            assert matrix.shape == (message.number_of_subsets, len(descriptors))
            assert len(cols["value"]) == matrix.size
            rows = cols["subset"].astype(np.int64) - 1
            slots = cols["slot"].astype(np.int64)
            np.testing.assert_array_equal(matrix[rows, slots], cols["value"])  # NaN equals NaN here
            np.testing.assert_array_equal(descriptors[slots], cols["descriptor"])
            checked += 1
    if not checked:
        pytest.skip(f"no regular message in {corpus_file.name}")


@pytest.mark.parametrize(("raw", "threads"), [(False, 1), (True, 1), (False, 2), (True, 3), (False, None)])
@pytest.mark.parametrize("name", ["bufr/multi_invalid_messages.bufr", "bufr/synop_dwd_multi.bufr",
                                  "bufr-ed3/ens_multi_subset_compressed.bufr", "bufr/aaen_55.bufr",
                                  "bufr-ed3/temp.bufr"])
def test_reader_columns_are_the_messages_one_after_the_other(name, raw, threads, eccodes_root):
    path = SHARED_DATA / name
    if not path.is_file():
        pytest.skip(f"{name} is not available")
    with vantrel.open(path) as reader:
        expected, failed = [], []
        for message in reader:
            try:
                expected.append((message.index, frames.message_columns(message, raw, layout=True)))
            except ValueError as error:
                failed.append(str(error))
        with vantrel.open(path) as again:
            got = again.columns(raw=raw, threads=threads)
            assert [str(e) for e in again.errors] == failed
    want = concat_columns(expected, raw)
    assert list(got) == list(want)
    for key in want:
        assert got[key].dtype == want[key].dtype, key
        np.testing.assert_array_equal(got[key], want[key], err_msg=key)


@pytest.mark.parametrize("threads", [1, 2, 4])
@pytest.mark.parametrize("bad", [0, 1, 3])
def test_a_failed_message_keeps_its_neighbours(bad, threads, eccodes_root, tmp_path):
    path = SHARED_DATA / "bufr" / "synop_dwd_multi.bufr"
    if not path.is_file():
        pytest.skip("synop_dwd_multi.bufr is not available")
    empty = vantrel.TableSet.from_eccodes(str(write_table_dir(tmp_path / "empty", [])))
    with vantrel.open(path) as reader:
        messages = [reader[i] for i in range(4)]
        tables = [m.tables() for m in messages] + [empty]
        alone = [(m.index, frames.native_columns(_core.columns(reader._index, m.index - 1, t, "wmo", False),
                                                 False, True))
                 for m, t in zip(messages, tables) if m.index != bad + 1]
        # Message `bad` decodes with tables that lack its elements: it fails and leaves no rows.
        which = np.array([4 if i == bad else i for i in range(4)], dtype=np.uint32)
        native, errors, bits = _core.columns_many(reader._index, np.arange(4, dtype=np.uint32), tables,
                                                  which, "wmo", False, threads, None)
    assert [(position, kind) for position, kind, _ in errors] == [(bad, "tables")]
    assert [position for position, _, _, _ in bits] == [i for i in range(4) if i != bad]
    want = concat_columns(alone, False)
    for key, dtype in (("message", np.uint32), ("value", np.float64), ("slot", np.uint32),
                       ("text_offsets", np.int64), ("text_bytes", np.uint8)):
        np.testing.assert_array_equal(np.frombuffer(native[key], dtype=dtype), want[key], err_msg=key)


@pytest.mark.parametrize(
    "rows, tables_count, which, error",
    [
        ([0], 1, [1], IndexError),      # no such table set
        ([2], 1, [0], IndexError),      # no such message
        ([0, 1], 1, [0], ValueError),   # a row without its table set
        ([0], None, [0], TypeError),    # tables not a list
    ],
)
def test_columns_many_rejects_mismatched_arguments(rows, tables_count, which, error, latest_wmo_dir):
    tables = vantrel.TableSet.from_eccodes(str(latest_wmo_dir))
    index = _core.index(build_message([1001], BitWriter().write(5, 7)) * 2)
    with pytest.raises(error):
        _core.columns_many(index, np.array(rows, dtype=np.uint32),
                           tables if tables_count is None else [tables] * tables_count,
                           np.array(which, dtype=np.uint32), "wmo", False, 1, None)


def test_columns_many_of_nothing(latest_wmo_dir):
    native, errors, _ = _core.columns_many(_core.index(b""), b"", [], b"", "wmo", False, 1, None)
    assert errors == []
    assert all(len(memoryview(native[k])) == (1 if k == "text_offsets" else 0) for k in native)


# ---- the interpreter lock --------------------------------------------------------------------

def hirs_reader():
    if not HIRS.is_file():
        pytest.skip("hirs_metop_compressed.bufr is not available")
    return vantrel.open(HIRS)


def native_calls(reader):
    """Each decoding entry point of the native module over hirs, as a callable."""
    tables = reader[0].tables()
    rows = np.arange(len(reader), dtype=np.uint32)
    index = reader._index
    return {
        "columns_many": lambda: _core.columns_many(index, rows, [tables], np.zeros_like(rows), "wmo", False, 1, None),
        "columns": lambda: _core.columns(index, 0, tables, "wmo", False),
        "matrix": lambda: _core.matrix(index, 0, tables, "wmo", 1),
    }


@pytest.mark.parametrize("entry", ["columns_many", "columns", "matrix"])
def test_decoding_releases_the_interpreter_lock(entry, eccodes_root):
    with hirs_reader() as reader:
        call = native_calls(reader)[entry]
        call()  # plans compiled, tables loaded
        state = {"decoding": False, "seen": 0, "stop": False}

        def count():
            while not state["stop"]:
                if state["decoding"]:
                    state["seen"] += 1
                time.sleep(0)  # hands the lock back at once

        interval = sys.getswitchinterval()
        # No forced switches: the counter runs during the call only if the call lets go of the lock.
        sys.setswitchinterval(100.0)
        thread = threading.Thread(target=count)
        try:
            thread.start()
            state["decoding"] = True
            # The counter thread may take a while to be scheduled: call again until it has run
            # (never, if the lock stays held).
            for _ in range(50):
                call()
                if state["seen"]:
                    break
            state["decoding"] = False
        finally:
            state["stop"] = True
            sys.setswitchinterval(interval)
            thread.join()
    assert state["seen"] > 0


# ---- forks -----------------------------------------------------------------------------------

def child_outcome(work, timeout: float = 10.0) -> str:
    """Forks; the child runs `work` and exits. "done", "failed" or "hung"."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            work()
            code = 0
        finally:
            os._exit(code)
    deadline = time.monotonic() + timeout
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return "done" if os.waitstatus_to_exitcode(status) == 0 else "failed"
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            return "hung"
        time.sleep(0.0005)


needs_fork = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")


@needs_fork
@pytest.mark.skipif(os.environ.get("VANTREL_SANITIZED") == "1",
                    reason="the preloaded sanitizer runtime's allocator keeps its locks across a fork")
def test_a_fork_during_decodes_leaves_the_child_free_to_decode(tmp_path):
    # Decodes on other threads take the locks of the plan cache and of the
    # released blocks thousands of times a second; a fork that copied one of
    # them locked would leave the child stuck at its first decode. Tiny
    # messages keep the decoding threads in those locks often enough that
    # 400 forks meet one nearly always.
    tables = write_table_dir(tmp_path / "t", [Element(12101, "TEMPERATURE", "K", 1, 0, 8, "airTemperature")])
    with vantrel.open(build_message([12101], BitWriter().write(5, 8)) * 20000, tables=tables) as reader:
        first = reader[0]
        expected = first.columns()["value"]
        state = {"stop": False}

        def churn():
            while not state["stop"]:
                reader.columns(threads=2)

        def child():
            assert np.array_equal(first.columns()["value"], expected)

        thread = threading.Thread(target=churn)
        thread.start()
        try:
            outcomes = [child_outcome(child) for _ in range(400)]
        finally:
            state["stop"] = True
            thread.join()
    assert set(outcomes) == {"done"}, {o: outcomes.count(o) for o in outcomes}


@needs_fork
def test_a_fork_while_tables_load_leaves_the_child_free_to_load_tables():
    loading, release = threading.Event(), threading.Event()

    def hold():
        with vantrel.tables._lock:
            loading.set()
            release.wait()

    thread = threading.Thread(target=hold)
    thread.start()
    try:
        loading.wait()
        outcome = child_outcome(vantrel.tables.clear_cache)
    finally:
        release.set()
        thread.join()
    assert outcome == "done"


@needs_fork
def test_a_fork_after_tables_were_released_and_loaded_again():
    # Locks of table sets (their plan caches) that were collected leave the fork's list of locks.
    import gc

    path = vantrel.samples.path("synop")
    for _ in range(3):
        # Two table sets at once (two samples of other table versions): the one made first is
        # released from the middle of the list.
        for name in ("synop", "satellite", "radiosonde"):
            with vantrel.open(vantrel.samples.path(name)) as reader:
                reader.columns()
        vantrel.tables.clear_cache()
        gc.collect()
    with vantrel.open(path) as reader:
        expected = len(reader.columns()["value"])

        def decode():
            assert len(reader.columns(threads=2)["value"]) == expected

        assert child_outcome(decode) == "done"


# ---- memory ----------------------------------------------------------------------------------

MEASURE = r"""
import json, sys, time, tracemalloc
sys.path[:0] = {paths!r}
import vantrel

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

reader = vantrel.open({path!r})
reader[0].columns()  # tables and plans loaded
before = status("VmRSS")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak starts again from here
tracemalloc.start()
cols = reader.columns()
traced_peak = tracemalloc.get_traced_memory()[1]
tracemalloc.stop()
result = sum(a.nbytes for a in cols.values())
peak = status("VmHWM") - before
del cols
time.sleep(6)  # released blocks are kept for 5 s at most
print(json.dumps({{"rss_peak": peak, "traced_peak": traced_peak, "result": result, "errors": len(reader.errors),
                   "before": before, "settled": status("VmRSS")}}))
"""


def test_whole_file_columns_peak_near_the_size_of_the_result_and_go_back_on_time(eccodes_root):
    if not HIRS.is_file():
        pytest.skip("hirs_metop_compressed.bufr is not available")
    if not __import__("os").path.exists("/proc/self/clear_refs"):
        pytest.skip("needs /proc/self/clear_refs to measure the peak")
    paths = [p for p in sys.path if p]
    script = MEASURE.format(paths=paths, path=str(HIRS))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, cwd=PROJECT_ROOT,
                          check=True)
    figures = json.loads(done.stdout.strip().splitlines()[-1])
    assert figures["errors"] == 0
    assert figures["result"] > 400 << 20  # the arrays of 17 million rows
    # The arrays are the only large thing the decode builds: no doubled growth, no copies.
    assert figures["rss_peak"] <= 1.5 * figures["result"]
    # numpy allocates nothing of that size on the way: the arrays are the native blocks.
    assert figures["traced_peak"] <= 0.05 * figures["result"]
    # Released, they are kept a few seconds for the next decode, then given back, with no decode to prompt it
    # (all but what an allocator keeps of its own: under the sanitizers, freed memory waits in quarantine).
    assert figures["settled"] - figures["before"] <= 0.1 * figures["result"], figures


def test_released_large_columns_serve_the_next_decode_without_stale_rows(eccodes_root):
    # The first whole-file decode leaves hundreds of megabytes of released
    # arrays behind; the next decodes write into those pages. Every row must
    # come from the new decode (compared with the messages decoded one by one,
    # whose blocks are kept and reused in turn), and the resident size must
    # settle instead of growing by the released size each time.
    if not HIRS.is_file():
        pytest.skip("hirs_metop_compressed.bufr is not available")
    with vantrel.open(HIRS) as reader:
        del reader.columns()["value"]  # the whole file, then released
        resident = []
        for _ in range(3):
            cols = reader.columns(select=lambda m: m.index % 2 == 0)
            resident.append(_status_kib("VmRSS"))
            expected = [m.columns() for m in reader if m.index % 2 == 0]
            for name in ("subset", "descriptor", "flags", "slot"):
                assert np.array_equal(cols[name], np.concatenate([e[name] for e in expected])), name
            np.testing.assert_array_equal(cols["value"], np.concatenate([e["value"] for e in expected]))
            numbers = [m.index for m in reader if m.index % 2 == 0]
            assert np.array_equal(cols["message"], np.repeat(numbers, [len(e["subset"]) for e in expected]))
            del cols, expected
    assert resident[2] - resident[1] < 64 << 10, resident


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    pytest.skip("needs /proc/self/status")


@pytest.mark.parametrize("order, threads", [(1, 1), (-1, 2)])
def test_matrices_of_one_list_with_other_subsets_each(order, threads, eccodes_root):
    # The hirs messages share their descriptor list but not their subsets
    # (150k to 376k cells): each matrix is reserved from the columns the
    # previous one had, whichever of the two is larger.
    if not HIRS.is_file():
        pytest.skip("hirs_metop_compressed.bufr is not available")
    with vantrel.open(HIRS) as reader:
        messages = list(reader)[::order]
        sizes = set()
        for message in messages:
            matrix, descriptors = message.matrix(threads=threads)
            cols = message.columns()
            sizes.add(matrix.size)
            assert matrix.shape == (message.number_of_subsets, len(descriptors))
            expected = cols["value"].reshape(len(descriptors), message.number_of_subsets).T
            np.testing.assert_array_equal(matrix, expected)
    assert len(sizes) > 5


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("counts, shape", [((2, 2), (2, 3)), ((2, 1), None), ((3, 3, 1), None), ((1, 0), None),
                                           ((4, 1, 1), None), ((0, 0), (2, 1))])
def test_matrix_of_subsets_whose_last_is_shorter_is_irregular(tmp_path, counts, shape, threads):
    # Non-compressed subsets of unequal length have no matrix: None, never a reshape error.
    from bufr_builder import BitWriter, Element, build_message, write_table_dir

    directory = write_table_dir(tmp_path / "t", [Element(1001, "A", width=7, abbreviation="a"),
                                                 Element(31001, "F", width=8, abbreviation="f")])
    w = BitWriter()
    for count in counts:
        w.write(count, 8)
        for i in range(count):
            w.write(i + 1, 7)
    with vantrel.open(build_message([101000, 31001, 1001], w, subsets=len(counts)), tables=directory) as reader:
        result = reader[0].matrix(threads=threads)
        assert (None if result is None else result[0].shape) == shape


ADDRESS_SPACE = r"""
import resource, sys
sys.path[:0] = {paths!r}
import vantrel
with vantrel.open({path!r}) as reader:
    reader[0].tables()
    with open("/proc/self/status") as f:
        size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (size + (1536 << 20), resource.RLIM_INFINITY))
    print(len(reader.columns(threads=1)["value"]))
"""


@pytest.mark.skipif(bool(os.environ.get("VANTREL_SANITIZED")), reason="the sanitizers reserve address space of their own")
def test_columns_need_address_space_in_proportion_to_their_size():
    # 17 M rows of HIRS take about 600 MB of columns: they decode with 1.5 GiB of address
    # space to spare, as under `ulimit -v` (a column of 32 MiB or more once reserved 1 GiB).
    if not HIRS.is_file():
        pytest.skip("hirs_metop_compressed.bufr is not available")
    paths = [p for p in sys.path if p]
    result = subprocess.run([sys.executable, "-c", ADDRESS_SPACE.format(paths=paths, path=str(HIRS))],
                            capture_output=True, text=True, timeout=300)
    assert (result.returncode, result.stdout) == (0, "17461248\n"), result.stderr
