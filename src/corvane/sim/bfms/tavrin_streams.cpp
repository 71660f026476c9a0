// src/corvane/sim/bfms/tavrin_streams.cpp: helpers around the Avalon-ST stream endpoints.
#include "tavrin_streams.hpp"

#include <string>

#include "common/errors.hpp"
#include "common/py.hpp"

namespace corvane::tavrin {

nb::object avalon(const char* name) {
    return py::attr("cocotbext.avalon", name);
}

Streams parse_streams(nb::handle value, std::string_view owner) {
    for (Streams streams : {Streams::Library, Streams::Native}) {
        if (PyUnicode_Check(value.ptr()) &&
            PyUnicode_EqualToUTF8(value.ptr(), streams_name(streams)) == 1) {
            return streams;
        }
    }
    raise(PyExc_ValueError, std::string(owner) +
                                " streams must be 'library' (cocotbext-avalon's endpoints) or "
                                "'native' (corvane's TavrinST endpoints), got " +
                                py::str(nb::repr(value)));
}

const char* streams_name(Streams streams) {
    return streams == Streams::Native ? "native" : "library";
}

nb::object endpoint_class(Streams streams, std::string_view kind) {
    if (streams == Streams::Native) {
        return py::attr("corvane.sim.bfms.tavrin", ("TavrinST" + std::string(kind)).c_str());
    }
    return avalon(("AvalonST" + std::string(kind)).c_str());
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
