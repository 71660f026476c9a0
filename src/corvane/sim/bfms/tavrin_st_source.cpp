// src/corvane/sim/bfms/tavrin_st_source.cpp: the native Avalon-ST source.
//
// Same wire behaviour as cocotbext-avalon's AvalonSTSource with ready latency 0: a frame is taken
// from the queue at the first clock edge where the bus may change, one beat goes out per edge
// while ready (or no beat is pending), and the bus idles at the idle value between frames and
// while paused. A frame is flattened once when it is taken (bytes for 8-bit symbols), so a beat
// is one slice of it; only the signals whose values change are written.
#include <algorithm>
#include <cstring>
#include <string>

#include "common/coro.hpp"
#include "common/errors.hpp"
#include "common/log.hpp"
#include "common/py.hpp"
#include "tavrin_st.hpp"

namespace corvane::tavrin::st {

namespace {

/// `type(x) in (list, tuple)`: a value per symbol.
bool per_symbol(nb::handle value) {
    return PyList_CheckExact(value.ptr()) || PyTuple_CheckExact(value.ptr());
}

/// The item of a per-symbol list for the beat at `offset` (the last one past its end).
nb::object item_at(nb::handle values, size_t offset) {
    Py_ssize_t size = PySequence_Size(values.ptr());
    Py_ssize_t index =
        static_cast<Py_ssize_t>(offset) < size ? static_cast<Py_ssize_t>(offset) : -1;
    return py::steal_checked(PySequence_GetItem(values.ptr(), index));
}

void drive_idle(Source& s, Idle idle) {
    const Gpi& gpi = s.gpi;
    if (s.valid) {
        s.valid.drive(gpi, "0");
    }
    Line* sidebands[] = {&s.sop, &s.eop, &s.empty, &s.error, &s.channel};
    if (idle == Idle::x) {
        s.data.drive(gpi, s.data.fill('X'));
        for (Line* line : sidebands) {
            if (*line) {
                line->drive(gpi, line->fill('X'));
            }
        }
        return;
    }
    if (idle == Idle::random) {
        nb::object bits = py::attr("random", "getrandbits");
        s.data.drive(gpi, s.data.bits_of(bits(s.width)));
        for (Line* line : sidebands) {
            if (!*line) {
                continue;
            }
            nb::object value = line == &s.empty ? py::attr("random", "randrange")(
                                                      0, std::max(1, s.symbols_per_beat))
                                                : bits(line->width());
            line->drive(gpi, line->bits_of(value));
        }
        return;
    }
    const bool ones = idle == Idle::ones;
    s.data.drive(gpi, s.data.fill(ones ? '1' : '0'));
    for (Line* line : sidebands) {
        if (!*line) {
            continue;
        }
        // Start and end of packet get the bit itself; the vectors all zeros or all ones.
        if (line == &s.sop || line == &s.eop) {
            line->drive(gpi, line->bits_of(std::uint64_t{ones ? 1u : 0u}));
        } else {
            line->drive(gpi, line->fill(ones ? '1' : '0'));
        }
    }
}

/// Drop the frame on the bus at a reset, telling its sender.
void flush_current(Source& s) {
    nb::object frame = std::move(s.current.frame);
    s.current = Source::Current{};
    if (frame.is_valid() && py::truthy(frame)) {
        log::warning(s.log, "Flushed transmit frame during reset: %s", frame);
        frame.attr("handle_tx_complete")();
    }
}

/// A frame's channel or error: a value per symbol (kept), or one for the whole frame (its text
/// now; None counts as 0).
void take_sideband(const Line& line, nb::object value, nb::object& per_symbol_values,
                   std::string& bits) {
    if (per_symbol(value)) {
        per_symbol_values = std::move(value);
    } else {
        bits = line.bits_of(value.is_none() ? nb::int_(0) : value);
    }
}

/// Take the next frame off the queue and flatten it.
void take_frame(Source& s) {
    nb::object frame = std::move(s.queue.front());
    s.queue.pop_front();
    Source::Current& c = s.current;
    c = Source::Current{};
    c.frame = frame;
    nb::object data = frame.attr("data");
    if (s.bits_per_symbol == 8) {
        if (PyBytes_Check(data.ptr()) || PyByteArray_Check(data.ptr())) {
            const auto* raw = reinterpret_cast<const std::uint8_t*>(
                PyBytes_Check(data.ptr()) ? PyBytes_AS_STRING(data.ptr())
                                          : PyByteArray_AS_STRING(data.ptr()));
            c.bytes.assign(raw, raw + PyObject_Length(data.ptr()));
        } else {
            nb::object items = py::steal_checked(PySequence_Fast(data.ptr(), "frame data"));
            Py_ssize_t size = PySequence_Fast_GET_SIZE(items.ptr());
            PyObject** item = PySequence_Fast_ITEMS(items.ptr());
            c.bytes.resize(static_cast<size_t>(size));
            for (Py_ssize_t i = 0; i < size; ++i) {
                unsigned long long value = PyLong_AsUnsignedLongLongMask(item[i]);
                if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
                    throw nb::python_error();
                }
                c.bytes[static_cast<size_t>(i)] = static_cast<std::uint8_t>(value & 0xFF);
            }
        }
        c.length = c.bytes.size();
    } else {
        c.symbols = py::steal_checked(PySequence_Fast(data.ptr(), "frame data"));
        c.length = static_cast<size_t>(PySequence_Fast_GET_SIZE(c.symbols.ptr()));
    }
    if (s.channel) {
        take_sideband(s.channel, frame.attr("channel"), c.channel, c.channel_bits);
    }
    if (s.error) {
        take_sideband(s.error, frame.attr("error"), c.error, c.error_bits);
    }
    frame.attr("sim_time_start") = nb::int_(s.gpi.now());
    frame.attr("sim_time_end") = nb::none();
    log::debug(s.log, "TX frame: %s", frame);
    s.active = true;
}

/// The data word's text for the beat that starts at the current offset with `take` symbols.
std::string beat_word(Source& s, size_t take) {
    Source::Current& c = s.current;
    if (s.bits_per_symbol == 8) {
        // One slice of the frame's bytes, zero-padded, first symbol high or low.
        std::vector<std::uint8_t> word(static_cast<size_t>(s.symbols_per_beat), 0);
        if (s.first_high) {
            std::memcpy(word.data(), c.bytes.data() + c.offset, take);
        } else {
            std::reverse_copy(c.bytes.begin() + static_cast<std::ptrdiff_t>(c.offset),
                              c.bytes.begin() + static_cast<std::ptrdiff_t>(c.offset + take),
                              word.end() - static_cast<std::ptrdiff_t>(take));
        }
        return s.data.bits_of_bytes(word.data(), word.size());
    }
    nb::object mask = (nb::int_(1) << nb::int_(s.bits_per_symbol)) - nb::int_(1);
    nb::object value = nb::int_(0);
    PyObject** items = PySequence_Fast_ITEMS(c.symbols.ptr());
    for (size_t i = 0; i < take; ++i) {
        size_t slot = s.first_high ? static_cast<size_t>(s.symbols_per_beat) - 1 - i : i;
        nb::object symbol = nb::borrow(items[c.offset + i]) & mask;
        value = value | (symbol << nb::int_(slot * static_cast<size_t>(s.bits_per_symbol)));
    }
    return s.data.bits_of(value);
}

void drive_beat(Source& s) {
    Source::Current& c = s.current;
    const Gpi& gpi = s.gpi;
    size_t take = std::min(static_cast<size_t>(s.symbols_per_beat), c.length - c.offset);
    bool last = c.offset + take >= c.length;
    bool start = s.packets && c.offset == 0;
    bool end = s.packets && last;
    size_t empty = end ? static_cast<size_t>(s.symbols_per_beat) - take : 0;

    if (s.valid) {
        s.valid.drive(gpi, "1");
    }
    s.data.drive(gpi, beat_word(s, take));
    if (s.sop) {
        s.sop.drive(gpi, s.sop.bits_of(std::uint64_t{start ? 1u : 0u}));
    }
    if (s.eop) {
        s.eop.drive(gpi, s.eop.bits_of(std::uint64_t{end ? 1u : 0u}));
    }
    if (s.empty) {
        s.empty.drive(gpi, s.empty.bits_of(std::uint64_t{s.packets ? empty : 0}));
    }
    if (s.error) {
        s.error.drive(
            gpi, c.error.is_valid() ? s.error.bits_of(item_at(c.error, c.offset)) : c.error_bits);
    }
    if (s.channel) {
        s.channel.drive(gpi, c.channel.is_valid() ? s.channel.bits_of(item_at(c.channel, c.offset))
                                                  : c.channel_bits);
    }
    c.offset += take;
    if (last) {
        nb::object frame = std::move(c.frame);
        s.current = Source::Current{};
        frame.attr("sim_time_end") = nb::int_(gpi.now());
        frame.attr("handle_tx_complete")();
    }
}

coro::Coroutine source_run([[maybe_unused]] nb::object self, Source* s) {
    s->current = Source::Current{};
    s->active = false;
    drive_idle(*s, s->idle);
    for (;;) {
        co_await s->edge;
        if (s->reset_state) {
            drive_idle(*s, Idle::zeros);
            flush_current(*s);
            s->active = false;
            if (s->queue.empty()) {
                s->idle_event.attr("set")();
            }
            continue;
        }
        // The bus may change when no beat is pending or the pending one is taken now. Valid is
        // this source's own: the value it last wrote is the value on the wire at this edge.
        bool ready = s->ready ? s->ready.flag(s->gpi, false) : true;
        bool valid = s->valid ? s->valid.last_flag() : true;
        if (valid && !ready) {
            continue;
        }
        if (!s->on_bus() && !s->queue.empty()) {
            take_frame(*s);
        }
        if (s->on_bus() && !s->pause) {
            drive_beat(*s);
            continue;
        }
        drive_idle(*s, s->idle);
        s->active = s->on_bus();
        if (!s->on_bus() && s->queue.empty()) {
            s->idle_event.attr("set")();
            s->active_event.attr("clear")();
            co_await s->active_trigger;
        }
    }
}

/// The library's frame type around anything else.
nb::object as_frame(nb::handle frame) {
    nb::object type = py::attr("cocotbext.avalon", "AvalonSTFrame");
    return nb::isinstance(frame, type) ? nb::borrow(frame) : type(frame);
}

void enqueue(Source& s, nb::handle frame) {
    s.queue.push_back(as_frame(frame));
    s.idle_event.attr("clear")();
    s.active_event.attr("set")();
}

coro::Coroutine send_frame([[maybe_unused]] nb::object self, Source* s, nb::object frame) {
    enqueue(*s, frame);
    co_return nb::none();
}

coro::Coroutine wait_idle([[maybe_unused]] nb::object self, Source* s) {
    co_await s->idle_event.attr("wait")();
    co_return nb::none();
}

}  // namespace

