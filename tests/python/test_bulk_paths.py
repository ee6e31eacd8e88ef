"""Bulk fast paths against the plain procedures they stand in for: equality of
a large map with a dict (walks the dict) or with a map of its class, copies
and fills of fresh maps (placed without searching). Each must give the plain
answer, the same contents, capacity and traversal order, and make the same
__eq__ calls (equality of two maps: the same answer)."""

import random
import sys
import types

import pytest

from conftest import HASH_MODULUS

# Maps from this size on are past the cache-sized threshold of the fast paths.
LARGE = 20_000


class StrSub(str):
    pass


class Logged:
    """Equal to ints of its value, hashing like them; logs every __eq__ call."""

    log = []

    def __init__(self, v):
        self.v = v

    def __hash__(self):
        return hash(self.v)

    def __eq__(self, other):
        Logged.log.append((self.v, other if isinstance(other, (int, float, str)) else "other"))
        return other == self.v


class RaisingEq(Logged):
    __hash__ = Logged.__hash__

    def __eq__(self, other):
        super().__eq__(other)
        raise ValueError("no comparison")


class InterruptingEq(Logged):
    __hash__ = Logged.__hash__

    def __eq__(self, other):
        raise KeyboardInterrupt


def _plain_outcome(thunk):
    Logged.log = []
    try:
        result = thunk()
    except BaseException as e:  # noqa: B036 - the exception type is the outcome
        result = type(e)
    return result, Logged.log


def _large_keys(rng, n=LARGE):
    return list(dict.fromkeys(rng.getrandbits(62) for _ in range(n)))


def _variants(rng):
    """(map contents, dict contents) pairs with awkward keys and values."""
    keys = _large_keys(rng)
    base = dict.fromkeys(keys, 1)
    nan = float("nan")
    some = keys[len(keys) // 3]
    yield base, dict(base)
    yield base, {**base, some: 2}  # one value differs
    # Equal keys and values that are other objects, in every entry or every
    # third one, the last with one value that differs.
    own = {k: 2**80 + k for k in keys}
    yield own, {int(str(k)): int(str(v)) for k, v in own.items()}
    yield own, {(int(str(k)) if k % 3 else k): (v + 1 if k == some else v) for k, v in own.items()}
    yield base, {**{k: v for k, v in base.items() if k != some}, -5: 1}  # one key differs
    yield {**base, 1: "a"}, {**base, 1.0: "a"}  # 1 == 1.0, plain both sides
    yield {**base, True: "a"}, {**base, 1: "a"}  # bool key in the map
    yield {**base, 1: "a"}, {**base, True: "a"}  # bool key in the dict
    yield {**base, some: nan}, {**base, some: nan}  # the same NaN value: unequal
    yield {**base, nan: 1}, {**base, nan: 1}  # the same NaN key: found by identity
    yield {**base, float("nan"): 1}, {**base, float("nan"): 1}  # distinct NaN keys
    yield {**base, "k": 1}, {**base, StrSub("k"): 1}  # str subclass in the dict
    yield {**base, StrSub("k"): 1}, {**base, "k": 1}  # str subclass in the map
    yield {**base, "\ud800": 1}, {**base, "\ud800": 1}  # lone surrogate
    yield {**base, some: 1.0}, {**base, some: True}  # equal values of other types
    yield {**base, some: b"x"}, {**base, some: "x"}
    yield {**base, some: (1,)}, {**base, some: (1,)}  # a value compared by __eq__ of tuples
    # Keys whose __eq__ runs: equal to an int key of the other side, sharing
    # its hash, or sharing a hash with another int (hash modulus).
    yield {**base, Logged(7): 1}, {**base, 7: 1}
    yield {**base, 7: 1}, {**base, Logged(7): 1}
    yield {**base, Logged(7): 1, 7 + HASH_MODULUS: 2}, {**base, 7: 1, 7 + HASH_MODULUS: 2}
    yield {**base, RaisingEq(8): 1}, {**base, 8: 1}
    yield {**base, 9: InterruptingEq(9)}, {**base, 9: 9}
    yield {**base, 9: 9}, {**base, 9: InterruptingEq(9)}
    yield {**base, InterruptingEq(10): 1}, {**base, 10: 1}


@pytest.mark.parametrize("seed", [1, 2])
def test_equality_with_a_large_dict_matches_the_plain_walk(map_cls, seed):
    rng = random.Random(seed)
    for mine, theirs in _variants(rng):
        m = map_cls(mine)
        assert m.capacity >= 2**14
        # The mapping path walks the map and looks each key up in the dict:
        # the plain procedure, with the same __eq__ calls in the same order.
        expected = _plain_outcome(lambda: m == types.MappingProxyType(theirs))
        assert _plain_outcome(lambda: m == theirs) == expected
        if expected[0] is not KeyboardInterrupt:
            assert (m != theirs) is (not expected[0])
        # A map of the same class is walked with its own look-ahead: the same
        # answer.
        assert _plain_outcome(lambda: m == map_cls(theirs))[0] is expected[0]


def test_equality_with_a_large_dict_subclass_ignores_its_getitem(map_cls):
    class Odd(dict):
        def __getitem__(self, k):
            raise AssertionError("not called")

    rng = random.Random(3)
    d = dict.fromkeys(_large_keys(rng), 0)
    m = map_cls(d)
    assert m == Odd(d)
    assert m != Odd({**d, next(iter(d)): 1})


@pytest.mark.parametrize("size", [300, LARGE])
def test_copies_hold_what_plain_insertion_holds(map_cls, size):
    # Small targets are filled by a plain walk of the source, large ones with
    # a look-ahead; either way a copy holds the very objects, at the capacity
    # plain insertion in traversal order reaches, and references balance.
    value = object()
    keys = [1, 1.0 + 2**-30, True, float("nan"), "a", StrSub("b"), "\udc80", 2**70,
            1 + HASH_MODULUS, Logged(10**6)] + list(range(2, size))
    m = map_cls()
    for k in keys:
        m[k] = value
    held = sys.getrefcount(value)
    ref = map_cls.with_options(capacity=len(m))
    for k in m:
        ref[k] = m[k]
    for copy in (m.copy(), map_cls(m), map_cls(dict(m.items()))):
        assert sorted(map(id, copy)) == sorted(map(id, ref))
        assert all(copy[k] is value for k in keys)
        copy[-1] = 0  # usable and independent
        assert -1 not in m
    assert m.copy().capacity == ref.capacity
    del copy, ref
    assert sys.getrefcount(value) == held
