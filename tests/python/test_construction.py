"""Class call, with_options, fromkeys, generic aliases, repr and capacity."""

import functools
import math
import sys
import types

import pytest

import quenlor
from conftest import all_raise, instance, raiser

F, E = quenlor.FunnelHashMap, quenlor.ElasticHashMap
F_FRACTION = ("reserve_fraction must be in (0, 0.125]; "
              "FunnelHashMap caps the load factor at 1/8 by design")
E_FRACTION = "reserve_fraction must be in the open interval (0, 1)"


def index(n):
    return instance(__index__=lambda self: n)


def test_class_call(map_cls):
    assert map_cls(capacity=5).capacity == 5 and len(map_cls(capacity=5)) == 0
    assert map_cls(capacity=index(7)).capacity == map_cls.with_options(7, 0.1, 2).capacity == 7
    all_raise(OverflowError, lambda: map_cls(capacity=-1), lambda: map_cls(capacity=2**64))
    for bad in (1.5, None, "3"):
        with pytest.raises(TypeError, match="^argument 'capacity': "):
            map_cls(capacity=bad)
    all_raise(TypeError, lambda: map_cls({}, {}), lambda: map_cls({}, other={}),
              lambda: map_cls(5))
    all_raise(MemoryError, lambda: map_cls(capacity=2**60),
              lambda: map_cls.with_options(capacity=2**60))


def test_with_options_call_forms(map_cls):
    # Positional, keyword and mixed calls, keywords in either order, and a
    # str subclass naming a parameter (which takes the keyword parser) build
    # the same map: the capacity asked for and the growth point of the
    # reserve fraction given.
    class Name(str):
        pass

    def shape(m):
        capacity = m.capacity
        for i in range(capacity + 1):
            m[i] = i
            if m.capacity != capacity:
                return capacity, i

    forms = [lambda: map_cls.with_options(64, 0.05), lambda: map_cls.with_options(64, 0.05, None),
             lambda: map_cls.with_options(reserve_fraction=0.05, capacity=64),
             lambda: map_cls.with_options(64, reserve_fraction=0.05),
             lambda: map_cls.with_options(**{Name("capacity"): 64, "reserve_fraction": 0.05})]
    assert {shape(make()) for make in forms} == {(64, 61)}
    assert shape(map_cls.with_options(capacity=64)) == (64, 58)


# Keywords that name no parameter are the entries; `other` and `capacity` are
# recognised however the names are spelt as objects (built at run time, str
# subclasses), among many keys, before or after them (the entries before it
# may already be stored when the name turns up), and next to names of the
# same length. No reference is left behind either way.
def test_parameter_names_among_keywords(map_cls):
    S = type("S", (str,), {})
    value = object()
    entries = {f"k{i}": value for i in range(12)}
    unheld = sys.getrefcount(value)
    m = map_cls(**entries)
    assert m.capacity == map_cls(entries).capacity and dict(m.items()) == entries
    del m
    for name in ("".join(["capa", "city"]), S("capacity")):
        for m in (map_cls(**{name: 40}, **entries), map_cls(**entries, **{name: 40})):
            assert dict(m.items()) == entries
            assert m.capacity == map_cls(entries, capacity=40).capacity
        del m
    for name in ("".join(["oth", "er"]), S("other")):
        for m in (map_cls(**{name: [("z", 0), ("k3", 1)]}, **entries),
                  map_cls(**entries, **{name: [("z", 0), ("k3", 1)]})):
            assert dict(m.items()) == {"z": 0, **entries}
        del m
    assert sys.getrefcount(value) == unheld
    for name in ("".join(["oth", "er"]), S("other")):
        m = map_cls(**{"capacitÿ": 2, "othér": 3, S("x"): 1})
        m.update(**{name: {"y": 0}}, k0=1)
        assert dict(m.items()) == {"capacitÿ": 2, "othér": 3, "x": 1, "y": 0, "k0": 1}


