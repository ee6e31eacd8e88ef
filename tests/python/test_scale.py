"""Many entries: rebuilds, heavy hash collisions, the memory the tables take,
deep view recursion."""

import subprocess
import sys
import textwrap
import tracemalloc

import pytest

from conftest import HASH_MODULUS

class SameHash:
    """Keys of one hash. Once ``mode`` is set, each equals every other
    ("equal") or raises ``mode`` from every comparison."""

    mode = None

    def __hash__(self):
        return -7777

    def __eq__(self, other):
        if SameHash.mode == "equal":
            return True
        if SameHash.mode is not None:
            raise SameHash.mode
        return self is other


@pytest.mark.parametrize("mode", ["equal", ValueError, KeyboardInterrupt])
def test_rebuilds_compare_no_keys(map_cls, mode, monkeypatch):
    # Growth and purge rebuilds re-place entries without comparing keys: keys
    # that came to compare equal, or to raise, all stay, and a popitem drain
    # hands each back exactly once.
    keys = [SameHash() for _ in range(600)]
    m = map_cls((k, i) for i, k in enumerate(keys))
    monkeypatch.setattr(SameHash, "mode", mode)
    m.update((i, i) for i in range(5000))  # several growth rebuilds
    for i in range(5000):  # removals, purge rebuilds
        del m[i]
    popped = [m.popitem() for _ in range(len(keys))]
    assert sorted(id(k) for k, _ in popped) == sorted(map(id, keys)) and len(m) == 0
    assert sorted(v for _, v in popped) == list(range(len(keys)))


@pytest.mark.parametrize("n_hashes", [1, 5])
def test_many_keys_sharing_hashes(map_cls, n_hashes):
    n = 3000
    # int.__eq__ is cheap, so the collisions cost probing, not Python calls.
    keys = [11 + (i % n_hashes) + (i // n_hashes) * HASH_MODULUS for i in range(n)]
    assert len({hash(k) for k in keys}) == n_hashes
    m = map_cls((k, i) for i, k in enumerate(keys))
    assert len(m) == n and all(m[k] == i for i, k in enumerate(keys))
    assert 11 + n * HASH_MODULUS not in m
    for k in keys[::2]:
        del m[k]
    assert len(m) == n // 2 and keys[0] not in m and keys[1] in m
    for k in keys[1::2]:
        del m[k]
    assert len(m) == 0
    m.update((k, -i) for i, k in enumerate(keys))
    assert sorted(m.items()) == sorted((k, -i) for i, k in enumerate(keys))


def test_tracemalloc_accounts_for_the_tables(map_cls):
    keys = list(range(100_000))  # made before measuring: only the map's memory counts
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        m = map_cls.fromkeys(keys)
        filled = tracemalloc.get_traced_memory()[0]
        del m
        emptied = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    # At least a 24-byte entry and one control byte per entry, all given back.
    assert filled - start >= 25 * len(keys) and filled - emptied >= 25 * len(keys)


def test_small_maps_take_little_memory(map_cls):
    def per_map(entries):
        tracemalloc.start()
        try:
            start = tracemalloc.get_traced_memory()[0]
            maps = []
            for _ in range(1000):
                m = map_cls()
                for k in range(entries):  # small ints: no key objects to count
                    m[k] = None
                maps.append(m)
            return (tracemalloc.get_traced_memory()[0] - start) / 1000
        finally:
            tracemalloc.stop()

    empty, four, twelve = per_map(0), per_map(4), per_map(12)
    # The object alone (and its list slot); a 16-slot table with room for its
    # first four entries; the whole table once it holds more than eight.
    assert empty < 200
    assert four <= 512 and four - empty <= 4 * 24 + 16 + 128
    assert twelve - empty >= 16 * 25


DEEP_REPR = textwrap.dedent("""
    import sys, quenlor
    kind, classes = sys.argv[1], (quenlor.ElasticHashMap, quenlor.FunnelHashMap)
    inner = classes[0]()
    for i in range(100_000):
        m = classes[i % 2].with_options(capacity=1)  # smallest tables: 100k maps add up
        m[0] = getattr(inner, kind)()
        inner = m
    selfref = quenlor.FunnelHashMap()
    selfref["me"] = getattr(selfref, kind)()
    for target in (getattr(inner, kind)(), getattr(inner, kind)(), selfref["me"]):
        try:
            print(repr(target)[:20])
        except RecursionError:
            print("RecursionError")
    # Every borrow taken on the way down was given back on the way up.
    inner[1] = selfref[1] = 1
    print(len(inner) + len(selfref), flush=True)
    del m, inner, target, selfref  # dropping the deep chain must not crash either
""")


@pytest.mark.parametrize("kind", ["values", "items"])
def test_deep_view_repr_raises_recursion_error(kind):
    proc = subprocess.run([sys.executable, "-c", DEEP_REPR, kind],
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.split() == ["RecursionError"] * 3 + ["4"] and proc.stderr == ""
