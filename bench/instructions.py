"""Instructions per operation, counted by valgrind's cachegrind (deterministic).

For each contender (dict, FunnelHashMap, ElasticHashMap and FloorMap, a
mapping whose every operation only hashes its key) and each operation, a
worker process runs the operation's loop over n keys once and, in a second
process, 11 times; the difference of the two totals divided by 10 * n is the
cost of one operation with start-up, key creation and map building cancelled
out. The Python for-loop itself is part of every figure; FloorMap's row is
that share plus the call and the hash, the least any map can cost.

The last three operations (m.copy(), Cls(d) from a dict, m == d with equal
contents) are counted per entry, freeing the copy included. FloorMap(d) walks
the dict and hashes its keys, which building any extension map from a dict
must do through the stable ABI.

--cache adds a cache simulation at n = 1,000,000 (D1 and last-level misses per
operation, rounds 1 and 2; slow: tens of minutes).
"""

from __future__ import annotations

import argparse
import json
import os
import random
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
FLOOR_SRC = os.path.join(HERE, "floor", "floormap.c")
FLOOR_DIR = os.path.join(ROOT, "build", "bench-floor")
CONTENDERS = ("dict", "FunnelHashMap", "ElasticHashMap", "FloorMap")
OPS = ("m[k] hit", "k in m miss", "get(k) miss", "m[k] = v replace", "insert n into empty",
       "m.copy()", "Cls(d)", "m == d")
# FloorMap has neither a copy nor an equality worth counting.
NO_FLOOR = {"m.copy()", "m == d"}


def say(*a):
    print(*a, flush=True)


def build_floor():
    """Compiles the floor extension for this interpreter (limited API, no install)."""
    suffix = ".abi3.so"
    target = os.path.join(FLOOR_DIR, "floormap" + suffix)
    if os.path.exists(target) and os.path.getmtime(target) >= os.path.getmtime(FLOOR_SRC):
        return FLOOR_DIR
    os.makedirs(FLOOR_DIR, exist_ok=True)
    cc = os.environ.get("CC", "cc")
    inc = sysconfig.get_paths()["include"]
    subprocess.run([cc, "-O2", "-Wall", "-Wextra", "-shared", "-fPIC", f"-I{inc}", FLOOR_SRC,
                    "-o", target], check=True)
    return FLOOR_DIR


# ---------------------------------------------------------------- worker


def worker(contender, op, n, rounds):
    if contender == "dict":
        cls = dict
    elif contender == "FloorMap":
        sys.path.insert(0, FLOOR_DIR)
        from floormap import FloorMap as cls
    else:
        import quenlor

        cls = getattr(quenlor, contender)
    rng = random.Random(42)
    keys = [rng.getrandbits(62) for _ in range(n)]
    missing = [k ^ (1 << 62) for k in keys]  # all distinct from the keys (bit 62 set)
    m = cls()
    for k in keys:
        m[k] = None
    if op == "m[k] hit":
        for _ in range(rounds):
            for k in keys:
                m[k]
    elif op == "k in m miss":
        for _ in range(rounds):
            for k in missing:
                k in m  # noqa: B015
    elif op == "get(k) miss":
        g = m.get
        for _ in range(rounds):
            for k in missing:
                g(k)
    elif op == "m[k] = v replace":
        for _ in range(rounds):
            for k in keys:
                m[k] = None
    elif op == "insert n into empty":
        for _ in range(rounds):
            x = cls()
            for k in keys:
                x[k] = None
            del x
    elif op == "m.copy()":
        for _ in range(rounds):
            x = m.copy()
            del x
    elif op in ("Cls(d)", "m == d"):
        d = dict.fromkeys(keys)
        if op == "Cls(d)":
            for _ in range(rounds):
                x = cls(d)
                del x
        else:
            for _ in range(rounds):
                m == d  # noqa: B015
    else:
        raise SystemExit(f"unknown op {op}")


# ---------------------------------------------------------------- driver


def count(contender, op, n, rounds, cache):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        cmd = ["valgrind", "--tool=cachegrind", f"--cachegrind-out-file={out}",
               f"--cache-sim={'yes' if cache else 'no'}", sys.executable,
               os.path.abspath(__file__), "--worker", contender, op, str(n), str(rounds)]
        env = dict(os.environ, PYTHONHASHSEED="0")
        subprocess.run(cmd, check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        events = summary = None
        with open(out) as f:
            for line in f:
                if line.startswith("events:"):
                    events = line.split()[1:]
                elif line.startswith("summary:"):
                    summary = [int(x) for x in line.split()[1:]]
        return dict(zip(events, summary))


def per_op(contender, op, n, lo, hi, cache):
    a = count(contender, op, n, lo, cache)
    b = count(contender, op, n, hi, cache)
    return {k: (b[k] - a[k]) / ((hi - lo) * n) for k in a}


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0], epilog=__doc__.split("\n\n", 1)[1],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("-n", type=int, default=1000, help="keys (default 1000)")
    p.add_argument("--only", default=",".join(CONTENDERS), help="contenders, comma-separated")
    p.add_argument("--cache", action="store_true", help="also simulate caches (at --cache-n keys)")
    p.add_argument("--cache-n", type=int, default=1_000_000, help="keys for --cache (default 1000000)")
    p.add_argument("--out", default=None, help="JSON path (default bench/results/instructions-<commit>.json)")
    p.add_argument("--worker", nargs=4, help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.worker:
        c, op, n, rounds = args.worker
        worker(c, op, int(n), int(rounds))
        return
    if not shutil.which("valgrind"):
        raise SystemExit("valgrind not found (scripts/bench-instructions installs it)")
    build_floor()
    who = args.only.split(",")
    say(f"instructions per operation at n = {args.n:,} (cachegrind; (Ir[11 rounds] - Ir[1 round]) / (10 n))")
    say(f"  {'operation':<22}" + "".join(f"{c:>16}" for c in who))
    result = {"n": args.n, "instructions": {}, "cache": {}}
    for op in OPS:
        row = {}
        line = f"  {op:<22}"
        for c in who:
            if c == "FloorMap" and op in NO_FLOOR:
                line += f"{'-':>16}"
                continue
            row[c] = per_op(c, op, args.n, 1, 11, False)["Ir"]
            line += f"{row[c]:>16.1f}"
        result["instructions"][op] = row
        say(line)
    if args.cache:
        n = args.cache_n
        say(f"\ncache misses per operation at n = {n:,} (cachegrind --cache-sim=yes, rounds 1 and 2): "
            "D1 misses / last-level misses")
        say(f"  {'operation':<22}" + "".join(f"{c:>16}" for c in who))
        for op in OPS[:2]:
            row = {}
            line = f"  {op:<22}"
            for c in who:
                ev = per_op(c, op, n, 1, 2, True)
                d1 = ev.get("D1mr", 0) + ev.get("D1mw", 0)
                ll = ev.get("DLmr", 0) + ev.get("DLmw", 0)
                row[c] = {"Ir": ev["Ir"], "D1": d1, "LL": ll}
                line += f"{f'{d1:.2f} / {ll:.2f}':>16}"
            result["cache"][op] = row
            say(line)
    try:
        commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"],
                                capture_output=True, text=True).stdout.strip() or "unknown"
    except OSError:
        commit = "unknown"
    result["commit"] = commit
    result["python"] = sys.version.split()[0]
    out = args.out or os.path.join(HERE, "results", f"instructions-{commit}.json")
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    with open(out, "w") as f:
        json.dump(result, f, indent=1)
    say(f"results: {out}")


if __name__ == "__main__":
    main()
