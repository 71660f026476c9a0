"""TavrinBFM on the host: construction, modes, start/stop and both engines, driven by hand.

The model looks up the Avalon-ST library, cocotb's start_soon, ClockCycles and get_sim_time at
the moment of use, so these tests replace them with small fakes and drive the engine coroutines
step by step like cocotb's Task would. Wire timing is checked by the simulation tests.
"""

import logging
import re

import cocotb
import cocotb.triggers
import cocotb.utils
import cocotbext.avalon
import pytest
from cocotbext.avalon import AvalonFormat, AvalonSTFrame

from getter_support import GetterError, failing

from corvane.sim.bfms import tavrin
from corvane.sim.bfms.tavrin import ReadDMADescriptor, SparseByteMemory, TavrinBFM

WIDTHS = {"rdma_cmd": 141, "rdma_resp": 32, "din": 128, "wdma_cmd": 124, "wdma_resp": 64,
          "dout": 64}


class Blocked:
    """What a fake endpoint yields while it has nothing to give."""

    def __init__(self, name):
        self.name = name

    def __await__(self):
        yield self
        return None


class Signal:
    def __init__(self, width):
        self.width = width

    def __len__(self):
        return self.width


class Entity:
    _name = "top"


class Bus:
    """An Avalon-ST bus as the library builds it: data, valid and ready (and the packet
    signals on data streams); a signal it did not find is no attribute at all."""

    def __init__(self, prefix, width, missing=(), extra=()):
        self._name = prefix
        self._entity = Entity()
        self.data = Signal(width)
        for name in ["valid", "ready", "startofpacket", "endofpacket", *extra]:
            if name not in missing:
                setattr(self, name, Signal(1))


class Beat:
    def __init__(self, data=0, symbols=()):
        self.data = data
        self.symbols = list(symbols)
        self.eop = 1


class Arrivals(list):
    """The beat queue of a fake sink: like the library's non-packet sink, every beat that
    arrives is also filed as a one-beat frame in the frame queue."""

    def __init__(self, frames):
        super().__init__()
        self.frames = frames

    def append(self, beat):
        super().append(beat)
        self.frames.append(beat)

    def extend(self, beats):
        for beat in beats:
            self.append(beat)

    def qsize(self):
        return len(self)


class Endpoint:
    """Stands in for AvalonSTSource/AvalonSTSink: records construction, sends and cancels."""

    created = []

    def __init__(self, bus, fmt, clock, **kwargs):
        self.bus, self.fmt, self.clock, self.kwargs = bus, fmt, clock, kwargs
        self.symbols_per_beat = fmt.symbols_per_beat
        self.sent = []
        self.frames = []
        self.beats = self.beat_queue = Arrivals(self.frames)
        Endpoint.created.append(self)

    async def send(self, frame):
        self.sent.append(frame)

    async def recv_beat(self):
        while not self.beats:
            await Blocked(self.bus._name)
        return self.beats.pop(0)

    def count(self):
        return len(self.frames)

    def empty(self):
        return not self.frames

    def recv_nowait(self):
        return self.frames.pop(0)

    def cancel(self):
        pass

    def _bus_label(self):
        return f"top.{self.bus._name}"


class Source(Endpoint):
    pass


class Sink(Endpoint):
    pass


class NativeSource(Endpoint):
    pass


class NativeSink(Endpoint):
    pass


class Cycles:
    def __init__(self, clock, count):
        self.clock, self.count = clock, count

    def __await__(self):
        yield self
        return self


class Env:
    def __init__(self):
        self.started = []
        self.time = 1234


@pytest.fixture
def env(monkeypatch):
    env = Env()
    Endpoint.created = []
    monkeypatch.setattr(cocotbext.avalon.AvalonSTBus, "from_prefix",
                        classmethod(lambda cls, dut, prefix: Bus(prefix, WIDTHS[prefix])))
    monkeypatch.setattr(cocotbext.avalon, "AvalonSTSource", Source)
    monkeypatch.setattr(cocotbext.avalon, "AvalonSTSink", Sink)
    monkeypatch.setattr(tavrin, "TavrinSTSource", NativeSource)
    monkeypatch.setattr(tavrin, "TavrinSTSink", NativeSink)
    monkeypatch.setattr(cocotb, "start_soon", lambda coro: env.started.append(coro) or coro)
    monkeypatch.setattr(cocotb.triggers, "ClockCycles", Cycles)
    monkeypatch.setattr(cocotb.utils, "get_sim_time", lambda: env.time)
    return env


