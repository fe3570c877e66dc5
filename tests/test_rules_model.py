"""The decoder against a model of each rule set (tests/bufr_model.py), on seeded
random descriptor lists over random data, both encodings.

Descriptor lists draw on every operator (2 01 to 2 08, 2 21 to 2 42, 2 62),
fixed and delayed replication (bitmaps and markers replicated, factors under
2 01, code-table factors), associated fields, sequences, character data and
elements missing from the tables. The data are random bits, mostly zeros so
that replication factors stay small; a list and its data decode as
non-compressed and as compressed data, and every decode must give the model's
records (descriptor, name, raw, raw_value, raw_text, raw_meaning) exactly, or
fail with the model's text.

VANTREL_MODEL_CASES sets the number of cases per rule set (default 1500) and
VANTREL_MODEL_SEED the seeds (default 0); scripts/rules-model.sh runs a long
session of them over many seeds.
"""

from __future__ import annotations

import collections
import os
import random

import pytest

import _vantrel
from bufr_builder import BitWriter, Element, build_message, write_table_dir
from bufr_model import Definition, Model, ModelError, TooLarge, model_decode
from vantrel import _core

TEXT = "CCITT IA5"
DEFINITIONS = [
    Definition(1001, "BLOCK", width=7),
    Definition(1002, "STATION", width=10),
    Definition(1033, "CENTRE", "Common CODE TABLE C-1", width=8),
    Definition(2064, "WIDE", reference=-(2**63), width=64),
    Definition(4001, "YEAR", width=12),
    Definition(5001, "LATITUDE", scale=5, reference=-9000000, width=25),
    Definition(7030, "HEIGHT", scale=1, reference=-4000, width=17),
    Definition(8003, "TINY", width=3),
    Definition(10004, "PRESSURE", scale=-1, width=14),
    Definition(12101, "TEMPERATURE", "K", scale=2, width=16),
    Definition(13011, "PRECIPITATION", scale=1, reference=-1, width=14),
    Definition(1056, "BIG", scale=-3, reference=123456789, width=56),
    Definition(20011, "CLOUD AMOUNT", "CODE TABLE", width=4),
    Definition(8001, "SIGNIFICANCE", "FLAG TABLE", width=7),
    Definition(33007, "PERCENT CONFIDENCE", "%", width=7),
    Definition(63001, "LOCAL ONE", width=8),
    Definition(63002, "LOCAL TWO", width=8),
    Definition(63003, "LOCAL THREE", width=8),
    Definition(63201, "LOCAL CODE", "CODE TABLE", width=8),
    Definition(63203, "LOCAL FLAGS", "Flag table", width=8),
    Definition(31000, "SHORT FACTOR", width=1),
    Definition(31001, "FACTOR", width=8),
    Definition(31021, "ASSOCIATED SIGNIFICANCE", "CODE TABLE", width=6),
    Definition(31031, "DATA PRESENT", "FLAG TABLE", width=1),
    Definition(1015, "NAME", TEXT, width=160),
    Definition(1019, "SHORT NAME", TEXT, width=32),
    Definition(1008, "CALL SIGN", TEXT, width=64),
]
SEQUENCES = {301010: [1001, 1002, 301011], 301011: [12101, 1019], 301012: [], 301013: [63001, 63201, 63002],
             301099: [301099]}
CODE_TABLES = {20011: {0: "NONE", 3: "THREE", 15: "MISSING"}, 8001: {1: "ONE", 64: "SIXTY-FOUR"},
               1033: {0: "ZERO", 5: "FIVE", 254: "EUMETSAT"}, 63201: {0: "NIL", 5: "FIVE", 10: "TEN"},
               31021: {1: "ONE-BIT QUALITY", 21: "TWENTY-ONE"}}
UNKNOWN = [25192, 48001]  # in no table

