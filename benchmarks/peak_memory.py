"""Child process of the benchmark: the peak memory one encoder call takes.

Allocations made in C (the codec's buffer, the peers' own buffers) are not
seen by tracemalloc, so the call is measured by the kernel's count of the
process's resident memory: after the value is made and encoded once (so that
caches such as a str's UTF-8 copy exist before the measured call), freed heap
memory is handed back with malloc_trim, the resident high-water mark is reset
through /proc/self/clear_refs, and the peak is read back after one call.

Prints one JSON object: resident bytes the value added, and the peak above
the resident memory just before the call.
"""

import argparse
import ctypes
import gc
import json
from pathlib import Path

import datasets
import encoders

LIBC = ctypes.CDLL(None)


def status_kib(field):
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise KeyError(field)


def settle():
    gc.collect()
    LIBC.malloc_trim(0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("data_set")
    parser.add_argument("encoder")
    parser.add_argument("--module", help="folder to import orvantile_cbor from")
    parser.add_argument("--baseline-module", help="folder of the build measured as dumps baseline")
    arguments = parser.parse_args()

    encode = encoders.load(arguments.module, arguments.baseline_module)[arguments.encoder]
    encode([1, "a", 1.5, b"b", {"c": None}])
    settle()
    before_value = status_kib("VmRSS")
    value = datasets.make(arguments.data_set)
    settle()
    value_kib = status_kib("VmRSS") - before_value

    encode(value)
    settle()
    before_call = status_kib("VmRSS")
    Path("/proc/self/clear_refs").write_text("5")
    result = encode(value)
    peak_kib = status_kib("VmHWM") - before_call
    del result
    print(json.dumps({"value_bytes": value_kib * 1024, "peak_bytes": max(peak_kib, 0) * 1024}))


if __name__ == "__main__":
    main()
