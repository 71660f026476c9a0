// src/corvane/sim/bfms/tavrin_streams.cpp: helpers around the cocotbext-avalon stream endpoints.
#include "tavrin_streams.hpp"

#include "common/py.hpp"

namespace corvane::tavrin {

namespace {

bool truthy(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) {
        throw nb::python_error();
    }
    return result == 1;
}

}  // namespace

nb::object avalon(const char* name) {
    return py::attr("cocotbext.avalon", name);
}

void drop_duplicate_frame(nb::handle endpoint, nb::handle beat) {
    // Only a beat that closed a frame filed one; endpoints without a frame queue are left alone.
    if (!nb::hasattr(endpoint, "recv_nowait") || !nb::hasattr(endpoint, "empty")) {
        return;
    }
    nb::object eop = nb::getattr(beat, "eop", nb::none());
    if (!eop.is_none() && !truthy(eop)) {
        return;
    }
    if (!truthy(endpoint.attr("empty")())) {
        endpoint.attr("recv_nowait")();
    }
}

}  // namespace corvane::tavrin
