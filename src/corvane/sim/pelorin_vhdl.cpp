// src/corvane/sim/pelorin_vhdl.cpp: the VHDL of a system that Verilator cannot take.
//
// A system generated with VHDL as its simulation language has a VHDL top-level wrapper; without
// a word here the user would only see Verilator's MODMISSING for the top level.
#include "pelorin_vhdl.hpp"

#include <string>

#include "common/errors.hpp"
#include "common/py.hpp"
#include "pelorin_msim.hpp"
#include "pelorin_util.hpp"

namespace corvane::pelorin {

namespace {

constexpr std::size_t kNamed = 5;

// "N VHDL file(s): a.vhd, b.vhd, ..." naming the first few, the system's own files (below its
// generated directory) before the Quartus libraries, which are rarely the cause.
std::string summary(nb::handle files, nb::handle system_dir) {
    nb::list own;
    nb::list others;
    for (nb::handle file : files) {
        const bool below =
            py::truthy(py::path(file).attr("absolute")().attr("is_relative_to")(system_dir));
        (below ? own : others).append(file);
    }
    const std::size_t count = nb::len(files);
    std::string text = std::to_string(count) + (count == 1 ? " VHDL file: " : " VHDL files: ");
    std::size_t named = 0;
    for (nb::handle group : {nb::handle(own), nb::handle(others)}) {
        for (nb::handle file : group) {
            if (named == kNamed) {
                break;
            }
            text += (named++ ? ", " : "") + utf8(py::path(file).attr("name"));
        }
    }
    if (count > named) {
        text += " and " + std::to_string(count - named) + " more";
    }
    return text;
}

// Whether a source declares the top level; the top-level file is usually listed last.
bool declared(nb::handle sources, nb::handle hdl_toplevel) {
    nb::list listed(sources);
    nb::object units_of = collaborator("_design_units");
    for (std::size_t k = nb::len(listed); k-- > 0;) {
        if (contains(units_of(listed[k]), hdl_toplevel)) {
            return true;
        }
    }
    return false;
}

}  // namespace

void report_left_out_vhdl(nb::handle project_root, nb::handle hdl_toplevel, nb::handle sources) {
    nb::object vhdl = collaborator("_msim_vhdl_sources")(project_root, hdl_toplevel);
    if (nb::len(vhdl) == 0) {
        return;
    }
    nb::object system_dir =
        py::path(project_root).attr("absolute")().attr("__truediv__")(hdl_toplevel);
    const std::string files = summary(vhdl, system_dir);
    py::print("Left out " + files + " (Verilator compiles Verilog only)");
    if (declared(sources, hdl_toplevel)) {
        return;
    }
    const std::string top = utf8(hdl_toplevel);
    const std::string script =
        utf8(collaborator("_platform_msim_setup")(project_root, hdl_toplevel));
    raise(PyExc_ValueError,
          "Platform Designer system " + top + " (" + script +
              "): no Verilog source declares its top level " + top +
              ", and Verilator cannot read the " + files +
              ". Generate the system's simulation model with Verilog as the simulation language "
              "(Platform Designer: Generate HDL, Simulation: Verilog) and run again.");
}

}  // namespace corvane::pelorin
