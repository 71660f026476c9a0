// src/corvane/sim/runners/quessel_cli.cpp: the entry of per-test scripts and its helpers.
#include "quessel_cli.hpp"

#include <string>

#include "common/cocotb_runner.hpp"
#include "common/errors.hpp"
#include "common/lock.hpp"
#include "common/py.hpp"
#include "quessel_util.hpp"

namespace corvane::quessel {

namespace {

/// Whether the environment has `name`, whatever its value (which may not even decode as UTF-8).
bool env_has(const char* name) {
    int present = PySequence_Contains(py::attr("os", "environ").ptr(), nb::str(name).ptr());
    if (present < 0) {
        throw nb::python_error();
    }
    return present != 0;
}

/// The component parameters: given ones win; otherwise from `config` (an object with
/// to_parameters(), a mapping or name-value pairs), or none.
nb::object component_parameters_of(nb::handle component_parameters, nb::handle config) {
    if (!component_parameters.is_none()) {
        return nb::borrow(component_parameters);
    }
    if (config.is_none()) {
        return nb::dict();
    }
    if (nb::hasattr(config, "to_parameters")) {
        return config.attr("to_parameters")();
    }
    return py::attr("builtins", "dict")(config);
}

}  // namespace

void run_quessel_test(const RunRequest& request) {
    nb::object project_root = py::path(request.project_root);
    // SIM names the cleaned directory and the compile log: checked before anything changes.
    nb::object sim = sim_from_environment();
    if (!env_has("COCOTB_ANSI_OUTPUT")) {
        py::setenv("COCOTB_ANSI_OUTPUT", "1");
    }
    py::unsetenv("NO_COLOR");
    if (py::truthy(request.enable_questa_acc) && !env_has("QUESTA_ACC")) {
        py::setenv("QUESTA_ACC", "1");
    }

    nb::object args = own("_parse_run_args")();
    nb::object debug = request.debug.is_none() ? args.attr("debug") : nb::borrow(request.debug);
    nb::object component_parameters =
        component_parameters_of(request.component_parameters, request.config);

    nb::object resolve = own("_resolve_path");
    nb::list python_paths;
    for (nb::handle path : request.python_paths) {
        python_paths.append(resolve(project_root, path));
    }
    own("_prepend_python_paths")(python_paths);

    // A run with a build directory of its own keeps its logs there too, so that runs in
    // parallel never write one log.
    nb::object log_dir =
        request.build_dir.is_none()
            ? join(project_root, nb::str("logs"))
            : join(join(project_root, py::path(request.build_dir)), nb::str("logs"));
    if (py::truthy(request.clean_build)) {
        if (request.build_dir.is_none()) {
            own("_clean_sim_build")(project_root, sim);
        } else {
            own("_clean_sim_build")(project_root, sim, nb::arg("build_dir") = request.build_dir);
        }
    }
    nb::object test_module = nb::borrow(request.test_module);
    if (!request.test_module_env.is_none()) {
        test_module = py::attr("os", "environ").attr("get")(request.test_module_env, test_module);
    }

    nb::dict kwargs;
    kwargs["project_root"] = project_root;
    kwargs["component_file"] = request.component_file;
    kwargs["hdl_toplevel"] = request.hdl_toplevel;
    kwargs["test_module"] = test_module;
    kwargs["source_dirs"] = request.source_dirs;
    kwargs["component_parameters"] = component_parameters;
    kwargs["project_directory"] = request.project_directory;
    kwargs["debug"] = debug;
    kwargs["generate_only"] = request.generate_only;
    kwargs["ip_generate_log"] = join(log_dir, nb::str("ip_generate.log"));
    kwargs["compile_log"] = join(log_dir, cat({sim, nb::str("_compile.log")}));
    kwargs["retain_generated"] = request.retain_generated;
    if (!request.build_dir.is_none()) {
        kwargs["build_dir"] = request.build_dir;
    }
    for (auto [name, value] : nb::borrow<nb::dict>(request.kwargs)) {
        if (kwargs.contains(name)) {
            raise(PyExc_TypeError,
                  "quessel_test_cocotb() got multiple values for keyword "
                  "argument '" +
                      py::str(name) + "'");
        }
        kwargs[name] = value;
    }
    call_kw(own("quessel_test_cocotb"), kwargs);
}

void prepend_python_paths(nb::handle paths) {
    nb::list path_strings;
    for (nb::handle path : paths) {
        path_strings.append(nb::str(py::path(path)));
    }
    nb::object sys_path = py::attr("sys", "path");
    for (Py_ssize_t i = static_cast<Py_ssize_t>(nb::len(path_strings)) - 1; i >= 0; --i) {
        nb::object entry = path_strings[i];
        int present = PySequence_Contains(sys_path.ptr(), entry.ptr());
        if (present < 0) {
            throw nb::python_error();
        }
        if (present == 0) {
            sys_path.attr("insert")(0, entry);
        }
    }
    // Kept as Python text: the old value may hold undecodable bytes (surrogate escapes).
    nb::object environ = py::attr("os", "environ");
    nb::object pythonpath = environ.attr("get")("PYTHONPATH", "");
    if (py::truthy(pythonpath)) {
        path_strings.append(pythonpath);
    }
    environ["PYTHONPATH"] = py::attr("os", "pathsep").attr("join")(path_strings);
}

void clean_sim_build(nb::handle project_root, nb::handle sim, nb::handle build_dir_arg) {
    checked_sim(sim);
    nb::object root = py::path(project_root);
    nb::object build_dir = build_dir_arg.is_none() ? join(root, cat({nb::str("sim_build_"), sim}))
                                                   : join(root, py::path(build_dir_arg));
    // Whatever the names say, only a directory strictly below the project root is removed
    // (links followed, so a link out of the project is refused too).
    nb::object resolved_root = root.attr("resolve")();
    nb::object resolved = build_dir.attr("resolve")();
    if (resolved.equal(resolved_root) ||
        !py::truthy(resolved.attr("is_relative_to")(resolved_root))) {
        raise_instance(nb::handle(PyExc_ValueError)(
            nb::str("Refusing to clean {}: it resolves to {}, which is not below the project "
                    "root {}; give a build_dir inside the project or clean_build=False")
                .format(build_dir, resolved, resolved_root)));
    }
    if (!py::truthy(build_dir.attr("parent").attr("is_dir")())) {
        return;  // nothing there to clean, and no place for the lock file
    }
    // No run may be building or testing in the directory while it is emptied.
    BuildLock lock(build_dir);
    // The Questa waveform set-up a user arranged by hand survives every clean.
    nb::object wave = join(build_dir, nb::str("wave.do"));
    nb::object held;
    if (py::truthy(wave.attr("is_file")())) {
        held = wave.attr("read_bytes")();
    }
    if (py::truthy(build_dir.attr("exists")())) {
        py::attr("shutil", "rmtree")(build_dir);
    }
    if (held.is_valid()) {
        wave.attr("parent").attr("mkdir")(nb::arg("parents") = true, nb::arg("exist_ok") = true);
        wave.attr("write_bytes")(held);
    }
}

nb::object parse_run_args(nb::handle argv) {
    nb::object parser = py::attr(
        "argparse", "ArgumentParser")(nb::arg("description") = "Run an Quessel cocotb simulation.");
    parser.attr("add_argument")("-g", nb::arg("dest") = "debug", nb::arg("action") = "store_true",
                                nb::arg("help") = "run simulator in GUI/debug mode");
    if (argv.is_none()) {
        return parser.attr("parse_args")();
    }
    return parser.attr("parse_args")(py::attr("builtins", "list")(argv));
}

}  // namespace corvane::quessel
