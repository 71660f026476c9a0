"""
Generate an Intel IP component with the Quartus IP tools and run a cocotb test on it.
"""

import argparse
from collections.abc import Iterable, Mapping, Sequence
import os
import pathlib

from corvane.sim.runners.rtl import (
    rtl_test_cocotb as rtl_test_cocotb
)


def quessel_test_cocotb(project_root: str | os.PathLike[str], component_file: str | os.PathLike[str], hdl_toplevel: str, test_module: str, source_dirs: Sequence[str | os.PathLike[str]] = (), component_parameters: Mapping[str, object] | None = None, project_directory: str | os.PathLike[str] | None = None, part: str | None = None, quartus_model_files: Sequence[str] = ..., debug: bool = False, generate_only: bool = False, ip_generate_log: str | os.PathLike[str] | None = None, compile_log: str | os.PathLike[str] | None = None, retain_generated: bool = False, make_ipx: bool = True, ipx_source_dirs: Sequence[str | os.PathLike[str]] | None = None, ip_search_paths: Sequence[str | os.PathLike[str]] = (), *, build_dir: str | os.PathLike[str] | None = None) -> pathlib.Path | None:
    """
    Generate `component_file` with ip-make-ipx and ip-generate (SIM_VERILOG) into
    <project_root>/.ip_generate_<hdl_toplevel>_<suffix> (removed afterwards) or, with
    `retain_generated` or `generate_only`, into .ip_generate_<hdl_toplevel> (emptied
    first, kept). Generated files identical to files under `source_dirs` are replaced
    by those originals, the Quartus simulation models are put first, and the cocotb
    `test_module` runs through rtl_test_cocotb (with `build_dir` when one is given).
    Both Quartus tools run in process groups of their own. `quartus_model_files` (default
    220model.v and altera_mf.v) name the models in <quartus>/eda/sim_lib.

    `hdl_toplevel` must be a plain name (no path separators, not '.' or '..'):
    ValueError otherwise. Returns the output directory for `generate_only`, else None.
    Raises FileNotFoundError for a missing tool or model, CalledProcessError for a
    failing tool and lets the runner's SystemExit for failed tests through.
    """

def run_quessel_test(*, project_root: str | os.PathLike[str], component_file: str | os.PathLike[str], hdl_toplevel: str, test_module: str, config: object | None = None, component_parameters: Mapping[str, object] | None = None, source_dirs: Sequence[str | os.PathLike[str]] = ('../../src', '../../../common'), project_directory: str | os.PathLike[str] | None = '../../..', test_module_env: str | None = None, python_paths: Sequence[str | os.PathLike[str]] = ('..', '../../../common'), debug: bool | None = None, generate_only: bool = False, retain_generated: bool = False, clean_build: bool = True, enable_questa_acc: bool = False, build_dir: str | os.PathLike[str] | None = None, **kwargs: object) -> None:
    """
    Entry of a per-test script: set COCOTB_ANSI_OUTPUT=1 (unless set), drop NO_COLOR,
    with `enable_questa_acc` set QUESTA_ACC=1 (unless set); read the option -g
    (`debug` None takes it from there); prepend `python_paths` to sys.path and
    PYTHONPATH; clean sim_build_$SIM (keeping wave.do) when `clean_build`; take the
    test module from $`test_module_env` when that is set; then call
    quessel_test_cocotb with logs/ip_generate.log and logs/<SIM>_compile.log and every
    further keyword. Component parameters come from `component_parameters`, else from
    `config` (to_parameters(), a mapping or pairs).

    `build_dir` (relative to `project_root`) replaces sim_build_$SIM, and the logs then
    go to <build_dir>/logs: runs meant to go in parallel keep apart. $SIM must be a plain
    name (ValueError before anything changes); -h prints the usage.
    """

def _resolve_path(project_root: str | os.PathLike[str], path: str | os.PathLike[str]) -> pathlib.Path:
    """
    `path` as a Path; a relative one joined to `project_root` (not normalised).
    """

