"""The platform table of docs/platforms.rst, read by the platform checks
(scripts/check-*).

Each cell names a wheel by cibuildwheel's identifier without the build
number, such as cp311-manylinux_x86_64 or pp39-win_amd64, and says whether
and where it is built.
"""

import csv
import re
from pathlib import Path

PAGE = Path(__file__).resolve().parents[1] / "docs" / "platforms.rst"
BUILT = ("here", "emulated", "compiled", "hosted")
NOT_BUILT = "not built"


def table_rows():
    """The rows of the page's first csv-table, the header row first."""
    lines = PAGE.read_text(encoding="utf-8").splitlines()
    start = lines.index(".. csv-table::") + 1
    content = []
    for line in lines[start:]:
        if line.strip() and not line.startswith("   "):
            break
        if line.strip() and not line.strip().startswith(":"):
            content.append(line.strip())
    return list(csv.reader(content, skipinitialspace=True, strict=True))


def cells():
    """{identifier: the cell's text} for every cell of the table."""
    rows = [[cell.strip() for cell in row] for row in table_rows()]
    header, body = rows[0], rows[1:]
    platforms = [re.search(r"``(\w+)``", cell).group(1) for cell in header[1:]]
    table = {}
    for row in body:
        name, version = re.fullmatch(r"(CPython|PyPy) 3\.(\d+)", row[0]).groups()
        prefix = ("cp" if name == "CPython" else "pp") + "3" + version
        assert len(row) == len(header), row
        for platform, cell in zip(platforms, row[1:]):
            assert cell.startswith(BUILT + (NOT_BUILT,)), f"{row[0]}, {platform}: {cell!r}"
            table[f"{prefix}-{platform}"] = cell
    return table


def built():
    """The identifiers of the wheels the table promises."""
    return {identifier for identifier, cell in cells().items() if cell.startswith(BUILT)}
