"""The VIP checker and predictor inside an Icarus simulation, fed by a packet source design."""

from pathlib import Path

import pytest

from simrun import run_cocotb

HERE = Path(__file__).parent

pytestmark = pytest.mark.sim


@pytest.mark.parametrize("width, height", [(4, 3), (5, 2)])
def test_checker_and_predictor_follow_the_stream(tmp_path, width, height):
    run_cocotb(tmp_path, "vip_invert", "tb_sarnel", sources=[HERE / "vip_invert.v"],
               test_dir=HERE, parameters={"WIDTH": width, "HEIGHT": height},
               env={"VIP_FRAME": f"{width}x{height}"})
