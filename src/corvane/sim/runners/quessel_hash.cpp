// src/corvane/sim/runners/quessel_hash.cpp: file digests and the index of the project's originals.
//
// Indexing hashes every HDL file of the source directories, which dominates a generation run on a
// large project. The files are read and hashed with the GIL released, on up to kMaxWorkers
// threads, and then entered into the index strictly in discovery order, so the first file of each
// content wins exactly as a one-by-one loop would decide, and the first failing file (in that
// order) is the one whose error is raised. The native reading uses POSIX descriptors; on Windows
// the host's own file objects and hashlib do it, file by file.
#include "quessel_hash.hpp"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/py.hpp"
#include "quessel_sha256.hpp"
#include "quessel_util.hpp"

namespace corvane::quessel {

namespace {

PyObject* native_hash_file = nullptr;

#ifndef _WIN32
constexpr unsigned kMaxWorkers = 4;

struct FileDigest {
    Digest digest{};
    int error = 0;  // errno of the failed open or read; 0 on success
};

/// Hash one file by its file-system path. Touches no Python object (runs without the GIL).
FileDigest digest_of(const std::string& fs_path, std::vector<std::uint8_t>& buffer) {
    FileDigest result;
    int fd = ::open(fs_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        result.error = errno;
        return result;
    }
    Sha256 sha;
    for (;;) {
        ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            result.error = errno;
            break;
        }
        if (got == 0) {
            result.digest = sha.finish();
            break;
        }
        sha.update(buffer.data(), static_cast<std::size_t>(got));
    }
    ::close(fd);
    return result;
}

std::string fs_path_of(nb::handle path) {
    nb::bytes encoded = nb::cast<nb::bytes>(py::attr("os", "fsencode")(path));
    return std::string(encoded.c_str(), encoded.size());
}

/// Raise the OSError subclass for `error` (FileNotFoundError, IsADirectoryError, ...) naming
/// `path` as open() would.
[[noreturn]] void raise_os_error(int error, nb::handle path) {
    nb::object filename = py::attr("os", "fspath")(path);
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
    throw nb::python_error();
}

nb::bytes to_bytes(const Digest& digest) {
    return nb::bytes(reinterpret_cast<const char*>(digest.data()), digest.size());
}

/// Digests of all `paths`, hashed on several threads with the GIL released.
std::vector<FileDigest> digest_all(const std::vector<std::string>& paths) {
    std::vector<FileDigest> digests(paths.size());
    const std::size_t workers = std::min<std::size_t>(
        {std::max(1u, std::thread::hardware_concurrency()), kMaxWorkers, paths.size()});
    // Allocated here, so that nothing in a helper thread can throw.
    std::vector<std::vector<std::uint8_t>> buffers(std::max<std::size_t>(workers, 1),
                                                   std::vector<std::uint8_t>(kHashReadSize));
    nb::gil_scoped_release no_gil;
    std::atomic<std::size_t> next{0};
    auto work = [&](std::vector<std::uint8_t>& buffer) {
        for (std::size_t i = next++; i < paths.size(); i = next++) {
            digests[i] = digest_of(paths[i], buffer);
        }
    };
    std::vector<std::thread> helpers;
    for (std::size_t i = 1; i < workers; ++i) {
        try {
            helpers.emplace_back(work, std::ref(buffers[i]));
        } catch (const std::system_error&) {
            break;  // no more threads to be had: the ones running finish the list
        }
    }
    work(buffers[0]);
    for (std::thread& helper : helpers) {
        helper.join();
    }
    return digests;
}
#endif

}  // namespace

void set_native_hash_file(nb::handle function) {
#ifdef _WIN32
    (void)function;  // no native index there: every file goes through _hash_file
#else
    // Kept for the life of the process, like the module that owns it.
    native_hash_file = function.inc_ref().ptr();
#endif
}

#ifdef _WIN32
nb::bytes hash_file(nb::handle path) {
    nb::object sha = py::attr("hashlib", "sha256")();
    FileCloser file(py::attr("builtins", "open")(path, "rb"));
    nb::object read = file.get().attr("read");
    for (;;) {
        nb::object chunk = read(kHashReadSize);
        if (nb::len(chunk) == 0) {
            break;
        }
        sha.attr("update")(chunk);
    }
    file.close();
    return nb::borrow<nb::bytes>(sha.attr("digest")());
}
#else
nb::bytes hash_file(nb::handle path) {
    std::string fs_path = fs_path_of(path);
    FileDigest result;
    {
        nb::gil_scoped_release no_gil;
        std::vector<std::uint8_t> buffer(kHashReadSize);
        result = digest_of(fs_path, buffer);
    }
    if (result.error != 0) {
        raise_os_error(result.error, path);
    }
    return to_bytes(result.digest);
}
#endif

nb::dict original_source_index(nb::handle project_root, nb::handle source_dirs) {
    nb::object resolve = own("_resolve_path");
    nb::object sorted = py::attr("builtins", "sorted");
    nb::list found;
    for (nb::handle source_dir : source_dirs) {
        nb::object directory = resolve(project_root, source_dir);
        for (const char* pattern : {"*.v", "*.sv"}) {
            for (nb::handle path : sorted(directory.attr("rglob")(pattern))) {
                found.append(path);
            }
        }
    }

    nb::dict originals;
    nb::object hash = own("_hash_file");
    if (!hash.is(nb::handle(native_hash_file))) {
        for (nb::handle path : found) {
            nb::object digest = hash(path);
            if (!originals.contains(digest)) {
                originals[digest] = path;
            }
        }
        return originals;
    }

#ifndef _WIN32
    std::vector<std::string> fs_paths;
    fs_paths.reserve(found.size());
    for (nb::handle path : found) {
        fs_paths.push_back(fs_path_of(path));
    }
    std::vector<FileDigest> digests = digest_all(fs_paths);
    for (std::size_t i = 0; i < digests.size(); ++i) {
        if (digests[i].error != 0) {
            raise_os_error(digests[i].error, found[i]);
        }
        nb::bytes digest = to_bytes(digests[i].digest);
        if (!originals.contains(digest)) {
            originals[digest] = found[i];
        }
    }
#endif
    return originals;
}

}  // namespace corvane::quessel
