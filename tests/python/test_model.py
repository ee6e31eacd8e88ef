"""Each map class driven side by side with a plain dict, on awkward keys.

Map and dict get the same key objects, so the model checks which object is
stored (a replaced value keeps the first key). It also knows which steps modify
the map: iterators made before a step fail after it exactly when it did.
"""

import collections
import gc
import operator
import sys
from contextlib import nullcontext

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

import quenlor
from conftest import HASH_MODULUS, instance, iterator_valid, keys_mapping, raiser

NAN = float("nan")


# Shared non-bool answers of ConstHash.__eq__: each step must give back every
# reference it took to them.
YES, NO = (type("Verdict", (), {"__bool__": lambda self, b=b: b})() for b in (True, False))


class ConstHash:
    """Equal by label, all sharing one hash."""

    def __init__(self, label):
        self.label = label

    def __hash__(self):
        return 42

    def __eq__(self, other):
        if type(other) is not ConstHash:
            return NotImplemented
        return YES if self.label == other.label else NO

    def __repr__(self):
        return f"ConstHash({self.label})"


# A str subclass is no exact str, so it never takes the byte-comparison short cut.
StrSub = type("StrSub", (str,), {})


class Folded(StrSub):
    """Equal to any str it matches ignoring case (a subclass's __eq__ runs first,
    so also with a str on the left): Folded("A") == "a"."""

    def __eq__(self, other):
        return str.lower(self) == str.lower(other) if isinstance(other, str) else NotImplemented

    def __hash__(self):
        return hash(str.lower(self))


class Raising:
    """Never stored: comparing it raises ``exc``, from a key sharing hash ``h``."""

    def __init__(self, h, exc):
        self.h, self.exc = h, exc

    def __hash__(self):
        return self.h

    def __eq__(self, other):
        raise self.exc("from __eq__")


def strings(alphabet, max_size):
    return st.lists(st.sampled_from(alphabet), max_size=max_size).map("".join)


