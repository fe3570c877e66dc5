"""Domain readers: observations of one kind (surface stations, radiosondes, cyclone tracks)
as named parameters in one fixed long layout, whatever template the messages use.

``read_bufr(path, reader="synop")`` gives one row per observed value::

    station  latitude  longitude  elevation  time  parameter  level  period  value  units

(``reader="tropical_cyclone"``: ``storm_id storm_name member base_time step valid_time
latitude longitude parameter value units``). A parameter is read from the keys that carry
it (``t2m`` from ``airTemperature`` at its sensor height, or from ``airTemperatureAt2M``;
``precipitation`` from ``totalPrecipitationOrTotalWaterEquivalent`` over its period, or
from ``totalPrecipitationPast24Hours``), with the coordinates in force at the value: the
rows in context of :mod:`vantrel.dataframes`, grouped by the core. Levels are metres above
the ground (synop) or pascals (temp); periods are durations; values keep the SI units of
the tables, geopotential heights become geopotentials (m2 s-2), as ``z`` is elsewhere.

The tables below are the readers' definitions: which keys carry which parameter. They hold
no BUFR rule; the keys, units, nesting and times all come from the core.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Mapping

import numpy as np

from . import dataframes as _dataframes
from . import keys as _keys

# Standard gravity: geopotential (m2 s-2) per geopotential metre.
GRAVITY = 9.80665

SENSOR_HEIGHT = "heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform"


@dataclass(frozen=True)
class Source:
    """One key that carries a parameter (only as element ``element`` when given: a key some
    tables give two elements): at the level of key ``level`` in force (or the fixed ``at``,
    metres), over the period in force when ``period`` (or the fixed ``over``, hours), its
    values times ``factor`` in ``units`` when given. ``within``: the levels the parameter
    is (an unknown level passes). ``own_level``: each value needs a level of its own; one
    whose level in force already placed an earlier value of the key in its subset is left
    out (a sounding's values after its last pressure level are not at that level)."""
    key: str
    element: int | None = None
    level: str | None = None
    within: tuple[float, float] | None = None
    own_level: bool = False
    at: float | None = None
    period: bool = False
    over: float | None = None
    factor: float = 1.0
    units: str | None = None


def _sources(*items) -> tuple:
    return tuple(Source(item) if isinstance(item, str) else item for item in items)


# Screen level: temperature and humidity sensors at 1.25 to 2 m over land, higher on marine
# platforms (above the deck); the near-ground temperature (5 cm) is another parameter.
_AT_2M = dict(level=SENSOR_HEIGHT, within=(0.5, float("inf")))
_AT_10M = dict(level=SENSOR_HEIGHT)
SYNOP = {
    "t2m": _sources(Source("airTemperature", **_AT_2M), Source("airTemperatureAt2M", at=2.0)),
    "td2m": _sources(Source("dewpointTemperature", **_AT_2M), Source("dewpointTemperatureAt2M", at=2.0)),
    "rh2m": _sources(Source("relativeHumidity", **_AT_2M)),
    "wind10m_speed": _sources(Source("windSpeed", **_AT_10M), Source("windSpeedAt10M", at=10.0)),
    "wind10m_dir": _sources(Source("windDirection", **_AT_10M), Source("windDirectionAt10M", at=10.0)),
    "max_wgust_speed": _sources(Source("maximumWindGustSpeed", period=True, **_AT_10M)),
    "max_wgust_dir": _sources(Source("maximumWindGustDirection", period=True, **_AT_10M)),
    "precipitation": _sources(Source("totalPrecipitationOrTotalWaterEquivalent", period=True),
                              Source("totalPrecipitationPast24Hours", over=24.0)),
    "min_t2m": _sources(Source("minimumTemperatureAtHeightAndOverPeriodSpecified", period=True, **_AT_2M),
                        Source("minimumTemperatureAt2MPast24Hours", at=2.0, over=24.0)),
    "max_t2m": _sources(Source("maximumTemperatureAtHeightAndOverPeriodSpecified", period=True, **_AT_2M),
                        Source("maximumTemperatureAt2MPast24Hours", at=2.0, over=24.0)),
    "mslp": _sources("pressureReducedToMeanSeaLevel"),
    "pressure": _sources(Source("pressure", element=10004), "nonCoordinatePressure"),  # not a level's 0 07 004
    "cloud_cover": _sources("cloudCoverTotal"),
    "snow_depth": _sources("totalSnowDepth"),
    "visibility": _sources("horizontalVisibility"),
    "present_weather": _sources("presentWeather"),
    "past_weather_1": _sources(Source("pastWeather1", period=True)),
    "past_weather_2": _sources(Source("pastWeather2", period=True)),
}

_ON_LEVEL = dict(level="pressure", own_level=True)
TEMP = {
    "z": _sources(Source("nonCoordinateGeopotential", **_ON_LEVEL),
                  Source("nonCoordinateGeopotentialHeight", factor=GRAVITY, units="m2 s-2", **_ON_LEVEL)),
    "t": _sources(Source("airTemperature", **_ON_LEVEL)),
    "td": _sources(Source("dewpointTemperature", **_ON_LEVEL)),
    "wind_speed": _sources(Source("windSpeed", **_ON_LEVEL)),
    "wind_dir": _sources(Source("windDirection", **_ON_LEVEL)),
}

TROPICAL_CYCLONE = {
    "mslp": _sources("pressureReducedToMeanSeaLevel"),  # at the storm's centre
    "max_wind_speed": _sources("windSpeedAt10M"),        # at the place of the strongest wind
}

# Keys of a station's identity and place, in the order they name it.
STATION_KEYS = ("blockNumber", "stationNumber", "wigosIdentifierSeries", "wigosIssuerOfIdentifier",
                "wigosIssueNumber", "wigosLocalIdentifierCharacter", "shipOrMobileLandStationIdentifier",
                "stationOrSiteName", "longStationName", "latitude", "longitude",
                "heightOfStationGroundAboveMeanSeaLevel", "heightOfStation")
STORM_KEYS = ("stormIdentifier", "longStormName", "ensembleMemberNumber", "timePeriod", "latitude", "longitude")


@dataclass(frozen=True)
class Domain:
    name: str
    parameters: Mapping[str, tuple]
    keys: tuple  # the keys of the layout's own columns


DOMAINS = {
    "synop": Domain("synop", SYNOP, STATION_KEYS + (SENSOR_HEIGHT, "timePeriod")),
    "temp": Domain("temp", TEMP, STATION_KEYS + ("pressure",)),
    "tropical_cyclone": Domain("tropical_cyclone", TROPICAL_CYCLONE, STORM_KEYS),
}


def domain(name: str) -> Domain:
    if name not in DOMAINS:
        raise ValueError(f"reader must be one of {', '.join(map(repr, DOMAINS))}, not {name!r}")
    return DOMAINS[name]


def parameters_of(d: Domain, columns) -> list[str]:
    """The parameters asked for (all of the domain's when None), checked."""
    if columns is None:
        return list(d.parameters)
    names = [columns] if isinstance(columns, str) else list(columns)
    unknown = [n for n in names if n not in d.parameters]
    if unknown:
        raise KeyError(f"{', '.join(map(repr, unknown))}: not a parameter of reader {d.name!r}; "
                       f"it has {', '.join(d.parameters)}")
    return list(dict.fromkeys(names))


def keys_of(d: Domain, names: list[str]) -> list[str]:
    """Every key the rows of these parameters need, the layout's first."""
    keys = list(d.keys)
    for name in names:
        for source in d.parameters[name]:
            keys += [source.key] + ([source.level] if source.level else [])
    return list(dict.fromkeys(keys))


class _Context:
    """The rows in context of one decode, with the coordinates in force on each row by key."""

    def __init__(self, k: _dataframes.Keyed, keys: list[str]):
        self.k, self.keys = k, keys
        self.rows_in_context, self.chosen = _dataframes.context_rows(k, keys)
        self.group = self.rows_in_context.group
        self.column = {keys[j]: i for i, j in enumerate(self.rows_in_context.coordinate_keys.tolist())}
        self.message, self.subset, _ = k.subset_rows()
        self.when = _dataframes.subset_datetimes(k)
        # The observation values by key, in walk order: one sort, not a pass per key.
        observed = self.rows_in_context.observed
        key_of = self.chosen[observed]
        self._by_key = np.argsort(key_of, kind="stable")
        self._key_bounds = np.searchsorted(key_of[self._by_key], np.arange(len(keys) + 1))

    def observed(self, key: str) -> tuple[np.ndarray, np.ndarray]:
        """The input rows of the observation values of `key` and the rows holding them."""
        j = self.keys.index(key)
        mine = self._by_key[self._key_bounds[j]:self._key_bounds[j + 1]]
        return self.rows_in_context.observed[mine], self.rows_in_context.observed_row[mine]

    def rows(self, key: str, rows: np.ndarray) -> np.ndarray:
        """The input row of coordinate `key` in force on each of `rows`, -1 for none."""
        i = self.column.get(key)
        if i is None:
            return np.full(len(rows), -1, dtype=np.int64)
        return self.rows_in_context.coordinates[rows, i]

    def numbers(self, key: str, rows: np.ndarray) -> np.ndarray:
        at = self.rows(key, rows)
        value = self.k.cols["value"]
        return np.where(at >= 0, value[np.maximum(at, 0)], np.nan) if len(value) else np.full(len(at), np.nan)

    def texts(self, key: str, rows: np.ndarray) -> np.ndarray:
        """The texts of coordinate `key` in force (None where none or blank), each decoded once."""
        distinct, inverse = np.unique(self.rows(key, rows), return_inverse=True)
        held = distinct >= 0
        decoded = np.full(len(distinct), None, dtype=object)
        decoded[held] = [None if t is None else t.strip() or None
                         for t in _dataframes.text_values(self.k.cols, distinct[held])]
        return decoded[inverse]

    def seconds(self, key: str, rows: np.ndarray, span: bool = False) -> np.ndarray:
        """The values of time period coordinate `key` in force, in seconds by each one's unit;
        with `span`, the length of the range a value closes (-12 h then 0 h: 12 h) where it
        closes one."""
        at = self.rows(key, rows)
        if not len(self.k.unit):
            return np.full(len(at), np.nan)
        per_unit = np.array([_SECONDS.get(u, np.nan) for u in self.k.units], dtype=float)

        def of(rows_at):
            safe = np.maximum(rows_at, 0)
            return np.where(rows_at >= 0, np.rint(self.k.cols["value"][safe] * per_unit[self.k.unit[safe]]), np.nan)

        out = of(at)
        ranges = self.rows_in_context.ranges
        if span and len(ranges):
            order = np.argsort(ranges[:, 0])
            ends, starts = ranges[order, 0], ranges[order, 1]
            where = np.minimum(np.searchsorted(ends, at), len(ends) - 1)
            closes = (at >= 0) & (ends[where] == at)
            out[closes] = out[closes] - of(starts[where[closes]])
        return out

    def times(self, rows: np.ndarray) -> np.ndarray:
        if self.when is None:
            return np.full(len(rows), np.datetime64("NaT"), dtype="datetime64[us]")
        return self.when[self.group[rows]]


# Seconds in each unit a time period comes in (a year and a month on average).
_SECONDS = {"a": 31_557_600.0, "mon": 2_629_800.0, "d": 86_400.0, "h": 3_600.0, "min": 60.0, "s": 1.0}


def _categories(pd, values: np.ndarray):
    """A categorical of object `values` (None missing), each distinct value stored once."""
    return pd.Categorical(values)


def _station(c: _Context, rows: np.ndarray, pd):
    """The station of each of `rows` (in order): the WMO number (five digits), else the
    WIGOS identifier, else the ship or mobile station's call sign, else the station's
    name; worked out once per run of rows with the same station keys in force."""
    identity = [c.rows(key, rows) for key in STATION_KEYS[:9]]
    change = np.zeros(len(rows), dtype=bool)
    if len(rows):
        change[0] = True
        for column in identity:
            change[1:] |= column[1:] != column[:-1]
    starts = np.flatnonzero(change)
    first = np.stack([column[starts] for column in identity], axis=1) if len(starts) else \
        np.zeros((0, len(identity)), dtype=np.int64)
    value = c.k.cols["value"]
    numbers = np.where(first[:, :5] >= 0, value[np.maximum(first[:, :5], 0)], np.nan) if len(value) else \
        np.full((len(starts), 5), np.nan)
    names = np.full(len(starts), None, dtype=object)
    wmo = np.isfinite(numbers[:, 0]) & np.isfinite(numbers[:, 1])
    ids = (numbers[wmo, 0].astype(np.int64) * 1000 + numbers[wmo, 1].astype(np.int64)).astype(str)
    if len(ids):
        names[wmo] = np.char.zfill(ids, 5).astype(object)
    others = np.flatnonzero(~wmo)  # stations without a WMO number: by their texts
    words = []
    for j in range(5, first.shape[1]):
        at = first[others, j]
        text = np.full(len(others), None, dtype=object)
        text[at >= 0] = _dataframes.text_values(c.k.cols, at[at >= 0])
        words.append([None if t is None else t.strip() or None for t in text.tolist()])
    for n, i in enumerate(others.tolist()):
        names[i] = _keys.wigos_identifier(*numbers[i, 2:5].tolist(), words[0][n]) or \
            next((w[n] for w in words[1:] if w[n]), None)
    segment = pd.Categorical(names)
    return pd.Categorical.from_codes(np.repeat(segment.codes, np.diff(np.append(starts, len(rows)))),
                                     categories=segment.categories)


def frame(d: Domain, k: _dataframes.Keyed, names: list[str], pd):
    """The long layout of domain `d` for the parameters `names` of keyed columns `k`
    (decoded with units)."""
    keys = keys_of(d, names)
    c = _Context(k, keys)
    value, descriptor = k.cols["value"], k.cols["descriptor"]
    track = d.name == "tropical_cyclone"
    parts = []
    unit_names = list(k.units) + [None] if len(k.unit) else [None]
    fixed_units = {}
    for code, name in enumerate(names):
        for source in d.parameters[name]:
            at, rows = c.observed(source.key)
            kept = np.isfinite(value[at])  # a missing value is no observation
            if source.element is not None:
                kept &= descriptor[at] == source.element
            if source.level and source.within:
                level = c.numbers(source.level, rows)
                kept &= np.isnan(level) | ((level >= source.within[0]) & (level <= source.within[1]))
            if source.own_level:
                placed = c.rows(source.level, rows)
                first = np.zeros(len(at), dtype=bool)
                first[np.unique(placed, return_index=True)[1]] = True  # rows come in walk order
                kept &= first & (placed >= 0)
            at, rows = at[kept], rows[kept]
            if not len(at):
                continue
            if source.units:
                unit = fixed_units.setdefault(source.units, len(unit_names) + len(fixed_units))
                units = np.full(len(at), unit, dtype=np.int64)
            else:
                units = k.unit[at].astype(np.int64)
            part = {"at": at, "row": rows, "parameter": np.full(len(at), code, dtype=np.int64),
                    "value": value[at] * source.factor, "units": units}
            if not track:
                part["level"] = c.numbers(source.level, rows) if source.level else \
                    np.full(len(at), np.nan if source.at is None else source.at)
                part["period"] = np.abs(c.seconds("timePeriod", rows, span=True)) if source.period else \
                    np.full(len(at), np.nan if source.over is None else source.over * 3600)
            parts.append(part)
    columns = ["at", "row", "parameter", "value", "units"] + ([] if track else ["level", "period"])
    data = {key: np.concatenate([p[key] for p in parts]) if parts else
            np.zeros(0, dtype=float if key in ("value", "level", "period") else np.int64) for key in columns}
    order = np.lexsort((data["at"], data["row"]))  # rows in context in order, and values in walk order in each
    row = data["row"][order]
    out = {"message": c.message[c.group[row]], "subset": c.subset[c.group[row]]}
    if track:
        step = c.seconds("timePeriod", row)
        step[c.rows("timePeriod", row) < 0] = 0.0  # the analysis comes before any period
        step = pd.to_timedelta(step, unit="s")
        base = c.times(row)
        out.update(storm_id=_categories(pd, c.texts("stormIdentifier", row)),
                   storm_name=_categories(pd, c.texts("longStormName", row)),
                   member=_dataframes._as_integers(pd, c.numbers("ensembleMemberNumber", row)),
                   base_time=base, step=step, valid_time=base + step.to_numpy(),
                   latitude=c.numbers("latitude", row), longitude=c.numbers("longitude", row))
    else:
        elevation = c.numbers("heightOfStationGroundAboveMeanSeaLevel", row)
        elevation = np.where(np.isfinite(elevation), elevation, c.numbers("heightOfStation", row))
        out.update(station=_station(c, row, pd), latitude=c.numbers("latitude", row),
                   longitude=c.numbers("longitude", row), elevation=elevation, time=c.times(row))
    out["parameter"] = pd.Categorical.from_codes(data["parameter"][order], categories=names)
    if not track:
        out["level"] = data["level"][order]
        out["period"] = pd.to_timedelta(data["period"][order], unit="s")
    out["value"] = data["value"][order]
    unit_names += list(fixed_units)
    units = pd.Categorical(np.array(unit_names, dtype=object)[data["units"][order]]) if len(order) else \
        pd.Categorical([])
    out["units"] = units
    return pd.DataFrame(out)


def read(reader, d: Domain, names: list[str], select, threads, pd):
    """The long layout of the messages of `reader` that `select` keeps."""
    keys = keys_of(d, names) + list(_dataframes.TIME_KEYS)
    k, _ = reader._columns(False, threads, select, keys, "long")
    return frame(d, k, names, pd)


def check_filters(filters: Mapping[str, Any], columns) -> None:
    unknown = [name for name in filters if name not in columns]
    if unknown:
        raise KeyError(f"filter on {', '.join(map(repr, unknown))}, not a column of the reader's layout "
                       f"({', '.join(columns)}) nor a header key")
