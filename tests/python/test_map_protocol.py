"""Module surface, type properties and the core item protocol of both maps."""

import collections.abc
import weakref

import pytest

import quenlor
from conftest import (
    all_raise,
    HASH_MODULUS,
    CountingHash,
    HookKey,
    RaisingEq,
    StrSub,
    iterator_valid,
    panic_class,
    raises_panic,
)

ALL_NAMES = [
    "ElasticHashMap",
    "FunnelHashMap",
    "elastic_keys",
    "elastic_values",
    "elastic_items",
    "_ElasticKeyIter",
    "_ElasticValueIter",
    "_ElasticItemIter",
    "funnel_keys",
    "funnel_values",
    "funnel_items",
    "_FunnelKeyIter",
    "_FunnelValueIter",
    "_FunnelItemIter",
]

Py_TPFLAGS_MAPPING = 1 << 6


# --------------------------------------------------------------------------
# Module and types


def test_module_surface():
    assert quenlor.__all__ == ALL_NAMES
    assert quenlor.__doc__ == ""
    own = {n for n in vars(quenlor) if not (n.startswith("__") and n.endswith("__"))}
    assert own == set(ALL_NAMES)
    for name in ALL_NAMES:
        cls = getattr(quenlor, name)
        assert isinstance(cls, type)
        assert cls.__module__ == "quenlor"
        assert cls.__qualname__ == name
        assert cls.__bases__ == (object,)


@pytest.mark.parametrize("name", ALL_NAMES)
def test_no_class_is_subclassable(name):
    with pytest.raises(TypeError):
        type("Sub", (getattr(quenlor, name),), {})


def test_map_type_properties(map_cls):
    m = map_cls()
    assert len(m) == 0 and not m
    all_raise(TypeError, lambda: hash(m), lambda: weakref.ref(m))
    with pytest.raises(AttributeError):
        m.extra = 1
    assert not map_cls.__flags__ & Py_TPFLAGS_MAPPING
    assert not isinstance(m, collections.abc.Mapping)
    assert not hasattr(m, "__reversed__")
    assert map_cls.__text_signature__ == "(other=None, *, capacity=0, **kwargs)"
    assert map_cls.__doc__ and "--" not in map_cls.__doc__
    signatures = {
        "get": "($self, key, default=None)",
        "pop": "($self, key, default=None)",
        "setdefault": "($self, key, default=None)",
        "popitem": "($self)", "clear": "($self)", "copy": "($self)",
        "keys": "($self)", "values": "($self)", "items": "($self)",
        "update": "($self, other=None, **kwargs)",
        "fromkeys": "($cls, iterable, value=None)",
        "__class_getitem__": "($cls, item)",
    }
    for name, signature in signatures.items():
        assert getattr(map_cls, name).__text_signature__ == signature, name
    assert map_cls.update.__doc__ == (
        "Mirror of `dict.update`. Branches in priority order: same-type,\n"
        "`PyDict`, mapping with `keys()`, then `(k, v)` iterable. Reserves\n"
        "up front when length is known. `bump()` only on actual inserts —\n"
        "empty `update()` keeps iterators valid."
    )


def test_panic_exception_class():
    cls = panic_class()
    assert cls.__bases__ == (BaseException,)
    assert not issubclass(cls, Exception)
    assert cls.__module__ == "pyo3_runtime"
    assert cls.__qualname__ == "PanicException"
    assert cls.__doc__
    assert panic_class() is cls  # created once, reused
    assert not hasattr(quenlor, "PanicException")


# --------------------------------------------------------------------------
# len / getitem / setitem / contains / delitem


def test_replacing_keeps_first_key_object(map_cls):
    first = "".join(["ke", "y"])
    second = "".join(["k", "ey"])
    assert first == second and first is not second
    m = map_cls()
    m[first] = 1
    it = iter(m)
    m[second] = 2
    assert not iterator_valid(it)  # replacing a value is a modification
    assert len(m) == 1 and m[first] == 2
    assert next(iter(m)) is first


@pytest.mark.parametrize(
    "key, args",
    [((1, 2), (1, 2)), (None, ()), ("x", ("x",)), ((), ()), (((1,),), ((1,),))],
)
def test_keyerror_args(map_cls, key, args):
    m = map_cls({"present": 0})
    with pytest.raises(KeyError) as info:
        m[key]
    assert info.value.args == args
    with pytest.raises(KeyError) as info:
        del m[key]
    assert info.value.args == args


