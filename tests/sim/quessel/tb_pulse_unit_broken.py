"""A failing cocotb test of pulse_unit: its run must end in SystemExit."""

import cocotb
from cocotb.triggers import Timer


@cocotb.test()
async def expects_the_wrong_identity(dut):
    await Timer(1, unit="ns")
    assert dut.id.value == 0x00
