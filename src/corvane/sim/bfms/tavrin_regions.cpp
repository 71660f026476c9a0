// src/corvane/sim/bfms/tavrin_regions.cpp: allowed DMA address intervals.
#include "tavrin_regions.hpp"

#include "common/errors.hpp"

namespace corvane::tavrin {

void check_region(nb::handle self) {
    if (self.attr("size") < nb::int_(0)) {
        raise(PyExc_ValueError, "DMA address region size must be non-negative");
    }
}

nb::object region_end(nb::handle self) {
    return self.attr("start") + self.attr("size");
}

bool region_contains(nb::handle self, nb::handle address, nb::handle length) {
    return length >= nb::int_(0) && self.attr("start") <= address &&
           address + length <= self.attr("end");
}

nb::str region_text(nb::handle self) {
    // Negative bounds print as Python prints them ("0x-10"), not as a two's complement.
    return nb::str("{}[0x{:X}..0x{:X})")
        .format(self.attr("name"), self.attr("start"), self.attr("end"));
}

}  // namespace corvane::tavrin
