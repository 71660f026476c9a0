// src/corvane/hil/intel/brenlow_session.hpp: the System Console child, its reader and framing.
//
// A session keeps all of its state as ordinary instance attributes (`_proc`, `_output`, ...), and
// every call between its own methods goes through attribute lookup on the instance, so a Python
// subclass or a test can replace any step. The functions here take the instance as a handle.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane::brenlow {

namespace nb = nanobind;

/// The C++ side of a session holds nothing: the state lives in the instance `__dict__`.
struct Session {};

/// Holds `self._lock` (a re-entrant lock) for the lifetime of the guard.
class SessionLock {
  public:
    explicit SessionLock(nb::handle self);
    ~SessionLock();
    SessionLock(const SessionLock&) = delete;
    SessionLock& operator=(const SessionLock&) = delete;

  private:
    nb::object lock_;
};

void init(nb::handle self, nb::handle brenlow, nb::handle master_index, nb::handle uart_index,
          nb::handle startup_timeout, nb::handle work_dir);
nb::object open(nb::handle self);
void close(nb::handle self);
nb::object enter(nb::handle self);
void exit(nb::handle self, nb::handle exc_type, nb::handle exc_value, nb::handle traceback);

void start(nb::handle self);
void send(nb::handle self, nb::args fields);
nb::object next_line(nb::handle self, nb::handle timeout);
void stdout_reader(nb::handle proc, nb::handle output);
nb::object session_script_path(nb::handle self);
void release_session_script(nb::handle self);

/// Interpreter-exit hook, run after every session's own close hook: waits (2 s at most) for
/// the reader threads of the just-closed children to end. A reader is C++ calling into Python;
/// one still running when the interpreter finalises would be ended by the interpreter in the
/// middle of C++ frames, which aborts the process.
void wait_for_readers();

}  // namespace corvane::brenlow
