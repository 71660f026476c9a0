"""TavrinCommandMonitor on the host: construction, start/stop, the descriptor check and labels,
and the watchers driven by hand with fake library monitors (no simulator)."""

import gc
import logging
import weakref

import cocotbext.avalon
import pytest

from corvane.sim.bfms import tavrin
from corvane.sim.bfms.tavrin import (
    DMAAddressRegion,
    ReadDMADescriptor,
    TavrinCommandMonitor,
    WriteDMADescriptor,
)

DDR = DMAAddressRegion("ddr", 0x1000, 0x100)
SRAM = DMAAddressRegion("sram", 0x8000, 0x10)


def read_descriptor(address=0x1000, length=0x100, stop=False, reset=False):
    return ReadDMADescriptor(address=address, length=length, channel=0, generate_sop=True,
                             generate_eop=True, stop=stop, reset=reset)


def read_word(address, length, channel=0, sop=True, eop=True, stop=False, reset=False):
    return ((address & 0xFFFFFFFF) | (length << 32) | (channel << 64) | (sop << 72)
            | (eop << 73) | (stop << 74) | (reset << 75) | ((address >> 32) << 109))


def write_word(address, length, end_on_eop=True, stop=False, reset=False):
    return ((address & 0xFFFFFFFF) | (length << 32) | (end_on_eop << 64) | (stop << 66)
            | (reset << 67) | ((address >> 32) << 92))


class Signal:
    def __init__(self, width):
        self.width = width

    def __len__(self):
        return self.width


class CommandBus:
    """A command bus as the library builds it: data as wide as the descriptor word, valid."""

    def __init__(self, name, width):
        self._name = name
        self.data, self.valid = Signal(width), Signal(1)


RBUS, WBUS = CommandBus("rdma_cmd", 141), CommandBus("wdma_cmd", 124)


class FakeLibraryMonitor:
    """Counts cancel() calls; optionally names its bus like the library does."""

    def __init__(self, label=None):
        self.cancelled = 0
        if label is not None:
            self._bus_label = lambda: label

    def cancel(self):
        self.cancelled += 1


class FakeTask:
    def __init__(self, coroutine):
        self.coroutine = coroutine
        self.cancelled = 0

    def cancel(self):
        self.cancelled += 1


@pytest.fixture
def started(monkeypatch):
    """Replace cocotb.start_soon: record the coroutines it is given, close them afterwards."""
    import cocotb

    tasks = []

    def start_soon(coroutine):
        tasks.append(FakeTask(coroutine))
        return tasks[-1]

    monkeypatch.setattr(cocotb, "start_soon", start_soon)
    yield tasks
    for task in tasks:
        task.coroutine.close()


# --- construction -----------------------------------------------------------------------------


def test_attributes_in_order_and_defaults():
    mon = TavrinCommandMonitor(None)
    assert TavrinCommandMonitor.__mro__ == (TavrinCommandMonitor, object)
    assert list(vars(mon)) == [
        "read_address_regions", "write_address_regions", "read_descriptors",
        "write_descriptors", "_tasks", "log", "rdma_cmd_monitor", "wdma_cmd_monitor",
        "_owns_rdma_cmd_monitor", "_owns_wdma_cmd_monitor",
    ] == list(TavrinCommandMonitor.__annotations__)  # the stubs declare them
    assert mon.read_address_regions is None and mon.write_address_regions is None
    assert mon.read_descriptors == [] and mon.write_descriptors == [] and mon._tasks == []
    assert mon.log is logging.getLogger("cocotb.tavrin_command_monitor")
    assert mon.rdma_cmd_monitor is None and mon.wdma_cmd_monitor is None
    assert mon._owns_rdma_cmd_monitor is True and mon._owns_wdma_cmd_monitor is True


def test_monitor_holding_its_own_watcher_is_collected():
    mon = TavrinCommandMonitor(None, rdma_cmd_monitor=FakeLibraryMonitor())
    mon.watcher = mon._run_read_commands()  # a cycle through the coroutine, as a task makes
    alive = weakref.ref(mon)
    del mon
    gc.collect()
    assert alive() is None


def test_regions_are_copied_into_new_lists():
    regions = [DDR]
    mon = TavrinCommandMonitor(None, read_address_regions=regions,
                               write_address_regions=(r for r in [SRAM, DDR]))
    regions.append(SRAM)
    assert mon.read_address_regions == [DDR]
    assert mon.write_address_regions == [SRAM, DDR]
    assert TavrinCommandMonitor(None, read_address_regions=[]).read_address_regions == []


