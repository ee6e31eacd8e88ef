"""Module surface, type properties, the item protocol and the borrow rules."""

import weakref

import pytest

import quenlor
from conftest import (CountingHash, HookKey, all_raise, instance, iterator_valid, raiser,
                      raises_panic)

ALL_NAMES = [
    "ElasticHashMap", "FunnelHashMap", "elastic_keys", "elastic_values", "elastic_items",
    "_ElasticKeyIter", "_ElasticValueIter", "_ElasticItemIter", "funnel_keys", "funnel_values",
    "funnel_items", "_FunnelKeyIter", "_FunnelValueIter", "_FunnelItemIter",
]
SIGNATURES = {
    **dict.fromkeys(["get", "pop", "setdefault"], "($self, key, default=None)"),
    **dict.fromkeys(["popitem", "clear", "copy", "keys", "values", "items"], "($self)"),
    "update": "($self, other=None, **kwargs)", "fromkeys": "($cls, iterable, value=None)",
    "__class_getitem__": "($cls, item)",
}


def test_module_surface():
    assert quenlor.__all__ == ALL_NAMES and quenlor.__doc__ == ""
    public = {n for n in vars(quenlor) if not (n.startswith("__") and n.endswith("__"))}
    assert public == set(ALL_NAMES)
    for name in ALL_NAMES:
        cls = getattr(quenlor, name)
        assert (cls.__module__, cls.__qualname__, cls.__bases__) == ("quenlor", name, (object,))
        all_raise(TypeError, lambda: type("Sub", (cls,), {}))  # not subclassable


def test_map_type_properties(map_cls):
    m = map_cls()
    all_raise(TypeError, lambda: hash(m), lambda: weakref.ref(m))
    with pytest.raises(AttributeError):
        m.extra = 1
    assert not map_cls.__flags__ & (1 << 6)  # Py_TPFLAGS_MAPPING
    assert not hasattr(m, "__reversed__")
    assert map_cls.__text_signature__ == "(other=None, *, capacity=0, **kwargs)"
    assert map_cls.__doc__ and "--" not in map_cls.__doc__
    for name, signature in SIGNATURES.items():
        assert getattr(map_cls, name).__text_signature__ == signature, name
    assert map_cls.update.__doc__ == (
        "Mirror of `dict.update`. Branches in priority order: same-type,\n"
        "`PyDict`, mapping with `keys()`, then `(k, v)` iterable. Reserves\n"
        "up front when length is known. `bump()` only on actual inserts —\n"
        "empty `update()` keeps iterators valid."
    )


@pytest.mark.parametrize(
    "key, args", [((1, 2), (1, 2)), (None, ()), ("x", ("x",)), ((), ()), (((1,),), ((1,),))]
)
def test_keyerror_args(map_cls, key, args):
    m = map_cls({"present": 0})
    for op in (m.__getitem__, m.__delitem__, m.pop):
        with pytest.raises(KeyError) as info:
            op(key)
        assert info.value.args == args


BAD_HASH = instance(__hash__=raiser(ZeroDivisionError))


@pytest.mark.parametrize("key, exc", [([1], TypeError), (bytearray(b"x"), TypeError),
                                      (BAD_HASH, ZeroDivisionError)])
def test_hashing_failures_change_nothing(map_cls, key, exc):
    m = map_cls({"a": 1})
    it = iter(m)
    for op in (m.__getitem__, m.__contains__, m.__delitem__, lambda k: m.__setitem__(k, 2),
               m.get, m.pop, m.setdefault, m.keys().__contains__):
        with pytest.raises(exc):
            op(key)
    assert m == {"a": 1} and iterator_valid(it)


def test_raising_eq_counts_as_not_equal(map_cls):
    a, b = [instance(__hash__=lambda self: 7, __eq__=raiser(ValueError)) for _ in range(2)]
    m = map_cls({a: 1})
    assert m[a] == 1 and a in m.keys()  # identity: __eq__ never runs
    assert b not in m and b not in m.keys() and m.get(b) is None
    with pytest.raises(KeyError):
        m[b]
    m[b] = 2  # unequal, so a second entry
    c = m.copy()
    assert len(c) == 2 and c[a] == 1 and c[b] == 2
    del m[a]
    assert len(m) == 1 and m[b] == 2


def test_keys_are_hashed_once(map_cls):
    keys = [CountingHash(i) for i in range(25)]
    m = map_cls.fromkeys(keys)
    for i in range(2000):  # growth rebuilds
        m[i] = i
    for i in range(2000):  # removals and purges
        del m[i]
    t = map_cls()
    t.update(m)
    t |= m
    assert map_cls(m) == m.copy() == t == m | m
    assert all(k.hash_calls == 1 for k in keys) and all(CountingHash(i) in m for i in range(25))
    # setdefault hashes a missing key twice (lookup, then insertion), a present one once.
    k = CountingHash("x")
    m.setdefault(k, 1)
    m.setdefault(k, 2)
    assert k.hash_calls == 3 and m[CountingHash("x")] == 1
    calls, it = iter(range(2)), iter(m)
    with pytest.raises(ZeroDivisionError):  # from the second hash, before anything is stored
        m.setdefault(HookKey(on_hash=lambda: 1 // (1 - next(calls))), 0)
    assert len(m) == 26 and iterator_valid(it)


# --------------------------------------------------------------------------
# Re-entrant use of a map from a key's __hash__ / __eq__ (the full matrix is
# in test_reentrancy.py)

def test_ior_and_eq_under_a_held_borrow(map_cls):
    m, seen = map_cls({"a": 1}), []

    def merge():
        r = m
        r |= {"b": 2}  # falls back to m | {"b": 2}
        seen.append(r)

    with pytest.raises(KeyError):
        m[HookKey(on_hash=merge)]
    assert seen[0] is not m and type(seen[0]) is map_cls and seen[0] == {"a": 1, "b": 2}
    # A refused borrow makes m.__eq__ decline; dict declines too, leaving identity.
    m[HookKey(on_hash=lambda: seen.append(m == {"a": 1}))] = 1
    assert seen[1] is False and len(m) == 2


FATAL = {
    "iter": lambda m: iter(m), "view-len": lambda m: len(m.keys()),
    "view-iter": lambda m: list(m.values()), "items-in": lambda m: ("a", 1) in m.items(),
    "view-eq": lambda m: m.keys() == {"a"}, "view-sub": lambda m: m.keys() - set(),
    "map-eq": lambda m: type(m)({"a": 1}) == m, "update-from": lambda m: type(m)().update(m),
}


@pytest.mark.parametrize("op", list(FATAL))
def test_borrow_conflicts_that_are_fatal(map_cls, op):
    m, views = map_cls({"a": 1}), []
    # Creating views takes no borrow, even inside a mutation.
    key = HookKey(on_hash=lambda: (views.extend([m.keys(), m.values(), m.items()]), FATAL[op](m)))
    with raises_panic("Already mutably borrowed: PyBorrowError") as info:
        m[key] = 2
    assert type(info.value).__bases__ == (BaseException,) and type(info.value).__doc__
    assert m == {"a": 1} and [len(v) for v in views] == [1, 1, 1]
    m["b"] = 2  # the borrow was given back
