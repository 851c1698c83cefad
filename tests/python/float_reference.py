"""The expected CBOR encoding of a float, built on struct alone."""

import math
import struct


def expected_float_bytes(x):
    """Shortest exact width, normal halves only; NaN and the infinities fixed."""
    if math.isnan(x):
        return b"\xf9\x7e\x00"
    if math.isinf(x):
        return b"\xf9\x7c\x00" if x > 0 else b"\xf9\xfc\x00"
    if x == 0 or 2**-14 <= abs(x) <= 65504:
        half = struct.pack(">e", x)
        if struct.unpack(">e", half)[0] == x:
            return b"\xf9" + half
    try:
        single = struct.pack(">f", x)
    except OverflowError:
        single = None
    if single is not None and struct.unpack(">f", single)[0] == x:
        return b"\xfa" + single
    return b"\xfb" + struct.pack(">d", x)
