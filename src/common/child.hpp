// src/common/child.hpp: outside tools run in a process group of their own, ended as a whole.
//
// The Quartus tools, vsim and the simulators are often shell wrappers that start the real program
// as their child. Ending only the wrapper (as subprocess.run does on Ctrl-C) would leave that
// program running, holding a licence or a cable. So each tool starts a session of its own, and
// when the wait for it ends by an exception (KeyboardInterrupt, SystemExit, a time-out raised by
// a signal handler such as pytest-timeout's) or the tool fails, the whole group is sent SIGTERM,
// given a moment, then SIGKILL. Where the host has no process groups (Windows) the direct child
// is killed, as subprocess.run does.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane {

namespace nb = nanobind;

/// `subprocess.Popen(command, **popen_kwargs)` in a new session, waited for; returns its exit
/// status. Every way out of the wait leaves no process of the group running, except a tool
/// that exited 0 (whatever it left behind then is its own business).
int run_in_own_group(nb::handle command, nb::handle popen_kwargs);

/// run_in_own_group; a non-zero status raises subprocess.CalledProcessError(status, command),
/// as subprocess.run(..., check=True) does.
void run_checked(nb::handle command, nb::handle popen_kwargs);

}  // namespace corvane
