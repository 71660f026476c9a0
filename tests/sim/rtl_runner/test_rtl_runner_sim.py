"""Real Icarus runs through rtl_test_cocotb: pass, one failure of two, compile log, extension."""

import os
import shutil
from pathlib import Path

import pytest

from simrun import run_cocotb

HERE = Path(__file__).parent
# The counter example's design, driven by this folder's own testbenches.
COUNTER = [HERE.parents[2] / "examples" / "counter" / "src" / "counter.v"]

pytestmark = pytest.mark.sim


def test_passing_run(tmp_path, capsys):
    assert run_cocotb(tmp_path, "counter", "tb_counter", sources=COUNTER, test_dir=HERE) is None
    assert capsys.readouterr().out.startswith(f"RTL sources:\n   {COUNTER[0]}\n")
    assert (tmp_path / "sim_build_icarus" / "results.xml").is_file()


def test_parameter_reaches_the_design(tmp_path):
    # A 4-bit counter wraps after 16 cycles; the testbench reads the width from the design.
    run_cocotb(tmp_path, "counter", "tb_counter", sources=COUNTER, test_dir=HERE,
               parameters={"WIDTH": 4}, env={"EXPECTED_WIDTH": "4"})
    assert "EXPECTED_WIDTH" not in os.environ


def test_one_failure_of_two_ends_in_system_exit(tmp_path):
    with pytest.raises(SystemExit) as info:
        run_cocotb(tmp_path, "counter", "tb_counter_broken", sources=COUNTER, test_dir=HERE)
    assert info.value.code == "Cocotb failed 1 of 2 tests"


def test_compile_log(tmp_path, capfd):
    log = tmp_path / "logs" / "compile.log"
    # Sources discovered under the project root this time.
    shutil.copy(COUNTER[0], tmp_path / "counter.v")
    run_cocotb(tmp_path, "counter", "tb_counter", source_dirs=["."], test_dir=HERE,
               compile_log=log)
    out = capfd.readouterr().out
    assert out.splitlines()[0] == f"icarus compile log: {log}"
    assert "RTL sources:" not in out
    assert log.is_file()


def test_compile_errors_go_to_the_log_and_stop_the_run(tmp_path, capfd):
    log = tmp_path / "logs" / "compile.log"
    (tmp_path / "src").mkdir()
    (tmp_path / "src" / "counter.v").write_text("module counter(input clk); oops endmodule\n")
    # cocotb's runner reports the failed build; rtl_test_cocotb lets it through unchanged.
    with pytest.raises(RuntimeError, match="Command failed with return code"):
        run_cocotb(tmp_path, "counter", "tb_counter", test_dir=HERE, compile_log=log)
    assert "syntax error" in log.read_text()
    assert "syntax error" not in "".join(capfd.readouterr())


def test_extension_module_loads_in_simulator(tmp_path):
    run_cocotb(tmp_path, "counter", "tb_extension", sources=COUNTER, test_dir=HERE)
