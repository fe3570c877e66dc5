"""Parsing never reads outside the buffer: truncated and mutated real messages
either parse or fail with ValueError."""

import random

import pytest

import _vantrel
from bufr_builder import BitWriter, build_message, messages_of

SAMPLES = ["synop_wigos.bufr", "ISND02_LLBD.bufr", "tropical_cyclone.bufr", "contrived.bufr"]


def seeds(bufr_dir):
    out = [build_message([1001, 301011], BitWriter().write(7, 8), section2=b"local")]
    for name in SAMPLES:
        out.append(messages_of((bufr_dir / name).read_bytes())[0])
    return out


def outcome(function, data):
    try:
        function(data)
    except ValueError:
        pass


def test_every_truncation(bufr_dir):
    for message in seeds(bufr_dir):
        for cut in range(len(message) + 1):
            for function in (_vantrel.parse_bytes, _vantrel.parse_all_bytes):
                outcome(function, message[:cut])


def test_random_mutations(bufr_dir):
    rng = random.Random(20261208)
    messages = seeds(bufr_dir)
    for _ in range(4000):
        data = bytearray(rng.choice(messages))
        for _ in range(rng.randint(1, 4)):
            where = rng.randrange(min(len(data), 64)) if rng.random() < 0.7 else rng.randrange(len(data))
            data[where] = rng.randrange(256)
        if rng.random() < 0.2:
            data = data[: rng.randrange(len(data) + 1)]
        if rng.random() < 0.2:
            data = data * 2
        blob = bytes(data)
        outcome(_vantrel.parse_bytes, blob)
        outcome(_vantrel.parse_all_bytes, blob)


@pytest.mark.parametrize("length", [0xFFFFFF, 0x800000, 31])
def test_absurd_declared_lengths(length):
    data = b"BUFR" + length.to_bytes(3, "big") + b"\x04" + bytes(40)
    with pytest.raises(ValueError):
        _vantrel.parse_bytes(data)
    with pytest.raises(ValueError):
        _vantrel.parse_all_bytes(data)
