// src/common/child.cpp: outside tools run in a process group of their own, ended as a whole.
#include "common/child.hpp"

#include "common/errors.hpp"
#include "common/py.hpp"

namespace corvane {

namespace {

// Long enough for a simulator to flush and exit on SIGTERM, short enough for a Ctrl-C.
constexpr double kGraceSeconds = 2.0;
constexpr double kPollSeconds = 0.02;

bool has_groups() {
    return nb::hasattr(py::module("os"), "killpg");
}

/// os.killpg(group, sig); false when no process of the group is left.
bool signal_group(nb::handle group, nb::handle sig) {
    try {
        py::attr("os", "killpg")(group, sig);
        return true;
    } catch (nb::python_error& error) {
        if (error.matches(PyExc_ProcessLookupError)) {
            return false;
        }
        // PermissionError: a member changed its identity; it still exists.
        if (error.matches(PyExc_PermissionError)) {
            return true;
        }
        throw;
    }
}

/// Wait for the leader, through further interrupts: after SIGKILL this returns at once.
void reap(nb::handle proc) {
    for (int attempt = 0;; ++attempt) {
        try {
            proc.attr("wait")();
            return;
        } catch (nb::python_error&) {
            if (attempt == 100) {
                throw;
            }
        }
    }
}

/// SIGTERM to the group, up to the grace period for it to go, SIGKILL to whatever is left. The
/// leader is reaped on the way (a zombie still counts as a member). A second interrupt during
/// the grace period cuts it short; the caller's exception is the one that propagates.
void end_group(nb::handle proc) {
    nb::handle signal = py::module("signal");
    if (!has_groups()) {
        try {
            proc.attr("kill")();
        } catch (nb::python_error&) {  // it may have exited meanwhile
        }
        reap(proc);
        return;
    }
    nb::object group = proc.attr("pid");
    nb::object zero = nb::int_(0);
    if (signal_group(group, signal.attr("SIGTERM"))) {
        try {
            nb::object clock = py::attr("time", "monotonic");
            const double deadline = nb::cast<double>(clock()) + kGraceSeconds;
            for (;;) {
                proc.attr("poll")();
                if (!signal_group(group, zero) || nb::cast<double>(clock()) > deadline) {
                    break;
                }
                py::attr("time", "sleep")(kPollSeconds);
            }
        } catch (nb::python_error&) {  // a second interrupt: no more grace
        }
        signal_group(group, signal.attr("SIGKILL"));
    }
    reap(proc);
}

}  // namespace

int run_in_own_group(nb::handle command, nb::handle popen_kwargs) {
    nb::dict kwargs = nb::borrow<nb::dict>(py::attr("builtins", "dict")(popen_kwargs));
    const bool groups = has_groups();
    if (groups) {
        // A session, not only a group: a background group of our terminal would be stopped by
        // the first read from it (vsim -c at its prompt, vvp after $stop).
        kwargs["start_new_session"] = true;
    }
    nb::object proc = py::attr("subprocess", "Popen")(command, **kwargs);
    int status = 0;
    try {
        status = nb::cast<int>(proc.attr("wait")());
    } catch (nb::python_error&) {
        end_group(proc);
        throw;
    }
    if (status != 0 && groups) {
        end_group(proc);
    }
    return status;
}

void run_checked(nb::handle command, nb::handle popen_kwargs) {
    const int status = run_in_own_group(command, popen_kwargs);
    if (status != 0) {
        raise_instance(py::attr("subprocess", "CalledProcessError")(status, command));
    }
}

}  // namespace corvane
