"""Key equality as the maps see it: which errors of ``__eq__`` are swallowed and
which end the operation, the references the comparison path takes and gives
back, and the table memory the interpreter's allocator accounts for."""

import gc
import sys
import tracemalloc
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quenlor
from conftest import CLASSES, iterator_valid

STOP_REQUESTS = (KeyboardInterrupt, SystemExit)


class Tripwire:
    """Keys and values of one hash whose ``__eq__`` raises ``armed`` (when set)
    and otherwise compares ``tag``."""

    armed = None

    def __init__(self, tag):
        self.tag = tag

    def __hash__(self):
        return 7

    def __eq__(self, other):
        if Tripwire.armed is not None:
            raise Tripwire.armed("from __eq__")
        return isinstance(other, Tripwire) and self.tag == other.tag

    def __repr__(self):
        return f"Tripwire({self.tag!r})"


@pytest.fixture
def tripwire():
    yield Tripwire
    Tripwire.armed = None


# Each takes the map, its stored key `a`, an equal-hash key `b` the map must
# compare with it, and `twin`: a dict of the map's size with `b` in place of
# `a`, so that equality has to get as far as comparing keys. The stored key is
# also its own value, so value comparisons meet it too.
OPERATIONS = {
    "setitem": lambda m, a, b, twin: m.__setitem__(b, 1),
    "getitem": lambda m, a, b, twin: m[b],
    "contains": lambda m, a, b, twin: b in m,
    "get": lambda m, a, b, twin: m.get(b),
    "delitem": lambda m, a, b, twin: m.__delitem__(b),
    "pop": lambda m, a, b, twin: m.pop(b, None),
    "setdefault": lambda m, a, b, twin: m.setdefault(b, 1),
    "update-pairs": lambda m, a, b, twin: m.update([(b, 1)]),
    "update-dict": lambda m, a, b, twin: m.update({b: 1}),
    "update-map": lambda m, a, b, twin: m.update(twin["map"]),
    "inplace-or": lambda m, a, b, twin: m.__ior__({b: 1}),
    "or": lambda m, a, b, twin: m | {b: 1},
    "copy": lambda m, a, b, twin: m.copy(),  # a and c share a hash
    "eq-dict": lambda m, a, b, twin: m == twin["dict"],
    "ne-dict": lambda m, a, b, twin: m != twin["dict"],
    "eq-map": lambda m, a, b, twin: m == twin["map"],
    "eq-mapping": lambda m, a, b, twin: m == twin["mapping"],
    "keys-contains": lambda m, a, b, twin: b in m.keys(),
    "items-contains": lambda m, a, b, twin: (b, a) in m.items(),
    "values-contains": lambda m, a, b, twin: b in m.values(),
    "keys-eq": lambda m, a, b, twin: m.keys() == twin["keys"],
    "items-eq": lambda m, a, b, twin: m.items() == twin["items"],
    "keys-xor": lambda m, a, b, twin: m.keys() ^ [b],
}


class _Mapping:
    """A mapping that is not a dict: reached through keys() and []."""

    def __init__(self, data):
        self.data = data

    def keys(self):
        return self.data.keys()

    def __getitem__(self, k):
        return self.data[k]

    def __len__(self):
        return len(self.data)


def _filled(map_cls):
    m = map_cls()
    a, c = Tripwire("a"), Tripwire("c")
    m[a] = a
    for i in range(100, 140):  # other entries (none hashing like a Tripwire)
        m[i] = i
    m[c] = c
    return m, a


