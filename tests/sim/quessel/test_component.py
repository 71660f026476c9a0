#!/usr/bin/env python3
"""Per-test script as a project keeps it beside its testbench: generate pulse_unit with the
Quartus IP tools and run tb_pulse_unit on it. Run it as a program (optionally with -g).

Knobs for the tests that run it: QUESSEL_DEMO_MODE ("generate_only" or "retain"), PULSE_WIDTH
(the WIDTH component parameter) and PULSE_TEST_MODULE (another cocotb module).
"""

import os
from dataclasses import dataclass
from pathlib import Path

from corvane.sim.runners.quessel import run_quessel_test


@dataclass
class PulseUnitConfig:
    width: int = 8

    def to_parameters(self):
        return {"WIDTH": self.width}


def main():
    mode = os.environ.get("QUESSEL_DEMO_MODE", "")
    run_quessel_test(
        project_root=Path(__file__).resolve().parent,
        component_file="pulse_unit_hw.json",
        hdl_toplevel="pulse_unit",
        test_module="tb_pulse_unit",
        test_module_env="PULSE_TEST_MODULE",
        config=PulseUnitConfig(width=int(os.environ.get("PULSE_WIDTH", "8"))),
        generate_only=mode == "generate_only",
        retain_generated=mode == "retain",
        part="5CSEMA5F31C6",
    )


if __name__ == "__main__":
    main()
