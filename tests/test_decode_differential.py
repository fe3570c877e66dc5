"""Non-compressed and compressed data against each other and against a model,
under the WMO rules (code and flag tables keep their coding under 2 01, 2 02
and 2 07; character values carry no position code), as the package decodes.

For seeded random descriptor lists over a small table directory, a model walk
draws the values of every subset, the test encodes them both ways, decodes
both messages and checks each record against what the model expects, then
checks that the two decodes agree wherever the rules make them equal (the
`raw` and meaning of a missing value and the position codes of character
values differ between the two by design).
"""

from __future__ import annotations

import random
from dataclasses import dataclass, field

import pytest

import _vantrel
from vantrel import _core
from bufr_builder import BitWriter, Element, build_message, write_table_dir

TEXT = "CCITT IA5"
CODE = "CODE TABLE"

ELEMENTS = [
    Element(1001, "BLOCK", width=7),
    Element(1002, "STATION", width=10),
    Element(1031, "CENTRE", width=8),                      # a factor that is not of class 31
    Element(2064, "WIDE", reference=-(2**63), width=64),   # never missing; raw + reference exact
    Element(4001, "YEAR", width=12),
    Element(5001, "LATITUDE", scale=5, reference=-9000000, width=25),
    Element(6001, "LONGITUDE", scale=5, reference=-18000000, width=26),
    Element(7030, "HEIGHT", scale=1, reference=-4000, width=17),
    Element(8003, "TINY", width=3),                        # 2 01 shrinks it to width 0
    Element(10004, "PRESSURE", scale=-1, width=14),
    Element(12101, "TEMPERATURE", scale=2, width=16),
    Element(13011, "PRECIPITATION", scale=1, reference=-1, width=14),
    Element(1056, "BIG", scale=-3, reference=123456789, width=56),
    Element(20011, "CLOUD AMOUNT", unit=CODE, width=4),
    Element(8001, "SIGNIFICANCE", unit="FLAG TABLE", width=7),
    Element(31000, "SHORT FACTOR", width=1),
    Element(31001, "FACTOR", width=8),
    Element(31002, "LONG FACTOR", width=16),
    Element(31021, "ASSOCIATED SIGNIFICANCE", width=6),
    Element(1015, "NAME", unit=TEXT, width=160),
    Element(1019, "SHORT NAME", unit=TEXT, width=32),
    Element(1008, "CALL SIGN", unit=TEXT, width=64),
]
BY_CODE = {e.code: e for e in ELEMENTS}
SEQUENCES = {301010: [1001, 1002, 301011], 301011: [12101, 1019], 301012: []}
CODE_TABLES = {20011: {0: "NONE", 3: "THREE", 8: "EIGHT", 15: "MISSING"}, 8001: {1: "ONE", 64: "SIXTY-FOUR"}}

