// src/corvane/sim/bfms/tavrin_st_sink.cpp: the native Avalon-ST monitor and sink.
//
// Same wire behaviour as cocotbext-avalon's AvalonSTMonitor and AvalonSTSink with ready latency
// 0: a beat is taken at every clock edge where valid and ready are both high, the loop sleeps
// between beats until valid or ready rises (two small watcher tasks wake it, as in the library),
// and the sink decides ready from the pause flag as it stood before the edge, so a pause takes
// effect one clock late while beats flow. Beats go into one queue that recv_beat() drains; unlike
// the library, no second queue of whole frames is filled behind the reader's back.
#include <string>

#include "common/coro.hpp"
#include "common/errors.hpp"
#include "common/py.hpp"
#include "tavrin_st.hpp"

namespace corvane::tavrin::st {

namespace {

/// "valid=1, ready=0, ..., data=0101" of the present signals, as the library prints them.
std::string snapshot(const Monitor& m) {
    std::string text;
    std::pair<const char*, const Line*> lines[] = {
        {"valid", &m.valid},     {"ready", &m.ready}, {"startofpacket", &m.sop},
        {"endofpacket", &m.eop}, {"empty", &m.empty}, {"channel", &m.channel},
        {"error", &m.error},     {"data", &m.data}};
    for (auto [name, line] : lines) {
        if (*line) {
            text += (text.empty() ? "" : ", ") + std::string(name) + "=" +
                    py::str(line->handle().attr("value"));
        }
    }
    return text;
}

[[noreturn]] void protocol_error(const Monitor& m, const std::string& message,
                                 nb::handle beat = nb::handle()) {
    std::string text =
        m.label + ": Avalon-ST " + m.kind + " " + message + "; signals=(" + snapshot(m) + ")";
    if (beat.is_valid()) {
        text += ", beat=" + py::str(nb::repr(beat));
    }
    raise(PyExc_RuntimeError, text);
}

[[noreturn]] void unknown_value(const Monitor& m, const char* name) {
    raise(PyExc_RuntimeError, m.label + ": Avalon-ST " + name +
                                  " is X/Z during valid-ready handshake (" + snapshot(m) + ")");
}

/// A handshake signal that must be 0 or 1.
int required_bit(const Monitor& m, const Line& line, const char* name) {
    nb::object value;
    if (!line.read_int(m.gpi, value)) {
        unknown_value(m, name);
    }
    return py::truthy(value) ? 1 : 0;
}

/// A sideband that reads as 0 when it is X/Z.
nb::object lenient(const Monitor& m, const Line& line) {
    nb::object value = nb::int_(0);
    if (line && !line.read_int(m.gpi, value)) {
        value = nb::int_(0);
    }
    return value;
}

/// Wake the first waiting recv_beat(), as cocotb's Queue wakes its first getter. A cancelled
/// getter has already left the line (see GetterGuard).
void wake_getter(Monitor& m) {
    if (!m.getters.empty() && m.getters.front().wanted <= m.beats.size()) {
        nb::object event = std::move(m.getters.front().event);
        m.getters.pop_front();
        event.attr("set")();
    }
}

/// Takes a waiting recv_beat() out of the line when its task is cancelled while it waits.
struct GetterGuard {
    Monitor* m;
    std::uint64_t id;
    ~GetterGuard() {
        for (auto it = m->getters.begin(); it != m->getters.end(); ++it) {
            if (it->id == id) {
                m->getters.erase(it);
                break;
            }
        }
    }
};

coro::Coroutine watch_rise([[maybe_unused]] nb::object self, Monitor* m, const Line* line) {
    bool previous = line->flag(m->gpi, false);
    nb::object change = line->handle().attr("value_change");
    for (;;) {
        co_await change;
        bool current = line->flag(m->gpi, false);
        if (current && !previous) {
            m->wake_event.attr("set")();
        }
        previous = current;
    }
}

coro::Coroutine monitor_run(nb::object self, Monitor* m) {
    m->open = false;
    m->active = false;
    for (;;) {
        co_await m->edge;
        if (m->reset_state) {
            m->open = false;
            m->active = false;
            continue;
        }
        bool ready = m->ready ? m->ready.flag(m->gpi, false) : true;
        bool valid = m->valid ? m->valid.flag(m->gpi, false) : true;
        if (ready && valid) {
            m->take_beat(self);
            continue;
        }
        m->active = m->open;
        m->wake_event.attr("clear")();
        co_await m->wake_trigger;
    }
}

coro::Coroutine sink_run(nb::object self, Sink* s) {
    s->open = false;
    s->active = false;
    if (s->ready) {
        s->ready.drive(s->gpi, "0");
    }
    for (;;) {
        // Sampled before the edge: a pause set during this cycle shows on ready one edge later.
        bool pause_sample = s->pause;
        co_await s->edge;
        if (s->reset_state) {
            s->open = false;
            s->active = false;
            if (s->ready) {
                s->ready.drive(s->gpi, "0");
            }
            continue;
        }
        // Ready is this sink's own: the value it last wrote is the value on the wire.
        bool ready = s->ready ? s->ready.last_flag() : true;
        bool valid = s->valid ? s->valid.flag(s->gpi, false) : true;
        if (ready && valid) {
            s->take_beat(self);
        } else {
            s->active = s->open;
        }
        if (s->ready) {
            s->ready.drive(s->gpi, pause_sample ? "0" : "1");
            if ((!valid || pause_sample) && pause_sample == s->pause) {
                s->wake_event.attr("clear")();
                co_await s->wake_trigger;
            }
        } else if (!valid) {
            s->wake_event.attr("clear")();
            co_await s->wake_trigger;
        }
    }
}

coro::Coroutine receive([[maybe_unused]] nb::object self, Monitor* m, size_t count, bool one) {
    while (m->beats.size() < count) {
        Monitor::Getter getter;
        if (m->spare.empty()) {
            getter.event = py::attr("cocotb.triggers", "Event")();
            getter.trigger = getter.event.attr("wait")();
        } else {
            getter = std::move(m->spare.back());
            m->spare.pop_back();
        }
        getter.id = ++m->getter_ids;
        getter.wanted = count;
        m->getters.push_back(getter);
        {
            GetterGuard guard{m, getter.id};
            co_await getter.trigger;
        }
        // Woken: the Event can serve the next wait (a cancelled getter's is simply dropped).
        getter.event.attr("clear")();
        m->spare.push_back(std::move(getter));
    }
    if (one) {
        co_return m->pop_beat();
    }
    nb::list beats;
    for (size_t i = 0; i < count; ++i) {
        beats.append(m->pop_beat());
    }
    co_return beats;
}

coro::Coroutine wait_beat([[maybe_unused]] nb::object self, Monitor* m, nb::object timeout,
                          nb::object unit) {
    if (!m->beats.empty()) {
        co_return nb::none();
    }
    nb::object event = py::attr("cocotb.triggers", "Event")();
    m->beat_waiters.push_back(event);
    if (py::truthy(timeout)) {
        co_await py::attr("cocotb.triggers", "First")(
            event.attr("wait")(), py::attr("cocotb.triggers", "Timer")(timeout, unit));
    } else {
        co_await event.attr("wait")();
    }
    co_return nb::none();
}

/// Valid and ready are watched for rising edges: each must be one bit.
void check_watched(const Monitor& m) {
    for (auto [line, name] : {std::pair{&m.valid, "valid"}, std::pair{&m.ready, "ready"}}) {
        if (*line && line->width() != 1) {
            raise(PyExc_TypeError,
                  m.label + ": Avalon-ST " + name + " must be scalar or 1-bit wide");
        }
    }
}

/// Watchers that wake the run loop when valid or ready rises.
void start_watchers(nb::handle self, Monitor& m) {
    for (const Line* line : {&m.valid, &m.ready}) {
        if (*line) {
            m.watch_tasks.push_back(start_task(coro::to_python(
                watch_rise(nb::borrow(self), &m, line), "TavrinST._run_rising_value_monitor")));
        }
    }
}

}  // namespace

void Monitor::take_beat(nb::handle) {
    nb::object object = nb::cast(Beat{});
    Beat& beat = nb::cast<Beat&>(object);
    if (!data.read_bytes(gpi, beat.word)) {
        unknown_value(*this, "data");
    }
    beat.width = width;
    beat.bits_per_symbol = bits_per_symbol;
    beat.symbols_per_beat = symbols_per_beat;
    beat.first_high = first_high;
    beat.sop = beat.eop = 1;
    if (packets) {
        beat.sop = required_bit(*this, sop, "startofpacket");
        beat.eop = required_bit(*this, eop, "endofpacket");
    }
    if (empty && packets && symbols_per_beat > 1) {
        beat.empty = nb::cast<long long>(lenient(*this, empty));
        if (beat.empty != 0 && beat.eop == 0) {
            protocol_error(*this,
                           "empty=" + std::to_string(beat.empty) + " asserted without endofpacket");
        }
        if (beat.empty >= symbols_per_beat) {
            protocol_error(*this, "empty out of range: " + std::to_string(beat.empty) +
                                      ", symbols_per_beat=" + std::to_string(symbols_per_beat));
        }
    }
    beat.error = lenient(*this, error);
    beat.channel = lenient(*this, channel);
    beat.kept = symbols_per_beat - static_cast<int>(packets && beat.eop ? beat.empty : 0);
    beat.sim_time = gpi.now();

    // Filed before the packet checks, as the library does: a faulty beat can still be read.
    beats.push_back(object);
    wake_getter(*this);
    for (nb::object& waiter : beat_waiters) {
        waiter.attr("set")();
    }
    beat_waiters.clear();

    if (!packets) {
        return;
    }
    if (beat.sop) {
        if (open) {
            protocol_error(*this,
                           "duplicate startofpacket before endofpacket (open_frame_start=" +
                               std::to_string(open_start) +
                               ", open_frame_symbols=" + std::to_string(open_symbols) + ")",
                           object);
        }
        open = true;
        open_start = beat.sim_time;
        open_symbols = 0;
        active = true;
    } else if (!open) {
        protocol_error(*this, "transfer outside of packet: missing startofpacket", object);
    }
    open_symbols += static_cast<size_t>(beat.kept);
    if (beat.eop) {
        open = false;
    }
}

nb::object Monitor::pop_beat() {
    nb::object beat = std::move(beats.front());
    beats.pop_front();
    return beat;
}

nb::object Monitor::make_run(nb::handle self) {
    return coro::to_python(monitor_run(nb::borrow(self), this), "TavrinSTMonitor._run");
}

nb::object Sink::make_run(nb::handle self) {
    return coro::to_python(sink_run(nb::borrow(self), this), "TavrinSTSink._run");
}

void Sink::on_reset(nb::handle self, bool asserted) {
    if (asserted && ready) {
        ready.drive(gpi, "0");
    }
    Endpoint::on_reset(self, asserted);
}

void Sink::on_pause_change() {
    wake_event.attr("set")();
}

void init_monitor(nb::handle self, Monitor& m, nb::handle bus, nb::handle fmt, nb::handle clock,
                  const Options& options) {
    init_endpoint(m, "monitor", bus, fmt, clock, options);
    check_watched(m);
    start_reset_control(self, m);
    start_watchers(self, m);
}

void init_sink(nb::handle self, Sink& s, nb::handle bus, nb::handle fmt, nb::handle clock,
               const Options& options) {
    init_endpoint(s, "sink", bus, fmt, clock, options);
    check_watched(s);
    if (s.ready) {
        s.ready.drive_immediate(nb::int_(0), "0");  // not ready until the run loop says so
    }
    start_reset_control(self, s);
    start_watchers(self, s);
}

nb::object monitor_recv_beat(nb::handle self, Monitor& m) {
    return coro::to_python(receive(nb::borrow(self), &m, 1, true), "TavrinSTMonitor.recv_beat");
}

nb::object monitor_recv_beats(nb::handle self, Monitor& m, size_t count) {
    return coro::to_python(receive(nb::borrow(self), &m, count, false),
                           "TavrinSTMonitor.recv_beats");
}

nb::object monitor_wait(nb::handle self, Monitor& m, nb::handle timeout, nb::handle unit) {
    return coro::to_python(wait_beat(nb::borrow(self), &m, nb::borrow(timeout), nb::borrow(unit)),
                           "TavrinSTMonitor.wait");
}

void monitor_cancel(Monitor& m) {
    for (nb::object& task : m.watch_tasks) {
        cancel_task(task);
    }
    m.watch_tasks.clear();
    cancel_tasks(m);
}

int Monitor::visit(visitproc visit, void* arg) const {
    if (int result = Endpoint::visit(visit, arg)) {
        return result;
    }
    for (const nb::object& beat : beats) {
        Py_VISIT(beat.ptr());
    }
    for (const auto* line : {&getters, &spare}) {
        for (const Getter& getter : *line) {
            Py_VISIT(getter.event.ptr());
            Py_VISIT(getter.trigger.ptr());
        }
    }
    for (const nb::object& object : beat_waiters) {
        Py_VISIT(object.ptr());
    }
    for (const nb::object& task : watch_tasks) {
        Py_VISIT(task.ptr());
    }
    return 0;
}

void Monitor::clear() {
    Endpoint::clear();
    beats.clear();
    getters.clear();
    spare.clear();
    beat_waiters.clear();
    watch_tasks.clear();
}

}  // namespace corvane::tavrin::st
