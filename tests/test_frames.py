"""Keys, columns, DataFrames and read_bufr: built messages for the rules, real
files against the reference dumps for the one-liners users write."""

from __future__ import annotations

import json
import math
import warnings

import datetime as _datetime

import numpy as np
import pytest

import vantrel
from vantrel import dataframes as frames, keys

from bufr_builder import BitWriter, Element, build_message, write_table_dir
from conftest import SHARED_DATA

pd = pytest.importorskip("pandas")


# ---- keys -------------------------------------------------------------------------------------

def test_ranked_keys():
    assert keys.ranked(["a", "b", "a", "a", "b"]) == ["a", "b", "#2#a", "#3#a", "#2#b"]


@pytest.mark.parametrize("name, rank, key", [("x", 1, "x"), ("#1#x", 1, "x"), ("#12#x", 12, "x"), ("#x#", 1, "#x#")])
def test_split_rank(name, rank, key):
    assert keys.split_rank(name) == (rank, key)
    assert keys.canonical(name) == (key if rank == 1 else name)


@pytest.fixture()
def tables(tmp_path):
    directory = write_table_dir(
        tmp_path / "t",
        [
            Element(12101, "TEMPERATURE", "K", 1, 0, 12, "airTemperature"),
            Element(7004, "PRESSURE", "Pa", -1, 0, 14, "pressure"),
            Element(1015, "NAME", "CCITT IA5", 0, 0, 24, "stationName"),
            Element(20003, "WEATHER", "CODE TABLE", 0, 0, 8, "presentWeather"),
            Element(20021, "PRECIPITATION TYPE", "FLAG TABLE", 0, 0, 4, "precipitationType"),
            Element(31001, "REPLICATION", "Numeric", 0, 0, 8, "delayedDescriptorReplicationFactor"),
            Element(48001, "NO ABBREVIATION", "Numeric", 0, 0, 8, ""),
        ],
        code_tables={20003: {5: "HAZE"}, 20021: {1: "DRIZZLE", 2: "RAIN", 4: "ICE PELLETS"}},
    )
    return vantrel.TableSet.from_eccodes(str(directory))


@pytest.mark.parametrize(
    "code, raw, missing, meaning",
    [
        (20003, 5, False, "HAZE"),
        (20003, 5, True, None),
        (20003, 6, False, None),
        (20021, 0b1001, False, ["DRIZZLE", "ICE PELLETS"]),  # bit 1 is the most significant of 4
        (20021, 0b0110, False, ["RAIN"]),                    # bit 3 has no entry
        (20021, 0b1111, False, None),                        # all ones: missing
        (12101, 5, False, None),
    ],
)
def test_meanings(tables, code, raw, missing, meaning):
    assert keys.meaning_of(code, raw, tables, missing) == meaning


def test_key_falls_back_to_six_digits(tables):
    assert [keys.key_of(c, tables) for c in (12101, 48001, 999999, 222000)] == [
        "airTemperature", "048001", "associatedField", "222000"]


# ---- frames of built messages ------------------------------------------------------------------

def profile_message(levels_per_subset):
    """Non-compressed subsets: name, then a delayed replication of (pressure, airTemperature)."""
    w = BitWriter()
    for s, levels in enumerate(levels_per_subset):
        w.write_text(f"S{s}", 24).write(levels, 8)
        for level in range(levels):
            w.write(1000 + level, 14).write(2800 + 10 * s + level, 12)
    return build_message([1015, 102000, 31001, 7004, 12101], w, subsets=len(levels_per_subset))


@pytest.fixture()
def profiles(tables):
    return vantrel.open(profile_message([2, 3, 0]), tables=tables)


def test_columns_rows_and_flags(profiles):
    cols = profiles[0].columns()
    assert set(cols) == {"subset", "descriptor", "value", "flags", "slot", "text"}
    assert len({len(a) for a in cols.values()}) == 1
    assert cols["subset"].tolist() == [1] * 6 + [2] * 8 + [3] * 2
    assert cols["text"][0] == "S0" and cols["flags"][0] == frames.CHARACTER and math.isnan(cols["value"][0])
    assert cols["value"][1] == 2 and cols["descriptor"][1] == 31001


def test_wide_form_ranks_repeated_keys(profiles):
    frame = profiles[0].to_pandas()
    assert frame["stationName"].tolist() == ["S0", "S1", "S2"]
    assert frame["airTemperature"].tolist() == [280.0, 281.0, None] or np.isnan(frame["airTemperature"][2])
    assert frame["#3#airTemperature"].isna().tolist() == [True, False, True]
    assert frame["#3#pressure"][1] == 10020


def test_wide_selection_accepts_rank_one(profiles):
    frame = profiles[0].to_pandas(columns=["#1#airTemperature", "#2#airTemperature", "absentKey"])
    assert list(frame.columns) == ["subset", "airTemperature", "#2#airTemperature", "absentKey"]
    assert frame["#2#airTemperature"][:2].tolist() == [280.1, 281.1]
    assert frame["absentKey"].isna().all()


def test_levels_form(profiles):
    frame = profiles[0].to_pandas(form="levels", columns=["stationName", "pressure", "airTemperature"])
    assert frame["subset"].tolist() == [1, 1, 2, 2, 2, 3]
    assert frame["level"].tolist() == [1, 2, 1, 2, 3, 1]
    assert frame["stationName"].tolist() == ["S0", "S0", "S1", "S1", "S1", "S2"]
    assert frame["pressure"][:5].tolist() == [10000, 10010, 10000, 10010, 10020]
    assert np.isnan(frame["pressure"][5])


def test_long_form_with_units_and_meanings(tables):
    message = build_message([20003, 20021], BitWriter().write(5, 8).write(0b0110, 4))
    frame = vantrel.open(message, tables=tables)[0].to_pandas(form="long", meanings=True)
    assert frame["key"].tolist() == ["presentWeather", "precipitationType"]
    assert frame["unit"].tolist() == ["CODE TABLE", "FLAG TABLE"]
    assert frame["meaning"].tolist() == ["HAZE", ["RAIN"]]


def test_unknown_form(profiles):
    with pytest.raises(ValueError, match='form must be "long", "wide", "levels" or "context"'):
        profiles[0].to_pandas(form="tall")


# ---- read_bufr filters --------------------------------------------------------------------------

@pytest.fixture()
def three_messages(tmp_path, tables):
    data = b"".join(
        build_message([12101], BitWriter().write(2800 + i, 12), data_category=i, originating_centre=90 + i)
        for i in range(3)
    )
    path = tmp_path / "three.bufr"
    path.write_bytes(data)
    return path


