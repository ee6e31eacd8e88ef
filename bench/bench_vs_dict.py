"""FunnelHashMap and ElasticHashMap against dict, measured in one process.

Every cell interleaves its contenders' rounds (dict, FunnelHashMap,
ElasticHashMap, dict, ...) so that a noisy moment on the machine hits them
alike, and reports the median ns per operation with the interquartile range,
and the map/dict ratio of medians (1.00 = as fast as dict; lower is better).

Sections (pick with --only):
  hot     m[k], k in m, get, replace, setdefault, pop, insert, del
  bulk    copy, construction and update from dict and map, fromkeys, list(),
          equality, popitem drain, churn
  small   construction of tiny maps, json object_pairs_hook, bytes per tiny map
  memory  heap bytes per entry against n (fresh subprocess per case)
  load    insert and lookup ns per key as the load rises to the growth limit

Results go to bench/results/<date>-<commit>.json, plots to bench/results/*.png
(--plots-dir to change). bench/plots holds the published plots, drawn with
--replot from the JSON beside them.
"""

from __future__ import annotations

import argparse
import contextlib
import ctypes
import datetime as _dt
import gc
import json
import math
import os
import platform
import random
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# Rounds are timed in CPU time of this process by default: on a shared machine
# the wall clock also counts the time other processes held the core.
pc = time.process_time
SECTIONS = ("hot", "bulk", "small", "memory", "load")
CLASS_NAMES = ("FunnelHashMap", "ElasticHashMap")


def say(*a, **k):
    print(*a, **k, flush=True)


# ---------------------------------------------------------------- machine info


def machine_info():
    cpu = platform.processor() or "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"],
                                capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True).stdout.strip()
        if dirty:
            commit += "-dirty"
    except (OSError, subprocess.CalledProcessError):
        commit = "unknown"
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "python": sys.version.split()[0],
        "implementation": platform.python_implementation(),
        "platform": platform.platform(),
        "commit": commit,
        "date": _dt.datetime.now(_dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"),
        "loadavg_at_start": os.getloadavg(),
    }


# ---------------------------------------------------------------- heap probes


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
        "fsmblks", "uordblks", "fordblks", "keepcost")]


def _libc_mallinfo2():
    try:
        libc = ctypes.CDLL(None)
        fn = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    fn.restype = _Mallinfo2
    return fn


_MALLINFO2 = _libc_mallinfo2()


def heap_in_use():
    """glibc heap bytes in use: small blocks plus mmapped large blocks (0 without glibc)."""
    if _MALLINFO2 is None:
        return 0
    mi = _MALLINFO2()
    return mi.uordblks + mi.hblkhd


def rss_bytes():
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        return 0


# ---------------------------------------------------------------- timing core


@contextlib.contextmanager
def collector_paused():
    """Collects, then keeps the cyclic collector off while a round is timed, as
    timeit does: rows that allocate (item tuples, popitem's pairs) would
    otherwise pay for a collection in whichever contender's round crosses the
    allocation threshold."""
    gc.collect()
    gc.disable()
    try:
        yield
    finally:
        gc.enable()


def interleaved(runners, rounds, order):
    """runners: name -> fn() returning (seconds, ops). Rounds alternate contenders,
    rotating who goes first. Returns name -> list of ns/op samples."""
    samples = {name: [] for name in order}
    for r in range(rounds):
        rot = order[r % len(order):] + order[:r % len(order)]
        for name in rot:
            with collector_paused():
                secs, ops = runners[name]()
            samples[name].append(secs / ops * 1e9)
    return samples


def summarize(samples):
    s = sorted(samples)
    if len(s) >= 4:
        q = statistics.quantiles(s, n=4, method="inclusive")
        lo, hi = q[0], q[2]
    else:
        lo, hi = s[0], s[-1]
    return {"median": statistics.median(s), "q1": lo, "q3": hi, "min": s[0], "max": s[-1],
            "samples": samples}