KEYS = st.one_of(  # equal across types, hash(-1) == hash(-2), equal hashes, NaNs
    st.integers(-3, 24),
    st.sampled_from([1, 1.0, True, 0, 0.0, False, -1, -2, NAN]),
    st.builds(float, st.just("nan")),  # a fresh NaN: never found again
    strings("ab\u00e9\ud800", 3),
    strings("ab", 2).map(StrSub),
    strings("aA", 2).map(Folded),
    st.integers(0, 5).map(ConstHash),
    st.integers(0, 4).map(lambda i: 5 + i * HASH_MODULUS),
)
BAD_HASH = type("BadHash", (), {"__hash__": lambda self: 1 // 0})()
LOOKUPS = ["m.get(k)", "k in m", "k in m.keys()", "m.pop(k, None)", "(k, None) in m.items()",
           "m[k]", "m.__delitem__(k)"]
RAISING = st.builds(Raising, st.sampled_from([42, 5, 1, -2]),
                    st.sampled_from([ValueError, KeyboardInterrupt, SystemExit]))
VALUES = st.one_of(st.none(), st.integers(-2, 3), st.sampled_from([0.5, 1.0]))
PAIRS = st.lists(st.tuples(KEYS, VALUES), max_size=6)
MISSING = object()
# get / pop / setdefault: positional calls skip the keyword parser.
FORMS = st.sampled_from([
    lambda f, k, d: f(k) if d is MISSING else f(k, d),
    lambda f, k, d: f(key=k) if d is MISSING else f(key=k, default=d),
    lambda f, k, d: f(k) if d is MISSING else f(k, default=d),
])
SOURCES = {
    "dict": dict, "pairs": list, "lists": lambda p: tuple(map(list, p)),
    # Pairs that are neither tuple nor list are read through len() and [i].
    "seqs": lambda p: iter(list(map(collections.UserList, p))), "iter": lambda p: iter(list(p)),
    # keys() wins over iteration; a dict subclass is read as a dict, through neither.
    "mapping": lambda p: keys_mapping(dict(p), __iter__=raiser(AssertionError)),
    "dict subclass": lambda p: type("D", (dict,), {"keys": raiser(AssertionError),
                                                   "__iter__": raiser(AssertionError)})(p),
    "none": lambda p: None,  # no source at all (its pairs are dropped)
}
NOT_A_PAIR = "^update sequence elements must be 2-tuples$"
# How a source fails after giving some pairs: an element that is no pair, an
# unhashable key, an iterator or a mapping that raises, nothing iterable at all.
FAILURES = st.sampled_from([(1, 2, 3), 1, (1,), None, {"a": 1, "b": 2, "c": 3}, [1], ([], 2),
                            "generator", "mapping", "keys()", "not iterable"])


def failing_source(head, tail, how):
    """A source that fails after ``head``: (the source, the exception it raises)."""
    if how == "generator":
        return (x for i, x in enumerate([*head, None]) if i < len(head) or [][0]), IndexError
    if how == "mapping":
        data = dict(head)  # it lists one key more than it holds
        return instance(keys=lambda self: [*data, "bad"], __getitem__=lambda s, k: data[k]), KeyError
    if how == "keys()":
        return instance(keys=raiser(LookupError)), LookupError
    if how == "not iterable":
        return 1.5, TypeError
    return [*head, how, *tail], TypeError if how == ([], 2) else ValueError


def key_ids(keys):
    return sorted(map(id, keys))


class MapModel(RuleBasedStateMachine):
    cls = other = options = None  # set per class below

    def __init__(self):
        super().__init__()
        self.m, self.d, self.modified, self.watched, self.viewed = self.cls(), {}, False, None, None
        self.made = []  # keys and values the steps made, which hypothesis never holds
        self.verdicts = sys.getrefcount(YES), sys.getrefcount(NO)

    @initialize(data=st.data())
    def build(self, data):
        # Tuning options change the table geometry, so they get exercised too.
        self.m = self.cls.with_options(**data.draw(self.options))

    def check_same(self, m, d, cls=None):
        assert type(m) is (cls or self.cls)
        assert len(m) == len(d) and key_ids(m) == key_ids(d)
        assert m == d and d == m and not m != d and m == self.other(d)
        assert all(m[k] is v for k, v in d.items())

    def touch(self, modified=True):
        self.modified = self.modified or modified

    @rule(k=KEYS, v=VALUES)
    def assign(self, k, v):
        self.m[k] = self.d[k] = v
        self.touch()  # also when only the value was replaced

    @rule(k=KEYS, v=VALUES, call=FORMS)
    def lookup(self, k, v, call):
        assert (k in self.m) == (k in self.d) == (k in self.m.keys())
        assert (v in self.m.values()) == (v in self.d.values())
        assert ((k, v) in self.m.items()) == ((k, v) in self.d.items())
        assert call(self.m.get, k, MISSING) is self.d.get(k)
        assert call(self.m.get, k, v) is self.d.get(k, v)
        if k in self.d:
            assert self.m[k] is self.d[k]
        else:
            with pytest.raises(KeyError):
                self.m[k]

    @rule(k=RAISING, op=st.sampled_from(LOOKUPS))
    def raising_lookup(self, k, op):
        # An error from __eq__ reads as "not equal"; a stop request ends the
        # operation, once a stored key shares the hash, leaving the map as it was.
        stop = k.exc is not ValueError and any(hash(s) == k.h for s in self.d)
        missing = op in ("m[k]", "m.__delitem__(k)")
        with pytest.raises(k.exc if stop else KeyError) if stop or missing else nullcontext():
            assert eval(op, {"m": self.m, "k": k}) in (None, False)

    @rule(which=st.integers(0, 2),
          op=st.sampled_from([*LOOKUPS, "m.__setitem__(k, 1)", "m.setdefault(k)"]))
    def unhashable(self, which, op):
        with pytest.raises(ZeroDivisionError if which == 2 else TypeError):
            eval(op, {"m": self.m, "k": [[1], bytearray(b"x"), BAD_HASH][which]})

    @rule(k=KEYS, default=st.one_of(st.just(MISSING), VALUES), use_del=st.booleans(), call=FORMS)
    def remove(self, k, default, use_del, call):
        self.touch(k in self.d)
        if k not in self.d and (use_del or default is MISSING):
            with pytest.raises(KeyError):
                self.m.__delitem__(k) if use_del else call(self.m.pop, k, MISSING)
        elif use_del:
            del self.m[k], self.d[k]
        elif default is MISSING:
            assert call(self.m.pop, k, MISSING) is self.d.pop(k)
        else:
            assert call(self.m.pop, k, default) is self.d.pop(k, default)

    @rule()
    def popitem(self, first=True):
        if not self.d:
            with pytest.raises(KeyError, match=r"^'popitem\(\): map is empty'$"):
                self.m.popitem()
            return
        expected = next(iter(self.m)) if first else None
        k, v = self.m.popitem()
        assert expected is None or k is expected  # the first in traversal order
        assert any(x is k for x in self.d) and self.d.pop(k) is v
        self.touch()

    @rule()
    def drain(self):
        # popitem len(m) times empties any map, purges included.
        for _ in range(len(self.d) + 1):
            self.popitem(first=False)

    @rule(k=KEYS, v=st.one_of(st.just(MISSING), VALUES), call=FORMS)
    def setdefault(self, k, v, call):
        self.touch(k not in self.d)
        assert call(self.m.setdefault, k, v) is self.d.setdefault(k, None if v is MISSING else v)
        for present in list(self.d)[:1]:  # random keys rarely meet a stored one
            assert self.m.setdefault(present, object()) is self.d[present]

    @rule(start=st.integers(300, 10**6), n=st.integers(1, 60), churn=st.booleans())
    def bulk_insert(self, start, n, churn):
        # Long runs push the tables through growth rebuilds. Churn removes the
        # oldest entry after each insertion, so a full map's slots turn over.
        for i in range(start, start + n):
            k = (i, f"s{i}", StrSub(i))[i % 3]
            self.m[k] = self.d[k] = v = object()
            self.made += (k, v)
            if churn:
                oldest = next(iter(self.d))
                del self.m[oldest], self.d[oldest]
        self.touch()

    @rule(stride=st.integers(1, 3))
    def bulk_delete(self, stride):
        # Many removals leave tombstones and trigger purge rebuilds. popitem's
        # choice depends on the per-map seed, so nothing here may steer what
        # hypothesis draws next (no preconditions on the model's state).
        self.touch(bool(self.d))
        for i, k in enumerate(list(self.d)[::stride]):
            if i % 3 == 2:  # the old value is released in place
                self.m[k] = self.d[k] = v = object()
                self.made.append(v)
            elif i % 3:
                del self.m[k], self.d[k]
            else:
                assert self.m.pop(k) is self.d.pop(k)

    @rule()
    def clear(self):
        capacity = self.m.capacity
        self.m.clear()
        self.d.clear()
        assert self.m.capacity == capacity  # the tables stay
        self.touch()  # even on an empty map

    @rule(pairs=PAIRS, op=st.sampled_from(["update", "|", "r|", "|=", "call"]),
          kind=st.sampled_from([*SOURCES, "same", "other"]),
          kw=st.dictionaries(strings("ab", 2), VALUES, max_size=2), by_name=st.booleans(),
          adopt=st.booleans())
    def merge(self, pairs, op, kind, kw, by_name, adopt):
        maps = {"same": self.cls, "other": self.other}
        src = {**SOURCES, **maps}[kind](pairs)
        pairs = [] if src is None else pairs
        args, kwargs = ((), {"other": src, **kw}) if by_name else ((src,), kw)
        if op == "update":
            self.touch(bool(pairs or kw))  # only when something was stored
            self.m.update(*args, **kwargs)
            self.d.update(pairs, **kw)
        elif op == "|=":
            self.touch(bool(pairs))
            assert operator.ior(self.m, src) is self.m  # m |= src
            self.d.update(pairs)
        else:
            if op == "call":
                r, expected, left = self.cls(*args, **kwargs), {**dict(pairs), **kw}, self.m
            elif op == "|":
                r, expected, left = self.m | src, {**self.d, **dict(pairs)}, self.m
            else:
                r, expected, left = src | self.m, {**dict(pairs), **self.d}, src
            # A map on the left decides the class of the result.
            self.check_same(r, expected, type(left) if kind in maps else None)
            if adopt and type(r) is self.cls:
                self.m, self.d = r, expected

    @rule(pairs=PAIRS, at=st.integers(0, 6), how=FAILURES, lazy=st.booleans(),
          op=st.sampled_from(["update", "|=", "|", "r|", "call"]))
    def failed_merge(self, pairs, at, how, lazy, op):
        # In place, the entries before the failure stay, yet the map counts as
        # unchanged: iterators stay valid. Otherwise nothing is made.
        src, exc = failing_source(pairs[:at], pairs[at:], how)
        if lazy and type(src) is list:
            src = iter(src)
        with pytest.raises(exc, match=NOT_A_PAIR if exc is ValueError else None):
            {"update": self.m.update, "|=": lambda s: operator.ior(self.m, s),
             "|": lambda s: self.m | s, "r|": lambda s: s | self.m, "call": self.cls}[op](src)
        if op in ("update", "|=") and how not in ("keys()", "not iterable"):
            self.d.update(pairs[:at])

    @rule()
    def self_merge(self):
        self.touch(bool(self.d))
        self.m.update(self.m)
        assert operator.ior(self.m, self.m) is self.m
        self.check_same(self.m | self.m, self.d)

    @rule(keys=st.lists(KEYS, max_size=6), v=VALUES)
    def fromkeys(self, keys, v):
        self.check_same(self.cls.fromkeys(keys, v), dict.fromkeys(keys, v))

    @rule(how=st.sampled_from(["copy", "call", "update"]), adopt=st.booleans())
    def copy(self, how, adopt):
        if how == "update":
            c = self.cls()
            c.update(self.m)
        else:
            c = self.m.copy() if how == "copy" else self.cls(self.m)
        self.check_same(c, self.d)
        if adopt:
            self.m = c
        else:
            c.clear()  # the original must not notice

    @rule()
    def describe(self):
        assert repr(self.m) == f"{self.cls.__name__}(len={len(self.d)}, capacity={self.m.capacity})"
        assert self.m.capacity >= len(self.d)

    @rule(pairs=PAIRS, drop=st.booleans())
    def compare(self, pairs, drop):
        o = {**self.d, **dict(pairs)}
        if drop and o:
            del o[next(iter(o))]
        expect = self.d == o
        for x in (o, self.cls(o), self.other(o), keys_mapping(o, __len__=lambda s: len(o))):
            assert (self.m == x) is (x == self.m) is expect and (self.m != x) is not expect
        assert (self.m.keys() == o.keys()) is (self.d.keys() == o.keys())
        assert (self.m.items() == o.items()) is (self.d.items() == o.items())

    @rule(keys=st.sets(KEYS, max_size=5), pairs=PAIRS)
    def view_set_ops(self, keys, pairs):
        k, dk, i, di, s = self.m.keys(), self.d.keys(), self.m.items(), self.d.items(), set(pairs)
        assert k - keys == dk - keys and k & keys == dk & keys and k ^ keys == dk ^ keys
        assert k | keys == dk | keys and (k == keys) == (dk == keys)
        assert i - s == di - s and i & s == di & s and i | s == di | s

    def teardown(self):
        # Dropping the map (iterators first) leaves only the dict's references,
        # once the throwaway classes of some steps' sources are collected.
        self.m = self.iters = self.views = self.watched = self.viewed = None
        held = collections.Counter(map(id, [*self.d, *self.d.values()]))
        # What the list and the loop add to a count differs between versions
        # (3.14 borrows the loop variable): measure it on an object only a
        # list holds.
        unheld = [object()]
        base = [sys.getrefcount(x) for x in unheld][0]
        for _ in range(2):
            extra = [sys.getrefcount(x) - held[id(x)] - base for x in self.made]
            # Immortal objects (some ints, from 3.12 on) keep a fixed, huge count.
            extra = [e for e in extra if e < 1 << 29]
            if not any(extra):
                return
            gc.collect()
        assert extra == [0] * len(extra)

    @invariant()
    def consistent(self):
        m, d = self.m, self.d
        check = getattr(m, "_check_consistency", None)  # debug builds only
        if check is not None:
            check()
        # Each step is judged alone: iterators made before it, advanced once per check.
        if self.watched is m:
            assert [iterator_valid(it) for it in self.iters * 2] == [not self.modified] * 6
        if self.watched is not m or self.modified:
            self.watched, self.modified = m, False
            self.iters = [iter(m), iter(m.values()), iter(m.items())]
        if self.viewed is not m:  # views made once per map must stay live
            self.viewed, self.views = m, (m.keys(), m.values(), m.items())
        kv, vv, iv = self.views
        keys, values, items = list(m), list(vv), list(iv)
        assert len(keys) == len(values) == len(items) == len(d) == len(kv) == len(vv) == len(iv)
        assert all(a is b for a, b in zip(kv, keys))
        assert all(type(t) is tuple for t in items)
        assert all(t[0] is k and t[1] is v for t, k, v in zip(items, keys, values))
        assert all(a is not b for a, b in zip(items, iv))  # a new tuple per iterator
        assert key_ids(keys) == key_ids(d) and all(d[k] is v for k, v in items)
        assert m == d and kv == d.keys() and iv == d.items()
        assert (sys.getrefcount(YES), sys.getrefcount(NO)) == self.verdicts


MODEL_SETTINGS = settings(max_examples=60, stateful_step_count=35, deadline=None, database=None,
                          suppress_health_check=[HealthCheck.too_slow])
CAPACITIES = st.sampled_from([0, 1, 5, 16, 40])
ELASTIC_OPTIONS = st.fixed_dictionaries({
    "capacity": CAPACITIES, "reserve_fraction": st.sampled_from([None, 0.01, 0.5, 0.9]),
    "probe_scale": st.sampled_from([None, 0.5, 1.0, 100.0])})
FUNNEL_OPTIONS = st.fixed_dictionaries({
    "capacity": CAPACITIES, "reserve_fraction": st.sampled_from([None, 0.01, 0.125]),
    "primary_probe_limit": st.sampled_from([None, 1, 2, 5])})


def _machine(cls, other, options):
    machine = type(f"{cls.__name__}Model", (MapModel,),
                   {"cls": cls, "other": other, "options": options})
    machine.TestCase.settings = MODEL_SETTINGS
    return machine.TestCase


TestElasticModel = _machine(quenlor.ElasticHashMap, quenlor.FunnelHashMap, ELASTIC_OPTIONS)
TestFunnelModel = _machine(quenlor.FunnelHashMap, quenlor.ElasticHashMap, FUNNEL_OPTIONS)
