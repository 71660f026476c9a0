"""Typical calls into every module, type-checked against the committed stubs (never run)."""

from corvane.sim.bfms.tavrin import ReadDMADescriptor, DMAAddressRegion, SparseByteMemory, TavrinBFM
from corvane.sim.bfms import TavrinSTBeat, TavrinSTSink, TavrinSTSource
from corvane.video import FrameSize, VideoFormat
from corvane.sim.models.sarnel import PacketExpectation, BaseVIPPredictor
from corvane.protocols.avalon_st.sarnel import IntelVIPFrameCodec
from corvane.protocols.avalon_st.sarnel.checker import VIPProtocolChecker
from corvane.hil.intel.brenlow import IntelBrenlowSession
from corvane.sim.runners.rtl import rtl_test_cocotb
from corvane.sim.pelorin import platform_test_cocotb
from corvane.sim.runners.quessel import run_quessel_test

d = ReadDMADescriptor.decode(5)
a: int = d.address
r = DMAAddressRegion("ddr", 0x1000, 0x100)
e: int = r.end
ok: bool = r.contains(a, d.length)
s = FrameSize(640, 480)
w: int = s.width
fmt = VideoFormat()
n: int = fmt.frame_symbol_count(s)
pe = PacketExpectation()
c: bool = pe.compare
mem = SparseByteMemory()
b: bytes = mem.read(0, 4)
checker = VIPProtocolChecker(fmt)
codec = IntelVIPFrameCodec(fmt)
checked_size: FrameSize | None = checker.control_size
with IntelBrenlowSession(stall_timeout=None, device="@1#USB-2") as board:
    answer: str = board.command("ver")
    board.write_memory(board.read_memory((2, 2), 0x0, dtype="<u4"), 0x10, dtype="<u4")
rtl_test_cocotb(".", "top", "tb_top", sources=["top.v"])
platform_test_cocotb(".", "sys", "tb_sys", debug=True)
run_quessel_test(project_root=".", component_file="c_hw.tcl", hdl_toplevel="c", test_module="tb_c")
first: int | None = mem.compare(0, b"\x00")
text: str = mem.hexdump(0, 16)
word: int = mem.read_u32(0)
mem.write_u64(8, 2**63)


async def stream(bus: object, fmt: object, clk: object) -> None:
    source = TavrinSTSource(bus, fmt, clk, packets=True, idle_value=0)
    sink = TavrinSTSink(bus, fmt, clk, reset=None, reset_active_level=False)
    await source.send(b"frame")
    sink.pause = True
    beat: TavrinSTBeat = await sink.recv_beat()
    symbols: list[int] = beat.symbols
    beats: list[TavrinSTBeat] = await sink.recv_beats(4)
    label: str = source._bus_label()


async def uses_the_model(dut: object) -> None:
    bfm = TavrinBFM(dut, None, None, reset_active_level=False, watchdog_cycles=100)
    descriptor: ReadDMADescriptor = await bfm.read_commands.get()
    owed: str = bfm.outstanding()
    await bfm.wait_idle(timeout_cycles=50)
    beat: int | None = bfm.data_bytes_per_beat
    if bfm.din_source is not None:
        bfm.din_source.pause = True
    kept: SparseByteMemory = bfm.memory
    strict: bool = checker.check_video_packet_size
    level: int = checker.log.level
