// src/corvane/sim/pelorin_scan.cpp: hand-written scanners for the set-up script's text patterns.
#include "pelorin_scan.hpp"

#include <Python.h>

#include <algorithm>
#include <cstdint>

namespace corvane::pelorin {

namespace {

// --- UTF-8 -------------------------------------------------------------------------------------

unsigned char byte_at(std::string_view s, std::size_t i) {
    return static_cast<unsigned char>(s[i]);
}

// Length of the valid sequence starting at `i`, or the length of its maximal valid prefix as a
// negative number (at least -1): Python's decoder drops exactly that prefix and resumes at the
// byte that broke the sequence, which may start a valid character itself.
int sequence_length(std::string_view s, std::size_t i) {
    const unsigned char b = byte_at(s, i);
    if (b < 0x80) {
        return 1;
    }
    int need;
    unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        need = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 3;
        if (b == 0xE0) {
            lo = 0xA0;
        } else if (b == 0xED) {
            hi = 0x9F;  // no surrogates
        }
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 4;
        if (b == 0xF0) {
            lo = 0x90;
        } else if (b == 0xF4) {
            hi = 0x8F;
        }
    } else {
        return -1;
    }
    for (int k = 1; k < need; ++k) {
        if (i + k >= s.size()) {
            return -k;
        }
        const unsigned char c = byte_at(s, i + k);
        const bool ok = k == 1 ? (c >= lo && c <= hi) : (c >= 0x80 && c <= 0xBF);
        if (!ok) {
            return -k;
        }
    }
    return need;
}

// Code point at `i` of valid UTF-8 text; `len` receives its byte length.
std::uint32_t code_point(std::string_view s, std::size_t i, std::size_t& len) {
    const unsigned char b = byte_at(s, i);
    if (b < 0x80) {
        len = 1;
        return b;
    }
    if (b < 0xE0) {
        len = 2;
        return ((b & 0x1Fu) << 6) | (byte_at(s, i + 1) & 0x3Fu);
    }
    if (b < 0xF0) {
        len = 3;
        return ((b & 0x0Fu) << 12) | ((byte_at(s, i + 1) & 0x3Fu) << 6) |
               (byte_at(s, i + 2) & 0x3Fu);
    }
    len = 4;
    return ((b & 0x07u) << 18) | ((byte_at(s, i + 1) & 0x3Fu) << 12) |
           ((byte_at(s, i + 2) & 0x3Fu) << 6) | (byte_at(s, i + 3) & 0x3Fu);
}

// --- character classes as Python's re sees them in a str pattern ------------------------------

bool ascii_space(unsigned char c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F);
}

// `\s`: length of the whitespace character at `i`, or 0 when there is none.
std::size_t space_at(std::string_view s, std::size_t i) {
    if (i >= s.size()) {
        return 0;
    }
    const unsigned char b = byte_at(s, i);
    if (b < 0x80) {
        return ascii_space(b) ? 1 : 0;
    }
    std::size_t len;
    const std::uint32_t cp = code_point(s, i, len);
    return Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(cp)) ? len : 0;
}

std::size_t skip_spaces(std::string_view s, std::size_t i) {
    while (std::size_t len = space_at(s, i)) {
        i += len;
    }
    return i;
}

