// src/corvane/sim/runners/quessel_sources.hpp: the generated source list and original-file
// substitution.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane::quessel {

namespace nb = nanobind;

/// `path` as a Path; a relative one joined to `project_root`. No normalisation, no existence check.
nb::object resolve_path(nb::handle project_root, nb::handle path);

/// The *.v / *.sv entries of the report's top-level "file" elements, in document order, joined to
/// the report's directory.
nb::list spd_hdl_sources(nb::handle spd_path);

/// (sources, retained_generated): each generated file replaced by its identical original when
/// there is one (the copy deleted), de-duplicated by resolved path. With `output_dir`, only
/// copies inside that directory are deleted.
nb::tuple use_original_sources(nb::handle project_root, nb::handle source_dirs,
                               nb::handle generated_sources, nb::handle output_dir);

}  // namespace corvane::quessel
