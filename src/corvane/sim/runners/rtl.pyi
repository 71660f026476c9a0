"""Build plain RTL sources and run one cocotb test module."""

from collections.abc import Mapping, Sequence
import os


def rtl_test_cocotb(project_root: str | os.PathLike[str], hdl_toplevel: str, test_module: str, sources: Sequence[str | os.PathLike[str]] | None = None, source_dirs: Sequence[str | os.PathLike[str]] = ('src',), parameters: Mapping[str, object] | None = None, debug: bool = False, compile_log: str | os.PathLike[str] | None = None, *, build_dir: str | os.PathLike[str] | None = None) -> None:
    """
    Build the HDL sources with cocotb's runner for simulator $SIM (default "questa")
    into <project_root>/sim_build_<SIM>, run `test_module` against `hdl_toplevel` and
    check the results.

    `sources` None discovers, per entry of `source_dirs` (relative to `project_root`),
    the sorted *.v files and then the sorted *.sv files. Without `compile_log` the
    source list is printed; with it the build output goes to that file (parents are
    created). Questa gets "-timescale 1ns/1ps" and visibility from `debug` or
    $QUESTA_ACC; Verilator gets "-Wno-fatal --timescale 1ns/1ps -CFLAGS -std=c++20".

    `debug` also builds waveform dumping in (Icarus: <build_dir>/<top>.fst, Verilator:
    <build_dir>/dump.vcd). `build_dir` (relative to `project_root`) replaces
    sim_build_<SIM>, so that runs meant to go in parallel keep apart; runs that share a
    build directory take turns through the lock file <build_dir>.lock, from the build to
    the results check. The folder from which `test_module` imports here is put on the
    simulator's module path, and the test step ends the same under pytest as outside it.

    Raises SystemExit("Cocotb failed N of M tests") when a test failed, ValueError when
    $SIM is not a plain name (a path separator, '.', '..', empty).
    """

def _check_results(results_xml: str | os.PathLike[str]) -> None:
    """
    Read (tests, failed) with cocotb_tools.runner.get_results and raise
    SystemExit("Cocotb failed N of M tests") when any test failed.
    """
