"""update / | / |= beyond the model test: source dispatch, failures, re-entrant sources."""

import operator
import sys

import pytest

from conftest import (HASH_MODULUS, HookKey, all_raise, broken_after, instance, iterator_valid,
                      keys_mapping, raiser, raises_panic)


def test_source_dispatch(map_cls):
    fail = raiser(AssertionError("not consulted for a dict subclass"))
    m = map_cls()
    m.update(type("D", (dict,), {"keys": fail, "__iter__": fail})(x=1))
    # keys() wins over iteration.
    m.update(keys_mapping({"k": "mapping"}, __iter__=lambda self: iter([("k", "pairs")])))
    m.update(["ab", b"ef", [1, 2], range(3, 5)])  # any length-two sequence is a pair
    m.update(other={"o": 1})
    m.update(other=None, other2=2)
    assert m == {"x": 1, "k": "mapping", "a": "b", 101: 102, 1: 2, 3: 4, "o": 1, "other2": 2}


MERGES = {  # name: (operation, whether it works in place)
    "update": (lambda m, s: m.update(s), True), "or": (operator.or_, False),
    "ror": (lambda m, s: s | m, False), "ior": (operator.ior, True),
}


@pytest.mark.parametrize("op", list(MERGES))
def test_bad_sources(map_cls, op):
    merge, in_place = MERGES[op]
    m = map_cls({"z": 0})
    it = iter(m)
    for bad in ((1, 2, 3), 1, (1,), None, {"a": 1, "b": 2, "c": 3}):
        with pytest.raises(ValueError, match="^update sequence elements must be 2-tuples$"):
            merge(m, [("a", 1), bad, ("b", 2)])
    all_raise(TypeError, *(lambda bad=bad: merge(m, bad) for bad in (5, 1.5, object())))
    # None is no source at all: the result holds the map's entries only.
    assert merge(m, None) in (None, m) if in_place else merge(m, None) == m
    # In place, entries stored before a failure stay; the counter does not move.
    assert m == ({"z": 0, "a": 1} if in_place else {"z": 0}) and iterator_valid(it)


