"""cocotb test of the generated pulse_unit: models, original RTL and wiring working together."""

import os

import cocotb
from cocotb.clock import Clock
from cocotb.triggers import ClockCycles, RisingEdge, ReadOnly


async def reset(dut):
    cocotb.start_soon(Clock(dut.clk, 10, unit="ns").start())
    dut.rst.value = 1
    dut.din.value = 0
    await ClockCycles(dut.clk, 3)
    dut.rst.value = 0


@cocotb.test()
async def counts_rising_edges_after_synchronizer(dut):
    width = int(os.environ["PULSE_WIDTH"])
    # The runner asks Icarus for waves (vvp's -fst) exactly when the script ran in debug mode.
    expect_waves = os.environ.get("EXPECT_WAVES")
    if expect_waves is not None:
        assert ("-fst" in cocotb.argv) == (expect_waves == "1"), cocotb.argv
    assert len(dut.count) == width, "WIDTH component parameter did not reach the wiring"
    await reset(dut)
    await ReadOnly()
    assert dut.id.value == 0x5A, "lpm_constant model from 220model.v not in the build"

    await RisingEdge(dut.clk)
    dut.din.value = 1  # held high: one edge, one count
    # Two synchronizer stages, then the edge detector feeds the counter: the count moves on the
    # third clock edge after din rose, not earlier.
    for _ in range(2):
        await RisingEdge(dut.clk)
        await ReadOnly()
        assert dut.count.value == 0
    await RisingEdge(dut.clk)
    await ReadOnly()
    assert dut.count.value == 1
    await ClockCycles(dut.clk, 4)
    assert dut.count.value == 1

    pulses = (1 << width) + 2  # wraps around once
    for _ in range(pulses - 1):
        await RisingEdge(dut.clk)
        dut.din.value = 0
        await RisingEdge(dut.clk)
        dut.din.value = 1
    await ClockCycles(dut.clk, 4)
    await ReadOnly()
    assert dut.count.value == pulses % (1 << width)
