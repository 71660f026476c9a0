// src/corvane/sim/bfms/tavrin_wiring.cpp: checks of a design's DMA streams before any endpoint.
#include "tavrin_wiring.hpp"

#include <string>

#include "common/errors.hpp"
#include "common/py.hpp"
#include "tavrin_labels.hpp"

namespace corvane::tavrin {

namespace {

constexpr std::size_t kReadCommandBits = 74;   // up to generate_eop, bit 73
constexpr std::size_t kWriteCommandBits = 64;  // up to the top of the length, bit 63

/// The signal's name as the library looks it up: "<bus name>_<signal>".
std::string signal_name(nb::handle bus, const char* signal) {
    nb::object name = optional_attr(bus, "_name").value_or(nb::none());
    return py::truthy(name) ? py::str(name) + "_" + signal : std::string(signal);
}

/// The signal, or None when the bus lacks it (a missing optional signal is no attribute at all;
/// a missing required one is an attribute holding None).
nb::object signal_of(nb::handle bus, const char* signal) {
    return optional_attr(bus, signal).value_or(nb::none());
}

const char* carried(StreamKind kind) {
    switch (kind) {
        case StreamKind::ReadCommand:
            return "read descriptors need at least {} bits (length in bits 63..32, generate_sop "
                   "and generate_eop in bits 72 and 73)";
        case StreamKind::WriteCommand:
            return "write descriptors need at least {} bits (length in bits 63..32)";
        case StreamKind::ReadResponse:
            return "the model's read responses need at least {} bits (the widest is 0x{:x})";
        case StreamKind::WriteResponse:
            return "the model's write responses need at least {} bits (the widest is 0x{:x}: "
                   "the done flag above a 32-bit byte count)";
        case StreamKind::Data:
            break;
    }
    return "";
}

}  // namespace

std::size_t command_min_width(StreamKind kind) {
    return kind == StreamKind::ReadCommand ? kReadCommandBits : kWriteCommandBits;
}

void check_stream(nb::handle bus, StreamKind kind, nb::handle widest) {
    const std::string label = py::str(avalon_st_label(bus));
    nb::object data = signal_of(bus, "data");
    if (data.is_none()) {
        raise(PyExc_ValueError, label + ": missing signal " + signal_name(bus, "data") +
                                    " (stream signals are found as <prefix>_<signal>, in any "
                                    "case); check the port's name");
    }
    if (signal_of(bus, "valid").is_none()) {
        raise(PyExc_ValueError,
              label + ": missing signal " + signal_name(bus, "valid") +
                  ": without valid every clock cycle would count as a transfer; add the port "
                  "(every stream of the Intel DMA components carries valid)");
    }
    if (kind == StreamKind::Data) {
        return;
    }
    const bool command = kind == StreamKind::ReadCommand || kind == StreamKind::WriteCommand;
    const std::size_t min_width =
        command ? command_min_width(kind) : nb::cast<std::size_t>(widest.attr("bit_length")());
    const std::size_t width = nb::len(data);
    if (width < min_width) {
        nb::str text(carried(kind));
        const std::string need =
            py::str(command ? text.format(min_width) : text.format(min_width, widest));
        raise(PyExc_ValueError, label + ": data is " + std::to_string(width) + " bits wide, but " +
                                    need + "; widen " + signal_name(bus, "data") + " to " +
                                    std::to_string(min_width) + " bits or more");
    }
}

}  // namespace corvane::tavrin