def test_numeric_keys_compare_by_value(map_cls):
    m = map_cls()
    m[1] = "x"
    assert m[1.0] == "x" and m[True] == "x" and 1.0 in m and True in m
    m[1.0] = "y"
    assert len(m) == 1 and type(next(iter(m))) is int
    # hash(-1) == hash(-2) in CPython, yet the keys differ.
    m[-1] = "a"
    m[-2] = "b"
    assert m[-1] == "a" and m[-2] == "b" and len(m) == 3
    big = [5 + i * HASH_MODULUS for i in range(1, 5)]
    for i, k in enumerate(big):
        m[k] = i
    assert [m[k] for k in big] == [0, 1, 2, 3]
    assert 5 not in m and -big[1] not in m
    nan = float("nan")
    m[nan] = 1
    assert m[nan] == 1 and nan in m and float("nan") not in m  # identity first


class BadHash:
    def __hash__(self):
        raise ZeroDivisionError("boom")


@pytest.mark.parametrize(
    "key, exc", [([1], TypeError), ({}, TypeError), (bytearray(b"x"), TypeError),
                 (BadHash(), ZeroDivisionError)]
)
def test_hashing_failures_change_nothing(map_cls, key, exc):
    m = map_cls({"a": 1})
    it = iter(m)
    for op in (m.__getitem__, m.__contains__, m.__delitem__, lambda k: m.__setitem__(k, 2),
               m.get, m.pop, m.setdefault):
        with pytest.raises(exc):
            op(key)
    assert m == {"a": 1}
    assert iterator_valid(it)


def test_raising_eq_counts_as_not_equal(map_cls):
    a, b = RaisingEq(), RaisingEq()
    m = map_cls()
    m[a] = 1
    assert m[a] == 1  # identity: __eq__ never runs
    with pytest.raises(KeyError):
        m[b]
    assert b not in m
    assert m.get(b) is None
    m[b] = 2  # compares unequal, so a second entry appears
    assert len(m) == 2 and m[a] == 1 and m[b] == 2
    del m[a]
    assert len(m) == 1 and m[b] == 2


def test_str_keys_and_str_subclass(map_cls):
    m = map_cls()
    m["abc"] = 1
    assert m["".join(["a", "bc"])] == 1
    StrSub.eq_calls = 0
    assert m[StrSub("abc")] == 1
    assert StrSub.eq_calls >= 1  # a subclass instance is compared with __eq__
    m[StrSub("abc")] = 2
    assert len(m) == 1 and type(next(iter(m))) is str
    m[StrSub("new")] = 3
    assert m["new"] == 3 and type(next(k for k in m if k == "new")) is StrSub


def test_str_keys_with_lone_surrogates(map_cls):
    k1 = "".join(["\ud800", "x"])
    k2 = "".join(["\ud800", "x"])
    assert k1 is not k2
    m = map_cls()
    m[k1] = 1
    assert m[k2] == 1 and k2 in m
    m[k2] = 2
    assert len(m) == 1 and m[k1] == 2
    assert "".join(["\ud800", "y"]) not in m


def test_growth_never_rehashes_keys(map_cls):
    keys = [CountingHash(i) for i in range(10)]
    m = map_cls()
    for k in keys:
        m[k] = None
    assert all(k.hash_calls == 1 for k in keys)
    for i in range(2000):  # several rebuilds
        m[i + 1000] = i
    for i in range(1000, 2500):
        del m[i]  # removals and purges
    assert all(k.hash_calls == 1 for k in keys)
    assert all(k in m for k in [CountingHash(i) for i in range(10)])


# --------------------------------------------------------------------------
# Re-entrant use from a key's __hash__ / __eq__


