"""Shared fixtures and awkward key types for the quenlor test suite.

Both map classes implement the same dict protocol, so most tests take the
``map_cls`` fixture and run once per class.
"""

import contextlib
import os

import pytest

import quenlor

# The sanitizer run points PYTHONPATH at its own build; make sure that is the
# module under test rather than a release build installed in the environment.
_expected_build = os.environ.get("QUENLOR_EXPECT_BUILD")
if _expected_build:
    _where = os.path.realpath(quenlor.__file__)
    if not _where.startswith(os.path.realpath(_expected_build) + os.sep):
        raise RuntimeError(f"quenlor imported from {_where}, expected under {_expected_build}")

CLASS_NAMES = ("ElasticHashMap", "FunnelHashMap")

# Two ints whose difference is a multiple of the CPython hash modulus share a hash.
HASH_MODULUS = 2**61 - 1


def _cls(name):
    return getattr(quenlor, name)


@pytest.fixture(params=CLASS_NAMES)
def map_cls(request):
    return _cls(request.param)


@pytest.fixture(params=CLASS_NAMES)
def other_cls(request):
    """Independent of ``map_cls``: combined they give all four pairings."""
    return _cls(request.param)


def family(cls):
    """'elastic' or 'funnel': the prefix of the view and iterator class names."""
    return "funnel" if cls.__name__ == "FunnelHashMap" else "elastic"


# --------------------------------------------------------------------------
# Key helpers


class ConstHash:
    """Equal by label, all instances share one hash (``h``)."""

    def __init__(self, label, h=42):
        self.label, self.h = label, h

    def __hash__(self):
        return self.h

    def __eq__(self, other):
        if not isinstance(other, ConstHash):
            return NotImplemented
        return self.label == other.label

    def __repr__(self):
        return f"ConstHash({self.label!r})"


class RaisingEq:
    """Shares one hash with every other instance; comparing always raises."""

    def __init__(self, h=7):
        self.h = h

    def __hash__(self):
        return self.h

    def __eq__(self, other):
        raise ValueError("no comparing me")


class CountingHash:
    """Counts its ``__hash__`` calls; equal by value."""

    def __init__(self, value):
        self.value, self.hash_calls = value, 0

    def __hash__(self):
        self.hash_calls += 1
        return hash(self.value)

    def __eq__(self, other):
        if not isinstance(other, CountingHash):
            return NotImplemented
        return self.value == other.value

    def __repr__(self):
        return f"CountingHash({self.value!r})"


class StrSub(str):
    """A str subclass: never takes the exact-str fast path, so __eq__ runs."""

    eq_calls = 0

    def __eq__(self, other):
        type(self).eq_calls += 1
        return str.__eq__(self, other)

    __hash__ = str.__hash__


class SwitchEq:
    """Constant hash; compares by identity until ``SwitchEq.all_equal`` is set."""

    all_equal = False

    def __init__(self, label, h=-7777):
        self.label, self.h = label, h

    def __hash__(self):
        return self.h

    def __eq__(self, other):
        if type(self).all_equal:
            return True
        return self is other

    def __repr__(self):
        return f"SwitchEq({self.label!r})"


class HookKey:
    """Runs ``on_hash`` / ``on_eq`` from inside the map operation that hashes or
    compares it; with ``swallow`` their errors are recorded, not raised."""

    def __init__(self, on_hash=None, on_eq=None, h=99, swallow=False):
        self.on_hash, self.on_eq, self.h, self.swallow = on_hash, on_eq, h, swallow
        self.errors = []

    def _run(self, fn):
        if fn is None:
            return
        try:
            fn()
        except BaseException as e:  # noqa: BLE001 - recorded for the test
            if not self.swallow:
                raise
            self.errors.append(e)

    def __hash__(self):
        self._run(self.on_hash)
        return self.h

    def __eq__(self, other):
        self._run(self.on_eq)
        return self is other


# --------------------------------------------------------------------------
# Fatal-error exception (created lazily by the extension, not a module attribute)


def is_panic(exc):
    t = type(exc)
    return t.__module__ == "pyo3_runtime" and t.__qualname__ == "PanicException"


class _PanicInfo:
    value = None


@contextlib.contextmanager
def raises_panic(message=None):
    """Like ``pytest.raises`` for the extension's fatal-error exception."""
    info = _PanicInfo()
    try:
        yield info
    except BaseException as e:  # noqa: BLE001 - anything else is re-raised
        if not is_panic(e):
            raise
        info.value = e
    else:
        pytest.fail("expected the fatal-error exception, nothing was raised")
    if message is not None:
        assert info.value.args == (message,)


def panic_class():
    """Provoke one fatal error and return its class."""
    m = quenlor.ElasticHashMap()
    with raises_panic() as info:
        m[HookKey(on_hash=lambda: iter(m))] = 1
    return type(info.value)


def all_raise(exc, *thunks):
    """Each thunk must raise ``exc``."""
    for thunk in thunks:
        with pytest.raises(exc):
            thunk()


# --------------------------------------------------------------------------
# Iterator validity (observes the modification counter from outside)

CHANGED = "dictionary changed size during iteration"


def iterator_valid(it):
    """Advance ``it`` once; False when it reports the map as modified."""
    try:
        next(it)
    except StopIteration:
        return True
    except RuntimeError as e:
        assert str(e) == CHANGED
        return False
    return True
