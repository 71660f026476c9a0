// src/corvane/sim/pelorin_posix.hpp: POSIX path texts exactly as pathlib.PurePosixPath forms them.
//
// The source list of a large system resolves tens of thousands of names; doing that on texts
// instead of path objects keeps the parser near the cost of reading the files. Only used on POSIX
// hosts, where these rules are the host's.
#pragma once

#include <string>
#include <string_view>

namespace corvane::pelorin {

/// str(PurePosixPath(text)): empty and "." components dropped, "//" kept as a root only when it
/// is exactly two slashes, "." for nothing.
std::string posix_normalize(std::string_view text);

/// posixpath.join(base, tail): an absolute tail replaces the base.
std::string posix_join(std::string_view base, std::string_view tail);

/// PurePosixPath(normalized).name for a text that `posix_normalize` produced.
std::string_view posix_name(std::string_view normalized);

/// str(_path_from_msim(value)) on a POSIX host: backslashes become slashes and X:/rest becomes
/// /mnt/x/rest.
std::string posix_from_msim(std::string_view value);

}  // namespace corvane::pelorin
