// src/corvane/sim/pelorin_msim.cpp: reading a Platform Designer system's msim_setup.tcl.
//
// Text patterns are Python's `re` and paths are the host's pathlib paths, so Unicode classes and
// the Windows path rules come from the host. The functions call each other through the module's
// attributes, looked up when used, so a replaced reader, path conversion or design-unit scan is
// the one that runs.
//
// What a script compiles is read from its own lines and from the files it sources: from Quartus
// Pro 18.1 on, the design files and libraries live in common/modelsim_files.tcl, and 24.1 writes
// them as `qrun -makelib LIB "file" -end` entries without the word vlog.
#include "pelorin_msim.hpp"

#include <algorithm>
#include <initializer_list>
#include <numeric>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/errors.hpp"
#include "common/py.hpp"
#include "pelorin_text.hpp"
#include "pelorin_util.hpp"

namespace corvane::pelorin {

namespace {

constexpr const char* kModule = "corvane.sim.pelorin";

// The script's patterns, compiled by Python's `re` once and kept for the life of the process
// (as common/py.cpp keeps modules): a system lists thousands of files, each scanned.
struct Patterns {
    nb::handle setting, library, verilog_name, vhdl_name, source_line, drive, design_unit, protect;
};

const Patterns& patterns() {
    static const Patterns compiled = [] {
        nb::object multiline = py::attr("re", "MULTILINE");
        auto compile = [](const char* pattern, nb::handle flags) {
            return py::attr("re", "compile")(pattern, flags).release();
        };
        nb::int_ none(0);
        return Patterns{
            compile(R"re(^\s*set\s+([A-Za-z0-9_]+)\s+(?:"([^"]*)"|(\S+)))re", multiline),
            // "dict" first and its word boundary looked back at, so that every branch opens with a
            // literal character and `re` skips ahead to candidates: a script has 200,000 lines.
            compile(R"re((?:-work|-makelib|dict(?<=\bdict)\s+set\s+libraries)\s+([A-Za-z0-9_]+))re",
                    none),
            compile(R"re("([^"]+\.(?:sv|vo|v))")re", none),
            compile(R"re("([^"]+\.(?:vhd|vhdl))")re", none),
            compile(R"re(^\s*source\s+(?:"([^"]+)"|(\S+)))re", none),
            compile(R"re(^([A-Za-z]):/(.*)$)re", none),
            compile(R"re(^\s*(?:module|package|interface)\s+([A-Za-z_][A-Za-z0-9_]*)\b)re",
                    multiline),
            // An IEEE 1735 protect block, which Verilator cannot read.
            compile(R"re(`pragma\s+protect\s+begin_protected)re", none),
        };
    }();
    return compiled;
}

bool windows() {
    return utf8(py::attr("os", "name")) == "nt";
}

bool exists(nb::handle path) {
    return py::truthy(path.attr("exists")());
}

nb::object join(nb::handle path, nb::handle part) {
    return path.attr("__truediv__")(part);
}

// Tcl reads a line whose first non-blank character is "#" as a comment: a compile line the user
// commented out must stay out.
bool is_comment(std::string_view line) {
    const std::size_t first = line.find_first_not_of(" \t");
    return first != std::string_view::npos && line[first] == '#';
}

bool has_any(std::string_view line, std::initializer_list<std::string_view> words) {
    return std::any_of(words.begin(), words.end(), [&](std::string_view word) {
        return line.find(word) != std::string_view::npos;
    });
}

// The setting pairs of a map, in its order, as text.
Settings settings_of(nb::handle variables) {
    Settings settings;
    for (nb::handle item : variables.attr("items")()) {
        settings.emplace_back(utf8(item[0]), utf8(item[1]));
    }
    return settings;
}

// The lines of one file that Tcl runs: comment lines left out.
nb::list code_lines(nb::handle text) {
    nb::list code;
    for (nb::handle line : text.attr("splitlines")()) {
        if (!is_comment(utf8_view(line))) {
            code.append(line);
        }
    }
    return code;
}

// The code lines of `script` (its text already read), then those of each existing file that
// one of its `source` lines names after substitution, in the order of those lines; no file is
// read twice and the script never again. `strict` reads with the default encoding's errors
// raised.
std::vector<nb::list> script_lines(nb::handle script, nb::handle script_text, nb::handle variables,
                                   nb::handle base_dir, bool strict) {
    const nb::list own = code_lines(script_text);  // kept apart: `files` grows below
    std::vector<nb::list> files{own};
    nb::handle source_line = patterns().source_line;
    nb::object resolver = collaborator("_resolve_msim_source");
    nb::object reader = collaborator("_read_text");
    nb::set read;
    read.add(py::path(script).attr("absolute")());
    for (nb::handle line : own) {
        if (utf8_view(line).find("source") == std::string_view::npos) {
            continue;
        }
        nb::object match = source_line.attr("match")(line);
        if (match.is_none()) {
            continue;
        }
        nb::object name = match.attr("group")(1);
        nb::object resolved =
            resolver(name.is_none() ? match.attr("group")(2) : name, variables, base_dir);
        if (resolved.is_none() || !py::truthy(resolved.attr("is_file")())) {
            continue;
        }
        nb::object key = resolved.attr("absolute")();
        if (read.contains(key)) {
            continue;
        }
        read.add(key);
        files.push_back(code_lines(strict ? resolved.attr("read_text")() : reader(resolved)));
    }
    return files;
}

// Calls `take(name)` for every quoted name that `pattern` finds on a compile line of `files`:
// a line that holds one of `commands`.
template <class Take>
void for_each_compiled_name(const std::vector<nb::list>& files,
                            std::initializer_list<std::string_view> commands, nb::handle names,
                            Take take) {
    for (const nb::list& lines : files) {
        for (nb::handle line : lines) {
            if (!has_any(utf8_view(line), commands)) {
                continue;
            }
            for (nb::handle name : names.attr("findall")(line)) {
                take(name);
            }
        }
    }
}

// The script variables of a script's text, as _msim_set_variables gives them.
nb::dict variables_in(nb::handle text) {
    nb::dict variables;
    for (nb::handle match : patterns().setting.attr("finditer")(text)) {
        nb::object quoted = match.attr("group")(2);
        // A repeated name keeps its first position.
        variables[match.attr("group")(1)] = quoted.is_none() ? match.attr("group")(3) : quoted;
    }
    return variables;
}

// What the source lists of one system are read from.
struct System {
    nb::object variables;
    nb::object base_dir;
    std::vector<nb::list> files;  // the code lines of the script and of the files it sources
};

System read_system(nb::handle project_root, nb::handle hdl_toplevel) {
    nb::object qsys_simdir = collaborator("_platform_qsys_simdir")(project_root, hdl_toplevel);
    nb::object msim_setup = collaborator("_platform_msim_setup")(project_root, hdl_toplevel);
    if (!exists(msim_setup)) {
        raise_instance(nb::handle(PyExc_FileNotFoundError)(msim_setup));
    }
    nb::object variables = collaborator("_msim_set_variables")(msim_setup);
    // Absolute even for a relative project root: the names below it are joined to the script's
    // own directory otherwise, and would all be skipped as missing.
    variables["QSYS_SIMDIR"] = py::path(qsys_simdir).attr("absolute")().attr("as_posix")();
    nb::object install = collaborator("_quartus_install_dir")(project_root, msim_setup, variables);
    if (!install.is_none()) {
        variables["QUARTUS_INSTALL_DIR"] = py::path(install).attr("as_posix")();
    }
    nb::object base_dir = py::path(msim_setup.attr("parent"));
    nb::object text = collaborator("_read_text")(msim_setup);
    return {variables, base_dir, script_lines(msim_setup, text, variables, base_dir, false)};
}

// Encrypted device libraries by their name: Mentor's copies of the family atoms.
bool encrypted_name(std::string_view name) {
    return name.ends_with("_ncrypt.v") || name.ends_with("_ncrypt.sv");
}

// While one lives, the module's own design-unit scan notes here whether the file it read holds
// a protect block, so that one read of each source answers both questions.
thread_local bool* protect_note = nullptr;

class ProtectNote {
  public:
    ProtectNote() : previous_(protect_note) { protect_note = &seen_; }
    ~ProtectNote() { protect_note = previous_; }
    ProtectNote(const ProtectNote&) = delete;
    ProtectNote& operator=(const ProtectNote&) = delete;
    bool seen() const { return seen_; }

  private:
    bool seen_ = false;
    bool* previous_;
};

}  // namespace

nb::object collaborator(const char* name) {
    return py::attr(kModule, name);
}

nb::str read_text(nb::handle path) {
    nb::object file = py::attr("builtins", "open")(path, nb::arg("errors") = "ignore");
    nb::object text;
    try {
        text = file.attr("read")();
    } catch (...) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    return nb::borrow<nb::str>(text);
}

nb::list get_msim_libraries(nb::handle msim_setup_path) {
    // Strict decoding on purpose: a script that is not text in the host's encoding must not
    // silently lose library names the Questa run depends on.
    nb::object script = py::path(msim_setup_path);
    nb::object text = script.attr("read_text")();
    // Read strictly, the text is the one a tolerant read gives: no need to read it again.
    nb::dict variables = variables_in(text);
    // What the compile do-file hands the script: the directory above its own.
    variables["QSYS_SIMDIR"] =
        script.attr("absolute")().attr("parent").attr("parent").attr("as_posix")();
    nb::list names;
    nb::str newline("\n");
    for (const nb::list& lines :
         script_lines(script, text, variables, script.attr("parent"), true)) {
        names.attr("extend")(patterns().library.attr("findall")(newline.attr("join")(lines)));
    }
    // First appearance, without repeats, in linear time.
    return nb::list(py::attr("builtins", "dict").attr("fromkeys")(names));
}

nb::object platform_qsys_simdir(nb::handle project_root, nb::handle hdl_toplevel) {
    return py::path(project_root).attr("joinpath")(hdl_toplevel, hdl_toplevel, "testbench");
}

nb::object platform_msim_setup(nb::handle project_root, nb::handle hdl_toplevel) {
    return platform_qsys_simdir(project_root, hdl_toplevel)
        .attr("joinpath")("mentor", "msim_setup.tcl");
}

nb::dict msim_set_variables(nb::handle msim_setup_path) {
    return variables_in(collaborator("_read_text")(msim_setup_path));
}

nb::object path_from_msim(nb::handle value) {
    nb::object text = nb::str(value).attr("replace")("\\", "/");
    if (!windows()) {  // on Windows a drive path stays a drive path
        nb::object drive = patterns().drive.attr("match")(text);
        if (!drive.is_none()) {
            return py::path(nb::str("/mnt"))
                .attr("joinpath")(drive.attr("group")(1).attr("lower")(), drive.attr("group")(2));
        }
    }
    return py::path(text);
}

nb::list project_drive_roots(nb::handle project_root) {
    nb::object root = py::path(project_root);
    nb::list roots;
    auto add = [&](nb::object path) {
        if (!contains(roots, path)) {
            roots.append(path);
        }
    };
    nb::object anchor = root.attr("anchor");
    if (py::truthy(anchor)) {
        add(py::path(anchor));
    }
    nb::tuple parts = nb::tuple(root.attr("parts"));
    if (parts.size() > 2 && utf8(parts[0]) == "/" && utf8(parts[1]) == "mnt") {
        add(join(py::path(nb::str("/mnt")), parts[2]));
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
        nb::object intel_root = join(root, nb::str("intelFPGA"));
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
            nb::object quartus = join(entries[k], nb::str("quartus"));
            if (exists(quartus)) {
                return quartus;
            }
        }
    }
    return nb::none();
}

nb::object resolve_msim_source(nb::handle raw_path, nb::handle variables, nb::handle base_dir) {
    std::string raw = utf8(raw_path);
    std::replace(raw.begin(), raw.end(), '\\', '/');
    const std::string path = substitute_references(raw, settings_of(variables));
    if (path.find('$') != std::string::npos) {
        return nb::none();
    }
    nb::object resolved = collaborator("_path_from_msim")(make_str(path));
    if (!py::truthy(resolved.attr("is_absolute")())) {
        resolved = join(py::path(base_dir), resolved);
    }
    return resolved;
}

nb::set design_units(nb::handle path) {
    nb::object text = collaborator("_read_text")(path);
    if (protect_note != nullptr && !patterns().protect.attr("search")(text).is_none()) {
        *protect_note = true;
    }
    nb::set units;
    for (nb::handle unit : patterns().design_unit.attr("findall")(text)) {
        units.add(unit);
    }
    return units;
}

nb::list unique_verilator_sources(nb::handle sources) {
    nb::object units_of = collaborator("_design_units");
    nb::list unique;
    nb::set seen_paths;  // every path looked at: a second listing would be skipped again
    std::unordered_set<std::string> seen_units;
    std::vector<std::string> units;
    for (nb::handle source : sources) {
        if (seen_paths.contains(source)) {
            continue;
        }
        seen_paths.add(source);
        ProtectNote note;
        nb::object found = units_of(source);
        if (note.seen()) {
            continue;  // encrypted: Verilator cannot read any of it
        }
        units.clear();
        for (nb::handle unit : found) {
            units.push_back(utf8(unit));
        }
        const bool all_seen =
            !units.empty() && std::all_of(units.begin(), units.end(), [&](const std::string& u) {
                return seen_units.contains(u);
            });
        if (all_seen) {
            continue;
        }
        unique.append(source);
        seen_units.insert(units.begin(), units.end());
    }
    return unique;
}

nb::object msim_verilog_sources(nb::handle project_root, nb::handle hdl_toplevel,
                                nb::handle include_testbench) {
    const System system = read_system(project_root, hdl_toplevel);
    nb::object resolver = collaborator("_resolve_msim_source");
    const std::string testbench = utf8(hdl_toplevel) + "_tb.v";
    const bool keep_testbench = py::truthy(include_testbench);
    nb::list sources;
    for_each_compiled_name(
        system.files, {"vlog", "-makelib"}, patterns().verilog_name, [&](nb::handle raw) {
            nb::object resolved = resolver(raw, system.variables, system.base_dir);
            if (resolved.is_none()) {
                return;
            }
            const std::string name = utf8(resolved.attr("name"));
            if (!encrypted_name(name) && (keep_testbench || name != testbench) &&
                exists(resolved)) {
                sources.append(resolved);
            }
        });
    return collaborator("_unique_verilator_sources")(sources);
}

nb::list msim_vhdl_sources(nb::handle project_root, nb::handle hdl_toplevel) {
    nb::list files;
    if (!exists(collaborator("_platform_msim_setup")(project_root, hdl_toplevel))) {
        return files;  // the Verilog list reports the missing script
    }
    const System system = read_system(project_root, hdl_toplevel);
    nb::object resolver = collaborator("_resolve_msim_source");
    nb::set seen;
    for_each_compiled_name(
        system.files, {"vcom", "-makelib"}, patterns().vhdl_name, [&](nb::handle raw) {
            nb::object resolved = resolver(raw, system.variables, system.base_dir);
            if (resolved.is_none() || seen.contains(resolved)) {
                return;
            }
            seen.add(resolved);
            if (exists(resolved)) {
                files.append(resolved);
            }
        });
    return files;
}

}  // namespace corvane::pelorin
