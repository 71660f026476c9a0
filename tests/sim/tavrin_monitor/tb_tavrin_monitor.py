"""cocotb tests of TavrinCommandMonitor on command_streams.v: sources in the test issue command
words, the test plays the DMA's ready, and the monitor watches the handshakes. TAVRIN_STREAMS
says whose monitors it builds ("library", the default, or "native")."""

import logging
import os

import cocotb
from cocotb.clock import Clock
from cocotb.simtime import get_sim_time
from cocotb.triggers import ClockCycles, FallingEdge, RisingEdge, with_timeout
from cocotbext.avalon import (AvalonFormat, AvalonSTBus, AvalonSTFrame, AvalonSTMonitor,
                              AvalonSTSource)

from corvane.sim.bfms.tavrin import (DMAAddressRegion, ReadDMADescriptor, TavrinCommandMonitor,
                                     WriteDMADescriptor)

DDR = DMAAddressRegion("ddr", 0x1000, 0x100)
SRAM = DMAAddressRegion("sram", 0x1_0000_0000, 0x40)
STREAMS = os.environ.get("TAVRIN_STREAMS", "library")


def read_word(address, length, channel=0, stop=False, reset=False):
    return ((address & 0xFFFFFFFF) | (length << 32) | (channel << 64) | (1 << 72) | (1 << 73)
            | (stop << 74) | (reset << 75) | ((address >> 32) << 109))


def write_word(address, length, stop=False, reset=False):
    return ((address & 0xFFFFFFFF) | (length << 32) | (1 << 64) | (stop << 66) | (reset << 67)
            | ((address >> 32) << 92))


class Streams:
    """Clock, reset, and one command source per direction (the design side)."""

    def __init__(self, dut):
        self.dut = dut
        self.rdma_bus = AvalonSTBus.from_prefix(dut, "rdma_cmd")
        self.wdma_bus = AvalonSTBus.from_prefix(dut, "wdma_cmd")
        self.rdma = self._source(self.rdma_bus)
        self.wdma = self._source(self.wdma_bus)

    def _source(self, bus):
        fmt = AvalonFormat(bits_per_symbol=len(bus.data), symbols_per_beat=1)
        return AvalonSTSource(bus, fmt, self.dut.clk, reset=self.dut.reset, packets=False,
                              idle_value=0)

    @classmethod
    async def create(cls, dut):
        Clock(dut.clk, 10, unit="ns").start()
        dut.reset.value = 1
        dut.rdma_cmd_ready.value = 1
        dut.wdma_cmd_ready.value = 1
        streams = cls(dut)
        await ClockCycles(dut.clk, 2)
        dut.reset.value = 0
        await RisingEdge(dut.clk)
        return streams

    async def issue(self, source, *words):
        for word in words:
            await source.send(AvalonSTFrame([word]))
        await source.wait()
        await ClockCycles(self.dut.clk, 2)

    def monitor(self, **kwargs):
        kwargs.setdefault("rdma_cmd_bus", self.rdma_bus)
        kwargs.setdefault("wdma_cmd_bus", self.wdma_bus)
        return TavrinCommandMonitor(self.dut.clk, self.dut.reset, streams=STREAMS, **kwargs)


@cocotb.test()
async def checks_regions_and_fails_outside(dut):
    streams = await Streams.create(dut)
    mon = streams.monitor(read_address_regions=[DDR, SRAM], write_address_regions=[SRAM])
    mon.start()
    read_task, write_task = mon._tasks

    allowed = [read_word(0x1000, 0x100, channel=7), read_word(0x1_0000_0000, 0x40),
               read_word(0x9000, 64, reset=True), read_word(0x9000, 64, stop=True),
               read_word(0x9000, 0)]
    await streams.issue(streams.rdma, *allowed)
    assert mon.read_descriptors == [ReadDMADescriptor.decode(w) for w in allowed]
    assert not read_task.done()

    # One outside descriptor ends the read watcher with the label and the time of its beat.
    await streams.rdma.send(AvalonSTFrame([read_word(0x10FF, 2)]))
    try:
        await with_timeout(read_task, 100, "ns")
    except AssertionError as error:
        message = str(error)
    else:
        raise AssertionError("the read watcher did not fail")
    assert message == (
        f"{dut._name}.rdma_cmd: RDMA descriptor outside allowed regions at {get_sim_time()} ps: "
        "address=0x10FF, length=2, allowed=ddr[0x1000..0x1100), sram[0x100000000..0x100000040)")
    assert mon.read_descriptors[-1] == ReadDMADescriptor.decode(read_word(0x10FF, 2))

    # The write watcher goes on: its regions pass 0x100000000, its control words are skipped.
    writes = [write_word(0x1_0000_0000, 0x40), write_word(0x1000, 16, stop=True)]
    await streams.issue(streams.wdma, *writes)
    assert mon.write_descriptors == [WriteDMADescriptor.decode(w) for w in writes]
    assert not write_task.done()
    # Every beat's unread duplicate frame was dropped from the library monitors (ours keep
    # none), and no beat waits.
    for owned in (mon.rdma_cmd_monitor, mon.wdma_cmd_monitor):
        assert owned.empty() and (STREAMS == "native" or owned.beat_queue.empty())
    mon.stop()


