"""
Avalon-ST stand-in for Intel read and write DMA components, for cocotb testbenches.
"""

import cocotb.queue
import cocotb.task
import cocotbext.avalon
import typing
from collections.abc import (
    Buffer,
    Coroutine,
    ItemsView,
    Iterable,
    Iterator,
    KeysView,
    Mapping,
    ValuesView
)
import dataclasses
import logging
import types
from typing import Any, NoReturn, Self, SupportsIndex, SupportsInt


class _CppCoroutine:
    """A C++ coroutine, driven like a Python coroutine."""

    def __repr__(self, /):
        """Return repr(self)."""

    def __iter__(self, /):
        """Implement iter(self)."""

    def __next__(self, /):
        """Implement next(self)."""

    def __await__(self, /):
        """Return an iterator to be used in await expression."""

    send: types.MethodDescriptorType = ...

    throw: types.MethodDescriptorType = ...

    close: types.MethodDescriptorType = ...

    @property
    def __qualname__(self) -> str: ...

    @property
    def cr_running(self) -> bool:
        """True while the coroutine is executing."""

    @property
    def cr_await(self) -> Any:
        """The iterator the coroutine is suspended on, or None."""

def _bridge_selftest_sum(factory: object, count: int, on_destroy: object | None = None) -> object:
    """
    Coroutine: await factory() count times and return the sum of the results.
    """

def _bridge_selftest_catching(factory: object, count: int) -> object:
    """
    Coroutine: await factory() count times, swallowing and collecting every exception.
    """

def _bridge_selftest_raise(awaitable: object, exception: object | None = None) -> object:
    """
    Coroutine: await awaitable, then raise exception or return the awaited value.
    """

def _bridge_selftest_fail(kind: str) -> object:
    """Coroutine that throws a C++ exception ('value', 'runtime', 'range')."""

class SparseByteMemory:
    """Byte-addressed memory shared by the read and write DMA models."""

    def __init__(self) -> None:
        """An empty memory."""

    def write(self, address: SupportsIndex, data: Iterable[SupportsInt]) -> None:
        """
        Store ``int(item) & 0xFF`` of each element of ``data`` at ``address``,
        ``address + 1``, ... (any iterable: bytes, bytearray, a list of ints, an array).

        Elements are converted one by one: a bad element raises int()'s TypeError or
        ValueError after the elements before it have been stored.
        """

    def read(self, address: SupportsIndex, length: SupportsIndex) -> bytes:
        """
        ``length`` bytes from ``address``; 0 where never written, ``b''`` for a
        length of zero or less. Reading never creates entries.
        """

    def hexdump(self, address: SupportsIndex, length: SupportsIndex) -> str:
        """
        ``length`` bytes from ``address`` as text, 16 bytes a line: the address in hex,
        the bytes in hex and as ASCII ('.' where not printable). Bytes never written show
        as 00, as read() returns them; ``''`` for a length of zero or less.
        """

    def compare(self, address: SupportsIndex, expected: Buffer | Iterable[int]) -> int | None:
        """
        The first address from ``address`` on where the memory differs from
        ``expected`` (anything bytes() accepts but a bare int), or None when all match.
        Bytes never written compare as 0. For a readable failure::

            first = memory.compare(0x8000, expected)
            assert first is None, memory.hexdump(first & ~0xF, 32)
        """

    def read_u8(self, address: SupportsIndex) -> int:
        """
        The unsigned little-endian 8-bit word at ``address`` (bytes never written read as 0).
        """

    def write_u8(self, address: SupportsIndex, value: SupportsIndex) -> None:
        """
        Store ``value`` as an unsigned little-endian 8-bit word at ``address``;
        ValueError when it does not fit.
        """

    def read_u16(self, address: SupportsIndex) -> int:
        """
        The unsigned little-endian 16-bit word at ``address`` (bytes never written read as 0).
        """

    def write_u16(self, address: SupportsIndex, value: SupportsIndex) -> None:
        """
        Store ``value`` as an unsigned little-endian 16-bit word at ``address``;
        ValueError when it does not fit.
        """

    def read_u32(self, address: SupportsIndex) -> int:
        """
        The unsigned little-endian 32-bit word at ``address`` (bytes never written read as 0).
        """

    def write_u32(self, address: SupportsIndex, value: SupportsIndex) -> None:
        """
        Store ``value`` as an unsigned little-endian 32-bit word at ``address``;
        ValueError when it does not fit.
        """

    def read_u64(self, address: SupportsIndex) -> int:
        """
        The unsigned little-endian 64-bit word at ``address`` (bytes never written read as 0).
        """

    def write_u64(self, address: SupportsIndex, value: SupportsIndex) -> None:
        """
        Store ``value`` as an unsigned little-endian 64-bit word at ``address``;
        ValueError when it does not fit.
        """

    def __repr__(self, /) -> str: ...

    def __getstate__(self) -> tuple[list[tuple[int, bytes]], dict[str, Any]]: ...

    def __setstate__(self, state: tuple[list[tuple[int, bytes]], dict[str, Any]], /) -> None: ...

    @property
    def _data(self) -> Mapping[int, int]:
        """
        Every byte ever written, by address: a live read-only mapping in address order.
        """

