// src/common/lock.hpp: an exclusive OS file lock that lets one run at a time use a build directory.
//
// The lock is a file next to the directory, "<build_dir>.lock", never inside it: a clean step may
// remove the directory while holding the lock. It is flock()ed (msvcrt.locking on Windows), so
// it is exclusive between processes and between threads that each take it, and the OS drops it
// when the holder dies. The file itself stays; removing it would let two runs lock two files.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane {

namespace nb = nanobind;

/// Holds the lock of `build_dir` from construction to destruction (every way out of a scope,
/// KeyboardInterrupt and SystemExit included). While another run holds it, one line saying so
/// is printed and the constructor waits; an interrupt during the wait propagates. The lock file
/// goes into the parent of `build_dir`, made with its own parents when missing (cocotb makes the
/// build directory itself that way).
class BuildLock {
  public:
    explicit BuildLock(nb::handle build_dir);
    BuildLock(const BuildLock&) = delete;
    BuildLock& operator=(const BuildLock&) = delete;
    ~BuildLock();

  private:
    nb::object fd_;
};

}  // namespace corvane
