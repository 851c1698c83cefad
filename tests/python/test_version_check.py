"""A module built for another interpreter version refuses to load.

The module is built here with CMake for target version 3.1 and imported in a
child process. 3.1 is no interpreter this suite runs on, and for 3.10 to 3.19
it is a prefix of the version string that must still not pass."""

import sys

import pytest

from module_builds import build_module, run_with_module

TARGET = "3.1"


@pytest.fixture(scope="module")
def module_for_other_version(tmp_path_factory):
    return build_module(tmp_path_factory, ORVANTILE_TARGET_PYTHON=TARGET)


IMPORT = """
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
    result = run_with_module(module_for_other_version, IMPORT)
    assert result.returncode == 0, result.stderr
    message = (
        f"Python version mismatch: module was compiled for Python {TARGET}, "
        f"but the interpreter version is incompatible: {sys.version}."
    )
    assert result.stdout == f"ImportError\n{message}\nFalse\n"