class _SparseByteMemoryData:
    """Live read-only view of a SparseByteMemory's written bytes."""

    def __len__(self) -> int: ...

    def __getitem__(self, key: object) -> int: ...

    def __contains__(self, key: object) -> bool: ...

    def get(self, key: object, default: object = None) -> int | object: ...

    def __iter__(self) -> Iterator[int]: ...

    def keys(self) -> KeysView[int]: ...

    def items(self) -> ItemsView[int, int]: ...

    def values(self) -> ValuesView[int]: ...

    def __eq__(self, other: object, /) -> bool: ...

    def __repr__(self) -> str: ...

    __hash__: typing.ClassVar[None]  # type: ignore[assignment]

class _SparseByteMemoryDataIterator:
    def __iter__(self) -> Iterator[int]: ...

    def __next__(self) -> int: ...

@dataclasses.dataclass(frozen=True)
class ReadDMADescriptor:
    """Read DMA descriptor: one decoded word of the read command stream."""

    address: int
    length: int
    channel: int
    generate_sop: bool
    generate_eop: bool
    stop: bool
    reset: bool

    @classmethod
    def decode(cls, value: SupportsIndex) -> Self:
        """
        Decode one read command word (bits above 140 and unlisted bits are ignored):
        address 31..0 and 140..109 (upper half), length 63..32, channel 71..64,
        generate_sop 72, generate_eop 73, stop 74, reset 75. Returns an instance of ``cls``.
        """

@dataclasses.dataclass(frozen=True)
class WriteDMADescriptor:
    """Write DMA descriptor: one decoded word of the write command stream."""

    address: int
    length: int
    end_on_eop: bool
    stop: bool
    reset: bool

    @classmethod
    def decode(cls, value: SupportsIndex) -> Self:
        """
        Decode one write command word (bits above 123 and unlisted bits are ignored):
        address 31..0 and 123..92 (upper half), length 63..32, end_on_eop 64, stop 66,
        reset 67. Returns an instance of ``cls``.
        """

@dataclasses.dataclass(frozen=True)
class DMAAddressRegion:
    """
    Allowed DMA address interval.

    ``end`` is exclusive: a region with start=0x1000 and size=0x100 covers
    0x1000..0x1100 (0x1100 not included). A negative size raises ValueError.
    """

    name: str
    start: int
    size: int

    def __post_init__(self) -> None: ...

    @property
    def end(self) -> int:
        """``start + size`` (exclusive)."""

    def contains(self, address: int, length: int) -> bool:
        """
        True when ``length >= 0``, ``start <= address`` and ``address + length <= end``
        (checked in that order).
        """

    def __str__(self) -> str: ...

def _avalon_st_label(bus: object) -> str:
    """
    Label of an Avalon-ST bus for messages: entity.bus, entity, bus or avalon_st.
    """

