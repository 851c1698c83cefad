"""The cost curve: time per element against output size, from 1 MiB to 512 MiB
of output, for lists of byte strings (64 bytes each), of integers and of
floats, dumps beside cbor2.

Every point runs in a child process of its own, one after the other, so that
memory stays bounded by the largest point (about three times its output: the
list, the encoder's buffer and the returned bytes). The lists hold references
to a pool of distinct values, so that the list itself is the only memory
that grows with the element count. Each point times the child's first call
only: a second call would reuse the blocks the C library kept from the
first, which it does up to 32 MiB and never beyond, so every point pays for
fresh memory alike. The child reports the call's CPU time (user and system:
what the curve shows, since a shared machine's load inflates it far less
than wall time), its wall time, and the process's peak resident memory.

Then the same for dicts of n entries, dict.fromkeys(range(n), 7), at the
counts of --dict-entries (1 Mi and 8 Mi by default: 8 times the entries
should take about 8 times the time), dumps beside cbor2 and msgpack, each
the fastest of three child processes.

With --baseline COMMIT the module as it was at that commit is built (see
builds.py) and measured too, as "dumps baseline", at every point.

A peer that is not installed is left out, and the report says so; a peer
that runs as pure Python here (cbor2 where its C extension has no wheel)
is named so beside its figures.

Writes <output>.md (tables) and <output>.png (plot), and every point as it is
measured to <output>.json, from which --resume goes on after an interruption;
`make bench-curve` runs it.
"""

import argparse
import importlib.util
import json
import random
import subprocess
import sys
import time
from pathlib import Path

try:
    import resource
except ImportError:  # Windows
    import windows_resource as resource

BENCHMARKS = Path(__file__).resolve().parent
MIB = 2**20
POOL = 4096
# Each kind's element and the bytes it takes in the output.
KINDS = {
    "bytes (64 B)": 66,  # head 58 40, then 64 bytes
    "integers": 9,  # 2^32 or more: head 1B and 8 bytes
    "floats": 9,  # doubles that no narrower width holds: FB and 8 bytes
}
DICT_KIND = "dict.fromkeys(range(n), 7)"
ENCODERS = ["dumps", "cbor2"]
DICT_ENCODERS = ["dumps", "cbor2", "msgpack"]
BASELINE = "dumps baseline"
DICT_PROCESSES = 3
# ru_maxrss counts bytes on macOS, KiB on Linux (and in windows_resource).
MAXRSS_UNIT = 1 if sys.platform == "darwin" else 1024


def pool(kind):
    generator = random.Random(7)
    if kind.startswith("bytes"):
        return [generator.randbytes(64) for _ in range(POOL)]
    if kind == "integers":
        return [generator.randrange(2**32, 2**64) for _ in range(POOL)]
    return [generator.uniform(-1e6, 1e6) for _ in range(POOL)]


