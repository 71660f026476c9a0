"""The same traffic through st_loopback.v with cocotbext-avalon's endpoints or with ours.

ST_ENDPOINTS picks the endpoints ("library" or "native"); every scenario's trace goes to the JSON
file ST_TRACE, for test_tavrin_st_sim.py to compare across the two runs. A trace holds, for every
clock cycle, the values of every signal of the three streams (so every handshake with its
cycle, and what the bus shows between beats), every beat the sinks and monitors hand out, and
when each frame started and ended on its source.
"""

import gc
import itertools
import json
import os
import weakref
from pathlib import Path

import cocotb
from cocotb.clock import Clock
from cocotb.queue import QueueEmpty
from cocotb.triggers import ClockCycles, FallingEdge, RisingEdge, with_timeout
from cocotb.utils import get_sim_time
from cocotbext.avalon import (AvalonFormat, AvalonSTBus, AvalonSTFrame, AvalonSTMonitor,
                              AvalonSTSink, AvalonSTSource)

from corvane.sim.bfms.tavrin import TavrinSTMonitor, TavrinSTSink, TavrinSTSource

PERIOD = 10_000  # ps
CYCLES = 150
SIGNALS = ["valid", "ready", "data", "startofpacket", "endofpacket", "empty", "channel", "error"]
ENDPOINTS = {"library": (AvalonSTSource, AvalonSTSink, AvalonSTMonitor),
             "native": (TavrinSTSource, TavrinSTSink, TavrinSTMonitor)}

# Pause patterns per endpoint, fed by set_pause_generator; "script" adds hand-set pauses, a
# reset in the middle of a packet, an active-low reset for every endpoint, pk's first byte in
# the low-order bits, and by without packets (its start/end of packet signals driven low).
SCENARIOS = {
    "plain": {},
    "pause generators": {"pk_source": [0, 0, 1], "pk_sink": [0, 1, 1, 0, 0],
                         "cw_source": [1, 0], "cw_sink": [0, 0, 0, 1],
                         "by_source": [0, 1, 0, 0, 1, 1], "by_sink": [1, 0, 0]},
    "script": {"by_sink": [0, 0, 1], "active_low": True, "first_low": True, "by_packets": False},
}
LAYOUT = ("active_low", "first_low", "by_packets")


def byte_format(bus, first_high):
    return AvalonFormat(bits_per_symbol=8, symbols_per_beat=len(bus.data) // 8,
                        first_symbol_in_high_order_bits=first_high)


