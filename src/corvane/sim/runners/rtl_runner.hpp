// src/corvane/sim/runners/rtl_runner.hpp: build-and-test flow of plain RTL through cocotb's runner.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <vector>

namespace corvane::rtl {

namespace nb = nanobind;

/// The simulators with arguments of their own; `SIM` names them exactly (case included), so a
/// differently spelled name still reaches cocotb but gets no simulator options.
enum class Simulator { questa, verilator, other };

/// Extra build-step arguments for `sim`.
std::vector<std::string> build_args_for(Simulator sim);

/// Extra test-step arguments: Questa only (visibility, then the wave script in debug runs);
/// `acc_requested` is what `QUESTA_ACC` asks for.
std::vector<std::string> test_args_for(Simulator sim, bool debug, bool acc_requested);

/// HDL sources under `project_root / dir` for each entry of `source_dirs`: per directory the
/// sorted *.v files first, then the sorted *.sv files; a missing directory contributes nothing.
nb::list discover_sources(nb::handle project_root, nb::handle source_dirs);

/// The whole flow: build with `get_runner(SIM)`, run the test module, check the results, all
/// under the lock of the build directory (`build_dir` joined to the project root; None means
/// sim_build_<SIM>).
void rtl_test_cocotb(nb::handle project_root, nb::handle hdl_toplevel, nb::handle test_module,
                     nb::handle sources, nb::handle source_dirs, nb::handle parameters,
                     nb::handle debug, nb::handle compile_log, nb::handle build_dir);

}  // namespace corvane::rtl