QUANTITIES = [1001, 1002, 4001, 5001, 7030, 8003, 10004, 12101, 13011, 1056, 33007, 63001, 63002, 63003]
CODED = [1033, 20011, 8001, 63201, 63203, 31021]
CHARACTERS = [1015, 1019, 1008]
ELEMENTS = QUANTITIES * 3 + CODED + CHARACTERS + [2064, 31031, 31000]
FACTORS = [31000, 31000, 8003, 8003, 31021, 20011, 1033, 31001]
CASES = int(os.environ.get("VANTREL_MODEL_CASES", "1500"))
SEED = int(os.environ.get("VANTREL_MODEL_SEED", "0"))


# ---------------------------------------------------------------------------
# Descriptor lists


def generate(rng: random.Random) -> list[int]:
    out = []
    for _ in range(rng.randint(1, 7)):
        out += item(rng, 0)
    return out


def item(rng, depth):
    roll = rng.random()
    if roll < 0.35 or depth >= 3:
        return [rng.choice(ELEMENTS)]
    if roll < 0.42:
        return [rng.choice(list(SEQUENCES)[:-1] if rng.random() < 0.98 else list(SEQUENCES))]
    if roll < 0.50:
        body = body_of(rng, depth)
        return [100000 + 1000 * len(body) + rng.randint(1, 3)] + body
    if roll < 0.58:
        body = body_of(rng, depth)
        return [100000 + 1000 * len(body), rng.choice(FACTORS)] + body
    if roll < 0.75:
        return bitmap_block(rng)
    return operator_item(rng, depth)


def body_of(rng, depth):
    return [d for _ in range(rng.randint(1, 3)) for d in item(rng, depth + 1)]


def changing(rng):
    """An operator that changes codings, and the one that restores them."""
    x = rng.choice([1, 1, 2, 7, 4, 8])
    y = {1: lambda: rng.choice([rng.randint(120, 136), 129, 132, 1, 255]),
         2: lambda: rng.randint(124, 132),
         7: lambda: rng.randint(1, 3),
         4: lambda: rng.randint(1, 12),
         8: lambda: rng.randint(1, 24)}[x]()
    return 200000 + 1000 * x + y, 200000 + 1000 * x


def operator_item(rng, depth):
    roll = rng.random()
    if roll < 0.35:
        on, off = changing(rng)
        inner = body_of(rng, depth)
        if on // 1000 == 204 and rng.random() < 0.5:  # a factor that is not of class 31 under an associated field
            inner += [101000, 8003, rng.choice(QUANTITIES)]
        return [on] + inner + ([off] if rng.random() < 0.9 else [])
    if roll < 0.45:
        width = rng.randint(6, 20) if rng.random() < 0.9 else rng.choice([64, 70])
        return [203000 + width, *rng.sample(QUANTITIES + [31001, 1019], 2), 203255] + \
            ([203000] if rng.random() < 0.5 else [])
    if roll < 0.55:
        return [205000 + rng.randint(0, 12)]
    if roll < 0.70:
        return [206000 + rng.choice([0, rng.randint(1, 24), 64, 65]),
                rng.choice(UNKNOWN + QUANTITIES + CODED + CHARACTERS + [31031])]
    # Operators of Table C that only append records, do nothing here, or touch bitmaps.
    x = rng.choice([9, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 50,
                    62, 63])
    return [200000 + 1000 * x + rng.choice([0, 0, 255, rng.randint(1, 254)])]


def bitmap_block(rng):
    """Elements, an operator that asks for a bitmap, the bitmap and its markers, in the shapes
    real messages and hostile ones take."""
    out = [rng.choice(ELEMENTS) for _ in range(rng.randint(0, 3))]
    if rng.random() < 0.7:
        out.append(rng.choice([222000, 223000, 224000, 225000, 232000]))
    if rng.random() < 0.6:
        out.append(236000)
    size = rng.randint(1, 6)
    out += rng.choice([
        [101000 + size, 31031],
        [101000, 8003, 31031],
        [31031] * size,
        [rng.choice(QUANTITIES), 31031, 31031],
        [],
    ])
    if rng.random() < 0.2:
        out.append(rng.choice([237000, 237255, 235000, 201129]))
    marker = rng.choice([223255, 224255, 225255, 232255])
    out += rng.choice([[marker] * rng.randint(1, 4), [101000, 8003, marker], [102000 + size, marker, 33007],
                       [marker, 237000, marker], [marker, 235000, marker]])
    return out


