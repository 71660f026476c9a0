// src/corvane/sim/bfms/tavrin_bfm.hpp: the DMA bus-functional model (construction and engines).
//
// The model keeps its documented state in the instance `__dict__`, so tests see ordinary
// attributes in the documented order and Python subclasses can replace any of them; every call
// from one of its methods to another, every class constant and every module collaborator is
// looked up at the moment of use. The C++ object holds only what no attribute documents: the
// keyword-only settings and the record of what each side still owes the design.
#pragma once

#include <nanobind/nanobind.h>

#include "common/coro.hpp"
#include "tavrin_streams.hpp"
#include "tavrin_tracking.hpp"

namespace corvane::tavrin {

namespace nb = nanobind;

/// The C++ object bound as `TavrinBFM` (with a `__dict__`).
struct Bfm {
    Side read{"read", "rdma_cmd_sink", "rdma_resp_source", "din_source", "rdma_cmd", "rdma_resp",
              "din"};
    Side write{"write",     "wdma_cmd_sink", "wdma_resp_source", "dout_sink", "wdma_cmd",
               "wdma_resp", "dout"};
    bool reset_active_level = true;
    Streams streams = Streams::Library;       // whose endpoints it builds
    nb::object watchdog_cycles = nb::none();  // None or a positive number of clock cycles
    bool started = false;                     // start() ran at least once
    bool din_has_empty = false;               // the design's din stream has an empty signal
    nb::object din_valid, din_ready;          // din's handshake signals (the watchdog samples them)
};

/// The C++ object of a TavrinBFM instance; TypeError for anything else.
Bfm& bfm_state(nb::handle self);

/// The constructor arguments, as passed.
struct BfmArgs {
    nb::handle dut, clock, reset, memory;
    nb::handle read_response_delay_cycles, write_response_delay_cycles;
    nb::handle rdma_cmd_bus, rdma_resp_bus, wdma_cmd_bus, wdma_resp_bus, din_bus, dout_bus;
    nb::handle mode;
    nb::handle reset_active_level, watchdog_cycles, streams;
};

/// Constructor body: validates, checks the streams' wiring, sets the attributes in their
/// documented order, builds the endpoints of the modelled sides and logs the creation line;
/// starts nothing.
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

/// The endless loops of the two engines (what `_run_reads`/`_run_writes` run, directly or under
/// the watchdog).
coro::Coroutine read_loop(nb::object self);
coro::Coroutine write_loop(nb::object self);
/// The engine under the watchdog: runs the loop as a task of its own and raises TimeoutError
/// when its side owes the design something and nothing moves for `watchdog_cycles` cycles.
coro::Coroutine watched_engine(nb::object self, bool read);

/// What each side still owes the design, one line per item; "" when nothing.
nb::str outstanding(nb::handle self);
/// Coroutine: returns once nothing is outstanding (see the binding's documentation).
nb::object wait_idle(nb::handle self, nb::handle timeout_cycles);

}  // namespace corvane::tavrin
