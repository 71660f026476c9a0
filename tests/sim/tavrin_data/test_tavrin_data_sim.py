"""The tavrin data layer in a real Icarus simulation (the cocotb tests are in tb_tavrin_data.py)."""

from pathlib import Path

import pytest

from simrun import run_cocotb

HERE = Path(__file__).parent


@pytest.mark.sim
def test_data_layer_in_simulation(tmp_path):
    run_cocotb(tmp_path, "descriptor_packer", "tb_tavrin_data",
               sources=[HERE / "descriptor_packer.v"], test_dir=HERE)
