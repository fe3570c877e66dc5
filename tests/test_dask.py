"""vantrel.dask.read_bufr on a distributed LocalCluster computes the rows of vantrel.read_bufr."""

from __future__ import annotations

import warnings

import os

import pytest

import vantrel

if os.environ.get("VANTREL_SANITIZED"):
    pytest.skip("worker processes under the preloaded sanitizer runtime", allow_module_level=True)

pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
import vantrel.dask  # noqa: E402
from bufr_builder import build_message  # noqa: E402

COLUMNS = ["latitude", "longitude"]


def sorted_frame(frame):
    keys = [c for c in ("file", "message", "subset") if c in frame.columns]
    return frame.sort_values(keys).reset_index(drop=True)


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as c:
            yield c


def test_all_sample_files(bufr_dir, client):
    files = sorted(str(p) for p in bufr_dir.glob("*.bufr") if p.name != "hirs_metop_compressed.bufr")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        expected = vantrel.read_bufr(files, columns=COLUMNS)
    got = vantrel.dask.read_bufr(files, columns=COLUMNS).compute()
    got, expected = sorted_frame(got), sorted_frame(expected)
    assert len(got) == len(expected) > 1000
    assert list(got["message"]) == list(expected["message"])
    for column in COLUMNS:
        assert got[column].fillna(-999).tolist() == pytest.approx(expected[column].fillna(-999).tolist())


def test_large_file_split_at_messages(bufr_dir, client):
    path = bufr_dir / "synop_dwd_multi.bufr"
    frame = vantrel.dask.read_bufr(path, columns=["stationNumber", "airTemperature"], messages_per_partition=10)
    assert frame.npartitions == 5
    got = sorted_frame(frame.compute())
    expected = sorted_frame(vantrel.read_bufr(path, columns=["stationNumber", "airTemperature"]))
    assert got["message"].tolist() == expected["message"].tolist()
    assert got["stationNumber"].fillna(-1).tolist() == expected["stationNumber"].fillna(-1).tolist()


def test_column_projection_reaches_the_decode(bufr_dir, monkeypatch):
    asked = []
    original = vantrel.Reader.to_pandas

    def recording(self, form="wide", columns=None, **kwargs):
        asked.append(columns)
        return original(self, form, columns, **kwargs)

    monkeypatch.setattr(vantrel.Reader, "to_pandas", recording)
    frame = vantrel.dask.read_bufr(bufr_dir / "synop_dwd_multi.bufr", columns=["stationNumber", "airTemperature"])
    asked.clear()
    projected = frame[["message", "airTemperature"]].compute(scheduler="sync")
    assert list(projected.columns) == ["message", "airTemperature"]
    assert asked == [["airTemperature"]]
    assert len(projected) == 1031


def test_every_partition_has_the_columns_asked_for_and_datetime(bufr_dir, tmp_path):
    # The README's recipe over a file whose only message has no descriptors: its partition
    # has no date keys, and still a datetime column (NaT), as every other partition.
    empty = tmp_path / "empty.bufr"
    empty.write_bytes(build_message([], subsets=0))
    files = [str(bufr_dir / "synop_multi_subset_uncompressed.bufr"), str(empty)]
    frame = vantrel.dask.read_bufr(files, columns=["airTemperature"], header=True)
    dated = frame.assign(date=frame["datetime"].dt.strftime("%Y-%m-%d")).compute(scheduler="sync")
    assert set(dated["date"]) == {"2015-01-26"} and len(dated) == 12
    for part in frame.to_delayed():
        assert {"airTemperature", "datetime"} <= set(part.compute(scheduler="sync").columns)


@pytest.mark.parametrize("form, meanings", [("wide", False), ("wide", True), ("levels", True), ("long", False)])
def test_the_lazy_frame_is_made_from_one_message_with_the_types_of_every_partition(bufr_dir, monkeypatch, form,
                                                                                    meanings):
    # synop_wigos.bufr has none of the text keys: its partition still types them as texts.
    decoded = []
    original = vantrel.Reader.to_pandas

    def recording(self, *args, **kwargs):
        frame = original(self, *args, **kwargs)
        decoded.append(len(self))
        return frame

    monkeypatch.setattr(vantrel.Reader, "to_pandas", recording)
    files = [bufr_dir / "synop_dwd_multi.bufr", bufr_dir / "synop_wigos.bufr"]
    columns = ["stationNumber", "stationOrSiteName", "#2#cloudType" if form == "wide" else "cloudType"]
    frame = vantrel.dask.read_bufr(files, columns=columns, form=form, meanings=meanings, header=True)
    assert decoded == [1]
    computed = frame.compute(scheduler="sync")
    assert computed.dtypes.to_dict() == frame.dtypes.to_dict()
    if form != "long":
        texts = "stationOrSiteName", *(columns[2:] if meanings else [])
        assert all(computed[name].dtype.kind in "OT" for name in texts)
