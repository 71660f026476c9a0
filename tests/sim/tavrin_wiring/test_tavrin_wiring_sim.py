"""Wiring checks and reset polarity of the DMA model in an Icarus simulation (the cocotb tests
are in tb_tavrin_wiring.py), with either streams= choice."""

from pathlib import Path

import pytest

from simrun import run_cocotb

HERE = Path(__file__).parent
LOOPBACK = HERE.parents[2] / "examples" / "dma_loopback" / "dma_loopback.v"


@pytest.mark.sim
@pytest.mark.parametrize("streams", ["library", "native"])
def test_wiring_in_simulation(tmp_path, streams):
    run_cocotb(tmp_path, "tavrin_wiring", "tb_tavrin_wiring",
               sources=[LOOPBACK, HERE / "tavrin_wiring.v"], test_dir=HERE,
               env={"TAVRIN_STREAMS": streams})
