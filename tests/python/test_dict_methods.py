"""get / pop / popitem / setdefault / clear / == beyond what the model test checks."""

import collections
import sys
import weakref

import pytest

from conftest import all_raise, instance, raiser


def test_keyword_arguments_and_defaults(map_cls):
    m = map_cls({"a": 1})
    assert m.get(key="a", default=0) == 1
    assert m.pop(key="x", default=3) == 3
    assert m.pop("x", None) is None  # as dict.pop: only an omitted default raises
    assert m.setdefault(key="c", default=[]) == []
    all_raise(TypeError, lambda: m.get(), lambda: m.pop(), lambda: m.setdefault())
    with pytest.raises(KeyError) as info:
        map_cls().popitem()
    assert info.value.args == ("popitem(): map is empty",)


def test_references_are_released(map_cls):
    objs = [instance() for _ in range(4)]
    refs = [weakref.ref(o) for o in objs]
    m = map_cls({objs[0]: objs[1]})
    it = iter(map_cls({objs[2]: objs[3]}).items())  # keeps its map alive
    del objs
    m.clear()
    assert [r() is None for r in refs] == [True, True, False, False]
    assert next(it) == (refs[2](), refs[3]())
    del it
    assert all(r() is None for r in refs)


def test_equality_edge_cases(map_cls):
    m = map_cls({"a": 1, "b": [2]})
    assert m == {"a": 1.0, "b": [2.0]} and collections.OrderedDict(b=[2], a=1) == m
    for other in (0, None, "ab", [("a", 1)], {"a"}, object()):
        assert (m == other) is False and (m != other) is True
    all_raise(TypeError, lambda: m < map_cls(), lambda: m >= {})
    n = map_cls({"x": float("nan")})
    assert n != n and n != n.copy()  # values compare without an identity short cut


class _IntNeverEqual(int):
    def __eq__(self, other):
        return False

    __hash__ = int.__hash__


def test_identical_values_are_compared_unless_their_type_always_equals_itself(map_cls):
    # Exact int/str/bytes/bool/None values may be settled by identity; any other
    # value is compared, even against itself.
    same = [7, 2**70, "s", "\ud800", b"b", True, None]
    m = map_cls(enumerate(same))
    assert m == dict(m.items()) and m == m.copy()
    for odd in (_IntNeverEqual(5), float("nan")):
        n = map_cls({1: odd})
        assert n != n and n != {1: odd} and n != n.copy()
        assert odd not in n.values() and (1, odd) not in n.items()


def test_equality_with_odd_mappings_never_raises(map_cls):
    def mapping(items, length=2):
        return instance(keys=lambda self: ["a", "b"], __getitem__=lambda self, k: items[k],
                        __len__=lambda self: length)

    m = map_cls({"a": 1, "b": 2})
    assert m == mapping({"a": 1, "b": 2})
    assert (m == mapping({"a": 1})) is False  # claims a key it has no item for
    assert (m == mapping({"a": 1, "b": 2}, length=None)) is False  # len() fails
    skewed = type("Skewed", (dict,), {"__getitem__": lambda self, k: "not what is stored"})
    assert m == skewed(a=1, b=2)  # a dict subclass is compared through its dict storage
    grumpy = instance(__eq__=raiser(ValueError), __hash__=object.__hash__)
    assert (map_cls({"a": grumpy}) == {"a": grumpy}) is False



class _StrSub(str):
    pass


class _EqRaises:
    def __hash__(self):
        return 7

    def __eq__(self, other):
        raise ValueError("no comparison")


_MISSING = object()
_AWKWARD = [1, 1.0, True, float("nan"), "k", _StrSub("k"), "\ud800", _EqRaises(), _EqRaises(), (1, "a")]
_ABSENT = [2, "absent", _StrSub("absent"), _EqRaises()]


def _positional(f, k, d):
    return f(k) if d is _MISSING else f(k, d)


