// src/corvane/sim/runners/quessel_sources.cpp: the generated source list and original-file
// substitution.
#include "quessel_sources.hpp"

#include "common/py.hpp"
#include "quessel_util.hpp"

namespace corvane::quessel {

namespace {

/// Whether the entry `generated` lies inside `directory` (already resolved), its own directory
/// with symbolic links resolved. A report may name any absolute path; only what the generation
/// wrote below its own directory is ours to delete. The file's own name is kept unresolved: a
/// link the generation left there is its entry (unlinking it removes the link, never its target).
bool inside(nb::handle generated, nb::handle directory) {
    nb::object file = join(generated.attr("parent").attr("resolve")(), generated.attr("name"));
    return py::truthy(file.attr("is_relative_to")(directory)) && !file.equal(directory);
}

}  // namespace

nb::object resolve_path(nb::handle project_root, nb::handle path) {
    nb::object candidate = py::path(path);
    if (py::truthy(candidate.attr("is_absolute")())) {
        return candidate;
    }
    return join(py::path(project_root), candidate);
}

nb::list spd_hdl_sources(nb::handle spd_path) {
    nb::object simulation_dir = py::path(spd_path).attr("parent");
    nb::object root = py::attr("xml.etree.ElementTree", "parse")(spd_path).attr("getroot")();
    nb::object pure_path = py::attr("pathlib", "PurePath");
    nb::list sources;
    for (nb::handle element : root) {
        if (!element.attr("tag").equal(nb::str("file"))) {
            continue;
        }
        // A "file" element without "path" is a broken report: KeyError, as for any mapping.
        nb::object path = element.attr("attrib")["path"];
        std::string suffix = py::str(pure_path(path).attr("suffix").attr("lower")());
        if (suffix == ".v" || suffix == ".sv") {
            sources.append(join(simulation_dir, path));
        }
    }
    return sources;
}

nb::tuple use_original_sources(nb::handle project_root, nb::handle source_dirs,
                               nb::handle generated_sources, nb::handle output_dir) {
    nb::object originals = own("_original_source_index")(project_root, source_dirs);
    nb::object hash = own("_hash_file");
    nb::list sources;
    nb::list retained_generated;
    nb::set seen_sources;
    nb::object deletable_below =
        output_dir.is_none() ? nb::none() : py::path(output_dir).attr("resolve")();
    for (nb::handle entry : generated_sources) {
        // As a path, so that a text entry naming an original compares equal to it and is never
        // taken for a copy.
        nb::object generated = py::path(entry);
        nb::object source = originals.attr("get")(hash(generated), generated);
        if (!source.equal(generated)) {
            if (deletable_below.is_none() || inside(generated, deletable_below)) {
                generated.attr("unlink")();
            }
        } else {
            retained_generated.append(generated);
        }
        nb::object key = py::path(source).attr("resolve")();
        if (!seen_sources.contains(key)) {
            seen_sources.add(key);
            sources.append(source);
        }
    }
    return nb::make_tuple(sources, retained_generated);
}

}  // namespace corvane::quessel
