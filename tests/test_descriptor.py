"""The Descriptor value class: construction, code split, repr and argument errors."""

import pytest

from _vantrel import Descriptor


@pytest.mark.parametrize(
    "parts, fxy, text",
    [
        ((0, 1, 1), 1001, "Descriptor(001001)"),
        ((3, 1, 1), 301001, "Descriptor(301001)"),
        ((0, 0, 0), 0, "Descriptor(000000)"),
        ((7, 200, 255), 900255, "Descriptor(900255)"),
        ((255, 255, 255), 25755255, "Descriptor(25755255)"),
    ],
)
def test_constructor_keeps_parts(parts, fxy, text):
    d = Descriptor(*parts)
    assert (d.f, d.x, d.y, d.fxy, repr(d), str(d)) == (*parts, fxy, text, text)
    assert repr(Descriptor(f=parts[0], y=parts[2], x=parts[1])) == text


@pytest.mark.parametrize(
    "code, parts",
    [
        (301001, (3, 1, 1)),
        (12001, (0, 12, 1)),
        (1256, (0, 1, 0)),  # Y 256 narrowed to 0
        (25600001, (0, 0, 1)),  # F 256 narrowed to 0
        (4294967295, (197, 67, 39)),
    ],
)
def test_from_fxy_splits_and_narrows(code, parts):
    d = Descriptor.from_fxy(code)
    assert type(d) is Descriptor
    assert (d.f, d.x, d.y) == parts
    assert Descriptor.from_fxy(code=code).fxy == d.fxy


def test_signatures_identity_and_read_only():
    assert Descriptor.__text_signature__ == "(f, x, y)"
    assert Descriptor.from_fxy.__text_signature__ == "(code)"
    a, b = Descriptor(0, 1, 1), Descriptor(0, 1, 1)
    assert a != b and a == a and hash(a) != hash(b)
    for name in ("f", "x", "y", "fxy"):
        with pytest.raises(AttributeError):
            setattr(a, name, 2)


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda: Descriptor(256, 0, 0), OverflowError, "out of range integral type conversion attempted"),
        (lambda: Descriptor(0, -1, 0), OverflowError, "out of range integral type conversion attempted"),
        (lambda: Descriptor(0, 0, 2**70), OverflowError, "Python int too large to convert to C long"),
        (lambda: Descriptor("0", 0, 0), TypeError, "argument 'f': 'str' object cannot be interpreted as an integer"),
        (lambda: Descriptor(0, 1.0, 0), TypeError, "argument 'x': 'float' object cannot be interpreted as an integer"),
        (lambda: Descriptor(0, 1), TypeError, "Descriptor.__new__() missing 1 required positional argument: 'y'"),
        (lambda: Descriptor(0, 1, 1, f=0), TypeError, "Descriptor.__new__() got multiple values for argument 'f'"),
        (lambda: Descriptor.from_fxy(-1), OverflowError, "out of range integral type conversion attempted"),
        (lambda: Descriptor.from_fxy(2**32), OverflowError, "out of range integral type conversion attempted"),
        (lambda: Descriptor.from_fxy("1001"), TypeError,
         "argument 'code': 'str' object cannot be interpreted as an integer"),
        (lambda: Descriptor.from_fxy(), TypeError,
         "Descriptor.from_fxy() missing 1 required positional argument: 'code'"),
    ],
)
def test_argument_errors(call, exc, text):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc and str(info.value) == text
