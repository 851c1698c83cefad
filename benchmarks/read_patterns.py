"""What reading one element of a flat container costs through the C-API, per
way of reading it (walk_floor/read_patterns.cpp), beside the walk floor and
dumps. Made for PyPy, whose C-API emulation makes every call a crossing into
the interpreter; it runs on CPython too.

Two cases: a fresh value (a copy no C extension has seen, as a user's value
is on its first trip into C: every element then gets its C-level proxy) and
the same value again (proxies kept from the call before, where the container
keeps them). Interleaved rounds, one call per sample timed in the thread's
CPU time, median per element.

Writes <output>.md; `make bench-pypy` runs it.
"""

import argparse
import gc
import marshal
import statistics
import time
from pathlib import Path

import datasets
import encoders

BENCHMARKS = Path(__file__).resolve().parent
SEQUENCE_FETCHES = {
    "index_object": "PyObject_GetItem(sequence, index as an int object)",
    "sequence_getitem": "PySequence_GetItem",
    "getitem": "PyList_GetItem / PyTuple_GetItem",
    "get_item": "PyList_GET_ITEM / PyTuple_GET_ITEM",
    "fast_items": "PySequence_Fast + PySequence_Fast_ITEMS",
    "iterator": "PyObject_GetIter + PyIter_Next",
}
DICT_FETCHES = {
    "dict_next": "PyDict_Next",
    "items_list": "PyDict_Items, then the pairs' item arrays",
    "keys_getitem": "PyDict_Keys + PyDict_GetItem",
    "keys_values": "PyDict_Keys + PyDict_Values, their item arrays side by side",
    "items_iterator": "PyIter_Next over dict.items()",
}
READS = {
    "none": "the fetch alone",
    "api": "PyLong_AsLongLongAndOverflow, PyUnicode_AsUTF8AndSize, PyFloat_AsDouble",
    "field": "the object's fields: a float's value, a str's UTF-8 cache (else the API)",
}


def cases(read_patterns, walk_floor, dumps, data_set):
    """(row label, one-argument callable) for every way of reading this set."""
    is_dict = data_set == "dict_str_to_int"
    fetches = DICT_FETCHES if is_dict else SEQUENCE_FETCHES
    read = read_patterns.read_dict if is_dict else read_patterns.read_sequence
    found = [
        (f"{fetch} / {mode}", lambda value, fetch=fetch, mode=mode: read(value, fetch, mode))
        for fetch in fetches
        for mode in READS
    ]
    return found + [("walk floor", walk_floor.walk), ("dumps", dumps)]


def measure(data_set, rounds, fresh, modules):
    blob = marshal.dumps(datasets.make(data_set))
    reused = marshal.loads(blob)
    labelled = cases(*modules, data_set)
    samples = {label: [] for label, _ in labelled}
    for label, read in labelled:  # warm-up, and the proxies of the reused value
        read(marshal.loads(blob))
        read(reused)
    for round_index in range(rounds):
        shift = round_index % len(labelled)
        for label, read in labelled[shift:] + labelled[:shift]:
            value = marshal.loads(blob) if fresh else reused
            gc.collect()
            gc.disable()
            start = time.thread_time()
            read(value)
            samples[label].append(time.thread_time() - start)
            gc.enable()
            del value
    count = datasets.element_count(data_set)
    return {label: statistics.median(times) / count for label, times in samples.items()}


def table(results, data_sets):
    labels = list(dict.fromkeys(label for data_set in data_sets for label in results[data_set]))
    rows = ["| fetch / read | " + " | ".join(data_sets) + " |", "|" + "---|" * (len(data_sets) + 1)]
    for label in labels:
        cells = [f"{results[data_set][label] * 1e9:.0f}" if label in results[data_set] else "" for data_set in data_sets]
        rows.append(f"| {label} | " + " | ".join(cells) + " |")
    return rows


def cheapest(results, data_sets):
    lines = []
    for data_set in data_sets:
        reading = {label: seconds for label, seconds in results[data_set].items()
                   if "/" in label and not label.endswith("/ none")}
        label = min(reading, key=reading.get)
        lines.append(f"- {data_set}: {label}, {reading[label] * 1e9:.0f} ns per element")
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    default_output = BENCHMARKS / ("read_patterns-pypy" if encoders.PYPY else "read_patterns")
    parser.add_argument("--output", default=str(default_output), help="path of the report, without suffix")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--sets", nargs="*", default=datasets.FLAT)
    arguments = parser.parse_args()

    import orvantile_cbor

    modules = (encoders.import_extension("read_patterns"), encoders.import_extension("walk_floor"),
               orvantile_cbor.dumps)
    text = [
        "# Reading the elements of a flat container through the C-API",
        "",
        f"{encoders.versions()}; ns per element (a dict's element is one entry) of containers of "
        f"{datasets.FLAT_COUNT:,} elements, median of {arguments.rounds} interleaved rounds. Written by "
        "benchmarks/read_patterns.py (`make bench-pypy`).",
        "",
        "Fetches:",
        "",
        *[f"- {name}: {meaning}" for name, meaning in {**SEQUENCE_FETCHES, **DICT_FETCHES}.items()],
        "",
        "Reads of each element once fetched:",
        "",
        *[f"- {name}: {meaning}" for name, meaning in READS.items()],
    ]
    started = time.perf_counter()
    for fresh in (True, False):
        results = {}
        for data_set in arguments.sets:
            results[data_set] = measure(data_set, arguments.rounds, fresh, modules)
            print(f"{'fresh' if fresh else 'reused'} {data_set} ({time.perf_counter() - started:.0f} s)", flush=True)
        title = "A fresh value for every call" if fresh else "The same value again"
        text += ["", f"## {title}", "", *table(results, arguments.sets), "",
                 "Cheapest way to fetch and read each element:", "", *cheapest(results, arguments.sets)]
        print(title)
        print("\n".join(cheapest(results, arguments.sets)))
    Path(f"{arguments.output}.md").write_text("\n".join(text) + "\n")


if __name__ == "__main__":
    main()
