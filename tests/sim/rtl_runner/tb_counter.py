"""cocotb tests of the counter example's design: counting with enable, wrap-around at WIDTH bits."""

import os

import cocotb
from cocotb.clock import Clock
from cocotb.triggers import ClockCycles, FallingEdge, RisingEdge


async def reset(dut):
    Clock(dut.clk, 10, unit="ns").start()
    dut.rst.value = 1
    dut.en.value = 0
    await ClockCycles(dut.clk, 2)
    dut.rst.value = 0
    await FallingEdge(dut.clk)


@cocotb.test()
async def counts_only_when_enabled(dut):
    await reset(dut)
    assert dut.count.value.to_unsigned() == 0
    dut.en.value = 1
    await ClockCycles(dut.clk, 5)
    await FallingEdge(dut.clk)
    assert dut.count.value.to_unsigned() == 5
    dut.en.value = 0
    await ClockCycles(dut.clk, 3)
    await FallingEdge(dut.clk)
    assert dut.count.value.to_unsigned() == 5


@cocotb.test()
async def wraps_at_width(dut):
    width = len(dut.count)
    await reset(dut)
    dut.en.value = 1
    for _ in range(2**width + 3):
        await RisingEdge(dut.clk)
    await FallingEdge(dut.clk)
    assert dut.count.value.to_unsigned() == 3


@cocotb.test()
async def width_matches_parameter(dut):
    # The host passes the WIDTH it set through the environment (default 8 in counter.v).
    assert len(dut.count) == int(os.environ.get("EXPECTED_WIDTH", "8"))
