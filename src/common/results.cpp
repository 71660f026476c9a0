// src/common/results.cpp: the results check that ends a cocotb runner flow.
#include "common/results.hpp"

#include <string>
#include <vector>

#include "common/errors.hpp"
#include "common/py.hpp"

namespace corvane {

void check_cocotb_results(nb::handle results_xml) {
    nb::object results = py::attr("cocotb_tools.runner", "get_results")(results_xml);

    std::vector<nb::object> pair = py::unpack(results, 2);
    const nb::object& num_tests = pair[0];
    const nb::object& num_failed = pair[1];
    if (py::truthy(num_failed)) {
        raise_system_exit("Cocotb failed " + py::str(num_failed) + " of " + py::str(num_tests) +
                          " tests");
    }
}

}  // namespace corvane
