// src/corvane/sim/pelorin_flows.cpp: the Questa and Verilator flows of a Platform Designer system.
//
// Every outside step (cocotb's runner, subprocess, print, the module's own helpers) is looked up
// when it is used, so tests and users can replace any of them.
#include "pelorin_flows.hpp"

#include "common/child.hpp"
#include "common/cocotb_runner.hpp"
#include "common/errors.hpp"
#include "common/hdl.hpp"
#include "common/lock.hpp"
#include "common/py.hpp"
#include "pelorin_msim.hpp"
#include "pelorin_util.hpp"
#include "pelorin_vhdl.hpp"

namespace corvane::pelorin {

namespace {

nb::object join(nb::handle path, const char* part) {
    return path.attr("__truediv__")(part);
}

nb::object get_runner() {
    return py::attr("cocotb_tools.runner", "get_runner");
}

/// The flow's build directory: `given` joined to the root, or the root's `fallback`.
nb::object build_dir_of(nb::handle root, nb::handle given, const char* fallback) {
    return given.is_none() ? join(root, fallback) : root.attr("__truediv__")(py::path(given));
}

/// `fn(*args)`, with build_dir= added only when the caller gave one.
nb::object call_with_build_dir(nb::handle fn, nb::handle args, nb::handle build_dir) {
    nb::dict kwargs;
    if (!build_dir.is_none()) {
        kwargs["build_dir"] = build_dir;
    }
    return fn(*args, **kwargs);
}

// Inside a Tcl double-quoted word `$`, `[` and `\` substitute and `"` ends the word; `]` is
// escaped too so that the word reads the same inside a bracketed command.
std::string tcl_quoted(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '$' || c == '[' || c == ']' || c == '"' || c == '\\') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    return out;
}

// A bare Tcl word: blanks and ";" split the command, braces and quotes open a quoted word, and
// `$`, `[`, `\` substitute. Each is written as a backslash sequence that stands for itself.
std::string tcl_word(std::string_view text) {
    if (text.empty()) {
        return "\"\"";  // an empty bare word would turn `set` into a read of the variable
    }
    std::string out;
    for (char c : text) {
        switch (c) {
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\v':
                out += "\\v";
                break;
            case '\f':
                out += "\\f";
                break;
            case ' ':
            case ';':
            case '$':
            case '[':
            case ']':
            case '\\':
            case '"':
            case '{':
            case '}':
                out.push_back('\\');
                out.push_back(c);
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

}  // namespace

std::string compile_do_text(std::string_view qsys_simdir, std::string_view hdl_toplevel) {
    std::string text;
    text += "\n";
    text += "set QSYS_SIMDIR \"" + tcl_quoted(qsys_simdir) + "\"\n";
    text += "set TOP_LEVEL_NAME " + tcl_word(hdl_toplevel) + "\n";
    text += "set USER_DEFINED_ELAB_OPTIONS \"-nocvg -voptargs=+acc -suppress 8630\"\n";
    text += "\n";
    // Without a handler `vsim -c` stops at a failing vlog and then waits at its prompt or exits
    // with status 0, so a broken compile would pass for a good one.
    text += "onerror {quit -f -code 1}\n";
    text += "source \"$QSYS_SIMDIR/mentor/msim_setup.tcl\"\n";
    text += "\n";
    text += "dev_com\n";
    text += "com\n";
    text += "\n";
    text += "quit -f\n";
    return text;
}

void platform_test_cocotb(nb::handle project_root, nb::handle hdl_toplevel, nb::handle test_module,
                          nb::handle debug, nb::handle build_dir) {
    // Kept a Python str: an undecodable byte of the environment is a surrogate escape there.
    nb::object sim = py::attr("os", "environ").attr("get")("SIM", "questa");
    nb::object args = nb::make_tuple(project_root, hdl_toplevel, test_module, debug);
    if (sim.equal(nb::str("verilator"))) {
        call_with_build_dir(collaborator("run_verilator"), args, build_dir);
    } else if (sim.equal(nb::str("questa"))) {
        call_with_build_dir(collaborator("run_questa"), args, build_dir);
    } else {
        raise_instance(nb::handle(PyExc_ValueError)(
            nb::str("Unsupported SIM={}; supported: questa, verilator").format(sim)));
    }
}

void compile_with_msim_setup(nb::handle project_root, nb::handle hdl_toplevel,
                             nb::handle build_dir_arg) {
    nb::object root = py::path(project_root);
    // vsim runs inside the build directory, where a relative project root would name nothing:
    // the do-file and the directory it hands to the set-up script are given absolute (an
    // absolute root stays exactly as written; symlinks are not resolved).
    nb::object qsys_simdir =
        py::path(collaborator("_platform_qsys_simdir")(root, hdl_toplevel)).attr("absolute")();
    nb::object build_dir = build_dir_of(root, build_dir_arg, "sim_build");
    // Only the build directory itself is created: a missing project root is the caller's error.
    build_dir.attr("mkdir")(nb::arg("exist_ok") = true);
    nb::object do_file = join(build_dir, "compile_ip.do");
    do_file.attr("write_text")(
        make_str(compile_do_text(utf8(qsys_simdir.attr("as_posix")()), utf8(hdl_toplevel))));
    nb::list command;
    command.append("vsim");
    command.append("-c");
    command.append("-do");
    command.append(py::attr("os", "fspath")(do_file.attr("absolute")()));
    nb::dict popen;
    popen["cwd"] = build_dir;
    // vsim is a wrapper script that starts the real simulator: its whole group goes on Ctrl-C.
    run_checked(command, popen);
}

void run_questa(nb::handle project_root, nb::handle hdl_toplevel, nb::handle test_module,
                nb::handle debug, nb::handle build_dir_arg) {
    nb::object runner_for = get_runner();
    nb::object root = py::path(project_root);
    nb::object build_dir = build_dir_of(root, build_dir_arg, "sim_build");
    // From the compile to the results check, one run at a time in this build directory.
    BuildLock lock(build_dir);
    py::setenv("COCOTB_LOG_LEVEL", "INFO");
    call_with_build_dir(collaborator("compile_with_msim_setup"), nb::make_tuple(root, hdl_toplevel),
                        build_dir_arg);
    nb::object runner = runner_for("questa");
    adapt_runner(runner);
    nb::object libraries = collaborator("get_msim_libraries")(
        collaborator("_platform_msim_setup")(root, hdl_toplevel));

    nb::list test_args;
    for (const char* arg : {"-nocvg", "-voptargs=+acc", "-suppress", "8630"}) {
        test_args.append(arg);
    }
    for (nb::handle library : libraries) {
        test_args.append("-L");
        test_args.append(library);
    }
    if (py::truthy(debug)) {
        test_args.append("-do");
        test_args.append("wave.do");
    }

    runner.attr("build")(nb::arg("sources") = nb::list(), nb::arg("hdl_toplevel") = hdl_toplevel,
                         nb::arg("build_dir") = build_dir, nb::arg("always") = false);
    nb::object library =
        py::steal_checked(PyNumber_Add(hdl_toplevel.ptr(), nb::str("_inst").ptr()));
    nb::object results_xml;
    {
        TestStep step(test_module);
        results_xml = runner.attr("test")(
            nb::arg("hdl_toplevel") = hdl_toplevel, nb::arg("hdl_toplevel_library") = library,
            nb::arg("test_module") = test_module, nb::arg("hdl_toplevel_lang") = "verilog",
            nb::arg("build_dir") = build_dir, nb::arg("gui") = debug, nb::arg("waves") = debug,
            nb::arg("test_args") = test_args);
    }
    collaborator("_check_results")(results_xml);
}

void run_verilator(nb::handle project_root, nb::handle hdl_toplevel, nb::handle test_module,
                   nb::handle debug, nb::handle build_dir_arg) {
    nb::object runner_for = get_runner();
    nb::object root = py::path(project_root);
    nb::object build_dir = build_dir_of(root, build_dir_arg, "sim_build_verilator");
    nb::object sources = collaborator("_msim_verilog_sources")(root, hdl_toplevel);

    nb::list include_dirs;
    for (nb::handle source : sources) {
        nb::object parent = source.attr("parent");
        if (!contains(include_dirs, parent)) {
            include_dirs.append(parent);
        }
    }
    nb::object print = py::attr("builtins", "print");
    print("Verilator sources:");
    for (nb::handle source : sources) {
        print("  ", source);
    }
    report_left_out_vhdl(root, hdl_toplevel, sources);
    // Verilator's own output follows on the same stream.
    py::flush_stdout();

    nb::object runner = runner_for("verilator");
    adapt_runner(runner);
    nb::list build_args;
    for (const char* arg : {"-Wno-fatal", "-Wno-PARAMNODEFAULT", "--bbox-unsup", "--timescale",
                            "1ps/1ps", "-CFLAGS", "-std=c++20"}) {
        build_args.append(arg);
    }
    for (nb::handle dir : include_dirs) {
        build_args.append(make_str("-I" + utf8(py::attr("os", "fspath")(dir))));
    }
    nb::dict build_kwargs;
    build_kwargs["sources"] = runner_sources(sources);
    build_kwargs["hdl_toplevel"] = hdl_toplevel;
    build_kwargs["build_dir"] = build_dir;
    build_kwargs["always"] = true;
    build_kwargs["build_args"] = build_args;
    if (py::truthy(debug)) {
        // Verilator's test step can trace only a model built with tracing.
        build_kwargs["waves"] = debug;
    }
    BuildLock lock(build_dir);
    runner.attr("build")(**build_kwargs);
    nb::object results_xml;
    {
        TestStep step(test_module);
        results_xml = runner.attr("test")(
            nb::arg("hdl_toplevel") = hdl_toplevel, nb::arg("test_module") = test_module,
            nb::arg("hdl_toplevel_lang") = "verilog", nb::arg("build_dir") = build_dir,
            nb::arg("waves") = debug);
    }
    collaborator("_check_results")(results_xml);
}

}  // namespace corvane::pelorin
