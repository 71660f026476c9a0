// src/corvane/hil/intel/brenlow_session.cpp: the System Console child, its reader and framing.
#include "brenlow_session.hpp"

#include <Python.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string_view>

#include "brenlow_text.hpp"
#include "common/errors.hpp"
#include "common/log.hpp"
#include "common/py.hpp"

namespace corvane::brenlow {

namespace {

// Longest wait for the child to leave after "QUIT", and again after terminating it; also how
// long the reader gives a child whose output has closed to finish exiting.
constexpr double kExitWait = 3.0;

// Longest wait at interpreter exit for reader threads whose child has just been closed.
constexpr double kReaderExitWait = 2.0;

constexpr const char* kLogger = "corvane.hil.intel.brenlow";

// Reader threads that may still run. Held for the life of the process, never released.
nb::handle reader_threads() {
    static PyObject* threads = nb::list().release().ptr();
    return threads;
}

// True while `proc` has not exited (`proc.poll() is None`).
bool running(nb::handle proc) {
    return proc.attr("poll")().is_none();
}

// False once the reader of the current child has ended (a session without one counts as alive).
bool reader_alive(nb::handle self) {
    nb::object reader = self.attr("_reader_thread");
    return reader.is_none() || nb::cast<bool>(reader.attr("is_alive")());
}

// Remembers a reader thread for wait_for_readers (and forgets those that have ended).
void track_reader(nb::handle thread) {
    nb::handle all = reader_threads();
    nb::list live;
    for (nb::handle reader : all) {
        if (nb::bool_(reader.attr("is_alive")())) {
            live.append(reader);
        }
    }
    live.append(thread);
    if (PyList_SetSlice(all.ptr(), 0, PyList_GET_SIZE(all.ptr()), live.ptr()) != 0) {
        throw nb::python_error();
    }
}

void clear_child_state(nb::handle self) {
    self.attr("_proc") = nb::none();
    self.attr("_output") = nb::none();
    self.attr("_reader_thread") = nb::none();
}

// Waits (bounded) for a child whose output has ended to exit; one that lives on is left alone.
void await_exit(nb::handle proc) {
    try {
        proc.attr("wait")(nb::arg("timeout") = kExitWait);
    } catch (nb::python_error& error) {
        if (!error.matches(py::attr("subprocess", "TimeoutExpired"))) {
            throw;
        }
    }
}

// Terminates (or, `hard`, kills) the child with its whole group; a child started elsewhere,
// without a group of its own, alone.
void end_child(Session& session, nb::handle proc, bool hard) {
    if (session.group.leads(proc) && session.group.terminate(hard)) {
        return;
    }
    proc.attr(hard ? "kill" : "terminate")();
}

// Ends a child that will not leave on "QUIT" in time: terminate, then kill as a last resort.
void force_stop(Session& session, nb::handle proc) {
    end_child(session, proc, false);
    try {
        proc.attr("wait")(nb::arg("timeout") = kExitWait);
    } catch (nb::python_error& error) {
        if (!error.matches(py::attr("subprocess", "TimeoutExpired"))) {
            throw;
        }
        end_child(session, proc, true);
        proc.attr("wait")();
    }
}

void stop_child(nb::handle self, Session& session, nb::handle proc) {
    nb::object timeout_expired = py::attr("subprocess", "TimeoutExpired");
    bool forced = false;
    try {
        self.attr("_send")("QUIT");
        proc.attr("wait")(nb::arg("timeout") = kExitWait);
    } catch (nb::python_error& error) {
        if (error.matches(PyExc_OSError) || error.matches(timeout_expired)) {
            forced = true;
        } else if (error.matches(PyExc_RuntimeError) && !running(proc)) {
            // The child left between the running check and "QUIT", so `_send` found it gone.
            // It is already stopped; failing here would leave a close (or the exit hook)
            // unable to finish.
        } else {
            throw;
        }
    }
    if (forced) {
        force_stop(session, proc);
    }
}

// Once the child has exited, what is left of its group goes too: a wrapper's own child that
// outlived it still holds the cable. Asked first; forced once nothing holds the child's output
// any more (the reader has ended) or kExitWait has passed.
void end_rest_of_group(nb::handle self, Session& session, nb::handle proc) {
    if (!session.group.leads(proc) || !session.group.terminate(false)) {
        return;
    }
    nb::object reader = self.attr("_reader_thread");
    if (!reader.is_none()) {
        reader.attr("join")(nb::arg("timeout") = kExitWait);
    }
    session.group.terminate(true);
}

// Reads the answer of the abandoned request and discards it. Each line is awaited within the
// request's own limit (at most `cap` seconds when set): for a transfer, the limit runs from its
// last progress line; for a UART request, as in `command`, from any line. False when the answer
// cannot come: the wait ran out, or the child's output ended.
bool drain_unanswered(nb::handle self, Session& session, std::optional<double> cap) {
    const Unanswered pending = *session.unanswered;
    std::optional<double> limit = pending.limit;
    if (cap) {
        limit = std::min(limit.value_or(*cap), *cap);
    }
    LineWait wait(limit);
    long skipped = 0;
    for (;;) {
        nb::object line;
        try {
            line = wait.next(self);
        } catch (nb::python_error& error) {
            if (error.matches(PyExc_TimeoutError) || error.matches(PyExc_RuntimeError)) {
                return false;
            }
            throw;
        }
        Line kind = classify(pending.request, utf8(line));
        if (kind == Line::answer) {
            log::debug(log::get_logger(kLogger),
                       "Discarded the late answer of an abandoned %s request: %r (after %d other "
                       "lines of it)",
                       pending.request.c_str(), line, skipped);
            session.unanswered.reset();
            return true;
        }
        if (kind == Line::progress || pending.request == "UART") {
            wait.renew();
        }
        ++skipped;
    }
}

// The write end of the request pipe is closed as soon as the child is gone, so repeated
// sessions do not wait for the garbage collector to give back their descriptors.
void close_request_pipe(nb::handle proc) {
    nb::object pipe = nb::getattr(proc, "stdin", nb::none());
    if (pipe.is_none()) {
        return;
    }
    try {
        pipe.attr("close")();
    } catch (nb::python_error& error) {
        // A child that died with unread requests leaves a broken pipe behind; nothing is lost.
        if (!error.matches(PyExc_OSError)) {
            throw;
        }
    }
}

void store_stall_timeout(Session& session, nb::handle value) {
    std::optional<double> limit;
    if (!value.is_none()) {
        limit = nb::cast<double>(nb::float_(value));
        if (!(*limit > 0.0)) {
            raise(PyExc_ValueError, "stall_timeout must be a positive number of seconds or None");
        }
        if (std::isinf(*limit)) {
            limit.reset();  // no limit, as None
        }
    }
    session.stall_timeout = limit;
}

void store_device(Session& session, nb::handle value) {
    if (!value.is_none() && !PyUnicode_Check(value.ptr())) {
        raise(PyExc_TypeError, "device must be a str or None");
    }
    session.device =
        value.is_none() ? std::nullopt : std::optional<std::string>(std::string(utf8(value)));
}

}  // namespace

SessionLock::SessionLock(nb::handle self) : lock_(self.attr("_lock")) {
    lock_.attr("acquire")();
}

SessionLock::~SessionLock() {
    try {
        lock_.attr("release")();
    } catch (nb::python_error& error) {
        error.discard_as_unraisable(lock_);
    }
}

// Limits beyond a lifetime are none: the clock arithmetic must not overflow.
LineWait::LineWait(std::optional<double> limit)
    : limited_(limit.has_value() && *limit < 1e9),
      span_(std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(limit.value_or(0.0)))),
      deadline_(Clock::now() + span_) {}