def _keywords(f, k, d):
    return f(key=k) if d is _MISSING else f(key=k, default=d)


def _mixed(f, k, d):
    return f(k) if d is _MISSING else f(k, default=d)


def _script(m, call):
    """get / setdefault / pop over awkward keys; every answer or error, in order."""
    out = []

    def note(f, k, d):
        try:
            out.append(("ok", repr(call(f, k, d))))
        except KeyError as e:
            out.append(("KeyError", repr(e.args)))

    for i, k in enumerate(_AWKWARD):
        note(m.setdefault, k, i if i % 2 else _MISSING)
    out.append(sorted(map(repr, m.items())))
    for k in _AWKWARD + _ABSENT:
        for d in (_MISSING, None, "dflt"):
            note(m.get, k, d)
    for k in _AWKWARD + _ABSENT:
        note(m.pop, k, _MISSING)
        note(m.pop, k, "dflt")
    out.append(len(m))
    return out


# Positional calls skip argument parsing; keyword and mixed calls go through
# the keyword parser. Both must act alike, and like dict where dict is defined.
@pytest.mark.parametrize("call", [_keywords, _mixed])
def test_call_forms_agree(map_cls, call):
    assert _script(map_cls(), call) == _script(map_cls(), _positional)


def test_positional_calls_agree_with_dict(map_cls):
    keys = [k for k in _AWKWARD if not isinstance(k, _EqRaises)]
    m, d = map_cls(), {}
    for i, k in enumerate(keys):
        assert m.setdefault(k, i) == d.setdefault(k, i)
        assert m.setdefault(k) == d.setdefault(k)
    for k in keys + ["absent"]:
        assert repr(m.get(k)) == repr(d.get(k)) and repr(m.get(k, 5)) == repr(d.get(k, 5))
        assert repr(m.pop(k, None)) == repr(d.pop(k, None))
    assert len(m) == len(d) == 0


def test_argument_errors_keep_their_messages(map_cls):
    m = map_cls({1: 2})
    for name in ("get", "pop", "setdefault"):
        f = getattr(m, name)
        cases = {
            f"{name}() missing required argument 'key' (pos 1)": [lambda: f(), lambda: f(default=1)],
            f"{name}() takes at most 2 arguments (3 given)": [lambda: f(1, 2, 3)],
            # The interpreter's own wording, which changed in 3.13.
            (f"{name}() got an unexpected keyword argument 'x'" if sys.version_info >= (3, 13)
             else f"'x' is an invalid keyword argument for {name}()"): [lambda: f(1, x=2)],
            f"argument for {name}() given by name ('key') and position (1)": [lambda: f(1, key=1)],
        }
        for message, thunks in cases.items():
            for thunk in thunks:
                with pytest.raises(TypeError) as info:
                    thunk()
                assert str(info.value) == message
    assert m == {1: 2}

def _plain_equal(m, other):
    if len(m) != len(other):
        return False
    for k, v in m.items():
        try:
            found = other[k]
        except KeyError:
            return False
        if not (v == found):  # no identity short cut: a NaN value never matches
            return False
    return True


@pytest.mark.parametrize("size", [0, 1, 7, 9, 300])
def test_equality_matches_a_plain_walk(map_cls, size):
    nan = float("nan")
    base = {i: i for i in range(size)}
    if size:
        base[True] = "t"  # replaces 1
        base[2.0] = 2.0  # replaces 2 when present
    m, m2 = map_cls(base), map_cls(base)
    variants = [dict(base)]
    for k in list(base)[:: max(1, size // 5)]:
        variants.append({**base, k: "other"})
        variants.append({**{j: w for j, w in base.items() if j != k}, -1: 0})
        variants.append({**base, k: nan})
    for d in variants:
        assert (m == d) == _plain_equal(m, d)
        other = map_cls(d)
        assert (m == other) == _plain_equal(m, other)
    assert m == m2
    if size:
        m[size + 1] = nan
        assert m != map_cls(m.items()) and m != dict(m.items())