@pytest.mark.parametrize(
    "filters, categories",
    [
        ({"data_category": 1}, [1]),
        ({"data_category": {0, 2}}, [0, 2]),
        ({"data_category": slice(1, None)}, [1, 2]),
        ({"data_category": slice(None, 1)}, [0]),
        ({"data_category": range(0, 2)}, [0, 1]),
        ({"centre": lambda c: c % 2 == 0}, [0, 2]),
        ({"airTemperature": slice(280.1, 280.2)}, [1]),           # rows by value: lo <= x < hi
        ({"airTemperature": {280.0, 280.2}}, [0, 2]),
        ({"airTemperature": lambda v: v > 280.05}, [1, 2]),
        ({"dataCategory": 1}, [1]),                                # ecCodes names of header fields
        ({"bufrHeaderCentre": {90, 92}}, [0, 2]),
        ({"datetime": "2024-05-17T12:30:15"}, [0, 1, 2]),           # ISO strings, as pandas reads them
        ({"datetime": slice("2024-05-18", None)}, []),
    ],
)
def test_read_bufr_filters(three_messages, tables, filters, categories, monkeypatch):
    monkeypatch.setattr(vantrel.read, "Reader", lambda s, definitions=None, rules="wmo": vantrel.Reader(s, tables=tables, rules=rules))
    frame = vantrel.read_bufr(three_messages, columns=["airTemperature"], filters=filters, header=True)
    assert frame["message"].tolist() == [c + 1 for c in categories]
    if not any(name in vantrel.read.HEADER_FILTERS or name in vantrel.read.ECCODES_HEADER_NAMES for name in filters):
        # A key filter selects the same subsets in the long form, on a key not selected too.
        long = vantrel.read_bufr(three_messages, columns=["pressure"], filters=filters, form="long")
        assert long.empty
        long = vantrel.read_bufr(three_messages, filters=filters, form="long")
        assert long["message"].tolist() == [c + 1 for c in categories]


# bufr_get -p (ecCodes 2.28) on the first message of each file, None where ecCodes has no such key.
HEADER_KEYS = ["edition", "bufrHeaderCentre", "bufrHeaderSubCentre", "dataCategory", "internationalDataSubCategory",
               "dataSubCategory", "masterTablesVersionNumber", "typicalYear", "typicalSecond", "numberOfSubsets",
               "compressedData", "observedData"]


@pytest.mark.parametrize("path, values", [
    ("bufr-ed3/aircraft_small.bufr", [3, 98, 0, 4, None, 145, 13, 2009, None, 1, 0, 0]),
    ("bufr/tropical_cyclone.bufr", [4, 98, 0, 7, 0, 32, 16, 15, 0, 52, 1, 0]),    # typicalYear as coded
    ("bufr/synop_wigos.bufr", [4, 219, 0, 0, 7, 255, 33, 2025, 0, 1, 0, 1]),
])
@pytest.mark.parametrize("form", ["wide", "long"])
def test_header_keys_by_their_eccodes_names_are_columns(path, values, form):
    if not (SHARED_DATA / path).is_file():
        pytest.skip(f"{path} is not available")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        frame = vantrel.read_bufr(SHARED_DATA / path, columns=HEADER_KEYS + ["latitude"], form=form)
    first = frame[frame["message"] == 1].iloc[0]
    pandas = pytest.importorskip("pandas")
    assert [None if pandas.isna(first[k]) else int(first[k]) for k in HEADER_KEYS] == values
    if form == "wide":
        assert list(frame.columns[:2 + len(HEADER_KEYS)]) == ["message", "subset", *HEADER_KEYS]


# bufr_get -p typicalDate,typicalTime and codes_get_array(h, "unexpandedDescriptors") (ecCodes)
# on message 1: texts and a list, as ecCodes gives them.
@pytest.mark.parametrize("path, date, time, descriptors", [
    ("bufr-ed3/aircraft_small.bufr", "20090123", "130000", 35),
    ("bufr/tropical_cyclone.bufr", "20151118", "000000",
     [1033, 1034, 1032, 1025, 1027, 1090, 1091, 1092, 301011, 301012, 8005, 5002, 6002, 8005, 5002, 6002, 10051,
      8005, 301023, 11012, 108000, 31001, 8021, 4024, 8005, 301023, 10051, 8005, 301023, 11012]),
    ("bufr/synop_wigos.bufr", "20250109", "000000", [307092]),
])
def test_typical_date_time_and_descriptor_lists_as_eccodes_gives_them(path, date, time, descriptors):
    if not (SHARED_DATA / path).is_file():
        pytest.skip(f"{path} is not available")
    keys = ["typicalDate", "typicalTime", "unexpandedDescriptors"]
    first = vantrel.read_bufr(SHARED_DATA / path, columns=keys).iloc[0]
    assert (first["typicalDate"], first["typicalTime"]) == (date, time)
    if isinstance(descriptors, int):
        assert len(first["unexpandedDescriptors"]) == descriptors
    else:
        assert first["unexpandedDescriptors"] == descriptors
    kept = vantrel.read_bufr(SHARED_DATA / path, columns=["typicalDate"], filters={"typicalDate": date})
    assert len(kept) and (kept["typicalDate"] == date).all()


@pytest.mark.parametrize("conditions", [
    {"datetime": slice(_datetime.datetime(2015, 1, 1), _datetime.datetime(2021, 1, 1))},
    {"datetime": _datetime.datetime(2012, 10, 31)},
    {"datetime": lambda t: t is not None and t.hour == 12},
    {"subcentre": lambda s: s is not None and s > 0}, {"subcentre": 0}, {"second": {5, 20, 28}},
    {"second": lambda s: s is None},
    {"international_subcategory": {2, 255}}, {"compressed": True, "observed": True},
    {"index": range(2, 40, 3)}, {"year": slice(2000, None), "month": {1, 5}},
    {"typicalDate": slice("20150101", "20210101")}, {"typicalTime": lambda t: t.startswith("12")},
])
def test_header_filters_mask_the_index_as_they_select_messages(bufr_dir, conditions):
    # The mask over the index columns agrees with the same conditions asked of each message.
    select = vantrel.read.message_filter(conditions)
    paths = sorted(bufr_dir.glob("*.bufr")) + sorted((bufr_dir.parent / "bufr-ed3").glob("*.bufr"))
    chosen = 0
    for path in paths:
        with vantrel.open(path) as reader:
            expected = [select(m) for m in reader]
            assert select.mask(reader).tolist() == expected, path.name
            chosen += sum(expected)
    assert 0 < chosen < sum(len(vantrel.open(p)) for p in paths)


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        (dict(columns=["airTemprature"]), KeyError, "'airTemprature' is no key .* did you mean 'airTemperature'"),
        (dict(filters={"presentWether": 5}), KeyError, "did you mean 'presentWeather'"),
        (dict(filters={"dataCategry": 1}), KeyError, "did you mean 'dataCategory'"),
        (dict(columns=3), TypeError, "columns must be a key or a list of keys, not int"),
        (dict(columns=["airTemperature", 3]), TypeError, "columns must be keys"),
        (dict(filters=[("centre", 90)]), TypeError, "filters must be a mapping of names to conditions, not list"),
        (dict(rules="exact"), ValueError, 'rules must be "wmo" or "strict"'),
    ],
)
def test_read_bufr_mistakes_answer_loudly(three_messages, tables, monkeypatch, kwargs, error, text):
    monkeypatch.setattr(vantrel.read, "Reader", lambda s, definitions=None, rules="wmo": vantrel.Reader(s, tables=tables, rules=rules))
    with pytest.raises(error, match=text):
        vantrel.read_bufr(three_messages, **kwargs)


def test_read_bufr_returns_the_columns_asked_for(three_messages, tables, monkeypatch, tmp_path):
    monkeypatch.setattr(vantrel.read, "Reader", lambda s, definitions=None, rules="wmo": vantrel.Reader(s, tables=tables, rules=rules))
    assert vantrel.read_bufr(three_messages, columns="airTemperature").columns.tolist() == \
        ["message", "subset", "airTemperature", "datetime"]
    # A ranked name comes back as asked; a key of the tables that no message holds is missing values.
    frame = vantrel.read_bufr(three_messages, columns=["#1#airTemperature", "pressure"])
    assert frame.columns.tolist() == ["message", "subset", "#1#airTemperature", "pressure", "datetime"]
    assert frame["pressure"].isna().all() and frame["#1#airTemperature"].tolist() == [280.0, 280.1, 280.2]
    # A message without descriptors: datetime is there all the same.
    empty = tmp_path / "empty.bufr"
    empty.write_bytes(build_message([], subsets=0))
    assert vantrel.read_bufr(empty, columns=["airTemperature"]).columns.tolist() == \
        ["message", "subset", "airTemperature", "datetime"]


