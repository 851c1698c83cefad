"""Where the instructions of one dumps call go, per data set, by callgrind, and
how far the encoder's own share of them is from the walk floor.

The work tree is built at the release optimisation level with symbols
(without the release build's link-time optimisation, which would fold the
codec's remaining functions into their callers). A child interpreter makes
each data set, gives every str its UTF-8 copy (walk_floor.prepare), then
calls dumps once and the walk floor once under callgrind, which counts
inside dumps_impl and walk_floor_walk only.

The codec's writers that the encoder calls for every item are inline: their
instructions are those that callgrind's line information places in
inline_writers.h and big_endian.h inside the encoder's functions. What they
call out of line when an item does not fit in the block's room (the checked
path: cbor_put_item_bytewise, cbor_put_byte), and the float writer, are
calls.

The codec's prescribed mechanics, counted apart:
- the output block's reallocation: every cbor_realloc outside the float
  writer (one per append that does not fit, the block doubled);
- the float writer's scratch buffer and read-back: cbor_put_float with all it
  calls (scratch buffer and its block, three candidates, reader, items,
  frees, the width choice), less its final write into the output, costed as
  the average width writer's call without its checked path (a second
  callgrind run, counting inside cbor_put_float only, gives that average),
  or as the fixed form's append for a NaN or an infinity.

encoder's own share = dumps' instructions - the mechanics; it includes the
walk, the classification, the heads and payload copies, and the final copy
into the bytes object, everything a writer with another buffer would still
do. Both distances to the floor are printed: dumps ÷ floor, and own share ÷
floor (the lead's target: at most 1.3x on twitter, citm_catalog and
github_events).

Writes <output>.md; `make bench` runs it when valgrind is installed.
"""

import argparse
import re
import shutil
import subprocess
import sys
import tempfile
from collections import defaultdict
from pathlib import Path

import builds
import datasets
import encoders

BENCHMARKS = Path(__file__).resolve().parent
TARGET_SETS = ["twitter", "citm_catalog", "github_events"]
OWN_SHARE_TARGET = 1.3
# The float writer's width writers: three candidates and the final write per finite float.
WIDTH_WRITERS = ("cbor_put_half", "cbor_put_single", "cbor_put_double")
# The checked path of the width writers and of the fixed forms.
APPENDS = ("cbor_put_byte", "cbor_put_bytes")
# What the encoder calls out of line in the codec, each with all it does.
OUT_OF_LINE_WRITERS = ("cbor_put_float", "cbor_put_item_bytewise", "cbor_put_byte", "cbor_put_bytes")
# The files of the writers inlined into the encoder.
INLINE_WRITER_FILES = ("inline_writers.h", "big_endian.h")
# The codec's own sources: their functions are the codec's, wherever they were inlined from.
CODEC_SOURCES = ("allocation.cpp", "buffer.cpp", "head.cpp", "float.cpp", "reader.cpp", "handlers.cpp")
CHILD = """
import sys
sys.path[:0] = sys.argv[1:4]
import datasets, orvantile_cbor, walk_floor
value = datasets.make(sys.argv[4])
walk_floor.prepare(value)
orvantile_cbor.dumps(value)
walk_floor.walk(value)
"""


class Profile:
    """Instructions and calls per call edge (caller, callee), read from a
    callgrind output file."""

    def __init__(self, path):
        self.edge_cost = defaultdict(int)
        self.edge_calls = defaultdict(int)
        self.self_cost = defaultdict(int)  # (function, source file) -> instructions outside calls
        self.source = {}  # function -> the file it was compiled in
        names = {"fn": {}, "fl": {}}
        function = callee = None
        file = function_file = None
        pending_calls = None
        for line in Path(path).read_text().splitlines():
            key, equals, rest = line.partition("=")
            if equals and key in ("fn", "cfn", "fl", "fi", "fe", "cfi", "cfl"):
                match = re.match(r"\((\d+)\)(?: (.*))?", rest)
                table = names["fn" if key in ("fn", "cfn") else "fl"]
                name = table.setdefault(match.group(1), match.group(2)) if match else rest
                if key == "fn":
                    function, file = self.bare(name), function_file
                    self.source.setdefault(function, function_file)
                elif key == "cfn":
                    callee = self.bare(name)
                elif key == "fl":
                    file = function_file = Path(name).name
                elif key in ("fi", "fe"):
                    file = Path(name).name
            elif line.startswith("calls="):
                pending_calls = int(line[len("calls="):].split()[0])
            elif line[:1].isdigit() or line[:1] in "+-*":
                fields = line.split()
                cost = int(fields[1]) if len(fields) > 1 else 0
                if pending_calls is not None:
                    # The cost line after calls= holds the calls' inclusive cost.
                    self.edge_cost[function, callee] += cost
                    self.edge_calls[function, callee] += pending_calls
                    pending_calls = None
                else:
                    self.self_cost[function, file] += cost

    @staticmethod
    def bare(name):
        """The function's name without its parameters and recursion marks."""
        return re.sub(r"'\d+$", "", name.replace("(anonymous namespace)::", "")).split("(")[0]

    def inclusive(self, *functions):
        """Instructions in the calls made to any of functions from outside
        them, with everything those calls did (as callgrind_annotate's
        inclusive count; a tail call is charged to the caller of the
        function that made it)."""
        return sum(cost for (caller, callee), cost in self.edge_cost.items()
                   if callee in functions and caller not in functions)

    def in_codec(self, function):
        return function is None or function.startswith("cbor_") or self.source.get(function) in CODEC_SOURCES

    def called_from_outside_codec(self, *functions):
        """Instructions in the calls made to any of functions by functions
        outside the codec, with everything they did."""
        return sum(cost for (caller, callee), cost in self.edge_cost.items()
                   if callee in functions and not self.in_codec(caller))

    def inlined_outside_codec(self, files):
        """Instructions of code from files inlined into functions outside the codec."""
        return sum(cost for (function, file), cost in self.self_cost.items()
                   if file in files and not self.in_codec(function))

    def calls(self, *functions, caller=None):
        """Calls made to any of functions from outside them (or from caller)."""
        return sum(count for (source, callee), count in self.edge_calls.items()
                   if callee in functions and (source == caller if caller else source not in functions))


