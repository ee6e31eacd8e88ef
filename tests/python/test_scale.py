"""Larger workloads: heavy hash collisions, a long random run against a dict,
rebuilds with keys that have come to compare equal, and deep view recursion."""

import random
import subprocess
import sys
import textwrap

import pytest

from conftest import HASH_MODULUS, SwitchEq, is_panic


def no_fatal_error(fn):
    try:
        return fn()
    except BaseException as e:  # noqa: BLE001
        if is_panic(e):
            pytest.fail(f"fatal error raised: {e.args!r}")
        raise


@pytest.mark.parametrize("n_hashes", [1, 5])
def test_many_keys_sharing_hashes(map_cls, n_hashes):
    n = 10_000
    # int.__eq__ is cheap, so the collisions cost probing, not Python calls.
    keys = [11 + (i % n_hashes) + (i // n_hashes) * HASH_MODULUS for i in range(n)]
    assert len({hash(k) for k in keys}) == n_hashes

    def run():
        m = map_cls()
        for i, k in enumerate(keys):
            m[k] = i
        assert len(m) == n
        assert all(m[k] == i for i, k in enumerate(keys))
        assert 11 + n * HASH_MODULUS not in m
        for k in keys[::2]:
            del m[k]
        assert len(m) == n // 2 and keys[0] not in m and keys[1] in m
        for k in keys[1::2]:
            del m[k]
        assert len(m) == 0 and list(m) == []
        for i, k in enumerate(keys):
            m[k] = -i
        assert len(m) == n and sorted(m) == sorted(keys)
        assert all(m[k] == -i for i, k in list(enumerate(keys))[::97])

    no_fatal_error(run)


def test_random_ints_against_dict(map_cls):
    rng = random.Random(20240601)
    pool = [rng.getrandbits(64) - 2**63 for _ in range(100_000)]
    m, d = map_cls(), {}
    for i, k in enumerate(pool):
        m[k] = i
        d[k] = i
    assert len(m) == len(d)
    for step in range(100_000):
        k = pool[rng.randrange(len(pool))]
        r = rng.random()
        if r < 0.4:
            m[k] = step
            d[k] = step
        elif r < 0.7:
            assert m.get(k) == d.get(k)
        else:
            assert m.pop(k, None) == d.pop(k, None)
        if step % 20_000 == 0:
            assert len(m) == len(d)
    assert len(m) == len(d)
    assert m == d
    assert set(m) == set(d)


def test_rebuild_keeps_keys_that_became_equal(map_cls):
    keys = [SwitchEq(i) for i in range(8)]
    m = map_cls()
    for i, k in enumerate(keys):
        m[k] = i
    assert len(m) == 8
    SwitchEq.all_equal = True
    try:
        for i in range(5000):  # several growth rebuilds
            m[i] = i
        assert len(m) == 5008
        assert sorted(k.label for k in m if isinstance(k, SwitchEq)) == list(range(8))
        for i in range(5000):  # removals, purge rebuilds
            del m[i]
        assert len(m) == 8
        assert sorted(k.label for k in m if isinstance(k, SwitchEq)) == list(range(8))
        assert sorted(m.values()) == list(range(8))
    finally:
        SwitchEq.all_equal = False


DEEP_REPR = textwrap.dedent(
    """
    import sys
    import quenlor

    kind = sys.argv[1]
    classes = (quenlor.ElasticHashMap, quenlor.FunnelHashMap)
    results = []

    inner = classes[0]()
    for i in range(100_000):
        m = classes[i % 2].with_options(capacity=1)  # smallest tables: 100k maps add up
        m[0] = getattr(inner, kind)()
        inner = m
    for target in (getattr(inner, kind)(), getattr(inner, kind)()):
        try:
            repr(target)
        except RecursionError:
            results.append("RecursionError")
        else:
            results.append("no error")

    selfref = quenlor.FunnelHashMap()
    selfref["me"] = getattr(selfref, kind)()
    try:
        repr(selfref[\"me\"])
    except RecursionError:
        results.append("RecursionError")
    else:
        results.append("no error")

    # Every borrow taken on the way down was given back on the way up.
    inner[1] = 1
    selfref[1] = 1
    results.append(str(len(inner) + len(selfref)))
    print(" ".join(results), flush=True)
    del m, inner, target, selfref  # dropping the deep chain must not crash either
    """
)


@pytest.mark.parametrize("kind", ["values", "items"])
def test_deep_view_repr_raises_recursion_error(kind):
    proc = subprocess.run(
        [sys.executable, "-c", DEEP_REPR, kind],
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.split() == ["RecursionError"] * 3 + ["4"]
    assert proc.stderr == ""
