"""Float widths against a struct-based reference: every half bit pattern,
and random doubles and singles (ORVANTILE_FLOAT_SAMPLES of each, 100,000 by
default; `make test-floats-long` runs a million); and floats written from
several threads, each with scratch blocks of its own."""

import os
import random
import struct
import threading

from float_reference import expected_float_bytes
from orvantile_cbor import dumps

SAMPLES = int(os.environ.get("ORVANTILE_FLOAT_SAMPLES", "100000"))


def mismatches(values):
    wrong = [(x, dumps(x).hex()) for x in values if dumps(x) != expected_float_bytes(x)]
    return wrong[:10]


def test_every_half_bit_pattern():
    halves = [struct.unpack(">e", bits.to_bytes(2, "big"))[0] for bits in range(1 << 16)]
    assert mismatches(halves) == []


def test_random_doubles():
    generator = random.Random(0xD0B1E)
    doubles = (struct.unpack(">d", generator.getrandbits(64).to_bytes(8, "big"))[0] for _ in range(SAMPLES))
    assert mismatches(doubles) == []


def test_random_singles():
    generator = random.Random(0x5119)
    singles = (struct.unpack(">f", generator.getrandbits(32).to_bytes(4, "big"))[0] for _ in range(SAMPLES))
    assert mismatches(singles) == []


def test_floats_from_several_threads():
    generator = random.Random(0x7EAD)
    values = [struct.unpack(">d", generator.getrandbits(64).to_bytes(8, "big"))[0] for _ in range(2000)]
    expected = b"".join(expected_float_bytes(x) for x in values)
    results = []

    def write():
        results.extend(dumps(values, False)[3:] == expected for _ in range(20))

    threads = [threading.Thread(target=write) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [True] * 160