NUMERIC = [e.code for e in ELEMENTS if e.unit != TEXT and e.code // 1000 != 31 and e.code not in (1031, 2064)]
CHARACTER = [e.code for e in ELEMENTS if e.unit == TEXT]
FACTORS = [31000, 31001, 31002]
TEXT_CHARACTERS = "ABCXYZ019 -"


def all_ones(width):
    return (1 << width) - 1


def wrap64(n):
    n %= 2**64
    return n - 2**64 if n >= 2**63 else n


def divisor(scale):
    """10^|scale| by square-and-multiply in floats, the reciprocal for a negative scale."""
    power, running, bits = 1.0, 10.0, abs(scale)
    while bits:
        if bits & 1:
            power *= running
        running *= running
        bits >>= 1
    return 1.0 / power if scale < 0 else power


def ia5(data: bytes):
    if all(b == 0xFF for b in data):
        return None
    return "".join(chr(b) if b < 0x80 else "?" for b in data).rstrip("\t\n\v\f\r ")


# ---------------------------------------------------------------------------
# Descriptor lists. Operators come in groups that restore what they changed
# (2 01 YYY ... 2 01 000), so widths stay within 0..64 at every element.


def generate(rng: random.Random) -> list[int]:
    out = []
    if rng.random() < 0.3:  # new reference values, in force for the rest of the list
        width = rng.randint(8, 20)
        out += [203000 + width, *rng.sample([7030, 12101, 1002, 4001], 2), 203255]
    for _ in range(rng.randint(2, 6)):
        out += item(rng, depth=0, group=None)
    if rng.random() < 0.2:
        out += [203000] + item(rng, depth=0, group=None)
    return out


def table_coded(element):
    """Code and flag table values: 2 01, 2 02 and 2 07 leave their coding alone."""
    return "code table" in element.unit.lower() or "flag table" in element.unit.lower()


def element_fits(code, width_change):
    element = BY_CODE[code]
    return element.unit == TEXT or table_coded(element) or 0 <= element.width + width_change <= 64


def item(rng, depth, group):
    """One item: an element, a sequence, a replication or (outside groups) an operator group."""
    width_change = group[1] if group else 0
    roll = rng.random()
    if roll < 0.45 or depth >= 2:
        pool = NUMERIC + CHARACTER + [31021] + ([2064] if width_change == 0 else [])
        return [rng.choice([c for c in pool if element_fits(c, width_change)])]
    if roll < 0.52:
        return [rng.choice(list(SEQUENCES))]
    if roll < 0.62:
        body = [d for _ in range(rng.randint(1, 3)) for d in item(rng, depth + 1, group)]
        return [100000 + 1000 * len(body) + rng.randint(1, 3)] + body
    if roll < 0.75:
        body = [d for _ in range(rng.randint(1, 3)) for d in item(rng, depth + 1, group)]
        return [100000 + 1000 * len(body), rng.choice(FACTORS + [1031])] + body
    if group is not None:
        return [rng.choice([c for c in NUMERIC + CHARACTER if element_fits(c, width_change)])]
    kind = rng.choice([1, 2, 4, 5, 6, 7, 8, 22])
    if kind == 5:
        return [205000 + rng.randint(0, 12)]
    if kind == 22:
        return [222000]
    if kind == 6:
        return [206000 + rng.choice([0, rng.randint(1, 64)]), rng.choice(NUMERIC + [31001])]
    y = {1: lambda: rng.randint(122, 136), 2: lambda: rng.randint(125, 132), 4: lambda: rng.randint(1, 12),
         7: lambda: rng.randint(1, 2), 8: lambda: rng.randint(1, 40)}[kind]()
    change = {1: y - 128, 7: (10 * y + 2) // 3}.get(kind, 0)
    inner = [d for _ in range(rng.randint(1, 3)) for d in item(rng, depth + 1, (kind, change))]
    if kind == 4 and rng.random() < 0.5:  # a factor of a class other than 31 under an associated field
        inner += [101000, 1031, rng.choice(NUMERIC)]
    return [200000 + 1000 * kind + y] + inner + [200000 + 1000 * kind]


# ---------------------------------------------------------------------------
# The model walk: one pass for all subsets (delayed replication factors are
# equal across subsets), producing fields that carry every subset's value.


@dataclass
class Field:
    kind: str                  # numeric, character, associated, operator, text, reference
    code: int                  # descriptor of the records
    name: str = ""
    width: int = 0             # bits per value (text fields: of every subset)
    raws: list = field(default_factory=list)     # numeric: per subset, None when missing
    texts: list = field(default_factory=list)    # character, text: per subset bytes
    reference: int = 0
    scale: int = 0
    missing_check: bool = True
    plain_only: bool = False   # the associated field before a factor: not in compressed data


@dataclass
class State:
    width_change: int = 0
    scale_change: int = 0
    multiplier: int = 1
    local_width: int | None = None
    character_width: int | None = None
    associated_width: int = 0
    definition_width: int = 0
    references: dict = field(default_factory=dict)


class Model:
    def __init__(self, rng, subsets):
        self.rng, self.subsets, self.fields, self.state = rng, subsets, [], State()

    def walk(self, codes):
        i = 0
        while i < len(codes):
            code = codes[i]
            f, x, y = code // 100000, code // 1000 % 100, code % 1000
            if f == 0:
                self.element(code)
                i += 1
            elif f == 1 and y:
                for _ in range(y):
                    self.walk(codes[i + 1 : i + 1 + x])
                i += 1 + x
            elif f == 1:
                if self.state.associated_width and codes[i + 1] // 1000 != 31:
                    self.associated_field(plain_only=True)
                count = self.numeric(codes[i + 1], factor=True)
                for _ in range(count):
                    self.walk(codes[i + 2 : i + 2 + x])
                i += 2 + x
            elif f == 2:
                self.operator(x, y, code)
                i += 1
            else:
                self.walk(SEQUENCES[code])
                i += 1

    def operator(self, x, y, code):
        st = self.state
        if x == 1:
            st.width_change = y - 128 if y else 0
        elif x == 2:
            st.scale_change = y - 128 if y else 0
        elif x == 3:
            if y == 0:
                st.references.clear()
            st.definition_width = 0 if y in (0, 255) else y
        elif x == 4:
            st.associated_width = y
        elif x == 5:
            self.fields.append(Field("text", code, "operator", 8 * y, texts=self.draw_texts(y)))
        elif x == 6:
            st.local_width = y
        elif x == 7:
            st.scale_change, st.width_change = (y, (10 * y + 2) // 3) if y else (0, 0)
            st.multiplier = 10**y
        elif x == 8:
            st.character_width = 8 * y if y else None
        elif x == 22:
            self.fields.append(Field("operator", code, "operator"))

    def element(self, code):
        st = self.state
        if st.definition_width:
            bits = self.rng.getrandbits(st.definition_width)
            sign = 1 << (st.definition_width - 1)
            st.references[code] = -(bits & (sign - 1)) if bits & sign else bits & (sign - 1)
            self.fields.append(Field("reference", code, width=st.definition_width, raws=[bits] * self.subsets))
            return
        if st.associated_width and code // 1000 % 100 != 31:
            self.associated_field(plain_only=False)
        element = BY_CODE[code]
        if element.unit == TEXT:
            width = st.character_width or element.width
            self.fields.append(Field("character", code, element.name, width, texts=self.draw_texts(width // 8)))
        else:
            self.numeric(code, factor=False)
        st.local_width = None

    def associated_field(self, plain_only):
        width = self.state.associated_width
        self.fields.append(Field("associated", 999999, "associatedField", width, missing_check=False,
                                 plain_only=plain_only,
                                 raws=[self.rng.getrandbits(width) for _ in range(self.subsets)]))

    def coding(self, element):
        st = self.state
        if table_coded(element):
            width = st.local_width if st.local_width is not None else element.width
            return width, st.references.get(element.code, element.reference), element.scale
        width = st.local_width if st.local_width is not None else max(element.width + st.width_change, 0)
        reference = wrap64(st.references.get(element.code, element.reference) * st.multiplier)
        return width, reference, element.scale + st.scale_change

    def numeric(self, code, factor):
        """Appends a numeric field; for a factor, returns the repetition count."""
        element = BY_CODE[code]
        width, reference, scale = self.coding(element)
        check = code // 1000 != 31
        fld = Field("numeric", code, element.name, width, reference=reference, scale=scale, missing_check=check)
        self.fields.append(fld)
        if factor:
            count, raw = self.factor_raw(width, reference, scale, check)
            fld.raws = [raw] * self.subsets
            return count
        if check and (width == 0 or (width < 64 and self.rng.random() < 0.1)):
            fld.raws = [None] * self.subsets  # all missing: R0 all ones in compressed data
            return None
        spread = min(width, self.rng.choice([0, 1, 3, 12, 40]))
        top = all_ones(width) - (1 if check and width < 64 else 0)  # all ones would be missing
        base = self.rng.randint(0, max(top - all_ones(spread), 0))
        fld.raws = [None if check and width < 64 and self.rng.random() < 0.15
                    else min(base + self.rng.getrandbits(spread), top) for _ in range(self.subsets)]
        return None

    def factor_raw(self, width, reference, scale, check):
        """A raw factor value for a small repetition count (missing counts 0)."""
        target = self.rng.randint(0, 3)
        candidates = [target * 10**scale - reference] if scale >= 0 else []
        if check and width < 64:
            candidates.append(None)
        candidates.append(0)
        for raw in candidates:
            if raw is not None and not (0 <= raw <= all_ones(width) and (raw != all_ones(width) or not check)):
                continue
            value = None if raw is None else (raw + reference) / divisor(scale)
            count = 0 if value is None or not value > 0 else int(value)
            if count <= 4:
                return count, raw
        raise AssertionError("no factor fits")

    def draw_texts(self, characters):
        def one():
            if self.rng.random() < 0.15:
                return b"\xff" * characters
            text = "".join(self.rng.choice(TEXT_CHARACTERS) for _ in range(self.rng.randint(0, characters)))
            return text.ljust(characters).encode()
        if self.rng.random() < 0.4:
            return [one()] * self.subsets
        return [one() for _ in range(self.subsets)]


# ---------------------------------------------------------------------------
# Encoders and the records the rules expect from each encoding


def stored(fld, s):
    """The bits that non-compressed data holds for subset s."""
    raw = fld.raws[s]
    return all_ones(fld.width) if raw is None else raw


def encode_plain(fields, subsets):
    writer = BitWriter()
    for s in range(subsets):
        for fld in fields:
            if fld.kind in ("character", "text"):
                writer.write_bytes(fld.texts[s], fld.width)
            elif fld.kind != "operator":
                writer.write(stored(fld, s), fld.width)
    return writer


def encode_compressed(fields, subsets):
    writer, r0s = BitWriter(), []
    for fld in fields:
        if fld.plain_only:
            r0s.append(None)
            continue
        if fld.kind in ("character", "text"):
            uniform = len(set(fld.texts)) <= 1
            writer.write_bytes(fld.texts[0] if uniform and subsets else b"\0" * (fld.width // 8), fld.width)
            writer.write(0 if uniform else fld.width // 8, 6)
            for text in fld.texts if not uniform else ():
                writer.write_bytes(text)
            r0s.append(None)
            continue
        if fld.kind == "operator":
            r0s.append(None)
            continue
        present = [raw for raw in fld.raws if raw is not None]
        if not present:
            r0, nbinc = all_ones(fld.width), 0
        else:
            r0 = min(present)
            top = max(present) - r0
            # With a missing check an increment of all ones means missing, so it must exceed every other.
            nbinc = 0 if top == 0 and len(present) == subsets else (top + fld.missing_check).bit_length()
        writer.write(r0, fld.width).write(nbinc, 6)
        for raw in fld.raws if nbinc else ():
            writer.write(all_ones(nbinc) if raw is None else raw - r0, nbinc)
        r0s.append(r0)
    return writer, r0s


def expected_records(fields, subsets, r0s=None):
    """Records of subsets in order; r0s given: as compressed data decodes."""
    out = []
    for s in range(subsets):
        for fld, r0 in zip(fields, r0s or [None] * len(fields)):
            if fld.kind == "operator":
                out.append((fld.code, fld.name, 0, 0.0, None, None))
            elif fld.kind == "text":
                out.append((fld.code, fld.name, None, None, ia5(fld.texts[s]), None))
            elif fld.kind == "associated":
                out.append((fld.code, fld.name, fld.raws[s], float(fld.raws[s]), None, None))
            elif fld.kind == "character":
                # The package hands no position code to its users as data.
                out.append((fld.code, fld.name, None, None, ia5(fld.texts[s]), None))
            elif fld.kind == "numeric":
                raw = fld.raws[s]
                value = None if raw is None else (raw + fld.reference) / divisor(fld.scale)
                if raw is None:
                    raw = r0 if r0s else all_ones(fld.width)
                meaning = CODE_TABLES.get(fld.code, {}).get(raw)
                out.append((fld.code, fld.name, raw, value, None, meaning))
    return out


def record(v):
    return (v.descriptor, v.name, v.raw, v.raw_value, v.raw_text, v.raw_meaning)


def shown(value):
    """repr of a value: the text, meaning or number shown the way the module writes it."""
    if value.raw_text is not None or value.raw_meaning is not None:
        return '"' + (value.raw_text if value.raw_text is not None else value.raw_meaning) + '"'
    if value.raw_value is None:
        return "None"
    mantissa, _, exponent = repr(value.raw_value).partition("e")
    return f"Some({mantissa}e{int(exponent)})" if exponent else f"Some({mantissa})"


def common(records, fields_per_record):
    """What both encodings share: position codes and the raw and meaning of missing values differ."""
    out = []
    for (code, name, raw, value, text, meaning), kind in zip(records, fields_per_record):
        if kind == "character":
            value = None
        if kind == "numeric" and value is None:
            raw = meaning = None
        out.append((code, name, raw, value, text, meaning))
    return out


def decode_wmo(message, tables):
    return _core.decode(_core.index(message), 0, tables, "wmo")[0]


@pytest.fixture(scope="module")
def tables(tmp_path_factory):
    directory = write_table_dir(tmp_path_factory.mktemp("differential"), ELEMENTS, SEQUENCES, CODE_TABLES)
    return _vantrel.TableSet.from_eccodes(str(directory))


@pytest.mark.parametrize("seed", range(80))
def test_both_encodings_decode_to_the_model(tables, seed):
    rng = random.Random(seed)
    subsets = rng.choice([0, 1, 2, 3, 4, 6])
    descriptors = generate(rng)
    model = Model(rng, subsets)
    model.walk(descriptors)
    plain = decode_wmo(build_message(descriptors, encode_plain(model.fields, subsets), subsets=subsets), tables)
    writer, r0s = encode_compressed(model.fields, subsets)
    compressed = decode_wmo(build_message(descriptors, writer, subsets=subsets, compressed=True), tables)

    # Definitions of reference values append no records.
    recorded = [(f, r0) for f, r0 in zip(model.fields, r0s) if f.kind != "reference"]
    shared = [(f, r0) for f, r0 in recorded if not f.plain_only]
    assert [record(v) for v in plain] == expected_records([f for f, _ in recorded], subsets)
    assert [record(v) for v in compressed] == expected_records([f for f, _ in shared], subsets,
                                                               [r0 for _, r0 in shared])
    in_both = [v for v, f in zip(plain, [f for f, _ in recorded] * subsets) if not f.plain_only]
    kinds = [f.kind for f, _ in shared] * subsets
    assert common(map(record, in_both), kinds) == common(map(record, compressed), kinds)
    for v in plain + compressed:
        assert repr(v) == f"DecodedValue({v.descriptor:06d}, {shown(v)})"
        assert v.data == next((x for x in (v.raw_text, v.raw_meaning, v.raw_value) if x is not None), None)


def test_the_generator_reaches_every_feature():
    # The seeds above meet every kind of descriptor the generator knows.
    seen = set()
    for seed in range(80):
        rng = random.Random(seed)
        rng.choice([0, 1, 2, 3, 4, 6])
        for code in generate(rng):
            seen.add(("delayed" if code % 1000 == 0 else "fixed") if code // 100000 == 1 else code // 1000)
    assert {"fixed", "delayed", 201, 202, 203, 204, 205, 206, 207, 208, 222, 301} <= seen
