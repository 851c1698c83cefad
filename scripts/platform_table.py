"""The README's platform table, read by the platform checks (scripts/check-*).

Each cell names a wheel by cibuildwheel's identifier without the build
number, such as cp311-manylinux_x86_64 or pp39-win_amd64, and says whether
and where it is built.
"""

import re
from pathlib import Path

README = Path(__file__).resolve().parents[1] / "README.md"
BUILT = ("here", "emulated", "compiled", "hosted")
NOT_BUILT = "not built"


def cells():
    """{identifier: the cell's text} for every cell of the table."""
    section = README.read_text(encoding="utf-8").split("\n## Platforms\n")[1].split("\n## ")[0]
    rows = [[cell.strip() for cell in line.strip().strip("|").split("|")]
            for line in section.splitlines() if line.startswith("|") and not line.startswith("|---")]
    header, body = rows[0], rows[1:]
    platforms = [re.search(r"`(\w+)`", cell).group(1) for cell in header[1:]]
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