def test_read_bufr_failed_messages(tmp_path, tables, monkeypatch):
    good = build_message([12101], BitWriter().write(2800, 12))
    bad = build_message([12101, 12101, 12101], BitWriter().write(1, 8))
    path = tmp_path / "mixed.bufr"
    path.write_bytes(good + bad + good)
    monkeypatch.setattr(vantrel.read, "Reader", lambda s, definitions=None, rules="wmo": vantrel.Reader(s, tables=tables, rules=rules))
    with pytest.warns(UserWarning, match=r"^1 messages failed and were skipped; first: .*mixed.bufr: message 2"):
        frame = vantrel.read_bufr(path)
    assert frame["message"].tolist() == [1, 3]
    with pytest.raises(vantrel.DataError, match="^message 2 at offset"):
        vantrel.read_bufr(path, errors="raise")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert len(vantrel.read_bufr(path, errors="ignore")) == 2


# ---- real files, against the reference ---------------------------------------------------------

def reference_first_values(name: str, codes: list[int]) -> list[list]:
    """Per subset of a reference dump, the first value of each code."""
    rows = []
    with (SHARED_DATA / "reference" / name).open() as f:
        for line in f:
            record = json.loads(line)
            if "items" not in record:
                continue
            first = {}
            for code, value in record["items"]:
                first.setdefault(code, value)
            rows.append([first.get(code) for code in codes])
    return rows


def same(a, b) -> bool:
    if b is None:
        return a is None or (isinstance(a, float) and math.isnan(a))
    return a == pytest.approx(b, rel=1e-9)


def test_synop_station_table(bufr_dir):
    frame = vantrel.read_bufr(bufr_dir / "synop_dwd_multi.bufr",
                              columns=["blockNumber", "stationNumber", "latitude", "longitude", "airTemperature"])
    assert len(frame) == 1031
    expected = reference_first_values("synop_dwd_multi.jsonl", [1001, 1002, 5001, 6001, 12101])
    got = frame[["blockNumber", "stationNumber", "latitude", "longitude", "airTemperature"]].values.tolist()
    assert all(same(g, e) for row_g, row_e in zip(got, expected) for g, e in zip(row_g, row_e))
    assert frame["datetime"].notna().all()


def test_radiosonde_profile(tmp_path):
    path = SHARED_DATA / "bufr-ed3" / "temp.bufr"
    if not path.is_file():
        pytest.skip("../shared/data is not available")
    frame = vantrel.read_bufr(path, form="levels", columns=["stationNumber", "pressure", "airTemperature"])
    first = frame[frame["message"] == 1]
    with (SHARED_DATA / "reference" / "ed3_temp.jsonl").open() as f:
        reference = json.loads(f.readline())["items"]
    pressures = [v for c, v in reference if c == 7004]
    temperatures = [v for c, v in reference if c == 12101]
    assert len(first) == len(pressures)
    assert all(same(g, e) for g, e in zip(first["pressure"], pressures))
    assert all(same(g, e) for g, e in zip(first["airTemperature"], temperatures))
    assert first["stationNumber"].nunique() == 1


def test_satellite_radiances_as_arrays(bufr_dir):
    message = vantrel.open(bufr_dir / "hirs_metop_compressed.bufr")[0]
    channel = "tovsOrAtovsOrAvhrrInstrumentationChannelNumber"
    frame = message.to_pandas(form="levels", columns=["latitude", "longitude", channel, "brightnessTemperature"])
    values, descriptors = message.matrix()
    levels = int((descriptors == 2150).sum())  # channel numbers: one level each (20; 19 carry a temperature)
    assert len(frame) == message.number_of_subsets * levels == 1008 * 20
    first = np.flatnonzero(descriptors == 5001)[0]
    assert frame["latitude"].to_numpy()[::levels] == pytest.approx(values[:, first])
    temperatures = values[:, descriptors == 12063]
    got = frame["brightnessTemperature"].to_numpy().reshape(-1, levels)
    assert np.array_equal(got[:, :temperatures.shape[1]], temperatures, equal_nan=True)
    assert np.isnan(got[:, temperatures.shape[1]:]).all()
    channels = values[:, descriptors == 2150]
    assert np.array_equal(frame[channel].to_numpy().reshape(-1, levels), channels, equal_nan=True)


def test_header_fields_beside_a_data_key_named_alike(bufr_dir):
    frame = vantrel.open(bufr_dir / "hirs_metop_compressed.bufr")[0].to_pandas(columns=["centre"], header=True)
    assert frame["header_centre"].unique().tolist() == [254]
    assert frame["centre"].notna().all()


@pytest.mark.parametrize("form", ["wide", "levels"])
def test_meanings_in_wide_and_levels_forms(tables, form):
    message = build_message([20003, 20021, 12101], BitWriter().write(5, 8).write(0b0110, 4).write(2801, 12))
    frame = vantrel.open(message, tables=tables)[0].to_pandas(
        form=form, columns=["presentWeather", "precipitationType", "airTemperature"], meanings=True)
    assert frame["presentWeather"].tolist() == ["HAZE"]
    assert frame["precipitationType"].tolist() == [["RAIN"]]
    assert frame["airTemperature"].tolist() == [280.1]


@pytest.mark.parametrize(
    "year, month, day, hour, expected",
    [
        (2024, 2, 29, 6, "2024-02-29T06:00:00"),   # leap day
        (2023, 2, 29, 6, "NaT"),                   # no such day
        (2023, 12, 31, 23, "2023-12-31T23:00:00"),
        (2023, 13, 1, 0, "NaT"),                   # month out of range
        (2023, 1, 0, 0, "NaT"),                    # day out of range
        (2023, 1, 1, None, "2023-01-01T00:00:00"), # missing hour counts as 0
        (2023, 1, None, 0, None),                  # no day anywhere: no datetime column
    ],
)
def test_datetime_of_the_data(tmp_path, year, month, day, hour, expected):
    directory = write_table_dir(tmp_path / "d", [
        Element(4001, "YEAR", "a", 0, 0, 12, "year"), Element(4002, "MONTH", "mon", 0, 0, 4, "month"),
        Element(4003, "DAY", "d", 0, 0, 6, "day"), Element(4004, "HOUR", "h", 0, 0, 5, "hour"),
        Element(12101, "TEMPERATURE", "K", 0, 0, 12, "airTemperature")])
    w = BitWriter().write(year, 12).write(month, 4)
    w.write_ones(6) if day is None else w.write(day, 6)
    w.write_ones(5) if hour is None else w.write(hour, 5)
    w.write(280, 12)
    frame = vantrel.open(build_message([4001, 4002, 4003, 4004, 12101], w), tables=directory)[0].to_pandas(
        columns=["airTemperature"])
    if expected is None:
        assert list(frame.columns) == ["subset", "airTemperature"]
        return
    assert list(frame.columns) == ["subset", "airTemperature", "datetime"]
    assert str(frame["datetime"].to_numpy().astype("datetime64[s]")[0]) == expected


