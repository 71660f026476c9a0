// src/corvane/sim/pelorin_posix.cpp: POSIX path texts exactly as pathlib.PurePosixPath forms them.
#include "pelorin_posix.hpp"

#include <algorithm>

#include "pelorin_scan.hpp"

namespace corvane::pelorin {

std::string posix_normalize(std::string_view text) {
    std::string out;
    std::size_t i = 0;
    if (text.starts_with("//") && !text.starts_with("///")) {
        out = "//";
        i = 2;
    } else if (text.starts_with("/")) {
        out = "/";
        i = 1;
    }
    const std::size_t root = out.size();
    while (i <= text.size()) {
        std::size_t end = text.find('/', i);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view part = text.substr(i, end - i);
        if (!part.empty() && part != ".") {
            if (out.size() > root) {
                out.push_back('/');
            }
            out.append(part);
        }
        i = end + 1;
    }
    return out.empty() ? "." : out;
}

std::string posix_join(std::string_view base, std::string_view tail) {
    if (tail.starts_with("/")) {
        return std::string(tail);
    }
    std::string out(base);
    if (!out.empty() && !out.ends_with("/")) {
        out.push_back('/');
    }
    out.append(tail);
    return out;
}

std::string_view posix_name(std::string_view normalized) {
    if (normalized == "." || normalized == "/" || normalized == "//") {
        return {};
    }
    const std::size_t slash = normalized.rfind('/');
    return slash == std::string_view::npos ? normalized : normalized.substr(slash + 1);
}

std::string posix_from_msim(std::string_view value) {
    std::string text(value);
    std::replace(text.begin(), text.end(), '\\', '/');
    if (auto drive = match_drive(text)) {
        const char letter = drive->first >= 'A' && drive->first <= 'Z'
                                ? static_cast<char>(drive->first + ('a' - 'A'))
                                : drive->first;
        return posix_join(posix_join("/mnt", std::string_view(&letter, 1)), drive->second);
    }
    return text;
}

}  // namespace corvane::pelorin
