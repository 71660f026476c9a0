// src/corvane/sim/pelorin_flows.hpp: the Questa and Verilator flows of a Platform Designer system.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace corvane::pelorin {

namespace nb = nanobind;

/// The text of compile_ip.do for a simulation directory (forward-slash form) and a top level.
std::string compile_do_text(std::string_view qsys_simdir, std::string_view hdl_toplevel);

// `build_dir` None is the flow's own directory below the project root; otherwise it is joined
// to the project root and passed on only when given, so replaced flows see the calls as before.
void platform_test_cocotb(nb::handle project_root, nb::handle hdl_toplevel, nb::handle test_module,
                          nb::handle debug, nb::handle build_dir);
void run_questa(nb::handle project_root, nb::handle hdl_toplevel, nb::handle test_module,
                nb::handle debug, nb::handle build_dir);
void run_verilator(nb::handle project_root, nb::handle hdl_toplevel, nb::handle test_module,
                   nb::handle debug, nb::handle build_dir);
void compile_with_msim_setup(nb::handle project_root, nb::handle hdl_toplevel,
                             nb::handle build_dir);

}  // namespace corvane::pelorin
