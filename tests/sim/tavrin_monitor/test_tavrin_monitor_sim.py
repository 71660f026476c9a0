"""TavrinCommandMonitor in a real Icarus simulation, with either streams= choice (the cocotb tests
are in tb_tavrin_monitor.py)."""

from pathlib import Path

import pytest

from simrun import run_cocotb

HERE = Path(__file__).parent


@pytest.mark.sim
@pytest.mark.parametrize("streams", ["library", "native"])
def test_monitor_in_simulation(tmp_path, streams):
    run_cocotb(tmp_path, "command_streams", "tb_tavrin_monitor",
               sources=[HERE / "command_streams.v"], test_dir=HERE,
               env={"TAVRIN_STREAMS": streams})