# ---- whole-reader columns and filters over texts and bad headers ------------------------------

def text_messages():
    names = [[b"AB ", b"CDE"], [b"XYZ"], [b"\xff\xff\xff", b"Q  "]]
    out = b""
    for subsets in names:
        w = BitWriter()
        for i, name in enumerate(subsets):
            w.write_bytes(name).write(2800 + i, 12)
        out += build_message([1015, 12101], w, subsets=len(subsets))
    return out


@pytest.mark.parametrize("threads", [None, 1, 2, 3])
def test_reader_columns_keep_each_message_texts(tables, threads):
    with vantrel.Reader(text_messages(), tables=tables) as reader:
        cols = reader.columns(threads=threads)
        character = (cols["flags"] & frames.CHARACTER) != 0
        rows = np.flatnonzero(character)
        texts = frames.text_values(cols, rows).tolist()
        assert cols["message"][rows].tolist() == [1, 1, 2, 3, 3]
        assert texts == ["AB", "CDE", "XYZ", None, "Q"]
        assert reader.errors == []


@pytest.mark.parametrize("filters", [{"data_category": 0}, {"data_category": {0, 1}}, {"centre": 98}])
def test_header_filters_keep_messages_whose_header_is_bad(tmp_path, tables, monkeypatch, filters):
    good = build_message([12101], BitWriter().write(2800, 12))
    bad = build_message([12101], BitWriter().write(2800, 12), section1_length=21)
    path = tmp_path / "bad_header.bufr"
    path.write_bytes(good + bad + good)
    monkeypatch.setattr(vantrel.read, "Reader", lambda s, definitions=None, rules="wmo": vantrel.Reader(s, tables=tables, rules=rules))
    with pytest.warns(UserWarning, match=r"^1 messages failed and were skipped; first: .*: message 2 .*section 1"):
        frame = vantrel.read_bufr(path, filters=filters)
    assert frame["message"].tolist() == [1, 3]
    with pytest.raises(vantrel.HeaderError, match="^message 2 at offset"):
        vantrel.read_bufr(path, filters=filters, errors="raise")


# ---- rows of selected keys only ----------------------------------------------------------------

@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("selection", [["airTemperature"], ["#2#pressure", "stationName"], ["048001"], ["absentKey"]])
def test_reader_columns_of_selected_keys_are_those_rows_of_all(tables, selection, threads):
    # Message 2 holds only an element without abbreviation: "048001" is its key.
    data = profile_message([2, 3, 0]) + build_message([48001], BitWriter().write(7, 8))
    with vantrel.open(data, tables=tables) as reader:
        every = reader.columns(threads=threads)
        some = reader.columns(threads=threads, keys=selection)
    wanted = {keys.split_rank(k)[1] for k in selection}
    names = np.array([keys.key_of(int(c), tables) for c in every["descriptor"]])
    rows = np.isin(names, list(wanted)) & ((every["flags"] & (frames.OPERATOR | frames.ASSOCIATED)) == 0)
    assert set(some) == set(every)
    for name in set(every) - {"text_offsets", "text_bytes"}:
        np.testing.assert_array_equal(some[name], every[name][rows], err_msg=name)
    assert (frames.text_values(some, np.arange(len(some["subset"]))).tolist()
            == frames.text_values(every, np.flatnonzero(rows)).tolist())


@pytest.mark.parametrize("form, columns", [("wide", ["airTemperature", "#3#pressure"]), ("wide", ["048001"]),
                                           ("levels", ["pressure", "airTemperature"])])
def test_frames_of_selected_keys_keep_messages_without_them(tables, form, columns):
    # The frames decode only the selected keys' rows, yet every subset of every
    # message stands in them, as in the frame built from every row.
    data = profile_message([2, 3, 0]) + build_message([48001], BitWriter().write(7, 8))
    with vantrel.open(data, tables=tables) as reader:
        frame = reader.to_pandas(form, columns)
        full = frames.to_pandas(reader._columns(False, None, None, None, "wide")[0], form=form, columns=columns)
    assert frame["message"].tolist() == [1] * (len(frame) - 1) + [2]
    pd.testing.assert_frame_equal(frame, full)


def test_synop_wide_frame_of_selected_keys_equals_the_frame_of_every_row(bufr_dir):
    path = bufr_dir / "synop_dwd_multi.bufr"
    columns = ["stationNumber", "airTemperature", "#2#timePeriod", "year", "hour"]
    with vantrel.open(path) as reader:
        frame = reader.to_pandas("wide", columns, threads=2)
        full = frames.to_pandas(reader._columns(False, 1, None, None, "wide")[0], form="wide", columns=columns)
    assert len(frame) == 1031
    pd.testing.assert_frame_equal(frame, full)


@pytest.mark.parametrize("raw, expected", [(12345, "2023-05-06T07:08:12.345000"), (0, "2023-05-06T07:08:00"),
                                           (59999, "2023-05-06T07:08:59.999000")])
def test_datetime_keeps_the_fraction_of_a_second(tmp_path, raw, expected):
    # 0 04 006 with scale 3: milliseconds, as some aircraft and lightning reports give them.
    directory = write_table_dir(tmp_path / "d", [
        Element(4001, "YEAR", "a", 0, 0, 12, "year"), Element(4002, "MONTH", "mon", 0, 0, 4, "month"),
        Element(4003, "DAY", "d", 0, 0, 6, "day"), Element(4004, "HOUR", "h", 0, 0, 5, "hour"),
        Element(4005, "MINUTE", "min", 0, 0, 6, "minute"), Element(4006, "SECOND", "s", 3, 0, 16, "second")])
    w = BitWriter().write(2023, 12).write(5, 4).write(6, 6).write(7, 5).write(8, 6).write(raw, 16)
    frame = vantrel.open(build_message([4001, 4002, 4003, 4004, 4005, 4006], w), tables=directory)[0].to_pandas()
    assert frame["datetime"][0].isoformat() == expected


def test_read_bufr_warns_of_what_the_reader_skipped(tmp_path, tables, monkeypatch):
    # Junk before, between and after messages: the ranges skipped are summed up in one warning,
    # a truncated last message in another; padding after the last message is no warning.
    monkeypatch.setattr(vantrel.read, "Reader", lambda s, definitions=None, rules="wmo": vantrel.Reader(s, tables=tables, rules=rules))
    good = build_message([12101], BitWriter().write(2800, 12))
    path = tmp_path / "damaged.bufr"
    path.write_bytes(b"junk" + good + b"\r\r\n" + good + good[:30])
    with pytest.warns(vantrel.BufrWarning) as caught:
        frame = vantrel.read_bufr(path)
    assert frame["message"].tolist() == [1, 2]
    texts = [str(w.message) for w in caught]
    assert texts[0] == (f"{path}: no message at offset {4 + 2 * len(good) + 3}: declared length {len(good)} runs "
                        f"past the end of the data (30 bytes left): truncated message")
    assert texts[1] == (f"{path}: 2 byte ranges that no message holds skipped, 7 bytes in all; the first: skipped 4 "
                        f"bytes at offset 0 before the message at offset 4")
    assert len(texts) == 2
    path.write_bytes(good + b"\0\0")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        vantrel.read_bufr(path)


