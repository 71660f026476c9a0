// src/corvane/sim/pelorin_scan.hpp: hand-written scanners for the set-up script's text patterns.
//
// Each scanner behaves exactly like one regular expression of Python's `re` applied to a `str`
// (findall order, multi-line `^`, Unicode `\s` and `\b`), but runs over UTF-8 text without
// building a regex engine: a system lists tens of thousands of files, and every one is scanned
// for its design units. The text must be valid UTF-8 (what `decode_text` or Python produces).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane::pelorin {

using Settings = std::vector<std::pair<std::string, std::string>>;

/// Bytes decoded as UTF-8 with undecodable bytes dropped (Python's errors="ignore"), then
/// "\r\n" and lone "\r" turned into "\n" as text-mode reading does.
std::string decode_text(std::string raw);

/// "\r\n" and lone "\r" turned into "\n".
std::string translate_newlines(std::string_view text);

/// `^\s*set\s+([A-Za-z0-9_]+)\s+(?:"([^"]*)"|(\S+))` (multi-line), every match in text order:
/// (name, quoted value without quotes, or the unquoted value).
Settings scan_set_variables(std::string_view text);

/// `-work\s+([A-Za-z0-9_]+)`, group 1 of every match in text order.
std::vector<std::string_view> scan_libraries(std::string_view text);

/// `"([^"]+\.(?:sv|v))"`, group 1 of every match in one line, in order.
std::vector<std::string_view> scan_quoted_sources(std::string_view line);

/// `^\s*(?:module|package|interface)\s+([A-Za-z_][A-Za-z0-9_]*)\b` (multi-line), group 1 of
/// every match in text order, appended to `out`.
void scan_design_units(std::string_view text, std::vector<std::string_view>& out);

/// The lines of `text` as Python's str.splitlines() gives them (terminators removed).
std::vector<std::string_view> split_lines(std::string_view text);

/// `^([A-Za-z]):/(.*)$` matched at the start (no multi-line): the drive letter and the rest.
std::optional<std::pair<char, std::string_view>> match_drive(std::string_view text);

/// Replaces whole references to each setting, in order: "${NAME}", then "$NAME" where NAME is
/// not followed by another identifier character. Text a value brings in is not rescanned for
/// the same name, but later settings do see it.
std::string substitute_references(std::string_view path, const Settings& settings);

/// True when version directory name `a` sorts before `b` newest first: digit runs compare as
/// numbers and other runs as text, token by token; equal keys fall back to plain text, also
/// newest (largest) first.
bool newer_version_first(std::string_view a, std::string_view b);

}  // namespace corvane::pelorin