# From 3.14 the class call is a vectorcall of the class's own, while
# `type.__call__` still packs the arguments for `tp_new`: both give the same
# map, or the same error, for every form of call.
CALLS = [
    lambda c: c(), lambda c: c(None), lambda c: c(**{}),
    lambda c: c([("a", 1), ("b", 2), ("a", 3)]), lambda c: c({"a": 1, 1: 2, 1.0: 3}),
    lambda c: c(iter([(1, 2), (True, 3)])), lambda c: c((("x", 1),)),
    lambda c: c(a=1, b=2), lambda c: c(**{f"k{i}": i for i in range(40)}),
    lambda c: c(**{type("S", (str,), {})("a"): 1, "b": 2}),
    lambda c: c(other={"a": 1}, b=2), lambda c: c(b=2, other=[("a", 1)]),
    lambda c: c({"a": 1}, b=2, capacity=40), lambda c: c(capacity=3),
    lambda c: c(capacity=index(7), a=1),
    lambda c: c({}, {}), lambda c: c(5), lambda c: c({}, other={}), lambda c: c(capacity=-1),
    lambda c: c(capacity="3", a=1), lambda c: c([1]), lambda c: c([(1, 2, 3)]),
    lambda c: c(capacity=2**60), lambda c: c([("a", 1)], capacity=1.5),
]


@pytest.mark.parametrize("call", CALLS)
def test_class_call_is_the_classic_call(map_cls, call):
    def outcome(c):
        try:
            m = c()
        except Exception as e:  # noqa: BLE001 - the error is the outcome
            return type(e), str(e)
        return type(m), dict(m.items()), len(m), m.capacity

    classic = outcome(lambda: call(functools.partial(type.__call__, map_cls)))
    assert outcome(lambda: call(map_cls)) == classic


# The objects of small maps are kept when they die and reused by the next
# small maps the class call builds or a first insertion grows. A reused map is new in every way (entries,
# capacity, counter, growth), the dead map's values are released when it dies,
# and Python code that release runs may make and drop such maps itself.
def test_small_maps_are_reused_as_new_ones(map_cls):
    class Dropped:
        def __del__(self):
            dropped.append(1)
            made = [map_cls(a=1) for _ in range(20)]  # more than are kept
            del made

    dropped, value = [], object()
    unheld, class_refs = sys.getrefcount(value), sys.getrefcount(map_cls)
    for rounds in range(1, 4):
        old = [map_cls([(i, value), ("d", Dropped())]) for i in range(30)]
        del old
        assert len(dropped) == 30 * rounds and sys.getrefcount(value) == unheld
        new = [map_cls(x=i) for i in range(30)] + [map_cls([("y", i)]) for i in range(30)]
        for i in range(30):
            new.append(map_cls())
            new[-1]["w"] = i
        assert [dict(m.items()) for m in new] == [{"x": i} for i in range(30)] + [
            {"y": i} for i in range(30)] + [{"w": i} for i in range(30)]
        assert {m.capacity for m in new} == {16}
        m = new[0]
        it = iter(m)
        m["z"] = 1
        with pytest.raises(RuntimeError):
            next(it)
        for k in range(100):
            m[k] = k
        assert len(m) == 102 and m.capacity > 16 and m[99] == 99 and m["x"] == 0
        getattr(m, "_check_consistency", lambda: None)()
        del new, m, it
    assert sys.getrefcount(map_cls) == class_refs


