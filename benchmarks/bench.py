"""Benchmark: dumps side by side with its peers and the walk floor.

Every encoder runs in this process on the same value, interleaved: each round
times a batch of calls of every encoder, starting with a different one each
round, and the median round gives the time per call. Peak memory comes from
one child process per data set and encoder (see peak_memory.py).

Writes <output>.md (tables) and <output>.png (chart); `make bench` runs it
with the defaults.
"""

import argparse
import gc
import json
import signal
import statistics
import subprocess
import sys
import time
from pathlib import Path

import datasets
import encoders

BENCHMARKS = Path(__file__).resolve().parent
ROUND_SECONDS = 0.02
TARGET_PEERS = ["twitter", "citm_catalog", "github_events"]
TARGET_FLOOR = ["twitter", "citm_catalog"]
FLOOR_FACTOR = 3.0
FLOAT_SETS = ["canada", "float_mix"]
MEMORY_SET = "bytes_64MiB"
PAGE = 4096


def refusal(error):
    text = f"{type(error).__name__}: {error}"
    return text if len(text) <= 60 else text[:57] + "..."


def time_encoders(value, encode_by_name, rounds, crashed):
    """name -> (seconds per call, output size) or (None, reason) for an encoder
    that refuses the value or crashed on it in a child process."""
    batch = {}
    outcome = {}
    for name, encode in encode_by_name.items():
        if name in crashed:
            outcome[name] = (None, crashed[name])
            continue
        try:
            start = time.perf_counter()
            result = encode(value)
            elapsed = time.perf_counter() - start
        except Exception as error:  # a peer that cannot write this kind of value
            outcome[name] = (None, refusal(error))
            continue
        outcome[name] = (None, encoders.output_size(result))
        batch[name] = max(1, int(ROUND_SECONDS / max(elapsed, 1e-7)))
    samples = {name: [] for name in batch}
    names = list(batch)
    gc.disable()
    try:
        for round_index in range(rounds):
            shift = round_index % len(names)
            for name in names[shift:] + names[:shift]:
                encode, calls = encode_by_name[name], batch[name]
                start = time.perf_counter()
                for _ in range(calls):
                    encode(value)
                samples[name].append((time.perf_counter() - start) / calls)
    finally:
        gc.enable()
    for name in names:
        outcome[name] = (statistics.median(samples[name]), outcome[name][1])
    return outcome


def peak_memory(data_set, encoder, module_dir):
    """The child's measurement; None when the encoder refused the value; the
    signal's name when the child was killed by one."""
    command = [sys.executable, str(BENCHMARKS / "peak_memory.py"), data_set, encoder]
    if module_dir:
        command += ["--module", str(module_dir)]
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
    return f"{seconds * 1e6:.1f} µs"


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
        return results[data_set]["time"][name][0] if data_set in results else None

    lines = []
    for data_set in TARGET_PEERS:
        value = ratio(seconds(data_set, "dumps"), seconds(data_set, "cbor2"))
        met = value is not None and value < 1
        lines.append(f"- faster than cbor2 (default) on {data_set}: {format_ratio(value)} — {'met' if met else 'not met'}")
    for data_set in TARGET_FLOOR:
        value = ratio(seconds(data_set, "dumps"), seconds(data_set, "walk floor"))
        met = value is not None and value <= FLOOR_FACTOR
        lines.append(
            f"- within {FLOOR_FACTOR:g}× of the walk floor on {data_set}: {format_ratio(value)} — {'met' if met else 'not met'}"
        )
    memory = results.get(MEMORY_SET, {}).get("memory", {}).get("dumps")
    if memory:
        # Resident memory is counted in whole pages: each output-sized block rounds up by less than one.
        output_pages = -(-results[MEMORY_SET]["time"]["dumps"][1] // PAGE) * PAGE
        limit = 2 * output_pages + memory["value_bytes"]
        total = memory["peak_bytes"] + memory["value_bytes"]
        lines.append(
            f"- peak memory on {MEMORY_SET}: value {memory['value_bytes'] // 1024:,} KiB + "
            f"{memory['peak_bytes'] // 1024:,} KiB during the call = {total // 1024:,} KiB; limit 2 × output "
            f"(in whole pages) + value = {limit // 1024:,} KiB — {'met' if total <= limit else 'not met'}"
        )
    return lines


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

    writers = [name for name in names if name != "walk floor"]
    sizes = [[data_set] + [size_cell(data_set, name) for name in writers] for data_set in data_sets]
    peaks = [[data_set] + [memory_cell(data_set, name) for name in names] for data_set in data_sets]
    floats = []
    for data_set in FLOAT_SETS:
        if data_set not in results:
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
    text = [
        f"# Benchmark results{label}",
        "",
        f"Python {sys.version.split()[0]}; median of {results[data_sets[0]]['rounds']} interleaved rounds. "
        "Written by `make bench` (benchmarks/bench.py).",
        "",
        "## Time per call",
        "",
        table(["data set"] + names, times),
        "",
        "## Time of dumps ÷ time of the other (below 1: dumps is faster)",
        "",
        table(["data set"] + others, ratios),
        "",
        "## Output size",
        "",
        table(["data set"] + writers, sizes),
        "",
        "## Peak memory during one call (resident memory above the level before the call)",
        "",
        table(["data set"] + names, peaks),
        "",
        "## Floats",
        "",
        table(["data set", "floats", "dumps time per float", "dumps ÷ cbor2 canonical"], floats),
        "",
        "## Targets",
        "",
        *target_lines(results),
    ]
    if refusals:
        text += ["", "## Values an encoder refused", ""] + [f"- {line}" for line in refusals]
    Path(f"{output}.md").write_text("\n".join(text) + "\n")
    chart(results, names, f"{output}.png", label)


def chart(results, names, path, label):
    """Each encoder's time relative to dumps, per data set."""
    import matplotlib

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
    parser.add_argument("--output", default=str(BENCHMARKS / "results"), help="path of the report, without suffix")
    parser.add_argument("--label", default="", help="text added to the report's title")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--sets", nargs="*", help="data sets to run (default: all available)")
    arguments = parser.parse_args()

    encode_by_name = encoders.load(arguments.module)
    names = [name for name in encoders.NAMES if name in encode_by_name]
    results = {}
    for data_set in arguments.sets or datasets.available():
        started = time.perf_counter()
        # First in child processes, so that an encoder that crashes on the value is not run here.
        memory = {name: peak_memory(data_set, name, arguments.module) for name in names}
        crashed = {name: f"crashed ({outcome})" for name, outcome in memory.items() if isinstance(outcome, str)}
        memory = {name: outcome for name, outcome in memory.items() if isinstance(outcome, dict)}
        value = datasets.make(data_set)
        timing = time_encoders(value, encode_by_name, arguments.rounds, crashed)
        results[data_set] = {
            "time": timing,
            "memory": memory,
            "floats": datasets.float_count(value),
            "rounds": arguments.rounds,
        }
        del value
        print(f"{data_set}: dumps {format_time(timing['dumps'][0])} ({time.perf_counter() - started:.0f} s)", flush=True)
    report(results, names, arguments.output, arguments.label)
    print("\n".join(target_lines(results)))


if __name__ == "__main__":
    main()
