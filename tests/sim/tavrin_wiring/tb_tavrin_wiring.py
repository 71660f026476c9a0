"""The DMA model against a design's wiring (tavrin_wiring.v): each common mistake refused at
construction with its message, and a design with an active-low reset served end to end.
TAVRIN_STREAMS says whose endpoints the model and the monitor build ("library", the default, or
"native")."""

import os

import cocotb
import pytest
from cocotb.clock import Clock
from cocotb.triggers import ClockCycles, FallingEdge, RisingEdge, with_timeout
from cocotbext.avalon import AvalonSTBus

from corvane.sim.bfms.tavrin import SparseByteMemory, TavrinBFM, TavrinCommandMonitor

STREAMS = os.environ.get("TAVRIN_STREAMS", "library")
NO_VALID = ("without valid every clock cycle would count as a transfer; add the port (every "
            "stream of the Intel DMA components carries valid)")

# (instance, what is built on it, the ValueError's text; None: it builds)
MISTAKES = [
    ("right_reads", "read model", None),
    ("right_writes", "write model", None),
    ("no_data", "read model",
     "no_data.rdma_cmd: missing signal rdma_cmd_data (stream signals are found as "
     "<prefix>_<signal>, in any case); check the port's name"),
    ("no_valid", "read model", f"no_valid.rdma_cmd: missing signal rdma_cmd_valid: {NO_VALID}"),
    ("no_dout_valid", "write model", f"no_dout_valid.dout: missing signal dout_valid: {NO_VALID}"),
    ("narrow_rdma_cmd", "read model",
     "narrow_rdma_cmd.rdma_cmd: data is 64 bits wide, but read descriptors need at least 74 bits "
     "(length in bits 63..32, generate_sop and generate_eop in bits 72 and 73); widen "
     "rdma_cmd_data to 74 bits or more"),
    ("narrow_rdma_resp", "read model",
     "narrow_rdma_resp.rdma_resp: data is 2 bits wide, but the model's read responses need at "
     "least 4 bits (the widest is 0xc); widen rdma_resp_data to 4 bits or more"),
    ("narrow_wdma_resp", "write model",
     "narrow_wdma_resp.wdma_resp: data is 32 bits wide, but the model's write responses need at "
     "least 44 bits (the widest is 0x800ffffffff: the done flag above a 32-bit byte count); "
     "widen wdma_resp_data to 44 bits or more"),
    ("no_valid", "monitor", f"no_valid.rdma_cmd: missing signal rdma_cmd_valid: {NO_VALID}"),
    ("narrow_rdma_cmd", "monitor",
     "narrow_rdma_cmd.rdma_cmd: data is 64 bits wide, but read descriptors need at least 74 bits "
     "(length in bits 63..32, generate_sop and generate_eop in bits 72 and 73); widen "
     "rdma_cmd_data to 74 bits or more"),
]


def build(dut, instance, what):
    handle = getattr(dut, instance)
    if what == "monitor":
        return TavrinCommandMonitor(dut.clk, dut.reset_n,
                                    rdma_cmd_bus=AvalonSTBus.from_prefix(handle, "rdma_cmd"),
                                    reset_active_level=False, streams=STREAMS)
    mode = what.split()[0]
    return TavrinBFM(handle, dut.clk, dut.reset_n, mode=mode, reset_active_level=False,
                     streams=STREAMS)


@cocotb.test()
@cocotb.parametrize((("instance", "what", "message"), MISTAKES))
async def wiring(dut, instance, what, message):
    if message is None:
        build(dut, instance, what).stop()
        return
    with pytest.raises(ValueError) as refused:
        build(dut, instance, what)
    assert str(refused.value) == message


async def pulse_start(dut):
    await FallingEdge(dut.clk)
    dut.start.value = 1
    await FallingEdge(dut.clk)
    dut.start.value = 0


@cocotb.test()
async def active_low_reset_design(dut):
    """The endpoints follow reset_n: the copy runs, and a misaligned read is refused with the
    din beat size only (this din has an empty signal)."""
    Clock(dut.clk, 10, unit="ns").start()
    dut.reset_n.value = 0
    for name in ("start", "passthrough", "src_address", "dst_address", "length", "channel"):
        getattr(dut, name).value = 0
    await ClockCycles(dut.clk, 3)
    dut.reset_n.value = 1
    await RisingEdge(dut.clk)
    # Built with reset_n high: endpoints that took it for an active-high reset would wait for
    # ever.
    memory = SparseByteMemory()
    pattern = bytes(range(7, 71))
    memory.write(0x1000, pattern)
    bfm = TavrinBFM(dut, dut.clk, dut.reset_n, memory=memory, reset_active_level=False,
                    watchdog_cycles=200, streams=STREAMS)
    monitor = TavrinCommandMonitor(dut.clk, dut.reset_n,
                                   rdma_cmd_bus=AvalonSTBus.from_prefix(dut, "rdma_cmd"),
                                   reset_active_level=False, streams=STREAMS)
    assert (bfm.streams, monitor.streams) == (STREAMS, STREAMS)
    bfm.start()
    monitor.start()
    dut.src_address.value, dut.dst_address.value, dut.length.value = 0x1000, 0x8000, 64
    await pulse_start(dut)
    await with_timeout(RisingEdge(dut.done), 2, "us")
    await bfm.wait_idle(timeout_cycles=20)
    assert memory.compare(0x8000, pattern) is None, memory.hexdump(0x8000, 64)
    assert bfm.outstanding() == ""
    assert [d.length for d in monitor.read_descriptors] == [64]

    dut.length.value = 60
    await pulse_start(dut)
    with pytest.raises(RuntimeError) as refused:
        await with_timeout(bfm._tasks[0], 1, "us")
    assert str(refused.value).startswith(
        "tavrin_wiring.din: Read DMA BFM requires transfers aligned to the exported din beat; "
        "din beat is 16 bytes; address=0x0000000000001000, length=60, time=")
