// src/corvane/sim/bfms/tavrin_bridge_selftest.hpp: binding of the coroutine bridge's self-tests.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane::tavrin {

namespace nb = nanobind;

/// Binds the private `_bridge_selftest_*` coroutine factories used by the host tests.
void bind_bridge_selftest(nb::module_& m);

}  // namespace corvane::tavrin