def test_given_logger_and_monitors_are_kept_and_not_owned():
    logger = logging.getLogger("test.monitor")
    rd, wr = FakeLibraryMonitor(), FakeLibraryMonitor()
    mon = TavrinCommandMonitor(None, rdma_cmd_monitor=rd, wdma_cmd_monitor=wr, logger=logger)
    assert mon.log is logger
    assert mon.rdma_cmd_monitor is rd and mon.wdma_cmd_monitor is wr
    assert mon._owns_rdma_cmd_monitor is False and mon._owns_wdma_cmd_monitor is False


def test_monitors_are_built_through_the_overridable_factory():
    calls = []

    class Recording(TavrinCommandMonitor):
        def _make_control_monitor(self, bus, clock, reset):
            calls.append((bus, clock, reset))
            return None if bus is None else ("built", bus)

    given = FakeLibraryMonitor()
    mon = Recording("clk", "rst", rdma_cmd_bus=RBUS, wdma_cmd_bus=WBUS, wdma_cmd_monitor=given)
    # The write side had its own monitor: the factory is still asked for the read side only.
    assert calls == [(RBUS, "clk", "rst")]
    assert mon.rdma_cmd_monitor == ("built", RBUS) and mon.wdma_cmd_monitor is given


@pytest.mark.parametrize("streams, owner, name", [("library", cocotbext.avalon, "AvalonSTMonitor"),
                                                ("native", tavrin, "TavrinSTMonitor")])
def test_streams_choose_whose_monitors_are_built(monkeypatch, streams, owner, name):
    built = []
    monkeypatch.setattr(owner, name, lambda bus, fmt, clock, **kwargs: built.append(
        (bus, fmt.bits_per_symbol, clock, kwargs)) or name)
    mon = TavrinCommandMonitor("clk", "rst", rdma_cmd_bus=RBUS, reset_active_level=False,
                               streams=streams)
    assert mon.streams == streams and mon.rdma_cmd_monitor == name
    assert built == [(RBUS, 141, "clk", {"reset": "rst", "reset_active_level": False,
                                         "packets": False})]
    with pytest.raises(ValueError) as refused:
        TavrinCommandMonitor("clk", rdma_cmd_bus=RBUS, streams=streams.upper())
    assert str(refused.value) == (
        "TavrinCommandMonitor streams must be 'library' (cocotbext-avalon's endpoints) or "
        f"'native' (corvane's TavrinST endpoints), got '{streams.upper()}'")
    assert len(built) == 1  # refused before any monitor is built


# --- start / stop -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "read, write, expected",
    [
        (True, True, ["_run_read_commands", "_run_write_commands"]),
        (True, False, ["_run_read_commands"]),
        (False, True, ["_run_write_commands"]),
        (False, False, []),
    ],
)
def test_start_watches_present_directions_once(started, read, write, expected):
    mon = TavrinCommandMonitor(None, rdma_cmd_monitor=FakeLibraryMonitor() if read else None,
                               wdma_cmd_monitor=FakeLibraryMonitor() if write else None)
    mon.start()
    mon.start()  # a second start while watching starts nothing more
    assert [t.coroutine.__name__ for t in started] == expected
    assert mon._tasks == started


def test_stop_cancels_tasks_and_only_owned_monitors(started):
    given = FakeLibraryMonitor()
    built = FakeLibraryMonitor()

    class Building(TavrinCommandMonitor):
        def _make_control_monitor(self, bus, clock, reset):
            return built if bus is not None else None

    mon = Building(None, rdma_cmd_monitor=given, wdma_cmd_bus=WBUS)
    mon.start()
    tasks = mon._tasks
    mon.stop()
    assert [t.cancelled for t in started] == [1, 1]
    assert mon._tasks == [] and mon._tasks is not tasks
    assert given.cancelled == 0 and built.cancelled == 1
    # After stop a new start gets new watchers.
    mon.start()
    assert len(started) == 4


# --- the descriptor check ---------------------------------------------------------------------

MESSAGE = "dut.rdma_cmd: RDMA descriptor outside allowed regions at 1200 ps: "


