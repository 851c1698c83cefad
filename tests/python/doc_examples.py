"""Running the examples of the README and of docs/ as tests: Python sessions
through doctest, shell sessions of the orvantile-cbor command through bash."""

import doctest
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
README = REPO / "README.md"
DOCS = REPO / "docs"
OPTIONS = doctest.ELLIPSIS
# The shell sessions are written for bash and GNU coreutils (od).
LINUX_SHELL = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                 reason="shell sessions of bash with GNU coreutils, as on Linux")


def markdown_blocks(text, language):
    """The contents of the ```language fences of a Markdown text, with the
    line number each starts on."""
    blocks = []
    for match in re.finditer(r"^```%s[ \t]*\n(.*?)^```[ \t]*$" % re.escape(language), text, re.M | re.S):
        blocks.append((text.count("\n", 0, match.start()) + 2, match.group(1)))
    return blocks


def rst_blocks(text, language):
    """The contents of the '.. code-block:: language' directives of a
    reStructuredText text, dedented, with the line number each starts on."""
    blocks = []
    lines = text.splitlines()
    for index, line in enumerate(lines):
        if re.match(r"^\s*\.\. code-block:: %s\s*$" % re.escape(language), line):
            indent = len(line) - len(line.lstrip())
            start = index + 1
            while start < len(lines) and not lines[start].strip():
                start += 1
            body = []
            for following in lines[start:]:
                if following.strip() and len(following) - len(following.lstrip()) <= indent:
                    break
                body.append(following)
            blocks.append((start + 1, textwrap.dedent("\n".join(body)).rstrip("\n") + "\n"))
    return blocks


def doctest_failures(source, name, line, namespace=None):
    """Runs the interactive examples of source, in namespace when given (it
    keeps what they define); returns the report of the failed ones ('' when
    all pass) and the number of examples run."""
    namespace = {} if namespace is None else namespace
    test = doctest.DocTestParser().get_doctest(source, namespace, name, name, line)
    output = []
    runner = doctest.DocTestRunner(optionflags=OPTIONS)
    runner.run(test, out=output.append, clear_globs=False)
    namespace.update(test.globs)
    return "".join(output), len(test.examples)


def console_sessions(block, line=1):
    """The commands of a console block ('$ ' lines) that starts on line:
    the line of each command, the command and what it prints."""
    sessions = []
    for number, text in enumerate(block.splitlines(), line):
        if text.startswith("$ "):
            sessions.append((number, text[2:], []))
        else:
            assert sessions, "a console block must start with a '$ ' command:\n" + block
            sessions[-1][2].append(text)
    return [(number, command, "".join(output + "\n" for output in lines)) for number, command, lines in sessions]


def run_console(command, folder):
    """Runs a shell command in folder, as a terminal shows it: standard output
    and standard error together, the installed orvantile-cbor on the PATH."""
    environment = dict(os.environ)
    # The interpreter's own folder too: see installed_command in test_cli.py.
    folders = [sysconfig.get_path("scripts"), os.path.dirname(sys.executable), environment.get("PATH", "")]
    environment["PATH"] = os.pathsep.join(folders)
    result = subprocess.run(["bash", "-c", command], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            cwd=str(folder), env=environment, timeout=60)
    return result.stdout.decode("utf-8")


def example_folder(tmp_path):
    """A folder to run shell examples in, holding a copy of examples/."""
    shutil.copytree(str(REPO / "examples"), str(tmp_path / "examples"))
    return tmp_path
