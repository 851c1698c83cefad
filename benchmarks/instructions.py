"""Instructions per dumps call of the release build (link-time optimised and
stripped, as the wheel ships it), by callgrind, for the work tree and for the
build of a baseline commit, per data set.

callgrind counts inside CPython's map_next only, through which a child
interpreter calls dumps a few times on the same value: the count holds the
call itself (argument conversion included) and nothing of making the value,
and it does not vary with the machine's load.

    .venv/bin/python benchmarks/instructions.py --baseline main [--sets twitter list_of_ints ...]
"""

import argparse
import re
import subprocess
import sys
import tempfile
from pathlib import Path

import builds
import datasets

BENCHMARKS = Path(__file__).resolve().parent
CHILD = """
import sys
sys.path[:0] = sys.argv[1:3]
import datasets, orvantile_cbor
value = datasets.make(sys.argv[3])
list(map(orvantile_cbor.dumps, [value] * int(sys.argv[4])))
"""
# One call where a call takes long; the count is per call either way.
SINGLE_CALL = {"canada", "float_mix", "list_of_floats", "bytes_64MiB"}


def per_call(module_dir, data_set):
    calls = 1 if data_set in SINGLE_CALL else 3
    with tempfile.NamedTemporaryFile(suffix=".callgrind") as output:
        subprocess.run(
            ["valgrind", "--tool=callgrind", "--toggle-collect=map_next", f"--callgrind-out-file={output.name}",
             sys.executable, "-c", CHILD, str(module_dir), str(BENCHMARKS), data_set, str(calls)],
            check=True, capture_output=True,
        )
        total = int(re.search(r"^(?:summary|totals): (\d+)", Path(output.name).read_text(), re.M).group(1))
    return total / calls


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", default="HEAD", help="commit whose build is the reference (default HEAD)")
    parser.add_argument("--sets", nargs="*", help="data sets (default: all available)")
    arguments = parser.parse_args()
    baseline = builds.build_commit(arguments.baseline, builds.REPO / "build" / "instructions-baseline")
    work_tree = builds.build_module(builds.REPO, builds.REPO / "build" / "instructions-work-tree")
    print(f"| data set | {arguments.baseline} | work tree | work tree ÷ {arguments.baseline} |\n|---|---|---|---|")
    for data_set in arguments.sets or datasets.available():
        before, after = per_call(baseline, data_set), per_call(work_tree, data_set)
        count = datasets.element_count(data_set)
        cells = [f"{before:,.0f}", f"{after:,.0f}"]
        if count:
            cells = [f"{cell} ({value / count:.1f} per element)" for cell, value in zip(cells, (before, after))]
        print(f"| {data_set} | {cells[0]} | {cells[1]} | {after / before:.2f} |", flush=True)


if __name__ == "__main__":
    main()
