// src/corvane/sim/runners/quessel_hash.hpp: file digests and the index of the project's originals.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane::quessel {

namespace nb = nanobind;

/// Bytes per read when hashing: large HDL files are never held in memory whole.
inline constexpr std::size_t kHashReadSize = 1048576;

/// The raw 32-byte SHA-256 digest of the file's whole content; OSError subclasses as open()
/// raises them.
nb::bytes hash_file(nb::handle path);

/// Digest -> first path with that content over `source_dirs` (resolved against `project_root`),
/// each directory's sorted *.v files before its sorted *.sv files.
nb::dict original_source_index(nb::handle project_root, nb::handle source_dirs);

/// Remember the bound `_hash_file`: while the module attribute is still that object the index
/// hashes natively on several threads; a replaced `_hash_file` is called file by file instead.
void set_native_hash_file(nb::handle function);

}  // namespace corvane::quessel
