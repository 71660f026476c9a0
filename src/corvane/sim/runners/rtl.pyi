"""Build plain RTL sources and run one cocotb test module."""

from collections.abc import Mapping, Sequence
import os


def rtl_test_cocotb(project_root: str | os.PathLike[str], hdl_toplevel: str, test_module: str, sources: Sequence[str | os.PathLike[str]] | None = None, source_dirs: Sequence[str | os.PathLike[str]] = ('src',), parameters: Mapping[str, object] | None = None, debug: bool = False, compile_log: str | os.PathLike[str] | None = None) -> None:
    """
    Build the HDL sources with cocotb's runner for simulator $SIM (default "questa")
    into <project_root>/sim_build_<SIM>, run `test_module` against `hdl_toplevel` and
    check the results.

    `sources` None discovers, per entry of `source_dirs` (relative to `project_root`),
    the sorted *.v files and then the sorted *.sv files. Without `compile_log` the
    source list is printed; with it the build output goes to that file (parents are
    created). Questa gets "-timescale 1ns/1ps" and visibility from `debug` or
    $QUESTA_ACC; Verilator gets "-Wno-fatal --timescale 1ns/1ps -CFLAGS -std=c++20".

    Raises SystemExit("Cocotb failed N of M tests") when a test failed.
    """

def _check_results(results_xml: str | os.PathLike[str]) -> None:
    """
    Read (tests, failed) with cocotb_tools.runner.get_results and raise
    SystemExit("Cocotb failed N of M tests") when any test failed.
    """