nb::object LineWait::next(nb::handle self) const {
    nb::object next_line = self.attr("_next_line");
    if (!limited_) {
        return next_line();
    }
    double left = std::chrono::duration<double>(deadline_ - Clock::now()).count();
    return next_line(nb::arg("timeout") = std::max(0.0, left));
}

void LineWait::renew() {
    deadline_ = Clock::now() + span_;
}

Session& state(nb::handle self) {
    return nb::cast<Session&>(self);
}

void send_request(nb::handle self, Session& session, nb::list fields, Unanswered pending) {
    session.unanswered = std::move(pending);
    try {
        self.attr("_send")(*fields);
    } catch (nb::python_error& error) {
        // An error means nothing went out (a bad field, no child). An interrupt may have come
        // after the line was written: the request then counts as sent, and its answer as due.
        if (error.matches(PyExc_Exception)) {
            session.unanswered.reset();
        }
        throw;
    }
}

void init(Session& session, nb::handle self, nb::handle brenlow, nb::handle master_index,
          nb::handle uart_index, nb::handle startup_timeout, nb::handle work_dir,
          nb::handle stall_timeout, nb::handle device) {
    self.attr("brenlow") = brenlow;
    self.attr("master_index") = nb::int_(master_index);
    self.attr("uart_index") = nb::int_(uart_index);
    self.attr("startup_timeout") = nb::float_(startup_timeout);
    self.attr("work_dir") = work_dir.is_none() ? nb::none() : py::path(work_dir);
    self.attr("_lock") = py::attr("threading", "RLock")();
    clear_child_state(self);
    self.attr("_script_context") = nb::none();
    self.attr("_script_path") = nb::none();
    // The instance counts as built only once __init__ returns: `state(self)` is not there yet.
    store_stall_timeout(session, stall_timeout);
    store_device(session, device);
    // Boards are shared lab resources: a test script that forgets to close must not leave a
    // System Console holding the JTAG cable after the interpreter has gone.
    py::attr("atexit", "register")(self.attr("close"));
}