# ---------------------------------------------------------------------------
# Decoding with the module and with the model


def random_data(rng):
    """Bits that are mostly zero (small factors, present bitmap positions)."""
    size = rng.randint(0, 24) if rng.random() < 0.15 else rng.randint(60, 500)
    return bytes(sum(1 << b for b in range(8) if rng.random() < 0.14) for _ in range(size))


def record(v):
    return (v.descriptor, v.name, v.raw, v.raw_value, v.raw_text, v.raw_meaning)


def unnamed_warnings(unnamed):
    if not unnamed:
        return []
    code, width = unnamed[0]
    text = f"descriptor {code:06d} is not in Table B: read its {width} bits (operator {206000 + width:06d}) as an " \
           "unnamed raw value"
    return [text + (f" ({len(unnamed)} such values in the message)" if len(unnamed) > 1 else "")]


def modelled(rules, descriptors, data, subsets, compressed):
    """The model's (records, warnings) or its error text; None when too large to model."""
    try:
        records, unnamed = model_decode(DEFINITIONS, SEQUENCES, CODE_TABLES, rules, descriptors, data, subsets,
                                        compressed)
    except ModelError as error:
        return str(error)
    except TooLarge:
        return None
    return records, unnamed_warnings(unnamed)


def package_decode(message, tables, rules):
    try:
        values, _, _, _, warnings = _core.decode(_core.index(message), 0, tables, rules)
    except ValueError as error:
        return str(error)
    # The rules' warnings; a section 4 with bytes left over is the reader's concern, not the rules'.
    return [record(v) for v in values], [w for w in warnings if not w.startswith("section 4 is longer")]


@pytest.fixture(scope="module")
def tables(tmp_path_factory):
    elements = [Element(d.code, d.name, d.unit, d.scale, d.reference, d.width) for d in DEFINITIONS]
    directory = write_table_dir(tmp_path_factory.mktemp("rules"), elements, SEQUENCES, CODE_TABLES)
    return _vantrel.TableSet.from_eccodes(str(directory))


def cases(seed, count):
    rng = random.Random(seed)
    for _ in range(count):
        yield generate(rng), random_data(rng), rng.choice([0, 1, 1, 2, 3, 5])


@pytest.mark.parametrize("rules", ["strict", "wmo"])
def test_the_package_decodes_as_the_model_of_its_rules(tables, rules):
    modelled_count = 0
    for descriptors, data, subsets in cases(2 * SEED + (rules == "wmo"), CASES):
        for compressed in (False, True):
            expected = modelled(rules, descriptors, data, subsets, compressed)
            if expected is None:
                continue
            modelled_count += 1
            message = build_message(descriptors, data, subsets=subsets, compressed=compressed)
            assert package_decode(message, tables, rules) == expected, (descriptors, data.hex(), subsets, compressed)
            if rules == "strict":  # _vantrel decodes under the strict rules, and reports no warnings
                got = outcome(lambda: [record(v) for v in _vantrel.decode_values_with_tables(message, tables)])
                assert got == (expected if isinstance(expected, str) else expected[0]), (descriptors, data.hex())
    assert modelled_count > 1.9 * CASES


