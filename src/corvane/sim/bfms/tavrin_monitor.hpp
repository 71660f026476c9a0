// src/corvane/sim/bfms/tavrin_monitor.hpp: the passive read/write DMA command monitor.
//
// The monitor keeps all of its state in the instance `__dict__`, so tests see ordinary attributes
// and Python subclasses can replace any of them; the C++ type is only a marker. Every call from
// one of its methods to another goes through attribute lookup on the instance.
#pragma once

#include <nanobind/nanobind.h>

#include "tavrin_streams.hpp"

namespace corvane::tavrin {

namespace nb = nanobind;

/// The C++ object bound as `TavrinCommandMonitor` (with a `__dict__`): only the keyword-only
/// settings no attribute documents.
struct CommandMonitor {
    bool reset_active_level = true;
    Streams streams = Streams::Library;  // whose monitors it builds
};

/// Constructor body: checks the command buses it will watch, sets the attributes in their
/// documented order; starts nothing.
void monitor_init(nb::handle self, nb::handle clock, nb::handle reset, nb::handle rdma_cmd_bus,
                  nb::handle wdma_cmd_bus, nb::handle rdma_cmd_monitor, nb::handle wdma_cmd_monitor,
                  nb::handle read_address_regions, nb::handle write_address_regions,
                  nb::handle logger, nb::handle reset_active_level, nb::handle streams);

/// A monitor (cocotbext-avalon's or ours, as `streams` says) taking one whole command word per
/// beat, or None when `bus` is None.
nb::object make_control_monitor(nb::handle self, nb::handle bus, nb::handle clock,
                                nb::handle reset);

/// One watcher task per present stream monitor, at most once until `stop`.
void monitor_start(nb::handle self);

/// Cancels the watchers and the stream monitors this object built itself.
void monitor_stop(nb::handle self);

/// The endless watcher coroutines of the read and write command streams.
nb::object run_read_commands(nb::handle self);
nb::object run_write_commands(nb::handle self);

/// Raises AssertionError when a non-control, non-empty descriptor lies outside every region.
void check_descriptor(nb::handle self, nb::handle name, nb::handle descriptor, nb::handle regions,
                      nb::handle interface_label, nb::handle sim_time);

/// `monitor._bus_label()` when the monitor has one, else `fallback`.
nb::object monitor_label(nb::handle monitor, nb::handle fallback);

/// The regions' text forms joined with ", ".
nb::str format_regions(nb::handle regions);

}  // namespace corvane::tavrin