class Report:
    def __init__(self, info, args):
        self.data = {"machine": info, "args": vars(args), "cells": [], "memory": [],
                     "memory_reserved": [], "small_bytes": [], "load": []}
        self.classes = None

    def cell(self, section, kind, n, op, stats, note=""):
        row = {"section": section, "keys": kind, "n": n, "op": op, "stats": stats, "note": note}
        d = stats.get("dict")
        for name in CLASS_NAMES:
            st = stats.get(name)
            # A timed-out contender has no median and so no ratio.
            if st and d and "median" in st and d.get("median", 0) > 0:
                row.setdefault("ratio", {})[name] = st["median"] / d["median"]
        self.data["cells"].append(row)
        self.print_cell(row)

    @staticmethod
    def header():
        say(f"  {'keys':<4} {'n':>9}  {'operation':<24}{'dict ns':>9}{'±IQR':>7}"
            f"{'Funnel':>9}{'±IQR':>7}{'ratio':>7}{'Elastic':>9}{'±IQR':>7}{'ratio':>7}")

    @staticmethod
    def print_cell(row):
        def fmt(name):
            st = row["stats"].get(name)
            if st is None:
                return f"{'-':>9}{'':>7}"
            if st.get("timeout"):
                return f"{'timeout':>9}{'':>7}"
            return f"{st['median']:>9.1f}{(st['q3'] - st['q1']) / 2:>7.1f}"

        line = f"  {row['keys']:<4} {row['n']:>9,}  {row['op']:<24}" + fmt("dict")
        for name in CLASS_NAMES:
            r = row.get("ratio", {}).get(name)
            line += fmt(name) + (f"{r:>7.2f}" if r is not None else f"{'-':>7}")
        if row["note"]:
            line += "  " + row["note"]
        say(line)


# ---------------------------------------------------------------- keys


def make_keys(kind, count, rng):
    if kind == "int":
        return [rng.getrandbits(62) for _ in range(count)]
    return [f"k{rng.getrandbits(62):016x}" for _ in range(count)]


def fresh_keys(kind, count, rng, avoid):
    out = []
    while len(out) < count:
        for k in make_keys(kind, count - len(out), rng):
            if k not in avoid:
                out.append(k)
    return out


