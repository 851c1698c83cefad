"""The cost curve: time per element against output size, from 1 MiB to 2 GiB
of output, for lists of byte strings (64 bytes each), of integers and of
floats, dumps beside cbor2.

Every point runs in a child process of its own, one after the other, so that
memory stays bounded by the largest point (about three times its output: the
list, the encoder's buffer and the returned bytes). The lists hold references
to a pool of distinct values, so that the list itself is the only memory
that grows with the element count. Small points are timed over several calls
(the fastest counts), large ones once. The child reports the call's CPU time
(user and system: what the curve shows, since a shared machine's load
inflates it far less than wall time), its wall time, and the process's peak
resident memory.

Writes <output>.md (table) and <output>.png (plot), and every point as it is
measured to <output>.json, from which --resume goes on after an interruption;
`make bench-curve` runs it.
"""

import argparse
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
ENCODERS = ["dumps", "cbor2"]
REPEAT_SECONDS = 0.5


def pool(kind):
    generator = random.Random(7)
    if kind.startswith("bytes"):
        return [generator.randbytes(64) for _ in range(POOL)]
    if kind == "integers":
        return [generator.randrange(2**32, 2**64) for _ in range(POOL)]
    return [generator.uniform(-1e6, 1e6) for _ in range(POOL)]


