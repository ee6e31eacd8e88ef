"""Model-based test: each map class is driven side by side with a plain dict.

Keys are chosen to be awkward: numbers that compare equal across types
(1 / 1.0 / True), a str subclass, a class whose instances all share one hash,
and ints whose hashes coincide because they differ by multiples of 2**61 - 1.
Besides contents, the model tracks which key *object* is stored, since a map
must keep the first inserted key when a value is replaced.
"""

import collections

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

import quenlor
from conftest import HASH_MODULUS, ConstHash, StrSub

KEYS = st.one_of(
    st.integers(-3, 24),
    st.sampled_from([1, 1.0, True, 0, 0.0, False, -1, -2]),
    st.text(alphabet="ab\u00e9", max_size=3),
    st.text(alphabet="ab", max_size=2).map(StrSub),
    st.integers(0, 5).map(ConstHash),
    st.integers(0, 4).map(lambda i: 5 + i * HASH_MODULUS),
)
VALUES = st.one_of(st.none(), st.integers(-2, 3))
PAIRS = st.lists(st.tuples(KEYS, VALUES), max_size=6)
KEY_SETS = st.sets(KEYS, max_size=5)
MISSING = object()


def keyrep(k):
    return (type(k).__name__, repr(k))


def keyreps(keys):
    return collections.Counter(map(keyrep, keys))


class KeysOnly:
    """A mapping source reached through keys() / __getitem__ only."""

    def __init__(self, data):
        self.data = data

    def keys(self):
        return iter(list(self.data))

    def __getitem__(self, k):
        return self.data[k]