def test_the_cases_reach_every_rule():
    """The cases decode values through every operator and bitmap rule, fail in each way a
    walk can fail, and tell the two rule sets apart."""
    seen = collections.Counter()
    for descriptors, data, subsets in cases(2 * SEED, CASES):
        for compressed in (False, True):
            outcomes = {}
            for rules in ("strict", "wmo"):
                model = Model(DEFINITIONS, SEQUENCES, CODE_TABLES, rules)
                try:
                    records = model.decode(descriptors, data, subsets, compressed)
                except ModelError as error:
                    outcomes[rules] = str(error)
                    seen[str(error)] += 1
                except TooLarge:
                    break
                else:
                    outcomes[rules] = records
                    codes = {r[0] for r in records}
                    seen.update(f"record {c // 1000}" for c in codes if 200000 <= c < 300000)
                    seen["associated field"] += 999999 in codes
                    seen[f"{rules} marker values"] += model.marker_values > 0
                    seen["unnamed value"] += bool(model.unnamed)
            seen["rule sets differ"] += len(outcomes) == 2 and outcomes["strict"] != outcomes["wmo"]
    for kind in ["record 205", "record 222", "record 223", "record 224", "record 225", "record 232", "record 235",
                 "record 236", "record 237", "record 262", "associated field", "strict marker values",
                 "wmo marker values", "unnamed value",
                 "csv/table parse error: not enough bits while reading section 4",
                 "csv/table parse error: cannot read",
                 "csv/table parse error: bitmap reference is outside descriptor history",
                 "csv/table parse error: compressed delayed replication with varying factors is not implemented",
                 "descriptor 025192 was not found in Table B"]:
        assert sum(count for outcome, count in seen.items() if outcome.startswith(kind)) >= 3, kind
    assert seen["rule sets differ"] > CASES // 10


# ---------------------------------------------------------------------------
# Each rule by its statement: messages whose decode the two rule sets tell
# apart, with exact values. Fields are (value, width) in reading order under
# the strict rules; compressed data gives each field its own column (R0, NBINC
# 0) over two subsets. Expected: (descriptor, raw_value) records or an error.

def ops(*codes):
    return [(code, 0.0) for code in codes]


BITMAP_BLOCKS = [63001, 63002, 223000, 236000, 101002, 31031, 223255, 223255,
                 63003, 224000, 236000, 101002, 31031, 224255, 224255]
