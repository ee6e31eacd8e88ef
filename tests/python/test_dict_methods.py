"""get / pop / popitem / setdefault / clear / == beyond what the model test checks."""

import collections
import weakref

import pytest

from conftest import all_raise, instance, raiser


def test_keyword_arguments_and_defaults(map_cls):
    m = map_cls({"a": 1})
    assert m.get(key="a", default=0) == 1
    assert m.pop(key="x", default=3) == 3
    assert m.pop("x", None) is None  # as dict.pop: only an omitted default raises
    assert m.setdefault(key="c", default=[]) == []
    all_raise(TypeError, lambda: m.get(), lambda: m.pop(), lambda: m.setdefault())
    with pytest.raises(KeyError) as info:
        map_cls().popitem()
    assert info.value.args == ("popitem(): map is empty",)


def test_references_are_released(map_cls):
    objs = [instance() for _ in range(4)]
    refs = [weakref.ref(o) for o in objs]
    m = map_cls({objs[0]: objs[1]})
    it = iter(map_cls({objs[2]: objs[3]}).items())  # keeps its map alive
    del objs
    m.clear()
    assert [r() is None for r in refs] == [True, True, False, False]
    assert next(it) == (refs[2](), refs[3]())
    del it
    assert all(r() is None for r in refs)


def test_equality_edge_cases(map_cls):
    m = map_cls({"a": 1, "b": [2]})
    assert m == {"a": 1.0, "b": [2.0]} and collections.OrderedDict(b=[2], a=1) == m
    for other in (0, None, "ab", [("a", 1)], {"a"}, object()):
        assert (m == other) is False and (m != other) is True
    all_raise(TypeError, lambda: m < map_cls(), lambda: m >= {})
    n = map_cls({"x": float("nan")})
    assert n != n and n != n.copy()  # values compare without an identity short cut


def test_equality_with_odd_mappings_never_raises(map_cls):
    def mapping(items, length=2):
        return instance(keys=lambda self: ["a", "b"], __getitem__=lambda self, k: items[k],
                        __len__=lambda self: length)

    m = map_cls({"a": 1, "b": 2})
    assert m == mapping({"a": 1, "b": 2})
    assert (m == mapping({"a": 1})) is False  # claims a key it has no item for
    assert (m == mapping({"a": 1, "b": 2}, length=None)) is False  # len() fails
    skewed = type("Skewed", (dict,), {"__getitem__": lambda self, k: "not what is stored"})
    assert m == skewed(a=1, b=2)  # a dict subclass is compared through its dict storage
    grumpy = instance(__eq__=raiser(ValueError), __hash__=object.__hash__)
    assert (map_cls({"a": grumpy}) == {"a": grumpy}) is False


def _plain_equal(m, other):
    if len(m) != len(other):
        return False
    for k, v in m.items():
        try:
            found = other[k]
        except KeyError:
            return False
        if not (v == found):  # no identity short cut: a NaN value never matches
            return False
    return True


@pytest.mark.parametrize("size", [0, 1, 7, 9, 300])
def test_equality_matches_a_plain_walk(map_cls, size):
    nan = float("nan")
    base = {i: i for i in range(size)}
    if size:
        base[True] = "t"  # replaces 1
        base[2.0] = 2.0  # replaces 2 when present
    m, m2 = map_cls(base), map_cls(base)
    variants = [dict(base)]
    for k in list(base)[:: max(1, size // 5)]:
        variants.append({**base, k: "other"})
        variants.append({**{j: w for j, w in base.items() if j != k}, -1: 0})
        variants.append({**base, k: nan})
    for d in variants:
        assert (m == d) == _plain_equal(m, d)
        other = map_cls(d)
        assert (m == other) == _plain_equal(m, other)
    assert m == m2
    if size:
        m[size + 1] = nan
        assert m != map_cls(m.items()) and m != dict(m.items())
