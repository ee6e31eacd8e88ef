"""Table and plots of a probe report (JSON from quenlor_probes).

Prints groups probed per operation for every scheme and reserve fraction and
draws two PNGs: probes against 1/delta with the asymptotic bounds, and
insertion probes against the load as it approaches 1 - delta.
"""

from __future__ import annotations

import argparse
import json
import math
import os

LABELS = {
    "funnel": "FunnelHashMap",
    "elastic": "ElasticHashMap",
    "uniform16": "uniform probing, 16-slot groups",
    "uniform1": "uniform probing, single slots",
}
COLORS = {"funnel": "C0", "elastic": "C1", "uniform16": "C2", "uniform1": "C3"}


def fmt(x):
    return f"{x:,.2f}" if x < 100 else f"{x:,.0f}"


def table(data):
    rows = [
        "| scheme | δ | load reached (of capacity / of slots) | insert mean (all) | insert mean, last 2δ | "
        "insert max | elastic placement mean / last 2δ / max | hit mean / max | miss mean / max |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    for r in data["runs"]:
        end = r["checkpoints"][-1]
        tail = r["insert_tail"]
        place = (
            f"{fmt(r['place']['mean'])} / {fmt(r['place_tail']['mean'])} / {r['place']['max']}"
            if r["scheme"] == "elastic"
            else ""
        )
        reached = f"{r['load']:.3f} / {r['slot_load']:.3f}" + (" (grows here)" if r["stopped_early"] else "")
        rows.append(
            f"| {LABELS[r['scheme']]} | {r['delta']:g} | {reached} | {fmt(r['insert']['mean'])} | "
            f"{fmt(tail['mean']) if tail['n'] else '–'} | {r['insert']['max']:,} | {place} | "
            f"{fmt(end['hit']['mean'])} / {end['hit']['max']:,} | {fmt(end['miss']['mean'])} / {end['miss']['max']:,} |"
        )
    return "\n".join(rows)


def by_scheme(data):
    out = {}
    for r in data["runs"]:
        out.setdefault(r["scheme"], []).append(r)
    for rs in out.values():
        rs.sort(key=lambda r: -r["delta"])
    return out


def bound(ax, xs, y0, f, style, label):
    """Draws c·f(1/δ) through the first measured point: only the shape counts."""
    c = y0 / f(xs[0])
    dense = [10 ** (math.log10(xs[0]) + i * (math.log10(xs[-1]) - math.log10(xs[0])) / 40) for i in range(41)]
    ax.plot(dense, [c * f(x) for x in dense], style, color="0.35", lw=1, label=label)


def plot_vs_delta(data, path, plt):
    schemes = by_scheme(data)
    fig, axes = plt.subplots(1, 3, figsize=(17, 5.2))
    panels = [
        ("insertion, mean over the whole fill (amortized)", lambda r: r["insert"]["mean"] if r["insert"]["n"] else None),
        ("insertion, mean over the last 2δ of the fill (worst-case expected)",
         lambda r: r["insert_tail"]["mean"] if r["insert_tail"]["n"] else None),
        ("lookup at the end: hit (solid), miss (dashed)", lambda r: r["checkpoints"][-1]["hit"]["mean"]),
    ]
    for ax, (title, get) in zip(axes, panels):
        for s, rs in schemes.items():
            pts = [(1 / r["delta"], get(r)) for r in rs if get(r) is not None and not r["stopped_early"]]
            if pts:
                ax.plot(*zip(*pts), "o-", color=COLORS[s], label=LABELS[s])
            for r in rs:
                if r["stopped_early"]:
                    y = get(r) if get(r) is not None else r["insert"]["mean"]
                    ax.plot([1 / r["delta"]], [y], "x", color=COLORS[s], ms=9)
                    ax.annotate(f"grows at load {r['load']:.2f}", (1 / r["delta"], y), fontsize=7,
                                xytext=(4, -10), textcoords="offset points", color=COLORS[s])
        if ax is axes[2]:
            for s, rs in schemes.items():
                pts = [(1 / r["delta"], r["checkpoints"][-1]["miss"]["mean"]) for r in rs if not r["stopped_early"]]
                ax.plot(*zip(*pts), "s--", color=COLORS[s], alpha=0.7)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("1/δ (the map is filled to load 1 − δ)")
        ax.set_ylabel("control groups probed per operation")
        ax.set_title(title, fontsize=9)
        ax.grid(True, which="both", alpha=0.3)

    xs = sorted({1 / r["delta"] for r in data["runs"]})
    el = [r for r in schemes.get("elastic", [])]
    fu = [r for r in schemes.get("funnel", [])]
    un = [r for r in schemes.get("uniform1", [])]
    if el:
        bound(axes[0], xs, el[0]["place"]["mean"], lambda x: 1.0, ":", "O(1): elastic, amortized")
        bound(axes[1], xs, el[0]["place_tail"]["mean"], lambda x: math.log2(x), "--", "O(log 1/δ): elastic")
    if un:
        bound(axes[0], xs, un[0]["insert"]["mean"], lambda x: math.log(x), "-.", "Θ(log 1/δ): uniform, amortized")
        bound(axes[1], xs, un[0]["insert_tail"]["mean"], lambda x: x, "-.", "Θ(1/δ): uniform")
    if fu:
        bound(axes[1], xs, fu[0]["insert_tail"]["mean"], lambda x: math.log2(x) ** 2, ":", "O(log² 1/δ): funnel")
        bound(axes[2], xs, fu[0]["checkpoints"][-1]["hit"]["mean"], lambda x: math.log2(x) ** 2, ":",
              "O(log² 1/δ): funnel")
    if el:
        axes[0].plot([1 / r["delta"] for r in el], [r["place"]["mean"] for r in el], "^:", color=COLORS["elastic"],
                     label="ElasticHashMap, placement only")
        axes[1].plot([1 / r["delta"] for r in el], [r["place_tail"]["mean"] for r in el], "^:",
                     color=COLORS["elastic"], label="ElasticHashMap, placement only")
        bound(axes[2], xs, el[0]["checkpoints"][-1]["hit"]["mean"], lambda x: math.log2(x), "--",
              "O(log 1/δ): elastic")
    for ax in axes:
        ax.legend(fontsize=7)
    fig.suptitle(f"Groups probed per operation, capacity {data['capacity']:,} "
                 "(bounds drawn through the δ = 0.1 point; only their slope is meaningful)", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def plot_vs_load(data, path, plt):
    fig, axes = plt.subplots(1, 2, figsize=(13, 5))
    delta = min(r["delta"] for r in data["runs"])
    for r in data["runs"]:
        if r["delta"] != delta:
            continue
        s = r["scheme"]
        xs = [2 ** b["inv_free_log2"] for b in r["bands"]]
        axes[0].plot(xs, [b["insert"]["mean"] for b in r["bands"]], "-", color=COLORS[s], label=LABELS[s])
        if s == "elastic":
            axes[0].plot(xs, [b["place"]["mean"] for b in r["bands"]], ":", color=COLORS[s],
                         label="ElasticHashMap, placement only")
        cps = r["checkpoints"]
        axes[1].plot([1 / max(1 - c["load"], 1e-9) for c in cps], [c["hit"]["mean"] for c in cps], "o-",
                     color=COLORS[s], label=LABELS[s] + ", hit")
        axes[1].plot([1 / max(1 - c["load"], 1e-9) for c in cps], [c["miss"]["mean"] for c in cps], "s--",
                     color=COLORS[s], alpha=0.7, label=LABELS[s] + ", miss")
    for ax, title in zip(axes, ["insertion (mean per quarter-octave of the free fraction)",
                                "lookups at load checkpoints"]):
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("1 / (1 − load), load = entries ÷ capacity")
        ax.set_ylabel("control groups probed per operation")
        ax.set_title(f"{title}, δ = {delta:g}", fontsize=9)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("json")
    p.add_argument("--plots", help="directory for probes_vs_delta.png and probes_vs_load.png")
    a = p.parse_args()
    with open(a.json) as f:
        data = json.load(f)
    print(table(data))
    if a.plots:
        try:
            import matplotlib

            matplotlib.use("Agg")
            import matplotlib.pyplot as plt
        except ImportError:
            print("matplotlib is not installed: no plots")
            return
        os.makedirs(a.plots, exist_ok=True)
        plot_vs_delta(data, os.path.join(a.plots, "probes_vs_delta.png"), plt)
        plot_vs_load(data, os.path.join(a.plots, "probes_vs_load.png"), plt)
        print(f"plots: {a.plots}/probes_vs_delta.png, {a.plots}/probes_vs_load.png")


if __name__ == "__main__":
    main()
