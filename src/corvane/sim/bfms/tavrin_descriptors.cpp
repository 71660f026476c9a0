// src/corvane/sim/bfms/tavrin_descriptors.cpp: decoding of read and write DMA descriptor words.
#include "tavrin_descriptors.hpp"

#include "common/py.hpp"

#include <array>
#include <cstddef>

namespace corvane::tavrin {

namespace {

/// The low 192 bits of an int's two's complement form. Every field lies below bit 141, so these
/// bits give the same fields as the whole int, however wide or negative it is.
class LowBits {
  public:
    explicit LowBits(nb::handle value) {
        nb::object index = py::steal_checked(PyNumber_Index(value.ptr()));
        std::array<unsigned char, 8 * kWords> bytes{};
        // Signed little-endian: sign-extended when narrower, low bytes kept when wider.
        if (PyLong_AsNativeBytes(index.ptr(), bytes.data(), static_cast<Py_ssize_t>(bytes.size()),
                                 Py_ASNATIVEBYTES_LITTLE_ENDIAN) < 0) {
            throw nb::python_error();
        }
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            words_[i / 8] |= std::uint64_t{bytes[i]} << (8 * (i % 8));
        }
    }

    /// (value >> shift) & ((1 << width) - 1), for width <= 32.
    std::uint64_t field(unsigned shift, unsigned width) const {
        const unsigned word = shift / 64, bit = shift % 64;
        std::uint64_t value = words_[word] >> bit;
        if (bit != 0 && word + 1 < kWords) {
            value |= words_[word + 1] << (64 - bit);
        }
        return value & ((std::uint64_t{1} << width) - 1);
    }

    bool flag(unsigned bit) const { return field(bit, 1) != 0; }

  private:
    static constexpr std::size_t kWords = 3;
    std::array<std::uint64_t, kWords> words_{};
};

}  // namespace

ReadDescriptorFields decode_read_word(nb::handle value) {
    const LowBits bits(value);
    ReadDescriptorFields fields{};
    fields.address = bits.field(0, 32);
    fields.length = static_cast<std::uint32_t>(bits.field(32, 32));
    fields.channel = static_cast<std::uint8_t>(bits.field(64, 8));
    fields.generate_sop = bits.flag(72);
    fields.generate_eop = bits.flag(73);
    fields.stop = bits.flag(74);
    fields.reset = bits.flag(75);
    fields.address |= bits.field(109, 32) << 32;
    return fields;
}

WriteDescriptorFields decode_write_word(nb::handle value) {
    const LowBits bits(value);
    WriteDescriptorFields fields{};
    fields.address = bits.field(0, 32);
    fields.length = static_cast<std::uint32_t>(bits.field(32, 32));
    fields.end_on_eop = bits.flag(64);
    fields.stop = bits.flag(66);  // bit 65 is not part of the layout
    fields.reset = bits.flag(67);
    fields.address |= bits.field(92, 32) << 32;
    return fields;
}

nb::object build_read_descriptor(nb::handle cls, nb::handle value) {
    const ReadDescriptorFields f = decode_read_word(value);
    // By name, so a subclass with its own field order or extra defaulted fields still works.
    return cls(nb::arg("address") = f.address, nb::arg("length") = f.length,
               nb::arg("channel") = f.channel, nb::arg("generate_sop") = f.generate_sop,
               nb::arg("generate_eop") = f.generate_eop, nb::arg("stop") = f.stop,
               nb::arg("reset") = f.reset);
}

nb::object build_write_descriptor(nb::handle cls, nb::handle value) {
    const WriteDescriptorFields f = decode_write_word(value);
    return cls(nb::arg("address") = f.address, nb::arg("length") = f.length,
               nb::arg("end_on_eop") = f.end_on_eop, nb::arg("stop") = f.stop,
               nb::arg("reset") = f.reset);
}

}  // namespace corvane::tavrin