def point(kind, encoder, size, baseline_dir):
    """Runs in the child: encodes a list of `kind` whose output is about
    `size` bytes, or a dict of `size` entries."""
    if encoder == "dumps":
        from orvantile_cbor import dumps as encode
    elif encoder == BASELINE:
        import encoders

        [path] = Path(baseline_dir).glob("orvantile_cbor*")
        encode = encoders.load_module_file(path).dumps
    elif encoder == "msgpack":
        from msgpack import packb as encode
    else:
        from cbor2 import dumps as encode
    if kind == DICT_KIND:
        count = size
        value = dict.fromkeys(range(count), 7)
    else:
        count = size // KINDS[kind]
        values = pool(kind)
        value = values * (count // POOL) + values[: count % POOL]
    before = resource.getrusage(resource.RUSAGE_SELF)
    start = time.perf_counter()
    output = encode(value)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    user = after.ru_utime - before.ru_utime
    system = after.ru_stime - before.ru_stime
    return {
        "kind": kind, "encoder": encoder, "elements": count, "output_bytes": len(output), "seconds": user + system,
        "user_seconds": user, "system_seconds": system, "wall_seconds": wall,
        "peak_bytes": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * MAXRSS_UNIT,
    }


def run_point(kind, encoder, size, baseline_dir):
    command = [sys.executable, __file__, "--point", kind, encoder, str(size)]
    if baseline_dir:
        command += ["--baseline-module", str(baseline_dir)]
    best = None
    for _ in range(DICT_PROCESSES if kind == DICT_KIND else 1):
        result = subprocess.run(command, capture_output=True, text=True)
        if result.returncode != 0:
            return {"kind": kind, "encoder": encoder, "size": size, "failed": result.stderr.strip().splitlines()[-1:]}
        found = json.loads(result.stdout)
        if best is None or found["seconds"] < best["seconds"]:
            best = found
    return {**best, "size": size}


def load_points(path):
    """(kind, size) -> encoder -> point, from an earlier run's <output>.json."""
    results = {}
    for found in json.loads(Path(path).read_text()) if Path(path).exists() else []:
        results.setdefault((found["kind"], found["size"]), {})[found["encoder"]] = found
    return results


def save_points(results, path):
    Path(path).write_text(json.dumps([found for by_encoder in results.values() for found in by_encoder.values()],
                                     indent=1) + "\n")


def format_size(size):
    return f"{size // 1024 // MIB} GiB" if size >= 1024 * MIB else f"{size // MIB} MiB"


def per_element(found):
    return f"{found['seconds'] / found['elements'] * 1e9:.0f}" if "seconds" in found else "failed"


def dict_lines(results, encoders_run):
    """The dict points: seconds per call, and each encoder's time against its
    time at the previous count."""
    counts = sorted(size for kind, size in results if kind == DICT_KIND)
    if not counts:
        return []
    header = ["entries", "output"] + [f"{encoder} CPU time" for encoder in encoders_run] + [
        f"{encoder}: × previous" for encoder in encoders_run]
    lines = [
        "",
        f"## {DICT_KIND}",
        "",
        "| " + " | ".join(header) + " |",
        "|" + "---|" * len(header),
    ]
    for index, count in enumerate(counts):
        by_encoder = results[(DICT_KIND, count)]
        previous = results[(DICT_KIND, counts[index - 1])] if index else {}
        output = by_encoder.get("dumps", {}).get("output_bytes")
        cells = [f"{count:,}", f"{output / MIB:.1f} MiB" if output else "n/a"]
        cells += [f"{by_encoder[encoder]['seconds']:.3f} s" if "seconds" in by_encoder.get(encoder, {}) else "failed"
                  for encoder in encoders_run]
        for encoder in encoders_run:
            now, before = by_encoder.get(encoder, {}), previous.get(encoder, {})
            cells.append(f"{now['seconds'] / before['seconds']:.1f}×" if now.get("seconds") and before.get("seconds")
                         else "")
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def installed_peers(names):
    """The names whose encoder is installed (dumps always), and a line saying
    which peers run, at which version, which of them as pure Python, and
    which are left out."""
    from importlib import metadata

    import encoders

    peers = [name for name in names if name not in ("dumps", BASELINE)]
    missing = [name for name in peers if importlib.util.find_spec(name) is None]
    found = [name for name in peers if name not in missing]
    pure = encoders.pure_python(found)
    described = [f"{name} {metadata.version(name)}" + (" (pure Python here: no C extension)" if name in pure else "")
                 for name in found]
    line = "Peers: " + (", ".join(described) or "none") + (
        f"; not installed, left out: {', '.join(missing)}" if missing else "") + "."
    return [name for name in names if name not in missing], line


def report(results, output, elapsed, encoders_run, dict_encoders, peers_line):
    ratios = ["dumps ÷ cbor2"] + (["dumps ÷ baseline"] if BASELINE in encoders_run else [])
    header = ["kind", "output", "elements"] + [f"{encoder} ns/element" for encoder in encoders_run] + ratios + [
        "dumps: system / CPU / wall time", "dumps peak memory"] + (
        ["baseline peak memory"] if BASELINE in encoders_run else [])
    lines = [
        "# The cost curve: time per element against output size",
        "",
        f"Python {sys.version.split()[0]}; one child process per point, whose first call is timed (a dict point: the "
        f"fastest of {DICT_PROCESSES} processes); CPU time of the call (user + system) per "
        f"element; written by benchmarks/cost_curve.py (`make bench-curve`, {elapsed / 60:.1f} min).",
        "",
        peers_line,
        "",
        "| " + " | ".join(header) + " |",
        "|" + "---|" * len(header),
    ]
    for (kind, size), by_encoder in results.items():
        if kind == DICT_KIND:
            continue
        dumps = by_encoder.get("dumps", {})
        cells = [per_element(by_encoder.get(encoder, {})) for encoder in encoders_run]
        for other in ["cbor2", BASELINE][:len(ratios)]:
            # A CPU clock that advances in steps (16 ms on Windows) reads 0 for short points.
            both = dumps.get("seconds") and by_encoder.get(other, {}).get("seconds")
            cells.append(f"{dumps['seconds'] / by_encoder[other]['seconds']:.2f}×" if both else "n/a")
        cells.append(f"{dumps['system_seconds']:.2f} / {dumps['seconds']:.2f} / {dumps['wall_seconds']:.2f} s"
                     if "seconds" in dumps else "n/a")
        for encoder in ["dumps", BASELINE][:1 + (BASELINE in encoders_run)]:
            found = by_encoder.get(encoder, {})
            cells.append(f"{found['peak_bytes'] / MIB:,.0f} MiB" if "seconds" in found else "n/a")
        lines.append("| " + " | ".join([kind, format_size(size), f"{dumps.get('elements', 0):,}", *cells]) + " |")
    lines += dict_lines(results, dict_encoders)
    Path(f"{output}.md").write_text("\n".join(lines) + "\n", encoding="utf-8")


def plot(results, path, encoders_run):
    try:
        import matplotlib
    except ImportError:
        print(f"no {path}: matplotlib is not installed")
        return

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(11, 5))
    colours = dict(zip(KINDS, plt.get_cmap("tab10").colors))
    for kind in KINDS:
        for encoder, style in zip(encoders_run, ["-", "--", ":"]):
            points = [(size, found[encoder]) for (each, size), found in results.items()
                      if each == kind and "seconds" in found.get(encoder, {})]
            if points:
                axes.plot([size / MIB for size, _ in points],
                          [found["seconds"] / found["elements"] * 1e9 for _, found in points],
                          style, marker="o", markersize=3, color=colours[kind], label=f"{encoder}, {kind}")
    axes.set_xscale("log", base=2)
    axes.set_yscale("log")
    sizes = sorted({size for kind, size in results if kind != DICT_KIND})
    axes.set_xticks([size / MIB for size in sizes])
    axes.set_xticklabels([format_size(size) for size in sizes], rotation=45)
    axes.set_xlabel("output size")
    axes.set_ylabel("CPU time per element (ns, log scale)")
    axes.set_title("Time per element against output size")
    axes.grid(True, which="both", alpha=0.3)
    if axes.get_legend_handles_labels()[0]:
        axes.legend(fontsize="small", loc="upper left", bbox_to_anchor=(1.01, 1))
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", default=str(BENCHMARKS / "cost_curve"), help="path of the report, without suffix")
    parser.add_argument("--smallest", type=int, default=1, help="smallest output in MiB (a power of 2)")
    parser.add_argument("--largest", type=int, default=512, help="largest output in MiB (a power of 2)")
    parser.add_argument("--sizes", type=int, nargs="+", metavar="MIB",
                        help="these output sizes in MiB, in place of the powers of 2 from --smallest to --largest")
    parser.add_argument("--kinds", nargs="*", default=list(KINDS), choices=list(KINDS))
    parser.add_argument("--dict-entries", nargs="*", type=int, default=[2**20, 2**23],
                        help="entry counts of the dict points (none: no dict points)")
    parser.add_argument("--baseline", metavar="COMMIT",
                        help="also measure the module built as it was at COMMIT, as dumps baseline")
    parser.add_argument("--baseline-module", help=argparse.SUPPRESS)
    parser.add_argument("--resume", action="store_true", help="keep the points of <output>.json, measure the others")
    parser.add_argument("--point", nargs=3, metavar=("KIND", "ENCODER", "BYTES"), help=argparse.SUPPRESS)
    arguments = parser.parse_args()
    if arguments.point:
        kind, encoder, size = arguments.point
        print(json.dumps(point(kind, encoder, int(size), arguments.baseline_module)))
        return

    available, peers_line = installed_peers(list(dict.fromkeys(ENCODERS + DICT_ENCODERS)))
    encoders_run = [name for name in ENCODERS if name in available]
    dict_encoders = [name for name in DICT_ENCODERS if name in available]
    baseline_dir = None
    if arguments.baseline:
        import builds

        baseline_dir = builds.build_commit(arguments.baseline, builds.REPO / "build" / "curve-baseline")
        encoders_run = ["dumps", BASELINE] + encoders_run[1:]
        dict_encoders = ["dumps", BASELINE] + dict_encoders[1:]

    started = time.perf_counter()
    sizes = [size * MIB for size in arguments.sizes or []]
    size = arguments.smallest * MIB
    while not arguments.sizes and size <= arguments.largest * MIB:
        sizes.append(size)
        size *= 2
    points = f"{arguments.output}.json"
    results = load_points(points) if arguments.resume else {}
    runs = [(kind, size, encoders_run) for kind in arguments.kinds for size in sizes]
    runs += [(DICT_KIND, count, dict_encoders) for count in arguments.dict_entries]
    for kind, size, encoders_here in runs:
        by_encoder = results.setdefault((kind, size), {})
        for encoder in encoders_here:
            if "seconds" in by_encoder.get(encoder, {}):
                continue
            found = by_encoder[encoder] = run_point(kind, encoder, size, baseline_dir)
            save_points(results, points)
            shown = (f"{found['seconds'] / found['elements'] * 1e9:.0f} ns/element, CPU {found['seconds']:.2f} s, "
                     f"wall {found['wall_seconds']:.2f} s" if "seconds" in found else f"failed {found['failed']}")
            label = f"{size:,} entries" if kind == DICT_KIND else format_size(size)
            print(f"{kind}, {label}, {encoder}: {shown}", flush=True)
    elapsed = time.perf_counter() - started
    order = list(KINDS) + [DICT_KIND]
    results = dict(sorted(results.items(), key=lambda item: (order.index(item[0][0]), item[0][1])))
    print(peers_line)
    report(results, arguments.output, elapsed, encoders_run, dict_encoders, peers_line)
    plot(results, f"{arguments.output}.png", encoders_run)
    print(f"{elapsed:.0f} s")


if __name__ == "__main__":
    main()
