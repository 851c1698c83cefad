"""A module built for another interpreter version refuses to load.

The module is built here with CMake for target version 3.1 and imported in a
child process. 3.1 is no interpreter this suite runs on, and for 3.10 to 3.19
it is a prefix of the version string that must still not pass."""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
TARGET = "3.1"


def build_tools():
    try:
        import cmake
        import ninja
    except ImportError as error:
        pytest.skip(f"building the module needs the cmake and ninja packages ({error})")
    try:
        import pybind11
    except ImportError:
        pytest.skip("building the module needs the pybind11 package (2.13.6)")
    if pybind11.__version__ != "2.13.6":
        pytest.skip(f"building the module needs pybind11 2.13.6, found {pybind11.__version__}")
    return Path(cmake.CMAKE_BIN_DIR) / "cmake", Path(ninja.BIN_DIR) / "ninja", pybind11.get_cmake_dir()


@pytest.fixture(scope="module")
def module_for_other_version(tmp_path_factory):
    cmake, ninja, pybind11_dir = build_tools()
    build = tmp_path_factory.mktemp("build")
    commands = [
        [
            str(cmake),
            "-S", str(REPO),
            "-B", str(build),
            "-G", "Ninja",
            f"-DCMAKE_MAKE_PROGRAM={ninja}",
            "-DORVANTILE_MODULE=ON",
            f"-DORVANTILE_TARGET_PYTHON={TARGET}",
            f"-DPython_EXECUTABLE={sys.executable}",
            f"-Dpybind11_DIR={pybind11_dir}",
        ],
        [str(cmake), "--build", str(build)],
    ]
    for command in commands:
        result = subprocess.run(command, capture_output=True, text=True)
        assert result.returncode == 0, f"{' '.join(command)}\n{result.stdout}\n{result.stderr}"
    built = sorted(build.glob("src/binding/orvantile_cbor*.so")) + sorted(build.glob("src/binding/orvantile_cbor*.pyd"))
    assert len(built) == 1, built
    directory = tmp_path_factory.mktemp("module")
    shutil.copy2(built[0], directory / built[0].name)
    return directory


IMPORT = """
import sys
sys.path.insert(0, sys.argv[1])
try:
    import orvantile_cbor
except ImportError as error:
    print(type(error).__name__)
    print(error)
    print("orvantile_cbor" in sys.modules)
else:
    print("imported", orvantile_cbor.__file__)
"""


def test_refuses_another_interpreter_version(module_for_other_version):
    result = subprocess.run(
        [sys.executable, "-c", IMPORT, str(module_for_other_version)],
        capture_output=True,
        text=True,
        cwd=module_for_other_version,
    )
    assert result.returncode == 0, result.stderr
    message = (
        f"Python version mismatch: module was compiled for Python {TARGET}, "
        f"but the interpreter version is incompatible: {sys.version}."
    )
    assert result.stdout == f"ImportError\n{message}\nFalse\n"

