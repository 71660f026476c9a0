// src/corvane/sim/bfms/tavrin_bfm_watch.cpp: outstanding(), wait_idle() and the engine watchdog.
//
// A hung DMA test otherwise runs silently to the global timeout: the design waits for an answer
// the model cannot give (it was never started, a dout beat is missing, the design holds a
// response stream's ready low). These tell the user what is owed and to whom.
#include <optional>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "common/py.hpp"
#include "tavrin_bfm.hpp"
#include "tavrin_labels.hpp"

namespace corvane::tavrin {

namespace {

/// "top.tavrin_bfm", as the model's logger is named without its "cocotb." root.
std::string model_label(nb::handle self) {
    nb::object dut = self.attr("dut");
    return py::str(dut.attr("_name")) + ".tavrin_bfm";
}

std::vector<Side*> modelled_sides(nb::handle self) {
    Bfm& state = bfm_state(self);
    std::vector<Side*> sides;
    if (py::truthy(self.attr("enable_read"))) {
        sides.push_back(&state.read);
    }
    if (py::truthy(self.attr("enable_write"))) {
        sides.push_back(&state.write);
    }
    return sides;
}

/// The engine task of `side` in `_tasks` (start() appends read, then write), or None.
nb::object engine_task(nb::handle self, const Side& side) {
    nb::object tasks = self.attr("_tasks");
    const std::size_t index =
        (&side == &bfm_state(self).write && py::truthy(self.attr("enable_read"))) ? 1 : 0;
    if (nb::len(tasks) <= index) {
        return nb::none();
    }
    return tasks[index];
}

/// Why `side`'s engine cannot make progress, or "" when it runs.
std::string engine_blocked(nb::handle self, const Side& side) {
    if (!bfm_state(self).started) {
        return "the model was never started: call start() first";
    }
    nb::object task = engine_task(self, side);
    if (task.is_none()) {
        return "the model was stopped";
    }
    if (py::truthy(task.attr("done")())) {
        return std::string("the ") + side.name + " engine has ended";
    }
    return "";
}

std::vector<std::string> outstanding_lines(nb::handle self) {
    std::vector<std::string> lines;
    for (Side* side : modelled_sides(self)) {
        side->prune(self);
        const std::string blocked = engine_blocked(self, *side);
        side->describe(self, blocked.empty() ? "" : " (" + blocked + ")", lines);
    }
    return lines;
}

std::string joined(const std::vector<std::string>& lines, const char* separator) {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        text += (i == 0 ? "" : separator) + lines[i];
    }
    return text;
}

/// The outstanding text as error messages carry it: indented below their first line.
std::string indented_outstanding(nb::handle self) {
    return "outstanding:\n  " + joined(outstanding_lines(self), "\n  ");
}

bool side_idle(nb::handle self, Side& side) {
    side.prune(self);
    return side.transfers.empty() && side.waiting_beats(self) == 0;
}

/// The first reason found why an outstanding item can never be answered, or "".
std::string hopeless(nb::handle self) {
    for (Side* side : modelled_sides(self)) {
        if (!side_idle(self, *side)) {
            if (std::string blocked = engine_blocked(self, *side); !blocked.empty()) {
                return blocked;
            }
        }
    }
    return "";
}

bool idle(nb::handle self) {
    for (Side* side : modelled_sides(self)) {
        if (!side_idle(self, *side)) {
            return false;
        }
    }
    return true;
}

coro::Coroutine idle_wait(nb::object self, nb::object timeout_cycles) {
    nb::object edge;  // RisingEdge(clock), made when first needed
    long long waited = 0;
    for (;;) {
        if (idle(self)) {
            co_return nb::none();
        }
        if (std::string reason = hopeless(self); !reason.empty()) {
            raise(PyExc_RuntimeError, model_label(self) + ": wait_idle() cannot finish: " + reason +
                                          "; " + indented_outstanding(self));
        }
        if (!timeout_cycles.is_none() && waited >= nb::cast<long long>(timeout_cycles)) {
            raise(PyExc_TimeoutError, model_label(self) + ": wait_idle() timed out after " +
                                          std::to_string(waited) + " clock cycles; " +
                                          indented_outstanding(self));
        }
        if (!edge.is_valid()) {
            nb::object clock = self.attr("clock");
            edge = py::attr("cocotb.triggers", "RisingEdge")(clock);
        }
        co_await edge;
        ++waited;
    }
}

/// True when the signal reads as 1 (X, Z and missing signals read as 0).
bool high(nb::handle signal) {
    if (!signal.is_valid() || signal.is_none()) {
        return false;
    }
    nb::object value = signal.attr("value");
    const int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) {
        PyErr_Clear();  // an unresolved value is not a handshake
        return false;
    }
    return truth == 1;
}

/// What the watchdog compares from one clock edge to the next.
struct Snapshot {
    std::uint64_t progress = 0;
    std::size_t responses_pending = 0;
    std::size_t data_pending = 0;
    bool waiting_out_delay = false;  // a response delay runs: the model itself is waiting
    bool handshake = false;          // a din beat went to the design at this edge

    bool moved_since(const Snapshot& before) const {
        return progress != before.progress || responses_pending != before.responses_pending ||
               data_pending != before.data_pending || waiting_out_delay || handshake;
    }
};

