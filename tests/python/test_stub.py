"""The shipped type stub describes the runtime module exactly."""

import os
import pathlib
import subprocess
import sys

import pytest

STUB_DIR = pathlib.Path(__file__).resolve().parents[2] / "src" / "python"


@pytest.mark.skipif("QUENLOR_EXPECT_BUILD" in os.environ, reason="checked on the release build")
def test_stub_matches_runtime(tmp_path):
    pytest.importorskip("mypy")
    env = dict(os.environ, MYPYPATH=str(STUB_DIR))
    run = subprocess.run([sys.executable, "-m", "mypy.stubtest", "quenlor"], cwd=tmp_path, env=env,
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