class MapModel(RuleBasedStateMachine):
    cls = None  # the map class under test
    other = None  # the other map class, an ordinary mapping source here
    options = None  # strategy for with_options(...) keyword arguments

    def __init__(self):
        super().__init__()
        self.m = self.cls()
        self.d = {}

    @initialize(data=st.data())
    def build(self, data):
        # Tuning options change the table geometry, so they get exercised too.
        opts = data.draw(self.options)
        self.m = self.cls.with_options(**opts)

    # -- helpers ---------------------------------------------------------

    def source(self, pairs, kind):
        if kind == "dict":
            return dict(pairs)
        if kind == "pairs":
            return list(pairs)
        if kind == "same":
            return self.cls(pairs)
        if kind == "other":
            return self.other(pairs)
        return KeysOnly(dict(pairs))

    def check_same(self, m, d):
        assert len(m) == len(d)
        assert keyreps(m) == keyreps(d)
        assert m == d and d == m and not m != d
        for k, v in d.items():
            assert m[k] == v

    # -- single-key operations -------------------------------------------

    @rule(k=KEYS, v=VALUES)
    def assign(self, k, v):
        self.m[k] = v
        self.d[k] = v

    @rule(k=KEYS)
    def lookup(self, k):
        assert (k in self.m) == (k in self.d)
        assert self.m.get(k, MISSING) is self.d.get(k, MISSING)
        if k in self.d:
            assert self.m[k] is self.d[k]
        else:
            with pytest.raises(KeyError):
                self.m[k]

    @rule(k=KEYS)
    def delete(self, k):
        if k in self.d:
            del self.m[k]
            del self.d[k]
        else:
            with pytest.raises(KeyError):
                del self.m[k]

    @rule(k=KEYS, default=st.one_of(st.just(MISSING), VALUES))
    def pop(self, k, default):
        if default is MISSING:
            if k in self.d:
                assert self.m.pop(k) is self.d.pop(k)
            else:
                with pytest.raises(KeyError):
                    self.m.pop(k)
        else:
            assert self.m.pop(k, default) is self.d.pop(k, default)

    @rule()
    def popitem(self):
        if not self.d:
            with pytest.raises(KeyError):
                self.m.popitem()
            return
        k, v = self.m.popitem()
        stored = next(x for x in self.d if x == k and hash(x) == hash(k))
        assert keyrep(stored) == keyrep(k)
        assert self.d.pop(k) is v

    @rule(k=KEYS, v=VALUES)
    def setdefault(self, k, v):
        assert self.m.setdefault(k, v) is self.d.setdefault(k, v)

    @rule(start=st.integers(100, 10**6), n=st.integers(1, 60))
    def bulk_insert(self, start, n):
        # Long runs push the tables through growth rebuilds.
        for i in range(start, start + n):
            self.m[i] = i & 3
            self.d[i] = i & 3

    @rule(stride=st.integers(1, 3))
    def bulk_delete(self, stride):
        # Many removals leave tombstones and trigger purge rebuilds. popitem's
        # choice depends on the per-map seed, so nothing here may steer what
        # hypothesis draws next (no preconditions on the model's state).
        for k in list(self.d)[::stride]:
            del self.m[k]
            del self.d[k]

    @rule()
    def clear(self):
        self.m.clear()
        self.d.clear()

    # -- bulk operations ---------------------------------------------------

    @rule(pairs=PAIRS, kind=st.sampled_from(["dict", "pairs", "same", "other", "mapping"]))
    def update(self, pairs, kind):
        self.m.update(self.source(pairs, kind))
        self.d.update(dict(pairs))

    @rule(kw=st.dictionaries(st.text(alphabet="ab", min_size=1, max_size=2), VALUES, max_size=3),
          pairs=PAIRS)
    def update_kwargs(self, kw, pairs):
        self.m.update(pairs, **kw)
        self.d.update(pairs, **kw)

    @rule(pairs=PAIRS, kind=st.sampled_from(["dict", "pairs", "same", "other", "mapping"]),
          adopt=st.booleans())
    def merge(self, pairs, kind, adopt):
        r = self.m | self.source(pairs, kind)
        expected = dict(self.d)
        expected.update(dict(pairs))
        assert type(r) is self.cls
        self.check_same(r, expected)
        if adopt:
            self.m, self.d = r, expected

    @rule(pairs=PAIRS, kind=st.sampled_from(["dict", "pairs", "mapping"]), adopt=st.booleans())
    def reflected_merge(self, pairs, kind, adopt):
        r = self.source(pairs, kind) | self.m
        expected = dict(pairs)
        expected.update(self.d)
        assert type(r) is self.cls
        self.check_same(r, expected)
        if adopt:
            self.m, self.d = r, expected

    @rule(pairs=PAIRS, kind=st.sampled_from(["dict", "pairs", "same", "other"]))
    def inplace_merge(self, pairs, kind):
        m = self.m
        m |= self.source(pairs, kind)
        assert m is self.m
        self.d.update(dict(pairs))

    @rule(adopt=st.booleans())
    def copy(self, adopt):
        c = self.m.copy()
        self.check_same(c, self.d)
        if adopt:
            self.m = c

    @rule()
    def self_update(self):
        self.m.update(self.m)

    # -- views ---------------------------------------------------------------

    @rule(s=KEY_SETS)
    def key_view_set_ops(self, s):
        k, dk = self.m.keys(), self.d.keys()
        assert k - s == dk - s
        assert k & s == dk & s
        assert k | s == dk | s
        assert k ^ s == dk ^ s
        assert (k == s) == (dk == s)

    @rule(pairs=PAIRS)
    def item_view_set_ops(self, pairs):
        s = set(pairs)
        i, di = self.m.items(), self.d.items()
        assert i - s == di - s
        assert i & s == di & s
        assert i | s == di | s
        for p in pairs:
            assert (p in i) == (p in di)

    @invariant()
    def consistent(self):
        m, d = self.m, self.d
        keys = list(m)
        assert [a is b for a, b in zip(list(m.keys()), keys)] == [True] * len(keys)
        values = list(m.values())
        items = list(m.items())
        assert len(keys) == len(values) == len(items) == len(d)
        assert all(ik is k and iv is v for (ik, iv), k, v in zip(items, keys, values))
        assert keyreps(keys) == keyreps(d)
        assert dict(items) == d
        assert collections.Counter(map(repr, values)) == collections.Counter(map(repr, d.values()))
        assert m == d and not m != d
        assert m.keys() == d.keys() and m.items() == d.items()


MODEL_SETTINGS = settings(
    max_examples=60,
    stateful_step_count=35,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)


CAPACITIES = st.sampled_from([0, 1, 5, 16, 40])
ELASTIC_OPTIONS = st.fixed_dictionaries({
    "capacity": CAPACITIES,
    "reserve_fraction": st.sampled_from([None, 0.01, 0.5, 0.9]),
    "probe_scale": st.sampled_from([None, 0.5, 1.0, 100.0]),
})
FUNNEL_OPTIONS = st.fixed_dictionaries({
    "capacity": CAPACITIES,
    "reserve_fraction": st.sampled_from([None, 0.01, 0.125]),
    "primary_probe_limit": st.sampled_from([None, 1, 2, 5]),
})


def _machine(name, other_name, options):
    return type(
        f"{name}Model",
        (MapModel,),
        {"cls": getattr(quenlor, name), "other": getattr(quenlor, other_name),
         "options": options},
    )


TestElasticModel = _machine("ElasticHashMap", "FunnelHashMap", ELASTIC_OPTIONS).TestCase
TestElasticModel.settings = MODEL_SETTINGS
TestFunnelModel = _machine("FunnelHashMap", "ElasticHashMap", FUNNEL_OPTIONS).TestCase
TestFunnelModel.settings = MODEL_SETTINGS
