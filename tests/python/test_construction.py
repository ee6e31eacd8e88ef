"""Class call, with_options, fromkeys, generic aliases, repr and capacity."""

import types

import pytest

import quenlor
from conftest import all_raise

FUNNEL_FRACTION = (
    "reserve_fraction must be in (0, 0.125]; FunnelHashMap caps the load factor at 1/8 by design"
)
ELASTIC_FRACTION = "reserve_fraction must be in the open interval (0, 1)"


class Index:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


# --------------------------------------------------------------------------
# Class call


def test_class_call_sources(map_cls):
    assert len(map_cls()) == 0
    assert len(map_cls(None)) == 0
    assert map_cls({"a": 1}, b=2) == {"a": 1, "b": 2}
    assert map_cls([("a", 1), ("a", 2)]) == {"a": 2}
    assert map_cls(other={"a": 1}) == {"a": 1}
    assert map_cls(other=None, other2=1) == {"other2": 1}
    assert map_cls({"a": 1}, a=3) == {"a": 3}
    m = map_cls(capacity=5)
    assert len(m) == 0 and "capacity" not in m and m.capacity == 5
    assert map_cls(capacity=Index(7)).capacity == 7
    assert type(map_cls()) is map_cls


def test_class_call_argument_errors(map_cls):
    all_raise(OverflowError, lambda: map_cls(capacity=-1), lambda: map_cls(capacity=2**64))
    for bad in (1.5, None, "3"):
        with pytest.raises(TypeError) as info:
            map_cls(capacity=bad)
        assert str(info.value).startswith("argument 'capacity': ")
    all_raise(TypeError, lambda: map_cls({}, {}), lambda: map_cls({}, other={}),
              lambda: map_cls(5))
    with pytest.raises(ValueError, match=r"^update sequence elements must be 2-tuples$"):
        map_cls([1])


def test_huge_capacity_raises_memory_error(map_cls):
    with pytest.raises(MemoryError):
        map_cls(capacity=2**60)
    with pytest.raises(MemoryError):
        map_cls.with_options(capacity=2**60)
    m = map_cls({"a": 1})
    m["b"] = 2
    assert m == {"a": 1, "b": 2}


# --------------------------------------------------------------------------
# with_options


F, E = "FunnelHashMap", "ElasticHashMap"
ACCEPTED = [
    (F, {}), (F, dict(capacity=100)), (F, dict(reserve_fraction=0.125)),
    (F, dict(reserve_fraction=1e-9)), (F, dict(reserve_fraction=None, primary_probe_limit=None)),
    (F, dict(primary_probe_limit=1)), (F, dict(primary_probe_limit=2**63)),
    (F, dict(primary_probe_limit=2**64 - 1)), (F, dict(capacity=1, reserve_fraction=0.01, primary_probe_limit=3)),
    (E, {}), (E, dict(capacity=100)), (E, dict(reserve_fraction=0.999)),
    (E, dict(reserve_fraction=1e-9)), (E, dict(probe_scale=3)), (E, dict(probe_scale=0.001)),
    (E, dict(probe_scale=float("inf"))), (E, dict(probe_scale=float("nan"))),
    (E, dict(capacity=3, reserve_fraction=0.9, probe_scale=1.5)),
]
REJECTED = [
    (F, dict(reserve_fraction=0.13), FUNNEL_FRACTION),
    (F, dict(reserve_fraction=0), FUNNEL_FRACTION),
    (F, dict(reserve_fraction=-0.1), FUNNEL_FRACTION),
    (F, dict(reserve_fraction=float("nan")), FUNNEL_FRACTION),
    (F, dict(reserve_fraction=0.5), FUNNEL_FRACTION),
    (F, dict(primary_probe_limit=0), "primary_probe_limit must be positive"),
    (E, dict(reserve_fraction=1.0), ELASTIC_FRACTION),
    (E, dict(reserve_fraction=0.0), ELASTIC_FRACTION),
    (E, dict(reserve_fraction=-0.5), ELASTIC_FRACTION),
    (E, dict(reserve_fraction=float("nan")), ELASTIC_FRACTION),
    (E, dict(reserve_fraction=float("inf")), ELASTIC_FRACTION),
    (E, dict(probe_scale=0), "probe_scale must be positive"),
    (E, dict(probe_scale=-2.5), "probe_scale must be positive"),
    (E, dict(probe_scale=float("-inf")), "probe_scale must be positive"),
]
# Conversion runs in parameter order and comes before any validation.
BAD_CONVERSIONS = [
    (F, dict(capacity="x", reserve_fraction="y"), TypeError, "capacity"),
    (F, dict(capacity=None), TypeError, "capacity"),
    (F, dict(capacity=-1, reserve_fraction="y"), OverflowError, None),
    (F, dict(reserve_fraction="y", primary_probe_limit="x"), TypeError, "reserve_fraction"),
    (F, dict(reserve_fraction=0.5, primary_probe_limit="x"), TypeError, "primary_probe_limit"),
    (F, dict(reserve_fraction=0.5, primary_probe_limit=1.0), TypeError, "primary_probe_limit"),
    (F, dict(reserve_fraction=0.5, primary_probe_limit=-1), OverflowError, None),
    (F, dict(primary_probe_limit=2**64), OverflowError, None),
    (F, dict(probe_scale=2.0), TypeError, None),
    (E, dict(capacity=1.5), TypeError, "capacity"),
    (E, dict(reserve_fraction="y", probe_scale=-1), TypeError, "reserve_fraction"),
    (E, dict(reserve_fraction=2.0, probe_scale="x"), TypeError, "probe_scale"),
    (E, dict(probe_scale=[]), TypeError, "probe_scale"),
    (E, dict(primary_probe_limit=2), TypeError, None),
]


