"""Coverage-guided fuzzing of dumps with atheris (make fuzz-atheris).

    python tests/fuzz/atheris_dumps.py -runs=200000 [libFuzzer options]

Each input's bytes are read by atheris.FuzzedDataProvider as a recipe for a
nested value: None, bools, ints inside and outside the 64-bit range, floats
from any 8 bytes, text that may hold lone surrogates, bytes, objects read by
__index__ or __bool__, refused objects (bytearray, set), lists, tuples and
dicts, and containers that hold themselves. The value's outcome is predicted
by a small model of the encoder: its bytes (shortest heads, shortest exact
float widths), or the error dumps must raise first in writing order (range,
unencodable text or refused item, max_depth exceeded, recursion). dumps is
called in both container modes, without a depth bound and with one from the
input, and must match the prediction exactly; when it writes bytes, the
depth-limited and unlimited outputs must be identical and cbor2 must read
them back as the value.

The module itself is not coverage-instrumented: the feedback comes from the
Python side (the recipe reader and the model), which branches on every kind
and every error."""

import math
import sys
from pathlib import Path

import atheris

sys.path.insert(0, str(Path(__file__).resolve().parent))

with atheris.instrument_imports():
    from model import comparable, decode_one, decoded_key, head, normal

from float_reference import expected_float_bytes  # noqa: E402
from orvantile_cbor import dumps  # noqa: E402

RANGE_ERROR = "dumps received an integer out of range for both int64_t and uint64_t"
CAST_ERROR = "Unable to cast Python instance to C++ type (compile in debug mode for details)"
RECURSION = "maximum recursion depth exceeded while encoding a CBOR value"
INT64_MIN, UINT64_MAX = -(2**63), 2**64 - 1
MAX_LEVELS = 12


class Index:
    def __init__(self, number):
        self.number = number

    def __index__(self):
        return self.number


class Truth:
    def __init__(self, flag):
        self.flag = flag

    def __bool__(self):
        return self.flag


class Refusal(Exception):
    """A predicted error: its Python type name and message (or a choice of
    two such pairs, RECURSION_OR_HOOK)."""

    def __init__(self, *outcome):
        super().__init__(*outcome)
        self.outcome = outcome


# A container that holds itself, written without a depth bound, recurses
# until the interpreter's recursion limit. If the walk calls __index__ or
# __bool__ on the way, the hook may be the call that meets the limit: its
# RecursionError is then a failed conversion like any error a hook raises,
# and dumps refuses the item as it refuses every object it cannot convert.
RECURSION_OR_HOOK = ("RecursionError", RECURSION, "or", "RuntimeError", CAST_ERROR)


@atheris.instrument_func
def build(provider, level):
    """A value and its model, from the provider's bytes. Models are the
    tagged nodes of model.py, plus ("error", message) for an element dumps
    must refuse. A self-containing container's model holds itself."""
    if provider.remaining_bytes() == 0:
        return None, ("simple", None)
    pick = provider.ConsumeIntInRange(0, 15 if level < MAX_LEVELS else 10)
    if pick == 0:
        return None, ("simple", None)
    if pick == 1:
        flag = provider.ConsumeBool()
        if provider.ConsumeBool():
            return Truth(flag), ("simple", flag, "hook")
        return flag, ("simple", flag)
    if pick in (2, 3):
        number = provider.ConsumeInt(provider.ConsumeIntInRange(1, 9))
        if INT64_MIN <= number <= UINT64_MAX:
            return number, ("int", number)
        return number, ("error", "RuntimeError", RANGE_ERROR + str(number)[:40])
    if pick == 4:
        number = provider.ConsumeIntInRange(INT64_MIN, UINT64_MAX)
        return Index(number), ("int", number, "hook")
    if pick == 5:
        number = provider.ConsumeFloat() if provider.ConsumeBool() else provider.ConsumeRegularFloat()
        return number, ("float", number)
    if pick in (6, 7):
        text = provider.ConsumeUnicode(provider.ConsumeIntInRange(0, 40))
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:
            return text, ("error", "RuntimeError", CAST_ERROR)
        return text, ("str", text)
    if pick == 8:
        data = provider.ConsumeBytes(provider.ConsumeIntInRange(0, 300))
        return data, ("bytes", data)
    if pick == 9:
        return bytearray(b"x"), ("error", "RuntimeError", CAST_ERROR, "refused")
    if pick == 10:
        number = provider.ConsumeIntInRange(-70000, 70000) / 8
        return number, ("float", number)
    size = provider.ConsumeIntInRange(0, 30 if provider.ConsumeProbability() < 0.1 else 4)
    if pick in (11, 12):
        items = [build(provider, level + 1) for _ in range(size)]
        value = [item for item, _ in items]
        model = ("array", [node for _, node in items])
        if pick == 12:
            return tuple(value), model
        if provider.ConsumeProbability() < 0.05:
            value.append(value)
            model[1].append(model)
        return value, model
    if pick in (13, 14):
        value, nodes = {}, {}
        for _ in range(size):
            key, key_node = build_key(provider)
            item, item_node = build(provider, level + 1)
            # an equal key already there keeps its place and takes the new value
            nodes[key] = (nodes[key][0] if key in value else key_node, item_node)
            value[key] = item
        model = ("map", [nodes[key] for key in value])
        if provider.ConsumeProbability() < 0.05:
            value["self"] = value
            model[1].append((("str", "self"), model))
        return value, model
    return {1, 2}, ("error", "RuntimeError", CAST_ERROR, "refused")