RULE_EXAMPLES = {
    # 2 02 129 scales a code table value: raw 5 reads 0.5 (WMO: 5.0).
    "2 02 on a code table": ([202129, 63201], [(5, 8)], [(63201, 0.5)], [(63201, 5.0)]),
    # 2 01 132 widens a flag table to 12 bits: 5, then 7 (WMO: 8 and 8 bits: 0, 80).
    "2 01 on a flag table": ([201132, 63203, 201000, 63001], [(5, 12), (7, 8)], [(63203, 5.0), (63001, 7.0)],
                             [(63203, 0.0), (63001, 80.0)]),
    # 2 01 120 leaves a code table 0 bits wide: missing without data (WMO: 8 bits it lacks).
    "2 01 to width 0": ([201120, 63201], [(0, 0)], [(63201, None)],
                        "csv/table parse error: not enough bits while reading section 4 at bit 0 for width 8 "
                        "(0 bits available)"),
    # 2 01 255 makes a code table 135 bits wide (WMO: 8 bits, 5).
    "2 01 past 64 bits": ([201255, 63201], [(5, 8)], "csv/table parse error: cannot read 135 bits into u64",
                          [(63201, 5.0)]),
    # 2 07 001: 12 bits, scale + 1: 0.5 (WMO: the first 8 of those bits, 0).
    "2 07 on a code table": ([207001, 63201], [(5, 12)], [(63201, 0.5)], [(63201, 0.0)]),
    # A bitmap under 2 01 129: each 0 31 031 entry 2 bits wide.
    "2 01 on a bitmap": ([63001, 63002, 236000, 201129, 101002, 31031, 201000, 223255, 223255],
                         [(1, 8), (2, 8), (0, 2), (1, 2), (30, 8)],
                         [(63001, 1.0), (63002, 2.0), *ops(236000), (31031, 0.0), (31031, 1.0), (63001, 30.0)],
                         "csv/table parse error: not enough bits while reading section 4 at bit 26 for width 8 "
                         "(32 bits available)"),
    # A code table replication factor under 2 01 129: 9 bits.
    "2 01 on a factor": ([201129, 101000, 63201, 63001, 201000], [(2, 9), (11, 9), (12, 9)],
                         [(63201, 2.0), (63001, 11.0), (63001, 12.0)], [(63201, 1.0), (63001, 5.0)]),
    # Each bitmap is anchored at its own 2 36 000 (WMO: at the first 2 2x 000 of the block).
    "anchor of each 2 36 000": (BITMAP_BLOCKS, [(1, 8), (2, 8), (0, 1), (0, 1), (10, 8), (20, 8), (3, 8), (0, 1),
                                                (0, 1), (30, 8), (40, 8)],
                                [(63001, 1.0), (63002, 2.0), *ops(223000, 236000), (31031, 0.0), (31031, 0.0),
                                 (63001, 10.0), (63002, 20.0), (63003, 3.0), *ops(224000, 236000), (31031, 0.0),
                                 (31031, 0.0), (63002, 30.0), (63003, 40.0)],
                                [(63001, 1.0), (63002, 2.0), *ops(223000, 236000), (31031, 0.0), (31031, 0.0),
                                 (63001, 10.0), (63002, 20.0), (63003, 3.0), *ops(224000, 236000), (31031, 0.0),
                                 (31031, 0.0), (63001, 30.0), (63002, 40.0)]),
    # 2 23 000 without 2 36 000 starts no bitmap: its 0 31 031 values are elements, the markers do nothing.
    "no bitmap without 2 36 000": ([63001, 63002, 223000, 101002, 31031, 223255, 223255],
                                   [(1, 8), (2, 8), (0, 1), (0, 1), (10, 8), (20, 8)],
                                   [(63001, 1.0), (63002, 2.0), *ops(223000), (31031, 0.0), (31031, 0.0)],
                                   [(63001, 1.0), (63002, 2.0), *ops(223000), (31031, 0.0), (31031, 0.0),
                                    (63001, 10.0), (63002, 20.0)]),
    # Collecting goes on past other elements: a third position refers to 0 63 003.
    "collecting never ends": ([63001, 63002, 236000, 31031, 31031, 63003, 31031, 223255, 223255, 223255],
                              [(1, 8), (2, 8), (0, 1), (0, 1), (3, 8), (0, 1), (10, 8), (20, 8), (30, 8)],
                              [(63001, 1.0), (63002, 2.0), *ops(236000), (31031, 0.0), (31031, 0.0), (63003, 3.0),
                               (31031, 0.0), (63001, 10.0), (63002, 20.0), (63003, 30.0)],
                              [(63001, 1.0), (63002, 2.0), *ops(236000), (31031, 0.0), (31031, 0.0), (63003, 3.0),
                               (31031, 0.0), (63001, 10.0), (63002, 20.0)]),
    # An element after 2 22 000 leaves the bitmap in force (WMO: it empties the awaited bitmap).
    "element after 2 22 000": ([63001, 63002, 236000, 31031, 31031, 223255, 222000, 63003, 223255],
                               [(1, 8), (2, 8), (0, 1), (0, 1), (10, 8), (3, 8), (20, 8)],
                               [(63001, 1.0), (63002, 2.0), *ops(236000), (31031, 0.0), (31031, 0.0),
                                (63001, 10.0), *ops(222000), (63003, 3.0), (63002, 20.0)],
                               [(63001, 1.0), (63002, 2.0), *ops(236000), (31031, 0.0), (31031, 0.0),
                                (63001, 10.0), *ops(222000), (63003, 3.0)]),
    # Anchor 1, bitmap 0 0 0 over two elements: the third marker refers beyond the history
    # (under both rule sets).
    "beyond the history": ([63001, 236000, 31031, 31031, 31031, 63002, 224255, 224255, 224255],
                           [(1, 8), (0, 1), (0, 1), (0, 1), (2, 8), (10, 8), (20, 8)],
                           "csv/table parse error: bitmap reference is outside descriptor history",
                           "csv/table parse error: bitmap reference is outside descriptor history"),
}