nb::object get_stall_timeout(nb::handle self) {
    const std::optional<double>& limit = state(self).stall_timeout;
    return limit ? nb::object(nb::float_(*limit)) : nb::none();
}

void set_stall_timeout(nb::handle self, nb::handle value) {
    store_stall_timeout(state(self), value);
}

nb::object get_device(nb::handle self) {
    const std::optional<std::string>& device = state(self).device;
    return device ? nb::object(nb::str(device->data(), device->size())) : nb::none();
}

void set_device(nb::handle self, nb::handle value) {
    store_device(state(self), value);
}

nb::object open(nb::handle self) {
    SessionLock guard(self);
    self.attr("_start")();
    return nb::borrow(self);
}

void close(nb::handle self) {
    SessionLock guard(self);
    Session& session = state(self);
    nb::object proc = self.attr("_proc");
    if (!proc.is_none()) {
        bool was_running = running(proc);
        if (was_running) {
            // "QUIT" would be read only after an abandoned request is done: that request gets
            // the time "QUIT" gets, then the child is ended without asking.
            if (!session.unanswered || drain_unanswered(self, session, kExitWait)) {
                stop_child(self, session, proc);
            } else {
                force_stop(session, proc);
            }
        }
        // A child that exited long ago may have left its group empty and its number free for
        // another group; a reader still running says something of it still holds the output.
        if (was_running || reader_alive(self)) {
            end_rest_of_group(self, session, proc);
        }
        close_request_pipe(proc);
    }
    session.unanswered.reset();
    session.group.forget();
    // The reader is not joined: it ends by itself once the child's output closes.
    clear_child_state(self);
    self.attr("_release_session_script")();
}

nb::object enter(nb::handle self) {
    return self.attr("open")();
}

void exit(nb::handle self, nb::handle, nb::handle, nb::handle) {
    self.attr("close")();
}

void start(nb::handle self) {
    Session& session = state(self);
    nb::object proc = self.attr("_proc");
    if (!proc.is_none()) {
        if (running(proc) && reader_alive(self)) {
            // Before the next request goes out, the answer of an abandoned one is read and
            // dropped. Only when it cannot come is the child replaced: a real System Console
            // takes many seconds to start.
            if (!session.unanswered || drain_unanswered(self, session, std::nullopt)) {
                return;
            }
            log::warning(log::get_logger(kLogger),
                         "system-console did not finish an abandoned %s request within its "
                         "limit; restarting it",
                         session.unanswered->request.c_str());
            force_stop(session, proc);
        }
        // Exited, lost its reader, or ended just above: replaced by a new child.
        self.attr("close")();
    }
    nb::object output = py::attr("queue", "Queue")();
    self.attr("_output") = output;

    nb::handle subprocess = py::module("subprocess");
    nb::object flags = nb::getattr(subprocess, "CREATE_NO_WINDOW", nb::int_(0));
    // Held as objects: nb::str of an attribute accessor would borrow the value unconverted.
    nb::object script = self.attr("_session_script_path")();
    nb::object master_index = self.attr("master_index");
    nb::object uart_index = self.attr("uart_index");
    nb::list command;
    command.append(self.attr("brenlow"));
    command.append("--script");
    command.append(nb::str(script));
    command.append(nb::str(master_index));
    command.append(nb::str(uart_index));
    if (session.device) {
        command.append(nb::str(session.device->data(), session.device->size()));
    }

    // A session of its own: the group is ended as a whole, and a Ctrl-C at the terminal reaches
    // the interpreter only, which then closes the session.
    proc = subprocess.attr("Popen")(
        command, nb::arg("stdin") = subprocess.attr("PIPE"),
        nb::arg("stdout") = subprocess.attr("PIPE"), nb::arg("stderr") = subprocess.attr("STDOUT"),
        nb::arg("text") = true, nb::arg("bufsize") = 1, nb::arg("creationflags") = flags,
        nb::arg("start_new_session") = true);
    self.attr("_proc") = proc;
    session.group.adopt(proc);
    // A byte the platform encoding cannot decode (a Latin-1 banner) must not end the reader.
    // Requests stay strict: a path that cannot be encoded is refused rather than altered.
    proc.attr("stdout").attr("reconfigure")(nb::arg("errors") = "replace");

    nb::object thread = py::attr("threading", "Thread")(
        nb::arg("target") = self.attr("_stdout_reader"),
        nb::arg("args") = nb::make_tuple(proc, output), nb::arg("daemon") = true);
    self.attr("_reader_thread") = thread;
    thread.attr("start")();
    track_reader(thread);

    try {
        nb::object timeout = self.attr("startup_timeout");
        for (;;) {
            nb::object line = self.attr("_next_line")(nb::arg("timeout") = timeout);
            std::string_view text = utf8(line);
            if (text == "JTAG_READY") {
                return;
            }
            if (auto reason = after_keyword(text, "JTAG_FATAL")) {
                raise(PyExc_RuntimeError, *reason);
            }
        }
    } catch (nb::python_error&) {
        self.attr("close")();
        throw;
    }
}

