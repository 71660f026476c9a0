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

/// What a response line is to the request `request` ("READ", "WRITE" or "UART") that waits
/// for it: its answer (the end line of that transfer, the UART result, or an error line), a
/// progress line of a transfer, or any other line, which that request ignores.
enum class Line { answer, progress, other };
Line classify(std::string_view request, std::string_view line);

/// `line` split at every tab (n tabs give n + 1 fields).
std::vector<std::string_view> split_tabs(std::string_view line);

/// Lowercase hexadecimal, two digits a byte, no separators.
std::string hex_encode(std::string_view bytes);

}  // namespace corvane::brenlow