nb::object Source::make_run(nb::handle self) {
    return coro::to_python(source_run(nb::borrow(self), this), "TavrinSTSource._run");
}

void Source::on_reset(nb::handle self, bool asserted) {
    if (asserted) {
        drive_idle(*this, Idle::zeros);
        flush_current(*this);
    }
    Endpoint::on_reset(self, asserted);
    if (asserted && queue.empty()) {
        idle_event.attr("set")();
    }
}

void init_source(nb::handle self, Source& s, nb::handle bus, nb::handle fmt, nb::handle clock,
                 const Options& options, nb::handle idle_value) {
    s.idle_value = nb::borrow(idle_value);
    if (PyUnicode_Check(idle_value.ptr()) && PyUnicode_EqualToUTF8(idle_value.ptr(), "x") == 1) {
        s.idle = Idle::x;
    } else if (PyUnicode_Check(idle_value.ptr()) &&
               PyUnicode_EqualToUTF8(idle_value.ptr(), "random") == 1) {
        s.idle = Idle::random;
    } else {
        nb::object number = py::steal_checked(PyNumber_Long(idle_value.ptr()));
        s.idle = number.equal(nb::int_(0)) ? Idle::zeros : Idle::ones;
    }
    init_endpoint(s, "source", bus, fmt, clock, options);
    s.idle_event = py::attr("cocotb.triggers", "Event")();
    s.idle_event.attr("set")();
    s.active_event = py::attr("cocotb.triggers", "Event")();
    s.active_trigger = s.active_event.attr("wait")();
    // As the library: valid low at once, data and sidebands X until the run loop idles them.
    if (s.valid) {
        s.valid.drive_immediate(nb::int_(0), "0");
    }
    nb::object logic_array = py::attr("cocotb.types", "LogicArray");
    for (Line* line : {&s.data, &s.sop, &s.eop, &s.empty, &s.error, &s.channel}) {
        if (*line) {
            line->drive_immediate(logic_array(nb::str(line->fill('x').c_str())), line->fill('X'));
        }
    }
    start_reset_control(self, s);
}

