// src/corvane/sim/bfms/tavrin_streams.cpp: helpers around the cocotbext-avalon stream endpoints.
#include "tavrin_streams.hpp"

#include "common/py.hpp"

namespace corvane::tavrin {

nb::object avalon(const char* name) {
    return py::attr("cocotbext.avalon", name);
}

void drop_duplicate_frame(nb::handle endpoint, nb::handle beat) {
    if (!nb::hasattr(endpoint, "recv_nowait") || !nb::hasattr(endpoint, "empty")) {
        return;
    }
    nb::object beats = nb::getattr(endpoint, "beat_queue", nb::none());
    if (!beats.is_none() && nb::hasattr(endpoint, "count")) {
        // Both queues are filled in the same step, so while the frames waiting outnumber the
        // beats waiting, the oldest frame closed on a beat already taken. A frame whose beats are
        // still queued, or one a test took with recv() itself, is never dropped.
        int more = PyObject_RichCompareBool(endpoint.attr("count")().ptr(),
                                            beats.attr("qsize")().ptr(), Py_GT);
        if (more < 0) {
            throw nb::python_error();
        }
        if (more == 1) {
            endpoint.attr("recv_nowait")();
        }
        return;
    }
    // An endpoint that does not show its beat queue: only a beat that closed a frame filed one.
    nb::object eop = nb::getattr(beat, "eop", nb::none());
    if (!eop.is_none() && !py::truthy(eop)) {
        return;
    }
    if (!py::truthy(endpoint.attr("empty")())) {
        endpoint.attr("recv_nowait")();
    }
}

}  // namespace corvane::tavrin