def test_keys_met_more_than_65535_times_in_a_subset(tmp_path):
    # Ranks above 16 bits name their own key in every form (the decode allows 2^25 values).
    directory = write_table_dir(tmp_path / "d", [Element(1001, "A", "Numeric", 0, 0, 2, "a"),
                                                 Element(1002, "B", "Numeric", 0, 0, 2, "b"),
                                                 Element(31002, "F", "Numeric", 0, 0, 17, "f")])
    n = 70000
    w = BitWriter().write(n, 17)
    for i in range(n):
        w.write(i % 3, 2)
    w.write(2, 2)
    with vantrel.open(build_message([101000, 31002, 1001, 1002], w), tables=directory) as reader:
        long = reader[0].to_pandas(form="long")
        assert long["key"].tolist()[-3:] == ["#69999#a", "#70000#a", "b"]
        assert long["key"].tolist()[65536] == "#65536#a" and long["value"].tolist()[65536] == 65535 % 3
        wide = reader[0].to_pandas(columns=["#65537#a", "#70000#a", "b"])
        assert wide.iloc[0][["#65537#a", "#70000#a", "b"]].tolist() == [65536 % 3, 69999 % 3, 2]


# ---- keys, ranks, units and meanings against a model of the rules ----------------------------

def model_rows(message, attributes=frozenset()):
    """(subset, key, descriptor, unit, meaning) of every value of a message in walk order,
    from the specified walker's records and the tables: the key is the abbreviation, else
    six digits; a key's n-th value in its subset is ranked #n#; flag values list the
    meanings of their set bits, bit 1 the most significant. The values at the (subset,
    place in it) of `attributes` are left out and not counted: an attribute is named by
    the value it qualifies (checked against ecCodes on its own)."""
    tables = message.tables()
    out = []
    for number, subset in enumerate(message.subsets(), 1):
        seen: dict[str, int] = {}
        for place, v in enumerate(subset):
            if (number, place) in attributes:
                continue
            element = tables.get_element(v.descriptor) if v.descriptor < 100000 else None
            key = ("associatedField" if v.descriptor == 999999 else
                   element.abbreviation if element is not None and element.abbreviation else f"{v.descriptor:06d}")
            seen[key] = seen.get(key, 0) + 1
            meaning = None
            unit = element.unit.upper() if element is not None else ""
            if v.raw_value is None and v.raw_text is None:
                pass  # a missing value has no meaning
            elif element is not None and "FLAG TABLE" in unit:
                if v.raw != (1 << element.width) - 1:
                    bits = range(1, element.width + 1)
                    meaning = [tables.get_meaning(v.descriptor, b) for b in bits
                               if v.raw >> (element.width - b) & 1 and tables.get_meaning(v.descriptor, b)]
            elif "CODE TABLE" in unit:
                meaning = v.raw_meaning
            out.append((number, key if seen[key] == 1 else f"#{seen[key]}#{key}", v.descriptor,
                        element.unit if element is not None else None, meaning))
    return out


@pytest.mark.parametrize("name", ["bufr/compress_3.bufr", "bufr/aircraft_mrar_compressed.bufr",
                                  "bufr/synop_multi_subset_uncompressed.bufr", "bufr-ed3/b005_87.bufr",
                                  "bufr/tropical_cyclone.bufr"])
def test_long_and_wide_forms_follow_the_key_rules(name):
    path = SHARED_DATA / name
    if not path.is_file():
        pytest.skip("../shared/data is not available")
    with vantrel.open(path) as reader:
        long = reader.to_pandas(form="long", meanings=True, threads=2)
        wide = reader.to_pandas(meanings=True, threads=2)
        place = long.groupby(["message", "subset"]).cumcount()
        attribute = long["key"].str.contains("->", regex=False)
        attributes = {}
        for m, n, p in zip(long["message"][attribute], long["subset"][attribute], place[attribute]):
            attributes.setdefault(m, set()).add((n, p))
        expected = [(m.index, *row) for m in reader if m.error is None
                    for row in model_rows(m, attributes.get(m.index, frozenset()))]
        assert not reader.errors
    def nothing_as_none(x):  # pandas may keep a missing text as NaN
        return None if isinstance(x, float) and math.isnan(x) else x

    values = long[~attribute]
    got = list(zip(values["message"], values["subset"], values["key"], values["descriptor"],
                   map(nothing_as_none, values["unit"]), map(nothing_as_none, values["meaning"])))
    assert got == expected
    # Every data row stands in the wide form, at its subset's row and in its key's column.
    data = long[~long["descriptor"].isin(range(100000, 999999 + 1))]
    row = wide.reset_index().set_index(["message", "subset"])["index"]
    for key, group in data.groupby("key", sort=False):
        at = row.loc[list(zip(group["message"], group["subset"]))].to_numpy()
        cells = wide[key].to_numpy()[at]
        if not pd.api.types.is_float_dtype(wide[key].dtype):
            expect = group["meaning"] if group["text"].isna().all() else group["text"]
            assert list(map(nothing_as_none, cells)) == list(map(nothing_as_none, expect)), key
        else:
            np.testing.assert_array_equal(cells, group["value"].to_numpy(), err_msg=key)


