"""cocotb tests of the tavrin data layer inside the simulator's embedded Python: descriptors
decoded straight from signal values of descriptor_packer.v, and a SparseByteMemory that feeds
bytes through the design and stores what comes back."""

import random

import cocotb
from cocotb.clock import Clock
from cocotb.triggers import ClockCycles, FallingEdge

from corvane.sim.bfms.tavrin import ReadDMADescriptor, SparseByteMemory, WriteDMADescriptor


@cocotb.test()
async def descriptors_decode_from_signal_values(dut):
    Clock(dut.clk, 10, unit="ns").start()
    rng = random.Random(2024)
    for _ in range(25):
        address, length = rng.getrandbits(64), rng.getrandbits(32)
        channel, flags = rng.getrandbits(8), rng.getrandbits(4)
        dut.address.value = address
        dut.length.value = length
        dut.channel.value = channel
        dut.flags.value = flags
        await ClockCycles(dut.clk, 2)
        await FallingEdge(dut.clk)

        read = ReadDMADescriptor.decode(dut.rdma_cmd_data.value)
        assert read == ReadDMADescriptor(
            address=address, length=length, channel=channel, generate_sop=bool(flags & 1),
            generate_eop=bool(flags & 2), stop=bool(flags & 4), reset=bool(flags & 8))
        write = WriteDMADescriptor.decode(dut.wdma_cmd_data.value.to_unsigned())
        assert write == WriteDMADescriptor(
            address=address, length=length, end_on_eop=bool(flags & 1), stop=bool(flags & 4),
            reset=bool(flags & 8))


@cocotb.test()
async def memory_feeds_and_stores_bytes_through_the_design(dut):
    Clock(dut.clk, 10, unit="ns").start()
    memory = SparseByteMemory()
    source, sink = 0xFFFF_FFFF_FFFF_FF00 - 3, 2**70  # a page edge, and beyond 64 bits
    payload = bytes(random.Random(7).getrandbits(8) for _ in range(40))
    memory.write(source, payload)

    returned = []
    for byte in memory.read(source, len(payload)):
        dut.din.value = byte
        await FallingEdge(dut.clk)
        await FallingEdge(dut.clk)
        returned.append(dut.dout.value.to_unsigned())
    memory.write(sink, returned)

    assert memory.read(sink, len(payload)) == bytes(b ^ 0xFF for b in payload)
    assert len(memory._data) == 2 * len(payload)