@cocotb.test()
async def records_only_accepted_beats(dut):
    streams = await Streams.create(dut)
    mon = streams.monitor()  # no regions: everything is recorded, nothing is checked
    mon.start()
    await FallingEdge(dut.clk)
    dut.rdma_cmd_ready.value = 0
    await streams.rdma.send(AvalonSTFrame([read_word(0xDEAD0000, 32)]))
    await ClockCycles(dut.clk, 5)
    assert mon.read_descriptors == []  # valid without ready is no beat
    dut.rdma_cmd_ready.value = 1
    await RisingEdge(dut.clk)
    while not (dut.rdma_cmd_valid.value == 1 and dut.rdma_cmd_ready.value == 1):
        await RisingEdge(dut.clk)
    await RisingEdge(dut.clk)
    assert [d.address for d in mon.read_descriptors] == [0xDEAD0000]
    mon.stop()


@cocotb.test()
async def watches_one_direction_and_logs(dut):
    streams = await Streams.create(dut)
    logger = logging.getLogger("cocotb.test.monitor")
    logger.setLevel(logging.DEBUG)
    lines = []
    handler = logging.Handler()
    handler.emit = lambda record: lines.append(record.getMessage())
    logger.addHandler(handler)
    mon = TavrinCommandMonitor(dut.clk, dut.reset, wdma_cmd_bus=streams.wdma_bus,
                               logger=logger, streams=STREAMS)
    mon.start()
    mon.start()  # once only
    assert mon.rdma_cmd_monitor is None and len(mon._tasks) == 1
    await streams.issue(streams.rdma, read_word(0x1000, 16))
    await streams.issue(streams.wdma, write_word(0x2_0000_ABCD, 48))
    assert mon.read_descriptors == []
    assert lines == ["WDMA command address=0x20000ABCD length=48"]
    mon.stop()
    logger.removeHandler(handler)


@cocotb.test()
async def stop_cancels_only_owned_monitors(dut):
    streams = await Streams.create(dut)
    fmt = AvalonFormat(bits_per_symbol=len(streams.rdma_bus.data), symbols_per_beat=1)
    mine = AvalonSTMonitor(streams.rdma_bus, fmt, dut.clk, reset=dut.reset, packets=False)
    mon = streams.monitor(rdma_cmd_monitor=mine)
    owned = mon.wdma_cmd_monitor
    assert type(owned).__name__ == ("TavrinSTMonitor" if STREAMS == "native" else "AvalonSTMonitor")
    mon.start()
    await streams.issue(streams.rdma, read_word(0x1000, 16), read_word(0x1100, 16))
    assert [d.address for d in mon.read_descriptors] == [0x1000, 0x1100]
    # The test's monitor keeps its frames for the test: the watcher took only the beats.
    frames = [mine.recv_nowait(), mine.recv_nowait()]
    assert [frame.data for frame in frames] == [[read_word(0x1000, 16)], [read_word(0x1100, 16)]]
    assert mine.empty()
    mon.stop()
    assert mon._tasks == []
    await streams.issue(streams.rdma, read_word(0x2000, 16))
    await streams.issue(streams.wdma, write_word(0x3000, 16))
    # The test's monitor still captures beats; the one built by the monitor captures none.
    beat = await with_timeout(mine.recv_beat(), 10, "ns")
    assert ReadDMADescriptor.decode(beat.data).address == 0x2000
    assert owned.empty() and (STREAMS == "native" or owned.beat_queue.empty())
    # No watcher ran after stop.
    assert [d.address for d in mon.read_descriptors] == [0x1000, 0x1100]
    assert mon.write_descriptors == []
