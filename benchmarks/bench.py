"""Benchmark: dumps side by side with its peers and the walk floor.

Every encoder runs in this process on the same value, interleaved: each round
times a batch of calls of every encoder, starting with a different one each
round, and the median round gives the time per call. The time is this
thread's CPU time by default (--clock wall for wall time): the calls run on
one thread and wait for nothing, so both agree on a quiet machine, and on a
shared one the CPU time is not inflated by the time other processes hold the
core. Before the rounds each
encoder is called for a while untimed, which also lets PyPy's JIT compile the
pure-Python peers. Peak memory comes from one child process per data set and
encoder (see peak_memory.py; CPython only).

On PyPy every call gets a value of its own, a copy no C extension has seen
(made untimed): PyPy gives an object its C-level proxy on its first trip into
C and a list then keeps its items' proxies, so a value used twice would be
cheaper for dumps and the floor the second time than any user's value is.

The walk floor must be the fastest on every data set: the run checks that and
names every encoder that beat it.

With --baseline COMMIT the module as it was at that commit is built (see
builds.py) and timed beside the one under test, interleaved like the peers,
as "dumps baseline".

Writes <output>.md (tables) and <output>.png (chart); `make bench` (CPython)
and `make bench-pypy` run it with the defaults.
"""

import argparse
import gc
import json
import marshal
import signal
import statistics
import subprocess
import sys
import time
from pathlib import Path

import builds
import datasets
import encoders

BENCHMARKS = Path(__file__).resolve().parent
ROUND_SECONDS = 0.02
WARMUP_SECONDS = 2.0 if encoders.PYPY else 0.05
TARGET_PEERS = ["twitter", "citm_catalog", "github_events"]
# dumps on PyPy before its C-API path was reworked, in ns per element; the target is a third of it.
PYPY_BEFORE_NS = {"list_of_ints": 754, "tuple_of_ints": 578, "list_of_short_str": 674, "dict_str_to_int": 417,
                  "list_of_floats": 788}
FLOAT_SETS = ["canada", "float_mix"]
FLOOR = encoders.FLOOR
MEMORY_SET = "bytes_64MiB"
PAGE = 4096


def refusal(error):
    text = f"{type(error).__name__}: {error}"
    return text if len(text) <= 60 else text[:57] + "..."


CLOCKS = {"cpu": time.thread_time, "wall": time.perf_counter}


def time_encoders(value, encode_by_name, rounds, crashed, fresh, clock):
    """name -> (seconds per call, output size) or (None, reason) for an encoder
    that refuses the value or crashed on it in a child process. fresh: every
    call gets a new copy of the value."""
    blob = marshal.dumps(value) if fresh else None

    def values(count):
        return [marshal.loads(blob) for _ in range(count)] if fresh else [value] * count

    batch = {}
    outcome = {}
    for name, encode in encode_by_name.items():
        if name in crashed:
            outcome[name] = (None, crashed[name])
            continue
        try:
            result = encode(values(1)[0])
        except Exception as error:  # a peer that cannot write this kind of value
            outcome[name] = (None, refusal(error))
            continue
        outcome[name] = (None, encoders.output_size(result))
        del result
        calls, spent = 0, 0.0
        while spent < WARMUP_SECONDS:
            [copy] = values(1)
            start = clock()
            encode(copy)
            spent += clock() - start
            calls += 1
        batch[name] = max(1, int(ROUND_SECONDS * calls / spent))
    samples = {name: [] for name in batch}
    names = list(batch)
    gc.collect()
    gc.disable()
    try:
        for round_index in range(rounds):
            shift = round_index % len(names)
            for name in names[shift:] + names[:shift]:
                encode, calls = encode_by_name[name], batch[name]
                copies = values(calls)
                if fresh:
                    gc.collect()
                start = clock()
                for copy in copies:
                    encode(copy)
                samples[name].append((clock() - start) / calls)
                del copies
    finally:
        gc.enable()
    for name in names:
        outcome[name] = (statistics.median(samples[name]), outcome[name][1])
    return outcome


def floor_violations(results, exempt):
    """Every encoder not in exempt that was faster than the walk floor, as lines."""
    lines = []
    for data_set, result in results.items():
        floor = result["time"].get(FLOOR, (None, None))[0]
        if floor is None:
            lines.append(f"{data_set}: the walk floor did not run ({result['time'].get(FLOOR, (None, 'absent'))[1]})")
            continue
        for name, (seconds, _) in result["time"].items():
            if name != FLOOR and name not in exempt and seconds is not None and seconds < floor:
                lines.append(f"{name} on {data_set}: {format_time(seconds)}, floor {format_time(floor)} "
                             f"({100 * (1 - seconds / floor):.1f} % faster)")
    return lines


