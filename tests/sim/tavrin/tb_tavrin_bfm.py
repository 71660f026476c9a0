"""TavrinBFM against the DMA streams harness: beats, packets, channels and timing on the wire.

The testbench plays the design under test (dma_harness.Design); the model plays the read and
write DMA components. Latencies are measured in clock cycles between handshakes, and delays are
checked as differences: with a delay of d cycles a response comes exactly d cycles later than
with a delay of 0.

TAVRIN_STREAMS says whose endpoints the model builds ("library", the default, or "native"); the
design side always uses cocotbext-avalon's. With TAVRIN_TRACE set, the handshake tests write
every stream's handshakes (with their cycles) to that JSON file, for test_tavrin_bfm_sim.py to
compare across the two.
"""

import itertools
import json
import os
from dataclasses import asdict
from pathlib import Path

import cocotb
from cocotb.triggers import ClockCycles, RisingEdge
from cocotb.utils import get_sim_time
from cocotbext.avalon import AvalonSTBus
from dma_harness import Design, cycle, read_word, write_word

from corvane.sim.bfms.tavrin import (ReadDMADescriptor, SparseByteMemory, TavrinBFM,
                                     WriteDMADescriptor)

TIMEOUT = {"timeout_time": 100, "timeout_unit": "us"}
DIN_BYTES = 16
DOUT_BYTES = 8
STREAMS = os.environ.get("TAVRIN_STREAMS", "library")
ENDPOINTS = ["rdma_cmd_sink", "rdma_resp_source", "din_source", "wdma_cmd_sink",
             "wdma_resp_source", "dout_sink"]


def held(endpoint):
    """(beats, frames) waiting in one of the model's sinks; ours keep no frames."""
    if STREAMS == "native":
        return endpoint.count(), 0
    return endpoint.beat_queue.qsize(), endpoint.queue.qsize()


def drain(queue):
    items = []
    while not queue.empty():
        items.append(queue.get_nowait())
    return items


async def read_latency(design, bfm, delay, word):
    """Cycles from the command handshake to the response handshake of one read."""
    bfm.read_response_delay_cycles = delay
    commands = len(design.seen["rdma_cmd"].beats)
    await design.read(word)
    command = (await design.wait_for("rdma_cmd", commands + 1))[commands]
    response = (await design.wait_for("rdma_resp", commands + 1))[commands]
    return response.cycle - command.cycle


@cocotb.test(**TIMEOUT)
async def read_packet_and_response_timing(dut):
    """64 bytes on a 16-byte din: one 4-beat packet; the response does not wait for din."""
    design = await Design.start(dut)
    memory = SparseByteMemory()
    memory.write(0x1_2345_6000, range(1, 49))  # the last 16 bytes were never written
    bfm = TavrinBFM(dut, dut.clk, dut.reset, memory, read_response_delay_cycles=2, mode="read",
                    streams=STREAMS)
    bfm.start()

    design.din.pause = True  # the design holds din not ready
    await design.read(read_word(0x1_2345_6000, 64, channel=5))
    await design.wait_for("rdma_resp", 1)
    await ClockCycles(dut.clk, 3)
    assert design.seen["din"].beats == [], "din moved while not ready"
    assert design.seen["rdma_resp"].beats[0].data == 12
    held = design.seen["rdma_resp"].beats[0].cycle - design.seen["rdma_cmd"].beats[0].cycle

    design.din.pause = False
    beats = await design.wait_for("din", 4)
    await ClockCycles(dut.clk, 3)
    assert len(design.seen["din"].beats) == 4
    expected = bytes(range(1, 49)) + bytes(16)
    assert [b.data for b in beats] == [int.from_bytes(expected[i:i + DIN_BYTES], "big")
                                       for i in range(0, 64, DIN_BYTES)]
    assert [(b.sop, b.eop, b.channel) for b in beats] == [(1, 0, 5), (0, 0, 5), (0, 0, 5),
                                                          (0, 1, 5)]
    assert [b.cycle - beats[0].cycle for b in beats] == [0, 1, 2, 3]
    descriptor = ReadDMADescriptor(0x1_2345_6000, 64, 5, True, True, False, False)
    assert drain(bfm.read_commands) == [descriptor]
    assert drain(bfm.read_responses) == [descriptor]

    # The delay is read at each use and adds exactly its cycles; holding din changes nothing.
    latency = {d: await read_latency(design, bfm, d, read_word(0x40, 16)) for d in (0, 2, 5)}
    assert latency[2] - latency[0] == 2 and latency[5] - latency[0] == 5
    assert held == latency[2]
    assert 0 < latency[0] <= 3


