"""cocotb test of the Pro-shaped fixture system prosys: its counter leaves the system Gray-coded
through the gate-level netlist, one clock later.

The netlist (.vo) must be in the build for the Gray output to exist at all, and the commented-out
decoy core counts down, so a build that picked it up fails here.
"""

import cocotb
from cocotb.clock import Clock
from cocotb.triggers import ClockCycles, FallingEdge


def gray(value):
    return value ^ (value >> 1)


@cocotb.test()
async def gray_code_of_the_count_follows_one_clock_later(dut):
    Clock(dut.clk_clk, 10, unit="ns").start()
    dut.reset_reset_n.value = 0
    dut.count_enable.value = 0
    await ClockCycles(dut.clk_clk, 2)
    await FallingEdge(dut.clk_clk)
    dut.reset_reset_n.value = 1
    dut.count_enable.value = 1
    previous = dut.count_value.value.to_unsigned()
    for _ in range(20):
        await FallingEdge(dut.clk_clk)
        count = dut.count_value.value.to_unsigned()
        assert count == (previous + 1) % 16, "the counter counts up"
        assert dut.gray_value.value.to_unsigned() == gray(previous)
        previous = count
