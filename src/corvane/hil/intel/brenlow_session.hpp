// src/corvane/hil/intel/brenlow_session.hpp: the System Console child, its reader and framing.
//
// A session keeps its state as ordinary instance attributes (`_proc`, `_output`, ...), and every
// call between its own methods goes through attribute lookup on the instance, so a Python
// subclass or a test can replace any step. The functions here take the instance as a handle.
// What is not an instance attribute lives in `Session`: the two keyword-only settings (seen from
// Python as properties), the request whose answer is still due, and the child's process group.
#pragma once

#include <nanobind/nanobind.h>

#include <chrono>
#include <optional>
#include <string>

#include "brenlow_group.hpp"

namespace corvane::brenlow {

namespace nb = nanobind;

/// A request whose answer has not been read yet. It is set when the request goes out and
/// cleared when its answer line arrives; still set once its operation has ended (a time-out,
/// an interrupt), it names an abandoned request whose answer is still on its way, and which
/// the next request must not take for its own.
struct Unanswered {
    std::string request;          ///< "READ", "WRITE" or "UART"
    std::optional<double> limit;  ///< its own wait for a line, in seconds (none: no limit)
};

struct Session {
    std::optional<double> stall_timeout = 120.0;
    std::optional<std::string> device;
    std::optional<Unanswered> unanswered;
    ChildGroup group;
};

/// Waits for the child's lines through `self._next_line`, with a limit that runs from the last
/// `renew()` (from construction at first); no limit when none is given.
class LineWait {
  public:
    explicit LineWait(std::optional<double> limit);
    /// The next line; the TimeoutError of `_next_line` once the limit has run out.
    nb::object next(nb::handle self) const;
    void renew();

  private:
    using Clock = std::chrono::steady_clock;
    bool limited_;
    Clock::duration span_;
    Clock::time_point deadline_;
};

/// The C++ state of the session `self`.
Session& state(nb::handle self);

/// Sends `fields` through `self._send` and remembers the request as `pending` until its answer
/// has been read (the caller clears `Session::unanswered` when it has).
void send_request(nb::handle self, Session& session, nb::list fields, Unanswered pending);

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

void init(Session& session, nb::handle self, nb::handle brenlow, nb::handle master_index,
          nb::handle uart_index, nb::handle startup_timeout, nb::handle work_dir,
          nb::handle stall_timeout, nb::handle device);
nb::object get_stall_timeout(nb::handle self);
void set_stall_timeout(nb::handle self, nb::handle value);
nb::object get_device(nb::handle self);
void set_device(nb::handle self, nb::handle value);
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
