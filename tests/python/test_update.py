"""update(), |, |= and reflected | from every kind of source."""

import sys

import pytest

import quenlor
from conftest import CountingHash, HookKey, all_raise, iterator_valid, raises_panic

PAIRS_MESSAGE = "^update sequence elements must be 2-tuples$"


class KeysMapping:
    """Has keys() and __getitem__ only (no __len__, not iterable)."""

    def __init__(self, data):
        self.data = dict(data)
        self.getitem_calls = 0

    def keys(self):
        return list(self.data)

    def __getitem__(self, k):
        self.getitem_calls += 1
        return self.data[k]


class HugeKeysMapping(KeysMapping):
    def __len__(self):
        return sys.maxsize


# --------------------------------------------------------------------------
# Source kinds


def test_update_from_each_source_kind(map_cls, other_cls):
    data = {"a": 1, "b": 2}
    for src in (data, other_cls(data), map_cls(data), KeysMapping(data), list(data.items()),
                iter([("a", 1), ["b", 2]]), (p for p in data.items())):
        m = map_cls({"a": 0, "z": 26})
        assert m.update(src) is None
        assert m == {"a": 1, "b": 2, "z": 26}, type(src)


def test_source_priority(map_cls):
    class DictWithKeys(dict):
        # dict subclasses take the dict path: neither method is consulted.
        def keys(self):
            raise AssertionError("keys() must not be called")

        def __iter__(self):
            raise AssertionError("iteration must not be used")

    class PairsWithKeys:
        # keys() wins over iteration.
        def keys(self):
            return ["k"]

        def __getitem__(self, k):
            return "from-mapping"

        def __iter__(self):
            return iter([("k", "from-pairs")])

    m = map_cls()
    m.update(DictWithKeys(x=1))
    m.update(PairsWithKeys())
    assert m == {"x": 1, "k": "from-mapping"}


def test_later_sources_win(map_cls):
    m = map_cls()
    m.update([("a", 1), ("a", 2)])
    assert m["a"] == 2
    m.update({"a": 1}, a=3)
    assert m["a"] == 3
    m.update(other={"x": 1})
    assert "other" not in m and m["x"] == 1
    m.update(other=None, other2=1)
    assert "other" not in m and m["other2"] == 1
    m.update(b=1, c=2)
    assert m["b"] == 1 and m["c"] == 2


def test_pairs_accept_any_length_two_sequence(map_cls):
    m = map_cls()
    m.update(["ab", "cd", b"ef", [1, 2], range(3, 5)])
    assert m == {"a": "b", "c": "d", 101: 102, 1: 2, 3: 4}


@pytest.mark.parametrize("bad", [[(1, 2, 3)], [1], [(1,)], [None], [{"a": 1, "b": 2, "c": 3}]])
def test_pairs_must_have_length_two(map_cls, bad):
    with pytest.raises(ValueError, match=PAIRS_MESSAGE):
        map_cls().update(bad)


def test_failed_update_keeps_earlier_entries_and_counter(map_cls):
    m = map_cls({"z": 0})
    it = iter(m)
    with pytest.raises(ValueError, match=PAIRS_MESSAGE):
        m.update([("a", 1), [1], ("b", 2)])
    assert m == {"z": 0, "a": 1}
    assert iterator_valid(it)  # no counter advance on failure

    it = iter(m)
    with pytest.raises(TypeError):
        m.update([("c", 1), ([], 2)])  # unhashable key
    assert "c" in m and iterator_valid(it)

    def pairs():
        yield ("d", 1)
        raise LookupError("source broke")

    it = iter(m)
    with pytest.raises(LookupError):
        m.update(pairs())
    assert "d" in m and iterator_valid(it)


def test_errors_from_mapping_sources_propagate(map_cls):
    class KeysRaise:
        def keys(self):
            raise OSError("keys")

    class GetRaises(KeysMapping):
        def __getitem__(self, k):
            if k == "bad":
                raise IndexError("getitem")
            return 1

    class KeysNotIterable:
        def keys(self):
            return 5

    m = map_cls()
    all_raise(OSError, lambda: m.update(KeysRaise()))
    all_raise(IndexError, lambda: m.update(GetRaises({"ok": 0, "bad": 0})))
    all_raise(TypeError, lambda: m.update(KeysNotIterable()))
    assert "ok" in m

    class UnhashableKey(KeysMapping):
        def keys(self):
            return [[1]]

        def __getitem__(self, k):
            self.getitem_calls += 1
            return 0

    src = UnhashableKey({})
    with pytest.raises(TypeError):
        m.update(src)
    assert src.getitem_calls == 1  # the value is fetched before the key is hashed


def test_update_from_non_iterable(map_cls):
    m = map_cls({"a": 1})
    all_raise(TypeError, lambda: m.update(5), lambda: m.update(1.5), lambda: m.update(object()),
              lambda: m.update({}, {}))
    assert m == {"a": 1}


# --------------------------------------------------------------------------
# Counter behaviour


