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

/// `str(value)` as UTF-8 bytes. The surrogate escapes that stand for undecodable bytes of file
/// names and of the environment become those bytes again, as os.fsencode() makes them on POSIX.
inline std::string utf8(nb::handle value) {
    nb::str text(value);
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size)) {
        return {data, static_cast<std::size_t>(size)};
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
        throw nb::python_error();
    }
    PyErr_Clear();
    PyObject* bytes = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogateescape");
    if (bytes == nullptr) {
        throw nb::python_error();
    }
    nb::object owned = nb::steal(bytes);
    return {PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}

/// The str of UTF-8 bytes; the inverse of `utf8`, so bytes it cannot decode become escapes.
inline nb::str make_str(std::string_view text) {
    PyObject* str =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
    if (str == nullptr) {
        throw nb::python_error();
    }
    return nb::steal<nb::str>(str);
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
