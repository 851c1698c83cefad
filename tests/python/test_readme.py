"""Every example of the README runs: its Python sessions through doctest, its
shell sessions of the orvantile-cbor command through bash, and each row of
its table of what Python values become."""

import re

import pytest

from doc_examples import (LINUX_SHELL, README, console_sessions, doctest_failures, example_folder, markdown_blocks,
                          run_console)
from orvantile_cbor import dumps

TEXT = README.read_text(encoding="utf-8")
PYTHON = markdown_blocks(TEXT, "python")
CONSOLE = [session for line, block in markdown_blocks(TEXT, "console") for session in console_sessions(block, line)]


def run_python_blocks():
    """Runs the Python blocks in order, in one namespace as a reader's session
    would; returns the failure reports and that namespace."""
    namespace = {}
    reports = []
    for line, block in PYTHON:
        failures, count = doctest_failures(block, "README.md", line - 1, namespace)
        assert count > 0, "README.md:%d: a python block without >>> examples" % line
        reports.append(failures)
    return "".join(reports), namespace


def test_python_examples():
    assert len(PYTHON) >= 3
    failures, _ = run_python_blocks()
    assert failures == ""


def test_console_examples_are_found():
    assert len(CONSOLE) >= 6
    commands = [command for _, command, _ in CONSOLE]
    assert "orvantile-cbor --hex examples/order.json" in commands
    assert "echo '{\"a\": [1, 2.5]}' | orvantile-cbor --hex" in commands


def test_make_example_runs_the_contributors_command():
    makefile = (README.parent / "Makefile").read_text(encoding="utf-8")
    recipe = re.search(r"^example:.*\n((?:\t.*\n)+)", makefile, re.M)
    assert recipe, "no example target in the Makefile"
    assert "/orvantile-cbor --hex examples/order.json" in recipe.group(1)
    contributing = TEXT.split("\n## Contributing\n")[1].split("\n## ")[0]
    assert "make example" in contributing and "make test" in contributing
    assert "$ orvantile-cbor --hex examples/order.json\n" in contributing


@LINUX_SHELL
@pytest.mark.parametrize("line, command, expected", CONSOLE,
                         ids=["README.md:%d" % line for line, _, _ in CONSOLE])
def test_console_example(tmp_path, line, command, expected):
    assert run_console(command, example_folder(tmp_path)) == expected


def type_table():
    """The rows of the table under 'What each Python value becomes': the
    example, then what dumps gives with indefinite and definite lengths."""
    section = TEXT[TEXT.index("\n## What each Python value becomes\n"):]
    rows = []
    for line in section.splitlines()[2:]:
        if line.startswith("#"):
            break
        if not line.startswith("|") or line.startswith("|---"):
            continue
        cells = [cell.strip() for cell in line.strip("|").split("|")]
        if cells[0] == "Python value":
            assert cells[3:] == ["`dumps(x)`", "`dumps(x, indefinite=False)`"], cells
            continue
        assert len(cells) == 5, line
        rows.append([re.fullmatch(r"`(.*)`", cell).group(1) for cell in cells[2:]])
    return rows


TABLE = type_table()


def outcome(value, indefinite):
    try:
        return dumps(value, indefinite=indefinite).hex()
    except Exception as error:
        return type(error).__name__


def test_type_table_is_found():
    assert len(TABLE) >= 15


@pytest.fixture(scope="module")
def readme_namespace():
    """What the README's Python sessions define (Level, math, ...), which the
    table's examples use."""
    return run_python_blocks()[1]


@pytest.mark.parametrize("example, indefinite, definite", TABLE, ids=[row[0] for row in TABLE])
def test_type_table_row(readme_namespace, example, indefinite, definite):
    value = eval(example, dict(readme_namespace))
    assert (outcome(value, True), outcome(value, False)) == (indefinite, definite)
