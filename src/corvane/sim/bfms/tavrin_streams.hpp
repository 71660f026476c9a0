// src/corvane/sim/bfms/tavrin_streams.hpp: helpers around the Avalon-ST stream endpoints.
#pragma once

#include <nanobind/nanobind.h>

#include <string_view>

namespace corvane::tavrin {

namespace nb = nanobind;

/// `cocotbext.avalon.<name>`, looked up now, so a test that patches the library is seen.
nb::object avalon(const char* name);

/// Whose endpoints the model and the command monitor build: cocotbext-avalon's or ours.
enum class Streams { Library, Native };

/// The `streams=` argument of `owner` ("TavrinBFM", ...); ValueError for anything but
/// "library" or "native".
Streams parse_streams(nb::handle value, std::string_view owner);

/// "library" or "native".
const char* streams_name(Streams streams);

/// The endpoint class of `kind` ("Source", "Sink" or "Monitor"): cocotbext.avalon.AvalonST<kind>
/// or corvane.sim.bfms.tavrin.TavrinST<kind>, looked up now, so a test that patches either is
/// seen. Both take the same arguments.
nb::object endpoint_class(Streams streams, std::string_view kind);

/// Drop the frame the library filed in `endpoint.queue` for a beat just returned by
/// `endpoint.recv_beat()`.
///
/// A sink or monitor files every beat twice: in its beat queue and, when the beat closes a frame
/// (every beat in non-packet mode, the end-of-packet beat in packet mode), as a frame in its frame
/// queue. A client that only calls recv_beat() never drains the frame queue, so a long simulation
/// would keep every beat ever seen. Call this after each recv_beat() to keep memory flat; it
/// takes the frame through the library's own recv_nowait(), which keeps its occupancy counters
/// and events right, and only once every beat of that frame has been taken.
void drop_duplicate_frame(nb::handle endpoint, nb::handle beat);

}  // namespace corvane::tavrin