@cocotb.test(**TIMEOUT)
async def read_back_to_back_and_control(dut):
    """Two reads in a row each get their own response; control descriptors get no data."""
    design = await Design.start(dut)
    bfm = TavrinBFM(dut, dut.clk, dut.reset, read_response_delay_cycles=2, streams=STREAMS)
    bfm.memory.write(0x100, [0xAA] * 32)
    bfm.memory.write(0x200, [0xBB] * 16)
    bfm.start()
    base = await read_latency(design, bfm, 2, read_word(0x300, 16))

    await design.read(read_word(0x100, 32, channel=1), read_word(0x200, 16, channel=2))
    commands = (await design.wait_for("rdma_cmd", 3))[1:]
    responses = (await design.wait_for("rdma_resp", 3))[1:]
    assert [r.cycle - c.cycle for c, r in zip(commands, responses)] == [base, base]
    assert commands[1].cycle == commands[0].cycle + 1
    beats = (await design.wait_for("din", 4))[1:]
    assert [(b.data, b.sop, b.eop, b.channel) for b in beats] == [
        (int("AA" * 16, 16), 1, 0, 1), (int("AA" * 16, 16), 0, 1, 1),
        (int("BB" * 16, 16), 1, 1, 2)]

    drain(bfm.read_commands)
    await design.read(read_word(0x10, 60, reset=True, sop=False),
                      read_word(0x10, 60, stop=True, eop=False),
                      read_word(0x10, 60, stop=True, reset=True),
                      read_word(0x10, 0, sop=False, eop=False))
    responses = (await design.wait_for("rdma_resp", 7))[3:]
    await ClockCycles(dut.clk, 5)
    assert [r.data for r in responses] == [1, 2, 1, 12]
    assert len(design.seen["din"].beats) == 4  # nothing more on din
    assert [d.length for d in drain(bfm.read_responses)][-4:] == [60, 60, 60, 0]
    # The library's duplicate frame of every command beat was dropped.
    assert held(bfm.rdma_cmd_sink) == (0, 0)


@cocotb.test(**TIMEOUT)
async def read_alignment_error_leaves_the_write_side_running(dut):
    design = await Design.start(dut)
    bfm = TavrinBFM(dut, dut.clk, dut.reset, write_response_delay_cycles=1, streams=STREAMS)
    bfm.start()
    engine = bfm._tasks[0]
    await design.read(read_word(0x1000, 60), read_word(0x1000, 64))
    try:
        await engine
    except RuntimeError as error:
        message, now = str(error), get_sim_time()
    else:
        raise AssertionError("the read engine accepted a misaligned length")
    assert message == (
        "dma_streams.din: Read DMA BFM requires transfers aligned to the exported din beat "
        "because the component does not expose din_empty; din beat is 16 bytes; "
        f"address=0x0000000000001000, length=60, time={now} ps")
    await ClockCycles(dut.clk, 10)
    assert design.seen["rdma_resp"].beats == [] and design.seen["din"].beats == []
    assert [d.length for d in drain(bfm.read_commands)] == [60]  # the next one is not taken

    await design.write(write_word(0x80, 8))
    await design.send_dout(range(8))
    assert (await design.wait_for("wdma_resp", 1))[0].data == 0x80000000008
    assert bfm.memory.read(0x80, 8) == bytes(range(8))


@cocotb.test(**TIMEOUT)
async def read_packetization_error(dut):
    design = await Design.start(dut)
    bfm = TavrinBFM(dut, dut.clk, dut.reset, mode="read_only", streams=STREAMS)
    bfm.start()
    engine = bfm._tasks[0]
    await design.read(read_word(0xABCDEF, 64, channel=3, eop=False))
    try:
        await engine
    except RuntimeError as error:
        message, now = str(error), get_sim_time()
    else:
        raise AssertionError("the read engine accepted a descriptor without end of packet")
    assert message == ("dma_streams.din: Read DMA BFM expects packetized read descriptors; "
                       f"address=0x0000000000ABCDEF, length=64, time={now} ps")
    await ClockCycles(dut.clk, 10)
    assert design.seen["rdma_resp"].beats == [] and design.seen["din"].beats == []


