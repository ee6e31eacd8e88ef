"""Heavy hash collisions, rebuilds with keys that came to compare equal, deep view recursion."""

import subprocess
import sys
import textwrap

import pytest

from conftest import HASH_MODULUS


@pytest.mark.parametrize("n_hashes", [1, 5])
def test_many_keys_sharing_hashes(map_cls, n_hashes):
    n = 10_000
    # int.__eq__ is cheap, so the collisions cost probing, not Python calls.
    keys = [11 + (i % n_hashes) + (i // n_hashes) * HASH_MODULUS for i in range(n)]
    assert len({hash(k) for k in keys}) == n_hashes
    m = map_cls()
    for i, k in enumerate(keys):
        m[k] = i
    assert len(m) == n and all(m[k] == i for i, k in enumerate(keys))
    assert 11 + n * HASH_MODULUS not in m
    for k in keys[::2]:
        del m[k]
    assert len(m) == n // 2 and keys[0] not in m and keys[1] in m
    for k in keys[1::2]:
        del m[k]
    assert len(m) == 0
    for i, k in enumerate(keys):
        m[k] = -i
    assert sorted(m.items()) == sorted((k, -i) for i, k in enumerate(keys))


def test_rebuild_keeps_keys_that_became_equal(map_cls):
    all_equal = []  # once set, every key compares equal to every other
    key = type("Key", (), {"__hash__": lambda self: -7777,
                           "__eq__": lambda self, other: bool(all_equal) or self is other})
    keys = [key() for _ in range(8)]
    m = map_cls((k, i) for i, k in enumerate(keys))
    all_equal.append(True)
    for i in range(5000):  # several growth rebuilds
        m[i] = i
    assert len(m) == 5008
    for i in range(5000):  # removals, purge rebuilds
        del m[i]
    assert sorted(map(id, m)) == sorted(map(id, keys)) and sorted(m.values()) == list(range(8))


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
