"""Fixtures and awkward key types; most tests run once per class via ``map_cls``."""

import contextlib
import os
import random

import pytest

import quenlor

# The sanitizer run points PYTHONPATH at its own build; make sure that is the
# module under test rather than a release build installed in the environment.
_expected_build = os.environ.get("QUENLOR_EXPECT_BUILD")
if _expected_build:
    _where = os.path.realpath(quenlor.__file__)
    if not _where.startswith(os.path.realpath(_expected_build) + os.sep):
        raise RuntimeError(f"quenlor imported from {_where}, expected under {_expected_build}")


@pytest.hookimpl(tryfirst=True)
def pytest_configure(config):
    """Every hypothesis test runs from one seed, printed in the header, so that a
    failing run (in CI too) can be repeated: QUENLOR_TEST_SEED=<seed> pytest.
    An explicit --hypothesis-seed wins."""
    if config.getoption("hypothesis_seed", None) is None:
        seed = os.environ.get("QUENLOR_TEST_SEED") or str(random.SystemRandom().getrandbits(32))
        config.option.hypothesis_seed = seed


def pytest_report_header(config):
    seed = config.getoption("hypothesis_seed", None)
    return f"hypothesis seed: {seed} (repeat with QUENLOR_TEST_SEED={seed})"


def pytest_terminal_summary(terminalreporter, config):
    terminalreporter.write_line(pytest_report_header(config))  # `pytest -q` shows no header


CLASSES = (quenlor.ElasticHashMap, quenlor.FunnelHashMap)
# Two ints whose difference is a multiple of the CPython hash modulus share a hash.
HASH_MODULUS = 2**61 - 1


@pytest.fixture(params=CLASSES, ids=lambda c: c.__name__)
def map_cls(request):
    return request.param


@pytest.fixture(params=CLASSES, ids=lambda c: c.__name__)
def other_cls(request):
    """Independent of ``map_cls``: combined they give all four pairings."""
    return request.param


class HookKey:
    """Runs ``on_hash`` / ``on_eq`` inside the map operation hashing or comparing it."""

    def __init__(self, on_hash=None, on_eq=None, h=99):
        self.on_hash, self.on_eq, self.h = on_hash, on_eq, h

    def __hash__(self):
        if self.on_hash:
            self.on_hash()
        return self.h

    def __eq__(self, other):
        if self.on_eq:
            self.on_eq()
        return self is other


@contextlib.contextmanager
def raises_panic(message):
    """``pytest.raises`` for the extension's fatal-error exception, which derives
    from BaseException and is not a module attribute."""
    with pytest.raises(BaseException) as info:
        yield info
    t = type(info.value)
    assert (t.__module__, t.__qualname__, t.__bases__) == (
        "pyo3_runtime", "PanicException", (BaseException,)), repr(info.value)
    assert t.__doc__ and info.value.args == (message,)


def instance(**methods):
    """An instance of a throwaway class with the given methods."""
    return type("Throwaway", (), methods)()


def keys_mapping(data, **methods):
    """A mapping reached through keys() and __getitem__ (plus any ``methods``)."""
    return instance(keys=lambda self: iter(list(data)), __getitem__=lambda self, k: data[k],
                    **methods)


def raiser(exc):
    """A method that raises ``exc``."""
    def method(*args):
        raise exc
    return method


def all_raise(exc, *thunks):
    """Each of ``thunks`` raises ``exc``."""
    for thunk in thunks:
        with pytest.raises(exc):
            thunk()


def iterator_valid(it):
    """Advance ``it`` once; False when it reports its map as modified."""
    try:
        next(it, None)
    except RuntimeError as e:
        assert str(e) == "dictionary changed size during iteration"
        return False
    return True