class TavrinCommandMonitor:
    """
    Passive monitor for Intel read/write DMA descriptor streams.

    Watches ``rdma_cmd`` and ``wdma_cmd`` without driving anything, decodes every command
    beat into a ReadDMADescriptor or WriteDMADescriptor, keeps it in ``read_descriptors`` /
    ``write_descriptors`` and logs it. If address regions are provided, every non-control
    descriptor is checked immediately when it appears on the command stream: one outside
    every allowed region raises AssertionError in the watcher task. Descriptors with
    ``reset`` or ``stop`` set (control descriptors) and zero-length descriptors are not
    checked.
    """

    read_address_regions: list[DMAAddressRegion] | None
    write_address_regions: list[DMAAddressRegion] | None
    read_descriptors: list[ReadDMADescriptor]
    write_descriptors: list[WriteDMADescriptor]
    _tasks: list[cocotb.task.Task[typing.Any]]
    log: logging.Logger
    rdma_cmd_monitor: cocotbext.avalon.AvalonSTMonitor | TavrinSTMonitor | None
    wdma_cmd_monitor: cocotbext.avalon.AvalonSTMonitor | TavrinSTMonitor | None
    _owns_rdma_cmd_monitor: bool
    _owns_wdma_cmd_monitor: bool

    def __init__(self, clock: Any, reset: Any = None, rdma_cmd_bus: Any = None, wdma_cmd_bus: Any = None, rdma_cmd_monitor: Any = None, wdma_cmd_monitor: Any = None, read_address_regions: Iterable[DMAAddressRegion] | None = None, write_address_regions: Iterable[DMAAddressRegion] | None = None, logger: logging.Logger | None = None, *, reset_active_level: bool = True, streams: str = 'library') -> None:
        """
        Set up the monitor; nothing runs until start().

        Args:
            clock, reset: signals for the monitors built here.
            rdma_cmd_bus, wdma_cmd_bus: AvalonSTBus objects to watch, or None.
            rdma_cmd_monitor, wdma_cmd_monitor: ready monitors to use instead, of either kind
                (they stay the caller's: stop() does not cancel them).
            read_address_regions, write_address_regions: iterables of DMAAddressRegion
                (copied), or None for no checking; an empty one allows nothing.
            logger: logger for the command lines; default cocotb.tavrin_command_monitor.
            reset_active_level: the level at which ``reset`` is asserted (False for an
                active-low reset), for the monitors built here.
            streams: whose monitors are built here: 'library' (cocotbext-avalon's
                AvalonSTMonitor) or 'native' (TavrinSTMonitor, the same on the wire at a
                fraction of the cost per beat).

        Raises:
            ValueError: a ``streams`` other than 'library' or 'native', a command bus to
                watch that lacks its data or valid signal, or whose data is too narrow for
                the descriptor fields (74 bits for reads, 64 for writes).
        """

    def _make_control_monitor(self, bus: Any, clock: Any, reset: Any) -> Any:
        """
        A monitor (as ``streams`` says) reading one whole command word per beat, or None
        without bus.
        """

    @property
    def streams(self) -> str:
        """Whose monitors are built here: 'library' or 'native'."""

    def start(self) -> None:
        """Start one watcher task per watched stream (again only after stop())."""

    def stop(self) -> None:
        """Cancel the watcher tasks and the monitors this object built itself."""

    def _run_read_commands(self) -> Coroutine[Any, Any, NoReturn]:
        """Endless watcher coroutine of the read command stream."""

    def _run_write_commands(self) -> Coroutine[Any, Any, NoReturn]:
        """Endless watcher coroutine of the write command stream."""

    def _check_descriptor(self, name: str, descriptor: ReadDMADescriptor | WriteDMADescriptor, regions: Iterable[DMAAddressRegion] | None, interface_label: object = None, sim_time: object = None) -> None:
        """
        Raise AssertionError when ``descriptor`` lies outside every region of ``regions``.

        Passes when ``regions`` is None, for reset/stop descriptors and for length 0.
        """

    def _monitor_label(self, monitor: Any, fallback: str) -> Any:
        """``monitor._bus_label()`` when the monitor has one, else ``fallback``."""

    def _format_regions(self, regions: Iterable[DMAAddressRegion]) -> str:
        """The regions' text forms joined with ", "."""

