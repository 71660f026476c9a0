// src/common/py.hpp: the Python interop every corvane module shares.
//
// Modules are imported once and kept; attributes are looked up at each call, so a test that
// replaces `subprocess.run` or `os.environ` is seen. Output goes through Python's own `print`,
// so pytest's capture and `contextlib.redirect_stdout` see it like any Python line.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::py {

namespace nb = nanobind;

/// The module `name`, imported on first use and kept for the life of the process.
nb::handle module(const char* name);

/// `module(name).<attr>`, looked up now (never cached).
nb::object attr(const char* module_name, const char* attr_name);

/// Python's `print(text, flush=flush)`.
void print(std::string_view text, bool flush = false);

/// `sys.stdout.flush()`: lines printed before a child process writes to the same stream must
/// come out first also when standard output is a pipe (block-buffered).
void flush_stdout();

/// `pathlib.Path(value)`.
nb::object path(nb::handle value);

/// `str(value)` as UTF-8.
std::string str(nb::handle value);

/// `os.environ.get(name)`; nullopt when unset.
std::optional<std::string> getenv(const char* name);

/// `os.environ[name] = value`.
void setenv(const char* name, std::string_view value);

/// `os.environ.pop(name, None)`.
void unsetenv(const char* name);

/// `bool(value)`; an exception raised by `__bool__` propagates.
bool truthy(nb::handle value);

/// Own the new reference a C API call returned; NULL raises the pending Python exception.
nb::object steal_checked(PyObject* result);

/// `a, b, ... = value` for `count` targets, with the interpreter's own unpacking errors.
std::vector<nb::object> unpack(nb::handle value, size_t count);

/// `isinstance(value, module.attr)`.
bool isinstance(nb::handle value, const char* module_name, const char* attr_name);

}  // namespace corvane::py