@pytest.mark.parametrize(
    "op",
    [
        lambda m, k: m.__setitem__(k, 1),
        lambda m, k: m.__delitem__(k),
        lambda m, k: m.pop(k, 0),
        lambda m, k: m.setdefault(k),
        lambda m, k: m.update([(k, 1)]),
    ],
    ids=["setitem", "delitem", "pop", "setdefault", "update"],
)
@pytest.mark.parametrize(
    "reader, message",
    [
        (lambda m: len(m), "Already mutably borrowed"),
        (lambda m: m["a"], "Already mutably borrowed"),
        (lambda m: "a" in m, "Already mutably borrowed"),
        (lambda m: m.get("a"), "Already mutably borrowed"),
        (lambda m: m.copy(), "Already mutably borrowed"),
        (lambda m: repr(m), "Already mutably borrowed"),
        (lambda m: m.capacity, "Already mutably borrowed"),
        (lambda m: m.__setitem__("z", 0), "Already borrowed"),
        (lambda m: m.clear(), "Already borrowed"),
        (lambda m: m.popitem(), "Already borrowed"),
        (lambda m: m.update(), "Already borrowed"),
    ],
)
def test_reentrant_use_inside_mutation(map_cls, op, reader, message):
    m = map_cls({"a": 1})
    key = HookKey(on_hash=lambda: reader(m))
    it = iter(m)
    with pytest.raises(RuntimeError) as info:
        op(m, key)
    assert type(info.value) is RuntimeError and str(info.value) == message
    assert m == {"a": 1} and iterator_valid(it)
    m["b"] = 2  # the borrow was given back
    assert len(m) == 2


@pytest.mark.parametrize(
    "op",
    [
        lambda m, k: m[k],
        lambda m, k: k in m,
        lambda m, k: m.get(k),
    ],
    ids=["getitem", "contains", "get"],
)
def test_mutation_inside_read_is_refused(map_cls, op):
    m = map_cls({"a": 1})
    reads = []
    key = HookKey(on_hash=lambda: (reads.append(len(m)), m.__setitem__("z", 0)))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        op(m, key)
    assert reads == [1]  # reading while shared-borrowed is fine
    assert m == {"a": 1}


def test_reentrant_eq_is_refused_and_swallowed(map_cls):
    """__eq__ runs under the map's borrow; its own errors never escape."""
    m = map_cls()
    stored = HookKey(h=5, swallow=True)
    m[stored] = "v"
    stored.on_eq = lambda: m.__setitem__("z", 0)
    with pytest.raises(KeyError):
        m[HookKey(h=5)]
    assert {str(e) for e in stored.errors} == {"Already borrowed"}
    stored.errors.clear()
    stored.on_eq = lambda: len(m)
    m[HookKey(h=5)] = "w"
    assert {str(e) for e in stored.errors} == {"Already mutably borrowed"}
    assert len(m) == 2 and "z" not in m


def test_ior_under_shared_borrow_falls_back_to_or(map_cls):
    m = map_cls({"a": 1})
    seen = []

    def merge():
        r = m
        r |= {"b": 2}
        seen.append(r)

    with pytest.raises(KeyError):
        m[HookKey(on_hash=merge)]
    (r,) = seen
    assert r is not m and type(r) is map_cls and r == {"a": 1, "b": 2}
    assert m == {"a": 1}


def test_equality_with_exclusively_held_self(map_cls):
    m = map_cls()
    results = []
    m[HookKey(on_hash=lambda: results.append(m == {}))] = 1
    # The refused borrow makes m.__eq__ decline; dict declines too: identity.
    assert results == [False]
    assert len(m) == 1


@pytest.mark.parametrize(
    "op",
    [
        lambda m: iter(m),
        lambda m: len(m.keys()),
        lambda m: list(m.values()),
        lambda m: ("a", 1) in m.items(),
        lambda m: m.keys() == {"a"},
        lambda m: m.keys() - set(),
        lambda m: type(m)({"a": 1}) == m,
        lambda m: type(m)().update(m),
    ],
    ids=["iter", "view-len", "view-iter", "items-in", "view-eq", "view-sub", "map-eq", "update-from"],
)
def test_borrow_conflicts_that_are_fatal(map_cls, op):
    m = map_cls({"a": 1})
    views = m.keys(), m.values(), m.items()  # creating views takes no borrow
    key = HookKey(on_hash=lambda: op(m))
    with raises_panic("Already mutably borrowed: PyBorrowError"):
        m[key] = 2
    assert m == {"a": 1}
    assert [len(v) for v in views] == [1, 1, 1]
    m["b"] = 2
    assert len(m) == 2


def test_view_creation_inside_mutation_succeeds(map_cls):
    m = map_cls({"a": 1})
    made = []
    m[HookKey(on_hash=lambda: made.extend([m.keys(), m.values(), m.items()]))] = 2
    assert [len(v) for v in made] == [2, 2, 2]