class TavrinBFM:
    """
    Avalon-ST stand-in for an Intel read DMA and an Intel write DMA component.

    - A read descriptor queues memory contents on ``din`` and schedules a successful
      ``rdma_resp`` independently of data consumption. This models a read DMA whose
      internal FIFO can already contain data while the DUT stalls.
    - A write descriptor consumes its byte count from ``dout``. Once all stream data has
      entered the model, it is committed to memory and a successful ``wdma_resp`` is
      scheduled after the configured completion delay (the delay, then the commit, then
      the response).
    - ``mode`` selects the modelled side: "full" models both; "read" or "read_only"
      models only ``rdma_cmd``, ``rdma_resp`` and ``din``; "write" or "write_only"
      models only ``wdma_cmd``, ``wdma_resp`` and ``dout``.
    - Tests can set ``din_source.pause`` to delay read data presentation and
      ``dout_sink.pause`` to deassert ``dout_ready`` while write data waits.
    """

    enable_read: bool
    enable_write: bool
    log: logging.Logger
    dut: typing.Any
    clock: typing.Any
    reset: typing.Any
    memory: SparseByteMemory
    read_response_delay_cycles: int
    write_response_delay_cycles: int
    read_commands: cocotb.queue.Queue[ReadDMADescriptor]
    write_commands: cocotb.queue.Queue[WriteDMADescriptor]
    read_responses: cocotb.queue.Queue[ReadDMADescriptor]
    write_responses: cocotb.queue.Queue[WriteDMADescriptor]
    _tasks: list[cocotb.task.Task[typing.Any]]
    rdma_cmd_sink: cocotbext.avalon.AvalonSTSink | TavrinSTSink | None
    rdma_resp_source: cocotbext.avalon.AvalonSTSource | TavrinSTSource | None
    wdma_cmd_sink: cocotbext.avalon.AvalonSTSink | TavrinSTSink | None
    wdma_resp_source: cocotbext.avalon.AvalonSTSource | TavrinSTSource | None
    din_source: cocotbext.avalon.AvalonSTSource | TavrinSTSource | None
    dout_sink: cocotbext.avalon.AvalonSTSink | TavrinSTSink | None
    read_data_bytes_per_beat: int | None
    write_data_bytes_per_beat: int | None
    data_bytes_per_beat: int | None

    def __init__(self, dut: Any, clock: Any, reset: Any, memory: SparseByteMemory | None = None, read_response_delay_cycles: int = 2, write_response_delay_cycles: int = 2, rdma_cmd_bus: Any = None, rdma_resp_bus: Any = None, wdma_cmd_bus: Any = None, wdma_resp_bus: Any = None, din_bus: Any = None, dout_bus: Any = None, mode: str = 'full', *, reset_active_level: bool = True, watchdog_cycles: int | None = None, streams: str = 'library') -> None:
        """
        Build the stream endpoints of the modelled sides; nothing runs until start().

        Args:
            dut: DUT handle; streams are found on it by prefix (rdma_cmd, rdma_resp, din,
                wdma_cmd, wdma_resp, dout) unless a ``..._bus`` argument gives the bus.
            clock, reset: signals for every endpoint; clock also times the delays.
            memory: SparseByteMemory to share, or None for a new one.
            read_response_delay_cycles: cycles from queuing read data to the response.
            write_response_delay_cycles: cycles from the last write beat to commit+response.
            mode: 'full', 'read'/'read_only' or 'write'/'write_only' (case, '-' and ' '
                are forgiven).
            reset_active_level: the level at which ``reset`` is asserted (False for an
                active-low reset); every endpoint gets it.
            watchdog_cycles: when set, a side that owes the design something and makes no
                progress for that many clock cycles raises TimeoutError in its engine task,
                with the outstanding() text.
            streams: whose endpoints the model builds: 'library' (cocotbext-avalon's
                AvalonSTSource and AvalonSTSink) or 'native' (TavrinSTSource and
                TavrinSTSink, the same on the wire at a fraction of the cost per beat).

        Raises:
            ValueError: negative delay, unknown mode, a watchdog_cycles that is not
                positive, a streams other than 'library' or 'native', din/dout width not a
                byte multiple, or a stream wired wrongly: a missing data or valid signal,
                or a command or response data signal too narrow for the descriptor or
                response words (the message names the width).
        """

    READ_RESPONSE_DONE: int = 12

    WRITE_RESPONSE_DONE_SHIFT: int = 43

    def _make_byte_stream_format(self, bus: object | None) -> object:
        """
        AvalonFormat of 8-bit symbols, width/8 per beat, first symbol in the high bits.
        """

    def _make_control_sink(self, prefix: object | None, bus: object | None = None) -> object:
        """A sink taking one whole command word per beat (bus found by prefix)."""

    def _make_control_source(self, prefix: object | None, bus: object | None = None) -> object:
        """A source sending one whole response word per beat, idle value 0."""

    def _decode_mode(self, mode: object) -> tuple[bool, bool]:
        """(enable_read, enable_write) for a mode text."""

    def _log_transaction(self, message: object | None, *args) -> None:
        """
        Log a transaction line on ``log`` at DEBUG (printf-style, formatted lazily).
        """

    @property
    def reset_active_level(self) -> bool:
        """The level at which ``reset`` is asserted, as given to every endpoint."""

    @property
    def streams(self) -> str:
        """Whose endpoints the model builds: 'library' or 'native'."""

    @property
    def watchdog_cycles(self) -> int | None:
        """
        Clock cycles without progress after which an engine raises TimeoutError, or None.
        """

    def start(self) -> None:
        """Start one engine task per modelled side (once until stop())."""

    def outstanding(self) -> str:
        """
        What each side still owes the design, one line per item; ``''`` when nothing.

        Every descriptor taken off a command stream and not yet answered, with what it
        waits for (dout beats still to come and how many arrived, the response delay, a
        response or read data the design has not taken yet, a paused endpoint), and the
        command beats waiting in a command sink that no engine has taken (the model was
        never started, or stopped).
        """

    def wait_idle(self, timeout_cycles: int | None = None) -> Coroutine[Any, Any, None]:
        """
        Coroutine: return once nothing is outstanding (see outstanding()).

        Raises:
            RuntimeError: at once, when something is outstanding that can never be
                answered: the model was never started (or was stopped), or the engine of
                that side has ended.
            TimeoutError: after ``timeout_cycles`` clock cycles with something still
                outstanding; the message lists it.
            ValueError: a negative ``timeout_cycles``.
        """

    def stop(self) -> None:
        """
        Cancel the engine tasks, then the endpoints. Read response tasks already started
        run on.
        """

    def _run_reads(self) -> Coroutine[Any, Any, NoReturn]:
        """Read engine: endless coroutine serving the read command stream."""

    def _issue_read_response(self, descriptor: ReadDMADescriptor, response: int) -> Coroutine[Any, Any, None]:
        """
        Coroutine: wait the read delay, send the response word, record the descriptor.
        """

    def _run_writes(self) -> Coroutine[Any, Any, NoReturn]:
        """Write engine: endless coroutine serving the write command stream."""

    def _receive_write_payload(self, length: int) -> Coroutine[Any, Any, bytes]:
        """
        Coroutine: take whole dout beats for ``length`` bytes; returns exactly ``length``.
        """

