"""Two cocotb tests of counter.v, the second with a wrong expectation: the run must fail 1 of 2."""

import cocotb
from cocotb.clock import Clock
from cocotb.triggers import ClockCycles, FallingEdge


async def count_cycles(dut, cycles):
    Clock(dut.clk, 10, unit="ns").start()
    dut.rst.value = 1
    dut.en.value = 0
    await ClockCycles(dut.clk, 2)
    dut.rst.value = 0
    dut.en.value = 1
    await ClockCycles(dut.clk, cycles)
    await FallingEdge(dut.clk)
    return dut.count.value.to_unsigned()


@cocotb.test()
async def right_expectation(dut):
    assert await count_cycles(dut, 3) == 3


@cocotb.test()
async def wrong_expectation(dut):
    assert await count_cycles(dut, 3) == 99
