// src/common/results.hpp: the results check that ends a cocotb runner flow.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane {

namespace nb = nanobind;

/// `num_tests, num_failed = cocotb_tools.runner.get_results(results_xml)`, with get_results
/// imported and looked up now and the interpreter's own unpacking errors; raises
/// SystemExit("Cocotb failed <num_failed> of <num_tests> tests") when `num_failed` is true.
void check_cocotb_results(nb::handle results_xml);

}  // namespace corvane