def test_empty_updates_keep_iterators_valid(map_cls):
    m = map_cls({"a": 1})
    it = iter(m)
    m.update()
    m.update({})
    m.update([])
    m.update(None)
    m.update(iter(()))
    m.update(KeysMapping({}))
    m.update(map_cls())
    m |= {}
    m |= []
    assert m == {"a": 1}
    assert iterator_valid(it)


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m.update({"a": 1}),  # same key, same value: still a store
        lambda m: m.update([("b", 2)]),
        lambda m: m.update(c=3),
        lambda m: m.update(type(m)({"a": 1})),
        lambda m: m.__ior__({"a": 1}),
    ],
)
def test_storing_updates_invalidate_iterators(map_cls, call):
    m = map_cls({"a": 1})
    it = iter(m)
    call(m)
    assert not iterator_valid(it)


def test_self_update(map_cls):
    m = map_cls({"a": 1, "b": 2})
    it = iter(m)
    assert m.update(m) is None
    assert m == {"a": 1, "b": 2}
    assert not iterator_valid(it)
    it = iter(m)
    r = m
    r |= m
    assert r is m and m == {"a": 1, "b": 2}
    assert not iterator_valid(it)

    empty = map_cls()
    it = iter(empty)
    empty.update(empty)
    empty |= empty
    assert len(empty) == 0 and iterator_valid(it)


def test_update_from_exclusively_held_source(map_cls):
    target = map_cls()
    src = map_cls({"a": 1})
    with raises_panic("Already mutably borrowed: PyBorrowError"):
        src[HookKey(on_hash=lambda: target.update(src))] = 2
    assert len(target) == 0 and src == {"a": 1}


def test_dict_source_mutated_while_walked(map_cls):
    src = {}

    class Meddler:
        armed = False

        def __hash__(self):
            if Meddler.armed:
                src[object()] = None
            return 3

    src[Meddler()] = 1
    src["x"] = 2
    Meddler.armed = True
    m = map_cls()
    with raises_panic() as info:
        m.update(src)
    assert info.value.args[0] in (
        "dictionary changed size during iteration",
        "dictionary keys changed during iteration",
    )
    m["ok"] = 1
    assert m["ok"] == 1


def test_same_class_source_does_not_rehash(map_cls, other_cls):
    keys = [CountingHash(i) for i in range(25)]
    src = map_cls.fromkeys(keys)
    target = map_cls()
    target.update(src)
    target |= src
    merged = target | src
    assert len(merged) == 25 and map_cls(src) == src and src.copy() == src
    assert all(k.hash_calls == 1 for k in keys)
    if other_cls is not map_cls:
        # Another class is a plain mapping: src[k] hashes once, inserting once more.
        other_cls().update(src)
        assert all(k.hash_calls == 3 for k in keys)


def test_huge_claimed_length_raises_memory_error(map_cls):
    m = map_cls({"old": 1})
    it = iter(m)
    with pytest.raises(MemoryError):
        m.update(HugeKeysMapping({"new": 2}))
    assert m == {"old": 1} and iterator_valid(it)
    m["new"] = 2
    m.update({i: i for i in range(100)})
    assert len(m) == 102 and m["old"] == 1


def test_update_reentrancy(map_cls):
    m = map_cls({"a": 1})
    seen = []

    class Source(KeysMapping):
        def keys(self):
            for attempt in (lambda: len(m), lambda: m.__setitem__("x", 1)):
                try:
                    attempt()
                except RuntimeError as e:
                    seen.append(str(e))
            return super().keys()

    m.update(Source({"b": 2}))
    assert seen == ["Already mutably borrowed", "Already borrowed"]
    assert m == {"a": 1, "b": 2}


# --------------------------------------------------------------------------
# | and |=


def test_or(map_cls):
    a = map_cls({"a": 1})
    r = a | {"a": 2, "b": 3}
    assert type(r) is map_cls and r == {"a": 2, "b": 3}
    assert a == {"a": 1}
    r = {"a": 2, "b": 3} | a
    assert type(r) is map_cls and r == {"a": 1, "b": 3}
    r = [("a", 5), ("c", 6)] | a
    assert type(r) is map_cls and r == {"a": 1, "c": 6}
    r = a | iter([("z", 0)])
    assert r == {"a": 1, "z": 0}
    r = a | a
    assert r is not a and r == a
    alias = a
    alias |= [("k", "v")]
    assert alias is a and a == {"a": 1, "k": "v"}


@pytest.mark.parametrize("bad", [5, 1.5, object()])
def test_or_errors(map_cls, bad):
    m = map_cls({"a": 1})
    alias = m

    def ior():
        nonlocal alias
        alias |= bad

    all_raise(TypeError, lambda: m | bad, lambda: bad | m, ior)
    assert alias is m and m == {"a": 1}


def test_failed_merges(map_cls):
    m = map_cls({"a": 1})
    with pytest.raises(ValueError, match=PAIRS_MESSAGE):
        m | [("b", 2), (1, 2, 3)]
    with pytest.raises(ValueError, match=PAIRS_MESSAGE):
        [("b", 2), (1, 2, 3)] | m
    assert m == {"a": 1}
    alias = m
    with pytest.raises(ValueError, match=PAIRS_MESSAGE):
        alias |= [("b", 2), (3,)]
    assert alias is m and m == {"a": 1, "b": 2}