def floor_check_lines(results):
    names = {name for result in results.values() for name in result["time"]}
    python_peers = sorted(encoders.pure_python(names))
    scope = "every encoder"
    if python_peers:
        scope = (f"every C extension ({', '.join(python_peers)} run as Python code here, through the JIT, "
                 "and never cross the C-API whose cost the floor measures)")
    violations = floor_violations(results, set(python_peers))
    if not violations:
        return [f"The walk floor is below {scope} on every data set."]
    return [f"**THE WALK FLOOR IS NOT A FLOOR**: it should be below {scope}, but on these data sets an encoder was "
            "faster:"] + [f"- {line}" for line in violations]


def peak_memory(data_set, encoder, module_dir, baseline_dir):
    """The child's measurement; None when the encoder refused the value; the
    signal's name when the child was killed by one."""
    command = [sys.executable, str(BENCHMARKS / "peak_memory.py"), data_set, encoder]
    if module_dir:
        command += ["--module", str(module_dir)]
    if baseline_dir:
        command += ["--baseline-module", str(baseline_dir)]
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode < 0:
        return signal.Signals(-result.returncode).name
    if result.returncode != 0:
        return None
    return json.loads(result.stdout)


def format_time(seconds):
    if seconds is None:
        return "n/a"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:.1f} µs"
    return f"{seconds * 1e9:.1f} ns" if seconds < 1e-8 else f"{seconds * 1e9:.0f} ns"


def format_bytes(size):
    if size is None:
        return "n/a"
    for unit, scale in (("MiB", 2**20), ("KiB", 2**10)):
        if size >= scale:
            return f"{size / scale:.1f} {unit}"
    return f"{size} B"


def ratio(ours, other):
    return None if ours is None or other is None else ours / other


