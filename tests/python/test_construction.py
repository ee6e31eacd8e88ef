"""Class call, with_options, fromkeys, generic aliases, repr and capacity."""

import math
import types

import pytest

import quenlor
from conftest import all_raise, broken_after, instance, raiser

F, E = quenlor.FunnelHashMap, quenlor.ElasticHashMap
F_FRACTION = ("reserve_fraction must be in (0, 0.125]; "
              "FunnelHashMap caps the load factor at 1/8 by design")
E_FRACTION = "reserve_fraction must be in the open interval (0, 1)"


def index(n):
    return instance(__index__=lambda self: n)


def test_class_call(map_cls):
    assert len(map_cls()) == len(map_cls(None)) == 0
    assert map_cls({"a": 1}, a=3, b=2) == {"a": 3, "b": 2}
    assert map_cls(other={"a": 1}) == {"a": 1}
    assert map_cls(other=None, other2=1) == {"other2": 1}
    assert map_cls(capacity=5).capacity == 5 and len(map_cls(capacity=5)) == 0
    assert map_cls(capacity=index(7)).capacity == 7
    all_raise(OverflowError, lambda: map_cls(capacity=-1), lambda: map_cls(capacity=2**64))
    for bad in (1.5, None, "3"):
        with pytest.raises(TypeError, match="^argument 'capacity': "):
            map_cls(capacity=bad)
    all_raise(TypeError, lambda: map_cls({}, {}), lambda: map_cls({}, other={}),
              lambda: map_cls(5))
    with pytest.raises(ValueError, match="^update sequence elements must be 2-tuples$"):
        map_cls([1])
    all_raise(MemoryError, lambda: map_cls(capacity=2**60),
              lambda: map_cls.with_options(capacity=2**60))
    assert map_cls({"a": 1}) | {"b": 2} == {"a": 1, "b": 2}  # still works afterwards