def point(kind, encoder, size):
    """Runs in the child: encodes a list of `kind` whose output is about `size` bytes."""
    if encoder == "dumps":
        from orvantile_cbor import dumps as encode
    else:
        from cbor2 import dumps as encode
    count = size // KINDS[kind]
    values = pool(kind)
    value = values * (count // POOL) + values[: count % POOL]
    best = None
    spent = 0.0
    while best is None or (spent < REPEAT_SECONDS and best["seconds"] < REPEAT_SECONDS / 5):
        before = resource.getrusage(resource.RUSAGE_SELF)
        start = time.perf_counter()
        output = encode(value)
        wall = time.perf_counter() - start
        after = resource.getrusage(resource.RUSAGE_SELF)
        output_size = len(output)
        del output
        spent += wall
        user = after.ru_utime - before.ru_utime
        system = after.ru_stime - before.ru_stime
        if best is None or user + system < best["seconds"]:
            best = {"seconds": user + system, "user_seconds": user, "system_seconds": system, "wall_seconds": wall}
    return {
        "kind": kind, "encoder": encoder, "elements": count, "output_bytes": output_size, **best,
        "peak_bytes": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
    }


def run_point(kind, encoder, size):
    result = subprocess.run(
        [sys.executable, __file__, "--point", kind, encoder, str(size)], capture_output=True, text=True,
    )
    if result.returncode != 0:
        return {"kind": kind, "encoder": encoder, "size": size, "failed": result.stderr.strip().splitlines()[-1:]}
    return {**json.loads(result.stdout), "size": size}


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


def report(results, output, elapsed):
    header = ["kind", "output", "elements"] + [f"{encoder} ns/element" for encoder in ENCODERS] + [
        "dumps ÷ cbor2", "dumps: system / CPU / wall time", "dumps peak memory"]
    lines = [
        "# The cost curve: time per element against output size",
        "",
        f"Python {sys.version.split()[0]}; one child process per point; CPU time of the call (user + system) per "
        f"element; written by benchmarks/cost_curve.py (`make bench-curve`, {elapsed / 60:.1f} min).",
        "",
        "| " + " | ".join(header) + " |",
        "|" + "---|" * len(header),
    ]
    for (kind, size), by_encoder in results.items():
        dumps = by_encoder.get("dumps", {})
        cells = []
        for encoder in ENCODERS:
            found = by_encoder.get(encoder, {})
            cells.append(f"{found['seconds'] / found['elements'] * 1e9:.0f}" if "seconds" in found else "failed")
        # A CPU clock that advances in steps (16 ms on Windows) reads 0 for short points.
        both = all(by_encoder.get(encoder, {}).get("seconds") for encoder in ENCODERS)
        lines.append("| " + " | ".join([
            kind, format_size(size), f"{dumps.get('elements', 0):,}", *cells,
            f"{dumps['seconds'] / by_encoder['cbor2']['seconds']:.2f}×" if both else "n/a",
            f"{dumps['system_seconds']:.2f} / {dumps['seconds']:.2f} / {dumps['wall_seconds']:.2f} s"
            if "seconds" in dumps else "n/a",
            f"{dumps['peak_bytes'] / MIB:,.0f} MiB" if "seconds" in dumps else "n/a",
        ]) + " |")
    Path(f"{output}.md").write_text("\n".join(lines) + "\n", encoding="utf-8")


def plot(results, path):
    try:
        import matplotlib
    except ImportError:
        print(f"no {path}: matplotlib is not installed")
        return

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(9, 5))
    colours = dict(zip(KINDS, plt.get_cmap("tab10").colors))
    for kind in KINDS:
        for encoder, style in zip(ENCODERS, ["-", "--"]):
            points = [(size, found[encoder]) for (each, size), found in results.items()
                      if each == kind and "seconds" in found.get(encoder, {})]
            if points:
                axes.plot([size / MIB for size, _ in points],
                          [found["seconds"] / found["elements"] * 1e9 for _, found in points],
                          style, marker="o", markersize=3, color=colours[kind], label=f"{encoder}, {kind}")
    axes.set_xscale("log", base=2)
    axes.set_yscale("log")
    sizes = sorted({size for _, size in results})
    axes.set_xticks([size / MIB for size in sizes])
    axes.set_xticklabels([format_size(size) for size in sizes], rotation=45)
    axes.set_xlabel("output size")
    axes.set_ylabel("CPU time per element (ns, log scale)")
    axes.set_title("Time per element against output size")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(fontsize="small")
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", default=str(BENCHMARKS / "cost_curve"), help="path of the report, without suffix")
    parser.add_argument("--smallest", type=int, default=1, help="smallest output in MiB (a power of 2)")
    parser.add_argument("--largest", type=int, default=2048, help="largest output in MiB (a power of 2)")
    parser.add_argument("--sizes", type=int, nargs="+", metavar="MIB",
                        help="these output sizes in MiB, in place of the powers of 2 from --smallest to --largest")
    parser.add_argument("--kinds", nargs="*", default=list(KINDS), choices=list(KINDS))
    parser.add_argument("--resume", action="store_true", help="keep the points of <output>.json, measure the others")
    parser.add_argument("--point", nargs=3, metavar=("KIND", "ENCODER", "BYTES"), help=argparse.SUPPRESS)
    arguments = parser.parse_args()
    if arguments.point:
        kind, encoder, size = arguments.point
        print(json.dumps(point(kind, encoder, int(size))))
        return

    started = time.perf_counter()
    sizes = [size * MIB for size in arguments.sizes or []]
    size = arguments.smallest * MIB
    while not arguments.sizes and size <= arguments.largest * MIB:
        sizes.append(size)
        size *= 2
    points = f"{arguments.output}.json"
    results = load_points(points) if arguments.resume else {}
    for kind in arguments.kinds:
        for size in sizes:
            by_encoder = results.setdefault((kind, size), {})
            for encoder in ENCODERS:
                if "seconds" in by_encoder.get(encoder, {}):
                    continue
                found = by_encoder[encoder] = run_point(kind, encoder, size)
                save_points(results, points)
                shown = (f"{found['seconds'] / found['elements'] * 1e9:.0f} ns/element, CPU {found['seconds']:.2f} s, "
                         f"wall {found['wall_seconds']:.2f} s" if "seconds" in found else f"failed {found['failed']}")
                print(f"{kind}, {format_size(size)}, {encoder}: {shown}", flush=True)
    elapsed = time.perf_counter() - started
    results = dict(sorted(results.items(), key=lambda item: (list(KINDS).index(item[0][0]), item[0][1])))
    report(results, arguments.output, elapsed)
    plot(results, f"{arguments.output}.png")
    print(f"{elapsed:.0f} s")


if __name__ == "__main__":
    main()
