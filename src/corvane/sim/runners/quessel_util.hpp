// src/corvane/sim/runners/quessel_util.hpp: small Python helpers the quessel flow shares.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string_view>
#include <utility>

namespace corvane::quessel {

namespace nb = nanobind;

inline constexpr const char* kModule = "corvane.sim.runners.quessel";

/// The quessel module's attribute `name`, looked up now: the flow calls its own helpers (and
/// rtl_test_cocotb) through the module so that a test or a user can replace any of them.
nb::object own(const char* name);

/// `left / right` with pathlib's semantics (an absolute right side replaces the left).
nb::object join(nb::handle left, nb::handle right);

/// `fn(**kwargs)`.
nb::object call_kw(nb::handle fn, nb::handle kwargs);

/// `open(path, mode, encoding="utf-8", errors="replace")`: logs never fail on odd characters.
nb::object open_log(nb::handle path, const char* mode);

/// Closes a Python file object on every way out of a scope: close() on the normal path raises
/// what closing raises; the destructor closes quietly while an error is already on its way out.
class FileCloser {
  public:
    explicit FileCloser(nb::object file) : file_(std::move(file)) {}
    FileCloser(const FileCloser&) = delete;
    FileCloser& operator=(const FileCloser&) = delete;
    ~FileCloser();
    const nb::object& get() const { return file_; }
    void close();

  private:
    nb::object file_;
};

/// `"".join(str(part) for part in parts)`. Texts that carry paths stay Python strings: a path
/// holding undecodable bytes (surrogate escapes) reaches a command line or a log unchanged,
/// where a trip through UTF-8 would fail.
nb::str cat(std::initializer_list<nb::handle> parts);

/// `print(line, flush=flush)` through Python's print, so redirection and capture see it.
void print_line(nb::handle line, bool flush = false);

/// `nb::str` of a C++ string.
inline nb::str text(std::string_view value) {
    return nb::str(value.data(), value.size());
}

}  // namespace corvane::quessel
