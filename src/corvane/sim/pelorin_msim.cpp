// src/corvane/sim/pelorin_msim.cpp: reading a Platform Designer system's msim_setup.tcl.
//
// Paths are the host's pathlib paths (joining, anchors, equality, existence), so the Windows
// rules come from pathlib itself. The one exception is the bulk source list on a POSIX host,
// resolved on path texts that follow PurePosixPath's rules (pelorin_posix.hpp).
#include "pelorin_msim.hpp"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <map>
#include <numeric>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "common/py.hpp"
#include "pelorin_posix.hpp"
#include "pelorin_scan.hpp"
#include "pelorin_util.hpp"

namespace corvane::pelorin {

namespace {

constexpr const char* kModule = "corvane.sim.pelorin";

std::map<std::string, PyObject*>& originals() {
    // Strong references kept for the life of the process (see common/py.cpp for why).
    static auto* table = new std::map<std::string, PyObject*>();
    return *table;
}

std::string codec_name(nb::handle encoding) {
    return utf8(py::attr("codecs", "lookup")(encoding).attr("name"));
}

// What one call needs to know about the host, looked up once per call rather than per file.
struct Host {
    nb::object path_type = py::attr("pathlib", "Path");
    bool windows = utf8(py::attr("os", "name")) == "nt";
    // Files are read and decoded in C++ only where that is certainly what `open()` would do:
    // POSIX file names in UTF-8 and a UTF-8 default encoding. Anything else goes through Python.
    bool native_read = !windows &&
                       codec_name(py::attr("locale", "getpreferredencoding")(false)) == "utf-8" &&
                       codec_name(py::attr("sys", "getfilesystemencoding")()) == "utf-8";

