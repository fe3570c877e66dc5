"""A model decoder of section 4, written from the decoding rules alone, for the
two rule sets: "strict" (the rules of _vantrel) and "wmo" (WMO practice, the
package's default). It shares no code with the module: it walks the descriptor
list over the bits one by one and returns the records the rules give, or the
error text the rules name. Tests compare the module's decodes with it.

Where the two rule sets differ:
- strict: 2 01, 2 02 and 2 07 change every numeric element, code and flag
  tables included; wmo: code and flag tables keep their Table B coding.
- strict: only 2 36 000 starts a bitmap (anchored at the history length it
  finds) and every later 0 31 031 value extends it; 2 37 000 rewinds the
  cursor; 2 35 000 and 2 37 YYY empty the bitmap (collecting goes on).
  wmo: 2 22/23/24/25/32 000 await a bitmap whose anchor is the "back
  reference" (the history length at the first such operator of the block);
  2 36 000 starts one (at that anchor after such an operator, else at the
  history length); a run of 0 31 031 values ends at the first other value
  (an element met while a bitmap is awaited leaves it empty); 2 37 000 rewinds;
  2 37 YYY cancels the bitmap; 2 35 000 cancels it and the back reference.
- wmo: an element without a Table B entry read under 2 06 YYY is YYY bits of an
  unnamed raw value (no missing value); strict: it fails like any unknown element.
- wmo: texts drop trailing NULs as well as blanks, a text of NUL padding is
  missing, bytes from 0x80 are Latin-1 characters (strict: "?"); character
  values carry no position code as raw_value (it still counts as a factor).
"""

from __future__ import annotations

from dataclasses import dataclass, field

MAX_DEPTH = 64
EPSILON = 2.220446049250313e-16
CHARACTER = "CCITT IA5"


class ModelError(Exception):
    """A decode the rules end with this text."""


class TooLarge(Exception):
    """The message asks for more values or steps than a test should model."""


def parse_error(text):
    return ModelError("csv/table parse error: " + text)


@dataclass(frozen=True)
class Definition:
    code: int
    name: str
    unit: str = "Numeric"
    scale: int = 0
    reference: int = 0
    width: int = 8

    @property
    def character(self):
        return self.unit == CHARACTER

    @property
    def table(self):
        lowered = self.unit.lower()
        return "code table" in lowered or "flag table" in lowered


def class31(code):
    return code // 1000 % 100 == 31


def ones(width):
    return (1 << width) - 1


def divisor(scale):
    power, running, bits = 1.0, 10.0, abs(scale)
    while bits:
        if bits & 1:
            power *= running
        running *= running
        bits >>= 1
    return 1.0 / power if scale < 0 else power


def ia5(data: bytes):
    if all(b == 0xFF for b in data):  # also no bytes at all
        return None
    return "".join(chr(b) if b < 0x80 else "?" for b in data).rstrip("\t\n\v\f\r ")


def wmo_text(data: bytes):
    """Under the WMO rules: Latin-1 bytes, trailing NULs dropped too, NUL padding alone missing."""
    if all(b == 0xFF for b in data):
        return None
    text = data.decode("latin-1").rstrip("\0\t\n\v\f\r ")
    return None if not text and 0 in data else text