class Bench:
    def __init__(self, dut, options):
        Source, Sink, Monitor = ENDPOINTS[os.environ["ST_ENDPOINTS"]]
        self.dut = dut
        self.t0 = get_sim_time()
        self.trace = {"wire": [], "beats": [], "frames": []}
        active_low = options.get("active_low", False)
        reset = {"reset": dut.reset_n if active_low else dut.reset,
                 "reset_active_level": not active_low}
        bus = {name: AvalonSTBus.from_prefix(dut, name)
               for name in ["pk_in", "pk_out", "cw_in", "cw_out", "by_in", "by_out"]}
        words = AvalonFormat(bits_per_symbol=141, symbols_per_beat=1)
        high = not options.get("first_low", False)
        self.pk_source = Source(bus["pk_in"], byte_format(bus["pk_in"], high), dut.clk,
                                packets=True, idle_value=0, **reset)
        self.pk_sink = Sink(bus["pk_out"], byte_format(bus["pk_out"], high), dut.clk,
                            packets=True, **reset)
        self.pk_monitor = Monitor(bus["pk_in"], byte_format(bus["pk_in"], high), dut.clk,
                                  packets=True, **reset)
        self.cw_source = Source(bus["cw_in"], words, dut.clk, packets=False, idle_value=0,
                                **reset)
        self.cw_sink = Sink(bus["cw_out"], words, dut.clk, packets=False, **reset)
        self.cw_monitor = Monitor(bus["cw_out"], words, dut.clk, packets=False, **reset)
        # 16-bit symbols in, first one low, X between frames (the default idle); bytes out,
        # first one high, with the packet markers on the wire ignored (like the DMA's dout).
        halves = AvalonFormat(bits_per_symbol=16, symbols_per_beat=4)
        by_packets = options.get("by_packets", True)
        self.by_source = Source(bus["by_in"], halves, dut.clk, packets=by_packets, **reset)
        self.by_sink = Sink(bus["by_out"], byte_format(bus["by_out"], True), dut.clk,
                            packets=False, **reset)
        self.by_monitor = Monitor(bus["by_out"], halves, dut.clk, packets=by_packets, **reset)
        for name, pattern in options.items():
            if name not in LAYOUT:
                getattr(self, name).set_pause_generator(itertools.cycle(pattern))
        self.lines = {prefix: [getattr(dut, f"{prefix}_{s}", None) for s in SIGNALS]
                      for prefix in bus}

    def when(self, sim_time):
        return None if sim_time is None else sim_time - self.t0

    async def record(self):
        edge = RisingEdge(self.dut.clk)
        for _ in range(CYCLES):
            await edge
            self.trace["wire"].append({prefix: [str(s.value) if s is not None else None
                                                for s in lines]
                                       for prefix, lines in self.lines.items()})

    async def take(self, name):
        endpoint = getattr(self, name)
        for count in itertools.count():
            beat = await endpoint.recv_beat()
            self.trace["beats"].append([name, self.when(beat.sim_time), beat.data,
                                        list(beat.symbols), beat.sop, beat.eop, beat.empty,
                                        beat.channel, beat.error])
            if count % 3 == 2:
                await ClockCycles(self.dut.clk, 2)  # a slow reader: beats wait in the queue

    def frame(self, stream, data, **kwargs):
        def done(frame):
            self.trace["frames"].append([stream, len(frame), self.when(frame.sim_time_start),
                                         self.when(frame.sim_time_end)])
        return AvalonSTFrame(data, tx_complete=done, **kwargs)

    async def traffic(self, batch):
        pk = [(1, 1), (15, 2), (16, 3), (17, 4), (33, 5), (64, 6), (5, 7)]
        for length, channel in pk:
            await self.pk_source.send(self.frame("pk", bytes((batch * 31 + i) & 0xFF
                                                             for i in range(length)),
                                                 channel=channel, error=batch))
        for i in range(4):
            self.cw_source.send_nowait(self.frame("cw", [(0x1ABC << 120) + i * 0x1234567 + batch]))
        for length in (10, 4, 2):
            await self.by_source.send(self.frame("by", [batch * 0x1001 + i * 0x0102
                                                        for i in range(length)]))
        await self.pk_source.wait()

    async def script(self):
        """Hand-set pauses on both sides, then a reset while a packet is on the bus."""
        dut, clk = self.dut, self.dut.clk
        await ClockCycles(clk, 4)
        self.pk_sink.pause = True
        await ClockCycles(clk, 5)
        self.pk_sink.pause = False
        self.pk_source.pause = True
        await ClockCycles(clk, 3)
        self.pk_source.pause = False
        # Between two edges after the first beat of the 4-beat packet (channel 6): its source
        # drops the rest of it.
        edge = RisingEdge(clk)
        markers = [dut.pk_in_valid, dut.pk_in_startofpacket, dut.pk_in_channel]
        await edge
        while [str(signal.value) for signal in markers] != ["1", "1", "00000110"]:
            await edge
        await FallingEdge(clk)
        dut.reset.value, dut.reset_n.value = 1, 0
        await ClockCycles(clk, 3)
        dut.reset.value, dut.reset_n.value = 0, 1


async def start(dut):
    cocotb.start_soon(Clock(dut.clk, PERIOD, unit="ps").start())
    dut.reset.value, dut.reset_n.value = 1, 0
    for name in ["xs_data", "xs_valid", "xs_ready", "xs_startofpacket", "xs_endofpacket"]:
        getattr(dut, name).value = 0
    await ClockCycles(dut.clk, 2)


@cocotb.test()
@cocotb.parametrize(scenario=list(SCENARIOS))
async def same_traffic(dut, scenario):
    await start(dut)
    options = SCENARIOS[scenario]
    bench = Bench(dut, options)
    recording = cocotb.start_soon(bench.record())
    await ClockCycles(dut.clk, 3)
    dut.reset.value, dut.reset_n.value = 0, 1
    for name in ["pk_sink", "pk_monitor", "cw_sink", "cw_monitor", "by_sink", "by_monitor"]:
        cocotb.start_soon(bench.take(name))
    if scenario == "script":
        cocotb.start_soon(bench.script())
    for batch in range(3):
        await bench.traffic(batch)
        await ClockCycles(dut.clk, 7)
        await RisingEdge(dut.clk)  # the next batch wakes the sources right at a clock edge
    await recording

    path = Path(os.environ["ST_TRACE"])
    traces = json.loads(path.read_text()) if path.is_file() else {}
    traces[scenario] = bench.trace
    path.write_text(json.dumps(traces))


@cocotb.test(expect_error=RuntimeError, skip=cocotb.SIM_NAME.lower().startswith("verilator"))
@cocotb.parametrize(fault=["X data", "start of packet twice", "no start of packet"])
async def faulty_handshake_fails_the_test(dut, fault):
    """The sink raises RuntimeError in its task, as the library's does (X: Icarus only)."""
    _, Sink, _ = ENDPOINTS[os.environ["ST_ENDPOINTS"]]
    await start(dut)
    dut.reset.value, dut.reset_n.value = 0, 1
    bus = AvalonSTBus.from_prefix(dut, "xs")
    Sink(bus, byte_format(bus, True), dut.clk, reset=dut.reset, packets=True)
    await RisingEdge(dut.clk)
    dut.xs_valid.value = 1
    dut.xs_data.value = "x" * 16 if fault == "X data" else 0x1234
    dut.xs_startofpacket.value = int(fault != "no start of packet")
    await ClockCycles(dut.clk, 5)