    nb::object path(nb::handle value) const { return path_type(value); }
    nb::object path(std::string_view text) const { return path_type(make_str(text)); }
};

[[noreturn]] void raise_os_error(int error, nb::handle filename) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
    throw nb::python_error();
}

// Reads the file named by `os_name` (file-system bytes) and decodes it; a failure raises the
// OSError that `open()` would, naming `filename`.
std::string read_native(const std::string& os_name, nb::handle filename) {
#ifdef _WIN32
    (void)os_name;
    (void)filename;
    throw std::logic_error("native reads are POSIX only");  // Host::native_read is false
#else
    std::string raw;
    int error = 0;
    {
        nb::gil_scoped_release released;
        const int fd = ::open(os_name.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            error = errno;
        } else {
            struct stat st{};
            if (::fstat(fd, &st) != 0) {
                error = errno;
            } else if (S_ISDIR(st.st_mode)) {
                error = EISDIR;  // as `open()` reports a directory
            } else {
                raw.resize(st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0);
                std::size_t have = 0;
                for (;;) {
                    if (have == raw.size()) {
                        raw.resize(raw.size() + 65536);  // the file grew or has no size
                    }
                    const ssize_t n = ::read(fd, raw.data() + have, raw.size() - have);
                    if (n < 0) {
                        if (errno == EINTR) {
                            continue;
                        }
                        error = errno;
                        break;
                    }
                    if (n == 0) {
                        break;
                    }
                    have += static_cast<std::size_t>(n);
                }
                raw.resize(have);
            }
            ::close(fd);
        }
    }
    if (error != 0) {
        raise_os_error(error, filename);
    }
    return decode_text(std::move(raw));
#endif
}

// Reads a whole file like Python's `open(path, errors="ignore").read()`; the result is UTF-8.
std::string read_decoded(nb::handle path, const Host& host) {
    nb::object name = py::attr("os", "fspath")(path);
    if (host.native_read && PyUnicode_Check(name.ptr())) {
        nb::object encoded = nb::steal(PyUnicode_EncodeFSDefault(name.ptr()));
        if (!encoded.is_valid()) {
            throw nb::python_error();
        }
        std::string os_name(PyBytes_AS_STRING(encoded.ptr()),
                            static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
        if (os_name.find('\0') == std::string::npos) {  // else `open()` raises ValueError
            return read_native(os_name, name);
        }
    }
    nb::object file = py::attr("builtins", "open")(path, nb::arg("errors") = "ignore");
    nb::object text;
    try {
        text = file.attr("read")();
    } catch (...) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    return std::string(utf8_view(text));
}

// The setting pairs of a map, in its order, as text.
Settings settings_of(nb::handle variables) {
    Settings settings;
    for (nb::handle item : variables.attr("items")()) {
        settings.emplace_back(utf8(item[0]), utf8(item[1]));
    }
    return settings;
}

std::string forward_slashes(std::string_view text) {
    std::string out(text);
    std::replace(out.begin(), out.end(), '\\', '/');
    return out;
}

nb::object path_from_text(std::string_view value, const Host& host) {
    // On Windows a drive path stays a drive path and pathlib takes both separators.
    return host.path(host.windows ? forward_slashes(value) : posix_from_msim(value));
}

// The module's function `name` when a test or a user has replaced it, else no object: the
// module's own implementation then runs directly in C++.
nb::object replacement(const char* name) {
    nb::object fn = collaborator(name);
    return is_original(fn, name) ? nb::object() : fn;
}

// `_resolve_msim_source` for one name, with the settings already in C++ form; `from_msim` is
// the replacement of `_path_from_msim`, if any.
nb::object resolve_source(std::string_view raw, const Settings& settings, nb::handle base_dir,
                          const Host& host, const nb::object& from_msim) {
    const std::string path = substitute_references(forward_slashes(raw), settings);
    if (path.find('$') != std::string::npos) {
        return nb::none();
    }
    nb::object resolved =
        from_msim.is_valid() ? from_msim(make_str(path)) : path_from_text(path, host);
    if (!py::truthy(resolved.attr("is_absolute")())) {
        resolved = base_dir.attr("__truediv__")(resolved);
    }
    return resolved;
}

bool exists(nb::handle path) {
    return py::truthy(path.attr("exists")());
}

// The file's text through `reader`, the replacement of `_read_text` if any.
std::string read_with(nb::handle path, const nb::object& reader, const Host& host) {
    if (!reader.is_valid()) {
        return read_decoded(path, host);
    }
    return std::string(utf8_view(reader(path)));
}

std::string read_script(nb::handle path, const Host& host) {
    return read_with(path, replacement("_read_text"), host);
}

// Path(text).exists() for a normalized POSIX path text.
bool posix_exists(const std::string& text, const Host& host) {
#ifdef _WIN32
    return py::truthy(host.path(text).attr("exists")());
#else
    if (text.find('\0') != std::string::npos) {
        return false;  // pathlib answers False where os.stat raises ValueError
    }
    int error = 0;
    {
        nb::gil_scoped_release released;
        struct stat st{};
        if (::stat(text.c_str(), &st) != 0) {
            error = errno;
        }
    }
    if (error == 0) {
        return true;
    }
    if (error == ENOENT || error == ENOTDIR || error == EBADF || error == ELOOP) {
        return false;
    }
    raise_os_error(error, host.path(text));  // os.stat names the path object it was given
#endif
}

// `_unique_verilator_sources` with the module's own design-unit reader, over normalized POSIX
// path texts; only the kept files become path objects.
nb::list unique_posix_sources(const std::vector<std::string>& sources, const Host& host) {
    nb::list unique;
    std::unordered_set<std::string_view> seen_paths;
    std::unordered_set<std::string> seen_units;
    std::vector<std::string_view> units;
    for (const std::string& source : sources) {
        if (seen_paths.contains(source)) {
            continue;
        }
        const std::string text = read_native(source, make_str(source));
        units.clear();
        scan_design_units(text, units);
        const bool all_seen =
            !units.empty() && std::all_of(units.begin(), units.end(), [&](std::string_view u) {
                return seen_units.contains(std::string(u));
            });
        if (all_seen) {
            continue;
        }
        unique.append(host.path(source));
        seen_paths.insert(source);
        for (std::string_view unit : units) {
            seen_units.emplace(unit);
        }
    }
    return unique;
}

}  // namespace

void remember_originals(nb::module_& m) {
    for (const char* name :
         {"_read_text", "get_msim_libraries", "_platform_qsys_simdir", "_platform_msim_setup",
          "_msim_set_variables", "_path_from_msim", "_project_drive_roots", "_quartus_install_dir",
          "_resolve_msim_source", "_design_units", "_unique_verilator_sources",
          "_msim_verilog_sources"}) {
        originals()[name] = m.attr(name).inc_ref().ptr();
    }
}

nb::object collaborator(const char* name) {
    return py::attr(kModule, name);
}

bool is_original(nb::handle fn, const char* name) {
    auto it = originals().find(name);
    return it != originals().end() && it->second == fn.ptr();
}

nb::str read_text(nb::handle path) {
    return make_str(read_decoded(path, Host{}));
}

nb::list get_msim_libraries(nb::handle msim_setup_path) {
    // Strict decoding on purpose: a script that is not text in the host's encoding must not
    // silently lose library names the Questa run depends on.
    nb::object text = py::path(msim_setup_path).attr("read_text")();
    std::vector<std::string_view> seen;
    nb::list libraries;
    for (std::string_view name : scan_libraries(utf8_view(text))) {
        if (std::find(seen.begin(), seen.end(), name) == seen.end()) {
            seen.push_back(name);
            libraries.append(make_str(name));
        }
    }
    return libraries;
}

nb::object platform_qsys_simdir(nb::handle project_root, nb::handle hdl_toplevel) {
    return py::path(project_root).attr("joinpath")(hdl_toplevel, hdl_toplevel, "testbench");
}

nb::object platform_msim_setup(nb::handle project_root, nb::handle hdl_toplevel) {
    return platform_qsys_simdir(project_root, hdl_toplevel)
        .attr("joinpath")("mentor", "msim_setup.tcl");
}

nb::dict msim_set_variables(nb::handle msim_setup_path) {
    const std::string text = read_script(msim_setup_path, Host{});
    nb::dict variables;
    for (const auto& [name, value] : scan_set_variables(text)) {
        variables[make_str(name)] = make_str(value);  // a repeated name keeps its first position
    }
    return variables;
}

nb::object path_from_msim(nb::handle value) {
    return path_from_text(utf8(value), Host{});
}

nb::list project_drive_roots(nb::handle project_root) {
    const Host host;
    nb::object root = host.path(project_root);
    nb::list roots;
    auto add = [&](nb::object path) {
        if (!contains(roots, path)) {
            roots.append(path);
        }
    };
    nb::object anchor = root.attr("anchor");
    if (py::truthy(anchor)) {
        add(host.path(anchor));
    }
    nb::tuple parts = nb::tuple(root.attr("parts"));
    if (parts.size() > 2 && utf8(parts[0]) == "/" && utf8(parts[1]) == "mnt") {
        add(host.path("/mnt").attr("__truediv__")(parts[2]));
    }
    return roots;
}

nb::object quartus_install_dir(nb::handle project_root, nb::handle msim_setup_path,
                               nb::handle msim_variables) {
    nb::object from_msim = collaborator("_path_from_msim");
    for (const char* env_name : {"QUARTUS_INSTALL_DIR", "QUARTUS_ROOTDIR"}) {
        // As Python sees it: an undecodable byte of an installation path is a surrogate escape.
        nb::object value = py::attr("os", "environ").attr("get")(env_name);
        if (!value.is_none() && py::truthy(value)) {
            nb::object path = from_msim(value);
            if (exists(path)) {
                return path;
            }
        }
    }
    nb::object variables = nb::borrow(msim_variables);
    if (variables.is_none() && !msim_setup_path.is_none()) {
        variables = collaborator("_msim_set_variables")(msim_setup_path);
    }
    if (!variables.is_none() && contains(variables, nb::str("QUARTUS_INSTALL_DIR"))) {
        nb::object path = from_msim(variables["QUARTUS_INSTALL_DIR"]);
        if (exists(path)) {
            return path;
        }
    }
    for (nb::handle root : collaborator("_project_drive_roots")(project_root)) {
        nb::object intel_root = root.attr("__truediv__")("intelFPGA");
        if (!exists(intel_root)) {
            continue;
        }
        std::vector<nb::object> entries;
        std::vector<std::string> names;
        for (nb::handle entry : intel_root.attr("iterdir")()) {
            entries.push_back(nb::borrow(entry));
            names.push_back(utf8(entry.attr("name")));
        }
        // Newest version first, comparing numbers as numbers: plain text order would put 9.1
        // before 24.1 and pick a years-old installation over the current one.
        std::vector<std::size_t> order(entries.size());
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return newer_version_first(names[a], names[b]);
        });
        for (std::size_t k : order) {
            nb::object quartus = entries[k].attr("__truediv__")("quartus");
            if (exists(quartus)) {
                return quartus;
            }
        }
    }
    return nb::none();
}

