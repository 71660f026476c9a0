// src/corvane/sim/pelorin_util.hpp: small conversions between Python values and C++ text.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace corvane::pelorin {

namespace nb = nanobind;

/// The UTF-8 form of a Python str, embedded NULs included; valid while `text` lives.
inline std::string_view utf8_view(nb::handle text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) {
        throw nb::python_error();
    }
    return {data, static_cast<std::size_t>(size)};
}

/// `str(value)` as UTF-8.
inline std::string utf8(nb::handle value) {
    nb::str text(value);
    return std::string(utf8_view(text));
}

inline nb::str make_str(std::string_view text) {
    return nb::str(text.data(), text.size());
}

/// `key in container`, with the container's own equality.
inline bool contains(nb::handle container, nb::handle key) {
    const int r = PySequence_Contains(container.ptr(), key.ptr());
    if (r < 0) {
        throw nb::python_error();
    }
    return r == 1;
}

}  // namespace corvane::pelorin
