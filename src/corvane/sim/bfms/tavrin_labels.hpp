// src/corvane/sim/bfms/tavrin_labels.hpp: names of Avalon-ST buses for messages.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane::tavrin {

namespace nb = nanobind;

/// "entity.bus", "entity", "bus" or "avalon_st" from a bus's `_entity._name` and `_name`.
nb::str avalon_st_label(nb::handle bus);

}  // namespace corvane::tavrin
