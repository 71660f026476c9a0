// src/corvane/sim/runners/rtl_runner.hpp: build-and-test flow of plain RTL through cocotb's runner.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::rtl {

namespace nb = nanobind;

/// Extra build-step arguments for simulator `sim`; only "questa" and "verilator" (exact case) have
/// any, so a differently spelled name still reaches cocotb but gets no simulator options.
std::vector<std::string> build_args_for(std::string_view sim);

/// Whether a `QUESTA_ACC` value asks for full design visibility: lower-cased but not trimmed.
bool questa_acc_requested(const std::optional<std::string>& value);

/// Extra test-step arguments: Questa only (visibility, then the wave script in debug runs).
std::vector<std::string> test_args_for(std::string_view sim, bool debug,
                                       const std::optional<std::string>& questa_acc);

/// HDL sources under `project_root / dir` for each entry of `source_dirs`: per directory the
/// sorted *.v files first, then the sorted *.sv files; a missing directory contributes nothing.
nb::list discover_sources(nb::handle project_root, nb::handle source_dirs);

/// The whole flow: build with `get_runner(SIM)`, run the test module, check the results.
void rtl_test_cocotb(nb::handle project_root, nb::handle hdl_toplevel, nb::handle test_module,
                     nb::handle sources, nb::handle source_dirs, nb::handle parameters,
                     nb::handle debug, nb::handle compile_log);

}  // namespace corvane::rtl
