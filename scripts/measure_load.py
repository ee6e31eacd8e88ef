#!/usr/bin/env python3
"""How full each map class gets before it grows, and what that costs.

For each class and reserve fraction: build a map for --n entries, insert int
keys one at a time until the insertion that makes it grow, and report the
entry count at that point as a share of the capacity and of the slots
actually allocated.  A second map of the same options is then filled to just
below that point in timed chunks, and looked up (a sample of hits and of
misses), giving nanoseconds per key next to a dict doing the same.  Times are
the process's CPU time, so other work on a shared machine inflates them less.

The keys are random 62-bit ints and the missing keys random ints with bit 62
set, for the maps and for dict alike. (Consecutive ints would flatter dict:
an int hashes to itself, so dict would fill and probe its table in order and
find every negative key missing at its first, cached, slot.)

Table memory comes from the C allocator's statistics (glibc mallinfo2): the
bytes a map takes once it holds nearly as many keys as it can before growing.
Allocated slots are exact for ElasticHashMap (its levels are n/2, n/4, ...
entries, each rounded up to 16 times a power of two slots); for FunnelHashMap
they are estimated as those bytes / 25 (a 24-byte entry plus one control byte
per slot, which is nearly all it allocates).

    python scripts/measure_load.py --n 1000000
"""

import argparse
import ctypes
import gc
import platform
import random
import time

import quenlor

KEY_SEED = 1
ENTRY_BYTES = 24 + 1
CHUNK = 1000
LOOKUP_SAMPLE = 100_000
clock = time.process_time


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
        "uordblks", "fordblks", "keepcost")]


def _heap_bytes_fn():
    try:
        libc = ctypes.CDLL(None)
        fn = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    fn.restype = _MallInfo2

    def heap_bytes():
        info = fn()
        return info.hblkhd + info.uordblks
    return heap_bytes


HEAP_BYTES = _heap_bytes_fn()


def random_keys(count, seed=KEY_SEED, flag=0):
    """``count`` distinct random 62-bit ints (with bit 62 set when ``flag``)."""
    rng, seen = random.Random(seed), set()
    while len(seen) < count:
        seen.add(rng.getrandbits(62) | flag)
    keys = list(seen)
    rng.shuffle(keys)  # set order follows the hash, that is the value
    return keys


def missing_keys(count):
    return random_keys(count, KEY_SEED + 1, 1 << 62)


