// src/corvane/sim/runners/quessel_sources.hpp: the generated source list and original-file
// substitution.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane::quessel {

namespace nb = nanobind;

/// `path` as a Path; a relative one joined to `project_root`. No normalisation, no existence check.
nb::object resolve_path(nb::handle project_root, nb::handle path);

/// The *.v / *.sv / *.vo entries of the report's top-level "file" elements that `simulator`
/// (None: $SIM, default "questa") can read, in document order, joined to the report's
/// directory. An entry with a `simulator` attribute must name it ("modelsim" for Questa); for a
/// simulator without copies of its own such entries and *_ENCRYPT ones are left out.
nb::list spd_hdl_sources(nb::handle spd_path, nb::handle simulator);

/// (sources, retained_generated): each generated file replaced by its identical original when
/// there is one (the copy deleted), de-duplicated by resolved path. With `output_dir`, only
/// copies inside that directory are deleted.
nb::tuple use_original_sources(nb::handle project_root, nb::handle source_dirs,
                               nb::handle generated_sources, nb::handle output_dir);

}  // namespace corvane::quessel
