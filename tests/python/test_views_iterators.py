"""Snapshot iterators, live views, and the views' set operations."""

import collections
import weakref

import pytest

import quenlor
from conftest import CHANGED, RaisingEq, all_raise, family

KINDS = ("keys", "values", "items")
ITER_CLASS = {"keys": "KeyIter", "values": "ValueIter", "items": "ItemIter"}


def make_iter(m, kind):
    return iter(getattr(m, kind)())


# --------------------------------------------------------------------------
# Iterator classes


def test_iterator_and_view_classes(map_cls):
    fam = family(map_cls)
    prefix = "_" + fam.capitalize()
    m = map_cls({"a": 1})
    assert type(iter(m)) is getattr(quenlor, prefix + "KeyIter")
    for kind in KINDS:
        view = getattr(m, kind)()
        assert type(view) is getattr(quenlor, f"{fam}_{kind}")
        it = iter(view)
        assert type(it) is getattr(quenlor, prefix + ITER_CLASS[kind])
        assert iter(it) is it
        assert type(it).__doc__ is None
        assert not hasattr(it, "__length_hint__")
        all_raise(TypeError, lambda: type(it)(), lambda: type(it)(m), lambda: type(view)(m))
        with pytest.raises(AttributeError):
            it.attr = 1
        empty = iter(getattr(map_cls(), kind)())
        assert list(empty) == [] and list(empty) == []


# --------------------------------------------------------------------------
# Invalidation


MUTATIONS = {
    "insert": lambda m: m.__setitem__("new", 0),
    "replace-same-value": lambda m: m.__setitem__("a", m["a"]),
    "delete-reinsert": lambda m: (m.__delitem__("a"), m.__setitem__("a", 1)),
    "pop": lambda m: m.pop("a"),
    "popitem": lambda m: m.popitem(),
    "setdefault-new": lambda m: m.setdefault("new"),
    "clear": lambda m: m.clear(),
    "update": lambda m: m.update(a=1),
    "ior": lambda m: m.__ior__([("a", 1)]),
}

READS = {
    "lookups": lambda m: (m.get("a"), m["a"], "zz" in m, len(m), repr(m), m.capacity),
    "copy-eq-or": lambda m: (m.copy(), m == {"a": 1}, m | {"x": 1}),
    "views": lambda m: (list(m.keys()), "a" in m.keys(), ("a", 1) in m.items(), 1 in m.values(),
                        repr(m.items()), m.keys() & {"a"}, m.items() == m.items()),
    "new-iterators": lambda m: (iter(m), list(m)),
    "missing-del": lambda m: pytest.raises(KeyError, m.__delitem__, "zz"),
    "missing-pop": lambda m: (m.pop("zz", 0), m.pop("zz", None)),
    "present-setdefault": lambda m: m.setdefault("a", 7),
    "empty-update": lambda m: (m.update(), m.update({}), m.update([])),
    "unhashable-set": lambda m: pytest.raises(TypeError, m.__setitem__, [], 1),
}


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("mutation", list(MUTATIONS), ids=list(MUTATIONS))
def test_modification_invalidates(map_cls, kind, mutation):
    m = map_cls({"a": 1, "b": 2})
    it = make_iter(m, kind)
    next(it)
    MUTATIONS[mutation](m)
    for _ in range(3):  # stays invalid
        with pytest.raises(RuntimeError, match=f"^{CHANGED}$"):
            next(it)


@pytest.mark.parametrize("read", list(READS), ids=list(READS))
def test_reads_keep_iterators_valid(map_cls, read):
    m = map_cls({"a": 1, "b": 2})
    its = [make_iter(m, kind) for kind in KINDS]
    READS[read](m)
    assert [len(list(it)) for it in its] == [2, 2, 2]


def test_exhausted_then_modified(map_cls):
    m = map_cls({"a": 1})
    it = iter(m)
    assert list(it) == ["a"]
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)
    m["b"] = 2
    for _ in range(2):
        with pytest.raises(RuntimeError, match=f"^{CHANGED}$"):
            next(it)


def test_snapshot_contents(map_cls):
    k = "".join(["the", "key"])
    v = ["value"]
    m = map_cls()
    m[k] = v
    assert next(iter(m)) is k
    assert next(iter(m.keys())) is k
    assert next(iter(m.values())) is v
    t1, t2 = next(iter(m.items())), next(iter(m.items()))
    assert type(t1) is tuple and t1 == (k, v) and t1[0] is k and t1[1] is v
    assert t1 == t2 and t1 is not t2


def test_iterator_keeps_map_and_elements_alive(map_cls):
    class Obj:
        pass

    it = iter(map_cls({"a": 1, "b": 2}).items())
    assert sorted(it) == [("a", 1), ("b", 2)]

    value = Obj()
    ref = weakref.ref(value)
    m = map_cls({"x": value})
    vit = iter(m.values())
    del value, m
    assert ref() is not None
    assert next(vit) is ref()
    del vit
    assert ref() is None