class Bits:
    def __init__(self, data: bytes):
        self.data, self.position, self.length = data, 0, len(data) * 8

    def read(self, width):
        if width == 0:
            return 0
        if width > 64:
            raise parse_error(f"cannot read {width} bits into u64")
        if self.position + width > self.length:
            raise parse_error(f"not enough bits while reading section 4 at bit {self.position} for width {width} "
                              f"({self.length} bits available)")
        value = 0
        for _ in range(width):
            byte = self.data[self.position // 8]
            value = value * 2 + ((byte >> (7 - self.position % 8)) & 1)
            self.position += 1
        return value

    def read_bytes(self, count):
        out = bytearray()
        while count >= 8:
            out.append(self.read(8))
            count -= 8
        if count:
            out.append(self.read(count) << (8 - count))
        return bytes(out)


@dataclass
class State:
    width_change: int = 0
    scale_change: int = 0
    power: int = 0                   # 2 07 YYY: references times 10^power
    local_width: int | None = None
    character_width: int | None = None
    associated_width: int = 0
    definition_width: int = 0        # 2 03 YYY in force
    references: dict = field(default_factory=dict)
    history: list = field(default_factory=list)
    bitmap: list = field(default_factory=list)
    cursor: int = 0
    anchor: int = 0
    collecting: bool = False         # strict: 2 36 000 was met
    phase: str = "none"              # wmo: none, awaiting, collecting
    awaited_anchor: int = 0
    back_reference: int | None = None
    characters: int = 0              # character values (non-compressed) or columns (compressed)


class Model:
    """decode() gives the flat list of records (descriptor, name, raw, raw_value, raw_text,
    raw_meaning) and the codes read as unnamed values, or raises ModelError."""

    def __init__(self, elements, sequences, code_tables, rules):
        assert rules in ("strict", "wmo")
        self.elements = {e.code: e for e in elements}
        self.sequences, self.code_tables, self.wmo = sequences, code_tables, rules == "wmo"

    # ---- entry ---------------------------------------------------------------

    def decode(self, descriptors, data, subsets, compressed, budget=200_000):
        self.bits, self.unnamed, self.compressed, self.budget = Bits(data), [], compressed, budget
        self.marker_values = 0  # values read for bitmap markers
        if compressed:
            self.subsets, self.state, self.columns = subsets, State(), []
            self.walk(descriptors, 0)
            return [column[s] for s in range(subsets) for column in self.columns if len(column) > s]
        out, characters = [], 0
        for _ in range(subsets):
            self.subsets, self.state, self.columns = 1, State(characters=characters), []
            self.walk(descriptors, 0)
            out += [column[0] for column in self.columns]
            characters = self.state.characters
        return out

    # ---- the walk --------------------------------------------------------------

    def emit(self, column):
        self.budget -= len(column) + 1
        if self.budget < 0:
            raise TooLarge
        self.columns.append(column)

    def walk(self, codes, depth):
        self.budget -= 1
        if self.budget < 0:
            raise TooLarge
        if depth > MAX_DEPTH:
            prefix = "compressed " if self.compressed else ""
            raise parse_error(prefix + "descriptor decode exceeded recursion depth")
        i = 0
        while i < len(codes):
            code = codes[i]
            f, x, y = code // 100000, code // 1000 % 100, code % 1000
            if f == 0:
                self.element(code)
                i += 1
            elif f == 1:
                if x == 0 or i + x >= len(codes):
                    raise ModelError(f"unsupported replication descriptor {code:06d}")
                if y:
                    for _ in range(y):
                        self.walk(codes[i + 1 : i + 1 + x], depth + 1)
                    i += 1 + x
                    continue
                if i + x + 1 >= len(codes):
                    raise ModelError(f"delayed replication descriptor {code:06d} is missing its replication "
                                     "factor or replicated descriptors")
                count = self.factor(codes[i + 1])
                for _ in range(count):
                    self.walk(codes[i + 2 : i + 2 + x], depth + 1)
                i += 2 + x
            elif f == 2:
                self.operator(code, x, y)
                i += 1
            else:
                if code not in self.sequences:
                    raise ModelError(f"descriptor {code:06d} was not found in Table D")
                self.walk(self.sequences[code], depth + 1)
                i += 1

    def element(self, code):
        st = self.state
        if st.definition_width:
            return self.define_reference(code)
        if st.associated_width and not class31(code):
            self.associated_field()
        definition = self.elements.get(code)
        if definition is None:
            if self.wmo and st.local_width is not None:
                return self.unnamed_element(code)
            raise ModelError(f"descriptor {code:06d} was not found in Table B")
        column = self.read(definition, self.base(definition))
        st.local_width = None
        if code == 31031 and self.takes_bitmap_value():
            value = column[0][3] if column else None
            if value is not None:
                st.bitmap.append(0 if not value > 0 else 255 if value >= 255 else int(value))
            elif self.compressed:
                st.bitmap.append(0)
        else:
            self.end_run(element=True)
            st.history.append(definition)

    def unnamed_element(self, code):
        st = self.state
        definition = Definition(code, "", "", 0, 0, 0)
        self.read(definition, (st.local_width, 0), coding=(st.local_width, 0, 0, False))
        self.unnamed.append((code, st.local_width))
        st.local_width = None
        self.end_run(element=True)
        st.history.append(definition)

    def factor(self, code):
        st = self.state
        if not self.compressed and st.associated_width and not class31(code):
            self.associated_field()
        definition = self.elements.get(code)
        if definition is None:
            raise ModelError(f"descriptor {code:06d} was not found in Table B")
        column = self.read(definition, self.base(definition))
        first = column[0][3] if column else None
        if first is None or (definition.character and not self.compressed):
            count = 0
        else:
            if any(r[3] is None or abs(r[3] - first) > EPSILON for r in column):
                raise parse_error("compressed delayed replication with varying factors is not implemented")
            count = 0 if not first > 0 else min(int(first), 2**64 - 1)
        self.end_run(element=False)
        st.history.append(definition)
        return count

    def define_reference(self, code):
        st = self.state
        if code not in self.elements:
            raise ModelError(f"descriptor {code:06d} was not found in Table B")
        width = st.definition_width
        bits = self.bits.read(width)
        if self.compressed:
            nbinc = self.bits.read(6)
            if nbinc:
                raise parse_error(f"compressed reference value change for descriptor {code:06d} has non-zero "
                                  f"increment width {nbinc}")
        sign = 1 << (width - 1)
        st.references[code] = -(bits & (sign - 1)) if bits & sign else bits & (sign - 1)

    def base(self, definition):
        return definition.width, self.state.references.get(definition.code, definition.reference)

    # ---- coding ------------------------------------------------------------------

    def coding(self, definition, base):
        """(width, scale, reference, missing check) under the operators in force."""
        st = self.state
        width, reference = base
        if definition.character:
            return (st.character_width if st.character_width is not None else width), 0, 0, False
        changes = not (self.wmo and definition.table)
        if st.local_width is not None:
            width = st.local_width
        else:
            width = max(width + (st.width_change if changes else 0), 0)
        scale = definition.scale + (st.scale_change if changes else 0)
        if changes and st.power:
            reference *= 10**st.power
            if not -(2**127) <= reference < 2**127:
                raise parse_error(f"reference value of element {definition.code:06d} times 10^{st.power} under "
                                  f"operator {207000 + st.power:06d} does not fit in 128 bits")
        return width, scale, reference, not class31(definition.code)

    def read(self, definition, base, coding=None):
        """Reads one value (a column of them in compressed data), appends and returns it."""
        width, scale, reference, check = coding or self.coding(definition, base)
        if definition.character:
            column = self.character(definition, width)
        else:
            column = self.numeric(definition.code, definition.name, width, scale, reference, check,
                                  self.code_tables.get(definition.code, {}))
        self.emit(column)
        return column

    def numeric(self, code, name, width, scale, reference, check, meanings):
        bits, div = self.bits, divisor(scale)

        def record(raw, missing):
            value = None if missing else float(raw + reference) / div
            return (code, name, raw, value, None, meanings.get(raw))

        r0 = bits.read(width)
        if not self.compressed:
            return [record(r0, check and width < 64 and r0 == ones(width))]
        nbinc = bits.read(6)
        r0_missing = check and width < 64 and r0 == ones(width)
        if nbinc == 0:
            return [record(r0, r0_missing)] * self.subsets
        column = []
        for _ in range(self.subsets):
            increment = bits.read(nbinc)
            missing = r0_missing or (check and increment == ones(nbinc))
            column.append(record(r0 if missing else (r0 + increment) % 2**64, missing))
        return column

    def character(self, definition, width):
        st, bits = self.state, self.bits
        r0 = bits.read_bytes(width)
        if not self.compressed:
            st.characters += 1
            return [(definition.code, definition.name, None, float(st.characters * 1000 + width // 8), self.text_of(r0),
                     None)]
        nbinc = bits.read(6)
        c = st.characters
        st.characters += 1
        column = []
        for s in range(self.subsets):
            text = self.text_of(r0) if nbinc == 0 else self.text_of(bits.read_bytes(nbinc * 8))
            column.append((definition.code, definition.name, None, float((c * self.subsets + s + 1) * 1000 + width // 8),
                           text, None))
        return column

    def text_of(self, data):
        return wmo_text(data) if self.wmo else ia5(data)

    def associated_field(self):
        self.emit(self.numeric(999999, "associatedField", self.state.associated_width, 0, 0, False, {}))

    def record(self, code):
        self.emit([(code, "operator", 0, 0.0, None, None)] * self.subsets)

    # ---- operators -------------------------------------------------------------------

    def operator(self, code, x, y):
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
            self.text(code, y)
        elif x == 6:
            st.local_width = y
        elif x == 7:
            st.scale_change, st.width_change, st.power = (y, (10 * y + 2) // 3, y) if y else (0, 0, 0)
        elif x == 8:
            st.character_width = 8 * y if y else None
        elif x in (22, 23, 24, 25, 32) and y == 255 and x != 22:
            self.marker(x == 25)
        elif x in (22, 23, 24, 25, 32):
            if x == 22 and y != 0:
                return
            self.record(code)
            if y == 0 and self.wmo:
                if st.back_reference is None:
                    st.back_reference = len(st.history)
                st.awaited_anchor, st.phase = st.back_reference, "awaiting"
        elif x in (26, 27, 29, 30, 31, 33, 34, 38, 39, 40, 41, 42):
            self.record(code)
        elif x == 35:
            self.record(code)
            if y == 0:
                self.start(0)
                if self.wmo:
                    st.phase, st.back_reference = "none", None
        elif x == 36 and y == 0:
            self.record(code)
            if self.wmo:
                if st.phase != "awaiting":
                    st.awaited_anchor = len(st.history)
                    if st.back_reference is None:
                        st.back_reference = st.awaited_anchor
                self.start(st.awaited_anchor)
                st.phase = "awaiting"
            else:
                self.start(len(st.history))
                st.collecting = True
        elif x == 37:
            self.record(code)
            if y == 0:
                st.cursor = 0
                if self.wmo:
                    st.phase = "none"
            else:
                self.start(0)
                if self.wmo:
                    st.phase = "none"
        elif x == 62 and y == 0:
            self.record(code)

    def text(self, code, characters):
        bits = self.bits
        r0 = bits.read_bytes(8 * characters)
        if not self.compressed:
            self.emit([(code, "operator", None, None, self.text_of(r0), None)])
            return
        nbinc = bits.read(6)
        self.emit([(code, "operator", None, None, self.text_of(r0 if nbinc == 0 else bits.read_bytes(8 * nbinc)),
                     None) for _ in range(self.subsets)])

    # ---- bitmaps ---------------------------------------------------------------------

    def start(self, anchor):
        st = self.state
        st.bitmap, st.cursor, st.anchor = [], 0, anchor

    def takes_bitmap_value(self):
        st = self.state
        if not self.wmo:
            return st.collecting
        if st.phase == "awaiting":
            self.start(st.awaited_anchor)
            st.phase = "collecting"
        return st.phase == "collecting"

    def end_run(self, element):
        st = self.state
        if not self.wmo:
            return
        if st.phase == "collecting":
            st.phase = "none"
        elif st.phase == "awaiting" and element:
            self.start(st.awaited_anchor)
            st.phase = "none"

    def marker(self, difference):
        st = self.state
        self.end_run(element=True)
        n = len(st.bitmap)
        if n == 0 or st.cursor >= n:
            return
        offset = st.anchor - n if st.anchor >= n else 0
        while st.bitmap[st.cursor] == 1:
            st.cursor += 1
            if st.cursor == n:
                return
        target = offset + st.cursor
        st.cursor += 1
        if target >= len(st.history):
            raise parse_error("bitmap reference is outside descriptor history")
        definition = st.history[target]
        if difference:
            base = (min(definition.width + 1, 65535), -(1 << definition.width) if definition.width < 64 else 0)
        else:
            base = self.base(definition)
        self.read(definition, base)
        self.marker_values += 1


def model_decode(elements, sequences, code_tables, rules, descriptors, data, subsets, compressed):
    """(records, unnamed) for one message, or ModelError (TooLarge past a budget of values and steps)."""
    model = Model(elements, sequences, code_tables, rules)
    records = model.decode(descriptors, data, subsets, compressed)
    if rules == "wmo":  # character values (no raw, not an operator's text) without their position code
        records = [r[:3] + (None,) + r[4:] if r[2] is None and r[1] != "operator" else r for r in records]
    return records, model.unnamed
