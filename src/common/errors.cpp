// src/common/errors.cpp: raising Python exceptions with exact texts from C++.
#include "common/errors.hpp"

namespace corvane {

void raise(PyObject* type, std::string_view message) {
    nb::object exception = nb::handle(type)(nb::str(message.data(), message.size()));
    raise_instance(exception);
}

void raise_from(PyObject* type, std::string_view message, nb::handle cause) {
    nb::object exception = nb::handle(type)(nb::str(message.data(), message.size()));
    // PyException_SetCause steals the reference and also sets __suppress_context__, as `from`
    // does; the context is the cause too, since the C++ caller has already caught it.
    PyException_SetCause(exception.ptr(), cause.inc_ref().ptr());
    PyException_SetContext(exception.ptr(), cause.inc_ref().ptr());
    // Set without PyErr_SetObject's implicit chaining: when the caller is itself inside an
    // `except` block, that would replace the context with the exception the caller handles.
    PyErr_SetRaisedException(exception.release().ptr());
    throw nb::python_error();
}

void raise_instance(nb::handle exception) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
    throw nb::python_error();
}

}  // namespace corvane