class TavrinSTBeat:
    """One beat taken by a TavrinSTSink or TavrinSTMonitor (read-only)."""

    @property
    def data(self) -> int:
        """The data word."""

    @property
    def symbols(self) -> list[int]:
        """The symbols in order, without the empty ones of a packet's last beat."""

    @property
    def sop(self) -> int:
        """Start of packet (1 in non-packet mode)."""

    @property
    def eop(self) -> int:
        """End of packet (1 in non-packet mode)."""

    @property
    def empty(self) -> int:
        """Empty symbols of the last beat (packet mode; else 0)."""

    @property
    def error(self) -> int:
        """The error signal (0 when absent or X)."""

    @property
    def channel(self) -> int:
        """The channel signal (0 when absent or X)."""

    @property
    def sim_time(self) -> int:
        """Simulation time of the handshake, in simulator steps."""

    def __repr__(self) -> str: ...

class TavrinSTSource:
    """
    Avalon-ST source (ready latency 0) with the wire behaviour of cocotbext-avalon's
    AvalonSTSource, cycle for cycle, at a fraction of its cost per beat.

    Takes the library's AvalonSTBus, AvalonFormat and AvalonSTFrame. Frames queued with
    send() go out one beat per clock edge while ready; packet mode marks the first beat
    start-of-packet and the last end-of-packet (with ``empty``), on the frame's channel.
    Between frames and while paused the bus shows ``idle_value`` ("x", "random", 0 or
    1 for all ones); during reset all zeros.
    """

    def __init__(self, bus: Any, fmt: Any, clock: Any, reset: Any = None, reset_active_level: bool = True, ready_latency: int = 0, ready_allowance: int | None = None, packets: bool | None = None, idle_value: int | str = 'x') -> None:
        """
        Drive ``bus`` as the library's AvalonSTSource would (same arguments).

        Raises:
            NotImplementedError: a ready latency other than 0.
            ValueError: format width not the data width, packets=True without
                start/end of packet signals, a bad idle value.
        """

    def send(self, frame: Any) -> Coroutine[Any, Any, None]:
        """
        Coroutine: queue ``frame`` (an AvalonSTFrame, or data to wrap in one); it
        returns at once, before the frame is on the bus.
        """

    def send_nowait(self, frame: Any) -> None:
        """Queue ``frame`` without awaiting."""

    def count(self) -> int:
        """Frames queued and not yet on the bus."""

    def empty(self) -> bool:
        """True when no frame is queued."""

    def idle(self) -> bool:
        """True when no frame is queued or on the bus."""

    def wait(self) -> Coroutine[Any, Any, None]:
        """Coroutine: return once every queued frame has gone out."""

    def cancel(self) -> None:
        """Stop the source's tasks (the bus keeps its last values)."""

    @property
    def idle_value(self) -> int | str:
        """The idle value."""

    def _bus_label(self) -> str:
        """``entity.bus`` label of the bus, as in messages."""

    @property
    def bus(self) -> Any:
        """The AvalonSTBus."""

    @property
    def clock(self) -> Any:
        """The clock signal."""

    @property
    def reset(self) -> Any:
        """The reset signal, or None."""

    @property
    def reset_active_level(self) -> bool:
        """True for an active-high reset."""

    @property
    def log(self) -> logging.Logger:
        """Logger cocotb.<bus label>.<source|sink|monitor>."""

    @property
    def width(self) -> int:
        """Data width in bits."""

    @property
    def bits_per_symbol(self) -> int:
        """Bits per symbol."""

    @property
    def symbols_per_beat(self) -> int:
        """Symbols per beat."""

    @property
    def has_packets(self) -> bool:
        """True in packet mode (start/end of packet and empty are used)."""

    @property
    def active(self) -> bool:
        """True while a frame is on the bus (source) or a packet is open (sink)."""

    @property
    def pause(self) -> bool:
        """While true no beat starts: the bus idles between beats."""

    @pause.setter
    def pause(self, value: object, /) -> None: ...

    def set_pause_generator(self, generator: Iterable[object] | None = None) -> None:
        """
        Set ``pause`` from the next item of ``generator`` at every rising clock edge
        (e.g. ``itertools.cycle([0, 0, 1])``); None only stops the current one.
        """

    def clear_pause_generator(self) -> None:
        """Stop the pause generator; ``pause`` keeps its last value."""

