"""Key equality as the maps see it: an ordinary error from __eq__ (or from the
truth of its result) reads as "not equal", a stop request ends the operation
with the map as it was, and the fast paths of equality give exactly the plain
walk's answer."""

import random
import types

import pytest

from conftest import HASH_MODULUS, instance, iterator_valid, keys_mapping, raiser


class Tripwire:
    """Keys and values of one hash. Once ``armed`` with (exception, where),
    comparing one raises from ``__eq__`` or from the truth of its result."""

    armed = None

    def __init__(self, tag):
        self.tag = tag

    def __hash__(self):
        return 7

    def __eq__(self, other):
        if Tripwire.armed is None:
            return isinstance(other, Tripwire) and self.tag == other.tag
        exc, where = Tripwire.armed
        if where == "eq":
            raise exc("from __eq__")
        return instance(__bool__=raiser(exc("from __bool__")))


@pytest.fixture
def tripwire():
    yield Tripwire
    Tripwire.armed = None


def filled(map_cls):
    """A map holding `a` and `c`, two Tripwires that are their own values, among ints."""
    m, a, c = map_cls(), Tripwire("a"), Tripwire("c")
    m[a] = a
    m.update((i, i) for i in range(100, 140))
    m[c] = c
    return m, a


# Each meets a comparison of `a` (or `c`, which shares its hash) with `b`;
# `d` and the others hold the map's entries with `b` in place of `a`.
OPERATIONS = [
    "m.__setitem__(b, 1)", "m[b]", "b in m", "m.get(b)", "m.__delitem__(b)", "m.pop(b, None)",
    "m.setdefault(b, 1)", "m.update([(b, 1)])", "m.update({b: 1})", "m.update(twin)",
    "m.__ior__({b: 1})", "m | twin", "m.copy()", "m == d", "m != d", "m == twin",
    "m == mapping", "b in m.keys()", "(b, 1) in m.items()", "b in m.values()",
    "m.keys() == keys", "m.items() == items", "m.keys() ^ [b]",
]


@pytest.mark.parametrize("op", OPERATIONS)
@pytest.mark.parametrize("stop, where", [(KeyboardInterrupt, "eq"), (SystemExit, "bool")])
def test_stop_request_from_eq_ends_the_operation_leaving_the_map_as_it_was(
        map_cls, stop, where, op, tripwire):
    m, a = filled(map_cls)
    b = Tripwire("b")
    d = {(b if k is a else k): v for k, v in m.items()}
    names = {"m": m, "b": b, "d": d, "twin": map_cls(d), "keys": set(d), "items": set(d.items()),
             "mapping": keys_mapping(d, __len__=lambda s: len(d))}
    before = {id(k): v for k, v in m.items()}
    it = iter(m)
    tripwire.armed = stop, where
    with pytest.raises(stop, match=f"from __{where}__"):
        eval(op, names)
    tripwire.armed = None
    # The same key and value objects (an update may have grown the table
    # first, which can change the order).
    after = {id(k): v for k, v in m.items()}
    assert after.keys() == before.keys() and all(after[k] is before[k] for k in before)
    assert iterator_valid(it)


@pytest.mark.parametrize("where", ["eq", "bool"])
def test_other_errors_from_eq_count_as_not_equal(map_cls, where, tripwire):
    m, a = filled(map_cls)
    b = Tripwire("a")  # would be equal if __eq__ got to answer
    d = {(b if k is a else k): v for k, v in m.items()}
    twin, keys = map_cls(d), set(d)
    tripwire.armed = ValueError, where
    assert b not in m and m.get(b) is None and b not in m.values()
    assert m != d and m != twin and m.keys() != keys
    m[b] = "second"
    assert m[a] is a and m[b] == "second"  # each found by identity
    # Copies compare the keys that share a hash: each is kept as its own.
    for c in (m.copy(), map_cls(m), map_cls({-1: 1}) | m):
        c.pop(-1, None)
        assert len(c) == len(m) == 43 and all(c[k] is v for k, v in m.items())


def test_only_exact_strs_are_compared_by_their_bytes(map_cls):
    # The model finds this too, but only when it happens to store the exact
    # str first; a str subclass's own __eq__ must decide against a stored str.
    folded = type("Folded", (str,), {"__eq__": lambda s, o: s.lower() == o.lower(),
                                     "__hash__": lambda s: hash(s.lower())})
    m = map_cls({"a": 1})
    assert folded("A") in m and m[folded("A")] == 1 and m.pop(folded("A")) == 1 and not m