def build_key(provider):
    """A hashable value and its model: a scalar or a tuple of them."""
    while provider.remaining_bytes():
        value, model = build(provider, MAX_LEVELS)
        if model[0] == "float" and math.isnan(model[1]):
            continue
        if isinstance(value, tuple) and any(node[0] == "array" for node in model[1]):
            continue  # a tuple that holds a list is not hashable
        try:
            hash(value)
        except TypeError:
            continue
        return value, model
    return None, ("simple", None)


@atheris.instrument_func
def predict(model, indefinite, max_depth):
    """The outcome dumps must have: ("bytes", data) or (error type, message)."""
    path = set()
    out = []
    hooks = []

    def write(node, level):
        kind = node[0]
        if kind == "error":
            if level == 0 and node[3:] == ("refused",):
                raise Refusal("TypeError", None)  # the argument itself: pybind11's message
            raise Refusal(node[1], node[2])
        if node[2:] == ("hook",):
            hooks.append(node)
        if kind == "simple":
            out.append({None: b"\xf6", True: b"\xf5", False: b"\xf4"}[node[1]])
        elif kind == "int":
            out.append(head(0, node[1]) if node[1] >= 0 else head(1, -1 - node[1]))
        elif kind == "float":
            out.append(expected_float_bytes(node[1]))
        elif kind == "str":
            encoded = node[1].encode("utf-8")
            out.append(head(3, len(encoded)) + encoded)
        elif kind == "bytes":
            out.append(head(2, len(node[1])) + node[1])
        else:
            if id(node) in path and max_depth == 0:
                raise Refusal(*RECURSION_OR_HOOK) if hooks else Refusal("RecursionError", RECURSION)
            path.add(id(node))
            major = 4 if kind == "array" else 5
            out.append(bytes([major << 5 | 31]) if indefinite else head(major, len(node[1])))
            for element in node[1]:
                if max_depth and level + 1 > max_depth:
                    raise Refusal("RuntimeError", f"Exceeded recursion limit:{max_depth}")
                if kind == "array":
                    write(element, level + 1)
                else:
                    write(element[0], level + 1)
                    write(element[1], level + 1)
            if indefinite:
                out.append(b"\xff")
            path.discard(id(node))

    try:
        write(model, 0)
    except Refusal as refusal:
        return refusal.outcome
    return ("bytes", b"".join(out))


def outcome(value, indefinite, max_depth):
    try:
        return ("bytes", dumps(value, indefinite, max_depth))
    except TypeError:
        return ("TypeError", None)
    except Exception as error:  # noqa: BLE001 - compared with the prediction
        return (type(error).__name__, str(error))


def has_cycle(model, path=None):
    path = path or set()
    if model[0] not in ("array", "map"):
        return False
    if id(model) in path:
        return True
    path = path | {id(model)}
    children = model[1] if model[0] == "array" else [node for pair in model[1] for node in pair]
    return any(has_cycle(child, path) for child in children)


def keys_collide(model):
    """True when two keys of one map decode to equal Python keys (1, 1.0 and
    True; an __index__ object and its int), which cbor2's dict would merge."""
    if model[0] == "array":
        return any(keys_collide(item) for item in model[1])
    if model[0] == "map":
        keys = [decoded_key(key) for key, _ in model[1]]
        return len(set(keys)) != len(keys) or any(keys_collide(item) for _, item in model[1])
    return False


def matches(actual, predicted):
    if predicted == RECURSION_OR_HOOK:
        return actual in (predicted[:2], predicted[3:])
    return actual == predicted


def test_one_input(data):
    provider = atheris.FuzzedDataProvider(data)
    value, model = build(provider, 0)
    limit = provider.ConsumeIntInRange(1, 64)
    for indefinite in (True, False):
        unlimited = outcome(value, indefinite, 0)
        limited = outcome(value, indefinite, limit)
        assert matches(unlimited, predict(model, indefinite, 0)), (unlimited, predict(model, indefinite, 0))
        assert matches(limited, predict(model, indefinite, limit)), (limited, predict(model, indefinite, limit))
        if unlimited[0] == "bytes" and limited[0] == "bytes":
            assert limited == unlimited
        if unlimited[0] == "bytes" and not has_cycle(model) and not keys_collide(model):
            assert normal(decode_one(unlimited[1])) == comparable(model)


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
