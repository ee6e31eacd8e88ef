"""The type stub in the source tree describes the runtime module exactly."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

STUB = pathlib.Path(__file__).resolve().parents[2] / "src" / "python" / "quenlor-stubs" / "__init__.pyi"


@pytest.mark.skipif("QUENLOR_EXPECT_BUILD" in os.environ, reason="checked on the release build")
def test_stub_matches_runtime(tmp_path):
    pytest.importorskip("mypy")
    # The tree's stub, not one installed with an older build: a search-path
    # entry wins over installed stub packages.
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    shutil.copy(STUB, stubs / "quenlor.pyi")
    env = dict(os.environ, MYPYPATH=str(stubs))
    run = subprocess.run([sys.executable, "-m", "mypy.stubtest", "quenlor"], cwd=tmp_path, env=env,
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
