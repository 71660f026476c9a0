// src/corvane/sim/bfms/tavrin_monitor.cpp: the passive read/write DMA command monitor.
#include "tavrin_monitor.hpp"

#include "common/coro.hpp"
#include "common/errors.hpp"
#include "common/log.hpp"
#include "common/py.hpp"
#include "tavrin_labels.hpp"
#include "tavrin_streams.hpp"
#include "tavrin_wiring.hpp"

namespace corvane::tavrin {

namespace {

constexpr const char* kModule = "corvane.sim.bfms.tavrin";
constexpr const char* kLoggerName = "cocotb.tavrin_command_monitor";

nb::object copy_regions(nb::handle regions) {
    // A copy, so the test may reuse or mutate its own list after construction.
    return regions.is_none() ? nb::none() : nb::object(nb::list(regions));
}

nb::object given_or_built(nb::handle self, nb::handle given, nb::handle bus, nb::handle clock,
                          nb::handle reset) {
    if (!given.is_none()) {
        return nb::borrow(given);
    }
    return self.attr("_make_control_monitor")(bus, clock, reset);
}

void cancel_owned(nb::handle self, const char* owns_attr, const char* monitor_attr) {
    if (!py::truthy(self.attr(owns_attr))) {
        return;
    }
    nb::object monitor = self.attr(monitor_attr);
    if (!monitor.is_none()) {
        monitor.attr("cancel")();
    }
}

void start_watcher(nb::handle self, const char* monitor_attr, const char* run_attr) {
    if (self.attr(monitor_attr).is_none()) {
        return;
    }
    nb::object task = py::attr("cocotb", "start_soon")(self.attr(run_attr)());
    self.attr("_tasks").attr("append")(task);
}

/// What differs between the read and the write watcher.
struct Direction {
    const char* monitor_attr;      // stream monitor on the instance
    const char* owns_attr;         // true when this object built that monitor
    const char* descriptor_class;  // record class in the module, decoded through `decode`
    const char* list_attr;         // where every decoded descriptor is kept
    const char* regions_attr;      // allowed regions, or None
    const char* name;              // "RDMA" / "WDMA" in messages
    const char* fallback_label;    // label when the stream monitor cannot name its bus
    bool read;                     // read lines also carry the channel
};

constexpr Direction kRead{"rdma_cmd_monitor",
                          "_owns_rdma_cmd_monitor",
                          "ReadDMADescriptor",
                          "read_descriptors",
                          "read_address_regions",
                          "RDMA",
                          "rdma_cmd",
                          true};
constexpr Direction kWrite{"wdma_cmd_monitor",
                           "_owns_wdma_cmd_monitor",
                           "WriteDMADescriptor",
                           "write_descriptors",
                           "write_address_regions",
                           "WDMA",
                           "wdma_cmd",
                           false};

void log_descriptor(nb::handle self, const Direction& direction, nb::handle descriptor) {
    nb::object logger = self.attr("log");
    if (!log::enabled(logger, log::DEBUG)) {
        return;
    }
    nb::object address = descriptor.attr("address");
    nb::object length = descriptor.attr("length");
    if (direction.read) {
        nb::object channel = descriptor.attr("channel");
        logger.attr("debug")("RDMA command address=0x%X length=%d channel=%d", address, length,
                             channel);
    } else {
        logger.attr("debug")("WDMA command address=0x%X length=%d", address, length);
    }
}

/// Everything done for one command beat once it has arrived; synchronous, so the watcher's
/// only suspension point is the wait for the next beat.
void observe_beat(nb::handle self, const Direction& direction, nb::handle monitor,
                  nb::handle beat) {
    // Attributes are read into locals before they are passed on, one lookup at a time.
    nb::object word = beat.attr("data");
    nb::object descriptor = py::attr(kModule, direction.descriptor_class).attr("decode")(word);
    self.attr(direction.list_attr).attr("append")(descriptor);
    // Checked before the log line: a descriptor that fails is recorded but not logged.
    nb::object label = self.attr("_monitor_label")(monitor, direction.fallback_label);
    nb::object regions = self.attr(direction.regions_attr);
    nb::object sim_time = beat.attr("sim_time");
    self.attr("_check_descriptor")(direction.name, descriptor, regions, label, sim_time);
    log_descriptor(self, direction, descriptor);
}

coro::Coroutine watch_commands(nb::object self, const Direction* direction) {
    for (;;) {
        nb::object monitor = self.attr(direction->monitor_attr);
        nb::object beat = co_await monitor.attr("recv_beat")();
        // The library also files the beat as a frame (ours does not); in a monitor built here
        // nobody reads it, so dropping it keeps a long watch flat. A monitor the test passed in
        // stays the test's, frames included: the test may be reading them.
        if (nb::inst_ptr<CommandMonitor>(self)->streams == Streams::Library &&
            py::truthy(self.attr(direction->owns_attr))) {
            drop_duplicate_frame(monitor, beat);
        }
        observe_beat(self, *direction, monitor, beat);
    }
    co_return nb::none();
}

}  // namespace

nb::object run_read_commands(nb::handle self) {
    return coro::to_python(watch_commands(nb::borrow(self), &kRead),
                           "TavrinCommandMonitor._run_read_commands");
}

nb::object run_write_commands(nb::handle self) {
    return coro::to_python(watch_commands(nb::borrow(self), &kWrite),
                           "TavrinCommandMonitor._run_write_commands");
}

void monitor_init(nb::handle self, nb::handle clock, nb::handle reset, nb::handle rdma_cmd_bus,
                  nb::handle wdma_cmd_bus, nb::handle rdma_cmd_monitor, nb::handle wdma_cmd_monitor,
                  nb::handle read_address_regions, nb::handle write_address_regions,
                  nb::handle logger, nb::handle reset_active_level, nb::handle streams) {
    CommandMonitor& state = *nb::inst_ptr<CommandMonitor>(self);
    state.reset_active_level = py::truthy(reset_active_level);
    state.streams = parse_streams(streams, "TavrinCommandMonitor");
    // The buses this object will watch itself are checked before any monitor exists; a monitor
    // the test passes in is the test's.
    if (rdma_cmd_monitor.is_none() && !rdma_cmd_bus.is_none()) {
        check_stream(rdma_cmd_bus, StreamKind::ReadCommand);
    }
    if (wdma_cmd_monitor.is_none() && !wdma_cmd_bus.is_none()) {
        check_stream(wdma_cmd_bus, StreamKind::WriteCommand);
    }
    self.attr("read_address_regions") = copy_regions(read_address_regions);
    self.attr("write_address_regions") = copy_regions(write_address_regions);
    self.attr("read_descriptors") = nb::list();
    self.attr("write_descriptors") = nb::list();
    self.attr("_tasks") = nb::list();
    self.attr("log") = py::truthy(logger) ? nb::borrow(logger) : log::get_logger(kLoggerName);
    self.attr("rdma_cmd_monitor") =
        given_or_built(self, rdma_cmd_monitor, rdma_cmd_bus, clock, reset);
    self.attr("wdma_cmd_monitor") =
        given_or_built(self, wdma_cmd_monitor, wdma_cmd_bus, clock, reset);
    // Ownership follows the argument, not the result: a monitor the test handed in stays the
    // test's to cancel, whatever its truth value.
    self.attr("_owns_rdma_cmd_monitor") = nb::bool_(rdma_cmd_monitor.is_none());
    self.attr("_owns_wdma_cmd_monitor") = nb::bool_(wdma_cmd_monitor.is_none());
}

nb::object make_control_monitor(nb::handle self, nb::handle bus, nb::handle clock,
                                nb::handle reset) {
    if (bus.is_none()) {
        return nb::none();
    }
    if (!nb::isinstance<CommandMonitor>(self)) {
        raise(PyExc_TypeError, "_make_control_monitor needs a TavrinCommandMonitor");
    }
    const CommandMonitor& state = *nb::inst_ptr<CommandMonitor>(self);
    // One symbol as wide as the bus: the beat's single symbol is the whole command word.
    nb::object width = py::attr("builtins", "len")(bus.attr("data"));
    nb::object format =
        avalon("AvalonFormat")(nb::arg("bits_per_symbol") = width, nb::arg("symbols_per_beat") = 1);
    // The library names its format parameter `fmt`, so it goes by position.
    return endpoint_class(state.streams, "Monitor")(
        bus, format, clock, nb::arg("reset") = reset,
        nb::arg("reset_active_level") = state.reset_active_level, nb::arg("packets") = false);
}

void monitor_start(nb::handle self) {
    if (py::truthy(self.attr("_tasks"))) {
        return;
    }
    start_watcher(self, "rdma_cmd_monitor", "_run_read_commands");
    start_watcher(self, "wdma_cmd_monitor", "_run_write_commands");
}

void monitor_stop(nb::handle self) {
    for (nb::handle task : self.attr("_tasks")) {
        task.attr("cancel")();
    }
    self.attr("_tasks") = nb::list();
    cancel_owned(self, "_owns_rdma_cmd_monitor", "rdma_cmd_monitor");
    cancel_owned(self, "_owns_wdma_cmd_monitor", "wdma_cmd_monitor");
}

void check_descriptor(nb::handle self, nb::handle name, nb::handle descriptor, nb::handle regions,
                      nb::handle interface_label, nb::handle sim_time) {
    if (regions.is_none() || py::truthy(descriptor.attr("reset")) ||
        py::truthy(descriptor.attr("stop"))) {
        return;
    }
    nb::object length = descriptor.attr("length");
    if (length.equal(nb::int_(0))) {
        return;
    }
    nb::object address = descriptor.attr("address");
    for (nb::handle region : regions) {
        if (py::truthy(region.attr("contains")(address, length))) {
            return;
        }
    }

    // Built from Python texts, so labels and region names of any content (lone surrogates too)
    // reach the message unchanged.
    nb::str when = sim_time.is_none() ? nb::str("unknown") : nb::str("{} ps").format(sim_time);
    nb::str message =
        nb::str(
            "{}: {} descriptor outside allowed regions at {}: address=0x{:X}, length={}, "
            "allowed={}")
            .format(py::truthy(interface_label) ? interface_label : name, name, when, address,
                    length, self.attr("_format_regions")(regions));
    raise_instance(nb::handle(PyExc_AssertionError)(message));
}

nb::object monitor_label(nb::handle monitor, nb::handle fallback) {
    if (monitor.is_none()) {
        return nb::borrow(fallback);
    }
    if (auto bus_label = optional_attr(monitor, "_bus_label")) {
        return (*bus_label)();
    }
    return nb::borrow(fallback);
}

nb::str format_regions(nb::handle regions) {
    return nb::borrow<nb::str>(nb::str(", ").attr("join")(py::attr("builtins", "map")(
        nb::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type)), regions)));
}

}  // namespace corvane::tavrin
