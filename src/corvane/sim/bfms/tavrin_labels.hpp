// src/corvane/sim/bfms/tavrin_labels.hpp: names of Avalon-ST buses for messages.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>

namespace corvane::tavrin {

namespace nb = nanobind;

/// `value.<name>`, or nullopt when the attribute is missing. Only AttributeError counts as
/// missing; any other error of the lookup (a failing property, say) propagates, as with
/// Python's getattr(value, name, None) and hasattr.
std::optional<nb::object> optional_attr(nb::handle value, const char* name);

/// "entity.bus", "entity", "bus" or "avalon_st" from a bus's `_entity._name` and `_name`.
nb::str avalon_st_label(nb::handle bus);

}  // namespace corvane::tavrin