def test_with_options_signatures_and_positional_use():
    assert quenlor.FunnelHashMap.with_options.__text_signature__ == (
        "($cls, capacity=0, reserve_fraction=None, primary_probe_limit=None)"
    )
    assert quenlor.ElasticHashMap.with_options.__text_signature__ == (
        "($cls, capacity=0, reserve_fraction=None, probe_scale=None)"
    )
    assert quenlor.FunnelHashMap.with_options(32, 0.1, 2).capacity == 32
    assert quenlor.ElasticHashMap.with_options(32, 0.5, 4.0).capacity == 32


@pytest.mark.parametrize("cls_name, kwargs", ACCEPTED)
def test_options_accepted(cls_name, kwargs):
    cls = getattr(quenlor, cls_name)
    m = cls.with_options(**kwargs)
    assert type(m) is cls and len(m) == 0
    assert m.capacity == kwargs.get("capacity", 0)
    # A reserve fraction near 1 keeps the capacity ~1000x the length: stay small there.
    n = 300 if (kwargs.get("reserve_fraction") or 0) > 0.5 else 1000
    for i in range(n):
        m[i] = i
    assert len(m) == n and all(m[i] == i for i in range(n))


@pytest.mark.parametrize("cls_name, kwargs, message", REJECTED)
def test_options_rejected(cls_name, kwargs, message):
    with pytest.raises(ValueError) as info:
        getattr(quenlor, cls_name).with_options(**kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("cls_name, kwargs, exc, prefix", BAD_CONVERSIONS)
def test_options_conversion(cls_name, kwargs, exc, prefix):
    with pytest.raises(exc) as info:
        getattr(quenlor, cls_name).with_options(**kwargs)
    if prefix is not None:
        assert str(info.value).startswith(f"argument '{prefix}': ")


def test_float_conversion_protocols():
    class Float:
        def __float__(self):
            return 0.05

    assert len(quenlor.FunnelHashMap.with_options(reserve_fraction=Float())) == 0
    assert len(quenlor.ElasticHashMap.with_options(probe_scale=Index(2))) == 0
    with pytest.raises(ValueError, match="must be in"):
        quenlor.FunnelHashMap.with_options(reserve_fraction=Index(1))


# --------------------------------------------------------------------------
# fromkeys


def test_fromkeys(map_cls):
    m = map_cls.fromkeys("abca")
    assert type(m) is map_cls and m == {"a": None, "b": None, "c": None}
    shared = []
    m = map_cls.fromkeys(range(3), shared)
    assert len(m) == 3 and all(m[i] is shared for i in range(3))
    assert map_cls.fromkeys([1, 2], None) == {1: None, 2: None}
    assert map_cls.fromkeys(iterable=iter([5]), value=0) == {5: 0}
    assert len(map_cls.fromkeys([])) == 0


def test_fromkeys_errors(map_cls):
    class NoLen:
        def __len__(self):
            raise RuntimeError("a failing len() is ignored")

        def __iter__(self):
            return iter("xy")

    def broken():
        yield 1
        raise LookupError("mid-way")

    assert map_cls.fromkeys(NoLen()) == {"x": None, "y": None}
    all_raise(TypeError, lambda: map_cls.fromkeys(5), lambda: map_cls.fromkeys([[1]]),
              lambda: map_cls.fromkeys())
    all_raise(LookupError, lambda: map_cls.fromkeys(broken()))


# --------------------------------------------------------------------------
# __class_getitem__, repr, capacity


def test_class_getitem(map_cls):
    alias = map_cls[str, int]
    assert isinstance(alias, types.GenericAlias)
    assert alias.__origin__ is map_cls and alias.__args__ == (str, int)
    assert map_cls[int].__args__ == (int,)
    assert map_cls.__class_getitem__.__doc__ == (
        "Runtime support for `Cls[K, V]` syntax via `types.GenericAlias`\n"
        "— parity with the `Generic[K, V]` typing stub."
    )


def test_repr(map_cls):
    name = map_cls.__name__
    m = map_cls()
    assert repr(m) == f"{name}(len=0, capacity=0)"
    m["a"] = 1
    assert repr(m) == f"{name}(len=1, capacity={m.capacity})"
    m = map_cls.with_options(capacity=1000)
    assert repr(m) == f"{name}(len=0, capacity=1000)"

    class Loud:
        def __repr__(self):
            raise AssertionError("the map's repr shows no elements")

    assert repr(map_cls({Loud(): Loud()})).startswith(name + "(len=1, capacity=")


def test_capacity(map_cls):
    m = map_cls()
    assert m.capacity == 0
    m["k"] = "v"
    assert m.capacity == 16
    with pytest.raises(AttributeError):
        m.capacity = 10
    for i in range(1000):
        m[i] = i
    grown = m.capacity
    assert grown >= len(m)
    m.clear()
    assert m.capacity == grown  # clear keeps the tables
    assert map_cls.capacity.__doc__ is None
