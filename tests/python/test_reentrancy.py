"""Python code run inside an operation (a key's __hash__ or __eq__, a value's
__eq__) reaching the same map: every mutation is refused with the borrow
error, reads are refused only inside a mutation (with the panic where a
conflict counts as impossible), and the map comes out intact with its borrow
given back."""

import operator

import pytest

from conftest import HookKey


class Hook:
    """Runs its action once, from whichever armed object is reached first."""

    action = outcome = None

    def fire(self):
        action, self.action = self.action, None
        if action is not None:
            try:
                action()
                self.outcome = "ok"
            except BaseException as e:  # the panic derives from BaseException
                self.outcome = (type(e).__name__, str(e))


class Trigger:
    """A key or value that fires `hook` from its __hash__ or its __eq__ (`on`)."""

    def __init__(self, hook, on):
        self.hook, self.on = hook, on

    def __hash__(self):
        if self.on == "hash":
            self.hook.fire()
        return 7

    def __eq__(self, other):
        if self.on == "eq":
            self.hook.fire()
        return self is other


# The operation on `t` (a map, or a dict for comparison) with probe key `k`,
# and the borrow it holds. Each meets both callbacks: the probe key's
# __hash__, and __eq__ of the stored key sharing its hash (or of a value).
OUTER = {
    **dict.fromkeys(["t.__setitem__(k, 1)", "t.__delitem__(k)", "t.pop(k, 0)", "t.setdefault(k)",
                     "t.update([(k, 1)])", "t.update(k_dict)", "t.__ior__([(k, 1)])"], "write"),
    **dict.fromkeys(["t[k]", "k in t", "t.get(k)", "k in t.keys()", "(k, 1) in t.items()",
                     "t == snapshot", "'absent' in t.values()"], "read"),
}
CASES = [(o, c) for o in OUTER for c in ("hash", "eq") if not (o.startswith("'") and c == "hash")]
OK, REFUSED = "ok", ("RuntimeError", "Already borrowed")
PANIC = ("PanicException", "Already mutably borrowed: PyBorrowError")
INNER = {  # run on the same map `m` from inside: (outcome under a read, under a write)
    **dict.fromkeys(["m.__setitem__('z', 0)", "m.__delitem__('a')", "m.pop('a')", "m.popitem()",
                     "m.setdefault('z')", "m.update({'z': 0})", "m.clear()"], (REFUSED, REFUSED)),
    # |= declines a refused borrow; | then declines too, so the operator fails.
    # Under a read it falls back to m | {...}, a new map.
    "operator.ior(m, {'z': 0})": (OK, ("TypeError", "unsupported operand type(s) for |=: ")),
    "len(m)": (OK, ("RuntimeError", "Already mutably borrowed")),
    # Equality declines, and so does dict, leaving identity. Views read nothing when made.
    "m == {}": (OK, OK), "(m.keys(), m.values(), m.items())": (OK, OK),
    # `it` was made before the outer operation.
    **dict.fromkeys(["iter(m)", "next(it)", "len(m.keys())", "list(m.values())",
                     "('a', 1) in m.items()", "m.keys() == {'a'}", "m.keys() - set()",
                     "type(m)({'a': 1}) == m", "type(m)().update(m)"], (OK, PANIC)),
}


def run(expression, names):
    try:
        return "returned", eval(expression, names)
    except KeyError as e:
        return "KeyError", e.args


@pytest.mark.parametrize("outer,callback", CASES)
def test_reentrant_operation_is_refused(map_cls, outer, callback):
    for inner, outcomes in INNER.items():
        m, hook = map_cls({"a": 1}), Hook()
        stored, probe = Trigger(hook, callback), Trigger(hook, callback)
        value = Trigger(hook, callback if outer.startswith(("t ==", "'absent'")) else None)
        m[stored] = value
        d = {"a": 1, stored: value}
        names = [{"t": t, "k": probe, "snapshot": dict(d), "k_dict": {probe: 1}} for t in (m, d)]
        it = iter(m)
        hook.action = lambda: eval(inner, {"m": m, "it": it, "operator": operator})
        result = run(outer, names[0])
        expected = outcomes[OUTER[outer] == "write"]
        if expected[0] == "TypeError":  # the interpreter's message names the class
            expected = (expected[0], f"{expected[1]}'quenlor.{map_cls.__name__}' and 'dict'")
        assert hook.outcome == expected, inner
        # The operation itself went on as if nothing had happened.
        dict_result = run(outer, names[1])
        if outer.startswith("t.__ior__"):
            assert result[1] is m and dict_result[1] is d
        else:
            assert result == dict_result, inner
        assert m == d and len(m) == len(d)
        m["after"] = 2  # the borrow was given back
        assert m.pop("after") == 2


def test_inplace_or_under_a_read_falls_back_to_a_new_map(map_cls):
    m, got = map_cls({"a": 1}), []
    with pytest.raises(KeyError):
        m[HookKey(on_hash=lambda: got.append(operator.ior(m, {"c": 3})))]
    assert got[0] is not m and type(got[0]) is map_cls and got[0] == {"a": 1, "c": 3}
