// src/corvane/sim/bfms/tavrin_st_lines.cpp: signal reads and writes of the native Avalon-ST
// endpoints.
//
// Values travel as the simulator's bit text ("0101", "X"), which is what cocotb's handles
// exchange with the GPI underneath; writes go through cocotb's own write scheduler, so they land
// in the same simulation phase as the library's `handle.value = ...` writes.
#include <array>
#include <cstring>
#include <string>

#include "common/errors.hpp"
#include "common/py.hpp"
#include "tavrin_st.hpp"

namespace corvane::tavrin::st {

namespace {

/// The eight characters of each byte value, most significant bit first.
const std::array<std::array<char, 8>, 256>& byte_bits() {
    static const auto table = [] {
        std::array<std::array<char, 8>, 256> bits{};
        for (int value = 0; value < 256; ++value) {
            for (int bit = 0; bit < 8; ++bit) {
                bits[value][bit] = (value >> (7 - bit)) & 1 ? '1' : '0';
            }
        }
        return bits;
    }();
    return table;
}

/// 0 or 1 for a resolvable logic character (as cocotb's Logic reads it), -1 otherwise.
int bit_value(char c) {
    switch (c) {
        case '0':
        case 'L':
        case 'l':
            return 0;
        case '1':
        case 'H':
        case 'h':
            return 1;
        default:
            return -1;
    }
}

std::string_view text_of(nb::handle text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) {
        throw nb::python_error();
    }
    return {data, static_cast<size_t>(size)};
}

}  // namespace

std::uint64_t Gpi::now() const {
    nb::object time = py::steal_checked(PyObject_CallNoArgs(sim_time.ptr()));
    auto high = nb::cast<std::uint64_t>(nb::handle(PyTuple_GET_ITEM(time.ptr(), 0)));
    auto low = nb::cast<std::uint64_t>(nb::handle(PyTuple_GET_ITEM(time.ptr(), 1)));
    return high << 32 | low;
}

Line::Line(nb::handle signal, const std::string& label, const char* name) {
    if (py::isinstance(signal, "cocotb.handle", "LogicObject")) {
        by_int_ = false;
    } else if (py::isinstance(signal, "cocotb.handle", "_LogicArrayObjectBase")) {
        by_int_ = nb::len(signal) <= 32;
    } else {
        raise(PyExc_TypeError,
              label + ": Avalon-ST " + name + " must be a logic signal or logic vector, not " +
                  py::str(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(signal.ptr())))
                              .attr("__name__")));
    }
    handle_ = nb::borrow(signal);
    width_ = static_cast<int>(nb::len(signal));
    nb::object sim = signal.attr("_handle");
    get_ = sim.attr("get_signal_val_binstr");
    set_int_ = sim.attr("set_signal_val_int");
    set_bits_ = sim.attr("set_signal_val_binstr");
}

nb::object Line::read(const Gpi& gpi) const {
    nb::object text = py::steal_checked(PyObject_CallNoArgs(get_.ptr()));
    if (!gpi.resolve_x.is_none()) {
        text = gpi.resolve_x(text);
    }
    return text;
}

bool Line::flag(const Gpi& gpi, bool fallback) const {
    nb::object text = read(gpi);
    bool any = false;
    for (char c : text_of(text)) {
        int bit = bit_value(c);
        if (bit < 0) {
            return fallback;
        }
        any = any || bit == 1;
    }
    return any;
}

bool Line::read_bytes(const Gpi& gpi, std::vector<std::uint8_t>& word) const {
    nb::object text = read(gpi);
    std::string_view bits = text_of(text);
    size_t size = (bits.size() + 7) / 8;
    word.assign(size, 0);
    size_t position = size * 8 - bits.size();  // leading pad bits of the first byte
    for (char c : bits) {
        int bit = bit_value(c);
        if (bit < 0) {
            return false;
        }
        word[position / 8] |= static_cast<std::uint8_t>(bit << (7 - position % 8));
        ++position;
    }
    return true;
}

bool Line::read_int(const Gpi& gpi, nb::object& value) const {
    std::vector<std::uint8_t> word;
    if (!read_bytes(gpi, word)) {
        return false;
    }
    value = py::steal_checked(PyLong_FromUnsignedNativeBytes(
        word.data(), word.size(), Py_ASNATIVEBYTES_BIG_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER));
    return true;
}

