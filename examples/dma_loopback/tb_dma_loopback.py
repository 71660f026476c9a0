"""cocotb test of dma_loopback.v: the design copies buffers through TavrinBFM's read and write DMA.

The test preloads the shared memory, lets the design issue its own descriptors, checks the
copied bytes, the response words the design captured and what the command monitor saw, and
leaves a small JSON summary for run.py (path in DMA_LOOPBACK_SUMMARY, else the working
directory, which is the simulator's build directory).
"""

import itertools
import json
import os
from pathlib import Path

import cocotb
from cocotb.clock import Clock
from cocotb.triggers import ClockCycles, FallingEdge, RisingEdge
from cocotbext.avalon import AvalonSTBus

from corvane.sim.bfms.tavrin import (
    DMAAddressRegion,
    SparseByteMemory,
    TavrinBFM,
    TavrinCommandMonitor,
)

SOURCE = 0x1_0000_2000  # above 4 GiB, so the upper address half of both words is exercised
DESTINATION = 0x8000
CHANNEL = 3
# (source offset, destination offset, length, throttled): a long copy, a short one behind it,
# and one where the read data arrives with gaps and the write side stalls dout now and then.
COPIES = [(0x0, 0x0, 4096, False), (0x1000, 0x2000, 64, False), (0x1800, 0x3000, 512, True)]
READ_REGION = DMAAddressRegion("src", SOURCE, 0x2000)
WRITE_REGION = DMAAddressRegion("dst", DESTINATION, 0x4000)


def summary_path():
    return Path(os.environ.get("DMA_LOOPBACK_SUMMARY", "dma_loopback_summary.json"))


async def reset_design(dut):
    Clock(dut.clk, 10, unit="ns").start()
    dut.reset.value = 1
    dut.start.value = 0
    dut.passthrough.value = 0
    dut.src_address.value = 0
    dut.dst_address.value = 0
    dut.length.value = 0
    dut.channel.value = CHANNEL
    await ClockCycles(dut.clk, 3)
    dut.reset.value = 0
    await RisingEdge(dut.clk)


async def copy(dut, source, destination, length, limit_cycles):
    """Start one copy and return the cycles until `done`."""
    await FallingEdge(dut.clk)
    dut.src_address.value = source
    dut.dst_address.value = destination
    dut.length.value = length
    dut.start.value = 1
    await FallingEdge(dut.clk)
    dut.start.value = 0
    for cycle in range(1, limit_cycles + 1):
        await RisingEdge(dut.clk)
        if dut.done.value == 1:
            return cycle
    raise TimeoutError(f"copy of {length} bytes not done after {limit_cycles} cycles")


@cocotb.test()
async def copies_buffers_through_the_dma_model(dut):
    summary = {"bytes_copied": 0, "read_descriptors": 0, "write_descriptors": 0, "cycles": 0}
    try:
        await reset_design(dut)
        memory = SparseByteMemory()
        pattern = bytes((i * 7 + 3) & 0xFF for i in range(READ_REGION.size))
        memory.write(SOURCE, pattern)

        bfm = TavrinBFM(dut, dut.clk, dut.reset, memory=memory)
        monitor = TavrinCommandMonitor(
            dut.clk,
            dut.reset,
            rdma_cmd_bus=AvalonSTBus.from_prefix(dut, "rdma_cmd"),
            wdma_cmd_bus=AvalonSTBus.from_prefix(dut, "wdma_cmd"),
            read_address_regions=[READ_REGION],
            write_address_regions=[WRITE_REGION],
        )
        bfm.start()
        monitor.start()

        beat = bfm.data_bytes_per_beat
        for src_offset, dst_offset, length, throttled in COPIES:
            if throttled:
                bfm.din_source.set_pause_generator(itertools.cycle([0, 1, 1]))
                bfm.dout_sink.set_pause_generator(itertools.cycle([0, 0, 0, 1]))
            cycles = await copy(dut, SOURCE + src_offset, DESTINATION + dst_offset, length,
                                limit_cycles=4 * (length // beat) + 100)
            bfm.din_source.clear_pause_generator()
            bfm.dout_sink.clear_pause_generator()
            summary["cycles"] += cycles
            assert dut.channel_error.value == 0
            assert dut.rd_status.value.to_unsigned() == TavrinBFM.READ_RESPONSE_DONE
            assert dut.wr_status.value.to_unsigned() == (
                1 << TavrinBFM.WRITE_RESPONSE_DONE_SHIFT) | length
            copied = memory.read(DESTINATION + dst_offset, length)
            assert copied == pattern[src_offset:src_offset + length]
            summary["bytes_copied"] += length

        # The monitor saw exactly the descriptors the design issued, decoded field by field.
        reads = [(d.address, d.length, d.channel, d.generate_sop, d.generate_eop)
                 for d in monitor.read_descriptors]
        writes = [(d.address, d.length, d.end_on_eop) for d in monitor.write_descriptors]
        assert reads == [(SOURCE + s, n, CHANNEL, True, True) for s, _, n, _ in COPIES]
        assert writes == [(DESTINATION + d, n, True) for _, d, n, _ in COPIES]
        # Nothing was written outside the destination buffers.
        assert memory.read(DESTINATION + 4096, 0x1000) == bytes(0x1000)
        summary["read_descriptors"] = len(monitor.read_descriptors)
        summary["write_descriptors"] = len(monitor.write_descriptors)

        monitor.stop()
        bfm.stop()
    finally:
        summary_path().write_text(json.dumps(summary))