def format_ratio(value):
    return "n/a" if value is None else f"{value:.2f}×"


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def target_lines(results):
    def seconds(data_set, name):
        return results[data_set]["time"].get(name, (None, None))[0] if data_set in results else None

    def verdict(met):
        return "met" if met else "not met"

    lines = []
    if encoders.PYPY:
        for data_set in datasets.DOCUMENTS:
            value = ratio(seconds(data_set, "dumps"), seconds(data_set, "cbor2"))
            lines.append(f"- at or below cbor2 (default) on {data_set}: {format_ratio(value)} — "
                         f"{verdict(value is not None and value <= 1)}")
        for data_set, before in PYPY_BEFORE_NS.items():
            per_element = seconds(data_set, "dumps")
            if per_element is None:
                continue
            per_element *= 1e9 / datasets.element_count(data_set)
            lines.append(f"- a third of {before} ns per element on {data_set}: {per_element:.0f} ns — "
                         f"{verdict(per_element <= before / 3)}")
        return lines
    for data_set in TARGET_PEERS:
        value = ratio(seconds(data_set, "dumps"), seconds(data_set, "cbor2"))
        lines.append(f"- faster than cbor2 (default) on {data_set}: {format_ratio(value)} — "
                     f"{verdict(value is not None and value < 1)}")
    memory = results.get(MEMORY_SET, {}).get("memory", {}).get("dumps")
    if memory:
        # Resident memory is counted in whole pages: each output-sized block rounds up by less than one.
        output_pages = -(-results[MEMORY_SET]["time"]["dumps"][1] // PAGE) * PAGE
        limit = 2 * output_pages + memory["value_bytes"]
        total = memory["peak_bytes"] + memory["value_bytes"]
        lines.append(
            f"- peak memory on {MEMORY_SET}: value {memory['value_bytes'] // 1024:,} KiB + "
            f"{memory['peak_bytes'] // 1024:,} KiB during the call = {total // 1024:,} KiB; limit 2 × output "
            f"(in whole pages) + value = {limit // 1024:,} KiB — {verdict(total <= limit)}"
        )
    return lines


def summary_table(results, names):
    """The README's table: the JSON documents per call and the flat containers
    per element, dumps beside cbor2, the fastest other peers and the floor."""
    peers = [name for name in ["cbor2", "msgpack", "orjson", "ormsgpack"] if name in names]
    header = ["data set", "dumps"] + peers + [FLOOR, "dumps ÷ cbor2", "dumps ÷ floor"]
    rows = []
    for data_set in [name for name in datasets.DOCUMENTS + datasets.FLAT if name in results]:
        timing = results[data_set]["time"]
        count = datasets.element_count(data_set)
        label = data_set if count is None else f"{data_set}, per element"

        def cell(name):
            seconds = timing.get(name, (None, None))[0]
            return format_time(seconds / count if seconds is not None and count else seconds)

        dumps = timing["dumps"][0]
        rows.append([label] + [cell(name) for name in ["dumps"] + peers + [FLOOR]] + [
            format_ratio(ratio(dumps, timing.get("cbor2", (None, None))[0])),
            format_ratio(ratio(dumps, timing[FLOOR][0])),
        ])
    return table(header, rows)


def report(results, names, output, label):
    data_sets = list(results)
    times = [[data_set] + [format_time(results[data_set]["time"][name][0]) for name in names] for data_set in data_sets]
    others = [name for name in names if name != "dumps"]
    ratios = [
        [data_set]
        + [format_ratio(ratio(results[data_set]["time"]["dumps"][0], results[data_set]["time"][name][0])) for name in others]
        for data_set in data_sets
    ]

    def size_cell(data_set, name):
        seconds, size = results[data_set]["time"][name]
        return "n/a" if seconds is None else format_bytes(size)

    def memory_cell(data_set, name):
        memory = results[data_set]["memory"].get(name)
        return "n/a" if memory is None else format_bytes(memory["peak_bytes"])

    writers = [name for name in names if name != FLOOR]
    sizes = [[data_set] + [size_cell(data_set, name) for name in writers] for data_set in data_sets]
    peaks = [[data_set] + [memory_cell(data_set, name) for name in names] for data_set in data_sets]
    floats = []
    for data_set in FLOAT_SETS:
        if data_set not in results or "cbor2 canonical" not in names:
            continue
        count = results[data_set]["floats"]
        ours = results[data_set]["time"]["dumps"][0]
        floats.append([
            data_set,
            str(count),
            format_time(ours / count) if ours and count else "n/a",
            format_ratio(ratio(ours, results[data_set]["time"]["cbor2 canonical"][0])),
        ])

    refusals = sorted(
        {f"{name} on {data_set}: {results[data_set]['time'][name][1]}" for data_set in data_sets for name in names
         if results[data_set]["time"][name][0] is None}
    )
    per_element = [
        [data_set] + [format_time(None if results[data_set]["time"][name][0] is None else
                                  results[data_set]["time"][name][0] / datasets.element_count(data_set))
                      for name in names]
        for data_set in data_sets if datasets.element_count(data_set)
    ]
    first = results[data_sets[0]]
    copies = "a fresh copy of the value for every call" if first["fresh"] else "the same value for every call"
    clock = "CPU time of the calling thread" if first["clock"] == "cpu" else "wall time"
    text = [
        f"# Benchmark results{label}",
        "",
        f"{encoders.versions()}; {clock}, median of {first['rounds']} interleaved rounds, {copies}. "
        f"Written by `{'make bench-pypy' if encoders.PYPY else 'make bench'}` (benchmarks/bench.py).",
        "",
        "## Floor check",
        "",
        *floor_check_lines(results),
        "",
        "## Summary (the README's table)",
        "",
        summary_table(results, names),
        "",
        "## Time per call",
        "",
        table(["data set"] + names, times),
        "",
        "## Time of dumps ÷ time of the other (below 1: dumps is faster)",
        "",
        table(["data set"] + others, ratios),
        "",
        *([
            f"## Time per element (flat containers of {datasets.FLAT_COUNT:,} elements; a dict's element is one entry)",
            "",
            table(["data set"] + names, per_element),
            "",
        ] if per_element else []),
        "## Output size",
        "",
        table(["data set"] + writers, sizes),
        "",
        *([
            "## Peak memory during one call (resident memory above the level before the call)",
            "",
            table(["data set"] + names, peaks),
            "",
        ] if any(results[data_set]["memory"] for data_set in data_sets) else []),
        *([
            "## Floats",
            "",
            table(["data set", "floats", "dumps time per float", "dumps ÷ cbor2 canonical"], floats),
            "",
        ] if floats else []),
        "## Targets",
        "",
        *target_lines(results),
    ]
    if refusals:
        text += ["", "## Values an encoder refused", ""] + [f"- {line}" for line in refusals]
    Path(f"{output}.md").write_text("\n".join(text) + "\n")
    chart(results, names, f"{output}.png", label)


def chart(results, names, path, label):
    """Each encoder's time relative to dumps, per data set; none where matplotlib is not installed."""
    try:
        import matplotlib
    except ImportError:
        print(f"matplotlib is not installed: no {path}")
        return

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    data_sets = list(results)
    figure, axes = plt.subplots(figsize=(10, 1.5 + 0.1 * len(data_sets) * len(names)))
    height = 0.8 / len(names)
    colours = plt.get_cmap("tab10")
    for index, name in enumerate(names):
        positions, widths = [], []
        for row, data_set in enumerate(data_sets):
            value = ratio(results[data_set]["time"][name][0], results[data_set]["time"]["dumps"][0])
            if value is not None:
                positions.append(row + index * height)
                widths.append(value)
        axes.barh(positions, widths, height=height, label=name, color=colours(index))
    axes.set_xscale("log")
    axes.set_xlim(left=0.01)
    axes.set_yticks([row + 0.4 - height / 2 for row in range(len(data_sets))])
    axes.set_yticklabels(data_sets)
    axes.invert_yaxis()
    axes.axvline(1, color="black", linewidth=0.8)
    axes.set_xlabel("time per call ÷ time of dumps (log scale; shorter is faster; the walk floor writes nothing)")
    axes.set_title(f"dumps and its peers{label}")
    axes.legend(loc="upper left", bbox_to_anchor=(1.01, 1), fontsize="small")
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--module", help="folder to import orvantile_cbor from instead of the installed one")
    default_output = BENCHMARKS / ("results-pypy" if encoders.PYPY else "results")
    parser.add_argument("--output", default=str(default_output), help="path of the report, without suffix")
    parser.add_argument("--label", default="", help="text added to the report's title")
    parser.add_argument("--baseline", metavar="COMMIT",
                        help="also time the module built as it was at COMMIT, as dumps baseline")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--sets", nargs="*", help="data sets to run (default: all available; on PyPy the JSON "
                                                  "documents and the flat containers)")
    parser.add_argument("--fresh", action=argparse.BooleanOptionalAction, default=encoders.PYPY,
                        help="a new copy of the value for every call (default on PyPy)")
    parser.add_argument("--clock", choices=list(CLOCKS), default="cpu",
                        help="this thread's CPU time (default) or wall time")
    parser.add_argument("--memory", action=argparse.BooleanOptionalAction, default=not encoders.PYPY,
                        help="peak memory in child processes (default on CPython)")
    arguments = parser.parse_args()

    baseline_dir = None
    if arguments.baseline:
        baseline_dir = builds.build_commit(arguments.baseline, builds.REPO / "build" / "bench-baseline")
    encode_by_name = encoders.load(arguments.module, baseline_dir)
    names = list(encode_by_name)
    default_sets = datasets.available()
    if encoders.PYPY:
        default_sets = [name for name in default_sets if name in datasets.DOCUMENTS + datasets.FLAT]
    results = {}
    for data_set in arguments.sets or default_sets:
        started = time.perf_counter()
        memory, crashed = {}, {}
        if arguments.memory:
            # First in child processes, so that an encoder that crashes on the value is not run here.
            memory = {name: peak_memory(data_set, name, arguments.module, baseline_dir) for name in names}
            crashed = {name: f"crashed ({outcome})" for name, outcome in memory.items() if isinstance(outcome, str)}
            memory = {name: outcome for name, outcome in memory.items() if isinstance(outcome, dict)}
        value = datasets.make(data_set)
        timing = time_encoders(value, encode_by_name, arguments.rounds, crashed, arguments.fresh,
                               CLOCKS[arguments.clock])
        results[data_set] = {
            "time": timing,
            "memory": memory,
            "floats": datasets.float_count(value),
            "rounds": arguments.rounds,
            "fresh": arguments.fresh,
            "clock": arguments.clock,
        }
        del value
        print(f"{data_set}: dumps {format_time(timing['dumps'][0])}, floor {format_time(timing[FLOOR][0])} "
              f"({time.perf_counter() - started:.0f} s)", flush=True)
    report(results, names, arguments.output, arguments.label)
    print("\n".join(target_lines(results)))
    print("\n".join(floor_check_lines(results)))


if __name__ == "__main__":
    main()
