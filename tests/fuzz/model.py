"""What a generated value means in CBOR terms, and the checks that dumps
must pass for it. Shared by the fuzz drivers of this folder.

A value is made together with its model: a plain tree of tagged nodes that
says which data item dumps must write for it, whatever Python type carries
it (a subclass, an object read through __index__ or __bool__):

    ("simple", None | True | False)   ("int", n)   ("float", x)
    ("str", text)   ("bytes", data)   ("array", [model, ...])
    ("map", [(key model, value model), ...])

From the model come the bytes a straightforward encoder writes (compared
byte for byte) and the form an independent decoder's result must take."""

import math
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))

from cbor_oracle import decode_one, normal  # noqa: E402
from float_reference import expected_float_bytes  # noqa: E402
from orvantile_cbor import dumps  # noqa: E402

UINT64_MAX = 2**64 - 1


def head(major, argument):
    if argument < 24:
        return bytes([major << 5 | argument])
    for width, additional in ((1, 24), (2, 25), (4, 26), (8, 27)):
        if argument < 1 << (8 * width):
            return bytes([major << 5 | additional]) + argument.to_bytes(width, "big")
    raise ValueError(argument)


def reference_bytes(model, indefinite):
    """The encoding of `model`: shortest heads, shortest exact floats,
    containers indefinite-length or definite."""
    kind, content = model[:2]
    if kind == "simple":
        return {None: b"\xf6", True: b"\xf5", False: b"\xf4"}[content]
    if kind == "int":
        return head(0, content) if content >= 0 else head(1, -1 - content)
    if kind == "float":
        return expected_float_bytes(content)
    if kind == "str":
        encoded = content.encode("utf-8")
        return head(3, len(encoded)) + encoded
    if kind == "bytes":
        return head(2, len(content)) + content
    if kind == "array":
        items = b"".join(reference_bytes(item, indefinite) for item in content)
        return b"\x9f" + items + b"\xff" if indefinite else head(4, len(content)) + items
    if kind == "map":
        entries = b"".join(reference_bytes(k, indefinite) + reference_bytes(v, indefinite) for k, v in content)
        return b"\xbf" + entries + b"\xff" if indefinite else head(5, len(content)) + entries
    raise AssertionError(kind)


def comparable(model):
    """The model in the form of cbor_oracle.normal: floats by their bits."""
    kind, content = model[:2]
    if kind == "float":
        return ("float", "nan" if math.isnan(content) else struct.pack(">d", content))
    if kind == "array":
        return ("array", [comparable(item) for item in content])
    if kind == "map":
        return ("map", [(comparable(k), comparable(v)) for k, v in content])
    return model[:2]


def element_depth(model):
    """Deepest element level: an element of a container at level d is at
    level d + 1; a key and its value share a level."""
    kind, content = model[:2]
    if kind == "array":
        return max((1 + element_depth(item) for item in content), default=0)
    if kind == "map":
        return max((1 + max(element_depth(k), element_depth(v)) for k, v in content), default=0)
    return 0


def decoded_key(model):
    """The Python object cbor2 makes of a key model, to keep the keys of one
    generated map distinct after decoding too (1, 1.0 and True are one key)."""
    kind, content = model[:2]
    if kind == "array":
        return tuple(decoded_key(item) for item in content)
    if kind == "map":
        raise AssertionError("maps are not generated as keys")
    return content


def check(value, model):
    """Every property, in both container modes; returns the dumps calls made."""
    depth = element_depth(model)
    expected_form = comparable(model)
    calls = 0
    for indefinite in (True, False):
        data = dumps(value, indefinite)
        expected = reference_bytes(model, indefinite)
        assert data == expected, f"wrote {data.hex()}, expected {expected.hex()}"
        assert normal(decode_one(data)) == expected_form
        assert dumps(value, indefinite, max(depth, 1)) == data
        assert dumps(value, indefinite, UINT64_MAX) == data
        calls += 3
        if depth > 1:
            try:
                dumps(value, indefinite, depth - 1)
            except RuntimeError as error:
                assert str(error) == f"Exceeded recursion limit:{depth - 1}", str(error)
            else:
                raise AssertionError(f"max_depth={depth - 1} did not refuse a value {depth} levels deep")
            calls += 1
    return calls