def example_message(descriptors, fields, compressed):
    writer = BitWriter()
    for value, width in fields:
        writer.write(value, width)
        if compressed:
            writer.write(0, 6)
    return build_message(descriptors, writer, subsets=2 if compressed else 1, compressed=compressed)


def outcome(decode):
    """What `decode` returns, or its error text."""
    try:
        return decode()
    except ValueError as error:
        return str(error)


@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "compressed"])
@pytest.mark.parametrize("name", RULE_EXAMPLES)
def test_each_strict_rule(tables, name, compressed):
    descriptors, fields, expected, _ = RULE_EXAMPLES[name]
    message = example_message(descriptors, fields, compressed)
    if compressed and isinstance(expected, list):
        expected = expected * 2
    elif compressed:  # the same error, at the bit where the columns put it
        expected = expected.split(" at bit ")[0]
    for decode in (lambda: _vantrel.decode_values_with_tables(message, tables),
                   lambda: _core.decode(_core.index(message), 0, tables, "strict")[0]):
        got = outcome(lambda: [(v.descriptor, v.raw_value) for v in decode()])
        assert (got.split(" at bit ")[0] if compressed and isinstance(got, str) else got) == expected


@pytest.mark.parametrize("name", RULE_EXAMPLES)
def test_each_wmo_rule_on_the_same_message(tables, name):
    descriptors, fields, _, expected = RULE_EXAMPLES[name]
    message = example_message(descriptors, fields, False)
    got = outcome(lambda: [(v.descriptor, v.raw_value) for v in _core.decode(_core.index(message), 0, tables, "wmo")[0]])
    assert got == expected


@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "compressed"])
def test_a_local_descriptor_that_2_06_announces(tables, compressed):
    # 0 25 192 is in no table; 2 06 008 says it is 8 bits wide. Under the WMO rules the
    # reader steps over it as an unnamed value and says so once; strict rules fail.
    import vantrel
    message = example_message([206008, 25192, 63001, 206008, 25192], [(200, 8), (7, 8), (255, 8)], compressed)
    with vantrel.open(message, tables=tables) as reader:
        values = reader[0].values()
        assert [(v.descriptor, v.name, v.raw_value) for v in values[:3]] == [(25192, "", 200.0), (63001, "LOCAL ONE", 7.0),
                                                                           (25192, "", 255.0)]
        assert reader[0].warnings == ["descriptor 025192 is not in Table B: read its 8 bits (operator 206008) as an "
                                      "unnamed raw value (2 such values in the message)"]
        assert "025192" in reader[0].to_pandas().columns
    with vantrel.open(message, tables=tables, rules="strict") as reader:
        with pytest.raises(vantrel.TablesError, match="descriptor 025192 was not found in Table B"):
            reader[0].values()
    # A marker that refers to the unnamed value reads it as a quantity of the operators in
    # force: under 2 01 129 its table width 0 becomes 1 bit.
    message = example_message([206008, 25192, 236000, 31031, 201129, 223255, 201000, 63001],
                              [(200, 8), (0, 1), (0, 1), (7, 8)], compressed)
    with vantrel.open(message, tables=tables) as reader:
        values = reader[0].values()
        assert [(v.descriptor, v.raw_value) for v in values[:5]] == [(25192, 200.0), (236000, 0.0), (31031, 0.0),
                                                                     (25192, 0.0), (63001, 7.0)]


@pytest.mark.parametrize("rules, error", [("exact", ValueError), ("WMO", ValueError), (1, TypeError), (None, TypeError)])
def test_rules_are_named(rules, error):
    import vantrel
    with pytest.raises(error, match='rules must be "wmo" or "strict"'):
        vantrel.open(b"", rules=rules)
