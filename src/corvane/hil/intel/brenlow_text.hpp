// src/corvane/hil/intel/brenlow_text.hpp: leaf text handling of the console line protocol.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::brenlow {

namespace nb = nanobind;

/// The UTF-8 form of a Python str, valid while `text` lives (raises TypeError for a non-str).
std::string_view utf8(nb::handle text);

/// The rest of `line` after `keyword` and a tab; nullopt when `line` does not start that way.
std::optional<std::string_view> after_keyword(std::string_view line, std::string_view keyword);

/// True when the str `text` holds a tab, a carriage return or a newline.
bool has_line_break_or_tab(nb::handle text);

/// `line` split at every tab (n tabs give n + 1 fields).
std::vector<std::string_view> split_tabs(std::string_view line);

/// Lowercase hexadecimal, two digits a byte, no separators.
std::string hex_encode(std::string_view bytes);

}  // namespace corvane::brenlow
