"""dumps over a great many generated values, checked against a reference
encoder byte for byte and against an independent decoder (cbor2).

    python tests/fuzz/properties.py [--values N] [--engine random|hypothesis]
                                    [--chunk N] [--jobs N] [--seed N]

Two engines draw the values:

- random (the default): a seeded generator of every kind dumps accepts, at
  the edges of every head width and float width and in between: None, bools,
  ints from -2**63 to 2**64-1, floats from random bit patterns of every
  width, text with characters of every UTF-8 length, bytes, lists, tuples
  and dicts (with tuple keys), nested and at times hundreds of items long or
  a hundred levels deep; and the same through subclasses (int, float, str,
  bytes, list, tuple, dict, OrderedDict) and through objects read by
  __index__ or __bool__. Fast enough for millions of values.
- hypothesis: the strategies of tests/python/test_oracle.py, drawn by
  Hypothesis, which shrinks a failing value to a small one.

Values are drawn in chunks of --chunk values, each chunk with a seed of its
own, spread over --jobs processes. For each value, in both container modes
(tests/fuzz/model.py): the bytes equal the reference encoder's; cbor2 reads
back exactly one data item, equal to the value; the depth-limited encoder,
with max_depth at the value's depth or 2**64-1, writes the same bytes, and
one level less raises the depth error.

Prints the number of values generated and checked and the dumps calls made;
exits with status 1 and the failing value on the first failure."""

import argparse
import collections
import multiprocessing
import random
import struct
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))

from model import check, decoded_key  # noqa: E402


class Index:
    """Read as an integer through __index__."""

    def __init__(self, number):
        self.number = number

    def __index__(self):
        return self.number

    def __repr__(self):
        return f"Index({self.number})"


class Truth:
    """Read as a boolean through __bool__."""

    def __init__(self, flag):
        self.flag = flag

    def __bool__(self):
        return self.flag

    def __repr__(self):
        return f"Truth({self.flag})"


class Int(int):
    pass


class Float(float):
    pass


class Text(str):
    pass


class Blob(bytes):
    pass


class Items(list):
    pass


class Row(tuple):
    pass


class Pairs(dict):
    pass


INT_EDGES = [0, 1, 23, 24, 255, 256, 65535, 65536, 2**32 - 1, 2**32, 2**63 - 1, 2**63, 2**64 - 1,
             -1, -24, -25, -256, -257, -65536, -65537, -(2**32), -(2**32) - 1, -(2**63)]
FLOAT_EDGES = [0.0, -0.0, 1.0, 1.5, 65504.0, 65505.0, 65520.0, 2.0**-14, 2.0**-15, 2.0**-24, 2.0**-25,
               2.0**-149, 2.0**-126, 2.0**-150, 16777216.0, 16777217.0, 3.4028234663852886e38,
               3.4028235677973366e38, 1e39, 0.1, 1e300, 5e-324, 1.7976931348623157e308,
               float("inf"), float("-inf"), float("nan")]
# (first, last) code points of each UTF-8 length, without the surrogates
CHARACTER_RANGES = [(0x20, 0x7E), (0, 0x7F), (0x80, 0x7FF), (0x800, 0xD7FF), (0xE000, 0xFFFF), (0x10000, 0x10FFFF)]


