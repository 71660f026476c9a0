// src/corvane/sim/runners/quessel.cpp: bindings of the Quartus IP component test runner.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "common/py.hpp"
#include "quessel_cli.hpp"
#include "quessel_flow.hpp"
#include "quessel_hash.hpp"
#include "quessel_sources.hpp"
#include "quessel_tools.hpp"

namespace nb = nanobind;
namespace q = corvane::quessel;

namespace {

nb::object quessel_test_cocotb(nb::handle project_root, nb::handle component_file,
                               const std::string& hdl_toplevel, nb::handle test_module,
                               nb::handle source_dirs, nb::handle component_parameters,
                               nb::handle project_directory, nb::handle part,
                               nb::handle quartus_model_files, nb::handle debug,
                               nb::handle generate_only, nb::handle ip_generate_log,
                               nb::handle compile_log, nb::handle retain_generated,
                               nb::handle make_ipx, nb::handle ipx_source_dirs,
                               nb::handle ip_search_paths, nb::handle build_dir) {
    return q::quessel_test_cocotb(
        {project_root, component_file, hdl_toplevel, test_module, source_dirs, component_parameters,
         project_directory, part, quartus_model_files, debug, generate_only, ip_generate_log,
         compile_log, retain_generated, make_ipx, ipx_source_dirs, ip_search_paths, build_dir});
}

void run_quessel_test(nb::handle project_root, nb::handle component_file, nb::handle hdl_toplevel,
                      nb::handle test_module, nb::handle config, nb::handle component_parameters,
                      nb::handle source_dirs, nb::handle project_directory,
                      nb::handle test_module_env, nb::handle python_paths, nb::handle debug,
                      nb::handle generate_only, nb::handle retain_generated, nb::handle clean_build,
                      nb::handle enable_questa_acc, nb::handle build_dir, nb::kwargs kwargs) {
    q::run_quessel_test({project_root, component_file, hdl_toplevel, test_module, config,
                         component_parameters, source_dirs, project_directory, test_module_env,
                         python_paths, debug, generate_only, retain_generated, clean_build,
                         enable_questa_acc, build_dir, kwargs});
}

nb::tuple use_original_sources(nb::handle project_root, nb::handle source_dirs,
                               nb::handle generated_sources, nb::handle output_dir) {
    return q::use_original_sources(project_root, source_dirs, generated_sources, output_dir);
}

}  // namespace