class TavrinSTMonitor:
    """
    Passive Avalon-ST monitor (ready latency 0): every valid-and-ready handshake as a
    TavrinSTBeat, taken at the same clock edges as cocotbext-avalon's AvalonSTMonitor.

    Beats wait in one queue for recv_beat(); no second queue of frames is kept.
    In packet mode a start of packet inside a packet, a beat outside one, or ``empty``
    without end of packet raise RuntimeError in the monitor's task, and X/Z on data or
    start/end of packet during a handshake too.
    """

    def __init__(self, bus: Any, fmt: Any, clock: Any, reset: Any = None, reset_active_level: bool = True, ready_latency: int = 0, ready_allowance: int | None = None, packets: bool | None = None) -> None:
        """Watch ``bus`` as the library's AvalonSTMonitor would (same arguments)."""

    def recv_beat(self) -> Coroutine[Any, Any, TavrinSTBeat]:
        """Coroutine: the next beat, waiting for one if none is queued."""

    def recv_beats(self, count: int) -> Coroutine[Any, Any, list[TavrinSTBeat]]:
        """
        Coroutine: the next ``count`` beats, in order, once all of them are queued. The
        waiting task wakes once, not once per beat; nothing past ``count`` is taken.
        """

    def recv_beat_nowait(self) -> TavrinSTBeat:
        """The next beat; cocotb.queue.QueueEmpty when none is queued."""

    def count(self) -> int:
        """Beats queued and not yet taken."""

    def empty(self) -> bool:
        """True when no beat is queued."""

    def idle(self) -> bool:
        """True unless a packet is being received."""

    def wait(self, timeout: float = 0, timeout_unit: str = 'ns') -> Coroutine[Any, Any, None]:
        """
        Coroutine: return once a beat is queued (at once if one is), or after
        ``timeout`` when it is non-zero.
        """

    def cancel(self) -> None:
        """Stop the monitor's tasks."""

    def _bus_label(self) -> str:
        """``entity.bus`` label of the bus, as in messages."""

    @property
    def bus(self) -> Any:
        """The AvalonSTBus."""

    @property
    def clock(self) -> Any:
        """The clock signal."""

    @property
    def reset(self) -> Any:
        """The reset signal, or None."""

    @property
    def reset_active_level(self) -> bool:
        """True for an active-high reset."""

    @property
    def log(self) -> logging.Logger:
        """Logger cocotb.<bus label>.<source|sink|monitor>."""

    @property
    def width(self) -> int:
        """Data width in bits."""

    @property
    def bits_per_symbol(self) -> int:
        """Bits per symbol."""

    @property
    def symbols_per_beat(self) -> int:
        """Symbols per beat."""

    @property
    def has_packets(self) -> bool:
        """True in packet mode (start/end of packet and empty are used)."""

    @property
    def active(self) -> bool:
        """True while a frame is on the bus (source) or a packet is open (sink)."""

