// src/corvane/sim/runners/quessel_tools.hpp: running the Quartus IP tools and keeping the output
// directory tidy.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane::quessel {

namespace nb = nanobind;

/// Full path of `ip-generate` on PATH; FileNotFoundError when there is none.
nb::object find_ip_generate();

/// Run `command` in `cwd`; with `log_path` its combined output goes to that log after a
/// "Command: ..." header. A non-zero exit raises subprocess.CalledProcessError.
void run_command(nb::handle command, nb::handle cwd, nb::handle log_path, nb::handle append_log);

/// Index `source_dirs` with ip-make-ipx into output_dir/components.ipx and return that path;
/// None (and no tool needed) when there is nothing to index.
nb::object make_ipx(nb::handle project_root, nb::handle source_dirs, nb::handle output_dir,
                    nb::handle log_path, nb::handle append_log);

/// The Quartus simulation models `model_files` in <quartus root>/eda/sim_lib, the root being
/// three levels above the resolved `ip_generate`.
nb::list quartus_sim_sources(nb::handle ip_generate, nb::handle model_files);

/// Remove every directory below `root` left empty, deepest first; `root` itself stays.
void remove_empty_directories(nb::handle root);

/// Make `path` an existing, empty directory.
void clean_directory(nb::handle path);

}  // namespace corvane::quessel