nb::object resolve_msim_source(nb::handle raw_path, nb::handle variables, nb::handle base_dir) {
    const Host host;
    return resolve_source(utf8(raw_path), settings_of(variables), host.path(base_dir), host,
                          replacement("_path_from_msim"));
}

nb::set design_units(nb::handle path) {
    const std::string text = read_script(path, Host{});
    std::vector<std::string_view> units;
    scan_design_units(text, units);
    nb::set result;
    for (std::string_view unit : units) {
        result.add(make_str(unit));
    }
    return result;
}

nb::list unique_verilator_sources(nb::handle sources) {
    const Host host;
    nb::object units_of = collaborator("_design_units");
    const bool native_units = is_original(units_of, "_design_units");
    const nb::object reader = native_units ? replacement("_read_text") : nb::object();
    nb::list unique;
    nb::set seen_paths;
    std::unordered_set<std::string> seen_units;
    std::vector<std::string> units;
    for (nb::handle source : sources) {
        if (seen_paths.contains(source)) {
            continue;
        }
        units.clear();
        if (native_units) {
            const std::string text = read_with(source, reader, host);
            std::vector<std::string_view> found;
            scan_design_units(text, found);
            units.assign(found.begin(), found.end());
        } else {
            for (nb::handle unit : units_of(source)) {
                units.push_back(utf8(unit));
            }
        }
        const bool all_seen =
            !units.empty() && std::all_of(units.begin(), units.end(), [&](const std::string& u) {
                return seen_units.contains(u);
            });
        if (all_seen) {
            continue;
        }
        unique.append(source);
        seen_paths.add(source);
        seen_units.insert(units.begin(), units.end());
    }
    return unique;
}

