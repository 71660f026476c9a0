"""cocotb test: the VIP checker and an inverter predictor follow a real packet stream.

The source's packets (monitored on src_*) feed the predictor; the inverter's packets (received on
dout_* under backpressure) feed the checker and are scored against the predictor's expectations.
"""

import itertools
import logging
import os

import cocotb
import numpy as np
from cocotb.clock import Clock
from cocotb.triggers import ClockCycles
from cocotbext.avalon import AvalonFormat, AvalonSTBus, AvalonSTMonitor, AvalonSTSink

from corvane.protocols.avalon_st.sarnel import (
    IntelVIPFrameCodec,
    VIPControlPacket,
    VIPUserPacket,
    VIPVideoPacket,
)
from corvane.protocols.avalon_st.sarnel.checker import VIPProtocolChecker, VIPProtocolError
from corvane.sim.models.sarnel import BaseVIPPredictor, PacketExpectation
from corvane.video import FrameSize, VideoFormat

FORMAT = VideoFormat(color_planes=3, bits_per_symbol=8)
PLANES = FORMAT.color_planes
PACKETS = 5


class Invert:
    def process(self, frame):
        return 255 - frame


class InverterPredictor(BaseVIPPredictor):
    def __init__(self):
        codec = IntelVIPFrameCodec(FORMAT)
        super().__init__(Invert(), codec, codec)

    def get_tolerance(self):
        return 0

    def _process_user_packet(self, packet):
        return PacketExpectation(packet=packet)


def decode(frame):
    """A VIP packet from the symbols of one Avalon-ST packet (header beat, then data beats)."""
    symbols = list(frame.data)
    packet_type, body = symbols[0] & 0xF, symbols[PLANES:]
    if packet_type == 15:
        nibbles = [s & 0xF for s in body[:9]]
        value = lambda ns: int("".join(f"{n:x}" for n in ns), 16)  # noqa: E731
        return VIPControlPacket(value(nibbles[0:4]), value(nibbles[4:8]), nibbles[8])
    if packet_type == 0:
        return VIPVideoPacket(np.array(body, dtype=np.uint8))
    return VIPUserPacket(packet_type, body)


class Recorder(logging.Handler):
    def __init__(self):
        super().__init__(logging.WARNING)
        self.messages = []

    def emit(self, record):
        self.messages.append(record.getMessage())


async def collect(endpoint, feed):
    results = []
    for _ in range(PACKETS):
        packet = decode(await endpoint.recv())
        results.append((packet, feed(packet)))
    return results


@cocotb.test(timeout_time=200, timeout_unit="us")
async def predictor_and_checker_follow_the_stream(dut):
    width, height = (int(v) for v in os.environ["VIP_FRAME"].split("x"))
    Clock(dut.clk, 10, unit="ns").start()
    dut.rst.value = 1
    dut.dout_ready.value = 0
    fmt = AvalonFormat(bits_per_symbol=8, symbols_per_beat=PLANES)
    monitor = AvalonSTMonitor(AvalonSTBus.from_prefix(dut, "src"), fmt, dut.clk, dut.rst,
                              packets=True)
    sink = AvalonSTSink(AvalonSTBus.from_prefix(dut, "dout"), fmt, dut.clk, dut.rst,
                        packets=True)
    sink.set_pause_generator(itertools.cycle([0, 0, 1]))

    predictor = InverterPredictor()
    checker = VIPProtocolChecker(FORMAT)
    recorder = Recorder()
    checker.log.addHandler(recorder)

    await ClockCycles(dut.clk, 3)
    dut.rst.value = 0

    inputs = cocotb.start_soon(collect(monitor, predictor.process_packet))
    outputs = cocotb.start_soon(collect(sink, checker.observe))
    inputs, outputs = await inputs, await outputs
    checker.log.removeHandler(recorder)

    size = FrameSize(width, height)
    assert inputs[0][0] == VIPControlPacket(width, height, 0)
    assert checker.control_size == size and predictor.last_input_size == size
    expectations = [expectation for _, expectation in inputs]
    assert [e.compare for e in expectations] == [True, True, True, False, True]
    assert expectations[3].reason == "corrupted frame"

    # The scoreboard: every comparable expectation equals what the inverter sent.
    for expectation, (actual, observed) in zip(expectations, outputs):
        assert observed is actual
        if expectation.compare:
            assert expectation.packet == actual, (expectation.packet, actual)

    symbols = width * height * PLANES
    assert recorder.messages == [
        "VIP video payload does not match the active control resolution "
        f"{width}x{height}: got {symbols - PLANES} symbols, expected {symbols}. "
        "A new control packet is required before a frame-size change."]

    # With the switch on, the same short packet is an error inside the simulation too.
    checker.check_video_packet_size = True
    try:
        checker.observe(outputs[3][0])
    except VIPProtocolError as error:
        assert "got" in str(error)
    else:
        raise AssertionError("a short video packet was accepted")
