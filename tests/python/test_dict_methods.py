"""get / pop / popitem / setdefault / clear / copy / == / != on both maps."""

import collections
import weakref

import pytest

from conftest import ConstHash, CountingHash, RaisingEq, all_raise, iterator_valid


def test_get(map_cls):
    m = map_cls({"a": 1, "n": None})
    assert m.get("a") == 1
    assert m.get("x") is None
    assert m.get("x", 5) == 5
    assert m.get("x", None) is None
    assert m.get(key="a", default=0) == 1
    assert m.get("n", 7) is None  # a stored None is returned, not the default
    all_raise(TypeError, lambda: m.get([1]), lambda: m.get())


def test_pop(map_cls):
    m = map_cls({"a": 1, "b": 2})
    it = iter(m)
    with pytest.raises(KeyError) as info:
        m.pop("x")
    assert info.value.args == ("x",)
    assert m.pop("x", None) is None
    assert m.pop("x", 0) == 0
    assert m.pop(key="x", default=3) == 3
    with pytest.raises(TypeError):
        m.pop([1], 0)
    assert iterator_valid(it)  # nothing removed so far
    assert m.pop("a") == 1
    assert m == {"b": 2}
    assert not iterator_valid(it)
    assert m.pop("b", 99) == 2 and len(m) == 0


def test_del_only_counts_real_removals(map_cls):
    m = map_cls({"a": 1})
    it = iter(m)
    with pytest.raises(KeyError):
        del m["zz"]
    with pytest.raises(TypeError):
        del m[[1]]
    assert iterator_valid(it)
    del m["a"]
    assert not iterator_valid(it) and len(m) == 0


def test_popitem(map_cls):
    m = map_cls()
    with pytest.raises(KeyError) as info:
        m.popitem()
    assert info.value.args == ("popitem(): map is empty",)
    m["a"] = 1
    it = iter(m)
    assert m.popitem() == ("a", 1) and len(m) == 0
    assert not iterator_valid(it)

    expected = {i: str(i) for i in range(300)}
    expected.update({ConstHash(i): i for i in range(20)})
    m = map_cls(expected)
    seen = {}
    for _ in range(len(expected)):
        k, v = m.popitem()
        assert k not in seen
        seen[k] = v
        assert len(m) == len(expected) - len(seen)
    assert seen == expected
    with pytest.raises(KeyError):
        m.popitem()
    m["again"] = 1  # still usable after the drain and any purge
    assert m == {"again": 1}


def test_setdefault(map_cls):
    m = map_cls()
    assert m.setdefault("a") is None
    assert m == {"a": None}
    it = iter(m)
    assert m.setdefault("a", 5) is None
    assert iterator_valid(it)
    assert m.setdefault("b", 5) == 5
    assert not iterator_valid(it)
    assert m.setdefault(key="c", default=[]) == []
    assert m.setdefault("d", None) is None
    with pytest.raises(TypeError):
        m.setdefault([1], 1)
    assert m == {"a": None, "b": 5, "c": [], "d": None}


def test_setdefault_hash_calls(map_cls):
    m = map_cls()
    k = CountingHash("x")
    m.setdefault(k, 1)
    assert k.hash_calls == 2  # lookup, then the insertion hashes again
    m.setdefault(k, 2)
    assert k.hash_calls == 3
    assert m[CountingHash("x")] == 1

    class SecondHashFails:
        calls = 0

        def __hash__(self):
            type(self).calls += 1
            if type(self).calls == 2:
                raise ValueError("second hash")
            return 1

    it = iter(m)
    with pytest.raises(ValueError):
        m.setdefault(SecondHashFails(), 0)
    assert len(m) == 1 and iterator_valid(it)


def test_clear(map_cls):
    m = map_cls()
    it = iter(m)
    m.clear()  # even an empty clear is a modification
    assert not iterator_valid(it)
    m.update({i: i for i in range(100)})
    keys = m.keys()
    m.clear()
    assert len(m) == 0 and len(keys) == 0 and list(m) == []
    m["x"] = 1
    assert m == {"x": 1} and list(keys) == ["x"]


