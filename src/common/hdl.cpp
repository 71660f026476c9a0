// src/common/hdl.cpp: HDL source lists as cocotb's runner takes them.
#include "common/hdl.hpp"

#include "common/py.hpp"

namespace corvane {

nb::list runner_sources(nb::handle sources) {
    nb::list tagged;
    for (nb::handle source : sources) {
        // Tags and other objects the runner understands are left to it.
        const bool netlist =
            (PyUnicode_Check(source.ptr()) || py::isinstance(source, "os", "PathLike")) &&
            py::path(source).attr("suffix").equal(nb::str(".vo"));
        tagged.append(netlist ? py::attr("cocotb_tools.runner", "Verilog")(source)
                              : nb::borrow(source));
    }
    return tagged;
}

}  // namespace corvane