# Extremes beyond the option values the model test drives, and rejections.
# Conversion runs in parameter order and comes before any validation. The text
# is the whole message, or the name of the argument a conversion error begins with.
OPTIONS = [
    *[(F, dict(reserve_fraction=v), None, None) for v in (1e-9, None)],
    (F, dict(reserve_fraction=instance(__float__=lambda self: 0.05)), None, None),
    *[(F, dict(primary_probe_limit=v), None, None) for v in (None, 2**63, 2**64 - 1)],
    *[(E, dict(reserve_fraction=v), None, None) for v in (0.999, 1e-9)],
    *[(E, dict(probe_scale=v), None, None) for v in (3, 0.001, math.inf, math.nan, index(2))],
    *[(F, dict(reserve_fraction=v), ValueError, F_FRACTION) for v in (0.13, 0, math.nan, index(1))],
    *[(E, dict(reserve_fraction=v), ValueError, E_FRACTION) for v in (1.0, -0.5, math.nan)],
    *[(E, dict(probe_scale=v), ValueError, "probe_scale must be positive") for v in (0, -math.inf)],
    (F, dict(primary_probe_limit=0), ValueError, "primary_probe_limit must be positive"),
    (F, dict(capacity="x", reserve_fraction="y"), TypeError, "capacity"),
    (F, dict(capacity=-1, reserve_fraction="y"), OverflowError, None),
    (F, dict(reserve_fraction="y", primary_probe_limit="x"), TypeError, "reserve_fraction"),
    (F, dict(reserve_fraction=0.5, primary_probe_limit=1.0), TypeError, "primary_probe_limit"),
    (F, dict(reserve_fraction=0.5, primary_probe_limit=-1), OverflowError, None),
    (F, dict(primary_probe_limit=2**64), OverflowError, None),
    (F, dict(probe_scale=2.0), TypeError, None), (E, dict(primary_probe_limit=2), TypeError, None),
    (E, dict(capacity=1.5), TypeError, "capacity"),
    (E, dict(reserve_fraction="y", probe_scale=-1), TypeError, "reserve_fraction"),
    (E, dict(reserve_fraction=2.0, probe_scale="x"), TypeError, "probe_scale"),
]


@pytest.mark.parametrize("cls, kwargs, exc, text", OPTIONS)
def test_options(cls, kwargs, exc, text):
    if exc is None:
        m = cls.with_options(**kwargs)
        m.update((i, i) for i in range(300))
        assert type(m) is cls and len(m) == 300 and all(m[i] == i for i in range(300))
        return
    with pytest.raises(exc) as info:
        cls.with_options(**kwargs)
    message = str(info.value)
    assert text is None or message == text or message.startswith(f"argument '{text}': ")


def test_fromkeys(map_cls):
    # A failing len() is only a size hint.
    m = map_cls.fromkeys(instance(__len__=raiser(RuntimeError), __iter__=lambda self: iter("xyx")))
    assert type(m) is map_cls and m == {"x": None, "y": None}
    assert map_cls.fromkeys(iterable=iter([5]), value=0) == {5: 0}
    all_raise(TypeError, lambda: map_cls.fromkeys(5), lambda: map_cls.fromkeys([[1]]),
              lambda: map_cls.fromkeys())
    all_raise(ZeroDivisionError, lambda: map_cls.fromkeys(1 // x for x in (1, 0)))


def test_class_getitem(map_cls):
    alias = map_cls[str, int]
    assert isinstance(alias, types.GenericAlias)
    assert alias.__origin__ is map_cls and alias.__args__ == (str, int)
    assert map_cls[int].__args__ == (int,)
    assert map_cls.__class_getitem__.__doc__ == (
        "Runtime support for `Cls[K, V]` syntax via `types.GenericAlias`\n"
        "— parity with the `Generic[K, V]` typing stub."
    )


def test_repr_and_capacity(map_cls):
    name, m = map_cls.__name__, map_cls()
    assert repr(m) == f"{name}(len=0, capacity=0)" and map_cls.capacity.__doc__ is None
    loud = instance(__repr__=raiser(AssertionError("the map's repr shows no elements")))
    m[loud] = loud
    assert repr(m) == f"{name}(len=1, capacity=16)"  # the first growth
    with pytest.raises(AttributeError):
        m.capacity = 10
    assert repr(map_cls.with_options(capacity=1000)) == f"{name}(len=0, capacity=1000)"
