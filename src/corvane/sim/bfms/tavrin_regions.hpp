// src/corvane/sim/bfms/tavrin_regions.hpp: allowed DMA address intervals.
//
// The region methods work on the record's fields through Python attribute lookup and Python
// arithmetic, so unbounded (and negative) ints and subclasses behave as in any Python record.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane::tavrin {

namespace nb = nanobind;

/// `__post_init__`: rejects a negative size.
void check_region(nb::handle self);

/// `self.start + self.size`.
nb::object region_end(nb::handle self);

/// `length >= 0 and self.start <= address and address + length <= self.end`, short-circuit.
bool region_contains(nb::handle self, nb::handle address, nb::handle length);

/// name[0xSTART..0xEND) in upper-case hex, as `format(n, "X")` writes it.
nb::str region_text(nb::handle self);

}  // namespace corvane::tavrin
