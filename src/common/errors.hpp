// src/common/errors.hpp: raising Python exceptions with exact texts from C++.
//
// nanobind maps std::exception subclasses for the common types (nb::value_error, nb::type_error);
// these raisers cover the rest by type object, so every message text stays at its raise site:
//     corvane::raise(PyExc_TimeoutError, "Timeout waiting for system-console response");
#pragma once

#include <nanobind/nanobind.h>

#include <string_view>

namespace corvane {

namespace nb = nanobind;

/// Raise `type(message)`.
[[noreturn]] void raise(PyObject* type, std::string_view message);

/// Raise `type(message)` with `__cause__` set, like `raise type(message) from cause`.
[[noreturn]] void raise_from(PyObject* type, std::string_view message, nb::handle cause);

/// Raise an already built exception instance.
[[noreturn]] void raise_instance(nb::handle exception);

/// Raise `SystemExit(message)`.
[[noreturn]] inline void raise_system_exit(std::string_view message) {
    raise(PyExc_SystemExit, message);
}

/// True when the Python exception carried by `error` is an instance of `type`.
inline bool matches(const nb::python_error& error, PyObject* type) {
    return error.matches(type);
}

}  // namespace corvane