def test_failing_sources(map_cls):
    fetched = []

    def source(*keys):
        return instance(keys=lambda self: keys,
                        __getitem__=lambda self, k: fetched.append(k) or 1 // (k != "bad"))

    m = map_cls({"z": 0})
    it = iter(m)
    all_raise(LookupError, lambda: m.update(broken_after(("d", 1))))
    all_raise(ZeroDivisionError, lambda: m.update(source("ok", "bad")),
              lambda: m.update(instance(keys=raiser(ZeroDivisionError))))
    all_raise(TypeError, lambda: m.update([("c", 1), ([], 2)]), lambda: m.update(source([1])),
              lambda: m.update(instance(keys=lambda self: 5)))
    assert fetched[-1] == [1]  # the value is fetched before the key is hashed
    assert m == {"z": 0, "d": 1, "ok": 1, "c": 1} and iterator_valid(it)


def test_huge_claimed_length_raises_memory_error(map_cls):
    m = map_cls({"old": 1})
    it = iter(m)
    with pytest.raises(MemoryError):
        m.update(keys_mapping({"new": 2}, __len__=lambda self: sys.maxsize))
    assert m == {"old": 1} and iterator_valid(it)
    m.update({i: i for i in range(100)}, new=2)
    assert len(m) == 102 and m["old"] == 1


class Value:
    """A value whose references the test counts."""


@pytest.mark.parametrize("target", [{}, {"held": 0}])
@pytest.mark.parametrize("change", ["size", "visited", "current", "ahead"])
def test_dict_source_changed_while_walked(map_cls, change, target):
    # A key's __hash__ changes the source dict once, in the middle of the walk:
    # it adds a key, or removes one (already walked, the one being walked, one
    # still ahead) and adds another, keeping the size.
    value, armed = Value(), []
    unheld = sys.getrefcount(value)
    src = {i: value for i in range(6)}

    def mutate():
        if armed:
            armed.clear()
            if change != "size":
                del src[{"visited": 0, "current": hook, "ahead": 5}[change]]
            src[object()] = value

    hook = HookKey(on_hash=mutate)
    src[hook] = value
    for i in range(5, 9):  # a key ahead of the hook, and room for the dict to stay put
        src[i] = value
    del src[6], src[7], src[8]
    m = map_cls(target)
    armed.append(True)
    message = ("dictionary changed size during iteration" if change == "size"
               else "dictionary keys changed during iteration")
    with raises_panic(message):
        m.update(src)
    m["ok"] = 1
    assert m["ok"] == 1 and all(m[k] is value for k in m if k not in ("ok", "held"))
    m.clear()  # nothing leaked: only the source still holds the value
    assert sys.getrefcount(value) == unheld + len(src)


def test_source_touching_the_target(map_cls):
    m, seen = map_cls({"a": 1}), []

    def keys(self):
        for attempt in (lambda: len(m), lambda: m.__setitem__("x", 1)):
            try:
                attempt()
            except RuntimeError as e:
                seen.append(str(e))
        return ["b"]

    m.update(instance(keys=keys, __getitem__=lambda self, k: 2))
    assert seen == ["Already mutably borrowed", "Already borrowed"] and m == {"a": 1, "b": 2}


class _Str(str):
    pass


def _awkward_entries():
    shared = [HookKey(h=7) for _ in range(5)]  # equal hashes, equal only to themselves
    return ([(1, "one"), (2.5, "f"), (float("nan"), "nan"), (_Str("s"), "sub"), ("\udc80", "lone")]
            + [(k, i) for i, k in enumerate(shared)] + [(i, i) for i in range(3, 400)])


@pytest.mark.parametrize("how", ["copy", "call", "update"])
def test_copy_from_same_class_matches_inserting_each_entry(map_cls, how):
    m = map_cls(_awkward_entries())
    for k in list(m)[::3]:
        del m[k]
    if how == "copy":
        plain = map_cls.with_options(capacity=len(m))
        for k, v in list(m.items()):
            plain[k] = v
    else:  # a dict source reserves the same room, then inserts each entry
        plain = map_cls(dict(m.items()))
    got = m.copy() if how == "copy" else map_cls(m) if how == "call" else map_cls()
    if how == "update":
        got.update(m)
    assert got.capacity == plain.capacity
    assert len(got) == len(plain) == len(m)
    assert all(got[k] is v for k, v in m.items())
    assert sorted(map(id, got)) == sorted(map(id, m))  # the very key objects


def test_copy_meeting_a_raising_eq(map_cls):
    # An ordinary exception from __eq__ counts as unequal: every key is copied.
    keys = [HookKey(on_eq=raiser(ValueError("eq")), h=5) for _ in range(3)] + list(range(200))
    m = map_cls.fromkeys(keys, 0)
    for copied in (m.copy(), map_cls(m), map_cls({-1: 1}) | m):
        assert all(copied[k] == 0 for k in keys)


def test_copy_stopped_by_keyboard_interrupt_keeps_the_source(map_cls):
    exc = KeyboardInterrupt
    boom = [False]

    def on_eq():
        if boom[0]:
            raise exc("eq")

    keys = [HookKey(on_eq=on_eq, h=5) for _ in range(3)] + list(range(200))
    m = map_cls.fromkeys(keys, 0)
    boom[0] = True
    for make in (lambda: m.copy(), lambda: map_cls(m), lambda: map_cls().update(m)):
        with pytest.raises(exc):
            make()
    boom[0] = False
    assert len(m) == 203 and all(m[k] == 0 for k in keys)
    target = map_cls({-1: 1})
    boom[0] = True
    with pytest.raises(exc):
        target.update(m)
    boom[0] = False
    assert target[-1] == 1 and set(target) <= set(keys) | {-1}
    target[-2] = 2
    assert target[-2] == 2


@pytest.mark.parametrize("first_odd", [None, 0, 5, 20])
def test_dict_source_matches_inserting_pairs(map_cls, first_odd):
    # An empty map taking plain keys (int, str, float, NaN, lone surrogates)
    # skips the dict's change checks until the first other key.
    plain = [1, 2.5, float("nan"), "\udc80", "s"] + list(range(10, 60)) + [f"k{i}" for i in range(30)]
    odd = [True, _Str("sub"), HookKey(h=3)]
    keys = list(plain)
    if first_odd is not None:
        keys[first_odd:first_odd] = odd
    d = {k: i for i, k in enumerate(keys)}
    for target in (map_cls(), map_cls({"x": 0})):
        ref = map_cls(target.items())
        ref.update(list(d.items()))
        target.update(d)
        assert target.capacity == ref.capacity
        assert len(target) == len(ref)
        assert all(target[k] is v for k, v in ref.items())
    built = map_cls(d)
    assert len(built) == len(d) and all(built[k] is v for k, v in d.items())


class _LikeOne:
    """Hashes like 1 and, once ``equal`` is set, claims to equal the int 1."""

    equal = False

    def __hash__(self):
        return 1

    def __eq__(self, other):
        return _LikeOne.equal and type(other) is int and other == 1


COPIES = {
    "copy": lambda cls, m: m.copy(), "call": lambda cls, m: cls(m),
    "update": lambda cls, m: cls().update(m) or None, "or": lambda cls, m: cls() | m,
    "dict": lambda cls, m: cls(dict(m.items())),
}


@pytest.mark.parametrize("how", list(COPIES))
@pytest.mark.parametrize("like_one_first", [False, True])
def test_copies_merge_keys_that_came_to_compare_equal(map_cls, how, like_one_first, monkeypatch):
    # Plain keys (1, one sharing its hash, 1.0 and True merging into it at the
    # source, NaN, a lone surrogate) are stored without a search only while no
    # other key came before them; a key that has come to equal 1 merges with
    # it exactly as inserting the entries one by one in traversal order does.
    like_one = _LikeOne()
    m = map_cls()
    entries = [(1, "int"), (1 + HASH_MODULUS, "same hash"), (1.0, "float"), (True, "bool"),
               (float("nan"), "nan"), ("\udc80", "lone"), (_Str("s"), "sub")]
    entries += [(i, i) for i in range(2, 300)]
    entries.insert(0 if like_one_first else len(entries), (like_one, "like one"))
    for k, v in entries:
        m[k] = v
    assert len(m) == len(entries) - 2
    monkeypatch.setattr(_LikeOne, "equal", True)
    ref = map_cls.with_options(capacity=len(m))
    for k, v in list(m.items()):
        ref[k] = v
    got = COPIES[how](map_cls, m)
    if got is None:  # update() returns None: redo it on a kept target
        got = map_cls()
        got.update(m)
    if how == "dict":  # a dict drops nothing: build the reference from the same dict
        ref = map_cls.with_options(capacity=len(m))
        for k, v in dict(m.items()).items():
            ref[k] = v
    pairs = sorted((id(k), id(v)) for k, v in got.items())
    assert pairs == sorted((id(k), id(v)) for k, v in ref.items())
    if how == "copy":
        assert got.capacity == ref.capacity


def test_copies_leak_nothing(map_cls):
    value, keys = object(), [f"k{i}" for i in range(500)] + list(range(10**6, 10**6 + 500))
    keys.append(_Str("s"))
    unheld = sys.getrefcount(value)
    key_refs = [sys.getrefcount(k) for k in keys]
    m = map_cls.fromkeys(keys, value)
    for make in COPIES.values():
        copied = make(map_cls, m)
        del copied
    del m
    assert sys.getrefcount(value) == unheld
    assert [sys.getrefcount(k) for k in keys] == key_refs


@pytest.mark.parametrize("target", [None, {}, {"held": 0}])
def test_dict_source_failing_part_way(map_cls, target):
    # Plain keys go in without a search, then a key whose __hash__ raises
    # stops the update: what went in stays, nothing leaks, the map goes on.
    value, armed = Value(), []
    unheld = sys.getrefcount(value)

    def check():
        if armed:
            raise ZeroDivisionError("hash")

    src = {i: value for i in range(50)}
    src[HookKey(on_hash=check)] = value
    src.update({i: value for i in range(50, 80)})
    armed.append(True)
    if target is None:
        with pytest.raises(ZeroDivisionError):
            map_cls(src)
        assert sys.getrefcount(value) == unheld + len(src)
        return
    m = map_cls(target)
    it = iter(m)
    with pytest.raises(ZeroDivisionError):
        m.update(src)
    assert sorted(k for k in m if k != "held") == list(range(50)) and iterator_valid(it)
    assert sys.getrefcount(value) == unheld + len(src) + 50
    m[80] = value
    assert len(m) == 51 + len(target) and m[80] is value
    m.clear()
    assert sys.getrefcount(value) == unheld + len(src)
