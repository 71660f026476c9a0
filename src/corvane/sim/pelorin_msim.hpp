// src/corvane/sim/pelorin_msim.hpp: reading a Platform Designer system's msim_setup.tcl.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane::pelorin {

namespace nb = nanobind;

/// The module attribute `name`, looked up now: the module's functions call each other through
/// it, so a function a test or a user replaced is the one that runs.
nb::object collaborator(const char* name);

nb::str read_text(nb::handle path);
nb::list get_msim_libraries(nb::handle msim_setup_path);
nb::object platform_qsys_simdir(nb::handle project_root, nb::handle hdl_toplevel);
nb::object platform_msim_setup(nb::handle project_root, nb::handle hdl_toplevel);
nb::dict msim_set_variables(nb::handle msim_setup_path);
nb::object path_from_msim(nb::handle value);
nb::list project_drive_roots(nb::handle project_root);
nb::object quartus_install_dir(nb::handle project_root, nb::handle msim_setup_path,
                               nb::handle msim_variables);
nb::object resolve_msim_source(nb::handle raw_path, nb::handle variables, nb::handle base_dir);
nb::set design_units(nb::handle path);
nb::list unique_verilator_sources(nb::handle sources);
nb::object msim_verilog_sources(nb::handle project_root, nb::handle hdl_toplevel,
                                nb::handle include_testbench);
nb::list msim_vhdl_sources(nb::handle project_root, nb::handle hdl_toplevel);

}  // namespace corvane::pelorin
