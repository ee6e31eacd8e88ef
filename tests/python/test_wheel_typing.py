"""A built wheel, installed alone in a fresh environment, gives type checkers
precise types without any search-path help.

Slow (a new virtual environment and a mypy install), so it runs only when
QUENLOR_WHEEL names the wheel to check; scripts/test-all does that once.
"""

import os
import pathlib
import re
import subprocess
import sys
import venv

import pytest

WHEEL = os.environ.get("QUENLOR_WHEEL")
pytestmark = pytest.mark.skipif(not WHEEL, reason="QUENLOR_WHEEL not set")

SNIPPET = '''\
import quenlor

f = quenlor.FunnelHashMap({"a": 1})
reveal_type(f)
reveal_type(f.get("a"))
reveal_type(f.get("a", "x"))
reveal_type(f.pop("a"))
reveal_type(f.pop("a", None))
for item in f.items():
    reveal_type(item)
for key in f:
    reveal_type(key)
reveal_type(quenlor.FunnelHashMap.fromkeys(["k"], 0))
reveal_type(quenlor.ElasticHashMap.fromkeys(range(3)))
reveal_type(f | {"b": 2.5})
reveal_type({"b": 2} | f)
reveal_type(quenlor.ElasticHashMap([(1, b"x")], capacity=8))
reveal_type(quenlor.ElasticHashMap(a=1.5))
reveal_type(quenlor.ElasticHashMap.with_options(100, 0.01, 4.0))
f |= [("c", 3)]
reveal_type(f.copy())
reveal_type(f.keys())
f["z"] = "not an int"
'''

EXPECTED = [
    "quenlor.FunnelHashMap[str, int]",
    "int | None",
    "int | str",
    "int",
    "int | None",
    "tuple[str, int]",
    "str",
    "quenlor.FunnelHashMap[str, int]",
    "quenlor.ElasticHashMap[int, Any | None]",
    "quenlor.FunnelHashMap[str, int | float]",
    "quenlor.FunnelHashMap[str, int]",
    "quenlor.ElasticHashMap[int, bytes]",
    "quenlor.ElasticHashMap[str, float]",
    "quenlor.ElasticHashMap[Any, Any]",
    "quenlor.FunnelHashMap[str, int]",
    "quenlor.funnel_keys[str]",
]


@pytest.fixture(scope="module")
def env_python(tmp_path_factory):
    root = tmp_path_factory.mktemp("wheel-env")
    venv.create(root / "venv", with_pip=True)
    python = root / "venv" / "bin" / "python"
    subprocess.run([python, "-m", "pip", "install", "-q", WHEEL, "mypy"], check=True)
    return python


def run_clean(args, cwd):
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    return subprocess.run(args, cwd=cwd, env=env, capture_output=True, text=True)


def test_mypy_reveals_precise_types(env_python, tmp_path):
    (tmp_path / "snippet.py").write_text(SNIPPET)
    run = run_clean([env_python, "-m", "mypy", "--no-incremental", "--strict",
                     "--show-error-codes", "snippet.py"], tmp_path)
    out = run.stdout + run.stderr
    assert "import-not-found" not in out and "import-untyped" not in out, out
    revealed = re.findall(r'Revealed type is "(.*)"', out)
    # Older mypy spells builtin types with their module.
    assert [t.replace("builtins.", "") for t in revealed] == EXPECTED, out
    # The one deliberate mistake is the only error.
    errors = [line for line in out.splitlines() if ": error:" in line]
    last_line = len(SNIPPET.splitlines())
    assert len(errors) == 1 and f"snippet.py:{last_line}:" in errors[0], out
    assert "[assignment]" in errors[0], out


def test_stubtest_finds_installed_stubs(env_python, tmp_path):
    run = run_clean([env_python, "-m", "mypy.stubtest", "quenlor"], tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr
