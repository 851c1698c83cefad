"""The values the benchmark encodes: the JSON documents in ../shared/bench-data
(or the folder ORVANTILE_BENCH_DATA names; skipped when it is missing) and
synthetic sets made here from a fixed seed, so that every run and every build
sees the same values."""

import json
import lzma
import math
import os
import random
import struct
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
DOCUMENTS_DIR = Path(os.environ.get("ORVANTILE_BENCH_DATA", REPO.parent / "shared" / "bench-data"))
DOCUMENTS = ["twitter", "citm_catalog", "canada", "github_events"]

KIB = 1024
MIB = 1024 * KIB


def load_document(name):
    with lzma.open(DOCUMENTS_DIR / f"{name}.json.xz") as compressed:
        return json.loads(compressed.read())


def integers():
    """Unsigned and negative integers at every head width: inline, 1, 2, 4 and 8 bytes."""
    generator = random.Random(1)
    bounds = [(0, 23), (24, 2**8 - 1), (2**8, 2**16 - 1), (2**16, 2**32 - 1), (2**32, 2**64 - 1)]
    values = []
    for low, high in bounds:
        values += [generator.randint(low, high) for _ in range(10_000)]
        values += [-1 - generator.randint(low, min(high, 2**63 - 1)) for _ in range(10_000)]
    generator.shuffle(values)
    return values


def float_mix():
    """Floats of every width the writer chooses, and the fixed forms."""
    generator = random.Random(2)

    def half():
        return struct.unpack(">e", struct.pack(">H", generator.choice([0x3C00, 0x4100, 0x7BFF, 0x0400, 0xC000])))[0]

    def single():
        return struct.unpack(">f", struct.pack(">I", generator.getrandbits(31) & 0x7F7FFFFF | 0x800000))[0]

    def double():
        return generator.uniform(-1e6, 1e6)

    def subnormal():
        return generator.randint(1, 2**52 - 1) * 5e-324

    specials = [math.nan, math.inf, -math.inf, -0.0, 0.0]
    makers = [half, single, double, subnormal, lambda: generator.choice(specials)]
    return [makers[index % len(makers)]() for index in range(50_000)]


def ascii_strings():
    generator = random.Random(3)
    alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 _-"
    return ["".join(generator.choices(alphabet, k=generator.randint(1, 24))) for _ in range(50_000)]


def non_ascii_strings():
    generator = random.Random(4)
    alphabet = "aé€😀中文ñßΩж"
    return ["".join(generator.choices(alphabet, k=generator.randint(1, 24))) for _ in range(50_000)]


def byte_string(size):
    return random.Random(size).randbytes(size)


def wide_dict():
    return {f"key{index}": index for index in range(100_000)}


# Flat containers: the cost of one element of each common kind.
FLAT_COUNT = 200_000


def flat_floats():
    generator = random.Random(5)
    return [generator.uniform(-1e6, 1e6) for _ in range(FLAT_COUNT)]


def deep_nesting():
    """200 chains of alternating lists and dicts, each 128 levels deep (orjson
    refuses 255 levels)."""

    def chain(depth):
        value = depth
        for level in range(depth):
            value = [value, level] if level % 2 else {"k": value}
        return value

    return [chain(128) for _ in range(200)]


SYNTHETIC = {
    "integers": integers,
    "float_mix": float_mix,
    "ascii_strings": ascii_strings,
    "non_ascii_strings": non_ascii_strings,
    "bytes_1KiB": lambda: byte_string(KIB),
    "bytes_1MiB": lambda: byte_string(MIB),
    "bytes_64MiB": lambda: byte_string(64 * MIB),
    "wide_dict": wide_dict,
    "deep_nesting": deep_nesting,
    "list_of_ints": lambda: list(range(FLAT_COUNT)),
    "tuple_of_ints": lambda: tuple(range(FLAT_COUNT)),
    "list_of_short_str": lambda: [f"s{index}" for index in range(FLAT_COUNT)],
    "dict_str_to_int": lambda: {f"k{index}": index for index in range(FLAT_COUNT)},
    "list_of_floats": flat_floats,
}
FLAT = ["list_of_ints", "tuple_of_ints", "list_of_short_str", "dict_str_to_int", "list_of_floats"]


def available():
    """Names of every data set that can be made on this machine, in report order."""
    documents = [name for name in DOCUMENTS if (DOCUMENTS_DIR / f"{name}.json.xz").exists()]
    return documents + list(SYNTHETIC)


def make(name):
    return SYNTHETIC[name]() if name in SYNTHETIC else load_document(name)


def element_count(name):
    """Elements of a flat set (entries of the dict), None for the other sets."""
    return FLAT_COUNT if name in FLAT else None


def float_count(value):
    """Floats anywhere in value."""
    if isinstance(value, float):
        return 1
    if isinstance(value, (list, tuple)):
        return sum(map(float_count, value))
    if isinstance(value, dict):
        return sum(float_count(key) + float_count(item) for key, item in value.items())
    return 0
