"""View and iterator classes, references, membership, reprs, comparisons and
set operations."""

import collections
import sys

import pytest

import quenlor
from conftest import all_raise, instance, raiser

KINDS = ("keys", "values", "items")


def test_view_and_iterator_types(map_cls):
    fam, m = map_cls.__name__.removesuffix("HashMap").lower(), map_cls({"a": 1})
    assert type(iter(m)) is getattr(quenlor, f"_{fam.capitalize()}KeyIter")
    for kind, it_name in zip(KINDS, ("KeyIter", "ValueIter", "ItemIter")):
        view = getattr(m, kind)()
        it = iter(view)
        assert type(view) is getattr(quenlor, f"{fam}_{kind}")
        assert type(it) is getattr(quenlor, f"_{fam.capitalize()}{it_name}")
        assert iter(it) is it and type(it).__doc__ is None and not hasattr(it, "__length_hint__")
        all_raise(TypeError, lambda: type(it)(), lambda: type(it)(m), lambda: type(view)(m))
        with pytest.raises(AttributeError):
            it.attr = 1
    all_raise(TypeError, lambda: hash(m.keys()), lambda: hash(m.items()),
              lambda: reversed(m.keys()))
    vals = m.values()
    assert hash(vals) == hash(vals) and vals == vals and m.values() != m.values()  # by identity
    assert not hasattr(m.keys(), "isdisjoint")
    assert m.keys().__doc__.startswith("Live view over keys (mirrors `dict.keys()`).")
    assert m.items().__doc__.startswith(
        "Live view over `(key, value)` pairs (mirrors `dict.items()`).")
    assert m.values().__doc__ == "Live view over values (mirrors `dict.values()`)."


def test_view_membership(map_cls):
    long_tuple = type("LongTuple", (tuple,), {"__len__": lambda self: 5})
    items = map_cls({"k": 1}).items()
    assert ("k", 1.0) in items and collections.namedtuple("P", "k v")("k", 1) in items
    assert long_tuple(("k", 1)) in items  # the true element count decides
    assert not any(absent in items for absent in (["k", 1], ("k", 1, 1), ("k",), "k", 5))
    with pytest.raises(TypeError):
        ([], 1) in items
    g = instance(__eq__=raiser(ValueError), __hash__=object.__hash__)
    m = map_cls({"g": g, "later": 42})
    held = sys.getrefcount(g)
    assert ("g", g) not in m.items() and ("g", 5) not in m.items() and g not in m.values()
    assert 42 in m.values()  # a raising comparison does not stop the walk
    assert sys.getrefcount(g) == held


def test_view_reprs(map_cls):
    fam = map_cls.__name__.removesuffix("HashMap").lower()  # the view classes' prefix
    assert [repr(getattr(map_cls(), k)()) for k in KINDS] == [f"{fam}_{k}([])" for k in KINDS]
    m = map_cls({1: "a", "b": None})
    keys = list(m)
    assert repr(m.keys()) == f"{fam}_keys([{', '.join(map(repr, keys))}])"
    assert repr(m.values()) == f"{fam}_values([{', '.join(repr(m[k]) for k in keys)}])"
    assert repr(m.items()) == f"{fam}_items([{', '.join(repr((k, m[k])) for k in keys)}])"
    m = map_cls({"k": instance(__repr__=raiser(LookupError))})
    all_raise(LookupError, lambda: repr(m.values()), lambda: repr(m.items()))
    assert repr(m.keys()) == f"{fam}_keys(['k'])"
    text = repr(map_cls({"k": instance(__repr__=lambda self: "x\ud800y")}).values())
    assert text == f"{fam}_values([x\ufffd\ufffd\ufffdy])"


def test_view_equality(map_cls, other_cls):
    m = map_cls({"k1": 1, "k2": 2})
    k = m.keys()
    for other in ({"k1", "k2"}, ["k1", "k2"], ("k2", "k1"), {"k1": 0, "k2": 0},
                  other_cls({"k2": 9, "k1": 8}).keys(), m, k):
        assert k == other and not k != other
    for other in (["k1", "k1"], ["k1", "k2", "k2"], 5, iter(["k1", "k2"]), None, {"k1"}):
        assert (k == other) is False and (k != other) is True
    assert m.items() == other_cls({"k1": 1, "k2": 2}).items()
    for empty in ([], (), set(), {}, map_cls(), other_cls().keys()):
        assert map_cls().keys() == empty and map_cls().items() == empty
    # Errors while comparing count as "not equal".
    sized = instance(__len__=lambda self: 2, __contains__=raiser(OSError))
    assert not k == sized and not m.items() == sized
    assert not k == instance(__len__=raiser(OSError))
    n = map_cls({"x": float("nan")})
    assert n.keys() == n.keys() and n.items() != n.items()


def test_set_operations(map_cls):
    k1 = "".join(["k", "1"])
    m = map_cls({k1: 1, "k2": 2})
    k, i = m.keys(), m.items()
    for r in (k & {"k1"}, k - {"k2"}, k ^ {"k2"}):
        assert type(r) is set and r == {"k1"} and next(iter(r)) is k1  # the stored key object
    assert all(type(r) is set for r in (k | (), i - set(), i & i, i | []))
    assert k ^ ["k1", "k1"] == {"k2"} and k | iter(["y"]) == {"k1", "k2", "y"}
    assert k & map_cls({"k2": 0}) == {"k2"}  # a map's members are its keys
    items, keys = map_cls({"k": [1]}).items(), map_cls({"a": 1}).keys()
    assert items & [] == set()  # nothing is hashed
    all_raise(
        TypeError,
        lambda: items - set(),  # hashing ('k', [1]) for the set's membership test
        lambda: items - [],  # adding ('k', [1]) to the result
        lambda: items & [("k", [1])], lambda: keys | [[]],
        lambda: keys ^ [[]],  # unhashable in the second pass
        lambda: keys - 5, lambda: keys | 5, lambda: items ^ set(), lambda: items ^ items,
        # The view must be the left operand; values views have no set operations.
        lambda: {"a"} & keys, lambda: [1] | keys, lambda: {"a"} - keys, lambda: set() | items,
        lambda: map_cls().values() | {1},
        # Ordering is not defined, and set does not accept a view either.
        lambda: keys <= {"a", "b"}, lambda: keys < keys, lambda: items > set(),
    )
    boom = instance(__contains__=raiser(OSError), __iter__=raiser(OSError))
    all_raise(OSError, lambda: keys - boom, lambda: keys & boom, lambda: keys | boom,
              lambda: keys ^ boom)
