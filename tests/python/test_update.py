"""update / | / |= beyond the model test: source dispatch, failures, re-entrant sources."""

import operator
import sys

import pytest

from conftest import (HookKey, all_raise, broken_after, instance, iterator_valid, keys_mapping,
                      raiser, raises_panic)


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
