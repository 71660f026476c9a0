// src/corvane/sim/bfms/tavrin_memory_inspect.cpp: hexdump, compare, words and repr of the memory.
//
// What a test needs to look at the memory the way a failure report wants it: a hexdump of a
// window, the first address where it differs from what was expected, little-endian words, and a
// summary of what is stored.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "common/py.hpp"
#include "tavrin_memory.hpp"

namespace corvane::tavrin {

namespace {

constexpr std::size_t kLineBytes = 16;
constexpr std::size_t kListedRegions = 3;  // regions a repr names before "..."

nb::object as_index(nb::handle value) {
    return py::steal_checked(PyNumber_Index(value.ptr()));
}

/// A length given as an index: 0 for zero or less.
std::size_t length_of(nb::handle length) {
    nb::object count = as_index(length);
    if (count <= nb::int_(0)) {
        return 0;
    }
    const Py_ssize_t value = PyLong_AsSsize_t(count.ptr());
    if (value == -1 && PyErr_Occurred()) {
        throw nb::python_error();
    }
    return static_cast<std::size_t>(value);
}

std::vector<std::uint8_t> load(const SparseByteMemory& memory, nb::handle start,
                               std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    memory.load(start, bytes);
    return bytes;
}

/// `expected` as bytes, as `bytes(expected)` makes them; a bare int (a length, for bytes())
/// is refused.
nb::bytes expected_bytes(nb::handle expected) {
    if (PyIndex_Check(expected.ptr()) && !PyObject_CheckBuffer(expected.ptr())) {
        raise(PyExc_TypeError,
              "expected must be bytes-like or an iterable of ints in range(0, "
              "256), not " +
                  py::str(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(expected.ptr())))
                              .attr("__name__")));
    }
    return nb::borrow<nb::bytes>(py::steal_checked(PyBytes_FromObject(expected.ptr())));
}

std::string plural(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

nb::str memory_hexdump(const SparseByteMemory& memory, nb::handle address, nb::handle length) {
    nb::object start = as_index(address);
    const std::size_t count = length_of(length);
    if (count == 0) {
        return nb::str("");
    }
    const std::vector<std::uint8_t> bytes = load(memory, start, count);
    // Every line's address is as wide as the last one's, at least 8 hex digits.
    nb::object last = start + nb::int_(count - 1);
    const std::size_t digits = std::max<std::size_t>(
        8, nb::len(nb::str("{:x}").format(py::attr("builtins", "abs")(last))));
    nb::str address_format(("{:0" + std::to_string(digits) + "x}").c_str());
    std::string text;
    for (std::size_t line = 0; line < count; line += kLineBytes) {
        if (line != 0) {
            text += '\n';
        }
        text += py::str(address_format.format(start + nb::int_(line)));
        text += "  ";
        const std::size_t take = std::min(kLineBytes, count - line);
        std::string ascii;
        for (std::size_t i = 0; i < kLineBytes; ++i) {
            if (i == kLineBytes / 2) {
                text += ' ';
            }
            if (i < take) {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%02x ", bytes[line + i]);
                text += hex;
                const std::uint8_t byte = bytes[line + i];
                ascii += (byte >= 0x20 && byte < 0x7F) ? static_cast<char>(byte) : '.';
            } else {
                text += "   ";
            }
        }
        text += " |" + ascii + "|";
    }
    return nb::str(text.data(), text.size());
}

nb::object memory_compare(const SparseByteMemory& memory, nb::handle address, nb::handle expected) {
    nb::object start = as_index(address);
    nb::bytes wanted = expected_bytes(expected);
    const auto* want = reinterpret_cast<const std::uint8_t*>(wanted.c_str());
    const std::vector<std::uint8_t> have = load(memory, start, wanted.size());
    const auto mismatch = std::mismatch(have.begin(), have.end(), want).first;
    if (mismatch == have.end()) {
        return nb::none();
    }
    return start + nb::int_(static_cast<std::size_t>(mismatch - have.begin()));
}

nb::int_ memory_read_word(const SparseByteMemory& memory, nb::handle address, int bytes) {
    const std::vector<std::uint8_t> data = load(memory, as_index(address), bytes);
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        value = (value << 8) | data[i];
    }
    return nb::int_(value);
}

void memory_write_word(SparseByteMemory& memory, nb::handle address, nb::handle value, int bytes) {
    nb::object start = as_index(address);
    nb::object number = as_index(value);
    const int bits = bytes * 8;
    nb::object limit = nb::int_(1) << nb::int_(bits);
    if (number < nb::int_(0) || number >= limit) {
        raise(PyExc_ValueError, "write_u" + std::to_string(bits) +
                                    " value must be in range(0, 2**" + std::to_string(bits) +
                                    "), got " + py::str(number));
    }
    const unsigned long long word = PyLong_AsUnsignedLongLong(number.ptr());
    std::uint8_t data[8];
    for (int i = 0; i < bytes; ++i) {
        data[i] = static_cast<std::uint8_t>(word >> (8 * i));
    }
    memory.store(start, std::span<const std::uint8_t>(data, static_cast<std::size_t>(bytes)));
}

nb::str memory_repr(nb::handle self) {
    const SparseByteMemory& memory = *nb::inst_ptr<SparseByteMemory>(self);
    const std::string name =
        py::str(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(self.ptr()))).attr("__name__"));
    if (memory.size() == 0) {
        return nb::str(("<" + name + ": empty>").c_str());
    }
    const std::vector<Extent> extents = memory.extents();
    std::string text = "<" + name + ": " + plural(memory.size(), "byte", "bytes") + " in " +
                       plural(extents.size(), "region", "regions");
    for (std::size_t i = 0; i < extents.size() && i < kListedRegions; ++i) {
        text += i == 0 ? " " : ", ";
        text +=
            py::str(nb::str("[0x{:X}..0x{:X})")
                        .format(extents[i].start, extents[i].start + nb::int_(extents[i].length)));
    }
    if (extents.size() > kListedRegions) {
        text += ", ...";
    }
    return nb::str((text + ">").c_str());
}

}  // namespace corvane::tavrin