NB_MODULE(quessel, m) {
    m.doc() =
        "Generate an Intel IP component with the Quartus IP tools and run a cocotb test "
        "on it.";

    // Loading needs the RTL runner (not cocotb); the flow calls it through this module's
    // attribute so that it can be replaced.
    m.attr("rtl_test_cocotb") =
        nb::module_::import_("corvane.sim.runners.rtl").attr("rtl_test_cocotb");
    for (const char* name : {"argparse", "hashlib", "os", "shutil", "subprocess", "sys", "tempfile",
                             "xml.etree.ElementTree", "contextlib", "pathlib"}) {
        corvane::py::module(name);
    }

    m.def(
        "quessel_test_cocotb", &quessel_test_cocotb, nb::arg("project_root"),
        nb::arg("component_file"), nb::arg("hdl_toplevel"), nb::arg("test_module"),
        nb::arg("source_dirs") = nb::tuple(), nb::arg("component_parameters").none() = nb::none(),
        nb::arg("project_directory").none() = nb::none(), nb::arg("part").none() = nb::none(),
        nb::arg("quartus_model_files") = nb::make_tuple("220model.v", "altera_mf.v"),
        nb::arg("debug") = false, nb::arg("generate_only") = false,
        nb::arg("ip_generate_log").none() = nb::none(), nb::arg("compile_log").none() = nb::none(),
        nb::arg("retain_generated") = false, nb::arg("make_ipx") = true,
        nb::arg("ipx_source_dirs").none() = nb::none(), nb::arg("ip_search_paths") = nb::tuple(),
        nb::kw_only(), nb::arg("build_dir").none() = nb::none(),
        nb::sig("def quessel_test_cocotb(project_root: str | os.PathLike[str], "
                "component_file: str | os.PathLike[str], hdl_toplevel: str, test_module: str, "
                "source_dirs: collections.abc.Sequence[str | os.PathLike[str]] = (), "
                "component_parameters: collections.abc.Mapping[str, object] | None = None, "
                "project_directory: str | os.PathLike[str] | None = None, "
                "part: str | None = None, "
                "quartus_model_files: collections.abc.Sequence[str] = ..., debug: bool = False, "
                "generate_only: bool = False, "
                "ip_generate_log: str | os.PathLike[str] | None = None, "
                "compile_log: str | os.PathLike[str] | None = None, "
                "retain_generated: bool = False, make_ipx: bool = True, "
                "ipx_source_dirs: collections.abc.Sequence[str | os.PathLike[str]] | None = "
                "None, ip_search_paths: collections.abc.Sequence[str | os.PathLike[str]] = (), *, "
                "build_dir: str | os.PathLike[str] | None = None) -> pathlib.Path | None"),
        "Generate `component_file` with ip-make-ipx and ip-generate (SIM_VERILOG) into\n"
        "<project_root>/.ip_generate_<hdl_toplevel>_<suffix> (removed afterwards) or, with\n"
        "`retain_generated` or `generate_only`, into .ip_generate_<hdl_toplevel> (emptied\n"
        "first, kept). Generated files identical to files under `source_dirs` are replaced\n"
        "by those originals, the Quartus simulation models are put first, and the cocotb\n"
        "`test_module` runs through rtl_test_cocotb (with `build_dir` when one is given).\n"
        "Both Quartus tools run in process groups of their own. `quartus_model_files` (default\n"
        "220model.v and altera_mf.v) name the models in <quartus>/eda/sim_lib.\n\n"
        "`hdl_toplevel` must be a plain name (no path separators, not '.' or '..'):\n"
        "ValueError otherwise. Returns the output directory for `generate_only`, else None.\n"
        "Raises FileNotFoundError for a missing tool or model, CalledProcessError for a\n"
        "failing tool and lets the runner's SystemExit for failed tests through.");

    m.def("run_quessel_test", &run_quessel_test, nb::kw_only(), nb::arg("project_root"),
          nb::arg("component_file"), nb::arg("hdl_toplevel"), nb::arg("test_module"),
          nb::arg("config").none() = nb::none(),
          nb::arg("component_parameters").none() = nb::none(),
          nb::arg("source_dirs") = nb::make_tuple("../../src", "../../../common"),
          nb::arg("project_directory").none() = "../../..",
          nb::arg("test_module_env").none() = nb::none(),
          nb::arg("python_paths") = nb::make_tuple("..", "../../../common"),
          nb::arg("debug").none() = nb::none(), nb::arg("generate_only") = false,
          nb::arg("retain_generated") = false, nb::arg("clean_build") = true,
          nb::arg("enable_questa_acc") = false, nb::arg("build_dir").none() = nb::none(),
          nb::arg("kwargs"),
          nb::sig("def run_quessel_test(*, project_root: str | os.PathLike[str], "
                  "component_file: str | os.PathLike[str], hdl_toplevel: str, test_module: str, "
                  "config: object | None = None, "
                  "component_parameters: collections.abc.Mapping[str, object] | None = None, "
                  "source_dirs: collections.abc.Sequence[str | os.PathLike[str]] = "
                  "('../../src', '../../../common'), "
                  "project_directory: str | os.PathLike[str] | None = '../../..', "
                  "test_module_env: str | None = None, "
                  "python_paths: collections.abc.Sequence[str | os.PathLike[str]] = "
                  "('..', '../../../common'), debug: bool | None = None, "
                  "generate_only: bool = False, retain_generated: bool = False, "
                  "clean_build: bool = True, enable_questa_acc: bool = False, "
                  "build_dir: str | os.PathLike[str] | None = None, **kwargs: object) -> None"),
          "Entry of a per-test script: set COCOTB_ANSI_OUTPUT=1 (unless set), drop NO_COLOR,\n"
          "with `enable_questa_acc` set QUESTA_ACC=1 (unless set); read the option -g\n"
          "(`debug` None takes it from there); prepend `python_paths` to sys.path and\n"
          "PYTHONPATH; clean sim_build_$SIM (keeping wave.do) when `clean_build`; take the\n"
          "test module from $`test_module_env` when that is set; then call\n"
          "quessel_test_cocotb with logs/ip_generate.log and logs/<SIM>_compile.log and every\n"
          "further keyword. Component parameters come from `component_parameters`, else from\n"
          "`config` (to_parameters(), a mapping or pairs).\n\n"
          "`build_dir` (relative to `project_root`) replaces sim_build_$SIM, and the logs then\n"
          "go to <build_dir>/logs: runs meant to go in parallel keep apart. $SIM must be a plain\n"
          "name (ValueError before anything changes); -h prints the usage.");

    m.def("_resolve_path", &q::resolve_path, nb::arg("project_root"), nb::arg("path"),
          nb::sig("def _resolve_path(project_root: str | os.PathLike[str], "
                  "path: str | os.PathLike[str]) -> pathlib.Path"),
          "`path` as a Path; a relative one joined to `project_root` (not normalised).");

    m.def("_hash_file", &q::hash_file, nb::arg("path"),
          nb::sig("def _hash_file(path: str | os.PathLike[str]) -> bytes"),
          "The raw 32-byte SHA-256 digest of the file's content, read 1 MiB at a time.");

    m.def("_original_source_index", &q::original_source_index, nb::arg("project_root"),
          nb::arg("source_dirs"),
          nb::sig("def _original_source_index(project_root: str | os.PathLike[str], "
                  "source_dirs: collections.abc.Iterable[str | os.PathLike[str]]) "
                  "-> dict[bytes, pathlib.Path]"),
          "Digest -> first file with that content: source directories in order, per directory\n"
          "the sorted *.v files (recursively) before the sorted *.sv files.");

    m.def("_spd_hdl_sources", &q::spd_hdl_sources, nb::arg("spd_path"), nb::kw_only(),
          nb::arg("simulator").none() = nb::none(),
          nb::sig("def _spd_hdl_sources(spd_path: str | os.PathLike[str], *, "
                  "simulator: str | None = None) -> list[pathlib.Path]"),
          "The .v/.sv/.vo paths of the report's top-level <file path=...> elements, in order,\n"
          "joined to the report's directory, that `simulator` (None: $SIM, default \"questa\")\n"
          "can read: an entry with a simulator=\"a,b\" attribute must name it (\"modelsim\" for\n"
          "Questa); Verilator, Icarus and the like take no such entry and no *_ENCRYPT one.");

    m.def("_use_original_sources", &use_original_sources, nb::arg("project_root"),
          nb::arg("source_dirs"), nb::arg("generated_sources"), nb::kw_only(),
          nb::arg("output_dir").none() = nb::none(),
          nb::sig("def _use_original_sources(project_root: str | os.PathLike[str], "
                  "source_dirs: collections.abc.Iterable[str | os.PathLike[str]], "
                  "generated_sources: collections.abc.Iterable[str | os.PathLike[str]], *, "
                  "output_dir: str | os.PathLike[str] | None = None) "
                  "-> tuple[list[pathlib.Path], list[pathlib.Path]]"),
          "(sources, retained_generated): every generated file identical to a file under\n"
          "`source_dirs` is replaced by that original and deleted; the others are retained.\n"
          "Sources are de-duplicated by resolved path. With `output_dir`, a copy outside that\n"
          "directory (a report may name any absolute path) is replaced but never deleted.");

    m.def("_quartus_sim_sources", &q::quartus_sim_sources, nb::arg("ip_generate"),
          nb::arg("model_files"),
          nb::sig("def _quartus_sim_sources(ip_generate: str | os.PathLike[str], "
                  "model_files: collections.abc.Sequence[str]) -> list[pathlib.Path]"),
          "<quartus root>/eda/sim_lib/<name> for each model file, the root being three levels\n"
          "above the resolved `ip_generate`. FileNotFoundError names the first missing one.");

    m.def("_remove_empty_directories", &q::remove_empty_directories, nb::arg("root"),
          nb::sig("def _remove_empty_directories(root: str | os.PathLike[str]) -> None"),
          "Remove every empty directory below `root`, deepest first; `root` itself and links to\n"
          "directories stay.");

    m.def("_clean_directory", &q::clean_directory, nb::arg("path"),
          nb::sig("def _clean_directory(path: str | os.PathLike[str]) -> None"),
          "Make `path` an existing, empty directory (a link there is removed, not followed).");

    m.def("_run_command", &q::run_command, nb::arg("command"), nb::arg("cwd"),
          nb::arg("log_path").none() = nb::none(), nb::arg("append_log") = false,
          nb::sig("def _run_command(command: collections.abc.Sequence[str | "
                  "os.PathLike[str]], cwd: str | os.PathLike[str], "
                  "log_path: str | os.PathLike[str] | None = None, append_log: bool = False) "
                  "-> None"),
          "Run `command` in `cwd`. With `log_path` the log gets \"Command: ...\", an empty line\n"
          "and the combined output (appended with `append_log`), and a failure prints\n"
          "\"Command failed, see <log>\". A non-zero exit raises subprocess.CalledProcessError.");

    m.def("_make_ipx", &q::make_ipx, nb::arg("project_root"), nb::arg("source_dirs"),
          nb::arg("output_dir"), nb::arg("log_path").none() = nb::none(),
          nb::arg("append_log") = false,
          nb::sig("def _make_ipx(project_root: str | os.PathLike[str], "
                  "source_dirs: collections.abc.Sequence[str | os.PathLike[str]], "
                  "output_dir: str | os.PathLike[str], "
                  "log_path: str | os.PathLike[str] | None = None, append_log: bool = False) "
                  "-> pathlib.Path | None"),
          "Index `source_dirs` with ip-make-ipx into <output_dir>/components.ipx and return\n"
          "its path; None when there are no source directories.");

    m.def("_prepend_python_paths", &q::prepend_python_paths, nb::arg("paths"),
          nb::sig("def _prepend_python_paths(paths: collections.abc.Iterable[str | "
                  "os.PathLike[str]]) -> None"),
          "Insert the missing `paths` at the front of sys.path (in order) and put all of them\n"
          "in front of PYTHONPATH.");

    m.def("_clean_sim_build", &q::clean_sim_build, nb::arg("project_root"), nb::arg("sim"),
          nb::kw_only(), nb::arg("build_dir").none() = nb::none(),
          nb::sig("def _clean_sim_build(project_root: str | os.PathLike[str], sim: str, *, "
                  "build_dir: str | os.PathLike[str] | None = None) -> None"),
          "Remove <project_root>/sim_build_<sim> (or `build_dir`), keeping its wave.do byte for\n"
          "byte, under the directory's lock. ValueError, before anything is removed, for a `sim`\n"
          "that is not a plain name or a directory that is not strictly below the project root.");

    m.def("_parse_run_args", &q::parse_run_args, nb::arg("argv").none() = nb::none(),
          nb::sig("def _parse_run_args(argv: collections.abc.Iterable[str] | None = None) "
                  "-> argparse.Namespace"),
          "Parse the option -g (debug) from `argv` or the process's arguments; -h prints the\n"
          "usage and exits 0, anything else is a usage error (exit status 2).");

    q::set_native_hash_file(m.attr("_hash_file"));
}