async def write_latency(design, bfm, delay, address, data):
    """Cycles from the last dout handshake to the write response handshake."""
    bfm.write_response_delay_cycles = delay
    done = len(design.seen["wdma_resp"].beats)
    beats = len(design.seen["dout"].beats)
    await design.write(write_word(address, len(data)))
    await design.wait_for("wdma_cmd", done + 1)
    await design.send_dout(data)
    needed = -(-len(data) // DOUT_BYTES)
    last = (await design.wait_for("dout", beats + needed))[beats + needed - 1]
    response = (await design.wait_for("wdma_resp", done + 1))[done]
    return response.cycle - last.cycle


@cocotb.test(**TIMEOUT)
async def write_payload_commit_and_response(dut):
    design = await Design.start(dut)
    bfm = TavrinBFM(dut, dut.clk, dut.reset, mode="write-only", write_response_delay_cycles=3,
                    streams=STREAMS)
    bfm.start()
    after_last_beat = []

    for end_on_eop, base in [(False, 0x100), (True, 0x200)]:
        # 10 + 6 bytes from one 24-byte packet: the first descriptor takes exactly two beats
        # (dropping the last 6 bytes of beat 2), the second one takes beat 3.
        done = len(design.seen["wdma_resp"].beats)
        await design.write(write_word(base, 10, end_on_eop), write_word(base + 0x40, 6,
                                                                       end_on_eop))
        await design.wait_for("wdma_cmd", 2 * (done // 2 + 1))
        await design.send_dout(range(1, 25))
        dout = await design.wait_for("dout", 3 * (done // 2 + 1))
        await RisingEdge(dut.clk)
        assert bfm.memory.read(base, 10) == bytes(10), "committed before the delay"
        responses = (await design.wait_for("wdma_resp", done + 2))[done:]
        assert [r.data for r in responses] == [0x8000000000A, 0x80000000006]
        after_last_beat.append(responses[0].cycle - dout[-2].cycle)
        assert bfm.memory.read(base, 11) == bytes(range(1, 11)) + b"\0"
        assert bfm.memory.read(base + 0x40, 7) == bytes(range(17, 23)) + b"\0"
        assert drain(bfm.write_responses) == drain(bfm.write_commands)

    latency = {d: await write_latency(design, bfm, d, 0x400 + 0x40 * d, range(16))
               for d in (0, 4)}
    assert latency[4] - latency[0] == 4
    assert after_last_beat == [latency[0] + 3] * 2  # end_on_eop changes nothing

    # Control descriptors answer at once; length 0 takes no beat but waits the delay.
    bfm.write_response_delay_cycles = 20
    await design.send_dout(range(8))  # stays in the model's sink: nobody asks for it
    await design.write(write_word(0x800, 8, reset=True), write_word(0x800, 8, stop=True))
    commands = (await design.wait_for("wdma_cmd", 8))[-2:]
    responses = (await design.wait_for("wdma_resp", 8))[-2:]
    assert [r.data for r in responses] == [0x200000000, 0x400000000]
    assert all(r.cycle - c.cycle < 5 for c, r in zip(commands, responses))
    await design.write(write_word(0x900, 0))
    command = (await design.wait_for("wdma_cmd", 9))[-1]
    response = (await design.wait_for("wdma_resp", 9))[-1]
    assert response.data == 0x80000000000 and response.cycle - command.cycle >= 20
    assert len(bfm.memory._data) == 10 + 6 + 10 + 6 + 32
    # Frames the library filed for taken beats were dropped: only the untaken beat's is left.
    assert held(bfm.dout_sink) == (1, int(STREAMS == "library"))
    assert held(bfm.wdma_cmd_sink) == (0, 0)


@cocotb.test(**TIMEOUT)
async def construction_in_every_mode(dut):
    await Design.start(dut)
    for mode, read, write in [("full", True, True), ("Read-Only", True, False),
                              ("READ ONLY", True, False), ("write_only", False, True)]:
        bfm = TavrinBFM(dut, dut.clk, dut.reset, mode=mode, streams=STREAMS)
        assert (bfm.enable_read, bfm.enable_write) == (read, write)
        assert bfm.read_data_bytes_per_beat == (DIN_BYTES if read else None)
        assert bfm.write_data_bytes_per_beat == (DOUT_BYTES if write else None)
        assert bfm.data_bytes_per_beat == (DIN_BYTES if read else DOUT_BYTES)
        assert (bfm.din_source is None) != read and (bfm.dout_sink is None) != write
        assert bfm.log.name == "cocotb.dma_streams.tavrin_bfm"
        # The endpoints are the ones TAVRIN_STREAMS asked for.
        assert bfm.streams == STREAMS
        owner = "TavrinST" if STREAMS == "native" else "AvalonST"
        assert [type(getattr(bfm, name)).__name__ for name in ENDPOINTS] == [
            owner + name.split("_")[-1].title() if (read if i < 3 else write) else "NoneType"
            for i, name in enumerate(ENDPOINTS)]
        bfm.stop()
    try:
        TavrinBFM(dut, dut.clk, dut.reset, din_bus=AvalonSTBus.from_prefix(dut, "odd"),
                  streams=STREAMS)
    except ValueError as error:
        assert str(error) == "dma_streams.odd: DMA data bus width must be byte-aligned"
    else:
        raise AssertionError("a 36-bit din was accepted")


@cocotb.test(**TIMEOUT)
async def stop_cancels_engines_but_not_pending_responses(dut):
    design = await Design.start(dut)
    bfm = TavrinBFM(dut, dut.clk, dut.reset, read_response_delay_cycles=10, streams=STREAMS)
    bfm.start()
    tasks = list(bfm._tasks)
    await design.read(read_word(0x0, 16))
    await design.wait_for("rdma_cmd", 1)
    await RisingEdge(dut.clk)
    bfm.stop()
    await ClockCycles(dut.clk, 2)
    assert bfm._tasks == [] and all(task.cancelled() for task in tasks)
    await design.read(read_word(0x0, 16))
    await ClockCycles(dut.clk, 15)
    # The response task of the first read ran on; the second read was never taken.
    assert [d.length for d in drain(bfm.read_responses)] == [16]
    assert len(drain(bfm.read_commands)) == 1
    bfm.start()
    assert len(bfm._tasks) == 2


@cocotb.test(**TIMEOUT)
async def python_subclass_overrides_hooks(dut):
    design = await Design.start(dut)

    class Inverting(TavrinBFM):
        READ_RESPONSE_DONE = 0xA5

        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.lines = []

        def _log_transaction(self, message, *args):
            self.lines.append(message % args)

        async def _receive_write_payload(self, length):
            payload = await super()._receive_write_payload(length)
            return bytes(b ^ 0xFF for b in payload)

    bfm = Inverting(dut, dut.clk, dut.reset, None, 1, 1, streams=STREAMS)
    bfm.start()
    await design.read(read_word(0x0, 16))
    await design.write(write_word(0x20, 8))
    await design.send_dout(range(8))
    assert (await design.wait_for("rdma_resp", 1))[0].data == 0xA5
    assert (await design.wait_for("wdma_resp", 1))[0].data == 0x80000000008
    assert bfm.memory.read(0x20, 8) == bytes(b ^ 0xFF for b in range(8))
    assert sorted(bfm.lines) == sorted([
        "READ command: address=0x0000000000000000 length=16 channel=0 sop=1 eop=1",
        "READ data queued: address=0x0000000000000000 length=16 channel=0",
        "READ response queued: address=0x0000000000000000 response=0xa5",
        "WRITE command: address=0x0000000000000020 length=8 end_on_eop=0",
        "WRITE data stored: address=0x0000000000000020 length=8",
        "WRITE response queued: address=0x0000000000000020 response=0x80000000008",
    ])
    assert isinstance(drain(bfm.write_commands)[0], WriteDMADescriptor)


HUNG_WRITE = ("write address=0x2000 length=64: waiting for write data on dout: 3 of 8 beats "
              "arrived")


@cocotb.test(**TIMEOUT)
async def hang_reported_by_wait_idle(dut):
    """Never started: at once. Then a write short of dout beats and read data the design does
    not take: after the time-out, both with what they wait for."""
    design = await Design.start(dut)
    bfm = TavrinBFM(dut, dut.clk, dut.reset, streams=STREAMS)
    await design.write(write_word(0x2000, 64))
    await design.wait_for("wdma_cmd", 1)
    before = cycle()
    try:
        await bfm.wait_idle(timeout_cycles=50)
    except RuntimeError as error:
        assert cycle() == before
        assert str(error) == (
            "dma_streams.tavrin_bfm: wait_idle() cannot finish: the model was never started: "
            "call start() first; outstanding:\n  write: 1 command beat waits in wdma_cmd_sink, "
            "taken by no engine (the model was never started: call start() first)")
    else:
        raise AssertionError("wait_idle() returned although the model was never started")

    bfm.start()
    design.din.pause = True
    await design.read(read_word(0x1000, 32, channel=2))
    await design.send_dout(range(3 * DOUT_BYTES))
    try:
        await bfm.wait_idle(timeout_cycles=30)
    except TimeoutError as error:
        assert str(error) == (
            "dma_streams.tavrin_bfm: wait_idle() timed out after 30 clock cycles; outstanding:\n"
            "  read address=0x1000 length=32 channel=2: read data (2 beats) queued on din, not "
            f"yet all taken by the design\n  {HUNG_WRITE}")
    else:
        raise AssertionError("wait_idle() returned with a write short of its data")
    design.din.pause = False
    await design.send_dout(range(5 * DOUT_BYTES))
    await bfm.wait_idle(timeout_cycles=30)
    assert bfm.outstanding() == ""
    assert len(design.seen["din"].beats) == 2 and len(design.seen["wdma_resp"].beats) == 1


@cocotb.test(**TIMEOUT)
async def hang_found_by_the_watchdog(dut):
    """A long read and a response delay beyond the watchdog's limit are progress; a write
    short of its dout beats is not, and its engine task fails with the outstanding text."""
    design = await Design.start(dut)
    bfm = TavrinBFM(dut, dut.clk, dut.reset, read_response_delay_cycles=30, watchdog_cycles=20,
                    streams=STREAMS)
    bfm.start()
    await design.read(read_word(0x1000, 64 * DIN_BYTES))
    await design.wait_for("din", 64)
    await design.wait_for("rdma_resp", 1)
    assert not any(task.done() for task in bfm._tasks)

    await design.write(write_word(0x2000, 64))
    await design.send_dout(range(3 * DOUT_BYTES))
    try:
        await bfm._tasks[1]
    except TimeoutError as error:
        assert str(error) == (
            "dma_streams.tavrin_bfm: the write side made no progress for 20 clock cycles "
            f"(watchdog_cycles=20); outstanding:\n  {HUNG_WRITE}")
    else:
        raise AssertionError("the write engine ended without a time-out")
    assert 20 <= cycle() - design.seen["dout"].beats[-1].cycle <= 22
    assert not bfm._tasks[0].done()  # the read side watches on


# Pause patterns for every endpoint of both sides; each repeats, with lengths that do not divide
# one another, so stalls land on every kind of beat.
PAUSES = {"rdma_cmd": [0, 1], "wdma_cmd": [0, 0, 1], "rdma_resp": [1, 0, 0], "wdma_resp": [0, 1, 1],
          "din": [0, 0, 1, 1, 0], "dout": [0, 1, 0, 0], "rdma_cmd_sink": [0, 0, 0, 1],
          "rdma_resp_source": [0, 1], "din_source": [0, 1, 0], "wdma_cmd_sink": [1, 0],
          "wdma_resp_source": [0, 0, 1], "dout_sink": [0, 1, 1, 0, 0]}


@cocotb.test(**TIMEOUT)
@cocotb.parametrize(paused=[False, True])
async def handshakes(dut, paused):
    """Reads and writes of several lengths and channels, packets that end a descriptor early
    and late, and control descriptors, traced on every stream (compared across streams=)."""
    design = await Design.start(dut)
    bfm = TavrinBFM(dut, dut.clk, dut.reset, read_response_delay_cycles=1,
                    write_response_delay_cycles=2, streams=STREAMS)
    bfm.memory.write(0x1000, bytes(range(256)))
    if paused:
        for name, pattern in PAUSES.items():
            owner = bfm if name.endswith(("_sink", "_source")) else design
            getattr(owner, name).set_pause_generator(itertools.cycle(pattern))
    bfm.start()
    cocotb.start_soon(design.read(read_word(0x1000, 64, channel=1), read_word(0x1040, 16),
                                  read_word(0x0, 0, reset=True), read_word(0x1080, 48, channel=3),
                                  read_word(0x0, 16, stop=True)))
    cocotb.start_soon(design.write(write_word(0x2000, 20), write_word(0x2100, 16, end_on_eop=True),
                                   write_word(0x0, 8, reset=True), write_word(0x2200, 8)))
    for packet in (range(24), range(100, 108), range(200, 208), range(50, 58)):
        await design.send_dout(packet)
    await design.wait_for("rdma_resp", 5, limit=600)
    await design.wait_for("wdma_resp", 4, limit=600)
    await bfm.wait_idle(timeout_cycles=100)
    await ClockCycles(dut.clk, 4)
    seen = {prefix: [asdict(beat) for beat in design.seen[prefix].beats] for prefix in design.seen}
    assert [len(seen[prefix]) for prefix in ("rdma_resp", "din", "wdma_resp", "dout")] == [
        5, 8, 4, 6]
    assert bfm.memory.read(0x2000, 20) == bytes(range(20))
    assert bfm.memory.read(0x2100, 16) == bytes(range(100, 108)) + bytes(range(200, 208))
    assert bfm.memory.read(0x2200, 8) == bytes(range(50, 58))
    if "TAVRIN_TRACE" in os.environ:
        path = Path(os.environ["TAVRIN_TRACE"])
        traces = json.loads(path.read_text()) if path.exists() else {}
        traces["paused" if paused else "plain"] = seen
        path.write_text(json.dumps(traces))
    bfm.stop()