class Collider:
    """Keys that all hash alike and are equal to themselves only; counts the
    __eq__ calls."""

    calls = 0

    def __hash__(self):
        return 42

    def __eq__(self, other):
        Collider.calls += 1
        return self is other


@pytest.mark.parametrize("op", ["m[k]", "k in m", "m.get(k)", "m.setdefault(k, 0)",
                                "m.__setitem__(k, 0)", "m.pop(k)", "m.__delitem__(k)"])
def test_keys_of_one_hash_meet_eq_once_each(map_cls, op):
    # Keys of one hash lie along one probe sequence in the order they came. A
    # search compares each key before its own once, as dict does: the search
    # loop leaves them undecided, the full comparison decides, and the search
    # goes on past them without asking again.
    keys = [Collider() for _ in range(6)]
    for i, k in enumerate([*keys, Collider()]):
        m = map_cls.with_options(capacity=64)
        m.update((key, None) for key in keys)
        Collider.calls = 0
        try:
            eval(op)
        except KeyError:
            assert i == len(keys)  # the key no stored one equals
        # setdefault of a missing key searches twice: its lookup, then the insertion.
        searches = 2 if i == len(keys) and op.startswith("m.setdefault") else 1
        assert Collider.calls == min(i, len(keys)) * searches, (op, i)


# ----------------------------------------------------------------------------
# Equality of a map past the cache-sized threshold with a dict walks the dict,
# and with a map of its class walks with a look-ahead: both must answer as the
# plain walk does, with the same __eq__ calls in the same order.

LARGE = 20_000
StrSub = type("StrSub", (str,), {})


class Logged:
    """Equal to ints of its value, hashing like them; logs every __eq__ call,
    then raises ``exc`` when given one."""

    log = []

    def __init__(self, v, exc=None):
        self.v, self.exc = v, exc

    def __hash__(self):
        return hash(self.v)

    def __eq__(self, other):
        Logged.log.append((self.v, other if isinstance(other, (int, float, str)) else "other"))
        if self.exc:
            raise self.exc
        return other == self.v


def _plain_outcome(thunk):
    Logged.log = []
    try:
        result = thunk()
    except BaseException as e:  # noqa: B036 - the exception type is the outcome
        result = type(e)
    return result, Logged.log


def _variants():
    """(map contents, dict contents) pairs with awkward keys and values."""
    keys = random.Random(1).sample(range(2**62), LARGE)
    base, nan, some = dict.fromkeys(keys, 1), float("nan"), keys[len(keys) // 3]
    # Equal keys and values that are other objects, in every entry or every
    # third one, the last with one value that differs.
    own = {k: 2**80 + k for k in keys}
    yield own, {int(str(k)): int(str(v)) for k, v in own.items()}
    yield own, {(int(str(k)) if k % 3 else k): (v + 1 if k == some else v) for k, v in own.items()}
    yield base, {**{k: v for k, v in base.items() if k != some}, -5: 1}  # one key differs
    yield {**base, Logged(7): 1, 7 + HASH_MODULUS: 2}, {**base, 7: 1, 7 + HASH_MODULUS: 2}
    yield {**base, float("nan"): 1}, {**base, float("nan"): 1}  # distinct NaN keys
    stop = KeyboardInterrupt
    for mine, theirs in [(1, 1.0), (True, 1), (1, True), ("k", StrSub("k")), (StrSub("k"), "k"),
                         ("\ud800", "\ud800"), (nan, nan), (Logged(7), 7), (7, Logged(7)),
                         (Logged(8, ValueError), 8), (Logged(10, stop), 10)]:
        yield {**base, mine: "a"}, {**base, theirs: "a"}  # keys
    for mine, theirs in [(1, 1), (1, 2), (nan, nan), (1.0, True), (b"x", "x"), ((1,), (1,)),
                         (Logged(9, stop), 9), (9, Logged(9, stop))]:
        yield {**base, some: mine}, {**base, some: theirs}  # values


def test_equality_of_large_maps_matches_the_plain_walk(map_cls):
    for mine, theirs in _variants():
        m = map_cls(mine)
        assert m.capacity >= 2**14
        # Through a mapping proxy: the plain walk, looking each key up in the dict.
        expected = _plain_outcome(lambda: m == types.MappingProxyType(theirs))
        assert _plain_outcome(lambda: m == theirs) == expected
        if expected[0] is not KeyboardInterrupt:
            assert (m != theirs) is (not expected[0])
            # A dict subclass is walked through its dict storage.
            odd = type("Odd", (dict,), {"__getitem__": lambda self, k: "not what is stored"})
            assert (m == odd(theirs)) is expected[0]
        assert _plain_outcome(lambda: m == map_cls(theirs))[0] is expected[0]
