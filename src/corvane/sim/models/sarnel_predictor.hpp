// src/corvane/sim/models/sarnel_predictor.hpp: the base of Intel VIP reference models.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane::sarnel::predictor {

namespace nb = nanobind;

/// Dotted name of the predictor module: its collaborators are looked up there at each call.
inline constexpr const char* kModule = "corvane.sim.models.sarnel";

/// The C++ side holds nothing: the stream state and configuration live in the instance
/// `__dict__`, where derived Python models read and replace them.
struct Predictor {};

/// Bind the module-level collaborators, like the imports of a Python module.
void import_collaborators(nb::module_& m);

/// The `PacketExpectation` dataclass of module `m`.
nb::object make_packet_expectation(nb::module_& m);

/// The `IpMode` IntEnum, nested in the class `owner`.
nb::object make_ip_mode(nb::module_& m, nb::handle owner);

void init(nb::pointer_and_handle<Predictor> self, nb::handle model, nb::handle input_codec,
          nb::handle output_codec, nb::handle support_passthrough, nb::handle default_ip_mode);
void set_mode(nb::handle self, nb::handle mode);
nb::object process_packet(nb::handle self, nb::handle packet);
nb::object process_frame(nb::handle self, nb::handle frame, nb::handle size);

nb::object expected_output_size(nb::handle self, nb::handle input_size);
bool is_supported_frame_size(nb::handle self, nb::handle size);
nb::object unsupported_frame_expectation(nb::handle self, nb::handle frame, nb::handle size);
nb::object get_tolerance(nb::handle self);
nb::object process_user_packet(nb::handle self, nb::handle packet);

nb::object process_control_packet(nb::handle self, nb::handle packet);
nb::object input_video_matches_control(nb::handle self, nb::handle packet);
nb::object process_video_packet(nb::handle self, nb::handle packet);

/// Copying and pickling: the instance `__dict__` is the whole state, as for a plain class.
nb::object getstate(nb::handle self);
void setstate(nb::pointer_and_handle<Predictor> self, nb::handle state);

}  // namespace corvane::sarnel::predictor
