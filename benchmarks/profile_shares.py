"""Where the time of one dumps call goes, per data set, by callgrind.

The work tree is built at the release optimisation level with symbols
(without the release build's link-time optimisation, which would fold the
codec's functions into their callers); a child
interpreter makes each data set, lets the walk floor give every str its
UTF-8 copy, and calls dumps once under callgrind, which collects inside dumps
only. callgrind_annotate reads the profile, and the inclusive instruction counts of the codec's mechanics are given as
shares of the call:

- cbor_realloc: the one reallocation every append makes, for the output and
  for the float writer's scratch buffer;
- cbor_put_float: the whole float writer, with its scratch buffer, its
  candidates and their read-back;
- cbor_read_item: the read-back alone;
- PyBytes_FromStringAndSize: the copy of the finished output into bytes.

Writes <output>.md; `make bench` runs it when valgrind is installed.
"""

import argparse
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import builds
import datasets
import encoders

BENCHMARKS = Path(__file__).resolve().parent
FUNCTIONS = {
    "cbor_realloc": "cbor_realloc(",
    "cbor_put_float": "cbor_put_float(",
    "cbor_read_item": "cbor_read_item(",
    "PyBytes_FromStringAndSize": "PyBytes_FromStringAndSize",
}
# The walk floor first gives every str its UTF-8 copy, which a first dumps call would otherwise make.
CHILD = """
import sys
sys.path[:0] = sys.argv[1:4]
import datasets, orvantile_cbor, walk_floor
value = datasets.make(sys.argv[4])
walk_floor.walk(value)
orvantile_cbor.dumps(value)
"""


def inclusive_counts(profile):
    """function name -> inclusive instructions, and the call's total."""
    text = subprocess.run(
        ["callgrind_annotate", "--inclusive=yes", "--threshold=100", str(profile)],
        capture_output=True, text=True, check=True,
    ).stdout
    total = int(re.search(r"^\s*([\d,]+)\s.*PROGRAM TOTALS", text, re.M).group(1).replace(",", ""))
    counts = {}
    for name, pattern in FUNCTIONS.items():
        # A function can show up once per source file its inlined parts come from: take the largest.
        found = [int(match.group(1).replace(",", "")) for match in
                 re.finditer(r"^\s*([\d,]+)\s.*?:" + re.escape(pattern), text, re.M)]
        counts[name] = max(found, default=0)
    return total, counts


def profile(module_dir, data_set, work):
    output = Path(work) / data_set
    subprocess.run(
        ["valgrind", "--tool=callgrind", "--toggle-collect=dumps_impl*", f"--callgrind-out-file={output}",
         sys.executable, "-c", CHILD, str(module_dir), str(BENCHMARKS), str(encoders.build_walk_floor()), data_set],
        check=True, capture_output=True,
    )
    return inclusive_counts(output)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", default=str(BENCHMARKS / "profile"))
    parser.add_argument("--sets", nargs="*")
    arguments = parser.parse_args()
    if shutil.which("valgrind") is None:
        print("valgrind is not installed: no profile")
        return

    # A release build is stripped; this one keeps its symbols, at the release optimisation level.
    module_dir = builds.build_module(builds.REPO, builds.REPO / "build" / "bench-profile", "RelWithDebInfo",
                                     "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O3 -g -DNDEBUG")
    rows = []
    with tempfile.TemporaryDirectory() as work:
        for data_set in arguments.sets or datasets.available():
            total, counts = profile(module_dir, data_set, work)
            rows.append([data_set, f"{total:,}"] + [f"{100 * counts[name] / total:.1f} %" for name in FUNCTIONS])
            print(data_set, rows[-1][1:], flush=True)
    header = ["data set", "instructions per call"] + list(FUNCTIONS)
    lines = [
        "# Where one dumps call spends its instructions",
        "",
        "Inclusive share of each function in one call (callgrind, -O3 build with symbols; "
        "written by benchmarks/profile_shares.py). cbor_read_item is part of cbor_put_float; "
        "cbor_realloc counts the float writer's scratch appends too.",
        "",
        "| " + " | ".join(header) + " |",
        "|" + "---|" * len(header),
    ] + ["| " + " | ".join(row) + " |" for row in rows]
    Path(f"{arguments.output}.md").write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