class Dut:
    _name = "top"


def make(mode="full", cls=TavrinBFM, **kwargs):
    return cls(Dut(), "clk", "rst", mode=mode, **kwargs)


def step(coro, value=None):
    """One send; returns what was yielded (the coroutine must not finish)."""
    return coro.send(value)


def read_word(address=0, length=0, channel=0, sop=True, eop=True, stop=False, reset=False):
    return (address & 0xFFFFFFFF) | (length << 32) | (channel << 64) | (sop << 72) | (
        eop << 73) | (stop << 74) | (reset << 75) | ((address >> 32) << 109)


def write_word(address=0, length=0, end_on_eop=False, stop=False, reset=False):
    return (address & 0xFFFFFFFF) | (length << 32) | (end_on_eop << 64) | (stop << 66) | (
        reset << 67) | ((address >> 32) << 92)


def drain(queue):
    items = []
    while not queue.empty():
        items.append(queue.get_nowait())
    return items


# ---- construction -----------------------------------------------------------------------------

ATTRIBUTES = ["enable_read", "enable_write", "log", "dut", "clock", "reset", "memory",
              "read_response_delay_cycles", "write_response_delay_cycles", "read_commands",
              "write_commands", "read_responses", "write_responses", "_tasks", "rdma_cmd_sink",
              "rdma_resp_source", "wdma_cmd_sink", "wdma_resp_source", "din_source", "dout_sink",
              "read_data_bytes_per_beat", "write_data_bytes_per_beat", "data_bytes_per_beat"]


@pytest.mark.parametrize("streams, Source, Sink", [("library", Source, Sink),
                                                   ("native", NativeSource, NativeSink)])
def test_attributes_in_order_and_endpoints(env, streams, Source, Sink):
    memory = SparseByteMemory()
    bfm = TavrinBFM(Dut(), "clk", "rst", memory, 3, 4, streams=streams)
    assert bfm.streams == streams
    assert list(vars(bfm)) == ATTRIBUTES == list(TavrinBFM.__annotations__)  # stubs declare them
    assert bfm.memory is memory  # an empty memory is still the one to share
    assert (bfm.read_response_delay_cycles, bfm.write_response_delay_cycles) == (3, 4)
    assert bfm.log.name == "cocotb.top.tavrin_bfm"
    assert bfm._tasks == [] and bfm.read_commands.maxsize <= 0
    assert (bfm.read_data_bytes_per_beat, bfm.write_data_bytes_per_beat,
            bfm.data_bytes_per_beat) == (16, 8, 16)
    assert isinstance(TavrinBFM(Dut(), "clk", "rst", streams=streams).memory, SparseByteMemory)

    by_prefix = {e.bus._name: e for e in Endpoint.created if e.bus._name in WIDTHS}
    for prefix, kind, fmt, kwargs in [
        ("rdma_cmd", Sink, (141, 1, False), {"packets": False}),
        ("rdma_resp", Source, (32, 1, False), {"packets": False, "idle_value": 0}),
        ("din", Source, (8, 16, True), {"packets": True, "idle_value": 0}),
        ("wdma_cmd", Sink, (124, 1, False), {"packets": False}),
        ("wdma_resp", Source, (64, 1, False), {"packets": False, "idle_value": 0}),
        ("dout", Sink, (8, 8, True), {"packets": False}),
    ]:
        endpoint = by_prefix[prefix]
        assert type(endpoint) is kind and endpoint.clock == "clk"
        assert endpoint.kwargs == {"reset": "rst", "reset_active_level": True, **kwargs}
        assert (endpoint.fmt.bits_per_symbol, endpoint.fmt.symbols_per_beat,
                endpoint.fmt.first_symbol_in_high_order_bits) == fmt


def test_given_buses_replace_the_lookup(env):
    buses = {name: Bus(f"my_{name}", WIDTHS[name]) for name in WIDTHS}
    bfm = make(**{f"{name}_bus": bus for name, bus in buses.items()})
    for attr, name in [("rdma_cmd_sink", "rdma_cmd"), ("din_source", "din"),
                       ("wdma_resp_source", "wdma_resp"), ("dout_sink", "dout")]:
        assert getattr(bfm, attr).bus is buses[name]