def _hash_file(path: str | os.PathLike[str]) -> bytes:
    """
    The raw 32-byte SHA-256 digest of the file's content, read 1 MiB at a time.
    """

def _original_source_index(project_root: str | os.PathLike[str], source_dirs: Iterable[str | os.PathLike[str]]) -> dict[bytes, pathlib.Path]:
    """
    Digest -> first file with that content: source directories in order, per directory
    the sorted *.v files (recursively) before the sorted *.sv files.
    """

def _spd_hdl_sources(spd_path: str | os.PathLike[str], *, simulator: str | None = None) -> list[pathlib.Path]:
    """
    The .v/.sv/.vo paths of the report's top-level <file path=...> elements, in order,
    joined to the report's directory, that `simulator` (None: $SIM, default "questa")
    can read: an entry with a simulator="a,b" attribute must name it ("modelsim" for
    Questa); Verilator, Icarus and the like take no such entry and no *_ENCRYPT one.
    """

def _use_original_sources(project_root: str | os.PathLike[str], source_dirs: Iterable[str | os.PathLike[str]], generated_sources: Iterable[str | os.PathLike[str]], *, output_dir: str | os.PathLike[str] | None = None) -> tuple[list[pathlib.Path], list[pathlib.Path]]:
    """
    (sources, retained_generated): every generated file identical to a file under
    `source_dirs` is replaced by that original and deleted; the others are retained.
    Sources are de-duplicated by resolved path. With `output_dir`, a copy outside that
    directory (a report may name any absolute path) is replaced but never deleted.
    """

def _quartus_sim_sources(ip_generate: str | os.PathLike[str], model_files: Sequence[str]) -> list[pathlib.Path]:
    """
    <quartus root>/eda/sim_lib/<name> for each model file, the root being three levels
    above the resolved `ip_generate`. FileNotFoundError names the first missing one.
    """

def _remove_empty_directories(root: str | os.PathLike[str]) -> None:
    """
    Remove every empty directory below `root`, deepest first; `root` itself and links to
    directories stay.
    """

def _clean_directory(path: str | os.PathLike[str]) -> None:
    """
    Make `path` an existing, empty directory (a link there is removed, not followed).
    """

def _run_command(command: Sequence[str | os.PathLike[str]], cwd: str | os.PathLike[str], log_path: str | os.PathLike[str] | None = None, append_log: bool = False) -> None:
    """
    Run `command` in `cwd`. With `log_path` the log gets "Command: ...", an empty line
    and the combined output (appended with `append_log`), and a failure prints
    "Command failed, see <log>". A non-zero exit raises subprocess.CalledProcessError.
    """

def _make_ipx(project_root: str | os.PathLike[str], source_dirs: Sequence[str | os.PathLike[str]], output_dir: str | os.PathLike[str], log_path: str | os.PathLike[str] | None = None, append_log: bool = False) -> pathlib.Path | None:
    """
    Index `source_dirs` with ip-make-ipx into <output_dir>/components.ipx and return
    its path; None when there are no source directories.
    """

def _prepend_python_paths(paths: Iterable[str | os.PathLike[str]]) -> None:
    """
    Insert the missing `paths` at the front of sys.path (in order) and put all of them
    in front of PYTHONPATH.
    """

def _clean_sim_build(project_root: str | os.PathLike[str], sim: str, *, build_dir: str | os.PathLike[str] | None = None) -> None:
    """
    Remove <project_root>/sim_build_<sim> (or `build_dir`), keeping its wave.do byte for
    byte, under the directory's lock. ValueError, before anything is removed, for a `sim`
    that is not a plain name or a directory that is not strictly below the project root.
    """

def _parse_run_args(argv: Iterable[str] | None = None) -> argparse.Namespace:
    """
    Parse the option -g (debug) from `argv` or the process's arguments; -h prints the
    usage and exits 0, anything else is a usage error (exit status 2).
    """
