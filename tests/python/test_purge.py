"""Removals that purge the tables (del, pop, popitem drains, churn) keep every
entry and every reference right, also with awkward keys, and compare no keys."""

import sys

import pytest

from conftest import HASH_MODULUS

NAN = float("nan")
StrSub = type("StrSub", (str,), {})


class SameHash:
    """Keys that all share one hash; ``__eq__`` raises once ``armed``."""

    armed = None

    def __hash__(self):
        return 7

    def __eq__(self, other):
        if SameHash.armed is not None:
            raise SameHash.armed
        return self is other


def awkward_keys(n):
    keys = [NAN, 1, 1.5, "\ud800", "a\ud800b", StrSub("x"), StrSub("y"), -1, -2]
    keys += [5 + i * HASH_MODULUS for i in range(4)]  # equal cached hashes
    keys += [SameHash() for _ in range(40)]
    keys += [StrSub(f"s{i}") if i % 3 == 0 else f"k{i}" if i % 3 == 1 else i * 7919
             for i in range(n)]
    return keys


def check(m, model):
    assert len(m) == len(model)
    assert sorted(map(id, m)) == sorted(map(id, model))
    for k, v in model.items():
        assert m[k] is v
    if hasattr(m, "_check_consistency"):  # debug builds
        m._check_consistency()


@pytest.mark.parametrize("how", ["del", "pop", "popitem", "churn"])
def test_purging_removals_keep_entries_and_references(map_cls, how):
    keys = awkward_keys(3000)
    values = [object() for _ in keys]
    # Small ints are shared by the whole interpreter: their counts move anyway.
    watched = [x for x in keys + values if not (type(x) is int and -5 <= x <= 256)]
    before = [sys.getrefcount(x) for x in watched]
    m, model, order = map_cls(), {}, None
    for k, v in zip(keys, values):
        m[k] = model[k] = v
    check(m, model)
    if how == "del":
        for k in keys[::2] + keys[1::2]:
            del m[k], model[k]
            if len(model) % 500 == 0:
                check(m, model)
    elif how == "pop":
        for k in keys[1::2] + keys[::2]:
            assert m.pop(k) is model.pop(k)
            if len(model) % 500 == 0:
                check(m, model)
    elif how == "popitem":
        while model:
            k, v = m.popitem()
            assert model.pop(k) is v
            if len(model) % 500 == 0:
                check(m, model)
        with pytest.raises(KeyError):
            m.popitem()
    else:
        # Insert one, delete the oldest: the map stays full while its slots turn over.
        extra = [f"e{i}" for i in range(6000)]
        order = keys + extra
        for i, k in enumerate(extra):
            m[k] = model[k] = values[i % len(values)]
            del m[order[i]], model[order[i]]
            if i % 1000 == 0:
                check(m, model)
        check(m, model)
        m.clear()
        model.clear()
    check(m, model)
    del m, model
    k = v = order = None  # the loops' last key and value, the churn's list
    assert [sys.getrefcount(x) for x in watched] == before


@pytest.mark.parametrize("exc", [ValueError, KeyboardInterrupt])
def test_purges_compare_no_keys(map_cls, exc):
    # Every key shares one hash; once they all refuse comparison, a drain by
    # popitem (purges included) still hands each one back exactly once.
    keys = [SameHash() for _ in range(600)]
    m = map_cls.fromkeys(keys, 0)
    SameHash.armed = exc
    try:
        popped = [m.popitem()[0] for _ in range(len(keys))]
    finally:
        SameHash.armed = None
    assert len(m) == 0
    assert sorted(map(id, popped)) == sorted(map(id, keys))