class Named:
    """A mode that is not text: the model goes by its str()."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


@pytest.mark.parametrize(
    "mode, read, write",
    [(Named("Write Only"), False, True), ("full", True, True), ("read_write", True, True), ("Read_Write", True, True),
     ("readwrite", True, True), ("read", True, False), ("Read-Only", True, False),
     ("READ ONLY", True, False), ("readonly", True, False), ("write", False, True),
     ("write-only", False, True), ("WriteOnly", False, True)],
)
def test_modes(env, mode, read, write):
    bfm = make(mode)
    assert (bfm.enable_read, bfm.enable_write) == (read, write)
    for attr in ["rdma_cmd_sink", "rdma_resp_source", "din_source"]:
        assert (getattr(bfm, attr) is not None) == read
    for attr in ["wdma_cmd_sink", "wdma_resp_source", "dout_sink"]:
        assert (getattr(bfm, attr) is not None) == write
    assert bfm.read_data_bytes_per_beat == (16 if read else None)
    assert bfm.write_data_bytes_per_beat == (8 if write else None)
    assert bfm.data_bytes_per_beat == (16 if read else 8)


@pytest.mark.parametrize(
    "decoded, outcome",
    [((x for x in (False, True)), (False, True)),  # any iterable of two, like tuple unpacking
     ((True, False, True), "too many values to unpack (expected 2)"),
     ((True,), "not enough values to unpack (expected 2, got 1)"),
     (None, "cannot unpack non-iterable NoneType object")],
)
def test_decode_mode_override_is_unpacked_like_python(env, decoded, outcome):
    class Custom(TavrinBFM):
        def _decode_mode(self, mode):
            return decoded

    if isinstance(outcome, str):
        with pytest.raises((ValueError, TypeError), match=re.escape(outcome)):
            make(cls=Custom)
    else:
        bfm = make(cls=Custom)
        assert (bfm.enable_read, bfm.enable_write) == outcome


MODE_ERROR = "TavrinBFM mode must be 'full', 'read', 'read_only', 'write', or 'write_only'"
DELAY_ERROR = "DMA response delays must be non-negative"
STREAMS_ERROR = ("TavrinBFM streams must be 'library' (cocotbext-avalon's endpoints) or 'native' "
                 "(corvane's TavrinST endpoints), got ")


@pytest.mark.parametrize(
    "kwargs, widths, message",
    [
        ({"mode": "dual"}, {}, MODE_ERROR),
        ({"mode": "full\0"}, {}, MODE_ERROR),  # a NUL does not end the text
        ({"mode": "read\ud800"}, {}, MODE_ERROR),  # text without a UTF-8 form
        ({"mode": None}, {}, MODE_ERROR),
        ({"read_response_delay_cycles": -1, "mode": "dual"}, {}, DELAY_ERROR),
        ({"read_response_delay_cycles": -0.5}, {}, DELAY_ERROR),
        ({"write_response_delay_cycles": -1}, {}, DELAY_ERROR),
        ({}, {"din": 36}, "top.din: DMA data bus width must be byte-aligned"),
        ({"mode": "write"}, {"din": 36, "dout": 12},
         "top.dout: DMA data bus width must be byte-aligned"),
        ({"watchdog_cycles": 0}, {},
         "watchdog_cycles must be None or a positive number of clock cycles, got 0"),
        ({"mode": "write"}, {"wdma_resp": 43}, "top.wdma_resp: data is 43 bits wide, but the "
         "model's write responses need at least 44 bits (the widest is 0x800ffffffff: the done "
         "flag above a 32-bit byte count); widen wdma_resp_data to 44 bits or more"),
        ({"streams": "Native"}, {}, STREAMS_ERROR + "'Native'"),
        ({"streams": None}, {"din": 36}, STREAMS_ERROR + "None"),  # before the wiring
        ({"streams": "native", "mode": "dual"}, {}, MODE_ERROR),
        ({}, {"wdma_cmd": 63}, "top.wdma_cmd: data is 63 bits wide, but write descriptors need "
         "at least 64 bits (length in bits 63..32); widen wdma_cmd_data to 64 bits or more"),
    ],
)
def test_construction_errors(env, monkeypatch, kwargs, widths, message):
    for name, width in widths.items():
        monkeypatch.setitem(WIDTHS, name, width)
    with pytest.raises(ValueError) as error:
        TavrinBFM(Dut(), "clk", "rst", **kwargs)
    assert str(error.value) == message
    assert Endpoint.created == []  # every check comes before the first endpoint


@pytest.mark.parametrize(
    "mode, line",
    [
        ("Full", "Created DMA BFM: mode=Full, read_beat=16 bytes, write_beat=8 bytes, "
                 "read_response_delay=2 cycles, write_response_delay=5 cycles, "
                 "transaction_level=10"),
        ("write", "Created DMA BFM: mode=write, read_beat=None bytes, write_beat=8 bytes, "
                  "read_response_delay=2 cycles, write_response_delay=5 cycles, "
                  "transaction_level=10"),
    ],
)
def test_creation_line(env, caplog, mode, line):
    with caplog.at_level(logging.INFO, logger="cocotb.top.tavrin_bfm"):
        make(mode, write_response_delay_cycles=5)
    records = [r for r in caplog.records if r.name == "cocotb.top.tavrin_bfm"]
    assert [(r.levelno, r.getMessage()) for r in records] == [(logging.INFO, line)]
    # Formatted lazily by logging, from the values themselves (the mode as passed).
    assert records[0].args[0] is mode and records[0].args[3:] == (2, 5, 10)


def test_start_and_stop(env):
    bfm = make("read")
    bfm.start()
    bfm.start()
    assert [c.__qualname__ for c in env.started] == ["TavrinBFM._run_reads"]
    tasks = bfm._tasks
    order = []

    class Task:
        def __init__(self, name):
            self.name = name

        def cancel(self):
            order.append(self.name)

    tasks[:] = [Task("a"), Task("b")]
    for endpoint in Endpoint.created:
        endpoint.cancel = lambda name=endpoint.bus._name: order.append((name, bfm._tasks))
    bfm.stop()
    # Tasks first, in list order; then the endpoints that exist, once _tasks is a new list.
    assert order == ["a", "b", ("rdma_cmd", []), ("rdma_resp", []), ("din", [])]
    assert bfm._tasks is not tasks
    for coro in env.started:
        coro.close()

    env.started.clear()
    full = make()
    full.start()
    assert [c.__qualname__ for c in env.started] == ["TavrinBFM._run_reads",
                                                      "TavrinBFM._run_writes"]
    order.clear()
    full._tasks[:] = []
    for endpoint in Endpoint.created[-6:]:
        endpoint.cancel = lambda name=endpoint.bus._name: order.append(name)
    full.stop()
    assert order == ["rdma_cmd", "rdma_resp", "wdma_cmd", "wdma_resp", "din", "dout"]
    for coro in env.started:
        coro.close()


# ---- read engine --------------------------------------------------------------------------------


def run_reads(bfm, *words):
    bfm.rdma_cmd_sink.beats.extend(Beat(word) for word in words)
    engine = bfm._run_reads()
    blocked = step(engine)
    assert isinstance(blocked, Blocked) and blocked.name == "rdma_cmd"
    return engine


def finish_response(env, coro, cycles):
    waited = step(coro)
    assert isinstance(waited, Cycles) and waited.count == cycles and waited.clock == "clk"
    with pytest.raises(StopIteration):
        coro.send(None)


def test_read_transfer(env, caplog):
    bfm = make("read")
    bfm.memory.write(0x1_0000_1000, range(1, 49))  # the last 16 bytes were never written
    caplog.set_level(logging.DEBUG, logger="cocotb.top.tavrin_bfm")
    engine = run_reads(bfm, read_word(0x1_0000_1000, 64, channel=5),
                       read_word(0x2000, 16, channel=1))
    frames = bfm.din_source.sent
    assert [bytes(f.data) for f in frames] == [bytes(range(1, 49)) + bytes(16), bytes(16)]
    assert [f.channel for f in frames] == [5, 1]
    commands = drain(bfm.read_commands)
    assert [c.address for c in commands] == [0x1_0000_1000, 0x2000]
    # Both responses are pending; the delay is read when each response task runs.
    assert len(env.started) == 2 and bfm.rdma_resp_source.sent == []
    bfm.read_response_delay_cycles = 7
    finish_response(env, env.started[0], 7)
    assert [f.data for f in bfm.rdma_resp_source.sent] == [[12]]
    assert drain(bfm.read_responses) == commands[:1]
    finish_response(env, env.started[1], 7)
    assert drain(bfm.read_responses) == commands[1:]
    assert [r.getMessage() for r in caplog.records] == [
        "READ command: address=0x0000000100001000 length=64 channel=5 sop=1 eop=1",
        "READ data queued: address=0x0000000100001000 length=64 channel=5",
        "READ command: address=0x0000000000002000 length=16 channel=1 sop=1 eop=1",
        "READ data queued: address=0x0000000000002000 length=16 channel=1",
        "READ response queued: address=0x0000000100001000 response=0xc",
        "READ response queued: address=0x0000000000002000 response=0xc",
    ]
    engine.close()


@pytest.mark.parametrize(
    "word, response",
    [
        (read_word(0x10, 60, reset=True, sop=False), 1),
        (read_word(0x10, 60, stop=True, eop=False), 2),
        (read_word(0x10, 60, stop=True, reset=True), 1),
        (read_word(0x10, 0, sop=False, eop=False), 12),
    ],
    ids=["reset", "stop", "reset-and-stop", "zero-length"],
)
def test_read_without_data(env, word, response):
    bfm = make("read")
    engine = run_reads(bfm, word)
    assert bfm.din_source.sent == []
    finish_response(env, env.started[0], 2)
    assert [f.data for f in bfm.rdma_resp_source.sent] == [[response]]
    engine.close()


ALIGNED = "Read DMA BFM requires transfers aligned to the exported din beat"


@pytest.mark.parametrize(
    "word, din_signals, reason",
    [
        (read_word(0xABC, 60, sop=False), (), f"{ALIGNED} because the component does not expose "
         "din_empty; din beat is 16 bytes"),
        (read_word(0xABC, 60), ("empty",), f"{ALIGNED}; din beat is 16 bytes"),
        (read_word(0xABC, 64, eop=False), (), "Read DMA BFM expects packetized read descriptors"),
        (read_word(0xABC, 64, sop=False), (), "Read DMA BFM expects packetized read descriptors"),
    ],
    ids=["alignment-first", "alignment-with-din-empty", "no-eop", "no-sop"],
)
def test_read_errors(env, word, din_signals, reason):
    bfm = make("read", din_bus=Bus("din", 128, extra=din_signals))
    bfm.rdma_cmd_sink.beats.extend([Beat(word), Beat(read_word(0, 16))])
    engine = bfm._run_reads()
    with pytest.raises(RuntimeError) as error:
        engine.send(None)
    length = (word >> 32) & 0xFFFFFFFF
    assert str(error.value) == (f"top.din: {reason}; address=0x0000000000000ABC, "
                                f"length={length}, time=1234 ps")
    # The descriptor was recorded, got no data and no response; the next one stays unread.
    assert len(drain(bfm.read_commands)) == 1
    assert bfm.din_source.sent == [] and env.started == []
    assert len(bfm.rdma_cmd_sink.beats) == 1


@pytest.mark.parametrize(
    "mode, record, name",
    [("read", "ReadDMADescriptor", name)
     for name in ["address", "channel", "generate_sop", "generate_eop", "reset"]]
    + [("write", "WriteDMADescriptor", name) for name in ["length", "end_on_eop", "stop"]],
)
def test_engines_raise_the_error_of_a_failing_descriptor_field(env, monkeypatch, mode, record,
                                                               name):
    descriptor_class = failing(getattr(tavrin, record), name)
    monkeypatch.setattr(tavrin, record, descriptor_class)
    bfm = make(mode)
    if mode == "read":
        bfm.rdma_cmd_sink.beats.append(Beat(read_word(0x40, 16)))
        engine = bfm._run_reads()
    else:
        bfm.wdma_cmd_sink.beats.append(Beat(write_word(0x40, 0)))
        engine = bfm._run_writes()
    with pytest.raises(GetterError, match=name):
        engine.send(None)
    assert descriptor_class.read_after_failure == []


def test_queues_are_filled_before_their_log_lines(env):
    """Each line is logged after the queue put it reports, and the memory commit precedes the
    stored line; a line logged early would describe what has not happened yet."""
    seen = []

    class Recording(TavrinBFM):
        def _log_transaction(self, message, *args):
            seen.append((message.split(":")[0], self.read_commands.qsize(),
                         self.read_responses.qsize(), self.write_commands.qsize(),
                         self.write_responses.qsize(), self.memory.read(0x40, 1)))

    bfm = make(cls=Recording, write_response_delay_cycles=0)
    reads = run_reads(bfm, read_word(0, 16))
    finish_response(env, env.started[0], 2)
    bfm.wdma_cmd_sink.beats.append(Beat(write_word(0x40, 1)))
    bfm.dout_sink.beats.extend(write_beats([7] * 8))
    writes = bfm._run_writes()
    assert step(writes).count == 0
    assert isinstance(step(writes), Blocked)
    assert seen == [("READ command", 1, 0, 0, 0, b"\0"), ("READ data queued", 1, 0, 0, 0, b"\0"),
                    ("READ response queued", 1, 1, 0, 0, b"\0"),
                    ("WRITE command", 1, 1, 1, 0, b"\0"), ("WRITE data stored", 1, 1, 1, 0, b"\7"),
                    ("WRITE response queued", 1, 1, 1, 1, b"\7")]
    reads.close()
    writes.close()


def test_read_response_constant_is_looked_up_each_time(env):
    class Custom(TavrinBFM):
        READ_RESPONSE_DONE = 0x55

    bfm = make("read", cls=Custom)
    engine = run_reads(bfm, read_word(0, 16))
    bfm.READ_RESPONSE_DONE = 0x66
    bfm.rdma_cmd_sink.beats.append(Beat(read_word(0, 16)))
    step(engine)
    for coro in env.started:
        finish_response(env, coro, 2)
    assert [f.data for f in bfm.rdma_resp_source.sent] == [[0x55], [0x66]]
    engine.close()


def test_read_engine_cancelled_mid_wait(env):
    import asyncio

    bfm = make("read")
    engine = run_reads(bfm)
    with pytest.raises(asyncio.CancelledError):
        engine.throw(asyncio.CancelledError())
    with pytest.raises(RuntimeError, match="cannot reuse"):
        engine.send(None)


# ---- write engine -------------------------------------------------------------------------------


def write_beats(*chunks):
    return [Beat(symbols=chunk) for chunk in chunks]


@pytest.mark.parametrize("end_on_eop", [False, True])
def test_write_transfer(env, caplog, end_on_eop):
    bfm = make("write")
    caplog.set_level(logging.DEBUG, logger="cocotb.top.tavrin_bfm")
    bfm.wdma_cmd_sink.beats.append(Beat(write_word(0x1_0000_0040, 10, end_on_eop)))
    bfm.dout_sink.beats.extend(write_beats(range(1, 9), range(9, 17), range(17, 25)))
    engine = bfm._run_writes()
    waited = step(engine)
    assert isinstance(waited, Cycles) and waited.count == 2
    # Exactly two beats are taken, and nothing is stored before the delay has passed.
    assert len(bfm.dout_sink.beats) == 1 and bfm.dout_sink.frames == bfm.dout_sink.beats
    assert bfm.memory.read(0x1_0000_0040, 10) == bytes(10)
    assert bfm.wdma_resp_source.sent == [] and bfm.write_responses.empty()
    blocked = step(engine)
    assert isinstance(blocked, Blocked) and blocked.name == "wdma_cmd"
    assert bfm.memory.read(0x1_0000_0040, 11) == bytes(range(1, 11)) + b"\0"
    assert [f.data for f in bfm.wdma_resp_source.sent] == [[0x8000000000A]]
    assert drain(bfm.write_responses) == drain(bfm.write_commands)
    assert [r.getMessage() for r in caplog.records] == [
        f"WRITE command: address=0x0000000100000040 length=10 end_on_eop={int(end_on_eop)}",
        "WRITE data stored: address=0x0000000100000040 length=10",
        "WRITE response queued: address=0x0000000100000040 response=0x8000000000a",
    ]
    engine.close()


@pytest.mark.parametrize(
    "word, waits, response",
    [
        (write_word(0x40, 0), True, 0x80000000000),
        (write_word(0x40, 8, reset=True), False, 0x200000000),
        (write_word(0x40, 8, stop=True), False, 0x400000000),
        (write_word(0x40, 8, stop=True, reset=True), False, 0x200000000),
    ],
    ids=["zero-length", "reset", "stop", "reset-and-stop"],
)
def test_write_without_data(env, word, waits, response):
    bfm = make("write")
    bfm.wdma_cmd_sink.beats.append(Beat(word))
    bfm.dout_sink.beats.extend(write_beats(range(8)))
    engine = bfm._run_writes()
    if waits:
        assert isinstance(step(engine), Cycles)
    assert isinstance(step(engine), Blocked)
    assert len(bfm.dout_sink.beats) == 1 and len(bfm.memory._data) == 0
    assert [f.data for f in bfm.wdma_resp_source.sent] == [[response]]
    engine.close()


def test_write_hooks_and_constants_are_looked_up(env, caplog):
    lines = []

    class Custom(TavrinBFM):
        WRITE_RESPONSE_DONE_SHIFT = 40

        async def _receive_write_payload(self, length):
            return b"\xaa" * length

        def _log_transaction(self, message, *args):
            lines.append(message % args)

    bfm = make("write", cls=Custom, write_response_delay_cycles=0)
    bfm.wdma_cmd_sink.beats.append(Beat(write_word(0x40, 3)))
    engine = bfm._run_writes()
    assert step(engine).count == 0
    assert isinstance(step(engine), Blocked)
    assert bfm.memory.read(0x40, 3) == b"\xaa\xaa\xaa"
    assert [f.data for f in bfm.wdma_resp_source.sent] == [[(1 << 40) | 3]]
    assert lines[-1] == "WRITE response queued: address=0x0000000000000040 response=0x10000000003"
    engine.close()


def test_library_duplicate_frames_are_dropped(env):
    bfm = make()
    bfm.wdma_cmd_sink.beats.append(Beat(write_word(0x40, 20)))
    bfm.dout_sink.beats.extend(write_beats(range(8), range(8), range(8)))
    writes = bfm._run_writes()
    step(writes)
    step(writes)
    reads = run_reads(bfm, read_word(0, 16))
    assert bfm.wdma_cmd_sink.frames == [] and bfm.dout_sink.frames == []
    assert bfm.rdma_cmd_sink.frames == []
    writes.close()
    reads.close()
    for coro in env.started:
        coro.close()


def test_frames_the_test_reads_are_never_dropped(env):
    """Only the copy of a beat already taken goes: when a test takes frames itself, the frame
    of a beat still waiting is not dropped to make up for it."""
    bfm = make("write")
    sink = bfm.wdma_cmd_sink
    first, second = Beat(write_word(0x40, 8)), Beat(write_word(0x80, 8))
    sink.beats.extend([first, second])
    assert sink.recv_nowait() is first  # the test reads frames too
    writes = bfm._run_writes()
    assert step(writes).name == "dout"  # the first command waits for its payload
    assert sink.frames == [second]
    bfm.dout_sink.beats.extend(write_beats(range(8)))
    assert isinstance(step(writes), Cycles)
    assert step(writes).name == "dout"  # the second command was taken, with its frame
    assert sink.frames == [] and bfm.dout_sink.frames == []
    writes.close()


@pytest.mark.parametrize(
    "per_beat, length, result",
    [
        (4, 6, bytes([1, 2, 3, 4, 5, 6])),
        (4, 8, bytes([1, 2, 3, 4, 5, 6, 7, 8])),
        (4, 0, b""),
        (0, 6, ZeroDivisionError),  # a broken beat size is an error, not a crash
        (None, 6, TypeError),
        (4.0, 6, TypeError),
    ],
)
def test_payload_takes_whole_beats(per_beat, length, result):
    bfm = TavrinBFM.__new__(TavrinBFM)
    bfm.write_data_bytes_per_beat = per_beat
    bfm.dout_sink = Sink(Bus("dout", 32), AvalonFormat(8, 4), "clk")
    bfm.dout_sink.beats.extend(write_beats([1, 2, 3, 4], [5, 6, 7, 8], [9, 9, 9, 9]))
    coro = bfm._receive_write_payload(length)
    if isinstance(result, bytes):
        with pytest.raises(StopIteration) as stop:
            coro.send(None)
        assert stop.value.value == result
        assert len(bfm.dout_sink.beats) == 3 - -(-length // 4)
    else:
        with pytest.raises(result):
            coro.send(None)


def test_frames_are_library_frames(env):
    bfm = make("read")
    run_reads(bfm, read_word(0, 16, channel=3)).close()
    assert isinstance(bfm.din_source.sent[0], AvalonSTFrame)
    assert tavrin.TavrinBFM.READ_RESPONSE_DONE == 12
    assert tavrin.TavrinBFM.WRITE_RESPONSE_DONE_SHIFT == 43
    assert ReadDMADescriptor.decode(read_word(0, 16, channel=3)) == drain(bfm.read_commands)[0]
    for coro in env.started:
        coro.close()


@pytest.mark.parametrize("where", ["command", "payload"])
def test_model_with_suspended_engine_is_collectable(env, where):
    """model -> _tasks -> engine -> frame -> model: nothing hides the model from the GC."""
    import gc
    import weakref

    bfm = make("write")
    if where == "payload":
        bfm.wdma_cmd_sink.beats.append(Beat(write_word(0x40, 8)))
    engine = bfm._run_writes()
    bfm._tasks.append(engine)  # as cocotb's Task would keep it
    assert step(engine).name == ("dout" if where == "payload" else "wdma_cmd")
    alive = weakref.ref(bfm)
    del bfm, engine
    gc.collect()
    assert alive() is None


def test_outstanding_follows_each_descriptor_until_the_design_took_its_answer(env):
    """A frame counts as taken once its source holds it no more (nothing queued, not active)."""
    bfm = make(reset_active_level=False)
    assert Endpoint.created[0].kwargs["reset_active_level"] is False
    assert bfm.outstanding() == ""
    read = "read address=0x40 length=32 channel=1: "
    bfm.rdma_cmd_sink.beats.append(Beat(read_word(0x40, 32, channel=1)))
    reads = run_reads(bfm)
    bfm.din_source.active = bfm.din_source.pause = True
    data = "read data (2 beats) queued on din, not yet all taken by the design (din_source paused)"
    assert bfm.outstanding() == read + "in the read response delay (2 clock cycles); " + data
    bfm.rdma_resp_source.active = True
    finish_response(env, env.started[0], 2)
    assert bfm.outstanding() == (read + "response 0xc queued on rdma_resp, not yet taken by the "
                                 "design; " + data)
    bfm.rdma_resp_source.active = False
    assert bfm.outstanding() == read + data
    bfm.din_source.active = False
    assert bfm.outstanding() == ""

    write = "write address=0x80 length=16: "
    bfm.wdma_cmd_sink.beats.append(Beat(write_word(0x80, 16)))
    writes = bfm._run_writes()
    assert step(writes).name == "dout"
    bfm.dout_sink.pause = True
    # Driven by hand, the engine counts as not started: what it waits for says so.
    assert bfm.outstanding() == (write + "waiting for write data on dout: 0 of 2 beats arrived "
                                 "(dout_sink paused) (the model was never started: call start() "
                                 "first)")
    bfm.dout_sink.beats.append(Beat(symbols=range(8)))
    assert step(writes).name == "dout"
    assert bfm.outstanding().startswith(write + "waiting for write data on dout: 1 of 2 beats")
    bfm.dout_sink.beats.append(Beat(symbols=range(8)))
    assert isinstance(step(writes), Cycles)
    assert bfm.outstanding() == write + "in the write response delay (2 clock cycles)"
    bfm.wdma_resp_source.active = True
    assert step(writes).name == "wdma_cmd"
    assert bfm.outstanding() == (write + "response 0x80000000010 queued on wdma_resp, not yet "
                                 "taken by the design")
    bfm.wdma_resp_source.active = False
    assert bfm.outstanding() == ""
    with pytest.raises(ValueError, match="timeout_cycles must be None or a non-negative"):
        bfm.wait_idle(timeout_cycles=-1)
    reads.close()
    writes.close()
