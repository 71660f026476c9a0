// src/corvane/sim/runners/quessel_tools.cpp: running the Quartus IP tools and keeping the output
// directory tidy.
#include "quessel_tools.hpp"

#include "common/child.hpp"
#include "common/errors.hpp"
#include "common/py.hpp"
#include "quessel_util.hpp"

namespace corvane::quessel {

namespace {

nb::object which(const char* name) {
    return py::attr("shutil", "which")(name);
}

}  // namespace

nb::object find_ip_generate() {
    nb::object found = which("ip-generate");
    if (found.is_none()) {
        raise(PyExc_FileNotFoundError, "ip-generate is not available on PATH");
    }
    return found;
}

void run_command(nb::handle command, nb::handle cwd, nb::handle log_path, nb::handle append_log) {
    // ip-generate and ip-make-ipx are wrapper scripts that start Java: each runs in a process
    // group of its own, ended whole on an interrupt.
    nb::dict popen;
    popen["cwd"] = cwd;
    if (log_path.is_none()) {
        run_checked(command, popen);
        return;
    }
    nb::object log = py::path(log_path);
    log.attr("parent").attr("mkdir")(nb::arg("parents") = true, nb::arg("exist_ok") = true);
    FileCloser file(open_log(log, py::truthy(append_log) ? "a" : "w"));
    nb::list header;
    header.append("Command:");
    for (nb::handle argument : command) {
        header.append(nb::str(argument));
    }
    file.get().attr("write")(cat({nb::str(" ").attr("join")(header), nb::str("\n\n")}));
    // The child writes straight to the descriptor: our header must be out before its output.
    file.get().attr("flush")();
    try {
        popen["stdout"] = file.get();
        popen["stderr"] = py::attr("subprocess", "STDOUT");
        run_checked(command, popen);
    } catch (nb::python_error& error) {
        if (error.matches(py::attr("subprocess", "CalledProcessError"))) {
            print_line(cat({nb::str("Command failed, see "), log}), true);
        }
        throw;
    }
    file.close();
}

nb::object make_ipx(nb::handle project_root, nb::handle source_dirs, nb::handle output_dir,
                    nb::handle log_path, nb::handle append_log) {
    if (!py::truthy(source_dirs)) {
        return nb::none();
    }
    nb::object program = which("ip-make-ipx");
    if (program.is_none()) {
        program = which("ip-make-ipx.exe");
    }
    if (program.is_none()) {
        raise(PyExc_FileNotFoundError, "ip-make-ipx is not available on PATH");
    }
    nb::object ipx_path = join(py::path(output_dir), nb::str("components.ipx"));
    nb::object resolve = own("_resolve_path");
    nb::list resolved;
    for (nb::handle source_dir : source_dirs) {
        resolved.append(nb::str(resolve(project_root, source_dir)));
    }
    nb::list command;
    command.append(program);
    command.append("--thorough-descent");
    command.append(cat({nb::str("--source-directory="), nb::str(",").attr("join")(resolved)}));
    command.append(cat({nb::str("--output="), ipx_path}));
    own("_run_command")(command, project_root, nb::arg("log_path") = log_path,
                        nb::arg("append_log") = append_log);
    return ipx_path;
}

nb::list quartus_sim_sources(nb::handle ip_generate, nb::handle model_files) {
    nb::list sources;
    if (!py::truthy(model_files)) {
        return sources;
    }
    nb::object quartus_root =
        py::path(ip_generate).attr("resolve")().attr("parent").attr("parent").attr("parent");
    nb::object sim_lib = join(join(quartus_root, nb::str("eda")), nb::str("sim_lib"));
    for (nb::handle name : model_files) {
        sources.append(join(sim_lib, name));
    }
    for (nb::handle source : sources) {
        if (!py::truthy(source.attr("exists")())) {
            raise_instance(nb::handle(PyExc_FileNotFoundError)(
                cat({nb::str("Missing Quartus simulation model: "), source})));
        }
    }
    return sources;
}

void remove_empty_directories(nb::handle root) {
    nb::object below = py::attr("builtins", "sorted")(py::path(root).attr("rglob")("*"),
                                                      nb::arg("reverse") = true);
    nb::object listdir = py::attr("os", "listdir");
    for (nb::handle path : below) {
        // A link to an empty directory is not a directory of ours (and rmdir refuses it).
        if (py::truthy(path.attr("is_dir")()) && !py::truthy(path.attr("is_symlink")()) &&
            nb::len(listdir(path)) == 0) {
            path.attr("rmdir")();
        }
    }
}

void clean_directory(nb::handle path) {
    nb::object directory = py::path(path);
    // A link is removed itself, never followed: its target is not ours to empty.
    if (py::truthy(directory.attr("is_symlink")())) {
        directory.attr("unlink")();
    } else if (py::truthy(directory.attr("is_dir")())) {
        py::attr("shutil", "rmtree")(directory);
    } else if (py::truthy(directory.attr("exists")())) {
        directory.attr("unlink")();
    }
    directory.attr("mkdir")(nb::arg("parents") = true, nb::arg("exist_ok") = true);
}

}  // namespace corvane::quessel