# --------------------------------------------------------------------------
# Views: liveness, length, truth, hashing


def test_views_are_live(map_cls):
    m = map_cls()
    views = [m.keys(), m.values(), m.items()]
    assert not any(views) and [len(v) for v in views] == [0, 0, 0]
    m["a"] = 1
    assert "a" in views[0] and 1 in views[1] and ("a", 1) in views[2]
    for i in range(1000):  # through several rebuilds
        m[i] = i
    for i in range(0, 1000, 2):
        del m[i]
    assert all(v and len(v) == len(m) == 501 for v in views)
    assert set(views[0]) == {"a"} | set(range(1, 1000, 2))
    m.clear()
    assert [len(v) for v in views] == [0, 0, 0] and list(views[2]) == []
    v = map_cls({"a": 1}).items()  # the view keeps its map alive
    assert list(v) == [("a", 1)]


def test_view_hashing_and_identity(map_cls):
    m = map_cls({"a": 1})
    all_raise(TypeError, lambda: hash(m.keys()), lambda: hash(m.items()),
              lambda: reversed(m.keys()))
    hash(m.values())
    vals = m.values()
    assert vals == vals and m.values() != m.values()  # identity comparison
    assert not hasattr(m.keys(), "isdisjoint")


def test_view_docstrings(map_cls):
    m = map_cls()
    assert m.keys().__doc__.startswith("Live view over keys (mirrors `dict.keys()`).")
    assert m.items().__doc__.startswith(
        "Live view over `(key, value)` pairs (mirrors `dict.items()`)."
    )
    assert m.values().__doc__ == "Live view over values (mirrors `dict.values()`)."


# --------------------------------------------------------------------------
# Views: membership


def test_key_view_membership(map_cls):
    m = map_cls({1: "one", "s": 2})
    k = m.keys()
    assert 1 in k and 1.0 in k and True in k and "s" in k
    assert 2 not in k and None not in k
    with pytest.raises(TypeError):
        [] in k
    a, b = RaisingEq(), RaisingEq()
    m[a] = 0
    assert a in k and b not in k


def test_item_view_membership(map_cls):
    Pair = collections.namedtuple("Pair", "k v")

    class LongTuple(tuple):
        def __len__(self):
            return 5

    m = map_cls({"k": 1, "n": None})
    items = m.items()
    assert ("k", 1) in items and ("k", 1.0) in items and ("n", None) in items
    assert ("k", 2) not in items and ("zz", 1) not in items
    assert ["k", 1] not in items
    assert ("k", 1, 1) not in items and ("k",) not in items and "k" not in items
    assert 5 not in items
    assert Pair("k", 1) in items
    assert LongTuple(("k", 1)) in items  # the true element count decides
    with pytest.raises(TypeError):
        ([], 1) in items


def test_nan_and_raising_values(map_cls):
    class Grumpy:
        def __eq__(self, other):
            raise ValueError("no")

        __hash__ = object.__hash__

    nan = float("nan")
    g = Grumpy()
    m = map_cls({"n": nan, "g": g})
    assert ("n", nan) not in m.items()
    assert nan not in m.values()
    assert ("g", g) not in m.items()
    assert ("g", 5) not in m.items()
    m["later"] = 42
    assert 42 in m.values()  # a raising comparison does not stop the walk
    assert g not in m.values()


# --------------------------------------------------------------------------
# Views: repr


def test_view_reprs(map_cls):
    fam = family(map_cls)
    m = map_cls()
    for kind in KINDS:
        assert repr(getattr(m, kind)()) == f"{fam}_{kind}([])"
    m[1] = "a"
    assert repr(m.keys()) == f"{fam}_keys([1])"
    assert repr(m.values()) == f"{fam}_values(['a'])"
    assert repr(m.items()) == f"{fam}_items([(1, 'a')])"
    m["b"] = None
    keys = list(m)
    assert repr(m.keys()) == f"{fam}_keys([{', '.join(map(repr, keys))}])"
    assert repr(m.items()) == (
        f"{fam}_items([{', '.join(f'({k!r}, {m[k]!r})' for k in keys)}])"
    )


def test_view_repr_errors_and_odd_text(map_cls):
    class BadRepr:
        def __repr__(self):
            raise LookupError("repr failed")

    class Surrogate:
        def __repr__(self):
            return "x\ud800y"

    m = map_cls({"k": BadRepr()})
    with pytest.raises(LookupError):
        repr(m.values())
    with pytest.raises(LookupError):
        repr(m.items())
    assert repr(m.keys()).endswith("(['k'])")
    m = map_cls({"k": Surrogate()})
    text = repr(m.values())
    assert text.startswith(f"{family(map_cls)}_values([x") and text.endswith("y])")
    assert "\ud800" not in text and "\ufffd" in text
    text.encode("utf-8")  # a well-formed string


