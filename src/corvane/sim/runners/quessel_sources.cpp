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

nb::list spd_hdl_sources(nb::handle spd_path, nb::handle simulator) {
    nb::object sim = simulator.is_none()
                         ? nb::object(py::attr("os", "environ").attr("get")("SIM", "questa"))
                         : nb::borrow(simulator);
    // The names a report gives the copies this simulator can read (Intel's per-vendor
    // encryptions); the others (Verilator, Icarus, ...) read no encrypted copy at all.
    nb::dict vendor_names;
    vendor_names["questa"] = nb::make_tuple("modelsim");
    vendor_names["riviera"] = nb::make_tuple("riviera");
    vendor_names["vcs"] = nb::make_tuple("vcs");
    vendor_names["xcelium"] = nb::make_tuple("ncsim", "xcelium");
    nb::object own_names = vendor_names.attr("get")(sim, nb::tuple());

    nb::object simulation_dir = py::path(spd_path).attr("parent");
    nb::object root = py::attr("xml.etree.ElementTree", "parse")(spd_path).attr("getroot")();
    nb::object pure_path = py::attr("pathlib", "PurePath");
    nb::list sources;
    for (nb::handle element : root) {
        if (!element.attr("tag").equal(nb::str("file"))) {
            continue;
        }
        // A "file" element without "path" is a broken report: KeyError, as for any mapping.
        nb::object attrib = element.attr("attrib");
        nb::object path = attrib["path"];
        std::string suffix = py::str(pure_path(path).attr("suffix").attr("lower")());
        if (suffix != ".v" && suffix != ".sv" && suffix != ".vo") {
            continue;
        }
        // Reports of encrypted IP list each file once per simulator, each copy readable by that
        // simulator only.
        nb::object listed = attrib.attr("get")("simulator");
        if (!listed.is_none()) {
            bool named = false;
            for (nb::handle name : listed.attr("split")(",")) {
                named = named || py::truthy(own_names.attr("__contains__")(name.attr("strip")()));
            }
            if (!named) {
                continue;
            }
        } else if (nb::len(own_names) == 0 &&
                   py::truthy(attrib.attr("get")("type", "").attr("endswith")("_ENCRYPT"))) {
            continue;
        }
        sources.append(join(simulation_dir, path));
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
