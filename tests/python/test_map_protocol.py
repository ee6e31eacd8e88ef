"""Module surface, type properties, argument errors, hashing, and equality
with what is not a plain mapping."""

import collections
import copy
import sys
import weakref

import pytest

import quenlor
from conftest import HookKey, all_raise, instance, iterator_valid, raiser

ALL_NAMES = [
    "ElasticHashMap", "FunnelHashMap", "elastic_keys", "elastic_values", "elastic_items",
    "_ElasticKeyIter", "_ElasticValueIter", "_ElasticItemIter", "funnel_keys", "funnel_values",
    "funnel_items", "_FunnelKeyIter", "_FunnelValueIter", "_FunnelItemIter",
]
SIGNATURES = {
    **dict.fromkeys(["get", "pop", "setdefault"], "($self, key, default=None)"),
    **dict.fromkeys(["popitem", "clear", "copy", "keys", "values", "items"], "($self)"),
    "update": "($self, other=None, **kwargs)", "fromkeys": "($cls, iterable, value=None)",
    "__class_getitem__": "($cls, item)",
}
THIRD_OPTION = {quenlor.FunnelHashMap: "primary_probe_limit", quenlor.ElasticHashMap: "probe_scale"}


def test_module_surface():
    assert quenlor.__all__ == ALL_NAMES and quenlor.__doc__ == ""
    public = {n for n in vars(quenlor) if not (n.startswith("__") and n.endswith("__"))}
    assert public == set(ALL_NAMES)
    for name in ALL_NAMES:
        cls = getattr(quenlor, name)
        assert (cls.__module__, cls.__qualname__, cls.__bases__) == ("quenlor", name, (object,))
        all_raise(TypeError, lambda: type("Sub", (cls,), {}))  # not subclassable


def test_map_type_properties(map_cls):
    m = map_cls()
    all_raise(TypeError, lambda: hash(m), lambda: weakref.ref(m), lambda: copy.copy(m))
    with pytest.raises(AttributeError):
        m.extra = 1
    assert not map_cls.__flags__ & (1 << 6)  # Py_TPFLAGS_MAPPING
    assert not hasattr(m, "__reversed__")
    assert map_cls.__text_signature__ == "(other=None, *, capacity=0, **kwargs)"
    assert map_cls.__doc__ and "--" not in map_cls.__doc__
    signatures = {**SIGNATURES, "with_options":
                  f"($cls, capacity=0, reserve_fraction=None, {THIRD_OPTION[map_cls]}=None)"}
    for name, signature in signatures.items():
        assert getattr(map_cls, name).__text_signature__ == signature, name
    assert map_cls.update.__doc__ == (
        "Mirror of `dict.update`. Branches in priority order: same-type,\n"
        "`PyDict`, mapping with `keys()`, then `(k, v)` iterable. Reserves\n"
        "up front when length is known. `bump()` only on actual inserts —\n"
        "empty `update()` keeps iterators valid."
    )


def test_argument_errors_keep_their_messages(map_cls):
    m = map_cls({1: 2})
    cases = {
        "update() takes at most 1 positional argument (2 given)": [lambda: m.update({}, {})],
        "argument for update() given by name ('other') and position (1)":
            [lambda: m.update({}, other={})],
        "with_options() takes at most 3 arguments (4 given)":
            [lambda: map_cls.with_options(1, 0.05, None, 4)],
        "argument for with_options() given by name ('capacity') and position (1)":
            [lambda: map_cls.with_options(1, capacity=1)],
        # The interpreter's own wording, which changed in 3.13.
        (f"with_options() got an unexpected keyword argument 'x'" if sys.version_info >= (3, 13)
         else f"'x' is an invalid keyword argument for with_options()"):
            [lambda: map_cls.with_options(capacity=1, x=2)],
    }
    for name, first, second in (("get", "key", "default"), ("pop", "key", "default"),
                                ("setdefault", "key", "default"),
                                ("fromkeys", "iterable", "value")):
        f = getattr(m, name)
        cases.update({
            f"{name}() missing required argument '{first}' (pos 1)":
                [f, lambda f=f, second=second: f(**{second: 1})],
            f"{name}() takes at most 2 arguments (3 given)": [lambda f=f: f([1], 2, 3)],
            (f"{name}() got an unexpected keyword argument 'x'" if sys.version_info >= (3, 13)
             else f"'x' is an invalid keyword argument for {name}()"): [lambda f=f: f([1], x=2)],
            f"argument for {name}() given by name ('{first}') and position (1)":
                [lambda f=f, first=first: f([1], **{first: 1})],
        })
    for message, thunks in cases.items():
        for thunk in thunks:
            with pytest.raises(TypeError) as info:
                thunk()
            assert str(info.value) == message
    assert m == {1: 2}


