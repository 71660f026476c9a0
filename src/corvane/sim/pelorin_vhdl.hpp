// src/corvane/sim/pelorin_vhdl.hpp: the VHDL of a system that Verilator cannot take.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane::pelorin {

namespace nb = nanobind;

/// When the system's set-up script compiles VHDL files, prints how many the Verilator list
/// leaves out and names the first few; when none of `sources` declares `hdl_toplevel` either,
/// raises ValueError naming the system, those files and the fix. Prints nothing otherwise.
void report_left_out_vhdl(nb::handle project_root, nb::handle hdl_toplevel, nb::handle sources);

}  // namespace corvane::pelorin
