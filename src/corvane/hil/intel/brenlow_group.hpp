// src/corvane/hil/intel/brenlow_group.hpp: the console child and all it starts, ended together.
//
// The real system-console is a shell wrapper whose own child is the program that holds the
// JTAG cable. Ending the wrapper alone would leave that program running with the cable taken,
// so the child starts as the leader of a process group of its own (a new session on POSIX, a
// job object on Windows) and every way of stopping it ends the whole group.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane::brenlow {

namespace nb = nanobind;

class ChildGroup {
  public:
    ChildGroup() = default;
    ~ChildGroup();
    ChildGroup(const ChildGroup&) = delete;
    ChildGroup& operator=(const ChildGroup&) = delete;

    /// Makes the just started `proc` (started with `start_new_session=True`) the group's leader.
    /// Where no group can be made, the group stays empty and `leads` is false.
    void adopt(nb::handle proc);

    /// True when `proc` is the leader of this group.
    bool leads(nb::handle proc) const;

    /// Asks every member to end (SIGTERM), or forces it (`hard`: SIGKILL); on Windows both end
    /// the job at once. False when the group has no member left (or none that can be reached).
    bool terminate(bool hard);

    /// Forgets the group (on Windows, closing the job ends whatever is left in it).
    void forget();

  private:
    long leader_ = 0;
#ifdef _WIN32
    void* job_ = nullptr;
#endif
};

}  // namespace corvane::brenlow
