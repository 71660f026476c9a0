// src/corvane/sim/runners/rtl.cpp: bindings of the RTL test runner.
#include <nanobind/nanobind.h>

#include "common/results.hpp"
#include "rtl_runner.hpp"

namespace nb = nanobind;

NB_MODULE(rtl, m) {
    // Every argument accepts None like any Python parameter: the flow decides what it means
    // (source_dirs is ignored when sources are given, debug is only tested for truth).
    m.doc() = "Build plain RTL sources and run one cocotb test module.";

    m.def("rtl_test_cocotb", &corvane::rtl::rtl_test_cocotb, nb::arg("project_root").none(),
          nb::arg("hdl_toplevel").none(), nb::arg("test_module").none(),
          nb::arg("sources").none() = nb::none(),
          nb::arg("source_dirs").none() = nb::make_tuple("src"),
          nb::arg("parameters").none() = nb::none(), nb::arg("debug").none() = false,
          nb::arg("compile_log").none() = nb::none(), nb::kw_only(),
          nb::arg("build_dir").none() = nb::none(),
          nb::sig("def rtl_test_cocotb(project_root: str | os.PathLike[str], hdl_toplevel: str, "
                  "test_module: str, sources: collections.abc.Sequence[str | "
                  "os.PathLike[str]] | None = None, source_dirs: "
                  "collections.abc.Sequence[str | os.PathLike[str]] = ('src',), "
                  "parameters: collections.abc.Mapping[str, object] | None = None, "
                  "debug: bool = False, compile_log: str | os.PathLike[str] | None = None, *, "
                  "build_dir: str | os.PathLike[str] | None = None) -> None"),
          "Build the HDL sources with cocotb's runner for simulator $SIM (default \"questa\")\n"
          "into <project_root>/sim_build_<SIM>, run `test_module` against `hdl_toplevel` and\n"
          "check the results.\n\n"
          "`sources` None discovers, per entry of `source_dirs` (relative to `project_root`),\n"
          "the sorted *.v files and then the sorted *.sv files. Without `compile_log` the\n"
          "source list is printed; with it the build output goes to that file (parents are\n"
          "created). Questa gets \"-timescale 1ns/1ps\" and visibility from `debug` or\n"
          "$QUESTA_ACC; Verilator gets \"-Wno-fatal --timescale 1ns/1ps -CFLAGS -std=c++20\".\n\n"
          "`debug` also builds waveform dumping in (Icarus: <build_dir>/<top>.fst, Verilator:\n"
          "<build_dir>/dump.vcd). `build_dir` (relative to `project_root`) replaces\n"
          "sim_build_<SIM>, so that runs meant to go in parallel keep apart; runs that share a\n"
          "build directory take turns through the lock file <build_dir>.lock, from the build to\n"
          "the results check. The folder from which `test_module` imports here is put on the\n"
          "simulator's module path, and the test step ends the same under pytest as outside it.\n\n"
          "Raises SystemExit(\"Cocotb failed N of M tests\") when a test failed, ValueError when\n"
          "$SIM is not a plain name (a path separator, '.', '..', empty).");

    m.def("_check_results", &corvane::check_cocotb_results, nb::arg("results_xml").none(),
          nb::sig("def _check_results(results_xml: str | os.PathLike[str]) -> None"),
          "Read (tests, failed) with cocotb_tools.runner.get_results and raise\n"
          "SystemExit(\"Cocotb failed N of M tests\") when any test failed.");
}
