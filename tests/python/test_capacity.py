"""Exact capacities after growth, reserve, update and copy, against a plain
Python statement of the growth rule: a map of capacity c holds
c - floor(delta * c) entries before it grows; a new key that finds it full
grows it to 16 from 0, otherwise to 2c; a reservation for `need` entries
picks the smallest max(c, 16) * 2**k that holds them, and nothing when the
map already does."""

import math

import pytest
import quenlor

from conftest import instance, iterator_valid, keys_mapping, raiser

E, F = quenlor.ElasticHashMap, quenlor.FunnelHashMap
MAX_FRACTION = {E: 0.999999, F: 0.125}  # larger requests are clamped to these


def usable(c, delta):
    return max(0, c - math.floor(delta * c))


def after_inserting(c, delta, length, new_keys):
    for _ in range(new_keys):
        if length >= usable(c, delta):
            c = 16 if c == 0 else 2 * c
        length += 1
    return c


def after_reserving(c, delta, length, additional):
    need = length + additional
    if need <= usable(c, delta):
        return c
    c = max(c, 16)
    while usable(c, delta) < need:
        c *= 2
    return c


def failing_after_len(n):
    """A source that tells its size, then fails before yielding anything: the
    capacity it leaves behind is that of the reservation alone."""
    return instance(__len__=lambda self: n, keys=raiser(LookupError("no keys")))


SOURCES = {  # sized sources of new pairs; each reserves len(source) up front
    "dict": lambda cls, p: dict(p), "pairs": lambda cls, p: list(p), "same": lambda cls, p: cls(p),
    "mapping": lambda cls, p: keys_mapping(dict(p), __len__=lambda self: len(p)),
    "reservation only": lambda cls, p: failing_after_len(len(p)),
}


@pytest.mark.parametrize("source", list(SOURCES))
@pytest.mark.parametrize("delta", [0.1, 0.01, 0.125, 0.5, 0.9])
def test_update_reserves_exactly_at_the_boundaries(map_cls, source, delta):
    delta = min(delta, MAX_FRACTION[map_cls])
    for capacity in (0, 1, 15, 16, 17, 40, 100):
        for filled in {0, min(3, usable(capacity, delta)), usable(capacity, delta)}:
            grown = after_inserting(capacity, delta, 0, filled)
            # Needs just below, at and above the limits of this and the next capacities.
            limits = {usable(c, delta) for c in (grown, 2 * grown, 4 * grown, 16, 32)}
            for need in sorted({n + d for n in limits for d in (-1, 0, 1) if n + d > filled}):
                where = (capacity, filled, need)
                m = map_cls.with_options(capacity=capacity, reserve_fraction=delta)
                m.update((-1 - i, i) for i in range(filled))
                start = m.capacity  # for a funnel map, maybe one step later
                assert start == grown if map_cls is E else start in (grown, 2 * grown), where
                pairs = [(i, i) for i in range(need - filled)]
                reserved = after_reserving(start, delta, filled, len(pairs))
                if source == "reservation only":
                    with pytest.raises(LookupError):
                        m.update(SOURCES[source](map_cls, pairs))
                    assert (m.capacity, len(m)) == (reserved, filled), where
                    continue
                m.update(SOURCES[source](map_cls, pairs))
                expected = after_inserting(reserved, delta, filled, len(pairs))
                assert len(m) == need
                built = [m]
                if filled == 0 and delta == 0.1:  # the class call reserves as update does
                    built.append(map_cls(SOURCES[source](map_cls, pairs), capacity=capacity))
                for x in built:
                    # A key with no free slot left also grows a nearly full
                    # funnel map, as its seed decides.
                    assert x.capacity == expected if map_cls is E else x.capacity >= expected, where


@pytest.mark.parametrize("delta", [None, 0.05, 0.125, 0.5, 0.999])
def test_copy_reaches_the_capacity_of_filling_a_fresh_map(map_cls, delta):
    if delta is not None and delta > MAX_FRACTION[map_cls]:
        pytest.skip("reserve fraction out of range for this class")
    for n in [*range(40), 63, 64, 100, 127, 128, 129, 1000]:
        m = map_cls.with_options(reserve_fraction=delta)
        m.update((i, -i) for i in range(n))
        c = m.copy()
        plain = map_cls.with_options(capacity=n)  # the default options, filled entry by entry
        plain.update(iter(list(m.items())))
        assert c.capacity == plain.capacity == after_inserting(n, 0.1, 0, n), n
        assert c == m == plain and type(c) is map_cls


EMPTY_SOURCES = {
    "same": lambda cls: cls(), "other": lambda cls: (F if cls is E else E)(),
    "dict": lambda cls: {}, "list": lambda cls: [], "iterator": lambda cls: iter([]),
    "mapping": lambda cls: keys_mapping({}, __len__=lambda self: 0),
    "unsized mapping": lambda cls: keys_mapping({}), "none": lambda cls: None,
}


@pytest.mark.parametrize("source", list(EMPTY_SOURCES))
def test_an_update_that_adds_nothing_does_not_grow(map_cls, source):
    # At the largest reserve fraction a map can hold more entries than its
    # growth limit, where even a reservation for nothing would rebuild it.
    m = map_cls.with_options(capacity=16, reserve_fraction=MAX_FRACTION[map_cls])
    m[1] = m[2] = 1
    capacity, it = m.capacity, iter(m)
    m.update(EMPTY_SOURCES[source](map_cls))
    m |= EMPTY_SOURCES[source](map_cls)
    m.update(EMPTY_SOURCES[source](map_cls), **{})
    assert m.capacity == capacity and m == {1: 1, 2: 1} and iterator_valid(it)