def test_clear_releases_references(map_cls):
    class Obj:
        pass

    k, v = Obj(), Obj()
    m = map_cls({k: v})
    refs = weakref.ref(k), weakref.ref(v)
    del k, v
    assert all(r() is not None for r in refs)
    m.clear()
    assert all(r() is None for r in refs)


def test_copy(map_cls):
    m = map_cls.with_options(capacity=500)
    values = [[i] for i in range(50)]
    for i, v in enumerate(values):
        m[str(i)] = v
    it = iter(m)
    c = m.copy()
    assert iterator_valid(it)
    assert type(c) is map_cls and c is not m and c == m
    assert all(c[k] is m[k] for k in m)
    assert [a is b for a, b in zip(sorted(c, key=int), sorted(m, key=int))] == [True] * 50
    c["new"] = 1
    del c["0"]
    assert "new" not in m and "0" in m and len(m) == 50
    c["1"].append("shared")
    assert m["1"] == [1, "shared"]  # shallow


def test_copy_keeps_keys_that_compare_unequal_by_raising(map_cls):
    a, b = RaisingEq(), RaisingEq()
    m = map_cls()
    m[a] = 1
    m[b] = 2
    c = m.copy()
    assert len(c) == 2 and c[a] == 1 and c[b] == 2


# --------------------------------------------------------------------------
# Equality


def test_equality_with_dicts_and_maps(map_cls, other_cls):
    m = map_cls({"a": 1, "b": [2]})
    assert m == {"a": 1, "b": [2]}
    assert {"a": 1, "b": [2]} == m  # reflected
    assert m == other_cls({"b": [2], "a": 1})
    assert m == m and not m != m
    assert m == {"a": 1.0, "b": [2.0]}  # values compare with ==
    assert m != {"a": 1}
    assert m != {"a": 1, "c": [2]}
    assert m != {"a": 2, "b": [2]}
    assert m != other_cls({"a": 1, "b": [2], "c": 3})
    assert map_cls() == {} and map_cls() == other_cls()
    assert collections.OrderedDict(b=[2], a=1) == m


def test_equality_with_non_mappings(map_cls):
    m = map_cls({"a": 1})
    for other in (0, None, "ab", [("a", 1)], {"a"}, object()):
        assert (m == other) is False and (m != other) is True
    all_raise(TypeError, lambda: map_cls() < map_cls(), lambda: m >= {})


def test_equality_never_raises_for_foreign_mappings(map_cls):
    class MissingOne:
        def keys(self):
            return ["a", "b"]

        def __len__(self):
            return 2

        def __getitem__(self, k):
            if k == "b":
                raise KeyError(k)
            return 1

    class NoLen:
        def keys(self):
            return ["a"]

        def __getitem__(self, k):
            return 1

    class Agrees(MissingOne):
        def __getitem__(self, k):
            return {"a": 1, "b": 2}[k]

    m = map_cls({"a": 1, "b": 2})
    assert (m == MissingOne()) is False
    assert (m == Agrees()) is True
    assert (map_cls({"a": 1}) == NoLen()) is False


def test_equality_with_raising_value_eq(map_cls):
    class Grumpy:
        def __eq__(self, other):
            raise ValueError

        __hash__ = object.__hash__

    g = Grumpy()
    m = map_cls({"a": g})
    assert (m == {"a": g}) is False
    assert (m == m.copy()) is False


def test_equality_uses_dict_storage_of_dict_subclasses(map_cls):
    class Skewed(dict):
        def __getitem__(self, k):
            return "not what is stored"

    assert map_cls({"a": 1}) == Skewed(a=1)


def test_nan_values_and_keys(map_cls):
    nan = float("nan")
    m = map_cls({"x": nan})
    assert m != m  # no identity shortcut for values
    assert not m == m.copy()
    k = map_cls({nan: 1})
    assert k[nan] == 1 and k == k  # keys use identity first
