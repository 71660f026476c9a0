// src/corvane/sim/bfms/tavrin_bfm.hpp: the DMA bus-functional model (construction and engines).
//
// The model keeps all of its state in the instance `__dict__`, so tests see ordinary attributes
// in the documented order and Python subclasses can replace any of them; the C++ type is only a
// marker. Every call from one of its methods to another, every class constant and every module
// collaborator is looked up at the moment of use.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane::tavrin {

namespace nb = nanobind;

/// Marker type bound as `TavrinBFM` (with a `__dict__`).
struct Bfm {};

/// The constructor arguments, as passed.
struct BfmArgs {
    nb::handle dut, clock, reset, memory;
    nb::handle read_response_delay_cycles, write_response_delay_cycles;
    nb::handle rdma_cmd_bus, rdma_resp_bus, wdma_cmd_bus, wdma_resp_bus, din_bus, dout_bus;
    nb::handle mode;
};

/// Constructor body: validates, sets the attributes in their documented order, builds the
/// endpoints of the modelled sides and logs the creation line; starts nothing.
void bfm_init(nb::handle self, const BfmArgs& args);

/// (enable_read, enable_write) for a mode text, after lower-casing and mapping "-" and " " to "_".
nb::tuple decode_mode(nb::handle mode);

/// 8-bit symbols, width/8 per beat, first symbol in the high-order bits.
nb::object make_byte_stream_format(nb::handle self, nb::handle bus);
/// A sink taking one whole command word per beat on `bus` (looked up by `prefix` when None).
nb::object make_control_sink(nb::handle self, nb::handle prefix, nb::handle bus);
/// A source sending one whole response word per beat on `bus` (looked up when None).
nb::object make_control_source(nb::handle self, nb::handle prefix, nb::handle bus);

/// `self.log.log(DEBUG, message, *args)`.
void log_transaction(nb::handle self, nb::handle message, nb::args args);

/// One engine task per modelled side, unless already started.
void bfm_start(nb::handle self);
/// Cancels the engine tasks, then the endpoints that exist.
void bfm_stop(nb::handle self);

/// The engine coroutines (Python coroutine objects).
nb::object run_reads(nb::handle self);
nb::object issue_read_response(nb::handle self, nb::handle descriptor, nb::handle response);
nb::object run_writes(nb::handle self);
nb::object receive_write_payload(nb::handle self, nb::handle length);

}  // namespace corvane::tavrin