Snapshot snapshot(nb::handle self, const Side& side, bool read) {
    Snapshot now;
    now.progress = side.progress;
    now.responses_pending = frames_pending(self.attr(side.response_source));
    for (const Transfer& transfer : side.transfers) {
        now.waiting_out_delay |= transfer.stage == Stage::Delay;
    }
    if (read) {
        const Bfm& state = bfm_state(self);
        now.data_pending = frames_pending(self.attr(side.data_endpoint));
        // A din frame may take many cycles; each beat the design takes is progress. Without a
        // ready signal the design takes every beat the source drives.
        now.handshake =
            high(state.din_valid) &&
            (!state.din_ready.is_valid() || state.din_ready.is_none() || high(state.din_ready));
    }
    return now;
}

/// The engine loop of one side as a Python coroutine object. Made outside any coroutine body:
/// GCC 12 destroys a coroutine temporary of a conditional expression in a coroutine twice.
nb::object engine_loop(nb::object self, bool read) {
    if (read) {
        return coro::to_python(read_loop(std::move(self)), "TavrinBFM._run_reads");
    }
    return coro::to_python(write_loop(std::move(self)), "TavrinBFM._run_writes");
}

/// The engine loop, as a task of its own: its error is kept for the watching task to raise.
coro::Coroutine guarded_loop(nb::object self, bool read) {
    Side& side = read ? bfm_state(self).read : bfm_state(self).write;
    // Caught here and dealt with after the handler, which keeps the handler free of awaits
    // and rethrows.
    std::optional<nb::python_error> ended;
    try {
        co_await engine_loop(self, read);
    } catch (nb::python_error& error) {
        ended.emplace(error);
    }
    if (ended && !ended->matches(PyExc_Exception)) {
        nb::python_error cancelled = *ended;  // cancellation and the like end this task as usual
        throw cancelled;
    }
    if (ended) {
        // A failure of the engine is raised by the engine task the test knows (the watching
        // one), so it is kept and that task woken.
        side.failure.emplace(*ended);
        side.wake.attr("set")();
    }
    co_return nb::none();
}

/// Cancels the engine loop's task when the watching task ends, however it ends.
class ChildTask {
  public:
    explicit ChildTask(nb::object task) : task_(std::move(task)) {}
    ChildTask(const ChildTask&) = delete;
    ChildTask& operator=(const ChildTask&) = delete;
    ~ChildTask() {
        // A destructor must not throw: a task that cannot be cancelled now (cocotb is
        // cancelling it itself at the end of a test) is left to cocotb.
        PyObject* done = PyObject_CallMethod(task_.ptr(), "done", nullptr);
        if (done != nullptr && PyObject_Not(done) == 1) {
            Py_XDECREF(PyObject_CallMethod(task_.ptr(), "cancel", nullptr));
        }
        Py_XDECREF(done);
        PyErr_Clear();
    }

  private:
    nb::object task_;
};

}  // namespace

coro::Coroutine watched_engine(nb::object self, bool read) {
    Bfm& state = bfm_state(self);
    Side& side = read ? state.read : state.write;
    const long long limit = nb::cast<long long>(state.watchdog_cycles);
    side.wake = py::attr("cocotb.triggers", "Event")();
    side.failure.reset();
    // Whatever ends this task (its own time-out, the engine's error, stop() or the end of the
    // test) ends the engine loop with it.
    const ChildTask child(py::attr(
        "cocotb", "start_soon")(coro::to_python(guarded_loop(self, read), "TavrinBFM._engine")));
    nb::object clock = self.attr("clock");
    nb::object edge = py::attr("cocotb.triggers", "RisingEdge")(clock);
    long long still = 0;  // consecutive cycles without progress while something is owed
    Snapshot last = snapshot(self, side, read);
    for (;;) {
        if (side.failure) {
            nb::python_error failure = *side.failure;
            side.failure.reset();
            throw failure;
        }
        side.prune(self);
        if (side.transfers.empty()) {
            // Nothing owed: sleep until the engine takes the next descriptor.
            side.wake.attr("clear")();
            co_await side.wake.attr("wait")();
            still = 0;
            last = snapshot(self, side, read);
            continue;
        }
        co_await edge;
        const Snapshot now = snapshot(self, side, read);
        if (now.moved_since(last)) {
            still = 0;
            last = now;
            continue;
        }
        if (++still >= limit) {
            raise(PyExc_TimeoutError,
                  model_label(self) + ": the " + side.name + " side made no progress for " +
                      std::to_string(limit) + " clock cycles (watchdog_cycles=" +
                      std::to_string(limit) + "); " + indented_outstanding(self));
        }
    }
}

nb::str outstanding(nb::handle self) {
    std::string text = joined(outstanding_lines(self), "\n");
    return nb::str(text.data(), text.size());
}

nb::object wait_idle(nb::handle self, nb::handle timeout_cycles) {
    nb::object limit = nb::none();
    if (!timeout_cycles.is_none()) {
        limit = py::steal_checked(PyNumber_Index(timeout_cycles.ptr()));
        if (limit < nb::int_(0)) {
            raise(PyExc_ValueError,
                  "timeout_cycles must be None or a non-negative number of clock cycles, got " +
                      py::str(limit));
        }
    }
    return coro::to_python(idle_wait(nb::borrow(self), limit), "TavrinBFM.wait_idle");
}

}  // namespace corvane::tavrin