# --------------------------------------------------------------------------
# Set operations and comparisons


def test_view_equality(map_cls, other_cls):
    m = map_cls({"k1": 1, "k2": 2})
    k = m.keys()
    for other in ({"k1", "k2"}, frozenset({"k1", "k2"}), ["k1", "k2"], ("k2", "k1"),
                  {"k1": 0, "k2": 0}, other_cls({"k2": 9, "k1": 8}).keys(), m, k):
        assert k == other and not k != other
    for other in (["k1", "k1"], ["k1", "k2", "k2"], 5, iter(["k1", "k2"]), None, {"k1"}):
        assert (k == other) is False and (k != other) is True
    assert m.items() == {("k1", 1), ("k2", 2)}
    assert m.items() == other_cls({"k1": 1, "k2": 2}).items()
    assert m.items() != {("k1", 1), ("k2", 3)}
    assert map_cls().keys() == [] and map_cls().items() == set()


def test_view_equality_swallows_errors(map_cls):
    class Sized:
        def __len__(self):
            return 1

        def __contains__(self, x):
            raise OSError("contains")

    class BadLen:
        def __len__(self):
            raise OSError("len")

    m = map_cls({"k": 1})
    assert not m.keys() == Sized() and not m.items() == Sized() and not m.keys() == BadLen()
    n = map_cls({"x": float("nan")})
    assert n.keys() == n.keys() and n.items() != n.items()


def test_key_view_set_operations(map_cls):
    k1 = "".join(["k", "1"])
    m = map_cls()
    m[k1] = 1
    m["k2"] = 2
    k = m.keys()

    r = k & {"k1"}
    assert type(r) is set and r == {"k1"} and next(iter(r)) is k1
    assert k & ["k2", "zz"] == {"k2"}
    assert k - {"k1"} == {"k2"} and type(k - {"k1"}) is set
    assert k - [] == {"k1", "k2"}
    assert k | ["x"] == {"k1", "k2", "x"}
    assert k | iter(["y"]) == {"k1", "k2", "y"}
    assert k ^ {"k1", "z"} == {"k2", "z"}
    assert k ^ ["k1", "k1"] == {"k2"}
    assert k ^ m.keys() == set()
    assert k & map_cls({"k2": 0}) == {"k2"}  # membership of a map is by key
    r.add("mutable")


def test_item_view_set_operations(map_cls):
    m = map_cls({"a": 1, "b": 2})
    it = m.items()
    assert it & {("a", 1), ("b", 3)} == {("a", 1)}
    assert it - {("a", 1)} == {("b", 2)}
    assert it | [("c", 3)] == {("a", 1), ("b", 2), ("c", 3)}
    assert type(it - set()) is set


def test_set_operation_errors(map_cls):
    items = map_cls({"k": [1]}).items()
    keys = map_cls({"a": 1}).keys()

    class Boom:
        def __contains__(self, x):
            raise OSError("boom")

        def __iter__(self):
            raise OSError("iter")

    assert items & [] == set()  # nothing is hashed
    all_raise(
        TypeError,
        lambda: items - set(),  # hashing ('k', [1]) for the set's membership test
        lambda: items - [],  # adding ('k', [1]) to the result
        lambda: items & [("k", [1])],
        lambda: keys | [[]],
        lambda: keys ^ [[]],  # unhashable in the second pass
        lambda: keys - 5,
        lambda: keys | 5,
        lambda: items ^ set(),  # no ^ on item views
        lambda: items ^ items,
        # The view must be the left operand; values views have no set operations.
        lambda: {"a"} & keys,
        lambda: [1] | keys,
        lambda: {"a"} - keys,
        lambda: set() | items,
        lambda: map_cls().values() | {1},
        # Ordering is not defined, and set does not accept a view either.
        lambda: keys <= {"a", "b"},
        lambda: keys < keys,
        lambda: items > set(),
        lambda: items >= [],
    )
    all_raise(OSError, lambda: keys - Boom(), lambda: keys & Boom(), lambda: keys | Boom(),
              lambda: keys ^ Boom())


def test_in_place_forms_rebind(map_cls):
    m = map_cls({"k1": 1, "k2": 2})
    v = m.keys()
    v -= {"k1"}
    assert v == {"k2"} and type(v) is set
    w = m.items()
    w &= {("k2", 2)}
    assert w == {("k2", 2)} and m == {"k1": 1, "k2": 2}


def test_empty_map_set_operations(map_cls):
    m = map_cls()
    k, it = m.keys(), m.items()
    assert k - set() == set() and k & set() == set() and k ^ set() == set()
    assert k | [] == set() and it - [] == set() and it | [] == set()
    for empty in ([], (), set(), {}, frozenset(), map_cls(), map_cls().keys()):
        assert k == empty and it == empty