void Line::drive(const Gpi& gpi, std::string_view bits) {
    if (known_ && bits == last_) {
        return;
    }
    last_.assign(bits);
    known_ = true;
    nb::object value;
    nb::handle write = set_bits_;
    if (by_int_ && bits.find_first_not_of("01") == std::string_view::npos) {
        std::uint64_t number = 0;
        for (char c : bits) {
            number = number << 1 | static_cast<std::uint64_t>(c == '1');
        }
        value = py::steal_checked(PyLong_FromUnsignedLongLong(number));
        write = set_int_;
    } else {
        value = nb::str(bits.data(), bits.size());
    }
    if (gpi.direct) {
        // What cocotb's scheduler does itself when it trusts the simulator's inertial writes.
        PyObject* args[] = {gpi.deposit_code.ptr(), value.ptr()};
        py::steal_checked(PyObject_Vectorcall(write.ptr(), args, 2, nullptr));
        return;
    }
    PyObject* args[] = {handle_.ptr(), write.ptr(), gpi.deposit.ptr(), value.ptr()};
    py::steal_checked(PyObject_Vectorcall(gpi.schedule_write.ptr(), args, 4, nullptr));
}

void Line::drive_immediate(nb::handle value, std::string bits) {
    handle_.attr("value") = py::attr("cocotb.handle", "Immediate")(value);
    last_ = std::move(bits);
    known_ = true;
}

std::string Line::bits_of(nb::handle value) const {
    nb::object number = py::steal_checked(PyNumber_Long(value.ptr()));
    nb::object limit = nb::int_(1) << nb::int_(width_);
    if (number < nb::int_(0) || !(number < limit)) {
        // cocotb's own text for an integer that does not fit the signal.
        raise(PyExc_ValueError, "Int value (" + py::str(nb::repr(value)) +
                                    ") out of range for assignment of " + std::to_string(width_) +
                                    "-bit signal (" + py::str(nb::repr(handle_.attr("_name"))) +
                                    ")");
    }
    std::vector<std::uint8_t> word((static_cast<size_t>(width_) + 7) / 8);
    if (PyLong_AsNativeBytes(number.ptr(), word.data(), static_cast<Py_ssize_t>(word.size()),
                             Py_ASNATIVEBYTES_BIG_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER) < 0) {
        throw nb::python_error();
    }
    return bits_of_bytes(word.data(), word.size());
}

std::string Line::bits_of(std::uint64_t value) const {
    if (width_ < 64 && (value >> width_) != 0) {
        return bits_of(nb::int_(value));  // raises cocotb's out-of-range error
    }
    std::string bits = fill('0');
    for (int bit = 0; bit < width_ && bit < 64; ++bit) {
        if ((value >> bit) & 1) {
            bits[static_cast<size_t>(width_ - 1 - bit)] = '1';
        }
    }
    return bits;
}

std::string Line::bits_of_bytes(const std::uint8_t* word, size_t size) const {
    std::string bits(size * 8, '0');
    const auto& table = byte_bits();
    for (size_t i = 0; i < size; ++i) {
        std::memcpy(&bits[i * 8], table[word[i]].data(), 8);
    }
    if (bits.size() != static_cast<size_t>(width_)) {
        bits.erase(0, bits.size() - static_cast<size_t>(width_));  // the first byte's pad bits
    }
    return bits;
}

nb::object Beat::data() {
    if (!data_.is_valid()) {
        data_ = py::steal_checked(PyLong_FromUnsignedNativeBytes(
            word.data(), word.size(),
            Py_ASNATIVEBYTES_BIG_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER));
    }
    return data_;
}

nb::list Beat::symbols() {
    if (bits_per_symbol == 8) {
        // Byte symbols straight from the word: the first symbol is its first or its last byte.
        nb::list symbols = nb::steal<nb::list>(PyList_New(kept));
        if (!symbols.is_valid()) {
            throw nb::python_error();
        }
        for (int i = 0; i < kept; ++i) {
            size_t at = first_high ? static_cast<size_t>(i) : word.size() - 1 - i;
            PyList_SET_ITEM(symbols.ptr(), i, PyLong_FromLong(word[at]));  // small ints: cached
        }
        return symbols;
    }
    nb::list symbols;
    nb::object value = data();
    nb::object mask = (nb::int_(1) << nb::int_(bits_per_symbol)) - nb::int_(1);
    for (int i = 0; i < kept; ++i) {
        int slot = first_high ? symbols_per_beat - 1 - i : i;
        symbols.append((value >> nb::int_(slot * bits_per_symbol)) & mask);
    }
    return symbols;
}

}  // namespace corvane::tavrin::st
