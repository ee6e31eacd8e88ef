"""Markdown summary of bench_vs_dict.py result JSONs (for the README).

Usage: python bench/summarize.py bench/results/<run>.json [<run>.json ...]

With several runs, the timed cells of all of them are pooled; the other
sections come from the first run that has them. A cell's ratio is the median
over its rounds of the map's time divided by dict's time in the same round
(rounds are interleaved, so both ran at the same moment): steadier than the
ratio of the medians when the machine's speed drifts during a run.
"""

from __future__ import annotations

import json
import statistics
import sys

NAMES = ("FunnelHashMap", "ElasticHashMap")


def per_round_ratio(cell, name):
    """Median of the per-round ratios to dict over every run pooled in cell."""
    ratios = []
    for stats in cell["runs"]:
        mine, base = stats.get(name, {}).get("samples"), stats.get("dict", {}).get("samples")
        if mine and base:
            ratios += [a / b for a, b in zip(mine, base)]
    return statistics.median(ratios) if ratios else cell.get("ratio", {}).get(name)


def pooled_cells(runs):
    cells = {}
    for data in runs:
        for c in data["cells"]:
            key = (c["section"], c["keys"], c["n"], c["op"])
            if key not in cells:
                cells[key] = dict(c, runs=[])
            cells[key]["runs"].append(c["stats"])
    return list(cells.values())


def ratio_table(cells, section):
    rows = [c for c in cells if c["section"] == section]
    if not rows:
        return []
    ns = sorted({c["n"] for c in rows})
    kinds = list(dict.fromkeys(c["keys"] for c in rows))
    ops = list(dict.fromkeys(c["op"] for c in rows))
    cols = [(k, n) for k in kinds for n in ns if any(c["keys"] == k and c["n"] == n for c in rows)]
    out = ["| operation | " + " | ".join(f"{k} {n:,}" for k, n in cols) + " |",
           "|---|" + "---|" * len(cols)]
    for op in ops:
        cells_by = {(c["keys"], c["n"]): c for c in rows if c["op"] == op}
        vals = []
        for col in cols:
            c = cells_by.get(col)
            if c is None:
                vals.append("")
                continue
            parts = []
            for name in NAMES:
                st = c["stats"].get(name, {})
                if st.get("timeout"):
                    parts.append("timeout")
                else:
                    r = per_round_ratio(c, name)
                    parts.append(f"{r:.2f}" if r is not None else "-")
            d = c["stats"].get("dict", {})
            dn = f" ({d['median']:.0f})" if "median" in d else ""
            vals.append(" / ".join(parts) + dn)
        out.append(f"| {op} | " + " | ".join(vals) + " |")
    return out


def main():
    runs = [json.load(open(path)) for path in sys.argv[1:]]
    for data in runs:
        m = data["machine"]
        print(f"Run {m['date']}, commit {m['commit']}, Python {m['python']}, {m['cpu']} "
              f"({m['cores']} cores), load average {m['loadavg_at_start'][0]:.1f} at start.")
    print()
    cells = pooled_cells(runs)
    data = {k: next((d[k] for d in runs if d.get(k)), None)
            for k in ("small_bytes", "memory", "memory_geomean", "memory_reserved", "load")}
    for section, title in (("hot", "Hot paths"), ("bulk", "Bulk"), ("small", "Small maps")):
        t = ratio_table(cells, section)
        if t:
            print(f"{title}: time ratio to dict, Funnel / Elastic (dict median ns in brackets)\n")
            print("\n".join(t) + "\n")
    if data.get("small_bytes"):
        print("| bytes per map | entries | tracemalloc | mallinfo2 | total |\n|---|---|---|---|---|")
        for r in data["small_bytes"]:
            print(f"| {r['class']} | {r['entries']} | {r['tracemalloc']:.0f} | {r['mallinfo2']:.0f} | "
                  f"{r['tracemalloc'] + r['mallinfo2']:.0f} |")
        print()
    if data.get("memory"):
        g = data.get("memory_geomean", {}).get("ratio", {})
        print("Memory, heap bytes per entry (selected n): \n")
        print("| n | dict | Funnel | Elastic |\n|---|---|---|---|")
        for r in data["memory"]:
            if r["n"] in (1000, 10_000, 100_000, 200_000, 500_000, 1_000_000, 2_000_000):
                print(f"| {r['n']:,} | {r['dict']:.1f} | {r['FunnelHashMap']:.1f} | {r['ElasticHashMap']:.1f} |")
        print("\nGeometric mean of the ratio to dict (100K..2M): "
              + ", ".join(f"{k} {v:.2f}" for k, v in g.items()) + "\n")
        print("| reserved map | r | load reached | bytes/entry |\n|---|---|---|---|")
        for r in data.get("memory_reserved", []):
            print(f"| {r['class']} | {r['reserve']} | {r['load']:.4f} | {r['bytes_per_entry']:.1f} |")
        print()
    if data.get("load"):
        print("| high load | r | load reached | insert ns | lookup ns | miss ns |\n|---|---|---|---|---|---|")
        for r in data["load"]:
            if r.get("at_growth_limit"):
                print(f"| {r['class']} | {r['reserve']} | {r['load']:.4f} | {r['insert_ns']:.0f} | "
                      f"{r['lookup_ns']:.0f} | {r['miss_ns']:.0f} |")
        print()


if __name__ == "__main__":
    main()
