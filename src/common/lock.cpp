// src/common/lock.cpp: an exclusive OS file lock that lets one run at a time use a build directory.
#include "common/lock.hpp"

#include "common/py.hpp"

namespace corvane {

namespace {

// Windows has no flock(); msvcrt locks a byte range of the file instead.
bool windows() {
    return py::str(py::attr("os", "name")) == "nt";
}

/// One attempt without waiting; false when another holder has it.
bool try_lock(nb::handle fd) {
    try {
        if (windows()) {
            nb::handle msvcrt = py::module("msvcrt");
            msvcrt.attr("locking")(fd, msvcrt.attr("LK_NBLCK"), 1);
        } else {
            nb::handle fcntl = py::module("fcntl");
            fcntl.attr("flock")(fd, fcntl.attr("LOCK_EX") | fcntl.attr("LOCK_NB"));
        }
        return true;
    } catch (nb::python_error& error) {
        // flock says BlockingIOError; msvcrt.locking a plain OSError (it has no other failure
        // for a file we just opened ourselves).
        if (error.matches(windows() ? PyExc_OSError : PyExc_BlockingIOError)) {
            return false;
        }
        throw;
    }
}

/// Wait for the lock. flock() waits with the GIL released and gives way to signal handlers, so
/// Ctrl-C ends the wait; msvcrt has no waiting form that does, hence the polling there.
void wait_for_lock(nb::handle fd) {
    if (!windows()) {
        nb::handle fcntl = py::module("fcntl");
        fcntl.attr("flock")(fd, fcntl.attr("LOCK_EX"));
        return;
    }
    while (!try_lock(fd)) {
        py::attr("time", "sleep")(0.1);
    }
}

}  // namespace

BuildLock::BuildLock(nb::handle build_dir) {
    nb::object directory = py::path(build_dir).attr("absolute")();
    nb::object name = directory.attr("name");
    nb::object parent = directory.attr("parent");
    parent.attr("mkdir")(nb::arg("parents") = true, nb::arg("exist_ok") = true);
    nb::object lock_path = parent.attr("__truediv__")(
        py::steal_checked(PyNumber_Add(name.ptr(), nb::str(".lock").ptr())));
    nb::handle os = py::module("os");
    nb::object flags = os.attr("O_RDWR") | os.attr("O_CREAT");
    // os.open makes the descriptor non-inheritable: no child can keep the lock after we let go.
    fd_ = os.attr("open")(lock_path, flags, 0666);
    try {
        if (!try_lock(fd_)) {
            // Flushed: the wait can be long, and the holder's output goes to the same console.
            py::attr("builtins", "print")(
                nb::str("Waiting for {}: another run is using {}").format(lock_path, directory),
                nb::arg("flush") = true);
            wait_for_lock(fd_);
        }
    } catch (...) {
        nb::object fd = std::move(fd_);
        os.attr("close")(fd);
        throw;
    }
}

BuildLock::~BuildLock() {
    if (!fd_.is_valid()) {
        return;
    }
    // Closing the only descriptor of the open file releases the lock.
    try {
        py::attr("os", "close")(fd_);
    } catch (nb::python_error& error) {
        error.discard_as_unraisable("releasing a build directory lock");
    }
}

}  // namespace corvane