@pytest.mark.parametrize(
    "descriptor, regions",
    [
        (read_descriptor(0x2000, 64), None),
        (read_descriptor(0x1000, 0x100), [DDR]),
        (read_descriptor(0x8000, 0x10), [DDR, SRAM]),
        (read_descriptor(0x1100, 0), [DDR]),
        (read_descriptor(0x0, 0), []),
        (read_descriptor(0x2000, 64, reset=True), [DDR]),
        (read_descriptor(0x2000, 64, stop=True), []),
    ],
    ids=["no-regions", "whole-region", "second-region", "zero-length", "zero-length-empty",
         "reset", "stop"],
)
def test_check_passes(descriptor, regions):
    assert TavrinCommandMonitor(None)._check_descriptor(
        "RDMA", descriptor, regions, "dut.rdma_cmd", 1200) is None


@pytest.mark.parametrize(
    "descriptor, regions, label, sim_time, message",
    [
        (read_descriptor(0x10FF, 2), [DDR], "dut.rdma_cmd", 1200,
         MESSAGE + "address=0x10FF, length=2, allowed=ddr[0x1000..0x1100)"),
        (read_descriptor(0xABCDEF0123, 64), [DDR, SRAM], "dut.rdma_cmd", 1200,
         MESSAGE + "address=0xABCDEF0123, length=64, allowed=ddr[0x1000..0x1100), "
         "sram[0x8000..0x8010)"),
        (read_descriptor(0x1000, 1), [], "dut.rdma_cmd", 1200,
         MESSAGE + "address=0x1000, length=1, allowed="),
        (read_descriptor(0x0FFF, 1), [DDR], None, None,
         "RDMA: RDMA descriptor outside allowed regions at unknown: address=0xFFF, length=1, "
         "allowed=ddr[0x1000..0x1100)"),
        (read_descriptor(0x0FFF, 1), [DDR], "", 0,
         "RDMA: RDMA descriptor outside allowed regions at 0 ps: address=0xFFF, length=1, "
         "allowed=ddr[0x1000..0x1100)"),
        (read_descriptor(0x0FFF, 1), [DMAAddressRegion("\udc80\u00e9", 0, 1)], "b\udcff", 7,
         "b\udcff: RDMA descriptor outside allowed regions at 7 ps: address=0xFFF, length=1, "
         "allowed=\udc80\u00e9[0x0..0x1)"),
    ],
    ids=["straddles-end", "two-regions", "empty-list", "no-label-no-time", "empty-label",
         "any-text"],
)
def test_check_fails_with_message(descriptor, regions, label, sim_time, message):
    with pytest.raises(AssertionError) as info:
        TavrinCommandMonitor(None)._check_descriptor("RDMA", descriptor, regions, label,
                                                     sim_time)
    assert str(info.value) == message


def test_check_stops_at_first_containing_region():
    asked = []

    class Region:
        def __init__(self, name, answer):
            self.name, self.answer = name, answer

        def contains(self, address, length):
            asked.append(self.name)
            return self.answer

    TavrinCommandMonitor(None)._check_descriptor(
        "WDMA", read_descriptor(0x10, 4), [Region("a", False), Region("b", True),
                                           Region("c", True)])
    assert asked == ["a", "b"]


@pytest.mark.parametrize(
    "monitor, expected",
    [
        (None, "rdma_cmd"),
        (FakeLibraryMonitor(), "rdma_cmd"),
        (FakeLibraryMonitor("top.rdma_cmd"), "top.rdma_cmd"),
        (FakeLibraryMonitor(""), ""),
    ],
    ids=["none", "no-bus-label", "bus-label", "empty-bus-label"],
)
def test_monitor_label(monitor, expected):
    assert TavrinCommandMonitor(None)._monitor_label(monitor, "rdma_cmd") == expected


def test_monitor_label_lookup_errors_propagate():
    class Broken:
        @property
        def _bus_label(self):
            raise RuntimeError("broken bus")

    with pytest.raises(RuntimeError, match="broken bus"):
        TavrinCommandMonitor(None)._monitor_label(Broken(), "rdma_cmd")


@pytest.mark.parametrize(
    "regions, text",
    [
        ([], ""),
        ([DMAAddressRegion("r", 0, 0x10)], "r[0x0..0x10)"),
        ([DDR, SRAM], "ddr[0x1000..0x1100), sram[0x8000..0x8010)"),
    ],
)
def test_format_regions(regions, text):
    assert TavrinCommandMonitor(None)._format_regions(regions) == text


# --- the watchers, driven by hand -------------------------------------------------------------


class Suspend:
    """What a pending recv_beat() hands to the scheduler in these tests."""


class Beat:
    def __init__(self, data, sim_time):
        self.data, self.sim_time = data, sim_time


