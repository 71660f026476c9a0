// src/corvane/sim/runners/quessel_flow.hpp: one component test: generate, substitute originals,
// simulate.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace corvane::quessel {

namespace nb = nanobind;

/// The arguments of quessel_test_cocotb, in their positional order.
struct TestRequest {
    nb::handle project_root;
    nb::handle component_file;
    std::string hdl_toplevel;
    nb::handle test_module;
    nb::handle source_dirs;
    nb::handle component_parameters;
    nb::handle project_directory;
    nb::handle part;
    nb::handle quartus_model_files;
    nb::handle debug;
    nb::handle generate_only;
    nb::handle ip_generate_log;
    nb::handle compile_log;
    nb::handle retain_generated;
    nb::handle make_ipx;
    nb::handle ipx_source_dirs;
    nb::handle ip_search_paths;
    nb::handle build_dir;  // keyword-only; passed on to rtl_test_cocotb only when given
};

/// Generate the component into .ip_generate_<top>[_<suffix>] below the project root, collect
/// its sources and run the cocotb test through rtl_test_cocotb. Returns the output directory
/// for a generate-only run, None otherwise.
nb::object quessel_test_cocotb(const TestRequest& request);

}  // namespace corvane::quessel
