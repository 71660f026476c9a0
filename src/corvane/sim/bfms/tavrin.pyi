"""
Avalon-ST stand-in for Intel read and write DMA components, for cocotb testbenches.
"""

from collections.abc import (
    ItemsView,
    Iterable,
    Iterator,
    KeysView,
    Mapping,
    ValuesView
)
import dataclasses
import types
from typing import Self, SupportsIndex, SupportsInt


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

    __qualname__: getset_descriptor = ...

    cr_running: getset_descriptor = ...

    cr_await: getset_descriptor = ...

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

    __hash__: None = None

class _SparseByteMemoryDataIterator:
    def __iter__(self) -> Iterator[int]: ...

    def __next__(self) -> int: ...

class ReadDMADescriptor:
    """Read DMA descriptor: one decoded word of the read command stream."""

    @classmethod
    def decode(cls, value: SupportsIndex) -> Self:
        """
        Decode one read command word (bits above 140 and unlisted bits are ignored):
        address 31..0 and 140..109 (upper half), length 63..32, channel 71..64,
        generate_sop 72, generate_eop 73, stop 74, reset 75. Returns an instance of ``cls``.
        """

    __dataclass_params__: dataclasses._DataclassParams = ...

    __dataclass_fields__: dict = ...

    def __hash__(self): ...

    def __init__(self, address: int, length: int, channel: int, generate_sop: bool, generate_eop: bool, stop: bool, reset: bool) -> None: ...

    def __repr__(self): ...

    def __eq__(self, other): ...

    def __setattr__(self, name, value): ...

    def __delattr__(self, name): ...

    __match_args__: tuple = ...

class WriteDMADescriptor:
    """Write DMA descriptor: one decoded word of the write command stream."""

    @classmethod
    def decode(cls, value: SupportsIndex) -> Self:
        """
        Decode one write command word (bits above 123 and unlisted bits are ignored):
        address 31..0 and 123..92 (upper half), length 63..32, end_on_eop 64, stop 66,
        reset 67. Returns an instance of ``cls``.
        """

    __dataclass_params__: dataclasses._DataclassParams = ...

    __dataclass_fields__: dict = ...

    def __hash__(self): ...

    def __init__(self, address: int, length: int, end_on_eop: bool, stop: bool, reset: bool) -> None: ...

    def __repr__(self): ...

    def __eq__(self, other): ...

    def __setattr__(self, name, value): ...

    def __delattr__(self, name): ...

    __match_args__: tuple = ...

class DMAAddressRegion:
    """
    Allowed DMA address interval.

    ``end`` is exclusive: a region with start=0x1000 and size=0x100 covers
    0x1000..0x1100 (0x1100 not included). A negative size raises ValueError.
    """

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

    __dataclass_params__: dataclasses._DataclassParams = ...

    __dataclass_fields__: dict = ...

    def __hash__(self): ...

    def __init__(self, name: str, start: int, size: int) -> None: ...

    def __repr__(self): ...

    def __eq__(self, other): ...

    def __setattr__(self, name, value): ...

    def __delattr__(self, name): ...

    __match_args__: tuple = ('name', 'start', 'size')

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

    def __init__(self, clock: object | None, reset: object | None = None, rdma_cmd_bus: object | None = None, wdma_cmd_bus: object | None = None, rdma_cmd_monitor: object | None = None, wdma_cmd_monitor: object | None = None, read_address_regions: object | None = None, write_address_regions: object | None = None, logger: object | None = None) -> None:
        """
        Set up the monitor; nothing runs until start().

        Args:
            clock, reset: signals for the library monitors built here.
            rdma_cmd_bus, wdma_cmd_bus: AvalonSTBus objects to watch, or None.
            rdma_cmd_monitor, wdma_cmd_monitor: ready library monitors to use instead (they
                stay the caller's: stop() does not cancel them).
            read_address_regions, write_address_regions: iterables of DMAAddressRegion
                (copied), or None for no checking; an empty one allows nothing.
            logger: logger for the command lines; default cocotb.tavrin_command_monitor.
        """

    def _make_control_monitor(self, bus: object | None, clock: object | None, reset: object | None) -> object:
        """
        An AvalonSTMonitor reading one whole command word per beat, or None without bus.
        """

    def start(self) -> None:
        """Start one watcher task per watched stream (again only after stop())."""

    def stop(self) -> None:
        """
        Cancel the watcher tasks and the library monitors this object built itself.
        """

    def _run_read_commands(self) -> object:
        """Endless watcher coroutine of the read command stream."""

    def _run_write_commands(self) -> object:
        """Endless watcher coroutine of the write command stream."""

    def _check_descriptor(self, name: object | None, descriptor: object | None, regions: object | None, interface_label: object | None = None, sim_time: object | None = None) -> None:
        """
        Raise AssertionError when ``descriptor`` lies outside every region of ``regions``.

        Passes when ``regions`` is None, for reset/stop descriptors and for length 0.
        """

    def _monitor_label(self, monitor: object | None, fallback: object | None) -> object:
        """``monitor._bus_label()`` when the monitor has one, else ``fallback``."""

    def _format_regions(self, regions: object | None) -> str:
        """The regions' text forms joined with ", "."""

__all__: list = ['DMAAddressRegion', 'TavrinCommandMonitor', 'ReadDMADescriptor', 'SparseByteMemory', 'WriteDMADescriptor']