@pytest.mark.parametrize("op", OPERATIONS.values(), ids=OPERATIONS.keys())
@pytest.mark.parametrize("stop", STOP_REQUESTS)
@pytest.mark.parametrize("map_cls", CLASSES, ids=lambda c: c.__name__)
def test_stop_request_from_eq_ends_the_operation_leaving_the_map_as_it_was(
        map_cls, stop, op, tripwire):
    m, a = _filled(map_cls)
    b = Tripwire("b")
    d = {(b if k is a else k): v for k, v in m.items()}
    twin = {"dict": d, "map": map_cls(d), "mapping": _Mapping(d), "keys": set(d),
            "items": set(d.items())}
    before = {id(k): v for k, v in m.items()}
    it = iter(m)
    tripwire.armed = stop
    with pytest.raises(stop, match="from __eq__"):
        op(m, a, b, twin)
    tripwire.armed = None
    # The same key and value objects (an update may have grown the table
    # first, which can change the order).
    after = {id(k): v for k, v in m.items()}
    assert len(m) == len(before) == len(after)
    assert after.keys() == before.keys() and all(after[k] is before[k] for k in before)
    assert iterator_valid(it)


@pytest.mark.parametrize("map_cls", CLASSES, ids=lambda c: c.__name__)
def test_other_errors_from_eq_count_as_not_equal(map_cls, tripwire):
    m, a = _filled(map_cls)
    b = Tripwire("a")  # would be equal if __eq__ got to answer
    tripwire.armed = ValueError
    with pytest.raises(KeyError):
        m[b]
    with pytest.raises(KeyError):
        del m[b]
    assert b not in m and m.get(b, "dflt") == "dflt" and m.pop(b, "dflt") == "dflt"
    assert b not in m.keys() and (b, a) not in m.items() and b not in m.values()
    assert m != {b: a} and not m == map_cls({b: a}) and m.keys() != {b}
    m[b] = "second"
    tripwire.armed = None
    assert len(m) == 43 and m[a] is a


@pytest.mark.parametrize("stop", STOP_REQUESTS)
@pytest.mark.parametrize("map_cls", CLASSES, ids=lambda c: c.__name__)
def test_stop_request_from_truth_of_eq_result_ends_the_operation(map_cls, stop):
    class Verdict:
        def __bool__(self):
            raise stop("from __bool__")

    class Key:
        def __hash__(self):
            return 7

        def __eq__(self, other):
            return Verdict()

    m = map_cls()
    a = Key()
    m[a] = 1
    for op in (lambda: m.__setitem__(Key(), 2), lambda: Key() in m, lambda: m.pop(Key(), 0)):
        with pytest.raises(stop, match="from __bool__"):
            op()
    assert list(m.items()) == [(a, 1)]


@pytest.mark.parametrize("map_cls", CLASSES, ids=lambda c: c.__name__)
def test_every_eq_result_is_released(map_cls):
    """Non-bool results of __eq__, truthy or not, are all given back."""
    made, freed = [0], [0]

    class Verdict:
        def __init__(self, value):
            self.value = value
            made[0] += 1
            weakref.finalize(self, lambda: freed.__setitem__(0, freed[0] + 1))

        def __bool__(self):
            return self.value

    class Key:
        def __init__(self, tag):
            self.tag = tag

        def __hash__(self):
            return 7

        def __eq__(self, other):
            return Verdict(self.tag == other.tag)

    m = map_cls()
    keys = [Key(i) for i in range(20)]
    for k in keys:
        m[k] = k.tag
    for k in keys:
        probe = Key(k.tag)
        assert m[probe] == k.tag and probe in m and m.get(probe) == k.tag
        m[probe] = k.tag + 1
    assert (Key(99) in m, m.get(Key(99))) == (False, None)
    for k in keys[::2]:
        del m[Key(k.tag)]
    assert len(m) == 10
    del m, keys
    assert made[0] > 100 and freed[0] == made[0]


