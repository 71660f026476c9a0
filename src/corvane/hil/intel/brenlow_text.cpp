// src/corvane/hil/intel/brenlow_text.cpp: leaf text handling of the console line protocol.
#include "brenlow_text.hpp"

#include <Python.h>

namespace corvane::brenlow {

std::string_view utf8(nb::handle text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) {
        throw nb::python_error();
    }
    return {data, static_cast<size_t>(size)};
}

std::optional<std::string_view> after_keyword(std::string_view line, std::string_view keyword) {
    if (line.size() <= keyword.size() || !line.starts_with(keyword) ||
        line[keyword.size()] != '\t') {
        return std::nullopt;
    }
    return line.substr(keyword.size() + 1);
}

bool has_line_break_or_tab(nb::handle text) {
    // Searched on the code points, so a field that is no valid UTF-8 (a path with surrogate
    // escapes) is still checked and passed on unchanged.
    Py_ssize_t length = PyUnicode_GetLength(text.ptr());
    for (Py_UCS4 ch : {Py_UCS4{'\t'}, Py_UCS4{'\r'}, Py_UCS4{'\n'}}) {
        Py_ssize_t at = PyUnicode_FindChar(text.ptr(), ch, 0, length, 1);
        if (at == -2) {
            throw nb::python_error();
        }
        if (at >= 0) {
            return true;
        }
    }
    return false;
}

Line classify(std::string_view request, std::string_view line) {
    if (after_keyword(line, "JTAG_ERROR")) {
        return Line::answer;
    }
    if (request == "UART") {
        return after_keyword(line, "UART_RESULT") ? Line::answer : Line::other;
    }
    if (after_keyword(line, "PROGRESS_BYTES")) {
        return Line::progress;
    }
    // "JTAG_DONE", a tab and the operation; the end of the other operation is not this one's.
    constexpr std::string_view kDone = "JTAG_DONE\t";
    bool done = line.size() == kDone.size() + request.size() && line.starts_with(kDone) &&
                line.substr(kDone.size()) == request;
    return done ? Line::answer : Line::other;
}

std::vector<std::string_view> split_tabs(std::string_view line) {
    std::vector<std::string_view> fields;
    size_t begin = 0;
    for (;;) {
        size_t tab = line.find('\t', begin);
        if (tab == std::string_view::npos) {
            fields.push_back(line.substr(begin));
            return fields;
        }
        fields.push_back(line.substr(begin, tab - begin));
        begin = tab + 1;
    }
}

std::string hex_encode(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (unsigned char byte : bytes) {
        hex.push_back(kDigits[byte >> 4]);
        hex.push_back(kDigits[byte & 0x0f]);
    }
    return hex;
}

}  // namespace corvane::brenlow
