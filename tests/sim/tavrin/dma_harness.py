"""The design side of the DMA streams harness (dma_streams.v), for cocotb testbenches.

`Design` plays the design under test against TavrinBFM (or a real DMA): it issues descriptors
on rdma_cmd/wdma_cmd, takes rdma_resp/wdma_resp and din, sends dout, and records every
valid-and-ready handshake of every stream with its clock cycle, so tests can check beats,
start/end of packet, channels and timing in cycles. Import it from a testbench whose pytest
entry passes this directory as `test_dir` (or puts it on sys.path).
"""

from dataclasses import dataclass

import cocotb
from cocotb.clock import Clock
from cocotb.triggers import ClockCycles, RisingEdge
from cocotb.utils import get_sim_time
from cocotbext.avalon import AvalonFormat, AvalonSTBus, AvalonSTFrame, AvalonSTSink, AvalonSTSource

PERIOD_NS = 10
STREAMS = ["rdma_cmd", "rdma_resp", "din", "wdma_cmd", "wdma_resp", "dout"]


def cycle():
    """The current clock cycle (rising edges since time 0)."""
    return int(get_sim_time("ns") // PERIOD_NS)


def read_word(address=0, length=0, channel=0, sop=True, eop=True, stop=False, reset=False):
    """A read descriptor word."""
    return ((address & 0xFFFFFFFF) | (length << 32) | (channel << 64) | (int(sop) << 72)
            | (int(eop) << 73) | (int(stop) << 74) | (int(reset) << 75)
            | ((address >> 32) << 109))


def write_word(address=0, length=0, end_on_eop=False, stop=False, reset=False):
    """A write descriptor word."""
    return ((address & 0xFFFFFFFF) | (length << 32) | (int(end_on_eop) << 64)
            | (int(stop) << 66) | (int(reset) << 67) | ((address >> 32) << 92))


@dataclass
class Handshake:
    cycle: int
    data: int
    sop: int = 0
    eop: int = 0
    channel: int = 0


def _bit(signal):
    try:
        return int(signal.value)
    except ValueError:  # X/Z before anyone drives it
        return 0


class Recorder:
    """Every handshake (valid and ready at a rising edge) of one stream, in order."""

    def __init__(self, dut, prefix):
        self.beats = []
        self._signals = {name: getattr(dut, f"{prefix}_{name}", None)
                         for name in ["data", "valid", "ready", "startofpacket", "endofpacket",
                                      "channel"]}
        cocotb.start_soon(self._run(dut.clk))

    async def _run(self, clk):
        edge = RisingEdge(clk)
        s = self._signals
        while True:
            await edge
            if _bit(s["valid"]) and _bit(s["ready"]):
                self.beats.append(Handshake(
                    cycle(), int(s["data"].value),
                    *(_bit(s[n]) if s[n] is not None else 0
                      for n in ["startofpacket", "endofpacket", "channel"])))


class Design:
    """The testbench's endpoints on the six streams, plus a recorder per stream."""

    def __init__(self, dut):
        self.dut = dut
        clk, reset = dut.clk, dut.reset

        def bus(prefix):
            return AvalonSTBus.from_prefix(dut, prefix)

        def words(prefix):
            return AvalonFormat(bits_per_symbol=len(getattr(dut, f"{prefix}_data")),
                                symbols_per_beat=1)

        def bytes_(prefix):
            return AvalonFormat(bits_per_symbol=8,
                                symbols_per_beat=len(getattr(dut, f"{prefix}_data")) // 8,
                                first_symbol_in_high_order_bits=True)

        self.rdma_cmd = AvalonSTSource(bus("rdma_cmd"), words("rdma_cmd"), clk, reset=reset,
                                       packets=False, idle_value=0)
        self.wdma_cmd = AvalonSTSource(bus("wdma_cmd"), words("wdma_cmd"), clk, reset=reset,
                                       packets=False, idle_value=0)
        self.rdma_resp = AvalonSTSink(bus("rdma_resp"), words("rdma_resp"), clk, reset=reset,
                                      packets=False)
        self.wdma_resp = AvalonSTSink(bus("wdma_resp"), words("wdma_resp"), clk, reset=reset,
                                      packets=False)
        self.din = AvalonSTSink(bus("din"), bytes_("din"), clk, reset=reset, packets=True)
        self.dout = AvalonSTSource(bus("dout"), bytes_("dout"), clk, reset=reset, packets=True,
                                   idle_value=0)
        self.seen = {prefix: Recorder(dut, prefix) for prefix in STREAMS}

    @classmethod
    async def start(cls, dut, reset_cycles=4):
        """Clock, endpoints, and a reset pulse; returns once the reset is released."""
        cocotb.start_soon(Clock(dut.clk, PERIOD_NS, unit="ns").start())
        dut.reset.value = 1
        design = cls(dut)
        await ClockCycles(dut.clk, reset_cycles)
        dut.reset.value = 0
        await RisingEdge(dut.clk)
        return design

    async def read(self, *words):
        for word in words:
            await self.rdma_cmd.send(AvalonSTFrame([word]))

    async def write(self, *words):
        for word in words:
            await self.wdma_cmd.send(AvalonSTFrame([word]))

    async def send_dout(self, data):
        """One packet on dout (start of packet on its first beat, end on its last)."""
        await self.dout.send(AvalonSTFrame(bytes(data)))

    async def wait_for(self, prefix, count, limit=500):
        """Wait until `prefix` has seen `count` handshakes; returns them."""
        for _ in range(limit):
            if len(self.seen[prefix].beats) >= count:
                return self.seen[prefix].beats
            await RisingEdge(self.dut.clk)
        raise AssertionError(f"{prefix}: {len(self.seen[prefix].beats)} of {count} handshakes "
                             f"after {limit} cycles")