class TavrinSTSink(TavrinSTMonitor):
    """
    Avalon-ST sink (ready latency 0) with the wire behaviour of cocotbext-avalon's
    AvalonSTSink, cycle for cycle: a TavrinSTMonitor that drives ``ready``.

    ``pause`` deasserts ready; while beats flow it takes effect one clock late, as in
    the library. Beats wait in one queue for recv_beat(); unlike the library, no queue
    of frames grows behind a reader that only takes beats.
    """

    def __init__(self, bus: Any, fmt: Any, clock: Any, reset: Any = None, reset_active_level: bool = True, ready_latency: int = 0, ready_allowance: int | None = None, packets: bool | None = None) -> None:
        """
        Take beats from ``bus`` as the library's AvalonSTSink would (same arguments).
        """

    def cancel(self) -> None:
        """Stop the sink's tasks (ready keeps its last value)."""

    @property
    def pause(self) -> bool:
        """While true ready is deasserted (one clock late while beats flow)."""

    @pause.setter
    def pause(self, value: object, /) -> None: ...

    def set_pause_generator(self, generator: Iterable[object] | None = None) -> None:
        """
        Set ``pause`` from the next item of ``generator`` at every rising clock edge
        (e.g. ``itertools.cycle([0, 0, 1])``); None only stops the current one.
        """

    def clear_pause_generator(self) -> None:
        """Stop the pause generator; ``pause`` keeps its last value."""

__all__: list = ['DMAAddressRegion', 'TavrinBFM', 'TavrinCommandMonitor', 'ReadDMADescriptor', 'SparseByteMemory', 'WriteDMADescriptor']