nb::object msim_verilog_sources(nb::handle project_root, nb::handle hdl_toplevel,
                                nb::handle include_testbench) {
    const Host host;
    nb::object qsys_simdir = collaborator("_platform_qsys_simdir")(project_root, hdl_toplevel);
    nb::object msim_setup = collaborator("_platform_msim_setup")(project_root, hdl_toplevel);
    if (!exists(msim_setup)) {
        raise_instance(nb::handle(PyExc_FileNotFoundError)(msim_setup));
    }
    nb::object variables = collaborator("_msim_set_variables")(msim_setup);
    // Absolute even for a relative project root: the names below it are joined to the script's
    // own directory otherwise, and would all be skipped as missing.
    variables["QSYS_SIMDIR"] = host.path(qsys_simdir).attr("absolute")().attr("as_posix")();
    nb::object install = collaborator("_quartus_install_dir")(project_root, msim_setup, variables);
    if (!install.is_none()) {
        variables["QUARTUS_INSTALL_DIR"] = host.path(install).attr("as_posix")();
    }

    const std::string text = read_script(msim_setup, host);
    nb::object base_dir = host.path(msim_setup.attr("parent"));
    nb::object resolver = collaborator("_resolve_msim_source");
    nb::object unique = collaborator("_unique_verilator_sources");
    const bool native_resolve = is_original(resolver, "_resolve_msim_source");
    const nb::object from_msim = native_resolve ? replacement("_path_from_msim") : nb::object();
    // Path texts instead of path objects where the rules are certainly the host's: a POSIX host
    // and the module's own resolver, path conversion, de-duplication and file readers.
    const bool posix_texts = host.native_read && native_resolve && !from_msim.is_valid() &&
                             is_original(unique, "_unique_verilator_sources") &&
                             is_original(collaborator("_design_units"), "_design_units") &&
                             !replacement("_read_text").is_valid();
    const Settings settings = native_resolve ? settings_of(variables) : Settings{};
    const std::string testbench = utf8(hdl_toplevel) + "_tb.v";
    const bool keep_testbench = py::truthy(include_testbench);
    auto wanted = [&](std::string_view name) {
        return !name.ends_with("_ncrypt.v") && (keep_testbench || name != testbench);
    };

    if (posix_texts) {
        const std::string base = utf8(py::attr("os", "fspath")(base_dir));
        std::vector<std::string> listed;
        std::unordered_map<std::string, bool> existing;  // a file listed twice is checked once
        for (std::string_view line : split_lines(text)) {
            if (line.find("vlog") == std::string_view::npos) {
                continue;
            }
            for (std::string_view raw : scan_quoted_sources(line)) {
                const std::string path = substitute_references(forward_slashes(raw), settings);
                if (path.find('$') != std::string::npos) {
                    continue;
                }
                std::string resolved = posix_from_msim(path);
                if (!resolved.starts_with("/")) {
                    resolved = posix_join(base, posix_normalize(resolved));
                }
                resolved = posix_normalize(resolved);
                if (!wanted(posix_name(resolved))) {
                    continue;
                }
                auto [it, fresh] = existing.try_emplace(resolved, false);
                if (fresh) {
                    it->second = posix_exists(resolved, host);
                }
                if (it->second) {
                    listed.push_back(resolved);
                }
            }
        }
        return unique_posix_sources(listed, host);
    }

    nb::list sources;
    for (std::string_view line : split_lines(text)) {
        if (line.find("vlog") == std::string_view::npos) {
            continue;
        }
        for (std::string_view raw : scan_quoted_sources(line)) {
            nb::object resolved = native_resolve
                                      ? resolve_source(raw, settings, base_dir, host, from_msim)
                                      : resolver(make_str(raw), variables, base_dir);
            if (resolved.is_none()) {
                continue;
            }
            if (wanted(utf8(resolved.attr("name"))) && exists(resolved)) {
                sources.append(resolved);
            }
        }
    }
    return unique(sources);
}

}  // namespace corvane::pelorin
