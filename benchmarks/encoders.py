"""The encoders the benchmark compares: dumps in both container modes, its
peers, and the walk floor, a small extension built here that reads every
node of a value and writes nothing."""

import importlib
import subprocess
import sys
import sysconfig
from pathlib import Path

BENCHMARKS = Path(__file__).resolve().parent
FLOOR_SOURCE = BENCHMARKS / "walk_floor" / "walk_floor.cpp"
FLOOR_BUILD = BENCHMARKS.parent / "build" / "bench"

# Report order; "dumps" is the one every ratio is taken for.
NAMES = [
    "dumps",
    "dumps definite",
    "cbor2",
    "cbor2 indefinite",
    "cbor2 canonical",
    "ormsgpack",
    "msgpack",
    "orjson",
    "walk floor",
]
PEERS = NAMES[2:]


def build_walk_floor():
    """Compiles the walk floor for this interpreter unless it is up to date; returns its folder."""
    target = FLOOR_BUILD / f"walk_floor{sysconfig.get_config_var('EXT_SUFFIX')}"
    if not target.exists() or target.stat().st_mtime < FLOOR_SOURCE.stat().st_mtime:
        FLOOR_BUILD.mkdir(parents=True, exist_ok=True)
        include = sysconfig.get_paths()["include"]
        subprocess.run(
            ["c++", "-O2", "-std=c++17", "-shared", "-fPIC", f"-I{include}", str(FLOOR_SOURCE), "-o", str(target)],
            check=True,
        )
    return FLOOR_BUILD


def load(module_dir=None):
    """name -> one-argument callable. module_dir, when given, is where the
    orvantile_cbor under test is imported from instead of the installed one."""
    if module_dir is not None:
        sys.path.insert(0, str(module_dir))
    sys.path.insert(0, str(build_walk_floor()))
    orvantile_cbor = importlib.import_module("orvantile_cbor")
    walk_floor = importlib.import_module("walk_floor")
    import cbor2
    import msgpack
    import orjson
    import ormsgpack

    return {
        "dumps": orvantile_cbor.dumps,
        "dumps definite": lambda value: orvantile_cbor.dumps(value, indefinite=False),
        "cbor2": cbor2.dumps,
        "cbor2 indefinite": lambda value: cbor2.dumps(value, indefinite_containers=True),
        "cbor2 canonical": lambda value: cbor2.dumps(value, canonical=True),
        "ormsgpack": ormsgpack.packb,
        "msgpack": msgpack.packb,
        "orjson": orjson.dumps,
        "walk floor": walk_floor.walk,
    }


def output_size(result):
    """Bytes written; the walk floor writes none."""
    return len(result) if isinstance(result, (bytes, bytearray)) else 0
