"""Reading what dumps wrote back with an independent decoder (cbor2)."""

import io
import math
import struct

import cbor2


def normal(value):
    """A form that compares equal exactly when two values carry the same
    CBOR content: kinds are kept apart (True is not 1, 1.0 is not 1), arrays
    are lists whatever they came from, maps keep their order, floats compare
    by bits (NaN equal to NaN, 0.0 not equal to -0.0)."""
    if value is None or isinstance(value, bool):
        return ("simple", value)
    if isinstance(value, int):
        return ("int", value)
    if isinstance(value, float):
        return ("float", "nan" if math.isnan(value) else struct.pack(">d", value))
    if isinstance(value, (str, bytes)):
        return (type(value).__name__, value)
    if isinstance(value, (list, tuple)):
        return ("array", [normal(item) for item in value])
    if isinstance(value, dict):
        return ("map", [(normal(key), normal(item)) for key, item in value.items()])
    raise AssertionError(f"decoder returned {value!r}")


def decode_one(data):
    stream = io.BytesIO(data)
    decoded = cbor2.CBORDecoder(stream).decode()
    assert stream.read() == b"", "bytes left after the first data item"
    return decoded