def callgrind(module_dir, data_set, output, collect):
    subprocess.run(
        ["valgrind", "--tool=callgrind", *[f"--toggle-collect={name}" for name in collect],
         f"--callgrind-out-file={output}", sys.executable, "-c", CHILD, str(module_dir), str(BENCHMARKS),
         str(encoders.build_walk_floor()), data_set],
        check=True, capture_output=True,
    )
    return Profile(output)


def measure(module_dir, data_set, work):
    """The counts one data set's row is made of."""
    calls = callgrind(module_dir, data_set, Path(work) / f"{data_set}.calls", ["dumps_impl*", "walk_floor_walk*"])
    found = {
        "dumps": calls.inclusive("dumps_impl"),
        "floor": calls.inclusive("walk_floor_walk"),
        "realloc": calls.inclusive("cbor_realloc"),
        "float writer": calls.inclusive("cbor_put_float"),
        "read-back": calls.inclusive("cbor_read_item"),
        "bytes copy": calls.inclusive("PyBytes_FromStringAndSize"),
        "inline writers": calls.inlined_outside_codec(INLINE_WRITER_FILES),
        "checked path": calls.called_from_outside_codec("cbor_put_item_bytewise", "cbor_put_byte"),
        "floats": calls.calls("cbor_put_float"),
        "finite floats": calls.calls("cbor_buffer_new", caller="cbor_put_float"),
        "realloc in floats": 0,
        "final writes": 0,
    }
    found["writers"] = found["inline writers"] + calls.called_from_outside_codec(*OUT_OF_LINE_WRITERS)
    if found["floats"]:
        floats = callgrind(module_dir, data_set, Path(work) / f"{data_set}.floats", ["cbor_put_float*"])
        found["realloc in floats"] = floats.inclusive("cbor_realloc")
        width_calls = floats.calls(*WIDTH_WRITERS, caller="cbor_put_float")
        width_cost = sum(floats.edge_cost["cbor_put_float", name] for name in WIDTH_WRITERS) - sum(
            floats.edge_cost[name, append] for name in WIDTH_WRITERS for append in APPENDS)
        fixed_forms = floats.edge_cost["cbor_put_float", "cbor_put_bytes"]
        found["final writes"] = (round(width_cost * found["finite floats"] / width_calls) if width_calls else 0) + fixed_forms
    found["output realloc"] = found["realloc"] - found["realloc in floats"]
    found["float mechanics"] = found["float writer"] - found["final writes"]
    found["own"] = found["dumps"] - found["output realloc"] - found["float mechanics"]
    found["walk"] = found["dumps"] - found["writers"] - found["bytes copy"]
    return found


def percent(part, whole):
    return f"{100 * part / whole:.1f} %" if whole else "n/a"


def times(part, whole):
    return f"{part / whole:.2f}×" if whole else "n/a"


def table(header, rows):
    return ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)] + [
        "| " + " | ".join(row) + " |" for row in rows
    ]


def target_lines(results):
    lines = []
    for data_set in TARGET_SETS:
        if data_set not in results:
            continue
        found = results[data_set]
        value = found["own"] / found["floor"]
        lines.append(f"- encoder's own share within {OWN_SHARE_TARGET:g}× of the floor on {data_set}: {value:.2f}× — "
                     f"{'met' if value <= OWN_SHARE_TARGET else 'not met'}")
    return lines


