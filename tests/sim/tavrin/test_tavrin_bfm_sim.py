"""TavrinBFM in a real Icarus simulation (the cocotb tests are in tb_tavrin_bfm.py)."""

from pathlib import Path

import pytest

from simrun import run_cocotb

HERE = Path(__file__).parent


@pytest.mark.sim
def test_bfm_in_simulation(tmp_path):
    run_cocotb(tmp_path, "dma_streams", "tb_tavrin_bfm", sources=[HERE / "dma_streams.v"],
               test_dir=HERE)
