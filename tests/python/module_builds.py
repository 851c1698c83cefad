"""Builds of the module with other CMake options, made with the test
environment's cmake, ninja and pybind11 2.13.6, for use in child processes.

When the test-suite runs with the sanitizer runtime preloaded (make
test-sanitize), these builds are sanitized as well, and the build tools run
without the preload: they are not what is under test."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]


def build_tools():
    if not sys.platform.startswith("linux"):
        pytest.skip("the test builds of the module are made with the Linux development machine's toolchain")
    try:
        import cmake
        import ninja
        import pybind11
    except ImportError as error:
        pytest.skip(f"building the module needs cmake, ninja and pybind11 2.13.6 ({error})")
    if pybind11.__version__ != "2.13.6":
        pytest.skip(f"building the module needs pybind11 2.13.6, found {pybind11.__version__}")
    return Path(cmake.CMAKE_BIN_DIR) / "cmake", Path(ninja.BIN_DIR) / "ninja", pybind11.get_cmake_dir()


def sanitizer_preloaded():
    """True when this interpreter runs with AddressSanitizer's runtime preloaded."""
    return "libasan" in os.environ.get("LD_PRELOAD", "")


def build_module(tmp_path_factory, **options):
    """Builds the module with -D options; returns the folder holding it."""
    cmake, ninja, pybind11_dir = build_tools()
    environment = dict(os.environ)
    if sanitizer_preloaded():
        options = {"ORVANTILE_SANITIZE": "ON", **options}
        del environment["LD_PRELOAD"]
    build = tmp_path_factory.mktemp("build")
    configure = [
        str(cmake), "-S", str(REPO), "-B", str(build), "-G", "Ninja",
        f"-DCMAKE_MAKE_PROGRAM={ninja}",
        "-DORVANTILE_MODULE=ON",
        # One translation unit per target: pybind11's headers are compiled
        # once instead of once per source file, a third of the time.
        "-DCMAKE_UNITY_BUILD=ON",
        f"-DPython_EXECUTABLE={sys.executable}",
        f"-Dpybind11_DIR={pybind11_dir}",
    ] + [f"-D{name}={value}" for name, value in options.items()]
    for command in (configure, [str(cmake), "--build", str(build)]):
        result = subprocess.run(command, capture_output=True, text=True, env=environment)
        assert result.returncode == 0, f"{' '.join(command)}\n{result.stdout}\n{result.stderr}"
    built = sorted(build.glob("src/binding/orvantile_cbor*.so"))
    assert len(built) == 1, built
    directory = tmp_path_factory.mktemp("module")
    shutil.copy2(built[0], directory / built[0].name)
    return directory


def run_with_module(directory, source, *arguments):
    """Runs source in a child interpreter that imports the module from directory."""
    prelude = f"import sys\nsys.path.insert(0, {str(directory)!r})\n"
    return subprocess.run([sys.executable, "-c", prelude + source, *map(str, arguments)],
                          capture_output=True, text=True, cwd=str(directory))
