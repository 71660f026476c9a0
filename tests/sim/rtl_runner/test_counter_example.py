"""examples/counter/run.py as a user runs it: from another directory, pass and fail exits."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).resolve().parents[3] / "examples" / "counter"

pytestmark = pytest.mark.sim


def run_example(tmp_path, edit=None):
    # A copy, so the build directory never lands in the source tree or meets a parallel run.
    copy = tmp_path / "counter"
    shutil.copytree(EXAMPLE, copy, ignore=shutil.ignore_patterns("sim_build_*", "__pycache__"))
    if edit:
        tb = copy / "tb_counter.py"
        tb.write_text(tb.read_text().replace(*edit))
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    # Without PYTHONUNBUFFERED the script's stdout is block-buffered into the pipe, as in CI: the
    # source list must still come out before the simulator's own lines.
    dropped = ("PYTEST_CURRENT_TEST", "SIM", "PYTHONUNBUFFERED")
    env = {k: v for k, v in os.environ.items() if k not in dropped}
    return subprocess.run([sys.executable, str(copy / "run.py")], cwd=elsewhere, env=env,
                          capture_output=True, text=True)


def test_example_passes_from_another_directory(tmp_path):
    done = run_example(tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    lines = done.stdout.splitlines()
    assert lines[:2] == ["RTL sources:", f"   {tmp_path / 'counter' / 'src' / 'counter.v'}"]
    assert lines[-1] == "counter example: all 3 cocotb tests passed under icarus"
    assert (tmp_path / "counter" / "sim_build_icarus").is_dir()


def test_example_failure_exits_with_status_1(tmp_path):
    done = run_example(tmp_path, edit=("== 3\n", "== 4\n"))
    assert done.returncode == 1
    assert done.stderr.splitlines()[-1] == "Cocotb failed 1 of 3 tests"
    assert "passed under" not in done.stdout
