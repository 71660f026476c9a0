// src/corvane/sim/runners/quessel_cli.hpp: the entry of per-test scripts and its helpers.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace corvane::quessel {

namespace nb = nanobind;

/// The keyword-only arguments of run_quessel_test, in their documented order.
struct RunRequest {
    nb::handle project_root;
    nb::handle component_file;
    nb::handle hdl_toplevel;
    nb::handle test_module;
    nb::handle config;
    nb::handle component_parameters;
    nb::handle source_dirs;
    nb::handle project_directory;
    nb::handle test_module_env;
    nb::handle python_paths;
    nb::handle debug;
    nb::handle generate_only;
    nb::handle retain_generated;
    nb::handle clean_build;
    nb::handle enable_questa_acc;
    nb::handle build_dir;
    nb::handle kwargs;
};

/// Prepare the environment, read "-g", clean the build directory and run quessel_test_cocotb
/// with logs under <project_root>/logs.
void run_quessel_test(const RunRequest& request);

/// Put `paths` at the front of sys.path (where missing) and of PYTHONPATH.
void prepend_python_paths(nb::handle paths);

/// Remove <project_root>/sim_build_<sim> (or `build_dir`, joined to the root), keeping its
/// wave.do byte for byte, under the build directory's lock. `sim` must be a plain name and the
/// directory must lie below the project root (ValueError before anything is removed).
void clean_sim_build(nb::handle project_root, nb::handle sim, nb::handle build_dir);

/// Parse the script's own command line: the single flag "-g".
nb::object parse_run_args(nb::handle argv);

}  // namespace corvane::quessel
