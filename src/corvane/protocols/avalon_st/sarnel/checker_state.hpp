// src/corvane/protocols/avalon_st/sarnel/checker_state.hpp: the VIP stream protocol checker.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane::sarnel::checker {

namespace nb = nanobind;

/// Dotted name of the checker module: its collaborators are looked up there at each call.
inline constexpr const char* kModule = "corvane.protocols.avalon_st.sarnel.checker";

/// The C++ side of a checker holds nothing: all state lives in the instance `__dict__`, so a
/// Python subclass sees and may replace every attribute.
struct Checker {};

/// Bind the module-level collaborators the checker uses, like the imports of a Python module.
void import_collaborators(nb::module_& m);

/// `VIPProtocolError`, a ValueError subclass created in module `m`.
nb::object make_protocol_error(nb::module_& m);

void init(nb::pointer_and_handle<Checker> self, nb::handle fmt);
nb::object control_size(nb::handle self);
void reset(nb::handle self);
nb::object expected_video_symbols(nb::handle self, nb::handle size);
nb::object observe(nb::handle self, nb::handle packet);

/// Copying and pickling: the instance `__dict__` is the whole state, as for a plain class.
nb::object getstate(nb::handle self);
void setstate(nb::pointer_and_handle<Checker> self, nb::handle state);

}  // namespace corvane::sarnel::checker
