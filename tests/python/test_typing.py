"""The type information installed with the module: the stub beside the
extension module, the stub-only package that type checkers read, and mypy's
verdict on code that uses them."""

import ast
import re
import subprocess
import sys
import textwrap
import types
from pathlib import Path

import pytest

import orvantile_cbor

SITE = Path(orvantile_cbor.__file__).resolve().parent
STUB = SITE / "orvantile_cbor.pyi"
STUB_PACKAGE = SITE / "orvantile_cbor-stubs"

# Calls that work at run time and must pass mypy --strict.
ACCEPTED = '''
    from typing import Dict, List, Tuple

    import orvantile_cbor


    class Flag:
        def __bool__(self) -> bool:
            return True


    class Level:
        def __index__(self) -> int:
            return 2


    numbers: List[int] = [1, 2]
    prices: Dict[str, float] = {"a": 2.5}
    pair: Tuple[int, str] = (1, "a")
    items = [None, True, 1, 2.5, "text", b"bytes", numbers, pair, prices]

    encoded: bytes = orvantile_cbor.dumps({"a": [1, 2.5]})
    encoded = orvantile_cbor.dumps(items, indefinite=False, max_depth=3)
    encoded = orvantile_cbor.dumps(numbers, False, 2)
    encoded = orvantile_cbor.dumps(prices, indefinite=None, max_depth=Level())
    encoded = orvantile_cbor.dumps(Flag(), indefinite=1)
    encoded = orvantile_cbor.dumps(Level())
    encoded = orvantile_cbor.dumps(value=pair)
    version: str = orvantile_cbor.__version__
'''

# Each line marked "# refused" must draw an error, and no other line may.
REFUSED = '''
    import orvantile_cbor

    orvantile_cbor.dumps([1, 2], max_depth="3")  # refused
    orvantile_cbor.dumps([1, 2], max_depth=2.0)  # refused
    orvantile_cbor.dumps([1, 2], indefinite="yes")  # refused
    orvantile_cbor.dumps({1, 2})  # refused
    orvantile_cbor.dumps(object())  # refused
    text: str = orvantile_cbor.dumps(1)  # refused
    version: int = orvantile_cbor.__version__  # refused
    orvantile_cbor.loads(b"\\xf6")  # refused
    orvantile_cbor.dumps(1, True, 0, 1)  # refused
    orvantile_cbor.dumps(1, depth=1)  # refused
'''


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    """Runs mypy --strict on a source text in a folder of its own, outside the
    source tree, so that only the installed stubs are found. The runs share
    one cache."""
    pytest.importorskip("mypy", reason="mypy is not installed (requirements/test-all.txt pins it)")
    cache = tmp_path_factory.mktemp("mypy-cache")

    def run(name, source):
        folder = tmp_path_factory.mktemp("mypy")
        (folder / name).write_text(textwrap.dedent(source))
        return subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--no-color-output", "--cache-dir", str(cache), name],
            capture_output=True, text=True, cwd=str(folder))

    return run


def test_mypy_strict_accepts_what_dumps_accepts(mypy):
    result = mypy("accepted.py", ACCEPTED)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found" in result.stdout


def test_mypy_strict_refuses_what_dumps_refuses(mypy):
    result = mypy("refused.py", REFUSED)
    assert result.returncode == 1, result.stdout + result.stderr
    expected = {number for number, line in enumerate(textwrap.dedent(REFUSED).splitlines(), 1)
                if line.endswith("# refused")}
    reported = {int(number) for number in re.findall(r"^refused\.py:(\d+): error:", result.stdout, re.M)}
    assert reported == expected, result.stdout


def test_stubtest_finds_the_stub_in_agreement_with_the_module(tmp_path):
    pytest.importorskip("mypy", reason="mypy is not installed (requirements/test-all.txt pins it)")
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "orvantile_cbor"],
                            capture_output=True, text=True, cwd=str(tmp_path))
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_are_installed_beside_the_module_and_as_a_stub_package():
    assert STUB.is_file()
    assert (STUB_PACKAGE / "__init__.pyi").read_text() == STUB.read_text()
    # PEP 561: a stub-only package for the whole module, not a partial one.
    assert (STUB_PACKAGE / "py.typed").read_text().strip() == ""


def stub_function(name):
    tree = ast.parse(STUB.read_text())
    return next(node for node in tree.body if isinstance(node, ast.FunctionDef) and node.name == name)


def test_stub_names_what_the_module_has():
    tree = ast.parse(STUB.read_text())
    public = set()
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            public.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            public.add(node.target.id)
    public = {name for name in public if not name.startswith("_") or name.startswith("__")}
    every_module_has = set(vars(types.ModuleType("empty"))) | {"__file__"}
    module = {name for name in vars(orvantile_cbor) if not name.startswith("_") or name.startswith("__")}
    assert public == module - every_module_has


def test_stub_signature_matches_the_binding():
    # pybind11 puts the signature on the first line of the docstring:
    # dumps(value: ..., indefinite: bool = True, max_depth: int = 0) -> bytes
    first_line = orvantile_cbor.dumps.__doc__.splitlines()[0]
    parameters = re.findall(r"(?:\(|, )(\w+): [^=]*?(?: = (\w+))?(?=, \w+: |\) ->)", first_line)
    assert [name for name, _ in parameters] == ["value", "indefinite", "max_depth"], first_line
    assert first_line.endswith("-> bytes")
    function = stub_function("dumps")
    names = [argument.arg for argument in function.args.args]
    assert names == [name for name, _ in parameters]
    defaults = [ast.literal_eval(default) for default in function.args.defaults]
    assert defaults == [ast.literal_eval(default) for _, default in parameters if default]
    assert not getattr(function.args, "posonlyargs", [])
    assert function.args.vararg is None and function.args.kwarg is None and not function.args.kwonlyargs