def elastic_slots(n):
    slots, remaining, previous = 0, n, 0
    while remaining:
        raw = n - n // 2 if previous == 0 else min(max(previous // 2, 1), remaining)
        previous, remaining = raw, remaining - raw
        groups = -(-raw // 16)
        slots += 16 * (1 << (groups - 1).bit_length())
    return slots


def build(cls, n, fraction, third):
    if cls is quenlor.FunnelHashMap:
        return cls.with_options(n, fraction, primary_probe_limit=third)
    return cls.with_options(n, fraction, probe_scale=third)


def table_bytes(cls, n, fraction, third, keys):
    """Heap bytes of a map holding ``keys``, made beforehand (an
    ElasticHashMap allocates a level when its first key arrives)."""
    if HEAP_BYTES is None:
        return None
    while True:
        gc.collect()
        before = HEAP_BYTES()
        m = build(cls, n, fraction, third)
        cap = m.capacity
        for k in keys:
            m[k] = None
        used = HEAP_BYTES() - before
        # A funnel map below 2^-8 grows where its own seed's keys land, which
        # can be before the measured map's point: try a chunk fewer.
        if m.capacity == cap or not keys:
            return used
        del m
        keys = keys[:-CHUNK]


def growth_point(cls, n, fraction, third, keys):
    """Entries held when an insertion first makes the map grow."""
    m = build(cls, n, fraction, third)
    cap = m.capacity
    for i, k in enumerate(keys):
        m[k] = k
        if m.capacity != cap:
            return i, cap
    raise AssertionError("map never grew")


def timed_fill(target, keys):
    """Inserts ``keys`` in chunks, stopping before a chunk that would grow
    ``target`` past its first capacity; returns (inserted, seconds)."""
    cap = target.capacity
    inserted, spent = 0, 0.0
    for start in range(0, len(keys), CHUNK):
        chunk = keys[start:start + CHUNK]
        t0 = clock()
        for k in chunk:
            target[k] = k
        dt = clock() - t0
        if target.capacity != cap:
            break
        inserted, spent = inserted + len(chunk), spent + dt
    return inserted, spent


def timed_lookup(target, keys):
    t0 = clock()
    for k in keys:
        target.get(k)
    return clock() - t0


def measure(cls, n, fraction, third, all_keys, missing):
    grow_at, cap = growth_point(cls, n, fraction, third, all_keys)
    # Stay a chunk clear of this map's own growth point (funnel growth depends
    # on where the keys land, so another seed can grow a little earlier).
    keys = all_keys[:max(grow_at - CHUNK, 0)]
    used = table_bytes(cls, n, fraction, third, keys)
    if cls is quenlor.ElasticHashMap:
        slots = elastic_slots(cap)
    else:
        slots = used / ENTRY_BYTES if used else None
    m = build(cls, n, fraction, third)
    inserted, fill_s = timed_fill(m, keys)
    present = random.Random(1).sample(keys[:inserted], min(inserted, LOOKUP_SAMPLE))
    missing = missing[:len(present)]
    hit_ns = timed_lookup(m, present) * 1e9 / max(len(present), 1)
    miss_ns = timed_lookup(m, missing) * 1e9 / max(len(present), 1)
    ns = 1e9 / max(inserted, 1)
    return {
        "class": cls.__name__, "fraction": fraction, "capacity": cap, "grow_at": grow_at,
        "load_cap": grow_at / cap, "load_slots": grow_at / slots if slots else float("nan"),
        "bytes_per_entry": used / grow_at if used else float("nan"),
        "timed_len": inserted, "insert_ns": fill_s * ns, "hit_ns": hit_ns,
        "miss_ns": miss_ns,
    }


def dict_baseline(keys, missing):
    n = len(keys)
    d = {}
    t0 = clock()
    for k in keys:
        d[k] = k
    fill_s = clock() - t0
    sample = random.Random(1).sample(keys, min(n, LOOKUP_SAMPLE))
    hit_s = timed_lookup(d, sample)
    miss_s = timed_lookup(d, missing[:len(sample)])
    return fill_s * 1e9 / n, hit_s * 1e9 / len(sample), miss_s * 1e9 / len(sample)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=1_000_000, help="capacity requested")
    parser.add_argument("--fractions", type=float, nargs="+",
                        default=[0.1, 0.01, 2**-8, 0.001, 1e-4])
    parser.add_argument("--probe-scale", type=float, default=None)
    parser.add_argument("--primary-probe-limit", type=int, default=None)
    parser.add_argument("--only", choices=("FunnelHashMap", "ElasticHashMap"), default=None)
    args = parser.parse_args()

    print(f"n={args.n}  python {platform.python_version()}  {platform.machine()}  "
          f"{time.strftime('%Y-%m-%d', time.gmtime())}")
    print(f"{'class':15} {'reserve':>8} {'capacity':>9} {'grows at':>9} {'len/cap':>8} "
          f"{'len/slots':>9} {'B/entry':>8} {'insert ns':>9} {'hit ns':>7} {'miss ns':>7}")
    # A map built for n holds at most n entries: the (n + 1)-th key grows it.
    all_keys, missing = random_keys(args.n + 1), missing_keys(LOOKUP_SAMPLE)
    ins, hit, miss = dict_baseline(all_keys[:args.n], missing)
    print(f"{'dict':15} {'':>8} {'':>9} {'':>9} {'':>8} {'':>9} {'':>8} "
          f"{ins:9.0f} {hit:7.0f} {miss:7.0f}")
    for cls, third in ((quenlor.FunnelHashMap, args.primary_probe_limit),
                       (quenlor.ElasticHashMap, args.probe_scale)):
        if args.only and cls.__name__ != args.only:
            continue
        for fraction in args.fractions:
            if cls is quenlor.FunnelHashMap and fraction > 0.125:
                continue
            r = measure(cls, args.n, fraction, third, all_keys, missing)
            print(f"{r['class']:15} {fraction:8.4g} {r['capacity']:9d} {r['grow_at']:9d} "
                  f"{r['load_cap']:8.4f} {r['load_slots']:9.4f} {r['bytes_per_entry']:8.1f} "
                  f"{r['insert_ns']:9.0f} {r['hit_ns']:7.0f} {r['miss_ns']:7.0f}", flush=True)


if __name__ == "__main__":
    main()