class ScriptedMonitor(FakeLibraryMonitor):
    """A library monitor whose recv_beat() suspends once, then returns the next scripted beat.

    Like the library's non-packet monitor it also files every beat as a frame in `queue`.
    """

    def __init__(self, beats, label=None):
        super().__init__(label)
        self.beats = list(beats)
        import queue

        self.queue = queue.Queue()

    def empty(self):
        return self.queue.empty()

    def recv_nowait(self):
        return self.queue.get_nowait()

    def recv_beat(self):
        monitor = self

        class Awaitable:
            def __await__(self):
                yield Suspend()
                monitor.queue.put_nowait(("frame",))
                return monitor.beats.pop(0)

        return Awaitable()


def drive(coroutine, steps):
    """Resume the watcher `steps` times (each resume delivers one beat)."""
    assert isinstance(coroutine.send(None), Suspend)
    for _ in range(steps):
        assert isinstance(coroutine.send(None), Suspend)


@pytest.mark.parametrize("owned", [False, True], ids=["test-supplied", "built"])
def test_read_watcher_records_checks_and_logs(caplog, owned):
    beats = [Beat(read_word(0x1000, 0x100, channel=5), 100),
             Beat(read_word(0x9000, 64, reset=True), 200),
             Beat(read_word(0x1_0000_0000, 0), 300)]
    lib = ScriptedMonitor(beats, label="dut.rdma_cmd")

    class Building(TavrinCommandMonitor):
        def _make_control_monitor(self, bus, clock, reset):
            return lib if bus is not None else None

    if owned:
        mon = Building(None, rdma_cmd_bus=RBUS, read_address_regions=[DDR])
    else:
        mon = TavrinCommandMonitor(None, rdma_cmd_monitor=lib, read_address_regions=[DDR])
    caplog.set_level(logging.DEBUG, logger="cocotb.tavrin_command_monitor")
    coroutine = mon._run_read_commands()
    drive(coroutine, 3)
    coroutine.close()
    assert mon.read_descriptors == [ReadDMADescriptor.decode(b.data) for b in beats]
    assert mon.read_descriptors[0].channel == 5
    assert [r.getMessage() for r in caplog.records] == [
        "RDMA command address=0x1000 length=256 channel=5",
        "RDMA command address=0x9000 length=64 channel=0",
        "RDMA command address=0x100000000 length=0 channel=0",
    ]
    # The unread duplicate frame of every beat is dropped from a monitor built here; a test's
    # own monitor keeps its frames for the test.
    assert lib.queue.qsize() == (0 if owned else 3)


@pytest.mark.parametrize(
    "label, expected_label",
    [("dut.wdma_cmd", "dut.wdma_cmd"), (None, "wdma_cmd"), ("", "WDMA")],
    ids=["bus-label", "no-bus-label", "empty-bus-label"],
)
def test_write_watcher_fails_on_outside_descriptor(caplog, label, expected_label):
    beats = [Beat(write_word(0x8000, 0x10), 10), Beat(write_word(0x10FF, 2), 4200)]
    mon = TavrinCommandMonitor(None, wdma_cmd_monitor=ScriptedMonitor(beats, label),
                               write_address_regions=[DDR, SRAM])
    caplog.set_level(logging.DEBUG, logger="cocotb.tavrin_command_monitor")
    coroutine = mon._run_write_commands()
    drive(coroutine, 1)
    with pytest.raises(AssertionError) as info:
        coroutine.send(None)
    assert str(info.value) == (
        f"{expected_label}: WDMA descriptor outside allowed regions at 4200 ps: "
        "address=0x10FF, length=2, allowed=ddr[0x1000..0x1100), sram[0x8000..0x8010)")
    # The failing descriptor is recorded but, checked before logging, not logged.
    assert mon.write_descriptors == [WriteDMADescriptor.decode(b.data) for b in beats]
    assert [r.getMessage() for r in caplog.records] == [
        "WDMA command address=0x8000 length=16"]


def test_watcher_uses_overridden_hooks():
    seen = []

    class Relaxed(TavrinCommandMonitor):
        def _check_descriptor(self, name, descriptor, regions, interface_label=None,
                              sim_time=None):
            seen.append((name, descriptor.address, regions, interface_label, sim_time))

    beats = [Beat(write_word(0x2000, 8), None)]
    mon = Relaxed(None, wdma_cmd_monitor=ScriptedMonitor(beats), write_address_regions=[])
    coroutine = mon._run_write_commands()
    drive(coroutine, 1)
    coroutine.close()
    assert seen == [("WDMA", 0x2000, [], "wdma_cmd", None)]

