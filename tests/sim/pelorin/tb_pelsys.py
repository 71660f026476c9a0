"""cocotb tests of the fixture system pelsys: reset release, counting, and the adder's constant.

Each test checks behaviour that breaks when the build picks the wrong files: the decoy copy of
altera_reset_synchronizer holds the system in reset, and a missing pelsys_adder_defs.v leaves
the adder without its addend.
"""

import cocotb
from cocotb.clock import Clock
from cocotb.triggers import ClockCycles, FallingEdge

SYNC_DEPTH = 2  # reset synchronizer stages in pelsys.v


async def start(dut):
    Clock(dut.clk_clk, 10, unit="ns").start()
    dut.reset_reset_n.value = 0
    dut.adder_in_data.value = 0
    await ClockCycles(dut.clk_clk, 3)
    await FallingEdge(dut.clk_clk)
    dut.reset_reset_n.value = 1


@cocotb.test()
async def counter_runs_after_synchronized_reset(dut):
    await start(dut)
    await FallingEdge(dut.clk_clk)
    assert dut.counter_count.value.to_unsigned() == 0, "reset is released only after the synchronizer"
    await ClockCycles(dut.clk_clk, SYNC_DEPTH + 10)
    await FallingEdge(dut.clk_clk)
    first = dut.counter_count.value.to_unsigned()
    assert first > 0, "the counter never left reset"
    await ClockCycles(dut.clk_clk, 7)
    await FallingEdge(dut.clk_clk)
    assert dut.counter_count.value.to_unsigned() == first + 7


@cocotb.test()
async def adder_adds_three_one_cycle_later(dut):
    await start(dut)
    await ClockCycles(dut.clk_clk, SYNC_DEPTH + 2)
    for value in (0, 1, 100, 252, 255):
        await FallingEdge(dut.clk_clk)
        dut.adder_in_data.value = value
        await FallingEdge(dut.clk_clk)
        assert dut.adder_out_data.value.to_unsigned() == (value + 3) % 256
