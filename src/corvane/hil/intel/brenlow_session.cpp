// src/corvane/hil/intel/brenlow_session.cpp: the System Console child, its reader and framing.
#include "brenlow_session.hpp"

#include <Python.h>

#include <string_view>

#include "brenlow_text.hpp"
#include "common/errors.hpp"
#include "common/py.hpp"

namespace corvane::brenlow {

namespace {

// Longest wait for the child to leave after "QUIT", and again after terminating it; also how
// long the reader gives a child whose output has closed to finish exiting.
constexpr double kExitWait = 3.0;

// Longest wait at interpreter exit for reader threads whose child has just been closed.
constexpr double kReaderExitWait = 2.0;

// Reader threads that may still run. Held for the life of the process, never released.
nb::handle reader_threads() {
    static PyObject* threads = nb::list().release().ptr();
    return threads;
}

// True while `proc` has not exited (`proc.poll() is None`).
bool running(nb::handle proc) {
    return proc.attr("poll")().is_none();
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

// Ends a child that did not leave on "QUIT" in time: terminate, then kill as a last resort.
void force_stop(nb::handle proc, nb::handle timeout_expired) {
    proc.attr("terminate")();
    try {
        proc.attr("wait")(nb::arg("timeout") = kExitWait);
    } catch (nb::python_error& error) {
        if (!error.matches(timeout_expired)) {
            throw;
        }
        proc.attr("kill")();
        proc.attr("wait")();
    }
}

void stop_child(nb::handle self, nb::handle proc) {
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
        force_stop(proc, timeout_expired);
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

void init(nb::handle self, nb::handle brenlow, nb::handle master_index, nb::handle uart_index,
          nb::handle startup_timeout, nb::handle work_dir) {
    self.attr("brenlow") = brenlow;
    self.attr("master_index") = nb::int_(master_index);
    self.attr("uart_index") = nb::int_(uart_index);
    self.attr("startup_timeout") = nb::float_(startup_timeout);
    self.attr("work_dir") = work_dir.is_none() ? nb::none() : py::path(work_dir);
    self.attr("_lock") = py::attr("threading", "RLock")();
    clear_child_state(self);
    self.attr("_script_context") = nb::none();
    self.attr("_script_path") = nb::none();
    // Boards are shared lab resources: a test script that forgets to close must not leave a
    // System Console holding the JTAG cable after the interpreter has gone.
    py::attr("atexit", "register")(self.attr("close"));
}

nb::object open(nb::handle self) {
    SessionLock guard(self);
    self.attr("_start")();
    return nb::borrow(self);
}

void close(nb::handle self) {
    SessionLock guard(self);
    nb::object proc = self.attr("_proc");
    if (!proc.is_none()) {
        if (running(proc)) {
            stop_child(self, proc);
        }
        close_request_pipe(proc);
    }
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
    nb::object proc = self.attr("_proc");
    if (!proc.is_none()) {
        if (running(proc)) {
            return;
        }
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

    proc = subprocess.attr("Popen")(
        command, nb::arg("stdin") = subprocess.attr("PIPE"),
        nb::arg("stdout") = subprocess.attr("PIPE"), nb::arg("stderr") = subprocess.attr("STDOUT"),
        nb::arg("text") = true, nb::arg("bufsize") = 1, nb::arg("creationflags") = flags);
    self.attr("_proc") = proc;

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