@pytest.mark.parametrize(
    "key, args", [((1, 2), (1, 2)), (None, ()), ("x", ("x",)), ((), ()), (((1,),), ((1,),))]
)
def test_keyerror_args(map_cls, key, args):
    m = map_cls({"present": 0})
    for op in (m.__getitem__, m.__delitem__, m.pop):
        with pytest.raises(KeyError) as info:
            op(key)
        assert info.value.args == args


class CountingHash(int):
    hash_calls = 0

    def __hash__(self):
        self.hash_calls += 1
        return int.__hash__(self)


def test_keys_are_hashed_once(map_cls):
    keys = [CountingHash(i) for i in range(25)]
    m = map_cls.fromkeys(keys)
    m.update((i, i) for i in range(100, 2000))  # growth rebuilds
    for i in range(100, 2000):  # removals and purges
        del m[i]
    t = map_cls()
    t.update(m)
    t |= m
    assert map_cls(m) == m.copy() == t == m | m
    assert all(k.hash_calls == 1 for k in keys) and all(CountingHash(i) in m for i in range(25))
    # setdefault hashes a missing key twice (lookup, then insertion), a present one once.
    k = CountingHash(-7)
    m.setdefault(k, 1)
    m.setdefault(k, 2)
    assert k.hash_calls == 3 and m[CountingHash(-7)] == 1
    calls, it = iter(range(2)), iter(m)
    with pytest.raises(ZeroDivisionError):  # from the second hash, before anything is stored
        m.setdefault(HookKey(on_hash=lambda: 1 // (1 - next(calls))), 0)
    assert len(m) == 26 and iterator_valid(it)


def test_equality_edge_cases(map_cls):
    m = map_cls({"a": 1, "b": [2]})
    assert m == {"a": 1.0, "b": [2.0]} and collections.OrderedDict(b=[2], a=1) == m
    for other in (0, None, "ab", [("a", 1)], {"a"}, object()):
        assert (m == other) is False and (m != other) is True
    all_raise(TypeError, lambda: m < map_cls(), lambda: m >= {})
    # Identity settles exact int/str/bytes/bool/None values; any other value
    # is compared, even against itself.
    same = map_cls(enumerate([7, 2**70, "s", "\ud800", b"b", True, None]))
    assert same == dict(same.items()) and same == same.copy()
    never_equal = type("NeverEqual", (int,), {"__eq__": lambda *_: False, "__hash__": int.__hash__})
    for odd in (never_equal(5), float("nan")):
        n = map_cls({1: odd})
        assert n != n and n != {1: odd} and n != n.copy()
        assert odd not in n.values() and (1, odd) not in n.items()


def test_equality_with_odd_mappings_never_raises(map_cls):
    def mapping(items, length=2):
        return instance(keys=lambda self: ["a", "b"], __getitem__=lambda self, k: items[k],
                        __len__=lambda self: length)

    m = map_cls({"a": 1, "b": 2})
    assert (m == mapping({"a": 1})) is False  # claims a key it has no item for
    assert (m == mapping({"a": 1, "b": 2}, length=None)) is False  # len() fails
    grumpy = instance(__eq__=raiser(ValueError), __hash__=object.__hash__)
    assert (map_cls({"a": grumpy}) == {"a": grumpy}) is False
