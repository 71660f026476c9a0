"""Runs that share one project root under Icarus: four at once, half of them failing, each ending
with its own result; and `pytest -n 2` over a table of runs, passing and failing as one by one."""

import os
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
COUNTER = HERE.parents[2] / "examples" / "counter" / "src" / "counter.v"

pytestmark = pytest.mark.sim

# One run as its own program, started in this folder with only "" on the module path for it:
# the runner itself must hand the simulator this folder, or the test module is not found.
RUN = r"""
import sys
import cocotb_tools.runner
from corvane.sim.runners import rtl
check = rtl._check_results
def recording_check(results_xml):
    # Read under the build directory's lock: the results this run's own test step wrote.
    print("RESULTS", *cocotb_tools.runner.get_results(results_xml), flush=True)
    check(results_xml)
rtl._check_results = recording_check
rtl.rtl_test_cocotb(sys.argv[1], "counter", sys.argv[2], sources=[sys.argv[3]])
"""


def test_four_runs_at_once_on_one_root_each_get_their_own_result(tmp_path):
    runs = [  # test module, cocotb's test filter, (tests, failed)
        ("tb_counter", "", (3, 0)),
        ("tb_counter_broken", "", (2, 1)),
        ("tb_counter", "wraps_at_width$", (1, 0)),
        ("tb_counter_broken", "wrong_expectation$", (1, 1)),
    ]
    env = {k: v for k, v in os.environ.items() if k != "PYTEST_CURRENT_TEST"}
    started = [subprocess.Popen([sys.executable, "-c", RUN, str(tmp_path), module, str(COUNTER)],
                                cwd=HERE, env={**env, "SIM": "icarus", "COCOTB_TEST_FILTER": f},
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
               for module, f, _ in runs]
    for (module, _, (tests, failed)), run in zip(runs, started):
        out, err = run.communicate(timeout=300)
        assert f"RESULTS {tests} {failed}" in out.splitlines(), out + err
        if failed:
            assert run.returncode == 1
            assert err.splitlines()[-1] == f"Cocotb failed {failed} of {tests} tests"
        else:
            assert run.returncode == 0, err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["sim_build_icarus",
                                                          "sim_build_icarus.lock"]


TABLE = """
import sys
import pytest
from corvane.sim.runners import rtl
sys.path.insert(0, {here!r})

@pytest.mark.parametrize("module, build_dir", [
    ("tb_counter", None), ("tb_counter_broken", None),
    ("tb_counter", "own_a"), ("tb_counter_broken", "own_b"),
])
def test_run(module, build_dir):
    rtl.rtl_test_cocotb({root!r}, "counter", module, sources=[{counter!r}], build_dir=build_dir)
"""


def test_pytest_n_2_passes_and_fails_as_serial_runs_do(tmp_path):
    tests = tmp_path / "table"
    tests.mkdir()
    (tests / "test_table.py").write_text(
        TABLE.format(here=str(HERE), root=str(tmp_path / "root"), counter=str(COUNTER)))
    report = tmp_path / "report.xml"
    env = {**os.environ, "SIM": "icarus"}
    env.pop("PYTEST_CURRENT_TEST", None)
    done = subprocess.run([sys.executable, "-m", "pytest", "-n", "2", "-p", "no:cacheprovider",
                           "-q", f"--junitxml={report}", str(tests)], cwd=tests, env=env,
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 1, done.stdout + done.stderr  # some of its tests failed
    outcomes = {}
    for case in ET.parse(report).getroot().iter("testcase"):
        failure = case.find("failure")
        outcomes[case.get("name")] = None if failure is None else failure.get("message")
    # Under pytest too the failures end in the runner's own check, as outside it.
    failed = "SystemExit: Cocotb failed 1 of 2 tests"
    assert outcomes == {
        "test_run[tb_counter-None]": None, "test_run[tb_counter_broken-None]": failed,
        "test_run[tb_counter-own_a]": None, "test_run[tb_counter_broken-own_b]": failed,
    }
