"""cocotb testbench of src/counter.v, run by run.py inside the simulator."""

import cocotb
from cocotb.clock import Clock
from cocotb.triggers import ClockCycles, FallingEdge


async def start(dut):
    """Start a 100 MHz clock and hold the counter in reset for two cycles."""
    Clock(dut.clk, 10, unit="ns").start()
    dut.rst.value = 1
    dut.en.value = 0
    await ClockCycles(dut.clk, 2)
    dut.rst.value = 0
    # Sample and drive on the falling edge, away from the register updates.
    await FallingEdge(dut.clk)


@cocotb.test()
async def counts_enabled_cycles(dut):
    await start(dut)
    dut.en.value = 1
    await ClockCycles(dut.clk, 10)
    await FallingEdge(dut.clk)
    assert dut.count.value.to_unsigned() == 10


@cocotb.test()
async def holds_while_disabled(dut):
    await start(dut)
    dut.en.value = 1
    await ClockCycles(dut.clk, 3)
    await FallingEdge(dut.clk)
    dut.en.value = 0
    await ClockCycles(dut.clk, 7)
    await FallingEdge(dut.clk)
    assert dut.count.value.to_unsigned() == 3


@cocotb.test()
async def wraps_around(dut):
    await start(dut)
    dut.en.value = 1
    await ClockCycles(dut.clk, 2 ** len(dut.count) + 1)
    await FallingEdge(dut.clk)
    assert dut.count.value.to_unsigned() == 1
