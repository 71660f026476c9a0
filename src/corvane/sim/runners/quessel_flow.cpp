// src/corvane/sim/runners/quessel_flow.cpp: one component test: generate, substitute originals,
// simulate.
#include "quessel_flow.hpp"

#include <string>

#include "common/errors.hpp"
#include "common/py.hpp"
#include "quessel_tools.hpp"
#include "quessel_util.hpp"

namespace corvane::quessel {

namespace {

/// The top-level name becomes a directory name below the project root that is emptied or
/// removed; anything but one plain path component could point that at the user's own files.
void check_toplevel(const std::string& name) {
    bool plain =
        !name.empty() && name != "." && name != ".." && name.find('\0') == std::string::npos;
    for (const char* separator : {"sep", "altsep"}) {
        nb::object value = py::attr("os", separator);
        if (!value.is_none() && name.find(py::str(value)) != std::string::npos) {
            plain = false;
        }
    }
    if (!plain) {
        nb::object shown = nb::repr(text(name));
        raise(PyExc_ValueError,
              "hdl_toplevel must be a single plain name (no path separator, not '.' or '..'): " +
                  py::str(shown));
    }
}

/// What the generation sequence hands back for the report and the simulation.
struct Generated {
    nb::object sources;
    nb::object retained_generated;
};

/// Generate into `output_dir`, read the report, substitute originals and put the Quartus models
/// first.
Generated generate(const TestRequest& request, nb::handle project_root, nb::handle component_file,
                   nb::handle project_directory, nb::handle ip_generate,
                   nb::handle component_parameters, nb::handle output_dir, nb::handle log) {
    const std::string& top = request.hdl_toplevel;
    nb::object spd_path = join(output_dir, text(top + ".spd"));
    join(output_dir, nb::str("submodules")).attr("mkdir")();
    bool log_has_content = false;
    if (!log.is_none()) {
        // Flushed: generation can take minutes with everything else going to the log.
        print_line(cat({nb::str("IP generation log: "), log}), true);
    }

    nb::object resolve = own("_resolve_path");
    nb::list search_paths;
    for (nb::handle path : request.ip_search_paths) {
        search_paths.append(resolve(project_root, path));
    }
    if (py::truthy(request.make_ipx)) {
        nb::handle ipx_dirs =
            request.ipx_source_dirs.is_none() ? request.source_dirs : request.ipx_source_dirs;
        nb::object ipx_path =
            own("_make_ipx")(project_root, ipx_dirs, output_dir, nb::arg("log_path") = log,
                             nb::arg("append_log") = log_has_content);
        if (!ipx_path.is_none()) {
            log_has_content = true;
            search_paths.insert(0, ipx_path);
        }
    }

    nb::list command;
    command.append(ip_generate);
    command.append(cat({nb::str("--component-file="), component_file}));
    command.append(cat({nb::str("--project-directory="), project_directory}));
    command.append(cat({nb::str("--output-directory="), output_dir}));
    command.append("--file-set=SIM_VERILOG");
    command.append(text("--output-name=" + top));
    command.append("--remove-qsys-generate-warning");
    command.append(cat({nb::str("--report-file=spd:"), spd_path}));
    if (!request.part.is_none()) {
        command.append(cat({nb::str("--part="), request.part}));
    }
    if (nb::len(search_paths) > 0) {
        nb::list texts;
        for (nb::handle path : search_paths) {
            texts.append(nb::str(path));
        }
        texts.append("$");
        command.append(cat({nb::str("--search-path="), nb::str(",").attr("join")(texts)}));
    }
    for (nb::handle item : component_parameters.attr("items")()) {
        command.append(cat({nb::str("--component-parameter="), item[0], nb::str("="), item[1]}));
    }
    own("_run_command")(command, nb::arg("cwd") = project_root, nb::arg("log_path") = log,
                        nb::arg("append_log") = log_has_content);

    nb::object generated_sources = own("_spd_hdl_sources")(
        spd_path, nb::arg("simulator") = py::attr("os", "environ").attr("get")("SIM", "questa"));
    spd_path.attr("unlink")();
    nb::object substituted = own("_use_original_sources")(
        project_root, request.source_dirs, generated_sources, nb::arg("output_dir") = output_dir);
    nb::object collected = substituted[0];
    nb::object retained_generated = substituted[1];
    own("_remove_empty_directories")(output_dir);

    nb::list sources;
    for (nb::handle model : own("_quartus_sim_sources")(ip_generate, request.quartus_model_files)) {
        sources.append(model);
    }
    for (nb::handle source : collected) {
        sources.append(source);
    }
    return {sources, retained_generated};
}

/// The generation summary: to the console, or appended to the log after an empty line.
void report(nb::handle lines, nb::handle log) {
    if (log.is_none()) {
        for (nb::handle line : lines) {
            print_line(line);
        }
        return;
    }
    FileCloser file(open_log(log, "a"));
    file.get().attr("write")("\n");
    for (nb::handle line : lines) {
        file.get().attr("write")(cat({line, nb::str("\n")}));
    }
    file.close();
}

/// Remove a temporary output directory while `error` is on its way out; an error of the removal
/// itself is raised with `error` as its context, as a `with` block would.
void cleanup_after(nb::handle temporary, nb::python_error& error) {
    try {
        temporary.attr("cleanup")();
    } catch (nb::python_error& cleanup_error) {
        PyException_SetContext(cleanup_error.value().ptr(), error.value().inc_ref().ptr());
        throw;
    }
}

}  // namespace

nb::object quessel_test_cocotb(const TestRequest& request) {
    check_toplevel(request.hdl_toplevel);
    const std::string& top = request.hdl_toplevel;
    nb::object project_root = py::path(request.project_root);
    nb::object resolve = own("_resolve_path");
    nb::object component_file = resolve(project_root, request.component_file);
    nb::object project_directory = request.project_directory.is_none()
                                       ? project_root
                                       : resolve(project_root, request.project_directory);
    nb::object ip_generate = find_ip_generate();
    nb::object component_parameters = request.component_parameters.is_none()
                                          ? nb::object(nb::dict())
                                          : nb::borrow(request.component_parameters);
    const bool generate_only = py::truthy(request.generate_only);
    const bool keep_generated = generate_only || py::truthy(request.retain_generated);

    nb::object output_dir;
    nb::object temporary;  // the TemporaryDirectory while the output is not kept
    if (keep_generated) {
        output_dir = join(project_root, text(".ip_generate_" + top));
        own("_clean_directory")(output_dir);
    } else {
        temporary = py::attr("tempfile", "TemporaryDirectory")(
            nb::arg("prefix") = text(".ip_generate_" + top + "_"), nb::arg("dir") = project_root);
        output_dir = py::path(temporary.attr("name"));
    }

    try {
        nb::object log =
            request.ip_generate_log.is_none() ? nb::none() : py::path(request.ip_generate_log);
        Generated generated = generate(request, project_root, component_file, project_directory,
                                       ip_generate, component_parameters, output_dir, log);

        nb::str directory_line = cat({nb::str("Generated output directory: "), output_dir});
        nb::list lines;
        lines.append(keep_generated ? "Retained generated composition HDL:"
                                    : "Temporary generated composition HDL:");
        for (nb::handle path : generated.retained_generated) {
            lines.append(cat({nb::str("   "), path}));
        }
        if (keep_generated) {
            lines.append(directory_line);
        }
        report(lines, log);

        if (generate_only) {
            print_line(directory_line, true);
            return output_dir;
        }

        nb::dict kwargs;
        kwargs["project_root"] = project_root;
        kwargs["hdl_toplevel"] = text(top);
        kwargs["test_module"] = request.test_module;
        kwargs["sources"] = generated.sources;
        kwargs["debug"] = request.debug;
        kwargs["compile_log"] = request.compile_log;
        if (!request.build_dir.is_none()) {
            kwargs["build_dir"] = request.build_dir;
        }
        call_kw(own("rtl_test_cocotb"), kwargs);
    } catch (nb::python_error& error) {
        if (temporary.is_valid()) {
            cleanup_after(temporary, error);
        }
        throw;
    } catch (...) {
        if (temporary.is_valid()) {
            try {
                temporary.attr("cleanup")();
            } catch (nb::python_error& cleanup_error) {
                cleanup_error.discard_as_unraisable("removing a temporary generation directory");
            }
        }
        throw;
    }
    if (temporary.is_valid()) {
        temporary.attr("cleanup")();
    }
    return nb::none();
}

}  // namespace corvane::quessel
