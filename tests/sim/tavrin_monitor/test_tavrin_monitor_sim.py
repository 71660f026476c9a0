"""TavrinCommandMonitor in a real Icarus simulation (the cocotb tests are in tb_tavrin_monitor.py)."""

from pathlib import Path

import pytest

from simrun import run_cocotb

HERE = Path(__file__).parent


@pytest.mark.sim
def test_monitor_in_simulation(tmp_path):
    run_cocotb(tmp_path, "command_streams", "tb_tavrin_monitor",
               sources=[HERE / "command_streams.v"], test_dir=HERE)
