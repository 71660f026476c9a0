// src/corvane/sim/pelorin_text.hpp: the set-up script's text rules that no host library has.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane::pelorin {

using Settings = std::vector<std::pair<std::string, std::string>>;

/// Replaces whole references to each setting, in order: "${NAME}", then "$NAME" where NAME is
/// not followed by another identifier character. Text a value brings in is not rescanned for
/// the same name, but later settings do see it.
std::string substitute_references(std::string_view path, const Settings& settings);

/// True when version directory name `a` sorts before `b` newest first: digit runs compare as
/// numbers and other runs as text, token by token; equal keys fall back to plain text, also
/// newest (largest) first.
bool newer_version_first(std::string_view a, std::string_view b);

}  // namespace corvane::pelorin