# Extremes beyond the option values the model test already drives.
ACCEPTED = [
    (F, dict(reserve_fraction=1e-9)), (F, dict(reserve_fraction=None, primary_probe_limit=None)),
    *[(F, dict(primary_probe_limit=v)) for v in (2**63, 2**64 - 1)],
    *[(E, dict(reserve_fraction=v)) for v in (0.999, 1e-9)],
    *[(E, dict(probe_scale=v)) for v in (3, 0.001, math.inf, math.nan)],
]
# Conversion runs in parameter order and comes before any validation. The text is
# the whole message, or the name of the argument a conversion error begins with.
REJECTED = [
    *[(F, dict(reserve_fraction=v), ValueError, F_FRACTION) for v in (0.13, 0, math.nan)],
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


@pytest.mark.parametrize("cls, kwargs", ACCEPTED)
def test_options_accepted(cls, kwargs):
    m = cls.with_options(**kwargs)
    assert type(m) is cls and m.capacity == kwargs.get("capacity", 0)
    # A reserve fraction near 1 keeps the capacity ~1000x the length: stay small there.
    n = 300 if (kwargs.get("reserve_fraction") or 0) > 0.5 else 1000
    for i in range(n):
        m[i] = i
    assert len(m) == n and all(m[i] == i for i in range(n))


@pytest.mark.parametrize("cls, kwargs, exc, text", REJECTED)
def test_options_rejected(cls, kwargs, exc, text):
    with pytest.raises(exc) as info:
        cls.with_options(**kwargs)
    message = str(info.value)
    assert text is None or message == text or message.startswith(f"argument '{text}': ")


def test_with_options_signatures_and_conversions():
    for cls, last in ((F, "primary_probe_limit"), (E, "probe_scale")):
        signature = f"($cls, capacity=0, reserve_fraction=None, {last}=None)"
        assert cls.with_options.__text_signature__ == signature
    assert F.with_options(32, 0.1, 2).capacity == E.with_options(32, 0.5, 4.0).capacity == 32
    assert len(F.with_options(reserve_fraction=instance(__float__=lambda self: 0.05))) == 0
    assert len(E.with_options(probe_scale=index(2))) == 0
    with pytest.raises(ValueError, match="must be in"):
        F.with_options(reserve_fraction=index(1))


def test_fromkeys(map_cls):
    # A failing len() is only a size hint.
    m = map_cls.fromkeys(instance(__len__=raiser(RuntimeError), __iter__=lambda self: iter("xyx")))
    assert type(m) is map_cls and m == {"x": None, "y": None}
    shared = []
    assert all(v is shared for v in map_cls.fromkeys(range(3), shared).values())
    assert map_cls.fromkeys(iterable=iter([5]), value=0) == {5: 0}
    all_raise(TypeError, lambda: map_cls.fromkeys(5), lambda: map_cls.fromkeys([[1]]),
              lambda: map_cls.fromkeys())
    all_raise(LookupError, lambda: map_cls.fromkeys(broken_after(1)))


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
    def loud():
        return instance(__repr__=raiser(AssertionError("the map's repr shows no elements")))

    name = map_cls.__name__
    m = map_cls()
    assert repr(m) == f"{name}(len=0, capacity=0)"
    m[loud()] = loud()
    assert repr(m) == f"{name}(len=1, capacity=16)" and m.capacity == 16
    with pytest.raises(AttributeError):
        m.capacity = 10
    m.update((i, i) for i in range(1000))
    grown = m.capacity
    m.clear()
    assert m.capacity == grown  # clear keeps the tables
    assert repr(map_cls.with_options(capacity=1000)) == f"{name}(len=0, capacity=1000)"
    assert map_cls.capacity.__doc__ is None


class StrSub(str):
    pass


class EqualHash:
    """Equal hashes, equality by name; one of them raises from __eq__."""

    def __init__(self, name, boom=False):
        self.name, self.boom = name, boom

    def __hash__(self):
        return 7

    def __eq__(self, other):
        if self.boom:
            raise ValueError("boom")
        return isinstance(other, EqualHash) and other.name == self.name


class PairSeq:
    """A pair that is neither tuple nor list: answered through len() and [i]."""

    def __init__(self, k, v):
        self.items = (k, v)

    def __len__(self):
        return 2

    def __getitem__(self, i):
        return self.items[i]


def awkward_pairs():
    nan = float("nan")
    keys = [1, 1.0, True, nan, nan, "a", StrSub("a"), "\ud800", "b", EqualHash("x"),
            EqualHash("x"), EqualHash("y", boom=True), EqualHash("y"), 2**70, -1, -2]
    return [(k, i) for i, k in enumerate(keys)] + [(k, -i) for i, k in enumerate(keys[::3])]


def shape(m):
    # Each map draws its own seed, so slots (and the order beyond one group) differ.
    return sorted((id(k), v) for k, v in m.items()), len(m), m.capacity


# Tuples and lists are read directly; any other pair type, and any source that
# is not an exact list or tuple, goes through len() and [i]. Same map either way.
@pytest.mark.parametrize("n", [0, 1, 4, 9, 40])
def test_pair_sources_build_the_same_map(map_cls, n):
    pairs = awkward_pairs() * (n // 8 + 1)
    pairs = pairs[:n] if n < len(pairs) else pairs
    plain = shape(map_cls([PairSeq(k, v) for k, v in pairs]))
    for source in (pairs, tuple(pairs), [list(p) for p in pairs], tuple(list(p) for p in pairs)):
        assert shape(map_cls(source)) == plain
        m = map_cls()
        m.update(source)
        assert shape(m) == plain
    # Without a length nothing is reserved: the map grows as the pairs come.
    assert shape(map_cls(iter(pairs))) == shape(map_cls(iter([PairSeq(k, v) for k, v in pairs])))
    with pytest.raises(ValueError, match="^update sequence elements must be 2-tuples$"):
        map_cls([(1, 2), (1, 2, 3)])
    with pytest.raises(ValueError, match="^update sequence elements must be 2-tuples$"):
        map_cls([[1]])


# Keywords that name no parameter are the entries themselves; naming `other` or
# `capacity` takes the slower split. Both must give what a dict source gives.
def test_keywords_as_entries(map_cls):
    kw = {f"k{i}": i for i in range(6)}
    assert map_cls(**kw).capacity == map_cls(dict(kw)).capacity
    assert list(map_cls(**kw).items()) == list(kw.items())
    assert list(map_cls([("k0", -1)], **kw).items()) == list(kw.items())
    assert list(map_cls(other=[("z", 0)], **kw).items()) == [("z", 0)] + list(kw.items())
    m = map_cls(capacity=100, **kw)
    assert m.capacity == 100 and dict(m.items()) == kw
    m = map_cls()
    m.update(**kw)
    assert list(m.items()) == list(kw.items()) and m.capacity == map_cls(**kw).capacity


# The class call builds the map at once at the capacity its update reserves;
# it must equal the map built empty and then updated from the same source.
@pytest.mark.parametrize("capacity", [None, 0, 3, 16, 40])
def test_class_call_capacity_matches_update(map_cls, capacity):
    given = {} if capacity is None else {"capacity": capacity}
    for n in range(0, 70, 3):
        pairs = [(f"k{i}", i) for i in range(n)]
        for source, kw in ((dict(pairs), {}), (pairs, {}), (tuple(pairs), {}),
                           (None, dict(pairs)), (dict(pairs[: n // 2]), dict(pairs[n // 2:]))):
            m = map_cls(source, **given, **kw)
            updated = map_cls(**given)
            updated.update(source or (), **kw)
            assert (m.capacity, sorted(m.items())) == (updated.capacity, sorted(updated.items()))
            assert len(m) == n


# `other` and `capacity` are recognised among the keywords however the names
# are spelt as objects: built at run time, as str subclasses, among many keys,
# next to keys of the same length.
def test_parameter_names_among_keywords(map_cls):
    class S(str):
        pass

    cap = map_cls(capacity=40).capacity
    for name in ("".join(["capa", "city"]), S("capacity")):
        m = map_cls(**{name: 40})
        assert (len(m), m.capacity) == (0, cap)
    m = map_cls(**{"".join(["oth", "er"]): {"a": 1}, "capacitÿ": 2, "othér": 3})
    assert dict(m.items()) == {"a": 1, "capacitÿ": 2, "othér": 3}
    many = {f"k{i}": i for i in range(12)}
    m = map_cls(capacity=40, **many)
    assert (dict(m.items()), m.capacity) == (many, cap)
    m = map_cls(**{**many, "other": [("z", 0)]})
    assert dict(m.items()) == {"z": 0, **many}
    assert dict(map_cls(**{S("x"): 1, "y": 2}).items()) == {"x": 1, "y": 2}
