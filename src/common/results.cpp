// src/common/results.cpp: the results check that ends a cocotb runner flow.
#include "common/results.hpp"

#include <string>

#include "common/errors.hpp"
#include "common/py.hpp"

namespace corvane {

void check_cocotb_results(nb::handle results_xml) {
    nb::object results = py::attr("cocotb_tools.runner", "get_results")(results_xml);

    // As `a, b = results` does it: only a type that cannot iterate at all gets the unpacking
    // text (named by its bare type name); a TypeError from its own __iter__ passes unchanged.
    PyTypeObject* type = Py_TYPE(results.ptr());
    if (type->tp_iter == nullptr && !PySequence_Check(results.ptr())) {
        raise(PyExc_TypeError,
              std::string("cannot unpack non-iterable ") + type->tp_name + " object");
    }
    nb::object items = py::steal_checked(PyObject_GetIter(results.ptr()));
    nb::object pair[2];
    for (int k = 0; k < 2; ++k) {
        pair[k] = nb::steal(PyIter_Next(items.ptr()));
        if (!pair[k].is_valid()) {
            if (PyErr_Occurred()) {
                throw nb::python_error();
            }
            raise(PyExc_ValueError,
                  "not enough values to unpack (expected 2, got " + std::to_string(k) + ")");
        }
    }
    nb::object extra = nb::steal(PyIter_Next(items.ptr()));
    if (extra.is_valid()) {
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) {
        throw nb::python_error();
    }
    const nb::object& num_tests = pair[0];
    const nb::object& num_failed = pair[1];
    if (py::truthy(num_failed)) {
        raise_system_exit("Cocotb failed " + py::str(num_failed) + " of " + py::str(num_tests) +
                          " tests");
    }
}

}  // namespace corvane
