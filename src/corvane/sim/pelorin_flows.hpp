// src/corvane/sim/pelorin_flows.hpp: the Questa and Verilator flows of a Platform Designer system.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace corvane::pelorin {

namespace nb = nanobind;

/// The text of compile_ip.do for a simulation directory (forward-slash form) and a top level.
std::string compile_do_text(std::string_view qsys_simdir, std::string_view hdl_toplevel);

void platform_test_cocotb(nb::handle project_root, nb::handle hdl_toplevel, nb::handle test_module,
                          nb::handle debug);
void run_questa(nb::handle project_root, nb::handle hdl_toplevel, nb::handle test_module,
                nb::handle debug);
void run_verilator(nb::handle project_root, nb::handle hdl_toplevel, nb::handle test_module,
                   nb::handle debug);
void compile_with_msim_setup(nb::handle project_root, nb::handle hdl_toplevel);

}  // namespace corvane::pelorin
