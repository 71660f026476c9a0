// src/corvane/sim/bfms/tavrin_descriptors.hpp: decoding of read and write DMA descriptor words.
//
// A command word is a Python int of any width and sign; fields are taken from its infinite
// two's complement form exactly as Python's `>>` and `&` would take them.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>

namespace corvane::tavrin {

namespace nb = nanobind;

struct ReadDescriptorFields {
    std::uint64_t address;
    std::uint32_t length;
    std::uint8_t channel;
    bool generate_sop;
    bool generate_eop;
    bool stop;
    bool reset;
};

struct WriteDescriptorFields {
    std::uint64_t address;
    std::uint32_t length;
    bool end_on_eop;
    bool stop;
    bool reset;
};

/// The fields of a read command word (anything `operator.index` accepts).
ReadDescriptorFields decode_read_word(nb::handle value);

/// The fields of a write command word (anything `operator.index` accepts).
WriteDescriptorFields decode_write_word(nb::handle value);

/// `cls(address=..., length=..., ...)` from a read command word, fields in layout order.
nb::object build_read_descriptor(nb::handle cls, nb::handle value);

/// `cls(address=..., length=..., ...)` from a write command word, fields in layout order.
nb::object build_write_descriptor(nb::handle cls, nb::handle value);

}  // namespace corvane::tavrin
