"""The reference documentation: the Sphinx build (warnings are errors, so the
module's docstrings must stay valid reStructuredText for automodule and
autosummary), and the examples of its pages, each row of the type table of
types.rst among them."""

import csv
import doctest
import re
import shutil
import subprocess
import sys

import pytest

from doc_examples import (DOCS, LINUX_SHELL, REPO, console_sessions, doctest_failures, example_folder, rst_blocks,
                          run_console)
from orvantile_cbor import dumps

PAGES = sorted(DOCS.glob("*.rst"))


def test_html_builds_without_warnings(tmp_path):
    pytest.importorskip("sphinx", reason="Sphinx is not installed (requirements/dev.txt pins it)")
    # A copy, so that the pages autosummary generates land outside the tree.
    source = tmp_path / "docs"
    shutil.copytree(str(DOCS), str(source), ignore=shutil.ignore_patterns("_build", "_generate"))
    # The performance page shows the benchmarks' charts from beside docs/.
    (tmp_path / "benchmarks").mkdir()
    for chart in (REPO / "benchmarks").glob("*.png"):
        shutil.copy(str(chart), str(tmp_path / "benchmarks"))
    output = tmp_path / "html"
    result = subprocess.run(
        [sys.executable, "-m", "sphinx", "-W", "--keep-going", "-E", "-q", "-b", "html", str(source), str(output)],
        capture_output=True, text=True, cwd=str(tmp_path), timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stderr == ""
    # The module's autosummary of dumps made a page of its own ...
    dumps_page = (output / "_generate" / "orvantile_cbor.dumps.html").read_text(encoding="utf-8")
    assert "Dump a Python object to cbor" in dumps_page
    assert "max_depth" in dumps_page
    # The signature lists each accepted type of the value once.
    text = re.sub(r"<[^>]+>", "", dumps_page)
    value_types = re.findall(r"\w+", re.search(r"value: (.*?), indefinite", text).group(1))
    assert value_types == ["bool", "float", "int", "list", "tuple", "dict", "bytes", "str", "None"]
    # ... that the reference page's summary table links to.
    reference = (output / "reference.html").read_text(encoding="utf-8")
    assert "Orvantile cbor" in reference
    assert 'href="_generate/orvantile_cbor.dumps.html' in reference
    for page in PAGES:
        assert (output / (page.stem + ".html")).is_file()
    # The hand-written reference of dumps is in the navigation of every page.
    assert 'href="dumps.html"' in reference


PYTHON_PAGES = [page for page in PAGES if doctest.DocTestParser().get_examples(page.read_text(encoding="utf-8"))]


def test_python_examples_are_found():
    assert {"dumps.rst", "errors.rst", "index.rst", "types.rst"} <= {page.name for page in PYTHON_PAGES}


@pytest.mark.parametrize("page", PYTHON_PAGES, ids=[page.name for page in PYTHON_PAGES])
def test_python_examples(page):
    failures, _ = doctest_failures(page.read_text(encoding="utf-8"), page.name, 0)
    assert failures == ""


CONSOLE = [
    (page, number, command, expected)
    for page in PAGES
    for line, block in rst_blocks(page.read_text(encoding="utf-8"), "console")
    for number, command, expected in console_sessions(block, line)
]


def test_console_examples_are_found():
    assert len(CONSOLE) >= 6


@LINUX_SHELL
@pytest.mark.parametrize("page, line, command, expected", CONSOLE,
                         ids=["%s:%d" % (page.name, line) for page, line, _, _ in CONSOLE])
def test_console_example(tmp_path, page, line, command, expected):
    assert run_console(command, example_folder(tmp_path)) == expected


TYPES = (DOCS / "types.rst").read_text(encoding="utf-8")


def type_table():
    """The rows of the table under 'At a glance' in types.rst: the example,
    then what dumps gives with indefinite and definite lengths."""
    section = TYPES[TYPES.index("\nAt a glance\n"):]
    lines = section.splitlines()
    start = lines.index(".. csv-table::") + 1
    content = []
    for line in lines[start:]:
        if line.strip() and not line.startswith("   "):
            break
        if line.strip() and not line.strip().startswith(":"):
            content.append(line.strip())
    header, *body = csv.reader(content, skipinitialspace=True, strict=True)
    assert header[3:] == ["``dumps(x)``", "``dumps(x, indefinite=False)``"], header
    rows = []
    for cells in body:
        assert len(cells) == 5, cells
        rows.append([re.fullmatch(r"``(.*)``", cell.strip()).group(1) for cell in cells[2:]])
    return rows


TABLE = type_table()


def test_type_table_is_found():
    assert len(TABLE) >= 20


@pytest.fixture(scope="module")
def types_namespace():
    """What the Python sessions of types.rst define (Level, decimal, ...),
    which the table's examples use."""
    namespace = {}
    doctest_failures(TYPES, "types.rst", 0, namespace)
    return namespace


def outcome(value, indefinite):
    try:
        return dumps(value, indefinite=indefinite).hex()
    except Exception as error:
        return type(error).__name__


@pytest.mark.parametrize("example, indefinite, definite", TABLE, ids=[row[0] for row in TABLE])
def test_type_table_row(types_namespace, example, indefinite, definite):
    value = eval(example, dict(types_namespace))
    assert (outcome(value, True), outcome(value, False)) == (indefinite, definite)