NATIVE_ONLY = os.environ.get("ST_ENDPOINTS") != "native"


@cocotb.test(skip=NATIVE_ONLY)
@cocotb.parametrize(case=[
    ("fmt", "not a format", TypeError, "fmt must be an AvalonFormat"),
    ("ready_latency", 1, NotImplementedError,
     "Native Avalon-ST endpoints support only ready_latency=0 (RL=0 RA=0), got RL=1 RA=1; "
     "use cocotbext.avalon's endpoints for RL=1"),
    ("packets", True, ValueError,
     "st_loopback.cw_in: packets=True requires startofpacket and endofpacket signals"),
    ("bits_per_symbol", 8, ValueError, "st_loopback.cw_in: AvalonFormat payload_width must "
     "match Avalon-ST data width (8 != 141)"),
    ("idle_value", "high", ValueError, "invalid literal for int() with base 10: 'high'"),
])
async def construction_is_refused(dut, case):
    """Bad arguments are refused before the endpoint starts anything (native only)."""
    name, value, error, message = case
    await start(dut)
    bus = AvalonSTBus.from_prefix(dut, "cw_in")
    args = {"fmt": AvalonFormat(bits_per_symbol=141, symbols_per_beat=1)}
    if name == "bits_per_symbol":
        args["fmt"] = AvalonFormat(bits_per_symbol=8, symbols_per_beat=1)
    else:
        args[name] = value
    fmt = args.pop("fmt")
    try:
        TavrinSTSource(bus, fmt, dut.clk, reset=dut.reset, **args)
    except error as exc:
        assert str(exc) == message, str(exc)
    else:
        raise AssertionError(f"{name}={value!r} was accepted")


@cocotb.test(skip=NATIVE_ONLY)
async def beat_queue_of_the_native_sink(dut):
    """recv_beat/recv_beats/nowait/wait on one queue, and a cancelled reader loses nothing."""
    await start(dut)
    dut.reset.value, dut.reset_n.value = 0, 1
    bench = Bench(dut, {})
    source, sink = bench.pk_source, bench.pk_sink
    try:
        sink.recv_beat_nowait()
    except QueueEmpty:
        pass
    else:
        raise AssertionError("recv_beat_nowait() on an empty queue returned")
    before = get_sim_time("ns")
    await sink.wait(50, "ns")
    assert get_sim_time("ns") - before == 50

    # A reader cancelled while it waits leaves the line: the next reader gets the beat.
    cancelled = cocotb.start_soon(sink.recv_beat())
    await RisingEdge(dut.clk)
    cancelled.cancel()
    await source.send(AvalonSTFrame(bytes(range(16))))
    beat = await with_timeout(sink.recv_beat(), 200, "ns")
    assert beat.symbols == list(range(16)) and (beat.sop, beat.eop) == (1, 1)

    # Six beats in one wait, in order, with nothing taken past them.
    for n in range(4):
        source.send_nowait(AvalonSTFrame(bytes([n] * 20), channel=n))
    beats = await with_timeout(sink.recv_beats(6), 500, "ns")
    assert [(b.channel, b.sop, b.eop, b.empty, len(b.symbols)) for b in beats] == [
        (0, 1, 0, 0, 16), (0, 0, 1, 12, 4), (1, 1, 0, 0, 16), (1, 0, 1, 12, 4),
        (2, 1, 0, 0, 16), (2, 0, 1, 12, 4)]
    await source.wait()
    assert source.idle() and source.count() == 0
    await ClockCycles(dut.clk, 5)
    assert sink.count() == 2 and not sink.empty()
    await sink.wait()  # returns at once: beats are waiting
    assert [b.symbols for b in await sink.recv_beats(2)] == [[3] * 16, [3] * 4]
    assert sink.count() == 0 and sink.idle() and not hasattr(sink, "queue")

    # Cancelled and dropped, the endpoints and their tasks are collected.
    names = ["pk_source", "pk_sink", "pk_monitor", "cw_source", "cw_sink", "cw_monitor",
             "by_source", "by_sink", "by_monitor"]
    refs = [weakref.ref(getattr(bench, name)) for name in names]
    for name in names:
        getattr(bench, name).cancel()
    del bench, source, sink, beat, beats, cancelled
    await ClockCycles(dut.clk, 2)
    gc.collect()
    assert [name for name, ref in zip(names, refs) if ref() is not None] == []