bool ascii_word(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

bool ascii_letter(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// `\w` at `i` (false at the end of the text).
bool word_at(std::string_view s, std::size_t i) {
    if (i >= s.size()) {
        return false;
    }
    const unsigned char b = byte_at(s, i);
    if (b < 0x80) {
        return ascii_word(b);
    }
    std::size_t len;
    return Py_UNICODE_ISALNUM(static_cast<Py_UCS4>(code_point(s, i, len)));
}

std::size_t skip_ascii_word(std::string_view s, std::size_t i) {
    while (i < s.size() && ascii_word(byte_at(s, i))) {
        ++i;
    }
    return i;
}

// Next position >= `pos` where multi-line `^` matches (text start or just after "\n"), or npos.
std::size_t next_line_start(std::string_view s, std::size_t pos) {
    if (pos == 0 || (pos <= s.size() && s[pos - 1] == '\n')) {
        return pos;
    }
    const std::size_t nl = s.find('\n', pos);
    return nl == std::string_view::npos ? nl : nl + 1;
}

bool starts_with_at(std::string_view s, std::size_t i, std::string_view word) {
    return s.substr(i, word.size()) == word;
}

// Runs `try_at(start, body)` at every multi-line `^` position not covered by an earlier match,
// where `body` is the first non-blank position after it. `try_at` returns the match end or npos.
template <class TryAt>
void for_each_line_match(std::string_view text, TryAt try_at) {
    std::size_t pos = 0;
    while (pos <= text.size()) {
        const std::size_t start = next_line_start(text, pos);
        if (start == std::string_view::npos) {
            return;
        }
        const std::size_t body = skip_spaces(text, start);
        const std::size_t end = try_at(body);
        if (end != std::string_view::npos) {
            pos = end;
        } else {
            // Every later `^` inside the leading blanks reaches the same first word and fails
            // the same way, so the search can jump past them.
            pos = std::max(start + 1, body);
        }
    }
}

}  // namespace

std::string translate_newlines(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out.push_back('\n');
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::string decode_text(std::string raw) {
    // Most HDL files are plain ASCII with "\n" line ends: nothing to drop or translate.
    const bool plain = std::none_of(raw.begin(), raw.end(), [](char c) {
        return static_cast<unsigned char>(c) >= 0x80 || c == '\r';
    });
    if (plain) {
        return raw;
    }
    std::string out;
    out.reserve(raw.size());
    std::size_t i = 0;
    while (i < raw.size()) {
        const unsigned char b = byte_at(raw, i);
        if (b < 0x80) {
            if (b == '\r') {
                out.push_back('\n');
                // A "\r\n" pair counts as one line end even when dropped bytes sit between
                // them: the decoder runs before newline translation.
                std::size_t j = i + 1;
                while (j < raw.size() && byte_at(raw, j) >= 0x80 && sequence_length(raw, j) < 0) {
                    j += static_cast<std::size_t>(-sequence_length(raw, j));
                }
                i = (j < raw.size() && raw[j] == '\n') ? j + 1 : j;
            } else {
                out.push_back(static_cast<char>(b));
                ++i;
            }
            continue;
        }
        const int len = sequence_length(raw, i);
        if (len > 0) {
            out.append(raw.substr(i, static_cast<std::size_t>(len)));
            i += static_cast<std::size_t>(len);
        } else {
            i += static_cast<std::size_t>(-len);
        }
    }
    return out;
}

Settings scan_set_variables(std::string_view text) {
    Settings found;
    for_each_line_match(text, [&](std::size_t i) -> std::size_t {
        constexpr auto fail = std::string_view::npos;
        if (!starts_with_at(text, i, "set")) {
            return fail;
        }
        i += 3;
        std::size_t after = skip_spaces(text, i);
        if (after == i) {
            return fail;
        }
        const std::size_t name_end = skip_ascii_word(text, after);
        if (name_end == after) {
            return fail;
        }
        const std::string_view name = text.substr(after, name_end - after);
        const std::size_t value = skip_spaces(text, name_end);
        if (value == name_end || value >= text.size()) {
            return fail;
        }
        if (text[value] == '"') {
            const std::size_t close = text.find('"', value + 1);
            if (close != std::string_view::npos) {
                found.emplace_back(name, text.substr(value + 1, close - value - 1));
                return close + 1;
            }
        }
        // `(\S+)`: the character at `value` is not blank, since the blanks were skipped.
        std::size_t end = value;
        while (end < text.size() && space_at(text, end) == 0) {
            std::size_t len;
            code_point(text, end, len);
            end += len;
        }
        found.emplace_back(name, text.substr(value, end - value));
        return end;
    });
    return found;
}

std::vector<std::string_view> scan_libraries(std::string_view text) {
    std::vector<std::string_view> found;
    std::size_t pos = 0;
    while ((pos = text.find("-work", pos)) != std::string_view::npos) {
        const std::size_t after = pos + 5;
        const std::size_t name = skip_spaces(text, after);
        const std::size_t end = skip_ascii_word(text, name);
        if (name > after && end > name) {
            found.push_back(text.substr(name, end - name));
            pos = end;
        } else {
            ++pos;
        }
    }
    return found;
}

std::vector<std::string_view> scan_quoted_sources(std::string_view line) {
    std::vector<std::string_view> found;
    std::size_t open = line.find('"');
    while (open != std::string_view::npos) {
        const std::size_t close = line.find('"', open + 1);
        if (close == std::string_view::npos) {
            break;
        }
        // `[^"]+` cannot pass the next quote, so the name is everything up to it and must end
        // in ".sv" or ".v" after at least one other character.
        const std::string_view name = line.substr(open + 1, close - open - 1);
        const bool sv = name.size() >= 4 && name.ends_with(".sv");
        const bool v = name.size() >= 3 && name.ends_with(".v");
        if (sv || v) {
            found.push_back(name);
            open = line.find('"', close + 1);
        } else {
            open = close;  // the closing quote may open the next name
        }
    }
    return found;
}

void scan_design_units(std::string_view text, std::vector<std::string_view>& out) {
    for_each_line_match(text, [&](std::size_t i) -> std::size_t {
        constexpr auto fail = std::string_view::npos;
        std::size_t kw_end;
        if (starts_with_at(text, i, "module")) {
            kw_end = i + 6;
        } else if (starts_with_at(text, i, "package")) {
            kw_end = i + 7;
        } else if (starts_with_at(text, i, "interface")) {
            kw_end = i + 9;
        } else {
            return fail;
        }
        const std::size_t name = skip_spaces(text, kw_end);
        if (name == kw_end || name >= text.size()) {
            return fail;
        }
        const unsigned char first = byte_at(text, name);
        if (!ascii_letter(first) && first != '_') {
            return fail;
        }
        const std::size_t end = skip_ascii_word(text, name + 1);
        // Every shorter name ends between two word characters, so only the longest can be
        // followed by the `\b`.
        if (word_at(text, end)) {
            return fail;
        }
        out.push_back(text.substr(name, end - name));
        return end;
    });
}

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char b = byte_at(text, i);
        std::size_t brk = 0;  // length of the line break at i
        if (b == '\n' || b == '\v' || b == '\f' || (b >= 0x1C && b <= 0x1E)) {
            brk = 1;
        } else if (b == '\r') {
            brk = (i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
        } else if (b == 0xC2 && i + 1 < text.size() && byte_at(text, i + 1) == 0x85) {
            brk = 2;  // U+0085
        } else if (b == 0xE2 && i + 2 < text.size() && byte_at(text, i + 1) == 0x80 &&
                   (byte_at(text, i + 2) == 0xA8 || byte_at(text, i + 2) == 0xA9)) {
            brk = 3;  // U+2028, U+2029
        }
        if (brk) {
            lines.push_back(text.substr(start, i - start));
            i += brk;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < text.size()) {
        lines.push_back(text.substr(start));
    }
    return lines;
}

std::optional<std::pair<char, std::string_view>> match_drive(std::string_view text) {
    if (text.size() < 3 || !ascii_letter(byte_at(text, 0)) || text[1] != ':' || text[2] != '/') {
        return std::nullopt;
    }
    std::string_view rest = text.substr(3);
    // `(.*)$`: `.` stops at a newline and `$` accepts only one that ends the text.
    const std::size_t nl = rest.find('\n');
    if (nl != std::string_view::npos) {
        if (nl + 1 != rest.size()) {
            return std::nullopt;
        }
        rest = rest.substr(0, nl);
    }
    return std::make_pair(text[0], rest);
}

std::string substitute_references(std::string_view path, const Settings& settings) {
    std::string current(path);
    std::string next;
    for (const auto& [name, value] : settings) {
        const std::string braced = "${" + name + "}";
        next.clear();
        std::size_t pos = 0;
        for (std::size_t hit; (hit = current.find(braced, pos)) != std::string::npos;) {
            next.append(current, pos, hit - pos).append(value);
            pos = hit + braced.size();
        }
        next.append(current, pos);
        current.swap(next);

        next.clear();
        pos = 0;
        for (std::size_t hit = current.find('$'); hit != std::string::npos;
             hit = current.find('$', hit + 1)) {
            const std::size_t end = hit + 1 + name.size();
            const bool whole = current.compare(hit + 1, name.size(), name) == 0 &&
                               (end >= current.size() || !ascii_word(byte_at(current, end)));
            if (whole) {
                next.append(current, pos, hit - pos).append(value);
                pos = end;
                hit = end - 1;
            }
        }
        next.append(current, pos);
        current.swap(next);
    }
    return current;
}

namespace {

struct VersionToken {
    bool number;
    std::string_view text;  // digits without leading zeros when `number`
};

std::vector<VersionToken> version_tokens(std::string_view name) {
    std::vector<VersionToken> tokens;
    std::size_t i = 0;
    while (i < name.size()) {
        const bool digit = name[i] >= '0' && name[i] <= '9';
        std::size_t j = i;
        while (j < name.size() && (name[j] >= '0' && name[j] <= '9') == digit) {
            ++j;
        }
        std::string_view run = name.substr(i, j - i);
        if (digit) {
            const std::size_t nz = run.find_first_not_of('0');
            run = nz == std::string_view::npos ? run.substr(run.size()) : run.substr(nz);
        }
        tokens.push_back({digit, run});
        i = j;
    }
    return tokens;
}

// <0, 0, >0 like a three-way comparison of version keys; numbers rank below text.
int compare_tokens(const std::vector<VersionToken>& a, const std::vector<VersionToken>& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t k = 0; k < n; ++k) {
        if (a[k].number != b[k].number) {
            return a[k].number ? -1 : 1;
        }
        if (a[k].number && a[k].text.size() != b[k].text.size()) {
            return a[k].text.size() < b[k].text.size() ? -1 : 1;
        }
        if (const int c = a[k].text.compare(b[k].text)) {
            return c;
        }
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace

bool newer_version_first(std::string_view a, std::string_view b) {
    const int c = compare_tokens(version_tokens(a), version_tokens(b));
    if (c != 0) {
        return c > 0;
    }
    return a > b;
}

}  // namespace corvane::pelorin