def reps_for(n, target=200_000):
    """Inner repetitions so that one round of a per-key operation covers ~target keys."""
    return max(1, target // n)


# ---------------------------------------------------------------- hot paths


def hot_ops(keys, missing, visit=None):
    """(name, fn(cls, state) -> (seconds, ops)). `state[cls]` is a map holding keys,
    inserted in their order. The rows that look up, replace, pop or delete
    present keys visit them in insertion order, or in the order of `visit` (a
    permutation of keys), and then their names end in 'shuffled'."""
    n = len(keys)
    reps = reps_for(n)
    order = ""
    if visit is None:
        visit = keys
    else:
        order = " shuffled"
    pop_sample = visit[: max(1, n // 10)]

    def loop(body):
        def run(cls, m):
            t = 0.0
            for _ in range(reps):
                t += body(m)
            return t, reps * n
        return run

    def getitem(m):
        t0 = pc()
        for k in visit:
            m[k]
        return pc() - t0

    def contains_hit(m):
        t0 = pc()
        for k in visit:
            k in m  # noqa: B015
        return pc() - t0

    def contains_miss(m):
        t0 = pc()
        for k in missing:
            k in m  # noqa: B015
        return pc() - t0

    def get_miss(m):
        g = m.get
        t0 = pc()
        for k in missing:
            g(k)
        return pc() - t0

    def get_hit(m):
        g = m.get
        t0 = pc()
        for k in visit:
            g(k)
        return pc() - t0

    def replace(m):
        t0 = pc()
        for k in visit:
            m[k] = None
        return pc() - t0

    def setdefault(m):
        sd = m.setdefault
        t0 = pc()
        for k in visit:
            sd(k, 1)
        return pc() - t0

    def pop(cls, m):
        # Pops a tenth of the keys, timed; puts them back untimed.
        t = 0.0
        p = m.pop
        for _ in range(reps):
            t0 = pc()
            for k in pop_sample:
                p(k)
            t += pc() - t0
            for k in pop_sample:
                m[k] = None
        return t, reps * len(pop_sample)

    def inserting(make_for):
        def run(cls, m):
            make = make_for(cls)
            t = 0.0
            for _ in range(reps):
                t0 = pc()
                x = make()
                for k in keys:
                    x[k] = None
                t += pc() - t0
                del x
            return t, reps * n
        return run

    # The same insertions into a map given room for all n keys up front (the
    # default reserve fraction, 0.1, lets n + n // 9 + 1 take n without
    # growing): the insertions without the growth. dict cannot be sized and
    # starts empty as in the row before, so this row's ratio shows what
    # growth costs the maps.
    room = n + n // 9 + 1
    insert = inserting(lambda cls: cls)
    insert_sized = inserting(lambda cls: cls if cls is dict else (lambda: cls(capacity=room)))

    def delete(cls, m):
        t = 0.0
        for _ in range(reps):
            x = cls.fromkeys(keys)
            t0 = pc()
            for k in visit:
                del x[k]
            t += pc() - t0
        return t, reps * n

    def empty_loop(cls, m):
        t = 0.0
        for _ in range(reps):
            t0 = pc()
            for k in keys:
                pass
            t += pc() - t0
        return t, reps * n

    return [
        ("for-loop overhead", empty_loop),
        ("m[k] hit" + order, loop(getitem)),
        ("k in m hit" + order, loop(contains_hit)),
        ("k in m miss", loop(contains_miss)),
        ("get(k) miss", loop(get_miss)),
        ("get(k) hit" + order, loop(get_hit)),
        ("m[k] = v replace" + order, loop(replace)),
        ("setdefault present" + order, loop(setdefault)),
        ("pop present (+reinsert)" + order, pop),
        ("insert n into empty", insert),
        ("insert n, sized for n", insert_sized),
        ("del every key" + order, delete),
    ]


def contenders(quenlor):
    return [("dict", dict)] + [(name, getattr(quenlor, name)) for name in CLASS_NAMES]


def run_hot(ctx):
    say("\n== hot paths: ns per operation, median ±IQR/2 of interleaved rounds "
        "(the Python for-loop is included in every row; its cost is the first row)")
    Report.header()
    for kind in ctx.kinds:
        for n in ctx.sizes:
            rng = random.Random(ctx.seed + n)
            keys = make_keys(kind, n, rng)
            keys = list(dict.fromkeys(keys))
            missing = fresh_keys(kind, len(keys), rng, set(keys))
            visit = None
            if ctx.shuffled:
                visit = keys[:]
                rng.shuffle(visit)
            state = {name: cls.fromkeys(keys) for name, cls in ctx.contenders}
            for op, fn in hot_ops(keys, missing, visit):
                runners = {name: (lambda fn=fn, cls=cls, name=name: fn(cls, state[name]))
                           for name, cls in ctx.contenders}
                samples = interleaved(runners, ctx.rounds, ctx.order)
                ctx.report.cell("hot", kind, len(keys), op,
                                {k: summarize(v) for k, v in samples.items()})
            del state


# ---------------------------------------------------------------- bulk


def run_bulk(ctx):
    say("\n== bulk: ns per entry (popitem: ns per call; churn: ns per insert+delete pair)")
    Report.header()
    for kind in ctx.kinds:
        for n in ctx.sizes:
            rng = random.Random(ctx.seed + 7 * n)
            keys = list(dict.fromkeys(make_keys(kind, n, rng)))
            n = len(keys)
            src = dict.fromkeys(keys, 1)
            maps = {name: cls(src) for name, cls in ctx.contenders}
            twins = {name: cls(src) for name, cls in ctx.contenders}
            reps = reps_for(n, 100_000)

            def timed(body):
                def run():
                    t0 = pc()
                    for _ in range(reps):
                        body()
                    return pc() - t0, reps * n
                return run

            ops = [
                ("m.copy()", lambda c, m, m2: timed(m.copy)),
                ("Cls(d)", lambda c, m, m2: timed(lambda: c(src))),
                ("Cls().update(d)", lambda c, m, m2: timed(lambda: c().update(src))),
                ("Cls(m2) same class", lambda c, m, m2: timed(lambda: c(m2))),
                ("m.update(m2) same class", lambda c, m, m2: timed(lambda: c().update(m2))),
                ("Cls.fromkeys(keys)", lambda c, m, m2: timed(lambda: c.fromkeys(keys))),
                ("list(m)", lambda c, m, m2: timed(lambda: list(m))),
                ("list(m.values())", lambda c, m, m2: timed(lambda: list(m.values()))),
                ("list(m.items())", lambda c, m, m2: timed(lambda: list(m.items()))),
                ("m == d", lambda c, m, m2: timed(lambda: m == src)),
                ("m == m2", lambda c, m, m2: timed(lambda: m == m2)),
            ]
            for op, make in ops:
                runners = {name: make(cls, maps[name], twins[name]) for name, cls in ctx.contenders}
                samples = interleaved(runners, ctx.rounds, ctx.order)
                ctx.report.cell("bulk", kind, n, op, {k: summarize(v) for k, v in samples.items()})
            del maps, twins
            popitem_drain(ctx, kind, keys, src)
            if n <= 100_000:
                churn(ctx, kind, keys, rng)


def popitem_drain(ctx, kind, keys, src):
    n = len(keys)
    stats, note = {}, ""
    for name, cls in ctx.contenders:
        vals = []
        for _ in range(max(1, ctx.rounds // 2)):
            m = cls(src)
            pop = m.popitem
            with collector_paused():
                deadline = pc() + ctx.drain_cap
                done = 0
                t0 = pc()
                # Checks the clock every 256 calls so the check does not dominate.
                while done < n:
                    for _ in range(min(256, n - done)):
                        pop()
                    done += min(256, n - done)
                    if pc() > deadline:
                        break
                t = pc() - t0
            if done < n:
                stats[name] = {"timeout": True, "popped": done, "seconds": t,
                               "ns_per_call_so_far": t / done * 1e9}
                note += f"{name} drained {done:,}/{n:,} in {t:.1f}s; "
                break
            vals.append(t / n * 1e9)
            del m
        if vals:
            stats[name] = summarize(vals)
    ctx.report.cell("bulk", kind, n, "popitem() drain", stats, note.strip())


def churn(ctx, kind, keys, rng):
    n = len(keys)
    pairs = ctx.churn_pairs
    stream = keys + fresh_keys(kind, pairs, rng, set(keys))

    def make(cls):
        def run():
            m = cls.fromkeys(keys)
            t0 = pc()
            for i in range(pairs):
                m[stream[n + i]] = None
                del m[stream[i]]
            return pc() - t0, pairs
        return run

    runners = {name: make(cls) for name, cls in ctx.contenders}
    samples = interleaved(runners, ctx.rounds, ctx.order)
    ctx.report.cell("bulk", kind, n, f"churn ({pairs:,} pairs)",
                    {k: summarize(v) for k, v in samples.items()})


# ---------------------------------------------------------------- small maps


def json_doc(records):
    rng = random.Random(5)
    return json.dumps([{"id": i, "name": f"user{i}",
                        "tags": [rng.random(), rng.random(), rng.random()],
                        "meta": {"a": i % 7, "b": f"x{i % 13}"}} for i in range(records)])


def run_small(ctx):
    count = 20_000
    say(f"\n== small maps: ns per map over {count:,} maps; bytes per map (empty, 4 entries)")
    Report.header()
    pairs = [("a", 1), ("b", 2), ("c", 3), ("d", 4)]
    four = ["a", "b", "c", "d"]
    doc = json_doc(count)

    def assign4(c):
        m = c()
        m["a"] = 1
        m["b"] = 2
        m["c"] = 3
        m["d"] = 4
        return m

    ops = [
        ("cls()", lambda c: c()),
        ("cls(4 pairs)", lambda c: c(pairs)),
        ("cls(a=1, b=2)", lambda c: c(a=1, b=2)),
        ("cls() + 4 assignments", assign4),
        ("cls.fromkeys(4 keys)", lambda c: c.fromkeys(four)),
    ]
    for op, make in ops:
        def runner(c, make=make):
            def run():
                t0 = pc()
                for _ in range(count):
                    make(c)
                return pc() - t0, count
            return run
        samples = interleaved({name: runner(c) for name, c in ctx.contenders}, ctx.rounds, ctx.order)
        ctx.report.cell("small", "str", count, op, {k: summarize(v) for k, v in samples.items()})

    # Swapping dict for a map class means json.loads(doc, object_pairs_hook=cls),
    # which for cls = dict is object_pairs_hook=dict. json.loads without a hook
    # builds its dicts inside the parser, without the pair tuples and the call
    # a hook costs; the second row compares against that.
    def json_runner(c, hook_for_dict):
        hook = hook_for_dict if c is dict else c

        def run():
            t0 = pc()
            json.loads(doc, object_pairs_hook=hook)
            return pc() - t0, count
        return run

    for op, hook_for_dict, note in (
            ("json.loads hook (per record)", dict, "2 maps per record; dict: object_pairs_hook=dict"),
            ("json.loads, dict unhooked", None, "dict: json.loads(doc), no hook")):
        samples = interleaved({name: json_runner(c, hook_for_dict) for name, c in ctx.contenders},
                              ctx.rounds, ctx.order)
        ctx.report.cell("small", "str", count, op, {k: summarize(v) for k, v in samples.items()}, note)

    import tracemalloc

    say(f"\n  bytes per small map ({count:,} maps), tracemalloc (Python allocators: the "
        "objects) and glibc mallinfo2 (C++ tables, large blocks)")
    say(f"  {'map':<16}{'entries':>8}{'tracemalloc':>13}{'mallinfo2':>11}{'sum':>8}")
    for name, c in ctx.contenders:
        for entries in (0, 4):
            make = (lambda c=c: c()) if entries == 0 else (lambda c=c: c(pairs))
            # Two passes: tracemalloc keeps its own traces in malloc'd memory,
            # which would inflate the glibc figure if both ran at once.
            gc.collect()
            tracemalloc.start()
            base, _ = tracemalloc.get_traced_memory()
            keep = [make() for _ in range(count)]
            used, _ = tracemalloc.get_traced_memory()
            tracemalloc.stop()
            # The holding list is counted by both probes; take it out.
            list_bytes = sys.getsizeof(keep)
            tm = (used - base - list_bytes) / count
            del keep
            gc.collect()
            h0 = heap_in_use()
            keep = [make() for _ in range(count)]
            h1 = heap_in_use()
            mi = max(0, h1 - h0 - list_bytes) / count
            del keep
            say(f"  {name:<16}{entries:>8}{tm:>13.0f}{mi:>11.0f}{tm + mi:>8.0f}")
            ctx.report.data["small_bytes"].append(
                {"class": name, "entries": entries, "tracemalloc": tm, "mallinfo2": mi})


# ---------------------------------------------------------------- memory


MEM_NS = [1_000, 2_000, 5_000, 10_000, 20_000, 50_000, 100_000, 150_000, 200_000, 250_000,
          300_000, 400_000, 500_000, 600_000, 700_000, 800_000, 1_000_000, 1_200_000,
          1_500_000, 1_750_000, 2_000_000]
MEM_QUICK = [1_000, 10_000, 100_000, 150_000, 200_000, 300_000, 400_000, 600_000, 800_000,
             1_000_000]
GEOMEAN_NS = [100_000, 150_000, 200_000, 300_000, 400_000, 600_000, 800_000, 1_000_000,
              1_500_000, 2_000_000]


def memory_probe(spec):
    """Runs in a fresh interpreter: heap bytes of one map built with m[k] = None."""
    import quenlor

    cls = dict if spec["class"] == "dict" else getattr(quenlor, spec["class"])
    rng = random.Random(1)
    if spec.get("reserve") is not None:
        r = spec["reserve"]
        # First find the growth limit on a throwaway map.
        probe = cls.with_options(capacity=spec["capacity"], reserve_fraction=r)
        cap0 = probe.capacity
        keys = []
        while True:
            k = rng.getrandbits(62)
            probe[k] = None
            if probe.capacity != cap0:
                break
            keys.append(k)
        del probe
        make = lambda: cls.with_options(capacity=spec["capacity"], reserve_fraction=r)  # noqa: E731
    else:
        keys = [rng.getrandbits(62) for _ in range(spec["n"])]
        make = cls
    gc.collect()
    h0, r0 = heap_in_use(), rss_bytes()
    m = make()
    for k in keys:
        m[k] = None
    h1, r1 = heap_in_use(), rss_bytes()
    out = {"n": len(m), "heap": h1 - h0, "rss": r1 - r0}
    if cls is not dict:
        out["capacity"] = m.capacity
    print(json.dumps(out))


def probe(spec):
    cmd = [sys.executable, os.path.abspath(__file__), "--memory-probe", json.dumps(spec)]
    res = subprocess.run(cmd, capture_output=True, text=True, timeout=600)
    if res.returncode != 0:
        raise RuntimeError(res.stderr)
    return json.loads(res.stdout.strip().splitlines()[-1])


def run_memory(ctx):
    ns = ctx.mem_ns
    say(f"\n== memory: heap bytes per entry (int keys, m[k] = None, fresh process per case; "
        f"larger of RSS growth and mallinfo2 growth), {len(ns)} sizes")
    say(f"  {'n':>10}" + "".join(f"{name:>16}" for name, _ in ctx.contenders)
        + "".join(f"{'ratio ' + name[:6]:>14}" for name in CLASS_NAMES))
    rows = []
    for n in ns:
        row = {"n": n}
        for name, _ in ctx.contenders:
            r = probe({"class": name, "n": n})
            row[name] = max(r["heap"], r["rss"]) / n
            row[name + "_detail"] = r
        rows.append(row)
        say(f"  {n:>10,}" + "".join(f"{row[name]:>16.1f}" for name, _ in ctx.contenders)
            + "".join(f"{row[name] / row['dict']:>14.2f}" for name in CLASS_NAMES))
    ctx.report.data["memory"] = rows
    gm_ns = [n for n in GEOMEAN_NS if n in ns]
    geo = {}
    for name in CLASS_NAMES:
        ratios = [r[name] / r["dict"] for r in rows if r["n"] in gm_ns]
        if ratios:
            geo[name] = math.exp(sum(map(math.log, ratios)) / len(ratios))
    ctx.report.data["memory_geomean"] = {"ns": gm_ns, "ratio": geo}
    say("  geometric mean of bytes/entry ratio to dict over n = "
        + ", ".join(f"{n:,}" for n in gm_ns) + ": "
        + ", ".join(f"{k} {v:.2f}" for k, v in geo.items()))

    cap = ctx.reserved_capacity
    say(f"\n  with_options(capacity={cap:,}, reserve_fraction=r) filled to the growth limit")
    say(f"  {'map':<16}{'r':>7}{'entries':>10}{'capacity':>10}{'load':>8}{'bytes/entry':>13}")
    dict_row = min(rows, key=lambda r: abs(r["n"] - cap)) if rows else None
    for name in CLASS_NAMES:
        for r in (0.1, 0.01, 0.001):
            res = probe({"class": name, "capacity": cap, "reserve": r})
            bpe = max(res["heap"], res["rss"]) / res["n"]
            load = res["n"] / res["capacity"]
            say(f"  {name:<16}{r:>7}{res['n']:>10,}{res['capacity']:>10,}{load:>8.4f}{bpe:>13.1f}")
            ctx.report.data["memory_reserved"].append(
                {"class": name, "reserve": r, "entries": res["n"], "capacity": res["capacity"],
                 "load": load, "bytes_per_entry": bpe})
    if dict_row:
        say(f"  (dict at n = {dict_row['n']:,}: {dict_row['dict']:.1f} bytes/entry)")


# ---------------------------------------------------------------- high load


def growth_limit(cls, cap, r, keys):
    m = cls.with_options(capacity=cap, reserve_fraction=r)
    c0 = m.capacity
    for i, k in enumerate(keys):
        m[k] = None
        if m.capacity != c0:
            return i
    return len(keys)


def run_load(ctx):
    cap = ctx.load_capacity
    marks = (0.5, 0.75, 0.9, 0.95, 0.99, 1.0)
    say(f"\n== high load: with_options(capacity={cap:,}, reserve_fraction=r), int keys; "
        "insert ns/key over each band, lookup ns/key of every present key at its end "
        "(median of rounds)")
    say(f"  {'map':<16}{'r':>7}{'load reached':>14}{'entries':>10}{'insert ns':>11}"
        f"{'lookup ns':>11}{'miss ns':>9}")
    rng = random.Random(ctx.seed)
    pool = list(dict.fromkeys(rng.getrandbits(62) for _ in range(cap + cap // 4)))
    missing = fresh_keys("int", 20_000, rng, set(pool))
    for name in CLASS_NAMES:
        cls = getattr(ctx.quenlor, name)
        for r in (0.1, 0.01, 0.001):
            limit = growth_limit(cls, cap, r, pool)
            stops = sorted({max(1, int(limit * f)) for f in marks})
            per = {s: ([], [], []) for s in stops}
            cap_seen = None
            for _ in range(max(1, ctx.rounds // 2)):
                gc.collect()
                m = cls.with_options(capacity=cap, reserve_fraction=r)
                prev = 0
                for s in stops:
                    chunk = pool[prev:s]
                    t0 = pc()
                    for k in chunk:
                        m[k] = None
                    ti = pc() - t0
                    present = pool[:s]
                    sample = present if len(present) <= 200_000 else random.Random(s).sample(present, 200_000)
                    t0 = pc()
                    for k in sample:
                        m[k]
                    tl = pc() - t0
                    t0 = pc()
                    for k in missing:
                        k in m  # noqa: B015
                    tm = pc() - t0
                    per[s][0].append(ti / max(1, len(chunk)) * 1e9)
                    per[s][1].append(tl / len(sample) * 1e9)
                    per[s][2].append(tm / len(missing) * 1e9)
                    prev = s
                cap_seen = m.capacity
                del m
            for s in stops:
                load = s / cap_seen
                ins, look, miss = (statistics.median(v) for v in per[s])
                say(f"  {name:<16}{r:>7}{load:>14.4f}{s:>10,}{ins:>11.1f}{look:>11.1f}{miss:>9.1f}")
                ctx.report.data["load"].append(
                    {"class": name, "reserve": r, "entries": s, "capacity": cap_seen,
                     "load": load, "insert_ns": ins, "lookup_ns": look, "miss_ns": miss,
                     "at_growth_limit": s == limit})


# ---------------------------------------------------------------- plots


def plot(data, outdir):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        say("(matplotlib not installed: no plots)")
        return []
    os.makedirs(outdir, exist_ok=True)
    made = []
    cells = [c for c in data["cells"] if c.get("ratio")]
    if cells:
        groups = {}
        for c in cells:
            groups.setdefault((c["section"], c["keys"]), []).append(c)
        for (section, kind), rows in groups.items():
            labels = [f"{r['op']}\nn={r['n']:,}" if len({x['n'] for x in rows}) > 1 else r["op"]
                      for r in rows]
            fig, ax = plt.subplots(figsize=(max(8, 0.45 * len(rows)), 5))
            width = 0.4
            for i, name in enumerate(CLASS_NAMES):
                vals = [r["ratio"].get(name, float("nan")) for r in rows]
                ax.bar([x + (i - 0.5) * width for x in range(len(rows))], vals, width, label=name)
            ax.axhline(1.0, color="black", linewidth=0.8)
            ax.set_xticks(range(len(rows)))
            ax.set_xticklabels(labels, rotation=80, fontsize=6)
            ax.set_ylabel("time ratio to dict (lower is better)")
            ax.set_title(f"{section}, {kind} keys: median time / dict median time")
            ax.legend()
            fig.tight_layout()
            path = os.path.join(outdir, f"ratio_{section}_{kind}.png")
            fig.savefig(path, dpi=110)
            plt.close(fig)
            made.append(path)
    if data["memory"]:
        fig, ax = plt.subplots(figsize=(8, 5))
        for name in ("dict",) + CLASS_NAMES:
            ax.plot([r["n"] for r in data["memory"]], [r[name] for r in data["memory"]],
                    marker="o", markersize=3, label=name)
        ax.set_xscale("log")
        ax.set_xlabel("entries n")
        ax.set_ylabel("heap bytes per entry")
        ax.set_title("memory per entry (int keys, value None; key objects not counted)")
        ax.legend()
        fig.tight_layout()
        path = os.path.join(outdir, "bytes_per_entry.png")
        fig.savefig(path, dpi=110)
        plt.close(fig)
        made.append(path)
    if data["load"]:
        fig, ax = plt.subplots(figsize=(8, 5))
        series = {}
        for r in data["load"]:
            series.setdefault((r["class"], r["reserve"]), []).append(r)
        for (name, res), rows in series.items():
            ax.plot([r["load"] for r in rows], [r["lookup_ns"] for r in rows], marker="o",
                    label=f"{name} r={res}")
        ax.set_xlabel("load (len / capacity)")
        ax.set_ylabel("ns per lookup hit")
        ax.set_title("lookup cost as the load rises to the growth limit")
        ax.legend(fontsize=7)
        fig.tight_layout()
        path = os.path.join(outdir, "lookup_vs_load.png")
        fig.savefig(path, dpi=110)
        plt.close(fig)
        made.append(path)
    return made


# ---------------------------------------------------------------- driver


class Ctx:
    pass


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                epilog=__doc__.split("\n\n", 1)[1],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true",
                   help="sizes 1,000 and 100,000, 3 rounds, fewer memory sizes (under 2 minutes)")
    p.add_argument("--only", default=",".join(SECTIONS),
                   help=f"comma-separated sections to run (default: all of {','.join(SECTIONS)})")
    p.add_argument("--sizes", default=None,
                   help="comma-separated n for hot and bulk (default 1000,100000,1000000)")
    p.add_argument("--keys", default="int,str", help="key kinds: int,str (default both)")
    p.add_argument("--rounds", type=int, default=None, help="interleaved rounds per cell (default 7)")
    p.add_argument("--seed", type=int, default=12345)
    p.add_argument("--shuffled", action="store_true",
                   help="hot section: look up, replace, pop and delete the present keys in a "
                        "random order rather than in the order they were inserted in (rows "
                        "marked 'shuffled')")
    p.add_argument("--clock", choices=("cpu", "wall"), default="cpu",
                   help="time rounds in process CPU time (default; steadier on a shared "
                        "machine) or wall-clock time")
    p.add_argument("--out", default=None, help="JSON result path (default bench/results/<date>-<commit>.json)")
    p.add_argument("--plots-dir", default=os.path.join(HERE, "results"),
                   help="where PNG plots go (default bench/results)")
    p.add_argument("--no-plots", action="store_true")
    p.add_argument("--replot", metavar="JSON", help="only redraw the plots of a saved result")
    p.add_argument("--memory-probe", help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    bad = set(args.only.split(",")) - set(SECTIONS)
    if bad:
        p.error(f"unknown section(s): {','.join(sorted(bad))}")
    return args


def main(argv=None):
    args = parse_args(argv)
    if args.memory_probe:
        memory_probe(json.loads(args.memory_probe))
        return
    if args.replot:
        with open(args.replot) as f:
            for path in plot(json.load(f), args.plots_dir):
                say(f"plot: {path}")
        return
    global pc
    if args.clock == "wall":
        pc = time.perf_counter
    import quenlor

    ctx = Ctx()
    ctx.quenlor = quenlor
    ctx.contenders = contenders(quenlor)
    ctx.order = [name for name, _ in ctx.contenders]
    ctx.kinds = args.keys.split(",")
    ctx.seed = args.seed
    ctx.shuffled = args.shuffled
    if args.quick:
        ctx.sizes = [1_000, 100_000]
        ctx.rounds = args.rounds or 3
        ctx.mem_ns = [1_000, 100_000, 300_000, 1_000_000]
        ctx.reserved_capacity = 200_000
        ctx.load_capacity = 100_000
        ctx.drain_cap = 1.0
        ctx.churn_pairs = 50_000
    else:
        ctx.sizes = [1_000, 100_000, 1_000_000]
        ctx.rounds = args.rounds or 7
        ctx.mem_ns = MEM_NS
        ctx.reserved_capacity = 1_000_000
        ctx.load_capacity = 1_000_000
        ctx.drain_cap = 20.0
        ctx.churn_pairs = 200_000
    if args.sizes:
        ctx.sizes = [int(s.replace("_", "")) for s in args.sizes.split(",")]
    info = machine_info()
    ctx.report = Report(info, args)
    say(f"quenlor benchmark: Python {info['python']}, {info['cpu']} ({info['cores']} cores), "
        f"commit {info['commit']}, {info['date']}, load average "
        f"{info['loadavg_at_start'][0]:.1f}, {args.clock} clock")
    say(f"sections {args.only}; sizes {', '.join(f'{n:,}' for n in ctx.sizes)}; "
        f"{ctx.rounds} rounds; keys {args.keys}")
    start = time.perf_counter()
    runners = {"hot": run_hot, "bulk": run_bulk, "small": run_small, "memory": run_memory,
               "load": run_load}
    out = args.out or os.path.join(
        HERE, "results", f"{info['date'][:16].replace(':', '')}-{info['commit']}.json")
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    for section in SECTIONS:
        if section in args.only.split(","):
            t0 = time.perf_counter()
            runners[section](ctx)
            now = time.perf_counter()
            say(f"  [{section} done in {now - t0:.0f}s, total {now - start:.0f}s wall]")
            # Saved after every section, so an interrupted run keeps what it measured.
            ctx.report.data["machine"]["loadavg_at_end"] = os.getloadavg()
            with open(out, "w") as f:
                json.dump(ctx.report.data, f, indent=1)
    say(f"\nresults: {out}")
    if not args.no_plots:
        for path in plot(ctx.report.data, args.plots_dir):
            say(f"plot: {path}")


if __name__ == "__main__":
    main()
