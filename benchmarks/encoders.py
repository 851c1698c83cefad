"""The encoders the benchmark compares: dumps in both container modes, its
peers, and the walk floor, a small extension built here that reads every
node of a value and writes nothing.

Peers that are not installed for the running interpreter are left out (on
PyPy: orjson and ormsgpack, which have no PyPy build; cbor2 is pure Python
there)."""

import importlib
import importlib.machinery
import importlib.util
import platform
import subprocess
import sys
import sysconfig
from pathlib import Path

BENCHMARKS = Path(__file__).resolve().parent
EXTENSIONS = BENCHMARKS / "walk_floor"
BUILD = BENCHMARKS.parent / "build" / "bench"
PYPY = platform.python_implementation() == "PyPy"

# Report order; "dumps" is the one every ratio is taken for.
NAMES = [
    "dumps",
    "dumps definite",
    "dumps baseline",
    "cbor2",
    "cbor2 indefinite",
    "cbor2 canonical",
    "ormsgpack",
    "msgpack",
    "orjson",
    "walk floor",
]
FLOOR = "walk floor"


def build_extension(name):
    """Compiles walk_floor/<name>.cpp for this interpreter unless it is up to
    date (at the module's release optimisation level); returns its folder."""
    source = EXTENSIONS / f"{name}.cpp"
    target = BUILD / f"{name}{sysconfig.get_config_var('EXT_SUFFIX')}"
    if not target.exists() or target.stat().st_mtime < source.stat().st_mtime:
        BUILD.mkdir(parents=True, exist_ok=True)
        include = sysconfig.get_paths()["include"]
        subprocess.run(
            ["c++", "-O3", "-g", "-std=c++17", "-shared", "-fPIC", f"-I{include}", str(source), "-o", str(target)],
            check=True,
        )
    return BUILD


def build_walk_floor():
    return build_extension("walk_floor")


def import_extension(name):
    folder = str(build_extension(name))
    if folder not in sys.path:
        sys.path.insert(0, folder)
    return importlib.import_module(name)


def load_module_file(path):
    """The orvantile_cbor extension in the file at path, imported beside any
    other build of it: the interpreter files a module that initialises the
    old way under its name in sys.modules, which is undone here."""
    loader = importlib.machinery.ExtensionFileLoader("orvantile_cbor", str(path))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("orvantile_cbor", loader))
    loader.exec_module(module)
    sys.modules.pop("orvantile_cbor", None)
    return module


def load(module_dir=None, baseline_dir=None):
    """name -> one-argument callable, for every encoder importable here.
    module_dir, when given, is where the orvantile_cbor under test is
    imported from instead of the installed one; baseline_dir holds another
    build of it, timed beside it as "dumps baseline"."""
    baseline = None
    if baseline_dir is not None:
        [path] = Path(baseline_dir).glob(f"orvantile_cbor{sysconfig.get_config_var('EXT_SUFFIX')}")
        baseline = load_module_file(path)
    if module_dir is not None:
        sys.path.insert(0, str(module_dir))
    orvantile_cbor = importlib.import_module("orvantile_cbor")
    walk_floor = import_extension("walk_floor")
    encode_by_name = {
        "dumps": orvantile_cbor.dumps,
        "dumps definite": lambda value: orvantile_cbor.dumps(value, indefinite=False),
        FLOOR: walk_floor.walk,
    }
    if baseline is not None:
        encode_by_name["dumps baseline"] = baseline.dumps

    def peer(module_name, entries):
        try:
            module = importlib.import_module(module_name)
        except ImportError:
            return
        encode_by_name.update(entries(module))

    peer("cbor2", lambda cbor2: {
        "cbor2": cbor2.dumps,
        "cbor2 indefinite": lambda value: cbor2.dumps(value, indefinite_containers=True),
        "cbor2 canonical": lambda value: cbor2.dumps(value, canonical=True),
    })
    peer("ormsgpack", lambda ormsgpack: {"ormsgpack": ormsgpack.packb})
    peer("msgpack", lambda msgpack: {"msgpack": msgpack.packb})
    peer("orjson", lambda orjson: {"orjson": orjson.dumps})
    return {name: encode_by_name[name] for name in NAMES if name in encode_by_name}


def pure_python(names):
    """The encoders among names that are Python code here, not C extensions
    (cbor2 and msgpack on PyPy): no C-API floor bounds them."""
    found = set()
    if any(name.startswith("cbor2") for name in names):
        import cbor2

        if not isinstance(cbor2.dumps, type(len)):
            found |= {name for name in names if name.startswith("cbor2")}
    if "msgpack" in names:
        import msgpack

        if msgpack.Packer.__module__ == "msgpack.fallback":
            found.add("msgpack")
    return found


def output_size(result):
    """Bytes written; the walk floor writes none."""
    return len(result) if isinstance(result, (bytes, bytearray)) else 0


def versions():
    """Interpreter and peer versions, for the report."""
    from importlib import metadata

    found = [f"{platform.python_implementation()} {platform.python_version()}"]
    if PYPY:
        found[0] += f" (PyPy {'.'.join(map(str, sys.pypy_version_info[:3]))})"
    for distribution in ["cbor2", "msgpack", "ormsgpack", "orjson"]:
        try:
            found.append(f"{distribution} {metadata.version(distribution)}")
        except metadata.PackageNotFoundError:
            pass
    return ", ".join(found)
