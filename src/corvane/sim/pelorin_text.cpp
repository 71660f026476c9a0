// src/corvane/sim/pelorin_text.cpp: the set-up script's text rules that no host library has.
#include "pelorin_text.hpp"

#include <algorithm>

namespace corvane::pelorin {

namespace {

bool ascii_word(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

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
                               (end >= current.size() || !ascii_word(current[end]));
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