nb::object source_send(nb::handle self, Source& s, nb::handle frame) {
    return coro::to_python(send_frame(nb::borrow(self), &s, nb::borrow(frame)),
                           "TavrinSTSource.send");
}

void source_send_nowait(Source& s, nb::handle frame) {
    enqueue(s, frame);
}

void source_cancel(Source& s) {
    clear_pause_generator(s);
    cancel_tasks(s);
}

nb::object source_wait(nb::handle self, Source& s) {
    return coro::to_python(wait_idle(nb::borrow(self), &s), "TavrinSTSource.wait");
}

int Source::visit(visitproc visit, void* arg) const {
    if (int result = Endpoint::visit(visit, arg)) {
        return result;
    }
    for (const nb::object& frame : queue) {
        Py_VISIT(frame.ptr());
    }
    for (const nb::object* object :
         {&idle_value, &idle_event, &active_event, &active_trigger, &current.frame,
          &current.symbols, &current.channel, &current.error}) {
        Py_VISIT(object->ptr());
    }
    return 0;
}

void Source::clear() {
    Endpoint::clear();
    queue.clear();
    current = Current{};
    for (nb::object* object : {&idle_value, &idle_event, &active_event, &active_trigger}) {
        object->reset();
    }
}

}  // namespace corvane::tavrin::st