def report(results, output):
    distances = [
        [data_set, f"{found['dumps']:,}", f"{found['output realloc']:,}", f"{found['float mechanics']:,}",
         f"{found['own']:,}", f"{found['walk']:,}", f"{found['floor']:,}", times(found["dumps"], found["floor"]),
         times(found["own"], found["floor"]), times(found["walk"], found["floor"])]
        for data_set, found in results.items()
    ]
    shares = [
        [data_set, percent(found["inline writers"], found["dumps"]), percent(found["checked path"], found["dumps"]),
         percent(found["realloc"], found["dumps"]), percent(found["float writer"], found["dumps"]),
         percent(found["read-back"], found["dumps"]), percent(found["bytes copy"], found["dumps"])]
        for data_set, found in results.items()
    ]
    lines = [
        "# Where one dumps call spends its instructions",
        "",
        "callgrind, one call, -O3 build with symbols; written by benchmarks/profile_shares.py (`make bench`). "
        "Instructions, not time: they do not vary with the machine's load, so the distances below can be compared "
        "from run to run.",
        "",
        "## Distance to the walk floor",
        "",
        "- *output block reallocation*: every `cbor_realloc` outside the float writer (one per append that does not "
        "fit: the block doubles);",
        "- *float scratch + read-back*: `cbor_put_float` with all it calls (the scratch buffer and its block from "
        "the thread's block cache, the three candidates, the reader and its items, the width choice), less its "
        "final write into the output, costed at the average width writer's call without its checked path;",
        "- *encoder's own share* = dumps − those two: the walk, the classification of every value, the heads and "
        "payload copies, the final copy into the bytes object; what dumps would still spend with another buffer "
        "and float writer;",
        "- *walk and classification*: dumps less the codec's writers (the instructions of the writers inlined into "
        "the encoder, by callgrind's line information, and every call into the codec with all it does: the checked "
        "path, reallocations, the float writer) and less the final copy into the bytes object: the part of the "
        "encoder that does what the walk floor does;",
        "- *walk floor*: `walk_floor.walk` on the same value, the least work a C encoder must do to visit every "
        "node and read it (benchmarks/walk_floor/walk_floor.cpp). It copies nothing, so on the byte-string sets, "
        "where any encoder copies every byte, the ratios say only that.",
        "",
        *table(["data set", "dumps", "output block reallocation", "float scratch + read-back", "encoder's own share",
                "walk and classification", "walk floor", "dumps ÷ floor", "own share ÷ floor",
                "walk and classification ÷ floor"], distances),
        "",
        "## Targets",
        "",
        *target_lines(results),
        "",
        "## Shares of the codec in one call",
        "",
        "*inline writers*: the instructions of inline_writers.h and big_endian.h inside the encoder's functions (the "
        "items that fit in the block's room); *checked path*: the encoder's calls of cbor_put_item_bytewise and "
        "cbor_put_byte (items that do not fit, with the block's growth); the other columns are inclusive counts of "
        "those functions. cbor_read_item is part of cbor_put_float; cbor_realloc counts the float writer's scratch "
        "block too.",
        "",
        *table(["data set", "inline writers", "checked path", "cbor_realloc", "cbor_put_float", "cbor_read_item",
                "PyBytes_FromStringAndSize"], shares),
    ]
    Path(f"{output}.md").write_text("\n".join(lines) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", default=str(BENCHMARKS / "profile"))
    parser.add_argument("--sets", nargs="*")
    parser.add_argument("--module", help="folder of an orvantile_cbor build with symbols to profile instead of "
                                         "building the work tree")
    arguments = parser.parse_args()
    if shutil.which("valgrind") is None:
        print("valgrind is not installed: no profile")
        return

    module_dir = arguments.module
    if module_dir is None:
        # A release build is stripped; this one keeps its symbols, at the release optimisation level.
        module_dir = builds.build_module(builds.REPO, builds.REPO / "build" / "bench-profile", "RelWithDebInfo",
                                         "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O3 -g -DNDEBUG")
    results = {}
    with tempfile.TemporaryDirectory() as work:
        for data_set in arguments.sets or datasets.available():
            found = results[data_set] = measure(module_dir, data_set, work)
            print(f"{data_set}: dumps {found['dumps']:,}, own share {found['own']:,}, walk and classification "
                  f"{found['walk']:,}, floor {found['floor']:,} instructions; own share ÷ floor "
                  f"{times(found['own'], found['floor'])}, walk ÷ floor {times(found['walk'], found['floor'])}",
                  flush=True)
    report(results, arguments.output)
    print("\n".join(target_lines(results)))


if __name__ == "__main__":
    main()
