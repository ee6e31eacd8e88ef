"""update / | / |= and copies beyond the model test: sources changed while
walked, and copies of large maps."""

import sys

import pytest

from conftest import (HASH_MODULUS, HookKey, all_raise, instance, iterator_valid, keys_mapping,
                      raises_panic)


def test_failing_sources(map_cls):
    # What the model's failing sources leave out: the order of a mapping's
    # reads, keys() giving no iterable, and an impossible claimed length.
    fetched, m = [], map_cls({"z": 0})
    it = iter(m)
    all_raise(TypeError, lambda: m.update(instance(keys=lambda self: 5)),
              lambda: m.update(instance(keys=lambda self: ["ok", [1]],
                                        __getitem__=lambda self, k: fetched.append(k) or 1)))
    assert fetched == ["ok", [1]]  # the value is fetched before the key is hashed
    with pytest.raises(MemoryError):  # a claimed length beyond any table, before anything else
        m.update(keys_mapping({"new": 2}, __len__=lambda self: sys.maxsize))
    assert m == {"z": 0, "ok": 1} and iterator_valid(it)


class Value:
    """A value whose references the test counts."""


@pytest.mark.parametrize("target", [None, {}, {"held": 0}])
@pytest.mark.parametrize("change", ["raise", "size", "visited", "current", "ahead"])
def test_dict_source_failing_or_changed_while_walked(map_cls, change, target):
    # A key's __hash__, met after plain keys that went in without a search,
    # raises or changes the source dict once: it adds a key, or removes one
    # (already walked, the one being walked, one still ahead) and adds another,
    # keeping the size. What went in stays, nothing leaks, the map goes on.
    value, armed = Value(), []
    unheld = sys.getrefcount(value)

    def mutate():
        if armed:
            armed.clear()
            if change == "raise":
                raise ZeroDivisionError
            if change != "size":
                del src[{"visited": 0, "current": hook, "ahead": 5}[change]]
            src[object()] = value

    hook = HookKey(on_hash=mutate)
    src = {**{i: value for i in range(5)}, hook: value}
    for i in range(5, 8):  # a key ahead of the hook, and room for the dict to stay put
        src[i] = value
    del src[6], src[7]
    m = map_cls(target or {})
    it = iter(m)
    armed.append(True)
    with (pytest.raises(ZeroDivisionError) if change == "raise" else raises_panic(
            "dictionary changed size during iteration" if change == "size"
            else "dictionary keys changed during iteration")):
        map_cls(src) if target is None else m.update(src)
    assert iterator_valid(it)  # the counter moves only when an update ends well
    went_in = list(range(5)) if target is not None else []
    assert change != "raise" or sorted(k for k in m if k != "held") == went_in
    m["ok"] = 1
    assert all(m[k] is value for k in m if k not in ("ok", "held"))
    m.clear()
    assert sys.getrefcount(value) == unheld + len(src)  # only the source holds it


class LikeOne:
    """Hashes like 1 and, once ``equal`` is set, claims to equal the int 1."""

    equal = False

    def __hash__(self):
        return 1

    def __eq__(self, other):
        return LikeOne.equal and type(other) is int and other == 1


def _updated(target, source):
    target.update(source)
    return target


COPIES = {
    "copy": lambda cls, m: m.copy(), "call": lambda cls, m: cls(m),
    "update": lambda cls, m: _updated(cls(), m), "or": lambda cls, m: cls() | m,
    "dict": lambda cls, m: cls(dict(m.items())),
}


class HashFails:
    """Hashes like 5 until ``armed`` is set, then raises."""

    armed = False

    def __hash__(self):
        if HashFails.armed:
            raise ValueError("no hash")
        return 5


def test_large_dict_source_goes_in_as_each_entry_would(map_cls, monkeypatch):
    # Into a table beyond the caches a dict's plain keys go in through a
    # look-ahead window. The first other key is searched for only after every
    # plain key before it went in: here one that comes to equal 1 once the
    # dict is built, so it must find 1 and replace its value. A key whose
    # __hash__ raises leaves everything before it in the map.
    n = 480_000  # past 2**19 slots
    keys = [*range(2, n), 1, LikeOne(), *range(n, n + 40)]
    values = [Value() for _ in keys]
    src = dict(zip(keys, values))
    monkeypatch.setattr(LikeOne, "equal", True)
    ref = map_cls.with_options(capacity=len(src))
    ref.update(iter(list(src.items())))  # pairs: one insertion at a time
    got = map_cls(src)
    assert got.capacity >= 2**19
    assert len(got) == len(src) - 1 and got[1] is values[n - 1]
    assert sorted((id(k), id(v)) for k, v in got.items()) == sorted(
        (id(k), id(v)) for k, v in ref.items())
    del got, ref
    monkeypatch.setattr(LikeOne, "equal", False)
    del src[keys[n - 1]], src[1]
    src[HashFails()] = Value()
    src.update(dict.fromkeys(range(-10, 0), values[0]))
    monkeypatch.setattr(HashFails, "armed", True)
    counts = [sys.getrefcount(v) for v in values]
    m = map_cls()
    with pytest.raises(ValueError, match="no hash"):
        m.update(src)
    assert len(m) == len(keys) - 2 and -1 not in m and m[n] is values[n]
    del m
    assert [sys.getrefcount(v) for v in values] == counts


# A plain walk, or one with look-ahead beyond the caches.
@pytest.mark.parametrize("size, like_one_first", [(300, False), (300, True), (20_000, False)])
def test_copies_hold_what_inserting_each_entry_holds(map_cls, size, like_one_first, monkeypatch):
    # Plain keys (int, str, float) go in without a search only while no other
    # key came before them: a key that has come to equal 1 merges with it
    # exactly as inserting the entries one by one in traversal order does.
    keys = [1, 1 + HASH_MODULUS, 1.0, True, 1.0 + 2**-30, float("nan"), "a",
            type("StrSub", (str,), {})("b"), "\udc80", 2**70, HookKey(h=5), *range(2, size)]
    keys.insert(0 if like_one_first else len(keys), LikeOne())
    values = [object() for _ in keys]
    m = map_cls(zip(keys, values))
    assert len(m) == len(keys) - 2  # 1.0 and True went into 1
    # True, small ints and one-character strs are shared by the whole
    # interpreter: their counts move anyway.
    def shared(k):
        return type(k) is bool or (type(k) is int and k < 257) or (type(k) is str and len(k) == 1)
    watched = values + [k for k in keys if not shared(k)]
    counts = [sys.getrefcount(x) for x in watched]
    monkeypatch.setattr(LikeOne, "equal", True)
    for how, make in COPIES.items():
        ref = map_cls.with_options(capacity=len(m))  # the entries inserted in traversal order
        ref.update(iter(list((dict(m.items()) if how == "dict" else m).items())))
        got = make(map_cls, m)
        assert sorted((id(k), id(v)) for k, v in got.items()) == sorted(
            (id(k), id(v)) for k, v in ref.items()), how
        got[-1] = 0  # usable and independent
        assert -1 not in m
    del got, ref
    assert [sys.getrefcount(x) for x in watched] == counts
