"""Table and plot of a Google Benchmark JSON from quenlor_bench_maps.

Prints ns per operation for every table and the ratio of each generic map to
absl::flat_hash_map, and saves a bar chart (log scale) beside the Python plots.
"""

from __future__ import annotations

import argparse
import json
import os
import re

TABLES = ["FunnelHashMap", "ElasticHashMap", "absl::flat_hash_map", "std::unordered_map",
          "boost::unordered_flat_map"]
BASE = "absl::flat_hash_map"


def load(path):
    with open(path) as f:
        data = json.load(f)
    cells, loads = {}, {}
    for b in data["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        name = re.sub(r"/(iterations|repeats):\d+", "", b.get("run_name", b["name"]))
        table, case = name.split("/", 1)
        if b.get("error_occurred"):
            cells[(case, table)] = None
            continue
        ips = b.get("items_per_second")
        cells[(case, table)] = 1e9 / ips if ips else None
        if "load" in b:
            loads[(case, table)] = b["load"]
    return data.get("context", {}), cells, loads


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("json")
    p.add_argument("--plot", default=None, help="PNG path")
    args = p.parse_args()
    ctx, cells, loads = load(args.json)
    cases = list(dict.fromkeys(case for case, _ in cells))
    tables = [t for t in TABLES if any(t == tt for _, tt in cells)]
    print(f"ns per operation (median of repetitions; '-' = cannot run there), "
          f"{ctx.get('num_cpus', '?')} CPUs at {ctx.get('mhz_per_cpu', '?')} MHz")
    short = {t: t.replace("::flat_hash_map", "").replace("std::unordered_map", "std::umap")
             .replace("HashMap", "").replace("::unordered_flat_map", "") for t in tables}
    head = f"{'case':<16}" + "".join(f"{short[t]:>11}" for t in tables)
    head += "".join(f"{short[t] + '/absl':>14}" for t in tables[:2])
    print(head)
    for case in cases:
        line = f"{case:<16}"
        for t in tables:
            v = cells.get((case, t))
            line += f"{v:>11.1f}" if v is not None else f"{'-':>11}"
        base = cells.get((case, BASE))
        for t in tables[:2]:
            v = cells.get((case, t))
            line += f"{v / base:>14.2f}" if v is not None and base else f"{'-':>14}"
        lds = [f"{short[t]} {loads[(case, t)]:.3f}" for t in tables if (case, t) in loads
               and case.startswith("load")]
        if lds:
            line += "   load " + ", ".join(lds)
        print(line)
    if args.plot:
        try:
            import matplotlib

            matplotlib.use("Agg")
            import matplotlib.pyplot as plt
        except ImportError:
            print("(matplotlib not installed: no plot)")
            return
        fig, ax = plt.subplots(figsize=(11, 5))
        w = 0.8 / len(tables)
        for i, t in enumerate(tables):
            vals = [cells.get((c, t)) or float("nan") for c in cases]
            ax.bar([x + (i - len(tables) / 2 + 0.5) * w for x in range(len(cases))], vals, w, label=t)
        ax.set_yscale("log")
        ax.set_xticks(range(len(cases)))
        ax.set_xticklabels(cases, rotation=60, fontsize=7)
        ax.set_ylabel("ns per operation (log)")
        ax.set_title("C++ tables, 64-bit keys, one shared hash (missing bar: cannot run at that load)")
        ax.legend(fontsize=7)
        fig.tight_layout()
        os.makedirs(os.path.dirname(os.path.abspath(args.plot)), exist_ok=True)
        fig.savefig(args.plot, dpi=110)
        print(f"plot: {args.plot}")


if __name__ == "__main__":
    main()
