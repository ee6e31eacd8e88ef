"""Python code run inside an operation (a key's __hash__ or __eq__, a value's
__eq__) reaching the same map: every mutation is refused with the borrow
error, reads are refused only inside a mutation, and the map comes out intact
with its borrow given back."""

import functools
import operator

import pytest


class Hook:
    """Runs its action once, from whichever armed object is reached first."""

    def __init__(self):
        self.action, self.outcome = None, None

    def fire(self):
        action, self.action = self.action, None
        if action is None:
            return
        try:
            action()
            self.outcome = "ok"
        except BaseException as e:  # the panic derives from BaseException
            self.outcome = (type(e).__name__, str(e))


class Trigger:
    """A key or value that fires `hook` from its __hash__ or its __eq__ (`on`)."""

    def __init__(self, hook, on, h=7):
        self.hook, self.on, self.h = hook, on, h

    def __hash__(self):
        if self.on == "hash":
            self.hook.fire()
        return self.h

    def __eq__(self, other):
        if self.on == "eq":
            self.hook.fire()
        return self is other


P = functools.partial
# name: (borrow the operation holds, how it is started on `t` with probe key `k`)
# Every operation meets both callbacks: the probe key's __hash__, and __eq__ of
# the stored key sharing its hash (or of a stored value).
OUTER = {
    "setitem": ("write", lambda t, k: P(operator.setitem, t, k, 1)),
    "delitem": ("write", lambda t, k: P(operator.delitem, t, k)),
    "pop": ("write", lambda t, k: P(t.pop, k, 0)),
    "setdefault": ("write", lambda t, k: P(t.setdefault, k)),
    "update-pairs": ("write", lambda t, k: P(t.update, [(k, 1)])),
    "update-dict": ("write", lambda t, k: P(t.update, {k: 1})),
    "ior": ("write", lambda t, k: P(operator.ior, t, [(k, 1)])),
    "getitem": ("read", lambda t, k: P(operator.getitem, t, k)),
    "contains": ("read", lambda t, k: P(operator.contains, t, k)),
    "get": ("read", lambda t, k: P(t.get, k)),
    "keys-in": ("read", lambda t, k: P(operator.contains, t.keys(), k)),
    "items-in": ("read", lambda t, k: P(operator.contains, t.items(), (k, 1))),
    "equality": ("read", lambda t, k: P(operator.eq, t, dict(t))),
    "values-in": ("read", lambda t, k: P(operator.contains, t.values(), "absent")),
}


def _ior(m):
    x = m
    x |= {"z": 0}


INNER = {
    "setitem": lambda m: m.__setitem__("z", 0), "delitem": lambda m: m.__delitem__("a"),
    "pop": lambda m: m.pop("a"), "popitem": lambda m: m.popitem(),
    "setdefault": lambda m: m.setdefault("z"), "update": lambda m: m.update({"z": 0}),
    "clear": lambda m: m.clear(), "ior": _ior, "len": len, "iter": iter,
    "next": None,  # a step of an iterator made before the outer operation
}
REFUSED = ("RuntimeError", "Already borrowed")
EXPECTED = {  # (borrow held by the outer operation, inner operation) -> outcome
    **{("write", name): REFUSED for name in INNER}, **{("read", name): REFUSED for name in INNER},
    # |= declines a refused borrow; | then declines too, so the operator fails.
    ("write", "ior"): ("TypeError", "unsupported operand type(s) for |=: "),
    ("read", "ior"): "ok",  # falls back to m | {...}, a new map
    ("write", "len"): ("RuntimeError", "Already mutably borrowed"),
    ("write", "iter"): ("PanicException", "Already mutably borrowed: PyBorrowError"),
    ("write", "next"): ("PanicException", "Already mutably borrowed: PyBorrowError"),
    ("read", "len"): "ok", ("read", "iter"): "ok", ("read", "next"): "ok",
}
CASES = [(o, c) for o in OUTER for c in ("hash", "eq") if (o, c) != ("values-in", "hash")]


def run(thunk):
    try:
        return "returned", thunk()
    except KeyError as e:
        return "KeyError", e.args


@pytest.mark.parametrize("inner", list(INNER))
@pytest.mark.parametrize("outer,callback", CASES)
def test_reentrant_operation_is_refused(map_cls, outer, callback, inner):
    hook = Hook()
    stored, probe = Trigger(hook, callback), Trigger(hook, callback)
    value = Trigger(hook, callback if outer in ("equality", "values-in") else None)
    m = map_cls({"a": 1})
    m[stored] = value
    d = {"a": 1, stored: value}
    borrow, start = OUTER[outer]
    thunk, dict_thunk = start(m, probe), start(d, probe)
    it = iter(m)
    hook.action = (lambda: next(it)) if inner == "next" else (lambda: INNER[inner](m))
    result = run(thunk)
    expected = EXPECTED[(borrow, inner)]
    if expected[0] == "TypeError":  # the interpreter's message names the types
        assert hook.outcome[0] == "TypeError" and hook.outcome[1].startswith(expected[1])
    else:
        assert hook.outcome == expected
    # The operation itself went on as if nothing had happened.
    dict_result = run(dict_thunk)
    if outer == "ior":
        assert result[1] is m and dict_result[1] is d
    else:
        assert result == dict_result
    assert m == d and len(m) == len(d)
    m["after"] = 2  # the borrow was given back
    assert m.pop("after") == 2
