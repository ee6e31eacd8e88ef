"""Speed of FunnelHashMap and ElasticHashMap against dict, in the same process.

Every figure is a ratio: the map's best time over dict's best time for the same
operation on the same keys (1.00 = as fast as dict, 2.00 = twice as slow).
A second table shows what the maps are for: filling a table to a load factor
far beyond what dict allows, with bounded probing.
"""

from __future__ import annotations

import argparse
import random
import sys
import time

import quenlor

CLASSES = [("FunnelHashMap", quenlor.FunnelHashMap), ("ElasticHashMap", quenlor.ElasticHashMap)]


def best_of(repeat, fn):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def make_keys(kind, n, rng):
    if kind == "int":
        return rng.sample(range(n * 20), n)
    return [f"key-{rng.getrandbits(48):012x}-{i}" for i in range(n)]


def operations(keys, missing):
    def build(cls):
        def run():
            m = cls()
            for k in keys:
                m[k] = k
        return run

    def lookup(m):
        def run():
            for k in keys:
                m[k]
        return run

    def miss(m):
        def run():
            for k in missing:
                k in m
        return run

    def iterate(m):
        def run():
            for _ in m.items():
                pass
        return run

    def delete(cls):
        def run():
            m = cls.fromkeys(keys, 0)
            for k in keys:
                del m[k]
        return run

    def update(cls):
        source = dict.fromkeys(keys, 0)
        def run():
            cls(source)
        return run

    return [
        ("insert", lambda cls, m: build(cls)),
        ("lookup hit", lambda cls, m: lookup(m)),
        ("lookup miss", lambda cls, m: miss(m)),
        ("iterate items", lambda cls, m: iterate(m)),
        ("fromkeys+delete", lambda cls, m: delete(cls)),
        ("build from dict", lambda cls, m: update(cls)),
    ]


def speed_table(n, repeat, seed):
    rng = random.Random(seed)
    print(f"Time ratio against dict (best of {repeat} interleaved rounds, n = {n:,}; lower is better)\n")
    header = f"{'keys':<5} {'operation':<17}" + "".join(f"{name:>16}" for name, _ in CLASSES)
    header += f"{'dict ns/op':>12}"
    print(header)
    print("-" * len(header))
    for kind in ("int", "str"):
        keys = make_keys(kind, n, rng)
        missing = make_keys(kind, n, rng) if kind == "str" else [k + n * 40 for k in keys]
        maps = {cls: cls.fromkeys(keys, 0) for _, cls in CLASSES}
        maps[dict] = dict.fromkeys(keys, 0)
        for op_name, factory in operations(keys, missing):
            # Rounds interleave the contenders so that a noisy moment on the
            # machine hits all of them alike; each keeps its best round.
            contenders = [dict] + [cls for _, cls in CLASSES]
            runs = {cls: factory(cls, maps[cls]) for cls in contenders}
            best = {cls: float("inf") for cls in contenders}
            for _ in range(repeat):
                for cls in contenders:
                    best[cls] = min(best[cls], best_of(1, runs[cls]))
            base = best[dict]
            row = f"{kind:<5} {op_name:<17}"
            for _, cls in CLASSES:
                row += f"{best[cls] / base:>16.2f}"
            row += f"{base / n * 1e9:>12.1f}"
            print(row)
    print()


def load_table(n, repeat):
    print(f"High load: tables built for {n:,} entries, filled to their growth limit\n")
    header = f"{'map':<40}{'entries':>10}{'load':>10}{'insert ns/op':>14}{'lookup ns/op':>14}"
    print(header)
    print("-" * len(header))
    cases = [
        (cls, name, opt, delta)
        for name, cls in CLASSES
        for opt, delta in [("reserve_fraction=0.1", 0.1), ("reserve_fraction=0.01", 0.01),
                           ("reserve_fraction=0.004", 0.004), ("reserve_fraction=0.001", 0.001)]
    ]
    for cls, name, opt, delta in cases:
        count = n - int(delta * n)
        keys = list(range(0, count * 7, 7))
        holder = {}

        def fill():
            m = cls.with_options(capacity=n, reserve_fraction=delta)
            for k in keys:
                m[k] = None
            holder["m"] = m

        t_ins = best_of(repeat, fill)
        m = holder["m"]

        def look():
            for k in keys:
                m[k]

        t_look = best_of(repeat, look)
        load = len(m) / m.capacity
        print(f"{name + ' ' + opt:<40}{count:>10,}{load:>10.4f}"
              f"{t_ins / count * 1e9:>14.1f}{t_look / count * 1e9:>14.1f}")
    print()


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("-n", type=int, default=200_000, help="number of keys (default 200000)")
    p.add_argument("--repeat", type=int, default=7)
    p.add_argument("--seed", type=int, default=12345)
    args = p.parse_args(argv)
    print(f"quenlor on Python {sys.version.split()[0]}\n")
    speed_table(args.n, args.repeat, args.seed)
    load_table(args.n, max(1, args.repeat // 2))


if __name__ == "__main__":
    main()
