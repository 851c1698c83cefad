"""The platform table of docs/platforms.rst, in two parts (Linux; macOS and
Windows), read by the platform checks (scripts/check-*).

Each cell names a wheel by cibuildwheel's identifier without the build
number, such as cp311-manylinux_x86_64 or pp39-win_amd64, and says whether
and where it is built.
"""

import csv
import re
from pathlib import Path

PAGE = Path(__file__).resolve().parents[1] / "docs" / "platforms.rst"
SECTION = "Wheels, and where each is proven"
BUILT = ("here", "emulated", "compiled", "hosted")
NOT_BUILT = "not built"


def tables():
    """The rows of each csv-table of the page's section on wheels, the header
    row first: one table per group of platforms."""
    lines = PAGE.read_text(encoding="utf-8").splitlines()
    start = lines.index(SECTION)
    end = next(index for index in range(start + 2, len(lines)) if set(lines[index]) == {"-"}) - 1
    found = []
    for index in range(start, end):
        if not lines[index].startswith(".. csv-table::"):
            continue
        content = []
        for line in lines[index + 1:end]:
            if line.strip() and not line.startswith("   "):
                break
            if line.strip() and not line.strip().startswith(":"):
                content.append(line.strip())
        found.append(list(csv.reader(content, skipinitialspace=True, strict=True)))
    assert found, f"no table under {SECTION!r} in {PAGE}"
    return found


def cells():
    """{identifier: the cell's text} for every cell of the tables."""
    table = {}
    for rows in tables():
        header, body = rows[0], rows[1:]
        platforms = [re.search(r"``(\w+)``", cell).group(1) for cell in header[1:]]
        for row in body:
            name, version = re.fullmatch(r"(CPython|PyPy) 3\.(\d+)", row[0]).groups()
            prefix = ("cp" if name == "CPython" else "pp") + "3" + version
            assert len(row) == len(header), row
            for platform, cell in zip(platforms, row[1:]):
                assert cell.startswith(BUILT + (NOT_BUILT,)), f"{row[0]}, {platform}: {cell!r}"
                identifier = f"{prefix}-{platform}"
                assert identifier not in table, f"{identifier} is in two tables"
                table[identifier] = cell
    return table


def built():
    """The identifiers of the wheels the table promises."""
    return {identifier for identifier, cell in cells().items() if cell.startswith(BUILT)}
