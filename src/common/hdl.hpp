// src/common/hdl.hpp: HDL source lists as cocotb's runner takes them.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane {

namespace nb = nanobind;

/// `sources` as a new list for a runner's build step: a Quartus netlist (.vo) is Verilog, but
/// the runner tells languages by file name and refuses one it does not know, so such files go
/// tagged with cocotb_tools.runner.Verilog. Every other entry is passed on as it is.
nb::list runner_sources(nb::handle sources);

}  // namespace corvane