void send(nb::handle self, nb::args fields) {
    nb::list texts;
    for (nb::handle field : fields) {
        nb::str text(field);
        if (has_line_break_or_tab(text)) {
            raise(PyExc_ValueError,
                  "System Console protocol fields must not contain tabs or newlines");
        }
        texts.append(text);
    }
    nb::object proc = self.attr("_proc");
    if (proc.is_none() || !running(proc)) {
        raise(PyExc_RuntimeError, "system-console session is not running");
    }
    nb::object line = nb::str("\t").attr("join")(texts) + nb::str("\n");
    nb::object pipe = proc.attr("stdin");
    pipe.attr("write")(line);
    pipe.attr("flush")();
}

nb::object next_line(nb::handle self, nb::handle timeout) {
    nb::object output = self.attr("_output");
    nb::object item;
    try {
        item = output.attr("get")(nb::arg("timeout") = timeout);
    } catch (nb::python_error& error) {
        if (error.matches(py::attr("queue", "Empty"))) {
            raise_from(PyExc_TimeoutError, "Timeout waiting for system-console response",
                       error.value());
        }
        throw;
    }
    if (item.is_none()) {
        // The marker stays queued: the reader has ended, so a later wait on this queue would
        // otherwise block for ever (a transfer waits without a time limit).
        output.attr("put")(item);
        nb::object proc = self.attr("_proc");
        nb::object ret = proc.is_none() ? nb::none() : proc.attr("poll")();
        if (!proc.is_none() && ret.is_none()) {
            raise(PyExc_RuntimeError,
                  "lost the output of system-console while it is still running; the next "
                  "operation restarts it");
        }
        raise(PyExc_RuntimeError, "system-console stopped unexpectedly with code " + py::str(ret));
    }
    return item;
}

void stdout_reader(nb::handle proc, nb::handle output) {
    nb::object stream = proc.attr("stdout");
    nb::object readline = stream.attr("readline");
    nb::object put = output.attr("put");
    nb::str line_end("\r\n");
    // The end marker goes out however the loop ends (a decoding error included): a transfer
    // waits for lines without a time limit and relies on it to learn that no more will come.
    // It is sent from ordinary code, never from a destructor, so that no Python runs while a
    // thread is being unwound.
    auto finish = [&] {
        put(nb::none());
        stream.attr("close")();
    };
    try {
        for (;;) {
            // readline releases the interpreter lock while it blocks on the pipe.
            nb::object line = readline();
            if (PyUnicode_Check(line.ptr()) && PyUnicode_GET_LENGTH(line.ptr()) == 0) {
                break;
            }
            put(line.attr("rstrip")(line_end));
        }
        // The output closes a moment before the child's exit is known. The marker waits for
        // the exit, so that its taker reports the real status and the next _start sees the
        // child gone and replaces it, instead of sending a request to a child that cannot answer.
        await_exit(proc);
    } catch (nb::python_error&) {
        finish();
        throw;
    }
    finish();
}

void wait_for_readers() {
    nb::object monotonic = py::attr("time", "monotonic");
    double deadline = nb::cast<double>(monotonic()) + kReaderExitWait;
    nb::handle all = reader_threads();
    nb::object pending = nb::steal(PyList_GetSlice(all.ptr(), 0, PY_SSIZE_T_MAX));
    for (nb::handle reader : pending) {
        double left = deadline - nb::cast<double>(monotonic());
        if (left <= 0) {
            return;
        }
        reader.attr("join")(nb::arg("timeout") = left);
    }
}

nb::object session_script_path(nb::handle self) {
    if (self.attr("_script_context").is_none()) {
        nb::object resource = py::attr("importlib.resources", "files")("corvane.hil.intel")
                                  .attr("joinpath")("resources")
                                  .attr("joinpath")("jtag_session.tcl");
        nb::object context = py::attr("importlib.resources", "as_file")(resource);
        self.attr("_script_context") = context;
        self.attr("_script_path") = context.attr("__enter__")();
    }
    return self.attr("_script_path");
}

void release_session_script(nb::handle self) {
    nb::object context = self.attr("_script_context");
    if (context.is_none()) {
        return;
    }
    context.attr("__exit__")(nb::none(), nb::none(), nb::none());
    self.attr("_script_context") = nb::none();
    self.attr("_script_path") = nb::none();
}

}  // namespace corvane::brenlow
