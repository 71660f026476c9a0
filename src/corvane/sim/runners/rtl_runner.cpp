// src/corvane/sim/runners/rtl_runner.cpp: build-and-test flow of plain RTL through cocotb's runner.
//
// cocotb_tools.runner is imported on the first call, never at module load, so importing this
// module works without cocotb; get_runner and get_results are looked up on it at every call so a
// test can replace them.
#include "rtl_runner.hpp"

#include "common/cocotb_runner.hpp"
#include "common/hdl.hpp"
#include "common/lock.hpp"
#include "common/py.hpp"

namespace corvane::rtl {

namespace {

constexpr const char* kRunnerModule = "cocotb_tools.runner";

/// `left / right` with pathlib's own semantics (an absolute right side replaces the left).
nb::object join(nb::handle left, nb::handle right) {
    return py::steal_checked(PyNumber_TrueDivide(left.ptr(), right.ptr()));
}

nb::list to_list(const std::vector<std::string>& items) {
    nb::list list;
    for (const std::string& item : items) {
        list.append(nb::str(item.data(), item.size()));
    }
    return list;
}

/// `sorted(directory.rglob(pattern))`, appended to `out`.
void append_sorted(nb::list& out, nb::handle directory, const char* pattern) {
    nb::object found = py::attr("builtins", "sorted")(directory.attr("rglob")(pattern));
    for (nb::handle path : found) {
        out.append(path);
    }
}

/// Call `fn(**kwargs)`; the dict keeps the documented argument order for whoever records it.
nb::object call_kw(nb::handle fn, nb::handle kwargs) {
    nb::object no_args = py::steal_checked(PyTuple_New(0));
    return py::steal_checked(PyObject_Call(fn.ptr(), no_args.ptr(), kwargs.ptr()));
}

// `os.environ.get(name, fallback)`, kept a Python str: an undecodable byte of the environment
// is a surrogate escape there, which has no UTF-8 form.
nb::object environ_get(const char* name, const char* fallback) {
    return py::attr("os", "environ").attr("get")(name, fallback);
}

bool is_text(nb::handle value, const char* text) {
    return value.equal(nb::str(text));
}

// Whether a `QUESTA_ACC` value asks for full design visibility: lower-cased, not trimmed.
bool acc_requested(nb::handle value) {
    nb::object lowered = value.attr("lower")();
    for (const char* word : {"1", "true", "yes", "on"}) {
        if (is_text(lowered, word)) {
            return true;
        }
    }
    return false;
}

void print_sources(nb::handle sources) {
    py::print("RTL sources:");
    nb::object print = py::attr("builtins", "print");
    for (nb::handle source : sources) {
        // Two print items, so the separator adds the third leading blank.
        print("  ", source);
    }
    // The simulator's own output follows on the same stream.
    py::flush_stdout();
}

}  // namespace

nb::list discover_sources(nb::handle project_root, nb::handle source_dirs) {
    nb::list found;
    for (nb::handle entry : source_dirs) {
        nb::object src_dir = join(project_root, entry);
        append_sorted(found, src_dir, "*.v");
        append_sorted(found, src_dir, "*.sv");
    }
    return found;
}

void rtl_test_cocotb(nb::handle project_root, nb::handle hdl_toplevel, nb::handle test_module,
                     nb::handle sources, nb::handle source_dirs, nb::handle parameters,
                     nb::handle debug, nb::handle compile_log, nb::handle build_dir_arg) {
    nb::object get_runner = py::attr(kRunnerModule, "get_runner");
    nb::object root = py::path(project_root);
    // Checked before anything is made: SIM becomes part of a directory name.
    nb::object sim = sim_from_environment();
    const Simulator kind = is_text(sim, "questa")      ? Simulator::questa
                           : is_text(sim, "verilator") ? Simulator::verilator
                                                       : Simulator::other;
    nb::object build_dir = build_dir_arg.is_none() ? join(root, nb::str("sim_build_{}").format(sim))
                                                   : join(root, py::path(build_dir_arg));

    nb::object given =
        sources.is_none() ? nb::object(discover_sources(root, source_dirs)) : nb::borrow(sources);
    nb::list source_paths;
    for (nb::handle source : given) {
        source_paths.append(py::path(source));
    }

    nb::object runner = get_runner(sim);
    adapt_runner(runner);
    nb::list build_args = to_list(build_args_for(kind));
    nb::object build_parameters =
        parameters.is_none() ? nb::object(nb::dict()) : nb::borrow(parameters);

    nb::object log_path;
    if (compile_log.is_none()) {
        print_sources(source_paths);
    } else {
        log_path = py::path(compile_log);
        log_path.attr("parent").attr("mkdir")(nb::arg("parents") = true,
                                              nb::arg("exist_ok") = true);
        // Flushed: the build that follows can run for minutes with its output in the log.
        py::attr("builtins", "print")(nb::str("{} compile log: {}").format(sim, log_path),
                                      nb::arg("flush") = true);
    }

    bool is_debug = py::truthy(debug);
    bool questa = kind == Simulator::questa;
    // One run at a time in a build directory, from the build to the results check: a run must
    // never test another's build or read its results.
    BuildLock lock(build_dir);

    nb::dict build_kwargs;
    build_kwargs["sources"] = runner_sources(source_paths);
    build_kwargs["hdl_toplevel"] = hdl_toplevel;
    build_kwargs["build_dir"] = build_dir;
    build_kwargs["always"] = true;
    build_kwargs["build_args"] = build_args;
    build_kwargs["parameters"] = build_parameters;
    if (is_debug && (kind == Simulator::verilator || is_text(sim, "icarus"))) {
        // Icarus and Verilator build the waveform dumping into the model; the other simulators
        // take it at the test step only (Xcelium even refuses it at the build).
        build_kwargs["waves"] = debug;
    }
    if (log_path.is_valid()) {
        build_kwargs["log_file"] = log_path;
    }
    call_kw(runner.attr("build"), build_kwargs);

    bool acc = questa && !is_debug && acc_requested(environ_get("QUESTA_ACC", "0"));
    nb::dict test_kwargs;
    test_kwargs["hdl_toplevel"] = hdl_toplevel;
    test_kwargs["test_module"] = test_module;
    test_kwargs["hdl_toplevel_lang"] = "verilog";
    test_kwargs["build_dir"] = build_dir;
    // Only Questa has a GUI worth opening; the others would look for an outside wave viewer.
    test_kwargs["gui"] = questa ? nb::borrow(debug) : nb::object(nb::bool_(false));
    test_kwargs["waves"] = debug;
    test_kwargs["test_args"] = to_list(test_args_for(kind, is_debug, acc));
    nb::object results_xml;
    {
        TestStep step(test_module);
        results_xml = call_kw(runner.attr("test"), test_kwargs);
    }

    // Through the module attribute, so a replaced check is the one that runs.
    py::attr("corvane.sim.runners.rtl", "_check_results")(results_xml);
}

}  // namespace corvane::rtl
