// src/corvane/sim/bfms/tavrin_regions.cpp: allowed DMA address intervals.
#include "tavrin_regions.hpp"

#include "common/errors.hpp"

namespace corvane::tavrin {

void check_region(nb::handle self) {
    nb::object size = self.attr("size");
    if (size < nb::int_(0)) {
        raise(PyExc_ValueError, "DMA address region size must be non-negative");
    }
}

// Every field is read into a local before the next lookup: a getter that raises must not leave
// its error pending while the next one runs.

nb::object region_end(nb::handle self) {
    nb::object start = self.attr("start");
    nb::object size = self.attr("size");
    return start + size;
}

bool region_contains(nb::handle self, nb::handle address, nb::handle length) {
    if (!(length >= nb::int_(0))) {
        return false;
    }
    nb::object start = self.attr("start");
    if (!(start <= address)) {
        return false;
    }
    nb::object end = self.attr("end");
    return address + length <= end;
}

nb::str region_text(nb::handle self) {
    nb::object name = self.attr("name");
    nb::object start = self.attr("start");
    nb::object end = self.attr("end");
    // Negative bounds print as Python prints them ("0x-10"), not as a two's complement.
    return nb::str("{}[0x{:X}..0x{:X})").format(name, start, end);
}

}  // namespace corvane::tavrin