@pytest.mark.parametrize("map_cls", CLASSES, ids=lambda c: c.__name__)
def test_keys_and_values_are_released_on_every_path_with_equal_hashes(map_cls):
    class Key:
        def __init__(self, tag):
            self.tag = tag

        def __hash__(self):
            return -3

        def __eq__(self, other):
            return isinstance(other, Key) and self.tag == other.tag

    keys = [Key(i) for i in range(30)]
    probes = [Key(i) for i in range(30)]
    values = [object() for _ in range(30)]
    objects = keys + probes + values

    def exercise():
        m = map_cls()
        for k, v in zip(keys, values):
            m[k] = v
        for p, v in zip(probes, reversed(values)):
            assert p in m and m[p] is not None
            m[p] = v  # replaces the value, keeps the stored key, releases the probe
        m.update(zip(probes, values))
        m.setdefault(probes[0], values[1])
        for p in probes[::3]:
            m.pop(p)
        for p in probes[1::3]:
            del m[p]
        assert len(m) == 10 and all(p not in m for p in probes[:2])
        assert m.copy() == m

    gc.collect()
    baseline = [sys.getrefcount(o) for o in objects]
    exercise()
    gc.collect()
    assert [sys.getrefcount(o) for o in objects] == baseline


@pytest.mark.parametrize("map_cls", CLASSES, ids=lambda c: c.__name__)
def test_tracemalloc_accounts_for_the_tables(map_cls):
    n = 100_000
    keys = list(range(n))  # made before measuring: only the map's memory counts
    entry_and_ctrl_bytes = 25 * n  # 24-byte entry and one control byte per entry
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        m = map_cls()
        for k in keys:
            m[k] = None
        filled = tracemalloc.get_traced_memory()[0]
        del m
        emptied = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert filled - start >= entry_and_ctrl_bytes
    assert filled - emptied >= entry_and_ctrl_bytes


# A map and a dict driven by the same operations. Lookups with keys whose
# __eq__ raises run against the map alone: an equal-hash entry makes a stop
# request end the lookup with nothing changed, any other error reads as "absent".
class Awkward:
    """Equal by ``tag``; hashes collide in groups of three."""

    def __init__(self, tag):
        self.tag = tag

    def __hash__(self):
        return self.tag % 3

    def __eq__(self, other):
        if isinstance(other, Raising):
            raise other.exc("from __eq__")
        return isinstance(other, Awkward) and self.tag == other.tag


class Raising(Awkward):
    def __init__(self, tag, exc):
        super().__init__(tag)
        self.exc = exc

    def __eq__(self, other):
        raise self.exc("from __eq__")

    __hash__ = Awkward.__hash__


class SubStr(str):
    __slots__ = ()


_keys = st.one_of(st.integers(0, 8).map(Awkward),
                  st.sampled_from(["x", "y", "\ud800", SubStr("x"), SubStr("\ud800"), 1, 1.0, True]))
_raising = st.builds(Raising, st.integers(0, 8),
                     st.sampled_from([KeyboardInterrupt, SystemExit, ValueError]))
_ops = st.lists(st.one_of(
    st.tuples(st.sampled_from(["set", "get", "pop", "in", "setdefault"]), _keys, st.integers()),
    st.tuples(st.sampled_from(["get", "pop", "in"]), _raising, st.just(0))), max_size=40)


def _apply(target, op, key, value):
    if op == "set":
        target[key] = value
        return None
    if op == "get":
        return target.get(key)
    if op == "pop":
        return target.pop(key, None)
    if op == "in":
        return key in target
    return target.setdefault(key, value)


@pytest.mark.parametrize("map_cls", CLASSES, ids=lambda c: c.__name__)
@settings(max_examples=80, deadline=None)
@given(ops=_ops)
def test_model_with_awkward_and_raising_keys(map_cls, ops):
    m, model = map_cls(), {}
    it = iter(m)
    for op, key, value in ops:
        if isinstance(key, Raising):
            collides = any(hash(k) == hash(key) for k in model)
            if collides and key.exc in STOP_REQUESTS:
                with pytest.raises(key.exc):
                    _apply(m, op, key, value)
            else:
                assert _apply(m, op, key, value) == (False if op == "in" else None)
            assert iterator_valid(it)
        else:
            assert _apply(m, op, key, value) == _apply(model, op, key, value)
            it = iter(m)
        assert len(m) == len(model)
    items = list(m.items())
    assert items == list(model.items()) or dict(items) == model
    assert all(any(k is j for j in model) for k, _ in items)