def model_context(messages, keys):
    """Rows in context from the walker's records, written from the rules: coordinates and
    qualifiers (elements of classes 01-08) stay in force until their key's next value in
    the subset; a row gathers one value of each observation key (the other classes; when
    none is of them, the keys met twice in a subset, else every key) and ends when one of
    its keys comes again or a coordinate changes after it holds an observation; a subset
    always has a row."""
    walks = [(m.index, n, [(v.descriptor, v.raw_value) for v in subset
                           if v.descriptor < 100000 and m.tables().get_element(v.descriptor) is not None
                           and m.tables().get_element(v.descriptor).abbreviation in keys])
             for m in messages for n, subset in enumerate(m.subsets(), 1)]
    abbreviation = {d: messages[0].tables().get_element(d).abbreviation for _, _, w in walks for d, _ in w}
    observed = {abbreviation[d] for _, _, w in walks for d, _ in w if not 1 <= d // 1000 <= 8}
    twice = {abbreviation[d] for _, _, w in walks for d, _ in w
             if sum(abbreviation[e] == abbreviation[d] for e, _ in w) > 1}
    observed = observed or twice or set(keys)
    rows = []
    for number, subset, walk in walks:
        held, mine, made = {}, set(), 0
        for descriptor, value in walk:
            key = abbreviation[descriptor]
            if (key in observed and key in mine) or (key not in observed and mine):
                rows.append((number, subset, *[held.get(k, math.nan) for k in keys]))
                held = {k: v for k, v in held.items() if k not in observed}
                mine, made = set(), made + 1
            held[key] = math.nan if value is None else value
            if key in observed:
                mine.add(key)
        if mine or not made:
            rows.append((number, subset, *[held.get(k, math.nan) for k in keys]))
    return rows


# (file, keys, rows, first rows): the rows and values pdbufr 0.16 gives: with rows, those of
# its read_bufr with the same columns and its default required_columns=True (vantrel's
# context form with required_columns=True); without, the values of its temp or
# tropical_cyclone reader (the context form as it is).
CONTEXT_FROM_PDBUFR = [
    ("bufr/synop_dwd_multi.bufr", ["stationNumber", "heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform",
                                   "airTemperature"], 964, [(33, 2, None), (37, 2, 286.65)]),
    ("bufr/synop_dwd_multi.bufr", ["stationNumber", "timePeriod", "maximumWindGustSpeed"], 1064,
     [(33, -10, None), (33, -360, None), (37, -10, None)]),
    ("bufr-ed3/temp_small.bufr", ["pressure", "airTemperature", "dewpointTemperature", "windSpeed"], 403,
     [(100300, 258.3, 255.7, None), (100000, 259.7, 258.3, 0.0), (99800, 261.1, 259.6, None)]),
    ("bufr/tropical_cyclone.bufr", ["timePeriod", "meteorologicalAttributeSignificance", "latitude", "longitude",
                                    "pressureReducedToMeanSeaLevel", "windSpeedAt10M"], None,
     [(None, 4, 5.4, 156.9, 100000, None), (None, 3, 5.7, 156.6, None, 19.0), (6, 1, 6.0, 156.0, 99800, None),
      (6, 3, 6.3, 156.9, None, 20.1)]),
    ("bufr/aircraft_mrar_compressed.bufr", ["latitude", "longitude", "flightLevel"], None, None),
    ("bufr-ed3/temp_small.bufr", ["stationNumber", "pressure"], 403, [(907, 100300), (907, 100000)]),
]


@pytest.mark.parametrize("name, columns, count, first", CONTEXT_FROM_PDBUFR)
def test_rows_in_context(name, columns, count, first):
    path = SHARED_DATA / name
    if not path.is_file():
        pytest.skip("../shared/data is not available")
    frame = vantrel.read_bufr(path, columns=columns, form="context")
    with vantrel.open(path) as reader:
        expected = model_context([m for m in reader if m.error is None], columns)
    got = frame[["message", "subset", *columns]].itertuples(index=False, name=None)
    assert [tuple(None if x != x else x for x in row) for row in got] == \
        [tuple(None if x != x else x for x in row) for row in expected]
    if count is not None:  # rows as pdbufr's read_bufr gives them
        frame = vantrel.read_bufr(path, columns=columns, form="context", required_columns=True)
        assert len(frame) == count
    if first is not None:
        head = frame[columns].head(len(first)).astype(object).where(frame[columns].head(len(first)).notna(), None)
        assert [tuple(row) for row in head.itertuples(index=False, name=None)] == first
    assert frame["datetime"].notna().all()  # the subset's own time on each of its rows


# pdbufr 0.16 with ecCodes 2.50, read_bufr(path, reader=...) on the same files: per file, the
# number of values each parameter has (its non-missing cells), and some values as
# (station or storm, parameter, level, period in hours, value). pdbufr gives one wide row per
# station and period; vantrel one long row per value, so only the layouts differ. pdbufr
# names no levels: those are the sensor heights and pressures bufr_dump -p shows before each value.
DOMAIN_FROM_PDBUFR = [
    ("bufr-ed3/temp_small.bufr", "temp", {"t": 306, "td": 296, "z": 246, "wind_speed": 195, "wind_dir": 195},
     [("71907", "z", 100300, None, 250.0), ("71907", "t", 100300, None, 258.3), ("71907", "td", 100000, None, 258.3),
      ("71907", "wind_speed", 92500, None, 5.0), ("71907", "wind_dir", 92500, None, 275.0)]),
    ("bufr/synop_dwd_multi.bufr", "synop",
     {"t2m": 497, "td2m": 496, "rh2m": 469, "wind10m_speed": 292, "wind10m_dir": 292, "mslp": 185,
      "pressure": 204, "cloud_cover": 175, "snow_depth": 155, "visibility": 25, "past_weather_1": 14},
     [("10037", "t2m", 2.0, None, 286.65), ("10037", "td2m", 2.0, None, 282.15), ("10037", "mslp", None, None, 99970.0),
      ("10037", "pressure", None, None, 99660.0), ("10037", "visibility", None, None, 6000.0)]),
    ("bufr-ed3/synop_radiation.bufr", "synop", {"t2m": 2, "td2m": 1, "rh2m": 1, "wind10m_speed": 1},
     [("0-348-1-37405", "t2m", 2.0, None, 284.45), ("0-348-1-37405", "precipitation", None, 1 / 6, 0.0),
      ("08579", "t2m", 1.5, None, 283.65), ("08579", "rh2m", 1.5, None, 89.0), ("08579", "wind10m_dir", None, None, 246.0),
      ("08579", "max_wgust_speed", None, 1 / 6, 6.6), ("08579", "max_wgust_dir", None, 1, 264.0),
      ("08579", "precipitation", None, 24, 16.3), ("08579", "precipitation", None, 12, 2.1),
      ("08579", "precipitation", None, 1, 0.1),
      # pdbufr names these max_t2m_0h and min_t2m_0h; bufr_dump -p shows each after the pair
      # timePeriod=-12, timePeriod=0: over 12 hours.
      ("08579", "max_t2m", None, 12, 289.15), ("08579", "min_t2m", None, 12, 281.95)]),
    ("bufr/edition3_syno_1.bufr", "synop", {"t2m": 1, "td2m": 1, "mslp": 1, "min_t2m": 1, "present_weather": 1},
     [("91334", "t2m", 2.0, None, 302.7), ("91334", "wind10m_speed", 10.0, None, 3.0),
      ("91334", "precipitation", None, 24, 3.0), ("91334", "cloud_cover", None, None, 50.0),
      ("91334", "min_t2m", 2.0, 24, 298.2)]),
    ("bufr/tropical_cyclone.bufr", "tropical_cyclone", {"mslp": 2721, "max_wind_speed": 2721},
     [("27W", "mslp", (5.4, 156.9), 0, 100000.0), ("27W", "max_wind_speed", (5.7, 156.6), 0, 19.0),
      ("27W", "mslp", (6.0, 156.0), 6, 99800.0), ("27W", "max_wind_speed", (6.3, 156.9), 6, 20.1)]),
]


@pytest.mark.parametrize("name, reader, counts, values", DOMAIN_FROM_PDBUFR)
def test_domain_readers_as_pdbufr_reads_them(name, reader, counts, values):
    path = SHARED_DATA / name
    if not path.is_file():
        pytest.skip("../shared/data is not available")
    frame = vantrel.read_bufr(path, reader=reader)
    assert {p: int(n) for p, n in frame["parameter"].value_counts().items() if p in counts} == counts
    assert frame["value"].notna().all()  # a missing value is no observation
    track = reader == "tropical_cyclone"
    who = frame["storm_id" if track else "station"].astype(str)
    hours = (frame["step"] if track else frame["period"]) / pd.Timedelta(hours=1)
    for station, parameter, level, period, value in values:
        mine = (who == station) & (frame["parameter"] == parameter) & np.isclose(frame["value"], value)
        if track:
            mine &= np.isclose(frame["latitude"], level[0]) & np.isclose(frame["longitude"], level[1])
        else:
            mine &= frame["level"].isna() if level is None else np.isclose(frame["level"], level)
        mine &= hours.isna() if period is None else np.isclose(hours, period)
        assert mine.any(), (station, parameter, level, period, value)
    if track:
        first = frame.iloc[0]
        assert (first["member"], str(first["base_time"]), str(first["valid_time"])) == (1, "2015-11-18 00:00:00",
                                                                                      "2015-11-18 00:00:00")


@pytest.mark.parametrize("kwargs, error, text", [
    (dict(reader="metar"), ValueError, "reader must be one of"),
    (dict(reader="synop", columns=["airTemperature"]), KeyError, "not a parameter of reader 'synop'"),
    (dict(reader="synop", filters={"airTemperature": 280}), KeyError, "not a column of the reader's layout"),
    (dict(reader="temp", form="long"), ValueError, "has its own layout"),
])
def test_domain_reader_mistakes_answer_loudly(bufr_dir, kwargs, error, text):
    with pytest.raises(error, match=text):
        vantrel.read_bufr(bufr_dir / "edition3_syno_1.bufr", **kwargs)


def test_domain_reader_parameters_and_filters(bufr_dir):
    frame = vantrel.read_bufr(bufr_dir / "synop_dwd_multi.bufr", reader="synop", columns=["t2m", "mslp"],
                              filters={"station": "10037", "dataCategory": 0})
    assert list(frame["parameter"]) == ["mslp", "t2m"] and list(frame["value"]) == [99970.0, 286.65]
    assert list(frame.columns) == ["message", "subset", "station", "latitude", "longitude", "elevation", "time",
                                   "parameter", "level", "period", "value", "units"]


# bufr_dump -p (ecCodes 2.28) on the same files: the number of attribute values ("->" keys,
# associated fields aside) and some of one message (bufr_dump -p -w count=N; single-subset
# messages, so that ranks agree).
ATTRIBUTES_FROM_ECCODES = [
    ("bufr/edition3_syno_1.bufr", 76, 1,
     {"blockNumber->percentConfidence": 70, "airTemperatureAt2M->percentConfidence": 80}),
    ("bufr-ed3/temp_small.bufr", 2217, 6,
     {"nonCoordinateGeopotential->substitutedValue": 100, "#2#nonCoordinateGeopotential->substitutedValue": 380}),
    ("bufr-ed3/pilo_91.bufr", 3287, 1, {"year->percentConfidence": 70}),
    ("bufr-ed3/rada_250.bufr", 494, 1, {}),
]
# Compressed data: the attribute keys bufr_dump -p names (ranks aside).
_B005_ELEMENTS = ["pressure", "windDirection", "windSpeed", "coldestClusterTemperature"]
_B005_ATTRIBUTES = ["percentConfidence", "nominalConfidenceThreshold", "manualAutomaticQualityControl"]
ATTRIBUTE_KEYS_FROM_ECCODES = [
    ("bufr-ed3/b005_87.bufr", {f"{e}->{a}" + chain for e in _B005_ELEMENTS for a in _B005_ATTRIBUTES
                               for chain in ("", f"->{a}")}),
    ("bufr/compress_3.bufr", {f"{e}->firstOrderStatisticalValue" + chain
                              for e in ("decimalScaleOfFollowingSignificands", "significandOfVolumetricMixingRatio")
                              for chain in ("", "->firstOrderStatisticalValue")}),
]


@pytest.mark.parametrize("name, count, message, values", ATTRIBUTES_FROM_ECCODES)
def test_attributes_are_named_by_the_value_they_qualify(name, count, message, values):
    path = SHARED_DATA / name
    if not path.is_file():
        pytest.skip("../shared/data is not available")
    long = vantrel.read_bufr(path, form="long")
    attribute = long["key"].str.contains("->", regex=False)
    assert attribute.sum() == count
    first = long[(long["message"] == message) & (long["subset"] == 1)]
    assert {k: v for k, v in zip(first["key"], first["value"]) if k in values} == values
    assert (long["qualifies"][attribute] == long["key"][attribute].str.rsplit("->", n=1).str[0]).all()
    assert long["qualifies"][~attribute].isna().all()
    strict = vantrel.read_bufr(path, form="long", rules="strict")
    assert not strict["key"].str.contains("->", regex=False).any()  # the module's own rules name no attributes


@pytest.mark.parametrize("name, expected", ATTRIBUTE_KEYS_FROM_ECCODES)
def test_attribute_keys_of_compressed_data_as_eccodes_names_them(name, expected):
    path = SHARED_DATA / name
    if not path.is_file():
        pytest.skip("../shared/data is not available")
    long = vantrel.read_bufr(path, form="long")
    assert {keys.split_rank(k)[1] for k in long["key"] if "->" in k} == expected


def test_attributes_selected_by_name(bufr_dir):
    path = bufr_dir / "edition3_syno_1.bufr"
    frame = vantrel.read_bufr(path, columns=["airTemperatureAt2M->percentConfidence", "#1#airTemperatureAt2M"],
                              filters={"airTemperatureAt2M->percentConfidence": 80})
    assert frame[["airTemperatureAt2M->percentConfidence", "#1#airTemperatureAt2M"]].values.tolist() == [[80, 302.7]]
    with pytest.raises(KeyError, match="airTemperatureAt2M->percentConfidenze"):
        vantrel.read_bufr(path, columns=["airTemperatureAt2M->percentConfidenze"])


def test_a_wide_block_handed_to_pandas_in_views_gives_the_same_frame(monkeypatch):
    path = SHARED_DATA / "bufr" / "tropical_cyclone.bufr"  # numbers with texts and meanings between them
    if not path.is_file():
        pytest.skip("../shared/data is not available")
    with vantrel.open(path) as reader:
        copied = reader.to_pandas(meanings=True)
        monkeypatch.setattr(frames, "SHARED_BLOCK_BYTES", 0)
        shared = reader.to_pandas(meanings=True)
    pd.testing.assert_frame_equal(shared, copied)
    kinds = [shared[name].dtype == np.float64 for name in shared.columns]
    assert sum(kinds) > 100 and sum(a != b for a, b in zip(kinds, kinds[1:])) > 20  # many runs of numbers


# pdbufr 0.16 with ecCodes 2.50 (read_bufr with required_columns=False) on the same files and keys.
COMPUTED_FROM_PDBUFR = [
    ("synop_multi_subset_uncompressed.bufr", "WMO_station_id",
     [1027, 1084, 1270, 1272, 1308, 1371, 1381, 1382, 1387, 1413, 1464, 1485]),
    ("synop_wigos.bufr", "WIGOS_station_id", ["0-705-0-1931", "0-705-0-1932", "0-705-0-1933"]),
    ("aircraft_mrar_compressed.bufr", "data_datetime",
     {0: "2021-09-09 15:00:00", 1: "2021-09-09 15:00:02", 2: "2021-09-09 15:00:03", 185: "2021-09-09 15:14:57"}),
    ("aircraft_mrar_compressed.bufr", "typical_datetime",
     {0: "2021-09-09 15:00:00", 1: "2021-09-09 15:00:00", 2: "2021-09-09 15:00:00", 185: "2021-09-09 15:12:20"}),
    ("synop_multi_subset_uncompressed.bufr", "geometry", {0: "[18.9057, 69.6523, 20.0]", 1: "[30.041, 69.4552, 27.0]"}),
    ("synop_wigos.bufr", "geometry", {2: "[13.54105, 46.01312, 232.0]"}),
    ("synop_wigos.bufr", "CRS", ["EPSG:4326"] * 3),
    # pdbufr gives a height of 0.0 where the data give none; vantrel NaN.
    ("aircraft_mrar_compressed.bufr", "geometry", {0: "[-3.18049, 40.6605, nan]", 1: "[3.94982, 40.2453, nan]"}),
]


@pytest.mark.parametrize("name, key, expected", COMPUTED_FROM_PDBUFR)
def test_computed_keys_as_pdbufr_gives_them(bufr_dir, name, key, expected):
    frame = vantrel.read_bufr(bufr_dir / name, columns=["airTemperature", key])
    assert list(frame.columns[2:4]) == ["airTemperature", key]  # in the order asked for
    if isinstance(expected, dict):
        assert {i: str(frame[key][i]) for i in expected} == expected
    else:
        assert frame[key].tolist() == expected
    if key == "WMO_station_id":
        assert str(frame[key].dtype) == "Int64"
        only = vantrel.read_bufr(bufr_dir / name, columns=["airTemperature"], filters={key: 1084})
        assert only["subset"].tolist() == [2] and key not in only.columns
        with pytest.raises(ValueError, match="computed keys"):
            vantrel.read_bufr(bufr_dir / name, columns=[key], form="long")


def test_required_columns_drop_the_subsets_without_the_key_not_those_with_it_missing(bufr_dir):
    # pdbufr 0.16: 1030 rows with required_columns=True (1031 without), 845 of them with the
    # pressure missing (846 without): one subset lacks the key, the others hold it, present or missing.
    path, columns = bufr_dir / "synop_dwd_multi.bufr", ["stationNumber", "pressureReducedToMeanSeaLevel"]
    every = vantrel.read_bufr(path, columns=columns)
    required = vantrel.read_bufr(path, columns=columns, required_columns=True)
    assert (len(every), len(required)) == (1031, 1030)
    assert required["pressureReducedToMeanSeaLevel"].isna().sum() == 845
    assert len(vantrel.read_bufr(path, columns=["stationNumber"], required_columns=["WMO_station_id"])) == 1031
    with pytest.raises(ValueError, match="wide form"):
        vantrel.read_bufr(path, columns=columns, form="levels", required_columns=True)


@pytest.mark.parametrize("form", ["wide", "levels"])
def test_integer_keys_as_nullable_integers(bufr_dir, form):
    # pdbufr 0.16 gives stationNumber and year as int64 ([27, 84, 270], 2015), airTemperature
    # as float64 and presentWeather, missing in every subset, as None.
    columns = ["stationNumber", "year", "presentWeather", "airTemperature"]
    frame = vantrel.read_bufr(bufr_dir / "synop_multi_subset_uncompressed.bufr", columns=columns, form=form,
                              integers=True)
    assert [str(frame[c].dtype) for c in columns] == ["Int64", "Int64", "Int64", "float64"]
    assert frame["stationNumber"].tolist()[:3] == [27, 84, 270] and set(frame["year"]) == {2015}
    assert frame["presentWeather"].isna().all()
    plain = vantrel.read_bufr(bufr_dir / "synop_multi_subset_uncompressed.bufr", columns=columns, form=form)
    assert plain["stationNumber"].dtype == np.float64  # without the option, as before


def test_every_rank_of_a_key(bufr_dir):
    path = bufr_dir / "synop_dwd_multi.bufr"
    ranks = ["airTemperature", "#2#airTemperature"]  # the ranks the subsets of this file hold
    frame = vantrel.read_bufr(path, columns=["stationNumber", "~airTemperature"])
    pd.testing.assert_frame_equal(frame, vantrel.read_bufr(path, columns=["stationNumber"] + ranks))
    # A filter on every rank keeps the subsets where any rank meets it.
    warm = vantrel.read_bufr(path, columns=["stationNumber", "~airTemperature"],
                             filters={"~airTemperature": slice(290, None)})
    expected = frame[(frame[ranks] >= 290).any(axis=1)].reset_index(drop=True)
    assert 0 < len(warm) < len(frame)
    pd.testing.assert_frame_equal(warm, expected)
    long = vantrel.read_bufr(path, columns=["~airTemperature"], form="long")
    assert set(long["key"]) == set(ranks)


# bufr_get -p (ecCodes 2.28) on the first messages of each file.
LOCAL_KEYS_FROM_ECCODES = [
    ("bufr-ed3/temp.bufr", ["rdbType", "rdbSubtype", "isSatellite", "ident", "localLatitude", "localLongitude",
                            "rdbtimeTime", "qualityControl"],
     [[5, 101, 0, "71907", 58.47, -78.08, "120849", 70], [5, 101, 0, "71823", 53.75, -73.67, "120850", 70]]),
    ("bufr-ed3/aircraft_small.bufr", ["oldSubtype", "ident", "localLatitude", "localYear", "localMinute"],
     [[145, "QGOBTRRA", 35.1, 2009, 0], [145, "QGOBTRRA", 35.07, 2009, 1], [145, "UOZDOZ2S", 41.45, 2009, 56]]),
    ("bufr-ed3/amsa_55.bufr", ["rdbType", "isSatellite", "satelliteID", "localNumberOfObservations",
                               "localLatitude1", "localLongitude1", "localLatitude2", "localLongitude2"],
     [[2, 1, 4, 128, 47.5699, 138.176, 54.1472, 167.298]]),
]


@pytest.mark.parametrize("name, keys, expected", LOCAL_KEYS_FROM_ECCODES)
def test_ecmwf_local_section_keys_as_eccodes_reads_them(name, keys, expected):
    path = SHARED_DATA / name
    if not path.is_file():
        pytest.skip("../shared/data is not available")
    frame = vantrel.read_bufr(path, columns=keys)
    firsts = frame.drop_duplicates("message")[keys].head(len(expected)).values.tolist()
    assert [[pytest.approx(v, rel=1e-5) if isinstance(v, float) else v for v in row] for row in expected] == firsts
    other = vantrel.read_bufr(SHARED_DATA / "bufr" / "synop_wigos.bufr", columns=["rdbType", "ident"])
    assert other["rdbType"].isna().all() and other["ident"].isna().all()  # centre 219: no such section


@pytest.mark.parametrize("name, kwargs", [
    ("bufr/synop_dwd_multi.bufr", dict(columns=["WMO_station_id", "~airTemperature"],
                                       filters={"airTemperature": slice(280, None), "dataCategory": 0})),
    ("bufr/multi_invalid_messages.bufr", dict(columns=["stationNumber"])),
    ("bufr-ed3/temp.bufr", dict(columns=["pressure", "airTemperature"], form="levels", integers=True)),
    ("bufr/synop_dwd_multi.bufr", dict(reader="synop", filters={"dataCategory": 0})),
])
def test_stream_gives_the_rows_of_read_bufr_batch_by_batch(name, kwargs):
    path = SHARED_DATA / name
    if not path.is_file():
        pytest.skip("../shared/data is not available")
    with warnings.catch_warnings(record=True) as whole:
        warnings.simplefilter("always")
        frame = vantrel.read_bufr(path, **kwargs)
    with warnings.catch_warnings(record=True) as streamed:
        warnings.simplefilter("always")
        rows = list(vantrel.stream_bufr(path, batch=7, **kwargs))
    assert len(rows) == len(frame) > 0
    categories = [c for c in frame.columns if isinstance(frame[c].dtype, pd.CategoricalDtype)]
    pd.testing.assert_frame_equal(pd.DataFrame(rows, columns=frame.columns).astype({c: object for c in categories}),
                                  frame.astype({c: object for c in categories}), check_dtype=False)
    assert sorted(str(w.message) for w in streamed) == sorted(str(w.message) for w in whole)


def test_read_bufr_of_messages(bufr_dir):
    path = bufr_dir / "synop_dwd_multi.bufr"
    whole = vantrel.read_bufr(path, columns=["latitude"], filters={"index": range(2, 4)})
    with vantrel.open(path) as reader:
        parts = vantrel.read_bufr([reader[1], reader[2]], columns=["latitude"])
        one = vantrel.read_bufr(reader[1], columns=["latitude"])
    assert parts["latitude"].tolist() == whole["latitude"].tolist() and len(whole) == 2
    assert list(parts["file"].unique()) == [f"{path}#2", f"{path}#3"]
    assert one["latitude"].tolist() == whole[whole["message"] == 2]["latitude"].tolist()