class RandomValues:
    """Values and their models from one seed."""

    def __init__(self, seed):
        self.random = random.Random(seed)

    def chance(self, probability):
        return self.random.random() < probability

    def integer(self):
        generator = self.random
        if self.chance(0.3):
            number = generator.choice(INT_EDGES)
        elif self.chance(0.5):
            number = generator.getrandbits(generator.randrange(1, 65))
        else:
            number = -1 - generator.getrandbits(generator.randrange(1, 64))
        model = ("int", number)
        if self.chance(0.08):
            return Index(number), model
        if self.chance(0.08):
            return Int(number), model
        return number, model

    def floating(self):
        generator = self.random
        pick = generator.random()
        if pick < 0.25:
            number = generator.choice(FLOAT_EDGES)
        elif pick < 0.5:
            number = struct.unpack(">d", generator.getrandbits(64).to_bytes(8, "big"))[0]
        elif pick < 0.65:
            number = struct.unpack(">f", generator.getrandbits(32).to_bytes(4, "big"))[0]
        elif pick < 0.8:
            number = struct.unpack(">e", generator.getrandbits(16).to_bytes(2, "big"))[0]
        else:
            number = round(generator.uniform(-1e5, 1e5), generator.randrange(4))
        return (Float(number) if self.chance(0.08) else number), ("float", number)

    def text(self):
        generator = self.random
        length = generator.randrange(300) if self.chance(0.05) else generator.randrange(13)
        first, last = generator.choice(CHARACTER_RANGES)
        if self.chance(0.5):
            characters = [chr(generator.randint(first, last)) for _ in range(length)]
        else:
            characters = [chr(generator.randint(*generator.choice(CHARACTER_RANGES))) for _ in range(length)]
        text = "".join(characters)
        return (Text(text) if self.chance(0.08) else text), ("str", text)

    def blob(self):
        generator = self.random
        length = generator.choice([0, 23, 24, 255, 256, 65536]) if self.chance(0.03) else generator.randrange(30)
        data = generator.getrandbits(8 * length).to_bytes(length, "big") if length else b""
        return (Blob(data) if self.chance(0.08) else data), ("bytes", data)

    def scalar(self, hashable=False):
        pick = self.random.randrange(8)
        if pick == 0:
            flag = self.random.choice([None, True, False])
            if flag is not None and self.chance(0.1):
                return Truth(flag), ("simple", flag)
            return flag, ("simple", flag)
        if pick in (1, 2):
            return self.integer()
        if pick == 3:
            while True:
                value, model = self.floating()
                if not hashable or model[1] == model[1]:
                    return value, model
        if pick in (4, 5):
            return self.text()
        return self.blob()

    def key(self, budget):
        if budget > 1 and self.chance(0.15):
            items = [self.key(budget // 3) for _ in range(self.random.randrange(4))]
            make = Row if self.chance(0.1) else tuple
            return make(value for value, _ in items), ("array", [model for _, model in items])
        return self.scalar(hashable=True)

    def value(self, budget):
        """A value with about `budget` leaves at most."""
        generator = self.random
        if budget <= 1 or self.chance(0.35):
            return self.scalar()
        if self.chance(0.02):
            return self.chain(generator.randrange(20, 120))
        size = generator.randrange(20, 30) if self.chance(0.1) else generator.randrange(6)
        if self.chance(0.01):
            size = generator.randrange(250, 300)
        share = max(1, budget // max(size, 1))
        kind = generator.randrange(3)
        if kind < 2:
            items = [self.value(share) for _ in range(size)]
            model = ("array", [model for _, model in items])
            values = [value for value, _ in items]
            if kind == 0:
                return (Items(values) if self.chance(0.05) else values), model
            return (Row(values) if self.chance(0.05) else tuple(values)), model
        entries, seen = [], set()
        for _ in range(size):
            key, key_model = self.key(share)
            if decoded_key(key_model) in seen:
                continue
            seen.add(decoded_key(key_model))
            entries.append((key, key_model, *self.value(share)))
        make = generator.choice([Pairs, collections.OrderedDict]) if self.chance(0.08) else dict
        value = make((key, item) for key, _, item, _ in entries)
        return value, ("map", [(key_model, model) for _, key_model, _, model in entries])

    def chain(self, levels):
        value, model = self.scalar()
        for level in range(levels):
            pick = self.random.randrange(3)
            if pick == 0:
                value, model = [value], ("array", [model])
            elif pick == 1:
                value, model = (value,), ("array", [model])
            else:
                key, key_model = self.scalar(hashable=True)
                value, model = {key: value}, ("map", [(key_model, model)])
        return value, model


def random_chunk(chunk_seed, size):
    values = RandomValues(chunk_seed)
    calls = 0
    for _ in range(size):
        value, model = values.value(40)
        try:
            calls += check(value, model)
        except Exception:
            print(f"FAILED on {value!r}\nmodel: {model!r}", file=sys.stderr, flush=True)
            raise
    return size, calls


def hypothesis_chunk(chunk_seed, size):
    from hypothesis import HealthCheck, Phase, given, seed, settings
    from hypothesis import strategies as st

    from test_oracle import values

    totals = [0, 0]

    def model_of(value):
        if value is None or isinstance(value, bool):
            return ("simple", value)
        if isinstance(value, int):
            return ("int", value)
        if isinstance(value, float):
            return ("float", value)
        if isinstance(value, (str, bytes)):
            return (type(value).__name__, value)
        if isinstance(value, (list, tuple)):
            return ("array", [model_of(item) for item in value])
        return ("map", [(model_of(key), model_of(item)) for key, item in value.items()])

    @seed(chunk_seed)
    @settings(max_examples=size, database=None, deadline=None, phases=[Phase.generate, Phase.shrink],
              suppress_health_check=list(HealthCheck))
    @given(values, st.booleans())
    def property_holds(value, _):
        totals[0] += 1
        totals[1] += check(value, model_of(value))

    property_holds()
    return totals[0], totals[1]


def run_chunk(arguments):
    engine, chunk_seed, size = arguments
    return (random_chunk if engine == "random" else hypothesis_chunk)(chunk_seed, size)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--values", type=int, default=1_000_000)
    parser.add_argument("--engine", choices=["random", "hypothesis"], default="random")
    parser.add_argument("--chunk", type=int, default=None, help="default: 20,000 (random) or 2,000 (hypothesis)")
    parser.add_argument("--jobs", type=int, default=multiprocessing.cpu_count())
    parser.add_argument("--seed", type=int, default=0)
    arguments = parser.parse_args()
    chunk = arguments.chunk or (20_000 if arguments.engine == "random" else 2_000)
    sizes = [chunk] * (arguments.values // chunk) + ([arguments.values % chunk] if arguments.values % chunk else [])
    chunks = [(arguments.engine, arguments.seed * 1_000_003 + index, size) for index, size in enumerate(sizes)]
    started = time.perf_counter()
    generated = calls = 0
    with multiprocessing.Pool(arguments.jobs) as pool:
        for chunk_values, chunk_calls in pool.imap_unordered(run_chunk, chunks):
            generated += chunk_values
            calls += chunk_calls
            print(f"  {generated:,} values, {time.perf_counter() - started:.0f} s", flush=True)
    print(
        f"{arguments.engine}: {generated:,} generated values checked ({calls:,} dumps calls) in {len(chunks)} "
        f"chunks over {arguments.jobs} processes in {time.perf_counter() - started:.0f} s: every property held"
    )


if __name__ == "__main__":
    main()
